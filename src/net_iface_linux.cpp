// Interface lookup from the kernel's rtnetlink tables: one link dump (names,
// MTU, operational state, alias as the description), one IPv4 address dump
// and one IPv4 route dump (an adapter's gateway is the next hop of the first
// default route of the main table that leaves through it). Linux keeps no
// DNS servers per adapter: every adapter reports the resolver file's first
// two IPv4 name servers.
#include "net_iface.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/if.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <vector>

#include "parse.h"
#include "service_pipe_protocol.h"
#include "str.h"

static const char *const kModule = "net_iface_linux";

static std::atomic<const char *> g_resolverFile{nullptr};

void NETIFACE_SetResolverFile(const char *path)
{
    g_resolverFile.store(path);
}

namespace {

struct Link {
    uint32_t index;
    char name[IFNAMSIZ + 1];
    char alias[256];
    uint32_t mtu;
    uint32_t operStatus;
};

struct Address {
    uint32_t index;
    uint32_t address;
    uint8_t prefix;
};

struct Gateway {
    uint32_t index;
    uint32_t gateway;
};

struct Tables {
    std::vector<Link> links;
    std::vector<Address> addresses;
    std::vector<Gateway> gateways;
    bool interrupted = false;  // a table changed while the kernel was listing it
};

// RFC 2863 operational states as the kernel numbers them, to the numbers of
// the Windows adapter list the rest of the client speaks.
uint32_t MapOperState(uint8_t state)
{
    static const uint8_t map[] = {NETIFACE_OPER_UNKNOWN,     NETIFACE_OPER_NOT_PRESENT,
                                  NETIFACE_OPER_DOWN,        NETIFACE_OPER_LOWER_LAYER_DOWN,
                                  NETIFACE_OPER_TESTING,     NETIFACE_OPER_DORMANT,
                                  NETIFACE_OPER_UP};
    return state < sizeof map ? map[state] : static_cast<uint32_t>(NETIFACE_OPER_UNKNOWN);
}

// The kernel's operational state trails the carrier: its link watch applies
// a carrier change up to a second later (it paces itself for the whole
// host). A tun link whose program has just closed it still reads "up" then,
// though nothing holds it any more. A link without carrier is judged as the
// kernel is about to judge it: down, or lower layer down when it sits on
// another link.
uint32_t LinkState(uint32_t reported, unsigned int flags, bool onLowerLink)
{
    if (reported != NETIFACE_OPER_UP || (flags & IFF_LOWER_UP))
        return reported;
    if ((flags & IFF_UP) && onLowerLink)
        return NETIFACE_OPER_LOWER_LAYER_DOWN;
    return NETIFACE_OPER_DOWN;
}

// Copies an attribute's text, terminated; a text the field cannot hold
// whole leaves it empty, as the Windows conversion does.
void CopyText(char *out, size_t size, const rtattr *rta)
{
    out[0] = '\0';
    size_t len = RTA_PAYLOAD(rta);
    const char *text = static_cast<const char *>(RTA_DATA(rta));
    size_t n = strnlen(text, len);
    if (n < size) {
        memcpy(out, text, n);
        out[n] = '\0';
    }
}

void ParseLink(const nlmsghdr *h, Tables *t)
{
    const ifinfomsg *ifi = static_cast<const ifinfomsg *>(NLMSG_DATA(h));
    Link link;
    memset(&link, 0, sizeof link);
    link.index = static_cast<uint32_t>(ifi->ifi_index);
    link.operStatus = NETIFACE_OPER_UNKNOWN;
    uint32_t lower = 0;
    int len = static_cast<int>(IFLA_PAYLOAD(h));
    for (const rtattr *a = IFLA_RTA(ifi); RTA_OK(a, len); a = RTA_NEXT(a, len)) {
        switch (a->rta_type) {
        case IFLA_IFNAME:
            CopyText(link.name, sizeof link.name, a);
            break;
        case IFLA_IFALIAS:
            CopyText(link.alias, sizeof link.alias, a);
            break;
        case IFLA_MTU:
            if (RTA_PAYLOAD(a) >= sizeof(uint32_t))
                memcpy(&link.mtu, RTA_DATA(a), sizeof link.mtu);
            break;
        case IFLA_OPERSTATE:
            if (RTA_PAYLOAD(a) >= 1)
                link.operStatus = MapOperState(*static_cast<const uint8_t *>(RTA_DATA(a)));
            break;
        case IFLA_LINK:
            if (RTA_PAYLOAD(a) >= sizeof(uint32_t))
                memcpy(&lower, RTA_DATA(a), sizeof lower);
            break;
        }
    }
    link.operStatus = LinkState(link.operStatus, ifi->ifi_flags, lower != 0 && lower != link.index);
    t->links.push_back(link);
}

void ParseAddress(const nlmsghdr *h, Tables *t)
{
    const ifaddrmsg *ifa = static_cast<const ifaddrmsg *>(NLMSG_DATA(h));
    if (ifa->ifa_family != AF_INET)
        return;
    uint32_t local = 0, peer = 0;
    bool haveLocal = false, havePeer = false;
    int len = static_cast<int>(IFA_PAYLOAD(h));
    for (const rtattr *a = IFA_RTA(ifa); RTA_OK(a, len); a = RTA_NEXT(a, len)) {
        if (RTA_PAYLOAD(a) < 4)
            continue;
        if (a->rta_type == IFA_LOCAL) {
            memcpy(&local, RTA_DATA(a), 4);
            haveLocal = true;
        } else if (a->rta_type == IFA_ADDRESS) {
            memcpy(&peer, RTA_DATA(a), 4);
            havePeer = true;
        }
    }
    if (!haveLocal && !havePeer)
        return;
    // On point-to-point links IFA_ADDRESS is the far end; IFA_LOCAL is ours.
    Address entry = {ifa->ifa_index, haveLocal ? local : peer, ifa->ifa_prefixlen};
    t->addresses.push_back(entry);
}

void AddGateway(Tables *t, uint32_t index, uint32_t gateway)
{
    for (const Gateway &g : t->gateways)
        if (g.index == index)
            return;
    t->gateways.push_back(Gateway{index, gateway});
}

uint32_t GatewayOf(const rtattr *attrs, int len)
{
    uint32_t gw = 0;
    for (const rtattr *a = attrs; RTA_OK(a, len); a = RTA_NEXT(a, len))
        if (a->rta_type == RTA_GATEWAY && RTA_PAYLOAD(a) >= 4)
            memcpy(&gw, RTA_DATA(a), 4);
    return gw;
}

void ParseRoute(const nlmsghdr *h, Tables *t)
{
    const rtmsg *rtm = static_cast<const rtmsg *>(NLMSG_DATA(h));
    if (rtm->rtm_family != AF_INET || rtm->rtm_dst_len != 0 || rtm->rtm_type != RTN_UNICAST)
        return;
    uint32_t table = rtm->rtm_table, oif = 0, gw = 0;
    const rtattr *multipath = nullptr;
    int len = static_cast<int>(RTM_PAYLOAD(h));
    for (const rtattr *a = RTM_RTA(rtm); RTA_OK(a, len); a = RTA_NEXT(a, len)) {
        if (a->rta_type == RTA_TABLE && RTA_PAYLOAD(a) >= 4)
            memcpy(&table, RTA_DATA(a), 4);
        else if (a->rta_type == RTA_OIF && RTA_PAYLOAD(a) >= 4)
            memcpy(&oif, RTA_DATA(a), 4);
        else if (a->rta_type == RTA_GATEWAY && RTA_PAYLOAD(a) >= 4)
            memcpy(&gw, RTA_DATA(a), 4);
        else if (a->rta_type == RTA_MULTIPATH)
            multipath = a;
    }
    if (table != RT_TABLE_MAIN)
        return;
    if (oif && gw)
        AddGateway(t, oif, gw);
    if (!multipath)
        return;
    int left = static_cast<int>(RTA_PAYLOAD(multipath));
    const rtnexthop *nh = static_cast<const rtnexthop *>(RTA_DATA(multipath));
    while (left >= static_cast<int>(sizeof *nh) && nh->rtnh_len >= sizeof *nh &&
           nh->rtnh_len <= left) {
        int attrLen = nh->rtnh_len - static_cast<int>(RTNH_LENGTH(0));
        uint32_t hop = GatewayOf(RTNH_DATA(nh), attrLen);
        if (hop)
            AddGateway(t, static_cast<uint32_t>(nh->rtnh_ifindex), hop);
        left -= RTNH_ALIGN(nh->rtnh_len);
        nh = RTNH_NEXT(nh);
    }
}

// One dump request and its answer; 0 when the kernel refused or the socket failed.
bool Dump(int fd, uint16_t type, uint32_t seq, Tables *t)
{
    struct {
        nlmsghdr h;
        rtgenmsg g;
        char pad[16];
    } req;
    memset(&req, 0, sizeof req);
    req.h.nlmsg_len = NLMSG_LENGTH(type == RTM_GETROUTE ? sizeof(rtmsg) : sizeof(rtgenmsg));
    req.h.nlmsg_type = type;
    req.h.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    req.h.nlmsg_seq = seq;
    req.g.rtgen_family = type == RTM_GETLINK ? AF_UNSPEC : AF_INET;
    if (send(fd, &req, req.h.nlmsg_len, 0) < 0)
        return false;
    static thread_local char buffer[32768];
    for (;;) {
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        int len = static_cast<int>(n);
        for (const nlmsghdr *h = reinterpret_cast<const nlmsghdr *>(buffer); NLMSG_OK(h, len);
             h = NLMSG_NEXT(h, len)) {
            if (h->nlmsg_seq != seq)
                continue;
            if (h->nlmsg_flags & NLM_F_DUMP_INTR)
                t->interrupted = true;
            if (h->nlmsg_type == NLMSG_DONE)
                return true;
            if (h->nlmsg_type == NLMSG_ERROR)
                return false;
            if (h->nlmsg_type == RTM_NEWLINK)
                ParseLink(h, t);
            else if (h->nlmsg_type == RTM_NEWADDR)
                ParseAddress(h, t);
            else if (h->nlmsg_type == RTM_NEWROUTE)
                ParseRoute(h, t);
        }
    }
}

bool ReadTablesOnce(Tables *t)
{
    int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0)
        return false;
    timeval tv = {2, 0};   // a kernel answer never takes this long
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    bool ok = Dump(fd, RTM_GETLINK, 1, t) && Dump(fd, RTM_GETADDR, 2, t) &&
              Dump(fd, RTM_GETROUTE, 3, t);
    close(fd);
    return ok;
}

