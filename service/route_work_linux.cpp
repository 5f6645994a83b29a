// Linux: the main routing table over rtnetlink; "ip route" as the fallback.
//
// A route's metric is part of its key here, so an update creates the route
// with the new metric and then deletes the old one.
#include "route_work.h"
#include "netlink_linux.h"
#include "route_detail_linux.h"
#include "service_log.h"
#include "svc_process.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <unistd.h>
#include <vector>

#define ROUTE_WAIT_MS 1500u

// The kernel's route origins as the route table's protocols: what an
// administrator or DHCP set up counts as a static route, what the kernel made
// as a local one.
static uint32_t ProtocolOf(uint8_t origin)
{
    switch (origin) {
    case RTPROT_KERNEL: return ROUTE_PROTO_LOCAL;
    case RTPROT_BOOT:
    case RTPROT_STATIC:
    case RTPROT_DHCP: return ROUTE_PROTO_NETMGMT;
    default: return ROUTE_PROTO_OTHER;
    }
}

namespace {

struct Table {
    RouteRow *rows = nullptr;
    uint32_t count = 0;
    uint32_t capacity = 0;
    bool failed = false;
};

// The row of a dump message of the main IPv4 table; false for any other.
bool RowOf(const nlmsghdr *h, RouteRow *r)
{
    if (h->nlmsg_type != RTM_NEWROUTE || h->nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg)))
        return false;
    const rtmsg *rt = static_cast<const rtmsg *>(NLMSG_DATA(h));
    uint32_t table = rt->rtm_table;
    NL_FindU32(h, sizeof(rtmsg), RTA_TABLE, &table);
    if (rt->rtm_family != AF_INET || table != RT_TABLE_MAIN || (rt->rtm_flags & RTM_F_CLONED))
        return false;
    memset(r, 0, sizeof(*r));
    NL_FindU32(h, sizeof(rtmsg), RTA_DST, &r->destination);
    r->mask = NL_MaskOf(rt->rtm_dst_len);
    NL_FindU32(h, sizeof(rtmsg), RTA_GATEWAY, &r->nextHop);
    NL_FindU32(h, sizeof(rtmsg), RTA_OIF, &r->ifIndex);
    NL_FindU32(h, sizeof(rtmsg), RTA_PRIORITY, &r->metric1);
    r->policy = rt->rtm_tos;
    // A route over several next hops cannot be made again from one row: it
    // is listed as OTHER, so nothing removes it for good.
    uint32_t multipath;
    bool several = NL_FindU32(h, sizeof(rtmsg), RTA_MULTIPATH, &multipath) != 0;
    r->type = rt->rtm_type != RTN_UNICAST || several ? ROUTE_TYPE_OTHER
              : r->nextHop != 0          ? ROUTE_TYPE_INDIRECT
                                         : ROUTE_TYPE_DIRECT;
    r->protocol = ProtocolOf(rt->rtm_protocol);
    r->sysProtocol = rt->rtm_protocol;
    r->metric2 = r->metric3 = r->metric4 = r->metric5 = ROUTE_NO_METRIC;
    return true;
}

bool Append(Table *t, const RouteRow &row)
{
    if (t->count == t->capacity) {
        uint32_t capacity = t->capacity ? t->capacity * 2 : 32;
        RouteRow *grown = static_cast<RouteRow *>(realloc(t->rows, capacity * sizeof(RouteRow)));
        if (!grown) {
            t->failed = true;
            return false;
        }
        t->rows = grown;
        t->capacity = capacity;
    }
    t->rows[t->count++] = row;
    return true;
}

