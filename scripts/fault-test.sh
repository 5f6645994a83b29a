#!/usr/bin/env bash
# Faults on the whole road (namespaces of scripts/e2e-lib.sh): each row makes
# one fault during a session and then compares the client namespace's
# addresses, routes and the resolver file with the baseline. Every row prints
# what the client and the service printed (last lines), their exit codes, the
# time the row took, and "system as before" (or "connected" for the metric
# rows).
#
#   scripts/fault-test.sh [LINUX-BUILD]      (default build/linux)
#
# "split" sessions have a client route; "full" sessions have none. The
# gateway sits one hop away behind a router, which the client namespace
# reaches over two uplinks (veth-cl and veth-cl2); its default route goes
# through the first.
#
# The baseline is taken after one clean session: the client itself puts the
# adapter to its resting state (no IPv4 address, MTU 1400, no DNS servers)
# when it starts. The host's own way to 1.1.1.1 is part of the state, and
# after that session it must be what it was before the client first started:
# a placeholder address on the adapter would make it "local".
#
# The host default route rows compare `ip -j route` and `ip -j nexthop`
# exactly: a route comes back with its own metric and every attribute it had.
# Those with several uplinks also check, during the session, which way an
# address off the tunnel and the gateway itself take.
#
# Rows that take longest can be switched off:
#   TLX_FAULT_DATAPATH=0      no gateway stalled mid-frame (gateway option
#                             --stall-after BYTES; ends by the LCP echo
#                             time-out) and no TCP peer that never speaks TLS
#                             (ends at the 30 s TLS handshake deadline)
#   TLX_FAULT_SERVICE_KILL=0  no kill -9 of the service during a full session
#
# Exit status: 0 passed, 1 failed, 77 skipped (not root, no ip or python3).
set -uo pipefail

NAME=fault
source "$(dirname "${BASH_SOURCE[0]}")/e2e-lib.sh"
e2e_init "${1:-build/linux}"
DATAPATH=${TLX_FAULT_DATAPATH:-1}
SERVICE_KILL=${TLX_FAULT_SERVICE_KILL:-1}
failures=0

# The namespace's state: per link its name, MTU and IPv4 addresses; every
# IPv4 route; the resolver file (or its absence).
snapshot() {
  {
    in_cl ip -j addr | python3 -c '
import json, sys
for i in json.load(sys.stdin):
    print(i["ifname"], i.get("mtu"), sorted("%s/%s" % (a["local"], a["prefixlen"]) for a in i.get("addr_info", []) if a["family"] == "inet"))'
    in_cl ip -j -4 route | python3 -c '
import json, sys
for r in sorted(json.load(sys.stdin), key=lambda r: json.dumps(r, sort_keys=True)):
    # The prefix route of an adapter nobody reads any more: link state, which
    # is the client'"'"'s (media status), not a route anybody set.
    if r.get("protocol") == "kernel" and "linkdown" in r.get("flags", []):
        continue
    print(json.dumps(r, sort_keys=True))'
    in_cl ip -j nexthop | python3 -c '
import json, sys
for n in sorted(json.load(sys.stdin) or [], key=lambda n: n.get("id", 0)):
    print("nexthop", json.dumps(n, sort_keys=True))'
    echo "to 1.1.1.1: $(in_cl ip route get 1.1.1.1 2>&1 | head -n 1)"
    if [ -f "$VANTORELLE_DNS_FILE" ]; then echo "resolver:"; cat "$VANTORELLE_DNS_FILE"; else echo "resolver: none"; fi
  } 2>&1
}

row_begin() {
  ROW=$1
  row_start=$(date +%s.%N)
  : >"$work/client.out"
  svc_mark=$(wc -l <"$work/service.out")
}

# row_end VERDICT CLIENT-RC SERVICE-RC: the row's report; a verdict other
# than "system as before" or "connected" counts as a failure.
row_end() {
  local verdict=$1 crc=$2 src=$3 took
  took=$(python3 -c "import time; print('%.1f' % (time.time() - $row_start))")
  echo "---- $ROW"
  echo "  client printed (last lines):"; tail -n 4 "$work/client.out" | sed 's/^/    /'
  echo "  service printed (last lines):"; tail -n +$((svc_mark + 1)) "$work/service.out" | grep -v '^$' | tail -n 4 | sed 's/^/    /'
  echo "  exit codes: client $crc, service $src; took ${took}s"
  case $verdict in
  "system as before" | connected) ;;
  *)
    failures=$((failures + 1))
    echo "  client's states and failures:"
    grep -E "^State:|Error|FAILED|Unable" "$work/client.out" | tail -n 8 | sed 's/^/    /'
    ;;
  esac
  echo "  result: $verdict"
}

