// The vendor protocol 0x405B against a scripted gateway: every frame the
// gateway sends and every answer expected from the client is a literal.
// The client's LCP magic number is 0x5A5A5A5A (fixed random source), the
// gateway's 0x11223344.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "gui_log.h"
#include "pkt_buffer.h"
#include "ppp.h"
#include "ppp_harness.h"
#include "timer.h"
#include "vsp.h"

namespace {

typedef std::vector<uint8_t> Bytes;
using ppptest::Hex;

std::string ToHex(const Bytes &b)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (uint8_t c : b) {
        s += digits[c >> 4];
        s += digits[c & 15];
    }
    return s;
}

uint64_t g_ticks; // milliseconds
uint64_t FakeTicks() { return g_ticks; }

int FixedRandom(void *out, uint32_t count)
{
    memset(out, 0x5A, count);
    return 1;
}

std::vector<std::string> g_level5;
void TraceTap(const char *, int level, const char *text)
{
    if (level <= 5)
        g_level5.push_back(text);
}

struct Option {
    uint32_t index, type;
    std::string value;
};

class VspLink : public ::testing::Test {
protected:
    PPP_Context *ctx = nullptr;
    std::vector<Bytes> sent;              // frames, protocol first
    std::vector<uint32_t> events;         // vendor-protocol events
    std::vector<Option> offered;          // options the gateway offered
    uint32_t refuseMask = 0;              // option indexes the callback refuses
    uint32_t hookLimit = 0xFFFFFFFF;      // the add-option hook fails from here on
    std::vector<uint32_t> hookCalls;
    VSP_Config vspConfig;                 // the caller's copy given to VSP_Init

    static void Output(PKT_Buffer *packet, void *user)
    {
        VspLink *self = static_cast<VspLink *>(user);
        self->sent.push_back(Bytes(packet->start, packet->start + packet->length));
        PKT_Free(packet);
    }
    static int OnEvent(uint32_t event, void *user)
    {
        static_cast<VspLink *>(user)->events.push_back(event);
        return 0;
    }
    static int OnOption(uint8_t index, uint8_t type, const uint8_t *value, uint16_t length,
                        void *user)
    {
        VspLink *self = static_cast<VspLink *>(user);
        self->offered.push_back({index, type, std::string((const char *)value, length)});
        return (self->refuseMask & (1u << index)) ? 0 : 1;
    }
    // Index i asks for type 0x10 + i with the one-byte value i.
    static int AddOption(uint8_t index, PPP_OptionList *list, void *user)
    {
        VspLink *self = static_cast<VspLink *>(user);
        self->hookCalls.push_back(index);
        if (index >= self->hookLimit)
            return 0;
        const uint8_t option[5] = {index, (uint8_t)(0x10 + index), 0x00, 0x01, index};
        return PPP_OptionListAppend(sizeof(option), list, option);
    }

    void SetUp() override
    {
        TIMER_TestReset();
        g_ticks = 1000000;
        ASSERT_EQ(TIMER_Init(4, 64, 1000, FakeTicks), 1);
        PKT_PoolInit();
        PPP_SetRandomSource(FixedRandom);
        g_level5.clear();
        GUI_SetTraceTap(TraceTap);
    }

    void TearDown() override
    {
        if (ctx) {
            PPP_LowerLayerDown(ctx);
            PPP_Close(ctx);
            PPP_CancelTimers(ctx);
            delete ctx;
            ctx = nullptr;
            // A timer left behind would now touch the freed context.
            Advance(60000);
        }
        GUI_SetTraceTap(nullptr);
        PPP_SetRandomSource(nullptr);
    }

