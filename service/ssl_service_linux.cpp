// The pipe on Linux: a Unix-domain SOCK_SEQPACKET socket (one message per
// request and per reply, as with a message-mode pipe), served one client at
// a time; an eventfd wakes the worker for a stop.
#include "ssl_service.h"
#include "service_log.h"
#include "service_pipe.h"
#include "svc_state.h"
#include "netlink_linux.h"

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
#include <time.h>
#include <unistd.h>
#include <grp.h>

#define SVC_SOCKET_GROUP "vantorelle"
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>

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
    gid_t group;  // the service group, or -1
    uint64_t connectedAt;  // monotonic ms: when the client's connection was taken
    uint64_t replyStarted;  // monotonic ms: the first try to send the pending reply, or 0
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
    p->group = (gid_t)-1;
    p->connectedAt = 0;
    p->replyStarted = 0;
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

// The group whose members may use the service besides root; -1 when the
// system has no such group.
static gid_t ServiceGroup()
{
    group g, *found = nullptr;
    char buf[1024];
    if (getgrnam_r(SVC_SOCKET_GROUP, &g, buf, sizeof(buf), &found) != 0 || !found)
        return (gid_t)-1;
    return found->gr_gid;
}

// The socket's folder, by the state folder's rule: nobody else can put a
// socket of their own in its place.
static uint32_t CheckFolder(const char *path)
{
    char why[STATE_WHY_MAX];
    uint32_t code = STATESYS_CheckFolder(path, why, sizeof(why));
    if (code != 0)
        LOG_Print("ERROR: The pipe is not made: %s\r\n", why);
    return code;
}

// Binds the listening socket: mode 0600, or 0660 with the service group
// where the system has it. A socket file left by an ended server is
// replaced; one that a live server answers on is not: the name is taken.
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
    uint32_t code = CheckFolder(path);
    if (code != 0)
        return code;
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return (uint32_t)errno;
    int probe = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (probe >= 0) {
        bool alive = connect(probe, (sockaddr *)&addr, sizeof(addr)) == 0;
        close(probe);
        if (alive) {
            close(fd);
            LOG_Print("ERROR: Another program serves \"%s\" already\r\n", path);
            return EADDRINUSE;
        }
    }
    unlink(path);
    gid_t group = ServiceGroup();
    // The file is made without any access for others, then opened to the group.
    mode_t old = umask(0177);
    int rc = bind(fd, (sockaddr *)&addr, sizeof(addr));
    umask(old);
    if (rc == 0 && group != (gid_t)-1)
        rc = chown(path, geteuid(), group) == 0 && chmod(path, 0660) == 0 ? 0 : -1;
    if (rc != 0 || listen(fd, 0) != 0) {
        code = (uint32_t)errno;
        unlink(path);
        close(fd);
        return code;
    }
    p->listenFd = fd;
    p->bound = true;
    p->group = group;
    return 0;
}

// Who may talk to the service: root, the service's own user, or a member of
// the service group. 1 when the peer may.
static int PeerAllowed(int fd, gid_t group)
{
    ucred cred;
    socklen_t len = sizeof(cred);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof(cred)) {
        LOG_Print("ERROR: The client's credentials cannot be read, %lu (%s)\r\n", (unsigned long)errno,
                  GetErrorText((uint32_t)errno));
        return 0;
    }
    if (cred.uid == 0 || cred.uid == geteuid())
        return 1;
    if (group != (gid_t)-1) {
        if (cred.gid == group)
            return 1;
#ifdef SO_PEERGROUPS
        gid_t groups[256];
        socklen_t size = sizeof(groups);
        if (getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups, &size) == 0)
            for (socklen_t i = 0; i < size / sizeof(gid_t); i++)
                if (groups[i] == group)
                    return 1;
#endif
    }
    LOG_Print("ERROR: Refused a client of user %lu (process %ld): neither root nor of the group %s\r\n",
              (unsigned long)cred.uid, (long)cred.pid, SVC_SOCKET_GROUP);
    EVENTLOG_Write(SVC_EVENT_INFO, "Refused a client that may not use the service.");
    return 0;
}

// A second copy's bind would take the socket's name from the first one:
// the lock the recovery takes decides first.
bool SVCSYS_PipeBeforeRecovery()
{
    return false;
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

static uint64_t NowMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
}

enum { WAIT_STOP = 0, WAIT_READY = 1, WAIT_FAILED = -1, WAIT_LATE = -2 };

// Waits until fd is ready for events, or until the monotonic time deadline
// (0: none). WAIT_READY, WAIT_STOP, WAIT_FAILED (errno) or WAIT_LATE.
static int WaitReady(CSSLService *s, int fd, short events, uint64_t deadline)
{
    for (;;) {
        if (s->stopping)
            return WAIT_STOP;
        // Past the deadline one last look: what is ready then still counts.
        int timeout = -1;
        uint64_t now = deadline ? NowMs() : 0;
        if (deadline)
            timeout = now >= deadline ? 0 : deadline - now > 60000 ? 60000 : (int)(deadline - now);
        pollfd p[2] = {{fd, events, 0}, {s->pipe->wakeFd, POLLIN, 0}};
        int n = poll(p, 2, timeout);
        if (n == 0 && deadline && now >= deadline)
            return WAIT_LATE;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return WAIT_FAILED;
        }
        if (p[1].revents)
            return WAIT_STOP;
        if (p[0].revents)
            return WAIT_READY;
    }
}

