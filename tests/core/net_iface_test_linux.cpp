// Interface lookup on Linux, checked against what `ip` reports: for the host,
// and inside a network namespace made for the test.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "iface_checks.h"
#include "ip_address.h"
#include "net_iface.h"
#include "netns_thread.h"

namespace {

// What `ip` reports for one interface: the independent oracle.
struct IpView {
    uint32_t index = 0;
    std::string name;
    uint32_t mtu = 0;
    std::string oper;
    uint32_t address = 0;
    uint32_t prefix = 0;
    uint32_t gateway = 0;
    std::string alias;
};

// `ip -j addr`, `ip -j link` (aliases) and `ip -j route` of a namespace
// ("" for our own), flattened by python3 into one line per interface.
// Empty when either tool is missing.
std::vector<IpView> AskIp(const std::string &ns)
{
    static const char script[] =
        "import json,subprocess,sys\n"
        "ns=sys.argv[1:]\n"
        "ip=lambda *a: json.loads(subprocess.check_output(['ip',*ns,'-j',*a]) or b'[]')\n"
        "alias={l['ifindex']:l.get('ifalias','') for l in ip('link')}\n"
        "gw={}\n"
        "for r in ip('-4','route','show','table','main'):\n"
        "  if r.get('dst')=='default' and r.get('gateway') and r.get('dev'):\n"
        "    gw.setdefault(r['dev'],r['gateway'])\n"
        "for l in ip('addr'):\n"
        "  v4=[a for a in l.get('addr_info',[]) if a.get('family')=='inet']\n"
        "  print(l['ifindex'],l['ifname'],l['mtu'],l.get('operstate','UNKNOWN'),\n"
        "        v4[0]['local'] if v4 else '-',v4[0]['prefixlen'] if v4 else 0,\n"
        "        gw.get(l['ifname'],'-'),'\\t'+alias.get(l['ifindex'],''))\n";
    std::vector<IpView> out;
    char path[] = "/tmp/tlx_ipview_XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0)
        return out;
    if (write(fd, script, sizeof script - 1) != static_cast<ssize_t>(sizeof script - 1)) {
        close(fd);
        return out;
    }
    close(fd);
    std::string cmd =
        std::string("python3 ") + path + (ns.empty() ? "" : " -n " + ns) + " 2>/dev/null";
    FILE *p = popen(cmd.c_str(), "r");
    char line[1024];
    while (p && fgets(line, sizeof line, p)) {
        IpView v;
        char name[64], oper[32], addr[32], gw[32];
        if (sscanf(line, "%u %63s %u %31s %31s %u %31s", &v.index, name, &v.mtu, oper, addr,
                   &v.prefix, gw) != 7)
            continue;
        v.name = name;
        v.oper = oper;
        in_addr a;
        if (inet_pton(AF_INET, addr, &a) == 1)
            v.address = a.s_addr;
        if (inet_pton(AF_INET, gw, &a) == 1)
            v.gateway = a.s_addr;
        const char *tab = strchr(line, '\t');
        if (tab) {
            v.alias = tab + 1;
            v.alias.erase(v.alias.find_last_not_of("\r\n") + 1);
        }
        out.push_back(v);
    }
    if (p)
        pclose(p);
    unlink(path);
    return out;
}

uint32_t OperNumber(const std::string &word)
{
    static const char *const words[] = {"UP", "DOWN", "TESTING", "UNKNOWN", "DORMANT",
                                        "NOTPRESENT", "LOWERLAYERDOWN"};
    for (uint32_t i = 0; i < 7; ++i)
        if (word == words[i])
            return i + 1;
    return 4;
}

uint32_t Mask(uint32_t prefix)
{
    return prefix ? htonl(0xFFFFFFFFu << (32 - prefix)) : 0;
}

void ExpectMatchesIp(const std::vector<IpView> &views)
{
    for (const IpView &v : views) {
        SCOPED_TRACE(v.name);
        NETIFACE_Key key = {NETIFACE_BY_INDEX, v.index};
        TUNLEX_InterfaceInfo info;
        uint32_t oper = 0;
        ASSERT_EQ(NETIFACE_Lookup(&key, &info, &oper, nullptr), 1);
        EXPECT_EQ(info.ifIndex, v.index);
        EXPECT_EQ(info.friendlyName, v.name);
        EXPECT_EQ(info.adapterName, v.name);
        EXPECT_EQ(info.mtu, v.mtu);
        EXPECT_EQ(oper, OperNumber(v.oper));
        EXPECT_EQ(info.address, v.address);
        EXPECT_EQ(info.mask, v.address ? Mask(v.prefix) : 0u);
        EXPECT_EQ(info.gateway, v.gateway);
        if (v.alias.size() < sizeof info.description)
            EXPECT_EQ(info.description, v.alias);
        else
            EXPECT_STREQ(info.description, "");
        ExpectTerminated(info);
    }
}

bool HaveTools()
{
    return system("command -v ip >/dev/null 2>&1 && command -v python3 >/dev/null 2>&1") == 0;
}

TEST(NetIfaceLinux, HostInterfacesMatchWhatIpReports)
{
    if (!HaveTools())
        GTEST_SKIP() << "ip or python3 missing";
    std::vector<IpView> views = AskIp("");
    ASSERT_FALSE(views.empty());
    ExpectMatchesIp(views);
}

// A network namespace of the test's own, with a veth pair set up as the
// lookup's edge cases need.
class NetIfaceNamespace : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0 || !HaveTools())
            GTEST_SKIP() << "needs root, ip and python3";
        ns_ = "tlxif" + std::to_string(getpid());
        if (!RunIp("netns add " + ns_))
            GTEST_SKIP() << "ip netns add failed";
        made_ = true;
        // Made in this order, tlxv1 gets the lower index.
        ASSERT_TRUE(IpIn("link add tlxv0 type veth peer name tlxv1"));
        ASSERT_TRUE(IpIn("link set tlxv0 mtu 1400 alias 'TAP-Windows Adapter V9 #2'"));
        ASSERT_TRUE(IpIn("link set tlxv1 alias 'SSL VPN TAP-Win32 Adapter'"));
    }
    void TearDown() override
    {
        NETIFACE_SetResolverFile(nullptr);
        if (made_)
            RunIp("netns del " + ns_);
    }
    static bool RunIp(const std::string &args)
    {
        return system(("ip " + args + " >/dev/null 2>&1").c_str()) == 0;
    }
    bool IpIn(const std::string &args) { return RunIp("-n " + ns_ + " " + args); }

    // Runs f on a thread that has entered the namespace.
    template <typename F>
    void InNamespace(F f)
    {
        RunInNetns(ns_, f);
    }
    uint32_t IndexOf(const char *name)
    {
        for (const IpView &v : AskIp(ns_))
            if (v.name == name)
                return v.index;
        return 0;
    }

    std::string ns_;
    bool made_ = false;
};

