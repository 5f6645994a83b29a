// The Linux backend against the kernel, inside a namespace of the test's own.
#include "iface_config.h"
#include "netns_fixture.h"
#include "service_log.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

namespace {

using netns::CountMatching;

const char *NAME = "tlx0";

uint32_t A(const char *text)
{
    return inet_addr(text);
}

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class IfaceLinux : public netns::NetnsTest {
protected:
    void SetUp() override
    {
        NetnsTest::SetUp();
        if (IsSkipped())
            return;
        dir = "/tmp/tlx-dns-" + name;
        dns = dir + "/resolv.conf";
        IFACE_SetDnsFile(dns.c_str());
    }
    void TearDown() override
    {
        IFACE_SetDnsFile(nullptr);
        remove(dns.c_str());
        rmdir(dir.c_str());
        NetnsTest::TearDown();
    }
    std::string dir, dns;
};

TEST_F(IfaceLinux, AddressGatewayAndMtuReachTheKernel)
{
    Inside([&] {
        EXPECT_EQ(0u, IFACE_SetAddress(NAME, tun, A("10.0.0.7"), A("255.255.255.0"), A("10.0.0.1"), 1400));
    });
    std::string addr = Ip("-j addr show dev tlx0");
    EXPECT_EQ(1u, CountMatching(addr, {"\"mtu\":1400"}));
    EXPECT_NE(std::string::npos, addr.find("\"local\":\"10.0.0.7\",\"prefixlen\":24"));
    EXPECT_EQ(std::string::npos, addr.find("10.0.0.2"));  // a static address replaces the others
    EXPECT_EQ(1u, CountMatching(Ip("-j route show"),
                                {"\"dst\":\"default\"", "\"gateway\":\"10.0.0.1\"", "\"dev\":\"tlx0\"", "\"metric\":1"}));

    // No gateway any more; the other adapter's default stays.
    Inside([&] {
        EXPECT_EQ(0u, IFACE_SetAddress(NAME, tun, A("10.0.0.8"), A("255.255.0.0"), IFACE_NO_GATEWAY, 1300));
    });
    std::string routes = Ip("-j route show");
    EXPECT_EQ(0u, CountMatching(routes, {"\"dst\":\"default\"", "\"dev\":\"tlx0\""}));
    EXPECT_EQ(1u, CountMatching(routes, {"\"dst\":\"default\"", "\"dev\":\"tlxeth\""}));
    addr = Ip("-j addr show dev tlx0");
    EXPECT_NE(std::string::npos, addr.find("\"local\":\"10.0.0.8\",\"prefixlen\":16"));
    EXPECT_EQ(std::string::npos, addr.find("10.0.0.7"));
    EXPECT_EQ(1u, CountMatching(addr, {"\"mtu\":1300"}));

    // The same address again keeps the routes that go over it.
    ASSERT_EQ("", Ip("route add 10.6.0.0/16 via 10.0.0.9 dev tlx0"));
    Inside([&] { EXPECT_EQ(0u, IFACE_SetAddress(NAME, tun, A("10.0.0.8"), A("255.255.0.0"), 0, 1300)); });
    EXPECT_EQ(1u, CountMatching(Ip("-j route show"), {"\"dst\":\"10.6.0.0/16\""}));

    Inside([&] { EXPECT_EQ(0u, IFACE_DeleteAddress(NAME, tun, A("10.0.0.8"))); });
    EXPECT_EQ(std::string::npos, Ip("-j addr show dev tlx0").find("\"family\":\"inet\","));
}

TEST_F(IfaceLinux, DnsServersGoToTheResolverFileInOrder)
{
    auto servers = [&] {
        std::string text = ReadFile(dns), out;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);)
            if (line.compare(0, 11, "nameserver ") == 0)
                out += line.substr(11) + " ";
        return out;
    };
    Inside([&] { EXPECT_EQ(0u, IFACE_SetDns(NAME, tun, true, A("10.1.1.1"), A("10.2.2.2"))); });
    EXPECT_EQ("10.1.1.1 10.2.2.2 ", servers());
    Inside([&] { EXPECT_EQ(0u, IFACE_SetDns(NAME, tun, false, 0, A("10.3.3.3"))); });
    EXPECT_EQ("10.1.1.1 10.3.3.3 10.2.2.2 ", servers());
    Inside([&] { EXPECT_EQ(0u, IFACE_SetDns(NAME, tun, false, A("10.4.4.4"), 0)); });
    EXPECT_EQ("10.4.4.4 ", servers());

    Inside([&] { EXPECT_EQ(0u, IFACE_ResetAdapter(NAME, tun)); });
    EXPECT_EQ("", servers());
    EXPECT_NE(std::string::npos, ReadFile(dns).find("tlx0"));
}

