// libFuzzer target over PPP_Input (and the packet describer on every frame
// and received datagram): a fresh link per input, started as the
// tunnel core starts it, optionally brought through LCP to the authenticate
// or network phase, then fed the input's frames with clock steps between
// them, and stopped and freed. Dangling timers or reads past a frame show
// under AddressSanitizer.
//
// Input: byte 0 chooses the start. Bits 2-3 zero: the link stays in the
// establish phase; otherwise LCP is opened against a gateway that demands,
// by bits 0-1, nothing (network phase at once), PAP, CHAP-MD5 or MS-CHAPv2.
// Bit 4 sets a RadiusState, bit 5 clears the vendor protocol's survive flag.
// Then records: a length byte n (1..254: a frame of n bytes; 255: a 16-bit
// big-endian length follows; 0: the next byte advances the clock by that
// many 100 ms).
//
// Build and run from the source root (not part of the CMake build):
//   clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -Wno-ignored-attributes \
//     -DOPENSSL_API_COMPAT=0x10002000L -DOPENSSL_SUPPRESS_DEPRECATED \
//     -Iruntime -Ippp tests/fuzz/ppp_input_fuzz.cpp \
//     $(ls runtime/*.cpp ppp/*.cpp | grep -v _win32) \
//     -lcrypto -lpthread -o /tmp/ppp_input_fuzz
//   mkdir -p /tmp/ppp_corpus && /tmp/ppp_input_fuzz -max_total_time=60 -max_len=4096 \
//     -close_fd_mask=2 /tmp/ppp_corpus tests/fuzz/ppp_input_corpus
#include <stdint.h>
#include <string.h>

#include "ipcp.h"
#include "pkt_buffer.h"
#include "pkt_describe.h"
#include "ppp.h"
#include "timer.h"
#include "vsp.h"

