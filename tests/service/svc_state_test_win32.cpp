// The undo folder and file on Windows: the folder is the service's before a
// byte is read (no reparse point, owner SYSTEM, Administrators or the
// service's own account, the protected DACL set again every time), the file
// is no reparse point, and a second copy of the service changes nothing.
// Under Wine the security descriptors are stored and returned, so these
// checks run the product's own path there even where Wine would not enforce
// them.
#include "ssl_service.h"
#include "svc_state.h"

#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>
#include <aclapi.h>
#include <iphlpapi.h>
#include <sddl.h>
#include <winioctl.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string TempFolder(const char *tag)
{
    char base[MAX_PATH];
    GetTempPathA(sizeof(base), base);
    return std::string(base) + "tlx-" + tag + "-" + std::to_string((unsigned long)GetCurrentProcessId());
}

std::string Sddl(const std::string &path, SECURITY_INFORMATION what)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, what, nullptr, nullptr, nullptr, nullptr, &sd) !=
        ERROR_SUCCESS)
        return "<unreadable>";
    LPSTR text = nullptr;
    std::string out = ConvertSecurityDescriptorToStringSecurityDescriptorA(sd, SDDL_REVISION_1, what, &text, nullptr)
                          ? text
                          : "<unconvertible>";
    LocalFree(text);
    LocalFree(sd);
    return out;
}

// Sets a security descriptor given as text on a file or folder.
bool SetSddl(const std::string &path, const char *sddl, SECURITY_INFORMATION what)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd, nullptr))
        return false;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    GetSecurityDescriptorOwner(sd, &owner, &defaulted);
    GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
    DWORD rc = SetNamedSecurityInfoA(const_cast<char *>(path.c_str()), SE_FILE_OBJECT, what, owner, nullptr, dacl,
                                     nullptr);
    LocalFree(sd);
    return rc == ERROR_SUCCESS;
}

void WriteText(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
}

class StateWindows : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = TempFolder("statewin");
        CreateDirectoryA(root_.c_str(), nullptr);
        dir_ = root_ + "\\state";
        path_ = dir_ + "\\service.state";
        STATE_SetPath(path_.c_str());
    }
    void TearDown() override
    {
        STATE_SetPath(nullptr);
        DeleteFileA(path_.c_str());
        RemoveDirectoryA(dir_.c_str());
        DeleteFileA((root_ + "\\elsewhere\\service.state").c_str());
        RemoveDirectoryA((root_ + "\\elsewhere").c_str());
        RemoveDirectoryA(root_.c_str());
    }
    std::string root_, dir_, path_;
};

// Whether this system keeps a DACL set on a folder (Wine 8 answers with one
// made from the Unix mode bits, whatever was set: never protected, and with
// or without everyone as the mode has it).
bool KeepsFolderDacls(const std::string &scratch)
{
    CreateDirectoryA(scratch.c_str(), nullptr);
    bool kept = SetSddl(scratch, "D:P(A;OICI;GA;;;SY)(A;OICI;GR;;;BU)",
                        DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION) &&
                Sddl(scratch, DACL_SECURITY_INFORMATION).find("D:P") == 0 &&
                Sddl(scratch, DACL_SECURITY_INFORMATION).find(";;;BU)") != std::string::npos;
    RemoveDirectoryA(scratch.c_str());
    return kept;
}

