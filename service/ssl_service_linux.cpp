// The pipe on Linux: a Unix-domain SOCK_SEQPACKET socket (one message per
// request and per reply, as with a message-mode pipe), served one client at
// a time while the others wait in its queue; an eventfd wakes the worker for
// a stop.
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
// Callers that connect while another is served wait in the socket's queue
// for their turn. Each one ahead of a caller holds it for at most the hello
// deadline (unless it is a client that binds), so a queue this long is
// served well within the client's wait for its first reply.
#define SVC_LISTEN_BACKLOG 8
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

// The caller on the connection being served, as the kernel gave it when it
// connected: the adapter it names must be a tun link it may use itself. Only
// the worker reads and writes it.
#define SVC_CALLER_GROUPS_MAX 256
struct Caller {
    bool known;
    uid_t uid;
    uint32_t groupCount;
    gid_t groups[SVC_CALLER_GROUPS_MAX];  // its primary group first
};
static Caller s_caller;

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
    if (rc != 0 || listen(fd, SVC_LISTEN_BACKLOG) != 0) {
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

// The supplementary groups from the process's status, where the socket
// does not give them.
static void ReadGroupsOfProcess(pid_t pid, Caller *c)
{
    char path[64], line[4096];
    snprintf(path, sizeof(path), "/proc/%ld/status", (long)pid);
    FILE *f = fopen(path, "re");
    if (!f)
        return;
    while (fgets(line, sizeof(line), f)) {
        if (strncmp(line, "Groups:", 7) != 0)
            continue;
        char *p = line + 7, *end;
        for (unsigned long g = strtoul(p, &end, 10); end != p && c->groupCount < SVC_CALLER_GROUPS_MAX;
             g = strtoul(p, &end, 10)) {
            c->groups[c->groupCount++] = (gid_t)g;
            p = end;
        }
        break;
    }
    fclose(f);
}

// Who the peer is: its user, its primary group and its supplementary groups.
// 0 when its credentials cannot be read.
static int ReadCaller(int fd, Caller *c, pid_t *pid)
{
    ucred cred;
    socklen_t len = sizeof(cred);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof(cred)) {
        LOG_Print("ERROR: The client's credentials cannot be read, %lu (%s)\r\n", (unsigned long)errno,
                  GetErrorText((uint32_t)errno));
        return 0;
    }
    c->known = true;
    c->uid = cred.uid;
    c->groups[0] = cred.gid;
    c->groupCount = 1;
    *pid = cred.pid;
    bool listed = false;
#ifdef SO_PEERGROUPS
    gid_t groups[SVC_CALLER_GROUPS_MAX];
    socklen_t size = sizeof(groups);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups, &size) == 0) {
        listed = true;
        for (socklen_t i = 0; i < size / sizeof(gid_t) && c->groupCount < SVC_CALLER_GROUPS_MAX; i++)
            c->groups[c->groupCount++] = groups[i];
    }
#endif
    if (!listed)
        ReadGroupsOfProcess(cred.pid, c);
    return 1;
}

static bool InGroup(const Caller *c, gid_t group)
{
    for (uint32_t i = 0; i < c->groupCount; i++)
        if (c->groups[i] == group)
            return true;
    return false;
}