# compare: "system as before", or the difference. The kernel marks a link's
# routes "linkdown" from its link-watch work, up to a second after the
# carrier went, so the state is read again for up to 3 s before judging.
compare() {
  local now
  for _ in $(seq 30); do
    now=$(snapshot)
    [ "$now" = "$baseline" ] && break
    sleep 0.1
  done
  if [ "$now" = "$baseline" ]; then
    echo "system as before"
  else
    echo "CHANGED:"; diff <(echo "$baseline") <(echo "$now") | sed 's/^/    /'
  fi
}

# settled: the service has ended the client's connection
client_gone_in_service() { [ "$(grep -c 'Client disconnected' "$work/service.out")" -gt "$1" ]; }

# The adapter is free again: nothing holds the tun link, so it has no carrier
# (the kernel's operational state may say "up" a while longer).
adapter_released() { ! in_cl ip -o link show dev "$CL_TUN" | grep -q LOWER_UP; }

# The next row starts a client at once: the service must have ended the
# killed one's connection and the adapter must be released, nothing else is
# waited for.
kill_client_row() {  # NAME CONFIG
  row_begin "kill -9 of the client ($1)"
  local seen verdict
  seen=$(grep -c 'Client disconnected' "$work/service.out")
  start_client "$2"
  wait_connected
  kill -KILL "$cl_pid"; wait "$cl_pid" 2>/dev/null; local crc=$?; cl_pid=
  if ! wait_for 10 client_gone_in_service "$seen"; then
    verdict="the service did not see the client go"
  elif ! wait_for 10 adapter_released; then
    verdict="$CL_TUN still has carrier"
  else
    verdict=$(compare)
  fi
  row_end "$verdict" "$crc" running
}

