// The undo file's reader and what the recovery makes of each entry: only
// whole lines the service writes are read, and each entry is checked as a
// caller's request would be before anything is undone.
#include "netcfg_fakes.h"
#include "svc_state.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using namespace netfake;

namespace {

const uint32_t TUN = 20, ETH = 7;

std::string Line(const char *kind, const RouteRow &r)
{
    char line[256];
    snprintf(line, sizeof(line),
             "%s %" PRIx32 " %" PRIx32 " %" PRIx32 " %" PRIx32 " %" PRIx32 " %" PRIx32 " %" PRIx32 " %" PRIx32
             " %" PRIx32 " %" PRIx32 " %" PRIx32 " %" PRIx32 " %" PRIx32 " %" PRIx32 " %" PRIx32 "\n",
             kind, r.destination, r.mask, r.policy, r.nextHop, r.ifIndex, r.type, r.protocol, r.age, r.nextHopAS,
             r.metric1, r.metric2, r.metric3, r.metric4, r.metric5, r.sysProtocol);
    return line;
}

const RouteRow kTunnelNet = Row("10.8.0.0", "255.255.0.0", "10.0.0.1", TUN, 5);
const RouteRow kHostRoute = Row("203.0.113.9", "255.255.255.255", "198.51.100.1", ETH, 2);
const RouteRow kEthDefault = Row("0.0.0.0", "0.0.0.0", "198.51.100.1", ETH, 0);
// The main table, scope global, unicast; source 198.51.100.2; metrics lock
// (the MTU's), MTU 1400, advertised MSS 1360, initial window 10; no hops.
const std::string kDetail = "detail fe 0 1 0 26433c6 0 1106 4 578 550 a 0\n";
// Over two next hops, the second on link and of weight 3.
const std::string kMultipathDetail = "detail fe 0 1 0 0 0 0 2 16433c6 7 0 0 100000a 9 2 4\n";

RouteDetail Detail()
{
    RouteDetail d = {};
    d.present = 1;
    d.table = 254;
    d.type = 1;
    d.source = Ip("198.51.100.2");
    d.metricsSet = 1u << 1 | 1u << 2 | 1u << 8 | 1u << 12;
    d.metrics[1] = 1u << 2;
    d.metrics[2] = 1400;
    d.metrics[8] = 1360;
    d.metrics[12] = 10;
    return d;
}

TEST(StateParse, OnlyWholeLinesOfTheServicesOwnAreRead)
{
    const std::string route = Line("added", kTunnelNet);
    const std::string longTail = std::string(STATE_LINE_MAX - 1, 'A') + route;  // a reader that split it took the tail
    const struct {
        std::string text;
        bool ok;
        const char *why;
    } rows[] = {
        {"", true, ""},
        {"boot 6f1c2e4a-1b2c-4d5e-8f90-a1b2c3d4e5f6\nadapter 14 tlxtun\n" + route + Line("removed", kEthDefault) +
             Line("raised", kEthDefault),
         true, ""},
        {"adapter 14 {4D36E972-E325-11CE-BFC1-08002BE10318}\r\n", true, ""},
        {route.substr(0, route.size() - 1), false, "line 1 has no end"},
        {longTail, false, "line 1 is longer than any entry"},
        {"adapter 14 tlxtun\n" + std::string(5000, 'x') + "\n", false, "line 2 is longer than any entry"},
        {"garbage\n", false, "line 1 is no entry"},
        {route + "added 1 2 3\n", false, "line 2 is no entry"},
        {route.substr(0, route.size() - 1) + " 5\n", false, "line 1 is no entry"},
        {"added 100000000" + route.substr(route.find(' ', 6)), false, "line 1 is no entry"},
        {"added  1" + route.substr(route.find(' ', 6)), false, "line 1 is no entry"},
        {"added -1" + route.substr(route.find(' ', 6)), false, "line 1 is no entry"},
        {"adapter 14 tl\x01x\n", false, "line 1 is no entry"},
        {"adapter 14 a\nadapter 15 b\n", false, "line 2 is no entry"},
        {"adapter 14\n", false, "line 1 is no entry"},
        {"adapter " + std::string(200, 'n') + "\n", false, "line 1 is no entry"},
        {"boot\n", false, "line 1 is no entry"},
        {"boot 1 2\n", false, "line 1 is no entry"},
        {std::string("adapter 14 tl\0x\n", 16), false, "line 1 holds a NUL"},
        // What the system held of a removed route: only right after it, once,
        // in the writer's own form.
        {Line("removed", kEthDefault) + kDetail, true, ""},
        {Line("removed", kEthDefault) + kMultipathDetail + Line("removed", kEthDefault), true, ""},
        {kDetail, false, "line 1 is no entry"},
        {route + kDetail, false, "line 2 is no entry"},
        {Line("raised", kEthDefault) + kDetail, false, "line 2 is no entry"},
        {Line("removed", kEthDefault) + kDetail + kDetail, false, "line 3 is no entry"},
        {Line("removed", kEthDefault) + "adapter 14 tlxtun\n" + kDetail, false, "line 3 is no entry"},
        {Line("removed", kEthDefault) + "detail fe 0 1 0 0 0 4 578\n", false, "line 2 is no entry"},
        {Line("removed", kEthDefault) + "detail fe 0 1 0 0 0 4 578 0 0\n", false, "line 2 is no entry"},
        {Line("removed", kEthDefault) + "detail fe 0 1 0 0 0 100000 1 0\n", false, "line 2 is no entry"},
        {Line("removed", kEthDefault) + "detail fe 0 1 0 0 0 0 9" + [] {
             std::string hops;
             for (int i = 0; i < 9; i++)
                 hops += " 0 1 0 0";
             return hops;
         }() + "\n",
         false, "line 2 is no entry"},
        {Line("removed", kEthDefault) + "detail fe 0 1 0 0 0 0 1 c633641 7 0\n", false, "line 2 is no entry"},
        {Line("removed", kEthDefault) + "detail fe 0 1 0 0 0 0 0 \n", false, "line 2 is no entry"},
        {std::string(STATE_FILE_MAX / 2, '\n') + std::string(STATE_FILE_MAX / 2 + 1, '\n'), false, "larger than"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.text.substr(0, 60));
        StateContent c;
        c.present = true;
        EXPECT_EQ(row.ok ? 1 : 0, STATE_Parse(row.text.data(), row.text.size(), &c));
        EXPECT_EQ(!row.ok, c.refused);
        EXPECT_NE(std::string::npos, std::string(c.why).find(row.why)) << c.why;
        if (!row.ok) {
            EXPECT_FALSE(c.haveAdapter);
            EXPECT_TRUE(c.added.empty() && c.removed.empty() && c.raised.empty());
        }
    }
    StateContent c;
    std::string full = rows[1].text;
    ASSERT_EQ(1, STATE_Parse(full.data(), full.size(), &c));
    EXPECT_STREQ("6f1c2e4a-1b2c-4d5e-8f90-a1b2c3d4e5f6", c.boot);
    EXPECT_STREQ("tlxtun", c.adapterName);
    EXPECT_EQ(0x14u, c.adapterIndex);
    ASSERT_EQ(1u, c.added.size());
    EXPECT_TRUE(Same(kTunnelNet, c.added[0]));
    EXPECT_EQ(5u, c.added[0].metric1);
    EXPECT_EQ(ROUTE_NO_METRIC, c.added[0].metric5);
    ASSERT_EQ(1u, c.removed.size());
    ASSERT_EQ(1u, c.raised.size());
    ASSERT_EQ(1u, c.removedDetail.size());
    EXPECT_EQ(0u, c.removedDetail[0].present) << "a removed row of an older service is known by its row alone";

    const struct {
        std::string detail;
        RouteDetail expected;
    } details[] = {
        {kDetail, Detail()},
        {kMultipathDetail, [] {
             RouteDetail d = {};
             d.present = 1;
             d.table = 254;
             d.type = 1;
             d.hopCount = 2;
             d.hops[0] = {Ip("198.51.100.1"), 7, 0, 0};
             d.hops[1] = {Ip("10.0.0.1"), 9, 2, 4};
             return d;
         }()},
    };
    for (const auto &d : details) {
        SCOPED_TRACE(d.detail);
        std::string text = Line("removed", kEthDefault) + d.detail + Line("removed", kTunnelNet);
        ASSERT_EQ(1, STATE_Parse(text.data(), text.size(), &c));
        ASSERT_EQ(2u, c.removedDetail.size());
        EXPECT_EQ(0, memcmp(&d.expected, &c.removedDetail[0], sizeof(RouteDetail)));
        EXPECT_EQ(0u, c.removedDetail[1].present);
    }
}

// The adapter's own interface metric: one whole line, once, read back as
// the writer wrote it.
TEST(StateParse, TheMetricLineIsReadOnlyWhole)
{
    const struct {
        std::string text;
        bool ok;
        uint32_t index, metric;
        bool automatic;
    } rows[] = {
        {"adapter 14 tlxtun\nmetric 14 19 1\n", true, 0x14, 0x19, true},
        {"metric 9 ffffffff 0\n", true, 9, 0xffffffffu, false},
        {"metric 14 19 2\n", false, 0, 0, false},
        {"metric 14 19\n", false, 0, 0, false},
        {"metric 14 19 1 \n", false, 0, 0, false},
        {"metric 14  19 1\n", false, 0, 0, false},
        {"metric 100000000 19 1\n", false, 0, 0, false},
        {"metric 14 19 1\nmetric 14 19 1\n", false, 0, 0, false},
        {"metrics 14 19 1\n", false, 0, 0, false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.text);
        StateContent c;
        EXPECT_EQ(row.ok ? 1 : 0, STATE_Parse(row.text.data(), row.text.size(), &c));
        EXPECT_EQ(row.ok, c.haveMetric);
        if (row.ok) {
            EXPECT_EQ(row.index, c.metricIndex);
            EXPECT_EQ(row.metric, c.metric);
            EXPECT_EQ(row.automatic, c.automaticMetric);
        }
    }
    Scope scope;
    std::string folder = LogPath() + ".metric";
    STATE_SetPath((folder + "/service.state").c_str());
    STATE_NoteMetric(0x2a, 7, false);
    STATE_NoteMetric(0x2b, 1, true);  // the first noted holds
    StateContent c;
    ASSERT_EQ(1, STATE_Load(&c));
    EXPECT_TRUE(c.haveMetric);
    EXPECT_EQ(0x2au, c.metricIndex);
    EXPECT_EQ(7u, c.metric);
    EXPECT_FALSE(c.automaticMetric);
    STATE_Clear();
    uint32_t index = 0, metric = 0;
    bool automatic = false;
    EXPECT_FALSE(STATE_NotedMetric(&index, &metric, &automatic));
    EXPECT_EQ(0, STATE_Load(&c));
    STATE_SetPath(nullptr);
    remove(folder.c_str());
}

// What the service writes, it reads back as it was.
TEST(StateParse, TheWritersLinesReadBack)
{
    Scope scope;
    std::string folder = LogPath() + ".state";
    STATE_SetPath((folder + "/service.state").c_str());
    STATE_NoteAdapter("tlx\ttun", 0x2a);
    RouteRecord plain = {kTunnelNet, nullptr, {}};
    RouteRecord removed = {kEthDefault, &plain, Detail()}, added = {kHostRoute, nullptr, {}};
    STATE_NoteRoutes(&added, &removed, nullptr);
    StateContent c;
    ASSERT_EQ(1, STATE_Load(&c));
    EXPECT_FALSE(c.refused) << c.why;
    EXPECT_TRUE(STATE_SameBoot(&c));
    EXPECT_STREQ("tlx?tun", c.adapterName);
    EXPECT_EQ(0x2au, c.adapterIndex);
    ASSERT_EQ(1u, c.added.size());
    EXPECT_TRUE(Same(kHostRoute, c.added[0]));
    ASSERT_EQ(2u, c.removed.size());
    EXPECT_TRUE(Same(kEthDefault, c.removed[0]));
    ASSERT_EQ(2u, c.removedDetail.size());
    EXPECT_EQ(0, memcmp(&removed.detail, &c.removedDetail[0], sizeof(RouteDetail)));
    EXPECT_EQ(0u, c.removedDetail[1].present);
    STATE_Clear();
    EXPECT_EQ(0, STATE_Load(&c));
    STATE_SetPath(nullptr);
    remove(folder.c_str());
}

// The writer never writes a file its reader refuses: past the entries'
// bound the lists are not written (the file stays as it was, far below the
// reader's limit), and a shorter list, being what is left to undo, always is.
TEST(StateWrite, TheWriterStaysFarBelowWhatItsReaderTakes)
{
    Scope scope;
    std::string folder = LogPath() + ".state";
    STATE_SetPath((folder + "/service.state").c_str());
    // The longest lines the service writes: every field at eight digits.
    RouteRow wide = Row("255.255.255.255", "255.255.255.255", "255.255.255.255", 0xFFFFFFFFu, 0xFFFFFFFFu);
    wide.policy = wide.age = wide.nextHopAS = wide.sysProtocol = 0xFFFFFFFFu;
    std::vector<RouteRecord> list(STATE_ENTRIES_MAX + 1);
    for (size_t i = 0; i < list.size(); i++)
        list[i] = RouteRecord{wide, i + 1 < list.size() ? &list[i + 1] : nullptr, {}};
    const struct {
        size_t entries;
        uint32_t result;
        size_t onDisk;  // entries the file holds afterwards
    } rows[] = {
        {STATE_ENTRIES_MAX, 0, STATE_ENTRIES_MAX},
        {STATE_ENTRIES_MAX + 1, STATE_FULL, STATE_ENTRIES_MAX},
        {10, 0, 10},
        {STATE_ENTRIES_MAX + 1, STATE_FULL, 10},
    };
    EXPECT_EQ(0u, STATE_NoteAdapter(std::string(127, 'n').c_str(), 0xFFFFFFFFu));
    for (const auto &row : rows) {
        SCOPED_TRACE(row.entries);
        RouteRecord *head = &list[list.size() - row.entries];
        EXPECT_EQ(row.result, STATE_NoteRoutes(nullptr, head, nullptr));
        StateContent c;
        ASSERT_EQ(1, STATE_Load(&c));
        EXPECT_FALSE(c.refused) << c.why;
        EXPECT_EQ(row.onDisk, c.removed.size());
        EXPECT_TRUE(c.haveAdapter);
        std::vector<char> text;
        char why[STATE_WHY_MAX];
        ASSERT_EQ(STATE_READ_OK, STATESYS_Read(STATE_Path(), &text, why, sizeof(why)));
        EXPECT_LT(text.size(), (size_t)STATE_FILE_MAX / 4);
    }
    EXPECT_NE(std::string::npos, ReadLog().find("the most route entries it may (256): the change is not made"));
    STATE_Clear();
    STATE_SetPath(nullptr);
    remove(folder.c_str());
}

// A note that cannot be written leaves what the writer knows as the disk
// has it: the next note writes the whole of it again.
TEST(StateWrite, ANoteThatFailedIsNotTakenForWritten)
{
    Scope scope;
    std::string folder = LogPath() + ".state";
    STATE_SetPath((folder + "/service.state").c_str());
    RouteRecord removed = {kEthDefault, nullptr, {}}, added = {kHostRoute, nullptr, {}};
    STATE_SetUnkept(5, "the lock is not held");
    EXPECT_EQ(5u, STATE_NoteAdapter("tlxtun", 0x2a));
    EXPECT_EQ(5u, STATE_NoteRoutes(&added, &removed, nullptr));
    StateContent c;
    EXPECT_EQ(0, STATE_Load(&c)) << "nothing written";
    char name[32];
    uint32_t index;
    EXPECT_FALSE(STATE_NotedAdapter(name, sizeof(name), &index));
    STATE_SetUnkept(0, nullptr);
    EXPECT_EQ(0u, STATE_NoteRoutes(&added, &removed, nullptr));
    ASSERT_EQ(1, STATE_Load(&c));
    EXPECT_EQ(1u, c.added.size());
    EXPECT_EQ(1u, c.removed.size());
    STATE_Clear();
    STATE_SetPath(nullptr);
    remove(folder.c_str());
}

// A copy that keeps no undo leaves the file it found as it is: a client's
// end must not take away what a service that died left to undo.
TEST(StateWrite, ACopyWithoutUndoLeavesTheFileItFound)
{
    Scope scope;
    std::string folder = LogPath() + ".state";
    STATE_SetPath((folder + "/service.state").c_str());
    RouteRecord removed = {kEthDefault, nullptr, {}}, added = {kHostRoute, nullptr, {}};
    ASSERT_EQ(0u, STATE_NoteRoutes(&added, &removed, nullptr));
    STATE_SetUnkept(5, "the lock is not held");
    STATE_Clear();
    StateContent c;
    ASSERT_EQ(1, STATE_Load(&c)) << "the file found stays";
    EXPECT_EQ(1u, c.added.size());
    EXPECT_EQ(1u, c.removed.size());
    STATE_SetUnkept(0, nullptr);
    STATE_Clear();
    EXPECT_EQ(0, STATE_Load(&c));
    STATE_SetPath(nullptr);
    remove(folder.c_str());
}

struct Finder {
    uint32_t result = 0;
    uint32_t today = TUN;
    std::vector<std::string> asked;
};
Finder &finder()
{
    static Finder f;
    return f;
}
uint32_t FakeFind(const char *name, uint32_t recorded, uint32_t *today)
{
    finder().asked.push_back(std::string(name) + "/" + std::to_string(recorded));
    *today = finder().today;
    return finder().result;
}

// One recovery: the file as the rows say, the table as given; the route
// calls it made, and whether the adapter was reset.
struct Recovered {
    std::vector<std::string> calls;
    bool reset;
    std::string log;
};

Recovered Recover(const std::string &body, bool sameBoot, const std::vector<RouteRow> &table, bool refused)
{
    std::string folder = LogPath() + ".recover";
    std::string path = folder + "/service.state";
    STATE_SetPath(path.c_str());
    char boot[64];
    STATESYS_Boot(boot, sizeof(boot));
    std::string text = std::string("boot ") + (sameBoot ? boot : "0") + "\n" + body;
    EXPECT_EQ(0u, STATESYS_Write(path.c_str(), text.data(), text.size()));
    routes().table = table;
    routes().calls.clear();
    ifaces().commands.clear();
    ROUTE_SetAdapterFinder(FakeFind);
    EXPECT_EQ(0u, ROUTE_RecoverState());
    ROUTE_SetAdapterFinder(nullptr);
    Recovered r = {routes().calls, !ifaces().commands.empty(), ReadLog()};
    StateContent left;
    // A refused file stays for whoever looks into it; the next write replaces it.
    EXPECT_EQ(refused ? 1 : 0, STATE_Load(&left)) << "the file goes once it has been dealt with";
    STATE_Clear();
    STATE_SetPath(nullptr);
    remove(folder.c_str());
    return r;
}

RouteRow OwnAttributes(RouteRow r)
{
    r.policy = 3;
    r.age = 4711;
    r.metric2 = 7;
    r.sysProtocol = 3;
    return r;
}

TEST(StateRecovery, EveryEntryIsCheckedAsALiveRequestWouldBe)
{
    const std::string adapter = "adapter 14 tlxtun\n";
    const RouteRow otherDefault = Row("0.0.0.0", "0.0.0.0", "192.168.9.1", 9, 0);
    const struct {
        const char *name;
        std::string body;
        bool sameBoot;
        uint32_t findResult;
        uint32_t today;
        std::vector<RouteRow> table;
        std::vector<std::string> calls;
        bool reset;
        const char *logged;
    } rows[] = {
        {"a full tunnel comes back whole", adapter + Line("added", kTunnelNet) + Line("added", kHostRoute) +
             Line("removed", kEthDefault) + Line("raised", kEthDefault),
         true, 0, TUN, {kTunnelNet, kHostRoute},
         {"Delete 10.8.0.0/255.255.0.0 if 20 m 5", "Delete 203.0.113.9/255.255.255.255 if 7 m 2",
          "Create 0.0.0.0/0.0.0.0 if 7 m 0"},
         true, "Undoing the changes"},
        {"the adapter is no TAP adapter now: it and its routes are left", adapter + Line("added", kTunnelNet) +
             Line("added", kHostRoute),
         true, 22, TUN, {kTunnelNet, kHostRoute}, {"Delete 203.0.113.9/255.255.255.255 if 7 m 2"}, false,
         "adapter \"tlxtun\" (index 20) is no TAP adapter of this system now (22)"},
        {"the adapter is gone: a host route of its own does not take the host route's place",
         adapter + Line("added", Row("10.99.0.1", "255.255.255.255", "0.0.0.0", TUN, 2)) + Line("added", kHostRoute),
         true, 22, TUN, {Row("10.99.0.1", "255.255.255.255", "0.0.0.0", TUN, 2), kHostRoute},
         {"Delete 203.0.113.9/255.255.255.255 if 7 m 2"}, false, "on the file's adapter, which is no TAP adapter now"},
        {"a host route through a link-local gateway, as a request may ask for it",
         adapter + Line("added", Row("203.0.113.9", "255.255.255.255", "169.254.1.1", ETH, 2)), true, 0, TUN,
         {Row("203.0.113.9", "255.255.255.255", "169.254.1.1", ETH, 2)},
         {"Delete 203.0.113.9/255.255.255.255 if 7 m 2"}, true, "Undoing the changes"},
        {"a route on another interface that is no host route", adapter + Line("added", Row("0.0.0.0", "0.0.0.0",
                                                                                             "198.51.100.1", ETH, 1)),
         true, 0, TUN, {kEthDefault}, {}, true, "neither on the TAP adapter nor the one host route"},
        {"a second host route off the tunnel", adapter + Line("added", kHostRoute) +
             Line("added", Row("203.0.113.10", "255.255.255.255", "198.51.100.1", ETH, 2)),
         true, 0, TUN, {kHostRoute}, {"Delete 203.0.113.9/255.255.255.255 if 7 m 2"}, true,
         "a second host route off the tunnel"},
        {"a host route to a loopback address", adapter + Line("added", Row("127.0.0.1", "255.255.255.255",
                                                                            "198.51.100.1", ETH, 2)),
         true, 0, TUN, {}, {}, true, "nor the one host route"},
        {"a route the service does not make", adapter + Line("added", Row("10.8.0.0", "255.255.0.0", "10.0.0.1",
                                                                           TUN, 5, ROUTE_PROTO_LOCAL)),
         true, 0, TUN, {}, {}, true, "no route of that type and origin"},
        // The legitimate hosts the checks meet: several default routes,
        // routes with attributes of their own, an uplink without a gateway.
        {"several default routes, their own attributes, an on-link uplink", adapter +
             Line("added", Row("198.51.100.77", "255.255.255.255", "0.0.0.0", 9, 2)) +
             Line("removed", kEthDefault) + Line("removed", OwnAttributes(otherDefault)) +
             Line("removed", Row("0.0.0.0", "0.0.0.0", "198.51.100.254", ETH, 10)),
         true, 0, TUN, {Row("198.51.100.77", "255.255.255.255", "0.0.0.0", 9, 2)},
         {"Delete 198.51.100.77/255.255.255.255 if 9 m 2", "Create 0.0.0.0/0.0.0.0 if 7 m 0",
          "Create 0.0.0.0/0.0.0.0 if 9 m 0", "Create 0.0.0.0/0.0.0.0 if 7 m 10"},
         true, "Undoing the changes"},
        {"removed rows that are no other interface's static default", adapter +
             Line("removed", Row("10.0.0.0", "255.0.0.0", "198.51.100.1", ETH, 0)) +
             Line("removed", Row("0.0.0.0", "0.0.0.0", "10.0.0.1", TUN, 0)) +
             Line("removed", Row("0.0.0.0", "0.0.0.0", "198.51.100.1", ETH, 0, ROUTE_PROTO_LOCAL)),
         true, 0, TUN, {}, {}, true, "a default route of the adapter itself"},
        {"raised rows the service did not raise or that are gone", adapter +
             Line("raised", Row("0.0.0.0", "0.0.0.0", "198.51.100.1", ETH, 5)) +
             Line("raised", Row("198.18.0.0", "255.254.0.0", "198.51.100.1", ETH, 0)),
         true, 0, TUN, {Row("0.0.0.0", "0.0.0.0", "198.51.100.1", ETH, 7)}, {}, true, "no such route now"},
        {"a raised route still there gets its metric back", Line("raised", kEthDefault), true, 0, TUN,
         {Row("0.0.0.0", "0.0.0.0", "198.51.100.1", ETH, 2)}, {"Update 0.0.0.0/0.0.0.0 if 7 m 0"}, false, ""},
        {"a backup the raise moved along gets its metric back with the primary",
         Line("raised", kEthDefault) + Line("raised", Row("0.0.0.0", "0.0.0.0", "192.168.9.1", 9, 2)) +
             Line("raised", Row("0.0.0.0", "0.0.0.0", "192.168.9.7", 9, 5)),
         true, 0, TUN,
         {Row("0.0.0.0", "0.0.0.0", "198.51.100.1", ETH, 2), Row("0.0.0.0", "0.0.0.0", "192.168.9.1", 9, 4),
          Row("0.0.0.0", "0.0.0.0", "192.168.9.7", 9, 7)},
         {"Update 0.0.0.0/0.0.0.0 if 7 m 0", "Update 0.0.0.0/0.0.0.0 if 9 m 2"}, false,
         "raised route Dest: 0.0.0.0 Netmask: 0.0.0.0 Gateway: 192.168.9.7 Index: 9: the service raises no route of "
         "that metric"},
        // After a restart of the system: the routes and metrics went with it;
        // only a default route that is still missing is made again, and the
        // adapter found by its GUID is reset with today's index.
        {"a file of an earlier boot", adapter + Line("added", kTunnelNet) + Line("added", kHostRoute) +
             Line("removed", kEthDefault) + Line("removed", otherDefault) + Line("raised", kEthDefault),
         false, 0, 33, {Row("0.0.0.0", "0.0.0.0", "198.51.100.254", ETH, 10), kTunnelNet},
         {"Create 0.0.0.0/0.0.0.0 if 9 m 0"}, true, "the interface has its default route again"},
        {"a file of an earlier boot: a removed route comes back at the metric it had before the raise",
         adapter + Line("added", kTunnelNet) + Line("removed", Row("0.0.0.0", "0.0.0.0", "198.51.100.1", ETH, 2)) +
             Line("raised", kEthDefault) + Line("raised", Row("0.0.0.0", "0.0.0.0", "192.168.9.1", 9, 1)),
         false, 0, 33, {Row("0.0.0.0", "0.0.0.0", "192.168.9.1", 9, 3)}, {"Create 0.0.0.0/0.0.0.0 if 7 m 0"}, true,
         "the system has started since, and the metric went with it"},
        {"a file that is no undo of the service's", "adapter 14 tlxtun\nip route add default via 6.6.6.6\n", true,
         0, TUN, {kTunnelNet}, {}, false, "is refused and nothing of it is undone: line 3 is no entry"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        Scope scope;
        finder() = Finder();
        finder().result = row.findResult;
        finder().today = row.today;
        Recovered r = Recover(row.body, row.sameBoot, row.table, row.logged[0] && strstr(row.logged, "refused"));
        EXPECT_EQ(row.calls, r.calls);
        EXPECT_EQ(row.reset, r.reset);
        EXPECT_NE(std::string::npos, r.log.find(row.logged)) << r.log;
        if (strstr(row.name, "own attributes")) {
            bool kept = false;
            for (const RouteRow &t : routes().table)
                kept = kept || (Same(t, otherDefault) && t.policy == 3 && t.age == 4711 && t.metric2 == 7 &&
                                t.sysProtocol == 3);
            EXPECT_TRUE(kept) << "made again as it was";
        }
        if (row.reset && row.today != TUN) {
            ASSERT_FALSE(ifaces().steps.empty());
            EXPECT_EQ(row.today, ifaces().steps[0].index) << "reset with today's index";
        }
    }
}

// What the system held of a removed route goes back to it before the route
// is made again, and only for an entry the row's own checks let through; a
// detail the system refuses takes its entry with it, never another.
TEST(StateRecovery, ARemovedRoutesDetailGoesBackToTheSystemBeforeItIsMade)
{
    const RouteRow otherDefault = Row("0.0.0.0", "0.0.0.0", "192.168.9.1", 9, 0);
    const std::string recalled = "Recall 0.0.0.0/0.0.0.0 if 7 m 0 src 198.51.100.2";
    const struct {
        const char *name;
        std::string body;
        bool sameBoot;
        bool systemTakesDetails;
        const char *refusal;  // the system's answer to the detail
        std::vector<std::string> calls;
        const char *logged;
    } rows[] = {
        {"handed back, then made", Line("removed", kEthDefault) + kDetail, true, true, nullptr,
         {recalled, "Create 0.0.0.0/0.0.0.0 if 7 m 0"}, "Undoing the changes"},
        {"a removed row alone, as an older service wrote it", Line("removed", kEthDefault), true, true, nullptr,
         {"Create 0.0.0.0/0.0.0.0 if 7 m 0"}, "Undoing the changes"},
        {"refused by the system: its entry goes, the next one is made",
         Line("removed", kEthDefault) + kDetail + Line("removed", otherDefault), true, true, "an MTU out of range",
         {recalled, "Create 0.0.0.0/0.0.0.0 if 9 m 0"},
         "removed route Dest: 0.0.0.0 Netmask: 0.0.0.0 Gateway: 198.51.100.1 Index: 7: an MTU out of range"},
        {"a system that keeps no detail", Line("removed", kEthDefault) + kDetail + Line("removed", otherDefault),
         true, false, nullptr, {"Create 0.0.0.0/0.0.0.0 if 9 m 0"}, "its detail is of no kind this system keeps"},
        {"an entry the row's checks drop hands over nothing",
         Line("removed", Row("10.0.0.0", "255.0.0.0", "198.51.100.1", ETH, 0)) + kDetail, true, true, nullptr, {},
         "no static default route"},
        {"after a restart of the system: handed back and made at the metric before the raise",
         Line("removed", Row("0.0.0.0", "0.0.0.0", "198.51.100.1", ETH, 2)) + kDetail + Line("raised", kEthDefault),
         false, true, nullptr, {"Recall 0.0.0.0/0.0.0.0 if 7 m 0 src 198.51.100.2", "Create 0.0.0.0/0.0.0.0 if 7 m 0"},
         "only missing default routes are made again"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        Scope scope;
        RouteSys withoutDetails = *RouteBackend();
        withoutDetails.Recall = nullptr;
        if (!row.systemTakesDetails)
            ROUTE_SetSystem(&withoutDetails);
        routes().recallFault = row.refusal;
        finder() = Finder();
        Recovered r = Recover(row.body, row.sameBoot, {}, false);
        routes().recallFault = nullptr;
        EXPECT_EQ(row.calls, r.calls);
        EXPECT_NE(std::string::npos, r.log.find(row.logged)) << r.log;
    }
}

// A removed route is described while it is still there: the file holds
// what the system said of it.
TEST(StateRecovery, ARemovedRouteIsDescribedBeforeItGoes)
{
    Scope scope;
    std::string folder = LogPath() + ".describe";
    STATE_SetPath((folder + "/service.state").c_str());
    routes().detail = Detail();
    routes().table = {kEthDefault, kTunnelNet};
    EXPECT_EQ(0u, ROUTE_PrepareInterface(TUN, 1));
    routes().detail = RouteDetail();
    StateContent c;
    ASSERT_EQ(1, STATE_Load(&c));
    ASSERT_EQ(1u, c.removed.size());
    ASSERT_EQ(1u, c.removedDetail.size());
    const RouteDetail expected = Detail();
    EXPECT_EQ(0, memcmp(&expected, &c.removedDetail[0], sizeof(RouteDetail)));
    ROUTE_CleanUpRoutes();
    STATE_Clear();
    STATE_SetPath(nullptr);
    remove(folder.c_str());
}

}  // namespace
