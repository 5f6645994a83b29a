// Installing and removing the real program: the path the service control
// manager starts is quoted, every failing -install or -remove ends with a
// non-zero exit code, the event source names the message library beside the
// program whatever the current folder, the service waits for TCP/IP at
// boot, and a running service stops through the service manager.
#include <gtest/gtest.h>

#include "service_pipe_protocol.h"
#include "svc_process.h"

#include <windows.h>
#include <sddl.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
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
// with a failed start, and then until the service is gone from it: one only
// marked for deletion makes the next -install fail.
void RemoveAll(const std::string &program)
{
    for (int i = 0; i < 10 && RunProgram(program, "-remove") != 0 && !ImagePath().empty(); i++)
        Sleep(500);
    for (int i = 0; i < 120 && Known(); i++)
        Sleep(250);
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
    // The undo's folder is made at install, before any user could make it:
    // a folder of its own for this run.
    char temp[MAX_PATH], saved[MAX_PATH] = "";
    GetTempPathA(sizeof(temp), temp);
    std::string folder = std::string(temp) + "tlx-install-" + std::to_string((unsigned long)GetCurrentProcessId());
    DWORD had = GetEnvironmentVariableA("VANTORELLE_SERVICE_STATE", saved, sizeof(saved));
    SetEnvironmentVariableA("VANTORELLE_SERVICE_STATE", (folder + "\\service.state").c_str());
    long installed = RunProgram(program, "-install");
    SetEnvironmentVariableA("VANTORELLE_SERVICE_STATE", had ? saved : nullptr);
    DWORD attributes = GetFileAttributesA(folder.c_str());
    EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) << folder;
    RemoveDirectoryA(folder.c_str());
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

// The restart actions the service manager keeps for the service: 1 when
// read (into *restarts the delays of the restart actions, *onStop whether a
// stop with an exit code counts), 0 when this service manager keeps none.
int FailureActions(std::string *restarts, bool *onStop)
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service =
        manager ? OpenServiceA(manager, "QuorvantiVantorelleTUNLEX", SERVICE_QUERY_CONFIG) : nullptr;
    int read = 0;
    union {
        SERVICE_FAILURE_ACTIONSA actions;
        BYTE bytes[8192];
    } buf;
    DWORD need = 0;
    if (service && QueryServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, buf.bytes, sizeof(buf), &need)) {
        read = 1;
        for (DWORD i = 0; i < buf.actions.cActions; i++)
            if (buf.actions.lpsaActions[i].Type == SC_ACTION_RESTART)
                *restarts += std::to_string(buf.actions.lpsaActions[i].Delay) + " ";
        SERVICE_FAILURE_ACTIONS_FLAG flag = {};
        read = QueryServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, reinterpret_cast<BYTE *>(&flag),
                                    sizeof(flag), &need)
                   ? 1
                   : 0;
        *onStop = flag.fFailureActionsOnNonCrashFailures != FALSE;
    }
    if (service)
        CloseServiceHandle(service);
    if (manager)
        CloseServiceHandle(manager);
    return read;
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
    // The service manager may still hold the name of the service removed
    // just now (the creation then fails and registers nothing): try again.
    long installed = RunProgram(program, "-install", system);
    for (int i = 0; i < 20 && ImagePath().empty(); i++) {
        Sleep(500);
        installed = RunProgram(program, "-install", system);
    }

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

