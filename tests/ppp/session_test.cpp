// One whole session through the public interface against a scripted
// gateway. Both directions are literal frames written from the protocols'
// wire formats, not from the engine's encoders: what the gateway sends, and
// exactly what the client must answer at each step.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pkt_buffer.h"
#include "ppp.h"
#include "ppp_harness.h"

using namespace ppptest;

namespace {

struct Step {
    const char *what;
    uint64_t waitMs;                  // clock advance before the frame
    const char *gateway;              // frame fed to the engine, "" none
    std::vector<const char *> client; // every frame the engine sends in answer, in order
};

// Magic numbers: the client's 11121314 (the fixed random source), the
// gateway's 2A2B2C2D. User "user", password "secret".
const char *const kLcpRequest = "C0 21 01 00 00 0E 01 04 05 78 05 06 11 12 13 14";
const char *const kIpcpRequest0 =
    "80 21 01 00 00 22 03 06 00 00 00 00 81 06 00 00 00 00 83 06 00 00 00 00 82 06 00 00 00 00 "
    "84 06 00 00 00 00";
const char *const kIpcpRequest1 =
    "80 21 01 01 00 22 03 06 0A 0A 00 02 81 06 0A 0A 00 35 83 06 0A 0A 00 36 82 06 0A 0A 00 89 "
    "84 06 0A 0A 00 8A";
const char *const kVspRequest = "40 5B 01 00 00 0C 11 12 13 14 40 84 93 00";

const std::vector<Step> kOpening = {
    {"gateway's LCP request: MRU 1500, PAP, magic", 0,
     "C0 21 01 01 00 12 01 04 05 DC 03 04 C0 23 05 06 2A 2B 2C 2D",
     {"C0 21 02 01 00 12 01 04 05 DC 03 04 C0 23 05 06 2A 2B 2C 2D"}},
    {"gateway acknowledges ours: PAP starts", 0, "C0 21 02 00 00 0E 01 04 05 78 05 06 11 12 13 14",
     {"C0 23 01 00 00 10 04 75 73 65 72 06 73 65 63 72 65 74"}},
    {"PAP Ack: network phase, IPCP then the vendor protocol", 0, "C0 23 02 00 00 05 00",
     {kIpcpRequest0, kVspRequest}},
    {"gateway's IPCP request", 0, "80 21 01 01 00 0A 03 06 0A 0A 00 01",
     {"80 21 02 01 00 0A 03 06 0A 0A 00 01"}},
    {"IPCP Nak with address, DNS and NBNS", 0,
     "80 21 03 00 00 22 03 06 0A 0A 00 02 81 06 0A 0A 00 35 83 06 0A 0A 00 36 82 06 0A 0A 00 89 "
     "84 06 0A 0A 00 8A",
     {kIpcpRequest1}},
    {"IPCP Ack", 0,
     "80 21 02 01 00 22 03 06 0A 0A 00 02 81 06 0A 0A 00 35 83 06 0A 0A 00 36 82 06 0A 0A 00 89 "
     "84 06 0A 0A 00 8A",
     {}},
};

const std::vector<Step> kVspRuns = {
    {"gateway's vendor request with a URL option", 0,
     "40 5B 01 01 00 1A 2A 2B 2C 2D 40 84 93 00 00 01 00 0A 68 74 74 70 3A 2F 2F 67 77 2F",
     {"40 5B 02 01 00 1A 2A 2B 2C 2D 40 84 93 00 00 01 00 0A 68 74 74 70 3A 2F 2F 67 77 2F"}},
    {"vendor Ack of ours", 0, "40 5B 02 00 00 0C 11 12 13 14 40 84 93 00", {}},
};

const std::vector<Step> kVspRejected = {
    {"gateway Protocol-Rejects the vendor protocol", 0,
     "C0 21 08 05 00 12 40 5B 01 00 00 0C 11 12 13 14 40 84 93 00", {}},
};

const std::vector<Step> kRunning = {
    {"gateway's Echo-Request", 0, "C0 21 09 07 00 0C 2A 2B 2C 2D 01 02 03 04",
     {"C0 21 0A 07 00 0C 11 12 13 14 01 02 03 04"}},
    {"first echo tick after the gateway's echo: skipped", 8000, "", {}},
    {"second tick: our Echo-Request", 8000, "", {"C0 21 09 01 00 08 11 12 13 14"}},
    {"gateway's Echo-Reply", 0, "C0 21 0A 01 00 08 2A 2B 2C 2D", {}},
    {"third tick: the next Echo-Request", 8000, "", {"C0 21 09 02 00 08 11 12 13 14"}},
    {"gateway's Echo-Reply", 0, "C0 21 0A 02 00 08 2A 2B 2C 2D", {}},
};

const std::vector<Step> kEmpty;

struct VspOption {
    std::vector<std::string> seen;
};
VspOption gOptions;

int AcceptUrl(uint8_t index, uint8_t type, const uint8_t *value, uint16_t length, void *)
{
    gOptions.seen.push_back(std::to_string(index) + ":" + std::to_string(type) + ":" +
                            std::string(reinterpret_cast<const char *>(value), length));
    return type == 1;
}

void Play(PPP_Context *ctx, const std::vector<Step> &steps)
{
    for (const Step &s : steps) {
        Captured().frames.clear();
        if (s.waitMs)
            Advance(s.waitMs);
        if (*s.gateway) {
            EXPECT_EQ(Feed(ctx, Hex(s.gateway)), 0) << s.what;
        }
        std::vector<std::string> got, want;
        for (const Frame &f : Captured().frames)
            got.push_back(ToHex(f.bytes));
        for (const char *w : s.client)
            want.push_back(ToHex(Hex(w)));
        EXPECT_EQ(got, want) << s.what;
    }
}

void CheckIpv4BothWays(PPP_Context *ctx)
{
    const char *datagram = "45 00 00 14 00 01 00 00 40 01 00 00 0A 0A 00 01 0A 0A 00 02";
    Bytes in = Hex("00 21");
    Bytes body = Hex(datagram);
    in.insert(in.end(), body.begin(), body.end());
    PKT_Buffer *b = BufferOf(in);
    ASSERT_EQ(PPP_Input(b, ctx), 1);
    EXPECT_EQ(ToHex(Bytes(PKT_Data(b), PKT_Data(b) + PKT_Length(b))), ToHex(body));
    PKT_Free(b);

    b = BufferOf(body);
    ASSERT_EQ(PPP_EncapsulateIP(b, ctx->ipcp), 1);
    EXPECT_EQ(ToHex(Bytes(PKT_Data(b), PKT_Data(b) + PKT_Length(b))), ToHex(in));
    PKT_Free(b);
}

class SessionTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        ResetClock();
        gOptions = VspOption();
    }
    void TearDown() override { PPP_SetRandomSource(nullptr); }
};