// Each next hop of a route over several, as a row after the route's own:
// where the route leads, for a look-up.
void AppendHops(Table *t, const nlmsghdr *h, const RouteRow &route)
{
    const rtattr *a = reinterpret_cast<const rtattr *>(static_cast<const unsigned char *>(NLMSG_DATA(h)) +
                                                       NLMSG_ALIGN(sizeof(rtmsg)));
    int left = (int)h->nlmsg_len - (int)NLMSG_LENGTH(NLMSG_ALIGN(sizeof(rtmsg)));
    for (; RTA_OK(a, left); a = RTA_NEXT(a, left)) {
        if (a->rta_type != RTA_MULTIPATH)
            continue;
        int hopsLeft = (int)RTA_PAYLOAD(a);
        for (const rtnexthop *nh = static_cast<const rtnexthop *>(RTA_DATA(a));
             hopsLeft >= (int)sizeof(rtnexthop) && RTNH_OK(nh, hopsLeft);
             hopsLeft -= (int)RTNH_ALIGN(nh->rtnh_len), nh = RTNH_NEXT(nh)) {
            RouteRow hop = route;
            hop.type = ROUTE_TYPE_NEXT_HOP;
            hop.ifIndex = (uint32_t)nh->rtnh_ifindex;
            hop.nextHop = 0;
            int attrsLeft = (int)nh->rtnh_len - (int)RTNH_LENGTH(0);
            for (const rtattr *g = RTNH_DATA(nh); RTA_OK(g, attrsLeft); g = RTA_NEXT(g, attrsLeft))
                if (g->rta_type == RTA_GATEWAY && RTA_PAYLOAD(g) >= sizeof(uint32_t))
                    memcpy(&hop.nextHop, RTA_DATA(g), sizeof(uint32_t));
            if (!Append(t, hop))
                return;
        }
        return;
    }
}

void CollectRoute(const nlmsghdr *h, void *context)
{
    Table *t = static_cast<Table *>(context);
    RouteRow row;
    if (t->failed || !RowOf(h, &row))
        return;
    if (Append(t, row) && row.type == ROUTE_TYPE_OTHER)
        AppendHops(t, h, row);
}

}  // namespace

static uint32_t ReadTable(RouteRow **rows, uint32_t *count)
{
    *rows = nullptr;
    *count = 0;
    NL_Message m;
    NL_Begin(&m, RTM_GETROUTE, 0, sizeof(rtmsg));
    static_cast<rtmsg *>(m.Body())->rtm_family = AF_INET;
    Table t;
    uint32_t code = NL_Dump(&m, CollectRoute, &t);
    if (code == 0 && t.failed)
        code = ENOMEM;
    if (code != 0) {
        free(t.rows);
        return code;
    }
    if (!t.rows && !(t.rows = static_cast<RouteRow *>(malloc(sizeof(RouteRow)))))
        return ENOMEM;
    *rows = t.rows;
    *count = t.count;
    return 0;
}

static void FreeTable(RouteRow *rows)
{
    free(rows);
}

static void RouteMessage(NL_Message *m, uint16_t type, uint16_t flags, const RouteRow *r, bool onLink)
{
    NL_Begin(m, type, flags, sizeof(rtmsg));
    rtmsg *rt = static_cast<rtmsg *>(m->Body());
    rt->rtm_family = AF_INET;
    rt->rtm_dst_len = NL_PrefixLength(r->mask);
    rt->rtm_table = RT_TABLE_MAIN;
    rt->rtm_tos = (uint8_t)r->policy;
    if (type == RTM_DELROUTE) {
        rt->rtm_scope = RT_SCOPE_NOWHERE;
    } else {
        rt->rtm_protocol = r->sysProtocol ? (uint8_t)r->sysProtocol : (uint8_t)RTPROT_STATIC;
        rt->rtm_scope = r->nextHop != 0 ? RT_SCOPE_UNIVERSE : RT_SCOPE_LINK;
        rt->rtm_type = RTN_UNICAST;
        if (onLink)
            rt->rtm_flags |= RTNH_F_ONLINK;
    }
    if (rt->rtm_dst_len > 0)
        NL_AddU32(m, RTA_DST, r->destination);
    if (r->nextHop != 0)
        NL_AddU32(m, RTA_GATEWAY, r->nextHop);
    if (r->ifIndex != 0)
        NL_AddU32(m, RTA_OIF, r->ifIndex);
    NL_AddU32(m, RTA_PRIORITY, r->metric1);
}

