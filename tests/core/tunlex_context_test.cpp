#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <thread>
#include <vector>

#include "gui_log.h"
#include "tunlex.h"

namespace {

template <typename T>
bool AllZero(const T &value)
{
    static const T zero{};
    return memcmp(&value, &zero, sizeof value) == 0;
}

TEST(TunlexContext, CreateGivesADisconnectedEmptyContext)
{
    TUNLEX_Connection *c = TUNLEX_Create();
    ASSERT_NE(nullptr, c);
    EXPECT_EQ(TUNLEX_STATE_DISCONNECTED, TUNLEX_GetState(c));
    EXPECT_EQ(TUNLEX_KIND_UNKNOWN, c->kind.load());
    EXPECT_EQ(0u, c->abortFlag.load());
    EXPECT_EQ(-1, c->socket);
    EXPECT_EQ(443, TUNLEX_GetPort(c));

    TUNLEX_Config config;
    memcpy(&config, &c->config, sizeof config);
    config.port = 0;
    EXPECT_TRUE(AllZero(config));
    EXPECT_TRUE(AllZero(c->localInterface));
    EXPECT_TRUE(AllZero(c->stats));
    EXPECT_TRUE(AllZero(c->netcfg));
    EXPECT_TRUE(AllZero(c->error));
    EXPECT_EQ(0u, c->serverAddress | c->localAddress | c->ipcpUp | c->vspDone);
    EXPECT_EQ(nullptr, c->ssl);
    EXPECT_EQ(nullptr, c->ppp);
    EXPECT_EQ(nullptr, c->capture);
    EXPECT_EQ(nullptr, c->tap);
    EXPECT_EQ(nullptr, c->thread);
    EXPECT_EQ(nullptr, c->routeClient);
    EXPECT_EQ(nullptr, c->stateCallback);
    EXPECT_EQ(nullptr, c->exitCallback);
    EXPECT_STREQ("", c->gatewayUrl);
    EXPECT_STREQ("", TUNLEX_GetServer(c));

    // The getters hand out the records themselves.
    EXPECT_EQ(&c->netcfg, TUNLEX_GetNetworkConfig(c));
    EXPECT_EQ(&c->stats, TUNLEX_GetStatistics(c));
    EXPECT_EQ(&c->error, TUNLEX_GetError(c));
    c->netcfg.ClientIP = 0x0200000a;
    EXPECT_EQ(0x0200000au, TUNLEX_GetClientIP(c));
    EXPECT_EQ(nullptr, TUNLEX_GetNetworkConfig(nullptr));
    delete c;
}

struct Call {
    TUNLEX_Connection *conn;
    void *user;
    uint32_t state;
    uint32_t kind;
    uint32_t storedState;   // what the context held during the call
    uint32_t storedKind;
    bool operator==(const Call &o) const
    {
        return conn == o.conn && user == o.user && state == o.state && kind == o.kind &&
               storedState == o.storedState && storedKind == o.storedKind;
    }
};

std::vector<Call> g_calls;
std::vector<std::string> g_log;

void Record(TUNLEX_Connection *conn, void *user, TUNLEX_State state, TUNLEX_ErrorKind kind)
{
    g_calls.push_back({conn, user, state, kind, conn->state.load(), conn->kind.load()});
}

void Collect(const char *, uint32_t, const char *text, uint32_t)
{
    g_log.push_back(text);
}

TEST(TunlexContext, SetStateStoresKindOnlyWithConnectingAndErrorAndReportsEveryCall)
{
    TUNLEX_Connection *c = TUNLEX_Create();
    ASSERT_NE(nullptr, c);
    int user = 0;
    ASSERT_EQ(1, TUNLEX_SetStateCallback(c, Record, &user));
    g_calls.clear();
    g_log.clear();
    GUI_SetConsoleAppend(Collect);

    struct Row {
        TUNLEX_State state;
        TUNLEX_ErrorKind kind;
        uint32_t stored;
    };
    const Row rows[] = {
        {TUNLEX_STATE_CONNECTING, TUNLEX_KIND_SSL_HANDSHAKE, 4},
        {TUNLEX_STATE_PPP_UP, TUNLEX_KIND_SSL, 0},
        {TUNLEX_STATE_CONNECTED, TUNLEX_KIND_PPP_TIMEOUT, 0},
        {TUNLEX_STATE_CONNECTED, TUNLEX_KIND_PPP_TIMEOUT, 0},   // no change, still reported
        {TUNLEX_STATE_ERROR, TUNLEX_KIND_PPP_TIMEOUT, 7},
        {TUNLEX_STATE_ERROR, TUNLEX_KIND_PPP_TIMEOUT, 7},
        {TUNLEX_STATE_OTP_PROMPTED, TUNLEX_KIND_AUTHENTICATION, 0},
        {TUNLEX_STATE_DISCONNECTED, TUNLEX_KIND_SSL, 0},
    };
    std::vector<Call> expected;
    for (const Row &row : rows) {
        TUNLEX_SetState(c, row.state, row.kind);
        EXPECT_EQ(row.state, TUNLEX_GetState(c));
        EXPECT_EQ(row.stored, static_cast<uint32_t>(c->kind.load()));
        expected.push_back({c, &user, row.state, row.stored, row.state, row.stored});
    }
    GUI_SetConsoleAppend(nullptr);
    EXPECT_EQ(expected, g_calls);
    // Each call with Error logs, also Error after Error.
    EXPECT_EQ((std::vector<std::string>{"Error Event: 7\n", "Error Event: 7\n"}), g_log);

    // Without a callback the state still changes.
    ASSERT_EQ(1, TUNLEX_SetStateCallback(c, nullptr, nullptr));
    TUNLEX_SetState(c, TUNLEX_STATE_CONNECTING, TUNLEX_KIND_PPP_PHASE);
    EXPECT_EQ(TUNLEX_STATE_CONNECTING, TUNLEX_GetState(c));
    EXPECT_EQ(2u, g_log.size());
    delete c;
}

TEST(TunlexContext, StateAndKindTexts)
{
    struct Row {
        uint32_t state, kind;
        const char *text;
    };
    const Row rows[] = {
        {1, 4, "Connecting (SSL Handshake)"},
        {1, 0, "Connecting (Unknown)"},
        {5, 5, "Error (N/A)"},
        {5, 9, "Error (N/A)"},
        {5, 8, "Error (Authentication)"},
        {5, 10, "Error (N/A)"},
        {5, 0xFFFFFFFFu, "Error (N/A)"},
        {3, 8, "Connected"},
        {0, 3, "Disconnected"},
        {2, 0, "Connecting PPP Up"},
        {4, 0, "OTP Prompted"},
        {6, 1, "N/A"},
    };
    for (const Row &row : rows)
        EXPECT_STREQ(row.text, TUNLEX_StateText(row.state, row.kind)) << row.state << "," << row.kind;

    const char *kinds[] = {"Unknown", "Proxy", "Socket Closed", "SSL", "SSL Handshake", "N/A",
                           "PPP Handshake", "PPP Handshake Timeout", "Authentication", "N/A", "N/A"};
    for (uint32_t k = 0; k < 11; k++)
        EXPECT_STREQ(kinds[k], TUNLEX_KindName(k)) << k;
    EXPECT_STREQ("Error", TUNLEX_StateName(5));
    EXPECT_STREQ("N/A", TUNLEX_StateName(6));
}

TEST(TunlexContext, IpToStringRotatesFiveSlotsPerThread)
{
    const uint8_t loopback[4] = {127, 0, 0, 1};
    uint32_t lo;
    memcpy(&lo, loopback, 4);
    EXPECT_STREQ("127.0.0.1", TUNLEX_IpToString(lo));

    const char *texts[5];
    for (uint32_t i = 0; i < 5; i++) {
        const uint8_t b[4] = {10, 0, 0, static_cast<uint8_t>(i)};
        uint32_t a;
        memcpy(&a, b, 4);
        texts[i] = TUNLEX_IpToString(a);
    }
    // Another thread's calls leave this thread's texts alone.
    std::thread([] {
        for (int i = 0; i < 7; i++)
            TUNLEX_IpToString(0xFFFFFFFFu);
    }).join();
    for (uint32_t i = 0; i < 5; i++) {
        EXPECT_EQ("10.0.0." + std::to_string(i), texts[i]);
        for (uint32_t j = 0; j < i; j++)
            EXPECT_NE(texts[i], texts[j]);
    }
    EXPECT_EQ(texts[0], TUNLEX_IpToString(0));
    EXPECT_STREQ("0.0.0.0", texts[0]);
}

TEST(TunlexContext, CurrentSystemIsNotPreVista)
{
    ErrorInfo chain{};
    EXPECT_EQ(0, TUNLEX_IsPreVista(&chain));
    EXPECT_TRUE(ERRORINFO_IsEmpty(&chain));
}

}  // namespace