// A service started while another program holds its pipe's name stops, and
// the service manager is told why: stopped, with the service's own code; the
// install set the restart after such a failure (a stop with an exit code
// counts as one).
TEST(ServiceInstall, ATakenPipeNameStopsTheServiceAndItIsStartedAgain)
{
    std::string program = Program();
    if (program.empty())
        GTEST_SKIP() << "TLX_BINARY_DIR names a build with the program (set by CTest)";
    RemoveAll(program);
    HANDLE squatter = CreateNamedPipeA(SVCPIPE_NAME, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE,
                                       PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr);
    if (squatter == INVALID_HANDLE_VALUE)
        GTEST_SKIP() << "the service's pipe name is in use here (a service runs): " << GetLastError();
    // Wine's service manager can keep an entry it no longer opens, or still
    // hold the name of one removed just now: install again until it opens.
    long installed = RunProgram(program, "-install");
    for (int i = 0; i < 10 && !Known(); i++) {
        RemoveAll(program);
        Sleep(500);
        installed = RunProgram(program, "-install");
    }
    EXPECT_FALSE(ImagePath().empty());
    std::string restarts;
    bool onStop = false;
    bool actionsKept = FailureActions(&restarts, &onStop) != 0;
    if (actionsKept) {
        EXPECT_FALSE(restarts.empty()) << "no restart action";
        EXPECT_EQ(std::string::npos, (" " + restarts).find(" 0 ")) << "a restart without delay: " << restarts;
        EXPECT_TRUE(onStop) << "a stop with an exit code must count as a failure";
    }
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceA(manager, "QuorvantiVantorelleTUNLEX", SERVICE_QUERY_STATUS) : nullptr;
    DWORD openError = service ? 0 : GetLastError();
    SERVICE_STATUS_PROCESS st = {};
    DWORD need = 0;
    bool queried = false;
    for (int i = 0; service && i < 200; i++) {
        queried = QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE *>(&st), sizeof(st),
                                       &need) != FALSE;
        if (!queried || st.dwCurrentState == SERVICE_STOPPED)
            break;
        Sleep(50);
    }
    if (service)
        CloseServiceHandle(service);
    if (manager)
        CloseServiceHandle(manager);
    CloseHandle(squatter);
    RemoveAll(program);
    ASSERT_TRUE(queried) << "open " << openError << ", query " << GetLastError() << "; install " << installed;
    EXPECT_EQ((DWORD)SERVICE_STOPPED, st.dwCurrentState);
    bool started = st.dwWin32ExitCode != ERROR_SERVICE_NEVER_STARTED;
    if (started) {
        EXPECT_NE(0, installed) << "a start that does not serve fails the install";
        EXPECT_EQ((DWORD)ERROR_SERVICE_SPECIFIC_ERROR, st.dwWin32ExitCode);
        EXPECT_EQ(1u, st.dwServiceSpecificExitCode) << "the code of a pipe that could not be made";
    }
    if (!started || !actionsKept)
        GTEST_SKIP() << (started ? "" : "the service manager did not start the service (Wine's, outside a boot): "
                                        "its stop is not seen; ")
                     << (actionsKept ? "" : "the service manager keeps no failure actions (Wine's): the restart "
                                             "is not read back");
}

// Runs the program with one option, its output into a file; the exit code
// and the output.
long RunCaptured(const std::string &program, const char *option, std::string *output)
{
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    // A name of its own for every run: the console host may hold the last
    // one's handle a while after the program ended.
    static unsigned runs;
    std::string log = std::string(temp) + "tlx-install-" + std::to_string(GetCurrentProcessId()) + "-" +
                      std::to_string(GetTickCount()) + "-" + std::to_string(runs++) + ".out";
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileA(log.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                             CREATE_ALWAYS, 0, nullptr);
    if (out == INVALID_HANDLE_VALUE)
        return -1000;
    std::string command = "\"" + program + "\" " + option;
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = si.hStdError = out;
    PROCESS_INFORMATION pi = {};
    DWORD code = (DWORD)-1000;
    if (CreateProcessA(program.c_str(), command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &si,
                       &pi)) {
        WaitForSingleObject(pi.hProcess, 60000);
        GetExitCodeProcess(pi.hProcess, &code);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    } else {
        code = (DWORD)-(long)GetLastError();
    }
    CloseHandle(out);
    {
        std::ifstream in(log, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        *output = text.str();
    }
    DeleteFileA(log.c_str());
    return (long)(int)code;
}

// A folder's owner and access list as SDDL, protected from the parent's.
bool SetFolderSecurity(const std::string &folder, const char *sddl)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd, nullptr))
        return false;
    SECURITY_INFORMATION what = DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
    if (strstr(sddl, "O:"))
        what |= OWNER_SECURITY_INFORMATION;
    bool ok = SetFileSecurityA(folder.c_str(), what, sd) != FALSE;
    LocalFree(sd);
    return ok;
}

// The account this test runs as: the installing user, whose unelevated
// processes carry the same account.
std::string OwnAccount()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return "";
    union {
        TOKEN_USER user;
        BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } info;
    DWORD got = 0;
    char *text = nullptr;
    std::string sid;
    if (GetTokenInformation(token, TokenUser, &info, sizeof(info), &got) &&
        ConvertSidToStringSidA(info.user.User.Sid, &text)) {
        sid = text;
        LocalFree(text);
    }
    CloseHandle(token);
    return sid;
}

