// The Linux route backend against the kernel, inside a namespace of the
// test's own. Every call that may touch a route table runs inside it, the
// clean-up of the lists included.
#include "netns_fixture.h"
#include "iface_config.h"
#include "route_work.h"
#include "svc_state.h"
#include "service_log.h"
#include "ssl_service.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using netns::CountMatching;

size_t Count(const RouteRecord *r)
{
    size_t n = 0;
    for (; r; r = r->next)
        n++;
    return n;
}

uint32_t A(const char *text)
{
    return inet_addr(text);
}

class RouteLinux : public netns::NetnsTest {
protected:
    void TearDown() override
    {
        if (!name.empty())
            Inside([] {
                ROUTE_CleanUpRoutes();
                ROUTE_RestoreMetrics();
            });
        STATE_Clear();
        NetnsTest::TearDown();
    }
    std::string Routes()
    {
        return Ip("-4 -j route show table all");
    }
    // Where an off-tunnel address leaves: its device and gateway.
    std::string Way()
    {
        std::string out = Ip("route get 192.0.2.99");
        size_t cut = out.find(" src ");
        return cut == std::string::npos ? out : out.substr(0, cut);
    }
};

TEST_F(RouteLinux, TableReadsTheMainTable)
{
    RouteRow *rows = nullptr;
    uint32_t count = 0;
    uint32_t code = 1;
    Inside([&] { code = ROUTE_SystemBackend()->ReadTable(&rows, &count); });
    ASSERT_EQ(0u, code);
    bool sawDefault = false, sawLink = false;
    for (uint32_t i = 0; i < count; i++) {
        const RouteRow &r = rows[i];
        if (r.destination == 0 && r.mask == 0) {
            sawDefault = true;
            EXPECT_EQ(A("198.51.100.1"), r.nextHop);
            EXPECT_EQ(eth, r.ifIndex);
            EXPECT_EQ((uint32_t)ROUTE_TYPE_INDIRECT, r.type);
            EXPECT_EQ((uint32_t)ROUTE_PROTO_NETMGMT, r.protocol);
        }
        if (r.destination == A("10.0.0.0")) {
            sawLink = true;
            EXPECT_EQ(A("255.255.255.0"), r.mask);
            EXPECT_EQ(tun, r.ifIndex);
            EXPECT_EQ((uint32_t)ROUTE_TYPE_DIRECT, r.type);
            EXPECT_EQ((uint32_t)ROUTE_PROTO_LOCAL, r.protocol);
        }
    }
    ROUTE_SystemBackend()->FreeTable(rows);
    EXPECT_TRUE(sawDefault);
    EXPECT_TRUE(sawLink);
}

TEST_F(RouteLinux, AddedRoutesAppearAndGoAtCleanUp)
{
    Inside([&] {
        EXPECT_EQ(0u, ROUTE_AddRoute(tun, A("10.8.0.0"), A("255.255.0.0"), A("10.0.0.1"), 5));
        // A gateway beyond the link's own network, as a tunnel's often is.
        EXPECT_EQ(0u, ROUTE_AddRoute(tun, A("10.9.0.0"), A("255.255.0.0"), A("172.31.0.1"), 6));
        EXPECT_TRUE(ROUTE_Exists(A("10.8.0.0"), A("255.255.0.0"), tun));
        EXPECT_FALSE(ROUTE_Exists(A("10.8.0.0"), A("255.255.0.0"), eth));
    });
    std::string routes = Routes();
    EXPECT_EQ(1u, CountMatching(routes, {"\"dst\":\"10.8.0.0/16\"", "\"gateway\":\"10.0.0.1\"", "\"dev\":\"tlx0\"",
                                         "\"protocol\":\"static\"", "\"metric\":5"}));
    EXPECT_EQ(1u, CountMatching(routes, {"\"dst\":\"10.9.0.0/16\"", "\"gateway\":\"172.31.0.1\"", "\"metric\":6"}));

    Inside([] { ROUTE_CleanUpRoutes(); });
    routes = Routes();
    EXPECT_EQ(0u, CountMatching(routes, {"\"dst\":\"10.8.0.0/16\""}));
    EXPECT_EQ(0u, CountMatching(routes, {"\"dst\":\"10.9.0.0/16\""}));
    EXPECT_EQ(1u, CountMatching(routes, {"\"dst\":\"default\"", "\"dev\":\"tlxeth\""}));
}