    // Starts the link as the core does (without IPCP) and opens LCP against
    // a gateway that demands no authentication.
    void Start(uint32_t survive = 1, uint8_t optionCount = 0, bool hook = false)
    {
        ctx = new PPP_Context();
        PPP_Config config = {};
        config.backoff = 1;
        config.mru = 1400;
        config.perform = PPP_AUTH_ALL;
        config.output = Output;
        config.user = this;
        PPP_Init(ctx, &config);

        VSP_Config &vsp = vspConfig;
        vsp = VSP_Config();
        vsp.maxConfigure = 5;
        vsp.surviveProtocolReject = survive;
        vsp.optionCount = optionCount;
        vsp.addOption = hook ? AddOption : nullptr;
        vsp.optionCallback = OnOption;
        vsp.eventCallback = OnEvent;
        vsp.user = this;
        VSP_Init(ctx, &ctx->vspRecord, &vsp);
        VSP_Open(&ctx->vspRecord);
        PPP_LowerLayerUp(ctx);

        ASSERT_EQ(sent.size(), 1u);
        Bytes ourLcp = sent[0];
        ASSERT_EQ(ToHex(Bytes(ourLcp.begin(), ourLcp.begin() + 3)), "c02101");
        sent.clear();
        Frame("c021 01 01 000a 05 06 11223344");   // gateway: magic only
        Bytes ack = ourLcp;
        ack[2] = 0x02;
        Input(ack);
        ASSERT_EQ(ctx->lcp.state, FSM_STATE_OPENED);
        ASSERT_TRUE(PPP_IsNetworkPhase(ctx));
        for (const Bytes &f : sent)
            ASSERT_EQ(ToHex(Bytes(f.begin(), f.begin() + 2)) == "405b", f == sent.back())
                << "only the last frame may be the vendor protocol's: " << ToHex(f);
        g_level5.clear();
    }

    // The frame ends at the end of the buffer's data area: a read past it
    // runs into the heap redzone behind the buffer.
    void Input(const Bytes &frame)
    {
        PKT_Buffer *b = PKT_Alloc(nullptr);
        ASSERT_NE(b, nullptr);
        PKT_Reset(b);
        b->start = b->area + PKT_CAPACITY - frame.size();
        b->cursor = b->start;
        b->length = (uint16_t)frame.size();
        memcpy(b->start, frame.data(), frame.size());
        ASSERT_EQ(PPP_Input(b, ctx), 0);
    }
    void Frame(const char *hex) { Input(Hex(hex)); }

    // The vendor protocol's own input, on a heap block of the packet's exact
    // size so that AddressSanitizer sees any read past its end.
    void VspPacket(const char *hex)
    {
        Bytes p = Hex(hex);
        std::unique_ptr<uint8_t[]> exact(new uint8_t[p.size() ? p.size() : 1]);
        memcpy(exact.get(), p.data(), p.size());
        FSM_Input(exact.get(), (uint32_t)p.size(), &ctx->vspRecord.fsm);
    }

    std::vector<std::string> TakeSent()
    {
        std::vector<std::string> out;
        for (const Bytes &f : sent)
            out.push_back(ToHex(f));
        sent.clear();
        return out;
    }

    void Advance(uint64_t ms)
    {
        for (uint64_t step = 0; step < ms; step += 10) {
            g_ticks += 10;
            TIMER_RunExpired();
        }
    }

    VSP_Record &Vsp() { return ctx->vspRecord; }
};

TEST_F(VspLink, RequestIsTheBareHeaderOnceTheNetworkPhaseStarts)
{
    Start();
    // LCP's Ack of the gateway's request opens the link; the vendor protocol's
    // request follows at once: Configure-Request id 0, length 12, our magic,
    // organisation, kind 0.
    EXPECT_EQ(TakeSent(), (std::vector<std::string>{"c0210201000a050611223344",
                                                     "405b0100000c5a5a5a5a40849300"}));
    EXPECT_EQ(Vsp().fsm.state, FSM_STATE_REQ_SENT);
}

