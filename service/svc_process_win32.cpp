#include "svc_process.h"
#include "service_log.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shellapi.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

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

// The rights over the program and its folder that let an account put a
// program or a library of its own in place of one there: write, add, delete
// and rename, and the rights over the access list and the owner.
#define FOLDER_CHANGE_RIGHTS                                                                                   \
    (FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | \
     GENERIC_ALL)
// The rights over a folder above that let an account take the path away:
// rename the folder (DELETE on it), rename what is in it (delete-child), or
// give itself either. Adding to it is not among them: the system's own root
// lets every user add a folder, and a name that is taken stays taken.
#define PARENT_CHANGE_RIGHTS (FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_ALL)

static bool IsAccount(PSID sid, const char *text)
{
    PSID known = nullptr;
    if (!ConvertStringSidToSidA(text, &known))
        return false;
    bool same = EqualSid(sid, known) != FALSE;
    LocalFree(known);
    return same;
}

// SYSTEM, Administrators and the system's installer account. Not the
// installing user: under UAC an administrator's unelevated processes carry
// that user's account too.
static bool TrustedAccount(PSID sid)
{
    return IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
           IsAccount(sid, "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464");
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

// The one account Wine gives every file whose Unix owner runs the Wine
// server: it keeps no owner or access list of a file's own but builds them
// from the Unix mode with this account as the owner. Its machine part is
// zeros, which Windows never issues (a machine's or domain's part is random),
// so no token on Windows carries it and nobody there can set it as an owner
// without the restore privilege, which only an elevated administrator has.
// On Windows nothing matches it; under Wine it stands for the Unix account
// that owns the files, which owns the whole prefix.
static bool IsWineHostAccount(PSID sid)
{
    return IsAccount(sid, "S-1-5-21-0-0-0-1000");
}

// The judgement on one descriptor: 1 when an account outside the trusted
// ones owns it or is allowed one of the rights (named into who).
static int Judge(PSECURITY_DESCRIPTOR sd, DWORD rights, bool fromFile, char *who, uint32_t size)
{
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
    auto trusted = [fromFile](PSID sid) { return TrustedAccount(sid) || (fromFile && IsWineHostAccount(sid)); };
    // An owner may always rewrite the access list; no owner is nobody's.
    if (!owner || !trusted(owner)) {
        if (owner)
            AccountText(owner, who, size);
        else
            snprintf(who, size, "no owner");
        return 1;
    }
    for (DWORD i = 0; i < dacl->AceCount; i++) {
        ACE_HEADER *ace = nullptr;
        // A conditional entry (callback) grants as a plain one does when its
        // condition holds, and has the same layout.
        if (!GetAce(dacl, i, reinterpret_cast<void **>(&ace)) ||
            (ace->AceType != ACCESS_ALLOWED_ACE_TYPE && ace->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE))
            continue;
        // Inherit-only entries are for what is made inside, not the folder.
        if (ace->AceFlags & INHERIT_ONLY_ACE)
            continue;
        ACCESS_ALLOWED_ACE *allowed = reinterpret_cast<ACCESS_ALLOWED_ACE *>(ace);
        PSID sid = reinterpret_cast<PSID>(&allowed->SidStart);
        if ((allowed->Mask & rights) && !trusted(sid)) {
            AccountText(sid, who, size);
            return 1;
        }
    }
    return 0;
}

int SVCPROC_OtherFolderWriter(const void *descriptor, char *who, uint32_t size)
{
    return Judge(const_cast<void *>(descriptor), FOLDER_CHANGE_RIGHTS, false, who, size);
}

int SVCPROC_OtherParentWriter(const void *descriptor, char *who, uint32_t size)
{
    return Judge(const_cast<void *>(descriptor), PARENT_CHANGE_RIGHTS, false, who, size);
}

// 0 when only the trusted accounts may change the file or folder in the
// given ways; 1 when another may, named into who (permissions that cannot be
// read count as such).
static int OtherWriter(const wchar_t *path, DWORD rights, char *who, size_t size)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    DWORD rc = GetNamedSecurityInfoW(path, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                     nullptr, nullptr, nullptr, nullptr, &sd);
    if (rc != ERROR_SUCCESS) {
        snprintf(who, size, "permissions unreadable, error %lu", (unsigned long)rc);
        return 1;
    }
    int other = Judge(sd, rights, true, who, (uint32_t)size);
    LocalFree(sd);
    return other;
}

static void Narrow(const wchar_t *wide, char *out, size_t size)
{
    if (WideCharToMultiByte(CP_UTF8, 0, wide, -1, out, (int)size, nullptr, nullptr) <= 0)
        snprintf(out, size, "?");
}

