// Linux: the main routing table over rtnetlink; "ip route" as the fallback.
//
// A route's metric is part of its key here, so an update creates the route
// with the new metric and then deletes the old one.
#include "route_work.h"
#include "netlink_linux.h"
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

void CollectRoute(const nlmsghdr *h, void *context)
{
    Table *t = static_cast<Table *>(context);
    if (h->nlmsg_type != RTM_NEWROUTE || t->failed)
        return;
    const rtmsg *rt = static_cast<const rtmsg *>(NLMSG_DATA(h));
    uint32_t table = rt->rtm_table;
    NL_FindU32(h, sizeof(rtmsg), RTA_TABLE, &table);
    if (rt->rtm_family != AF_INET || table != RT_TABLE_MAIN || (rt->rtm_flags & RTM_F_CLONED))
        return;
    if (t->count == t->capacity) {
        uint32_t capacity = t->capacity ? t->capacity * 2 : 32;
        RouteRow *grown = static_cast<RouteRow *>(realloc(t->rows, capacity * sizeof(RouteRow)));
        if (!grown) {
            t->failed = true;
            return;
        }
        t->rows = grown;
        t->capacity = capacity;
    }
    RouteRow *r = &t->rows[t->count++];
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

static uint32_t Create(const RouteRow *r)
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

static uint32_t Delete(const RouteRow *r)
{
    NL_Message m;
    RouteMessage(&m, RTM_DELROUTE, 0, r, false);
    return NL_Request(&m);
}

static bool SameAtMetric(const RouteRow *rows, uint32_t count, const RouteRow *r)
{
    for (uint32_t i = 0; i < count; i++)
        if (rows[i].destination == r->destination && rows[i].mask == r->mask && rows[i].nextHop == r->nextHop &&
            rows[i].ifIndex == r->ifIndex && rows[i].policy == r->policy && rows[i].metric1 == r->metric1)
            return true;
    return false;
}

static uint32_t Update(const RouteRow *r)
{
    RouteRow *rows;
    uint32_t count;
    uint32_t code = ReadTable(&rows, &count);
    if (code != 0)
        return code;
    const RouteRow *current = nullptr;
    for (uint32_t i = 0; i < count && !current; i++)
        if (rows[i].destination == r->destination && rows[i].mask == r->mask && rows[i].nextHop == r->nextHop &&
            rows[i].ifIndex == r->ifIndex && rows[i].policy == r->policy)
            current = &rows[i];
    if (!current) {
        free(rows);
        return ESRCH;
    }
    if (current->metric1 == r->metric1) {
        free(rows);
        return 0;
    }
    // The new route first, so that there is never a moment without one.
    RouteRow wanted = *current;
    wanted.metric1 = r->metric1;
    code = Create(&wanted);
    // Another route already holds the new metric (the kernel keys routes by
    // destination and metric, not next hop): the old one stays, or the route
    // would be lost for good.
    if (code == EEXIST && !SameAtMetric(rows, count, &wanted))
        code = EEXIST;
    else if (code == 0 || code == EEXIST)
        code = Delete(current);
    free(rows);
    return code;
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

// The route tool's words ("ADD d MASK m g METRIC n IF i", "DELETE d MASK m g
// IF i", "CHANGE ...") as one "ip route" argument vector. Every word is
// checked and rewritten from its value, so nothing of the text passes as is.
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
        verb = "change";
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

static const RouteSys s_linux = {ReadTable, FreeTable, Create, Delete, Update, ROUTE_RunCommand, malloc, free,
                                 ENOMEM,    EINVAL,    EEXIST, EPERM,  EOPNOTSUPP, nullptr, nullptr};

const RouteSys *ROUTE_SystemBackend()
{
    return &s_linux;
}