TEST_F(StateWindows, TheFolderIsMadeProtectedAndItsProtectionIsSetAgain)
{
    char why[STATE_WHY_MAX] = "";
    ASSERT_EQ(0u, STATESYS_CheckFolder(path_.c_str(), why, sizeof(why))) << why;
    // Every later step runs on the product's path; only what the system
    // keeps of the DACL can be judged.
    if (!KeepsFolderDacls(root_ + "\\scratch")) {
        SetSddl(dir_, "D:(A;OICI;GA;;;WD)", DACL_SECURITY_INFORMATION);
        EXPECT_EQ(0u, STATESYS_CheckFolder(path_.c_str(), why, sizeof(why))) << why;
        GTEST_SKIP() << "this system does not keep a folder's DACL (it reads "
                     << Sddl(dir_, DACL_SECURITY_INFORMATION) << "): the protection is not checked";
    }
    std::string dacl = Sddl(dir_, DACL_SECURITY_INFORMATION);
    EXPECT_EQ(0u, dacl.find("D:P")) << dacl;
    EXPECT_NE(std::string::npos, dacl.find(";;;SY)")) << dacl;
    EXPECT_NE(std::string::npos, dacl.find(";;;BA)")) << dacl;
    EXPECT_EQ(std::string::npos, dacl.find(";;;WD)")) << dacl;
    EXPECT_EQ(std::string::npos, dacl.find(";;;BU)")) << dacl;

    // A folder someone opened to everyone (or made before the service did)
    // gets the service's protection again at the next check.
    ASSERT_TRUE(SetSddl(dir_, "D:(A;OICI;GA;;;WD)", DACL_SECURITY_INFORMATION));
    ASSERT_NE(std::string::npos, Sddl(dir_, DACL_SECURITY_INFORMATION).find(";;;WD)"));
    ASSERT_EQ(0u, STATESYS_CheckFolder(path_.c_str(), why, sizeof(why))) << why;
    dacl = Sddl(dir_, DACL_SECURITY_INFORMATION);
    EXPECT_EQ(0u, dacl.find("D:P")) << dacl;
    EXPECT_EQ(std::string::npos, dacl.find(";;;WD)")) << dacl;
}

PSID Sid(const char *text)
{
    PSID sid = nullptr;
    ConvertStringSidToSidA(text, &sid);
    return sid;
}

// The owners a folder or file may have, and what a system under test
// cannot make (a reparse point, under Wine 8): the decisions themselves.
TEST(StateWindowsRules, OwnersAndAttributesTheServiceTrusts)
{
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    union {
        TOKEN_USER user;
        BYTE bytes[256];
    } info;
    DWORD size = 0;
    ASSERT_TRUE(GetTokenInformation(token, TokenUser, &info, sizeof(info), &size));
    CloseHandle(token);
    LPSTR own = nullptr;
    ASSERT_TRUE(ConvertSidToStringSidA(info.user.User.Sid, &own));
    const std::string self = own;
    LocalFree(own);
    const struct {
        std::string sid;
        bool trusted;
    } owners[] = {
        {"S-1-5-18", true},                                    // SYSTEM
        {"S-1-5-32-544", true},                                // Administrators
        {"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", true},  // the installer account
        {self, true},                                          // the service's own account
        {"S-1-5-32-545", self == "S-1-5-32-545"},              // Users
        {"S-1-5-11", false},                                   // Authenticated Users
        {"S-1-1-0", false},                                    // Everyone
        {"S-1-5-21-1-2-3-1001", self == "S-1-5-21-1-2-3-1001"},  // some user
    };
    for (const auto &o : owners) {
        SCOPED_TRACE(o.sid);
        PSID sid = Sid(o.sid.c_str());
        ASSERT_NE(nullptr, sid);
        EXPECT_EQ(o.trusted, STATESYS_TrustedOwner(sid));
        LocalFree(sid);
    }
    EXPECT_FALSE(STATESYS_TrustedOwner(nullptr));

    const struct {
        uint32_t attributes;
        bool folder;
        const char *fault;
    } attributes[] = {
        {FILE_ATTRIBUTE_DIRECTORY, true, nullptr},
        {FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED, true, nullptr},
        {FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, true, "it is a reparse point"},
        {FILE_ATTRIBUTE_ARCHIVE, true, "it is no folder"},
        {FILE_ATTRIBUTE_ARCHIVE, false, nullptr},
        {FILE_ATTRIBUTE_NORMAL, false, nullptr},
        {FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_REPARSE_POINT, false, "it is a reparse point"},
        {FILE_ATTRIBUTE_DIRECTORY, false, "it is a folder"},
    };
    for (const auto &a : attributes) {
        SCOPED_TRACE(a.attributes);
        const char *fault = STATESYS_AttributeFault(a.attributes, a.folder);
        EXPECT_STREQ(a.fault, fault);
    }
}

