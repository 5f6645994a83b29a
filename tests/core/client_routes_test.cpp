// Client routes against a route-table fixture and a stand-in route service
// that, like the real one, puts the routes it adds into the table.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "client_routes.h"
#include "fake_route_service.h"
#include "ip_address.h"
#include "log_capture.h"
#include "net_tap.h"
#include "net_tap_device.h"
#include "pipe_client.h"
#include "route_service.h"
#include "route_table.h"
#include "str.h"

namespace {

using Clock = std::chrono::steady_clock;

const uint32_t kTapIndex = 7, kLanIndex = 3;

std::string Msg(const std::string &text)
{
    return text + std::string(1, '\0');
}

std::mutex g_lock;
std::vector<ROUTE_TableRow> g_table;

ROUTE_TableResult FixtureTable(ROUTE_TableRow **rows, uint32_t *count, uint32_t *)
{
    std::lock_guard<std::mutex> hold(g_lock);
    *rows = static_cast<ROUTE_TableRow *>(malloc((g_table.size() + 1) * sizeof(ROUTE_TableRow)));
    if (!g_table.empty())
        memcpy(*rows, g_table.data(), g_table.size() * sizeof(ROUTE_TableRow));
    *count = static_cast<uint32_t>(g_table.size());
    return ROUTE_TABLE_OK;
}

void AddRow(uint32_t destination, uint32_t mask, uint32_t ifIndex)
{
    std::lock_guard<std::mutex> hold(g_lock);
    g_table.push_back({destination, mask, 0, ifIndex, 2});
}

// The service's side: ROUTE_Add puts the route into the table, ROUTE_FixRoute
// moves the other interface's route away (its metric goes up), unless told
// to fail.
struct ServiceModel {
    bool failFix = false;
    bool failAdd = false;

    FakeReply operator()(const std::string &request)
    {
        std::string command = FakeCommandOf(request);
        unsigned index = 0, dest = 0, mask = 0, gw = 0, metric = 0;
        if (command == "ROUTE_Add" && !failAdd &&
            sscanf(request.c_str(), "ROUTE_Add,0x%x,0x%x,0x%x,0x%x,%u", &index, &dest, &mask, &gw,
                   &metric) == 5)
            AddRow(SVCPIPE_AddressFromWord(dest), SVCPIPE_AddressFromWord(mask), index);
        else if (command == "ROUTE_Add" || (command == "ROUTE_FixRoute" && failFix))
            return FakeSend(command + " FAILED,0x00000057");
        return FakeOk(request);
    }
};

void RecordState(TUNLEX_Connection *, void *user, TUNLEX_State state, TUNLEX_ErrorKind kind)
{
    static_cast<std::vector<std::pair<int, int>> *>(user)->push_back({state, kind});
}

class ClientRoutes : public ::testing::Test {
protected:
    void SetUp() override
    {
        {
            std::lock_guard<std::mutex> hold(g_lock);
            g_table.clear();
        }
        ROUTE_SetTableReader(FixtureTable);
        TUNLEX_InterfaceInfo info = {};
        info.ifIndex = kTapIndex;
        STR_LCopy(info.adapterName, "{TAP-GUID}", sizeof info.adapterName);
        STR_LCopy(info.description, "TAP-Windows Adapter V9", sizeof info.description);
        tap_ = NETTAP_NewHandle(&info);
        conn_ = TUNLEX_Create();
        ASSERT_TRUE(tap_ && conn_);
        conn_->tap = tap_;
        conn_->netcfg.ServerIP = Ip(10, 8, 0, 1);
        TUNLEX_SetStateCallback(conn_, RecordState, &states_);
    }
    void TearDown() override
    {
        ROUTE_Service_ClosePipe(&pipe_);
        service_.reset();
        ROUTE_SetTableReader(nullptr);
        if (conn_)
            ERRORINFO_Clear(&conn_->error, nullptr, 0);
        delete conn_;
        NETTAP_Free(tap_, nullptr);
    }
    void Serve()
    {
        service_.reset(new FakeRouteService(std::ref(model_)));
        ASSERT_TRUE(service_->Ok());
        pipe_ = ROUTE_Service_OpenPipe();
        ASSERT_NE(pipe_.handle, PIPECLIENT_NONE);
        conn_->routeClient = &pipe_;
    }
    void Route(const char *text, uint32_t network, uint16_t prefix)
    {
        ConfigRoute &r = conn_->config.routes[conn_->config.routeCount++];
        STR_LCopy(r.text, text, sizeof r.text);
        r.network = network;
        r.prefix = prefix;
    }
    std::vector<std::string> Requests() { return service_ ? service_->Requests() : std::vector<std::string>(); }

