// LCP on the wire: what the client requests, what it answers to typical
// requests, how it takes the peer's answers, echoes and Protocol-Rejects.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lcp.h"
#include "link_mtu_cases.h"
#include "pkt_buffer.h"
#include "ppp.h"
#include "ppp_harness.h"

using namespace ppptest;

namespace {

class LcpTest : public ::testing::Test {
protected:
    void SetUp() override { ResetClock(); }
    void TearDown() override { PPP_SetRandomSource(nullptr); }

    // LCP frames sent since the last call, as hex.
    static std::vector<std::string> SentLcp()
    {
        std::vector<std::string> out;
        for (const Frame &f : Captured().Take(LCP_PROTOCOL))
            out.push_back(ToHex(f.bytes));
        return out;
    }
};

const char *const kFirstRequest = "C0 21 01 00 00 0E 01 04 05 78 05 06 11 12 13 14";

TEST_F(LcpTest, FirstRequestWithCoreSettings)
{
    Link link;
    EXPECT_EQ(SentLcp(), std::vector<std::string>{kFirstRequest});
    EXPECT_EQ(Captured().linkEvents, std::vector<uint32_t>{PPP_EVENT_STARTED});
    EXPECT_EQ(link.ctx->phase, PPP_PHASE_ESTABLISH);
    EXPECT_EQ(link.ctx->ourMagic, 0x11121314u);
}

struct RequestCase {
    const char *what;
    const char *request;    // the peer's LCP frame
    const char *answer;     // expected answer, "" for none
};

TEST_F(LcpTest, AnswersToRequests)
{
    const RequestCase cases[] = {
        {"pppd's first request: ACCM, PFC and ACFC rejected",
         "C0 21 01 01 00 18 02 06 00 00 00 00 03 04 C0 23 05 06 2A 2B 2C 2D 07 02 08 02",
         "C0 21 04 01 00 0E 02 06 00 00 00 00 07 02 08 02"},
        {"acceptable MRU, PAP and magic", "C0 21 01 02 00 12 01 04 05 DC 03 04 C0 23 05 06 2A 2B 2C 2D",
         "C0 21 02 02 00 12 01 04 05 DC 03 04 C0 23 05 06 2A 2B 2C 2D"},
        {"MS-CHAPv2 acknowledged", "C0 21 01 03 00 09 03 05 C2 23 81",
         "C0 21 02 03 00 09 03 05 C2 23 81"},
        {"MRU of length 3 dropped", "C0 21 01 04 00 07 01 03 05", ""},
        {"PAP of length 5 dropped", "C0 21 01 05 00 09 03 05 C0 23 00", ""},
        {"our own magic dropped", "C0 21 01 06 00 0A 05 06 11 12 13 14", ""},
        {"option length 0 dropped", "C0 21 01 07 00 08 42 00 00 00", ""},
        {"option running past the end dropped", "C0 21 01 08 00 08 42 05 00 00", ""},
        {"header longer than the frame dropped", "C0 21 01 09 00 10 42 02", ""},
        {"unknown option rejected", "C0 21 01 0A 00 08 42 04 AA BB", "C0 21 04 0A 00 08 42 04 AA BB"},
        {"EAP draws a Nak for MS-CHAPv2", "C0 21 01 0B 00 08 03 04 C2 27",
         "C0 21 03 0B 00 09 03 05 C2 23 81"},
        {"unknown CHAP algorithm draws a Nak", "C0 21 01 0C 00 09 03 05 C2 23 06",
         "C0 21 03 0C 00 09 03 05 C2 23 81"},
        {"unknown option and bad auth: the Reject only", "C0 21 01 0D 00 0A 42 02 03 04 C2 27",
         "C0 21 04 0D 00 06 42 02"},
        {"quality protocol rejected", "C0 21 01 0E 00 08 04 04 C0 25", "C0 21 04 0E 00 08 04 04 C0 25"},
        {"trailing bytes behind the length ignored", "C0 21 01 0F 00 04 99 99",
         "C0 21 02 0F 00 04"},
        {"MRU below 128 draws a Nak with ours", "C0 21 01 10 00 08 01 04 00 7F",
         "C0 21 03 10 00 08 01 04 05 78"},
        {"MRU 0 and a magic: the Nak holds the MRU only",
         "C0 21 01 11 00 0E 01 04 00 00 05 06 2A 2B 2C 2D", "C0 21 03 11 00 08 01 04 05 78"},
        {"MRU 128 acknowledged", "C0 21 01 12 00 08 01 04 00 80", "C0 21 02 12 00 08 01 04 00 80"},
    };
    for (const RequestCase &c : cases) {
        ResetClock();
        Link link;
        SentLcp();
        Feed(link.ctx, Hex(c.request));
        std::vector<std::string> want;
        if (*c.answer)
            want.push_back(ToHex(Hex(c.answer)));
        EXPECT_EQ(SentLcp(), want) << c.what;
        EXPECT_TRUE(Captured().reasons.empty()) << c.what;
        EXPECT_GE(link.ctx->peerMRU, LCP_MIN_MRU) << c.what;
    }
}

// A peer MRU below 128 is never taken (it would become the tunnel's MTU):
// the request draws a Nak with our MRU and the peer MRU keeps its default.
// The peer's demand follows the request that was answered last.
TEST_F(LcpTest, PeerMruAndDemand)
{
    Link link;
    SentLcp();
    Feed(link.ctx, Hex("C0 21 01 01 00 0C 01 04 00 20 03 04 C0 23"));
    EXPECT_EQ(SentLcp(), std::vector<std::string>{"C0 21 03 01 00 08 01 04 05 78"});
    EXPECT_EQ(link.ctx->peerMRU, 1500);
    EXPECT_EQ(link.ctx->lcp.peerMRU, 1500);
    EXPECT_EQ(link.ctx->peerAuthProtocol, PPP_PROTO_PAP);
    EXPECT_EQ(PPP_GetLinkMRU(link.ctx), 1400);
    // The next request drops the option: the peer no longer demands PAP.
    Feed(link.ctx, Hex("C0 21 01 02 00 04"));
    EXPECT_EQ(link.ctx->peerAuthProtocol, 0);
    // A dropped request changes nothing.
    Feed(link.ctx, Hex("C0 21 01 03 00 0A 03 04 C0 23 01 03 05"));
    EXPECT_EQ(link.ctx->peerAuthProtocol, 0);
    // From 128 on the peer's MRU is taken.
    Feed(link.ctx, Hex("C0 21 01 04 00 08 01 04 02 40"));
    EXPECT_EQ(link.ctx->peerMRU, 576);
    EXPECT_EQ(PPP_GetLinkMRU(link.ctx), 576);
}

// The peer's MRU, asked for in its request or suggested in a Nak of ours,
// is taken within the link's bound and nowhere else: the same table the
// route service's MTU check is held to.
TEST_F(LcpTest, PeerMruBoundIsTheLinkMtuBound)
{
    for (const LinkMtuCase &c : LINK_MTU_CASES) {
        if (c.mtu > 0xFFFF)
            continue;  // no MRU option can carry it
        SCOPED_TRACE(c.what);
        const uint8_t hi = (uint8_t)(c.mtu >> 8), lo = (uint8_t)c.mtu;
        {
            ResetClock();
            Link link;
            SentLcp();
            Feed(link.ctx, Bytes{0xC0, 0x21, 0x01, 0x01, 0x00, 0x08, 0x01, 0x04, hi, lo});
            std::vector<std::string> sent = SentLcp();
            ASSERT_EQ(sent.size(), 1u);
            EXPECT_EQ(sent[0].substr(0, 8), c.accepted ? "C0 21 02" : "C0 21 03") << c.mtu;
            EXPECT_EQ(link.ctx->peerMRU, c.accepted ? c.mtu : 1500u) << c.mtu;
            EXPECT_EQ(PPP_GetLinkMRU(link.ctx), c.accepted && c.mtu < 1400 ? c.mtu : 1400u) << c.mtu;
        }
        {
            ResetClock();
            Link link;
            SentLcp();
            Feed(link.ctx, Bytes{0xC0, 0x21, 0x03, 0x00, 0x00, 0x08, 0x01, 0x04, hi, lo});
            EXPECT_EQ(link.ctx->ourMRU, c.accepted ? c.mtu : 1500u) << c.mtu;
            EXPECT_GE(PPP_GetLinkMRU(link.ctx), (uint32_t)LINK_MTU_MIN) << c.mtu;
        }
    }
}

TEST_F(LcpTest, RepeatedRefusalsEndNegotiation)
{
    struct Case {
        const char *what;
        uint32_t perform;
        const char *first, *firstAnswer, *second;
        uint32_t reason;
    };
    const Case cases[] = {
        {"option rejected twice", PPP_AUTH_ALL, "C0 21 01 01 00 06 42 02", "C0 21 04 01 00 06 42 02",
         "C0 21 01 02 00 06 42 02", PPP_TERM_LCP_STALLED},
        {"type mod 32 counts as the same", PPP_AUTH_ALL, "C0 21 01 01 00 06 02 02",
         "C0 21 04 01 00 06 02 02", "C0 21 01 02 00 06 22 02", PPP_TERM_LCP_STALLED},
        {"no auth option twice while none is not performed", PPP_AUTH_PAP,
         "C0 21 01 01 00 04", "C0 21 03 01 00 08 03 04 C0 23", "C0 21 01 02 00 04",
         PPP_TERM_PEER_REFUSES_AUTH},
        {"PAP only performed: MS-CHAPv2 NAK'ed for PAP", 0x03, "C0 21 01 01 00 09 03 05 C2 23 81",
         "C0 21 03 01 00 08 03 04 C0 23", "C0 21 01 02 00 09 03 05 C2 23 81",
         PPP_TERM_AUTH_PROTOCOL},
        {"MD5 only performed: PAP NAK'ed for CHAP", 0x05, "C0 21 01 01 00 08 03 04 C0 23",
         "C0 21 03 01 00 09 03 05 C2 23 05", "C0 21 01 02 00 08 03 04 C0 23",
         PPP_TERM_AUTH_PROTOCOL},
        {"none only performed: auth option rejected", PPP_AUTH_NONE, "C0 21 01 01 00 08 03 04 C0 23",
         "C0 21 04 01 00 08 03 04 C0 23", "C0 21 01 02 00 08 03 04 C0 23", PPP_TERM_LCP_STALLED},
    };
    for (const Case &c : cases) {
        ResetClock();
        Link link;
        link.ctx->config.perform = c.perform;
        SentLcp();
        Feed(link.ctx, Hex(c.first));
        EXPECT_EQ(SentLcp(), std::vector<std::string>{ToHex(Hex(c.firstAnswer))}) << c.what;
        // A retransmission of the same request (same identifier and bytes)
        // is answered again and is not a second refusal.
        Feed(link.ctx, Hex(c.first));
        EXPECT_EQ(SentLcp(), std::vector<std::string>{ToHex(Hex(c.firstAnswer))}) << c.what;
        EXPECT_TRUE(Captured().reasons.empty()) << c.what;

        Feed(link.ctx, Hex(c.second));
        EXPECT_EQ(Captured().reasons, std::vector<uint32_t>{c.reason}) << c.what;
        std::vector<std::string> sent = SentLcp();
        ASSERT_EQ(sent.size(), 1u) << c.what;
        EXPECT_EQ(sent[0].substr(0, 8), "C0 21 05") << c.what << ": Terminate-Request";
        EXPECT_EQ(link.ctx->lcp.state, FSM_STATE_CLOSING) << c.what;
    }
}

// Two options of one type in a single request are both rejected: the
// "rejected before" test looks at earlier requests only.
TEST_F(LcpTest, SameTypeTwiceInOneRequest)
{
    Link link;
    SentLcp();
    Feed(link.ctx, Hex("C0 21 01 01 00 08 00 02 00 02"));
    EXPECT_EQ(SentLcp(), std::vector<std::string>{"C0 21 04 01 00 08 00 02 00 02"});
    EXPECT_TRUE(Captured().reasons.empty());
}

TEST_F(LcpTest, PeerAnswersToOurRequest)
{
    struct Case {
        const char *what;
        const char *answer;     // to our request of identifier 0
        const char *next;       // our next request, "" for none
    };
    const Case cases[] = {
        {"MRU NAK'ed: adopted", "C0 21 03 00 00 08 01 04 05 14",
         "C0 21 01 01 00 0E 01 04 05 14 05 06 15 16 17 18"},
        {"MRU NAK'ed to 1500: left out", "C0 21 03 00 00 08 01 04 05 DC",
         "C0 21 01 01 00 0A 05 06 15 16 17 18"},
        {"MRU rejected", "C0 21 04 00 00 08 01 04 05 78", "C0 21 01 01 00 0A 05 06 15 16 17 18"},
        {"magic rejected", "C0 21 04 00 00 0A 05 06 11 12 13 14", "C0 21 01 01 00 08 01 04 05 78"},
        {"hint options in a Nak taken without change", "C0 21 03 00 00 0A 05 06 01 02 03 04",
         "C0 21 01 01 00 0E 01 04 05 78 05 06 15 16 17 18"},
        {"MRU NAK'ed below 128: default kept, option left out", "C0 21 03 00 00 08 01 04 00 40",
         "C0 21 01 01 00 0A 05 06 15 16 17 18"},
        {"MRU NAK'ed to 0: default kept, option left out", "C0 21 03 00 00 08 01 04 00 00",
         "C0 21 01 01 00 0A 05 06 15 16 17 18"},
        {"MRU NAK'ed to 128: adopted", "C0 21 03 00 00 08 01 04 00 80",
         "C0 21 01 01 00 0E 01 04 00 80 05 06 15 16 17 18"},
        {"MS-CHAPv2 hint although we asked for no authentication: ignored",
         "C0 21 03 00 00 09 03 05 C2 23 81", "C0 21 01 01 00 0E 01 04 05 78 05 06 15 16 17 18"},
        {"PAP hint beside an MRU: the MRU taken, the hint ignored",
         "C0 21 03 00 00 0C 03 04 C0 23 01 04 05 14",
         "C0 21 01 01 00 0E 01 04 05 14 05 06 15 16 17 18"},
        {"Nak with an unknown type dropped", "C0 21 03 00 00 08 11 04 00 00", ""},
        {"Reject with an unknown type dropped", "C0 21 04 00 00 06 11 02", ""},
        {"Nak for another identifier dropped", "C0 21 03 07 00 08 01 04 05 14", ""},
    };
    for (const Case &c : cases) {
        ResetClock();
        Link link;
        SentLcp();
        Feed(link.ctx, Hex(c.answer));
        std::vector<std::string> want;
        if (*c.next)
            want.push_back(ToHex(Hex(c.next)));
        EXPECT_EQ(SentLcp(), want) << c.what;
        EXPECT_TRUE(Captured().reasons.empty()) << c.what;
        EXPECT_EQ(link.ctx->lcp.state, FSM_STATE_REQ_SENT) << c.what;
        EXPECT_GE(PPP_GetLinkMRU(link.ctx), LCP_MIN_MRU) << c.what;
    }
}

// The hinted Nak does not end negotiation: the link still opens.
TEST_F(LcpTest, OpensAfterAuthenticationHint)
{
    Link link;
    Feed(link.ctx, Hex("C0 21 03 00 00 09 03 05 C2 23 81"));
    OpenLcp(link.ctx);
    EXPECT_EQ(link.ctx->lcp.state, FSM_STATE_OPENED);
    EXPECT_EQ(link.ctx->phase, PPP_PHASE_NETWORK);
    EXPECT_TRUE(Captured().reasons.empty());
}

// Once LCP has closed (or is closing), a late request that hits the
// "rejected twice" rule sends nothing, raises no link event and reports no
// reason: the layer already went down once.
TEST_F(LcpTest, GiveUpInClosedLayerDoesNothing)
{
    struct Case {
        const char *what;
        void (*bringDown)(PPP_Context *);
        FSM_State state;
    };
    const Case cases[] = {
        {"CLOSED after Close and the Terminate-Ack",
         [](PPP_Context *ctx) {
             LCP_Close(ctx);
             Feed(ctx, Hex("C0 21 06 01 00 04"));
         },
         FSM_STATE_CLOSED},
        {"CLOSING, Terminate-Ack outstanding", [](PPP_Context *ctx) { LCP_Close(ctx); },
         FSM_STATE_CLOSING},
        {"STOPPED after our requests went unanswered", [](PPP_Context *) { Advance(31000); },
         FSM_STATE_STOPPED},
    };
    for (const Case &c : cases) {
        ResetClock();
        Link link;
        Feed(link.ctx, Hex("C0 21 01 01 00 06 42 02"));
        c.bringDown(link.ctx);
        ASSERT_EQ(link.ctx->lcp.state, c.state) << c.what;
        ASSERT_TRUE(Captured().reasons.empty()) << c.what;
        uint32_t timers = PendingTimers();
        Captured().Clear();

        Feed(link.ctx, Hex("C0 21 01 02 00 06 42 02"));
        EXPECT_TRUE(SentLcp().empty()) << c.what;
        EXPECT_TRUE(Captured().frames.empty()) << c.what;
        EXPECT_TRUE(Captured().reasons.empty()) << c.what;
        EXPECT_TRUE(Captured().linkEvents.empty()) << c.what;
        EXPECT_EQ(link.ctx->lcp.state, c.state) << c.what;
        EXPECT_EQ(PendingTimers(), timers) << c.what;
    }
}

TEST_F(LcpTest, OpensWithoutAuthenticationIntoNetworkPhase)
{
    Link link;
    OpenLcp(link.ctx);
    EXPECT_EQ(link.ctx->lcp.state, FSM_STATE_OPENED);
    EXPECT_EQ(link.ctx->phase, PPP_PHASE_NETWORK);
    EXPECT_EQ(link.ctx->authSides, PPP_SIDE_BOTH);
    EXPECT_EQ(Captured().linkEvents, (std::vector<uint32_t>{PPP_EVENT_STARTED, PPP_EVENT_UP}));
    EXPECT_EQ(link.ctx->ipcp->fsm.state, FSM_STATE_REQ_SENT);
    EXPECT_EQ(link.ctx->vsp->fsm.state, FSM_STATE_REQ_SENT);
    EXPECT_EQ(link.ctx->peerMagic, 0x2A2B2C2Du);
}

TEST_F(LcpTest, EchoKeepAlive)
{
    Link link;
    OpenNetwork(link.ctx);
    uint32_t magic = link.ctx->ourMagic;
    Captured().frames.clear();

    // Silent peer: one Echo-Request, then the link closes at the next tick.
    Advance(8000);
    std::vector<std::string> sent = SentLcp();
    ASSERT_EQ(sent.size(), 1u);
    Bytes echo = Hex(sent[0].c_str());
    ASSERT_EQ(echo.size(), 10u);
    EXPECT_EQ(ToHex(Bytes(echo.begin(), echo.begin() + 3)), "C0 21 09");
    EXPECT_EQ(PPP_Get16(&echo[4]), 8);
    EXPECT_EQ(PPP_Get32(&echo[6]), magic);
    Advance(8000);
    sent = SentLcp();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].substr(0, 8), "C0 21 05");
    EXPECT_EQ(link.ctx->lcp.state, FSM_STATE_CLOSING);
}

