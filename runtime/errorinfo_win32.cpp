// System texts from the system message table.
#include "errorinfo_sys.h"

#include <string.h>
#include <windows.h>

size_t ERRORINFO_SystemText(uint32_t code, char *out, size_t size)
{
    if (size == 0)
        return 0;
    out[0] = '\0';
    char text[4096];
    // Without IGNORE_INSERTS, texts holding "%1" fail for lack of arguments.
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text,
                             static_cast<DWORD>(sizeof text), nullptr);
    if (n == 0 || n >= sizeof text)
        return 0;
    size_t len = n < size ? n : size - 1;
    memcpy(out, text, len);
    out[len] = '\0';
    return len;
}
