// The options module's file-system calls on Windows.
#include "config_i_sys.h"

#include <windows.h>
#include <io.h>
#include <share.h>
#include <shlobj.h>

const wchar_t OPTIONS_SYS_SEPARATOR = L'\\';

int OPTIONS_SysAppDataFolder(wchar_t *out, uint32_t size)
{
    wchar_t folder[MAX_PATH + 1] = L"";
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, 0, folder)))
        return 0;
    if (wcslen(folder) >= size)
        return 0;
    wcscpy(out, folder);
    return 1;
}

FILE *OPTIONS_SysOpen(const wchar_t *path, const wchar_t *mode)
{
    return _wfsopen(path, mode, _SH_DENYWR);
}

int OPTIONS_SysExists(const wchar_t *path)
{
    return _waccess(path, 0) == 0;
}

uint32_t OPTIONS_SysMakeDir(const wchar_t *path)
{
    if (_wmkdir(path) == 0)
        return 0;
    DWORD code = GetLastError();
    return code ? code : ERROR_CANNOT_MAKE;
}

int OPTIONS_SysRemove(const wchar_t *path)
{
    return _wremove(path) == 0;
}
