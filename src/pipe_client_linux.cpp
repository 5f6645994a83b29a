// The service's pipe on Linux: a Unix-domain SOCK_SEQPACKET socket, which
// keeps message boundaries as a message-mode pipe does. The socket stays
// non-blocking; every wait is a poll with a deadline. A listener whose
// backlog is full answers EAGAIN: that is the busy pipe.
#include "pipe_client.h"

#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "pipe_peer_check.h"
#include "service_pipe_protocol.h"

static const uint32_t kBusyRetryMs = 50;

const char *PIPECLIENT_Name(void)
{
    const char *path = getenv(SVCPIPE_PATH_ENV);
    return path && path[0] ? path : SVCPIPE_SOCKET_PATH;
}

uint64_t PIPECLIENT_NowMs(void)
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

uint32_t PIPECLIENT_TimedOutCode(void)
{
    return ETIMEDOUT;
}

static void SleepMs(uint32_t ms)
{
    timespec ts = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// One connect; 0 connected, else the errno (EAGAIN: busy).
static int ConnectOnce(const sockaddr_un *addr, intptr_t *handle)
{
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return errno;
    int rc;
    do {
        rc = connect(fd, reinterpret_cast<const sockaddr *>(addr), sizeof *addr);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        int err = errno;
        close(fd);
        return err;
    }
    *handle = fd;
    return 0;
}

PIPECLIENT_OpenResult PIPECLIENT_Open(uint32_t busyWaitMs, intptr_t *handle, uint32_t *code)
{
    *handle = PIPECLIENT_NONE;
    *code = 0;
    const char *path = PIPECLIENT_Name();
    sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof addr.sun_path) {
        *code = ENAMETOOLONG;
        return PIPECLIENT_OPEN_FAILED;
    }
    strcpy(addr.sun_path, path);

    uint64_t deadline = PIPECLIENT_NowMs() + busyWaitMs;
    for (;;) {
        int err = ConnectOnce(&addr, handle);
        if (err == 0 && !PIPECHECK_Verify(*handle, code)) {
            PIPECLIENT_Close(*handle);
            *handle = PIPECLIENT_NONE;
            return PIPECLIENT_UNTRUSTED;
        }
        if (err == 0)
            return PIPECLIENT_OPENED;
        *code = static_cast<uint32_t>(err);
        if (err != EAGAIN)
            return PIPECLIENT_OPEN_FAILED;
        uint64_t now = PIPECLIENT_NowMs();
        if (now >= deadline)
            return PIPECLIENT_BUSY_TIMEOUT;
        uint64_t left = deadline - now;
        SleepMs(left < kBusyRetryMs ? static_cast<uint32_t>(left) : kBusyRetryMs);
    }
}

int PIPECLIENT_IsAbsent(uint32_t code)
{
    return code == ENOENT || code == ECONNREFUSED || code == ENOTDIR;
}

int PIPECLIENT_IsDenied(uint32_t code)
{
    return code == EACCES || code == EPERM;
}

const char *PIPECLIENT_WhoMayUse(void)
{
    return "Only root and the members of the group vantorelle may use the route service: as root, "
           "\"usermod -aG vantorelle NAME\" adds the user NAME, who then logs in again";
}

void PIPECLIENT_Close(intptr_t handle)
{
    if (handle >= 0)
        close(static_cast<int>(handle));
}

// 1 ready, 0 timed out, -1 failed with *code.
static int WaitFor(int fd, short events, uint32_t timeoutMs, uint32_t *code)
{
    uint64_t deadline = PIPECLIENT_NowMs() + timeoutMs;
    for (;;) {
        uint64_t now = PIPECLIENT_NowMs();
        int wait = now >= deadline ? 0 : static_cast<int>(deadline - now);
        pollfd p = {fd, events, 0};
        int rc = poll(&p, 1, wait);
        if (rc > 0)
            return 1;    // errors and hang-ups surface in the call that follows
        if (rc == 0)
            return 0;
        if (errno != EINTR) {
            *code = static_cast<uint32_t>(errno);
            return -1;
        }
    }
}

void PIPECLIENT_Drain(intptr_t handle)
{
    if (handle < 0)
        return;
    char scratch[64];
    // MSG_TRUNC drops each whole message however long it is; 0 is the peer's close.
    while (recv(static_cast<int>(handle), scratch, sizeof scratch, MSG_DONTWAIT | MSG_TRUNC) > 0) {
    }
}

int PIPECLIENT_Write(intptr_t handle, const void *data, uint32_t length, uint32_t timeoutMs,
                     uint32_t *code)
{
    int fd = static_cast<int>(handle);
    uint64_t deadline = PIPECLIENT_NowMs() + timeoutMs;
    for (;;) {
        ssize_t n = send(fd, data, length, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n == static_cast<ssize_t>(length))
            return 1;
        if (n >= 0) {
            *code = EMSGSIZE;    // a seqpacket send is whole or nothing
            return 0;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN) {
            *code = static_cast<uint32_t>(errno);
            return 0;
        }
        uint64_t now = PIPECLIENT_NowMs();
        int ready = now >= deadline ? 0
                                    : WaitFor(fd, POLLOUT, static_cast<uint32_t>(deadline - now), code);
        if (ready < 0)
            return 0;
        if (ready == 0) {
            *code = ETIMEDOUT;
            return 0;
        }
    }
}

PIPECLIENT_ReadResult PIPECLIENT_Read(intptr_t handle, void *buffer, uint32_t size,
                                      uint32_t timeoutMs, uint32_t *got, uint32_t *code)
{
    int fd = static_cast<int>(handle);
    *got = 0;
    uint64_t deadline = PIPECLIENT_NowMs() + timeoutMs;
    for (;;) {
        // MSG_TRUNC: the message's real length, its excess dropped by the kernel.
        ssize_t n = recv(fd, buffer, size, MSG_DONTWAIT | MSG_TRUNC);
        if (n > 0) {
            if (static_cast<size_t>(n) > size)
                return PIPECLIENT_READ_TOO_LONG;
            *got = static_cast<uint32_t>(n);
            return PIPECLIENT_READ_OK;
        }
        if (n == 0) {
            *code = EPIPE;    // the service closed its end
            return PIPECLIENT_READ_FAILED;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN) {
            *code = static_cast<uint32_t>(errno);
            return PIPECLIENT_READ_FAILED;
        }
        uint64_t now = PIPECLIENT_NowMs();
        int ready = now >= deadline ? 0
                                    : WaitFor(fd, POLLIN, static_cast<uint32_t>(deadline - now), code);
        if (ready < 0)
            return PIPECLIENT_READ_FAILED;
        if (ready == 0) {
            *code = ETIMEDOUT;
            return PIPECLIENT_READ_FAILED;
        }
    }
}
