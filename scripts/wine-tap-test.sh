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
x86_64-w64-mingw32-gcc -O2 -Wall -Wextra -Werror -I"$DDK" -shared -nostdlib \
  -Wl,--subsystem,native -Wl,--entry,DriverEntry \
  -o "$OUT/tlx_tap.sys" tools/wine_tap/tap_driver.c -lntoskrnl || { echo "wine-tap: driver build failed"; exit 1; }
x86_64-w64-mingw32-gcc -O2 -Wall -Wextra -Werror -o "$OUT/tap_pump.exe" tools/wine_tap/tap_pump.c -liphlpapi -lws2_32 ||
  { echo "wine-tap: helper build failed"; exit 1; }

# A prefix of this step's own, used by one run at a time.
source scripts/wine-prefix.sh
own_wine_prefix wine-tap-ci
cleanup() {
  bash scripts/wine-env.sh stop 7>&-
  rm -rf "$TLX_WINEPREFIX"
}
trap cleanup EXIT

wine() { timeout -k 5 60 bash scripts/wine-env.sh run "$@" 7>&-; }

rc=0; bash scripts/wine-env.sh start 7>&- || rc=$?
[ "$rc" = 0 ] || [ "$rc" = 2 ] || { echo "wine-tap: cannot start Wine"; exit 1; }

prefix=$(bash scripts/wine-env.sh prefix)
# A driver service started in a session that "wineboot -i" began times out
# in Wine's device host (error 1053); after a plain boot it starts. So the
# new prefix's server is restarted once, keeping the virtual display.
WINEPREFIX=$prefix wineserver -k </dev/null >/dev/null 2>&1 7>&- || true
WINEPREFIX=$prefix wineserver -w </dev/null >/dev/null 2>&1 7>&- || true
WINEPREFIX=$prefix wineserver -p </dev/null >/dev/null 2>&1 7>&- || { echo "wine-tap: cannot restart wineserver"; exit 1; }
WINEPREFIX=$prefix WINEDEBUG=-all wineboot </dev/null >/dev/null 2>&1 7>&- || { echo "wine-tap: wineboot failed"; exit 1; }
cp "$OUT/tlx_tap.sys" "$prefix/drive_c/windows/system32/drivers/tlx_tap.sys"
key='HKLM\System\CurrentControlSet\Services\tlxtap'
wine sc create tlxtap type= kernel start= demand binPath= 'C:\windows\system32\drivers\tlx_tap.sys' \
  >/dev/null 2>&1 || { echo "wine-tap: sc create failed"; exit 1; }
wine reg add "$key" /v AdapterGuid /t REG_SZ /d "$GUID" /f >/dev/null 2>&1 ||
  { echo "wine-tap: reg add failed"; exit 1; }
# The first start in a fresh prefix can time out while the device host
# comes up; it is asked again until the device answers.
up=0
for i in $(seq 30); do
  [ $((i % 5)) = 1 ] && { wine sc start tlxtap >>"$OUT/sc.log" 2>&1 || true; }
  if wine "$OUT/tap_pump.exe" state >/dev/null 2>&1; then up=1; break; fi
  sleep 0.5
done
[ "$up" = 1 ] || { echo "wine-tap: the driver did not start in Wine's device host"; exit 1; }
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
