// The format engine against the platform snprintf on a typical trace line.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>

#include "str.h"

namespace {

const char kLineFormat[] = "[%5s:%3d] LCP: rcvd Configure-Request id=%u len=%d mru=%u magic=0x%08x <%s>\n";

void BM_StrSnprintfLogLine(benchmark::State &state)
{
    char buf[256];
    uint32_t id = 1;
    for (auto _ : state) {
        int32_t n = STR_Snprintf(buf, sizeof buf, kLineFormat, "PPP", 10, id++, 18, 1400u,
                                 0x5E1F00A7u, "pap");
        benchmark::DoNotOptimize(n);
        benchmark::DoNotOptimize(buf);
    }
}
BENCHMARK(BM_StrSnprintfLogLine);

void BM_PlatformSnprintfLogLine(benchmark::State &state)
{
    char buf[256];
    unsigned id = 1;
    for (auto _ : state) {
        int n = snprintf(buf, sizeof buf, kLineFormat, "PPP", 10, id++, 18, 1400u, 0x5E1F00A7u, "pap");
        benchmark::DoNotOptimize(n);
        benchmark::DoNotOptimize(buf);
    }
}
BENCHMARK(BM_PlatformSnprintfLogLine);

}  // namespace
