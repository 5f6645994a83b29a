// The pipe on Linux: a Unix-domain SOCK_SEQPACKET socket (one message per
// request and per reply, as with a message-mode pipe), served one client at
// a time; an eventfd wakes the worker for a stop.
#include "ssl_service.h"
#include "service_log.h"
#include "service_pipe.h"

#include <cerrno>
#include <cstdio>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

struct SvcEvent {
    std::mutex lock;
    std::condition_variable changed;
    bool set = false;
};

const uint32_t SVCSYS_OutOfMemory = ENOMEM;

uint32_t SVCSYS_EventCreate(void **event)
{
    *event = new (std::nothrow) SvcEvent;
    return *event ? 0 : ENOMEM;
}

void SVCSYS_EventSet(void *event)
{
    SvcEvent *e = static_cast<SvcEvent *>(event);
    std::lock_guard<std::mutex> hold(e->lock);
    e->set = true;
    e->changed.notify_all();
}

uint32_t SVCSYS_EventWait(void *event)
{
    SvcEvent *e = static_cast<SvcEvent *>(event);
    std::unique_lock<std::mutex> hold(e->lock);
    e->changed.wait(hold, [e] { return e->set; });
    return 0;
}

bool SVCSYS_EventIsSet(void *event)
{
    SvcEvent *e = static_cast<SvcEvent *>(event);
    std::lock_guard<std::mutex> hold(e->lock);
    return e->set;
}

void SVCSYS_EventClose(void *event)
{
    delete static_cast<SvcEvent *>(event);
}

struct WorkStart {
    void (*fn)(void *);
    void *context;
};

static void *WorkThread(void *arg)
{
    WorkStart start = *static_cast<WorkStart *>(arg);
    delete static_cast<WorkStart *>(arg);
    start.fn(start.context);
    return nullptr;
}

uint32_t SVCSYS_QueueWork(void (*fn)(void *), void *context)
{
    WorkStart *start = new (std::nothrow) WorkStart{fn, context};
    if (!start)
        return ENOMEM;
    pthread_t thread;
    int rc = pthread_create(&thread, nullptr, WorkThread, start);
    if (rc != 0) {
        delete start;
        return (uint32_t)rc;
    }
    pthread_detach(thread);
    return 0;
}

struct PipeSys {
    int wakeFd;
    int listenFd;
    int connFd;
    bool bound;  // the socket file is ours to remove
    char path[sizeof(((sockaddr_un *)nullptr)->sun_path)];
};

uint32_t PIPESYS_Create(PipeSys **pipe)
{
    PipeSys *p = new (std::nothrow) PipeSys;
    if (!p)
        return ENOMEM;
    p->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (p->wakeFd < 0) {
        uint32_t code = (uint32_t)errno;
        delete p;
        return code;
    }
    p->listenFd = -1;
    p->connFd = -1;
    p->bound = false;
    p->path[0] = '\0';
    *pipe = p;
    return 0;
}

void PIPESYS_Destroy(PipeSys *pipe)
{
    if (!pipe)
        return;
    close(pipe->wakeFd);
    delete pipe;
}

static void CloseFd(int *fd)
{
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}

static void PipeError(uint32_t code, const char *state)
{
    LOG_Print("ERROR: %lu (%s) State: %s\r\n", (unsigned long)code, GetErrorText(code), state);
}

// Makes the folders above the socket path (the system's path lies in a
// folder of its own below /run).
static void MakeParents(const char *path)
{
    char dir[sizeof(((sockaddr_un *)nullptr)->sun_path)];
    snprintf(dir, sizeof(dir), "%s", path);
    for (char *p = dir + 1; *p; p++) {
        if (*p != '/')
            continue;
        *p = '\0';
        mkdir(dir, 0755);
        *p = '/';
    }
}

// Binds the listening socket. A socket file left by an ended server is
// replaced; one that a live server answers on is not.
static uint32_t Listen(PipeSys *p)
{
    const char *path = SPIPE_Address();
    sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof(addr.sun_path))
        return ENAMETOOLONG;
    strcpy(addr.sun_path, path);
    strcpy(p->path, path);
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return (uint32_t)errno;
    int probe = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (probe >= 0) {
        bool alive = connect(probe, (sockaddr *)&addr, sizeof(addr)) == 0;
        close(probe);
        if (alive) {
            close(fd);
            return EADDRINUSE;
        }
    }
    unlink(path);
    MakeParents(path);
    // Every local user may talk to the service, as every authenticated user
    // may open the pipe on Windows.
    if (bind(fd, (sockaddr *)&addr, sizeof(addr)) != 0 || chmod(path, 0666) != 0 || listen(fd, 0) != 0) {
        uint32_t code = (uint32_t)errno;
        close(fd);
        return code;
    }
    p->listenFd = fd;
    p->bound = true;
    return 0;
}

