#include "service_fakes.h"
#include "link_mtu_cases.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace svcfake;

namespace {

class DispatchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Reset();
        TakeEvents();
        EVENTLOG_SetSink(EventSink);
        StartLog();
        svc = new CSSLService(Ops());
    }
    void TearDown() override
    {
        delete svc;
        LOG_CloseFile();
        EVENTLOG_SetSink(nullptr);
    }
    // Puts one request message (its bytes as given) in the buffer and
    // handles it as the worker does.
    int Handle(const std::string &message)
    {
        memcpy(svc->request, message.data(), message.size());
        svc->requestLength = (uint32_t)message.size();
        svc->reply[0] = '\0';
        svc->replyLength = 0;
        return svc->CMD_Handle();
    }
    std::string Reply(const std::string &request)
    {
        EXPECT_EQ(1, Handle(request + std::string(1, '\0')));
        EXPECT_EQ(strlen(svc->reply) + 1, svc->replyLength);
        return svc->reply;
    }
    CSSLService *svc = nullptr;
};

struct Case {
    const char *request;
    const char *reply;
    const char *call;  // the one operation expected, or "" for none
};

TEST_F(DispatchTest, EveryCommandGetsItsOperationAndReply)
{
    const Case cases[] = {
        {"ClientHello,{AB-CD},0xc", "ClientHello OK", ""},
        {"ROUTE_Init,0xc,0x1", "ROUTE_Init OK", "PrepareInterface(12,1)"},
        {"ROUTE_Add,0xc,0x0000000a,0x000000ff,0x0101a8c0,2", "ROUTE_Add OK",
         "AddRoute(12,0000000a,000000ff,0101a8c0,2)"},
        {"ROUTE_FixDefaultRoute", "ROUTE_FixDefaultRoute OK", "RaiseMetric(00000000)"},
        // An empty field vanishes, as with strtok.
        {"ROUTE_FixRoute,,0x0000000a", "ROUTE_FixRoute OK", "RaiseMetric(0000000a)"},
        {"ROUTE_RestoreRoutes", "ROUTE_RestoreRoutes OK", "RestoreMetrics()"},
        {"ROUTE_RestoreRoutes,1,2,3", "ROUTE_RestoreRoutes OK", "RestoreMetrics()"},
        {"SSL_SetIfaceAddr,{AB-CD},0xc,0x0200000a,0x00ffffff,0x0100000a,1400", "SSL_SetIfaceAddr OK",
         "SetAddress({AB-CD},12,0200000a,00ffffff,0100000a,1400)"},
        {"SSL_RemoveGateway,{AB-CD},0xc,0x0100000a", "SSL_RemoveGateway OK", "DeleteAddress({AB-CD},12,0100000a)"},
        {"SSL_SetDNSIface,{AB-CD},0xc,TRUE,0x08080808,0x0", "SSL_SetDNSIface OK",
         "SetDns({AB-CD},12,1,08080808,00000000)"},
        {"SSL_SetDNSIface,{AB-CD},0xc,false,0x08080808,0x04040404", "SSL_SetDNSIface OK",
         "SetDns({AB-CD},12,0,08080808,04040404)"},
        {"ClientStatus,Established", "ClientStatus OK", ""},
        {"ClientStatus,Failed", "ClientStatus OK", ""},
        {"ClientStatus,Maybe", "ClientStatus FAILED,0x00000000", ""},
        // One hello per connection.
        {"ClientHello,{AB-CD},0x5", "ClientHello FAILED,0x00000057", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.request);
        EXPECT_EQ(c.reply, Reply(c.request));
        std::vector<std::string> got = TakeCalls();
        if (*c.call) {
            ASSERT_EQ(1u, got.size());
            EXPECT_EQ(c.call, got[0]);
        } else {
            EXPECT_TRUE(got.empty());
        }
    }
    std::string log = ReadLog();
    EXPECT_NE(std::string::npos, log.find("COMMAND: ROUTE_Add\r\n"));
    EXPECT_NE(std::string::npos, log.find("\r\nROUTE_Add,0xc,0x0000000a,0x000000ff,0x0101a8c0,2  OK\r\n"));
    EXPECT_NE(std::string::npos, log.find("   Connection established     \r\n"));
    EXPECT_NE(std::string::npos, log.find("      Connection failed       \r\n"));
    // A failure with code 0 is logged with FAILED alone.
    EXPECT_NE(std::string::npos, log.find("\r\nClientStatus,Maybe  FAILED\r\n"));
    std::vector<Event> ev = TakeEvents();
    ASSERT_EQ(4u, ev.size());
    EXPECT_EQ("The Client have established a SSL Connection", ev[0].text);
    EXPECT_EQ("The Client have failed to establish a SSL Connection", ev[1].text);
    EXPECT_EQ("Failed to execute command \"ClientStatus\" with error 0", ev[2].text);
    EXPECT_EQ("Failed to execute command \"ClientHello\" with error 87", ev[3].text);
    for (const Event &e : ev)
        EXPECT_EQ(SVC_EVENT_INFO, e.type);
}

