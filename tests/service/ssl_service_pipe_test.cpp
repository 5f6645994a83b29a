// The worker end to end: a real client on the real transport (a socket at a
// private path on Linux, a named pipe of a private name on Windows).
#include "service_fakes.h"
#include "service_pipe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using namespace svcfake;
using Clock = std::chrono::steady_clock;

namespace {

class PipeServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Reset();
        TakeEvents();
        EVENTLOG_SetSink(EventSink);
        SVC_SetStatusSink(StatusSink);
        char address[256];
        SPIPE_TestAddress(address, sizeof(address));
        SPIPE_SetAddress(address);
        StartLog();
        svc = new CSSLService(Ops());
        SVC_Instance = svc;
        svc->OnServiceStart(0, nullptr);  // the worker on the thread pool
    }
    void TearDown() override
    {
        if (!svc->HasStopped())
            svc->DoStop();
        SVC_Instance = nullptr;
        delete svc;
        SPIPE_SetAddress(nullptr);
        LOG_CloseFile();
        EVENTLOG_SetSink(nullptr);
        SVC_SetStatusSink(nullptr);
        statuses().clear();
    }
    // Connects once the worker listens (a busy pipe is not waited for).
    SvcPipeClient *Connect()
    {
        SvcPipeClient *c = nullptr;
        auto until = Clock::now() + std::chrono::seconds(5);
        while (SPIPE_Connect(&c) != 0 && Clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_NE(nullptr, c);
        return c;
    }
    // One request with its NUL; the reply as received, NUL included.
    std::string Call(SvcPipeClient *c, const std::string &request, uint32_t timeoutMs = 5000)
    {
        std::string msg = request + std::string(1, '\0');
        EXPECT_EQ(0u, SPIPE_Send(c, msg.data(), (uint32_t)msg.size()));
        char buf[SVC_REPLY_MAX];
        uint32_t len = 0;
        uint32_t rc = SPIPE_Receive(c, buf, sizeof(buf), &len, timeoutMs);
        if (rc != 0)
            return "<error " + std::to_string(rc) + ">";
        return std::string(buf, len);
    }
    static bool WaitFor(const std::function<bool()> &done, int ms = 5000)
    {
        auto until = Clock::now() + std::chrono::milliseconds(ms);
        while (!done()) {
            if (Clock::now() > until)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }
    CSSLService *svc = nullptr;
};

TEST_F(PipeServerTest, ServesRequestsAndUndoesRoutesWhenTheClientGoes)
{
    SvcPipeClient *c = Connect();
    ASSERT_NE(nullptr, c);
    EXPECT_EQ(std::string("ClientHello OK") + '\0', Call(c, "ClientHello,{AB-CD},0x5"));
    EXPECT_EQ(std::string("ROUTE_Add OK") + '\0', Call(c, "ROUTE_Add,0x5,0x0000000a,0x000000ff,0x0101a8c0,2"));
    EXPECT_EQ(std::string("Unknown command") + '\0', Call(c, "ROUTE_Init,0x5"));
    EXPECT_EQ(0, calls().cleanUps.load());
    SPIPE_Close(c);
    ASSERT_TRUE(WaitFor([] { return calls().cleanUps.load() == 1; }));
    // The whole clean-up, with the adapter of the client's hello.
    std::vector<std::string> gone = TakeCalls();
    EXPECT_NE(gone.end(), std::find(gone.begin(), gone.end(), "CleanUpClient({AB-CD},5)"));

    // The next client is served on the same pipe; the binding was the last
    // client's and went with it.
    c = Connect();
    ASSERT_NE(nullptr, c);
    TakeCalls();
    EXPECT_EQ(std::string("ROUTE_CleanUp FAILED,0x00000057") + '\0', Call(c, "ROUTE_CleanUp"));
    EXPECT_TRUE(TakeCalls().empty());
    EXPECT_EQ(std::string("ClientHello OK") + '\0', Call(c, "ClientHello,{AB-CD},0x5"));
    EXPECT_EQ(std::string("ROUTE_CleanUp OK") + '\0', Call(c, "ROUTE_CleanUp"));
    std::vector<std::string> got = TakeCalls();
    ASSERT_FALSE(got.empty());
    EXPECT_EQ("ResetAdapter({AB-CD},5)", got[0]);
    SPIPE_Close(c);
    ASSERT_TRUE(WaitFor([] { return calls().cleanUps.load() == 3; }));  // the command's and the client's
    std::string log = ReadLog();
    EXPECT_NE(std::string::npos, log.find("----- Waiting for Client ----\r\n"));
    EXPECT_NE(std::string::npos, log.find("----- Waiting for Command ----\r\n"));
    EXPECT_NE(std::string::npos, log.find("NOTICE: Client connection closed, "));
    EXPECT_NE(std::string::npos, log.find("  Client disconnected\r\n"));
}

TEST_F(PipeServerTest, OneClientAtATime)
{
    SvcPipeClient *a = Connect();
    ASSERT_NE(nullptr, a);
    EXPECT_EQ(std::string("ClientHello OK") + '\0', Call(a, "ClientHello,{A},0x1"));

    // A second client either finds the pipe busy or waits unanswered.
    SvcPipeClient *b = nullptr;
    bool busy = SPIPE_Connect(&b) != 0;
    if (!busy) {
        EXPECT_EQ("<error " + std::to_string(SPIPE_TIMEOUT) + ">", Call(b, "ClientHello,{B},0x2", 300));
    }
    EXPECT_EQ(std::string("ROUTE_RestoreRoutes OK") + '\0', Call(a, "ROUTE_RestoreRoutes"));
    SPIPE_Close(a);

    if (busy) {
        b = Connect();
        ASSERT_NE(nullptr, b);
        EXPECT_EQ(std::string("ClientHello OK") + '\0', Call(b, "ClientHello,{B},0x2"));
    } else {
        char buf[64];
        uint32_t len = 0;
        ASSERT_EQ(0u, SPIPE_Receive(b, buf, sizeof(buf), &len, 5000));
        EXPECT_EQ(std::string("ClientHello OK") + '\0', std::string(buf, len));
    }
    EXPECT_STREQ("{B}", svc->adapterName);
    SPIPE_Close(b);
}

TEST_F(PipeServerTest, OverlongRequestIsRefusedAndTheClientStaysServed)
{
    SvcPipeClient *c = Connect();
    ASSERT_NE(nullptr, c);
    for (size_t size : {(size_t)SVC_REQUEST_MAX + 100, (size_t)64 * 1024}) {
        std::string huge(size, 'x');
        ASSERT_EQ(0u, SPIPE_Send(c, huge.data(), (uint32_t)huge.size()));
        char buf[64];
        uint32_t len = 0;
        ASSERT_EQ(0u, SPIPE_Receive(c, buf, sizeof(buf), &len, 5000));
        EXPECT_EQ(std::string("Unknown command") + '\0', std::string(buf, len));
    }
    EXPECT_EQ(std::string("ClientHello OK") + '\0', Call(c, "ClientHello,{AB-CD},0x5"));
    EXPECT_EQ(0, calls().cleanUps.load());
    SPIPE_Close(c);
    ASSERT_TRUE(WaitFor([] { return calls().cleanUps.load() == 1; }));
}

TEST_F(PipeServerTest, StopWhileAClientIsConnectedEndsPromptly)
{
    SvcPipeClient *c = Connect();
    ASSERT_NE(nullptr, c);
    EXPECT_EQ(std::string("ClientHello OK") + '\0', Call(c, "ClientHello,{A},0x1"));
    statuses().clear();
    auto start = Clock::now();
    svc->DoStop();  // the client stays connected and silent
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    EXPECT_TRUE(svc->HasStopped());
    ASSERT_EQ(2u, statuses().size());
    EXPECT_EQ((uint32_t)SVC_STOP_PENDING, statuses()[0].currentState);
    EXPECT_EQ((uint32_t)SVC_STOPPED, statuses()[1].currentState);
    EXPECT_GE(calls().cleanUps.load(), 1);
    char buf[64];
    uint32_t len = 0;
    EXPECT_EQ(SPIPE_CLOSED, SPIPE_Receive(c, buf, sizeof(buf), &len, 2000));
    SPIPE_Close(c);
    bool stopEvent = false;
    for (const Event &e : TakeEvents())
        stopEvent |= e.text == "Quorvanti Vantorelle SSL VPN service stopped";
    EXPECT_TRUE(stopEvent);
}

CSSLService *g_running;

TEST_F(PipeServerTest, StopDuringACommandLetsItFinishButWritesNoReply)
{
    SvcPipeClient *c = Connect();
    ASSERT_NE(nullptr, c);
    EXPECT_EQ(std::string("ClientHello OK") + '\0', Call(c, "ClientHello,{A},0x3"));
    g_running = svc;
    // The command runs until the stop has been signalled.
    calls().duringPrepare = [] {
        while (!g_running->stopping)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    std::string msg = std::string("ROUTE_Init,0x3,0x1") + '\0';
    ASSERT_EQ(0u, SPIPE_Send(c, msg.data(), (uint32_t)msg.size()));
    ASSERT_TRUE(WaitFor([] { return !TakeCalls().empty(); }));
    svc->DoStop();
    EXPECT_TRUE(svc->HasStopped());
    char buf[64];
    uint32_t len = 0;
    EXPECT_EQ(SPIPE_CLOSED, SPIPE_Receive(c, buf, sizeof(buf), &len, 2000));
    EXPECT_NE(std::string::npos, ReadLog().find("ROUTE_Init,0x3,0x1  OK"));  // it did finish
    SPIPE_Close(c);
}

TEST_F(PipeServerTest, StopWhileWaitingForAClientEndsPromptly)
{
    SvcPipeClient *c = Connect();  // the worker is up and listening
    SPIPE_Close(c);
    ASSERT_TRUE(WaitFor([] { return calls().cleanUps.load() == 1; }));
    auto start = Clock::now();
    svc->DoStop();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    EXPECT_TRUE(svc->HasStopped());
    EXPECT_NE(0u, SPIPE_Connect(&c));  // the pipe is gone
}

// A caller that holds the pipe without making its ClientHello is dropped at
// the hello deadline, and the client waiting behind it is served.
TEST_F(PipeServerTest, ACallerWithoutAHelloIsDroppedForTheNextClient)
{
    svc->helloDeadlineMs = 300;
    struct Row {
        const char *name;
        std::vector<std::string> requests;  // sent, each answered, before the caller falls silent
    } const rows[] = {
        {"silent", {}},
        {"only refused requests", {"ROUTE_Init,0x5,0x1", "ClientHello,{AB-CD},0x6"}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        SvcPipeClient *holder = Connect();
        ASSERT_NE(nullptr, holder);
        for (const std::string &request : row.requests)
            EXPECT_NE(std::string::npos, Call(holder, request).find(" FAILED,0x00000057"));
        auto start = Clock::now();
        SvcPipeClient *next = Connect();  // waits while the pipe is busy
        ASSERT_NE(nullptr, next);
        EXPECT_EQ(std::string("ClientHello OK") + '\0', Call(next, "ClientHello,{AB-CD},0x5"));
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
        char buf[64];
        uint32_t len = 0;
        EXPECT_EQ(SPIPE_CLOSED, SPIPE_Receive(holder, buf, sizeof(buf), &len, 2000));
        SPIPE_Close(holder);
        SPIPE_Close(next);
    }
    EXPECT_NE(std::string::npos,
              ReadLog().find("NOTICE: The client made no ClientHello within 300 ms of connecting; its connection is "
                             "ended\r\n"));
}

// A caller that sends and never reads its replies is dropped once a reply
// has waited for it past the reply deadline, with its clean-up, and the
// next client is served.
TEST_F(PipeServerTest, ACallerThatTakesNoReplyIsDroppedAndCleanedUp)
{
    svc->replyDeadlineMs = 500;
    SvcPipeClient *c = Connect();
    ASSERT_NE(nullptr, c);
    EXPECT_EQ(std::string("ClientHello OK") + '\0', Call(c, "ClientHello,{AB-CD},0x5"));
    EXPECT_EQ(std::string("ROUTE_Add OK") + '\0', Call(c, "ROUTE_Add,0x5,0x0000000a,0x000000ff,0x0101a8c0,2"));
    // Requests without end, no reply read; the sends stop once the service
    // has ended the connection.
    std::atomic<int> sent{0};
    std::thread flood([&] {
        const std::string msg = std::string("ClientStatus,Established") + '\0';
        while (sent < 100000 && SPIPE_Send(c, msg.data(), (uint32_t)msg.size()) == 0)
            sent++;
    });
    EXPECT_TRUE(WaitFor([] { return calls().cleanUps.load() == 1; }, 15000));
    SvcPipeClient *next = Connect();
    ASSERT_NE(nullptr, next);
    EXPECT_EQ(std::string("ClientHello OK") + '\0', Call(next, "ClientHello,{AB-CD},0x5"));
    flood.join();
    EXPECT_LT(sent.load(), 100000);
    std::vector<std::string> gone = TakeCalls();
    EXPECT_NE(gone.end(), std::find(gone.begin(), gone.end(), "CleanUpClient({AB-CD},5)"));
    EXPECT_NE(std::string::npos, ReadLog().find("NOTICE: The client took no reply within 500 ms; its connection is "
                                                "ended\r\n"));
    SPIPE_Close(c);
    SPIPE_Close(next);
}

// Neither limit ends a bound client's session, however long it is silent.
TEST_F(PipeServerTest, AnIdleClientOutlivesTheLimits)
{
    svc->helloDeadlineMs = 200;
    svc->replyDeadlineMs = 200;
    SvcPipeClient *c = Connect();
    ASSERT_NE(nullptr, c);
    EXPECT_EQ(std::string("ClientHello OK") + '\0', Call(c, "ClientHello,{AB-CD},0x5"));
    EXPECT_EQ(std::string("ROUTE_Add OK") + '\0', Call(c, "ROUTE_Add,0x5,0x0000000a,0x000000ff,0x0101a8c0,2"));
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_EQ(std::string("ROUTE_RestoreRoutes OK") + '\0', Call(c, "ROUTE_RestoreRoutes"));
    // Its replies are taken late, but taken.
    std::string msg = std::string("ClientStatus,Established") + '\0';
    ASSERT_EQ(0u, SPIPE_Send(c, msg.data(), (uint32_t)msg.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    char buf[64];
    uint32_t len = 0;
    ASSERT_EQ(0u, SPIPE_Receive(c, buf, sizeof(buf), &len, 2000));
    EXPECT_EQ(std::string("ClientStatus OK") + '\0', std::string(buf, len));
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(std::string("ClientStatus OK") + '\0', Call(c, "ClientStatus,Failed"));
    EXPECT_EQ(0, calls().cleanUps.load());
    SPIPE_Close(c);
    ASSERT_TRUE(WaitFor([] { return calls().cleanUps.load() == 1; }));
    EXPECT_EQ(std::string::npos, ReadLog().find("NOTICE: The client"));
}

// A refused request's closing log line carries the refusal's reason, not
// the text of a system error that happens to share its code.
TEST_F(PipeServerTest, ARefusalsLogLineNamesItsReason)
{
    SvcPipeClient *c = Connect();
    ASSERT_NE(nullptr, c);
    struct Row {
        const char *request, *line;
    } const rows[] = {
        {"ROUTE_Init,0x5,0x1", "\r\nROUTE_Init,0x5,0x1  FAILED (refused: no ClientHello on this connection yet)\r\n"},
        {"ClientHello,eth0,0x7", "\r\nClientHello,eth0,0x7  FAILED (refused: \"eth0\" with index 7 is no TAP adapter"},
        {"ClientHello,{AB-CD},0x5", "\r\nClientHello,{AB-CD},0x5  OK\r\n"},
        {"ROUTE_Init,0x6,0x1", "\r\nROUTE_Init,0x6,0x1  FAILED (refused: not the adapter of the ClientHello)\r\n"},
        {"ROUTE_Add,0x5,0x0000000a,0x000000ff,0x0101a8c0,0",
         "\r\nROUTE_Add,0x5,0x0000000a,0x000000ff,0x0101a8c0,0  FAILED (refused: the metric is not 1 to 9999)\r\n"},
    };
    for (const Row &row : rows)
        Call(c, row.request);
    SPIPE_Close(c);
    ASSERT_TRUE(WaitFor([] { return calls().cleanUps.load() == 1; }));
    const std::string log = ReadLog();
    for (const Row &row : rows)
        EXPECT_NE(std::string::npos, log.find(row.line)) << row.line << "\n" << log;
    EXPECT_EQ(std::string::npos, log.find("(Error: 87")) << log;
}

}  // namespace
