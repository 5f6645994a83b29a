// The options module's file-system calls on Linux. The application-data
// folder is $XDG_CONFIG_HOME, else ~/.config. Sharing is kept with advisory
// locks: readers hold a shared lock, writers an exclusive one, so a file being
// written cannot be opened a second time, as on Windows.
#include "config_i_sys.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

const wchar_t OPTIONS_SYS_SEPARATOR = L'/';

namespace {

constexpr size_t kNarrowPath = 4096;

int Narrow(const wchar_t *in, char (&out)[kNarrowPath])
{
    size_t n = wcstombs(out, in, sizeof out);
    if (n == static_cast<size_t>(-1) || n >= sizeof out)
        return 0;
    return 1;
}

}  // namespace

int OPTIONS_SysAppDataFolder(wchar_t *out, uint32_t size)
{
    char folder[kNarrowPath];
    const char *xdg = getenv("XDG_CONFIG_HOME");
    const char *home = getenv("HOME");
    if (xdg && xdg[0])
        snprintf(folder, sizeof folder, "%s", xdg);
    else if (home && home[0])
        snprintf(folder, sizeof folder, "%s/.config", home);
    else
        return 0;
    // Windows always has its application-data folder; a fresh Linux account
    // may not have ~/.config yet. Every missing level is made, private.
    for (char *slash = strchr(folder + 1, '/');; slash = strchr(slash + 1, '/')) {
        if (slash)
            *slash = '\0';
        if (mkdir(folder, 0700) != 0 && errno != EEXIST)
            return 0;
        if (!slash)
            break;
        *slash = '/';
    }
    size_t n = mbstowcs(out, folder, size);
    if (n == static_cast<size_t>(-1) || n >= size)
        return 0;
    return 1;
}

FILE *OPTIONS_SysOpen(const wchar_t *path, const wchar_t *mode)
{
    char name[kNarrowPath];
    if (!Narrow(path, name))
        return nullptr;
    bool write = mode[0] == L'w';
    int fd = open(name, write ? (O_WRONLY | O_CREAT | O_CLOEXEC) : (O_RDONLY | O_CLOEXEC), 0644);
    if (fd < 0)
        return nullptr;
    // Truncate only once the lock is ours, so a refused open leaves the
    // other writer's file alone.
    if (flock(fd, (write ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0 || (write && ftruncate(fd, 0) != 0)) {
        close(fd);
        return nullptr;
    }
    FILE *file = fdopen(fd, write ? "wb" : "rb");
    if (!file)
        close(fd);
    return file;
}

int OPTIONS_SysExists(const wchar_t *path)
{
    char name[kNarrowPath];
    return Narrow(path, name) && access(name, F_OK) == 0;
}

uint32_t OPTIONS_SysMakeDir(const wchar_t *path)
{
    char name[kNarrowPath];
    if (!Narrow(path, name))
        return ENAMETOOLONG;
    if (mkdir(name, 0700) == 0)
        return 0;
    return static_cast<uint32_t>(errno);
}

int OPTIONS_SysRemove(const wchar_t *path)
{
    char name[kNarrowPath];
    return Narrow(path, name) && remove(name) == 0;
}
