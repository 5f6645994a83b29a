#!/usr/bin/env bash
# The Windows client against the Linux test gateway: for each authentication
# method, starts build/linux's tlx_gateway on 127.0.0.1 (a free port; silent
# on the first of two connections), runs the Windows core tests' interop
# case under Wine with the gateway's port and certificate fingerprint (a
# disconnect during the PPP handshake, then an attempt to Connected), and
# stops the gateway.
#
#   scripts/interop-test.sh [LINUX-BUILD [WIN64-BUILD]]
#
# Defaults: build/linux and build/win64. Wine runs through scripts/wine-env.sh
# (so TLX_WINEPREFIX chooses the prefix). Exit status 0 when every method
# reached Connected and disconnected cleanly.
set -uo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.." || exit 1
LINUX=${1:-build/linux}
WIN=${2:-build/win64}
GATEWAY=$LINUX/tools/tlx_gateway
EXE=$WIN/tests/core_tests.exe
METHODS=${TLX_INTEROP_METHODS:-none pap chap-md5 mschapv1 mschapv2}

for f in "$GATEWAY" "$EXE"; do
  [ -x "$f" ] || [ -f "$f" ] || { echo "interop: $f is missing (build both trees first)" >&2; exit 1; }
done

work=$(mktemp -d)
gw_pid=
cleanup() {
  [ -n "$gw_pid" ] && kill "$gw_pid" 2>/dev/null && wait "$gw_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

bash scripts/make-test-cert.sh "$work/cert" >"$work/fingerprint" || { echo "interop: no certificate" >&2; exit 1; }
fingerprint=$(cut -d= -f2 <"$work/fingerprint")

failed=0
for method in $METHODS; do
  rm -f "$work/ready"
  "$GATEWAY" --cert "$work/cert/cert.pem" --key "$work/cert/key.pem" --auth "$method" \
    --silent --faulty-connections 1 --connections 2 --max-time 120 --ready-file "$work/ready" --log "$work/gateway-$method.log" >/dev/null &
  gw_pid=$!
  for _ in $(seq 100); do
    [ -s "$work/ready" ] && break
    sleep 0.05
  done
  if [ ! -s "$work/ready" ]; then
    echo "interop $method: the gateway did not start"; cat "$work/gateway-$method.log"
    failed=1; kill "$gw_pid" 2>/dev/null; wait "$gw_pid" 2>/dev/null; gw_pid=; continue
  fi
  port=$(cat "$work/ready")
  rc=0
  TLX_GATEWAY_HOST=127.0.0.1 TLX_GATEWAY_PORT=$port TLX_GATEWAY_FINGERPRINT=$fingerprint \
    timeout -k 10 120 bash scripts/wine-env.sh run "$EXE" \
    --gtest_filter='TunnelBase.InteropDisconnectsDuringHandshakeThenConnects' >"$work/client-$method.log" 2>&1 || rc=$?
  kill "$gw_pid" 2>/dev/null; wait "$gw_pid" 2>/dev/null; gw_pid=
  if [ "$rc" = 0 ] && grep -q '^\[  PASSED  \] 1 test' "$work/client-$method.log"; then
    echo "interop $method: passed"
  else
    echo "interop $method: FAILED (exit $rc)"
    cat "$work/client-$method.log"
    echo "-- gateway log:"; cat "$work/gateway-$method.log"
    failed=1
  fi
done
exit "$failed"
