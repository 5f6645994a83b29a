// Windows: the state file in the service's folder under ProgramData. The
// folder and its parent are made by the service itself, owned by the
// administrators and protected (SYSTEM and Administrators only; its files
// inherit that), at -install and at every start. Before anything is read or
// written there the folder is opened without following a reparse point and
// refused if it is one, if its owner or a parent's owner is not SYSTEM,
// Administrators, the system's installer account or the service's own
// account, if a parent is a reparse point, or if the opened folder is not
// where its path says (a junction on the way); its protected DACL is set
// again on the checked handle. Each file is opened without following a
// reparse point and checked again once open: a plain file of the service's
// own, in the checked folder.
#include "svc_state.h"
#include "service_log.h"
#include "svc_process.h"
#include "ssl_service.h"

#include <winsock2.h>
#include <windows.h>
#include <aclapi.h>
#include <iphlpapi.h>
#include <ntsecapi.h>
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

// The path as the system resolves it from here: whole, every "/" a "\", no
// "." or "..", and long names for the parts that exist (a temporary folder
// may be named by its short name).
static std::wstring FullPath(const std::wstring &path)
{
    wchar_t full[MAX_PATH * 2];
    DWORD n = GetFullPathNameW(path.c_str(), MAX_PATH * 2, full, nullptr);
    if (n == 0 || n >= MAX_PATH * 2)
        return path;
    wchar_t longer[MAX_PATH * 2];
    n = GetLongPathNameW(full, longer, MAX_PATH * 2);
    return n > 0 && n < MAX_PATH * 2 ? std::wstring(longer) : std::wstring(full);
}

// How much of a full path names its volume's root ("C:\", "\\server\share").
static size_t RootLength(const std::wstring &path)
{
    if (path.size() >= 3 && path[1] == L':' && path[2] == L'\\')
        return 3;
    if (path.compare(0, 2, L"\\\\") == 0) {
        size_t server = path.find(L'\\', 2);
        size_t share = server == std::wstring::npos ? server : path.find(L'\\', server + 1);
        return share == std::wstring::npos ? path.size() : share;
    }
    return 0;
}

// The folder above, or "" at the volume's root.
static std::wstring ParentOf(const std::wstring &dir)
{
    size_t root = RootLength(dir);
    size_t slash = dir.find_last_of(L'\\');
    if (slash == std::wstring::npos || dir.size() <= root)
        return L"";
    return slash < root ? dir.substr(0, root) : dir.substr(0, slash);
}

// Owned by the administrators from the start, whatever the system gives a
// new object's creator; nothing inherited from ProgramData, where every user
// may add folders.
static const wchar_t MADE_SDDL[] = L"O:BAD:P(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)";

// Each missing part of the path up to the folder, made protected; *made
// says whether the folder itself was made now.
static void MakeFolders(const std::wstring &dir, bool *made)
{
    *made = false;
    std::wstring parent = ParentOf(dir);
    if (!parent.empty() && GetFileAttributesW(parent.c_str()) == INVALID_FILE_ATTRIBUTES) {
        bool parentMade = false;
        MakeFolders(parent, &parentMade);
    }
    if (GetFileAttributesW(dir.c_str()) != INVALID_FILE_ATTRIBUTES)
        return;
    PSECURITY_DESCRIPTOR sd = nullptr;
    SECURITY_ATTRIBUTES sa = {};
    sa.nLength = sizeof(sa);
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(MADE_SDDL, SDDL_REVISION_1, &sd, nullptr))
        sa.lpSecurityDescriptor = sd;
    *made = CreateDirectoryW(dir.c_str(), sd ? &sa : nullptr) != FALSE;
    // An account that may not name the administrators as an owner (a test
    // run unelevated) makes it with the DACL alone; the check decides then.
    if (!*made && GetLastError() == ERROR_INVALID_OWNER) {
        LocalFree(sd);
        sd = nullptr;
        if (ConvertStringSecurityDescriptorToSecurityDescriptorW(FOLDER_SDDL, SDDL_REVISION_1, &sd, nullptr))
            sa.lpSecurityDescriptor = sd;
        *made = CreateDirectoryW(dir.c_str(), sd ? &sa : nullptr) != FALSE;
    }
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