// A dump the kernel marks as interrupted may lack entries that were there
// all along (a link being changed by the route service, for one), so it is
// never taken as the whole answer: it is read again, a few times at most.
bool ReadTables(Tables *t)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        *t = Tables();
        if (!ReadTablesOnce(t))
            return false;
        if (!t->interrupted)
            return true;
    }
    return false;
}

const char *ResolverPath(void)
{
    const char *path = g_resolverFile.load();
    return path ? path : "/etc/resolv.conf";
}

// false when the file cannot be opened, errno saying why.
bool ReadDns(const char *path, uint32_t *dns1, uint32_t *dns2)
{
    FILE *f = fopen(path, "r");
    if (!f)
        return false;
    char line[512];
    while ((*dns1 == 0 || *dns2 == 0) && fgets(line, sizeof line, f)) {
        char word[16], value[64];
        in_addr a;
        if (sscanf(line, "%15s %63s", word, value) != 2 || strcmp(word, "nameserver") != 0 ||
            inet_pton(AF_INET, value, &a) != 1 || a.s_addr == 0)
            continue;
        if (*dns1 == 0)
            *dns1 = a.s_addr;
        else
            *dns2 = a.s_addr;
    }
    fclose(f);
    return true;
}

bool StartsWith(const char *text, const char *prefix)
{
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

// The link's address the key asks for: the first one, or for a lookup by
// address the one equal to it (0: any). Null when the link has none.
const Address *AddressFor(const Tables &t, uint32_t index, const NETIFACE_Key *key)
{
    bool byAddress = key->kind == NETIFACE_BY_ADDRESS && key->value != 0;
    for (const Address &a : t.addresses)
        if (a.index == index && (!byAddress || a.address == key->value))
            return &a;
    return nullptr;
}

bool Matches(const Tables &t, const Link &link, const NETIFACE_Key *key)
{
    switch (key->kind) {
    case NETIFACE_BY_TAP:
        return link.operStatus == NETIFACE_OPER_DOWN &&
               (StartsWith(link.alias, NETIFACE_TapDescriptions[0]) ||
                StartsWith(link.alias, NETIFACE_TapDescriptions[1]));
    case NETIFACE_BY_INDEX:
        return link.index == key->value;
    case NETIFACE_BY_ADDRESS:
        return AddressFor(t, link.index, key) != nullptr;
    default:
        return false;
    }
}

void Fill(const Tables &t, const Link &link, const NETIFACE_Key *key, TUNLEX_InterfaceInfo *info)
{
    memset(info, 0, sizeof *info);
    info->ifIndex = link.index;
    STR_LCopy(info->adapterName, link.name, sizeof info->adapterName);
    STR_LCopy(info->friendlyName, link.name, sizeof info->friendlyName);
    if (strlen(link.alias) < sizeof info->description)
        STR_LCopy(info->description, link.alias, sizeof info->description);
    info->mtu = link.mtu;
    if (const Address *a = AddressFor(t, link.index, key)) {
        info->address = a->address;
        info->mask = IP_PrefixToMask(a->prefix);
    }
    for (const Gateway &g : t.gateways)
        if (g.index == link.index) {
            info->gateway = g.gateway;
            break;
        }
    ReadDns(ResolverPath(), &info->dns1, &info->dns2);
}

}  // namespace