TEST_F(DispatchTest, FailureCarriesTheCodeInReplyEventAndLog)
{
    EXPECT_EQ("ClientHello OK", Reply("ClientHello,{AB-CD},0xc"));
    calls().result = 5;
    EXPECT_EQ("ROUTE_Add FAILED,0x00000005", Reply("ROUTE_Add,0xc,0x0000000a,0x000000ff,0x0101a8c0,2"));
    calls().result = 0x57;
    EXPECT_EQ("SSL_SetIfaceAddr FAILED,0x00000057", Reply("SSL_SetIfaceAddr,{AB-CD},0xc,0x1,0xff,0x0,1400"));
    std::vector<Event> ev = TakeEvents();
    ASSERT_EQ(2u, ev.size());
    EXPECT_EQ("Failed to execute command \"ROUTE_Add\" with error 5", ev[0].text);
    EXPECT_EQ(SVC_EVENT_INFO, ev[0].type);
    std::string expected = std::string("\r\nROUTE_Add,0xc,0x0000000a,0x000000ff,0x0101a8c0,2  FAILED (Error: 5 ") +
                           GetErrorText(5) + ")\r\n";
    EXPECT_NE(std::string::npos, ReadLog().find(expected));
}

TEST_F(DispatchTest, BadRequestsAreUnknownCommands)
{
    const char *bad[] = {
        "ROUTE_Init,0xc",  // a field short
        "ROUTE_Add,1,2,3,4,5,6",
        "SSL_SetIfaceAddr,{X},1,2,3,4",
        "ClientStatus",
        "ROUTE_FixDefaultRoute,0x1",
        "route_init,0xc,0x1",  // commands are case-sensitive
        "",
        ",,,",
    };
    for (const char *request : bad) {
        SCOPED_TRACE(request);
        EXPECT_EQ("Unknown command", Reply(request));
        EXPECT_TRUE(TakeCalls().empty());
    }
    std::string log = ReadLog();
    EXPECT_NE(std::string::npos, log.find("ERROR: Unhandled command from client \"route_init\"\r\n"
                                          "ERROR: Recieved bad data from client.\r\n"));
    EXPECT_EQ(std::string::npos, log.find("Unhandled command from client \"ROUTE_Init\""));
    std::vector<Event> ev = TakeEvents();
    ASSERT_EQ(8u, ev.size());
    for (const Event &e : ev)
        EXPECT_EQ("Recieved bad data from client.", e.text);
}

TEST_F(DispatchTest, ClientHelloKeepsAdapterForTheCleanUpReset)
{
    // Before any hello nothing is reset and nothing is undone.
    EXPECT_EQ("ROUTE_CleanUp FAILED,0x00000057", Reply("ROUTE_CleanUp"));
    EXPECT_EQ("ClientHello OK", Reply("ClientHello,{AB-CD},0x1f"));
    EXPECT_STREQ("{AB-CD}", svc->adapterName);
    EXPECT_EQ(31u, svc->adapterIndex);
    EXPECT_EQ("ROUTE_CleanUp OK", Reply("ROUTE_CleanUp,extra"));
    std::vector<std::string> got = TakeCalls();
    const std::vector<std::string> want = {"ResetAdapter({AB-CD},31)", "CleanUpRoutes()"};
    EXPECT_EQ(want, got);

    // A second hello, whatever it names, leaves the binding as it was.
    EXPECT_EQ("Unknown command", Reply("ClientHello"));
    EXPECT_EQ("ClientHello FAILED,0x00000057", Reply("ClientHello,{EF},0x2"));
    EXPECT_EQ("ClientHello FAILED,0x00000057", Reply("ClientHello," + std::string(300, 'n') + ",0x2"));
    EXPECT_STREQ("{AB-CD}", svc->adapterName);
    EXPECT_EQ(31u, svc->adapterIndex);
    EXPECT_NE(std::string::npos, ReadLog().find("ERROR: ClientHello refused: this connection has made its ClientHello already\r\n"));
    EXPECT_EQ("ROUTE_CleanUp OK", Reply("ROUTE_CleanUp"));
    EXPECT_EQ(want, TakeCalls());

    // On the next connection a hello with an over-long name binds nothing.
    svc->CMD_ResetClient();
    EXPECT_EQ("ClientHello FAILED,0x00000057", Reply("ClientHello," + std::string(300, 'n') + ",0x2"));
    EXPECT_STREQ("", svc->adapterName);
    EXPECT_EQ(0u, svc->adapterIndex);
    EXPECT_EQ("ROUTE_CleanUp FAILED,0x00000057", Reply("ROUTE_CleanUp"));
    EXPECT_TRUE(TakeCalls().empty());
}

