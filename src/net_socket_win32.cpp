// Winsock behind net_socket.h. A SOCKET is pointer-sized, but its values fit
// the 32 bits the connection context keeps.
#include "net_socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <string.h>

#include <atomic>
#include <new>

#include "errorinfo_sys.h"

static SOCKET AsSocket(int32_t sock)
{
    return static_cast<SOCKET>(static_cast<uintptr_t>(static_cast<uint32_t>(sock)));
}

int NETSOCK_Startup(uint16_t *version)
{
    WSADATA data;
    int rc = WSAStartup(MAKEWORD(2, 2), &data);
    if (rc == 0 && version)
        *version = data.wVersion;
    return rc;
}

void NETSOCK_Cleanup(void)
{
    WSACleanup();
}

uint32_t NETSOCK_LastError(void)
{
    return static_cast<uint32_t>(WSAGetLastError());
}

uint32_t NETSOCK_TimedOutCode(void)
{
    return WSAETIMEDOUT;
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
    if (rc == WSAHOST_NOT_FOUND)
        return NETSOCK_HOST_NOT_FOUND;
    if (rc == WSANO_DATA)
        return NETSOCK_NO_DATA;
    if (text && size)
        ERRORINFO_SystemText(static_cast<uint32_t>(rc), text, size);
    return NETSOCK_RESOLVE_FAILED;
}

int NETSOCK_SetNonBlocking(int32_t sock, int on)
{
    u_long mode = on ? 1 : 0;
    return ioctlsocket(AsSocket(sock), FIONBIO, &mode) == 0;
}

int32_t NETSOCK_Open(uint32_t *code)
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) {
        *code = NETSOCK_LastError();
        return NETSOCK_NONE;
    }
    if (!NETSOCK_SetNonBlocking(static_cast<int32_t>(s), 1)) {
        *code = NETSOCK_LastError();
        closesocket(s);
        return NETSOCK_NONE;
    }
    return static_cast<int32_t>(s);
}

void NETSOCK_Close(int32_t sock)
{
    if (sock != NETSOCK_NONE)
        closesocket(AsSocket(sock));
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
    if (connect(AsSocket(sock), reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0)
        return NETSOCK_CONNECTED;
    int err = WSAGetLastError();
    if (err == WSAEWOULDBLOCK || err == WSAEINPROGRESS)
        return NETSOCK_IN_PROGRESS;
    *code = static_cast<uint32_t>(err);
    return NETSOCK_FAILED;
}

static timeval Millis(uint32_t ms)
{
    timeval tv;
    tv.tv_sec = static_cast<long>(ms / 1000);
    tv.tv_usec = static_cast<long>((ms % 1000) * 1000);
    return tv;
}

int NETSOCK_ConnectWait(int32_t sock, uint32_t ms, uint32_t *code)
{
    // Winsock reports a failed connect through the exception set.
    SOCKET s = AsSocket(sock);
    fd_set wr, ex;
    FD_ZERO(&wr);
    FD_ZERO(&ex);
    FD_SET(s, &wr);
    FD_SET(s, &ex);
    timeval tv = Millis(ms);
    int n = select(0, nullptr, &wr, &ex, &tv);
    if (n == 0)
        return 0;
    if (n < 0) {
        *code = NETSOCK_LastError();
        return 1;
    }
    int err = 0;
    int len = sizeof err;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&err), &len) != 0)
        err = WSAGetLastError();
    if (err == 0 && FD_ISSET(s, &ex))
        err = WSAECONNREFUSED;
    *code = static_cast<uint32_t>(err);
    return 1;
}

int NETSOCK_Wait(int32_t sock, uint32_t events, uint32_t ms, uint32_t *code)
{
    SOCKET s = AsSocket(sock);
    fd_set rd, wr;
    FD_ZERO(&rd);
    FD_ZERO(&wr);
    if (events & NETSOCK_WAIT_READ)
        FD_SET(s, &rd);
    if (events & NETSOCK_WAIT_WRITE)
        FD_SET(s, &wr);
    timeval tv = Millis(ms);
    int n = select(0, (events & NETSOCK_WAIT_READ) ? &rd : nullptr,
                   (events & NETSOCK_WAIT_WRITE) ? &wr : nullptr, nullptr, &tv);
    if (n == SOCKET_ERROR) {
        *code = NETSOCK_LastError();
        return -1;
    }
    return n > 0 ? 1 : 0;
}

