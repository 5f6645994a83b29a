// The Windows backends, read-only: the route table is read, and arguments
// that must not reach netsh or the route calls are refused before anything
// runs. Nothing here changes a route or an adapter.
#include "iface_config.h"
#include "route_work.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

TEST(RouteWorkWindows, ReadsTheRouteTable)
{
    RouteRow *rows = nullptr;
    uint32_t count = 0;
    ASSERT_EQ(0u, ROUTE_SystemBackend()->ReadTable(&rows, &count));
    ASSERT_NE(nullptr, rows);
    for (uint32_t i = 0; i < count; i++) {
        // Every destination lies inside its own mask.
        EXPECT_EQ(rows[i].destination, rows[i].destination & rows[i].mask) << i;
        EXPECT_TRUE(IFACE_MaskIsPrefix(rows[i].mask)) << i;
    }
    ROUTE_SystemBackend()->FreeTable(rows);
    EXPECT_FALSE(ROUTE_Exists(0x01020304u, 0x01020304u, 1));
}

TEST(RouteWorkWindows, RefusesBadArgumentsWithInvalidParameter)
{
    const uint32_t invalid = 87;  // ERROR_INVALID_PARAMETER
    RouteRow r = {};
    EXPECT_EQ(invalid, ROUTE_Apply(3, &r, false));
    EXPECT_EQ(invalid, IFACE_SetAddress("x\" static 6.6.6.6 255.0.0.0 \"", 5, 0x0200000a, 0x00ffffff, 0, 1400));
    EXPECT_EQ(invalid, IFACE_SetAddress("{GUID}", 5, 0x0200000a, 0x00ff00ff, 0, 1400));
    EXPECT_EQ(invalid, IFACE_SetDns("a\nb", 5, true, 0, 0));
    EXPECT_EQ(invalid, IFACE_DeleteAddress("\"", 5, 0x0200000a));
    // A kept name that cannot be used skips the reset instead of failing it.
    EXPECT_EQ(0u, IFACE_ResetAdapter("\"", 5));
}

}  // namespace

// ---- From Vista on: the interface's metric and the route tool's end ----

#include "netcfg_fakes.h"
#include "svc_process.h"

#include <chrono>