TEST_F(DispatchTest, CleanUpResetThatCannotStartEndsTheWorkerWithoutReply)
{
    EXPECT_EQ("ClientHello OK", Reply("ClientHello,{A},0x1"));
    StartLog();  // afresh: the hello's own lines are not the point
    calls().resetResult = 2;
    EXPECT_EQ(0, Handle(std::string("ROUTE_CleanUp") + '\0'));
    EXPECT_EQ(0u, svc->replyLength);
    EXPECT_EQ((std::vector<std::string>{"ResetAdapter({A},1)"}), TakeCalls());  // no route clean-up
    EXPECT_EQ(std::string::npos, ReadLog().find("COMMAND:"));
}

TEST_F(DispatchTest, RequestsAtTheBufferLimit)
{
    // A message that fills the buffer without a NUL is no request.
    std::string full(SVC_REQUEST_MAX, 'A');
    memcpy(full.data(), "ROUTE_RestoreRoutes,", 20);
    EXPECT_EQ(1, Handle(full));
    EXPECT_STREQ("Unknown command", svc->reply);
    EXPECT_TRUE(TakeCalls().empty());

    EXPECT_EQ("ClientHello OK", Reply("ClientHello,{A},0x1"));
    // At most 32 fields are taken: more than 32 still pass an "any" count...
    std::string many = "ROUTE_RestoreRoutes";
    for (int i = 0; i < 40; i++)
        many += ",x";
    EXPECT_EQ("ROUTE_RestoreRoutes OK", Reply(many));
    // ...and a counted command with too many fields is refused.
    std::string add = "ROUTE_Add";
    for (int i = 0; i < 40; i++)
        add += ",1";
    EXPECT_EQ("Unknown command", Reply(add));
}