// ---- Routes as the kernel holds them ----
//
// A row names a route but does not describe it: a preferred source, an MTU,
// an initial congestion window and the like go with the kernel's own
// message. A route that is moved to another metric is made again from that
// message, and one that is deleted keeps it here until it is made again.

namespace {

struct KernelRoute {
    RouteRow row;
    std::vector<unsigned char> message;
};

typedef std::vector<KernelRoute> KernelTable;

// A route moved to another metric, so that a route deleted where it was put
// comes back from its own description when it is asked for at the metric it
// came from.
struct Moved {
    RouteRow row;  // as it was, at its own metric
    uint32_t to;
};

const size_t kMaxKept = 256;
std::vector<KernelRoute> s_deleted;  // newest last
std::vector<Moved> s_moved;

void CollectKernelRoute(const nlmsghdr *h, void *context)
{
    KernelRoute r;
    if (!RowOf(h, &r.row))
        return;
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(h);
    r.message.assign(bytes, bytes + h->nlmsg_len);
    static_cast<KernelTable *>(context)->push_back(r);
}

// One route, whatever its metric: destination, mask, type of service, next
// hop and interface.
bool SameKey(const RouteRow *a, const RouteRow *b)
{
    return a->destination == b->destination && a->mask == b->mask && a->nextHop == b->nextHop &&
           a->ifIndex == b->ifIndex && a->policy == b->policy;
}

// The route itself: its metric is part of what the kernel knows it by.
bool SameRouteAt(const RouteRow *a, const RouteRow *b)
{
    return SameKey(a, b) && a->metric1 == b->metric1;
}

const nlmsghdr *HeaderOf(const KernelRoute &r)
{
    return reinterpret_cast<const nlmsghdr *>(r.message.data());
}

template <typename T> void Keep(std::vector<T> *list, const T &item)
{
    if (list->size() >= kMaxKept)
        list->erase(list->begin());
    list->push_back(item);
}

const KernelRoute *Exact(const KernelTable &t, const RouteRow *r)
{
    for (const KernelRoute &k : t)
        if (SameRouteAt(&k.row, r))
            return &k;
    return nullptr;
}

}  // namespace

static uint32_t ReadKernelTable(KernelTable *t)
{
    NL_Message m;
    NL_Begin(&m, RTM_GETROUTE, 0, sizeof(rtmsg));
    static_cast<rtmsg *>(m.Body())->rtm_family = AF_INET;
    return NL_Dump(&m, CollectKernelRoute, t);
}

// The kernel keys a route by destination, type of service and metric: a
// metric another route to the destination holds cannot be had, whatever
// that route's next hop.
static bool MetricTaken(const KernelTable &t, const RouteRow *r, uint32_t metric)
{
    for (const KernelRoute &k : t)
        if (k.row.destination == r->destination && k.row.mask == r->mask && k.row.policy == r->policy &&
            k.row.metric1 == metric)
            return true;
    return false;
}

static uint32_t CreateFromRow(const RouteRow *r)
{
    NL_Message m;
    RouteMessage(&m, RTM_NEWROUTE, NLM_F_CREATE | NLM_F_EXCL, r, false);
    uint32_t code = NL_Request(&m);
    // A tunnel's gateway is often no neighbour of the link's own address.
    if (code == ENETUNREACH && r->nextHop != 0 && r->ifIndex != 0) {
        RouteMessage(&m, RTM_NEWROUTE, NLM_F_CREATE | NLM_F_EXCL, r, true);
        code = NL_Request(&m);
    }
    return code;
}

static uint32_t FromKernel(const KernelRoute &k, uint16_t type, uint16_t flags, uint32_t metric)
{
    NL_Message m;
    if (!NL_RouteFromDump(&m, HeaderOf(k), type, flags, metric))
        return ENOBUFS;
    return NL_Request(&m);
}

