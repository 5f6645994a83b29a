#include "service_log.h"
#include "service_log_sys.h"

#include <windows.h>

#include <cstdio>
#include <share.h>

// Wide copy of single-byte text (UTF-8 round-trips the command line's file
// names; event texts are ASCII).
static void ToWide(const char *s, wchar_t *out, int size)
{
    if (MultiByteToWideChar(CP_UTF8, 0, s, -1, out, size) == 0)
        out[0] = L'\0';
    out[size - 1] = L'\0';
}

FILE *LOGSYS_OpenFile(const char *path)
{
    wchar_t wpath[MAX_PATH];
    ToWide(path, wpath, MAX_PATH);
    return _wfsopen(wpath, L"wbc", _SH_DENYWR);
}

void LOGSYS_ReportEvent(uint16_t type, uint16_t category, uint32_t eventId,
                        const char *source, const char *text)
{
    wchar_t wsource[256];
    wchar_t wtext[SVC_LOG_LINE_MAX];
    ToWide(source, wsource, 256);
    ToWide(text, wtext, SVC_LOG_LINE_MAX);
    HANDLE h = RegisterEventSourceW(nullptr, wsource);
    if (!h)
        return;
    LPCWSTR strings[2] = {wsource, wtext};
    ReportEventW(h, type, category, eventId, nullptr, 2, 0, strings, nullptr);
    DeregisterEventSource(h);
}

void LOGSYS_ErrorText(uint32_t code, char *text, size_t size)
{
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                             text, (DWORD)size, nullptr);
    if (n == 0)
        snprintf(text, size, "Unknown error 0x%08lx", (unsigned long)code);
}

bool IsLegacyWindows()
{
    OSVERSIONINFOW info;
    ZeroMemory(&info, sizeof(info));
    info.dwOSVersionInfoSize = sizeof(info);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!GetVersionExW(&info))
        return true;
#pragma GCC diagnostic pop
    return info.dwMajorVersion < 6;
}