// Everything a caller could send that the real client never does: refused
// with the failure reply (or "Unknown command" for what is no request), one
// log line, and no operation at all.
TEST_F(DispatchTest, RequestsTheClientNeverSendsAreRefusedAndChangeNothing)
{
    const struct {
        const char *request;
        const char *reply;
        const char *logged;  // a piece of the refusal's log line
    } cases[] = {
        // Bound to the hello's adapter: name and index both.
        {"ROUTE_Init,0xd,0x1", "ROUTE_Init FAILED,0x00000057", "not the adapter of the ClientHello"},
        {"SSL_SetIfaceAddr,{AB-CD},0x5,0x0200000a,0x00ffffff,0x0,1400", "SSL_SetIfaceAddr FAILED,0x00000057", ""},
        {"SSL_SetIfaceAddr,{A},0xc,0x0200000a,0x00ffffff,0x0,1400", "SSL_SetIfaceAddr FAILED,0x00000057", ""},
        {"SSL_RemoveGateway,{AB-CD},0x7,0x0100000a", "SSL_RemoveGateway FAILED,0x00000057", ""},
        {"SSL_SetDNSIface,{AB-CD},0x7,true,0x08080808,0x0", "SSL_SetDNSIface FAILED,0x00000057", ""},
        // Whole-token numbers only.
        {"ROUTE_Init,0xc ,0x1", "ROUTE_Init FAILED,0x00000057", ""},
        {"ROUTE_Init,0xc,0x2", "ROUTE_Init FAILED,0x00000057", "neither 0x0 nor 0x1"},
        {"ROUTE_Init,0xc,1", "ROUTE_Init FAILED,0x00000057", ""},
        {"ROUTE_Add,0xc,0x0000000a,0x000000ff,0x0101a8c0,-2", "ROUTE_Add FAILED,0x00000057", "no number"},
        {"ROUTE_Add,0xc,0x0000000a,0x000000ff,0x0101a8c0,2x", "ROUTE_Add FAILED,0x00000057", ""},
        {"ROUTE_Add,0xc,0x0000000a,0x000000ff,0x0101a8c0,99999999999", "ROUTE_Add FAILED,0x00000057", ""},
        {"ROUTE_Add,0x1000000000c,0x0000000a,0x000000ff,0x0101a8c0,2", "ROUTE_Add FAILED,0x00000057", ""},
        {"ROUTE_Add,0xc,0x0000000a,0x000000ff,0x0101a8c0g,2", "ROUTE_Add FAILED,0x00000057", ""},
        // Masks and values.
        {"ROUTE_Add,0xc,0x0000000a,0x00ff00ff,0x0101a8c0,2", "ROUTE_Add FAILED,0x00000057", "no prefix"},
        {"ROUTE_Add,0xc,0x0100000a,0x000000ff,0x0101a8c0,2", "ROUTE_Add FAILED,0x00000057", "no prefix"},
        {"ROUTE_Add,0xc,0x0000000a,0x000000ff,0x0101a8c0,0", "ROUTE_Add FAILED,0x00000057", "1 to 9999"},
        {"ROUTE_Add,0xc,0x0000000a,0x000000ff,0x0101a8c0,10000", "ROUTE_Add FAILED,0x00000057", ""},
        {"ROUTE_Add,0xc,0x0000000a,0x000000ff,0x010000e0,2", "ROUTE_Add FAILED,0x00000057", "next hop"},
        {"SSL_SetIfaceAddr,{AB-CD},0xc,0x00000000,0x00ffffff,0x0,1400", "SSL_SetIfaceAddr FAILED,0x00000057", ""},
        {"SSL_SetIfaceAddr,{AB-CD},0xc,0xffffffff,0x00ffffff,0x0,1400", "SSL_SetIfaceAddr FAILED,0x00000057", ""},
        {"SSL_SetIfaceAddr,{AB-CD},0xc,0x010000e0,0x00ffffff,0x0,1400", "SSL_SetIfaceAddr FAILED,0x00000057", ""},
        {"SSL_SetIfaceAddr,{AB-CD},0xc,0x0200000a,0x00ff00ff,0x0,1400", "SSL_SetIfaceAddr FAILED,0x00000057", ""},
        {"SSL_SetDNSIface,{AB-CD},0xc,yes,0x08080808,0x0", "SSL_SetDNSIface FAILED,0x00000057", "true nor false"},
        {"SSL_SetDNSIface,{AB-CD},0xc,true,0xffffffff,0x0", "SSL_SetDNSIface FAILED,0x00000057", "DNS server"},
        {"SSL_SetDNSIface,{AB-CD},0xc,true,0x08080808,0x010000e0", "SSL_SetDNSIface FAILED,0x00000057", ""},
        {"SSL_RemoveGateway,{AB-CD},0xc,0x00000000", "SSL_RemoveGateway FAILED,0x00000057", ""},
        // Off the tunnel: only the host route through the interface's gateway.
        {"ROUTE_Add,0x7,0x0000000a,0x000000ff,0x0101a8c0,2", "ROUTE_Add FAILED,0x00000057", "only a host route"},
        {"ROUTE_Add,0x7,0x04030201,0xffffffff,0x0201a8c0,2", "ROUTE_Add FAILED,0x00000057", "next hop"},
        {"ROUTE_Add,0x8,0x04030201,0xffffffff,0x0101a8c0,2", "ROUTE_Add FAILED,0x00000057", "that interface"},
        // Unknown commands and wrong field counts stay "Unknown command".
        {"ROUTE_Add,0xc,0x0000000a,0x000000ff,0x0101a8c0", "Unknown command", "bad data"},
        {"ROUTE_Delete,0xc", "Unknown command", "Unhandled command"},
        {"ClientHello,{AB-CD},0xc,extra", "Unknown command", ""},
    };
    EXPECT_EQ("ClientHello OK", Reply("ClientHello,{AB-CD},0xc"));
    StartLog();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.request);
        EXPECT_EQ(c.reply, Reply(c.request));
        EXPECT_TRUE(TakeCalls().empty());
        std::string log = ReadLog();
        if (*c.logged) {
            EXPECT_NE(std::string::npos, log.find(c.logged)) << log;
        }
        StartLog();
    }
    // The binding survived every refusal: the client's own requests still work.
    EXPECT_EQ("ROUTE_Init OK", Reply("ROUTE_Init,0xc,0x0"));
}