namespace {

uint64_t g_ticks;
uint64_t Ticks() { return g_ticks; }

int FixedRandom(void *out, uint32_t count)
{
    memset(out, 0x5A, count);
    return 1;
}

// The last LCP Configure-Request the client sent, to acknowledge it.
uint8_t g_lcpRequest[PKT_CAPACITY];
uint32_t g_lcpRequestLength;

void Output(PKT_Buffer *packet, void *)
{
    const uint8_t *p = packet->start;
    if (packet->length >= 3 && p[0] == 0xC0 && p[1] == 0x21 && p[2] == 1) {
        memcpy(g_lcpRequest, p, packet->length);
        g_lcpRequestLength = packet->length;
    }
    PKT_Free(packet);
}

int OnEvent(uint32_t, void *) { return 0; }
void OnOtp(void *) {}
int OnVspOption(uint8_t, uint8_t type, const uint8_t *, uint16_t, void *) { return type == 1; }

void RunFor(uint32_t ms, uint32_t step = 50)
{
    for (uint32_t t = 0; t < ms; t += step) {
        g_ticks += step;
        TIMER_RunExpired();
    }
}

// The packet log's description; it must stay inside the packet too.
void Describe(const PKT_Buffer *b)
{
    static char storage[2048];
    TextBuf text = {storage, sizeof(storage), 0};
    TEXTBUF_Clear(&text);
    PKT_Describe(&text, b);
}

// The frame ends at the very end of the buffer's data area, so a read past
// it reaches the heap redzone behind the buffer (after one guard word).
void Feed(PPP_Context *ctx, const uint8_t *frame, uint32_t length)
{
    PKT_Buffer *b = PKT_Alloc(nullptr);
    if (!b)
        return;
    PKT_Reset(b);
    if (length > PKT_CAPACITY)
        length = PKT_CAPACITY;
    b->start = b->area + PKT_CAPACITY - length;
    b->cursor = b->start;
    b->length = (uint16_t)length;
    memcpy(b->start, frame, length);
    Describe(b);
    if (PPP_Input(b, ctx) == 1) {
        Describe(b); // the datagram, as the packet log sees it
        PKT_Free(b);
    }
}

void Start(PPP_Context *ctx, uint8_t mode)
{
    PPP_Config config = {};
    config.backoff = 1;
    config.echoInterval = 8;
    config.maxLostEchoes = 1;
    config.skipEchoOnTraffic = 1;
    config.mru = 1400;
    config.perform = PPP_AUTH_ALL;
    config.demand = PPP_AUTH_NONE;
    strcpy(config.userName, "alice");
    strcpy(config.password, "secret");
    if (mode & 0x10)
        strcpy(config.radiusState, "state");
    config.output = Output;
    config.eventCallback = OnEvent;
    config.otpPromptCallback = OnOtp;
    PPP_Init(ctx, &config);

    IPCP_Config ipcp = {};
    ipcp.mode = 1;
    ipcp.accept = 0x28;
    ipcp.eventCallback = OnEvent;
    IPCP_Init(ctx, &ctx->ipcpRecord, &ipcp);

    VSP_Config vsp = {};
    vsp.maxConfigure = 5;
    vsp.surviveProtocolReject = (mode & 0x20) ? 0 : 1;
    vsp.optionCallback = OnVspOption;
    vsp.eventCallback = OnEvent;
    VSP_Init(ctx, &ctx->vspRecord, &vsp);
    VSP_Open(&ctx->vspRecord);
    PPP_IPCP_Open(&ctx->ipcpRecord);
    PPP_LowerLayerUp(ctx);

    if ((mode & 0x0C) == 0)
        return; // left in the establish phase
    // The gateway's request: magic number, and the authentication it demands.
    static const uint8_t kNone[] = {0xC0, 0x21, 0x01, 0x01, 0x00, 0x0A,
                                    0x05, 0x06, 0x11, 0x22, 0x33, 0x44};
    static const uint8_t kPap[] = {0xC0, 0x21, 0x01, 0x01, 0x00, 0x0E, 0x05, 0x06,
                                   0x11, 0x22, 0x33, 0x44, 0x03, 0x04, 0xC0, 0x23};
    static const uint8_t kChap[] = {0xC0, 0x21, 0x01, 0x01, 0x00, 0x0F, 0x05, 0x06, 0x11,
                                    0x22, 0x33, 0x44, 0x03, 0x05, 0xC2, 0x23, 0x05};
    switch (mode & 0x03) {
    case 0: Feed(ctx, kNone, sizeof(kNone)); break;
    case 1: Feed(ctx, kPap, sizeof(kPap)); break;
    default: {
        uint8_t chap[sizeof(kChap)];
        memcpy(chap, kChap, sizeof(chap));
        chap[sizeof(chap) - 1] = (mode & 0x03) == 2 ? 0x05 : 0x81;
        Feed(ctx, chap, sizeof(chap));
        break;
    }
    }
    if (g_lcpRequestLength >= 3) {
        uint8_t ack[PKT_CAPACITY];
        memcpy(ack, g_lcpRequest, g_lcpRequestLength);
        ack[2] = 2;
        Feed(ctx, ack, g_lcpRequestLength);
    }
}

void Stop(PPP_Context *ctx)
{
    PPP_LowerLayerDown(ctx);
    NCP_Close(&ctx->ipcpRecord.fsm);
    PPP_Close(ctx);
    PPP_CancelTimers(ctx);
}

} // namespace

// The engine reports terminations to the tunnel core; nothing to do here.
void CP_PppTerminated(const char *, uint32_t, uint32_t, const char *, const char *) {}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool ready = [] {
        TIMER_Init(4, 256, 1000, Ticks);
        PKT_PoolInit();
        PPP_SetRandomSource(FixedRandom);
        return true;
    }();
    (void)ready;
    if (size < 1)
        return 0;

    g_lcpRequestLength = 0;
    PPP_Context *ctx = new PPP_Context();
    Start(ctx, data[0]);

    size_t i = 1;
    while (i < size) {
        uint32_t n = data[i++];
        if (n == 0) {
            if (i < size)
                RunFor(100u * data[i++]);
            continue;
        }
        if (n == 255) {
            if (size - i < 2)
                break;
            n = (uint32_t)data[i] << 8 | data[i + 1];
            i += 2;
        }
        if (n > size - i)
            n = (uint32_t)(size - i);
        Feed(ctx, data + i, n);
        i += n;
    }

    Stop(ctx);
    delete ctx;
    RunFor(120000, 1000); // a timer left armed would now touch the freed context
    return 0;
}
