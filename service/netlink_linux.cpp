#include "netlink_linux.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

nlmsghdr *NL_Message::Header()
{
    return reinterpret_cast<nlmsghdr *>(data);
}

void *NL_Message::Body()
{
    return data + NLMSG_HDRLEN;
}

void NL_Begin(NL_Message *m, uint16_t type, uint16_t flags, size_t bodySize)
{
    memset(m->data, 0, sizeof(m->data));
    nlmsghdr *h = m->Header();
    h->nlmsg_len = NLMSG_LENGTH(bodySize);
    h->nlmsg_type = type;
    h->nlmsg_flags = (uint16_t)(flags | NLM_F_REQUEST);
}

int NL_AddAttr(NL_Message *m, uint16_t type, const void *value, size_t length)
{
    nlmsghdr *h = m->Header();
    size_t at = NLMSG_ALIGN(h->nlmsg_len);
    size_t room = RTA_SPACE(length);
    if (at + room > sizeof(m->data))
        return 0;
    rtattr *a = reinterpret_cast<rtattr *>(m->data + at);
    a->rta_type = type;
    a->rta_len = (unsigned short)RTA_LENGTH(length);
    memcpy(RTA_DATA(a), value, length);
    h->nlmsg_len = (uint32_t)(at + room);
    return 1;
}

int NL_AddU32(NL_Message *m, uint16_t type, uint32_t value)
{
    return NL_AddAttr(m, type, &value, sizeof(value));
}

namespace {

// One socket, closed with its owner.
struct Socket {
    int fd = -1;
    ~Socket()
    {
        if (fd >= 0)
            close(fd);
    }
};

uint32_t Open(Socket *s)
{
    s->fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (s->fd < 0)
        return (uint32_t)errno;
    timeval tv = {5, 0};
    setsockopt(s->fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    return 0;
}

uint32_t Send(Socket *s, NL_Message *m)
{
    static uint32_t s_seq;
    nlmsghdr *h = m->Header();
    h->nlmsg_seq = ++s_seq;
    sockaddr_nl to = {};
    to.nl_family = AF_NETLINK;
    ssize_t n = sendto(s->fd, h, h->nlmsg_len, 0, reinterpret_cast<sockaddr *>(&to), sizeof(to));
    if (n < 0)
        return (uint32_t)errno;
    return n == (ssize_t)h->nlmsg_len ? 0 : EIO;
}

// Reads the answers to one request until its end (an acknowledgement, an
// error or the end of a dump). fn sees every other message.
uint32_t Receive(Socket *s, uint32_t seq, uint32_t *kernelError, NL_DumpFn fn, void *context)
{
    alignas(4) static thread_local unsigned char buffer[65536];
    *kernelError = 0;
    for (;;) {
        sockaddr_nl from = {};
        socklen_t fromLength = sizeof(from);
        ssize_t n = recvfrom(s->fd, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr *>(&from), &fromLength);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return (uint32_t)errno;
        }
        if (from.nl_pid != 0)
            continue;  // only the kernel answers our requests
        size_t left = (size_t)n;
        for (nlmsghdr *h = reinterpret_cast<nlmsghdr *>(buffer); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
            if (h->nlmsg_seq != seq)
                continue;
            if (h->nlmsg_type == NLMSG_DONE)
                return 0;
            if (h->nlmsg_type == NLMSG_ERROR) {
                const nlmsgerr *e = static_cast<const nlmsgerr *>(NLMSG_DATA(h));
                *kernelError = e->error < 0 ? (uint32_t)-e->error : (uint32_t)e->error;
                return 0;
            }
            if (fn)
                fn(h, context);
        }
        if (n == 0)
            return EIO;
    }
}

}  // namespace

uint32_t NL_Transact(NL_Message *m, uint32_t *kernelError)
{
    *kernelError = 0;
    Socket s;
    uint32_t code = Open(&s);
    if (code != 0)
        return code;
    m->Header()->nlmsg_flags |= NLM_F_ACK;
    if ((code = Send(&s, m)) != 0)
        return code;
    return Receive(&s, m->Header()->nlmsg_seq, kernelError, nullptr, nullptr);
}

uint32_t NL_Request(NL_Message *m)
{
    uint32_t kernel = 0;
    uint32_t code = NL_Transact(m, &kernel);
    return code != 0 ? code : kernel;
}

// One request on a socket of its own, each answer to fn.
static uint32_t Request(NL_Message *m, uint16_t flags, NL_DumpFn fn, void *context)
{
    Socket s;
    uint32_t code = Open(&s);
    if (code != 0)
        return code;
    m->Header()->nlmsg_flags |= flags;
    if ((code = Send(&s, m)) != 0)
        return code;
    uint32_t kernel = 0;
    code = Receive(&s, m->Header()->nlmsg_seq, &kernel, fn, context);
    return code != 0 ? code : kernel;
}

