// The PPP engine's hot path: an IPv4 frame from the gateway through
// PPP_Input, and a datagram from the adapter through PPP_EncapsulateIP.
// "allocs/pkt" counts heap allocations made inside the measured loop.
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <new>

#include <benchmark/benchmark.h>

#include "pkt_buffer.h"
#include "ppp.h"
#include "timer.h"

// The engine's termination sink; nothing terminates here.
void CP_PppTerminated(const char *, uint32_t, uint32_t, const char *, const char *) {}

#if !defined(__SANITIZE_ADDRESS__)
// Through pointers, so that the compiler does not pair new with free itself.
static void *(*volatile gMalloc)(size_t) = malloc;
static void (*volatile gFree)(void *) = free;
static std::atomic<long> gAllocations{0};
void *operator new(size_t n)
{
    gAllocations++;
    if (void *p = gMalloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
void *operator new[](size_t n) { return operator new(n); }
void operator delete(void *p) noexcept { gFree(p); }
void operator delete[](void *p) noexcept { gFree(p); }
void operator delete(void *p, size_t) noexcept { gFree(p); }
void operator delete[](void *p, size_t) noexcept { gFree(p); }
static long Allocations() { return gAllocations.load(); }
#else
static long Allocations() { return 0; }
#endif

namespace {

uint64_t gTicks = 0;
uint64_t Ticks() { return gTicks; }

void Drop(PKT_Buffer *b, void *) { PKT_Free(b); }

// A context in the network phase, as after IPCP came up.
struct NetworkLink {
    PPP_Context *ctx;
    NetworkLink()
    {
        TIMER_TestReset();
        TIMER_Init(16, 64, 1000, Ticks);
        PKT_PoolInit();
        ctx = static_cast<PPP_Context *>(calloc(1, sizeof(PPP_Context)));
        PPP_Config config;
        memset(&config, 0, sizeof config);
        config.mru = 1400;
        config.perform = PPP_AUTH_ALL;
        config.output = Drop;
        PPP_Init(ctx, &config);
        IPCP_Config ipcp;
        memset(&ipcp, 0, sizeof ipcp);
        ipcp.mode = 1;
        IPCP_Init(ctx, &ctx->ipcpRecord, &ipcp);
        ctx->phase = PPP_PHASE_NETWORK;
    }
    ~NetworkLink()
    {
        PPP_CancelTimers(ctx);
        free(ctx);
    }
};

// 00 21 and a 1400-byte IPv4 datagram.
const uint32_t kFrameBytes = 2 + 1400;

void FillFrame(uint8_t *p)
{
    memset(p, 0x5A, kFrameBytes);
    p[0] = 0x00;
    p[1] = 0x21;
    p[2] = 0x45;
}

void BM_PppInputIPv4(benchmark::State &state)
{
    NetworkLink link;
    PKT_Buffer *b = PKT_Alloc(nullptr);
    PKT_Reset(b);
    PKT_Reserve(b, kFrameBytes);
    uint8_t *base = b->start;
    FillFrame(base);
    long before = Allocations();
    for (auto _ : state) {
        // Re-arm the same frame: PPP_Input only moves the window over it.
        b->start = b->cursor = base;
        b->length = (uint16_t)kFrameBytes;
        int r = PPP_Input(b, link.ctx);
        benchmark::DoNotOptimize(r);
    }
    state.counters["allocs/pkt"] = benchmark::Counter(
        (double)(Allocations() - before), benchmark::Counter::kAvgIterations);
    PKT_Free(b);
}
BENCHMARK(BM_PppInputIPv4);

void BM_PppEncapsulateIP(benchmark::State &state)
{
    NetworkLink link;
    PKT_Buffer *b = PKT_Alloc(nullptr);
    PKT_Reset(b);
    PKT_Reserve(b, kFrameBytes);
    uint8_t *base = b->start;
    FillFrame(base);
    long before = Allocations();
    for (auto _ : state) {
        b->start = b->cursor = base + 2;
        b->length = (uint16_t)(kFrameBytes - 2);
        int r = PPP_EncapsulateIP(b, link.ctx->ipcp);
        benchmark::DoNotOptimize(r);
    }
    state.counters["allocs/pkt"] = benchmark::Counter(
        (double)(Allocations() - before), benchmark::Counter::kAvgIterations);
    PKT_Free(b);
}
BENCHMARK(BM_PppEncapsulateIP);

// Both directions with the pool buffer taken and given back each time.
void BM_PppIpv4RoundTripWithPool(benchmark::State &state)
{
    NetworkLink link;
    uint8_t frame[kFrameBytes];
    FillFrame(frame);
    long before = Allocations();
    for (auto _ : state) {
        PKT_Buffer *b = PKT_Alloc(nullptr);
        PKT_Reset(b);
        PKT_Reserve(b, kFrameBytes);
        memcpy(b->start, frame, kFrameBytes);
        b->length = (uint16_t)kFrameBytes;
        if (PPP_Input(b, link.ctx) && PPP_EncapsulateIP(b, link.ctx->ipcp))
            PKT_Free(b);
    }
    state.counters["allocs/pkt"] = benchmark::Counter(
        (double)(Allocations() - before), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_PppIpv4RoundTripWithPool);

} // namespace
