#!/usr/bin/env bash
# The stand-in TUN adapter device under Wine: builds tools/wine_tap's kernel
# driver and its Windows helper with MinGW into WIN64-BUILD/wine_tap, makes a
# Wine prefix of its own, installs the driver there as a kernel driver
# service (with the adapter GUID in its service key), starts it in Wine's
# device host, and runs the helper's check, which drives the device the way
# the client's adapter back end does. The prefix is removed afterwards.
#
#   scripts/wine-tap-test.sh [WIN64-BUILD]
#
# Exit status 0 when the check passed, 77 when the MinGW driver kit is
# missing, else 1.
set -uo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.." || exit 1
WIN=${1:-build/win64}
OUT=$WIN/wine_tap
DDK=/usr/x86_64-w64-mingw32/include/ddk
GUID='{6B0E1A52-77C3-4D1B-9E2F-5A3C1D7E8F90}'
start=$(date +%s)

[ -f "$DDK/ntddk.h" ] && [ -f /usr/x86_64-w64-mingw32/lib/libntoskrnl.a ] || {
  echo "wine-tap: skipped, no MinGW driver kit (mingw-w64-x86-64-dev)"; exit 77; }

mkdir -p "$OUT"
source scripts/wine-lib.sh
build_stand_in "$OUT" || { echo "wine-tap: driver or helper build failed"; exit 1; }

# A prefix of this step's own, used by one run at a time.
own_wine_prefix wine-tap-ci
cleanup() {
  bash scripts/wine-env.sh stop 7>&-
  rm -rf "$TLX_WINEPREFIX"
}
trap cleanup EXIT

wine() { timeout -k 5 60 bash scripts/wine-env.sh run "$@" 7>&-; }

rc=0; bash scripts/wine-env.sh start 7>&- || rc=$?
[ "$rc" = 0 ] || [ "$rc" = 2 ] || { echo "wine-tap: cannot start Wine"; exit 1; }

reboot_wine || { echo "wine-tap: cannot restart Wine"; exit 1; }
install_stand_in "$GUID" wine || { echo "wine-tap: cannot install the driver"; exit 1; }
start_stand_in wine || { echo "wine-tap: the driver did not start in Wine's device host"; exit 1; }
echo "wine-tap: driver loaded"

failed=0
wine "$OUT/tap_pump.exe" check "$GUID" 2>/dev/null | tr -d '\r' | tee "$OUT/check.log" | grep -v ': ok$' || true
grep -q '^check: passed' "$OUT/check.log" || { cat "$OUT/check.log"; failed=1; }
# A second user after the first closed: the device survives its clients.
wine "$OUT/tap_pump.exe" check "$GUID" 2>/dev/null | tr -d '\r' >"$OUT/check2.log"
grep -q '^check: passed' "$OUT/check2.log" || { echo "wine-tap: second check:"; cat "$OUT/check2.log"; failed=1; }
wine "$OUT/tap_pump.exe" state 2>/dev/null | tr -d '\r' | sed 's/^/wine-tap: device /'
# What the client's adapter lookup reads here (for the log): Wine names each
# adapter after its Linux link, description included.
wine "$OUT/tap_pump.exe" adapters 2>/dev/null | tr -d '\r' | sed 's/^/wine-tap: adapter /'

echo "wine-tap: $([ "$failed" = 0 ] && echo passed || echo FAILED) in $(( $(date +%s) - start ))s"
exit "$failed"