// Between sessions the link rests without any IPv4 address: an address of a
// link that is down still belongs to the host, and the placeholder's would
// take 1.1.1.1 (a public resolver) from it. Both roads to the resting state
// are rows: the service's own reset and the client's start-up request, which
// arrives as an address change to 1.1.1.1/24 without a gateway. An address
// of the same shape that a session is given (with its gateway, or keeping
// the gateways) is set as asked.
TEST_F(IfaceLinux, TheResetLeavesTheLinkWithoutAnAddressAndTheHostReaches1111)
{
    struct Case {
        const char *what;
        uint32_t gateway;  // for the address change; 0 = the service's reset
        bool reset;
        bool placeholder;
    } cases[] = {
        {"the service's reset", 0, true, true},
        {"the client's start-up request", IFACE_NO_GATEWAY, false, true},
        {"a session's address, the gateways kept", 0, false, false},
        {"a session's address with its gateway", A("1.1.1.9"), false, false},
    };
    std::string before = Ip("route get 1.1.1.1");
    ASSERT_EQ(std::string::npos, before.find("local")) << before;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ("", Ip("addr flush dev tlx0"));
        ASSERT_EQ("", Ip("addr add 10.0.0.2/24 dev tlx0"));
        ASSERT_EQ("", Ip("addr add 10.0.1.2/24 dev tlx0"));  // a second one goes too
        ASSERT_EQ("", Ip("route add default via 10.0.0.1 dev tlx0 metric 1"));
        Inside([&] {
            if (c.reset)
                EXPECT_EQ(0u, IFACE_ResetAdapter(NAME, tun));
            else
                EXPECT_EQ(0u, IFACE_SetAddress(NAME, tun, A("1.1.1.1"), A("255.255.255.0"), c.gateway, 1400));
        });
        std::string addr = Ip("-j addr show dev tlx0");
        EXPECT_EQ(1u, CountMatching(addr, {"\"mtu\":1400"}));
        std::string routes = Ip("-j route show");
        if (c.placeholder) {
            EXPECT_EQ(std::string::npos, addr.find("\"family\":\"inet\","));
            EXPECT_EQ(0u, CountMatching(routes, {"\"dev\":\"tlx0\""}));
            EXPECT_EQ(before, Ip("route get 1.1.1.1"));
        } else {
            EXPECT_NE(std::string::npos, addr.find("\"local\":\"1.1.1.1\",\"prefixlen\":24"));
            EXPECT_EQ(std::string::npos, addr.find("10.0.0.2"));
            if (c.gateway != 0) {
                EXPECT_EQ(1u, CountMatching(routes, {"\"dst\":\"default\"", "\"gateway\":\"1.1.1.9\""}));
            }
        }
        // The other adapter is not touched in any case.
        EXPECT_EQ(1u, CountMatching(routes, {"\"dst\":\"default\"", "\"dev\":\"tlxeth\""}));
        EXPECT_NE(std::string::npos, Ip("-j addr show dev tlxeth").find("198.51.100.2"));
        Ip("route del default dev tlx0");
    }
}

TEST_F(IfaceLinux, ARefusedRequestIsLoggedAndCountsAsDone)
{
    // As with a netsh that runs and fails: only a step that cannot start is an
    // error, so the placeholder reset of a vanished adapter does not end the
    // service's worker.
    // Index 0 (before any client said its own) touches nothing either: the
    // blackhole default below has no device and must stay.
    ASSERT_EQ("", Ip("route add blackhole default metric 90"));
    Inside([&] {
        EXPECT_EQ(0u, IFACE_SetAddress(NAME, 999999, A("10.0.0.7"), A("255.255.255.0"), 0, 1400));
        EXPECT_EQ(0u, IFACE_ResetAdapter(NAME, 0));
    });
    EXPECT_NE(std::string::npos, Ip("-j addr show dev tlx0").find("10.0.0.2"));
    EXPECT_EQ(1u, CountMatching(Ip("-j route show"), {"\"type\":\"blackhole\"", "\"dst\":\"default\""}));
}

