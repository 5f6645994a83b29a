// Windows: the state file in the service's folder under ProgramData. The
// folder is made at -install and at every start; before anything is read or
// written there it is opened without following a reparse point, refused if
// it is one or if its owner is not SYSTEM, Administrators or the service's
// own account, and given its protected DACL again (SYSTEM and Administrators
// only; its files inherit that). The file and its temporary copy are opened
// without following a reparse point either.
#include "svc_state.h"
#include "service_log.h"
#include "ssl_service.h"

#include <winsock2.h>
#include <windows.h>
#include <aclapi.h>
#include <iphlpapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

const uint32_t STATE_LOCK_TAKEN = ERROR_ALREADY_EXISTS;
const uint32_t STATE_FULL = ERROR_NOT_ENOUGH_QUOTA;

static const wchar_t FOLDER_SDDL[] = L"D:P(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)";

static std::wstring Wide(const char *text)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    std::wstring w(n > 0 ? (size_t)n : 1, L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, text, -1, &w[0], n);
    w.resize(wcslen(w.c_str()));
    return w;
}

void STATESYS_DefaultPath(char *out, size_t size)
{
    wchar_t base[MAX_PATH];
    char narrow[MAX_PATH * 3];
    if (SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, base) != S_OK ||
        WideCharToMultiByte(CP_UTF8, 0, base, -1, narrow, (int)sizeof(narrow), nullptr, nullptr) <= 0)
        snprintf(narrow, sizeof(narrow), "%s", "C:\\ProgramData");
    snprintf(out, size, "%s\\Quorvanti\\Vantorelle\\service.state", narrow);
}

static std::wstring FolderOf(const std::wstring &file)
{
    size_t slash = file.find_last_of(L"\\/");
    if (slash == std::wstring::npos)
        return L".";
    return file.substr(0, slash);
}

// Each folder of the path that is missing; the last one protected.
static void MakeFolder(const std::wstring &dir)
{
    size_t slash = dir.find_last_of(L"\\/");
    if (slash != std::wstring::npos && slash > 2)
        MakeFolder(dir.substr(0, slash));
    PSECURITY_DESCRIPTOR sd = nullptr;
    SECURITY_ATTRIBUTES sa = {};
    sa.nLength = sizeof(sa);
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(FOLDER_SDDL, SDDL_REVISION_1, &sd, nullptr))
        sa.lpSecurityDescriptor = sd;
    CreateDirectoryW(dir.c_str(), sd ? &sa : nullptr);
    if (sd)
        LocalFree(sd);
}

// The account this process runs as (SYSTEM for the service itself).
static bool IsOwnAccount(PSID sid)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    union {
        TOKEN_USER user;
        BYTE bytes[256];
    } info;
    DWORD size = 0;
    bool same = GetTokenInformation(token, TokenUser, &info, sizeof(info), &size) && EqualSid(info.user.User.Sid, sid);
    CloseHandle(token);
    return same;
}

bool STATESYS_TrustedOwner(const void *sid)
{
    PSID owner = const_cast<void *>(sid);
    return owner && IsValidSid(owner) &&
           (IsWellKnownSid(owner, WinLocalSystemSid) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
            IsOwnAccount(owner));
}

const char *STATESYS_AttributeFault(uint32_t attributes, bool folder)
{
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return "it is a reparse point";
    if (((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) != folder)
        return folder ? "it is no folder" : "it is a folder";
    return nullptr;
}

// Why an opened file or folder is not the service's: null when it is.
static const char *ObjectFault(HANDLE h, bool folder)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info))
        return "its attributes cannot be read";
    if (const char *fault = STATESYS_AttributeFault(info.dwFileAttributes, folder))
        return fault;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr, &sd) !=
        ERROR_SUCCESS)
        return "its owner cannot be read";
    bool trusted = STATESYS_TrustedOwner(owner);
    LocalFree(sd);
    return trusted ? nullptr : "its owner is neither SYSTEM nor Administrators";
}

static uint32_t Protect(HANDLE h)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(FOLDER_SDDL, SDDL_REVISION_1, &sd, nullptr))
        return (uint32_t)GetLastError();
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    DWORD code = GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) ? ERROR_SUCCESS : GetLastError();
    // On the handle that was checked, not on the name again: nothing can be
    // put in the folder's place in between.
    if (code == ERROR_SUCCESS)
        code = SetSecurityInfo(h, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                               nullptr, nullptr, dacl, nullptr);
    LocalFree(sd);
    return (uint32_t)code;
}

uint32_t STATESYS_CheckFolder(const char *path, char *why, size_t size)
{
    std::wstring dir = FolderOf(Wide(path));
    MakeFolder(dir);
    HANDLE h = CreateFileW(dir.c_str(), READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        uint32_t code = (uint32_t)GetLastError();
        snprintf(why, size, "its folder cannot be opened (%lu)", (unsigned long)code);
        return code;
    }
    uint32_t code = 0;
    if (const char *fault = ObjectFault(h, true)) {
        snprintf(why, size, "its folder is not the service's own: %s", fault);
        code = ERROR_ACCESS_DENIED;
    } else if ((code = Protect(h)) != 0) {
        snprintf(why, size, "its folder's protection cannot be set (%lu)", (unsigned long)code);
    }
    CloseHandle(h);
    return code;
}