TEST_F(NetIfaceNamespace, TapSearchTakesTheFirstDownAdapterWithATapDescription)
{
    const uint32_t v0 = IndexOf("tlxv0"), v1 = IndexOf("tlxv1");
    ASSERT_LT(v1, v0);
    auto tapIndex = [&] {
        uint32_t found = 0;
        InNamespace([&] {
            NETIFACE_Key key = {NETIFACE_BY_TAP, 0};
            TUNLEX_InterfaceInfo info;
            uint32_t oper = 0;
            if (NETIFACE_Lookup(&key, &info, &oper, nullptr)) {
                found = info.ifIndex;
                EXPECT_EQ(oper, 2u);
            }
        });
        return found;
    };
    EXPECT_EQ(tapIndex(), v1);              // both down: the first in order
    ASSERT_TRUE(IpIn("link set tlxv1 up"));  // its peer is down: lower layer down
    EXPECT_EQ(tapIndex(), v0);
    // A description differing in case is not a TAP adapter.
    ASSERT_TRUE(IpIn("link set tlxv0 alias 'tap-windows adapter V9'"));
    EXPECT_EQ(tapIndex(), 0u);
}

TEST_F(NetIfaceNamespace, AddressesGatewayMtuAndDnsMatchTheSystem)
{
    ASSERT_TRUE(IpIn("link set tlxv0 up"));
    ASSERT_TRUE(IpIn("addr add 10.77.0.2/24 dev tlxv0"));
    ASSERT_TRUE(IpIn("addr add 10.78.1.5/16 dev tlxv0"));
    ASSERT_TRUE(IpIn("route add default via 10.77.0.1 dev tlxv0 onlink"));
    // Longer than the description field: never cut short, never unterminated.
    ASSERT_TRUE(IpIn("link set tlxv1 alias '" + std::string(140, 'd') + "'"));

    char resolver[] = "/tmp/tlx_resolv_XXXXXX";
    int fd = mkstemp(resolver);
    ASSERT_GE(fd, 0);
    const char text[] = "# test\nsearch example\nnameserver 0.0.0.0\nnameserver fe80::1\n"
                        "nameserver 10.0.0.1\nnameserver 10.0.0.2\nnameserver 10.0.0.3\n";
    ASSERT_EQ(write(fd, text, sizeof text - 1), static_cast<ssize_t>(sizeof text - 1));
    close(fd);
    NETIFACE_SetResolverFile(resolver);

    std::vector<IpView> views = AskIp(ns_);
    ASSERT_EQ(views.size(), 3u);
    InNamespace([&] {
        ExpectMatchesIp(views);

        struct Row {
            uint32_t key;
            uint32_t address, mask;
        };
        const Row rows[] = {
            {Ip(10, 77, 0, 2), Ip(10, 77, 0, 2), Ip(255, 255, 255, 0)},
            {Ip(10, 78, 1, 5), Ip(10, 78, 1, 5), Ip(255, 255, 0, 0)},
            {0, Ip(10, 77, 0, 2), Ip(255, 255, 255, 0)},   // any address: the first
        };
        for (const Row &row : rows) {
            NETIFACE_Key key = {NETIFACE_BY_ADDRESS, row.key};
            TUNLEX_InterfaceInfo info;
            ASSERT_EQ(NETIFACE_Lookup(&key, &info, nullptr, nullptr), 1);
            EXPECT_STREQ(info.friendlyName, "tlxv0");
            EXPECT_EQ(info.address, row.address);
            EXPECT_EQ(info.mask, row.mask);
            EXPECT_EQ(info.gateway, Ip(10, 77, 0, 1));
            EXPECT_EQ(info.mtu, 1400u);
            EXPECT_EQ(info.dns1, Ip(10, 0, 0, 1));
            EXPECT_EQ(info.dns2, Ip(10, 0, 0, 2));
            EXPECT_STREQ(info.description, "TAP-Windows Adapter V9 #2");
        }
    });
    unlink(resolver);
}

