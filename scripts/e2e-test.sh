#!/usr/bin/env bash
# The whole road, inside network namespaces made for this run only:
#
#   vt-cl-N  the route service (-debug) and the client, with a tun link that
#            carries the adapter description as its alias
#   vt-gw-N  the test gateway, forwarding IPv4 through a tun link of its own
#   vt-lan-N one host behind the gateway
#
# vt-cl and vt-gw share a veth pair (198.18.0.0/30), vt-gw and vt-lan another
# (198.19.7.0/24); the tunnel uses the gateway's defaults (gateway 10.99.0.1,
# client 10.99.0.2, DNS 10.99.0.53 and .54). Checks: the client reaches
# Connected; its tun link got the IPCP address; the configured client route
# is in place; the resolver file names the DNS servers; ping through the
# tunnel reaches the gateway's tunnel address (answered by the gateway) and
# the host behind it. Then three TCP transfers of TLX_E2E_BYTES each (default
# 200 MB, 30 s at most each): client to gateway and gateway to client through
# the tunnel, and client to gateway over the bare veth; the figures and the
# ratios are printed, not judged, but every transfer must complete. Last,
# SIGTERM: the client reports Disconnected, exits 0 and its route is gone.
#
#   scripts/e2e-test.sh [LINUX-BUILD]      (default build/linux)
#
# TLX_E2E_LOGS=FOLDER keeps the programs' logs there. Needs root. Exit status:
# 0 passed, 1 failed, 77 skipped (not root, or no ip tool or python3).
# Everything it made is removed on exit, also after a failure or a signal.
set -uo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.." || exit 1
BUILD=${1:-build/linux}
GATEWAY=$BUILD/tools/tlx_gateway
SERVICE=$BUILD/service/vantorelle_tunlex_service
CLIENT=$BUILD/vantorelle_tunlex
NET=$PWD/tools/e2e_net.py
BYTES=${TLX_E2E_BYTES:-200000000}
SPEED_LIMIT_S=30

if [ "$(id -u)" != 0 ]; then
  echo "e2e: skipped: network namespaces need root"
  exit 77
fi
if ! command -v ip >/dev/null || ! command -v python3 >/dev/null; then
  echo "e2e: skipped: needs the ip tool (iproute2) and python3"
  exit 77
fi
for f in "$GATEWAY" "$SERVICE" "$CLIENT"; do
  [ -x "$f" ] || { echo "e2e: $f is missing (build the Linux tree first)" >&2; exit 1; }
done
GATEWAY=$(realpath "$GATEWAY") SERVICE=$(realpath "$SERVICE") CLIENT=$(realpath "$CLIENT")

NS_CL=vt-cl-$$ NS_GW=vt-gw-$$ NS_LAN=vt-lan-$$
GW_OUTER=198.18.0.1 CL_OUTER=198.18.0.2
GW_LAN=198.19.7.1 LAN_HOST=198.19.7.2 LAN_NET=198.19.7.0/24
GW_TUNNEL=10.99.0.1 CL_TUNNEL=10.99.0.2 DNS1=10.99.0.53 DNS2=10.99.0.54
CL_TUN=tlxcl0 GW_TUN=tlxgw0
TAP_ALIAS="TAP-Windows Adapter V9"
PORT=4433
GW_AUTH=(--auth pap --user e2e-user --password e2e-secret)

work=$(mktemp -d /tmp/tlx-e2e.XXXXXX)
gw_pid= svc_pid= cl_pid=

# Stops a process we started: TERM, up to 5 s, then KILL. Background jobs
# are started as plain commands (no shell function), so $! is the program.
stop_pid() {
  local pid=$1
  [ -n "$pid" ] || return 0
  kill "$pid" 2>/dev/null || return 0
  for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
}

