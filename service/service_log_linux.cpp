#include "service_log.h"
#include "service_log_sys.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

// The group that may talk to the service may read its log too.
#define LOG_READER_GROUP "vantorelle"

// The log tells of addresses, routes and callers: the service's alone (0600),
// or readable by the service group where the system has it (0640). A file
// is the service's own when nobody else owns it, writes it or reaches it by
// another name; anything else in its place (another user's file, a link, a
// pipe, a file with more names) could be read or fed by somebody else and is
// made anew instead.
static bool IsOwnFile(const struct stat *st)
{
    return S_ISREG(st->st_mode) && st->st_uid == geteuid() && st->st_nlink == 1 && (st->st_mode & 022) == 0;
}

static bool FolderExists(const char *path)
{
    char folder[SVC_LOG_PATH_MAX];
    snprintf(folder, sizeof(folder), "%s", path);
    char *slash = strrchr(folder, '/');
    if (!slash)
        snprintf(folder, sizeof(folder), ".");
    else if (slash == folder)
        folder[1] = '\0';
    else
        *slash = '\0';
    struct stat st;
    return stat(folder, &st) == 0 && S_ISDIR(st.st_mode);
}

int LOGSYS_CheckFile(const char *path, char *why, size_t size)
{
    struct stat st;
    if (lstat(path, &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            snprintf(why, size, "a folder is in its place");
            return 0;
        }
        return 1;  // the service's own is started anew, anything else replaced
    }
    if (errno != ENOENT) {
        snprintf(why, size, "%s", strerror(errno));
        return 0;
    }
    if (!FolderExists(path)) {
        snprintf(why, size, "its folder does not exist");
        return 0;
    }
    return 1;
}

enum { OWN_NONE = -1, OWN_HELD = -2 };

// A copy of the service holds its log file locked for as long as it writes
// it: another copy (one the service's lock refused) leaves such a file as it
// is.
static bool Hold(int fd)
{
    return flock(fd, LOCK_EX | LOCK_NB) == 0;
}

// The service's own file, emptied; OWN_NONE when there is none (or it
// changed while it was opened), OWN_HELD when another copy writes it.
static int OpenOwn(const char *path)
{
    struct stat before, st;
    if (lstat(path, &before) != 0 || !IsOwnFile(&before))
        return OWN_NONE;
    // No link followed and no wait on a pipe put in its place meanwhile.
    int fd = open(path, O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return OWN_NONE;
    if (fstat(fd, &st) != 0 || !IsOwnFile(&st) || st.st_ino != before.st_ino || st.st_dev != before.st_dev) {
        close(fd);
        return OWN_NONE;
    }
    if (!Hold(fd)) {
        close(fd);
        return OWN_HELD;
    }
    if (ftruncate(fd, 0) != 0) {
        close(fd);
        return OWN_NONE;
    }
    return fd;
}

// Whatever is in the file's place is removed and a file of the service's
// made where nothing is; if somebody puts something there in between, the
// exclusive create fails rather than take it.
static int MakeAnew(const char *path, char *why, size_t size, char *note, size_t noteSize)
{
    struct stat st;
    if (lstat(path, &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            snprintf(why, size, "a folder is in its place");
            return -1;
        }
        snprintf(note, noteSize, "\"%s\" was not the service's own (%s): it is made anew", path,
                 !S_ISREG(st.st_mode) ? "no plain file" : st.st_uid != geteuid() ? "another user's"
                 : st.st_nlink != 1 ? "a file with more than one name" : "others may write it");
        if (unlink(path) != 0 && errno != ENOENT) {
            snprintf(why, size, "what is in its place cannot be removed (%s)", strerror(errno));
            return -1;
        }
    }
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0) {
        snprintf(why, size, errno == EEXIST ? "something else was put in its place meanwhile (%s)" : "%s",
                 strerror(errno));
        return -1;
    }
    if (fstat(fd, &st) != 0 || !IsOwnFile(&st) || !Hold(fd)) {
        close(fd);
        snprintf(why, size, "the new file is not the service's own");
        return -1;
    }
    return fd;
}

FILE *LOGSYS_OpenFile(const char *path, char *why, size_t size, char *note, size_t noteSize)
{
    why[0] = '\0';
    note[0] = '\0';
    int fd = OpenOwn(path);
    if (fd == OWN_HELD) {
        snprintf(why, size, "another copy of the service writes it");
        return nullptr;
    }
    if (fd < 0)
        fd = MakeAnew(path, why, size, note, noteSize);
    if (fd < 0)
        return nullptr;
    group g, *found = nullptr;
    char buf[1024];
    bool withGroup = getgrnam_r(LOG_READER_GROUP, &g, buf, sizeof(buf), &found) == 0 && found &&
                     fchown(fd, (uid_t)-1, found->gr_gid) == 0;
    FILE *f = fchmod(fd, withGroup ? 0640 : 0600) == 0 ? fdopen(fd, "wb") : nullptr;
    if (!f) {
        snprintf(why, size, "%s", strerror(errno));
        close(fd);
    }
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