// Every MTU the PPP engine can produce from the MRUs is set; nothing else is.
TEST_F(DispatchTest, AdapterMtuBoundIsTheLinkMtuBound)
{
    EXPECT_EQ("ClientHello OK", Reply("ClientHello,{AB-CD},0xc"));
    for (const LinkMtuCase &c : LINK_MTU_CASES) {
        SCOPED_TRACE(c.what);
        StartLog();
        const std::string mtu = std::to_string(c.mtu);
        const std::string reply = Reply("SSL_SetIfaceAddr,{AB-CD},0xc,0x0200000a,0x00ffffff,0x0," + mtu);
        std::vector<std::string> got = TakeCalls();
        if (c.accepted) {
            EXPECT_EQ("SSL_SetIfaceAddr OK", reply) << c.mtu;
            EXPECT_EQ((std::vector<std::string>{"SetAddress({AB-CD},12,0200000a,00ffffff,00000000," + mtu + ")"}), got);
        } else {
            EXPECT_EQ("SSL_SetIfaceAddr FAILED,0x00000057", reply) << c.mtu;
            EXPECT_TRUE(got.empty()) << c.mtu;
            EXPECT_NE(std::string::npos, ReadLog().find("the MTU is not 128 to 65535")) << c.mtu;
        }
    }
}

TEST_F(DispatchTest, CommandsBeforeTheHelloAndHellosOfNoTapAdapterAreRefused)
{
    const char *before[] = {
        "ROUTE_Init,0xc,0x1",          "ROUTE_Add,0xc,0x0000000a,0x000000ff,0x0101a8c0,2",
        "ROUTE_CleanUp",               "ROUTE_FixDefaultRoute",
        "ROUTE_FixRoute,0x0000000a",   "ROUTE_RestoreRoutes",
        "SSL_SetIfaceAddr,{AB-CD},0xc,0x0200000a,0x00ffffff,0x0,1400",
        "SSL_RemoveGateway,{AB-CD},0xc,0x0100000a",
        "SSL_SetDNSIface,{AB-CD},0xc,true,0x08080808,0x0",
        "ClientStatus,Established",
        // A hello naming another interface, a known name on the wrong index,
        // shell words and quotes: none binds.
        "ClientHello,eth0,0x7",        "ClientHello,{AB-CD},0x7",
        "ClientHello,{AB-CD};rm -rf /,0xc", "ClientHello,\"{AB-CD}\",0xc",
        "ClientHello,{AB-CD},-0xc",
        "ROUTE_Init,0xc,0x1",
    };
    for (const char *request : before) {
        SCOPED_TRACE(request);
        std::string command = std::string(request).substr(0, std::string(request).find(','));
        EXPECT_EQ(command + " FAILED,0x00000057", Reply(request));
        EXPECT_TRUE(TakeCalls().empty());
    }
    std::string log = ReadLog();
    EXPECT_NE(std::string::npos, log.find("ERROR: ROUTE_Init refused: no ClientHello on this connection yet\r\n"));
    EXPECT_NE(std::string::npos, log.find("ERROR: ClientHello refused: \"eth0\" with index 7 is no TAP adapter"));
}

TEST_F(DispatchTest, TheHostRouteToTheGatewayAndAtMost64Routes)
{
    EXPECT_EQ("ClientHello OK", Reply("ClientHello,{AB-CD},0xc"));
    // The connection thread's host route: the physical interface, a host
    // mask, that interface's gateway. Sent again, it is the same route.
    const std::string host = "ROUTE_Add,0x7,0x04030201,0xffffffff,0x0101a8c0,2";
    EXPECT_EQ("ROUTE_Add OK", Reply(host));
    EXPECT_EQ("ROUTE_Add OK", Reply(host));
    EXPECT_EQ("ROUTE_Add FAILED,0x00000057", Reply("ROUTE_Add,0x7,0x05030201,0xffffffff,0x0101a8c0,2"));
    EXPECT_EQ(2u, TakeCalls().size());
    // Routes on the adapter up to 64 in all (the host route counts), the
    // same route again as often as the client re-adds it.
    char request[128];
    for (uint32_t i = 1; i <= 63; i++) {
        snprintf(request, sizeof(request), "ROUTE_Add,0xc,0x%08x,0x00ffffff,0x0100000a,2", i << 16 | 10);
        ASSERT_EQ("ROUTE_Add OK", Reply(request)) << i;
    }
    EXPECT_EQ("ROUTE_Add OK", Reply(request));
    EXPECT_EQ("ROUTE_Add FAILED,0x00000057", Reply("ROUTE_Add,0xc,0x0000000b,0x000000ff,0x0100000a,2"));
    EXPECT_EQ(64u, TakeCalls().size());
    EXPECT_NE(std::string::npos, ReadLog().find("ERROR: ROUTE_Add refused: this client has added 64 routes"));
    // The clean-up undoes them, and the client may add its routes again.
    EXPECT_EQ("ROUTE_CleanUp OK", Reply("ROUTE_CleanUp"));
    EXPECT_EQ("ROUTE_Add OK", Reply("ROUTE_Add,0xc,0x0000000b,0x000000ff,0x0100000a,2"));
    EXPECT_EQ("ROUTE_Add OK", Reply("ROUTE_Add,0x7,0x05030201,0xffffffff,0x0101a8c0,2"));
}

