#include "route_detail_linux.h"
#include "netlink_linux.h"

#include <sys/socket.h>

#include <cstdio>
#include <cstring>
#include <linux/rtnetlink.h>
#include <string>

namespace {

// What a description leaves out, as one line for the log.
struct Omitted {
    char text[200] = "";
    void Add(const char *what, unsigned value)
    {
        size_t n = strlen(text);
        snprintf(text + n, sizeof(text) - n, "%s%s %u", n ? ", " : "", what, value);
    }
};

bool U32Of(const rtattr *a, uint32_t *value)
{
    if (RTA_PAYLOAD(a) < sizeof(uint32_t))
        return false;
    memcpy(value, RTA_DATA(a), sizeof(uint32_t));
    return true;
}

void MetricsOf(const rtattr *nest, RouteDetail *d, Omitted *o)
{
    int left = (int)RTA_PAYLOAD(nest);
    for (const rtattr *a = static_cast<const rtattr *>(RTA_DATA(nest)); RTA_OK(a, left); a = RTA_NEXT(a, left)) {
        uint32_t value;
        // The congestion control's name is text, no number.
        if (a->rta_type == RTAX_UNSPEC || a->rta_type >= ROUTE_DETAIL_METRICS || a->rta_type > RTAX_MAX ||
            a->rta_type == RTAX_CC_ALGO || !U32Of(a, &value)) {
            o->Add("metric", a->rta_type);
            continue;
        }
        d->metrics[a->rta_type] = value;
        d->metricsSet |= 1u << a->rta_type;
    }
}

// False when the next hops do not all fit: part of them would be another route.
bool HopsOf(const rtattr *nest, RouteDetail *d, Omitted *o)
{
    int left = (int)RTA_PAYLOAD(nest);
    // The length is looked at before the hop is: the last hop may end the message.
    for (const rtnexthop *nh = static_cast<const rtnexthop *>(RTA_DATA(nest));
         left >= (int)sizeof(rtnexthop) && RTNH_OK(nh, left);
         left -= (int)RTNH_ALIGN(nh->rtnh_len), nh = RTNH_NEXT(nh)) {
        if (d->hopCount == ROUTE_DETAIL_HOPS)
            return false;
        RouteHop *h = &d->hops[d->hopCount++];
        h->ifIndex = (uint32_t)nh->rtnh_ifindex;
        h->weight = nh->rtnh_hops;
        // The kernel's report of a dead or link-down hop is no part of the route.
        h->flags = nh->rtnh_flags & RTNH_F_ONLINK;
        int inner = (int)nh->rtnh_len - (int)sizeof(rtnexthop);
        for (const rtattr *a = reinterpret_cast<const rtattr *>(RTNH_DATA(nh)); RTA_OK(a, inner);
             a = RTA_NEXT(a, inner)) {
            if (a->rta_type != RTA_GATEWAY || !U32Of(a, &h->gateway))
                o->Add("next hop attribute", a->rta_type);
        }
    }
    return true;
}

bool Unicast(uint32_t address)
{
    unsigned char b[4];
    memcpy(b, &address, 4);
    return b[0] != 0 && b[0] < 224;
}

const char *MetricFault(uint32_t i, uint32_t value)
{
    uint32_t known = ((1u << (RTAX_MAX + 1)) - 1) & ~((1u << RTAX_UNSPEC) | (1u << RTAX_CC_ALGO));
    if (i == RTAX_UNSPEC || i > RTAX_MAX || i == RTAX_CC_ALGO)
        return "a metric the kernel does not know";
    switch (i) {
    case RTAX_LOCK: return (value & ~known) != 0 ? "a lock on a metric the kernel does not know" : nullptr;
    case RTAX_MTU: return value < 68 || value > 0xFFFF ? "an MTU out of range" : nullptr;
    case RTAX_ADVMSS: return value == 0 || value > 0xFFFF ? "an advertised MSS out of range" : nullptr;
    case RTAX_HOPLIMIT: return value > 255 ? "a hop limit out of range" : nullptr;
    case RTAX_FEATURES: return (value & ~(uint32_t)RTAX_FEATURE_MASK) != 0 ? "a TCP feature the kernel does not know"
                                                                         : nullptr;
    default: return nullptr;
    }
}

const char *HopFault(const RouteHop *h)
{
    if (h->ifIndex == 0)
        return "a next hop without its interface";
    if (h->gateway != 0 && !Unicast(h->gateway))
        return "a next hop's gateway is no unicast address";
    if (h->weight > 255)
        return "a next hop's weight out of range";
    if (h->flags & ~(uint32_t)RTNH_F_ONLINK)
        return "a next hop's flags the kernel sets only itself";
    return nullptr;
}

// A nested attribute of the given type holding the bytes, into the message.
int AddNest(NL_Message *m, uint16_t type, const std::string &bytes)
{
    return NL_AddAttr(m, type, bytes.data(), bytes.size());
}

void Append(std::string *bytes, const void *data, size_t length)
{
    bytes->append(static_cast<const char *>(data), length);
    bytes->append(RTA_ALIGN(length) - length, '\0');
}

void AppendU32(std::string *bytes, uint16_t type, uint32_t value)
{
    rtattr a;
    a.rta_len = (unsigned short)RTA_LENGTH(sizeof(value));
    a.rta_type = type;
    Append(bytes, &a, sizeof(a));
    Append(bytes, &value, sizeof(value));
}

}  // namespace

