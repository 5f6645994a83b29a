// PAP and the one-time-password exchange, checked against literal frames.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "auth_fixture.h"
#include "lcp.h"
#include "pap.h"
#include "timer.h"

using namespace authtest;

namespace {

const Credentials kPassword = {"ab", "pw", "", ""};
const Credentials kOtp = {"ab", "pw", "S1", "123456"};

// user "ab", password "pw": code 1, identifier 0, PAP length 10.
const char *const kRequest0 = "C0 23 01 00 00 0A 02 61 62 02 70 77";
// user "ab", OTP "123456", state "S1": code 200, identifier 0, length 17.
const char *const kOtpRequest0 = "C0 23 C8 00 00 11 02 61 62 06 31 32 33 34 35 36 02 53 31";
// Nak in the one-time-password form: M = 14, marker 1, state "S1", prompt "Enter code".
const char *const kOtpNak0 = "C0 23 03 00 00 13 0E 01 02 53 31 45 6E 74 65 72 20 63 6F 64 65";
const char *const kAck0 = "C0 23 02 00 00 05 00";

class PapTest : public AuthTest
{
protected:
    // Brings LCP up against a gateway that demands PAP, through frames on
    // the wire: the gateway's request is literal, its Ack echoes ours.
    void OpenLinkDemandingPap(const Credentials &c)
    {
        Create(c);
        LCP_Open(ctx);
        PPP_LowerLayerUp(ctx);
        std::vector<ppptest::Frame> ours = Captured().Take(PPP_PROTO_LCP);
        ASSERT_EQ(ours.size(), 1u);
        Feed("C0 21 01 01 00 0E 03 04 C0 23 05 06 AA BB CC DD");
        ASSERT_EQ(Sent(PPP_PROTO_LCP),
                  std::vector<std::string>{"C0 21 02 01 00 0E 03 04 C0 23 05 06 AA BB CC DD"});
        Bytes ack = ours[0].bytes;
        ack[2] = 0x02;
        ppptest::Feed(ctx, ack);
        ASSERT_EQ(ctx->lcp.state, FSM_STATE_OPENED);
        ASSERT_EQ(ctx->phase, PPP_PHASE_AUTHENTICATE);
    }
};

TEST_F(PapTest, PasswordAcceptedOnceAndLateAnswersIgnored)
{
    StartAuth(kPassword, PPP_PROTO_PAP);
    EXPECT_EQ(Sent(PPP_PROTO_PAP), std::vector<std::string>{kRequest0});
    EXPECT_EQ(ctx->authSides, PPP_SIDE_SERVER);

    Feed(kAck0);
    EXPECT_TRUE(Authenticated());
    EXPECT_EQ(Captured().linkEvents, std::vector<uint32_t>{PPP_EVENT_UP});

    // A duplicate answer to the same request must not undo the outcome.
    Feed("C0 23 03 00 00 04");
    Feed(kAck0);
    ppptest::Advance(15000);
    EXPECT_TRUE(Sent(PPP_PROTO_PAP).empty());
    EXPECT_TRUE(Reasons().empty());
    EXPECT_EQ(Captured().linkEvents, std::vector<uint32_t>{PPP_EVENT_UP});
}

// Attempt 1 draws the prompt and closes LCP; attempt 2 (a new context holding
// the state and the typed code) sends code 200 and resends it unchanged.
TEST_F(PapTest, OneTimePasswordAcrossTwoAttempts)
{
    OpenLinkDemandingPap(kPassword);
    EXPECT_EQ(Sent(PPP_PROTO_PAP), std::vector<std::string>{kRequest0});
    Captured().frames.clear();

    Feed(kOtpNak0);
    EXPECT_EQ(Captured().otpPrompts, 1);
    EXPECT_EQ(Reasons(), std::vector<uint32_t>{PPP_TERM_PROMPT_FOR_OTP});
    EXPECT_EQ(Captured().reasonTexts, std::vector<std::string>{"prompt_for_otp"});
    EXPECT_STREQ(ctx->config.radiusState, "S1");
    EXPECT_STREQ(ctx->config.otpPrompt, "Enter code");
    std::vector<ppptest::Frame> lcp = Captured().Take(PPP_PROTO_LCP);
    ASSERT_FALSE(lcp.empty());
    EXPECT_EQ(lcp[0].bytes[2], FSM_CODE_TERMINATE_REQUEST);
    ppptest::Advance(3000);
    EXPECT_TRUE(Sent(PPP_PROTO_PAP).empty());

    Captured().Clear();
    OpenLinkDemandingPap(kOtp);
    EXPECT_EQ(Sent(PPP_PROTO_PAP), std::vector<std::string>{kOtpRequest0});
    ppptest::Advance(1000);
    EXPECT_EQ(Sent(PPP_PROTO_PAP), std::vector<std::string>{kOtpRequest0});
    // The gateway's slow answer to the first copy is still the current one.
    Feed(kAck0);
    EXPECT_TRUE(Authenticated());
    EXPECT_TRUE(Reasons().empty());
    EXPECT_EQ(Captured().otpPrompts, 0);
}

TEST_F(PapTest, SilentGatewayGetsTenRequestsThenFailure)
{
    struct Row {
        Credentials creds;
        const char *first;
        bool sameRequest;
    } rows[] = {{kPassword, kRequest0, false}, {kOtp, kOtpRequest0, true}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.first);
        ppptest::ResetClock();
        StartAuth(row.creds, PPP_PROTO_PAP);
        ppptest::Advance(9999);
        std::vector<ppptest::Frame> sent = Captured().Take(PPP_PROTO_PAP);
        ASSERT_EQ(sent.size(), 10u);
        for (uint32_t i = 0; i < sent.size(); i++) {
            EXPECT_EQ(sent[i].timeMs, 1000u * i);
            Bytes want = Hex(row.first);
            if (!row.sameRequest)
                want[3] = (uint8_t)i;
            EXPECT_EQ(ToHex(sent[i].bytes), ToHex(want)) << "request " << i;
        }
        EXPECT_TRUE(Reasons().empty());
        ppptest::Advance(1);
        EXPECT_EQ(Reasons(), std::vector<uint32_t>{PPP_TERM_AUTH_FAILED});

        // The answer to the last request arrives after the give-up.
        uint8_t last = sent.back().bytes[3];
        Bytes ack = Hex(kAck0);
        ack[3] = last;
        ppptest::Feed(ctx, ack);
        ppptest::Advance(5000);
        EXPECT_FALSE(Authenticated());
        EXPECT_EQ(Reasons(), std::vector<uint32_t>{PPP_TERM_AUTH_FAILED});
        EXPECT_TRUE(Sent(PPP_PROTO_PAP).empty());
    }
}