TEST_F(RouteLinux, AllNetsRemovesTheOtherDefaultUntilTheClientGoes)
{
    Inside([&] { EXPECT_EQ(0u, ROUTE_PrepareInterface(tun, 1)); });
    EXPECT_EQ(0u, CountMatching(Routes(), {"\"dst\":\"default\""}));
    EXPECT_EQ(1u, CountMatching(Routes(), {"\"dst\":\"10.0.0.0/24\""}));  // the kernel's own route stays

    Inside([] { ROUTE_CleanUpRoutes(); });
    EXPECT_EQ(1u, CountMatching(Routes(), {"\"dst\":\"default\"", "\"gateway\":\"198.51.100.1\"", "\"dev\":\"tlxeth\"",
                                           "\"protocol\":\"static\""}));
}

TEST_F(RouteLinux, AllNetsLeavesADefaultOverSeveralHops)
{
    // It could not be made again from one row, so it is not taken away.
    ASSERT_EQ("", Ip("route add default metric 50 proto static nexthop via 198.51.100.1 dev tlxeth "
                     "nexthop via 10.0.0.1 dev tlx0"));
    Inside([&] { EXPECT_EQ(0u, ROUTE_PrepareInterface(tun, 1)); });
    EXPECT_EQ(1u, CountMatching(Routes(), {"\"dst\":\"default\"", "\"metric\":50", "\"nexthops\""}));
    EXPECT_EQ(1u, CountMatching(Routes(), {"\"dst\":\"default\""}));
}

TEST_F(RouteLinux, RaisedMetricIsPutBack)
{
    Inside([] { EXPECT_EQ(0u, ROUTE_RaiseMetric(0)); });
    std::string routes = Routes();
    EXPECT_EQ(1u, CountMatching(routes, {"\"dst\":\"default\""}));  // changed, not doubled
    EXPECT_EQ(1u, CountMatching(routes, {"\"dst\":\"default\"", "\"metric\":2"}));

    Inside([] { EXPECT_EQ(0u, ROUTE_RestoreMetrics()); });
    routes = Routes();
    EXPECT_EQ(1u, CountMatching(routes, {"\"dst\":\"default\"", "\"gateway\":\"198.51.100.1\""}));
    EXPECT_EQ(0u, CountMatching(routes, {"\"dst\":\"default\"", "\"metric\""}));  // metric 0 again
}

// The host's default routes as a client's start and exit change them: raised
// below metric 2, put back afterwards. Each row is a host a client meets.
// After the raise every route is still there once, each with all it had;
// after the restore the table is exactly as it was.
struct DefaultsCase {
    const char *what;
    std::vector<std::string> setUp;                 // ip commands after the fixture's default is gone
    std::vector<std::vector<std::string>> raised;   // each matches one route after the raise
};

