// Timer and pool start-up, the timer poll, the termination sink and adapter
// packets into pool buffers.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "cp_wrapper.h"
#include "errorinfo.h"
#include "gui_active.h"
#include "log_capture.h"
#include "pkt_buffer.h"
#include "timer.h"
#include "tunlex.h"

namespace {

uint32_t g_tick = 0;
uint32_t FakeTick32() { return g_tick; }

void Count(void *context) { ++*static_cast<int *>(context); }

TEST(CpInit, StartsTheTimerServiceOnTheGivenClockAndThePool)
{
    TIMER_TestReset();
    g_tick = 5000;
    ASSERT_EQ(CP_Init(FakeTick32, 1000), 1);
    EXPECT_EQ(PKT_PoolInUseCount(), 0u);
    EXPECT_GT(PKT_PoolFreeCount(), 0u);

    int fired = 0;
    ASSERT_EQ(TIMER_Add(1, 0, 1, Count, &fired), 1);
    g_tick += 999;
    CP_PollTimers();
    EXPECT_EQ(fired, 0);
    g_tick += 1;
    CP_PollTimers();
    EXPECT_EQ(fired, 1);
    TIMER_Cancel(Count, &fired);

    EXPECT_EQ(CP_Init(FakeTick32, 1000), 0) << "the running service keeps its clock";
    TIMER_TestReset();
    EXPECT_EQ(CP_Init(nullptr, 1000), 0);
    TIMER_TestReset();
}

struct TermCase {
    const char *name;
    TUNLEX_State start;
    const char *reason;
    const char *category;
    TUNLEX_State state;
    TUNLEX_ErrorKind kind;
    uint32_t abort;
    const char *message;    // null: the chain is empty
};

class Termination : public ::testing::TestWithParam<TermCase> {
protected:
    void SetUp() override
    {
        conn = TUNLEX_Create();
        GUI_ActiveConnection = conn;
    }
    void TearDown() override
    {
        GUI_ActiveConnection = nullptr;
        ERRORINFO_Clear(&conn->error, "test", 0);
        delete conn;
    }
    TUNLEX_Connection *conn = nullptr;
};

TEST_P(Termination, ReasonsBecomeConnectionStates)
{
    const TermCase &c = GetParam();
    conn->state = c.start;
    conn->kind = c.start == TUNLEX_STATE_CONNECTING ? TUNLEX_KIND_PPP_PHASE : TUNLEX_KIND_UNKNOWN;
    ERRORINFO_Set(&conn->error, "test", 1, "stale");
    LogCapture log;
    CP_PppTerminated("PPP", 0, 0, c.reason, c.category);

    EXPECT_EQ(conn->state.load(), c.state);
    EXPECT_EQ(conn->kind.load(), c.kind);
    EXPECT_EQ(conn->abortFlag.load(), c.abort);
    if (c.message) {
        ASSERT_FALSE(ERRORINFO_IsEmpty(&conn->error));
        EXPECT_STREQ(conn->error.message, c.message);
        EXPECT_EQ(ERRORINFO_Count(&conn->error), 1u) << "the message replaces the chain";
    } else {
        EXPECT_TRUE(ERRORINFO_IsEmpty(&conn->error));
    }
    std::string line = std::string("PPP: \"") + c.reason + "\" \"" + c.category + "\"\n";
    EXPECT_NE(log.Text().find(line), std::string::npos) << log.Text();
}

const TUNLEX_State kConnecting = TUNLEX_STATE_CONNECTING;
const char *const kTerminated = "ppp_terminated";

INSTANTIATE_TEST_SUITE_P(
    Cases, Termination,
    ::testing::Values(
        TermCase{"AuthenticationFailed", kConnecting, "authentication_failed", kTerminated,
                 TUNLEX_STATE_ERROR, TUNLEX_KIND_AUTHENTICATION, 0, "Authentication failed"},
        TermCase{"PromptForOtp", kConnecting, "prompt_for_otp", kTerminated,
                 TUNLEX_STATE_OTP_PROMPTED, TUNLEX_KIND_UNKNOWN, 1, nullptr},
        TermCase{"OtherReason", kConnecting, "failed_to_agree_on_authentication_protocol",
                 kTerminated, TUNLEX_STATE_ERROR, TUNLEX_KIND_PPP_HANDSHAKE, 0,
                 "PPP error: failed_to_agree_on_authentication_protocol"},
        TermCase{"DuringTheSetUpAfterPppUp", TUNLEX_STATE_PPP_UP, "lcp_negotiation_stalled",
                 kTerminated, TUNLEX_STATE_ERROR, TUNLEX_KIND_PPP_HANDSHAKE, 0,
                 "PPP error: lcp_negotiation_stalled"},
        TermCase{"OtherCategory", kConnecting, "lcp_negotiation_stalled", "other", kConnecting,
                 TUNLEX_KIND_PPP_PHASE, 0, "stale"},
        TermCase{"WhileConnected", TUNLEX_STATE_CONNECTED, "authentication_failed", kTerminated,
                 TUNLEX_STATE_CONNECTED, TUNLEX_KIND_UNKNOWN, 0, "stale"},
        TermCase{"WhileDisconnected", TUNLEX_STATE_DISCONNECTED, "prompt_for_otp", kTerminated,
                 TUNLEX_STATE_DISCONNECTED, TUNLEX_KIND_UNKNOWN, 0, "stale"}),
    [](const ::testing::TestParamInfo<TermCase> &info) { return std::string(info.param.name); });

TEST(TerminationWithoutConnection, OnlyLogs)
{
    GUI_ActiveConnection = nullptr;
    LogCapture log;
    CP_PppTerminated("PPP", 0, 101, "authentication_failed", "ppp_terminated");
    CP_PppTerminated(nullptr, 0, 0, nullptr, nullptr);
    EXPECT_NE(log.Text().find("PPP: \"authentication_failed\" \"ppp_terminated\"\n"),
              std::string::npos);
}

TEST(FromTap, CopiesThePacketIntoATaggedBuffer)
{
    PKT_PoolInit();
    std::vector<uint8_t> packet(1560);
    for (size_t i = 0; i < packet.size(); ++i)
        packet[i] = static_cast<uint8_t>(i);
    PKT_Buffer *b = PKT_FromTap(packet.data(), static_cast<uint32_t>(packet.size()));
    ASSERT_NE(b, nullptr);
    EXPECT_STREQ(b->tag, "TAP");
    EXPECT_EQ(PKT_Length(b), 1560u);
    EXPECT_EQ(0, memcmp(PKT_Data(b), packet.data(), packet.size()));
    EXPECT_GE(PKT_Data(b) - b->area, 98) << "room for the protocol field and the frame header";
    PKT_Free(b);

    std::vector<uint8_t> huge(PKT_CAPACITY + 1);
    EXPECT_EQ(PKT_FromTap(huge.data(), static_cast<uint32_t>(huge.size())), nullptr);
    EXPECT_EQ(PKT_PoolInUseCount(), 0u);
}

TEST(Dump, LogsTheDescriptionUnderARule)
{
    PKT_PoolInit();
    // ICMP echo request 10.0.0.2 -> 10.0.0.1, id 1, seq 7.
    const uint8_t ip[28] = {0x45, 0, 0, 28, 0, 1, 0, 0, 64, 1, 0, 0, 10, 0, 0, 2,
                            10, 0, 0, 1, 8, 0, 0, 0, 0, 1, 0, 7};
    PKT_Buffer *b = PKT_FromTap(ip, sizeof ip);
    ASSERT_NE(b, nullptr);
    LogCapture log;
    PKT_Dump(b);
    PKT_Dump(nullptr);
    std::string text = log.Text();
    EXPECT_EQ(text.rfind("--------------------------------\nrecvif=TAP srcip=10.0.0.2 destip=10.0.0.1", 0), 0u)
        << text;
    EXPECT_NE(text.find("echoseq=7\n"), std::string::npos) << text;
    PKT_Free(b);
}

}  // namespace