// The judgement on an owner and access list: what an administrator would
// install from passes, anything another account may change is refused and
// that account named. The program and its folder: no other account may
// write, add, delete or rename there; a folder above: no other account may
// rename it or within it (adding to it, as every user may to the system's
// root, takes no name already taken).
TEST(ServiceInstall, FolderCheckTrustsAdministratorsAndSystemOnly)
{
    const char kTrustedInstaller[] = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
    const std::string me = OwnAccount();
    ASSERT_FALSE(me.empty());
    // The system's root as Windows sets it up: users may add a folder to it,
    // and have modify rights only on what is made inside.
    const std::string systemRoot =
        "O:SYD:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)(A;OICIIO;SDGXGWGR;;;AU)(A;;0x4;;;AU)";
    enum { FOLDER, PARENT };
    const struct {
        const char *what;
        int as;
        std::string sddl;
        std::string other;  // the account named, "" when none
    } cases[] = {
        {"administrators and SYSTEM full, users read", FOLDER,
         "O:BAD:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)", ""},
        {"as below Program Files, creator-owner inherit-only", FOLDER,
         std::string("O:") + kTrustedInstaller + "D:(A;OICI;FA;;;" + kTrustedInstaller +
             ")(A;OICI;0x1301bf;;;SY)(A;OICI;0x1301bf;;;BA)(A;OICI;0x1200a9;;;BU)(A;OICIIO;GA;;;CO)",
         ""},
        {"owned by SYSTEM", FOLDER, "O:SYD:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)", ""},
        {"users may add files only to what is made inside", FOLDER,
         "O:BAD:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OIIO;0x2;;;BU)", ""},
        {"a denying entry for users", FOLDER, "O:BAD:(D;;FA;;;BU)(A;OICI;FA;;;BA)", ""},
        {"as a new folder at the drive's root: authenticated users modify", FOLDER,
         "O:BAD:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1301bf;;;AU)", "S-1-5-11"},
        {"users may add a subfolder", FOLDER, "O:BAD:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;CI;0x4;;;BU)",
         "S-1-5-32-545"},
        {"users may add a file", FOLDER, "O:BAD:(A;OICI;FA;;;BA)(A;;0x2;;;BU)", "S-1-5-32-545"},
        {"everyone may write", FOLDER, "O:BAD:(A;OICI;FA;;;BA)(A;;FW;;;WD)", "S-1-1-0"},
        {"users may rewrite the access list", FOLDER, "O:BAD:(A;OICI;FA;;;BA)(A;;WD;;;BU)", "S-1-5-32-545"},
        {"users may take it over", FOLDER, "O:BAD:(A;OICI;FA;;;BA)(A;;WO;;;BU)", "S-1-5-32-545"},
        {"users may delete what is inside", FOLDER, "O:BAD:(A;OICI;FA;;;BA)(A;;0x40;;;BU)", "S-1-5-32-545"},
        {"users may rename it", FOLDER, "O:BAD:(A;OICI;FA;;;BA)(A;;SD;;;BU)", "S-1-5-32-545"},
        {"users have generic all", FOLDER, "O:BAD:(A;OICI;FA;;;BA)(A;;GA;;;BU)", "S-1-5-32-545"},
        {"owned by users", FOLDER, "O:BUD:(A;OICI;FA;;;BA)", "S-1-5-32-545"},
        {"owner and full control: the installing user", FOLDER,
         "O:" + me + "D:(A;OICI;FA;;;" + me + ")(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)", me},
        {"full control for the installing user, owned by administrators", FOLDER,
         "O:BAD:(A;OICI;FA;;;BA)(A;OICI;FA;;;" + me + ")", me},
        {"owned by the installing user, administrators full", FOLDER, "O:" + me + "D:(A;OICI;FA;;;BA)", me},
        {"no owner at all", FOLDER, "D:(A;OICI;FA;;;BA)", "no owner"},
        // Wine builds every file's owner from one account of its own; the
        // judgement itself does not trust it.
        {"owned by Wine's file account", FOLDER, "O:S-1-5-21-0-0-0-1000D:(A;OICI;FA;;;BA)", "S-1-5-21-0-0-0-1000"},
        {"the system's root as a folder above", PARENT, systemRoot, ""},
        {"the system's root as the program's folder", FOLDER, systemRoot, "S-1-5-11"},
        {"a folder above as below Program Files", PARENT,
         std::string("O:") + kTrustedInstaller + "D:(A;OICI;FA;;;" + kTrustedInstaller +
             ")(A;OICI;0x1301bf;;;SY)(A;OICI;0x1301bf;;;BA)(A;OICI;0x1200a9;;;BU)(A;OICIIO;GA;;;CO)",
         ""},
        {"a folder above that users may change", PARENT, "O:BAD:(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;BU)",
         "S-1-5-32-545"},
        {"a folder above in which users may rename", PARENT, "O:BAD:(A;OICI;FA;;;BA)(A;;0x40;;;BU)",
         "S-1-5-32-545"},
        {"a folder above that users may rename", PARENT, "O:BAD:(A;OICI;FA;;;BA)(A;;SD;;;BU)", "S-1-5-32-545"},
        {"a folder above whose access list users may rewrite", PARENT, "O:BAD:(A;OICI;FA;;;BA)(A;;WD;;;BU)",
         "S-1-5-32-545"},
        {"a folder above owned by the installing user", PARENT, "O:" + me + "D:(A;OICI;FA;;;BA)", me},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        PSECURITY_DESCRIPTOR sd = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(c.sddl.c_str(), SDDL_REVISION_1, &sd, nullptr))
            << c.what;
        char who[160] = "unset";
        int other = c.as == FOLDER ? SVCPROC_OtherFolderWriter(sd, who, sizeof who)
                                   : SVCPROC_OtherParentWriter(sd, who, sizeof who);
        LocalFree(sd);
        EXPECT_EQ(c.other.empty() ? 0 : 1, other) << c.what << ": " << who;
        if (!c.other.empty()) {
            EXPECT_NE(nullptr, strstr(who, c.other.c_str())) << c.what << ": " << who;
        }
    }

    // A conditional entry grants what it names whenever its condition holds
    // (made by hand: not every system reads its text form).
    {
        PSID admins = nullptr, users = nullptr;
        ASSERT_TRUE(ConvertStringSidToSidA("S-1-5-32-544", &admins));
        ASSERT_TRUE(ConvertStringSidToSidA("S-1-5-32-545", &users));
        union {
            ACL acl;
            BYTE bytes[512];
        } list;
        ASSERT_TRUE(InitializeAcl(&list.acl, sizeof(list), ACL_REVISION));
        ASSERT_TRUE(AddAccessAllowedAce(&list.acl, ACL_REVISION, FILE_ALL_ACCESS, admins));
        BYTE entry[128] = {};
        ACCESS_ALLOWED_CALLBACK_ACE *ace = reinterpret_cast<ACCESS_ALLOWED_CALLBACK_ACE *>(entry);
        DWORD sidLength = GetLengthSid(users);
        const BYTE condition[4] = {'a', 'r', 't', 'x'};  // the mark of a condition, and none after it
        ace->Header.AceType = ACCESS_ALLOWED_CALLBACK_ACE_TYPE;
        ace->Header.AceSize = (WORD)(offsetof(ACCESS_ALLOWED_CALLBACK_ACE, SidStart) + sidLength + sizeof(condition));
        ace->Mask = FILE_GENERIC_WRITE;
        CopySid(sidLength, &ace->SidStart, users);
        memcpy(entry + offsetof(ACCESS_ALLOWED_CALLBACK_ACE, SidStart) + sidLength, condition, sizeof(condition));
        ASSERT_TRUE(AddAce(&list.acl, ACL_REVISION, MAXDWORD, entry, ace->Header.AceSize));
        SECURITY_DESCRIPTOR conditional;
        ASSERT_TRUE(InitializeSecurityDescriptor(&conditional, SECURITY_DESCRIPTOR_REVISION));
        ASSERT_TRUE(SetSecurityDescriptorOwner(&conditional, admins, FALSE));
        ASSERT_TRUE(SetSecurityDescriptorDacl(&conditional, TRUE, &list.acl, FALSE));
        char who[160] = "unset";
        EXPECT_EQ(1, SVCPROC_OtherFolderWriter(&conditional, who, sizeof who)) << who;
        EXPECT_NE(nullptr, strstr(who, "S-1-5-32-545")) << who;
        LocalFree(admins);
        LocalFree(users);
    }

    // No access list at all lets everyone in.
    SECURITY_DESCRIPTOR open;
    ASSERT_TRUE(InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&open, TRUE, nullptr, FALSE));
    char who[160] = "unset";
    EXPECT_EQ(1, SVCPROC_OtherFolderWriter(&open, who, sizeof who));
    EXPECT_NE(nullptr, strstr(who, "everyone")) << who;
}