static uint32_t CreateFromKernel(const KernelRoute &k, uint32_t metric)
{
    return FromKernel(k, RTM_NEWROUTE, NLM_F_CREATE | NLM_F_EXCL, metric);
}

// The kernel takes a delete at metric 0 for one at any metric; the route is
// named with everything it has, and only a route that is there is deleted,
// so that the one found first is that one (the kernel looks from the lowest
// metric up).
static uint32_t DeleteFromKernel(const KernelRoute &k, uint32_t metric)
{
    return FromKernel(k, RTM_DELROUTE, 0, metric);
}

// Whatever went with a delete besides the route named is made again as it
// was: the table is what it was but for that one route.
static void KeepTheOthers(const KernelTable &before, const RouteRow *named)
{
    KernelTable after;
    if (ReadKernelTable(&after) != 0)
        return;
    for (const KernelRoute &k : before) {
        if (SameRouteAt(&k.row, named) || Exact(after, &k.row))
            continue;
        LOG_Print("A route went that was not meant to (Dest: %s, Gateway: %s, Metric: %lu): made again\r\n",
                  SVC_IpToString(k.row.destination), SVC_IpToString(k.row.nextHop), (unsigned long)k.row.metric1);
        CreateFromKernel(k, k.row.metric1);
    }
}

// A route deleted here comes back as the kernel had it: asked for at the
// metric it was deleted at, or at the one it was moved from before. Should
// its own description no longer be accepted (its preferred source has gone,
// say), the row makes what it can.
static bool MovedFrom(const RouteRow *r, uint32_t at)
{
    for (const Moved &m : s_moved)
        if (SameRouteAt(&m.row, r) && m.to == at)
            return true;
    return false;
}

static uint32_t Create(const RouteRow *r)
{
    for (size_t i = s_deleted.size(); i-- > 0;) {
        const KernelRoute &k = s_deleted[i];
        if (!SameKey(&k.row, r) || (k.row.metric1 != r->metric1 && !MovedFrom(r, k.row.metric1)))
            continue;
        uint32_t code = CreateFromKernel(k, r->metric1);
        s_deleted.erase(s_deleted.begin() + (long)i);
        if (code == 0 || code == EEXIST)
            return code;
        break;
    }
    return CreateFromRow(r);
}

// Exactly the route the row names, metric included; checked afterwards.
static uint32_t Delete(const RouteRow *r)
{
    KernelTable t;
    uint32_t code = ReadKernelTable(&t);
    if (code != 0)
        return code;
    const KernelRoute *found = Exact(t, r);
    if (!found)
        return ESRCH;
    if ((code = DeleteFromKernel(*found, found->row.metric1)) != 0)
        return code;
    Keep(&s_deleted, *found);
    KeepTheOthers(t, r);
    return 0;
}

// A route moved on again (or back) is found where it is now.
static void FollowMoves(const RouteRow *r, uint32_t from, uint32_t to)
{
    for (size_t i = s_moved.size(); i-- > 0;) {
        Moved &m = s_moved[i];
        if (!SameKey(&m.row, r) || m.to != from)
            continue;
        if (m.row.metric1 == to)
            s_moved.erase(s_moved.begin() + (long)i);
        else
            m.to = to;
    }
}

// Moves the route the row names to the metric: the route again at the new
// metric from its own description, then the old one away, so that there is
// never a moment without one. A metric another route holds is refused; no
// other route is touched.
static uint32_t MoveFrom(const KernelTable &t, const KernelRoute &current, uint32_t metric)
{
    if (current.row.metric1 == metric)
        return 0;
    if (MetricTaken(t, &current.row, metric))
        return EEXIST;
    uint32_t code = CreateFromKernel(current, metric);
    if (code != 0)
        return code;
    if ((code = DeleteFromKernel(current, current.row.metric1)) != 0) {
        // Two of it would outlive every restore: the new one goes again.
        DeleteFromKernel(current, metric);
        return code;
    }
    KeepTheOthers(t, &current.row);
    FollowMoves(&current.row, current.row.metric1, metric);
    if (metric > current.row.metric1) {
        Moved m = {current.row, metric};
        Keep(&s_moved, m);
    }
    return 0;
}