// A caller that has not had its ClientHello accepted must have it within the
// hello deadline of the connection's start; a bound client may stay silent.
static uint64_t ReadDeadline(const CSSLService *s)
{
    return s->bound ? 0 : s->pipe->connectedAt + s->helloDeadlineMs.load();
}

int CSSLService::PIPE_Exchange()
{
    for (;;) {
        if (stopping || pipe->listenFd < 0)
            return 0;
        if (pipeState == PIPE_CONNECTING) {
            int r = WaitReady(this, pipe->listenFd, POLLIN, 0);
            if (r != WAIT_READY) {
                if (r == WAIT_FAILED)
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
            // Nothing of a caller that may not use the service is read.
            if (!PeerAllowed(fd, pipe->group)) {
                close(fd);
                continue;
            }
            pipe->connFd = fd;
            pipe->connectedAt = NowMs();
            pipe->replyStarted = 0;
            pending = 0;
            pipeState = PIPE_READING;
        } else if (pipeState == PIPE_READING) {
            int r = WaitReady(this, pipe->connFd, POLLIN, ReadDeadline(this));
            if (r != WAIT_READY) {
                if (r == WAIT_FAILED)
                    PipeError((uint32_t)errno, "READING_PENDING");
                if (r == WAIT_LATE)
                    PIPE_ReportLimit(true);
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
            if (n < 0) {
                lastError = (uint32_t)errno;
                PipeError(lastError, "READING");
                return 0;
            }
            // The kernel drops the rest of a message larger than the buffer;
            // the dispatcher refuses it.
            requestLength = (msg.msg_flags & MSG_TRUNC) ? SVC_REQUEST_TOO_LONG : (uint32_t)n;
            pending = 0;
            pipeState = PIPE_WRITING;
            return 1;
        } else if (pipeState == PIPE_WRITING) {
            if (replyLength == 0 || reply[0] == '\0')
                return 0;
            if (!pipe->replyStarted)
                pipe->replyStarted = NowMs();
            ssize_t n = send(pipe->connFd, reply, replyLength, MSG_NOSIGNAL);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                // The caller's queue is full: it reads none of its replies.
                int r = WaitReady(this, pipe->connFd, POLLOUT, pipe->replyStarted + replyDeadlineMs.load());
                if (r != WAIT_READY) {
                    if (r == WAIT_FAILED)
                        PipeError((uint32_t)errno, "WRITING_PENDING");
                    if (r == WAIT_LATE)
                        PIPE_ReportLimit(false);
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
            pipe->replyStarted = 0;
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

// ---- The TAP adapter lookup: the tun link of that name and index whose
// alias carries a TAP description ----

namespace {
struct LinkMatch {
    const char *name;
    uint32_t index;
    bool nameFound, matched;
};
}  // namespace

static void MatchLink(const nlmsghdr *h, void *context)
{
    LinkMatch *m = static_cast<LinkMatch *>(context);
    if (h->nlmsg_type != RTM_NEWLINK)
        return;
    const ifinfomsg *ifi = static_cast<const ifinfomsg *>(NLMSG_DATA(h));
    int len = (int)h->nlmsg_len - (int)NLMSG_LENGTH(sizeof(*ifi));
    char name[IFNAMSIZ + 1] = "", alias[256] = "";
    for (const rtattr *a = IFLA_RTA(ifi); RTA_OK(a, len); a = RTA_NEXT(a, len)) {
        size_t n = RTA_PAYLOAD(a);
        char *to = a->rta_type == IFLA_IFNAME ? name : a->rta_type == IFLA_IFALIAS ? alias : nullptr;
        size_t size = a->rta_type == IFLA_IFNAME ? sizeof(name) : sizeof(alias);
        if (!to)
            continue;
        if (n >= size)
            n = size - 1;
        memcpy(to, RTA_DATA(a), n);
        to[n] = '\0';
    }
    if (strcmp(name, m->name) != 0)
        return;
    m->nameFound = true;
    m->matched = m->matched || ((uint32_t)ifi->ifi_index == m->index && SVC_IsTapDescription(alias));
}

uint32_t SVCSYS_FindTapAdapter(const char *name, uint32_t index)
{
    NL_Message m;
    NL_Begin(&m, RTM_GETLINK, NLM_F_DUMP, sizeof(ifinfomsg));
    static_cast<ifinfomsg *>(m.Body())->ifi_family = AF_UNSPEC;
    LinkMatch match = {name, index, false, false};
    uint32_t code = NL_Dump(&m, MatchLink, &match);
    if (code != 0)
        return code;
    return match.matched ? 0 : match.nameFound ? EINVAL : ENODEV;
}