TEST_F(RouteLinux, RaisedDefaultRoutesKeepWhatTheyCarriedAndComeBackExactly)
{
    const DefaultsCase cases[] = {
        {"primary at 0 (DHCP), backup at 2 on another link: the backup goes along first",
         {"route add default via 198.51.100.1 dev tlxeth proto dhcp metric 0",
          "route add default via 10.0.0.1 dev tlx0 proto static metric 2"},
         {{"\"dev\":\"tlxeth\"", "\"metric\":2"}, {"\"dev\":\"tlx0\"", "\"metric\":4"}}},
        {"primary at 1, backup at 2 on another link",
         {"route add default via 198.51.100.1 dev tlxeth proto dhcp metric 1",
          "route add default via 10.0.0.1 dev tlx0 proto static metric 2"},
         {{"\"dev\":\"tlxeth\"", "\"metric\":3"}, {"\"dev\":\"tlx0\"", "\"metric\":4"}}},
        {"metrics 0 and 2 over the same next hop",
         {"route add default via 198.51.100.1 dev tlxeth proto static metric 0 mtu 1400",
          "route add default via 198.51.100.1 dev tlxeth proto static metric 2 mtu 1300"},
         {{"\"metric\":2", "\"mtu\":1400"}, {"\"metric\":4", "\"mtu\":1300"}}},
        {"metrics 0 and 7 over the same next hop",
         {"route add default via 198.51.100.1 dev tlxeth proto dhcp metric 0 src 198.51.100.2 mtu lock 1400 "
          "advmss 1360 initcwnd 10",
          "route add default via 198.51.100.1 dev tlxeth proto boot metric 7"},
         {{"\"metric\":2", "\"prefsrc\":\"198.51.100.2\"", "\"initcwnd\":10"},
          {"\"metric\":7", "\"gateway\":\"198.51.100.1\""}}},
        {"through a next-hop object",
         {"nexthop add id 7 via 198.51.100.1 dev tlxeth", "route add default nhid 7 proto static"},
         {{"\"nhid\":7", "\"metric\":2"}}},
        {"metrics 0 and 1 over the same next hop",
         {"route add default via 198.51.100.1 dev tlxeth proto static metric 0 mtu 1400",
          "route add default via 198.51.100.1 dev tlxeth proto static metric 1 mtu 1300"},
         {{"\"metric\":2", "\"mtu\":1400"}, {"\"metric\":3", "\"mtu\":1300"}}},
        {"metrics 0 and 1 on two links",
         {"route add default via 198.51.100.1 dev tlxeth proto static metric 0",
          "route add default via 10.0.0.1 dev tlx0 proto dhcp metric 1"},
         {{"\"dev\":\"tlxeth\"", "\"metric\":2"}, {"\"dev\":\"tlx0\"", "\"protocol\":\"dhcp\"", "\"metric\":3"}}},
        {"a route with its own source, MTU and initial window",
         {"route add default via 198.51.100.1 dev tlxeth proto static src 198.51.100.2 mtu 1400 initcwnd 10 "
          "advmss 1360"},
         {{"\"prefsrc\":\"198.51.100.2\"", "\"mtu\":1400", "\"initcwnd\":10", "\"advmss\":1360",
           "\"metric\":2"}}},
        {"an on-link next hop outside the link's network, from DHCP",
         {"route add default via 192.0.2.1 dev tlxeth onlink proto dhcp"},
         {{"\"gateway\":\"192.0.2.1\"", "\"onlink\"", "\"protocol\":\"dhcp\"", "\"metric\":2"}}},
        {"an uplink without a gateway (point to point, a /32 address)",
         {"addr add 203.0.113.7/32 dev tlxeth", "route add default dev tlxeth proto static src 203.0.113.7"},
         {{"\"dev\":\"tlxeth\"", "\"scope\":\"link\"", "\"prefsrc\":\"203.0.113.7\"", "\"metric\":2"}}},
        {"several next hops",
         {"route add default proto static nexthop via 198.51.100.1 dev tlxeth nexthop via 10.0.0.1 dev tlx0"},
         {{"\"nexthops\"", "\"198.51.100.1\"", "\"10.0.0.1\"", "\"metric\":2"}}},
        {"a link without carrier",
         {"route add default via 198.51.100.1 dev tlxeth proto static mtu 1400", "link set tlxethp down"},
         {{"\"dev\":\"tlxeth\"", "\"mtu\":1400", "\"metric\":2"}}},
    };
    for (const DefaultsCase &c : cases) {
        SCOPED_TRACE(c.what);
        Ip("link set tlxethp up");
        Ip("route flush exact 0.0.0.0/0");
        for (const std::string &command : c.setUp)
            ASSERT_EQ("", Ip(command)) << command;
        std::string before = Routes(), nexthops = Ip("-j nexthop show");
        std::string wayBefore = Way();
        Inside([] { EXPECT_EQ(0u, ROUTE_RaiseMetric(0)); });
        std::string raised = Routes();
        EXPECT_EQ(c.raised.size(), CountMatching(raised, {"\"dst\":\"default\""})) << raised;
        for (const std::vector<std::string> &route : c.raised)
            EXPECT_EQ(1u, CountMatching(raised, route)) << raised;
        EXPECT_EQ(Way(), wayBefore) << "an off-tunnel address leaves as it did";
        EXPECT_EQ(0u, CountMatching(raised, {"\"dst\":\"default\"", "\"metric\":1,"}));
        Inside([] { EXPECT_EQ(0u, ROUTE_RestoreMetrics()); });
        EXPECT_EQ(before, Routes());
        EXPECT_EQ(nexthops, Ip("-j nexthop show"));
        EXPECT_EQ(nullptr, ROUTE_RaisedMetricRoutes());
        Ip("nexthop flush");
    }
}