// A client killed a moment ago has closed its tun link, but the kernel
// applies the lost carrier to the link's operational state up to a second
// later; the next client must find the link free meanwhile. A link still
// held by a program is not free.
TEST_F(NetIfaceNamespace, TapSearchFindsATunLinkTheMomentItsProgramClosedIt)
{
    ASSERT_TRUE(IpIn("tuntap add dev tlxtun0 mode tun"));
    ASSERT_TRUE(IpIn("link set tlxtun0 alias 'TAP-Windows Adapter V9'"));
    ASSERT_TRUE(IpIn("link set tlxv0 alias plain"));
    ASSERT_TRUE(IpIn("link set tlxv1 alias plain"));
    const uint32_t tun = IndexOf("tlxtun0");
    ASSERT_NE(tun, 0u);
    InNamespace([&] {
        auto operOf = [&](uint32_t index) {
            NETIFACE_Key key = {NETIFACE_BY_INDEX, index};
            uint32_t oper = 0;
            return NETIFACE_Lookup(&key, nullptr, &oper, nullptr) ? oper : 0u;
        };
        auto tapFound = [] {
            NETIFACE_Key key = {NETIFACE_BY_TAP, 0};
            TUNLEX_InterfaceInfo info;
            uint32_t oper = 0;
            return NETIFACE_Lookup(&key, &info, &oper, nullptr) ? info.ifIndex : 0u;
        };
        for (int round = 0; round < 3; ++round) {
            SCOPED_TRACE(round);
            int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
            ASSERT_GE(fd, 0);
            ifreq ifr;
            memset(&ifr, 0, sizeof ifr);
            strcpy(ifr.ifr_name, "tlxtun0");
            ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
            ASSERT_EQ(ioctl(fd, TUNSETIFF, &ifr), 0);
            ASSERT_TRUE(RunIp("-n " + ns_ + " link set tlxtun0 up"));
            for (int i = 0; i < 300 && operOf(tun) != NETIFACE_OPER_UP; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            ASSERT_EQ(operOf(tun), static_cast<uint32_t>(NETIFACE_OPER_UP));
            EXPECT_EQ(tapFound(), 0u);  // held: not free
            close(fd);
            EXPECT_EQ(tapFound(), tun);
            EXPECT_EQ(operOf(tun), static_cast<uint32_t>(NETIFACE_OPER_DOWN));
            ASSERT_TRUE(RunIp("-n " + ns_ + " link set tlxtun0 down"));
        }
    });
}

}  // namespace

namespace {

// A DNS wait that ran out names the resolver file the client read and what
// it holds, whatever state the file is in.
TEST(ResolverFile, TheDnsSourceLineNamesTheFileAndWhatItHolds)
{
    const std::string path = "/tmp/tlx_dns_source_" + std::to_string(getpid());
    const struct {
        const char *name;
        const char *content;    // null: no such file
        const char *found;
    } rows[] = {
        {"missing", nullptr, "and it cannot be read (No such file or directory)"},
        {"no servers", "# no servers\n", "and it holds no IPv4 nameserver line"},
        {"one server", "nameserver 0.0.0.0\nnameserver 10.99.0.53\n", "and it names 10.99.0.53;"},
        {"two servers", "nameserver 10.99.0.53\nnameserver 10.99.0.54\n",
         "and it names 10.99.0.53 and 10.99.0.54;"},
    };
    NETIFACE_SetResolverFile(path.c_str());
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        unlink(path.c_str());
        if (row.content) {
            FILE *f = fopen(path.c_str(), "w");
            ASSERT_NE(f, nullptr);
            fputs(row.content, f);
            fclose(f);
        }
        char text[1400];
        ASSERT_EQ(NETIFACE_DescribeDnsSource(text, sizeof text), 1);
        const std::string line = text;
        EXPECT_EQ(line.find("The client read the DNS servers from \"" + path + "\" "), 0u) << line;
        EXPECT_NE(line.find(row.found), std::string::npos) << line;
        EXPECT_NE(line.find("the file VANTORELLE_DNS_FILE names in its environment (else "
                            "/run/vantorelle/resolv.conf): give both programs the same one"),
                  std::string::npos)
            << line;
    }
    unlink(path.c_str());
    NETIFACE_SetResolverFile(nullptr);
}

}  // namespace
