// Linux: the state file under /run (gone at a reboot, as the changes are),
// root's alone; written under a temporary name, synced and renamed.
#include "svc_state.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

void STATESYS_DefaultPath(char *out, size_t size)
{
    snprintf(out, size, "%s", "/run/vantorelle/service.state");
}

uint32_t STATESYS_Write(const char *path, const char *text, size_t length)
{
    std::string dir(path);
    size_t slash = dir.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        dir.resize(slash);
        mkdir(dir.c_str(), 0700);
    }
    std::string temp = std::string(path) + ".new";
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return (uint32_t)errno;
    size_t done = 0;
    while (done < length) {
        ssize_t n = write(fd, text + done, length - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            uint32_t code = n < 0 ? (uint32_t)errno : EIO;
            close(fd);
            unlink(temp.c_str());
            return code;
        }
        done += (size_t)n;
    }
    bool ok = fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok || rename(temp.c_str(), path) != 0) {
        uint32_t code = errno ? (uint32_t)errno : EIO;
        unlink(temp.c_str());
        return code;
    }
    return 0;
}

void STATESYS_Remove(const char *path)
{
    unlink(path);
}
