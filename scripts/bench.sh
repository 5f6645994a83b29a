#!/usr/bin/env bash
# Builds the benchmark program (Release, no sanitizers) in build/bench and
# runs it; arguments go to the program (e.g. --benchmark_filter=PKT).
# Benchmarks are not tests: nothing here decides whether CI passes.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
JOBS=${TLX_JOBS:-8}
bash scripts/install-deps.sh
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTLX_SANITIZE=OFF >/dev/null
cmake --build build/bench -j"$JOBS" --target tlx_bench
exec build/bench/tests/tlx_bench "$@"
