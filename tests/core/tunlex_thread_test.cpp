// The connection thread's pure rules (reconnection schedule, DNS re-apply
// choice, rates), connection control without a gateway, and the system
// thread wrapper. The attempts themselves run in tunnel_e2e_test.cpp.
#include <gtest/gtest.h>

#include <string.h>

#include <atomic>
#include <chrono>
#include <memory>

#include "errorinfo.h"
#include "sync.h"
#include "tunlex.h"
#include "tunlex_thread.h"

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(TunlexReconnect, DelayFollowsTheSchedule)
{
    const struct {
        uint32_t attempt, seconds;
    } rows[] = {{0, 0},  {1, 0},  {3, 0},  {4, 6},  {5, 12}, {12, 54},
                {13, 60}, {17, 60}, {18, TUNLEX_RECONNECT_GIVE_UP}, {40, TUNLEX_RECONNECT_GIVE_UP}};
    for (const auto &r : rows)
        EXPECT_EQ(TUNLEX_ReconnectDelay(r.attempt), r.seconds) << r.attempt;
}

TEST(TunlexReapply, DnsRequestRules)
{
    const uint32_t A = 0x0100000a, B = 0x0200000a, C = 0x0300000a;
    const struct {
        uint32_t have1, have2, want1, want2;
        TUNLEX_DnsRequest request;
    } rows[] = {
        {A, B, 0, 0, {1, 0, 0}},   // nothing negotiated: clear the list
        {A, C, A, B, {1, A, B}},   // a wrong second server: replace the list
        {C, 0, A, B, {0, A, B}},   // add what differs
        {A, 0, A, B, {0, 0, B}},
        {0, B, A, B, {0, A, 0}},
    };
    for (const auto &r : rows) {
        TUNLEX_DnsRequest got = TUNLEX_ChooseDnsRequest(r.have1, r.have2, r.want1, r.want2);
        EXPECT_EQ(got.clear, r.request.clear);
        EXPECT_EQ(got.dns1, r.request.dns1);
        EXPECT_EQ(got.dns2, r.request.dns2);
    }
}

struct ContextDeleter {
    void operator()(TUNLEX_Connection *conn) const
    {
        ERRORINFO_Clear(&conn->error, "test", 0);
        delete conn;
    }
};
using Context = std::unique_ptr<TUNLEX_Connection, ContextDeleter>;

Context MakeContext()
{
    return Context(TUNLEX_Create());
}

TEST(TunlexRates, AverageOverFourTicks)
{
    Context conn = MakeContext();
    conn->state = TUNLEX_STATE_CONNECTED;
    conn->stats.bytesSent = 5000;
    conn->stats.bytesReceived = 7;
    TUNLEX_ResetRates(conn.get());
    EXPECT_EQ(conn->stats.sendRate, 0u);
    EXPECT_EQ(conn->stats.receiveRate, 0u);
    for (int tick = 1; tick <= 4; ++tick) {
        conn->stats.bytesSent += 1000;
        TUNLEX_RateTimer(conn.get());
        EXPECT_EQ(conn->stats.sendRate, 250u * tick) << tick;
        EXPECT_EQ(conn->stats.receiveRate, 0u);   // snapshot not below the counter
    }
    conn->stats.bytesSent += 1000;
    TUNLEX_RateTimer(conn.get());
    EXPECT_EQ(conn->stats.sendRate, 1000u);
    EXPECT_EQ(conn->stats.ringIndex, 1u);

    // A counter below its snapshot (statistics zeroed) gives 0, not a wrap.
    conn->stats.bytesSent = 10;
    TUNLEX_RateTimer(conn.get());
    EXPECT_EQ(conn->stats.sendRate, 0u);

    // Outside Connected the timer leaves the figures alone.
    conn->state = TUNLEX_STATE_ERROR;
    conn->stats.bytesSent = 100000;
    TUNLEX_RateTimer(conn.get());
    EXPECT_EQ(conn->stats.sendRate, 0u);
}

std::string Text(const ErrorInfo &chain)
{
    return chain.message ? chain.message : "";
}