// A route that cannot go back to its own metric (another route took it in
// the meantime) stays where it is, and nothing else moves: neither the
// route that took the metric nor the one the raise passed over. The route
// tool is not asked to change a metric either: it would replace the first
// route it finds there.
TEST_F(RouteLinux, AMoveThatCannotBeMadeLeavesEveryRouteWhereItIs)
{
    Ip("route flush exact 0.0.0.0/0");
    ASSERT_EQ("", Ip("route add default via 198.51.100.1 dev tlxeth proto static metric 0"));
    ASSERT_EQ("", Ip("route add default via 10.0.0.1 dev tlx0 proto static metric 2"));
    Inside([] { EXPECT_EQ(0u, ROUTE_RaiseMetric(0)); });
    ASSERT_EQ("", Ip("route add default via 198.51.100.9 dev tlxeth proto static metric 0"));
    std::string taken = Routes();
    Inside([] { EXPECT_EQ(0u, ROUTE_RestoreMetrics()); });
    EXPECT_EQ(taken, Routes());
    EXPECT_EQ(1u, CountMatching(taken, {"\"gateway\":\"198.51.100.1\"", "\"metric\":2"}));
    EXPECT_EQ(1u, CountMatching(taken, {"\"gateway\":\"10.0.0.1\"", "\"metric\":4"}));

    char change[128];
    snprintf(change, sizeof(change), "CHANGE 0.0.0.0 MASK 0.0.0.0 198.51.100.1 METRIC 2 IF %u", eth);
    Inside([&] { EXPECT_EQ((uint32_t)EOPNOTSUPP, ROUTE_RunCommand(change)); });
    EXPECT_EQ(taken, Routes());
}

// The state file's boot line as another boot of the system wrote it.
void AsWrittenInAnotherBoot(const std::string &path)
{
    std::string text = netns::Shell("cat " + path);
    ASSERT_EQ(0u, text.rfind("boot ", 0)) << text;
    text = "boot 00000000-0000-4000-8000-000000000000" + text.substr(text.find('\n'));
    ASSERT_EQ(0u, STATESYS_Write(path.c_str(), text.data(), text.size()));
}