TEST_F(VspLink, GatewayRequestsAndTheirAnswers)
{
    Start();
    sent.clear();
    refuseMask = 1u << 1;
    const struct {
        const char *what;
        const char *packet;   // from the code byte
        const char *answer;   // frame expected, "" for none
        size_t options;       // options handed to the callback
    } rows[] = {
        {"no options: Ack repeats the request", "01 07 000c 11223344 408493 00",
         "405b 02 07 000c 11223344 408493 00", 0},
        {"second option refused: Reject carries its index",
         "01 08 0018 11223344 408493 00 00 01 0003 616263 01 02 0001 7a",
         "405b 04 08 000d 5a5a5a5a 408493 00 01", 2},
        {"accepted options: Ack repeats them",
         "01 09 0013 11223344 408493 00 00 01 0003 616263",
         "405b 02 09 0013 11223344 408493 00 00 01 0003 616263", 1},
        {"option running past the end ends the walk",
         "01 0a 0016 11223344 408493 00 00 01 0001 61 02 01 0009 61",
         "405b 02 0a 0016 11223344 408493 00 00 01 0001 61 02 01 0009 61", 1},
        {"wrong magic number", "01 0b 000c 11223345 408493 00", "", 0},
        {"our own magic number", "01 0c 000c 5a5a5a5a 408493 00", "", 0},
        {"wrong organisation", "01 0d 000c 11223344 408494 00", "", 0},
        {"kind not 0", "01 0e 000c 11223344 408493 01", "", 0},
        {"shorter than the header", "01 0f 000b 11223344 408493", "", 0},
        {"index 32", "01 10 0015 11223344 408493 00 00 01 0001 61 20 01 0000", "", 1},
        {"length beyond the bytes received", "01 11 0010 11223344 408493 00 00 01", "", 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        offered.clear();
        VspPacket(row.packet);
        std::vector<std::string> expected;
        if (*row.answer)
            expected.push_back(ToHex(Hex(row.answer)));
        EXPECT_EQ(TakeSent(), expected);
        EXPECT_EQ(offered.size(), row.options);
    }
}

TEST_F(VspLink, GatewayOptionsReachTheCallback)
{
    Start();
    sent.clear();
    Frame("405b 01 03 001e 11223344 408493 00"
          "00 01 0005 6874747073 05 07 0000 1f ff 0001 00");
    ASSERT_EQ(offered.size(), 3u);
    EXPECT_EQ(offered[0].index, 0u);
    EXPECT_EQ(offered[0].type, 1u);
    EXPECT_EQ(offered[0].value, "https");
    EXPECT_EQ(offered[1].index, 5u);
    EXPECT_EQ(offered[1].type, 7u);
    EXPECT_EQ(offered[1].value, "");
    EXPECT_EQ(offered[2].index, 31u);
    EXPECT_EQ(offered[2].type, 255u);
    EXPECT_EQ(offered[2].value, std::string(1, '\0'));
}

TEST_F(VspLink, AckWithOurMagicOpensAndReportsUpOnce)
{
    Start();
    sent.clear();
    Frame("405b 01 01 000c 11223344 408493 00");   // gateway's request
    EXPECT_EQ(TakeSent(), std::vector<std::string>{"405b0201000c1122334440849300"});

    Frame("405b 02 00 000c 11223344 408493 00");   // Ack with the gateway's magic
    EXPECT_EQ(Vsp().fsm.state, FSM_STATE_ACK_SENT);
    EXPECT_EQ(g_level5, std::vector<std::string>{"Failed to parser packet"});
    Frame("405b 02 05 000c 5a5a5a5a 408493 00");   // wrong identifier
    EXPECT_EQ(Vsp().fsm.state, FSM_STATE_ACK_SENT);
    EXPECT_TRUE(events.empty());

    Frame("405b 02 00 000c 5a5a5a5a 408493 00");
    EXPECT_EQ(Vsp().fsm.state, FSM_STATE_OPENED);
    EXPECT_EQ(events, std::vector<uint32_t>{PPP_EVENT_UP});
    EXPECT_EQ(Vsp().fsm.timerArmed, 0u);
    EXPECT_TRUE(TakeSent().empty());
}

TEST_F(VspLink, NakAndRejectIndexes)
{
    Start();
    sent.clear();
    // Index 0 while the client may request none: ignored.
    Frame("405b 03 00 000d 11223344 408493 00 00");
    Frame("405b 04 00 000d 11223344 408493 00 00");
    EXPECT_EQ(g_level5.size(), 2u);
    EXPECT_TRUE(TakeSent().empty());
    EXPECT_EQ(Vsp().refusedIndexes, 0u);
    // Naming no index: taken, and a new request goes out at once.
    Frame("405b 04 00 000c 11223344 408493 00");
    EXPECT_EQ(TakeSent(), std::vector<std::string>{"405b0101000c5a5a5a5a40849300"});
    // The Nak is the gateway's packet: our magic there is foreign.
    Frame("405b 03 01 000c 5a5a5a5a 408493 00");
    EXPECT_TRUE(TakeSent().empty());
}

TEST_F(VspLink, ClientOptionsFromTheHook)
{
    Start(1, 40, true);
    EXPECT_EQ(Vsp().config.optionCount, VSP_MAX_OPTIONS);
    EXPECT_EQ(vspConfig.optionCount, VSP_MAX_OPTIONS) << "the caller's copy is cut too";
    EXPECT_EQ(hookCalls.size(), (size_t)VSP_MAX_OPTIONS) << "first request asks for 0..30";
    sent.clear();
    hookCalls.clear();

    // A shorter list: three options, then a Reject of index 1 leaves it out.
    Vsp().config.optionCount = 3;
    Frame("405b 04 00 000c 11223344 408493 00");   // no index: resend
    EXPECT_EQ(TakeSent(), std::vector<std::string>{
                              "405b0101001b5a5a5a5a40849300" "0010000100" "0111000101"
                              "0212000102"});
    Frame("405b 04 01 000d 11223344 408493 00 01");
    EXPECT_EQ(Vsp().refusedIndexes, 1u << 1);
    EXPECT_EQ(TakeSent(), std::vector<std::string>{
                              "405b01020016" "5a5a5a5a40849300" "0010000100" "0212000102"});
    // An index beyond the count is a bad packet and changes nothing.
    Frame("405b 03 02 000d 11223344 408493 00 03");
    EXPECT_EQ(Vsp().refusedIndexes, 1u << 1);
    EXPECT_TRUE(TakeSent().empty());

    // The Ack records what the gateway took.
    Frame("405b 02 02 0016 5a5a5a5a 408493 00 0010000100 0212000102");
    EXPECT_EQ(Vsp().ackedIndexes, (1u << 0) | (1u << 2));
    EXPECT_EQ(Vsp().fsm.state, FSM_STATE_ACK_RCVD);
}

TEST_F(VspLink, HookWithoutRoomCutsTheRequest)
{
    Start(1, 3, true);
    sent.clear();
    // Index 1 does not fit: the request goes out with index 0 only.
    hookLimit = 1;
    Frame("405b 04 00 000c 11223344 408493 00");
    EXPECT_EQ(TakeSent(),
              std::vector<std::string>{"405b01010011" "5a5a5a5a40849300" "0010000100"});
    // Nothing fits: no request at all, never a header-only one.
    hookLimit = 0;
    Frame("405b 04 01 000c 11223344 408493 00");
    EXPECT_TRUE(TakeSent().empty());
}

// The gateway answers our request with an LCP Protocol-Reject that carries it.
const char kProtocolReject[] = "c021 08 07 0012 405b 01 00 000c 5a5a5a5a 408493 00";

TEST_F(VspLink, ProtocolRejectWithSurviveFinishesAndKeepsTheLink)
{
    Start(1);
    sent.clear();
    Frame(kProtocolReject);
    EXPECT_EQ(events, std::vector<uint32_t>{PPP_EVENT_FINISHED});
    EXPECT_EQ(Vsp().protocolRejected, 1u);
    EXPECT_EQ(Vsp().fsm.state, FSM_STATE_STOPPED);
    EXPECT_EQ(ctx->lcp.state, FSM_STATE_OPENED);
    EXPECT_TRUE(PPP_IsNetworkPhase(ctx));
    EXPECT_TRUE(TakeSent().empty());
    // No resend and no give-up later.
    Advance(30000);
    EXPECT_TRUE(TakeSent().empty());
    EXPECT_EQ(ctx->lcp.state, FSM_STATE_OPENED);
    // The gateway's reject of a retransmission repeats the report; the core
    // counts only the first.
    Frame(kProtocolReject);
    EXPECT_EQ(events, (std::vector<uint32_t>{PPP_EVENT_FINISHED, PPP_EVENT_FINISHED}));
    EXPECT_EQ(ctx->lcp.state, FSM_STATE_OPENED);
}

TEST_F(VspLink, RenegotiatedLinkAsksAgainAndSurvivesAgain)
{
    Start(1);
    Frame(kProtocolReject);
    sent.clear();
    Frame("c021 01 02 000a 05 06 11223344");   // the gateway renegotiates LCP
    EXPECT_FALSE(PPP_IsNetworkPhase(ctx));
    EXPECT_EQ(Vsp().fsm.state, FSM_STATE_STARTING);
    Bytes ack;
    for (const Bytes &f : sent)
        if (ToHex(Bytes(f.begin(), f.begin() + 3)) == "c02101")
            ack = f;
    ASSERT_FALSE(ack.empty());
    ack[2] = 0x02;
    sent.clear();
    Input(ack);
    // Back in the network phase the vendor protocol asks afresh (next identifier).
    ASSERT_TRUE(PPP_IsNetworkPhase(ctx));
    EXPECT_EQ(TakeSent(), std::vector<std::string>{"405b0101000c5a5a5a5a40849300"});
    Frame(kProtocolReject);
    EXPECT_EQ(events, (std::vector<uint32_t>{PPP_EVENT_FINISHED, PPP_EVENT_FINISHED}));
    EXPECT_EQ(ctx->lcp.state, FSM_STATE_OPENED);
    EXPECT_TRUE(PPP_IsNetworkPhase(ctx));
}

TEST_F(VspLink, ProtocolRejectWithoutSurviveClosesTheLink)
{
    Start(0);
    sent.clear();
    Frame(kProtocolReject);
    std::vector<std::string> frames = TakeSent();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].substr(0, 6), "c02105") << "LCP Terminate-Request";
    EXPECT_FALSE(PPP_IsNetworkPhase(ctx));
    EXPECT_EQ(ctx->lcp.state, FSM_STATE_CLOSING);
    // A dying link is no finished vendor exchange.
    for (uint32_t e : events)
        EXPECT_NE(e, PPP_EVENT_FINISHED);
}