// Whether the file's access list, as this system keeps it, lets Users
// change it: Wine keeps only its owner's and everyone's entries.
bool UsersMayChange(const char *path)
{
    char buf[4096];
    DWORD need = 0;
    PSECURITY_DESCRIPTOR sd = reinterpret_cast<PSECURITY_DESCRIPTOR>(buf);
    PACL dacl = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    if (!GetFileSecurityA(path, DACL_SECURITY_INFORMATION, sd, sizeof(buf), &need) ||
        !GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) || !present || !dacl)
        return false;
    PSID users = nullptr;
    if (!ConvertStringSidToSidA("S-1-5-32-545", &users))
        return false;
    bool may = false;
    for (DWORD i = 0; i < dacl->AceCount && !may; i++) {
        ACCESS_ALLOWED_ACE *ace = nullptr;
        if (GetAce(dacl, i, reinterpret_cast<void **>(&ace)) && ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE)
            may = EqualSid(&ace->SidStart, users) && (ace->Mask & FILE_WRITE_DATA);
    }
    LocalFree(users);
    return may;
}

// -install of the program with the state folder given: refused naming the
// path named ("" when it installs), with nothing made or registered then.
void CheckInstall(const char *what, const std::string &program, const std::string &state, const std::string &named)
{
    std::string output, ignored;
    RunCaptured(program, "-remove", &ignored);
    char saved[MAX_PATH] = "";
    DWORD had = GetEnvironmentVariableA("VANTORELLE_SERVICE_STATE", saved, sizeof(saved));
    SetEnvironmentVariableA("VANTORELLE_SERVICE_STATE", (state + "\\service.state").c_str());
    long code = RunCaptured(program, "-install", &output);
    SetEnvironmentVariableA("VANTORELLE_SERVICE_STATE", had ? saved : nullptr);
    bool refused = output.find("may be changed by accounts other than Administrators") != std::string::npos;
    EXPECT_EQ(!named.empty(), refused) << what << ": " << output;
    bool made = GetFileAttributesA(state.c_str()) != INVALID_FILE_ATTRIBUTES;
    if (!named.empty()) {
        EXPECT_NE(0, code) << what;
        EXPECT_NE(std::string::npos, output.find("\"" + named + "\"")) << what << ": the message names " << named;
        EXPECT_TRUE(ImagePath().empty()) << what << ": nothing registered";
        EXPECT_FALSE(made) << what << ": no state folder made for a refused install";
    } else {
        EXPECT_NE(std::string::npos, output.find("is installed")) << what << ": " << output;
        EXPECT_TRUE(made) << what << ": the state folder is made once the checks passed";
        for (int i = 0; i < 10 && RunCaptured(program, "-remove", &ignored) != 0 && !ImagePath().empty(); i++)
            Sleep(500);
    }
}