// A full-tunnel session takes the host's default routes away and makes them
// again when the client goes: they come back as they were, every attribute
// and metric, the one the raise passed over included. Each end of a session
// is a row: the client's own ("ROUTE_CleanUp" makes the removed routes again
// at their raised metrics, its exit puts the metrics back), a client gone
// without its own (the service undoes all at once), a service that dies in
// the session (its successor undoes what the state file says), and one whose
// system starts again before a successor runs (the tunnel's routes and the
// raised metrics went with the system; the removed routes are made again at
// the metric they had before the raise). Each runs two sessions in a row, as
// one service serves them.
TEST_F(RouteLinux, AFullSessionPutsBackTheHostsDefaultRoutesExactly)
{
    ASSERT_EQ("", Ip("link add tlxoth type veth peer name tlxothp"));
    ASSERT_EQ("", Ip("link set tlxothp up"));
    ASSERT_EQ("", Ip("link set tlxoth up"));
    ASSERT_EQ("", Ip("addr add 192.0.2.2/24 dev tlxoth"));
    const DefaultsCase hosts[] = {
        {"metrics 0 and 2 on two links",
         {"route add default via 198.51.100.1 dev tlxeth metric 0",
          "route add default via 192.0.2.1 dev tlxoth metric 2"},
         {}},
        {"metric 1", {"route add default via 198.51.100.1 dev tlxeth proto static metric 1"}, {}},
        {"primary at 0 (DHCP), backup at 2",
         {"route add default via 198.51.100.1 dev tlxeth proto dhcp metric 0",
          "route add default via 192.0.2.1 dev tlxoth proto static metric 2"},
         {}},
        {"defaults at 0 and 7 through one gateway, the first with attributes",
         {"route add default via 198.51.100.1 dev tlxeth proto dhcp metric 0 src 198.51.100.2 mtu lock 1400 "
          "advmss 1360 initcwnd 10",
          "route add default via 198.51.100.1 dev tlxeth proto boot metric 7"},
         {}},
        {"through a next-hop object",
         {"nexthop add id 7 via 198.51.100.1 dev tlxeth", "route add default nhid 7 proto static"},
         {}},
        {"a route with its own source, MTU and initial window",
         {"route add default via 198.51.100.1 dev tlxeth proto dhcp src 198.51.100.2 mtu lock 1400 initcwnd 10 "
          "advmss 1360"},
         {}},
    };
    enum { LIVES, DIES, REBOOTS };
    struct End {
        const char *what;
        int service;
        void (*run)(uint32_t tun);
    } ends[] = {
        {"the client's own clean-up and exit", LIVES,
         [](uint32_t) {
             EXPECT_EQ(0u, ROUTE_CleanUpRoutes());
             EXPECT_EQ(0u, ROUTE_RestoreMetrics());
         }},
        {"a client gone without its own", LIVES,
         [](uint32_t tun) { EXPECT_EQ(0u, ROUTE_CleanUpClient("tlx0", tun)); }},
        {"the service dies, its successor undoes", DIES, [](uint32_t) { EXPECT_EQ(0u, ROUTE_RecoverState()); }},
        {"the service dies, the system starts again, a successor undoes", REBOOTS,
         [](uint32_t) { EXPECT_EQ(0u, ROUTE_RecoverState()); }},
    };
    // The successor resets only a TAP adapter; the state file in a folder of
    // the service's own.
    ASSERT_EQ("", Ip("link set tlx0 alias \"TAP-Windows Adapter V9\""));
    std::string folder = "/tmp/tlx-state-" + name, state = folder + "/service.state";
    std::string dns = "/tmp/tlx-dns-" + name + ".conf";
    for (const End &end : ends) {
        for (const DefaultsCase &c : hosts) {
            SCOPED_TRACE(std::string(c.what) + ", " + end.what);
            Ip("route flush exact 0.0.0.0/0");
            Ip("nexthop flush");
            Ip("addr flush dev tlx0");  // the adapter at rest
            for (const std::string &command : c.setUp)
                ASSERT_EQ("", Ip(command)) << command;
            std::string before = Routes(), nexthops = Ip("-j nexthop show");
            for (int session = 0; session < 2; session++) {
                SCOPED_TRACE(session);
                auto start = [&] {
                    EXPECT_EQ(0u, ROUTE_RaiseMetric(0));  // the client's start
                    EXPECT_EQ(0u,
                              IFACE_SetAddress("tlx0", tun, A("10.0.0.7"), A("255.255.255.0"), A("10.0.0.1"), 1400));
                    EXPECT_EQ(0u, ROUTE_PrepareInterface(tun, 1));
                    EXPECT_EQ(0u, ROUTE_AddRoute(tun, A("10.8.0.0"), A("255.255.0.0"), A("10.0.0.1"), 5));
                };
                Inside([&] {
                    IFACE_SetDnsFile(dns.c_str());
                    if (end.service == LIVES) {
                        start();
                        return;
                    }
                    STATE_SetPath(state.c_str());
                    pid_t pid = fork();
                    if (pid == 0) {
                        start();
                        _exit(testing::Test::HasFailure() ? 1 : 0);  // dies with everything outstanding
                    }
                    int status = -1;
                    waitpid(pid, &status, 0);
                    EXPECT_EQ(0, status);
                });
                std::string during = Routes();
                EXPECT_EQ(1u, CountMatching(during, {"\"dst\":\"default\""})) << during;
                if (end.service == REBOOTS) {
                    // What a new start of the system leaves: the adapter at
                    // rest, no route of the tunnel, none of the host's
                    // default routes (its set-up makes none).
                    Ip("route flush dev tlx0");
                    Ip("addr flush dev tlx0");
                    Ip("route flush exact 0.0.0.0/0");
                    AsWrittenInAnotherBoot(state);
                }
                Inside([&] {
                    if (end.service == LIVES)
                        IFACE_ResetAdapter("tlx0", tun);
                    end.run(tun);
                    IFACE_SetDnsFile(nullptr);
                    STATE_SetPath(nullptr);
                });
                EXPECT_EQ(before, Routes());
                EXPECT_EQ(nexthops, Ip("-j nexthop show"));
                EXPECT_EQ(nullptr, ROUTE_RaisedMetricRoutes());
            }
        }
    }
    Ip("nexthop flush");
    remove(dns.c_str());
    netns::Shell("rm -rf " + folder);
}

// A route over several next hops is listed with each of them, so that a
// host route through one of them is judged as the route it is.
TEST_F(RouteLinux, EachNextHopOfAMultipathDefaultIsSeen)
{
    ASSERT_EQ("", Ip("route flush exact 0.0.0.0/0"));
    ASSERT_EQ("", Ip("route add default proto static nexthop via 198.51.100.1 dev tlxeth nexthop via 10.0.0.1 dev tlx0"));
    RouteRow *rows = nullptr;
    uint32_t count = 0;
    Inside([&] { ASSERT_EQ(0u, ROUTE_SystemBackend()->ReadTable(&rows, &count)); });
    const struct {
        uint32_t index;
        const char *hop;
        int verdict;
    } cases[] = {
        {eth, "198.51.100.1", SVC_ROUTE_TAKEN},
        {tun, "10.0.0.1", SVC_ROUTE_TAKEN},
        {eth, "198.51.100.9", SVC_ROUTE_OTHER_NEXT_HOP},
        {999, "198.51.100.1", SVC_ROUTE_OTHER_IFACE},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.hop);
        EXPECT_EQ(c.verdict, SVC_JudgeHostRoute(rows, count, nullptr, A("203.0.113.9"), 0, c.index, A(c.hop)));
    }
    ROUTE_SystemBackend()->FreeTable(rows);
    // The route itself is raised and put back whole, once.
    std::string before = Routes();
    Inside([] { EXPECT_EQ(0u, ROUTE_RaiseMetric(0)); });
    EXPECT_EQ(1u, Count(ROUTE_RaisedMetricRoutes()));
    Inside([] { EXPECT_EQ(0u, ROUTE_RestoreMetrics()); });
    EXPECT_EQ(before, Routes());
}