// The resolver file is replaced by a new file of the service's: nothing in
// the place of the file or of its temporary copy is written through, a
// link to the resolver manager's file included (that file stays as it is).
TEST_F(IfaceLinux, TheResolverFileIsWrittenThroughNoLink)
{
    const std::string victim = dir + "/victim";
    const struct {
        const char *name;
        std::string setUp;
    } rows[] = {
        {"no file yet", "true"},
        {"the file a link to the resolver manager's", "ln -s " + victim + " " + dns},
        {"a link in the temporary copy's place", "ln -s " + victim + " " + dns + ".new"},
        {"a hard link in the temporary copy's place", "ln " + victim + " " + dns + ".new"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        netns::Shell("rm -rf " + dir + " && mkdir -m 0755 " + dir + " && echo 'nameserver 192.0.2.53' >" + victim);
        ASSERT_EQ("", netns::Shell(row.setUp));
        EXPECT_EQ(0u, IFACE_SetDns(NAME, tun, true, A("10.0.0.53"), A("10.0.0.54")));
        EXPECT_EQ("nameserver 192.0.2.53\n", ReadFile(victim));
        struct stat st;
        ASSERT_EQ(0, lstat(dns.c_str(), &st));
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(0644u, st.st_mode & 0777);
        EXPECT_NE(std::string::npos, ReadFile(dns).find("nameserver 10.0.0.53\nnameserver 10.0.0.54\n"));
        EXPECT_NE(0, lstat((dns + ".new").c_str(), &st));
    }
    netns::Shell("rm -rf " + dir);
}

// A resolver step that could not be done fails the request that asked for
// it, and the file stays as it was; the reset before a clean-up still ends
// well (the worker goes on) and says what it could not do.
TEST_F(IfaceLinux, AResolverStepThatCannotBeDoneFailsItsRequest)
{
    const std::string log = dir + ".log";
    const struct {
        const char *name;
        std::string setUp;
    } rows[] = {
        {"a folder another user made in the temporary copy's place",
         "mkdir " + dns + ".new && touch " + dns + ".new/keep && chown -R 65534 " + dns + ".new"},
        {"a folder in the file's place", "rm " + dns + " && mkdir " + dns + " && touch " + dns + "/keep"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        netns::Shell("rm -rf " + dir + " && mkdir -m 0755 " + dir + " && echo 'nameserver 192.0.2.53' >" + dns);
        ASSERT_EQ("", netns::Shell(row.setUp));
        const std::string before = netns::Shell("ls -lR " + dir + "; cat " + dns + " 2>/dev/null");
        EXPECT_NE(0u, IFACE_SetDns(NAME, tun, true, A("10.0.0.53"), A("10.0.0.54")));
        EXPECT_NE(0u, IFACE_SetDns(NAME, tun, true, 0, 0));
        EXPECT_NE(0u, IFACE_SetDns(NAME, tun, false, 0, A("10.0.0.54")));
        EXPECT_EQ(before, netns::Shell("ls -lR " + dir + "; cat " + dns + " 2>/dev/null"));
        ASSERT_TRUE(LOG_OpenFile(log.c_str()));
        Inside([&] { EXPECT_EQ(0u, IFACE_ResetAdapter(NAME, tun)); });
        LOG_CloseFile();
        EXPECT_NE(std::string::npos, ReadFile(log).find("ERROR: The resolver file \"" + dns + "\" could not be emptied"))
            << ReadFile(log);
        EXPECT_EQ(std::string::npos, Ip("-j addr show dev tlx0").find("\"family\":\"inet\","));  // reset
    }
    remove(log.c_str());
    netns::Shell("rm -rf " + dir);
}

}  // namespace
