// A configuration file planted where OpenSSL would look for one (the folder
// compiled into the library, or the file the environment names) may load a
// module of the planter's choice into every user's client. The client reads
// none; the library cannot load a module at all. Each row starts a process
// of its own (OpenSSL reads its configuration once per process).
#include <gtest/gtest.h>

#include <windows.h>

#include <openssl/crypto.h>

#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <vector>

namespace {

enum { PROBE_CONFIG_READ = 1, PROBE_MODULE_LOADED = 2, PROBE_NO_START = 16 };

std::string FullPath(const std::string &path)
{
    char out[MAX_PATH];
    DWORD n = GetFullPathNameA(path.c_str(), sizeof out, out, nullptr);
    return n > 0 && n < sizeof out ? std::string(out) : path;
}

// OpenSSL's configuration syntax takes a backslash for an escape.
std::string Slashed(std::string path)
{
    for (char &c : path)
        if (c == '\\')
            c = '/';
    return path;
}

bool Exists(const std::string &path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool WriteText(const std::string &path, const std::string &text)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
    return fclose(f) == 0 && ok;
}

// The file an attacker would plant: a TLS floor that shows the file was
// read, and a provider module that shows it was loaded.
std::string PlantedConfig(const std::string &module)
{
    return "openssl_conf = planted_init\n"
           "[planted_init]\n"
           "ssl_conf = planted_ssl\n"
           "providers = planted_providers\n"
           "[planted_ssl]\n"
           "system_default = planted_floor\n"
           "[planted_floor]\n"
           "MinProtocol = TLSv1.3\n"
           "[planted_providers]\n"
           "default = planted_default\n"
           "planted = planted_module\n"
           "[planted_default]\n"
           "activate = 1\n"
           "[planted_module]\n"
           "module = " +
           Slashed(module) +
           "\n"
           "activate = 1\n";
}

class PlantedOpenSslConfig : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char *bin = getenv("TLX_BINARY_DIR");
        if (!bin)
            GTEST_SKIP() << "TLX_BINARY_DIR names the build (set by CTest)";
        probe_ = FullPath(std::string(bin) + "\\tests\\tlx_ssl_init_probe.exe");
        module_ = FullPath(std::string(bin) + "\\tests\\tlx_planted_module.dll");
        if (!Exists(probe_) || !Exists(module_))
            GTEST_SKIP() << probe_ << " or " << module_ << " is not built";
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        char name[64];
        snprintf(name, sizeof name, "tlx-planted-%lu", GetCurrentProcessId());
        scratch_ = std::string(temp) + name;
        CreateDirectoryA(scratch_.c_str(), nullptr);
        marker_ = scratch_ + "\\loaded.marker";
        SetEnvironmentVariableA("TLX_PLANTED_MARKER", marker_.c_str());
        SetEnvironmentVariableA("OPENSSL_CONF", nullptr);
        // A module named without a path is looked for here.
        SetEnvironmentVariableA("OPENSSL_MODULES", Slashed(FullPath(std::string(bin) + "\\tests")).c_str());
    }

    void TearDown() override
    {
        SetEnvironmentVariableA("TLX_PLANTED_MARKER", nullptr);
        SetEnvironmentVariableA("OPENSSL_CONF", nullptr);
        SetEnvironmentVariableA("OPENSSL_MODULES", nullptr);
        for (const std::string &f : files_)
            DeleteFileA(f.c_str());
        for (auto d = made_.rbegin(); d != made_.rend(); ++d)
            RemoveDirectoryA(d->c_str());
        DeleteFileA(marker_.c_str());
        RemoveDirectoryA(scratch_.c_str());
    }

    // Makes the folder and every missing parent; remembers what it made.
    bool MakeFolders(const std::string &path)
    {
        std::string dir = path;
        for (char &c : dir)
            if (c == '/')
                c = '\\';
        std::vector<std::string> missing;
        while (!dir.empty() && !Exists(dir)) {
            missing.push_back(dir);
            size_t cut = dir.find_last_of('\\');
            if (cut == std::string::npos)
                return false;
            dir.resize(cut);
        }
        for (auto d = missing.rbegin(); d != missing.rend(); ++d) {
            if (!CreateDirectoryA(d->c_str(), nullptr))
                return false;
            made_.push_back(*d);
        }
        return true;
    }

    bool Plant(const std::string &path)
    {
        if (Exists(path) || !WriteText(path, PlantedConfig(module_)))
            return false;
        files_.push_back(path);
        return true;
    }

    int RunProbe(const char *mode)
    {
        DeleteFileA(marker_.c_str());
        std::string command = "\"" + probe_ + "\" " + mode;
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        if (!CreateProcessA(probe_.c_str(), &command[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                            nullptr, &si, &pi))
            return -1;
        DWORD code = static_cast<DWORD>(-1);
        if (WaitForSingleObject(pi.hProcess, 30000) == WAIT_OBJECT_0)
            GetExitCodeProcess(pi.hProcess, &code);
        else
            TerminateProcess(pi.hProcess, 1);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        if (Exists(marker_))
            code |= PROBE_MODULE_LOADED;
        return static_cast<int>(code);
    }

    // The client reads no file; a program that leaves OpenSSL to itself
    // does (so the file was where OpenSSL looks), yet loads no module.
    void CheckRows()
    {
        const struct {
            const char *mode;
            int expected;
        } rows[] = {{"default", PROBE_CONFIG_READ}, {"client", 0}};
        for (const auto &row : rows) {
            SCOPED_TRACE(row.mode);
            EXPECT_EQ(row.expected, RunProbe(row.mode));
        }
    }

    std::string probe_, module_, scratch_, marker_;
    std::vector<std::string> made_, files_;
};

TEST_F(PlantedOpenSslConfig, AFileInTheCompiledFolderIsNotRead)
{
    const char *dir = OPENSSL_info(OPENSSL_INFO_CONFIG_DIR);
    ASSERT_NE(nullptr, dir);
    // No folder of the build machine: C:\var\cache and the like are folders
    // any Windows user may create.
    std::string folder = dir;
    EXPECT_EQ(std::string::npos, folder.find("/var/")) << folder;
    EXPECT_EQ(std::string::npos, folder.find(".stage")) << folder;
    std::string file = folder + "/openssl.cnf";
    if (Exists(file))
        GTEST_SKIP() << file << " is there already; it is not ours to replace";
    if (!MakeFolders(folder) || !Plant(file))
        GTEST_SKIP() << "this account cannot create " << file << " (" << GetLastError()
                     << "): only an administrator could plant it";
    CheckRows();
}

TEST_F(PlantedOpenSslConfig, AFileTheEnvironmentNamesIsNotRead)
{
    std::string file = scratch_ + "\\openssl.cnf";
    ASSERT_TRUE(Plant(file));
    SetEnvironmentVariableA("OPENSSL_CONF", file.c_str());
    CheckRows();
}

}  // namespace