// Every delete names its route with its metric: the kernel takes metric 0
// for "any", so a route of another metric must never go in its place.
TEST_F(RouteLinux, ADeleteTakesTheNamedRouteAndNoOther)
{
    ASSERT_EQ("", Ip("route flush exact 0.0.0.0/0"));
    ASSERT_EQ("", Ip("route add default via 198.51.100.1 dev tlxeth proto static metric 2"));
    std::string before = Routes();
    RouteRow gone = {};
    gone.nextHop = A("198.51.100.1");
    gone.ifIndex = eth;
    gone.type = ROUTE_TYPE_INDIRECT;
    gone.protocol = ROUTE_PROTO_NETMGMT;
    gone.metric1 = 0;  // no route of this metric is there
    Inside([&] {
        EXPECT_EQ((uint32_t)ESRCH, ROUTE_SystemBackend()->Delete(&gone));
        EXPECT_EQ(0u, ROUTE_Apply(ROUTE_OP_DELETE, &gone, false));  // gone already: done
    });
    EXPECT_EQ(before, Routes());
    // The one named goes, the other stays.
    ASSERT_EQ("", Ip("route add default via 198.51.100.1 dev tlxeth proto static metric 0"));
    Inside([&] { EXPECT_EQ(0u, ROUTE_Apply(ROUTE_OP_DELETE, &gone, false)); });
    EXPECT_EQ(before, Routes());
    // A route through a next-hop object is named by its id.
    ASSERT_EQ("", Ip("nexthop add id 9 via 198.51.100.1 dev tlxeth"));
    ASSERT_EQ("", Ip("route add default nhid 9 proto static metric 0"));
    Inside([&] { EXPECT_EQ(0u, ROUTE_SystemBackend()->Delete(&gone)); });
    EXPECT_EQ(before, Routes());
    Ip("nexthop flush");
}

// A raised route the system makes again at its own metric during the
// session (a DHCP client's renewal): the moved copy goes at the restore, and
// nothing is reported as failed.
TEST_F(RouteLinux, ARouteMadeAgainAtItsOwnMetricEndsTheSessionExact)
{
    ASSERT_EQ("", Ip("route flush exact 0.0.0.0/0"));
    ASSERT_EQ("", Ip("route add default via 198.51.100.1 dev tlxeth proto dhcp metric 0 src 198.51.100.2"));
    ASSERT_EQ("", Ip("route add default via 10.0.0.1 dev tlx0 proto static metric 2"));
    std::string before = Routes();
    for (bool raisedAgain : {false, true}) {
        SCOPED_TRACE(raisedAgain);
        Inside([] { EXPECT_EQ(0u, ROUTE_RaiseMetric(0)); });
        ASSERT_EQ("", Ip("route add default via 198.51.100.1 dev tlxeth proto dhcp metric 0 src 198.51.100.2"));
        if (raisedAgain)
            Inside([] { EXPECT_EQ(0u, ROUTE_RaiseMetric(0)); });
        Inside([] { EXPECT_EQ(0u, ROUTE_RestoreMetrics()); });
        EXPECT_EQ(before, Routes());
    }
}

// The adapter's reset takes the tunnel's routes with it before they are
// deleted: they have been removed, and nothing is reported.
TEST_F(RouteLinux, ATunnelRouteAlreadyGoneIsNoFailure)
{
    Inside([&] { EXPECT_EQ(0u, ROUTE_AddRoute(tun, A("10.8.0.0"), A("255.255.0.0"), A("10.0.0.1"), 5)); });
    ASSERT_EQ("", Ip("route flush dev tlx0 proto static"));
    static int s_events;
    s_events = 0;
    EVENTLOG_Sink old =
        EVENTLOG_SetSink([](uint16_t, uint16_t, uint32_t, const char *, const char *) { s_events++; });
    Inside([] { EXPECT_EQ(0u, ROUTE_CleanUpRoutes()); });
    EVENTLOG_SetSink(old);
    EXPECT_EQ(0, s_events);
    EXPECT_EQ(nullptr, ROUTE_AddedRoutes());
}

