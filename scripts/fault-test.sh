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
# "split" sessions have a client route; "full" sessions have none, and the
# client namespace then has a default route of its own (via the gateway's
# outer address).
#
# The baseline is taken after one clean session: the client itself puts the
# adapter to its resting state (no IPv4 address, MTU 1400, no DNS servers)
# when it starts. The host's own way to 1.1.1.1 is part of the state, and
# after that session it must be what it was before the client first started:
# a placeholder address on the adapter would make it "local".
#
# The host default route rows compare `ip -j route` exactly: a route comes
# back with its own metric and every attribute it had.
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
  echo "  result: $verdict"
  case $verdict in "system as before" | connected) ;; *) failures=$((failures + 1)) ;; esac
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

kill_client_row() {  # NAME CONFIG
  row_begin "kill -9 of the client ($1)"
  local seen
  seen=$(grep -c 'Client disconnected' "$work/service.out")
  start_client "$2"
  wait_connected
  kill -KILL "$cl_pid"; wait "$cl_pid" 2>/dev/null; local crc=$?; cl_pid=
  wait_for 10 client_gone_in_service "$seen"
  row_end "$(compare)" "$crc" running
}

# A second uplink of the client namespace for the rows with several default
# routes: a veth pair whose far end has no address, so its neighbour never
# answers (the route over it is only ever second choice while the client
# runs).
add_second_uplink() {
  in_cl ip link add tlxup2 type veth peer name tlxup2p && in_cl ip link set tlxup2p up &&
    in_cl ip addr add 192.0.2.2/24 dev tlxup2 && in_cl ip link set tlxup2 up
}

# defaults_row NAME CONFIG COMMAND...: the namespace's default routes made by
# the commands (each one `ip route` argument string), a session that must
# connect and carry a ping, and afterwards every route exactly as before.
defaults_row() {
  local name=$1 config=$2 command
  shift 2
  in_cl ip route flush exact 0.0.0.0/0 2>/dev/null
  for command in "$@"; do
    # shellcheck disable=SC2086
    in_cl ip route add $command || fail "adding the route: $command"
  done
  baseline=$(snapshot)
  row_begin "$name"
  local seen verdict
  seen=$(grep -c 'Client disconnected' "$work/service.out")
  start_client "$config"
  wait_for 30 connected_or_ended
  if grep -q "^State: Connected" "$work/client.out" &&
    wait_for 10 in_cl python3 "$NET" ping "$LAN_HOST" 1 1; then
    verdict=connected
  else
    verdict="NOT connected"
  fi
  kill -TERM "$cl_pid"; wait_for 15 exited; wait "$cl_pid" 2>/dev/null; local crc=$?; cl_pid=
  wait_for 10 client_gone_in_service "$seen"
  local after
  after=$(compare)
  [ "$verdict" = connected ] && [ "$after" != "system as before" ] && verdict="connected, but after it: $after"
  row_end "$verdict" "$crc" running
  in_cl ip route flush exact 0.0.0.0/0 2>/dev/null
  in_cl ip route add default via "$GW_OUTER"
  baseline=$(snapshot)
}

metric_row() {  # METRIC
  defaults_row "full tunnel with a metric-$1 host default route" "$work/full.tlxcf" "default via $GW_OUTER metric $1"
}

start_network
start_gateway
start_service
write_config "$work/split.tlxcf" "$LAN_NET"
write_config "$work/full.tlxcf"
in_cl ip route add default via "$GW_OUTER" || fail "adding the client namespace's default route"

# One clean session first: it leaves the adapter at its resting state, and
# the host's way to 1.1.1.1 as it was before.
before_client=$(in_cl ip route get 1.1.1.1 2>&1 | head -n 1)
start_client "$work/split.tlxcf"
wait_connected
stop_client
sleep 1
baseline=$(snapshot)
echo "fault: baseline:"; sed 's/^/    /' <<<"$baseline"
grep -qxF "to 1.1.1.1: $before_client" <<<"$baseline" ||
  fail "after a session the host's way to 1.1.1.1 is not what it was before the client started ($before_client)"
[ -z "$(tun_address)" ] || fail "$CL_TUN holds \"$(tun_address)\" between sessions"

kill_client_row split "$work/split.tlxcf"
kill_client_row full "$work/full.tlxcf"
metric_row 0
metric_row 1
add_second_uplink || fail "adding the second uplink"
for kind in full split; do
  defaults_row "$kind tunnel with host default routes of metrics 0 and 2" "$work/$kind.tlxcf" \
    "default via $GW_OUTER metric 0" "default via 192.0.2.1 dev tlxup2 metric 2"
  defaults_row "$kind tunnel with a host default route of its own source, MTU and window" "$work/$kind.tlxcf" \
    "default via $GW_OUTER src $CL_OUTER mtu 1400 initcwnd 10"
done
in_cl ip link del tlxup2
baseline=$(snapshot)

# SIGTERM of the service in -debug during a full session: the same clean
# stop as -run (socket file removed, everything undone), then a new service.
row_begin "SIGTERM of the service in -debug (full session)"
start_client "$work/full.tlxcf"
wait_connected
kill -TERM "$svc_pid"
wait_for 10 eval '! kill -0 $svc_pid'
wait "$svc_pid" 2>/dev/null; src=$?; svc_pid=
kill -TERM "$cl_pid" 2>/dev/null; wait_for 15 exited; wait "$cl_pid" 2>/dev/null; crc=$?; cl_pid=
verdict=$(compare)
[ -S "$VANTORELLE_SERVICE_PIPE" ] && verdict="socket file left behind; $verdict"
row_end "$verdict" "$crc" "$src"
start_service

if [ "$SERVICE_KILL" = 1 ]; then
  row_begin "kill -9 of the service during a full session, then a restart"
  start_client "$work/full.tlxcf"
  wait_connected
  kill -KILL "$svc_pid"; wait "$svc_pid" 2>/dev/null; src=$?; svc_pid=
  [ -s "$VANTORELLE_SERVICE_STATE" ] && echo "  state file left: $(wc -l <"$VANTORELLE_SERVICE_STATE") entries"
  rm -f "$VANTORELLE_SERVICE_PIPE"  # a killed process removes nothing
  start_service  # undoes what its predecessor left
  kill -TERM "$cl_pid" 2>/dev/null; wait_for 15 exited; wait "$cl_pid" 2>/dev/null; crc=$?; cl_pid=
  verdict=$(compare)
  [ -e "$VANTORELLE_SERVICE_STATE" ] && verdict="state file left after the restart; $verdict"
  row_end "$verdict" "$crc" "$src"
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
  kill -TERM "$cl_pid" 2>/dev/null; wait_for 15 exited; wait "$cl_pid" 2>/dev/null; crc=$?; cl_pid=
  verdict=$(compare)
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
  kill -TERM "$cl_pid" 2>/dev/null; wait_for 15 exited; wait "$cl_pid" 2>/dev/null; crc=$?; cl_pid=
  verdict=$(compare)
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