TEST_F(StateWindows, AFolderOfAnotherOwnerIsNotReadOrWritten)
{
    std::string text = "adapter 14 tlxtun\n";
    ASSERT_EQ(0u, STATESYS_Write(path_.c_str(), text.data(), text.size()));
    // The owners the folder may have: the service's account, SYSTEM and
    // Administrators; and one it may not (the users group, as a user who
    // made the folder first would be).
    const struct {
        const char *owner;
        bool refused;
    } rows[] = {{"O:SY", false}, {"O:BA", false}, {"O:BU", true}, {"O:S-1-5-21-1-2-3-1001", true}};
    std::string unchecked;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.owner);
        if (!SetSddl(dir_, row.owner, OWNER_SECURITY_INFORMATION) ||
            Sddl(dir_, OWNER_SECURITY_INFORMATION) != row.owner) {
            // Wine 8 answers with the logged-on user, whatever was set; the
            // rules above judge the owners it cannot make.
            unchecked += std::string(" ") + row.owner + " (reads " + Sddl(dir_, OWNER_SECURITY_INFORMATION) + ")";
            continue;
        }
        StateContent c;
        ASSERT_EQ(1, STATE_Load(&c));
        EXPECT_EQ(row.refused, c.refused) << c.why;
        if (row.refused) {
            EXPECT_NE(std::string::npos, std::string(c.why).find("its owner is neither SYSTEM nor Administrators"))
                << c.why;
            std::string other = "adapter 15 other\n";
            EXPECT_NE(0u, STATESYS_Write(path_.c_str(), other.data(), other.size()));
            STATESYS_Remove(path_.c_str());
            EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(path_.c_str())) << "left as it was";
        } else {
            EXPECT_STREQ("tlxtun", c.adapterName);
        }
    }
    SetSddl(dir_, "O:BA", OWNER_SECURITY_INFORMATION);
    if (!unchecked.empty())
        GTEST_SKIP() << "this system cannot give the folder these owners, whose rows are not checked:" << unchecked;
}