int NETIFACE_DescribeDnsSource(char *out, uint32_t size)
{
    const char *path = ResolverPath();
    char found[128];
    uint32_t dns1 = 0, dns2 = 0;
    errno = 0;
    if (!ReadDns(path, &dns1, &dns2)) {
        snprintf(found, sizeof found, "it cannot be read (%s)", strerror(errno));
    } else {
        char a[16] = "", b[16] = "";
        inet_ntop(AF_INET, &dns1, a, sizeof a);
        inet_ntop(AF_INET, &dns2, b, sizeof b);
        if (dns1 == 0)
            snprintf(found, sizeof found, "it holds no IPv4 nameserver line");
        else if (dns2 == 0)
            snprintf(found, sizeof found, "it names %s", a);
        else
            snprintf(found, sizeof found, "it names %s and %s", a, b);
    }
    snprintf(out, size,
             "The client read the DNS servers from \"%s\" and %s; the route service writes them to "
             "the file %s names in its environment (else %s): give both programs the same one",
             path, found, SVCPIPE_DNS_FILE_ENV, SVCPIPE_DNS_FILE);
    return 1;
}

const char *NETIFACE_TapHint(void)
{
    return "The client takes a tun link that no other client holds (down) and whose alias starts "
           "with \"TAP-Windows Adapter V9\" or \"SSL VPN TAP-Win32 Adapter\": as root, "
           "ip tuntap add dev tlx0 mode tun && ip link set tlx0 alias \"TAP-Windows Adapter V9\"";
}

int NETIFACE_SystemLookup(const NETIFACE_Key *key, TUNLEX_InterfaceInfo *info,
                          uint32_t *operStatus, ErrorInfo *chain)
{
    if (!key)
        return 0;
    Tables t;
    if (!ReadTables(&t)) {
        if (chain && ERRORINFO_IsEmpty(chain))
            ERRORINFO_Set(chain, ERRORINFO_AT(kModule), "Unable to fetch interface information");
        return 0;
    }
    for (const Link &link : t.links) {
        if (!Matches(t, link, key))
            continue;
        if (info)
            Fill(t, link, key, info);
        if (operStatus)
            *operStatus = link.operStatus;
        return 1;
    }
    return 0;
}