// The system's installer account, which owns the system's own folders (the
// volume's root among them).
static bool IsInstallerAccount(PSID sid)
{
    PSID known = nullptr;
    if (!ConvertStringSidToSidW(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", &known))
        return false;
    bool same = EqualSid(sid, known) != FALSE;
    LocalFree(known);
    return same;
}

bool STATESYS_TrustedOwner(const void *sid)
{
    PSID owner = const_cast<void *>(sid);
    return owner && IsValidSid(owner) &&
           (IsWellKnownSid(owner, WinLocalSystemSid) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
            IsInstallerAccount(owner) || IsOwnAccount(owner));
}

const char *STATESYS_AttributeFault(uint32_t attributes, bool folder)
{
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return "it is a reparse point";
    if (((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) != folder)
        return folder ? "it is no folder" : "it is a folder";
    return nullptr;
}

static const char *OwnerFault(HANDLE h)
{
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr, &sd) !=
        ERROR_SUCCESS)
        return "its owner cannot be read";
    bool trusted = STATESYS_TrustedOwner(owner);
    LocalFree(sd);
    return trusted ? nullptr : "its owner is neither SYSTEM nor Administrators";
}

// Why an opened file or folder is not the service's: null when it is.
static const char *ObjectFault(HANDLE h, bool folder)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info))
        return "its attributes cannot be read";
    if (const char *fault = STATESYS_AttributeFault(info.dwFileAttributes, folder))
        return fault;
    return OwnerFault(h);
}

// Where the opened object really is, as a full path ("\\?\" taken off).
static bool FinalPath(HANDLE h, std::wstring *out)
{
    wchar_t buf[MAX_PATH * 2];
    DWORD n = GetFinalPathNameByHandleW(h, buf, MAX_PATH * 2, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0 || n >= MAX_PATH * 2)
        return false;
    std::wstring path(buf, n);
    if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0)
        path = L"\\" + path.substr(7);
    else if (path.compare(0, 4, L"\\\\?\\") == 0)
        path = path.substr(4);
    *out = path;
    return true;
}

// Why the opened object is not the one the path names (a junction or link
// on the way led elsewhere): null when it is.
static const char *PlaceFault(HANDLE h, const std::wstring &expected)
{
    std::wstring final;
    if (!FinalPath(h, &final))
        return "where it is cannot be read";
    return _wcsicmp(final.c_str(), expected.c_str()) == 0 ? nullptr : "it is not where its path says (a link on the way)";
}

// Every folder above the service's folder: no reparse point (a junction in
// the middle of the path leads elsewhere), and owned by an account the
// service trusts (an owner may move the service's folder away, or put a
// junction in its place).
static uint32_t ParentsFault(const std::wstring &dir, char *why, size_t size)
{
    for (std::wstring parent = ParentOf(dir); !parent.empty(); parent = ParentOf(parent)) {
        HANDLE h = CreateFileW(parent.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            uint32_t code = (uint32_t)GetLastError();
            snprintf(why, size, "the folder \"%ls\" above it cannot be opened (%lu)", parent.c_str(),
                     (unsigned long)code);
            return code;
        }
        const char *fault = ObjectFault(h, true);
        CloseHandle(h);
        if (fault) {
            snprintf(why, size, "the folder \"%ls\" above it is not to be trusted: %s", parent.c_str(), fault);
            return ERROR_ACCESS_DENIED;
        }
    }
    return 0;
}

static uint32_t Protect(HANDLE h, bool takeOwnership)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(takeOwnership ? MADE_SDDL : FOLDER_SDDL,
                                                              SDDL_REVISION_1, &sd, nullptr))
        return (uint32_t)GetLastError();
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    PSID owner = nullptr;
    DWORD code = GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) ? ERROR_SUCCESS : GetLastError();
    SECURITY_INFORMATION what = DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
    // The folder made just now is the administrators' even where the system
    // gave it to its creator.
    if (code == ERROR_SUCCESS && takeOwnership && GetSecurityDescriptorOwner(sd, &owner, &defaulted) && owner)
        what |= OWNER_SECURITY_INFORMATION;
    // On the handle that was checked, not on the name again: nothing can be
    // put in the folder's place in between.
    if (code == ERROR_SUCCESS)
        code = SetSecurityInfo(h, SE_FILE_OBJECT, what, owner, nullptr, dacl, nullptr);
    if (code != ERROR_SUCCESS && takeOwnership)
        code = SetSecurityInfo(h, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                               nullptr, nullptr, dacl, nullptr);
    LocalFree(sd);
    return (uint32_t)code;
}