TEST_P(SessionTest, WholeSession)
{
    bool vspRuns = GetParam();
    Link link(true, false);
    link.ctx->vsp->config.optionCallback = AcceptUrl;
    VSP_Open(link.ctx->vsp);
    PPP_IPCP_Open(link.ctx->ipcp);
    PPP_LowerLayerUp(link.ctx);
    ASSERT_EQ(Captured().frames.size(), 1u);
    EXPECT_EQ(ToHex(Captured().frames[0].bytes), ToHex(Hex(kLcpRequest)));

    Play(link.ctx, kOpening);
    Play(link.ctx, vspRuns ? kVspRuns : kVspRejected);
    EXPECT_EQ(link.ctx->ipcp->fsm.state, FSM_STATE_OPENED);
    EXPECT_EQ(link.ctx->vsp->fsm.state, vspRuns ? FSM_STATE_OPENED : FSM_STATE_STOPPED);
    EXPECT_EQ(gOptions.seen, vspRuns ? std::vector<std::string>{"0:1:http://gw/"}
                                     : std::vector<std::string>{});
    EXPECT_EQ(Captured().ipcpEvents, std::vector<uint32_t>{PPP_EVENT_UP});
    EXPECT_EQ(Captured().vspEvents,
              std::vector<uint32_t>{vspRuns ? PPP_EVENT_UP : PPP_EVENT_FINISHED});

    CheckIpv4BothWays(link.ctx);
    Play(link.ctx, kRunning);
    EXPECT_EQ(link.ctx->lcp.state, FSM_STATE_OPENED);

    // Close: a Terminate-Request, the gateway's Terminate-Ack ends LCP.
    Captured().frames.clear();
    PPP_Close(link.ctx);
    std::vector<Frame> lcp = Captured().Take(LCP_PROTOCOL);
    ASSERT_EQ(lcp.size(), 1u);
    EXPECT_EQ(ToHex(lcp[0].bytes), "C0 21 05 03 00 04");
    Feed(link.ctx, Hex("C0 21 06 03 00 04"));
    EXPECT_EQ(link.ctx->lcp.state, FSM_STATE_CLOSED);
    EXPECT_EQ(Captured().linkEvents,
              (std::vector<uint32_t>{PPP_EVENT_STARTED, PPP_EVENT_UP, PPP_EVENT_DOWN,
                                     PPP_EVENT_FINISHED}));
    EXPECT_TRUE(Captured().reasons.empty());

    link.Stop();
    EXPECT_EQ(PendingTimers(), 0u);
}

INSTANTIATE_TEST_SUITE_P(VendorProtocol, SessionTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool> &i) {
                             return i.param ? "Runs" : "ProtocolRejected";
                         });

} // namespace