TEST_F(LcpTest, EchoSkippedAfterTrafficAndAnswered)
{
    Link link;
    OpenNetwork(link.ctx);
    Captured().frames.clear();
    Advance(7000);
    EXPECT_EQ(Feed(link.ctx, Hex("00 21 45 00 00 14")), 1);   // IPv4: peer alive
    Advance(1000);
    EXPECT_TRUE(SentLcp().empty()) << "tick after traffic sends nothing";
    Advance(8000);
    std::vector<std::string> sent = SentLcp();
    ASSERT_EQ(sent.size(), 1u);
    uint8_t id = Hex(sent[0].c_str())[3];
    // The reply resets the count: the next tick sends again instead of closing.
    Bytes reply = Hex("C0 21 0A 00 00 08 2A 2B 2C 2D");
    reply[3] = id;
    Feed(link.ctx, reply);
    EXPECT_EQ(link.ctx->echoLosses, 0u);
    Advance(8000);
    sent = SentLcp();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(Hex(sent[0].c_str())[2], FSM_CODE_ECHO_REQUEST);

    // The peer's Echo-Request: answered with our magic and its data when its
    // magic is the peer's; otherwise no reply and not alive.
    link.ctx->peerAlive = 0;
    Feed(link.ctx, Hex("C0 21 09 33 00 0A 2A 2B 2C 2D BE EF"));
    Bytes want = Hex("C0 21 0A 33 00 0A 00 00 00 00 BE EF");
    PPP_Put32(&want[6], link.ctx->ourMagic);
    EXPECT_EQ(SentLcp(), std::vector<std::string>{ToHex(want)});
    EXPECT_EQ(link.ctx->peerAlive, 1u);
    link.ctx->peerAlive = 0;
    Feed(link.ctx, Hex("C0 21 09 34 00 08 01 02 03 04"));
    EXPECT_TRUE(SentLcp().empty());
    EXPECT_EQ(link.ctx->peerAlive, 0u);
}

