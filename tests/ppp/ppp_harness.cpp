#include "ppp_harness.h"

#include <stdlib.h>
#include <string.h>

#include "gui_log.h"
#include "pkt_buffer.h"
#include "timer.h"

// The engine's termination sink, captured for the tests.
void CP_PppTerminated(const char *, uint32_t, uint32_t number, const char *reason, const char *)
{
    ppptest::Captured().reasons.push_back(number);
    ppptest::Captured().sequence += "reason:" + std::to_string(number) + " ";
    ppptest::Captured().reasonTexts.push_back(reason ? reason : "");
}

namespace ppptest {

static uint64_t gNowMs = 0;
static uint8_t gRandomSeed = 0;

static uint64_t FakeTick()
{
    return gNowMs;
}

static void TraceTap(const char *module, int, const char *text)
{
    if (module && strcmp(module, "PPP") == 0)
        Captured().traces.push_back(text);
}

Capture &Captured()
{
    static Capture capture;
    return capture;
}

void Capture::Clear()
{
    *this = Capture();
}

std::vector<Frame> Capture::Take(uint16_t protocol)
{
    std::vector<Frame> taken, kept;
    for (Frame &f : frames) {
        if (f.bytes.size() >= 2 && PPP_Get16(f.bytes.data()) == protocol)
            taken.push_back(f);
        else
            kept.push_back(f);
    }
    frames.swap(kept);
    return taken;
}

Bytes Hex(const char *text)
{
    Bytes out;
    int high = -1;
    for (const char *p = text; *p; p++) {
        int v;
        if (*p >= '0' && *p <= '9')
            v = *p - '0';
        else if (*p >= 'a' && *p <= 'f')
            v = *p - 'a' + 10;
        else if (*p >= 'A' && *p <= 'F')
            v = *p - 'A' + 10;
        else
            continue;
        if (high < 0) {
            high = v;
        } else {
            out.push_back((uint8_t)(high << 4 | v));
            high = -1;
        }
    }
    return out;
}

std::string ToHex(const Bytes &bytes)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < bytes.size(); i++) {
        if (i)
            s += ' ';
        s += kDigits[bytes[i] >> 4];
        s += kDigits[bytes[i] & 15];
    }
    return s;
}

void ResetClock()
{
    static bool poolReady = false;
    if (!poolReady) {
        PKT_PoolInit();
        poolReady = true;
    }
    TIMER_TestReset();
    gNowMs = 0;
    TIMER_Init(16, 64, 1000, FakeTick);
    GUI_SetTraceTap(TraceTap);
    PPP_SetTerminationSink(CP_PppTerminated);
    Captured().Clear();
    FixRandom(0x11);
}

uint64_t NowMs()
{
    return gNowMs;
}

void Advance(uint64_t ms)
{
    for (uint64_t i = 0; i < ms; i++) {
        gNowMs++;
        TIMER_RunExpired();
    }
}

void Jump(uint64_t ms)
{
    gNowMs += ms;
    TIMER_RunExpired();
}

uint32_t PendingTimers()
{
    TIMER_Stats stats;
    TIMER_TestGetStats(&stats);
    return stats.pendingOfCaller;
}

static int FixedRandom(void *out, uint32_t count)
{
    uint8_t *p = static_cast<uint8_t *>(out);
    for (uint32_t i = 0; i < count; i++)
        p[i] = gRandomSeed++;
    return 1;
}

void FixRandom(uint8_t seed)
{
    gRandomSeed = seed;
    PPP_SetRandomSource(FixedRandom);
}

void CaptureOutput(PKT_Buffer *packet, void *)
{
    const uint8_t *p = PKT_Data(packet);
    Captured().frames.push_back({gNowMs, Bytes(p, p + PKT_Length(packet))});
    PKT_Free(packet);
}

int CaptureLinkEvent(uint32_t event, void *)
{
    Captured().linkEvents.push_back(event);
    Captured().sequence += "link:" + std::to_string(event) + " ";
    return 0;
}

int CaptureIpcpEvent(uint32_t event, void *)
{
    Captured().ipcpEvents.push_back(event);
    return 0;
}

int CaptureVspEvent(uint32_t event, void *)
{
    Captured().vspEvents.push_back(event);
    return 0;
}

void CaptureOtpPrompt(void *)
{
    Captured().otpPrompts++;
    Captured().sequence += "otp ";
}