TEST_F(VspLink, SilentGatewayGivesUpAndClosesTheLink)
{
    Start();
    const uint64_t start = g_ticks;
    std::vector<uint64_t> requests = {0};
    sent.clear();
    for (int i = 0; i < 1400 && PPP_IsNetworkPhase(ctx); i++) {
        Advance(10);
        for (const std::string &f : TakeSent()) {
            if (f.substr(0, 6) == "405b01")
                requests.push_back(g_ticks - start);
            else
                EXPECT_EQ(f.substr(0, 6), "c02105") << "then LCP Terminate-Request only";
        }
    }
    // Backoff off, restart time 3 s: 0, 0.15, 3.15, 6.15, 9.15 s; gives up at 12.15 s.
    EXPECT_EQ(requests, (std::vector<uint64_t>{0, 150, 3150, 6150, 9150}));
    EXPECT_EQ(g_ticks - start, 12150u);
    EXPECT_FALSE(PPP_IsNetworkPhase(ctx));
    EXPECT_EQ(ctx->lcp.state, FSM_STATE_CLOSING);
    for (uint32_t e : events)
        EXPECT_NE(e, PPP_EVENT_FINISHED);
}

TEST_F(VspLink, CodeRejectIsIgnored)
{
    Start();
    sent.clear();
    Frame("405b 07 01 0010 01 00 000c 5a5a5a5a 408493 00");
    EXPECT_EQ(Vsp().fsm.state, FSM_STATE_REQ_SENT);
    EXPECT_TRUE(TakeSent().empty());
    EXPECT_TRUE(events.empty());
}

} // namespace