static uint32_t Move(const RouteRow *r, uint32_t metric)
{
    KernelTable t;
    uint32_t code = ReadKernelTable(&t);
    if (code != 0)
        return code;
    const KernelRoute *current = Exact(t, r);
    return current ? MoveFrom(t, *current, metric) : ESRCH;
}

// An update that names no metric to move from: of several routes that
// differ only in metric, the one in front.
static uint32_t Update(const RouteRow *r)
{
    KernelTable t;
    uint32_t code = ReadKernelTable(&t);
    if (code != 0)
        return code;
    const KernelRoute *front = nullptr;
    for (const KernelRoute &k : t)
        if (SameKey(&k.row, r) && (!front || k.row.metric1 < front->row.metric1))
            front = &k;
    return front ? MoveFrom(t, *front, r->metric1) : ESRCH;
}

// ---- The state file's part: a removed route's message outlives the process ----

static int Describe(const RouteRow *r, RouteDetail *d)
{
    KernelTable t;
    if (ReadKernelTable(&t) != 0)
        return 0;
    const KernelRoute *k = Exact(t, r);
    if (!k)
        return 0;
    if (const char *left = RDETAIL_Of(HeaderOf(*k), d))
        LOG_Print("Not kept in the state file of the route to %s: %s\r\n", SVC_IpToString(r->destination), left);
    return (int)d->present;
}

// Kept as a route deleted here is: making it again makes it from this.
static const char *Recall(const RouteRow *r, const RouteDetail *d)
{
    if (const char *why = RDETAIL_Fault(r, d))
        return why;
    KernelRoute k;
    k.row = *r;
    if (!RDETAIL_Message(r, d, &k.message))
        return "its detail does not fit a request";
    Keep(&s_deleted, k);
    return nullptr;
}

