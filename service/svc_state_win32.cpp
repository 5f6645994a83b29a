// Windows: the state file in the service's folder under ProgramData; the
// folder is made for SYSTEM and Administrators only (its files inherit
// that), and the file is replaced in one step.
#include "svc_state.h"

#include <windows.h>
#include <sddl.h>
#include <shlobj.h>

#include <cstdio>
#include <string>

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

// Each folder of the path that is missing; the last one protected.
static void MakeFolder(const std::wstring &dir)
{
    size_t slash = dir.rfind(L'\\');
    if (slash != std::wstring::npos && slash > 2)
        MakeFolder(dir.substr(0, slash));
    PSECURITY_DESCRIPTOR sd = nullptr;
    SECURITY_ATTRIBUTES sa = {};
    sa.nLength = sizeof(sa);
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)", SDDL_REVISION_1,
                                                             &sd, nullptr))
        sa.lpSecurityDescriptor = sd;
    CreateDirectoryW(dir.c_str(), sd ? &sa : nullptr);
    if (sd)
        LocalFree(sd);
}

uint32_t STATESYS_Write(const char *path, const char *text, size_t length)
{
    std::wstring file = Wide(path);
    size_t slash = file.rfind(L'\\');
    if (slash != std::wstring::npos)
        MakeFolder(file.substr(0, slash));
    std::wstring temp = file + L".new";
    HANDLE h = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return (uint32_t)GetLastError();
    DWORD written = 0;
    BOOL ok = WriteFile(h, text, (DWORD)length, &written, nullptr) && written == length && FlushFileBuffers(h);
    DWORD code = ok ? 0 : GetLastError();
    CloseHandle(h);
    if (ok && !MoveFileExW(temp.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        code = GetLastError();
    if (code != 0)
        DeleteFileW(temp.c_str());
    return (uint32_t)code;
}

void STATESYS_Remove(const char *path)
{
    DeleteFileW(Wide(path).c_str());
}
