#!/usr/bin/env bash
# The whole road's figures, in the namespaces of the whole-road test (see
# scripts/e2e-lib.sh). Not a test: it prints, it does not judge. Each run sets
# the road up afresh and prints:
#   - client to gateway and gateway to client through the tunnel, in Mbit/s,
#     and each as a share of the bare veth measured in the same run;
#   - the inner TCP's retransmitted segments of each transfer (nstat in the
#     sending namespace);
#   - packets dropped on the two tun links during the transfers;
#   - the RTT the tunnel adds, idle: 50 pings to the host behind the gateway
#     through the tunnel against 50 to the gateway over the bare veth
#     (min/avg/p99 of each, and the differences);
#   - the client's wake-ups per idle second (voluntary and involuntary
#     context switches of all its threads over 10 s, from /proc);
#   - the client's peak resident set (VmHWM).
#
#   scripts/bench-road.sh [LINUX-BUILD] [RUNS]   (default build/release-linux, 3)
#
# Build a Release tree first for figures worth comparing. TLX_BENCH_BYTES sets
# the bytes of each transfer (default 400 MB). Needs root.
set -uo pipefail

NAME=bench-road
source "$(dirname "${BASH_SOURCE[0]}")/e2e-lib.sh"
e2e_init "${1:-build/release-linux}"
RUNS=${2:-3}
BYTES=${TLX_BENCH_BYTES:-400000000}
SPEED_LIMIT_S=60
IDLE_S=10

# rtt NS ADDR COUNT: per-echo round trips in ms, one a line
rtt() {
  ip netns exec "$1" python3 - "$2" "$3" <<'EOF'
import os, select, socket, struct, sys, time
addr, count = sys.argv[1], int(sys.argv[2])
def csum(d):
    t = sum(struct.unpack("!%dH" % (len(d) // 2), d))
    while t >> 16:
        t = (t & 0xFFFF) + (t >> 16)
    return ~t & 0xFFFF
ident = os.getpid() & 0xFFFF
payload = b"tlx-bench-probe!" * 3
s = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP)
for seq in range(1, count + 1):
    head = struct.pack("!BBHHH", 8, 0, 0, ident, seq)
    pkt = struct.pack("!BBHHH", 8, 0, csum(head + payload), ident, seq) + payload
    t0 = time.perf_counter()
    s.sendto(pkt, (addr, 0))
    while True:
        left = 2 - (time.perf_counter() - t0)
        if left <= 0 or not select.select([s], [], [], left)[0]:
            print("lost", flush=True)
            break
        data, peer = s.recvfrom(65535)
        hl = (data[0] & 15) * 4
        kind, _, _, rid, rseq = struct.unpack("!BBHHH", data[hl:hl + 8])
        if peer[0] == addr and kind == 0 and rid == ident and rseq == seq:
            print("%.4f" % ((time.perf_counter() - t0) * 1000), flush=True)
            break
    time.sleep(0.1)
EOF
}

# stats FILE: "min/avg/p99" of the numbers in FILE
stats() {
  python3 - "$1" <<'EOF'
import sys
v = sorted(float(x) for x in open(sys.argv[1]) if x.strip() and x.strip() != "lost")
p99 = v[min(len(v) - 1, int(round(0.99 * (len(v) - 1))))]
print("%.3f %.3f %.3f" % (v[0], sum(v) / len(v), p99))
EOF
}

# drops NS DEV: tx_dropped + rx_dropped of the link
drops() {
  ip -n "$1" -s -j link show dev "$2" | python3 -c '
import json, sys
s = json.load(sys.stdin)[0]["stats64"]
print(s["tx"]["dropped"] + s["rx"]["dropped"])'
}

# switches PID: context switches of all threads so far
switches() {
  cat /proc/"$1"/task/*/status 2>/dev/null | awk '/^(voluntary|nonvoluntary)_ctxt_switches/ { n += $2 } END { print n + 0 }'
}

# retrans NS: inner TCP segments retransmitted since the last call in NS
retrans() {
  NSTAT_HISTORY=$work/nstat-$1 ip netns exec "$1" nstat -az TcpRetransSegs 2>/dev/null |
    awk '$1 == "TcpRetransSegs" { print $2 }'
}

one_run() {
  local run=$1
  start_network >/dev/null
  start_gateway >/dev/null
  start_service >/dev/null
  write_config "$work/bench.tlxcf" "$LAN_NET"
  start_client "$work/bench.tlxcf"
  wait_connected >/dev/null
  wait_for 10 has_route || fail "no route through the tunnel"

  # idle first: nothing moves but the link's own timers
  sleep 2
  local s0 s1
  s0=$(switches "$cl_pid"); sleep "$IDLE_S"; s1=$(switches "$cl_pid")
  local wakeups
  wakeups=$(python3 -c "print('%.1f' % (($s1 - $s0) / $IDLE_S))")

  rtt "$NS_CL" "$LAN_HOST" 50 >"$work/rtt-tunnel"
  rtt "$NS_CL" "$GW_OUTER" 50 >"$work/rtt-veth"
  local tun veth
  read -r t_min t_avg t_p99 < <(stats "$work/rtt-tunnel")
  read -r v_min v_avg v_p99 < <(stats "$work/rtt-veth")

  local d0 d1 g0 g1
  d0=$(drops "$NS_CL" "$CL_TUN"); g0=$(drops "$NS_GW" "$GW_TUN")
  retrans "$NS_CL" >/dev/null
  measure up "$NS_CL" "$NS_GW" "$GW_TUNNEL" >/dev/null
  local up=$RATE rt_up
  rt_up=$(retrans "$NS_CL")
  retrans "$NS_GW" >/dev/null
  measure down "$NS_GW" "$NS_CL" "$CL_TUNNEL" >/dev/null
  local down=$RATE rt_down
  rt_down=$(retrans "$NS_GW")
  d1=$(drops "$NS_CL" "$CL_TUN"); g1=$(drops "$NS_GW" "$GW_TUN")
  measure veth "$NS_CL" "$NS_GW" "$GW_OUTER" >/dev/null
  local bare=$RATE
  local hwm
  hwm=$(awk '/^VmHWM/ { print $2 " " $3 }' /proc/"$cl_pid"/status)

  echo "run $run: client->gateway $up Mbit/s ($(percent "$up" "$bare") % of veth), gateway->client $down Mbit/s ($(percent "$down" "$bare") %), bare veth $bare Mbit/s"
  echo "run $run: inner TCP retransmits: upload ${rt_up:-0}, download ${rt_down:-0}; tun drops: client $((d1 - d0)), gateway $((g1 - g0))"
  echo "run $run: idle RTT ms tunnel $t_min/$t_avg/$t_p99, veth $v_min/$v_avg/$v_p99 (min/avg/p99), added" \
    "$(python3 -c "print('%.3f/%.3f/%.3f' % ($t_min - $v_min, $t_avg - $v_avg, $t_p99 - $v_p99))")"
  echo "run $run: client wake-ups per idle second $wakeups, VmHWM $hwm"

  stop_client >/dev/null
  stop_pid "$svc_pid"; svc_pid=
  stop_pid "$gw_pid"; gw_pid=
  local ns
  for ns in "$NS_CL" "$NS_GW" "$NS_LAN"; do ip netns del "$ns" 2>/dev/null; done
}

echo "$NAME: $RUNS runs of $((BYTES / 1000000)) MB each way, build $BUILD, load $(cut -d' ' -f1-3 /proc/loadavg)"
for r in $(seq "$RUNS"); do one_run "$r"; done
echo "$NAME: load at the end $(cut -d' ' -f1-3 /proc/loadavg)"