uint32_t NL_Dump(NL_Message *m, NL_DumpFn fn, void *context)
{
    return Request(m, NLM_F_DUMP, fn, context);
}

uint32_t NL_Query(NL_Message *m, NL_DumpFn fn, void *context)
{
    return Request(m, NLM_F_ACK, fn, context);
}

int NL_FindU32(const nlmsghdr *msg, size_t bodySize, uint16_t type, uint32_t *value)
{
    const unsigned char *base = static_cast<const unsigned char *>(NLMSG_DATA(msg)) + NLMSG_ALIGN(bodySize);
    int left = (int)msg->nlmsg_len - (int)NLMSG_LENGTH(NLMSG_ALIGN(bodySize));
    for (const rtattr *a = reinterpret_cast<const rtattr *>(base); RTA_OK(a, left); a = RTA_NEXT(a, left)) {
        if (a->rta_type == type && RTA_PAYLOAD(a) >= sizeof(uint32_t)) {
            memcpy(value, RTA_DATA(a), sizeof(uint32_t));
            return 1;
        }
    }
    return 0;
}

uint8_t NL_PrefixLength(uint32_t mask)
{
    uint32_t host = ntohl(mask);
    uint8_t n = 0;
    while (n < 32 && (host & (0x80000000u >> n)))
        n++;
    return n;
}

uint32_t NL_MaskOf(uint8_t prefixLength)
{
    if (prefixLength == 0)
        return 0;
    if (prefixLength >= 32)
        return 0xFFFFFFFFu;
    return htonl(0xFFFFFFFFu << (32 - prefixLength));
}

// ---- Routes as the kernel describes them ----

// The next hops of a route over several, with the state flags only the
// kernel sets taken out of each.
static int AddNextHops(NL_Message *m, const rtattr *a)
{
    size_t length = RTA_PAYLOAD(a);
    if (!NL_AddAttr(m, RTA_MULTIPATH, RTA_DATA(a), length))
        return 0;
    nlmsghdr *h = m->Header();
    unsigned char *base = m->data + h->nlmsg_len - RTA_ALIGN(length);
    int left = (int)length;
    for (rtnexthop *nh = reinterpret_cast<rtnexthop *>(base); RTNH_OK(nh, left); nh = RTNH_NEXT(nh)) {
        nh->rtnh_flags &= (unsigned char)~(RTNH_F_DEAD | RTNH_F_LINKDOWN);
        left -= (int)RTNH_ALIGN(nh->rtnh_len);
    }
    return 1;
}

static bool IsHopAttribute(unsigned short type)
{
    switch (type) {
    case RTA_GATEWAY:
    case RTA_VIA:
    case RTA_OIF:
    case RTA_MULTIPATH:
    case RTA_FLOW:
    case RTA_ENCAP:
    case RTA_ENCAP_TYPE: return true;
    default: return false;
    }
}

int NL_RouteFromDump(NL_Message *m, const nlmsghdr *route, uint16_t type, uint16_t flags, uint32_t priority)
{
    if (route->nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg)))
        return 0;
    NL_Begin(m, type, flags, sizeof(rtmsg));
    rtmsg *rt = static_cast<rtmsg *>(m->Body());
    memcpy(rt, NLMSG_DATA(route), sizeof(rtmsg));
    // Of the flags a dump reports, only "on link" is the route's own; the
    // kernel refuses a request that says a next hop is dead or down.
    rt->rtm_flags &= RTNH_F_ONLINK;
    // A route through a next-hop object is dumped with that object's hops
    // beside its id, which a request may not carry: the id says it all.
    uint32_t object;
    bool viaObject = NL_FindU32(route, sizeof(rtmsg), RTA_NH_ID, &object) != 0;
    if (viaObject)
        rt->rtm_flags = 0;
    const rtattr *a = reinterpret_cast<const rtattr *>(static_cast<const unsigned char *>(NLMSG_DATA(route)) +
                                                       NLMSG_ALIGN(sizeof(rtmsg)));
    int left = (int)route->nlmsg_len - (int)NLMSG_LENGTH(NLMSG_ALIGN(sizeof(rtmsg)));
    for (; RTA_OK(a, left); a = RTA_NEXT(a, left)) {
        if (viaObject && IsHopAttribute(a->rta_type))
            continue;
        int ok = a->rta_type == RTA_PRIORITY    ? 1
                 : a->rta_type == RTA_MULTIPATH ? AddNextHops(m, a)
                                                : NL_AddAttr(m, a->rta_type, RTA_DATA(a), RTA_PAYLOAD(a));
        if (!ok)
            return 0;
    }
    return NL_AddU32(m, RTA_PRIORITY, priority);
}
