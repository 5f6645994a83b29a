# The whole road's pieces, sourced by the scripts that run it (e2e-test.sh and
# the others that use the same namespaces):
#
#   vt-cl-N  the route service (-debug) and the client, with a tun link that
#            carries the adapter description as its alias
#   vt-gw-N  the test gateway, forwarding IPv4 through a tun link of its own
#   vt-lan-N one host behind the gateway
#
# vt-cl and vt-gw share a veth pair (198.18.0.0/30), vt-gw and vt-lan another
# (198.19.7.0/24); the tunnel uses the gateway's defaults (gateway 10.99.0.1,
# client 10.99.0.2, DNS 10.99.0.53 and .54).
#
# start_routed_network puts the gateway one hop away instead, as most hosts
# meet it: a router namespace vt-rt-N between them, the gateway on its
# 198.18.0.0/30, and two uplinks of the client to it: veth-cl (198.18.1.0/24,
# the router .1, the client .2, the client's default route) and veth-cl2
# (198.18.2.0/24, the same numbers), for rows with a backup uplink.
#
# The sourcing script sets NAME (its prefix in messages) and calls
# e2e_init [LINUX-BUILD] first; everything made is removed on exit.

cd "$(dirname "${BASH_SOURCE[0]}")/.." || exit 1
NAME=${NAME:-e2e}
NET=$PWD/tools/e2e_net.py

# Checks root and the tools, finds the programs, makes the work folder.
# Exits 77 (skipped) without root, ip or python3.
e2e_init() {
  BUILD=${1:-build/linux}
  GATEWAY=$BUILD/tools/tlx_gateway
  SERVICE=$BUILD/service/vantorelle_tunlex_service
  CLIENT=$BUILD/vantorelle_tunlex
  if [ "$(id -u)" != 0 ]; then
    echo "$NAME: skipped: network namespaces need root"
    exit 77
  fi
  if ! command -v ip >/dev/null || ! command -v python3 >/dev/null; then
    echo "$NAME: skipped: needs the ip tool (iproute2) and python3"
    exit 77
  fi
  local f
  for f in "$GATEWAY" "$SERVICE" "$CLIENT"; do
    [ -x "$f" ] || { echo "$NAME: $f is missing (build the Linux tree first)" >&2; exit 1; }
  done
  GATEWAY=$(realpath "$GATEWAY") SERVICE=$(realpath "$SERVICE") CLIENT=$(realpath "$CLIENT")
  work=$(mktemp -d "/tmp/tlx-$NAME.XXXXXX")
  trap cleanup EXIT
  trap 'exit 130' INT TERM
}

NS_CL=vt-cl-$$ NS_GW=vt-gw-$$ NS_LAN=vt-lan-$$ NS_RT=vt-rt-$$
GW_OUTER=198.18.0.1 CL_OUTER=198.18.0.2
RT_GW=198.18.0.2 RT_UP1=198.18.1.1 CL_UP1=198.18.1.2 RT_UP2=198.18.2.1 CL_UP2=198.18.2.2
GW_LAN=198.19.7.1 LAN_HOST=198.19.7.2 LAN_NET=198.19.7.0/24
GW_TUNNEL=10.99.0.1 CL_TUNNEL=10.99.0.2 DNS1=10.99.0.53 DNS2=10.99.0.54
CL_TUN=tlxcl0 GW_TUN=tlxgw0
TAP_ALIAS="TAP-Windows Adapter V9"
PORT=4433
GW_AUTH=(--auth pap --user e2e-user --password e2e-secret)