// The whole -install, from folders the permissions of which are set: the
// check comes before anything is registered or made, and its refusal names
// the folder or file and ends with a non-zero exit code. A folder above that
// everyone may change is refused as the program's own folder is, and so is
// a message library (or its bin folder) that others may change: the event
// log loads it.
const char kReadOnly[] = "D:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)";
const char kEveryone[] = "D:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;;FA;;;WD)";
const char kUsersModify[] = "D:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1301bf;;;BU)";
const char kFileReadOnly[] = "D:(A;;FA;;;BA)(A;;FA;;;SY)(A;;0x1200a9;;;BU)";
const char kFileUsersModify[] = "D:(A;;FA;;;BA)(A;;FA;;;SY)(A;;0x1301bf;;;BU)";
const char kFileEveryone[] = "D:(A;;FA;;;BA)(A;;FA;;;SY)(A;;FA;;;WD)";
enum { NONE, FOLDER, PARENT, BIN, LIBRARY };
const struct InstallCase {
    const char *what;
    const char *sddl;
    const char *parentSddl;
    const char *binSddl;      // nullptr: no bin folder
    const char *librarySddl;  // nullptr: no library in bin
    int named;                // what the refusal names, NONE when installed
    bool users;               // needs an entry for Users, which Wine does not keep
} kInstallCases[] = {
    {"administrators and SYSTEM full, users read", kReadOnly, kReadOnly, nullptr, nullptr, NONE, false},
    {"everyone may write", kEveryone, kReadOnly, nullptr, nullptr, FOLDER, false},
    {"the folder above: everyone may change it", kReadOnly, kEveryone, nullptr, nullptr, PARENT, false},
    {"bin and its library, users read", kReadOnly, kReadOnly, kReadOnly, kFileReadOnly, NONE, false},
    {"bin without its library, users read", kReadOnly, kReadOnly, kReadOnly, nullptr, NONE, false},
    {"bin: everyone may write", kReadOnly, kReadOnly, kEveryone, kFileReadOnly, BIN, false},
    {"bin's library: everyone may write", kReadOnly, kReadOnly, kReadOnly, kFileEveryone, LIBRARY, false},
    {"bin: users may change it", kReadOnly, kReadOnly, kUsersModify, kFileReadOnly, BIN, true},
    {"bin's library: users may change it", kReadOnly, kReadOnly, kReadOnly, kFileUsersModify, LIBRARY, true},
};

