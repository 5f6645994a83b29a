#include "service_log.h"
#include "service_log_sys.h"

#include <cstdio>
#include <cstring>
#include <syslog.h>

FILE *LOGSYS_OpenFile(const char *path)
{
    return fopen(path, "wb");
}

void LOGSYS_ReportEvent(uint16_t type, uint16_t, uint32_t, const char *source, const char *text)
{
    int priority = type == SVC_EVENT_ERROR ? LOG_ERR : type == SVC_EVENT_WARNING ? LOG_WARNING : LOG_INFO;
    openlog(source, LOG_PID, LOG_DAEMON);
    syslog(priority, "%s", text);
    closelog();
}

void LOGSYS_ErrorText(uint32_t code, char *text, size_t size)
{
    // The GNU strerror_r may return a static text instead of filling ours.
    const char *s = strerror_r((int)code, text, size);
    if (s != text)
        snprintf(text, size, "%s", s);
}

bool IsLegacyWindows()
{
    return false;
}