    ServiceModel model_;
    std::unique_ptr<FakeRouteService> service_;
    ROUTE_PipeHandle pipe_ = {PIPECLIENT_NONE};
    NETTAP_Handle *tap_ = nullptr;
    TUNLEX_Connection *conn_ = nullptr;
    std::vector<std::pair<int, int>> states_;
};

// The connection thread reaches these operations through its table.
const TUNLEX_RouteOps kRouteOps = {
    SSL_Service_TUNLEX_SetAddressIface, SSL_Service_TUNLEX_RemoveGateway,
    SSL_Service_TUNLEX_SetDNSIface,     ROUTE_Service_Init,
    ROUTE_Service_Add,                  ROUTE_Service_CleanUp,
    ROUTE_Service_ClientStatus,         TUNLEX_AddRoutesTimer,
    TUNLEX_CheckRoutes,                 TUNLEX_RouteTimeoutTimer,
};

TEST(ClientRouteMask, PrefixLengthsGiveNetworkOrderMasks)
{
    EXPECT_EQ(TUNLEX_RouteMask(0), 0u);
    EXPECT_EQ(TUNLEX_RouteMask(1), Ip(128, 0, 0, 0));
    EXPECT_EQ(TUNLEX_RouteMask(16), Ip(255, 255, 0, 0));
    EXPECT_EQ(TUNLEX_RouteMask(24), Ip(255, 255, 255, 0));
    EXPECT_EQ(TUNLEX_RouteMask(31), Ip(255, 255, 255, 254));
    EXPECT_EQ(TUNLEX_RouteMask(32), Ip(255, 255, 255, 255));
}

TEST_F(ClientRoutes, WithoutRoutesTheTunnelTakesAllNetsAndNothingIsAdded)
{
    Serve();
    EXPECT_EQ(TUNLEX_AllNets(conn_), 1);
    LogCapture log;
    TUNLEX_AddRoutes(conn_);
    EXPECT_EQ(log.Text(), "");
    Route("10.1.0.0/16", Ip(10, 1, 0, 0), 16);
    EXPECT_EQ(TUNLEX_AllNets(conn_), 0);
    conn_->tap = nullptr;    // no adapter: nothing either
    TUNLEX_AddRoutes(conn_);
    EXPECT_EQ(TUNLEX_CheckRoutes(conn_, nullptr), 0);
    EXPECT_TRUE(Requests().empty());
}

TEST_F(ClientRoutes, OnePassAddsWhatIsMissingAndMovesWhatSitsElsewhere)
{
    Serve();
    Route("10.1.0.0/16", Ip(10, 1, 0, 0), 16);      // missing
    Route("172.16.5.0/24", Ip(172, 16, 5, 0), 24);  // already on the adapter
    Route("192.168.7.0/24", Ip(192, 168, 7, 0), 24); // on the LAN interface
    AddRow(Ip(172, 16, 5, 0), Ip(255, 255, 255, 0), kTapIndex);
    AddRow(Ip(192, 168, 7, 0), Ip(255, 255, 255, 0), kLanIndex);
    AddRow(Ip(10, 1, 0, 0), Ip(255, 255, 255, 0), kTapIndex);   // another mask: not it

    LogCapture log;
    Clock::time_point start = Clock::now();
    TUNLEX_AddRoutes(conn_);
    long long ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_GE(ms, 2 * 300 - 20);    // a pause after each added route only
    EXPECT_EQ(Requests(),
              (std::vector<std::string>{Msg("ROUTE_Add,0x7,0x0000010a,0x0000ffff,0x0100080a,2"),
                                        Msg("ROUTE_FixRoute,0x0007a8c0"),
                                        Msg("ROUTE_Add,0x7,0x0007a8c0,0x00ffffff,0x0100080a,2")}));
    const std::string text = log.Text();
    EXPECT_NE(text.find("Adding route: If: 7, Dest: 10.1.0.0, Netmask: 255.255.0.0, "
                        "Gateway: 10.8.0.1, Metric: 2\r\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("Dest: 172.16.5.0"), std::string::npos);
    EXPECT_TRUE(states_.empty());

    // Everything is there now: a second pass adds nothing and pauses not.
    service_->WaitRequests(3, 1000);
    start = Clock::now();
    kRouteOps.AddRoutes(conn_);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(), 250);
    EXPECT_EQ(Requests().size(), 3u);
    EXPECT_EQ(kRouteOps.CheckRoutes(conn_, nullptr), 1);
}

TEST_F(ClientRoutes, ARouteThatCannotBeMovedEndsTheAttempt)
{
    model_.failFix = true;
    Serve();
    Route("192.168.7.0/24", Ip(192, 168, 7, 0), 24);
    Route("10.1.0.0/16", Ip(10, 1, 0, 0), 16);
    AddRow(Ip(192, 168, 7, 0), Ip(255, 255, 255, 0), kLanIndex);
    TUNLEX_SetState(conn_, TUNLEX_STATE_PPP_UP, TUNLEX_KIND_UNKNOWN);
    TUNLEX_AddRoutes(conn_);
    EXPECT_EQ(Requests(), std::vector<std::string>{Msg("ROUTE_FixRoute,0x0007a8c0")});
    EXPECT_EQ(states_.back(), std::make_pair(int(TUNLEX_STATE_ERROR), int(TUNLEX_KIND_UNKNOWN)));
}

TEST_F(ClientRoutes, AFailedAddIsOnlyAWarningAndTheNextRouteIsTried)
{
    model_.failAdd = true;
    Serve();
    Route("10.1.0.0/16", Ip(10, 1, 0, 0), 16);
    Route("10.2.0.0/16", Ip(10, 2, 0, 0), 16);
    TUNLEX_AddRoutes(conn_);
    EXPECT_EQ(Requests().size(), 2u);
    EXPECT_TRUE(states_.empty());
    EXPECT_EQ(TUNLEX_CheckRoutes(conn_, nullptr), 0);
}

TEST_F(ClientRoutes, AnAbortCutsThePauseShort)
{
    Serve();
    Route("10.1.0.0/16", Ip(10, 1, 0, 0), 16);
    Route("10.2.0.0/16", Ip(10, 2, 0, 0), 16);
    conn_->abortFlag = 1;
    Clock::time_point start = Clock::now();
    TUNLEX_AddRoutes(conn_);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(), 250);
    EXPECT_EQ(Requests().size(), 1u);
}

TEST_F(ClientRoutes, TheCheckWantsEveryRouteOnTheAdapterAndNoDefaultRoute)
{
    Route("10.1.0.0/16", Ip(10, 1, 0, 0), 16);
    Route("10.2.0.0/16", Ip(10, 2, 0, 0), 16);
    struct Step {
        uint32_t destination, mask, ifIndex;    // row added before the check
        int complete;
        const char *log;
    };
    const Step steps[] = {
        {Ip(10, 1, 0, 0), Ip(255, 255, 0, 0), kTapIndex, 0, "Route: Missing route 10.2.0.0/16\r\n"},
        {Ip(10, 2, 0, 0), Ip(255, 255, 0, 0), kLanIndex, 0, "Route: Missing route 10.2.0.0/16\r\n"},
        {Ip(10, 2, 0, 0), Ip(255, 255, 0, 0), kTapIndex, 1, ""},
        {0, 0, kLanIndex, 1, ""},    // the LAN's default route is fine
        {0, 0, kTapIndex, 0, "Route: Default route exists.\r\n"},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.log);
        AddRow(step.destination, step.mask, step.ifIndex);
        ErrorInfo chain = {};
        LogCapture log;
        EXPECT_EQ(TUNLEX_CheckRoutes(conn_, &chain), step.complete);
        const std::string text = log.Text();
        if (step.log[0])
            EXPECT_NE(text.find(step.log), std::string::npos) << text;
        else
            EXPECT_EQ(text.find("Route: "), std::string::npos) << text;
        EXPECT_TRUE(ERRORINFO_IsEmpty(&chain));
    }
}