// A link in the folder's place, or in the file's: nothing is read through
// it. Where this system cannot make the link, the row says so.
// A link that is there: a name that was there already (a folder the
// fixture made) is no link, whatever the call reported.
static bool IsLink(const std::string &path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

TEST_F(StateWindows, NoReparsePointIsFollowed)
{
    const std::string target = root_ + "\\elsewhere";
    CreateDirectoryA(target.c_str(), nullptr);
    WriteText(target + "\\service.state", "adapter 14 tlxtun\n");
    // Wine 8 reports success and makes nothing: the link is judged only
    // where it is there.
    std::string unchecked;
    bool folderLink = CreateSymbolicLinkA(dir_.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY) != 0 &&
                      IsLink(dir_);
    if (folderLink) {
        StateContent c;
        ASSERT_EQ(1, STATE_Load(&c));
        EXPECT_TRUE(c.refused);
        EXPECT_NE(std::string::npos, std::string(c.why).find("reparse point")) << c.why;
        RemoveDirectoryA(dir_.c_str());
    } else {
        unchecked += " directory link (" + std::to_string(GetLastError()) + ")";
    }
    char why[STATE_WHY_MAX];
    ASSERT_EQ(0u, STATESYS_CheckFolder(path_.c_str(), why, sizeof(why))) << why;
    if (CreateSymbolicLinkA(path_.c_str(), (target + "\\service.state").c_str(), 0) && IsLink(path_)) {
        StateContent c;
        ASSERT_EQ(1, STATE_Load(&c));
        EXPECT_TRUE(c.refused);
        EXPECT_NE(std::string::npos, std::string(c.why).find("reparse point")) << c.why;
        // The writer replaces the link, never what it names.
        std::string text = "adapter 15 other\n";
        EXPECT_EQ(0u, STATESYS_Write(path_.c_str(), text.data(), text.size()));
        std::ifstream in(target + "\\service.state");
        std::stringstream ss;
        ss << in.rdbuf();
        EXPECT_EQ("adapter 14 tlxtun\n", ss.str());
    } else {
        unchecked += " file link (" + std::to_string(GetLastError()) + ")";
    }
    if (!unchecked.empty())
        GTEST_SKIP() << "this system cannot make these links, whose rows are not checked:" << unchecked;
}

std::string ReadAll(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The program itself: a second copy started beside a running one, with the
// same undo file and a pipe name of its own (so that only the lock can stop
// it), undoes nothing, says so and ends with a failure.
TEST_F(StateWindows, ASecondServiceChangesNothing)
{
    const char *bin = getenv("TLX_BINARY_DIR");
    if (!bin)
        GTEST_SKIP() << "TLX_BINARY_DIR names the build (set by CTest)";
    std::string program = std::string(bin) + "\\service\\vantorelle_tunlex_service.exe";
    for (char &ch : program)
        if (ch == '/')
            ch = '\\';
    if (GetFileAttributesA(program.c_str()) == INVALID_FILE_ATTRIBUTES)
        GTEST_SKIP() << program << " is not built";
    SetEnvironmentVariableA(STATE_ENV, path_.c_str());
    auto start = [&](const std::string &pipe, const std::string &log, PROCESS_INFORMATION *pi) {
        SetEnvironmentVariableA("VANTORELLE_SERVICE_PIPE", pipe.c_str());
        std::string command = "\"" + program + "\" -logfile \"" + log + "\" -debug";
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        return CreateProcessA(program.c_str(), command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                              nullptr, &si, pi) != 0;
    };
    std::string pid = std::to_string((unsigned long)GetCurrentProcessId());
    std::string firstPipe = "\\\\.\\pipe\\tlx_state_first_" + pid, secondPipe = "\\\\.\\pipe\\tlx_state_second_" + pid;
    std::string firstLog = root_ + "\\first.log", secondLog = root_ + "\\second.log";
    PROCESS_INFORMATION first = {}, second = {};
    ASSERT_TRUE(start(firstPipe, firstLog, &first));
    // Serving, not only holding its pipe: the pipe is made before the
    // recovery, which would undo the file written below.
    bool serving = false;
    for (int i = 0; i < 200 && !serving; i++) {
        serving = (WaitNamedPipeA(firstPipe.c_str(), 0) || GetLastError() == ERROR_SEM_TIMEOUT) &&
                  ReadAll(firstLog).find("Opening new PIPE") != std::string::npos;
        if (!serving)
            Sleep(25);
    }
    EXPECT_TRUE(serving) << ReadAll(firstLog);
    // What a second copy would undo if it could: a route of the file's.
    char why[STATE_WHY_MAX];
    ASSERT_EQ(0u, STATESYS_CheckFolder(path_.c_str(), why, sizeof(why))) << why;
    char boot[64];
    STATESYS_Boot(boot, sizeof(boot));
    std::string undo = std::string("boot ") + boot +
                       "\nremoved 0 0 0 16433c6 7 4 3 0 0 0 ffffffff ffffffff ffffffff ffffffff 0\n";
    ASSERT_EQ(0u, STATESYS_Write(path_.c_str(), undo.data(), undo.size()));

    ASSERT_TRUE(start(secondPipe, secondLog, &second));
    DWORD waited = WaitForSingleObject(second.hProcess, 10000);
    DWORD exitCode = 0;
    GetExitCodeProcess(second.hProcess, &exitCode);
    if (waited != WAIT_OBJECT_0)
        TerminateProcess(second.hProcess, 1);
    EXPECT_EQ(WAIT_OBJECT_0, waited) << "the second copy does not end";
    EXPECT_NE(0u, exitCode);
    std::string log = ReadAll(secondLog);
    EXPECT_NE(std::string::npos, log.find("Another copy of the service is running")) << log;
    EXPECT_EQ(std::string::npos, log.find("Undoing")) << log;
    EXPECT_EQ(undo, ReadAll(path_)) << "the file is as it was";
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(first.hProcess, 0)) << "the first copy serves on";

    TerminateProcess(first.hProcess, 0);
    WaitForSingleObject(first.hProcess, 5000);
    for (HANDLE h : {first.hProcess, first.hThread, second.hProcess, second.hThread})
        CloseHandle(h);
    DeleteFileA(firstLog.c_str());
    DeleteFileA(secondLog.c_str());
    SetEnvironmentVariableA("VANTORELLE_SERVICE_PIPE", nullptr);
}

// Whether this system keeps an owner set on a folder (Wine 8 answers with
// its one account, whatever was set).
bool KeepsFolderOwners(const std::string &scratch)
{
    CreateDirectoryA(scratch.c_str(), nullptr);
    bool kept = SetSddl(scratch, "O:BA", OWNER_SECURITY_INFORMATION) &&
                Sddl(scratch, OWNER_SECURITY_INFORMATION) == "O:BA";
    RemoveDirectoryA(scratch.c_str());
    return kept;
}

// The folder and the parent the service makes are the administrators',
// whatever owner the system gives a new object's creator, and protected:
// nothing of ProgramData's "users may add folders" is inherited.
TEST_F(StateWindows, WhatTheServiceMakesIsTheAdministrators)
{
    const std::string parent = root_ + "\\made";
    const std::string dir = parent + "\\state";
    const std::string path = dir + "\\service.state";
    char why[STATE_WHY_MAX] = "";
    ASSERT_EQ(0u, STATESYS_CheckFolder(path.c_str(), why, sizeof(why))) << why;
    std::string owners = Sddl(parent, OWNER_SECURITY_INFORMATION) + " " + Sddl(dir, OWNER_SECURITY_INFORMATION);
    std::string dacl = Sddl(parent, DACL_SECURITY_INFORMATION);
    bool owned = KeepsFolderOwners(root_ + "\\scratch"), protectedKept = KeepsFolderDacls(root_ + "\\scratch");
    if (owned) {
        EXPECT_EQ("O:BA O:BA", owners);
    }
    if (protectedKept) {
        EXPECT_EQ(0u, dacl.find("D:P")) << dacl;
        EXPECT_EQ(std::string::npos, dacl.find(";;;BU)")) << dacl;
        EXPECT_EQ(std::string::npos, dacl.find(";;;AU)")) << dacl;
    }
    RemoveDirectoryA(dir.c_str());
    RemoveDirectoryA(parent.c_str());
    if (!owned || !protectedKept)
        GTEST_SKIP() << "this system keeps no owner or DACL set on a folder: " << owners << " " << dacl;
}

// The fields of a mount point's reparse data (a junction), as the system
// takes them.
struct MountPointBuffer {
    DWORD tag;
    WORD dataLength;
    WORD reserved;
    WORD substituteOffset, substituteLength, printOffset, printLength;
    WCHAR paths[MAX_PATH * 2 + 8];
};

// A junction at link to target; false when this system cannot make one.
bool MakeJunction(const std::string &link, const std::string &target)
{
    if (!CreateDirectoryA(link.c_str(), nullptr))
        return false;
    HANDLE h = CreateFileA(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        RemoveDirectoryA(link.c_str());
        return false;
    }
    std::wstring substitute = L"\\??\\", print;
    for (char c : target)
        print += (wchar_t)(unsigned char)c;
    substitute += print;
    MountPointBuffer b = {};
    b.tag = IO_REPARSE_TAG_MOUNT_POINT;
    b.substituteOffset = 0;
    b.substituteLength = (WORD)(substitute.size() * sizeof(WCHAR));
    b.printOffset = (WORD)(b.substituteLength + sizeof(WCHAR));
    b.printLength = (WORD)(print.size() * sizeof(WCHAR));
    memcpy(b.paths, substitute.c_str(), b.substituteLength);
    memcpy(reinterpret_cast<char *>(b.paths) + b.printOffset, print.c_str(), b.printLength);
    b.dataLength = (WORD)(8 + b.printOffset + b.printLength + sizeof(WCHAR));
    DWORD returned = 0;
    bool made = DeviceIoControl(h, FSCTL_SET_REPARSE_POINT, &b, (DWORD)(8 + b.dataLength), nullptr, 0, &returned,
                                nullptr) != FALSE;
    CloseHandle(h);
    made = made && (GetFileAttributesA(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) &&
           GetFileAttributesA((link + "\\state").c_str()) != INVALID_FILE_ATTRIBUTES;
    if (!made)
        RemoveDirectoryA(link.c_str());
    return made;
}

// A junction in the middle of the path (a folder above the service's own):
// nothing is read, written or locked through it.
TEST_F(StateWindows, AJunctionOnTheWayIsNotFollowed)
{
    const std::string target = root_ + "\\elsewhere";
    CreateDirectoryA(target.c_str(), nullptr);
    CreateDirectoryA((target + "\\state").c_str(), nullptr);
    WriteText(target + "\\state\\service.state", "adapter 14 tlxtun\n");
    const std::string link = root_ + "\\via";
    const std::string path = link + "\\state\\service.state";
    if (!MakeJunction(link, target)) {
        DWORD code = GetLastError();
        DeleteFileA((target + "\\state\\service.state").c_str());
        RemoveDirectoryA((target + "\\state").c_str());
        GTEST_SKIP() << "no junction can be made here (" << code << "): the path's parents are not tried";
    }
    STATE_SetPath(path.c_str());
    StateContent c;
    EXPECT_EQ(1, STATE_Load(&c));
    EXPECT_TRUE(c.refused);
    EXPECT_NE(std::string::npos, std::string(c.why).find("reparse point")) << c.why;
    std::string text = "adapter 15 other\n";
    EXPECT_NE(0u, STATESYS_Write(path.c_str(), text.data(), text.size()));
    EXPECT_NE(0u, STATESYS_Lock(path.c_str()));
    EXPECT_EQ("adapter 14 tlxtun\n", ReadAll(target + "\\state\\service.state"));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((target + "\\state\\service.state.lock").c_str()));
    RemoveDirectoryA(link.c_str());
    DeleteFileA((target + "\\state\\service.state").c_str());
    RemoveDirectoryA((target + "\\state").c_str());
}

// Another process holding the lock file for a moment (a backup, a virus
// scanner) is waited for; one that holds it on is another copy.
TEST_F(StateWindows, TheLockWaitsForABriefHolder)
{
    const struct {
        const char *what;
        int holdMs;
        uint32_t expected;
        int atLeastMs;
    } rows[] = {
        {"held for a moment", 300, 0u, 250},
        {"held on", 1500, STATE_LOCK_TAKEN, 700},
    };
    int n = 0;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        const std::string path = dir_ + "\\lock" + std::to_string(n++) + ".state";
        char why[STATE_WHY_MAX];
        ASSERT_EQ(0u, STATESYS_CheckFolder(path.c_str(), why, sizeof(why))) << why;
        HANDLE held = CreateFileA((path + ".lock").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, held);
        std::thread release([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(row.holdMs));
            CloseHandle(held);
        });
        auto start = std::chrono::steady_clock::now();
        uint32_t code = STATESYS_Lock(path.c_str());
        auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        release.join();
        EXPECT_EQ(row.expected, code);
        EXPECT_GE(took.count(), row.atLeastMs);
        EXPECT_LT(took.count(), 3000) << "the wait is bounded";
        DeleteFileA((path + ".lock").c_str());
    }
    // The lock of the first row is this process's now: it moves to a folder
    // of its own, so that this one can go.
    STATESYS_Lock((TempFolder("lockpark") + "\\service.state").c_str());
    for (int i = 0; i < n; i++)
        DeleteFileA((dir_ + "\\lock" + std::to_string(i) + ".state.lock").c_str());
}