PPP_Config CoreConfig()
{
    PPP_Config c;
    memset(&c, 0, sizeof c);
    c.backoff = 1;
    c.echoInterval = 8;
    c.maxLostEchoes = 1;
    c.skipEchoOnTraffic = 1;
    c.mru = 1400;
    c.perform = PPP_AUTH_ALL;
    c.demand = PPP_AUTH_NONE;
    strcpy(c.userName, "user");
    strcpy(c.password, "secret");
    c.output = CaptureOutput;
    c.eventCallback = CaptureLinkEvent;
    c.otpPromptCallback = CaptureOtpPrompt;
    return c;
}

IPCP_Config CoreIpcpConfig()
{
    IPCP_Config c;
    memset(&c, 0, sizeof c);
    c.mode = 1;
    c.accept = 0x28;
    c.eventCallback = CaptureIpcpEvent;
    return c;
}

VSP_Config CoreVspConfig()
{
    VSP_Config c;
    memset(&c, 0, sizeof c);
    c.maxConfigure = 5;
    c.surviveProtocolReject = 1;
    c.eventCallback = CaptureVspEvent;
    return c;
}

PKT_Buffer *BufferOf(const Bytes &bytes)
{
    PKT_Buffer *b = PKT_Alloc(nullptr);
    if (!b)
        return nullptr;
    PKT_Reset(b);
    if (!PKT_Reserve(b, (uint32_t)bytes.size())) {
        PKT_Free(b);
        return nullptr;
    }
    if (!bytes.empty())
        memcpy(b->start, bytes.data(), bytes.size());
    b->length = (uint16_t)bytes.size();
    return b;
}

int Feed(PPP_Context *ctx, const Bytes &frame)
{
    PKT_Buffer *b = BufferOf(frame);
    int r = PPP_Input(b, ctx);
    if (r)
        PKT_Free(b);
    return r;
}

void OpenLcp(PPP_Context *ctx, const Bytes &peerOptions)
{
    Bytes req = Hex("C0 21 01 01 00 00");
    req.insert(req.end(), peerOptions.begin(), peerOptions.end());
    PPP_Put16(&req[4], (uint16_t)(req.size() - 2));
    Feed(ctx, req);
    AckLatest(ctx, LCP_PROTOCOL);
}

void AckLatest(PPP_Context *ctx, uint16_t protocol)
{
    for (size_t i = Captured().frames.size(); i-- > 0;) {
        Bytes ack = Captured().frames[i].bytes;
        if (ack.size() >= 6 && PPP_Get16(ack.data()) == protocol && ack[2] == 1) {
            ack[2] = 2;
            Feed(ctx, ack);
            return;
        }
    }
}

void OpenNetwork(PPP_Context *ctx)
{
    OpenLcp(ctx);
    Feed(ctx, Hex("80 21 01 01 00 0A 03 06 0A 0A 00 01"));
    AckLatest(ctx, IPCP_PROTOCOL);
    for (size_t i = Captured().frames.size(); i-- > 0;) {
        const Bytes &f = Captured().frames[i].bytes;
        if (f.size() >= 6 && PPP_Get16(f.data()) == VSP_PROTOCOL && f[2] == 1) {
            Bytes rej = Hex("C0 21 08 77 00 00");
            rej.insert(rej.end(), f.begin(), f.end());
            PPP_Put16(&rej[4], (uint16_t)(rej.size() - 2));
            Feed(ctx, rej);
            break;
        }
    }
}

Link::Link(bool withVsp, bool start)
{
    ctx = static_cast<PPP_Context *>(calloc(1, sizeof(PPP_Context)));
    PPP_Config config = CoreConfig();
    PPP_Init(ctx, &config);
    IPCP_Config ipcp = CoreIpcpConfig();
    IPCP_Init(ctx, &ctx->ipcpRecord, &ipcp);
    if (withVsp) {
        VSP_Config vsp = CoreVspConfig();
        VSP_Init(ctx, &ctx->vspRecord, &vsp);
    }
    if (!start)
        return;
    if (withVsp)
        VSP_Open(ctx->vsp);
    PPP_IPCP_Open(ctx->ipcp);
    PPP_LowerLayerUp(ctx);
}

void Link::Stop()
{
    PPP_LowerLayerDown(ctx);
    NCP_Close(&ctx->ipcp->fsm);
    PPP_Close(ctx);
}

void Link::Free()
{
    if (!ctx)
        return;
    PPP_CancelTimers(ctx);
    free(ctx);
    ctx = nullptr;
}

Link::~Link()
{
    Free();
}

} // namespace ppptest