TEST(TunlexControl, ConnectRefusesWithoutStateServerOrPort)
{
    Context conn = MakeContext();
    ErrorInfo chain = {};
    EXPECT_EQ(TUNLEX_Connect(nullptr, &chain), 0);

    EXPECT_EQ(TUNLEX_Connect(conn.get(), &chain), 0);
    EXPECT_EQ(Text(chain), "No server specified");
    ERRORINFO_Clear(&chain, "test", 0);

    strcpy(conn->config.server, "gw.example");
    conn->config.port = 0;
    EXPECT_EQ(TUNLEX_Connect(conn.get(), &chain), 0);
    EXPECT_EQ(Text(chain), "No port specified");
    ERRORINFO_Clear(&chain, "test", 0);

    conn->state = TUNLEX_STATE_CONNECTED;
    EXPECT_EQ(TUNLEX_Connect(conn.get(), &chain), 0);
    EXPECT_EQ(Text(chain), "Connection in wrong state");
    // An earlier message stays.
    EXPECT_EQ(TUNLEX_Connect(conn.get(), &chain), 0);
    EXPECT_EQ(ERRORINFO_Count(&chain), 1u);

    TUNLEX_Config cfg = {};
    strcpy(cfg.server, "gw.example");
    strcpy(cfg.user, "u");
    ERRORINFO_Clear(&chain, "test", 0);
    EXPECT_EQ(TUNLEX_SetConfig(conn.get(), &cfg, &chain), 0);
    EXPECT_EQ(Text(chain), "Can only set config values when disconnected");
    EXPECT_EQ(conn->thread, nullptr);
    ERRORINFO_Clear(&chain, "test", 0);
}

TEST(TunlexControl, DisconnectWithoutThreadCleansUpAtOnce)
{
    Context conn = MakeContext();
    conn->state = TUNLEX_STATE_ERROR;
    strcpy(conn->config.server, "gw.example");
    conn->netcfg.ClientIP = 0x0200000a;
    strcpy(conn->gatewayUrl, "https://x");
    int calls = 0;
    TUNLEX_SetStateCallback(
        conn.get(),
        [](TUNLEX_Connection *, void *user, TUNLEX_State state, TUNLEX_ErrorKind) {
            EXPECT_EQ(state, TUNLEX_STATE_DISCONNECTED);
            ++*static_cast<int *>(user);
        },
        &calls);
    Clock::time_point start = Clock::now();
    EXPECT_EQ(TUNLEX_Disconnect(conn.get(), nullptr), 1);
    EXPECT_LT(MsSince(start), 50);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(TUNLEX_GetState(conn.get()), TUNLEX_STATE_DISCONNECTED);
    EXPECT_EQ(conn->config.server[0], 0);
    EXPECT_EQ(conn->netcfg.ClientIP, 0u);
    EXPECT_EQ(conn->gatewayUrl[0], 0);
    EXPECT_EQ(conn->socket, -1);
    EXPECT_EQ(TUNLEX_IsRunning(conn.get(), nullptr), 0);
    EXPECT_EQ(TUNLEX_Disconnect(nullptr, nullptr), 0);
}

std::atomic<int> g_release{0};

uint32_t Deaf(void *)
{
    // Ignores every request to stop; ends once released (or after 1 s).
    for (int i = 0; i < 100 && !g_release.load(); ++i)
        RT_SleepMs(10);
    return 7;
}

TEST(TunlexThread, WaitExitCodeAndStop)
{
    g_release = 0;
    TUNLEX_Thread *thread = TUNLEX_ThreadCreate(Deaf, nullptr);
    ASSERT_NE(thread, nullptr);
    uint32_t code = 0;
    ASSERT_EQ(TUNLEX_ThreadExitCode(thread, &code), 1);
    EXPECT_EQ(code, TUNLEX_THREAD_STILL_ACTIVE);
    Clock::time_point start = Clock::now();
    EXPECT_EQ(TUNLEX_ThreadWait(thread, 100), 0);
    long long spent = MsSince(start);
    EXPECT_GE(spent, 90);
    EXPECT_LT(spent, 400);

    // Windows terminates it with code 1; Linux cannot, and waits for its end.
    EXPECT_EQ(TUNLEX_ThreadStop(thread, 1), 1);
    ASSERT_EQ(TUNLEX_ThreadExitCode(thread, &code), 1);
    EXPECT_TRUE(code == 1 || code == 7) << code;
    EXPECT_EQ(TUNLEX_ThreadWait(thread, 0), 1);
    TUNLEX_ThreadClose(thread);

    EXPECT_EQ(TUNLEX_ThreadExitCode(nullptr, &code), 0);
    EXPECT_EQ(TUNLEX_ThreadCreate(nullptr, nullptr), nullptr);
}

TEST(TunlexThread, EndedThreadReportsItsCode)
{
    TUNLEX_Thread *thread = TUNLEX_ThreadCreate([](void *) -> uint32_t { return 0; }, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(TUNLEX_ThreadWait(thread, 2000), 1);
    uint32_t code = 99;
    ASSERT_EQ(TUNLEX_ThreadExitCode(thread, &code), 1);
    EXPECT_EQ(code, 0u);
    TUNLEX_ThreadClose(thread);
}

}  // namespace