// Who may talk to the service: root, the service's own user, or a member of
// the service group. 1 when the peer may.
static int PeerAllowed(int fd, gid_t group, Caller *c)
{
    pid_t pid = 0;
    if (!ReadCaller(fd, c, &pid))
        return 0;
    if (c->uid == 0 || c->uid == geteuid())
        return 1;
    if (group != (gid_t)-1 && InGroup(c, group))
        return 1;
    LOG_Print("ERROR: Refused a client of user %lu (process %ld): neither root nor of the group %s\r\n",
              (unsigned long)c->uid, (long)pid, SVC_SOCKET_GROUP);
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
            s_caller = Caller();
            if (!PeerAllowed(fd, pipe->group, &s_caller)) {
                s_caller = Caller();
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
    s_caller = Caller();
}

void CSSLService::PIPE_Close()
{
    CloseFd(&pipe->connFd);
    s_caller = Caller();
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
// alias carries a TAP description, and which the caller may use ----

#define TUN_UNSET 0xFFFFFFFFu  // no owner, no group

// Whether the caller may have the service change a tun link of that owner
// and group (TUN_UNSET when not set): each one that is set must be the
// caller's, as the kernel asks of a user who attaches to the link; a link
// that belongs to nobody only root (or the service's own user) may name.
static bool CallerMayUseTun(const Caller *c, uint32_t owner, uint32_t group)
{
    if (c->uid == 0 || c->uid == geteuid())
        return true;
    if (owner == TUN_UNSET && group == TUN_UNSET)
        return false;
    if (owner != TUN_UNSET && owner != (uint32_t)c->uid)
        return false;
    return group == TUN_UNSET || InGroup(c, (gid_t)group);
}

namespace {
struct LinkMatch {
    const char *name;
    uint32_t index;
    const Caller *caller;
    bool nameFound, candidate, matched, isTun, mayUse;
    uint32_t owner, group;
};

struct LinkFacts {
    char name[IFNAMSIZ + 1];
    char alias[256];
    bool tun;
    uint32_t owner, group;
};
}  // namespace

static void CopyAttribute(const rtattr *a, char *to, size_t size)
{
    size_t n = RTA_PAYLOAD(a);
    if (n >= size)
        n = size - 1;
    memcpy(to, RTA_DATA(a), n);
    to[n] = '\0';
}

static uint32_t U32Attribute(const rtattr *a)
{
    uint32_t v = TUN_UNSET;
    if (RTA_PAYLOAD(a) >= sizeof(v))
        memcpy(&v, RTA_DATA(a), sizeof(v));
    return v;
}

// The kind of link and, for a tun link, its owner and group.
static void ReadLinkInfo(const rtattr *info, LinkFacts *f)
{
    int len = (int)RTA_PAYLOAD(info);
    char kind[32] = "";
    const rtattr *data = nullptr;
    for (const rtattr *a = static_cast<const rtattr *>(RTA_DATA(info)); RTA_OK(a, len); a = RTA_NEXT(a, len)) {
        if (a->rta_type == IFLA_INFO_KIND)
            CopyAttribute(a, kind, sizeof(kind));
        else if (a->rta_type == IFLA_INFO_DATA)
            data = a;
    }
    f->tun = strcmp(kind, "tun") == 0;
    if (!f->tun || !data)
        return;
    len = (int)RTA_PAYLOAD(data);
    for (const rtattr *a = static_cast<const rtattr *>(RTA_DATA(data)); RTA_OK(a, len); a = RTA_NEXT(a, len)) {
        if (a->rta_type == IFLA_TUN_OWNER)
            f->owner = U32Attribute(a);
        else if (a->rta_type == IFLA_TUN_GROUP)
            f->group = U32Attribute(a);
    }
}

static void ReadLink(const ifinfomsg *ifi, int len, LinkFacts *f)
{
    for (const rtattr *a = IFLA_RTA(ifi); RTA_OK(a, len); a = RTA_NEXT(a, len)) {
        if (a->rta_type == IFLA_IFNAME)
            CopyAttribute(a, f->name, sizeof(f->name));
        else if (a->rta_type == IFLA_IFALIAS)
            CopyAttribute(a, f->alias, sizeof(f->alias));
        else if (a->rta_type == IFLA_LINKINFO)
            ReadLinkInfo(a, f);
    }
}

static void MatchLink(const nlmsghdr *h, void *context)
{
    LinkMatch *m = static_cast<LinkMatch *>(context);
    if (h->nlmsg_type != RTM_NEWLINK)
        return;
    const ifinfomsg *ifi = static_cast<const ifinfomsg *>(NLMSG_DATA(h));
    int len = (int)h->nlmsg_len - (int)NLMSG_LENGTH(sizeof(*ifi));
    LinkFacts f = {"", "", false, TUN_UNSET, TUN_UNSET};
    ReadLink(ifi, len, &f);
    if (strcmp(f.name, m->name) != 0)
        return;
    m->nameFound = true;
    if ((uint32_t)ifi->ifi_index != m->index || !SVC_IsTapDescription(f.alias))
        return;
    // The alias anybody with the right to name links can give; only a tun
    // link is an adapter the client can open.
    m->candidate = true;
    m->isTun = f.tun;
    m->owner = f.owner;
    m->group = f.group;
    // Undoing what a predecessor left binds nothing: the link it recorded
    // was bound by its own caller then.
    m->mayUse = !m->caller || (f.tun && CallerMayUseTun(m->caller, f.owner, f.group));
    m->matched = m->mayUse;
}

static void ReportRefusedLink(const LinkMatch *m)
{
    if (!m->isTun) {
        LOG_Print("NOTICE: The link \"%s\" carries the adapter's description but is no tun link\r\n", m->name);
        return;
    }
    char owner[16] = "nobody", group[16] = "none";
    if (m->owner != TUN_UNSET)
        snprintf(owner, sizeof(owner), "%lu", (unsigned long)m->owner);
    if (m->group != TUN_UNSET)
        snprintf(group, sizeof(group), "%lu", (unsigned long)m->group);
    LOG_Print("NOTICE: The tun link \"%s\" (user %s, group %s) is not the caller's (user %lu) to use\r\n", m->name,
              owner, group, (unsigned long)m->caller->uid);
}

uint32_t SVCSYS_FindTapAdapter(const char *name, uint32_t index)
{
    NL_Message m;
    NL_Begin(&m, RTM_GETLINK, NLM_F_DUMP, sizeof(ifinfomsg));
    static_cast<ifinfomsg *>(m.Body())->ifi_family = AF_UNSPEC;
    LinkMatch match = {name, index, s_caller.known ? &s_caller : nullptr, false, false, false, false, false,
                       TUN_UNSET, TUN_UNSET};
    uint32_t code = NL_Dump(&m, MatchLink, &match);
    if (code != 0)
        return code;
    if (match.matched)
        return 0;
    if (match.candidate) {
        ReportRefusedLink(&match);
        return match.isTun ? EACCES : EINVAL;
    }
    return match.nameFound ? EINVAL : ENODEV;
}