cleanup() {
  stop_pid "$cl_pid"; stop_pid "$svc_pid"; stop_pid "$gw_pid"
  local ns pid
  for ns in "$NS_CL" "$NS_GW" "$NS_LAN"; do
    for pid in $(ip netns pids "$ns" 2>/dev/null); do stop_pid "$pid"; done
    ip netns del "$ns" 2>/dev/null
  done
  if [ -n "${TLX_E2E_LOGS:-}" ]; then
    mkdir -p "$TLX_E2E_LOGS" && cp "$work"/*.log "$work"/*.out "$TLX_E2E_LOGS"/ 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

in_cl() { ip netns exec "$NS_CL" "$@"; }
in_gw() { ip netns exec "$NS_GW" "$@"; }

show_logs() {
  local f
  for f in gateway.log service.out service.log client.out; do
    [ -f "$work/$f" ] || continue
    echo "-- $f (last 60 lines):"
    tail -n 60 "$work/$f"
  done
}
fail() { echo "e2e: FAILED: $*"; show_logs; exit 1; }
pass() { echo "e2e: ok: $*"; }

# wait_for SECONDS COMMAND...: polls every 0.1 s
wait_for() {
  local tries=$(($1 * 10))
  shift
  for _ in $(seq "$tries"); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}

# ---- namespaces and links ----

setup_network() {
  ip netns add "$NS_CL" && ip netns add "$NS_GW" && ip netns add "$NS_LAN" || return 1
  ip link add name veth-gw netns "$NS_GW" type veth peer name veth-cl netns "$NS_CL" || return 1
  ip link add name veth-lan netns "$NS_GW" type veth peer name veth-host netns "$NS_LAN" || return 1
  ip -n "$NS_GW" tuntap add dev "$GW_TUN" mode tun || return 1
  ip -n "$NS_CL" tuntap add dev "$CL_TUN" mode tun || return 1
  ip -n "$NS_CL" link set "$CL_TUN" alias "$TAP_ALIAS" || return 1
  local ns
  for ns in "$NS_CL" "$NS_GW" "$NS_LAN"; do ip -n "$ns" link set lo up || return 1; done
  ip -n "$NS_GW" addr add "$GW_OUTER/30" dev veth-gw &&
    ip -n "$NS_GW" link set veth-gw up &&
    ip -n "$NS_GW" addr add "$GW_LAN/24" dev veth-lan &&
    ip -n "$NS_GW" link set veth-lan up &&
    ip -n "$NS_GW" addr add "$GW_TUNNEL/24" dev "$GW_TUN" &&
    in_gw sysctl -qw "net.ipv6.conf.$GW_TUN.disable_ipv6=1" &&
    ip -n "$NS_GW" link set "$GW_TUN" up &&
    in_gw sysctl -qw net.ipv4.ip_forward=1 || return 1
  ip -n "$NS_CL" addr add "$CL_OUTER/30" dev veth-cl && ip -n "$NS_CL" link set veth-cl up || return 1
  ip -n "$NS_LAN" addr add "$LAN_HOST/24" dev veth-host &&
    ip -n "$NS_LAN" link set veth-host up &&
    ip -n "$NS_LAN" route add default via "$GW_LAN" || return 1
}

setup_network || fail "setting up the namespaces"
wait_for 5 in_cl python3 "$NET" ping "$GW_OUTER" 1 1 || fail "the client's namespace does not reach the gateway over the veth"
wait_for 5 in_gw python3 "$NET" ping "$LAN_HOST" 1 1 || fail "the gateway's namespace does not reach the host behind it"
pass "namespaces $NS_CL, $NS_GW, $NS_LAN"

# ---- gateway ----

bash scripts/make-test-cert.sh "$work/cert" >"$work/fingerprint" || fail "making the test certificate"
fingerprint=$(cut -d= -f2 <"$work/fingerprint")
ip netns exec "$NS_GW" "$GATEWAY" --listen "$GW_OUTER" --port "$PORT" --cert "$work/cert/cert.pem" --key "$work/cert/key.pem" \
  "${GW_AUTH[@]}" --tun "$GW_TUN" --max-time 170 \
  --ready-file "$work/gateway.ready" --log "$work/gateway.log" >/dev/null &
gw_pid=$!
wait_for 5 test -s "$work/gateway.ready" || fail "the gateway did not start"
pass "gateway listening on $GW_OUTER:$PORT, forwarding through $GW_TUN"

# ---- route service ----

# The service writes the DNS servers into the resolver file and the client
# reads them back from it; both are pointed at a file of this run's own.
export VANTORELLE_SERVICE_PIPE=$work/service.sock
export VANTORELLE_DNS_FILE=$work/resolv.conf
ip netns exec "$NS_CL" "$SERVICE" -debug -logfile "$work/service.log" >"$work/service.out" 2>&1 &
svc_pid=$!
wait_for 5 test -S "$VANTORELLE_SERVICE_PIPE" || fail "the route service did not open $VANTORELLE_SERVICE_PIPE"
pass "route service serving $VANTORELLE_SERVICE_PIPE"

# ---- client ----

cat >"$work/e2e.tlxcf" <<EOF
<?xml version="1.0" ?>
<Config Version="1.0">
    <User>e2e-user</User>
    <Server>$GW_OUTER</Server>
    <Port>$PORT</Port>
    <ClientRoute>$LAN_NET</ClientRoute>
    <SSLFingerprint>$fingerprint</SSLFingerprint>
</Config>
EOF
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config
mkdir -p "$XDG_CONFIG_HOME"
CLIENT_CMD=("$CLIENT" "$work/e2e.tlxcf" -logfile "$work/client.log")
VANTORELLE_PASSWORD=e2e-secret ip netns exec "$NS_CL" "${CLIENT_CMD[@]}" >"$work/client.out" 2>&1 </dev/null &
cl_pid=$!

connected_or_ended() { grep -q "^State: Connected" "$work/client.out" || ! kill -0 "$cl_pid"; }
wait_for 30 connected_or_ended
grep -q "^State: Connected" "$work/client.out" || fail "the client did not reach Connected"
pass "client Connected"

# The address, the route and the DNS file, as the kernel and the service show them.
tun_address() {
  in_cl ip -j addr show dev "$CL_TUN" | python3 -c '
import json, sys
print(" ".join(a["local"] for i in json.load(sys.stdin) for a in i.get("addr_info", []) if a["family"] == "inet"))'
}
route_dev() {  # the device of the route to $1, "" when none
  in_cl ip -j route show "$1" | python3 -c '
import json, sys
print(" ".join(r.get("dev", "") for r in json.load(sys.stdin)))'
}
has_address() { [ "$(tun_address)" = "$CL_TUNNEL" ]; }
has_route() { [ "$(route_dev "$LAN_NET")" = "$CL_TUN" ]; }
resolver() { cat "$VANTORELLE_DNS_FILE"; }
dns_written() { local r; r=$(resolver) && grep -q "^nameserver $DNS1\$" <<<"$r" && grep -q "^nameserver $DNS2\$" <<<"$r"; }

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

# measure NAME SENDER-NS RECEIVER-NS ADDRESS: the receiver listens on
# ADDRESS; sets RATE to the Mbit/s
measure() {
  local name=$1 from=$2 to=$3 addr=$4 rpid out
  rm -f "$work/speed.ready"
  ip netns exec "$to" python3 "$NET" recv "$addr" 5201 "$work/speed.ready" $((SPEED_LIMIT_S + 5)) \
    2>"$work/recv-$name.err" &
  rpid=$!
  wait_for 5 test -s "$work/speed.ready" || { stop_pid "$rpid"; fail "the $name receiver did not start"; }
  if ! out=$(ip netns exec "$from" python3 "$NET" send "$addr" 5201 "$BYTES" "$SPEED_LIMIT_S" 2>&1); then
    stop_pid "$rpid"
    cat "$work/recv-$name.err"
    fail "the $name transfer did not complete: $out"
  fi
  wait "$rpid" 2>/dev/null
  echo "e2e: transfer $name: $out"
  RATE=$(sed -n 's/.*mbit_per_s=\([0-9.]*\).*/\1/p' <<<"$out")
}
percent() { python3 -c "print('%.1f' % (100 * $1 / $2))"; }
measure "client to gateway through the tunnel" "$NS_CL" "$NS_GW" "$GW_TUNNEL"
up=$RATE
measure "gateway to client through the tunnel" "$NS_GW" "$NS_CL" "$CL_TUNNEL"
down=$RATE
measure "client to gateway over the bare veth" "$NS_CL" "$NS_GW" "$GW_OUTER"
veth=$RATE
echo "e2e: throughput ($((BYTES / 1000000)) MB each): client to gateway $up Mbit/s ($(percent "$up" "$veth") % of the veth)," \
  "gateway to client $down Mbit/s ($(percent "$down" "$veth") %), bare veth $veth Mbit/s"