// A second hello must not start the count afresh: the routes of one
// connection stay at 64, and the clean-up knows every one of them.
TEST_F(DispatchTest, ASecondHelloKeepsTheRouteCount)
{
    EXPECT_EQ("ClientHello OK", Reply("ClientHello,{AB-CD},0xc"));
    char request[128];
    for (uint32_t i = 1; i <= 64; i++) {
        snprintf(request, sizeof(request), "ROUTE_Add,0xc,0x%08x,0x00ffffff,0x0100000a,2", i << 16 | 10);
        ASSERT_EQ("ROUTE_Add OK", Reply(request)) << i;
    }
    EXPECT_EQ("ClientHello FAILED,0x00000057", Reply("ClientHello,{AB-CD},0xc"));
    EXPECT_EQ(64u, svc->routeCount);
    for (uint32_t i = 65; i <= 70; i++) {
        snprintf(request, sizeof(request), "ROUTE_Add,0xc,0x%08x,0x00ffffff,0x0100000a,2", i << 16 | 10);
        EXPECT_EQ("ROUTE_Add FAILED,0x00000057", Reply(request)) << i;
    }
    EXPECT_EQ(64u, TakeCalls().size());
    // The binding holds: the clean-up resets the hello's adapter.
    EXPECT_EQ("ROUTE_CleanUp OK", Reply("ROUTE_CleanUp"));
    EXPECT_EQ((std::vector<std::string>{"ResetAdapter({AB-CD},12)", "CleanUpRoutes()"}), TakeCalls());
}

