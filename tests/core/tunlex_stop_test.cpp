// A disconnect while the connection thread waits for the route service: the
// stand-in service on the real pipe delays every reply by 1.5 s, or never
// answers. The thread sees the abort flag in its wait and ends by itself
// (exit callback called, never stopped forcibly), the disconnect returns
// within 1.1 s, the service still hears "ROUTE_CleanUp", and the late
// replies are read away by the next exchange instead of answering it.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "errorinfo.h"
#include "fake_route_service.h"
#include "net_ssl.h"
#include "net_tcp.h"
#include "pipe_client.h"
#include "route_service.h"
#include "sync.h"
#include "tunlex.h"
#include "tunlex_thread.h"

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::atomic<int> g_exits{0};
std::atomic<uint32_t> g_exitState{99};

void OnExit(TUNLEX_Connection *, void *, TUNLEX_State state, TUNLEX_ErrorKind)
{
    g_exitState = state;
    g_exits++;
}

std::atomic<int> g_media{0};

TUNLEX_InterfaceInfo g_adapter = {};

const TUNLEX_AdapterOps kAdapter = {
    [](const NETTAP_Handle *) -> const TUNLEX_InterfaceInfo * { return &g_adapter; },
    [](NETTAP_Handle *, int) {
        g_media++;
        return 1;
    },
    [](NETTAP_Handle *, uint32_t, uint32_t, ErrorInfo *) { return 1; },
    [](NETTAP_Handle *, PKT_Buffer *) { return 0; },
    [](NETTAP_Handle *) -> PKT_Buffer * { return nullptr; },
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The product's own requests: the clean-up's two go over the pipe.
const TUNLEX_RouteOps kRoutes = {
    SSL_Service_TUNLEX_SetAddressIface, SSL_Service_TUNLEX_RemoveGateway,
    SSL_Service_TUNLEX_SetDNSIface,     ROUTE_Service_Init,
    ROUTE_Service_Add,                  ROUTE_Service_CleanUp,
    ROUTE_Service_ClientStatus,         nullptr,
    nullptr,                            nullptr,
};

size_t Count(const std::vector<std::string> &requests, const std::string &command)
{
    size_t n = 0;
    for (const std::string &r : requests)
        n += FakeCommandOf(r) == command;
    return n;
}

class TunlexStop : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(NETTCP_Init(nullptr), 1);
        // One context for the program, as in the client, which never frees it.
        static TUNLEX_Connection *const conn = TUNLEX_Create();
        conn_ = conn;
        ASSERT_NE(conn_, nullptr);
        TUNLEX_SetExitCallback(conn_, OnExit, nullptr);
        TUNLEX_SetAdapterOps(&kAdapter);
        TUNLEX_SetRouteOps(&kRoutes);
        TUNLEX_SetTap(conn_, reinterpret_cast<NETTAP_Handle *>(&g_adapter), 0);
        g_exits = 0;
        g_exitState = 99;
        g_media = 0;
    }
    void TearDown() override
    {
        TUNLEX_Disconnect(conn_, nullptr);
        ERRORINFO_Clear(&conn_->error, ERRORINFO_AT("test"));
        TUNLEX_SetRouteClient(conn_, nullptr);
        TUNLEX_SetTap(conn_, nullptr, 0);
        TUNLEX_SetAdapterOps(nullptr);
        TUNLEX_SetRouteOps(nullptr);
        ROUTE_Service_ClosePipe(&pipe_);
        service_.reset();
    }
    void Serve(FakeHandler handler)
    {
        service_.reset(new FakeRouteService(handler));
        ASSERT_TRUE(service_->Ok());
        pipe_ = ROUTE_Service_OpenPipe();
        ASSERT_NE(pipe_.handle, PIPECLIENT_NONE);
        TUNLEX_SetRouteClient(conn_, &pipe_);
    }
    // An attempt that fails at once (nothing listens on port 1): the thread
    // then sits in its clean-up, waiting for the reply to "ClientStatus".
    void StartFailingAttempt()
    {
        TUNLEX_Config cfg = {};
        snprintf(cfg.server, sizeof cfg.server, "127.0.0.1");
        snprintf(cfg.user, sizeof cfg.user, "user");
        cfg.port = 1;
        ErrorInfo chain = {};
        ASSERT_EQ(TUNLEX_SetConfig(conn_, &cfg, &chain), 1);
        ASSERT_EQ(TUNLEX_Connect(conn_, &chain), 1);
        ERRORINFO_Clear(&chain, "test", 0);
        ASSERT_TRUE(service_->WaitRequests(1, 5000));
        ASSERT_EQ(service_->Requests()[0], std::string("ClientStatus,Failed", 20));
        RT_SleepMs(200);
        ASSERT_EQ(g_exits.load(), 0) << "the thread should still wait for the service";
    }
    void DisconnectAndCheck()
    {
        Clock::time_point start = Clock::now();
        EXPECT_EQ(TUNLEX_Disconnect(conn_, nullptr), 1);
        EXPECT_LT(MsSince(start), 1100);
        EXPECT_EQ(g_exits.load(), 1) << "the thread did not end by itself";
        EXPECT_EQ(TUNLEX_GetState(conn_), TUNLEX_STATE_DISCONNECTED);
        EXPECT_EQ(TUNLEX_IsRunning(conn_, nullptr), 0);
        EXPECT_EQ(g_media.load(), 2);   // the thread's clean-up and the disconnect's
    }

    TUNLEX_Connection *conn_ = nullptr;
    std::unique_ptr<FakeRouteService> service_;
    ROUTE_PipeHandle pipe_ = {PIPECLIENT_NONE};
};

TEST_F(TunlexStop, AServiceThatAnswersLateDoesNotHoldUpTheDisconnect)
{
    std::atomic<int> restores{0};
    Serve([&](const std::string &request) {
        // A late "OK" must not answer the later restore, which this service refuses once.
        if (FakeCommandOf(request) == "ROUTE_RestoreRoutes" && restores++ == 0)
            return FakeSend("ROUTE_RestoreRoutes FAILED,0x00000005");
        return FakeSend(FakeCommandOf(request) + " OK", 1500);
    });
    StartFailingAttempt();
    DisconnectAndCheck();
    // Both clean-ups' requests reach the service.
    ASSERT_TRUE(service_->WaitRequests(4, 8000));
    std::vector<std::string> requests = service_->Requests();
    EXPECT_EQ(Count(requests, "ClientStatus"), 2u);
    EXPECT_EQ(Count(requests, "ROUTE_CleanUp"), 2u);
    // The four late replies are read away: the restore gets its own answers.
    EXPECT_EQ(pipe_.pendingCount, 4u);
    EXPECT_EQ(ROUTE_Service_RestoreRoutes(&pipe_, nullptr), 0);
    EXPECT_EQ(pipe_.pendingCount, 0u);
    EXPECT_EQ(ROUTE_Service_RestoreRoutes(&pipe_, nullptr), 1);
}

TEST_F(TunlexStop, AServiceThatNeverAnswersDoesNotHoldUpTheDisconnect)
{
    Serve([](const std::string &) { return FakeReply{FakeReply::SWALLOW, "", 0}; });
    StartFailingAttempt();
    DisconnectAndCheck();
    ASSERT_TRUE(service_->WaitRequests(4, 3000));
    EXPECT_EQ(Count(service_->Requests(), "ROUTE_CleanUp"), 2u);
}

}  // namespace
