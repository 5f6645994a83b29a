#include "netcfg_fakes.h"
#include "svc_state.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace netfake;

namespace {

const uint32_t TUN = 20, ETH = 7;

std::vector<std::string> Calls()
{
    std::vector<std::string> c;
    c.swap(routes().calls);
    return c;
}

bool InTable(const RouteRow &r)
{
    for (const RouteRow &t : routes().table)
        if (Same(t, r))
            return true;
    return false;
}

TEST(RouteWork, AddedRoutesAreListedOnceAndDeletedAtCleanUp)
{
    Scope scope;
    // Already on the tunnel: success, nothing listed, left in place.
    RouteRow present = Row("172.16.0.0", "255.255.0.0", "10.0.0.1", TUN, 1);
    routes().table.push_back(present);
    EXPECT_EQ(0u, ROUTE_AddRoute(TUN, present.destination, present.mask, present.nextHop, 1));
    EXPECT_TRUE(Calls().empty());

    EXPECT_EQ(0u, ROUTE_AddRoute(TUN, Ip("10.8.0.0"), Ip("255.255.0.0"), Ip("10.0.0.1"), 5));
    EXPECT_EQ(0u, ROUTE_AddRoute(TUN, Ip("10.9.0.0"), Ip("255.255.0.0"), Ip("10.0.0.1"), 5));
    EXPECT_EQ((std::vector<std::string>{"Create 10.8.0.0/255.255.0.0 if 20 m 5",
                                        "Create 10.9.0.0/255.255.0.0 if 20 m 5"}),
              Calls());
    const RouteRecord *head = ROUTE_AddedRoutes();
    ASSERT_EQ(2u, Count(head));
    EXPECT_EQ(Ip("10.9.0.0"), head->row.destination);
    EXPECT_EQ((uint32_t)ROUTE_TYPE_INDIRECT, head->row.type);
    EXPECT_EQ((uint32_t)ROUTE_PROTO_NETMGMT, head->row.protocol);
    EXPECT_EQ(ROUTE_NO_METRIC, head->row.metric5);

    // Gone from the system meanwhile: made again from its record.
    routes().table.pop_back();
    EXPECT_EQ(0u, ROUTE_AddRoute(TUN, Ip("10.9.0.0"), Ip("255.255.0.0"), Ip("10.0.0.1"), 5));
    EXPECT_EQ(2u, Count(ROUTE_AddedRoutes()));

    EXPECT_EQ(0u, ROUTE_CleanUpRoutes());
    EXPECT_EQ((std::vector<std::string>{"Create 10.9.0.0/255.255.0.0 if 20 m 5",
                                        "Delete 10.9.0.0/255.255.0.0 if 20 m 5",
                                        "Delete 10.8.0.0/255.255.0.0 if 20 m 5"}),
              Calls());
    EXPECT_EQ(nullptr, ROUTE_AddedRoutes());
    ASSERT_EQ(1u, routes().table.size());
    EXPECT_TRUE(InTable(present));
}

TEST(RouteWork, ARefusedCreationIsReportedAndLeavesNoRecord)
{
    Scope scope;
    routes().failCreate = DENIED;
    EXPECT_EQ((uint32_t)DENIED, ROUTE_AddRoute(TUN, Ip("10.8.0.0"), Ip("255.255.0.0"), Ip("10.0.0.1"), 5));
    EXPECT_EQ(0u, Count(ROUTE_AddedRoutes()));
    ASSERT_EQ(1u, routes().commands.size());
    EXPECT_EQ("ADD 10.8.0.0 MASK 255.255.0.0 10.0.0.1 METRIC 5 IF 20", routes().commands[0]);
    ASSERT_EQ(1u, events().size());
    EXPECT_EQ("Unable to Create route: Access denied. (Dest: 10.8.0.0, Netmask: 255.255.0.0, Gateway: 10.0.0.1)",
              events()[0].text);
    StateContent c;
    EXPECT_TRUE(STATE_Load(&c) == 0 || c.added.empty()) << "the file holds no entry for it";
}

// The route tool, whose own result is not known, made the route the call
// could not: it is the client's, and goes with it.
const RouteRow kMadeByTool = Row("10.8.0.0", "255.255.0.0", "10.0.0.1", TUN, 5);
uint32_t ToolMakesIt(const char *parameters)
{
    routes().commands.push_back(parameters);
    routes().table.push_back(kMadeByTool);
    return 0;
}

TEST(RouteWork, ARouteTheToolMadeAfterAFailedCallStaysListed)
{
    Scope scope;
    RouteSys tool = *RouteBackend();
    tool.RunCommand = ToolMakesIt;
    ROUTE_SetSystem(&tool);
    routes().failCreate = DENIED;
    EXPECT_EQ((uint32_t)DENIED, ROUTE_AddRoute(TUN, Ip("10.8.0.0"), Ip("255.255.0.0"), Ip("10.0.0.1"), 5));
    EXPECT_EQ(1u, Count(ROUTE_AddedRoutes()));
    ROUTE_CleanUpRoutes();
    EXPECT_TRUE(routes().table.empty());
}

// One entry per route, whatever the metric it is asked at: the list (and
// the undo file) stays as long as the routes it stands for.
TEST(RouteWork, OneRecordPerRouteWhateverTheMetric)
{
    const struct {
        const char *what;
        bool refused;     // the system refuses every creation
        bool goesAway;    // the route is gone again before the next request
        size_t records;   // entries after 100 requests at metrics 1 to 100
        uint32_t metric;  // the entry's metric
    } rows[] = {
        {"refused at every metric", true, false, 0, 0},
        {"made once, then present", false, false, 1, 1},
        {"made, gone meanwhile, made again at each new metric", false, true, 1, 100},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        Scope scope;
        for (uint32_t metric = 1; metric <= 100; metric++) {
            if (row.refused)
                routes().failCreate = DENIED;
            uint32_t code = ROUTE_AddRoute(TUN, Ip("10.8.0.0"), Ip("255.255.0.0"), Ip("127.0.0.1"), metric);
            EXPECT_EQ(row.refused ? (uint32_t)DENIED : 0u, code) << metric;
            if (row.goesAway)
                routes().table.clear();
        }
        ASSERT_EQ(row.records, Count(ROUTE_AddedRoutes()));
        StateContent c;
        bool present = STATE_Load(&c) == 1;
        EXPECT_EQ(row.records, present ? c.added.size() : 0u);
        if (row.records) {
            EXPECT_EQ(row.metric, ROUTE_AddedRoutes()->row.metric1);
            EXPECT_EQ(row.metric, c.added[0].metric1);
        }
    }
    // Another next hop is another route.
    Scope scope;
    EXPECT_EQ(0u, ROUTE_AddRoute(TUN, Ip("10.8.0.0"), Ip("255.255.0.0"), Ip("10.0.0.1"), 5));
    routes().table.clear();
    EXPECT_EQ(0u, ROUTE_AddRoute(TUN, Ip("10.8.0.0"), Ip("255.255.0.0"), Ip("10.0.0.9"), 5));
    EXPECT_EQ(2u, Count(ROUTE_AddedRoutes()));
}

// A change whose undo cannot be written is not made: the request fails
// with the writer's error and the table is as it was.
TEST(RouteWork, AChangeWhoseUndoCannotBeKeptIsNotMade)
{
    const uint32_t UNKEPT = 13;
    const struct {
        const char *what;
        uint32_t (*request)();
    } rows[] = {
        {"a route on the tunnel",
         [] { return ROUTE_AddRoute(TUN, Ip("10.8.0.0"), Ip("255.255.0.0"), Ip("10.0.0.1"), 5); }},
        {"the other interfaces' default routes", [] { return ROUTE_PrepareInterface(TUN, 1); }},
        {"a raised metric", [] { return ROUTE_RaiseMetric(0); }},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        Scope scope;
        routes().table = {Row("0.0.0.0", "0.0.0.0", "192.168.1.1", ETH, 0)};
        const std::vector<RouteRow> before = routes().table;
        STATE_SetUnkept(UNKEPT, "its folder is not the service's own");
        EXPECT_EQ(UNKEPT, row.request());
        STATE_SetUnkept(0, nullptr);
        EXPECT_TRUE(Calls().empty());
        ASSERT_EQ(before.size(), routes().table.size());
        EXPECT_TRUE(Same(before[0], routes().table[0]));
        EXPECT_EQ(before[0].metric1, routes().table[0].metric1);
        EXPECT_EQ(nullptr, ROUTE_AddedRoutes());
        EXPECT_EQ(nullptr, ROUTE_RemovedRoutes());
        EXPECT_EQ(nullptr, ROUTE_RaisedMetricRoutes());
        EXPECT_NE(std::string::npos, ReadLog().find("No undo is kept (its folder is not the service's own): the "
                                                    "change is not made"));
    }
}

// A table with every kind of row the preparation tells apart.
void PrepareTable()
{
    routes().table = {
        Row("0.0.0.0", "0.0.0.0", "192.168.1.1", ETH, 10),                           // other's static default
        Row("0.0.0.0", "0.0.0.0", "192.168.1.1", ETH, 10),                           // the same, met twice
        Row("0.0.0.0", "0.0.0.0", "192.168.2.1", 9, 20, ROUTE_PROTO_LOCAL),          // not static: kept
        Row("0.0.0.0", "0.0.0.0", "192.168.3.1", 8, 30, ROUTE_PROTO_NT_AUTOSTATIC),  // not static: kept
        Row("192.168.1.0", "255.255.255.0", "192.168.1.5", ETH, 10),                 // no default: kept
        Row("0.0.0.0", "0.0.0.0", "10.0.0.1", TUN, 1),                               // the tunnel's own default
        Row("10.5.0.0", "255.255.0.0", "10.0.0.1", TUN, 1),                          // stale tunnel route
        Row("10.0.0.0", "255.255.255.0", "10.0.0.2", TUN, 1, ROUTE_PROTO_LOCAL, ROUTE_TYPE_DIRECT),
    };
}

TEST(RouteWork, PrepareRemovesOtherStaticDefaultsAndRestoresThemAfterTheClient)
{
    Scope scope;
    PrepareTable();
    std::vector<RouteRow> before = routes().table;
    EXPECT_EQ(0u, ROUTE_PrepareInterface(TUN, 1));
    EXPECT_EQ(std::vector<uint32_t>{TUN}, ifaces().metricCalls);
    EXPECT_EQ((std::vector<std::string>{"Delete 0.0.0.0/0.0.0.0 if 7 m 10", "Delete 0.0.0.0/0.0.0.0 if 7 m 10",
                                        "Delete 10.5.0.0/255.255.0.0 if 20 m 1"}),
              Calls());
    EXPECT_FALSE(InTable(before[0]));
    EXPECT_FALSE(InTable(before[6]));
    for (int kept : {2, 3, 4, 5, 7})
        EXPECT_TRUE(InTable(before[kept])) << kept;
    ASSERT_EQ(1u, Count(ROUTE_RemovedRoutes()));  // saved once

    std::string log = ReadLog();
    EXPECT_NE(std::string::npos, log.find("AllNets: "));
    EXPECT_EQ(2u, Occurrences(log, "Removing unwanted default gateway route (Dest: 0.0.0.0, Netmask: 0.0.0.0, "
                                   "Gateway: 192.168.1.1)\r\n"));
    EXPECT_EQ(1u, Occurrences(log, "Removing unwanted route from SSL/VPN interface (Dest: 10.5.0.0"));
    EXPECT_EQ(4u, Occurrences(log, "Ignore: "));
    EXPECT_NE(std::string::npos, log.find("Proto: NT_AUTOSTATIC"));

    ROUTE_CleanUpRoutes();
    EXPECT_EQ(std::vector<std::string>{"Create 0.0.0.0/0.0.0.0 if 7 m 10"}, Calls());
    EXPECT_TRUE(InTable(before[0]));
    EXPECT_FALSE(InTable(before[6]));  // the stale tunnel route is not brought back
    EXPECT_EQ(nullptr, ROUTE_RemovedRoutes());
}

TEST(RouteWork, PrepareWithoutAllNetsOnlyClearsTheTunnel)
{
    Scope scope;
    PrepareTable();
    EXPECT_EQ(0u, ROUTE_PrepareInterface(TUN, 0));
    EXPECT_EQ(std::vector<std::string>{"Delete 10.5.0.0/255.255.0.0 if 20 m 1"}, Calls());
    EXPECT_EQ(nullptr, ROUTE_RemovedRoutes());
}

TEST(RouteWork, PrepareStopsOnMetricFailureAndSkipsMetricOnOlderWindows)
{
    Scope scope;
    PrepareTable();
    ifaces().metricResult = 1168;
    EXPECT_EQ(1168u, ROUTE_PrepareInterface(TUN, 1));
    EXPECT_TRUE(Calls().empty());
    EXPECT_NE(std::string::npos, ReadLog().find("Please manually configure TUNLEX interface metric to '0'.\r\n"));

    ifaces().legacy = true;
    ifaces().metricCalls.clear();
    EXPECT_EQ(0u, ROUTE_PrepareInterface(TUN, 0));
    EXPECT_TRUE(ifaces().metricCalls.empty());
}

TEST(RouteWork, PrepareKeepsARouteItCannotRemember)
{
    Scope scope;
    PrepareTable();
    routes().allocsLeft = 0;
    EXPECT_EQ((uint32_t)NO_MEMORY, ROUTE_PrepareInterface(TUN, 1));
    // The default route of the other interface was never deleted, so nothing
    // is lost when the client goes.
    EXPECT_EQ(std::vector<std::string>{"Delete 10.5.0.0/255.255.0.0 if 20 m 1"}, Calls());
    EXPECT_TRUE(InTable(Row("0.0.0.0", "0.0.0.0", "192.168.1.1", ETH, 10)));
}

TEST(RouteWork, PrepareGoesOnAfterAFailedDeleteAndReportsTheFirstCode)
{
    Scope scope;
    PrepareTable();
    routes().failDelete = DENIED;
    EXPECT_EQ((uint32_t)DENIED, ROUTE_PrepareInterface(TUN, 1));
    EXPECT_EQ(3u, Calls().size());
    EXPECT_EQ(1u, Count(ROUTE_RemovedRoutes()));
}

TEST(RouteWork, RaiseMetricRaisesLowMetricsOnceAndRestoreWritesThemBack)
{
    Scope scope;
    routes().table = {Row("0.0.0.0", "0.0.0.0", "192.168.1.1", ETH, 0),
                      Row("0.0.0.0", "0.0.0.0", "192.168.2.1", 9, 1),
                      Row("0.0.0.0", "0.0.0.0", "192.168.3.1", 8, 2),
                      Row("10.0.0.0", "255.0.0.0", "192.168.1.1", ETH, 0)};
    EXPECT_EQ(0u, ROUTE_RaiseMetric(0));
    EXPECT_EQ(0u, ROUTE_RaiseMetric(0));  // now 2, 3 and 4: left alone
    // The route at 2 goes along first, so that the three keep their order.
    EXPECT_EQ((std::vector<std::string>{"Update 0.0.0.0/0.0.0.0 if 8 m 4", "Update 0.0.0.0/0.0.0.0 if 9 m 3",
                                        "Update 0.0.0.0/0.0.0.0 if 7 m 2"}),
              Calls());
    EXPECT_EQ(2u, routes().table[0].metric1);
    EXPECT_EQ(3u, routes().table[1].metric1);
    EXPECT_EQ(4u, routes().table[2].metric1);
    EXPECT_EQ(0u, routes().table[3].metric1);
    ASSERT_EQ(3u, Count(ROUTE_RaisedMetricRoutes()));
    EXPECT_EQ(0u, ROUTE_RaisedMetricRoutes()->row.metric1);  // as read

    // The raised metrics outlive a client's clean-up.
    ROUTE_CleanUpRoutes();
    EXPECT_EQ(3u, Count(ROUTE_RaisedMetricRoutes()));
    Calls();

    EXPECT_EQ(0u, ROUTE_RestoreMetrics());
    EXPECT_EQ((std::vector<std::string>{"Update 0.0.0.0/0.0.0.0 if 7 m 0", "Update 0.0.0.0/0.0.0.0 if 9 m 1",
                                        "Update 0.0.0.0/0.0.0.0 if 8 m 2"}),
              Calls());
    EXPECT_EQ(0u, routes().table[0].metric1);
    EXPECT_EQ(1u, routes().table[1].metric1);
    EXPECT_EQ(2u, routes().table[2].metric1);
    EXPECT_EQ(nullptr, ROUTE_RaisedMetricRoutes());
    EXPECT_NE(std::string::npos,
              ReadLog().find("Restoring route:  Dest: 0.0.0.0  If: 0x7  Metric: 0:4294967295:4294967295:"));
}

// The host's own default routes keep their order among themselves while the
// tunnel's route at 1 comes first, and come back exactly; on a system that
// keys routes by metric (Linux) as on one that does not (Windows).
TEST(RouteWork, RaisedRoutesKeepTheirOrderAndComeBackExactly)
{
    const struct Case {
        const char *what;
        std::vector<RouteRow> table;
        std::vector<uint32_t> raised;  // the metrics after the raise, row by row
    } cases[] = {
        {"primary at 0, backup at 2",
         {Row("0.0.0.0", "0.0.0.0", "192.168.1.1", ETH, 0), Row("0.0.0.0", "0.0.0.0", "192.168.2.1", 9, 2)},
         {2, 4}},
        {"primary at 1, backup at 2",
         {Row("0.0.0.0", "0.0.0.0", "192.168.1.1", ETH, 1), Row("0.0.0.0", "0.0.0.0", "192.168.2.1", 9, 2)},
         {3, 4}},
        {"a chain the raise reaches: 0, 2, 3, 4 and 9",
         {Row("0.0.0.0", "0.0.0.0", "192.168.1.1", ETH, 0), Row("0.0.0.0", "0.0.0.0", "192.168.2.1", 9, 2),
          Row("0.0.0.0", "0.0.0.0", "192.168.3.1", 8, 3), Row("0.0.0.0", "0.0.0.0", "192.168.4.1", 6, 4),
          Row("0.0.0.0", "0.0.0.0", "192.168.5.1", 5, 9)},
         {2, 4, 5, 6, 9}},
        {"a backup far behind is left alone",
         {Row("0.0.0.0", "0.0.0.0", "192.168.1.1", ETH, 0), Row("0.0.0.0", "0.0.0.0", "192.168.2.1", 9, 5)},
         {2, 5}},
        {"routes to other destinations are no part of it",
         {Row("0.0.0.0", "0.0.0.0", "192.168.1.1", ETH, 1), Row("10.0.0.0", "255.0.0.0", "192.168.2.1", 9, 2)},
         {3, 2}},
        {"defaults at 0 and 7 through one gateway",
         {Row("0.0.0.0", "0.0.0.0", "192.168.1.1", ETH, 0), Row("0.0.0.0", "0.0.0.0", "192.168.1.1", ETH, 7)},
         {2, 7}},
    };
    for (bool keyed : {false, true}) {
        for (const Case &c : cases) {
            if (!keyed && c.what[0] == 'd')
                continue;  // one route of a next hop and interface where metrics are no key
            SCOPED_TRACE(std::string(c.what) + (keyed ? ", metric-keyed" : ""));
            Scope scope;
            if (keyed)
                ROUTE_SetSystem(MetricKeyedBackend());
            routes().metricKeyed = keyed;
            routes().table = c.table;
            EXPECT_EQ(0u, ROUTE_RaiseMetric(0));
            EXPECT_EQ(0u, ROUTE_RaiseMetric(0));  // again: nothing more
            std::vector<uint32_t> metrics;
            for (const RouteRow &r : routes().table)
                metrics.push_back(r.metric1);
            EXPECT_EQ(c.raised, metrics);
            size_t moved = 0;
            for (size_t i = 0; i < c.table.size(); i++)
                moved += c.raised[i] != c.table[i].metric1;
            EXPECT_EQ(moved, Count(ROUTE_RaisedMetricRoutes()));
            EXPECT_EQ(0u, ROUTE_RestoreMetrics());
            ASSERT_EQ(c.table.size(), routes().table.size());
            for (size_t i = 0; i < c.table.size(); i++)
                EXPECT_TRUE(Same(c.table[i], routes().table[i]) && c.table[i].metric1 == routes().table[i].metric1)
                    << i;
            EXPECT_TRUE(events().empty());
        }
    }
}

// Where routes are keyed by metric: a full session with two default routes
// through one gateway that differ only in their metric takes both away and
// puts both back, each as it was.
TEST(RouteWork, TwoDefaultsThatDifferOnlyInMetricBothComeBack)
{
    Scope scope;
    ROUTE_SetSystem(MetricKeyedBackend());
    routes().metricKeyed = true;
    RouteRow low = Row("0.0.0.0", "0.0.0.0", "192.168.1.1", ETH, 0), high = low;
    high.metric1 = 7;
    low.sysProtocol = 16;  // as DHCP made it
    high.sysProtocol = 3;
    routes().table = {low, high};
    for (bool clientsOwn : {true, false}) {
        SCOPED_TRACE(clientsOwn ? "the client's own clean-up" : "a client gone");
        ROUTE_RaiseMetric(0);
        EXPECT_EQ(0u, ROUTE_PrepareInterface(TUN, 1));
        EXPECT_TRUE(routes().table.empty());
        EXPECT_EQ(2u, Count(ROUTE_RemovedRoutes()));
        if (clientsOwn) {
            ROUTE_CleanUpRoutes();
            ROUTE_RestoreMetrics();
        } else {
            ROUTE_CleanUpClient(nullptr, 0);
        }
        ASSERT_EQ(2u, routes().table.size());
        for (const RouteRow &want : {low, high}) {
            bool found = false;
            for (const RouteRow &r : routes().table)
                found = found || (Same(r, want) && r.metric1 == want.metric1 && r.sysProtocol == want.sysProtocol);
            EXPECT_TRUE(found) << want.metric1;
        }
        EXPECT_TRUE(events().empty());
    }
}

// A raised route that the system makes again at its own metric during a
// session (a DHCP client's renewal): the moved copy goes, at the next raise
// as at the restore, and the table is as it was.
TEST(RouteWork, ARouteMadeAgainAtItsOwnMetricTakesThePlaceOfItsMovedCopy)
{
    const RouteRow own = Row("0.0.0.0", "0.0.0.0", "192.168.1.1", ETH, 0);
    const RouteRow backup = Row("0.0.0.0", "0.0.0.0", "192.168.2.1", 9, 2);
    for (bool raisedAgain : {false, true}) {
        SCOPED_TRACE(raisedAgain ? "raised again before the restore" : "restored");
        Scope scope;
        ROUTE_SetSystem(MetricKeyedBackend());
        routes().metricKeyed = true;
        routes().table = {own, backup};
        EXPECT_EQ(0u, ROUTE_RaiseMetric(0));
        routes().table.push_back(own);  // made again at 0
        Calls();
        if (raisedAgain) {
            EXPECT_EQ(0u, ROUTE_RaiseMetric(0));
            EXPECT_EQ((std::vector<std::string>{"Delete 0.0.0.0/0.0.0.0 if 7 m 2", "Update 0.0.0.0/0.0.0.0 if 7 m 2"}),
                      Calls());
            EXPECT_EQ(2u, Count(ROUTE_RaisedMetricRoutes()));  // no second record of it
            EXPECT_EQ(2u, routes().table.size());
        }
        EXPECT_EQ(0u, ROUTE_RestoreMetrics());
        ASSERT_EQ(2u, routes().table.size());
        for (const RouteRow &want : {own, backup}) {
            bool found = false;
            for (const RouteRow &r : routes().table)
                found = found || (Same(r, want) && r.metric1 == want.metric1);
            EXPECT_TRUE(found) << want.metric1;
        }
        EXPECT_TRUE(events().empty());
        EXPECT_EQ(std::string::npos, ReadLog().find("ERROR"));
    }
}

TEST(RouteWork, RestoreWhileARaisedRouteIsRemovedPutsItBackWithItsOwnMetric)
{
    Scope scope;
    routes().table = {Row("0.0.0.0", "0.0.0.0", "192.168.1.1", ETH, 0)};
    ROUTE_RaiseMetric(0);                 // program start: 0 -> 2
    ROUTE_PrepareInterface(TUN, 1);       // connect: the default goes, saved with 2
    EXPECT_TRUE(routes().table.empty());
    Calls();
    ROUTE_RestoreMetrics();               // program exit, still connected
    EXPECT_TRUE(Calls().empty());         // nothing to update while it is away
    ROUTE_CleanUpRoutes();                // the pipe closes
    EXPECT_EQ(std::vector<std::string>{"Create 0.0.0.0/0.0.0.0 if 7 m 0"}, Calls());
    ASSERT_EQ(1u, routes().table.size());
    EXPECT_EQ(0u, routes().table[0].metric1);
}

TEST(RouteWork, RaiseMetricKeepsNoRecordOfAMoveThatFailed)
{
    Scope scope;
    routes().table = {Row("0.0.0.0", "0.0.0.0", "192.168.1.1", ETH, 0),
                      Row("0.0.0.0", "0.0.0.0", "192.168.2.1", 9, 1)};
    routes().failUpdate = DENIED;
    EXPECT_EQ((uint32_t)DENIED, ROUTE_RaiseMetric(0));
    // The farthest moves first; the tool could not do it either.
    ASSERT_EQ(1u, routes().commands.size());
    EXPECT_EQ("CHANGE 0.0.0.0 MASK 0.0.0.0 192.168.2.1 METRIC 3 IF 9", routes().commands[0]);
    EXPECT_EQ(nullptr, ROUTE_RaisedMetricRoutes());
    EXPECT_EQ(1u, Calls().size());  // later rows are not looked at

    routes().allocsLeft = 0;
    EXPECT_EQ((uint32_t)NO_MEMORY, ROUTE_RaiseMetric(0));
    EXPECT_NE(std::string::npos, ReadLog().find("Unable to allocate backup entry for routing table metric.\r\n"));
}

// A tunnel route that went with the adapter before it is deleted has been
// removed: no error, no event, no route tool.
TEST(RouteWork, ATunnelRouteAlreadyGoneCountsAsRemoved)
{
    Scope scope;
    EXPECT_EQ(0u, ROUTE_AddRoute(TUN, Ip("10.8.0.0"), Ip("255.255.0.0"), Ip("10.0.0.1"), 5));
    routes().table.clear();  // the adapter's reset took it
    events().clear();
    routes().commands.clear();
    EXPECT_EQ(0u, ROUTE_CleanUpRoutes());
    EXPECT_EQ(nullptr, ROUTE_AddedRoutes());
    EXPECT_TRUE(events().empty());
    EXPECT_TRUE(routes().commands.empty());
    std::string log = ReadLog();
    EXPECT_NE(std::string::npos, log.find("Route already gone: Interface: 20, Dest: 10.8.0.0"));
    EXPECT_EQ(std::string::npos, log.find("Unable to"));
}

TEST(RouteWork, TableReadFailuresAreReportedAndReturned)
{
    Scope scope;
    routes().readResult = 1234;
    EXPECT_EQ(1234u, ROUTE_RaiseMetric(0));
    EXPECT_EQ(1234u, ROUTE_PrepareInterface(TUN, 1));
    EXPECT_FALSE(ROUTE_Exists(0, 0, ROUTE_ANY_INTERFACE));
    std::string log = ReadLog();
    EXPECT_NE(std::string::npos, log.find("Unable to execute GetIpForwardTable.\r\n"));
    EXPECT_NE(std::string::npos, log.find("Unable to execute GetIpForwardTable. Error 1234\r\n"));
    ASSERT_FALSE(events().empty());
    EXPECT_EQ("Unable to execute GetIpForwardTable. failed w/err 0x000004d2", events()[0].text);

    events().clear();
    routes().readResult = NO_MEMORY;
    EXPECT_FALSE(ROUTE_Exists(0, 0, TUN));
    ASSERT_FALSE(events().empty());
    EXPECT_EQ("Unable to allocate routing table.", events()[0].text);
}

TEST(RouteWork, ApplyRecreatesAnExistingRouteAndRefusesUnknownOperations)
{
    Scope scope;
    RouteRow r = Row("10.8.0.0", "255.255.0.0", "10.0.0.1", TUN, 5);
    routes().table.push_back(r);
    EXPECT_EQ(0u, ROUTE_Apply(ROUTE_OP_CREATE, &r, false));
    EXPECT_EQ((std::vector<std::string>{"Create 10.8.0.0/255.255.0.0 if 20 m 5",
                                        "Delete 10.8.0.0/255.255.0.0 if 20 m 5",
                                        "Create 10.8.0.0/255.255.0.0 if 20 m 5"}),
              Calls());
    std::string log = ReadLog();
    EXPECT_EQ(1u, Occurrences(log, "Route "));  // the inner delete is quiet
    EXPECT_NE(std::string::npos,
              log.find("Route Create: Interface: 20, Dest: 10.8.0.0, Netmask: 255.255.0.0, Gateway: 10.0.0.1, "
                       "Metric: 5\r\n"));

    EXPECT_EQ((uint32_t)INVALID, ROUTE_Apply(3, &r, false));
    EXPECT_EQ((uint32_t)INVALID, ROUTE_Apply(-1, &r, false));
    EXPECT_TRUE(Calls().empty());
    EXPECT_EQ(log, ReadLog());
}

TEST(RouteWork, ApplyFailureReportsByCodeAndFallsBackToTheRouteTool)
{
    Scope scope;
    RouteRow r = Row("10.8.0.0", "255.255.0.0", "10.0.0.1", TUN, 5);
    struct Case {
        int32_t op;
        uint32_t code;
        const char *event;
        const char *command;
    } cases[] = {
        {ROUTE_OP_DELETE, UNSUPPORTED,
         "Unable to Delete route: Not supported. (Dest: 10.8.0.0, Netmask: 255.255.0.0, Gateway: 10.0.0.1)",
         // Narrowed to the one route: the destination alone names every route to it.
         "DELETE 10.8.0.0 MASK 255.255.0.0 10.0.0.1 IF 20"},
        {ROUTE_OP_UPDATE, INVALID,
         "Unable to Update route: Invalid parameter. (Dest: 10.8.0.0, Netmask: 255.255.0.0, Gateway: 10.0.0.1)",
         "CHANGE 10.8.0.0 MASK 255.255.0.0 10.0.0.1 METRIC 5 IF 20"},
        {ROUTE_OP_CREATE, 31, nullptr, "ADD 10.8.0.0 MASK 255.255.0.0 10.0.0.1 METRIC 5 IF 20"},
    };
    for (const Case &c : cases) {
        events().clear();
        routes().commands.clear();
        routes().failCreate = routes().failDelete = routes().failUpdate = c.code;
        EXPECT_EQ(c.code, ROUTE_Apply(c.op, &r, false));
        ASSERT_EQ(1u, events().size());
        EXPECT_EQ(SVC_EVENT_ERROR, events()[0].type);
        if (c.event)
            EXPECT_EQ(c.event, events()[0].text);
        else
            EXPECT_EQ(0u, events()[0].text.find("Unable to Create route. Error code: 31 ("));
        ASSERT_EQ(1u, routes().commands.size());
        EXPECT_EQ(c.command, routes().commands[0]);
    }
    // Quiet: no event, but the fallback all the same.
    events().clear();
    routes().commands.clear();
    routes().failDelete = DENIED;
    EXPECT_EQ((uint32_t)DENIED, ROUTE_Apply(ROUTE_OP_DELETE, &r, true));
    EXPECT_TRUE(events().empty());
    EXPECT_EQ(1u, routes().commands.size());
}

TEST(RouteWork, NamesAndPrintLine)
{
    struct Case {
        bool type;
        uint32_t value;
        const char *name;
    } cases[] = {{true, 4, "INDIRECT"}, {true, 7, "Unknown(7)"},   {false, 3, "NETMGMT"},
                 {false, 10007, "NT_STATIC_NON_DOD"}, {false, 15, "Unknown(15)"}};
    for (const Case &c : cases) {
        char out[30];
        (c.type ? ROUTE_TypeName : ROUTE_ProtocolName)(c.value, out, sizeof(out));
        EXPECT_STREQ(c.name, out);
    }
    Scope scope;
    RouteRow r = Row("10.8.0.0", "255.255.0.0", "10.0.0.1", 0x1c, 5);
    ROUTE_Print(nullptr);
    ROUTE_Print(&r);
    EXPECT_EQ(" Dest:        10.8.0.0 Mask:     255.255.0.0 Policy: 0x0 NextHop:        10.0.0.1 Index: 0x1c       "
              "Type: INDIRECT Proto:  NETMGMT Metric1: 5\r\n",
              ReadLog());
}

}  // namespace