// This boot's marker: the same all boot long, whatever the clock does; gone
// after a restart (the system drops the volatile key), and then another.
// An older service's boot line (the start by the clock) is judged widely.
TEST(StateWindowsBoot, TheBootIsAMarkerThatDoesNotMoveWithTheClock)
{
    char boot[64] = "", again[64] = "";
    STATESYS_Boot(boot, sizeof(boot));
    STATESYS_Boot(again, sizeof(again));
    ASSERT_EQ(36u, strlen(boot)) << boot;
    EXPECT_STREQ(boot, again);
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    unsigned long long start =
        (((unsigned long long)ft.dwHighDateTime << 32 | ft.dwLowDateTime) / 10000000ull) - GetTickCount64() / 1000ull;
    auto hex = [](unsigned long long v) {
        char text[32];
        snprintf(text, sizeof(text), "%llx", v);
        return std::string(text);
    };
    const struct {
        const char *what;
        std::string line;
        bool same;
    } rows[] = {
        {"this boot's marker", boot, true},
        {"another boot's marker", "00000000-0000-0000-0000-000000000000", false},
        {"a marker of another form", "abc-", false},
        {"an older service's line of this boot", hex(start), true},
        {"... after the clock was set an hour on", hex(start - 3600), true},
        {"... after the clock was set an hour back", hex(start + 3600), true},
        {"an older service's line of a boot weeks ago", hex(start - 30ull * 86400ull), false},
        {"an older service's line of the clock's beginning", "0", false},
    };
    for (const auto &row : rows)
        EXPECT_EQ(row.same, STATESYS_SameBoot(row.line.c_str())) << row.what << ": " << row.line;

    // A restart as the system makes it: the volatile key is gone.
    const char kKey[] = "SOFTWARE\\Quorvanti\\Vantorelle\\Boot";
    HKEY key = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key));
    RegCloseKey(key);
    // Not to be saved: a non-volatile key below it could not be made.
    EXPECT_EQ((LONG)ERROR_CHILD_MUST_BE_VOLATILE,
              RegCreateKeyExA(HKEY_LOCAL_MACHINE, (std::string(kKey) + "\\probe").c_str(), 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_READ, nullptr, &key, &disposition));
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_LOCAL_MACHINE, kKey));
    EXPECT_FALSE(STATESYS_SameBoot(boot)) << "a boot line whose marker is gone is of an earlier boot";
    char next[64] = "";
    STATESYS_Boot(next, sizeof(next));
    EXPECT_EQ(36u, strlen(next));
    EXPECT_STRNE(boot, next);
    EXPECT_TRUE(STATESYS_SameBoot(next));
    // This boot's own marker back, for anything else on this system.
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kKey);
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, REG_OPTION_VOLATILE, KEY_SET_VALUE,
                                             nullptr, &key, &disposition));
    std::wstring wide(boot, boot + strlen(boot));
    RegSetValueExW(key, L"Id", 0, REG_SZ, reinterpret_cast<const BYTE *>(wide.c_str()),
                   (DWORD)((wide.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    EXPECT_TRUE(STATESYS_SameBoot(boot));
}

namespace {

const char kBootKey[] = "SOFTWARE\\Quorvanti\\Vantorelle\\Boot";

std::string SddlText(PSECURITY_DESCRIPTOR sd, SECURITY_INFORMATION what)
{
    LPSTR text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorA(sd, SDDL_REVISION_1, what, &text, nullptr))
        return "<unconvertible>";
    std::string out = text;
    LocalFree(text);
    return out;
}

// The boot key made anew with the given descriptor and id; false when this
// system does not keep that owner and DACL on it (read back as *kept).
bool PlantBootKey(const char *sddl, const char *id, std::string *kept)
{
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kBootKey);
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd, nullptr))
        return false;
    SECURITY_ATTRIBUTES sa = {sizeof(sa), sd, FALSE};
    HKEY key = nullptr;
    DWORD disposition = 0;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kBootKey, 0, nullptr, REG_OPTION_VOLATILE,
                              KEY_SET_VALUE | WRITE_DAC | WRITE_OWNER, &sa, &key, &disposition);
    // Set again on the key: Wine makes a key with a descriptor of its own.
    if (rc == ERROR_SUCCESS)
        RegSetKeySecurity(key, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, sd);
    LocalFree(sd);
    if (rc != ERROR_SUCCESS) {
        *kept = "<not made: " + std::to_string(rc) + ">";
        return false;
    }
    std::wstring wide(id, id + strlen(id));
    RegSetValueExW(key, L"Id", 0, REG_SZ, reinterpret_cast<const BYTE *>(wide.c_str()),
                   (DWORD)((wide.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    *kept = "<unreadable>";
    if (GetNamedSecurityInfoA(("MACHINE\\" + std::string(kBootKey)).c_str(), SE_REGISTRY_KEY, what, nullptr,
                              nullptr, nullptr, nullptr, &sd) != ERROR_SUCCESS)
        return false;
    *kept = SddlText(sd, what);
    LocalFree(sd);
    // The asked descriptor in the same spelling as the kept one.
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd, nullptr))
        return false;
    std::string asked = SddlText(sd, what);
    LocalFree(sd);
    return *kept == asked;
}

}