TEST_F(ClientRoutes, TheTimeOutReportsEachRouteAndEndsTheAttemptOnce)
{
    Route("10.1.0.0/16", Ip(10, 1, 0, 0), 16);
    Route("10.2.0.0/16", Ip(10, 2, 0, 0), 16);
    AddRow(Ip(10, 1, 0, 0), Ip(255, 255, 0, 0), kTapIndex);
    AddRow(0, 0, kTapIndex);
    TUNLEX_SetState(conn_, TUNLEX_STATE_PPP_UP, TUNLEX_KIND_UNKNOWN);
    {
        LogCapture log;
        TUNLEX_RouteTimeout(conn_);
        const std::string text = log.Text();
        const char *const lines[] = {
            "\r\nError: Timeout setting up routes.\r\n\r\n", "Route Status: \r\n",
            "  10.1.0.0/16         : OK\r\n", "  10.2.0.0/16         : Missing\r\n",
            "  0.0.0.0/0           : Invalid\r\n"};
        size_t at = 0;
        for (const char *line : lines) {
            size_t found = text.find(line, at);
            EXPECT_NE(found, std::string::npos) << line << "\n" << text;
            if (found != std::string::npos)
                at = found;
        }
    }
    ASSERT_EQ(states_.size(), 2u);
    EXPECT_EQ(states_.back(), std::make_pair(int(TUNLEX_STATE_ERROR), int(TUNLEX_KIND_ROUTE_TIMEOUT)));

    // Already Error (another reason): only the log.
    TUNLEX_SetState(conn_, TUNLEX_STATE_ERROR, TUNLEX_KIND_PPP_HANDSHAKE);
    TUNLEX_RouteTimeout(conn_);
    EXPECT_EQ(states_.size(), 3u);
    EXPECT_EQ(conn_->kind.load(), TUNLEX_KIND_PPP_HANDSHAKE);
    EXPECT_TRUE(ERRORINFO_IsEmpty(&conn_->error));
}

}  // namespace

