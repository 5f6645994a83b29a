#include "service_fakes.h"

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
        {"ROUTE_Init,0xc,0x1", "ROUTE_Init OK", "PrepareInterface(12,1)"},
        {"ROUTE_Add,0xc,0x0000000a,0x000000ff,0x0101a8c0,2", "ROUTE_Add OK",
         "AddRoute(12,0000000a,000000ff,0101a8c0,2)"},
        {"ROUTE_FixDefaultRoute", "ROUTE_FixDefaultRoute OK", "RaiseMetric(00000000)"},
        // An empty field vanishes, as with strtok.
        {"ROUTE_FixRoute,,0x0000000a", "ROUTE_FixRoute OK", "RaiseMetric(0000000a)"},
        {"ROUTE_RestoreRoutes", "ROUTE_RestoreRoutes OK", "RestoreMetrics()"},
        {"ROUTE_RestoreRoutes,1,2,3", "ROUTE_RestoreRoutes OK", "RestoreMetrics()"},
        {"SSL_SetIfaceAddr,{AB-CD},0x12,0x0200000a,0x00ffffff,0x0100000a,1400", "SSL_SetIfaceAddr OK",
         "SetAddress({AB-CD},18,0200000a,00ffffff,0100000a,1400)"},
        {"SSL_RemoveGateway,{AB-CD},0x12,0x0100000a", "SSL_RemoveGateway OK", "DeleteAddress({AB-CD},18,0100000a)"},
        {"SSL_SetDNSIface,{AB-CD},0x12,TRUE,0x08080808,0x0", "SSL_SetDNSIface OK",
         "SetDns({AB-CD},18,1,08080808,00000000)"},
        {"SSL_SetDNSIface,{AB-CD},0x12,false,0x08080808,0x04040404", "SSL_SetDNSIface OK",
         "SetDns({AB-CD},18,0,08080808,04040404)"},
        {"ClientStatus,Established", "ClientStatus OK", ""},
        {"ClientStatus,Failed", "ClientStatus OK", ""},
        {"ClientStatus,Maybe", "ClientStatus FAILED,0x00000000", ""},
        {"ClientHello,{AB-CD},0x5", "ClientHello OK", ""},
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
    ASSERT_EQ(3u, ev.size());
    EXPECT_EQ("The Client have established a SSL Connection", ev[0].text);
    EXPECT_EQ("The Client have failed to establish a SSL Connection", ev[1].text);
    EXPECT_EQ("Failed to execute command \"ClientStatus\" with error 0", ev[2].text);
    for (const Event &e : ev)
        EXPECT_EQ(SVC_EVENT_INFO, e.type);
}

TEST_F(DispatchTest, FailureCarriesTheCodeInReplyEventAndLog)
{
    calls().result = 5;
    EXPECT_EQ("ROUTE_Add FAILED,0x00000005", Reply("ROUTE_Add,0xc,0x0000000a,0x000000ff,0x0101a8c0,2"));
    calls().result = 0x57;
    EXPECT_EQ("SSL_SetIfaceAddr FAILED,0x00000057", Reply("SSL_SetIfaceAddr,{X},0x1,0x1,0x2,0x0,1400"));
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
    EXPECT_EQ("ROUTE_CleanUp OK", Reply("ROUTE_CleanUp"));  // before any hello: empty name, index 0
    EXPECT_EQ("ClientHello OK", Reply("ClientHello,{AB-CD},0x1f"));
    EXPECT_STREQ("{AB-CD}", svc->adapterName);
    EXPECT_EQ(31u, svc->adapterIndex);
    EXPECT_EQ("ROUTE_CleanUp OK", Reply("ROUTE_CleanUp,extra"));
    std::vector<std::string> got = TakeCalls();
    const std::vector<std::string> want = {"ResetAdapter(,0)", "CleanUpRoutes()", "ResetAdapter({AB-CD},31)",
                                           "CleanUpRoutes()"};
    EXPECT_EQ(want, got);

    // A hello without its fields, or with an over-long name.
    EXPECT_EQ("ClientHello OK", Reply("ClientHello"));
    EXPECT_STREQ("", svc->adapterName);
    EXPECT_EQ(0u, svc->adapterIndex);
    EXPECT_EQ("ClientHello OK", Reply("ClientHello," + std::string(300, 'n') + ",0x2"));
    EXPECT_EQ(std::string(SVC_ADAPTER_NAME_MAX - 1, 'n'), svc->adapterName);
    EXPECT_EQ(2u, svc->adapterIndex);
}

TEST_F(DispatchTest, CleanUpResetThatCannotStartEndsTheWorkerWithoutReply)
{
    calls().resetResult = 2;
    EXPECT_EQ(0, Handle(std::string("ROUTE_CleanUp") + '\0'));
    EXPECT_EQ(0u, svc->replyLength);
    EXPECT_EQ((std::vector<std::string>{"ResetAdapter(,0)"}), TakeCalls());  // no route clean-up
    EXPECT_EQ(std::string::npos, ReadLog().find("COMMAND:"));
}

TEST_F(DispatchTest, RequestsAtTheBufferLimit)
{
    // A message that fills the buffer without a NUL is ended at its length.
    std::string full(SVC_REQUEST_MAX, 'A');
    memcpy(full.data(), "ROUTE_RestoreRoutes,", 20);
    EXPECT_EQ(1, Handle(full));
    EXPECT_STREQ("ROUTE_RestoreRoutes OK", svc->reply);
    EXPECT_EQ(1u, TakeCalls().size());

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

}  // namespace