static const char *IpTool()
{
    static const char *const places[] = {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"};
    for (const char *p : places)
        if (access(p, X_OK) == 0)
            return p;
    return nullptr;
}

static bool ParseAddress(const char *text, uint32_t *address)
{
    in_addr a;
    if (inet_pton(AF_INET, text, &a) != 1)
        return false;
    *address = a.s_addr;
    return true;
}

static bool ParseNumber(const char *text, uint32_t *value)
{
    if (!*text)
        return false;
    char *end;
    unsigned long v = strtoul(text, &end, 10);
    if (*end != '\0' || text[0] == '-' || v > 0xFFFFFFFFul)
        return false;
    *value = (uint32_t)v;
    return true;
}

// "ip route change" replaces the first route to the destination at the new
// metric, whichever next hop and link it has: another default route, never
// the one meant. The tool can do nothing the netlink move did not, so a
// change is left undone.
static uint32_t ChangeNotRun()
{
    LOG_Print("Route tool not run: its change would replace whichever route holds that metric\r\n");
    return EOPNOTSUPP;
}

// The route tool's words ("ADD d MASK m g METRIC n IF i", "DELETE d MASK m g
// IF i") as one "ip route" argument vector. Every word is checked and
// rewritten from its value, so nothing of the text passes as is; a "CHANGE"
// is not run.
uint32_t ROUTE_RunCommand(const char *parameters)
{
    LOG_Print("%s %s\r\n", "route", parameters);
    char text[ROUTE_COMMAND_MAX];
    snprintf(text, sizeof(text), "%s", parameters);
    char *words[10];
    int n = 0;
    char *save = nullptr;
    for (char *w = strtok_r(text, " ", &save); w && n < 10; w = strtok_r(nullptr, " ", &save))
        words[n++] = w;
    const char *verb = nullptr;
    bool withMetric = true;
    if (n == 9 && strcmp(words[0], "ADD") == 0)
        verb = "add";
    else if (n == 9 && strcmp(words[0], "CHANGE") == 0)
        return ChangeNotRun();
    else if (n == 7 && strcmp(words[0], "DELETE") == 0)
        verb = "del", withMetric = false;
    uint32_t dest, mask, hop, metric = 0, index;
    int ifAt = withMetric ? 7 : 5;
    if (!verb || strcmp(words[2], "MASK") != 0 || !ParseAddress(words[1], &dest) ||
        !ParseAddress(words[3], &mask) || !ParseAddress(words[4], &hop) ||
        (withMetric && (strcmp(words[5], "METRIC") != 0 || !ParseNumber(words[6], &metric))) ||
        strcmp(words[ifAt], "IF") != 0 || !ParseNumber(words[ifAt + 1], &index))
        return EINVAL;
    // Without its device the tool would take whichever route matches the
    // destination, another interface's included: no interface, no run.
    char device[IF_NAMESIZE];
    if (index == 0 || !if_indextoname(index, device)) {
        LOG_Print("Route tool not run: no interface with index %lu\r\n", (unsigned long)index);
        return ENODEV;
    }
    const char *tool = IpTool();
    if (!tool)
        return ENOENT;
    char target[32], via[16], metricText[16];
    in_addr a;
    a.s_addr = dest;
    snprintf(target, sizeof(target), "%s/%u", inet_ntoa(a), (unsigned)NL_PrefixLength(mask));
    a.s_addr = hop;
    snprintf(via, sizeof(via), "%s", inet_ntoa(a));
    snprintf(metricText, sizeof(metricText), "%lu", (unsigned long)metric);
    const char *argv[16];
    int k = 0;
    argv[k++] = tool;
    argv[k++] = "-4";
    argv[k++] = "route";
    argv[k++] = verb;
    argv[k++] = target;
    if (hop != 0) {
        argv[k++] = "via";
        argv[k++] = via;
    }
    if (withMetric) {
        argv[k++] = "metric";
        argv[k++] = metricText;
    }
    argv[k++] = "dev";
    argv[k++] = device;
    argv[k] = nullptr;
    return SVCPROC_RunArgv(argv, ROUTE_WAIT_MS);
}

static void TakeRouteType(const nlmsghdr *h, void *context)
{
    if (h->nlmsg_type == RTM_NEWROUTE)
        *static_cast<int *>(context) = static_cast<const rtmsg *>(NLMSG_DATA(h))->rtm_type;
}

// The kernel's own look-up ("ip route get"): it knows every local address,
// the ranges routed to this host and the broadcast addresses of its networks.
bool ROUTE_IsLocalAddress(uint32_t address)
{
    NL_Message m;
    NL_Begin(&m, RTM_GETROUTE, 0, sizeof(rtmsg));
    rtmsg *rt = static_cast<rtmsg *>(m.Body());
    rt->rtm_family = AF_INET;
    rt->rtm_dst_len = 32;
    NL_AddU32(&m, RTA_DST, address);
    int type = -1;
    uint32_t code = NL_Query(&m, TakeRouteType, &type);
    if (code == ENETUNREACH || code == EHOSTUNREACH)
        return false;  // no route at all: no address of this host either
    if (code != 0 || type < 0)
        return true;
    return type == RTN_LOCAL || type == RTN_BROADCAST;
}

static const RouteSys s_linux = {ReadTable, FreeTable, Create,     Delete,  Update,  ROUTE_RunCommand, malloc, free,
                                 ENOMEM,    EINVAL,    EEXIST,     EPERM,   EOPNOTSUPP, nullptr,        nullptr, ESRCH,
                                 Move,      Describe,  Recall};

const RouteSys *ROUTE_SystemBackend()
{
    return &s_linux;
}
