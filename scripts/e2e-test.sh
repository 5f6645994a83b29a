#!/usr/bin/env bash
# The whole road, inside network namespaces made for this run only (see
# scripts/e2e-lib.sh for the layout). Checks: the client reaches Connected;
# its tun link got the IPCP address; the configured client route is in
# place; the resolver file names the DNS servers; ping through the tunnel
# reaches the gateway's tunnel address (answered by the gateway) and the host
# behind it. Then three TCP transfers of TLX_E2E_BYTES each (default 200 MB,
# 30 s at most each): client to gateway and gateway to client through the
# tunnel, and client to gateway over the bare veth; the figures and the
# ratios are printed, not judged, but every transfer must complete. Last,
# SIGTERM: the client reports Disconnected, exits 0 and its route is gone.
#
#   scripts/e2e-test.sh [LINUX-BUILD]      (default build/linux)
#
# TLX_E2E_LOGS=FOLDER keeps the programs' logs there. Needs root. Exit status:
# 0 passed, 1 failed, 77 skipped (not root, or no ip tool or python3).
# Everything it made is removed on exit, also after a failure or a signal.
set -uo pipefail

NAME=e2e
source "$(dirname "${BASH_SOURCE[0]}")/e2e-lib.sh"
e2e_init "${1:-build/linux}"
BYTES=${TLX_E2E_BYTES:-200000000}
SPEED_LIMIT_S=30

start_network
start_gateway
start_service
write_config "$work/e2e.tlxcf" "$LAN_NET"
start_client "$work/e2e.tlxcf"
wait_connected

wait_for 5 has_address || fail "$CL_TUN holds \"$(tun_address)\", not the IPCP address $CL_TUNNEL"
pass "$CL_TUN has the IPCP address $CL_TUNNEL"
wait_for 5 has_route || fail "no route to $LAN_NET through $CL_TUN: $(in_cl ip route)"
pass "client route $LAN_NET through $CL_TUN"
wait_for 5 dns_written || fail "the resolver file lacks $DNS1 and $DNS2: $(resolver 2>&1)"
pass "the resolver file names $DNS1 and $DNS2"

in_cl python3 "$NET" ping "$GW_TUNNEL" 3 2 >"$work/ping-gw.out" 2>&1 || { cat "$work/ping-gw.out"; fail "ping to the gateway's tunnel address $GW_TUNNEL"; }
grep -q "echo request from $CL_TUNNEL, answering" "$work/gateway.log" || fail "the gateway did not answer the echo itself"
pass "ping through the tunnel to the gateway ($GW_TUNNEL)"
in_cl python3 "$NET" ping "$LAN_HOST" 3 2 >"$work/ping-lan.out" 2>&1 || { cat "$work/ping-lan.out"; fail "ping to the host behind the gateway $LAN_HOST"; }
pass "ping through the tunnel to the host behind the gateway ($LAN_HOST)"

# ---- throughput: the tunnel, then the bare veth ----

measure "client to gateway through the tunnel" "$NS_CL" "$NS_GW" "$GW_TUNNEL"
up=$RATE
measure "gateway to client through the tunnel" "$NS_GW" "$NS_CL" "$CL_TUNNEL"
down=$RATE
measure "client to gateway over the bare veth" "$NS_CL" "$NS_GW" "$GW_OUTER"
veth=$RATE
echo "e2e: throughput ($((BYTES / 1000000)) MB each): client to gateway $up Mbit/s ($(percent "$up" "$veth") % of the veth)," \
  "gateway to client $down Mbit/s ($(percent "$down" "$veth") %), bare veth $veth Mbit/s"

# ---- disconnect ----

stop_client
wait_for 5 no_route || fail "the client route $LAN_NET is still there after the disconnect: $(in_cl ip route)"
pass "client Disconnected on SIGTERM, exit 0, and its route $LAN_NET is gone"
wait_for 5 grep -q "IPv4 through $GW_TUN" "$work/gateway.log" &&
  echo "e2e: gateway: $(grep -o "IPv4 through $GW_TUN.*" "$work/gateway.log" | tail -n 1)"

echo "e2e: passed"