const char *RDETAIL_Of(const nlmsghdr *h, RouteDetail *d)
{
    static Omitted omitted;
    omitted = Omitted();
    *d = RouteDetail();
    if (h->nlmsg_type != RTM_NEWROUTE || h->nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg)))
        return nullptr;
    const rtmsg *rt = static_cast<const rtmsg *>(NLMSG_DATA(h));
    if (rt->rtm_family != AF_INET)
        return nullptr;
    d->table = rt->rtm_table;
    d->scope = rt->rtm_scope;
    d->type = rt->rtm_type;
    d->flags = rt->rtm_flags & RTNH_F_ONLINK;
    bool whole = true;
    const rtattr *a = reinterpret_cast<const rtattr *>(static_cast<const unsigned char *>(NLMSG_DATA(h)) +
                                                       NLMSG_ALIGN(sizeof(rtmsg)));
    int left = (int)h->nlmsg_len - (int)NLMSG_LENGTH(NLMSG_ALIGN(sizeof(rtmsg)));
    for (; RTA_OK(a, left); a = RTA_NEXT(a, left)) {
        switch (a->rta_type) {
        // The row's, and what the kernel reports of a route's use.
        case RTA_DST:
        case RTA_GATEWAY:
        case RTA_OIF:
        case RTA_PRIORITY:
        case RTA_CACHEINFO: break;
        case RTA_TABLE: U32Of(a, &d->table); break;
        case RTA_PREFSRC: U32Of(a, &d->source); break;
        case RTA_NH_ID: U32Of(a, &d->nextHopId); break;
        case RTA_METRICS: MetricsOf(a, d, &omitted); break;
        case RTA_MULTIPATH: whole = HopsOf(a, d, &omitted) && whole; break;
        default: omitted.Add("attribute", a->rta_type);
        }
    }
    if (!whole) {
        *d = RouteDetail();
        return "more next hops than an entry holds";
    }
    d->present = 1;
    return omitted.text[0] ? omitted.text : nullptr;
}