int STATESYS_Read(const char *path, std::vector<char> *text, char *why, size_t size)
{
    text->clear();
    HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
            return STATE_READ_NONE;
        snprintf(why, size, "it cannot be opened (%lu)", (unsigned long)code);
        return STATE_READ_REFUSED;
    }
    if (const char *fault = ObjectFault(h, false)) {
        snprintf(why, size, "it is not a file of the service's own: %s", fault);
        CloseHandle(h);
        return STATE_READ_REFUSED;
    }
    char buf[4096];
    DWORD n = 0;
    while (text->size() <= STATE_FILE_MAX) {
        if (!ReadFile(h, buf, sizeof(buf), &n, nullptr)) {
            // Part of a file could end on a line's end and pass for all of it.
            snprintf(why, size, "it cannot be read (error %lu)", (unsigned long)GetLastError());
            CloseHandle(h);
            return STATE_READ_REFUSED;
        }
        if (n == 0)
            break;
        text->insert(text->end(), buf, buf + n);
    }
    CloseHandle(h);
    return STATE_READ_OK;
}

uint32_t STATESYS_Write(const char *path, const char *text, size_t length)
{
    char why[STATE_WHY_MAX];
    uint32_t code = STATESYS_CheckFolder(path, why, sizeof(why));
    if (code != 0) {
        LOG_Print("ERROR: The state file is not written: %s\r\n", why);
        return code;
    }
    std::wstring file = Wide(path);
    std::wstring temp = file + L".new";
    // A temporary name that is taken goes first (a link itself, not what it
    // names); the new file is made where nothing is.
    DeleteFileW(temp.c_str());
    HANDLE h = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return (uint32_t)GetLastError();
    DWORD written = 0;
    BOOL ok = WriteFile(h, text, (DWORD)length, &written, nullptr) && written == length && FlushFileBuffers(h);
    DWORD result = ok ? 0 : GetLastError();
    CloseHandle(h);
    // The rename replaces a link in the file's place, never what it names.
    if (ok && !MoveFileExW(temp.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        result = GetLastError();
    if (result != 0)
        DeleteFileW(temp.c_str());
    return (uint32_t)result;
}

void STATESYS_Remove(const char *path)
{
    char why[STATE_WHY_MAX];
    if (STATESYS_CheckFolder(path, why, sizeof(why)) != 0) {
        LOG_Print("ERROR: The state file is left: %s\r\n", why);
        return;
    }
    // DeleteFile takes a reparse point itself, not what it names.
    DeleteFileW(Wide(path).c_str());
}

// The system's start, in seconds of the system time: now less the time since
// the start. It moves with the clock, so two readings are the same boot when
// they are close.
static ULONGLONG BootSeconds()
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    ULONGLONG now = ((ULONGLONG)ft.dwHighDateTime << 32 | ft.dwLowDateTime) / 10000000ull;
    return now - GetTickCount64() / 1000ull;
}

// A restart of the system takes longer than this.
#define STATE_BOOT_SLACK 10

void STATESYS_Boot(char *out, size_t size)
{
    snprintf(out, size, "%llx", (unsigned long long)BootSeconds());
}

bool STATESYS_SameBoot(const char *recorded)
{
    char *end = nullptr;
    unsigned long long then = strtoull(recorded, &end, 16);
    if (!end || *end != '\0')
        return false;
    ULONGLONG now = BootSeconds();
    ULONGLONG diff = now > then ? now - then : then - now;
    return diff <= STATE_BOOT_SLACK;
}

// A file beside the state file, held open without sharing for the
// process's life (the system lets go of it when the process ends). In the
// service's checked folder, where nobody but SYSTEM and the administrators
// may make anything: a named object any user could create first.
uint32_t STATESYS_Lock(const char *path)
{
    static HANDLE s_lock = INVALID_HANDLE_VALUE;
    static std::string s_lockPath;
    std::string lockPath = std::string(path) + ".lock";
    if (s_lock != INVALID_HANDLE_VALUE && lockPath == s_lockPath)
        return 0;
    char why[STATE_WHY_MAX];
    uint32_t code = STATESYS_CheckFolder(path, why, sizeof(why));
    if (code != 0)
        return code;
    HANDLE h = CreateFileW(Wide(lockPath.c_str()).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_SHARING_VIOLATION ? STATE_LOCK_TAKEN : (uint32_t)GetLastError();
    if (s_lock != INVALID_HANDLE_VALUE)
        CloseHandle(s_lock);
    s_lock = h;
    s_lockPath = lockPath;
    return 0;
}

// In ssl_service_win32.cpp, beside the TAP adapter lookup.
IP_ADAPTER_ADDRESSES *SVCSYS_ReadAdapters(uint32_t *code);

// The adapter by its GUID (the name the file has), as indexes change across
// restarts and adapter changes: its index today, and the TAP check on it.
uint32_t STATESYS_FindAdapter(const char *name, uint32_t recorded, uint32_t *today)
{
    *today = recorded;
    uint32_t rc = 0;
    IP_ADAPTER_ADDRESSES *list = SVCSYS_ReadAdapters(&rc);
    bool found = false;
    for (IP_ADAPTER_ADDRESSES *a = list; a && !found; a = a->Next) {
        if (a->AdapterName && strcmp(a->AdapterName, name) == 0) {
            *today = a->IfIndex;
            found = true;
        }
    }
    free(list);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (!found)
        return ERROR_NOT_FOUND;
    return SVCSYS_FindTapAdapter(name, *today);
}
