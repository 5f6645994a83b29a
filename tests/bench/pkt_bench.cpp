#include "pkt_buffer.h"

#include <benchmark/benchmark.h>

// One buffer taken and given back, the pool warm.
static void BM_PktAllocFree(benchmark::State &state)
{
    PKT_PoolInit();
    PKT_Buffer *held[2];
    PKT_Alloc(&held[0]);  // the lists are not empty around the measured pair
    PKT_Alloc(&held[1]);
    for (auto _ : state) {
        PKT_Buffer *b = PKT_Alloc(nullptr);
        benchmark::DoNotOptimize(b);
        PKT_Free(b);
    }
    PKT_Free(held[0]);
    PKT_Free(held[1]);
}
BENCHMARK(BM_PktAllocFree);