// The checked folder's full path, for the files' own checks.
static uint32_t CheckFolder(const char *path, std::wstring *checked, char *why, size_t size)
{
    std::wstring dir = FolderOf(FullPath(Wide(path)));
    bool made = false;
    MakeFolders(dir, &made);
    dir = FullPath(dir);
    uint32_t code = ParentsFault(dir, why, size);
    if (code != 0)
        return code;
    HANDLE h = CreateFileW(dir.c_str(), READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES | (made ? WRITE_OWNER : 0),
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        code = (uint32_t)GetLastError();
        snprintf(why, size, "its folder cannot be opened (%lu)", (unsigned long)code);
        return code;
    }
    const char *fault = made ? nullptr : ObjectFault(h, true);
    if (!fault)
        fault = PlaceFault(h, dir);
    if (fault) {
        snprintf(why, size, "its folder is not the service's own: %s", fault);
        code = ERROR_ACCESS_DENIED;
    } else if ((code = Protect(h, made)) != 0) {
        snprintf(why, size, "its folder's protection cannot be set (%lu)", (unsigned long)code);
    } else if (made && (fault = ObjectFault(h, true)) != nullptr) {
        snprintf(why, size, "its folder is not the service's own: %s", fault);
        code = ERROR_ACCESS_DENIED;
    }
    CloseHandle(h);
    *checked = dir;
    return code;
}

uint32_t STATESYS_CheckFolder(const char *path, char *why, size_t size)
{
    std::wstring checked;
    return CheckFolder(path, &checked, why, size);
}

// The path of a file in the checked folder, by its own name.
static std::wstring InFolder(const std::wstring &folder, const char *path, const wchar_t *suffix = L"")
{
    std::wstring file = Wide(path);
    size_t slash = file.find_last_of(L"\\/");
    return folder + L"\\" + (slash == std::wstring::npos ? file : file.substr(slash + 1)) + suffix;
}

// An opened file checked again: a plain file of the service's own, in the
// checked folder (nothing was put in the folder's place since its check).
static const char *OpenedFault(HANDLE h, const std::wstring &expected)
{
    if (const char *fault = ObjectFault(h, false))
        return fault;
    return PlaceFault(h, expected);
}

int STATESYS_Read(const char *path, std::vector<char> *text, char *why, size_t size)
{
    text->clear();
    std::wstring folder = FullPath(FolderOf(FullPath(Wide(path))));
    std::wstring file = InFolder(folder, path);
    HANDLE h = CreateFileW(file.c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
            return STATE_READ_NONE;
        snprintf(why, size, "it cannot be opened (%lu)", (unsigned long)code);
        return STATE_READ_REFUSED;
    }
    if (const char *fault = OpenedFault(h, file)) {
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
    std::wstring folder;
    uint32_t code = CheckFolder(path, &folder, why, sizeof(why));
    if (code != 0) {
        LOG_Print("ERROR: The state file is not written: %s\r\n", why);
        return code;
    }
    std::wstring file = InFolder(folder, path);
    std::wstring temp = InFolder(folder, path, L".new");
    // A temporary name that is taken goes first (a link itself, not what it
    // names); the new file is made where nothing is.
    DeleteFileW(temp.c_str());
    HANDLE h = CreateFileW(temp.c_str(), GENERIC_WRITE | READ_CONTROL | FILE_READ_ATTRIBUTES, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return (uint32_t)GetLastError();
    if (const char *fault = OpenedFault(h, temp)) {
        LOG_Print("ERROR: The state file is not written: its new copy %s\r\n", fault);
        CloseHandle(h);
        DeleteFileW(temp.c_str());
        return ERROR_ACCESS_DENIED;
    }
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
    std::wstring folder;
    if (CheckFolder(path, &folder, why, sizeof(why)) != 0) {
        LOG_Print("ERROR: The state file is left: %s\r\n", why);
        return;
    }
    // DeleteFile takes a reparse point itself, not what it names.
    DeleteFileW(InFolder(folder, path).c_str());
}

// This boot: a random id in a volatile registry key, which the system drops
// at every restart, made by the first writer of the boot. Unlike the system
// time less the time since the start, it does not move with a clock step.
// Below HKLM\SOFTWARE, where only administrators and SYSTEM may make keys.
static const wchar_t BOOT_PARENT_KEY[] = L"SOFTWARE\\Quorvanti\\Vantorelle";
static const wchar_t BOOT_KEY[] = L"SOFTWARE\\Quorvanti\\Vantorelle\\Boot";
static const wchar_t BOOT_VALUE[] = L"Id";
#define BOOT_ID_LENGTH 36  // as a GUID is written: 8-4-4-4-12 hex digits

enum { MARK_FOUND, MARK_NONE, MARK_FAILED };

// The key as the service makes it: only SYSTEM and the administrators may
// change it, nothing inherited from the parent (another program's installer
// may have let users write there). An account that may not name the
// administrators as an owner makes it with the DACL alone.
static const wchar_t BOOT_SDDL[] = L"O:BAD:P(A;;KA;;;SY)(A;;KA;;;BA)";
static const wchar_t BOOT_DACL_SDDL[] = L"D:P(A;;KA;;;SY)(A;;KA;;;BA)";

// A key that another account made first, or may change, says nothing of
// this boot: its id could be any the account chose.
static bool TrustedKey(HKEY key)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetSecurityInfo(key, SE_REGISTRY_KEY, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                        nullptr, nullptr, nullptr, &sd) != ERROR_SUCCESS)
        return false;
    char who[160];
    // A key's rights to set a value, add a key, delete, and rewrite its DACL
    // or owner have a folder's change rights' values.
    bool other = SVCPROC_OtherFolderWriter(sd, who, sizeof(who)) != 0;
    LocalFree(sd);
    if (other)
        LOG_Print("Warning: The boot marker is not taken: its key may be changed by %s\r\n", who);
    return !other;
}

