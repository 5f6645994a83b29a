// The IPv4 route table from an rtnetlink dump of the main table: one row per
// unicast route, and per next hop of a multipath route, in the kernel's order.
#include "route_table.h"

#include <errno.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "parse.h"

namespace {

uint32_t Word(const rtattr *a)
{
    uint32_t v = 0;
    if (RTA_PAYLOAD(a) >= 4)
        memcpy(&v, RTA_DATA(a), 4);
    return v;
}

void ParseRoute(const nlmsghdr *h, std::vector<ROUTE_TableRow> *rows)
{
    const rtmsg *rt = static_cast<const rtmsg *>(NLMSG_DATA(h));
    if (h->nlmsg_len < NLMSG_LENGTH(sizeof *rt) || rt->rtm_family != AF_INET ||
        rt->rtm_type != RTN_UNICAST)
        return;
    uint32_t table = rt->rtm_table;
    ROUTE_TableRow row;
    memset(&row, 0, sizeof row);
    row.mask = IP_PrefixToMask(rt->rtm_dst_len);
    const rtattr *multipath = nullptr;
    int len = static_cast<int>(RTM_PAYLOAD(h));
    for (const rtattr *a = RTM_RTA(rt); RTA_OK(a, len); a = RTA_NEXT(a, len)) {
        switch (a->rta_type) {
        case RTA_TABLE: table = Word(a); break;
        case RTA_DST: row.destination = Word(a); break;
        case RTA_GATEWAY: row.nextHop = Word(a); break;
        case RTA_OIF: row.ifIndex = Word(a); break;
        case RTA_PRIORITY: row.metric = Word(a); break;
        case RTA_MULTIPATH: multipath = a; break;
        }
    }
    if (table != RT_TABLE_MAIN)
        return;
    if (!multipath) {
        rows->push_back(row);
        return;
    }
    const uint8_t *p = static_cast<const uint8_t *>(RTA_DATA(multipath));
    size_t left = RTA_PAYLOAD(multipath);
    while (left >= sizeof(rtnexthop)) {
        const rtnexthop *nh = reinterpret_cast<const rtnexthop *>(p);
        if (nh->rtnh_len < sizeof(rtnexthop) || nh->rtnh_len > left)
            break;
        ROUTE_TableRow hop = row;
        hop.ifIndex = static_cast<uint32_t>(nh->rtnh_ifindex);
        hop.nextHop = 0;
        int alen = static_cast<int>(nh->rtnh_len - RTNH_ALIGN(sizeof(rtnexthop)));
        for (const rtattr *a = RTNH_DATA(nh); RTA_OK(a, alen); a = RTA_NEXT(a, alen))
            if (a->rta_type == RTA_GATEWAY)
                hop.nextHop = Word(a);
        rows->push_back(hop);
        size_t step = RTNH_ALIGN(nh->rtnh_len);
        if (step > left)
            break;
        p += step;
        left -= step;
    }
}

// 0 when the dump ended, else the errno.
int Dump(std::vector<ROUTE_TableRow> *rows)
{
    int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0)
        return errno;
    struct {
        nlmsghdr h;
        rtmsg rt;
    } req;
    memset(&req, 0, sizeof req);
    req.h.nlmsg_len = NLMSG_LENGTH(sizeof req.rt);
    req.h.nlmsg_type = RTM_GETROUTE;
    req.h.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    req.h.nlmsg_seq = 1;
    req.rt.rtm_family = AF_INET;
    if (send(fd, &req, req.h.nlmsg_len, 0) < 0) {
        int err = errno;
        close(fd);
        return err;
    }
    std::vector<uint8_t> buf(32768);
    for (;;) {
        ssize_t n = recv(fd, buf.data(), buf.size(), 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            int err = errno;
            close(fd);
            return err;
        }
        int left = static_cast<int>(n);
        for (const nlmsghdr *h = reinterpret_cast<const nlmsghdr *>(buf.data()); NLMSG_OK(h, left);
             h = NLMSG_NEXT(h, left)) {
            if (h->nlmsg_type == NLMSG_DONE) {
                close(fd);
                return 0;
            }
            if (h->nlmsg_type == NLMSG_ERROR) {
                const nlmsgerr *e = static_cast<const nlmsgerr *>(NLMSG_DATA(h));
                close(fd);
                return e->error ? -e->error : EIO;
            }
            if (h->nlmsg_type == RTM_NEWROUTE)
                ParseRoute(h, rows);
        }
        if (n == 0) {
            close(fd);
            return EIO;
        }
    }
}

}  // namespace

ROUTE_TableResult ROUTE_ReadSystemTable(ROUTE_TableRow **rows, uint32_t *count, uint32_t *code)
{
    *rows = nullptr;
    *count = 0;
    std::vector<ROUTE_TableRow> found;
    int err = Dump(&found);
    if (err) {
        *code = static_cast<uint32_t>(err);
        return ROUTE_TABLE_FAILED;
    }
    ROUTE_TableRow *out =
        static_cast<ROUTE_TableRow *>(malloc((found.empty() ? 1 : found.size()) * sizeof *out));
    if (!out)
        return ROUTE_TABLE_NO_MEMORY;
    if (!found.empty())
        memcpy(out, found.data(), found.size() * sizeof *out);
    *rows = out;
    *count = static_cast<uint32_t>(found.size());
    return ROUTE_TABLE_OK;
}
