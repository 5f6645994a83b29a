#!/usr/bin/env bash
# Builds the PPP input fuzzer with clang's libFuzzer and gives it a short,
# repeatable run (fixed seed, bounded count). Any crash fails the script.
#
#   TLX_FUZZ_RUNS  inputs to try (default 40000)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
out=build/fuzz
mkdir -p "$out"
runs=${TLX_FUZZ_RUNS:-40000}

srcs=$(ls runtime/*.cpp ppp/*.cpp | grep -v '_win32\.cpp$')
clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -Wno-ignored-attributes -DOPENSSL_API_COMPAT=0x10002000L -DOPENSSL_SUPPRESS_DEPRECATED \
  -Iruntime -Ippp \
  tests/fuzz/ppp_input_fuzz.cpp $srcs \
  -lcrypto -lpthread -o "$out/ppp_input_fuzz"

corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT
cp tests/fuzz/ppp_input_corpus/* "$corpus"/
"$out/ppp_input_fuzz" -seed=1 -runs="$runs" -max_total_time=120 -max_len=4096 \
  -close_fd_mask=2 -artifact_prefix="$out/" "$corpus"