static int ReadMarker(char *out, size_t size)
{
    HKEY key = nullptr;
    LSTATUS rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, BOOT_KEY, 0, KEY_QUERY_VALUE | READ_CONTROL, &key);
    if (rc == ERROR_FILE_NOT_FOUND || rc == ERROR_PATH_NOT_FOUND)
        return MARK_NONE;
    if (rc != ERROR_SUCCESS)
        return MARK_FAILED;
    wchar_t text[BOOT_ID_LENGTH + 2] = L"";
    DWORD bytes = sizeof(text) - sizeof(wchar_t);
    rc = TrustedKey(key) ? RegGetValueW(key, nullptr, BOOT_VALUE, RRF_RT_REG_SZ, nullptr, text, &bytes)
                         : ERROR_ACCESS_DENIED;
    RegCloseKey(key);
    if (rc == ERROR_FILE_NOT_FOUND)
        return MARK_NONE;
    if (rc != ERROR_SUCCESS)
        return MARK_FAILED;
    char narrow[BOOT_ID_LENGTH + 2] = "";
    if (WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow, (int)sizeof(narrow), nullptr, nullptr) <= 0 ||
        strlen(narrow) != BOOT_ID_LENGTH)
        return MARK_FAILED;
    snprintf(out, size, "%s", narrow);
    return MARK_FOUND;
}

static LSTATUS MakeBootKey(HKEY parent, const wchar_t *sddl, HKEY *key, DWORD *disposition)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    SECURITY_ATTRIBUTES sa = {};
    sa.nLength = sizeof(sa);
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, nullptr))
        return (LSTATUS)GetLastError();
    sa.lpSecurityDescriptor = sd;
    LSTATUS rc = RegCreateKeyExW(parent, L"Boot", 0, nullptr, REG_OPTION_VOLATILE, KEY_SET_VALUE | KEY_QUERY_VALUE,
                                 &sa, key, disposition);
    LocalFree(sd);
    return rc;
}

// The marker of this boot, made when the boot has none yet; false when it
// can be neither read nor made.
static bool BootMarker(char *out, size_t size)
{
    int found = ReadMarker(out, size);
    if (found != MARK_NONE)
        return found == MARK_FOUND;
    // The parent lasts (a volatile key can have no lasting child); the key
    // itself goes with the boot.
    HKEY parent = nullptr, key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, BOOT_PARENT_KEY, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_CREATE_SUB_KEY,
                        nullptr, &parent, nullptr) != ERROR_SUCCESS)
        return false;
    DWORD disposition = 0;
    LSTATUS rc = MakeBootKey(parent, BOOT_SDDL, &key, &disposition);
    if (rc == ERROR_INVALID_OWNER)
        rc = MakeBootKey(parent, BOOT_DACL_SDDL, &key, &disposition);
    RegCloseKey(parent);
    if (rc != ERROR_SUCCESS)
        return false;
    unsigned char random[16];
    bool ok = RtlGenRandom(random, sizeof(random)) != FALSE;
    if (ok && disposition == REG_CREATED_NEW_KEY) {
        wchar_t text[BOOT_ID_LENGTH + 1];
        _snwprintf(text, BOOT_ID_LENGTH + 1,
                   L"%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", random[0], random[1],
                   random[2], random[3], random[4], random[5], random[6], random[7], random[8], random[9],
                   random[10], random[11], random[12], random[13], random[14], random[15]);
        text[BOOT_ID_LENGTH] = L'\0';
        ok = RegSetValueExW(key, BOOT_VALUE, 0, REG_SZ, reinterpret_cast<const BYTE *>(text),
                            (DWORD)sizeof(text)) == ERROR_SUCCESS;
    }
    RegCloseKey(key);
    // Another writer that made the key first wrote its id: that one holds.
    return ok && ReadMarker(out, size) == MARK_FOUND;
}

