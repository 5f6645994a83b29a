// System texts for errno values.
#include "errorinfo_sys.h"

#include <string.h>

size_t ERRORINFO_SystemText(uint32_t code, char *out, size_t size)
{
    if (size == 0)
        return 0;
    out[0] = '\0';
    // strerror answers "Unknown error N" for any number; only named codes have text.
    if (code > 0x7FFFFFFFu || strerrorname_np(static_cast<int>(code)) == nullptr)
        return 0;
    char buf[256];
    const char *text = strerror_r(static_cast<int>(code), buf, sizeof buf);
    size_t len = strlen(text);
    if (len >= size)
        len = size - 1;
    memcpy(out, text, len);
    out[len] = '\0';
    return len;
}
