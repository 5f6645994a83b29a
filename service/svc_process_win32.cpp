#include "svc_process.h"
#include "service_log.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shellapi.h>

#include <cstdio>
#include <cstring>

// How long a program stopped after its time is given to go.
#define SVCPROC_STOP_WAIT_MS 5000u

// A system tool by its full path in the system folder ("netsh" becomes
// "C:\Windows\system32\netsh.exe"), never found through the search path,
// where a user's folder could hold a program of the same name. 0 when the
// system folder cannot be had.
uint32_t SVCPROC_SystemToolPath(const char *program, char *out, uint32_t size)
{
    char dir[MAX_PATH];
    UINT n = GetSystemDirectoryA(dir, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return 0;
    const char *ext = strchr(program, '.') ? "" : ".exe";
    int m = snprintf(out, size, "%s\\%s%s", dir, program, ext);
    return m > 0 && (uint32_t)m < size ? (uint32_t)m : 0;
}

// The end of a started program: its exit code, or SVCPROC_NO_EXIT_CODE.
static uint32_t AwaitExit(HANDLE process, uint32_t waitMs)
{
    DWORD wait = WaitForSingleObject(process, waitMs);
    if (wait == WAIT_TIMEOUT) {
        // Left running it would still be at work on the interface when the
        // next netsh or route run starts against it.
        LOG_Print("Command did not end within %lu ms: stopped\r\n", (unsigned long)waitMs);
        TerminateProcess(process, ERROR_TIMEOUT);
        WaitForSingleObject(process, SVCPROC_STOP_WAIT_MS);
        return SVCPROC_NO_EXIT_CODE;
    }
    if (wait != WAIT_OBJECT_0) {
        uint32_t code = GetLastError();
        LOG_Print("Wait for object failed %lu, %lu (%s)\r\n", (unsigned long)wait, (unsigned long)code,
                  GetErrorText(code));
        return SVCPROC_NO_EXIT_CODE;
    }
    DWORD exitCode = 0;
    if (!GetExitCodeProcess(process, &exitCode))
        return SVCPROC_NO_EXIT_CODE;
    LOG_Print("Command returned %lu\r\n", (unsigned long)exitCode);
    return exitCode;
}

uint32_t SVCPROC_RunHidden(const char *program, const char *parameters, uint32_t waitMs, uint32_t *exitCode)
{
    if (exitCode)
        *exitCode = SVCPROC_NO_EXIT_CODE;
    char path[MAX_PATH + 64];
    if (!strchr(program, '\\')) {
        if (SVCPROC_SystemToolPath(program, path, sizeof(path)) == 0)
            return GetLastError() ? (uint32_t)GetLastError() : (uint32_t)ERROR_PATH_NOT_FOUND;
        program = path;
    }
    SHELLEXECUTEINFOA info;
    ZeroMemory(&info, sizeof(info));
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI | SEE_MASK_NO_CONSOLE;
    info.lpVerb = "open";
    info.lpFile = program;
    info.lpParameters = parameters;
    info.lpDirectory = nullptr;
    info.nShow = SW_HIDE;
    if (!ShellExecuteExA(&info)) {
        uint32_t code = GetLastError();
        return code != 0 ? code : ERROR_FILE_NOT_FOUND;
    }
    if (!info.hProcess)
        return 0;
    uint32_t code = AwaitExit(info.hProcess, waitMs);
    CloseHandle(info.hProcess);
    if (exitCode)
        *exitCode = code;
    return 0;
}

void *SVCPROC_SystemLibrary(const char *name)
{
    char path[MAX_PATH + 64];
    if (SVCPROC_SystemToolPath(name, path, sizeof(path)) == 0)
        return nullptr;
    // Once loaded from there (the delayed imports load it from the system
    // folder too) it stays: no further reference for every lookup.
    HMODULE loaded = GetModuleHandleA(path);
    return loaded ? loaded : LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

// The rights over a folder that let an account put a program of its own in
// place of one in it.
#define FOLDER_CHANGE_RIGHTS                                                                                   \
    (FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | \
     GENERIC_ALL)

// The account that installs (an administrator: the program asks to run
// elevated), which may change anything on the machine anyway.
static bool IsInstallingAccount(PSID sid)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    union {
        TOKEN_USER user;
        BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } info;
    DWORD got = 0;
    bool same = GetTokenInformation(token, TokenUser, &info, sizeof(info), &got) && EqualSid(sid, info.user.User.Sid);
    CloseHandle(token);
    return same;
}

// Administrators, SYSTEM and the installer account own the system's folders.
static bool TrustedAccount(PSID sid)
{
    if (IsInstallingAccount(sid))
        return true;
    static const char *const trusted[] = {"S-1-5-32-544", "S-1-5-18",
                                          "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"};
    for (const char *text : trusted) {
        PSID known = nullptr;
        if (!ConvertStringSidToSidA(text, &known))
            continue;
        bool same = EqualSid(sid, known) != FALSE;
        LocalFree(known);
        if (same)
            return true;
    }
    return false;
}

static void AccountText(PSID sid, char *out, size_t size)
{
    char *text = nullptr;
    if (ConvertSidToStringSidA(sid, &text)) {
        snprintf(out, size, "%s", text);
        LocalFree(text);
    } else {
        snprintf(out, size, "an unknown account");
    }
}

int SVCPROC_OtherFolderWriter(const void *descriptor, char *who, uint32_t size)
{
    PSECURITY_DESCRIPTOR sd = const_cast<void *>(descriptor);
    PSID owner = nullptr;
    PACL dacl = nullptr;
    BOOL defaulted = FALSE, present = FALSE;
    if (!GetSecurityDescriptorOwner(sd, &owner, &defaulted) ||
        !GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted)) {
        snprintf(who, size, "permissions unreadable");
        return 1;
    }
    if (!present || !dacl) {
        snprintf(who, size, "everyone: no access list");
        return 1;
    }
    if (owner && !TrustedAccount(owner)) {
        // An owner may always rewrite the access list.
        AccountText(owner, who, size);
        return 1;
    }
    for (DWORD i = 0; i < dacl->AceCount; i++) {
        ACE_HEADER *ace = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void **>(&ace)) || ace->AceType != ACCESS_ALLOWED_ACE_TYPE)
            continue;
        // Inherit-only entries are for what is made inside, not the folder.
        if (ace->AceFlags & INHERIT_ONLY_ACE)
            continue;
        ACCESS_ALLOWED_ACE *allowed = reinterpret_cast<ACCESS_ALLOWED_ACE *>(ace);
        PSID sid = reinterpret_cast<PSID>(&allowed->SidStart);
        if ((allowed->Mask & FOLDER_CHANGE_RIGHTS) && !TrustedAccount(sid)) {
            AccountText(sid, who, size);
            return 1;
        }
    }
    return 0;
}

