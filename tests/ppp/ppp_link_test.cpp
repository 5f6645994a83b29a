// The link: frame demultiplexing by phase and protocol, the start and the
// outcome of authentication, encapsulation, malformed input on exact-size
// buffers, and stopping and freeing from every reachable state.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "gui_log.h"
#include "pkt_buffer.h"
#include "ppp.h"
#include "ppp_harness.h"
#include "timer.h"

using namespace ppptest;

namespace {

class LinkTest : public ::testing::Test {
protected:
    void SetUp() override { ResetClock(); }
    void TearDown() override
    {
        PPP_SetRandomSource(nullptr);
        GUI_SetTraceTap(nullptr);
    }
    static bool Traced(const std::string &line)
    {
        for (const std::string &t : Captured().traces)
            if (t == line)
                return true;
        return false;
    }
};

struct InputCase {
    const char *what;
    const char *frame;
    const char *networkLine;    // expected trace in the network phase ("" none)
    const char *networkSent;    // first bytes of the answer in the network phase ("" none)
    int networkResult;
    bool passesInAuthenticate;  // PAP and CHAP
    bool passesAlways;          // LCP
    uint32_t protocol;          // for "Unsupported proto=%u"
};

TEST_F(LinkTest, InputByPhaseAndProtocol)
{
    const InputCase cases[] = {
        {"LCP", "C0 21 09 01 00 08 00 00 00 00", "Received LCP packet\n", "C0 21 0A", 0, true, true, 0xC021},
        {"LCP behind FF 03", "FF 03 C0 21 09 01 00 08 00 00 00 00", "Received LCP packet\n", "C0 21 0A", 0,
         true, true, 0xC021},
        {"PAP", "C0 23 01 01 00 05 00", "Received PAP packet\n", "", 0, true, false, 0xC023},
        {"CHAP", "C2 23 01 01 00 06 01 00", "Received CHAP packet\n", "", 0, true, false, 0xC223},
        {"IPv4", "00 21 45 00 00 14", "", "", 1, false, false, 0x0021},
        {"IPCP", "80 21 0C 01 00 04", "Received IPCP packet\n", "", 0, false, false, 0x8021},
        {"vendor protocol", "40 5B 0C 01 00 04", "Received VSP packet\n", "", 0, false, false, 0x405B},
        {"CCP", "80 FD 01 01 00 04", "", "C0 21 08", 0, false, false, 0x80FD},
        {"MPPE data", "00 FD 90 00 01", "MPPE Packet withouth CCP Context", "", 0, false, false, 0x00FD},
        {"IPv6", "00 57 60 00", "Received unknown PPP protocol 0x0057\n", "C0 21 08", 0, false, false,
         0x0057},
    };
    const PPP_Phase phases[] = {PPP_PHASE_DEAD, PPP_PHASE_ESTABLISH, PPP_PHASE_AUTHENTICATE,
                                PPP_PHASE_NETWORK};
    for (PPP_Phase phase : phases) {
        for (const InputCase &c : cases) {
            ResetClock();
            Link link;
            link.ctx->phase = phase;
            Captured().frames.clear();
            Captured().traces.clear();
            uint32_t inUse = PKT_PoolInUseCount();
            std::string where = std::string(c.what) + " in phase " + std::to_string(phase);

            bool passes = phase == PPP_PHASE_NETWORK || c.passesAlways ||
                          (phase == PPP_PHASE_AUTHENTICATE && c.passesInAuthenticate);
            int result = Feed(link.ctx, Hex(c.frame));
            EXPECT_EQ(PKT_PoolInUseCount(), inUse) << where;
            std::string unsupported = "Unsupported proto=" + std::to_string(c.protocol) + "\n";
            if (!passes) {
                EXPECT_EQ(result, 0) << where;
                EXPECT_TRUE(Traced(unsupported)) << where;
                EXPECT_TRUE(Captured().frames.empty()) << where;
                continue;
            }
            EXPECT_FALSE(Traced(unsupported)) << where;
            EXPECT_EQ(result, c.networkResult) << where;
            if (*c.networkLine) {
                EXPECT_TRUE(Traced(c.networkLine)) << where;
            }
            if (*c.networkSent) {
                ASSERT_EQ(Captured().frames.size(), 1u) << where;
                EXPECT_EQ(ToHex(Captured().frames[0].bytes).substr(0, 8), c.networkSent) << where;
            } else {
                EXPECT_TRUE(Captured().frames.empty()) << where;
            }
        }
    }
}

TEST_F(LinkTest, ShortFramesAndIpv4Delivery)
{
    Link link;
    link.ctx->phase = PPP_PHASE_NETWORK;
    Captured().traces.clear();
    uint32_t inUse = PKT_PoolInUseCount();
    for (const char *frame : {"", "C0", "FF 03", "FF 03 C0"})
        EXPECT_EQ(Feed(link.ctx, Hex(frame)), 0) << frame;
    EXPECT_EQ(PKT_PoolInUseCount(), inUse);
    EXPECT_TRUE(Captured().traces.empty());

    PKT_Buffer *b = BufferOf(Hex("FF 03 00 21 45 00 00 14"));
    link.ctx->peerAlive = 0;
    ASSERT_EQ(PPP_Input(b, link.ctx), 1);
    EXPECT_EQ(PKT_Length(b), 4u);
    EXPECT_EQ(ToHex(Bytes(PKT_Data(b), PKT_Data(b) + 4)), "45 00 00 14");
    EXPECT_EQ(link.ctx->peerAlive, 1u);
    PKT_Free(b);
}

TEST_F(LinkTest, EncapsulationAndMru)
{
    Link link;
    PKT_Buffer *b = BufferOf(Hex("45 00 00 14 01 02"));
    ASSERT_EQ(PPP_EncapsulateIP(b, link.ctx->ipcp), 1);
    EXPECT_EQ(ToHex(Bytes(PKT_Data(b), PKT_Data(b) + PKT_Length(b))), "00 21 45 00 00 14 01 02");
    EXPECT_EQ(b->length, 8);
    PKT_Free(b);

    // No room anywhere: the buffer is freed and the datagram lost.
    b = PKT_Alloc(nullptr);
    PKT_Reset(b);
    ASSERT_EQ(PKT_Reserve(b, PKT_CAPACITY), 1);
    b->length = PKT_CAPACITY;
    uint32_t inUse = PKT_PoolInUseCount();
    EXPECT_EQ(PPP_EncapsulateIP(b, link.ctx->ipcp), 0);
    EXPECT_EQ(PKT_PoolInUseCount(), inUse - 1);

    EXPECT_EQ(PPP_GetLinkMRU(link.ctx), 1400);
    EXPECT_EQ(PPP_GetPeerMRU(link.ctx), 1500);
    OpenLcp(link.ctx, Hex("01 04 05 14 05 06 2A 2B 2C 2D"));
    EXPECT_EQ(PPP_GetLinkMRU(link.ctx), 1300);
    EXPECT_EQ(PPP_GetPeerMRU(link.ctx), 1300);
}

TEST_F(LinkTest, InitDefaults)
{
    PPP_Context *ctx = static_cast<PPP_Context *>(calloc(1, sizeof(PPP_Context)));
    PPP_Config zero;
    memset(&zero, 0, sizeof zero);
    zero.demand = PPP_AUTH_ALL;
    EXPECT_EQ(PPP_Init(ctx, &zero), 1);
    EXPECT_EQ(ctx->config.mru, 1500);
    EXPECT_EQ(ctx->config.perform, PPP_AUTH_NONE);
    EXPECT_EQ(ctx->config.demand, PPP_AUTH_NONE);
    EXPECT_EQ(ctx->lcp.state, FSM_STATE_INITIAL);
    EXPECT_EQ(ctx->phase, PPP_PHASE_DEAD);
    free(ctx);

    Link link;
    EXPECT_EQ(link.ctx->phase, PPP_PHASE_ESTABLISH);
    size_t sent = Captured().frames.size();
    PPP_LowerLayerUp(link.ctx);
    EXPECT_EQ(Captured().frames.size(), sent) << "a second lower-layer-up does nothing";
}

struct AuthCase {
    const char *what;
    const char *peerOptions;
    PPP_Phase phaseAfterLcp;
    const char *authFrame;      // first bytes of a frame authentication sends at once
};

TEST_F(LinkTest, AuthenticationStart)
{
    const AuthCase cases[] = {
        {"nothing demanded", "05 06 2A 2B 2C 2D", PPP_PHASE_NETWORK, ""},
        {"PAP", "03 04 C0 23 05 06 2A 2B 2C 2D", PPP_PHASE_AUTHENTICATE, "C0 23 01"},
        {"CHAP-MD5", "03 05 C2 23 05 05 06 2A 2B 2C 2D", PPP_PHASE_AUTHENTICATE, ""},
        {"MS-CHAPv1", "03 05 C2 23 80 05 06 2A 2B 2C 2D", PPP_PHASE_AUTHENTICATE, ""},
        {"MS-CHAPv2", "03 05 C2 23 81 05 06 2A 2B 2C 2D", PPP_PHASE_AUTHENTICATE, ""},
    };
    for (const AuthCase &c : cases) {
        ResetClock();
        Link link;
        OpenLcp(link.ctx, Hex(c.peerOptions));
        Captured().Take(LCP_PROTOCOL);
        EXPECT_EQ(link.ctx->phase, c.phaseAfterLcp) << c.what;
        if (c.phaseAfterLcp == PPP_PHASE_AUTHENTICATE) {
            EXPECT_EQ(link.ctx->authSides, PPP_SIDE_SERVER) << c.what;
            std::vector<Frame> auth = Captured().frames;
            if (*c.authFrame) {
                ASSERT_EQ(auth.size(), 1u) << c.what;
                EXPECT_EQ(ToHex(auth[0].bytes).substr(0, 8), c.authFrame) << c.what;
            } else {
                EXPECT_TRUE(auth.empty()) << c.what;
            }
            Captured().frames.clear();
            PPP_AuthResult(PPP_SIDE_CLIENT, link.ctx);
        }
        EXPECT_EQ(link.ctx->phase, PPP_PHASE_NETWORK) << c.what;
        EXPECT_EQ(Captured().linkEvents, (std::vector<uint32_t>{PPP_EVENT_STARTED, PPP_EVENT_UP}))
            << c.what;
        // IPCP gets its Up before the vendor protocol.
        ASSERT_EQ(Captured().frames.size(), 2u) << c.what;
        EXPECT_EQ(PPP_Get16(Captured().frames[0].bytes.data()), IPCP_PROTOCOL) << c.what;
        EXPECT_EQ(PPP_Get16(Captured().frames[1].bytes.data()), VSP_PROTOCOL) << c.what;
    }
}

TEST_F(LinkTest, AuthenticationFailure)
{
    struct Case {
        const char *radiusState, *otp;
        const char *sequence;
    };
    const Case cases[] = {
        {"", "", "reason:101 link:1 "},
        {"", "123456", "reason:101 link:1 "},
        {"state", "", "otp reason:102 link:1 "},
        {"state", "123456", "reason:101 link:1 "},
    };
    for (const Case &c : cases) {
        ResetClock();
        Link link;
        strcpy(link.ctx->config.radiusState, c.radiusState);
        strcpy(link.ctx->config.otp, c.otp);
        OpenLcp(link.ctx, Hex("03 04 C0 23 05 06 2A 2B 2C 2D"));
        Captured().frames.clear();
        Captured().sequence.clear();
        PPP_AuthResult(0, link.ctx);
        std::string where = std::string("RadiusState '") + c.radiusState + "', OTP '" + c.otp + "'";
        EXPECT_EQ(Captured().sequence, c.sequence) << where;
        std::vector<Frame> lcp = Captured().Take(LCP_PROTOCOL);
        ASSERT_EQ(lcp.size(), 1u) << where;
        EXPECT_EQ(lcp[0].bytes[2], FSM_CODE_TERMINATE_REQUEST) << where;
        EXPECT_EQ(link.ctx->phase, PPP_PHASE_DEAD) << where;
    }
}

// ---- malformed input ----

// Every prefix of every packet, on a heap buffer of exactly that size, once
// with the header length left as it was (it then claims more than arrived)
// and once with it set to the bytes at hand.
void FeedPrefixes(const std::function<void(const uint8_t *, uint32_t)> &input, const Bytes &packet)
{
    for (size_t n = 0; n <= packet.size(); n++) {
        for (int fix = 0; fix < 2; fix++) {
            uint8_t *exact = new uint8_t[n ? n : 1];
            memcpy(exact, packet.data(), n);
            if (fix && n >= 4)
                PPP_Put16(exact + 2, (uint16_t)n);
            input(exact, (uint32_t)n);
            delete[] exact;
        }
    }
}

TEST_F(LinkTest, TruncatedAndLyingPacketsStayInBounds)
{
    const char *const lcpPackets[] = {
        "01 01 00 18 02 06 00 00 00 00 03 04 C0 23 05 06 2A 2B 2C 2D 07 02 08 02",
        "01 02 00 0B 03 05 C2 23 81 04 02",
        "02 00 00 0E 01 04 05 78 05 06 11 12 13 14",
        "03 00 00 0E 01 04 05 14 03 04 C0 23 05 06 01 02 03 04",
        "04 00 00 10 01 04 05 78 03 05 C2 23 81 05 06 11 12",
        "05 09 00 06 AA BB",
        "07 01 00 0A 0D 01 00 06 00 00",
        "08 01 00 12 40 5B 01 00 00 0C 00 00 00 00 40 84 93 00",
        "08 02 00 0A 80 21 01 00 00 04",
        "09 01 00 0C 2A 2B 2C 2D 01 02 03 04",
        "0A 00 00 08 00 00 00 00",
        "0E 01 00 06 00 00",
    };
    const char *const ipcpPackets[] = {
        "01 01 00 16 03 06 0A 0A 00 01 02 06 00 2D 0F 01 81 06 0A 0A 00 35",
        "03 00 00 22 03 06 0A 0A 00 02 81 06 0A 0A 00 35 83 06 0A 0A 00 36 82 06 0A 0A 00 89 84 06 0A 0A 00 8A",
        "04 00 00 10 82 06 00 00 00 00 84 06 00 00 00 00",
        "07 01 00 08 0D 01 00 04",
    };
    const char *const vspPackets[] = {
        "01 01 00 18 2A 2B 2C 2D 40 84 93 00 00 01 00 04 41 42 43 44 01 02 00 00",
        "02 00 00 0C 11 12 13 14 40 84 93 00",
        "04 00 00 0D 2A 2B 2C 2D 40 84 93 00 00",
    };
    for (int opened = 0; opened < 2; opened++) {
        ResetClock();
        Link link;
        if (opened)
            OpenLcp(link.ctx);
        PPP_Context *ctx = link.ctx;
        for (const char *hex : lcpPackets)
            FeedPrefixes([ctx](const uint8_t *p, uint32_t n) { LCP_Input(p, n, ctx); }, Hex(hex));
        for (const char *hex : ipcpPackets)
            FeedPrefixes([ctx](const uint8_t *p, uint32_t n) { FSM_Input(p, n, &ctx->ipcp->fsm); },
                         Hex(hex));
        for (const char *hex : vspPackets)
            FeedPrefixes([ctx](const uint8_t *p, uint32_t n) { FSM_Input(p, n, &ctx->vsp->fsm); },
                         Hex(hex));
        // Whole frames through PPP_Input on exact-size pool data.
        for (const char *hex : lcpPackets) {
            Bytes frame = Hex("C0 21");
            Bytes body = Hex(hex);
            frame.insert(frame.end(), body.begin(), body.end());
            for (size_t n = 0; n <= frame.size(); n++)
                Feed(ctx, Bytes(frame.begin(), frame.begin() + n));
        }
        for (int i = 0; i < 12; i++)
            Jump(5000);
    }
}

// ---- stopping and freeing ----

TEST_F(LinkTest, StopAndFreeFromEveryStateLeavesNoTimer)
{
    struct Case {
        const char *what;
        std::function<void(PPP_Context *)> reach;
    };
    const Case cases[] = {
        {"LCP REQ_SENT", [](PPP_Context *) {}},
        {"LCP ACK_SENT", [](PPP_Context *c) { Feed(c, Hex("C0 21 01 01 00 04")); }},
        {"LCP ACK_RCVD", [](PPP_Context *c) { AckLatest(c, LCP_PROTOCOL); }},
        {"LCP STOPPED after giving up",
         [](PPP_Context *c) {
             for (int i = 0; i < 40; i++)
                 Jump(1000);
             EXPECT_EQ(c->lcp.state, FSM_STATE_STOPPED);
         }},
        {"PAP running", [](PPP_Context *c) { OpenLcp(c, Hex("03 04 C0 23 05 06 2A 2B 2C 2D")); }},
        {"CHAP waiting", [](PPP_Context *c) { OpenLcp(c, Hex("03 05 C2 23 81 05 06 2A 2B 2C 2D")); }},
        {"IPCP and VSP negotiating", [](PPP_Context *c) { OpenLcp(c); }},
        {"network up, echo pending",
         [](PPP_Context *c) {
             OpenNetwork(c);
             Jump(8500);
             EXPECT_EQ(c->echoLosses, 1u);
         }},
        {"IPCP closing after a required Reject",
         [](PPP_Context *c) {
             OpenLcp(c);
             Feed(c, Hex("80 21 04 00 00 0A 03 06 00 00 00 00"));
         }},
        {"LCP CLOSING", [](PPP_Context *c) { OpenNetwork(c); PPP_Close(c); }},
        {"LCP STOPPING after the peer's Terminate-Request",
         [](PPP_Context *c) { OpenNetwork(c); Feed(c, Hex("C0 21 05 44 00 04")); }},
        {"LCP renegotiating", [](PPP_Context *c) { OpenNetwork(c); Feed(c, Hex("C0 21 01 09 00 04")); }},
        {"vendor protocol rejected, LCP re-opened", [](PPP_Context *c) {
             OpenNetwork(c);
             Feed(c, Hex("C0 21 01 09 00 0A 05 06 2A 2B 2C 2D"));
             AckLatest(c, LCP_PROTOCOL);
         }},
    };
    for (const Case &c : cases) {
        ResetClock();
        Link link;
        c.reach(link.ctx);
        link.Stop();
        EXPECT_EQ(PendingTimers(), 0u) << c.what << ": stop sequence";
        EXPECT_EQ(link.ctx->lcp.timerArmed + link.ctx->ipcp->fsm.timerArmed +
                      link.ctx->vsp->fsm.timerArmed,
                  0u)
            << c.what;
        link.Free();
        for (int i = 0; i < 12; i++)
            Jump(5000);  // anything left would touch freed memory under ASan
    }
}

// ---- hot path ----

// The IPv4 path takes no pool buffer of its own (the benchmark program also
// counts heap allocations on it).
TEST_F(LinkTest, Ipv4PathUsesOnlyTheFrameBuffer)
{
    Link link;
    OpenNetwork(link.ctx);
    GUI_SetTraceTap(nullptr);
    Captured().frames.clear();
    Bytes frame = Hex("00 21 45 00 00 54 00 00 40 00 40 01 00 00 0A 0A 00 02 0A 0A 00 01");
    PKT_Buffer *warm = BufferOf(frame);  // the pool has its buffers before counting
    PKT_Free(warm);
    uint32_t pooled = PKT_PoolFreeCount() + PKT_PoolInUseCount();
    uint32_t inUse = PKT_PoolInUseCount();
    for (int i = 0; i < 100; i++) {
        PKT_Buffer *b = PKT_Alloc(nullptr);
        PKT_Reset(b);
        PKT_Reserve(b, (uint32_t)frame.size());
        memcpy(b->start, frame.data(), frame.size());
        b->length = (uint16_t)frame.size();
        ASSERT_EQ(PPP_Input(b, link.ctx), 1);
        ASSERT_EQ(PPP_EncapsulateIP(b, link.ctx->ipcp), 1);
        EXPECT_EQ(PKT_PoolInUseCount(), inUse + 1);
        PKT_Free(b);
    }
    EXPECT_EQ(PKT_PoolFreeCount() + PKT_PoolInUseCount(), pooled);
    EXPECT_TRUE(Captured().frames.empty());
}

} // namespace