// Runs the cases that need an entry for Users (or those that do not); the
// names of those this system could not set up into *unchecked. "" when the
// built program is missing (the test then skips).
std::string RunInstallCases(bool users, std::string *unchecked)
{
    const char *bin = getenv("TLX_BINARY_DIR");
    if (!bin)
        return "TLX_BINARY_DIR names the build (set by CTest)";
    std::string built = std::string(bin) + "/service/vantorelle_tunlex_service.exe";
    for (char &c : built)
        if (c == '/')
            c = '\\';
    if (GetFileAttributesA(built.c_str()) == INVALID_FILE_ATTRIBUTES)
        return built + " is not built";
    char temp[MAX_PATH];
    EXPECT_NE(0u, GetTempPathA(MAX_PATH, temp));
    int n = 0;
    for (const InstallCase &c : kInstallCases) {
        if (c.users != users)
            continue;
        SCOPED_TRACE(c.what);
        std::string base = std::string(temp) + "tlx-install-" + std::to_string(GetCurrentProcessId()) + "-" +
                           std::to_string(GetTickCount()) + "-" + std::to_string(n++);
        std::string folder = base + "\\app";
        std::string program = folder + "\\vantorelle_tunlex_service.exe";
        std::string binFolder = folder + "\\bin";
        std::string library = binFolder + "\\NoticeCatalog.dll";
        std::string state = base + "-state";
        bool ready = CreateDirectoryA(base.c_str(), nullptr) && CreateDirectoryA(folder.c_str(), nullptr) &&
                     CopyFileA(built.c_str(), program.c_str(), FALSE);
        // Only its permissions are judged: any file stands for the library.
        if (ready && c.binSddl)
            ready = CreateDirectoryA(binFolder.c_str(), nullptr) != FALSE;
        if (ready && c.librarySddl) {
            HANDLE file = CreateFileA(library.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
            ready = file != INVALID_HANDLE_VALUE && CloseHandle(file) && SetFolderSecurity(library, c.librarySddl);
        }
        if (ready && c.binSddl)
            ready = SetFolderSecurity(binFolder, c.binSddl);
        ready = ready && SetFolderSecurity(folder, c.sddl) && SetFolderSecurity(base, c.parentSddl);
        EXPECT_TRUE(ready) << c.what << ": the folders are set up";
        const std::string &usersMay = c.named == BIN ? binFolder : library;
        if (ready && users && !UsersMayChange(usersMay.c_str())) {
            *unchecked += std::string(" \"") + c.what + "\"";
        } else if (ready) {
            CheckInstall(c.what, program, state,
                         c.named == NONE      ? ""
                         : c.named == PARENT  ? base
                         : c.named == BIN     ? binFolder
                         : c.named == LIBRARY ? library
                                              : folder);
        }
        RemoveDirectoryA(state.c_str());
        DeleteFileA(library.c_str());
        RemoveDirectoryA(binFolder.c_str());
        DeleteFileA(program.c_str());
        RemoveDirectoryA(folder.c_str());
        RemoveDirectoryA(base.c_str());
    }
    return "";
}

// Folders Wine can describe: it keeps a file's permissions as its owner's
// and everyone's.
TEST(ServiceInstall, RefusesAFolderEveryoneMayChange)
{
    std::string unchecked, missing = RunInstallCases(false, &unchecked);
    if (!missing.empty())
        GTEST_SKIP() << missing;
}

TEST(ServiceInstall, RefusesAMessageLibraryUsersMayChange)
{
    std::string unchecked, missing = RunInstallCases(true, &unchecked);
    if (!missing.empty())
        GTEST_SKIP() << missing;
    if (!unchecked.empty())
        GTEST_SKIP() << "this system keeps no entry for Users on a file (Wine keeps the owner's and everyone's "
                        "only), not checked:"
                     << unchecked;
}

}  // namespace