# ---- disconnect ----

kill -TERM "$cl_pid"
exited() { ! kill -0 "$cl_pid" 2>/dev/null; }
wait_for 15 exited || fail "the client did not end within 15 s of SIGTERM"
wait "$cl_pid"
cl_rc=$?
cl_pid=
[ "$cl_rc" = 0 ] || fail "the client ended with status $cl_rc after SIGTERM"
grep -q "^State: Disconnected" "$work/client.out" || fail "the client did not report Disconnected"
no_route() { [ -z "$(route_dev "$LAN_NET")" ]; }
wait_for 5 no_route || fail "the client route $LAN_NET is still there after the disconnect: $(in_cl ip route)"
pass "client Disconnected on SIGTERM, exit 0, and its route $LAN_NET is gone"
wait_for 5 grep -q "IPv4 through $GW_TUN" "$work/gateway.log" &&
  echo "e2e: gateway: $(grep -o "IPv4 through $GW_TUN.*" "$work/gateway.log" | tail -n 1)"

# ---- full tunnel: a configuration without client routes ----

# The tunnel takes the default route; the client namespace's own default
# route (metric 1) must be back as it was once the client has ended.
in_cl ip route add default via "$GW_OUTER" dev veth-cl metric 1 || fail "adding the client's default route"
default_routes() {
  in_cl ip -j route show default | python3 -c '
import json, sys
print(" ".join(sorted("%s/%s/%s" % (r.get("gateway", "-"), r["dev"], r.get("metric", 0)) for r in json.load(sys.stdin))))'
}
before_full=$(default_routes)
sed '/<ClientRoute>/d' "$work/e2e.tlxcf" >"$work/full.tlxcf"
: >"$work/client.out"
VANTORELLE_PASSWORD=e2e-secret ip netns exec "$NS_CL" "$CLIENT" "$work/full.tlxcf" -logfile "$work/client-full.log" \
  >"$work/client.out" 2>&1 </dev/null &
cl_pid=$!
wait_for 30 connected_or_ended
grep -q "^State: Connected" "$work/client.out" || fail "the full-tunnel client did not reach Connected"
tunnel_default() { [ "$(route_dev default)" = "$CL_TUN" ]; }
wait_for 5 tunnel_default || fail "full tunnel: the default route does not go through $CL_TUN: $(in_cl ip route)"
grep -q "Local server no single host route needed" "$work/client-full.log" ||
  fail "full tunnel: the gateway on the local link got a host route"
in_cl python3 "$NET" ping "$LAN_HOST" 3 2 >"$work/ping-full.out" 2>&1 || { cat "$work/ping-full.out"; fail "full tunnel: ping to $LAN_HOST"; }
pass "full tunnel: Connected, default route through $CL_TUN, $LAN_HOST reached"
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

echo "e2e: passed"
