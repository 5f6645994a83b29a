#!/usr/bin/env bash
# The window probe (tools/wine_gui) against the real Windows client under
# Wine: builds the probe with MinGW into WIN64-BUILD/wine_gui, makes a Wine
# prefix of its own, starts the client there and checks the probe's commands
# on what the client shows. Without an adapter the client stops at start-up
# with a message box, before its tray icon exists; so the checks are
# wait-window, dialog-text, text (the hidden statistics window's controls),
# wait-text (the diagnostic console), shot (a 24-bit BMP of the box's size, not one
# colour), tray-menu (a clean failure: no icon yet) and close-dialog (after
# which the client exits). The prefix is removed afterwards.
#
#   scripts/wine-gui-probe-check.sh [WIN64-BUILD]
#
# Xvfb has no window manager, so the prefix has Wine draw the window frames
# itself (X11 driver "Managed" off): the pictures then show the titles.
# Exit status 0 when every check passed, else 1.
set -uo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.." || exit 1
WIN=${1:-build/win64}
start=$(date +%s)

[ -f "$WIN/vantorelle_tunlex.exe" ] ||
  { echo "wine-gui: $WIN/vantorelle_tunlex.exe is missing (build the win64 tree first)"; exit 1; }
WIN=$(cd "$WIN" && pwd)
CLIENT=$WIN/vantorelle_tunlex.exe
OUT=$WIN/wine_gui
PROBE=$OUT/gui_probe.exe
mkdir -p "$OUT"
x86_64-w64-mingw32-gcc -O2 -Wall -Wextra -Werror -o "$PROBE" tools/wine_gui/gui_probe.c -luser32 -lgdi32 ||
  { echo "wine-gui: probe build failed"; exit 1; }
# The probe keeps its own copy of the tray icon's callback message (the
# client's header is C++).
grep -q 'WM_TRAYICON_NOTIFY = 0x464' client/tray_icon.h ||
  { echo "wine-gui: the tray callback message in client/tray_icon.h is no longer the probe's 0x464"; exit 1; }

# A prefix of this check's own, used by one run at a time.
source scripts/wine-lib.sh
own_wine_prefix wine-gui-ci
client_pid=
cleanup() {
  [ -n "$client_pid" ] && kill "$client_pid" 2>/dev/null
  bash scripts/wine-env.sh stop 7>&-
  rm -rf "$TLX_WINEPREFIX"
}
trap cleanup EXIT

wine() { timeout -k 5 60 bash scripts/wine-env.sh run "$@" 7>&-; }
probe() { wine "$PROBE" "$@" 2>&1 | tr -d '\r'; }

rc=0; bash scripts/wine-env.sh start 7>&- || rc=$?
[ "$rc" = 0 ] || [ "$rc" = 2 ] || { echo "wine-gui: cannot start Wine"; exit 1; }
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 ||
  { echo "wine-gui: reg add failed"; exit 1; }

failed=0
check() {  # what ok(0/1) [output]
  if [ "$2" = 1 ]; then
    echo "wine-gui: $1: ok"
  else
    echo "wine-gui: $1: FAILED"
    [ -n "${3:-}" ] && printf '%s\n' "$3" | sed 's/^/    /'
    failed=1
  fi
}
has() { grep -qF -- "$2" <<<"$1" && echo 1 || echo 0; }

# From the output folder, so that anything the client writes stays there.
(cd "$OUT" && exec timeout -k 5 120 bash "$OLDPWD/scripts/wine-env.sh" run "$CLIENT" \
  >"$OUT/client.log" 2>&1 7>&-) &
client_pid=$!

out=$(probe wait-window --visible "Client Error" 30)
check "wait-window finds the start-up message box" "$(has "$out" 'window #32770 "Client Error"')" "$out"
size=$(sed -n 's/.* visible \([0-9]*x[0-9]*\) at .*/\1/p' <<<"$out" | head -n 1)

out=$(probe dialog-text)
check "dialog-text reads the box's message" "$(has "$out" 'TUN/TAP')" "$out"

out=$(probe text "Statistics*")
check "text lists the statistics window's address labels" \
  "$(has "$out" 'control 1004 Static')" "$out"
out=$(probe wait-text DiagConsoleWndClass 'ERROR: Unable to find SSL VPN TUN/TAP' 10)
check "wait-text finds the error in the diagnostic console" "$(has "$out" 'control 0 RICHEDIT')" "$out"
out=$(probe wait-text "Statistics*" 'no such text' 1; echo "exit $?")
check "wait-text gives up on a text that never comes" \
  "$(grep -q "holds \"no such text\" after 1 s" <<<"$out" && ! grep -q '^exit 0$' <<<"$out" && echo 1 || echo 0)" "$out"

rm -f "$OUT/error-box.bmp"
out=$(probe shot "Client Error" "$OUT/error-box.bmp")
bmp=$(python3 - "$OUT/error-box.bmp" "${size:-0x0}" <<'EOF'
import struct, sys
path, size = sys.argv[1], sys.argv[2]
try:
    data = open(path, "rb").read()
except OSError as e:
    print("no file: %s" % e); sys.exit()
if data[:2] != b"BM" or len(data) < 54:
    print("not a BMP"); sys.exit()
offset, = struct.unpack_from("<I", data, 10)
width, height, planes, bits = struct.unpack_from("<iiHH", data, 18)
stride = (width * 3 + 3) & ~3
pixels = {data[offset + y * stride + x * 3: offset + y * stride + x * 3 + 3]
          for y in range(0, abs(height), 3) for x in range(0, width, 3)}
if "%dx%d" % (width, abs(height)) != size:
    print("%dx%d, the window is %s" % (width, abs(height), size))
elif bits != 24 or len(data) != offset + stride * abs(height):
    print("%d bits, %d bytes" % (bits, len(data)))
elif len(pixels) < 2:
    print("one colour only")
else:
    print("ok %dx%d, %d colours" % (width, abs(height), len(pixels)))
EOF
)
check "shot writes a BMP of the box ($bmp)" "$(has "$bmp" 'ok ')" "$out"

out=$(probe tray-menu "$OUT/tray-menu.bmp"; echo "exit $?")
check "tray-menu fails cleanly while the client has no tray icon" \
  "$(grep -q 'no tray icon window' <<<"$out" && ! grep -q '^exit 0$' <<<"$out" && echo 1 || echo 0)" "$out"

out=$(probe close-dialog "Client Error")
check "close-dialog presses the box's OK" "$(has "$out" 'dialog closed with OK')" "$out"
for _ in $(seq 100); do
  kill -0 "$client_pid" 2>/dev/null || break
  sleep 0.2
done
ended=1
kill -0 "$client_pid" 2>/dev/null && ended=0
check "the client exits once the box is closed" "$ended" "$(cat "$OUT/client.log")"
wait "$client_pid" 2>/dev/null
client_pid=

echo "wine-gui: $([ "$failed" = 0 ] && echo passed || echo FAILED) in $(( $(date +%s) - start ))s"
exit "$failed"