// How much of the path names its volume's root: "C:\" or "\\?\C:\" (the
// separator kept: "C:" alone names the current folder there), or
// "\\server\share" with a network path.
static size_t RootLength(const wchar_t *path)
{
    size_t skip = wcsncmp(path, L"\\\\?\\", 4) == 0 ? 4 : 0;
    const wchar_t *p = path + skip;
    if (p[0] && p[1] == L':' && p[2] == L'\\')
        return skip + 3;
    if (skip == 0 && path[0] == L'\\' && path[1] == L'\\') {
        const wchar_t *server = wcschr(path + 2, L'\\');
        const wchar_t *share = server ? wcschr(server + 1, L'\\') : nullptr;
        return share ? (size_t)(share - path) : wcslen(path);
    }
    return 0;
}

// The folder above path, in place; false when path is its volume's root
// (or nothing is above it). Walked on the text, not through the volume's
// mount points: a mounted folder on the way is a folder that may be renamed
// like any other.
static bool CutToParent(wchar_t *path)
{
    size_t root = RootLength(path);
    size_t n = wcslen(path);
    while (n > root && path[n - 1] == L'\\')
        n--;
    if (n <= root)
        return false;
    size_t cut = n;
    while (cut > root && path[cut - 1] != L'\\')
        cut--;
    if (cut == 0)
        return false;
    path[cut > root ? cut - 1 : root] = L'\0';
    return true;
}

// Whether nothing is at path to judge. A missing message library or its
// folder is safe: the program's folder (and bin, once there) lets no other
// account add one.
static bool Absent(const wchar_t *path)
{
    if (GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES)
        return false;
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Why an install from such a place is refused, and where it is right.
#define INSTALL_HINT " Install it from a folder only administrators may write and own (below Program Files)."
#define RUNS_AS_SERVICE "and whatever they put there would run as the service"

// 1 when an account other than the trusted ones may change path in the given
// ways, after the log line: what path is, where (text after the name), what
// that account could do, and the hint when there is one.
static int Changeable(const wchar_t *path, DWORD rights, const char *what, const char *where, const char *then,
                      const char *hint)
{
    char who[160];
    if (OtherWriter(path, rights, who, sizeof(who)) == 0)
        return 0;
    char shown[(MAX_PATH + 32) * 3];
    Narrow(path, shown, sizeof(shown));
    LOG_Print("ERROR: The service is not installed: %s \"%s\"%s may be changed by accounts other than "
              "Administrators and SYSTEM (%s), %s.%s\r\n",
              what, shown, where, who, then, hint);
    return 1;
}

// The message library in bin below the program's folder: the event log and
// every event viewer load it, so bin and the library get the program's own
// judgement. The folders above are the program folder's chain.
static int CheckMessageLibrary(const wchar_t *folder)
{
    static const wchar_t *const PARTS[] = {L"\\bin", L"\\bin\\" SVC_MESSAGE_LIBRARY};
    static const char *const WHAT[] = {"its message library's folder", "its message library"};
    for (size_t i = 0; i < sizeof(PARTS) / sizeof(PARTS[0]); i++) {
        // The folder is shorter than MAX_PATH: both names fit.
        wchar_t path[MAX_PATH + 32];
        wcscpy(path, folder);
        wcscat(path, PARTS[i]);
        if (Absent(path))
            return 1;
        if (Changeable(path, FOLDER_CHANGE_RIGHTS, WHAT[i], "",
                       "and whatever they put there would be loaded by the event log and whoever reads it",
                       INSTALL_HINT))
            return 0;
    }
    return 1;
}

int SVCPROC_CheckInstallFolder()
{
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return 0;
    // The program itself too: write rights on the file replace it in place.
    if (Changeable(path, FOLDER_CHANGE_RIGHTS, "its program", "", RUNS_AS_SERVICE, ""))
        return 0;
    if (!CutToParent(path))
        return 0;
    if (Changeable(path, FOLDER_CHANGE_RIGHTS, "its folder", "", RUNS_AS_SERVICE, INSTALL_HINT))
        return 0;
    if (!CheckMessageLibrary(path))
        return 0;
    // Every folder above up to the volume's root: one that another account
    // may rename, or rename within, lets it put a folder of its own in the
    // program's place.
    while (CutToParent(path)) {
        if (Changeable(path, PARENT_CHANGE_RIGHTS, "the folder", " above its program",
                       "who could move the program's folder away and put their own in its place", INSTALL_HINT))
            return 0;
    }
    return 1;
}

uint32_t SVCPROC_RunArgv(const char *const *, uint32_t)
{
    return ERROR_NOT_SUPPORTED;
}
