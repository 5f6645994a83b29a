#!/usr/bin/env bash
# Builds the PPP input fuzzer, the configuration loader's fuzzer, the route
# service's undo file reader's fuzzer and its command handler's fuzzer with
# clang's libFuzzer and gives each a short, repeatable run (fixed seed,
# bounded count). Any crash fails the script. The loader's target links
# TinyXML built from its Debian source with the same sanitizers, so that a
# read past the file's text inside the parser shows; without that source
# (no deb-src) it links the system library and says so.
#
#   TLX_FUZZ_RUNS  inputs to try (default 40000)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
out=build/fuzz
mkdir -p "$out"
runs=${TLX_FUZZ_RUNS:-40000}

# The route service's command handler over the tests' fake operations: the
# service's own sources, its platform half included (nothing of it is called
# but the pipe's wake-up the object is made with). The longest build: it runs
# beside the others'.
svc_srcs=$(ls service/*.cpp | grep -v '_win32\.cpp$' | grep -v 'service_main_')
# shellcheck disable=SC2086
clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -Iservice -Iinclude -Itests/service \
  tests/fuzz/dispatch_fuzz.cpp $svc_srcs \
  -lpthread -o "$out/dispatch_fuzz" &
dispatch_build=$!

srcs=$(ls runtime/*.cpp ppp/*.cpp | grep -v '_win32\.cpp$')
clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -Wno-ignored-attributes -DOPENSSL_API_COMPAT=0x10002000L -DOPENSSL_SUPPRESS_DEPRECATED \
  -Iruntime -Ippp \
  tests/fuzz/ppp_input_fuzz.cpp $srcs \
  -lcrypto -lpthread -o "$out/ppp_input_fuzz"

# TinyXML's source, fetched once into the build folder.
txml_src=$(ls -d "$out"/tinyxml-src/tinyxml-*/ 2>/dev/null | head -n1 || true)
if [ -z "$txml_src" ]; then
  rm -rf "$out/tinyxml-src" && mkdir -p "$out/tinyxml-src"
  (cd "$out/tinyxml-src" && apt-get source -qq tinyxml >fetch.log 2>&1) || true
  txml_src=$(ls -d "$out"/tinyxml-src/tinyxml-*/ 2>/dev/null | head -n1 || true)
fi
if [ -n "$txml_src" ]; then
  txml="-DTIXML_USE_STL -I$txml_src ${txml_src}tinyxml.cpp ${txml_src}tinyxmlerror.cpp ${txml_src}tinyxmlparser.cpp ${txml_src}tinystr.cpp"
else
  echo "fuzz: no TinyXML source; the configuration target links the system library"
  txml=-ltinyxml
fi
cfg_srcs=$(ls runtime/*.cpp | grep -v '_win32\.cpp$')
# shellcheck disable=SC2086
clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -Wno-ignored-attributes -Iinclude -Iruntime -Isrc \
  tests/fuzz/config_load_fuzz.cpp src/config.cpp $cfg_srcs $txml \
  -lpthread -o "$out/config_load_fuzz"

# The undo file's reader alone: its platform half is stood in for by the target.
clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -Iservice -Iinclude \
  tests/fuzz/state_load_fuzz.cpp service/svc_state.cpp \
  -o "$out/state_load_fuzz"

wait "$dispatch_build"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for target in ppp_input config_load state_load dispatch; do
  echo "== fuzz: $target"
  mkdir -p "$work/$target"
  cp tests/fuzz/${target}_corpus/* "$work/$target"/
  # The service's log lines go to standard output: closed with standard error.
  mask=2
  [ "$target" = dispatch ] && mask=3
  "$out/${target}_fuzz" -seed=1 -runs="$runs" -max_total_time=120 -max_len=4096 \
    -close_fd_mask=$mask -artifact_prefix="$out/$target-" "$work/$target"
done