TEST_F(RouteLinux, FailuresReturnTheKernelsCodeAndTheFallbackIsChecked)
{
    Inside([&] {
        RouteRow r = {};
        r.destination = A("10.7.0.0");
        r.mask = A("255.255.0.0");
        r.nextHop = A("10.0.0.1");
        r.ifIndex = 999999;
        r.metric1 = 3;
        EXPECT_EQ((uint32_t)ENODEV, ROUTE_Apply(ROUTE_OP_CREATE, &r, false));
        // The fallback never runs without the interface it was given: without
        // it, the tool would have put the route on whichever link reaches
        // the next hop (here the tunnel's).
        EXPECT_FALSE(ROUTE_Exists(A("10.7.0.0"), A("255.255.0.0"), ROUTE_ANY_INTERFACE));
        EXPECT_EQ((uint32_t)ENODEV, ROUTE_RunCommand("ADD 10.7.0.0 MASK 255.255.0.0 10.0.0.1 METRIC 3 IF 0"));
        EXPECT_EQ((uint32_t)ENODEV, ROUTE_RunCommand("DELETE 10.0.0.0 MASK 255.255.255.0 0.0.0.0 IF 999999"));
        EXPECT_FALSE(ROUTE_Exists(A("10.7.0.0"), A("255.255.0.0"), ROUTE_ANY_INTERFACE));
        EXPECT_TRUE(ROUTE_Exists(A("10.0.0.0"), A("255.255.255.0"), tun));

        // The fallback's words are checked and rewritten, never passed on.
        EXPECT_EQ((uint32_t)EINVAL, ROUTE_RunCommand("ADD 10.7.0.0;reboot MASK 255.255.0.0 10.0.0.1 METRIC 3 IF 1"));
        EXPECT_EQ((uint32_t)EINVAL, ROUTE_RunCommand("ADD 10.7.0.0 MASK 255.255.0.0 10.0.0.1 METRIC -3 IF 1"));
        EXPECT_EQ((uint32_t)EINVAL, ROUTE_RunCommand("FLUSH"));
        char text[128];
        snprintf(text, sizeof(text), "ADD 10.7.0.0 MASK 255.255.0.0 10.0.0.1 METRIC 3 IF %u", tun);
        EXPECT_EQ(0u, ROUTE_RunCommand(text));
    });
    EXPECT_EQ(1u, CountMatching(Routes(), {"\"dst\":\"10.7.0.0/16\"", "\"dev\":\"tlx0\"", "\"metric\":3"}));
    char text[128];
    snprintf(text, sizeof(text), "DELETE 10.7.0.0 MASK 255.255.0.0 10.0.0.1 IF %u", tun);
    Inside([&] { EXPECT_EQ(0u, ROUTE_RunCommand(text)); });
    EXPECT_EQ(0u, CountMatching(Routes(), {"\"dst\":\"10.7.0.0/16\""}));
}