void STATESYS_Boot(char *out, size_t size)
{
    // Without a marker the file names no boot, and is taken as this boot's.
    if (!BootMarker(out, size) && size)
        out[0] = '\0';
}

// The system's start by the clock, in seconds: now less the time since the
// start. An older service wrote this as its boot line (hex digits only).
static ULONGLONG ClockBootSeconds()
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    ULONGLONG now = ((ULONGLONG)ft.dwHighDateTime << 32 | ft.dwLowDateTime) / 10000000ull;
    return now - GetTickCount64() / 1000ull;
}

// How far an older service's boot line may lie from the start by today's
// clock and still be taken as this boot.
#define STATE_OLD_BOOT_SLACK_S (24ull * 3600ull)

// An older service's line moves with the clock, so it is judged widely: it
// is this boot unless it lies more than a day from this boot's start by the
// clock. Undoing is the side to err on: what is undone then was either still
// in place or went with the restart (a route deleted again is not found, one
// made again is found), while what is dropped stays for good. So is a line
// when this boot's marker cannot be read. A marker that is gone means the
// system has started since.
bool STATESYS_SameBoot(const char *recorded)
{
    if (!strchr(recorded, '-')) {
        char *end = nullptr;
        unsigned long long then = strtoull(recorded, &end, 16);
        if (!end || *end != '\0')
            return true;
        ULONGLONG start = ClockBootSeconds();
        ULONGLONG diff = start > then ? start - then : then - start;
        return diff <= STATE_OLD_BOOT_SLACK_S;
    }
    char now[BOOT_ID_LENGTH + 2];
    int found = ReadMarker(now, sizeof(now));
    if (found == MARK_FAILED)
        return true;
    return found == MARK_FOUND && strcmp(now, recorded) == 0;
}

// A file beside the state file, held open without sharing for the
// process's life (the system lets go of it when the process ends). In the
// service's checked folder, where nobody but SYSTEM and the administrators
// may make anything: a named object any user could create first. A backup
// or virus scanner that has it open for a moment is waited for a little
// before it is taken for another copy of the service.
#define STATE_LOCK_TRIES 5
#define STATE_LOCK_RETRY_MS 200u

uint32_t STATESYS_Lock(const char *path)
{
    static HANDLE s_lock = INVALID_HANDLE_VALUE;
    static std::string s_lockPath;
    std::string lockPath = std::string(path) + ".lock";
    if (s_lock != INVALID_HANDLE_VALUE && lockPath == s_lockPath)
        return 0;
    char why[STATE_WHY_MAX];
    std::wstring folder;
    uint32_t code = CheckFolder(path, &folder, why, sizeof(why));
    if (code != 0)
        return code;
    std::wstring file = InFolder(folder, path, L".lock");
    HANDLE h = INVALID_HANDLE_VALUE;
    for (int tries = 0; h == INVALID_HANDLE_VALUE; tries++) {
        h = CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE | READ_CONTROL, 0, nullptr, OPEN_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (h != INVALID_HANDLE_VALUE)
            break;
        code = (uint32_t)GetLastError();
        if (code != ERROR_SHARING_VIOLATION)
            return code;
        if (tries + 1 >= STATE_LOCK_TRIES)
            return STATE_LOCK_TAKEN;
        Sleep(STATE_LOCK_RETRY_MS);
    }
    if (const char *fault = OpenedFault(h, file)) {
        LOG_Print("ERROR: The lock beside the state file is not the service's own: %s\r\n", fault);
        CloseHandle(h);
        return ERROR_ACCESS_DENIED;
    }
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
