// Linux: the adapter's addresses, gateways and MTU over rtnetlink, its DNS
// servers in a resolver file (IFACE_DnsFile) that the system's resolver
// manager can take in. As with netsh, a request the kernel refuses is logged
// and the step counts as done; only a netlink socket that cannot be used is
// a failure to start.
#include "iface_config.h"
#include "netlink_linux.h"
#include "service_log.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/if_addr.h>
#include <linux/if_link.h>
#include <linux/rtnetlink.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// The tunnel's default route. Netsh is given 2, but on Windows that adds to
// the interface metric and never meets another interface's route; here
// routes are keyed by destination and metric, and the client raises the
// other default routes below 2 to 2 or above first (past a metric another
// route holds). At 1 it is below every raised route and equal to none of
// them.
#define TUNNEL_GATEWAY_METRIC 1u

// A refusal is the analogue of netsh's nonzero exit code.
static uint32_t Done(uint32_t started, uint32_t kernel)
{
    if (started != 0)
        return started;
    if (kernel != 0)
        LOG_Print("Command returned %lu (%s)\r\n", (unsigned long)kernel, GetErrorText(kernel));
    return 0;
}

static uint32_t Send(NL_Message *m)
{
    uint32_t kernel = 0;
    uint32_t code = NL_Transact(m, &kernel);
    return Done(code, kernel);
}

namespace {

struct AddressList {
    uint32_t index;
    std::vector<std::pair<uint32_t, uint8_t>> found;  // address, prefix length
};

void CollectAddress(const nlmsghdr *h, void *context)
{
    AddressList *list = static_cast<AddressList *>(context);
    if (h->nlmsg_type != RTM_NEWADDR)
        return;
    const ifaddrmsg *ifa = static_cast<const ifaddrmsg *>(NLMSG_DATA(h));
    uint32_t local = 0;
    if (ifa->ifa_family != AF_INET || ifa->ifa_index != list->index)
        return;
    if (!NL_FindU32(h, sizeof(ifaddrmsg), IFA_LOCAL, &local) &&
        !NL_FindU32(h, sizeof(ifaddrmsg), IFA_ADDRESS, &local))
        return;
    list->found.push_back({local, ifa->ifa_prefixlen});
}

struct DefaultList {
    uint32_t index;
    std::vector<std::pair<uint32_t, uint32_t>> found;  // gateway, metric
};

void CollectDefault(const nlmsghdr *h, void *context)
{
    DefaultList *list = static_cast<DefaultList *>(context);
    if (h->nlmsg_type != RTM_NEWROUTE)
        return;
    const rtmsg *rt = static_cast<const rtmsg *>(NLMSG_DATA(h));
    uint32_t table = rt->rtm_table, oif = 0, gateway = 0, metric = 0;
    NL_FindU32(h, sizeof(rtmsg), RTA_TABLE, &table);
    NL_FindU32(h, sizeof(rtmsg), RTA_OIF, &oif);
    if (rt->rtm_family != AF_INET || table != RT_TABLE_MAIN || rt->rtm_dst_len != 0 || oif != list->index)
        return;
    NL_FindU32(h, sizeof(rtmsg), RTA_GATEWAY, &gateway);
    NL_FindU32(h, sizeof(rtmsg), RTA_PRIORITY, &metric);
    list->found.push_back({gateway, metric});
}

}  // namespace

static uint32_t Addresses(uint32_t index, AddressList *list)
{
    list->index = index;
    NL_Message m;
    NL_Begin(&m, RTM_GETADDR, 0, sizeof(ifaddrmsg));
    static_cast<ifaddrmsg *>(m.Body())->ifa_family = AF_INET;
    return NL_Dump(&m, CollectAddress, list);
}

static uint32_t DeleteAddress(uint32_t index, uint32_t address, uint8_t prefix)
{
    NL_Message m;
    NL_Begin(&m, RTM_DELADDR, 0, sizeof(ifaddrmsg));
    ifaddrmsg *ifa = static_cast<ifaddrmsg *>(m.Body());
    ifa->ifa_family = AF_INET;
    ifa->ifa_prefixlen = prefix;
    ifa->ifa_index = index;
    NL_AddU32(&m, IFA_LOCAL, address);
    return Send(&m);
}