// A full-tunnel client that goes away without its own clean-up (killed):
// the service's clean-up puts back the host's default route at the metric it
// had before the client raised it, and nothing of the tunnel stays. The
// host's route of metric 0 (what "ip route add default via" makes) is raised
// to 2; the tunnel's own default route must not collide with it.
TEST_F(RouteLinux, AGoneFullTunnelClientLeavesTheDefaultRouteAsItWas)
{
    std::string dns = "/tmp/tlx-dns-" + name + ".conf";
    for (int metric : {0, 1}) {
        SCOPED_TRACE(metric);
        char add[160];
        snprintf(add, sizeof(add), "route add default via 198.51.100.1 dev tlxeth proto static metric %d", metric);
        ASSERT_EQ("", Ip("route del default"));
        ASSERT_EQ("", Ip(add));
        Inside([&] {
            IFACE_SetDnsFile(dns.c_str());
            EXPECT_EQ(0u, ROUTE_RaiseMetric(0));  // the client's start
            EXPECT_EQ(0u, IFACE_SetAddress("tlx0", tun, A("10.0.0.7"), A("255.255.255.0"), A("10.0.0.1"), 1400));
        });
        EXPECT_EQ(1u, CountMatching(Routes(), {"\"dst\":\"default\"", "\"dev\":\"tlx0\""}));
        Inside([&] {
            EXPECT_EQ(0u, ROUTE_PrepareInterface(tun, 1));
            EXPECT_EQ(0u, ROUTE_AddRoute(tun, A("10.8.0.0"), A("255.255.0.0"), A("10.0.0.1"), 5));
        });
        std::string during = Routes();
        EXPECT_EQ(0u, CountMatching(during, {"\"dst\":\"default\"", "\"dev\":\"tlxeth\""}));

        Inside([&] {
            EXPECT_EQ(0u, ROUTE_CleanUpClient("tlx0", tun));
            IFACE_SetDnsFile(nullptr);
        });
        std::string after = Routes();
        EXPECT_EQ(0u, CountMatching(after, {"\"dev\":\"tlx0\"", "\"dst\":\"default\""}));
        EXPECT_EQ(0u, CountMatching(after, {"\"dst\":\"10.8.0.0/16\""}));
        EXPECT_EQ(1u, CountMatching(after, {"\"dst\":\"default\""}));
        if (metric == 0)
            EXPECT_EQ(0u, CountMatching(after, {"\"dst\":\"default\"", "\"metric\""}));
        else
            EXPECT_EQ(1u, CountMatching(after, {"\"dst\":\"default\"", "\"dev\":\"tlxeth\"", "\"metric\":1"}));
        EXPECT_EQ(nullptr, ROUTE_AddedRoutes());
        EXPECT_EQ(nullptr, ROUTE_RemovedRoutes());
        EXPECT_EQ(nullptr, ROUTE_RaisedMetricRoutes());
        remove(dns.c_str());
    }
}

// A service killed in a full-tunnel session: its successor finds the state
// file at its start and puts back what it had changed.
TEST_F(RouteLinux, ADeadServicesChangesAreUndoneByItsSuccessor)
{
    // A folder of the service's own: one in /tmp itself is anyone's to write in.
    std::string folder = "/tmp/tlx-state-" + name, state = folder + "/service.state";
    std::string dns = "/tmp/tlx-dns-" + name + ".conf";
    int status = -1;
    // The successor undoes only what was done to a TAP adapter.
    ASSERT_EQ("", Ip("link set tlx0 alias \"TAP-Windows Adapter V9\""));
    Inside([&] {
        STATE_SetPath(state.c_str());
        IFACE_SetDnsFile(dns.c_str());
        pid_t pid = fork();
        if (pid == 0) {
            ROUTE_RaiseMetric(0);
            IFACE_SetAddress("tlx0", tun, A("10.0.0.7"), A("255.255.255.0"), A("10.0.0.1"), 1400);
            IFACE_SetDns("tlx0", tun, true, A("10.0.0.53"), 0);
            ROUTE_PrepareInterface(tun, 1);
            ROUTE_AddRoute(tun, A("10.8.0.0"), A("255.255.0.0"), A("10.0.0.1"), 5);
            _exit(0);  // dies with everything outstanding
        }
        waitpid(pid, &status, 0);
    });
    ASSERT_EQ(0, status);
    std::string during = Routes();
    EXPECT_EQ(1u, CountMatching(during, {"\"dst\":\"default\"", "\"dev\":\"tlx0\""}));
    EXPECT_EQ(0u, CountMatching(during, {"\"dst\":\"default\"", "\"dev\":\"tlxeth\""}));
    struct stat st;
    ASSERT_EQ(0, stat(state.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);

    Inside([&] { EXPECT_EQ(0u, ROUTE_RecoverState()); });
    std::string after = Routes();
    EXPECT_EQ(1u, CountMatching(after, {"\"dst\":\"default\""}));
    EXPECT_EQ(0u, CountMatching(after, {"\"dst\":\"default\"", "\"metric\""}));  // metric 0 again
    EXPECT_EQ(1u, CountMatching(after, {"\"dst\":\"default\"", "\"dev\":\"tlxeth\""}));
    EXPECT_EQ(0u, CountMatching(after, {"\"dst\":\"10.8.0.0/16\""}));
    EXPECT_EQ(std::string::npos, Ip("-j addr show dev tlx0").find("10.0.0.7"));
    EXPECT_NE(0, stat(state.c_str(), &st)) << "the state file goes once all is undone";
    EXPECT_EQ(nullptr, ROUTE_RaisedMetricRoutes());
    // A second start finds nothing to do.
    Inside([&] { EXPECT_EQ(0u, ROUTE_RecoverState()); });
    EXPECT_EQ(after, Routes());
    STATE_SetPath(nullptr);
    IFACE_SetDnsFile(nullptr);
    remove(dns.c_str());
    netns::Shell("rm -rf " + folder);
}

}  // namespace