// A gateway whose back end takes longer than the 1-second resend answers an
// earlier copy: any request of the run counts, and only the first answer
// decides. After 1.2 s requests 0 and 1 are out.
TEST_F(PapTest, AnswerToAnyRequestOfTheRunCountsOnce)
{
    struct Row {
        const char *name;
        std::vector<const char *> answers;
        bool authenticated;
        std::vector<uint32_t> reasons;
        bool newRun = false;    // PAP starts again (LCP reopened) before the answers
    } rows[] = {
        {"Ack to the first copy", {kAck0}, true, {}},
        {"Ack to the latest copy", {"C0 23 02 01 00 04"}, true, {}},
        {"Nak to the first copy", {"C0 23 03 00 00 04"}, false, {PPP_TERM_AUTH_FAILED}},
        {"Ack, then a Nak to the other copy", {"C0 23 02 01 00 04", "C0 23 03 00 00 04"}, true, {}},
        {"Nak, then an Ack to the other copy", {"C0 23 03 00 00 04", "C0 23 02 01 00 04"}, false,
         {PPP_TERM_AUTH_FAILED}},
        {"Ack, then a one-time-password Nak to the other copy", {"C0 23 02 01 00 04", kOtpNak0},
         true, {}},
        {"Ack for a request never sent, then the real one", {"C0 23 02 02 00 04", kAck0}, true, {}},
        {"only answers for requests never sent", {"C0 23 02 02 00 04", "C0 23 03 FF 00 04"}, false, {}},
        {"a new run ignores the answers to the last one",
         {kAck0, "C0 23 03 01 00 04", "C0 23 02 02 00 04"}, true, {}, true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ppptest::ResetClock();
        StartAuth(kPassword, PPP_PROTO_PAP);
        ppptest::Advance(1200);
        ASSERT_EQ(Sent(PPP_PROTO_PAP),
                  (std::vector<std::string>{kRequest0, "C0 23 01 01 00 0A 02 61 62 02 70 77"}));
        if (row.newRun) {
            PAP_Start(ctx);
            ASSERT_EQ(Sent(PPP_PROTO_PAP),
                      std::vector<std::string>{"C0 23 01 02 00 0A 02 61 62 02 70 77"});
        }
        for (const char *answer : row.answers)
            Feed(answer);
        EXPECT_EQ(Authenticated(), row.authenticated);
        EXPECT_EQ(Reasons(), row.reasons);
        EXPECT_EQ(Captured().linkEvents.size(), row.authenticated ? 1u : 0u);
        EXPECT_STREQ(ctx->config.radiusState, "");
        EXPECT_EQ(Captured().otpPrompts, 0);
        if (row.authenticated || !row.reasons.empty()) {
            // The outcome ends the run: no more requests, nothing more reported.
            ppptest::Advance(15000);
            EXPECT_TRUE(Sent(PPP_PROTO_PAP).empty());
            EXPECT_EQ(Reasons(), row.reasons);
        }
    }
}

// Every Nak for the current request ends authentication; only the
// one-time-password form fills the state and the prompt. Packets that lie
// about their length are dropped. Each runs on an exact-size buffer.
TEST_F(PapTest, NaksAndLyingPackets)
{
    struct Row {
        const char *name;
        const char *packet;   // after the protocol field
        std::vector<uint32_t> reasons;
        const char *state;
        const char *prompt;
    } rows[] = {
        {"otp form", "03 00 00 14 0F 01 03 61 62 63 54 79 70 65 20 74 6F 6B 65 6E",
         {PPP_TERM_PROMPT_FOR_OTP}, "abc", "Type token"},
        {"empty state and prompt", "03 00 00 07 02 01 00", {PPP_TERM_AUTH_FAILED}, "", ""},
        {"plain text message", "03 00 00 0A 05 77 72 6F 6E 67", {PPP_TERM_AUTH_FAILED}, "", ""},
        {"message length not L-5", "03 00 00 0B 05 01 01 58 61 62 63", {PPP_TERM_AUTH_FAILED}, "", ""},
        {"state past the message", "03 00 00 0A 05 01 04 58 59 5A", {PPP_TERM_AUTH_FAILED}, "", ""},
        {"header only", "03 00 00 04", {PPP_TERM_AUTH_FAILED}, "", ""},
        {"empty message", "03 00 00 05 00", {PPP_TERM_AUTH_FAILED}, "", ""},
        {"length 4, more bytes behind", "03 00 00 04 FF 01 02 53 31", {PPP_TERM_AUTH_FAILED}, "", ""},
        {"length 6 cuts the state length", "03 00 00 06 01 01 02 53 31", {PPP_TERM_AUTH_FAILED}, "", ""},
        {"length beyond the bytes", "03 00 01 04 FF 01", {}, "", ""},
        {"otp form cut short", "03 00 00 13 0E 01 02 53 31 45 6E", {}, "", ""},
        {"length below 4", "03 00 00 02 00 00", {}, "", ""},
        {"other identifier", "03 07 00 04", {}, "", ""},
        {"ack beyond the bytes", "02 00 00 FF", {}, "", ""},
        {"ack length below 4", "02 00 00 00", {}, "", ""},
        {"three bytes", "02 00 00", {}, "", ""},
        {"gateway's own request", "01 00 00 0A 02 61 62 02 70 77", {}, "", ""},
        {"unknown code", "C8 00 00 04", {}, "", ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ppptest::ResetClock();
        StartAuth(kPassword, PPP_PROTO_PAP);
        OnExactBuffer(PAP_Input, Hex(row.packet), ctx);
        EXPECT_EQ(Reasons(), row.reasons);
        EXPECT_STREQ(ctx->config.radiusState, row.state);
        EXPECT_STREQ(ctx->config.otpPrompt, row.prompt);
        EXPECT_FALSE(Authenticated());
        // A dropped packet leaves the retransmission running.
        ppptest::Advance(1000);
        EXPECT_EQ(Sent(PPP_PROTO_PAP).size(), row.reasons.empty() ? 2u : 1u);
    }
}

TEST_F(PapTest, LongestFieldsKeepEveryLengthByte)
{
    std::string user(63, 'u'), otp(63, 'o'), state(255, 's');
    StartAuth({user.c_str(), "pw", state.c_str(), otp.c_str()}, PPP_PROTO_PAP);
    std::vector<ppptest::Frame> sent = Captured().Take(PPP_PROTO_PAP);
    ASSERT_EQ(sent.size(), 1u);
    const Bytes &f = sent[0].bytes;
    ASSERT_EQ(f.size(), 2u + 388u);
    EXPECT_EQ(ToHex(Bytes(f.begin(), f.begin() + 7)), "C0 23 C8 00 01 84 3F");
    EXPECT_EQ(f[2 + 5 + 63], 63);
    EXPECT_EQ(f[2 + 6 + 63 + 63], 255);
    EXPECT_EQ(f.back(), 's');
}

TEST_F(PapTest, GatewayDemandingChapSeesNoPap)
{
    StartAuth(kPassword, PPP_PROTO_CHAP, 0x05);
    PAP_Start(ctx);
    ppptest::Advance(3000);
    EXPECT_TRUE(Sent(PPP_PROTO_PAP).empty());
}

// Leaving the link stops whichever wait is running; nothing fires afterwards.
TEST_F(PapTest, LowerLayerDownStopsTheAuthenticationTimers)
{
    struct Row {
        uint16_t protocol;
        uint8_t algorithm;
    } rows[] = {{PPP_PROTO_PAP, 0}, {PPP_PROTO_CHAP, 0x81}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.protocol);
        ppptest::ResetClock();
        StartAuth(kPassword, row.protocol, row.algorithm);
        EXPECT_EQ(ppptest::PendingTimers(), 1u);
        PPP_LowerLayerDown(ctx);
        EXPECT_EQ(ppptest::PendingTimers(), 0u);
        Captured().frames.clear();
        ppptest::Advance(15000);
        EXPECT_TRUE(Captured().frames.empty());
        EXPECT_TRUE(Reasons().empty());
    }
}

} // namespace