namespace {

using netfake::Ip;

// Interface metrics as Windows gives them once the service has set the
// adapter's: the uplink (index 7) 25, the adapter (index 5) 1.
uint32_t VistaInterfaceMetric(uint32_t index)
{
    return index == 7 ? 25u : 1u;
}

// As Windows does, a route below its interface's metric is refused.
uint32_t VistaCreate(const RouteRow *r)
{
    if (r->metric1 < VistaInterfaceMetric(r->ifIndex)) {
        netfake::routes().calls.push_back(netfake::Describe("Refused", r));
        return netfake::INVALID;
    }
    return netfake::Create(r);
}

struct ToolResult {
    uint32_t started;   // 0, or the error of starting the tool
    uint32_t exitCode;  // SVCPROC_NO_EXIT_CODE: it did not end in time
    bool made = false;  // ... and made the route all the same
};
ToolResult g_tool;

uint32_t ToolToEnd(const char *parameters, uint32_t *exitCode)
{
    netfake::routes().commands.push_back(parameters);
    if (g_tool.made)
        netfake::routes().table.push_back(
            netfake::Row("10.20.0.0", "255.255.0.0", "10.99.0.1", 5, 2, ROUTE_PROTO_NETMGMT, ROUTE_TYPE_INDIRECT));
    *exitCode = g_tool.exitCode;
    return g_tool.started;
}

const RouteSys *VistaBackend()
{
    static RouteSys sys;
    sys = *netfake::RouteBackend();
    sys.Create = VistaCreate;
    sys.RunCommandToEnd = ToolToEnd;
    sys.InterfaceMetric = VistaInterfaceMetric;
    return &sys;
}

TEST(RouteWorkVista, RouteMetricCountsTheInterfaceMetricIn)
{
    const struct {
        const char *what;
        uint32_t index, metric, expected;
    } cases[] = {
        {"host route to the gateway on the uplink", 7, 2, 27},
        {"client route on the adapter", 5, 1, 2},
        {"metric 0 on the uplink", 7, 0, 25},
        {"a metric at the top stays at the top", 7, 0xFFFFFFF0u, 0xFFFFFFFFu},
    };
    for (const auto &c : cases) {
        netfake::Scope scope;
        ROUTE_SetSystem(VistaBackend());
        g_tool = {0, 1};
        EXPECT_EQ(0u, ROUTE_AddRoute(c.index, Ip("198.18.0.1"), Ip("255.255.255.255"), Ip("192.168.1.1"), c.metric))
            << c.what;
        ASSERT_EQ(1u, netfake::routes().table.size()) << c.what;
        EXPECT_EQ(c.expected, netfake::routes().table[0].metric1) << c.what;
        EXPECT_TRUE(netfake::routes().commands.empty()) << c.what;
        // Asked again once the route has gone: made again from its record,
        // which is listed once.
        netfake::routes().table.clear();
        EXPECT_EQ(0u, ROUTE_AddRoute(c.index, Ip("198.18.0.1"), Ip("255.255.255.255"), Ip("192.168.1.1"), c.metric))
            << c.what;
        EXPECT_EQ(1u, netfake::Count(ROUTE_AddedRoutes())) << c.what;
        ASSERT_EQ(1u, netfake::routes().table.size()) << c.what;
        EXPECT_EQ(c.expected, netfake::routes().table[0].metric1) << c.what;
    }
}

TEST(RouteWorkVista, RouteToolsEndDecidesAFailedCall)
{
    const struct {
        const char *what;
        ToolResult tool;
        uint32_t expected;
    } cases[] = {
        {"the tool made the route", {0, 0}, 0},
        {"the tool refused too", {0, 1}, netfake::DENIED},
        {"the tool did not end in time", {0, SVCPROC_NO_EXIT_CODE}, netfake::DENIED},
        {"the tool did not end in time, but made the route", {0, SVCPROC_NO_EXIT_CODE, true}, netfake::DENIED},
        {"the tool could not start", {2, SVCPROC_NO_EXIT_CODE}, netfake::DENIED},
    };
    for (const auto &c : cases) {
        netfake::Scope scope;
        ROUTE_SetSystem(VistaBackend());
        g_tool = c.tool;
        netfake::routes().failCreate = netfake::DENIED;
        EXPECT_EQ(c.expected, ROUTE_AddRoute(5, Ip("10.20.0.0"), Ip("255.255.0.0"), Ip("10.99.0.1"), 1)) << c.what;
        ASSERT_EQ(1u, netfake::routes().commands.size()) << c.what;
        // The tool is given the route's own metric: it adds the interface's.
        EXPECT_EQ("ADD 10.20.0.0 MASK 255.255.0.0 10.99.0.1 METRIC 1 IF 5", netfake::routes().commands[0]) << c.what;
        // Listed when the route is there, however it came, so that the
        // clean-up takes it away; a route nobody made leaves nothing to undo.
        const bool there = c.expected == 0 || c.tool.made;
        EXPECT_EQ(there ? 1u : 0u, netfake::Count(ROUTE_AddedRoutes())) << c.what;
    }
}

// The real process call: its exit code comes back, and a program still
// running after its time is stopped before the call returns.
TEST(RouteWorkWindows, RunsAToolToItsEnd)
{
    uint32_t exitCode = 0;
    EXPECT_EQ(0u, SVCPROC_RunHidden("cmd", "/c exit 3", 10000, &exitCode));
    EXPECT_EQ(3u, exitCode);
    EXPECT_EQ(0u, SVCPROC_RunHidden("cmd", "/c exit 0", 10000, &exitCode));
    EXPECT_EQ(0u, exitCode);

    EXPECT_NE(0u, SVCPROC_RunHidden("C:\\no-such-folder\\tool.exe", "", 10000, &exitCode));
    EXPECT_EQ(SVCPROC_NO_EXIT_CODE, exitCode);

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(0u, SVCPROC_RunHidden("cmd", "/c for /l %i in (1,1,2000000000) do rem", 500, &exitCode));
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_EQ(SVCPROC_NO_EXIT_CODE, exitCode);
    EXPECT_LT(took.count(), 8000);
}

}  // namespace

// ---- The adapter's own interface metric: noted before the change, put back
// when the client goes and by a successor ----

#include "svc_state.h"

#include <string>
#include <vector>

