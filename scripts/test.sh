#!/usr/bin/env bash
# The one test command. From a fresh clone: installs what is needed, builds
# the Linux tree (sanitizers on) in build/linux and the Windows tree in
# build/win64, runs the Linux tests natively and the Windows tests under
# Wine. Exits non-zero when anything fails; ends with CTest's summaries.
#
#   TLX_JOBS  parallel jobs (default 8)
set -uo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.." || exit 1
SRC=$(pwd)
JOBS=${TLX_JOBS:-8}
export TLX_JOBS=$JOBS
export CTEST_OUTPUT_ON_FAILURE=1
# A CTest run never takes longer than this, whatever hangs.
CTEST_LIMIT=1500

declare -A summary
failed=0
wine_started=0
trap '[ "$wine_started" = 1 ] && bash scripts/wine-env.sh stop' EXIT

step() { echo "== $*"; }

# The cases GoogleTest reported as skipped in the XML files of one run (a
# program that skipped some still passes as one CTest test): sets
# skipped_text to a count line and their names, and adds the count to
# skipped_all.
skipped_all=0
skipped_text=
skipped_cases() {  # xml-folder
  local names n=0
  names=$(cat "$1"/*.xml 2>/dev/null |
    grep -o '<testcase name="[^"]*"[^>]*result="skipped"[^>]*classname="[^"]*"' |
    sed -E 's/<testcase name="([^"]*)".*classname="([^"]*)"/  \2.\1/')
  [ -z "$names" ] || n=$(wc -l <<<"$names")
  skipped_all=$((skipped_all + n))
  skipped_text="$n test cases skipped (not checked here)"
  [ -z "$names" ] || skipped_text+=$':\n'$names
}

# Runs one build's tests and keeps CTest's closing lines for the end.
run_ctest() {  # name build-folder
  local name=$1 dir=$2 log rc=0 xml out
  log=$dir/ctest.log
  # Every program writes its cases' results here; a Windows program under
  # Wine takes the folder by its drive letter.
  xml=$SRC/$dir/gtest-results
  out=$xml/
  [ "$name" != win64 ] || out=Z:$xml/
  rm -rf "$xml"
  GTEST_OUTPUT="xml:$out" timeout -k 30 "$CTEST_LIMIT" ctest --test-dir "$dir" -j"$JOBS" --timeout 300 --no-tests=error \
    --output-on-failure 2>&1 | tee "$log"
  rc=${PIPESTATUS[0]}
  summary[$name]=$(sed -n '/^[0-9]*% tests passed/,$p' "$log")
  grep -q '^No tests were found' "$log" && summary[$name]="ctest found no test"
  skipped_cases "$xml"
  summary[$name]+=$'\n'$skipped_text
  [ "$rc" = 0 ] || { [ "$rc" = 124 ] && summary[$name]+=$'\n'"ctest stopped after ${CTEST_LIMIT}s"; return 1; }
}

build() {  # name build-folder cmake-args...
  local name=$1 dir=$2
  shift 2
  step "$name: configure and build"
  cmake -S "$SRC" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug "$@" >"$dir.configure.log" 2>&1 || {
    cat "$dir.configure.log"; summary[$name]="configure failed"; return 1; }
  cmake --build "$dir" -j"$JOBS" || { summary[$name]="build failed"; return 1; }
}

step "install system packages"
bash scripts/install-deps.sh || { echo "scripts/install-deps.sh failed"; exit 1; }

# Before anything is built: no include may reach up a layer.
step "layers: includes"
python3 scripts/check-layers.py || { echo "scripts/check-layers.py: an include reaches up a layer"; exit 1; }

step "MinGW dependencies"
if ! DEPS=$(bash scripts/build-mingw-deps.sh); then
  echo "scripts/build-mingw-deps.sh failed"; exit 1
fi
echo "$DEPS"

mkdir -p build

# Linux
if build linux build/linux -DTLX_SANITIZE=ON; then
  step "linux: tests"
  run_ctest linux build/linux || failed=1
else
  failed=1
fi

# Runs one script of the Windows build under Wine (its 77 = skipped) and
# keeps its last line: wine_step NAME LIMIT-S TITLE SCRIPT ARGS...
wine_step() {
  local name=$1 limit=$2 title=$3 log=build/$1.log rc=0
  shift 3
  step "$name: $title"
  timeout -k 10 "$limit" bash "$@" >"$log" 2>&1 || rc=$?
  case $rc in
    0)  summary[$name]="passed: $(tail -n 1 "$log")" ;;
    77) summary[$name]="skipped: $(grep -m1 'skipped' "$log")" ;;
    *)  tail -n 80 "$log"; summary[$name]="failed (see $log)"; failed=1 ;;
  esac
}

# Runs one whole-road script (root only; its 77 = skipped) and keeps its
# summary: road_step NAME LIMIT-S SCRIPT. NAME_passed prints the figures of
# a passed run, NAME_failed what to show of a failed one.
road_step() {
  local name=$1 limit=$2 script=$3 log=build/$1.log rc=0
  timeout -k 10 "$limit" bash "$script" build/linux >"$log" 2>&1 || rc=$?
  case $rc in
    0)  summary[$name]="passed: $("${name}_passed")" ;;
    77) summary[$name]="skipped: $(grep -m1 'skipped' "$log")" ;;
    *)  "${name}_failed"; summary[$name]="failed (see $log)"; failed=1 ;;
  esac
}

e2e_passed() { grep '^e2e: throughput' build/e2e.log | tr '\n' ' '; }
e2e_failed() { tail -n 60 build/e2e.log; }
step "e2e: client, route service and gateway in network namespaces"
road_step e2e 240 scripts/e2e-test.sh

# Faults on the whole road: killed client and service (and a new boot
# between a killed service and its successor), stop signals, the host's own
# default routes (metrics 0 and 1, a primary and a backup uplink, multipath,
# a nexthop object, two through one gateway, one made again mid-session), a
# gateway stalled mid-frame, a peer without TLS.
fault_passed() { echo "$(grep -c '^  result: ' build/fault.log) rows"; }
fault_failed() { grep -E '^(----|  result|  exit)' build/fault.log; tail -n 30 build/fault.log; }
step "fault: faults on the whole road"
road_step fault 360 scripts/fault-test.sh

# Short, repeatable fuzzing runs of the PPP input path and the configuration
# loader (clang, libFuzzer).
step "fuzz: PPP input and configuration loader"
if bash scripts/fuzz.sh >build/fuzz.log 2>&1; then
  summary[fuzz]="passed: $(tail -n 1 build/fuzz.log)"
else
  tail -n 40 build/fuzz.log
  summary[fuzz]="failed (see build/fuzz.log)"
  failed=1
fi

# Windows, under Wine. This run gets a prefix of its own, used by one run at
# a time, so stopping its server cannot end anybody else's programs.
# The connection tests under Wine get their gateways from the Linux build's.
if build win64 build/win64 -DCMAKE_TOOLCHAIN_FILE="$SRC/cmake/mingw-w64.cmake" -DTLX_MINGW_DEPS="$DEPS" \
    -DTLX_HOST_GATEWAY="$SRC/build/linux/tools/tlx_gateway"; then
  step "win64: tests under Wine"
  export TLX_WINEPREFIX
  TLX_WINEPREFIX=$(dirname "$(bash scripts/wine-env.sh prefix)")/test
  mkdir -p "$(dirname "$TLX_WINEPREFIX")"
  exec 7>"$TLX_WINEPREFIX.run.lock"
  flock 7
  rc=0; bash scripts/wine-env.sh start 7>&- || rc=$?
  if [ "$rc" = 0 ] || [ "$rc" = 2 ]; then
    [ "$rc" = 0 ] && wine_started=1
    run_ctest win64 build/win64 || failed=1
    step "interop: Windows client against the Linux gateway"
    if bash scripts/interop-test.sh build/linux build/win64 7>&- >build/interop.log 2>&1; then
      summary[interop]="passed: $(grep -c ': passed$' build/interop.log) methods"
    else
      cat build/interop.log; summary[interop]="failed (see build/interop.log)"; failed=1
    fi
    if [ "$wine_started" = 1 ]; then
      bash scripts/wine-env.sh stop
      wine_started=0
    fi
  else
    summary[win64]="could not start Wine"; failed=1
  fi
  exec 7>&-
  # The stand-in adapter device in Wine's device host (a prefix of its own).
  wine_step wine-tap 300 "stand-in adapter device under Wine" scripts/wine-tap-test.sh build/win64
  # The window probe the road below drives the client with, against the
  # real client that finds no adapter (its error box).
  wine_step wine-gui 300 "the window probe against the Windows client" scripts/wine-gui-probe-check.sh build/win64
  # The real client and route service on the whole road under Wine: the
  # stand-in device joined to a tun link, the Linux gateway, a ping through
  # the client, a disconnect from the tray menu, two refused attempts.
  wine_step wine-road 420 "the Windows client and service to Connected under Wine" \
    scripts/wine-road-test.sh build/linux build/win64
else
  failed=1
fi

echo
echo "== summary"
passed_all=0 failed_all=0 skipped_steps=0
for name in linux e2e fault fuzz win64 interop wine-tap wine-gui wine-road; do
  echo "$name:"
  echo "${summary[$name]:-not run}"
  # "N% tests passed, F tests failed out of T"
  if [ "$name" = fuzz ] || [ "$name" = interop ] || [ "$name" = e2e ] || [ "$name" = fault ] || [ "$name" = wine-tap ] || [ "$name" = wine-gui ] || [ "$name" = wine-road ]; then
    case "${summary[$name]:-}" in passed*) passed_all=$((passed_all + 1)) ;; skipped*) skipped_steps=$((skipped_steps + 1)) ;; *) failed_all=$((failed_all + 1)) ;; esac
    continue
  fi
  line=$(grep -E '^[0-9]+% tests passed' <<<"${summary[$name]:-}" || true)
  if [[ $line =~ ([0-9]+)\ tests\ failed\ out\ of\ ([0-9]+) ]]; then
    failed_all=$((failed_all + BASH_REMATCH[1]))
    passed_all=$((passed_all + BASH_REMATCH[2] - BASH_REMATCH[1]))
  else
    failed_all=$((failed_all + 1))  # a build that did not get to its tests
  fi
done
echo
echo "not run: $skipped_all test cases skipped, $skipped_steps steps skipped"
echo "tests: $passed_all passed, $failed_all failed, $((skipped_all + skipped_steps)) skipped"
exit "$failed"