// A boot key that another account made first, or may change, gives no
// marker: its id would be whatever that account chose, and a line judged by
// it could drop the undo. Without a marker the undo is the side taken.
TEST(StateWindowsBoot, ABootKeyOthersMayChangeIsNotTaken)
{
    char boot[64] = "";
    STATESYS_Boot(boot, sizeof(boot));
    ASSERT_EQ(36u, strlen(boot)) << boot;
    const char kPlanted[] = "11111111-1111-1111-1111-111111111111";
    const char kOther[] = "22222222-2222-2222-2222-222222222222";
    const struct {
        const char *what;
        const char *sddl;
        bool taken;
    } rows[] = {
        {"the administrators'", "O:BAD:P(A;;KA;;;SY)(A;;KA;;;BA)", true},
        {"SYSTEM's", "O:SYD:P(A;;KA;;;SY)(A;;KA;;;BA)", true},
        {"read by users", "O:BAD:P(A;;KA;;;SY)(A;;KA;;;BA)(A;;KR;;;BU)", true},
        {"another user's", "O:S-1-5-21-1-2-3-1001D:P(A;;KA;;;SY)(A;;KA;;;BA)", false},
        {"Wine's file account's", "O:S-1-5-21-0-0-0-1000D:P(A;;KA;;;SY)(A;;KA;;;BA)", false},
        {"users may set its value", "O:BAD:P(A;;KA;;;SY)(A;;KA;;;BA)(A;;0x2;;;BU)", false},
        {"users may rewrite its DACL", "O:BAD:P(A;;KA;;;SY)(A;;KA;;;BA)(A;;WD;;;BU)", false},
    };
    std::string unchecked;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        std::string kept;
        if (!PlantBootKey(row.sddl, kPlanted, &kept)) {
            unchecked += std::string(" ") + row.what + " (reads " + kept + ")";
            continue;
        }
        char got[64] = "";
        STATESYS_Boot(got, sizeof(got));
        EXPECT_STREQ(row.taken ? kPlanted : "", got);
        EXPECT_TRUE(STATESYS_SameBoot(kPlanted));
        EXPECT_EQ(!row.taken, STATESYS_SameBoot(kOther)) << "a line of another boot";
    }
    // This boot's own marker back, for anything else on this system.
    std::string kept;
    PlantBootKey("O:BAD:P(A;;KA;;;SY)(A;;KA;;;BA)", boot, &kept);
    EXPECT_TRUE(STATESYS_SameBoot(boot));
    if (!unchecked.empty())
        GTEST_SKIP() << "this system cannot give the key these descriptors, whose rows are not checked:" << unchecked;
}