work= ROUTED=
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
  for ns in "$NS_CL" "$NS_GW" "$NS_LAN" "$NS_RT"; do
    for pid in $(ip netns pids "$ns" 2>/dev/null); do stop_pid "$pid"; done
    ip netns del "$ns" 2>/dev/null
  done
  [ -n "$work" ] || return 0
  if [ -n "${TLX_E2E_LOGS:-}" ]; then
    mkdir -p "$TLX_E2E_LOGS" && cp "$work"/*.log "$work"/*.out "$TLX_E2E_LOGS"/ 2>/dev/null
  fi
  rm -rf "$work"
}

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
fail() { echo "$NAME: FAILED: $*"; show_logs; exit 1; }
pass() { echo "$NAME: ok: $*"; }

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

# The gateway's tun link, the client's and the host behind the gateway:
# everything but the way from the client to the gateway, made after it (so
# that the links keep their order).
setup_ends() {
  ip link add name veth-lan netns "$NS_GW" type veth peer name veth-host netns "$NS_LAN" || return 1
  ip -n "$NS_GW" tuntap add dev "$GW_TUN" mode tun || return 1
  ip -n "$NS_CL" tuntap add dev "$CL_TUN" mode tun || return 1
  ip -n "$NS_CL" link set "$CL_TUN" alias "$TAP_ALIAS" || return 1
  local ns
  for ns in "$NS_CL" "$NS_GW" "$NS_LAN"; do ip -n "$ns" link set lo up || return 1; done
  ip -n "$NS_GW" addr add "$GW_LAN/24" dev veth-lan &&
    ip -n "$NS_GW" link set veth-lan up &&
    ip -n "$NS_GW" addr add "$GW_TUNNEL/24" dev "$GW_TUN" &&
    in_gw sysctl -qw "net.ipv6.conf.$GW_TUN.disable_ipv6=1" &&
    ip -n "$NS_GW" link set "$GW_TUN" up &&
    in_gw sysctl -qw net.ipv4.ip_forward=1 || return 1
  ip -n "$NS_LAN" addr add "$LAN_HOST/24" dev veth-host &&
    ip -n "$NS_LAN" link set veth-host up &&
    ip -n "$NS_LAN" route add default via "$GW_LAN" || return 1
}

setup_network() {
  ip netns add "$NS_CL" && ip netns add "$NS_GW" && ip netns add "$NS_LAN" || return 1
  ip link add name veth-gw netns "$NS_GW" type veth peer name veth-cl netns "$NS_CL" && setup_ends || return 1
  ip -n "$NS_GW" addr add "$GW_OUTER/30" dev veth-gw && ip -n "$NS_GW" link set veth-gw up || return 1
  ip -n "$NS_CL" addr add "$CL_OUTER/30" dev veth-cl && ip -n "$NS_CL" link set veth-cl up || return 1
}

# The router answers ARP for what lies behind it on the first uplink, so that
# an uplink with a /32 address and an on-link default route works too.
setup_routed_network() {
  ip netns add "$NS_CL" && ip netns add "$NS_GW" && ip netns add "$NS_LAN" && ip netns add "$NS_RT" &&
    ip -n "$NS_RT" link set lo up || return 1
  ip link add name veth-gw netns "$NS_GW" type veth peer name veth-rg netns "$NS_RT" &&
    ip link add name veth-cl netns "$NS_CL" type veth peer name veth-r1 netns "$NS_RT" &&
    ip link add name veth-cl2 netns "$NS_CL" type veth peer name veth-r2 netns "$NS_RT" && setup_ends || return 1
  ip -n "$NS_GW" addr add "$GW_OUTER/30" dev veth-gw && ip -n "$NS_GW" link set veth-gw up &&
    ip -n "$NS_GW" route add 198.18.0.0/16 via "$RT_GW" || return 1
  ip -n "$NS_RT" addr add "$RT_GW/30" dev veth-rg &&
    ip -n "$NS_RT" addr add "$RT_UP1/24" dev veth-r1 &&
    ip -n "$NS_RT" addr add "$RT_UP2/24" dev veth-r2 || return 1
  local dev
  for dev in veth-rg veth-r1 veth-r2; do ip -n "$NS_RT" link set "$dev" up || return 1; done
  ip netns exec "$NS_RT" sysctl -qw net.ipv4.ip_forward=1 &&
    ip netns exec "$NS_RT" sysctl -qw net.ipv4.conf.veth-r1.proxy_arp=1 || return 1
  ip -n "$NS_CL" addr add "$CL_UP1/24" dev veth-cl && ip -n "$NS_CL" link set veth-cl up &&
    ip -n "$NS_CL" addr add "$CL_UP2/24" dev veth-cl2 && ip -n "$NS_CL" link set veth-cl2 up &&
    ip -n "$NS_CL" route add default via "$RT_UP1" dev veth-cl || return 1
}

# Namespaces up, and each side reaches the next over its veth.
start_network() {
  setup_network || fail "setting up the namespaces"
  wait_for 5 in_cl python3 "$NET" ping "$GW_OUTER" 1 1 || fail "the client's namespace does not reach the gateway over the veth"
  wait_for 5 in_gw python3 "$NET" ping "$LAN_HOST" 1 1 || fail "the gateway's namespace does not reach the host behind it"
  pass "namespaces $NS_CL, $NS_GW, $NS_LAN"
}

# The gateway behind the router, reached from the client over either uplink.
start_routed_network() {
  setup_routed_network || fail "setting up the namespaces with the router"
  ROUTED=1
  wait_for 5 in_cl python3 "$NET" ping "$GW_OUTER" 1 1 || fail "the client's namespace does not reach the gateway through the router"
  in_cl ip route add "$GW_OUTER/32" via "$RT_UP2" dev veth-cl2 &&
    wait_for 5 in_cl python3 "$NET" ping "$GW_OUTER" 1 1 && in_cl ip route del "$GW_OUTER/32" ||
    fail "the client's namespace does not reach the gateway over its second uplink"
  wait_for 5 in_gw python3 "$NET" ping "$LAN_HOST" 1 1 || fail "the gateway's namespace does not reach the host behind it"
  pass "namespaces $NS_CL, $NS_RT, $NS_GW, $NS_LAN: the gateway behind the router $RT_UP1 / $RT_UP2"
}

# The client's uplink as on a point-to-point or mobile link: a /32 address
# and a default route without a gateway, the gateway reached on-link (its
# side keeps its /30, which is its route back).
use_onlink_uplink() {
  local address=$CL_OUTER prefix=30
  [ -n "$ROUTED" ] && address=$CL_UP1 prefix=24
  in_cl ip route flush default &&
    in_cl ip addr del "$address/$prefix" dev veth-cl &&
    in_cl ip addr add "$address/32" dev veth-cl &&
    in_cl ip route add default dev veth-cl || fail "making the client's uplink a /32 with an on-link default route"
  wait_for 5 in_cl python3 "$NET" ping "$GW_OUTER" 1 1 || fail "the gateway is not reached over the on-link uplink"
  pass "client uplink $address/32 with an on-link default route"
}

# ---- gateway ----

# start_gateway [EXTRA-GATEWAY-OPTIONS...]: sets fingerprint and gw_pid
start_gateway() {
  [ -s "$work/fingerprint" ] || bash scripts/make-test-cert.sh "$work/cert" >"$work/fingerprint" ||
    fail "making the test certificate"
  fingerprint=$(cut -d= -f2 <"$work/fingerprint")
  rm -f "$work/gateway.ready"
  ip netns exec "$NS_GW" "$GATEWAY" --listen "$GW_OUTER" --port "$PORT" --cert "$work/cert/cert.pem" --key "$work/cert/key.pem" \
    "${GW_AUTH[@]}" --tun "$GW_TUN" --max-time 170 \
    --ready-file "$work/gateway.ready" --log "$work/gateway.log" "$@" >/dev/null &
  gw_pid=$!
  wait_for 5 test -s "$work/gateway.ready" || fail "the gateway did not start"
  pass "gateway listening on $GW_OUTER:$PORT, forwarding through $GW_TUN"
}

# ---- route service ----

# The service writes the DNS servers into the resolver file and the client
# reads them back from it; both are pointed at a file of this run's own, and
# so is the service's state file (its undo).
start_service() {
  export VANTORELLE_SERVICE_PIPE=$work/service.sock
  export VANTORELLE_DNS_FILE=$work/resolv.conf
  export VANTORELLE_SERVICE_STATE=$work/service.state
  ip netns exec "$NS_CL" "$SERVICE" -debug -logfile "$work/service.log" >"$work/service.out" 2>&1 &
  svc_pid=$!
  wait_for 5 test -S "$VANTORELLE_SERVICE_PIPE" || fail "the route service did not open $VANTORELLE_SERVICE_PIPE"
  pass "route service serving $VANTORELLE_SERVICE_PIPE"
}

# ---- client ----

# write_config FILE [ROUTE...]: the client's file, one ClientRoute per ROUTE
write_config() {
  local file=$1 r
  shift
  {
    echo '<?xml version="1.0" ?>'
    echo '<Config Version="1.0">'
    echo "    <User>e2e-user</User>"
    echo "    <Server>$GW_OUTER</Server>"
    echo "    <Port>$PORT</Port>"
    for r in "$@"; do echo "    <ClientRoute>$r</ClientRoute>"; done
    echo "    <SSLFingerprint>$fingerprint</SSLFingerprint>"
    echo '</Config>'
  } >"$file"
}

# start_client CONFIG-FILE [LOG-FILE-NAME]: sets cl_pid; output in client.out
start_client() {
  export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config
  mkdir -p "$XDG_CONFIG_HOME"
  CLIENT_CMD=("$CLIENT" "$1" -logfile "$work/${2:-client.log}")
  VANTORELLE_PASSWORD=e2e-secret ip netns exec "$NS_CL" "${CLIENT_CMD[@]}" >"$work/client.out" 2>&1 </dev/null &
  cl_pid=$!
}

connected_or_ended() { grep -q "^State: Connected" "$work/client.out" || ! kill -0 "$cl_pid"; }
wait_connected() {
  wait_for 30 connected_or_ended
  grep -q "^State: Connected" "$work/client.out" || fail "the client did not reach Connected"
  pass "client Connected"
}

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
no_route() { [ -z "$(route_dev "$LAN_NET")" ]; }
resolver() { cat "$VANTORELLE_DNS_FILE"; }
dns_written() { local r; r=$(resolver) && grep -q "^nameserver $DNS1\$" <<<"$r" && grep -q "^nameserver $DNS2\$" <<<"$r"; }
exited() { ! kill -0 "$cl_pid" 2>/dev/null; }

# SIGTERM to the client, KILL after 15 s; sets crc, and late when it did not
# end in time (a stop signal must end any session).
term_client() {
  late=
  kill -TERM "$cl_pid" 2>/dev/null
  wait_for 15 exited || { late="it did not end within 15 s of SIGTERM; "; kill -KILL "$cl_pid" 2>/dev/null; }
  wait "$cl_pid" 2>/dev/null; crc=$?; cl_pid=
}

# stop_client: SIGTERM; the client must end in time, report Disconnected
# and exit 0
stop_client() {
  local crc late
  term_client
  [ -z "$late" ] || fail "the client did not end within 15 s of SIGTERM"
  [ "$crc" = 0 ] || fail "the client ended with status $crc after SIGTERM"
  grep -q "^State: Disconnected" "$work/client.out" || fail "the client did not report Disconnected"
}

# ---- throughput ----

# measure NAME SENDER-NS RECEIVER-NS ADDRESS: the receiver listens on
# ADDRESS; sets RATE to the Mbit/s. BYTES and SPEED_LIMIT_S from the caller.
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
  echo "$NAME: transfer $name: $out"
  RATE=$(sed -n 's/.*mbit_per_s=\([0-9.]*\).*/\1/p' <<<"$out")
}
percent() { python3 -c "print('%.1f' % (100 * $1 / $2))"; }