# The host's own routes for a row: its default routes and nexthop objects
# made by the commands (each one `ip` argument string), or the namespace's
# usual default route.
host_defaults() {
  local command
  in_cl ip route flush exact 0.0.0.0/0 2>/dev/null
  in_cl ip nexthop flush >/dev/null 2>&1
  [ $# = 0 ] && set -- "route add default via $RT_UP1 dev veth-cl"
  for command in "$@"; do
    # shellcheck disable=SC2086
    in_cl ip $command || fail "making the host's routes: ip $command"
  done
}

# way_to ADDRESS: "dev DEV via GATEWAY" of the kernel's answer for ADDRESS
way_to() {
  in_cl ip -j route get "$1" | python3 -c '
import json, sys
r = json.load(sys.stdin)[0]
print("dev %s via %s" % (r.get("dev", "-"), r.get("gateway", "-")))'
}

# Checks for the sessions of rows with several uplinks: an address off the
# tunnel leaves by the primary uplink (a split session) or by the tunnel (a
# full one), and the gateway is reached by the primary uplink. Prints what
# differs.
OFF_TUNNEL=203.0.113.9
ways_split() { ways_check "dev veth-cl via $RT_UP1"; }
ways_full() { ways_check "dev $CL_TUN via"; }
ways_check() {
  local off gw
  off=$(way_to "$OFF_TUNNEL") gw=$(way_to "$GW_OUTER")
  [[ "$off" == "$1"* ]] || echo "to $OFF_TUNNEL: $off, not $1;"
  [ "$gw" = "dev veth-cl via $RT_UP1" ] || echo "to the gateway $GW_OUTER: $gw, not by the primary uplink;"
}

# What a DHCP client does while a session is up: it makes its default route
# again at its own metric.
readd_dhcp_default() {
  in_cl ip route add default via "$RT_UP1" dev veth-cl proto dhcp metric 0 2>&1 ||
    echo "  (the route was still in its place: nothing to make again)"
}

# defaults_row NAME CONFIG COMMAND...: the host's routes made by the commands
# (see host_defaults), a session that must connect and carry a ping, and
# afterwards every route exactly as before. From the caller's environment:
# DURING, a check run once the ping went through (its output is the fault),
# MIDSESSION, run after it, and HOLD, seconds after which a second ping must
# go through too.
defaults_row() {
  local name=$1 config=$2
  shift 2
  host_defaults "$@"
  baseline=$(snapshot)
  row_begin "$name"
  local seen verdict wrong
  seen=$(grep -c 'Client disconnected' "$work/service.out")
  start_client "$config"
  wait_for 30 connected_or_ended
  if grep -q "^State: Connected" "$work/client.out" &&
    wait_for 10 in_cl python3 "$NET" ping "$LAN_HOST" 1 1; then
    verdict=connected
  else
    verdict="NOT connected"
  fi
  if [ "$verdict" = connected ] && [ -n "${DURING:-}" ]; then
    wrong=$($DURING)
    [ -n "$wrong" ] && verdict="during it: $wrong"
  fi
  if [ "$verdict" = connected ] && [ -n "${HOLD:-}" ]; then
    sleep "$HOLD"
    in_cl python3 "$NET" ping "$LAN_HOST" 2 2 >/dev/null 2>&1 || verdict="nothing carried ${HOLD} s later"
  fi
  [ -n "${MIDSESSION:-}" ] && $MIDSESSION
  local crc late
  term_client
  [ -n "$late" ] && verdict="$verdict; $late"
  wait_for 10 client_gone_in_service "$seen"
  local after
  after=$(compare)
  [ "$after" != "system as before" ] && verdict="$verdict, and after it: $after"
  row_end "$verdict" "$crc" running
  host_defaults
  baseline=$(snapshot)
}

metric_row() {  # METRIC
  defaults_row "full tunnel with a metric-$1 host default route" "$work/full.tlxcf" \
    "route add default via $RT_UP1 dev veth-cl metric $1"
}

start_routed_network
start_gateway
start_service
write_config "$work/split.tlxcf" "$LAN_NET"
write_config "$work/full.tlxcf"

# One clean session first: it leaves the adapter at its resting state, and
# the host's way to 1.1.1.1 as it was before.
before_client=$(in_cl ip route get 1.1.1.1 2>&1 | head -n 1)
start_client "$work/split.tlxcf"
wait_connected
stop_client
wait_for 10 client_gone_in_service 0 && wait_for 10 adapter_released ||
  fail "after the first session the service did not see the client go, or $CL_TUN kept its carrier"
baseline=$(snapshot)
echo "fault: baseline:"; sed 's/^/    /' <<<"$baseline"
grep -qxF "to 1.1.1.1: $before_client" <<<"$baseline" ||
  fail "after a session the host's way to 1.1.1.1 is not what it was before the client started ($before_client)"
[ -z "$(tun_address)" ] || fail "$CL_TUN holds \"$(tun_address)\" between sessions"

kill_client_row split "$work/split.tlxcf"
kill_client_row full "$work/full.tlxcf"
metric_row 0
metric_row 1
for kind in full split; do
  for primary in 0 1; do
    DURING=ways_$kind defaults_row \
      "$kind tunnel with a primary uplink at metric $primary (dhcp) and a backup at 2" "$work/$kind.tlxcf" \
      "route add default via $RT_UP1 dev veth-cl proto dhcp metric $primary" \
      "route add default via $RT_UP2 dev veth-cl2 metric 2"
  done
  defaults_row "$kind tunnel with a host default route of its own source, MTU and window" "$work/$kind.tlxcf" \
    "route add default via $RT_UP1 dev veth-cl src $CL_UP1 mtu 1400 initcwnd 10"
done
HOLD=15 defaults_row "full tunnel with a multipath host default route" "$work/full.tlxcf" \
  "route add default nexthop via $RT_UP1 dev veth-cl nexthop via $RT_UP2 dev veth-cl2"
defaults_row "full tunnel with a host default route through a nexthop object" "$work/full.tlxcf" \
  "nexthop add id 7 via $RT_UP1 dev veth-cl" "route add default nhid 7"
defaults_row "full tunnel with two host default routes through one gateway, metrics 0 and 7" "$work/full.tlxcf" \
  "route add default via $RT_UP1 dev veth-cl proto dhcp src $CL_UP1 metric 0 mtu 1400 advmss 1360 initcwnd 10" \
  "route add default via $RT_UP1 dev veth-cl metric 7"
MIDSESSION=readd_dhcp_default defaults_row \
  "full tunnel whose raised host default route the system makes again mid-session" "$work/full.tlxcf" \
  "route add default via $RT_UP1 dev veth-cl proto dhcp metric 0"

# SIGTERM of the service in -debug during a full session: the same clean
# stop as -run (socket file removed, everything undone), then a new service.
row_begin "SIGTERM of the service in -debug (full session)"
start_client "$work/full.tlxcf"
wait_connected
kill -TERM "$svc_pid"
wait_for 10 eval '! kill -0 $svc_pid'
wait "$svc_pid" 2>/dev/null; src=$?; svc_pid=
term_client
verdict="$late$(compare)"
[ -S "$VANTORELLE_SERVICE_PIPE" ] && verdict="socket file left behind; $verdict"
row_end "$verdict" "$crc" "$src"
start_service

# What a new boot leaves of the session: the client gone with it, no route
# but the kernel's own (each link taken down and up again makes its prefix
# route anew), the adapter down without an address, and the state file
# (kept on persistent storage) naming another boot.
emulate_reboot() {
  stop_pid "$cl_pid"; cl_pid=
  in_cl ip -4 route flush table main && in_cl ip nexthop flush >/dev/null 2>&1
  in_cl ip -4 addr flush dev "$CL_TUN" && in_cl ip link set "$CL_TUN" down || return 1
  local dev
  for dev in veth-cl veth-cl2; do in_cl ip link set "$dev" down && in_cl ip link set "$dev" up || return 1; done
  sed -i 's/^boot .*/boot 00000000-0000-4000-8000-000000000001/' "$VANTORELLE_SERVICE_STATE"
}

# kill -9 of the service during a full session over a host default route
# with its own source, MTU, MSS and initial window; its successor must put
# that route back exactly. REBOOT=1: a new boot comes between them.
service_kill_row() {  # NAME REBOOT
  host_defaults "route add default via $RT_UP1 dev veth-cl src $CL_UP1 mtu lock 1400 advmss 1360 initcwnd 10"
  baseline=$(snapshot)
  row_begin "$1"
  local verdict=
  start_client "$work/full.tlxcf"
  wait_for 30 connected_or_ended
  grep -q "^State: Connected" "$work/client.out" || verdict="NOT connected; "
  kill -KILL "$svc_pid"; wait "$svc_pid" 2>/dev/null; src=$?; svc_pid=
  [ -s "$VANTORELLE_SERVICE_STATE" ] && echo "  state file left: $(wc -l <"$VANTORELLE_SERVICE_STATE") entries" &&
    sed 's/^/    /' "$VANTORELLE_SERVICE_STATE"
  rm -f "$VANTORELLE_SERVICE_PIPE"  # a killed process removes nothing
  if [ "$2" = 1 ]; then
    grep -q '^boot ' "$VANTORELLE_SERVICE_STATE" 2>/dev/null || verdict="no boot line in the state file; "
    emulate_reboot || verdict="${verdict}could not emulate the new boot; "
  fi
  start_service  # undoes what its predecessor left
  term_client
  verdict="$verdict$late$(compare)"
  [ -e "$VANTORELLE_SERVICE_STATE" ] && verdict="state file left after the restart; $verdict"
  row_end "$verdict" "$crc" "$src"
  host_defaults
  baseline=$(snapshot)
}

if [ "$SERVICE_KILL" = 1 ]; then
  service_kill_row "kill -9 of the service during a full session, then a restart (a route with its own source, MTU and initial window)" 0
  service_kill_row "kill -9 of the service during a full session, a new boot, then a restart (the same route)" 1
else
  echo "---- kill -9 of the service, then a restart: off (TLX_FAULT_SERVICE_KILL=0)"
fi

if [ "$DATAPATH" = 1 ]; then
  # The gateway stops sending in the middle of a frame; the echo time-out
  # must end the link.
  stop_pid "$gw_pid"; gw_pid=
  start_gateway --stall-after 20000
  row_begin "gateway stalled mid-frame (split)"
  start_client "$work/split.tlxcf"
  wait_connected
  in_cl python3 "$NET" ping "$LAN_HOST" 20 1 >/dev/null 2>&1
  wait_for 40 eval "grep -q '^State: \\(Disconnected\\|Error\\|Reconnecting\\)' '$work/client.out'"
  term_client
  verdict="$late$(compare)"
  grep -q "^State: Connected" "$work/client.out" && ! grep -q '^State: \(Disconnected\|Error\|Reconnecting\)' "$work/client.out" &&
    verdict="still Connected; $verdict"
  row_end "$verdict" "$crc" running
  stop_pid "$gw_pid"; gw_pid=
  # A peer that accepts TCP and never speaks TLS.
  in_gw python3 -c '
import socket, time
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("'"$GW_OUTER"'", '"$PORT"')); s.listen(4)
conns = []
end = time.time() + 60
while time.time() < end:
    s.settimeout(1)
    try: conns.append(s.accept()[0])
    except socket.timeout: pass' &
  silent_pid=$!
  # Listening before the client tries (a busy machine starts python slowly).
  wait_for 10 in_cl python3 -c "import socket; socket.create_connection(('$GW_OUTER', $PORT), 1).close()" ||
    fail "the silent TCP peer did not start listening"
  row_begin "a TCP peer that never speaks TLS"
  start_client "$work/split.tlxcf"
  wait_for 45 grep -q "SSL Connection failure" "$work/client.out"
  term_client
  verdict="$late$(compare)"
  grep -q "SSL Connection failure" "$work/client.out" || verdict="no \"SSL Connection failure\"; $verdict"
  row_end "$verdict" "$crc" running
  stop_pid "$silent_pid"
else
  echo "---- gateway stalled mid-frame, TCP peer without TLS: off (TLX_FAULT_DATAPATH=0)"
fi

if [ "$failures" = 0 ]; then
  echo "fault: passed"
else
  echo "fault: FAILED: $failures row(s)"; show_logs; exit 1
fi