// The one route that may leave by another interface than the adapter: the
// host route to the VPN gateway, the way the host reaches it now. Each row
// is one host (its table, the default routes a full tunnel removed) and one
// request on a fresh connection. The fake host: interface 7 with
// 192.168.1.10/24 and a default route via 192.168.1.1, the adapter 12.
TEST_F(DispatchTest, TheOffTunnelHostRouteFollowsTheRouteTheGatewayTakes)
{
    const struct {
        const char *what;
        void (*host)(Calls &c);  // changes to the fake host, or null
        const char *request;     // ROUTE_Add, after the command name
        const char *logged;      // "" when the route is made
    } rows[] = {
        {"through the interface's default gateway", nullptr, "0x7,0x04030201,0xffffffff,0x0101a8c0,2", ""},
        {"on-link uplink: a /32 address and a default route without a gateway",
         [](Calls &c) {
             c.table = {Row("0.0.0.0", "0.0.0.0", "0.0.0.0", 7)};
             c.local = {Row("100.64.0.5", "0.0.0.0", "0.0.0.0", 7).destination};
         },
         "0x7,0x04030201,0xffffffff,0x00000000,2", ""},
        {"on-link uplink as the Windows table shows it: the interface's address as the next hop",
         [](Calls &c) { c.table = {Row("0.0.0.0", "0.0.0.0", "100.64.0.5", 7, 0, ROUTE_TYPE_DIRECT)}; },
         "0x7,0x04030201,0xffffffff,0x00000000,2", ""},
        {"on-link uplink: a next hop the route does not have",
         [](Calls &c) { c.table = {Row("0.0.0.0", "0.0.0.0", "0.0.0.0", 7)}; },
         "0x7,0x04030201,0xffffffff,0x0101a8c0,2", "the next hop is not that of the route"},
        {"a gateway reached by an interface without a default route",
         [](Calls &c) { c.table.push_back(Row("1.2.3.0", "255.255.255.0", "172.16.0.1", 9)); },
         "0x9,0x04030201,0xffffffff,0x010010ac,2", ""},
        {"several default routes: the one with the lowest metric",
         [](Calls &c) { c.table.push_back(Row("0.0.0.0", "0.0.0.0", "172.16.0.1", 9, 5)); },
         "0x7,0x04030201,0xffffffff,0x0101a8c0,2", ""},
        // The raise for the tunnel may have turned the metrics round.
        {"several default routes: another of them",
         [](Calls &c) { c.table.push_back(Row("0.0.0.0", "0.0.0.0", "172.16.0.1", 9, 5)); },
         "0x9,0x04030201,0xffffffff,0x010010ac,2", ""},
        {"several default routes on one interface: a next hop of neither",
         [](Calls &c) { c.table.push_back(Row("0.0.0.0", "0.0.0.0", "192.168.1.2", 7, 5)); },
         "0x7,0x04030201,0xffffffff,0x0301a8c0,2", "the next hop is not that of the route"},
        {"several default routes on one interface: the second",
         [](Calls &c) { c.table.push_back(Row("0.0.0.0", "0.0.0.0", "192.168.1.2", 7, 5)); },
         "0x7,0x04030201,0xffffffff,0x0201a8c0,2", ""},
        {"a default route with a raised metric",
         [](Calls &c) { c.table[0].metric1 = 2; }, "0x7,0x04030201,0xffffffff,0x0101a8c0,2", ""},
        {"full tunnel: the default route removed, the adapter's default in its place",
         [](Calls &c) {
             c.removed = {c.table[0]};
             c.table[0] = Row("0.0.0.0", "0.0.0.0", "10.0.0.1", 12);
         },
         "0x7,0x04030201,0xffffffff,0x0101a8c0,2", ""},
        {"a client route over the gateway's network leaves the adapter out",
         [](Calls &c) { c.table.push_back(Row("1.2.3.0", "255.255.255.0", "10.0.0.1", 12)); },
         "0x7,0x04030201,0xffffffff,0x0101a8c0,2", ""},
        {"the gateway on the interface's own network: no next hop",
         nullptr, "0x7,0x1401a8c0,0xffffffff,0x00000000,2", ""},
        {"no next hop where the route has one", nullptr, "0x7,0x04030201,0xffffffff,0x00000000,2",
         "the next hop is not that of the route"},
        {"a more specific route of another interface holds the destination",
         [](Calls &c) { c.table.push_back(Row("1.2.3.0", "255.255.255.0", "172.16.0.1", 9)); },
         "0x7,0x04030201,0xffffffff,0x0101a8c0,2", "not reached through that interface"},
        {"an unreachable route holds the destination",
         [](Calls &c) { c.table.push_back(Row("1.2.3.0", "255.255.255.0", "0.0.0.0", 0, 0, ROUTE_TYPE_OTHER)); },
         "0x7,0x04030201,0xffffffff,0x0101a8c0,2", "not reached through that interface"},
        {"no route at all", [](Calls &c) { c.table.clear(); }, "0x7,0x04030201,0xffffffff,0x0101a8c0,2",
         "no route of this host"},
        {"loopback", nullptr, "0x7,0x0100007f,0xffffffff,0x0101a8c0,2", "loopback"},
        {"this network", nullptr, "0x7,0x03020100,0xffffffff,0x0101a8c0,2", "this-network"},
        {"link-local", nullptr, "0x7,0x0101fea9,0xffffffff,0x0101a8c0,2", "link-local"},
        {"multicast", nullptr, "0x7,0x050000e0,0xffffffff,0x0101a8c0,2", "multicast"},
        {"broadcast", nullptr, "0x7,0xffffffff,0xffffffff,0x0101a8c0,2", "broadcast"},
        {"an address of this host", nullptr, "0x7,0x0a01a8c0,0xffffffff,0x00000000,2", "address of this host"},
        {"the broadcast address of the host's network", nullptr, "0x7,0xff01a8c0,0xffffffff,0x00000000,2",
         "address of this host"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        ResetHost(calls());
        if (row.host)
            row.host(calls());
        svc->CMD_ResetClient();  // a connection of its own
        ASSERT_EQ("ClientHello OK", Reply("ClientHello,{AB-CD},0xc"));
        StartLog();
        std::string request = std::string("ROUTE_Add,") + row.request;
        std::vector<std::string> got;
        if (*row.logged) {
            EXPECT_EQ("ROUTE_Add FAILED,0x00000057", Reply(request));
            EXPECT_NE(std::string::npos, ReadLog().find(row.logged)) << ReadLog();
            EXPECT_TRUE(TakeCalls().empty());
        } else {
            EXPECT_EQ("ROUTE_Add OK", Reply(request));
            EXPECT_EQ(1u, TakeCalls().size());
        }
    }
}

// The system's own look-up of the host's addresses, as the service asks it.
TEST(ServiceSystemOps, TheHostsOwnAddressesAreLocal)
{
    auto ip = [](const char *text) { return Row(text, "0.0.0.0", "0.0.0.0", 0).destination; };
    EXPECT_TRUE(SVC_SystemOps.IsLocalAddress(ip("127.0.0.1")));
    // Documentation addresses: no host has them.
    EXPECT_FALSE(SVC_SystemOps.IsLocalAddress(ip("203.0.113.77")));
    EXPECT_FALSE(SVC_SystemOps.IsLocalAddress(ip("198.51.100.77")));
}

// The host route judged against the system's own table, as read by the
// service: an address no route but the default holds goes by that route.
TEST(ServiceSystemOps, AHostRouteIsJudgedAgainstTheSystemsTable)
{
    const RouteSys *sys = ROUTE_SystemBackend();
    RouteRow *rows = nullptr;
    uint32_t count = 0;
    ASSERT_EQ(0u, sys->ReadTable(&rows, &count));
    const RouteRow *def = nullptr;
    uint32_t defaults = 0;
    for (uint32_t i = 0; i < count; i++)
        if (rows[i].destination == 0 && rows[i].mask == 0 && rows[i].ifIndex != 0 && defaults++ == 0)
            def = &rows[i];
    RouteRow found = def ? *def : RouteRow{};
    uint32_t doc = 0;
    for (const char *candidate : {"203.0.113.77", "198.51.100.77", "192.0.2.77", "100.100.100.100"}) {
        uint32_t a = Row(candidate, "0.0.0.0", "0.0.0.0", 0).destination;
        bool covered = false;
        for (uint32_t i = 0; i < count; i++)
            covered = covered || (rows[i].mask != 0 && (a & rows[i].mask) == (rows[i].destination & rows[i].mask));
        if (!covered && !doc)
            doc = a;
    }
    sys->FreeTable(rows);
    if (!def || defaults > 1 || !doc)
        GTEST_SKIP() << "this host has no single default route, or no address only it holds";
    EXPECT_EQ(SVC_ROUTE_TAKEN, SVC_SystemOps.JudgeHostRoute(doc, 0, found.ifIndex, found.nextHop));
    EXPECT_EQ(SVC_ROUTE_OTHER_NEXT_HOP,
              SVC_SystemOps.JudgeHostRoute(doc, 0, found.ifIndex, found.nextHop ^ 0x01000000u));
    // With that interface taken for the tunnel's, its routes no longer count.
    EXPECT_NE(SVC_ROUTE_TAKEN, SVC_SystemOps.JudgeHostRoute(doc, found.ifIndex, found.ifIndex, found.nextHop));
}

TEST_F(DispatchTest, MessagesThatAreNoRequestAreUnknownCommands)
{
    EXPECT_EQ("ClientHello OK", Reply("ClientHello,{AB-CD},0xc"));
    StartLog();
    const std::string messages[] = {
        std::string("ROUTE_FixDefaultRoute"),                            // no NUL
        std::string("ROUTE_FixDefaultRoute\0,x", 25) + '\0',             // a NUL inside
        std::string("ROUTE_FixDefaultRoute\r\nCOMMAND: forged") + '\0',  // CR LF
        std::string("ROUTE_FixRoute,0x0000000a\xc3\xa9") + '\0',         // not ASCII
        std::string("ROUTE_RestoreRoutes,") + std::string(SVC_REQUEST_LIMIT, 'x') + '\0',
        std::string(1, '\0'),
    };
    for (const std::string &m : messages) {
        SCOPED_TRACE(m.size());
        EXPECT_EQ(1, Handle(m));
        EXPECT_STREQ("Unknown command", svc->reply);
        EXPECT_TRUE(TakeCalls().empty());
    }
    std::string log = ReadLog();
    EXPECT_EQ(std::string::npos, log.find("forged"));
    EXPECT_NE(std::string::npos, log.find("ERROR: Refused a message of 21 bytes from the client: not ended by its NUL"));
    // A request of the client's longest size passes.
    std::string longest = "ROUTE_RestoreRoutes,";
    longest += std::string(SVC_REQUEST_LIMIT - 1 - longest.size(), 'x');
    EXPECT_EQ("ROUTE_RestoreRoutes OK", Reply(longest));
}

}  // namespace