namespace {

// A record that named client routes and kept none is not taken as the
// all-nets route: the connection refuses it before anything is asked of the
// route service, and keeps the record it had.
TEST_F(ClientRoutes, ARecordThatKeptNoRouteIsRefusedBeforeTheServiceIsAsked)
{
    Serve();
    const struct {
        const char *name;
        const char *refused;
        uint32_t noRoutes;
        int ok, allNets;
    } rows[] = {
        {"no route named: all nets", "", 0, 1, 1},
        {"every route refused", "\"198.51.100.0/33\"", 0, 0, 0},
        {"every route refused, no-routes", "\"198.51.100.0/33\"", 1, 1, 1},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        memset(&conn_->config, 0, sizeof conn_->config);
        TUNLEX_Config cfg = {};
        strcpy(cfg.server, "gw.example");
        strcpy(cfg.user, "alice");
        strcpy(cfg.refusedRoutes, row.refused);
        cfg.noRoutes = row.noRoutes;
        ErrorInfo chain = {};
        EXPECT_EQ(TUNLEX_SetConfig(conn_, &cfg, &chain), row.ok);
        if (row.ok) {
            EXPECT_EQ(TUNLEX_AllNets(conn_), row.allNets);
        } else {
            EXPECT_STREQ(chain.message,
                         "No client route of the configuration could be taken: \"198.51.100.0/33\"");
            EXPECT_STREQ(conn_->config.server, "");
        }
        ERRORINFO_Clear(&chain, nullptr, 0);
    }
    EXPECT_TRUE(Requests().empty());
}

}  // namespace
