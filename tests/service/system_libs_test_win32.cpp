// The IP Helper comes from the system folder, also when a library of that
// name lies beside the program: this test program, copied into a folder of
// its own with such a library (a resource-only one, with none of the
// functions), and told to prefer a library beside the program as Windows
// does, must still read the route table through the system's library.
#include "route_work.h"
#include "system_libs.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

std::string SystemFolder()
{
    char dir[MAX_PATH];
    UINT n = GetSystemDirectoryA(dir, MAX_PATH);
    return n && n < MAX_PATH ? std::string(dir) : std::string();
}

// In the planted copy: the route table is read, and the library that read it
// is the system's.
TEST(SystemLibraries, IpHelperComesFromTheSystemFolder)
{
    EXPECT_EQ(1, SYSLIB_SystemFolderOnly());
    RouteRow *rows = nullptr;
    uint32_t count = 0;
    ASSERT_EQ(0u, ROUTE_SystemBackend()->ReadTable(&rows, &count));
    ROUTE_SystemBackend()->FreeTable(rows);
    HMODULE iphlp = GetModuleHandleA("iphlpapi.dll");
    ASSERT_NE(nullptr, iphlp);
    char path[MAX_PATH];
    ASSERT_NE(0u, GetModuleFileNameA(iphlp, path, MAX_PATH));
    std::string system = SystemFolder();
    ASSERT_FALSE(system.empty());
    EXPECT_EQ(0, _strnicmp(path, system.c_str(), system.size())) << path;
}

TEST(SystemLibraries, ALibraryBesideTheProgramIsNotLoaded)
{
    if (getenv("TLX_PLANTED"))
        GTEST_SKIP() << "the planted copy itself";
    const char *bin = getenv("TLX_BINARY_DIR");
    if (!bin)
        GTEST_SKIP() << "TLX_BINARY_DIR names the build (set by CTest)";
    std::string planted = std::string(bin) + "/service/bin/NoticeCatalog.dll";
    for (char &c : planted)
        if (c == '/')
            c = '\\';
    if (GetFileAttributesA(planted.c_str()) == INVALID_FILE_ATTRIBUTES)
        GTEST_SKIP() << planted << " is not built";
    char self[MAX_PATH], temp[MAX_PATH];
    ASSERT_NE(0u, GetModuleFileNameA(nullptr, self, MAX_PATH));
    ASSERT_NE(0u, GetTempPathA(MAX_PATH, temp));
    std::string folder = std::string(temp) + "tlx-planted-" + std::to_string(GetCurrentProcessId()) + "-" +
                         std::to_string(GetTickCount());
    std::string copy = folder + "\\service_tests.exe", library = folder + "\\iphlpapi.dll";
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    ASSERT_TRUE(CopyFileA(self, copy.c_str(), FALSE));
    ASSERT_TRUE(CopyFileA(planted.c_str(), library.c_str(), FALSE));

    // Wine prefers its own library unless told otherwise; Windows takes one
    // beside the program first.
    SetEnvironmentVariableA("WINEDLLOVERRIDES", "iphlpapi=n,b");
    SetEnvironmentVariableA("TLX_PLANTED", "1");
    std::string command = "\"" + copy + "\" --gtest_filter=SystemLibraries.IpHelperComesFromTheSystemFolder";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    DWORD code = 1000;
    if (CreateProcessA(copy.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &si, &pi)) {
        WaitForSingleObject(pi.hProcess, 60000);
        GetExitCodeProcess(pi.hProcess, &code);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    SetEnvironmentVariableA("WINEDLLOVERRIDES", nullptr);
    SetEnvironmentVariableA("TLX_PLANTED", nullptr);
    EXPECT_EQ(0u, code) << "the copy beside a planted iphlpapi.dll";
    DeleteFileA(copy.c_str());
    DeleteFileA(library.c_str());
    RemoveDirectoryA(folder.c_str());
}

}  // namespace