// 0 when only the trusted accounts may change the folder; 1 when another
// may, named into who (permissions that cannot be read count as such).
static int OtherWriter(const char *folder, char *who, size_t size)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    DWORD rc = GetNamedSecurityInfoA(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                     nullptr, nullptr, nullptr, nullptr, &sd);
    if (rc != ERROR_SUCCESS) {
        snprintf(who, size, "permissions unreadable, error %lu", (unsigned long)rc);
        return 1;
    }
    int other = SVCPROC_OtherFolderWriter(sd, who, (uint32_t)size);
    LocalFree(sd);
    return other;
}

int SVCPROC_CheckInstallFolder()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return 0;
    char *slash = strrchr(path, '\\');
    if (!slash)
        return 0;
    char who[160];
    // The program itself too: write rights on the file replace it in place.
    if (OtherWriter(path, who, sizeof(who)) != 0) {
        LOG_Print("ERROR: The service is not installed: its program \"%s\" may be changed by accounts other than "
                  "Administrators and SYSTEM (%s), and whatever they put there would run as the service.\r\n",
                  path, who);
        return 0;
    }
    *slash = '\0';
    if (OtherWriter(path, who, sizeof(who)) == 0)
        return 1;
    LOG_Print("ERROR: The service is not installed: its folder \"%s\" may be changed by accounts other than "
              "Administrators and SYSTEM (%s), and whatever they put there would run as the service. Install it "
              "from a folder only administrators may write (below Program Files).\r\n",
              path, who);
    return 0;
}

uint32_t SVCPROC_RunArgv(const char *const *, uint32_t)
{
    return ERROR_NOT_SUPPORTED;
}
