// IPCP on the wire: the client's requests, how it takes the gateway's Naks
// and Rejects, how it answers the gateway's request, and giving up.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ppp.h"
#include "ppp_harness.h"

using namespace ppptest;

namespace {

class IpcpTest : public ::testing::Test {
protected:
    void SetUp() override { ResetClock(); }
    void TearDown() override { PPP_SetRandomSource(nullptr); }

    static std::vector<std::string> Sent(uint16_t protocol)
    {
        std::vector<std::string> out;
        for (const Frame &f : Captured().Take(protocol))
            out.push_back(ToHex(f.bytes));
        return out;
    }
    static uint32_t Addr(const char *hex)
    {
        Bytes b = Hex(hex);
        uint32_t a;
        memcpy(&a, b.data(), 4);
        return a;
    }
};

const char *const kFirstRequest =
    "80 21 01 00 00 22 03 06 00 00 00 00 81 06 00 00 00 00 83 06 00 00 00 00 82 06 00 00 00 00 "
    "84 06 00 00 00 00";

TEST_F(IpcpTest, FirstRequestAndNakedValues)
{
    Link link;
    OpenLcp(link.ctx);
    EXPECT_EQ(Sent(IPCP_PROTOCOL), std::vector<std::string>{ToHex(Hex(kFirstRequest))});

    // A gateway in the manner of pppd: Nak with the address, DNS and NBNS.
    Feed(link.ctx, Hex("80 21 03 00 00 22 03 06 0A 0A 00 02 81 06 0A 0A 00 35 83 06 0A 0A 00 36 "
                       "82 06 0A 0A 00 89 84 06 0A 0A 00 8A"));
    const char *second = "80 21 01 01 00 22 03 06 0A 0A 00 02 81 06 0A 0A 00 35 83 06 0A 0A 00 36 "
                         "82 06 0A 0A 00 89 84 06 0A 0A 00 8A";
    EXPECT_EQ(Sent(IPCP_PROTOCOL), std::vector<std::string>{ToHex(Hex(second))});

    Feed(link.ctx, Hex("80 21 01 05 00 0A 03 06 0A 0A 00 01"));
    EXPECT_EQ(Sent(IPCP_PROTOCOL), std::vector<std::string>{"80 21 02 05 00 0A 03 06 0A 0A 00 01"});
    Bytes ack = Hex(second);
    ack[2] = 2;
    Feed(link.ctx, ack);
    EXPECT_EQ(link.ctx->ipcp->fsm.state, FSM_STATE_OPENED);
    EXPECT_EQ(Captured().ipcpEvents, std::vector<uint32_t>{PPP_EVENT_UP});
    const IPCP_Config &r = link.ctx->ipcp->config;
    EXPECT_EQ(r.address, Addr("0A 0A 00 02"));
    EXPECT_EQ(r.peerAddress, Addr("0A 0A 00 01"));
    EXPECT_EQ(r.dns1, Addr("0A 0A 00 35"));
    EXPECT_EQ(r.dns2, Addr("0A 0A 00 36"));
    EXPECT_EQ(r.nbns1, Addr("0A 0A 00 89"));
    EXPECT_EQ(r.nbns2, Addr("0A 0A 00 8A"));
}

struct RejectCase {
    const char *what;
    uint32_t mode;
    const char *answer;     // to our first request (identifier 0)
    const char *next;       // our next IPCP request, "" for none
    std::vector<uint32_t> reasons;
};

TEST_F(IpcpTest, RejectsAndNaks)
{
    const RejectCase cases[] = {
        {"NBNS rejected: left out", 1, "80 21 04 00 00 10 82 06 00 00 00 00 84 06 00 00 00 00",
         "80 21 01 01 00 16 03 06 00 00 00 00 81 06 00 00 00 00 83 06 00 00 00 00", {}},
        {"primary DNS rejected: secondary still asked", 1, "80 21 04 00 00 0A 81 06 00 00 00 00",
         "80 21 01 01 00 1C 03 06 00 00 00 00 83 06 00 00 00 00 82 06 00 00 00 00 84 06 00 00 00 00",
         {}},
        {"required address rejected: reason 2", 1, "80 21 04 00 00 0A 03 06 00 00 00 00", "",
         {PPP_TERM_IP_ADDRESS}},
        {"required DNS rejected: reason 3", 1 | 4, "80 21 04 00 00 0A 81 06 00 00 00 00", "",
         {PPP_TERM_PRIMARY_DNS}},
        {"address Nak ignored with mode 2", 2, "80 21 03 00 00 0A 03 06 0A 00 00 05",
         "80 21 01 01 00 1C 81 06 00 00 00 00 83 06 00 00 00 00 82 06 00 00 00 00 84 06 00 00 00 00",
         {}},
        {"unknown type in a Reject changes nothing", 1, "80 21 04 00 00 06 C8 02",
         "80 21 01 01 00 22 03 06 00 00 00 00 81 06 00 00 00 00 83 06 00 00 00 00 82 06 00 00 00 00 "
         "84 06 00 00 00 00",
         {}},
        {"short address in a Nak drops it", 1, "80 21 03 00 00 08 03 04 0A 00", "", {}},
    };
    for (const RejectCase &c : cases) {
        ResetClock();
        Link link;
        link.ctx->ipcp->config.mode = c.mode;
        OpenLcp(link.ctx);
        Sent(IPCP_PROTOCOL);
        Captured().frames.clear();
        Feed(link.ctx, Hex(c.answer));
        std::vector<std::string> want;
        if (*c.next)
            want.push_back(ToHex(Hex(c.next)));
        std::vector<std::string> sent = Sent(IPCP_PROTOCOL);
        EXPECT_EQ(Captured().reasons, c.reasons) << c.what;
        if (c.reasons.empty()) {
            EXPECT_EQ(sent, want) << c.what;
        } else {
            // IPCP closes with a Terminate-Request; once that is done its
            // This-Layer-Finished closes the link.
            ASSERT_EQ(sent.size(), 1u) << c.what;
            EXPECT_EQ(sent[0].substr(0, 8), "80 21 05") << c.what;
            EXPECT_TRUE(Sent(LCP_PROTOCOL).empty()) << c.what;
            Advance(6000);
            std::vector<std::string> lcp = Sent(LCP_PROTOCOL);
            ASSERT_FALSE(lcp.empty()) << c.what;
            EXPECT_EQ(lcp.back().substr(0, 8), "C0 21 05") << c.what;
        }
    }
}

TEST_F(IpcpTest, AnswersGatewayRequest)
{
    struct Case {
        const char *what;
        const char *request;
        const char *answer;
    };
    const Case cases[] = {
        {"VJ compression rejected alone", "80 21 01 01 00 10 03 06 0A 0A 00 01 02 06 00 2D 0F 01",
         "80 21 04 01 00 0A 02 06 00 2D 0F 01"},
        {"address acknowledged", "80 21 01 02 00 0A 03 06 0A 0A 00 01",
         "80 21 02 02 00 0A 03 06 0A 0A 00 01"},
        {"DNS rejected with accept 0x28", "80 21 01 03 00 10 03 06 0A 0A 00 01 81 06 0A 0A 00 35",
         "80 21 04 03 00 0A 81 06 0A 0A 00 35"},
        {"NBNS and unknown types rejected", "80 21 01 04 00 0E 82 06 01 02 03 04 C8 04 00 00",
         "80 21 04 04 00 0E 82 06 01 02 03 04 C8 04 00 00"},
        {"malformed option dropped", "80 21 01 05 00 08 03 06 0A 0A", ""},
    };
    for (const Case &c : cases) {
        ResetClock();
        Link link;
        OpenLcp(link.ctx);
        Sent(IPCP_PROTOCOL);
        Feed(link.ctx, Hex(c.request));
        std::vector<std::string> want;
        if (*c.answer)
            want.push_back(ToHex(Hex(c.answer)));
        EXPECT_EQ(Sent(IPCP_PROTOCOL), want) << c.what;
    }
    ResetClock();
    Link link;
    OpenLcp(link.ctx);
    Feed(link.ctx, Hex("80 21 01 01 00 0A 03 06 0A 0A 00 01"));
    EXPECT_EQ(link.ctx->ipcp->config.peerAddress, Addr("0A 0A 00 01"));
}

// A silent gateway: requests at 0, 0.15, 3.15, 6.15, 9.15 s, give-up at
// 12.15 s, which closes the whole link (LCP Terminate-Request, then
// FINISHED once LCP's close completes).
TEST_F(IpcpTest, GivingUpClosesTheLink)
{
    Link link;
    OpenLcp(link.ctx);
    uint64_t t0 = NowMs();
    Advance(12149);
    std::vector<Frame> ipcp = Captured().Take(IPCP_PROTOCOL);
    std::vector<uint64_t> times;
    for (const Frame &f : ipcp)
        times.push_back(f.timeMs - t0);
    EXPECT_EQ(times, (std::vector<uint64_t>{0, 150, 3150, 6150, 9150}));
    Captured().frames.clear();
    Advance(1);
    std::vector<std::string> lcp = Sent(LCP_PROTOCOL);
    ASSERT_EQ(lcp.size(), 1u);
    EXPECT_EQ(lcp[0].substr(0, 8), "C0 21 05");
    Advance(10000);
    EXPECT_EQ(Captured().linkEvents.back(), PPP_EVENT_FINISHED);
    EXPECT_EQ(PendingTimers(), 0u);
}

} // namespace
