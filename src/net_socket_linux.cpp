// BSD sockets behind net_socket.h.
#include "net_socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <new>

#include "str.h"

int NETSOCK_Startup(uint16_t *version)
{
    // OpenSSL writes to the socket with write(): a peer that went away would
    // end the process with SIGPIPE. A handler the program set stays.
    struct sigaction old;
    if (sigaction(SIGPIPE, nullptr, &old) == 0 && old.sa_handler == SIG_DFL)
        signal(SIGPIPE, SIG_IGN);
    if (version)
        *version = 0x0202;
    return 0;
}

void NETSOCK_Cleanup(void) {}

uint32_t NETSOCK_LastError(void)
{
    return static_cast<uint32_t>(errno);
}

uint32_t NETSOCK_TimedOutCode(void)
{
    return ETIMEDOUT;
}

NETSOCK_ResolveResult NETSOCK_Resolve(const char *name, uint32_t *address, char *text,
                                      size_t size)
{
    if (text && size)
        text[0] = '\0';
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *list = nullptr;
    int rc = getaddrinfo(name, nullptr, &hints, &list);
    if (rc == 0) {
        for (addrinfo *a = list; a; a = a->ai_next) {
            if (a->ai_family == AF_INET && a->ai_addrlen >= sizeof(sockaddr_in)) {
                *address = reinterpret_cast<const sockaddr_in *>(a->ai_addr)->sin_addr.s_addr;
                freeaddrinfo(list);
                return NETSOCK_RESOLVED;
            }
        }
        freeaddrinfo(list);
        return NETSOCK_NO_DATA;
    }
    if (rc == EAI_NONAME)
        return NETSOCK_HOST_NOT_FOUND;
    if (rc == EAI_NODATA || rc == EAI_ADDRFAMILY)
        return NETSOCK_NO_DATA;
    if (text && size) {
        const char *why = rc == EAI_SYSTEM ? strerror(errno) : gai_strerror(rc);
        STR_LCopy(text, why, static_cast<uint32_t>(size));
    }
    return NETSOCK_RESOLVE_FAILED;
}

int NETSOCK_SetNonBlocking(int32_t sock, int on)
{
    int flags = fcntl(sock, F_GETFL, 0);
    if (flags < 0)
        return 0;
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return fcntl(sock, F_SETFL, flags) == 0;
}

int32_t NETSOCK_Open(uint32_t *code)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s < 0) {
        *code = NETSOCK_LastError();
        return NETSOCK_NONE;
    }
    return s;
}

void NETSOCK_Close(int32_t sock)
{
    if (sock >= 0)
        close(sock);
}

static sockaddr_in MakeAddress(uint32_t address, uint16_t port)
{
    sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = address;
    sa.sin_port = port;
    return sa;
}

