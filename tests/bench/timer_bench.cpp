// Arming and cancelling one timer while the thread has 32 others pending,
// with the production set-up: 1000 ticks per second from the system's
// 32-bit millisecond count.
#include "sync.h"
#include "timer.h"

#include <benchmark/benchmark.h>

namespace {

void Pending(void *) {}
void Probe(void *) {}

void BM_TimerAddCancel32Pending(benchmark::State &state)
{
    TIMER_TestReset();
    if (!TIMER_Init32(1000, 64, 1000, RT_TickCount32)) {
        state.SkipWithError("TIMER_Init32 failed");
        return;
    }
    static int contexts[32];
    // Spread over the next minute, so the probe (due in 5 s) lands mid-list.
    for (int i = 0; i < 32; i++)
        TIMER_Add(0, static_cast<uint32_t>(i) * 2000000u % 60000000u, 1, Pending, &contexts[i]);
    int probe = 0;
    for (auto _ : state) {
        TIMER_Add(5, 0, 1, Probe, &probe);
        TIMER_Cancel(Probe, &probe);
    }
    TIMER_Cancel(Pending, TIMER_ANY_CONTEXT);
    TIMER_TestReset();
}
BENCHMARK(BM_TimerAddCancel32Pending);

} // namespace
