#!/usr/bin/env bash
# Runs the Windows build's programs under Wine, in a private prefix outside
# the work tree.
#
#   wine-env.sh start        start a persistent wineserver and boot the prefix;
#                            without DISPLAY also a virtual X display (Xvfb)
#                            that every later "run" uses for its windows
#   wine-env.sh stop         stop that wineserver (and every program in it)
#                            and the virtual display
#   wine-env.sh run EXE ...  run one program; starts the server first when
#                            none is running (CTest's emulator uses this)
#   wine-env.sh prefix       print the prefix folder
#
#   TLX_WINEPREFIX  the prefix (default /var/cache/vantorelle-wine/dev for
#                   root, else ~/.cache/vantorelle-wine/dev)
#
# Wine's background services outlive the program that started them and keep
# whatever output it had open; when they are started from a test, CTest waits
# on the test's pipe for ever. So the server and the services are always
# started here with every output sent to /dev/null, before any test runs.
set -euo pipefail

default_prefix() {
  if [ "$(id -u)" = 0 ]; then
    echo /var/cache/vantorelle-wine/dev
  else
    echo "${XDG_CACHE_HOME:-$HOME/.cache}/vantorelle-wine/dev"
  fi
}

export WINEPREFIX=${TLX_WINEPREFIX:-$(default_prefix)}
export WINEDEBUG=-all
export WINEARCH=win64
# No window may pop up (crash dialogs, first-run prompts) while tests run.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:+$WINEDLLOVERRIDES;}mscoree,mshtml=;winemenubuilder.exe=d"

# The virtual display of this prefix: "<display> <pid>" in a state file.
XVFB_STATE="$WINEPREFIX.xvfb"

# Exports DISPLAY of the prefix's virtual display when it still runs.
use_xvfb() {
  [ -z "${DISPLAY:-}" ] && [ -f "$XVFB_STATE" ] || return 0
  local display pid
  read -r display pid <"$XVFB_STATE" || return 0
  if kill -0 "$pid" 2>/dev/null; then
    export DISPLAY=$display
  fi
}

# Starts Xvfb on the first free display from :99 when no display is given.
start_xvfb() {
  use_xvfb
  [ -z "${DISPLAY:-}" ] || return 0
  command -v Xvfb >/dev/null || { echo "wine-env: no DISPLAY and no Xvfb; windows cannot open" >&2; return 0; }
  local n=99 pid i
  while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
  setsid Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp </dev/null >/dev/null 2>&1 &
  pid=$!
  for i in $(seq 50); do
    [ -e "/tmp/.X11-unix/X$n" ] && break
    sleep 0.1
  done
  mkdir -p "$(dirname "$XVFB_STATE")"
  echo ":$n $pid" >"$XVFB_STATE"
  export DISPLAY=":$n"
}

stop_xvfb() {
  [ -f "$XVFB_STATE" ] || return 0
  local display pid
  read -r display pid <"$XVFB_STATE" || true
  [ -n "${pid:-}" ] && kill "$pid" 2>/dev/null || true
  rm -f "$XVFB_STATE"
}

# Starts the server when none runs for the prefix; boots the prefix when the
# server is new. Returns 0 when this call started the server, 2 when one was
# already running. $1 is the persistence the server gets (empty: for ever).
start_server() {
  local persist=${1:-} rc=0
  # The server needs the folder; wineboot fills it on first use.
  mkdir -p "$WINEPREFIX"
  exec 8>"$WINEPREFIX.lock"
  flock 8
  # The lock's descriptor must not reach the server or the services.
  wineserver -p"$persist" </dev/null >/dev/null 2>&1 8>&- || rc=$?
  if [ "$rc" = 0 ]; then
    wineboot -i </dev/null >/dev/null 2>&1 8>&- || { exec 8>&-; return 1; }
  elif [ "$rc" != 2 ]; then
    exec 8>&-; return 1
  fi
  exec 8>&-
  return "$rc"
}

cmd=${1:-}
[ $# -gt 0 ] && shift
case "$cmd" in
  start)
    start_xvfb
    rc=0; start_server "" || rc=$?
    [ "$rc" = 0 ] || [ "$rc" = 2 ] || { echo "wine-env: cannot start wineserver" >&2; exit 1; }
    exit "$rc"
    ;;
  stop)
    wineserver -k </dev/null >/dev/null 2>&1 || true
    wineserver -w </dev/null >/dev/null 2>&1 || true
    stop_xvfb
    ;;
  run)
    [ $# -gt 0 ] || { echo "usage: wine-env.sh run EXE [ARGS...]" >&2; exit 2; }
    # A server started on demand quits by itself ten minutes after its last
    # program ends.
    use_xvfb
    rc=0; start_server 600 || rc=$?
    [ "$rc" = 0 ] || [ "$rc" = 2 ] || { echo "wine-env: cannot start wineserver" >&2; exit 1; }
    exec wine "$@"
    ;;
  prefix)
    echo "$WINEPREFIX"
    ;;
  *)
    echo "usage: wine-env.sh start|stop|run EXE [ARGS...]|prefix" >&2
    exit 2
    ;;
esac