int NETSOCK_ConnectStart(int32_t sock, uint32_t address, uint16_t port, uint32_t *code)
{
    sockaddr_in sa = MakeAddress(address, port);
    if (connect(sock, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0)
        return NETSOCK_CONNECTED;
    if (errno == EINPROGRESS || errno == EINTR)
        return NETSOCK_IN_PROGRESS;
    *code = NETSOCK_LastError();
    return NETSOCK_FAILED;
}

int NETSOCK_ConnectWait(int32_t sock, uint32_t ms, uint32_t *code)
{
    pollfd p = {sock, POLLOUT, 0};
    int n = poll(&p, 1, static_cast<int>(ms));
    if (n == 0 || (n < 0 && errno == EINTR))
        return 0;
    if (n < 0) {
        *code = NETSOCK_LastError();
        return 1;
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        err = errno;
    *code = static_cast<uint32_t>(err);
    return 1;
}

int NETSOCK_Wait(int32_t sock, uint32_t events, uint32_t ms, uint32_t *code)
{
    if (sock < 0) {   // poll would skip it and only wait
        *code = EBADF;
        return -1;
    }
    pollfd p = {sock, 0, 0};
    if (events & NETSOCK_WAIT_READ)
        p.events |= POLLIN;
    if (events & NETSOCK_WAIT_WRITE)
        p.events |= POLLOUT;
    int n = poll(&p, 1, static_cast<int>(ms));
    if (n < 0 && errno == EINTR)
        return 0;
    if (n < 0 || (p.revents & POLLNVAL)) {
        *code = n < 0 ? NETSOCK_LastError() : EBADF;
        return -1;
    }
    return n > 0 ? 1 : 0;
}

struct NETSOCK_Wake {
    int fd;   // eventfd, readable once signalled
    std::atomic<int> armed;
};

NETSOCK_Wake *NETSOCK_WakeCreate(void)
{
    NETSOCK_Wake *w = new (std::nothrow) NETSOCK_Wake;
    if (!w)
        return nullptr;
    w->armed.store(0);
    w->fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (w->fd < 0) {
        delete w;
        return nullptr;
    }
    return w;
}

void NETSOCK_WakeClose(NETSOCK_Wake *wake)
{
    if (!wake)
        return;
    close(wake->fd);
    delete wake;
}

void NETSOCK_WakeArm(NETSOCK_Wake *wake)
{
    if (wake)
        wake->armed.store(1);
}

void NETSOCK_WakeSignal(NETSOCK_Wake *wake)
{
    if (!wake || !wake->armed.exchange(0))
        return;
    uint64_t one = 1;
    ssize_t n = write(wake->fd, &one, sizeof one);
    (void)n;   // a full counter is readable already
}

int NETSOCK_WaitReadOrWake(int32_t sock, NETSOCK_Wake *wake, uint32_t ms, uint32_t *code)
{
    int deviceReady = 0;
    return NETSOCK_WaitReadWakeOrDevice(sock, wake, NETSOCK_NONE, ms, code, &deviceReady);
}

int NETSOCK_WaitReadWakeOrDevice(int32_t sock, NETSOCK_Wake *wake, intptr_t device, uint32_t ms,
                                 uint32_t *code, int *deviceReady)
{
    *deviceReady = 0;
    if (!wake)
        return NETSOCK_Wait(sock, NETSOCK_WAIT_READ, ms, code);
    if (sock < 0) {
        *code = EBADF;
        return -1;
    }
    pollfd p[3] = {{sock, POLLIN, 0}, {wake->fd, POLLIN, 0}, {static_cast<int>(device), POLLIN, 0}};
    int n = poll(p, device >= 0 ? 3 : 2, static_cast<int>(ms));
    *deviceReady = n > 0 && device >= 0 && (p[2].revents & POLLIN) != 0;
    wake->armed.store(0);
    if (p[1].revents & POLLIN) {
        uint64_t count;
        ssize_t r = read(wake->fd, &count, sizeof count);
        (void)r;
    }
    if (n < 0 && errno == EINTR)
        return 0;
    if (n < 0 || (p[0].revents & POLLNVAL)) {
        *code = n < 0 ? NETSOCK_LastError() : EBADF;
        return -1;
    }
    return n > 0 ? 1 : 0;
}

int NETSOCK_PeerAddress(int32_t sock, uint32_t *address)
{
    sockaddr_in sa;
    socklen_t len = sizeof sa;
    if (getpeername(sock, reinterpret_cast<sockaddr *>(&sa), &len) != 0 ||
        sa.sin_family != AF_INET)
        return 0;
    *address = sa.sin_addr.s_addr;
    return 1;
}

int NETSOCK_LocalAddress(int32_t sock, uint32_t *address, uint16_t *port)
{
    sockaddr_in sa;
    socklen_t len = sizeof sa;
    if (getsockname(sock, reinterpret_cast<sockaddr *>(&sa), &len) != 0 ||
        sa.sin_family != AF_INET)
        return 0;
    if (address)
        *address = sa.sin_addr.s_addr;
    if (port)
        *port = sa.sin_port;
    return 1;
}

int32_t NETSOCK_Listen(uint32_t address, uint16_t port, int32_t backlog, uint32_t *code)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        *code = NETSOCK_LastError();
        return NETSOCK_NONE;
    }
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa = MakeAddress(address, port);
    if (bind(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(s, backlog) != 0) {
        *code = NETSOCK_LastError();
        close(s);
        return NETSOCK_NONE;
    }
    return s;
}

int32_t NETSOCK_Accept(int32_t listener)
{
    int s;
    do {
        s = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    } while (s < 0 && errno == EINTR);
    return s < 0 ? NETSOCK_NONE : s;
}
