// Linux: the state file under /run (gone at a reboot, as the changes are),
// root's alone; written under a temporary name, synced and renamed. Its
// folder must be the service's own and nobody else's to write in, and the
// file a plain file of the service's, opened without following a link.
#include "svc_state.h"
#include "ssl_service.h"
#include "service_log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

const uint32_t STATE_LOCK_TAKEN = EWOULDBLOCK;
const uint32_t STATE_FULL = E2BIG;

void STATESYS_DefaultPath(char *out, size_t size)
{
    snprintf(out, size, "%s", "/run/vantorelle/service.state");
}

static std::string Folder(const char *path)
{
    std::string dir(path);
    size_t slash = dir.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    dir.resize(slash);
    return dir;
}

// A folder above the service's own: whoever may change it may swap the
// service's folder for one of theirs, or take it away. Root's or the
// service's, and writable by nobody else, unless it is root's and sticky
// (as /tmp is: others may add to it, but not rename what is not theirs).
static bool TrustedAbove(const struct stat &st)
{
    if (S_ISLNK(st.st_mode))
        return st.st_uid == 0 || st.st_uid == geteuid();
    if (!S_ISDIR(st.st_mode) || (st.st_uid != 0 && st.st_uid != geteuid()))
        return false;
    return (st.st_mode & (S_IWGRP | S_IWOTH)) == 0 || ((st.st_mode & S_ISVTX) != 0 && st.st_uid == 0);
}

// Every folder from the root down to dir's parent, as written (a link among
// them included) and as the links resolve; true, with the first that is not
// trusted, when one is not.
static bool ChainFault(const std::string &dir, std::string *fault, struct stat *bad)
{
    std::string parent = Folder(dir.c_str());
    char resolved[PATH_MAX];
    std::string chains[2] = {parent, realpath(parent.c_str(), resolved) ? std::string(resolved) : parent};
    for (const std::string &chain : chains) {
        for (size_t end = 0; end != std::string::npos;) {
            end = chain.find('/', end + 1);
            std::string prefix = end == std::string::npos ? chain : chain.substr(0, end);
            if (prefix.empty())
                continue;
            struct stat st = {};
            if (lstat(prefix.c_str(), &st) != 0 || !TrustedAbove(st)) {
                *fault = prefix;
                *bad = st;
                return true;
            }
        }
    }
    return false;
}

static std::string Absolute(const std::string &dir)
{
    if (!dir.empty() && dir[0] == '/')
        return dir;
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof(cwd)))
        return dir;
    return std::string(cwd) + (strcmp(cwd, "/") == 0 ? "" : "/") + dir;
}

// The folder of the state file and of the pipe's socket (one folder by
// default): made with its parents when missing, 0755 so that the service's
// group can reach the socket, and refused unless it is this user's and
// nobody else may write in it, nor in any folder above it.
uint32_t STATESYS_CheckFolder(const char *path, char *why, size_t size)
{
    std::string dir = Absolute(Folder(path));
    for (size_t slash = dir.find('/', 1); slash != std::string::npos; slash = dir.find('/', slash + 1))
        mkdir(dir.substr(0, slash).c_str(), 0755);
    mkdir(dir.c_str(), 0755);
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0) {
        uint32_t code = (uint32_t)errno;
        snprintf(why, size, "its folder \"%s\" cannot be read (%s)", dir.c_str(), strerror((int)code));
        return code;
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        snprintf(why, size, "its folder \"%s\" is not the service's own (owner %lu, mode %03o%s)", dir.c_str(),
                 (unsigned long)st.st_uid, (unsigned)(st.st_mode & 0777), S_ISDIR(st.st_mode) ? "" : ", no folder");
        return EACCES;
    }
    std::string above;
    struct stat bad = {};
    if (dir != "/" && ChainFault(dir, &above, &bad)) {
        snprintf(why, size, "the folder \"%s\" above its folder may be changed by others (owner %lu, mode %04o)",
                 above.c_str(), (unsigned long)bad.st_uid, (unsigned)(bad.st_mode & 07777));
        return EACCES;
    }
    return 0;
}

