#include "service_log.h"
#include "service_log_sys.h"

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <share.h>

// Wide copy of single-byte text (UTF-8 round-trips the command line's file
// names; event texts are ASCII).
static void ToWide(const char *s, wchar_t *out, int size)
{
    if (MultiByteToWideChar(CP_UTF8, 0, s, -1, out, size) == 0)
        out[0] = L'\0';
    out[size - 1] = L'\0';
}

// Opened to append and closed again: it is made if need be, and nothing of
// a file another program writes (a running copy's log) changes.
int LOGSYS_CheckFile(const char *path, char *why, size_t size)
{
    wchar_t wpath[MAX_PATH];
    ToWide(path, wpath, MAX_PATH);
    FILE *f = _wfsopen(wpath, L"ab", _SH_DENYWR);
    if (!f) {
        snprintf(why, size, "%s", strerror(errno));
        return 0;
    }
    fclose(f);
    return 1;
}

FILE *LOGSYS_OpenFile(const char *path, char *why, size_t size, char *note, size_t noteSize)
{
    wchar_t wpath[MAX_PATH];
    ToWide(path, wpath, MAX_PATH);
    if (noteSize)
        note[0] = '\0';
    FILE *f = _wfsopen(wpath, L"wbc", _SH_DENYWR);
    if (!f)
        snprintf(why, size, "%s", strerror(errno));
    return f;
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