namespace {

using netfake::ifaces;

// One session's preparation and end: what the undo file said between them,
// and what was put back.
TEST(RouteWorkWindows, TheAdaptersOwnMetricIsPutBackWhenTheClientGoes)
{
    const struct {
        const char *what;
        uint32_t ownMetric;
        bool ownAutomatic;
        uint32_t getResult;
        bool legacy;
        int prepares;
        std::string noted;  // "index metric automatic", "" when nothing
        std::vector<std::string> puts;
    } rows[] = {
        {"the system chose the metric", 25, true, 0, false, 1, "20 25 1", {"20 25 1"}},
        {"a metric of the user's", 5, false, 0, false, 1, "20 5 0", {"20 5 0"}},
        {"prepared twice: the first settings hold", 40, true, 0, false, 2, "20 40 1", {"20 40 1"}},
        {"the settings cannot be read", 25, true, 1168, false, 1, "", {}},
        {"a system without interface metrics", 25, true, 0, true, 1, "", {}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        netfake::Scope scope;
        STATE_Clear();
        ifaces().ownMetric = row.ownMetric;
        ifaces().ownAutomatic = row.ownAutomatic;
        ifaces().getMetricResult = row.getResult;
        ifaces().legacy = row.legacy;
        for (int i = 0; i < row.prepares; i++) {
            ROUTE_PrepareInterface(20, 0);
            ifaces().ownMetric = 1;  // as the service set it
            ifaces().ownAutomatic = false;
        }
        StateContent c;
        STATE_Load(&c);
        std::string noted = c.haveMetric ? std::to_string(c.metricIndex) + " " + std::to_string(c.metric) + " " +
                                               (c.automaticMetric ? "1" : "0")
                                         : "";
        EXPECT_EQ(row.noted, noted) << "in the undo file before the change";
        EXPECT_TRUE(ifaces().metricPuts.empty());
        ROUTE_CleanUpClient(nullptr, 0);
        EXPECT_EQ(row.puts, ifaces().metricPuts);
        ifaces().metricPuts.clear();
        ROUTE_CleanUpClient(nullptr, 0);
        EXPECT_TRUE(ifaces().metricPuts.empty()) << "put back once";
    }
}

uint32_t g_findResult;
uint32_t FindAt22(const char *, uint32_t, uint32_t *today)
{
    *today = 22;
    return g_findResult;
}

// A successor puts the settings back from the file: on the file's TAP
// adapter at its index today, also after a restart (the settings last);
// without an adapter in the file only within the boot.
TEST(RouteWorkWindows, ASuccessorPutsTheAdaptersOwnMetricBack)
{
    char boot[64];
    STATESYS_Boot(boot, sizeof(boot));
    const std::string thisBoot = std::string("boot ") + boot + "\n", otherBoot = "boot 0\n";
    const struct {
        const char *what;
        std::string file;
        uint32_t findResult;
        std::vector<std::string> puts;
    } rows[] = {
        {"the TAP adapter, at its index today", thisBoot + "adapter 14 tlxtun\nmetric 14 19 1\n", 0, {"22 25 1"}},
        {"... after a restart", otherBoot + "adapter 14 tlxtun\nmetric 14 5 0\n", 0, {"22 5 0"}},
        {"an adapter that is no TAP adapter now", thisBoot + "adapter 14 tlxtun\nmetric 14 19 1\n", 1168, {}},
        {"settings of another adapter than the file's", thisBoot + "adapter 14 tlxtun\nmetric 9 19 1\n", 0, {}},
        {"no adapter in the file: the index within the boot", thisBoot + "metric 9 30 0\n", 0, {"9 48 0"}},
        {"no adapter in the file, after a restart", otherBoot + "metric 9 30 0\n", 0, {}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        netfake::Scope scope;
        STATE_Clear();
        g_findResult = row.findResult;
        // The metric the line names is the one put back, not today's.
        ifaces().ownMetric = 1;
        ifaces().ownAutomatic = false;
        const std::string &text = row.file;
        char why[STATE_WHY_MAX];
        ASSERT_EQ(0u, STATESYS_CheckFolder(STATE_Path(), why, sizeof(why))) << why;
        ASSERT_EQ(0u, STATESYS_Write(STATE_Path(), text.data(), text.size()));
        ROUTE_SetAdapterFinder(FindAt22);
        EXPECT_EQ(0u, ROUTE_RecoverState());
        ROUTE_SetAdapterFinder(nullptr);
        // The file's fields are hex: 0x19 is 25, 0x30 is 48.
        EXPECT_EQ(row.puts, ifaces().metricPuts);
        StateContent left;
        EXPECT_EQ(0, STATE_Load(&left)) << "the file goes once it has been dealt with";
    }
}

}  // namespace