int STATESYS_Read(const char *path, std::vector<char> *text, char *why, size_t size)
{
    text->clear();
    // No link followed, and no wait on a pipe put in its place.
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT)
            return STATE_READ_NONE;
        snprintf(why, size, "it cannot be opened as a plain file (%s)", strerror(errno));
        return STATE_READ_REFUSED;
    }
    struct stat st = {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
        snprintf(why, size, "it is not a plain file of the service's own that only it may read (owner %lu, mode %03o)",
                 (unsigned long)st.st_uid, (unsigned)(st.st_mode & 0777));
        close(fd);
        return STATE_READ_REFUSED;
    }
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            snprintf(why, size, "it cannot be read (%s)", strerror(errno));
            close(fd);
            return STATE_READ_REFUSED;
        }
        if (n == 0)
            break;
        text->insert(text->end(), buf, buf + n);
        if (text->size() > STATE_FILE_MAX)
            break;  // the parser refuses it
    }
    close(fd);
    return STATE_READ_OK;
}

uint32_t STATESYS_Write(const char *path, const char *text, size_t length)
{
    char why[STATE_WHY_MAX];
    uint32_t code = STATESYS_CheckFolder(path, why, sizeof(why));
    if (code != 0) {
        LOG_Print("ERROR: The state file is not written: %s\r\n", why);
        return code;
    }
    std::string temp = std::string(path) + ".new";
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return (uint32_t)errno;
    // A temporary file left with other rights keeps them through O_TRUNC.
    if (fchmod(fd, 0600) != 0) {
        code = (uint32_t)errno;
        close(fd);
        unlink(temp.c_str());
        return code;
    }
    size_t done = 0;
    while (done < length) {
        ssize_t n = write(fd, text + done, length - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            code = n < 0 ? (uint32_t)errno : EIO;
            close(fd);
            unlink(temp.c_str());
            return code;
        }
        done += (size_t)n;
    }
    bool ok = fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok || rename(temp.c_str(), path) != 0) {
        code = errno ? (uint32_t)errno : EIO;
        unlink(temp.c_str());
        return code;
    }
    return 0;
}

void STATESYS_Remove(const char *path)
{
    char why[STATE_WHY_MAX];
    // unlink takes a link itself, never what it points at; still, nothing is
    // done in a folder that is not the service's.
    if (STATESYS_CheckFolder(path, why, sizeof(why)) == 0)
        unlink(path);
}

void STATESYS_Boot(char *out, size_t size)
{
    out[0] = '\0';
    FILE *f = fopen("/proc/sys/kernel/random/boot_id", "re");
    if (!f)
        return;
    char id[64] = "";
    if (fgets(id, sizeof(id), f)) {
        id[strcspn(id, "\r\n")] = '\0';
        snprintf(out, size, "%s", id);
    }
    fclose(f);
}

bool STATESYS_SameBoot(const char *recorded)
{
    char now[64];
    STATESYS_Boot(now, sizeof(now));
    return now[0] == '\0' || strcmp(now, recorded) == 0;
}

uint32_t STATESYS_Lock(const char *path)
{
    static int s_fd = -1;
    static std::string s_lockPath;
    std::string lockPath = std::string(path) + ".lock";
    if (s_fd >= 0 && lockPath == s_lockPath)
        return 0;
    char why[STATE_WHY_MAX];
    uint32_t code = STATESYS_CheckFolder(path, why, sizeof(why));
    if (code != 0)
        return code;
    int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return (uint32_t)errno;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        code = errno == EWOULDBLOCK ? STATE_LOCK_TAKEN : (uint32_t)errno;
        close(fd);
        return code;
    }
    if (s_fd >= 0)
        close(s_fd);
    s_fd = fd;
    s_lockPath = lockPath;
    return 0;
}

uint32_t STATESYS_FindAdapter(const char *name, uint32_t recorded, uint32_t *today)
{
    // The file does not outlive a reboot here, so the recorded index is
    // today's; whatever link has it now must be that TAP link by name and
    // description too.
    *today = recorded;
    return SVCSYS_FindTapAdapter(name, recorded);
}