// Removes the adapter's default routes (its gateways).
static uint32_t DeleteGateways(uint32_t index)
{
    DefaultList list;
    list.index = index;
    NL_Message m;
    NL_Begin(&m, RTM_GETROUTE, 0, sizeof(rtmsg));
    static_cast<rtmsg *>(m.Body())->rtm_family = AF_INET;
    uint32_t code = NL_Dump(&m, CollectDefault, &list);
    if (code != 0)
        return Done(0, code);
    for (const auto &d : list.found) {
        NL_Begin(&m, RTM_DELROUTE, 0, sizeof(rtmsg));
        rtmsg *rt = static_cast<rtmsg *>(m.Body());
        rt->rtm_family = AF_INET;
        rt->rtm_table = RT_TABLE_MAIN;
        rt->rtm_scope = RT_SCOPE_NOWHERE;
        if (d.first != 0)
            NL_AddU32(&m, RTA_GATEWAY, d.first);
        NL_AddU32(&m, RTA_OIF, index);
        NL_AddU32(&m, RTA_PRIORITY, d.second);
        if ((code = Send(&m)) != 0)
            return code;
    }
    return 0;
}

static uint32_t AddGateway(uint32_t index, uint32_t gateway)
{
    NL_Message m;
    NL_Begin(&m, RTM_NEWROUTE, NLM_F_CREATE | NLM_F_EXCL, sizeof(rtmsg));
    rtmsg *rt = static_cast<rtmsg *>(m.Body());
    rt->rtm_family = AF_INET;
    rt->rtm_table = RT_TABLE_MAIN;
    rt->rtm_protocol = RTPROT_STATIC;
    rt->rtm_scope = RT_SCOPE_UNIVERSE;
    rt->rtm_type = RTN_UNICAST;
    // The tunnel's gateway need not lie in the adapter's own network.
    rt->rtm_flags = RTNH_F_ONLINK;
    NL_AddU32(&m, RTA_GATEWAY, gateway);
    NL_AddU32(&m, RTA_OIF, index);
    NL_AddU32(&m, RTA_PRIORITY, TUNNEL_GATEWAY_METRIC);
    return Send(&m);
}

// The adapter's resting address between sessions (1.1.1.1/24 without a
// gateway). On Windows it sits on an adapter whose media is disconnected and
// carries nothing; here an address of a link that is down is still one of
// the host's own, and the host could no longer reach 1.1.1.1. The link rests
// without any IPv4 address instead.
static uint32_t ClearAddresses(const IfaceStep *s)
{
    AddressList old;
    uint32_t code = Addresses(s->index, &old);
    if (code != 0)
        return Done(0, code);
    for (const auto &a : old.found)
        if ((code = DeleteAddress(s->index, a.first, a.second)) != 0)
            return code;
    return DeleteGateways(s->index);
}

static uint32_t SetAddress(const IfaceStep *s)
{
    if (IFACE_IsPlaceholder(s->address, s->mask, s->gateway))
        return ClearAddresses(s);
    // A static address replaces every other address of the adapter.
    AddressList old;
    uint32_t code = Addresses(s->index, &old);
    if (code != 0)
        return Done(0, code);
    uint8_t prefix = NL_PrefixLength(s->mask);
    for (const auto &a : old.found) {
        // The address itself stays, so that routes over it are not disturbed.
        if (a.first == s->address && a.second == prefix)
            continue;
        if ((code = DeleteAddress(s->index, a.first, a.second)) != 0)
            return code;
    }
    NL_Message m;
    NL_Begin(&m, RTM_NEWADDR, NLM_F_CREATE | NLM_F_REPLACE, sizeof(ifaddrmsg));
    ifaddrmsg *ifa = static_cast<ifaddrmsg *>(m.Body());
    ifa->ifa_family = AF_INET;
    ifa->ifa_prefixlen = prefix;
    ifa->ifa_scope = RT_SCOPE_UNIVERSE;
    ifa->ifa_index = s->index;
    NL_AddU32(&m, IFA_LOCAL, s->address);
    NL_AddU32(&m, IFA_ADDRESS, s->address);
    if ((code = Send(&m)) != 0)
        return code;
    if (s->gateway == 0)
        return 0;
    if ((code = DeleteGateways(s->index)) != 0)
        return code;
    return s->gateway == IFACE_NO_GATEWAY ? 0 : AddGateway(s->index, s->gateway);
}

static uint32_t SetMtu(const IfaceStep *s)
{
    NL_Message m;
    NL_Begin(&m, RTM_NEWLINK, 0, sizeof(ifinfomsg));
    ifinfomsg *ifi = static_cast<ifinfomsg *>(m.Body());
    ifi->ifi_family = AF_UNSPEC;
    ifi->ifi_index = (int)s->index;
    NL_AddU32(&m, IFLA_MTU, s->mtu);
    return Send(&m);
}

