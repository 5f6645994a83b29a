#include "os_version.h"

#include <windows.h>

int OSVER_ReadPreVista(uint32_t *preVista, uint32_t *errorCode)
{
    OSVERSIONINFOA info;
    ZeroMemory(&info, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    if (!GetVersionExA(&info)) {
        *preVista = 1;
        *errorCode = static_cast<uint32_t>(GetLastError());
        return 0;
    }
    *preVista = info.dwMajorVersion < 6 ? 1 : 0;
    *errorCode = 0;
    return 1;
}
