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
# Then the variants: a gateway asking for a small MRU, a full tunnel (the
# gateway sits behind a router, so it needs a host route through the
# uplink's next hop), and a full tunnel over an uplink with a /32 address and
# an on-link default route.
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

# A clean disconnect reports no failure: requests sent while the
# connection stops say that their replies are not awaited. The service's
# log and its events (echoed on its standard output besides the system log)
# count as much as the client's output. Each call reads what was written
# since the previous one.
svc_log_mark=0 svc_out_mark=0
no_failures() {
  local found
  found=$(grep -E "FAILED|\(\) failed" "$work/client.out") &&
    fail "$1: the client reported failures on a clean run: $found"
  found=$(tail -n +$((svc_log_mark + 1)) "$work/service.log" | grep -E "ERROR|Unable to|FAILED")
  [ -n "$found" ] && fail "$1: the service logged failures on a clean run: $found"
  found=$(tail -n +$((svc_out_mark + 1)) "$work/service.out" | grep -E "^ *(ERROR|WARNING):|Unable to|FAILED")
  [ -n "$found" ] && fail "$1: the service wrote error events on a clean run: $found"
  svc_log_mark=$(wc -l <"$work/service.log") svc_out_mark=$(wc -l <"$work/service.out")
  pass "$1: no failure in the client's output, the service's log or its events"
}

start_routed_network
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
no_failures "disconnect"
wait_for 5 grep -q "IPv4 through $GW_TUN" "$work/gateway.log" &&
  echo "e2e: gateway: $(grep -o "IPv4 through $GW_TUN.*" "$work/gateway.log" | tail -n 1)"

# ---- a gateway that asks for a small MRU ----

# The tunnel's MTU follows the gateway's MRU; the service must set it.
stop_pid "$gw_pid"; gw_pid=
start_gateway --mru 500
start_client "$work/e2e.tlxcf"
wait_connected
tun_mtu() { in_cl ip -j link show dev "$CL_TUN" | python3 -c 'import json, sys; print(json.load(sys.stdin)[0]["mtu"])'; }
small_mtu() { [ "$(tun_mtu)" = 500 ]; }
wait_for 5 small_mtu || fail "gateway MRU 500: $CL_TUN has MTU $(tun_mtu)"
in_cl python3 "$NET" ping "$LAN_HOST" 3 2 >"$work/ping-mru.out" 2>&1 || { cat "$work/ping-mru.out"; fail "gateway MRU 500: ping to $LAN_HOST"; }
stop_client
pass "gateway MRU 500: Connected, $CL_TUN at MTU 500, $LAN_HOST reached"
stop_pid "$gw_pid"; gw_pid=
start_gateway

# ---- full tunnel: a configuration without client routes ----

# The tunnel takes the default route; the client namespace's own default
# route must be back as it was once the client has ended, and the gateway,
# behind the router, is reached by a host route through the router.
default_routes() {
  in_cl ip -j route show default | python3 -c '
import json, sys
print(" ".join(sorted("%s/%s/%s" % (r.get("gateway", "-"), r["dev"], r.get("metric", 0)) for r in json.load(sys.stdin))))'
}
before_full=$(default_routes)
sed '/<ClientRoute>/d' "$work/e2e.tlxcf" >"$work/full.tlxcf"
start_client "$work/full.tlxcf" client-full.log
wait_for 30 connected_or_ended
grep -q "^State: Connected" "$work/client.out" || fail "the full-tunnel client did not reach Connected"
tunnel_default() { [ "$(route_dev default)" = "$CL_TUN" ]; }
wait_for 5 tunnel_default || fail "full tunnel: the default route does not go through $CL_TUN: $(in_cl ip route)"
gateway_route() { in_cl ip route show "$GW_OUTER" | grep -q "^$GW_OUTER via $RT_UP1 dev veth-cl "; }
wait_for 5 gateway_route || fail "full tunnel: no host route to $GW_OUTER via $RT_UP1 dev veth-cl: $(in_cl ip route)"
in_cl python3 "$NET" ping "$LAN_HOST" 3 2 >"$work/ping-full.out" 2>&1 || { cat "$work/ping-full.out"; fail "full tunnel: ping to $LAN_HOST"; }
pass "full tunnel: Connected, default route through $CL_TUN, host route to $GW_OUTER via $RT_UP1, $LAN_HOST reached"
kill -TERM "$cl_pid"
wait_for 15 exited || fail "the full-tunnel client did not end within 15 s of SIGTERM"
wait "$cl_pid"
cl_rc=$?
cl_pid=
[ "$cl_rc" = 0 ] || fail "the full-tunnel client ended with status $cl_rc after SIGTERM"
grep -q "ROUTE_CleanUp" "$work/service.log" || fail "full tunnel: the service never heard ROUTE_CleanUp"
restored() { [ "$(default_routes)" = "$before_full" ]; }
wait_for 5 restored || fail "full tunnel: default routes \"$(default_routes)\" after the session, \"$before_full\" before"
pass "full tunnel: Disconnected on SIGTERM, default routes as before ($before_full)"
no_failures "full tunnel"