const char *RDETAIL_Fault(const RouteRow *row, const RouteDetail *d)
{
    if (d->table != RT_TABLE_MAIN)
        return "its table is not the main table";
    if (d->type != RTN_UNICAST)
        return "it is no unicast route";
    if (d->scope != RT_SCOPE_UNIVERSE && d->scope != RT_SCOPE_SITE && d->scope != RT_SCOPE_LINK)
        return "a scope no route of another link has";
    if (d->flags & ~(uint32_t)RTNH_F_ONLINK)
        return "flags the kernel sets only itself";
    if (row->sysProtocol > 255 || row->policy > 255)
        return "a protocol or type of service out of range";
    if (d->source != 0 && !Unicast(d->source))
        return "its preferred source is no unicast address";
    if (d->nextHopId != 0 && d->hopCount != 0)
        return "both a next-hop object and next hops";
    if (d->hopCount > ROUTE_DETAIL_HOPS)
        return "more next hops than an entry holds";
    for (uint32_t i = 0; i < ROUTE_DETAIL_METRICS; i++)
        if (d->metricsSet & (1u << i))
            if (const char *why = MetricFault(i, d->metrics[i]))
                return why;
    for (uint32_t i = 0; i < d->hopCount; i++)
        if (const char *why = HopFault(&d->hops[i]))
            return why;
    return nullptr;
}

int RDETAIL_Message(const RouteRow *row, const RouteDetail *d, std::vector<unsigned char> *message)
{
    NL_Message m;
    NL_Begin(&m, RTM_NEWROUTE, 0, sizeof(rtmsg));
    rtmsg *rt = static_cast<rtmsg *>(m.Body());
    rt->rtm_family = AF_INET;
    rt->rtm_dst_len = NL_PrefixLength(row->mask);
    rt->rtm_tos = (uint8_t)row->policy;
    rt->rtm_table = d->table < 256 ? (uint8_t)d->table : (uint8_t)RT_TABLE_UNSPEC;
    rt->rtm_protocol = row->sysProtocol ? (uint8_t)row->sysProtocol : (uint8_t)RTPROT_STATIC;
    rt->rtm_scope = (uint8_t)d->scope;
    rt->rtm_type = (uint8_t)d->type;
    rt->rtm_flags = d->flags;
    int ok = NL_AddU32(&m, RTA_TABLE, d->table) && NL_AddU32(&m, RTA_PRIORITY, row->metric1);
    if (ok && rt->rtm_dst_len > 0)
        ok = NL_AddU32(&m, RTA_DST, row->destination);
    if (ok && d->source != 0)
        ok = NL_AddU32(&m, RTA_PREFSRC, d->source);
    if (ok && d->nextHopId != 0) {
        ok = NL_AddU32(&m, RTA_NH_ID, d->nextHopId);
    } else if (ok && d->hopCount != 0) {
        std::string hops;
        for (uint32_t i = 0; i < d->hopCount && i < ROUTE_DETAIL_HOPS; i++) {
            const RouteHop *h = &d->hops[i];
            std::string gateway;
            if (h->gateway != 0)
                AppendU32(&gateway, RTA_GATEWAY, h->gateway);
            rtnexthop nh = {};
            nh.rtnh_len = (unsigned short)(sizeof(nh) + gateway.size());
            nh.rtnh_flags = (unsigned char)h->flags;
            nh.rtnh_hops = (unsigned char)h->weight;
            nh.rtnh_ifindex = (int)h->ifIndex;
            Append(&hops, &nh, sizeof(nh));
            hops += gateway;
        }
        ok = AddNest(&m, RTA_MULTIPATH, hops);
    } else if (ok) {
        if (row->nextHop != 0)
            ok = NL_AddU32(&m, RTA_GATEWAY, row->nextHop);
        if (ok && row->ifIndex != 0)
            ok = NL_AddU32(&m, RTA_OIF, row->ifIndex);
    }
    if (ok && d->metricsSet != 0) {
        std::string metrics;
        for (uint16_t i = 0; i < ROUTE_DETAIL_METRICS; i++)
            if (d->metricsSet & (1u << i))
                AppendU32(&metrics, i, d->metrics[i]);
        ok = AddNest(&m, RTA_METRICS, metrics);
    }
    if (!ok)
        return 0;
    const unsigned char *bytes = m.data;
    message->assign(bytes, bytes + m.Header()->nlmsg_len);
    return 1;
}