static uint32_t RemoveAddress(const IfaceStep *s)
{
    AddressList old;
    uint32_t code = Addresses(s->index, &old);
    if (code != 0)
        return Done(0, code);
    for (const auto &a : old.found)
        if (a.first == s->address && (code = DeleteAddress(s->index, a.first, a.second)) != 0)
            return code;
    return DeleteGateways(s->index);
}

// ---- Resolver file ----

static std::vector<std::string> ReadServers(const char *path)
{
    std::vector<std::string> servers;
    // What the service wrote itself a moment ago: a plain file, no link.
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    FILE *f = fd >= 0 ? fdopen(fd, "r") : nullptr;
    if (!f) {
        if (fd >= 0)
            close(fd);
        return servers;
    }
    char line[256];
    while (fgets(line, sizeof(line), f)) {
        char address[64];
        in_addr parsed;
        // Only what the service writes: IPv4 servers.
        if (sscanf(line, "nameserver %63s", address) == 1 && inet_pton(AF_INET, address, &parsed) == 1)
            servers.push_back(address);
    }
    fclose(f);
    return servers;
}

// Unlike a refused netlink request, a file that could not be written fails
// its step: the client is not told its DNS servers are set when they are not.
// The file is written whole under a temporary name and then renamed, so a
// reader never sees half of it. The temporary file is made new where nothing
// is, so that no link or other file in its place is written through; the
// rename replaces the name itself, a link in its place included.
static uint32_t WriteServers(const IfaceStep *s, const std::vector<std::string> &servers)
{
    const char *path = IFACE_DnsFile();
    std::string dir(path);
    size_t slash = dir.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        dir.resize(slash);
        mkdir(dir.c_str(), 0755);
    }
    std::string temp = std::string(path) + ".new";
    unlink(temp.c_str());
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0 && fchmod(fd, 0644) != 0) {
        close(fd);
        fd = -1;
    }
    FILE *f = fd >= 0 ? fdopen(fd, "w") : nullptr;
    if (!f) {
        uint32_t code = (uint32_t)errno;
        if (fd >= 0) {
            close(fd);
            unlink(temp.c_str());
        }
        return code ? code : EIO;
    }
    fprintf(f, "# DNS servers of the SSL VPN adapter %s (index %lu)\n", s->name, (unsigned long)s->index);
    for (const std::string &server : servers)
        fprintf(f, "nameserver %s\n", server.c_str());
    bool ok = fflush(f) == 0;
    ok = fclose(f) == 0 && ok;
    if (!ok || rename(temp.c_str(), path) != 0) {
        uint32_t code = (uint32_t)errno;
        unlink(temp.c_str());
        return code ? code : EIO;
    }
    return 0;
}

static std::string Text(uint32_t address)
{
    in_addr a;
    a.s_addr = address;
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a, text, sizeof(text));
    return text;
}

static uint32_t Run(const IfaceStep *s)
{
    // The step in the words it has on Windows, for one log that reads alike.
    LOG_Print("netlink %s\r\n", s->command ? s->command : "");
    bool onLink = s->kind == IFACE_STEP_SET_ADDRESS || s->kind == IFACE_STEP_SET_MTU ||
                  s->kind == IFACE_STEP_DELETE_ADDRESS;
    // No link has index 0 (the index before any client said its own); routes
    // without a device would match it.
    if (onLink && s->index == 0)
        return Done(0, ENODEV);
    switch (s->kind) {
    case IFACE_STEP_SET_ADDRESS: return SetAddress(s);
    case IFACE_STEP_SET_MTU: return SetMtu(s);
    case IFACE_STEP_DELETE_ADDRESS: return RemoveAddress(s);
    case IFACE_STEP_CLEAR_DNS: return WriteServers(s, {});
    case IFACE_STEP_SET_DNS: return WriteServers(s, {Text(s->address)});
    case IFACE_STEP_ADD_DNS: {
        std::vector<std::string> servers = ReadServers(IFACE_DnsFile());
        servers.insert(servers.begin() + (servers.empty() ? 0 : 1), Text(s->address));
        return WriteServers(s, servers);
    }
    default: return EINVAL;
    }
}

// Linux has no interface metric: the routes carry their own.
static uint32_t SetMetric(uint32_t)
{
    return 0;
}

static bool NotLegacy()
{
    return false;
}

// No interface metric to read or put back.
static const IfaceSys s_linux = {"netlink", NotLegacy, Run, SetMetric, EINVAL, true, nullptr, nullptr};

const IfaceSys *IFACE_SystemBackend()
{
    return &s_linux;
}
