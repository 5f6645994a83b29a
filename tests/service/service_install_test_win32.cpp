// Installing and removing the real program: the path the service control
// manager starts is quoted, every failing -install or -remove ends with a
// non-zero exit code, the event source names the message library beside the
// program whatever the current folder, the service waits for TCP/IP at
// boot, and a running service stops through the service manager.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char SERVICE_KEY[] = "SYSTEM\\CurrentControlSet\\Services\\QuorvantiVantorelleTUNLEX";

// Runs the program with one option (in the given current folder, or this
// one's); its exit code, or -1000.
long RunProgram(const std::string &program, const char *option, const char *folder = nullptr)
{
    std::string command = "\"" + program + "\" " + option;
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(program.c_str(), command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, folder,
                        &si, &pi))
        return -1000;
    WaitForSingleObject(pi.hProcess, 60000);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return (long)(int)code;
}

std::string ImagePath()
{
    char value[1024] = "";
    DWORD size = sizeof(value);
    if (RegGetValueA(HKEY_LOCAL_MACHINE, SERVICE_KEY, "ImagePath", RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr,
                     value, &size) != ERROR_SUCCESS)
        return "";
    return value;
}

// Whether the service manager still opens the service.
bool Known()
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceA(manager, "QuorvantiVantorelleTUNLEX", SERVICE_QUERY_STATUS) : nullptr;
    if (service)
        CloseServiceHandle(service);
    if (manager)
        CloseServiceHandle(manager);
    return service != nullptr;
}

bool Running()
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceA(manager, "QuorvantiVantorelleTUNLEX", SERVICE_QUERY_STATUS) : nullptr;
    SERVICE_STATUS st = {};
    bool running = service && QueryServiceStatus(service, &st) && st.dwCurrentState == SERVICE_RUNNING;
    if (service)
        CloseServiceHandle(service);
    if (manager)
        CloseServiceHandle(manager);
    return running;
}

// The built program's Windows path, or "" (the test is then skipped).
std::string Program()
{
    const char *bin = getenv("TLX_BINARY_DIR");
    if (!bin)
        return "";
    std::string program = std::string(bin) + "/service/vantorelle_tunlex_service.exe";
    for (char &c : program)
        if (c == '/')
            c = '\\';
    char full[MAX_PATH];
    DWORD n = GetFullPathNameA(program.c_str(), sizeof(full), full, nullptr);
    if (n == 0 || n >= sizeof(full) || GetFileAttributesA(full) == INVALID_FILE_ATTRIBUTES)
        return "";
    return full;
}

// Removes what an earlier run left, waiting for a service manager still busy
// with a failed start.
void RemoveAll(const std::string &program)
{
    for (int i = 0; i < 10 && RunProgram(program, "-remove") != 0 && !ImagePath().empty(); i++)
        Sleep(500);
}

TEST(ServiceInstall, QuotedPathAndFailuresExitNonZero)
{
    std::string program = Program();
    if (program.empty())
        GTEST_SKIP() << "TLX_BINARY_DIR names a build with the program (set by CTest)";
    RunProgram(program, "-remove");  // whatever an earlier run left

    // Installing also starts the service; a service that does not start
    // fails the install too (Wine's service manager does not start it, and
    // its database can keep an entry it no longer opens: the exit code of
    // this first install is not judged).
    long installed = RunProgram(program, "-install");
    if (installed == 0) {
        EXPECT_TRUE(Running());
    }
    std::string image = ImagePath();
    ASSERT_FALSE(image.empty());
    EXPECT_EQ('"', image.front()) << image;
    EXPECT_EQ('"', image.back()) << image;
    EXPECT_NE(std::string::npos, image.find("vantorelle_tunlex_service.exe\"")) << image;

    EXPECT_NE(0, RunProgram(program, "-install")) << "the service exists already";
    RemoveAll(program);
    if (ImagePath().empty() && !Known()) {
        EXPECT_NE(0, RunProgram(program, "-remove")) << "nothing is installed any more";
    }
}

const char SOURCE_KEY[] = "SYSTEM\\CurrentControlSet\\Services\\Eventlog\\Application\\QuorvantiVantorelleTUNLEX";

std::string MessageFile()
{
    char value[1024] = "";
    DWORD size = sizeof(value);
    if (RegGetValueA(HKEY_LOCAL_MACHINE, SOURCE_KEY, "EventMessageFile", RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND,
                     nullptr, value, &size) != ERROR_SUCCESS)
        return "";
    return value;
}

// The service's dependencies as the service manager keeps them, each name
// followed by "|"; "?" when there is no such value.
std::string Dependencies()
{
    char value[1024];
    DWORD size = sizeof(value);
    if (RegGetValueA(HKEY_LOCAL_MACHINE, SERVICE_KEY, "DependOnService", RRF_RT_REG_MULTI_SZ, nullptr, value, &size) !=
        ERROR_SUCCESS)
        return "?";
    std::string out;
    for (const char *d = value; d < value + size && *d; d += strlen(d) + 1)
        out += std::string(d) + "|";
    return out;
}

// Stops the running service as the service manager does; the state it ends
// in (or the last one seen after 30 s) and the wait hints of its pending
// reports.
DWORD StopAndWait(DWORD *exitCode, std::string *hints)
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service =
        manager ? OpenServiceA(manager, "QuorvantiVantorelleTUNLEX", SERVICE_STOP | SERVICE_QUERY_STATUS) : nullptr;
    SERVICE_STATUS st = {};
    if (service && ControlService(service, SERVICE_CONTROL_STOP, &st)) {
        for (int i = 0; i < 3000 && st.dwCurrentState != SERVICE_STOPPED; i++) {
            if (st.dwCurrentState == SERVICE_STOP_PENDING)
                *hints += std::to_string(st.dwWaitHint) + " ";
            Sleep(10);
            if (!QueryServiceStatus(service, &st))
                break;
        }
    }
    *exitCode = st.dwWin32ExitCode;
    if (service)
        CloseServiceHandle(service);
    if (manager)
        CloseServiceHandle(manager);
    return st.dwCurrentState;
}

// An elevated prompt starts in system32: the event source must still name
// the message library beside the program, and the service must wait for
// the TCP/IP stack at boot. A service that did start stops through the
// service manager.
TEST(ServiceInstall, FromAnotherFolderNamesTheProgramsMessageFileAndDependsOnTcpip)
{
    std::string program = Program();
    if (program.empty())
        GTEST_SKIP() << "TLX_BINARY_DIR names a build with the program (set by CTest)";
    RemoveAll(program);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, SOURCE_KEY);  // a value left by an earlier run proves nothing
    char system[MAX_PATH];
    ASSERT_NE(0u, GetSystemDirectoryA(system, sizeof(system)));
    long installed = RunProgram(program, "-install", system);

    std::string expected = program.substr(0, program.rfind('\\')) + "\\bin\\NoticeCatalog.dll";
    std::string file = MessageFile();
    EXPECT_EQ(0, _stricmp(expected.c_str(), file.c_str())) << file;
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(file.c_str())) << file << " is not there";
    EXPECT_EQ("Tcpip|", Dependencies());

    if (installed == 0 && Running()) {
        DWORD exitCode = 1;
        std::string hints;
        EXPECT_EQ((DWORD)SERVICE_STOPPED, StopAndWait(&exitCode, &hints));
        EXPECT_EQ(0u, exitCode);
        // Every pending report seen names how long to wait for the next.
        EXPECT_EQ(std::string::npos, (" " + hints).find(" 0 ")) << hints;
    }
    RemoveAll(program);
}

}  // namespace