// The file's adapter is found by its GUID, whatever index it has today; a
// GUID no adapter has, or an adapter that is no TAP adapter, is refused.
TEST(StateWindowsAdapter, TheAdapterIsFoundByItsGuidAtTodaysIndex)
{
    ULONG size = 64 * 1024;
    std::vector<char> buf(size);
    IP_ADAPTER_ADDRESSES *list = reinterpret_cast<IP_ADAPTER_ADDRESSES *>(buf.data());
    ASSERT_EQ((ULONG)ERROR_SUCCESS, GetAdaptersAddresses(AF_INET, 0, nullptr, list, &size));
    uint32_t today = 0;
    EXPECT_EQ((uint32_t)ERROR_NOT_FOUND,
              STATESYS_FindAdapter("{00000000-0000-0000-0000-000000000000}", 5, &today));
    bool checked = false;
    for (IP_ADAPTER_ADDRESSES *a = list; a; a = a->Next) {
        char description[256] = "";
        WideCharToMultiByte(CP_ACP, 0, a->Description, -1, description, sizeof(description), nullptr, nullptr);
        if (!a->AdapterName)
            continue;
        SCOPED_TRACE(a->AdapterName);
        uint32_t recorded = a->IfIndex + 1000;  // the index it had before a restart
        uint32_t code = STATESYS_FindAdapter(a->AdapterName, recorded, &today);
        EXPECT_EQ(a->IfIndex, today);
        EXPECT_EQ(SVC_IsTapDescription(description), code == 0) << description << " " << code;
        checked = true;
    }
    EXPECT_TRUE(checked) << "no adapter to look for";
}

}  // namespace