struct NETSOCK_Wake {
    HANDLE event;       // auto-reset, set by a signal
    WSAEVENT readable;  // the socket's FD_READ and FD_CLOSE during a wait
    std::atomic<int> armed;
};

NETSOCK_Wake *NETSOCK_WakeCreate(void)
{
    NETSOCK_Wake *w = new (std::nothrow) NETSOCK_Wake;
    if (!w)
        return nullptr;
    w->armed.store(0);
    w->event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    w->readable = WSACreateEvent();
    if (!w->event || w->readable == WSA_INVALID_EVENT) {
        if (w->event)
            CloseHandle(w->event);
        if (w->readable != WSA_INVALID_EVENT)
            WSACloseEvent(w->readable);
        delete w;
        return nullptr;
    }
    return w;
}

void NETSOCK_WakeClose(NETSOCK_Wake *wake)
{
    if (!wake)
        return;
    CloseHandle(wake->event);
    WSACloseEvent(wake->readable);
    delete wake;
}

void NETSOCK_WakeArm(NETSOCK_Wake *wake)
{
    if (wake)
        wake->armed.store(1);
}

void NETSOCK_WakeSignal(NETSOCK_Wake *wake)
{
    if (wake && wake->armed.exchange(0))
        SetEvent(wake->event);
}

// The socket is tied to the event only for the wait and then set free
// again; it stays non-blocking, as it already was.
int NETSOCK_WaitReadOrWake(int32_t sock, NETSOCK_Wake *wake, uint32_t ms, uint32_t *code)
{
    if (!wake)
        return NETSOCK_Wait(sock, NETSOCK_WAIT_READ, ms, code);
    SOCKET s = AsSocket(sock);
    if (WSAEventSelect(s, wake->readable, FD_READ | FD_CLOSE) == SOCKET_ERROR) {
        *code = NETSOCK_LastError();
        wake->armed.store(0);
        return -1;
    }
    HANDLE handles[2] = {wake->readable, wake->event};
    DWORD r = WaitForMultipleObjects(2, handles, FALSE, ms);
    WSAEventSelect(s, nullptr, 0);
    WSAResetEvent(wake->readable);
    wake->armed.store(0);
    return r == WAIT_TIMEOUT ? 0 : 1;
}

int NETSOCK_WaitReadWakeOrDevice(int32_t sock, NETSOCK_Wake *wake, intptr_t, uint32_t ms,
                                 uint32_t *code, int *deviceReady)
{
    *deviceReady = 0;
    return NETSOCK_WaitReadOrWake(sock, wake, ms, code);
}

int NETSOCK_PeerAddress(int32_t sock, uint32_t *address)
{
    sockaddr_in sa;
    int len = sizeof sa;
    if (getpeername(AsSocket(sock), reinterpret_cast<sockaddr *>(&sa), &len) != 0 ||
        sa.sin_family != AF_INET)
        return 0;
    *address = sa.sin_addr.s_addr;
    return 1;
}

int NETSOCK_LocalAddress(int32_t sock, uint32_t *address, uint16_t *port)
{
    sockaddr_in sa;
    int len = sizeof sa;
    if (getsockname(AsSocket(sock), reinterpret_cast<sockaddr *>(&sa), &len) != 0 ||
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
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) {
        *code = NETSOCK_LastError();
        return NETSOCK_NONE;
    }
    sockaddr_in sa = MakeAddress(address, port);
    if (bind(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(s, backlog) != 0) {
        *code = NETSOCK_LastError();
        closesocket(s);
        return NETSOCK_NONE;
    }
    return static_cast<int32_t>(s);
}

int32_t NETSOCK_Accept(int32_t listener)
{
    SOCKET s = accept(AsSocket(listener), nullptr, nullptr);
    return s == INVALID_SOCKET ? NETSOCK_NONE : static_cast<int32_t>(s);
}
