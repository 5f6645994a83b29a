#include "service_log.h"
#include "service_log_sys.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

// The group that may talk to the service may read its log too.
#define LOG_READER_GROUP "vantorelle"

// The log tells of addresses, routes and callers: the service's alone (0600),
// or readable by the service group where the system has it (0640), a file
// that was there before included.
FILE *LOGSYS_OpenFile(const char *path)
{
    // No link followed and no wait on a pipe in its place: the file's owner
    // and mode are changed below.
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0)
        return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return nullptr;
    }
    group g, *found = nullptr;
    char buf[1024];
    bool withGroup = getgrnam_r(LOG_READER_GROUP, &g, buf, sizeof(buf), &found) == 0 && found &&
                     fchown(fd, (uid_t)-1, found->gr_gid) == 0;
    FILE *f = fchmod(fd, withGroup ? 0640 : 0600) == 0 ? fdopen(fd, "wb") : nullptr;
    if (!f)
        close(fd);
    return f;
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