int CSSLService::PIPE_Initialize()
{
    PIPE_ResetExchange();
    PIPE_Close();
    uint32_t code = Listen(pipe);
    if (code != 0) {
        PIPE_ReportCreateFailure(code);
        return 0;
    }
    return 1;
}

int CSSLService::PIPE_Open()
{
    if (pipe->listenFd < 0)
        return 0;
    // The accept is the pending connect: PIPE_Exchange completes it.
    pending = 1;
    pipeState = PIPE_CONNECTING;
    return 1;
}

// Waits until fd is ready for events. 1 ready, 0 stop, -1 failure (errno).
static int WaitReady(CSSLService *s, int fd, short events)
{
    for (;;) {
        if (s->stopping)
            return 0;
        pollfd p[2] = {{fd, events, 0}, {s->pipe->wakeFd, POLLIN, 0}};
        int n = poll(p, 2, -1);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (p[1].revents)
            return 0;
        if (p[0].revents)
            return 1;
    }
}

int CSSLService::PIPE_Exchange()
{
    for (;;) {
        if (stopping || pipe->listenFd < 0)
            return 0;
        if (pipeState == PIPE_CONNECTING) {
            int r = WaitReady(this, pipe->listenFd, POLLIN);
            if (r <= 0) {
                if (r < 0)
                    PipeError((uint32_t)errno, "CONNECTING_PENDING");
                return 0;
            }
            int fd = accept4(pipe->listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd < 0) {
                if (errno == EAGAIN || errno == EINTR || errno == ECONNABORTED)
                    continue;
                PipeError((uint32_t)errno, "CONNECTING_PENDING");
                return 0;
            }
            pipe->connFd = fd;
            pending = 0;
            pipeState = PIPE_READING;
        } else if (pipeState == PIPE_READING) {
            int r = WaitReady(this, pipe->connFd, POLLIN);
            if (r <= 0) {
                if (r < 0)
                    PipeError((uint32_t)errno, "READING_PENDING");
                return 0;
            }
            iovec iov = {request, SVC_REQUEST_MAX};
            msghdr msg;
            memset(&msg, 0, sizeof(msg));
            msg.msg_iov = &iov;
            msg.msg_iovlen = 1;
            ssize_t n = recvmsg(pipe->connFd, &msg, 0);
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            if (n == 0 || (n < 0 && errno == ECONNRESET)) {
                LOG_Print("NOTICE: Client connection closed, %lu (%s)\r\n", (unsigned long)EPIPE,
                          GetErrorText(EPIPE));
                return 0;
            }
            if (n < 0 || (msg.msg_flags & MSG_TRUNC)) {
                // A request larger than the buffer ends the connection.
                lastError = n < 0 ? (uint32_t)errno : EMSGSIZE;
                PipeError(lastError, "READING");
                return 0;
            }
            requestLength = (uint32_t)n;
            pending = 0;
            pipeState = PIPE_WRITING;
            return 1;
        } else if (pipeState == PIPE_WRITING) {
            if (replyLength == 0 || reply[0] == '\0')
                return 0;
            ssize_t n = send(pipe->connFd, reply, replyLength, MSG_NOSIGNAL);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                int r = WaitReady(this, pipe->connFd, POLLOUT);
                if (r <= 0) {
                    if (r < 0)
                        PipeError((uint32_t)errno, "WRITING_PENDING");
                    return 0;
                }
                continue;
            }
            if (n != (ssize_t)replyLength) {
                lastError = n < 0 ? (uint32_t)errno : EIO;
                PipeError(lastError, "WRITING");
                return 0;
            }
            replyLength = 0;
            pending = 0;
            pipeState = PIPE_READING;
        } else {
            LOG_Print("ERROR: Invalid state %lu, Error: %lu (%s)\r\n", (unsigned long)pipeState,
                      (unsigned long)lastError, GetErrorText(lastError));
            return 0;
        }
    }
}

void CSSLService::PIPE_Disconnect()
{
    CloseFd(&pipe->connFd);
}

void CSSLService::PIPE_Close()
{
    CloseFd(&pipe->connFd);
    if (pipe->listenFd >= 0 && pipe->bound)
        unlink(pipe->path);
    pipe->bound = false;
    CloseFd(&pipe->listenFd);
}

void CSSLService::PIPE_Wake()
{
    uint64_t one = 1;
    ssize_t n = write(pipe->wakeFd, &one, sizeof(one));
    (void)n;
}