# ---- full tunnel over an uplink without a gateway ----

# The client asks for the host route to the gateway with no next hop; the
# tunnel's own stream must keep to the uplink, so the session lives on.
use_onlink_uplink
start_client "$work/full.tlxcf" client-onlink.log
wait_for 30 connected_or_ended
grep -q "^State: Connected" "$work/client.out" || fail "on-link uplink: the full-tunnel client did not reach Connected"
host_route() { [ "$(route_dev "$GW_OUTER")" = veth-cl ] && ! in_cl ip route show "$GW_OUTER" | grep -q via; }
wait_for 5 host_route || fail "on-link uplink: no host route to $GW_OUTER on veth-cl: $(in_cl ip route)"
in_cl python3 "$NET" ping "$LAN_HOST" 3 2 >"$work/ping-onlink.out" 2>&1 || { cat "$work/ping-onlink.out"; fail "on-link uplink: ping to $LAN_HOST"; }
sleep 20
grep -q '^State: \(Disconnected\|Error\|Reconnecting\)' "$work/client.out" && fail "on-link uplink: the session ended within 20 s"
in_cl python3 "$NET" ping "$LAN_HOST" 3 2 >"$work/ping-onlink.out" 2>&1 || { cat "$work/ping-onlink.out"; fail "on-link uplink: ping to $LAN_HOST 20 s later"; }
pass "on-link uplink: host route to $GW_OUTER on veth-cl, $LAN_HOST reached, still Connected 20 s later"
stop_client
wait_for 5 eval '[ -z "$(in_cl ip route show "$GW_OUTER")" ]' || fail "on-link uplink: the host route stayed: $(in_cl ip route)"
pass "on-link uplink: Disconnected on SIGTERM, the host route gone"
no_failures "on-link uplink"

# ---- configuration and environment mistakes a user makes ----

# Every route of the machine, in every table, as the kernel lists it.
all_routes() { in_cl ip route show table all; }

# A file whose every ClientRoute is refused asks for client routes all the
# same: the client ends before it touches the machine, naming what it refused.
user_mistake_rows() {
  local before rc
  write_config "$work/refused.tlxcf" 198.51.100.0/33
  before=$(all_routes)
  start_client "$work/refused.tlxcf" client-refused.log
  wait_for 20 exited || fail "all routes refused: the client did not end"
  wait "$cl_pid"; rc=$?; cl_pid=
  [ "$rc" != 0 ] || fail "all routes refused: the client ended with status 0"
  grep -q 'No client route of the configuration could be taken: "198.51.100.0/33"' "$work/client.out" ||
    fail "all routes refused: no error naming the refused route"
  grep -q "^State: Connected" "$work/client.out" && fail "all routes refused: the client connected"
  [ "$(all_routes)" = "$before" ] || fail "all routes refused: the routes changed: $(all_routes)"
  pass "all routes refused: the connect is refused, naming 198.51.100.0/33, and no route changed"

  # The DNS file named for the route service only: the client reads the
  # default file, and its time-out says which file it read and what was there.
  local dns_file=$VANTORELLE_DNS_FILE
  unset VANTORELLE_DNS_FILE
  start_client "$work/e2e.tlxcf" client-dnsfile.log
  export VANTORELLE_DNS_FILE=$dns_file
  wait_for 60 exited || fail "DNS file for the service only: the client did not end"
  wait "$cl_pid"; cl_pid=
  grep -q "^State: Connected" "$work/client.out" && fail "DNS file for the service only: Connected, though the README says otherwise"
  grep -q "Unable to update DNS address for TUN/TAP interface" "$work/client.out" ||
    fail "DNS file for the service only: not the DNS time-out"
  grep -q 'The client read the DNS servers from "/run/vantorelle/resolv.conf" and ' "$work/client.out" ||
    fail "DNS file for the service only: the error does not name the file the client read"
  grep -q "names in its environment (else /run/vantorelle/resolv.conf): give both programs the same one" "$work/client.out" ||
    fail "DNS file for the service only: the error does not say both programs need the variable"
  pass "DNS file for the service only: the time-out names the file the client read and what it holds"
}
user_mistake_rows

echo "e2e: passed"