// A poll that comes 20 s late fires the echo timer once: it sends an
// Echo-Request and does not count a loss before the reply could be read.
TEST_F(LcpTest, LatePollCountsNoBackToBackLoss)
{
    Link link;
    OpenNetwork(link.ctx);
    Captured().frames.clear();
    Jump(20000);
    std::vector<std::string> sent = SentLcp();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(Hex(sent[0].c_str())[2], FSM_CODE_ECHO_REQUEST);
    EXPECT_EQ(link.ctx->lcp.state, FSM_STATE_OPENED);
    Bytes reply = Hex("C0 21 0A 00 00 08 2A 2B 2C 2D");
    reply[3] = link.ctx->lcp.echoId;
    Feed(link.ctx, reply);
    Jump(7999);
    EXPECT_TRUE(SentLcp().empty());
    EXPECT_EQ(link.ctx->lcp.state, FSM_STATE_OPENED);
}

TEST_F(LcpTest, ProtocolRejectDispatch)
{
    struct Case {
        const char *what;
        const char *frame;
        FSM_State lcp, ipcp, vsp;
    };
    const Case cases[] = {
        {"IPCP rejected: the link closes", "C0 21 08 05 00 0A 80 21 01 00 00 04", FSM_STATE_CLOSING,
         FSM_STATE_INITIAL, FSM_STATE_INITIAL},
        {"vendor protocol rejected: survives", "C0 21 08 05 00 12 40 5B 01 00 00 0C 00 00 00 00 40 84 93 00",
         FSM_STATE_OPENED, FSM_STATE_REQ_SENT, FSM_STATE_STOPPED},
        {"LCP rejected", "C0 21 08 05 00 0A C0 21 01 00 00 04", FSM_STATE_STOPPING,
         FSM_STATE_STARTING, FSM_STATE_STARTING},
        {"IPv4 rejected: ignored", "C0 21 08 05 00 0A 00 21 45 00 00 14", FSM_STATE_OPENED,
         FSM_STATE_REQ_SENT, FSM_STATE_REQ_SENT},
        {"too short: ignored", "C0 21 08 05 00 09 80 21 01 00 00", FSM_STATE_OPENED,
         FSM_STATE_REQ_SENT, FSM_STATE_REQ_SENT},
        {"inner length past the packet: ignored", "C0 21 08 05 00 0A 80 21 01 00 00 06",
         FSM_STATE_OPENED, FSM_STATE_REQ_SENT, FSM_STATE_REQ_SENT},
    };
    for (const Case &c : cases) {
        ResetClock();
        Link link;
        OpenLcp(link.ctx);
        Feed(link.ctx, Hex(c.frame));
        EXPECT_EQ(FSM_StateName(link.ctx->lcp.state), std::string(FSM_StateName(c.lcp))) << c.what;
        EXPECT_EQ(FSM_StateName(link.ctx->ipcp->fsm.state), std::string(FSM_StateName(c.ipcp)))
            << c.what;
        EXPECT_EQ(FSM_StateName(link.ctx->vsp->fsm.state), std::string(FSM_StateName(c.vsp)))
            << c.what;
    }
}

TEST_F(LcpTest, SendsProtocolRejectCutToPeerMru)
{
    Link link;
    OpenLcp(link.ctx);
    Captured().frames.clear();
    uint8_t id = link.ctx->lcp.nextId;
    Feed(link.ctx, Hex("00 57 60 00 00 00"));
    Bytes want = Hex("C0 21 08 00 00 0A 00 57 60 00 00 00");
    want[3] = id;
    EXPECT_EQ(SentLcp(), std::vector<std::string>{ToHex(want)});
    EXPECT_EQ(link.ctx->lcp.nextId, (uint8_t)(id + 1));

    link.ctx->peerMRU = 3;
    Feed(link.ctx, Hex("80 FD 01 01 00 04"));
    want = Hex("C0 21 08 00 00 09 80 FD 01 01 00");
    want[3] = (uint8_t)(id + 1);
    EXPECT_EQ(SentLcp(), std::vector<std::string>{ToHex(want)});
}

} // namespace
