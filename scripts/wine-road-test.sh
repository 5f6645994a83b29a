#!/usr/bin/env bash
# The Windows client on the whole road under Wine: the real
# vantorelle_tunlex.exe and vantorelle_tunlex_service.exe, the stand-in
# adapter device (tools/wine_tap) joined to a Linux tun link, and the Linux
# test gateway, in network namespaces of their own (scripts/e2e-lib.sh).
#
#   scripts/wine-road-test.sh [LINUX-BUILD [WIN64-BUILD]]
#
# Wine runs inside the client's namespace, so its adapter list is that
# namespace's links: the tun link is the adapter, with the GUID Wine gives
# it, and the stand-in driver serves "\\.\Global\{that GUID}.tap". Test
# copies of the client and the service sit in a folder with a test-only
# iphlpapi.dll that shows the link with the adapter's description. The
# packets the client writes to the device leave through the tun link and the
# other way round (tap_pump bridge on the Windows side, tun_bridge.py on the
# Linux side). Wine's netsh changes nothing, so the address and gateway the
# service's netsh lines ask for are put on the link from the host side; the
# test IP Helper gives interface metrics as Windows does and hands every
# route the service creates, deletes or changes to the host side, which makes
# the change in the namespace's table. The service takes the path it takes
# from Vista on (the adapter by index, its metric through IP Helper); the
# gateway is off the client's own network, behind a default route with the
# metric of a physical adapter.
#
# Checks: the service installs and starts in Wine's service manager; the
# client (password typed into its dialog, the whole traffic through the
# tunnel) reaches Connected; the route table holds the tunnel's default
# route and the host route to the gateway, not the uplink's default route,
# and after the disconnect the other way round; a ping from the gateway's
# side is answered through the client and the device, one from the client's
# side to the host behind the gateway too; a split session (a configuration
# file with the network behind the gateway) routes that network alone
# through the tunnel, until its disconnect; the service's log holds the ClientHello
# and the session's netsh and route lines; the statistics window, opened from
# the tray menu, shows the tunnel's address and DNS servers (pictures of it
# and of the menu kept in WIN64-BUILD/wine_road); Disconnect from the tray menu
# (tools/wine_gui) ends with the service's clean-up, Exit with status 0 and
# the adapter's own interface metric back (automatic); a
# wrong password and a fingerprint mismatch each end with the client's
# message and one attempt only; a service started while another program
# holds its pipe's name stops, and its service manager is told so with the
# service's own exit code.
#
# TLX_ROAD_HOLD=1 keeps a failed run's programs up until its hold file goes.
# Exit status 0 when every check passed, 77 when a tool is missing, else 1.
set -uo pipefail

NAME=wine-road
source "$(dirname "${BASH_SOURCE[0]}")/e2e-lib.sh"
WIN=${2:-build/win64}
DDK=/usr/x86_64-w64-mingw32/include/ddk
start=$(date +%s)

for tool in x86_64-w64-mingw32-gcc x86_64-w64-mingw32-objdump wine wineserver Xvfb; do
  command -v "$tool" >/dev/null || { echo "$NAME: skipped: $tool is missing"; exit 77; }
done
[ -f "$DDK/ntddk.h" ] || { echo "$NAME: skipped: no MinGW driver kit (mingw-w64-x86-64-dev)"; exit 77; }
e2e_init "${1:-build/linux}"
CLIENT_EXE=$WIN/vantorelle_tunlex.exe
SERVICE_EXE=$WIN/service/vantorelle_tunlex_service.exe
for f in "$CLIENT_EXE" "$SERVICE_EXE"; do
  [ -f "$f" ] || { echo "$NAME: $f is missing (build the Windows tree first)" >&2; exit 1; }
done
OUT=$WIN/wine_road
mkdir -p "$OUT"

source scripts/wine-lib.sh
build_stand_in "$OUT" || fail "stand-in driver or helper build"
x86_64-w64-mingw32-gcc -O2 -Wall -Wextra -Werror -o "$OUT/client_drive.exe" tools/wine_tap/client_drive.c ||
  fail "window driver build"
x86_64-w64-mingw32-gcc -O2 -Wall -Wextra -Werror -o "$OUT/pipe_taken.exe" tools/wine_tap/pipe_taken.c -ladvapi32 ||
  fail "pipe squatter build"
x86_64-w64-mingw32-gcc -O2 -Wall -Wextra -Werror -o "$OUT/gui_probe.exe" tools/wine_gui/gui_probe.c \
  -luser32 -lgdi32 || fail "window probe build"

# ---- Wine in the client's namespace ----

own_wine_prefix wine-road-ci
prefix=$TLX_WINEPREFIX
drive=$prefix/drive_c/tlx
bridge_pid= pump_pid= client_pid= applier_pid= routes_pid=

road_cleanup() {
  stop_pid "$client_pid"; stop_pid "$pump_pid"; stop_pid "$bridge_pid"; stop_pid "$applier_pid"; stop_pid "$routes_pid"
  [ -n "${calls:-}" ] && cp "$calls" "$work/route-calls.log" 2>/dev/null
  ip netns exec "$NS_CL" bash scripts/wine-env.sh stop 7>&- 2>/dev/null
  rm -rf "/etc/netns/$NS_CL"
  [ -d "$drive" ] && cp "$drive"/*.log "$work"/ 2>/dev/null
  if [ -n "${TLX_ROAD_LOGS:-}" ] && [ -n "$work" ]; then
    mkdir -p "$TLX_ROAD_LOGS" && cp "$work"/*.log "$work"/*.out "$TLX_ROAD_LOGS"/ 2>/dev/null
  fi
  rm -rf "$TLX_WINEPREFIX"
  cleanup
}
trap road_cleanup EXIT

# Inside the client's namespace; every Wine program ends within LIMIT s.
wine_in() {  # LIMIT EXE ARGS...
  local limit=$1
  shift
  timeout -k 5 "$limit" ip netns exec "$NS_CL" bash scripts/wine-env.sh run "$@" 7>&-
}

# What a failure shows: the gateway's log, the service's and the client's.
show_logs() {
  local f
  for f in "$work/gateway.log" "$drive/service.log" "$drive/client.log" "$work/drive.out" \
    "$work/pump.out" "$work/bridge.out" "$work/routes.out" "${calls:-/nonexistent}"; do
    [ -f "$f" ] || continue
    echo "-- $(basename "$f") (last 60 lines):"
    tail -n 60 "$f" | tr -d '\r'
  done
}

# A failed run that is held waits, everything still up, until $work/hold goes.
if [ -n "${TLX_ROAD_HOLD:-}" ]; then
  eval "$(declare -f fail | sed '1s/fail/e2e_fail/')"
  fail() {
    echo "$NAME: holding: rm $work/hold to end; TLX_WINEPREFIX=$TLX_WINEPREFIX NS=$NS_CL"
    touch "$work/hold"
    while [ -e "$work/hold" ]; do sleep 1; done
    e2e_fail "$@"
  }
fi

start_network
start_gateway
# The gateway off the client's own network: the uplink has an address of a
# network of its own and a default route through a router (the gateway's
# namespace), as a physical adapter has, so a full tunnel needs the host
# route to the gateway.
# The route's own metric is 0, its interface's 25 (the test IP Helper's), as
# Windows gives a physical adapter's default route.
UPLINK=veth-cl UPLINK_ROUTER=198.18.1.1 UPLINK_ADDRESS=198.18.1.2 UPLINK_METRIC=25
ip -n "$NS_GW" addr add "$UPLINK_ROUTER/24" dev veth-gw &&
  ip -n "$NS_CL" addr del "$CL_OUTER/30" dev "$UPLINK" &&
  ip -n "$NS_CL" addr add "$UPLINK_ADDRESS/24" dev "$UPLINK" &&
  ip -n "$NS_CL" route add default via "$UPLINK_ROUTER" dev "$UPLINK" ||
  fail "the uplink's own network"
wait_for 5 in_cl python3 "$NET" ping "$GW_OUTER" 1 1 || fail "the gateway is not reached through the uplink's router"
pass "gateway $GW_OUTER behind the router $UPLINK_ROUTER of the uplink (default route, metric $UPLINK_METRIC)"
# The tunnel's DNS servers as Wine reads them for every adapter: the
# namespace's own resolver file, laid over /etc/resolv.conf by "ip netns exec".
mkdir -p "/etc/netns/$NS_CL"
printf 'nameserver %s\nnameserver %s\n' "$DNS1" "$DNS2" >"/etc/netns/$NS_CL/resolv.conf"

rc=0; ip netns exec "$NS_CL" bash scripts/wine-env.sh start 7>&- || rc=$?
[ "$rc" = 0 ] || [ "$rc" = 2 ] || fail "cannot start Wine"
reboot_wine "$NS_CL" || fail "restarting Wine"
pass "Wine in $NS_CL"

# ---- the adapter: Wine's GUID of the tun link, the stand-in device ----

index=$(ip -n "$NS_CL" -o link show dev "$CL_TUN" | cut -d: -f1)
# Wine makes an adapter's GUID from its link index.
guid=$(printf '{%08X-0000-0000-0000-4E6574446576}' "$index")
wine_in 30 "$OUT/tap_pump.exe" adapters 2>/dev/null | tr -d '\r' >"$work/adapters.out"
grep -q "name $guid description \"$CL_TUN\"" "$work/adapters.out" ||
  { cat "$work/adapters.out"; fail "Wine does not show $CL_TUN as $guid"; }
pass "Wine shows $CL_TUN as adapter $guid"

install_stand_in "$guid" wine_in 30 || fail "installing the stand-in driver"
wine_in 30 reg add 'HKLM\System\CurrentControlSet\Services\tlxtap' /v LinkName /t REG_SZ /d "$CL_TUN" /f >/dev/null 2>&1 || fail "reg add LinkName"
# The route calls the test IP Helper hands over, and the host side's results.
mkdir -p "$prefix/drive_c/tlxroute"
calls=$prefix/drive_c/tlxroute/calls.log results=$prefix/drive_c/tlxroute/results.log
: >"$calls"
: >"$results"
wine_in 30 reg add 'HKLM\System\CurrentControlSet\Services\tlxtap' /v RouteCalls /t REG_SZ \
  /d 'C:\tlxroute\calls.log' /f >/dev/null 2>&1 || fail "reg add RouteCalls"
wine_in 30 reg add 'HKLM\System\CurrentControlSet\Services\tlxtap' /v RouteResults /t REG_SZ \
  /d 'C:\tlxroute\results.log' /f >/dev/null 2>&1 || fail "reg add RouteResults"

# The test copies of the client and the service. Both load the IP Helper
# from the system folder only, so the test-only iphlpapi.dll (which shows the
# link with the adapter's description) takes the place of Wine's own in this
# prefix's system32 and forwards to it there, as tlxiphlp.dll; these two
# programs alone prefer it to Wine's builtin library. Nothing but the two
# programs is in their folder, and the service's message library in bin
# below it, which -install judges as it judges the program.
mkdir -p "$drive"
cp "$CLIENT_EXE" "$SERVICE_EXE" "$drive"/
if [ -f "$WIN/service/bin/NoticeCatalog.dll" ]; then
  mkdir -p "$drive/bin" && cp "$WIN/service/bin/NoticeCatalog.dll" "$drive/bin/" || fail "copying the message library"
fi
system32=$prefix/drive_c/windows/system32
[ -f "$system32/tlxiphlp.dll" ] || cp "$system32/iphlpapi.dll" "$system32/tlxiphlp.dll"
{
  echo "LIBRARY iphlpapi.dll"
  echo "EXPORTS"
  x86_64-w64-mingw32-objdump -p "$system32/tlxiphlp.dll" |
    awk '/^\[Ordinal\/Name Pointer\] Table/ { t = 1; next } t && /^\t\[/ { print $NF } t && /^$/ { t = 0 }' |
    while read -r n; do
      case $n in
        GetAdaptersAddresses | GetAdaptersInfo | CreateIpForwardEntry | DeleteIpForwardEntry | SetIpForwardEntry | \
          GetIpForwardTable | GetIpInterfaceEntry | SetIpInterfaceEntry) echo "$n = Stand$n" ;;
        *) echo "$n = tlxiphlp.$n" ;;
      esac
    done
  # Wine's library lacks these two.
  for n in GetIpInterfaceEntry SetIpInterfaceEntry; do
    x86_64-w64-mingw32-objdump -p "$system32/tlxiphlp.dll" | grep -q "[[:space:]]$n\$" || echo "$n = Stand$n"
  done
} >"$OUT/iphlpapi_stand.def"
grep -q '^GetAdaptersAddresses = ' "$OUT/iphlpapi_stand.def" || fail "no export list of Wine's iphlpapi.dll"
x86_64-w64-mingw32-gcc -O2 -Wall -Wextra -Werror -shared -o "$system32/iphlpapi.dll" \
  tools/wine_tap/iphlpapi_stand.c "$OUT/iphlpapi_stand.def" || fail "test iphlpapi.dll build"
for program in vantorelle_tunlex.exe vantorelle_tunlex_service.exe; do
  wine_in 30 reg add "HKCU\\Software\\Wine\\AppDefaults\\$program\\DllOverrides" \
    /v iphlpapi /t REG_SZ /d native,builtin /f >/dev/null 2>&1 || fail "reg add DllOverrides"
done
[ ! -e "$drive/iphlpapi.dll" ] && [ ! -e "$drive/tlxiphlp.dll" ] || fail "a library beside the programs"

# ---- the route service in Wine's service manager ----

wine_in 60 'C:\tlx\vantorelle_tunlex_service.exe' -install 2>&1 | tr -d '\r' >"$work/install.out"
grep -q 'is installed' "$work/install.out" || { cat "$work/install.out"; fail "the service did not install"; }
grep -q 'started' "$work/install.out" || { cat "$work/install.out"; fail "the service did not start"; }
pass "route service installed and started: $(tr '\n' ' ' <"$work/install.out")"
# The service manager starts it without arguments, so it would log nowhere:
# it is stopped and given a log file, which its next start (at the boot
# below: it starts with the system) takes. Wine's service manager reads its
# registry at boot only.
wine_in 30 sc stop QuorvantiVantorelleTUNLEX >"$work/sc-stop.out" 2>&1 ||
  { cat "$work/sc-stop.out"; fail "sc stop"; }
svc_key='HKLM\System\CurrentControlSet\Services\QuorvantiVantorelleTUNLEX'
wine_in 30 reg add "$svc_key" /v ImagePath /t REG_SZ \
  /d '"C:\tlx\vantorelle_tunlex_service.exe" -logfile C:\tlx\service.log' /f >/dev/null 2>&1 ||
  fail "reg add ImagePath"

# Its next boot starts the service again, with the log file, and the driver
# becomes startable.
reboot_wine "$NS_CL" || fail "restarting Wine"
start_stand_in wine_in 30 || fail "the stand-in driver did not start"
pass "stand-in device \\\\.\\Global\\$guid.tap"
service_running() { wine_in 30 sc query QuorvantiVantorelleTUNLEX 2>/dev/null | grep -q 'STATE.*RUNNING'; }
wait_for 20 service_running || fail "the route service did not start at boot"
pass "route service running again, logging to C:\\tlx\\service.log"

# ---- the packet path: device <-> Windows helper <-> loopback <-> tun link ----

rm -f "$work/bridge.ready"
ip netns exec "$NS_CL" python3 tools/wine_tap/tun_bridge.py "$CL_TUN" 0 "$work/bridge.ready" \
  >"$work/bridge.out" 2>&1 &
bridge_pid=$!
wait_for 5 test -s "$work/bridge.ready" || { cat "$work/bridge.out"; fail "the Linux bridge did not start"; }
timeout -k 5 600 ip netns exec "$NS_CL" bash scripts/wine-env.sh run "$OUT/tap_pump.exe" bridge \
  "$(cat "$work/bridge.ready")" >"$work/pump.out" 2>&1 7>&- &
pump_pid=$!
pass "bridge between the device and $CL_TUN"

# ---- Wine's netsh changes nothing: the host side does what it asks ----

# The service's netsh lines ask for the adapter's address by index, or as on
# XP by its GUID ("netsh interface ip set address 3 static A M ..."); each
# new request for
# the tun link is carried out on the link from the host side, and the link
# comes up with it, as the adapter does once its media is connected.
netsh_address() {  # the last address request for the link: "A M [gateway=G gwmetric=N]", or ""
  tr -d '\r' <"$drive/service.log" 2>/dev/null |
    sed -n "s/^netsh interface ip set address \\($index\\|\"$guid\"\\) static //p" | tail -n 1
}
media_state() { tr -d '\r' <"$work/pump.out" 2>/dev/null | sed -n 's/^media \([01]\)$/\1/p' | tail -n 1; }
# apply_address REQUEST: the address, and the default route through the
# gateway the request names (with its metric); 1 when the link refused.
apply_address() {
  local address mask rest bits metric=1
  read -r address mask rest <<<"$1"
  bits=$(python3 -c "import ipaddress, sys; print(ipaddress.ip_network('0.0.0.0/' + sys.argv[1]).prefixlen)" "$mask")
  if ! ip -n "$NS_CL" addr show dev "$CL_TUN" | grep -q "inet $address/$bits "; then
    ip -n "$NS_CL" addr flush dev "$CL_TUN"
    ip -n "$NS_CL" addr add "$address/$bits" dev "$CL_TUN" || return 1
    echo "$NAME: netsh asked for $address/$bits on index $index: applied to $CL_TUN"
  fi
  if ! [[ $rest =~ gateway=([0-9.]+) ]]; then
    ip -n "$NS_CL" route del default dev "$CL_TUN" 2>/dev/null
    return 0
  fi
  [[ $rest =~ gwmetric=([0-9]+) ]] && metric=${BASH_REMATCH[1]}
  [[ $rest =~ gateway=([0-9.]+) ]]
  ip -n "$NS_CL" route replace default via "${BASH_REMATCH[1]}" dev "$CL_TUN" metric "$metric" 2>/dev/null || return 1
  echo "$NAME: netsh asked for gateway ${BASH_REMATCH[1]} (metric $metric): default route through $CL_TUN"
}
apply_addresses() {
  local done= want media shown=0
  while sleep 0.2; do
    media=$(media_state)
    if [ "${media:-0}" != "$shown" ]; then
      ip -n "$NS_CL" link set "$CL_TUN" "$([ "$media" = 1 ] && echo up || echo down)" &&
        echo "$NAME: media $media: $CL_TUN $([ "$media" = 1 ] && echo up || echo down)"
      shown=${media:-0}
      done=  # a link that went down lost its routes
    fi
    want=$(netsh_address)
    [ -n "$want" ] && [ "$want" != "$done" ] || continue
    # A route through a link that is not up yet is refused: asked again.
    apply_address "$want" && done=$want
  done
}
apply_addresses >>"$work/applied.out" 2>&1 &
applier_pid=$!

# ---- the route calls the test IP Helper hands over, made in the namespace ----

link_index() { ip -n "$NS_CL" -o link show dev "$1" | cut -d: -f1; }
link_of_index() { ip -n "$NS_CL" -o link show | awk -F': ' -v i="$1" '$1 == i { sub(/@.*/, "", $2); print $2 }'; }
mask_bits() {
  local bits=0 o
  for o in ${1//./ }; do
    while [ "$o" -gt 0 ]; do bits=$((bits + (o & 1))); o=$((o >> 1)); done
  done
  echo "$bits"
}
# apply_route_call ID VERB DEST MASK HOP IF METRIC IF-METRIC: the change, the
# route with the metric above its interface's as Windows keeps it, and its
# result as Windows would give it (5010 exists already, 1168 not found, 87
# otherwise).
apply_route_call() {
  local id=$1 verb=$2 dest=$3 mask=$4 hop=$5 ifx=$6 metric=$(($7 - $8)) dev bits via=() out rc code=0
  dev=$(link_of_index "$ifx")
  bits=$(mask_bits "$mask")
  if [ -z "$dev" ]; then
    echo "$id 1168" >>"$results"
    return
  fi
  # A next hop of the interface's own (or none) is a route on the link.
  [ "$hop" = 0.0.0.0 ] || ip -n "$NS_CL" -o addr show dev "$dev" | grep -q "inet $hop/" || via=(via "$hop")
  case $verb in
    create) out=$(ip -n "$NS_CL" route add "$dest/$bits" "${via[@]}" dev "$dev" metric "$metric" 2>&1) ;;
    delete) out=$(ip -n "$NS_CL" route del "$dest/$bits" "${via[@]}" dev "$dev" 2>&1) ;;
    set) out=$(ip -n "$NS_CL" route del "$dest/$bits" "${via[@]}" dev "$dev" 2>&1 &&
      ip -n "$NS_CL" route add "$dest/$bits" "${via[@]}" dev "$dev" metric "$metric" 2>&1) ;;
  esac
  rc=$?
  if [ "$rc" != 0 ]; then
    case $out in *"File exists"*) code=5010 ;; *"No such process"*) code=1168 ;; *) code=87 ;; esac
  fi
  echo "$NAME: IP Helper $verb $dest/$bits ${via[*]} dev $dev metric $metric: $code${out:+ ($out)}"
  echo "$id $code" >>"$results"
}
apply_route_calls() {
  local done=0 n line
  while sleep 0.1; do
    n=$(wc -l <"$calls")
    while [ "$done" -lt "$n" ]; do
      done=$((done + 1))
      line=$(sed -n "${done}p" "$calls")
      # shellcheck disable=SC2086
      set -- $line
      case ${2:-} in create | delete | set) apply_route_call "$@" ;; esac
    done
  done
}
apply_route_calls >>"$work/routes.out" 2>&1 &
routes_pid=$!

# The namespace's table, checked after every change the service makes.
route_line() { ip -n "$NS_CL" -4 route show | grep -E -- "$1"; }
expect_route() {  # PATTERN WHAT
  route_line "$1" >/dev/null && return 0
  ip -n "$NS_CL" -4 route show
  fail "$2: no route like \"$1\""
}
expect_no_route() {  # PATTERN WHAT
  route_line "$1" >/dev/null || return 0
  ip -n "$NS_CL" -4 route show
  fail "$2: a route like \"$1\" is still there"
}
no_route_like() { ! route_line "$1" >/dev/null; }
show_routes() { ip -n "$NS_CL" -4 route show | sed "s/^/$NAME: route ($1): /"; }

# ---- the client ----

# run_client LOGIN-PASSWORD [OPTIONS...]: starts the client, logs in; the
# client's log is $drive/client.log.
run_client() {
  local password=$1
  shift
  local config=()
  [ -n "${CLIENT_CONFIG:-}" ] && config=("$CLIENT_CONFIG")
  # The lookup takes only an adapter whose media is disconnected.
  wait_for 5 link_down || fail "$CL_TUN is still up before the client starts"
  rm -f "$drive/client.log"
  timeout -k 5 300 ip netns exec "$NS_CL" bash scripts/wine-env.sh run 'C:\tlx\vantorelle_tunlex.exe' \
    "${config[@]}" -server "$GW_OUTER" -server_port "$PORT" -user e2e-user -logfile 'C:\tlx\client.log' "$@" \
    >"$work/client.out" 2>&1 7>&- &
  client_pid=$!
  wine_in 60 "$OUT/client_drive.exe" login "$password" 2>&1 | tr -d '\r' >>"$work/drive.out"
}
link_down() { ! ip -n "$NS_CL" link show dev "$CL_TUN" | grep -q '<[^>]*,UP'; }
client_log() { tr -d '\r' <"$drive/client.log" 2>/dev/null; }
client_connected() { client_log | grep -q 'Connection Established' || ! kill -0 "$client_pid" 2>/dev/null; }

# The whole traffic through the tunnel: the adapter gets the gateway.
run_client e2e-secret -fingerprint "$fingerprint"
wait_for 60 client_connected
client_log >"$work/client.log"
grep -q 'Connection Established' "$work/client.log" || fail "the client did not reach Connected"
pass "client Connected"
cat "$work/applied.out"

# ---- the full tunnel's routes ----

tunnel_default="^default via $GW_TUNNEL dev $CL_TUN"
# The uplink's default route as it was: its own metric 0.
uplink_default="^default via $UPLINK_ROUTER dev $UPLINK *\$"
# The host route to the gateway: the client's metric 2 above the uplink's 25
# (27 asked for, 2 its own).
gateway_route="^$GW_OUTER via $UPLINK_ROUTER dev $UPLINK .*metric 2 *\$"
wait_for 10 route_line "$tunnel_default" >/dev/null
show_routes "full tunnel"
expect_route "$tunnel_default" "full tunnel: the default route through the tunnel"
expect_no_route "^default via $UPLINK_ROUTER" "full tunnel: the uplink's default route removed"
expect_route "$gateway_route" "full tunnel: the host route to the gateway"
grep -q "^set-interface $index metric 1 automatic 0\$" "$calls" || fail "the adapter's metric was not set to 1"
grep -q " create $GW_OUTER 255.255.255.255 $UPLINK_ROUTER $(link_index "$UPLINK") $((UPLINK_METRIC + 2)) $UPLINK_METRIC\$" "$calls" ||
  fail "the host route to the gateway was not asked for at metric $((UPLINK_METRIC + 2))"
grep -q " refused " "$calls" && { cat "$calls"; fail "an IP Helper call was refused"; }
pass "full tunnel: default route through $CL_TUN, the uplink's removed, host route to $GW_OUTER at metric $((UPLINK_METRIC + 2))"
sed "s/^/$NAME: IP Helper call: /" "$calls"
calls_shown=$(wc -l <"$calls")

# ---- a ping from the gateway's side, answered through the client ----

in_gw python3 "$NET" ping "$CL_TUNNEL" 3 3 || fail "no answer from $CL_TUNNEL through the tunnel"
pass "ping $GW_TUNNEL -> $CL_TUNNEL answered through the Windows client and the stand-in device"
# The three requests and their answers went through the device both ways.
device=$(wine_in 30 "$OUT/tap_pump.exe" state 2>/dev/null | tr -d '\r')
echo "$NAME: device: $device"
read -r _ _ _ _ _ reads _ writes _ <<<"$device"
[ "${reads:-0}" -ge 3 ] && [ "${writes:-0}" -ge 3 ] || fail "the ping did not pass the stand-in device"
in_cl python3 "$NET" ping "$LAN_HOST" 3 3 || fail "no answer from $LAN_HOST behind the gateway to the client's side"
pass "ping from the client's side to $LAN_HOST behind the gateway, through the full tunnel"

# ---- what the service did for the session ----

service_log() { tr -d '\r' <"$drive/service.log" 2>/dev/null; }
service_log >"$work/service-connected.log"
for line in "ClientHello,$guid,0x$(printf %x "$index")  OK" \
  "netsh interface ip set address $index static $CL_TUNNEL 255.255.255.0 gateway=$GW_TUNNEL" \
  "netsh interface ipv4 set subinterface $index mtu=" \
  "netsh interface ip set dns $index static $DNS1" \
  "netsh interface ip add dns name=$index addr=$DNS2 index=2" \
  "Removing unwanted default gateway route (Dest: 0.0.0.0, Netmask: 0.0.0.0, Gateway: $UPLINK_ROUTER)" \
  "Route Create: Interface: $(link_index "$UPLINK"), Dest: $GW_OUTER, Netmask: 255.255.255.255, Gateway: $UPLINK_ROUTER, Metric: $((UPLINK_METRIC + 2))" \
  "AllNets:  Dest:         0.0.0.0 Mask:         0.0.0.0" \
  "ROUTE_Init,0x$(printf %x "$index"),0x1  OK"; do
  grep -qF -- "$line" "$work/service-connected.log" || fail "the service's log has no line \"$line\""
done
pass "service log: the ClientHello, the address, gateway and DNS netsh lines and the route set-up of the session"
grep -E '^(netsh |route |Command |Route |Remove|AllNets:|Ignore:)' "$work/service-connected.log" | sed "s/^/$NAME: service: /"

# ---- disconnect from the tray menu, exit ----

probe() { wine_in 30 "$OUT/gui_probe.exe" "$@" 2>&1 | tr -d '\r'; }

# ---- what the tray and the statistics window show while connected ----

probe tray-menu "$OUT/tray-menu-connected.png" >"$work/tray-menu.out" ||
  { cat "$work/tray-menu.out"; fail "the tray menu does not open"; }
sed "s/^/$NAME: tray: /" "$work/tray-menu.out"
probe tray-command statistics >"$work/tray.out" || { cat "$work/tray.out"; fail "tray menu: Statistics"; }
probe wait-text "Statistics*" "$CL_TUNNEL" 10 >"$work/statistics.out" ||
  { cat "$work/statistics.out"; fail "the statistics window does not show the client address $CL_TUNNEL"; }
probe text "Statistics*" >"$work/statistics.out"
sed "s/^/$NAME: statistics: /" "$work/statistics.out"
for value in "$CL_TUNNEL" "$DNS1" "$DNS2"; do
  grep -q "^control [0-9]* [^:]*: $value\$" "$work/statistics.out" ||
    fail "the statistics window does not show $value"
done
probe shot "Statistics*" "$OUT/statistics-connected.png" >/dev/null || fail "no picture of the statistics window"
pass "statistics window: client address $CL_TUNNEL, DNS servers $DNS1 and $DNS2 (pictures in $OUT)"

# ---- disconnect from the tray menu, exit ----

probe tray-command disconnect >"$work/tray.out" || { cat "$work/tray.out"; fail "tray menu: Disconnect"; }
# The client stops without waiting for the clean-up's reply: the service's
# log shows it.
cleaned() { service_log | sed -n '/ROUTE_CleanUp/,$p' | grep -q 'ROUTE_CleanUp  OK'; }
wait_for 40 cleaned || fail "the service did not clean up after the disconnect from the tray menu"
service_log | sed -n '/COMMAND: ROUTE_CleanUp/,$p' >"$work/service-cleanup.log"
grep -q 'Restoring old routes' "$work/service-cleanup.log" || fail "the service's clean-up restored no routes"
pass "disconnect from the tray menu: the service cleaned up ($(grep -c . "$work/service-cleanup.log") lines)"
wait_for 10 no_route_like "$tunnel_default"
show_routes "after the full tunnel"
expect_no_route "$tunnel_default" "after the full tunnel: the tunnel's default route"
expect_route "$uplink_default" "after the full tunnel: the uplink's default route restored"
expect_no_route "^$GW_OUTER via" "after the full tunnel: the host route to the gateway"
pass "after the full tunnel: the uplink's default route back as it was, no host route, no tunnel route"

# exit_client: tray menu Exit, Yes to the question; the client must end with 0.
exit_client() {
  probe tray-command exit >>"$work/tray.out" || { cat "$work/tray.out"; fail "tray menu: Exit"; }
  probe close-dialog Exit Yes >>"$work/tray.out" || { cat "$work/tray.out"; fail "the exit question"; }
  wait_for 30 exited || fail "the client did not end after Exit"
  wait "$cl_pid"
  local rc=$?
  cl_pid=
  [ "$rc" = 0 ] || fail "the client ended with status $rc"
}
exited() { ! kill -0 "$cl_pid" 2>/dev/null; }
cl_pid=$client_pid
exit_client
client_pid=
client_log >"$work/client-session.log"
pass "the client exited with status 0"
# Once the client has gone the adapter's own interface metric is back as the
# system had it before the session (automatic, 25 in the test IP Helper):
# the session's 1 does not outlive it.
last_metric() { grep "^set-interface $index " "$calls" | tail -n 1; }
metric_is_back() { [ "$(last_metric)" = "set-interface $index metric 25 automatic 1" ]; }
metric_back() {  # WHAT
  wait_for 20 metric_is_back ||
    { grep "^set-interface" "$calls"; fail "$1: the adapter's interface metric was not put back"; }
}
metric_back "after the full tunnel's client"
pass "after the full tunnel's client: the adapter's interface metric back to automatic"

# ---- a wrong password and a fingerprint mismatch: the message, no retry ----

# attempts_after N: the gateway's connections numbered above N
last_connection() { sed -n 's/^\[ *[0-9.]*\] #\([0-9]*\) .*/\1/p' "$work/gateway.log" | sort -n | tail -n 1; }
refused_attempt() {  # NAME LOGIN-PASSWORD MESSAGE CLIENT-OPTIONS...
  local what=$1 password=$2 message=$3 before after
  shift 3
  before=$(last_connection)
  run_client "$password" "$@"
  failed_or_ended() { client_log | grep -qF -- "$message" || ! kill -0 "$client_pid" 2>/dev/null; }
  wait_for 60 failed_or_ended
  client_log >"$work/client-${what// /-}.log"
  grep -qF -- "$message" "$work/client-${what// /-}.log" || fail "$what: no \"$message\" in the client's log"
  sleep 5  # room for a retry, which must not come
  after=$(last_connection)
  [ "$(( ${after:-0} - ${before:-0} ))" = 1 ] || fail "$what: $(( ${after:-0} - ${before:-0} )) connections to the gateway"
  client_log | grep -q 'Reconnect attempt' && fail "$what: the client tried again"
  cl_pid=$client_pid
  exit_client
  client_pid=
  pass "$what: \"$message\" in the client's log, one attempt, exit status 0"
}
# ---- a split session: only the network behind the gateway through the tunnel ----

split_route="^${LAN_NET//./\\.} via $GW_TUNNEL dev $CL_TUN"
write_config "$drive/split.tlxcf" "$LAN_NET"
CLIENT_CONFIG='C:\tlx\split.tlxcf' run_client e2e-secret -fingerprint "$fingerprint"
wait_for 60 client_connected
client_log >"$work/client-split.log"
grep -q 'Connection Established' "$work/client-split.log" || fail "split: the client did not reach Connected"
wait_for 10 route_line "$split_route" >/dev/null
show_routes "split"
expect_route "$split_route" "split: the route to $LAN_NET through the tunnel"
expect_route "$uplink_default" "split: the uplink's default route untouched"
expect_no_route "$tunnel_default" "split: no default route through the tunnel"
in_cl python3 "$NET" ping "$LAN_HOST" 3 3 || fail "split: no answer from $LAN_HOST to the client's side"
pass "split: $LAN_NET through $CL_TUN, the default route left alone, ping from the client's side to $LAN_HOST answered"
cleanups=$(service_log | grep -c 'ROUTE_CleanUp  OK')
probe tray-command disconnect >"$work/tray.out" || { cat "$work/tray.out"; fail "split: tray menu: Disconnect"; }
split_cleaned() { [ "$(service_log | grep -c 'ROUTE_CleanUp  OK')" -gt "$cleanups" ]; }
wait_for 40 split_cleaned || fail "split: the service did not clean up after the disconnect"
wait_for 10 no_route_like "$split_route"
show_routes "after the split session"
expect_no_route "$split_route" "after the split session: the route to $LAN_NET"
expect_route "$uplink_default" "after the split session: the uplink's default route"
expect_no_route "^$GW_OUTER via" "after the split session: the host route to the gateway"
pass "after the split session: the route to $LAN_NET gone, the uplink's default route in place"
cl_pid=$client_pid
exit_client
client_pid=
metric_back "after the split session's client"
pass "after the split session's client: the adapter's interface metric back to automatic"

# The calls of the full tunnel's disconnect and of the split session.
sed -n "$((calls_shown + 1)),\$p" "$calls" | sed "s/^/$NAME: IP Helper call: /"

refused_attempt "wrong password" not-the-password "Authentication failed" -fingerprint "$fingerprint" -no_gateway
refused_attempt "fingerprint mismatch" e2e-secret "SSL Fingerprint missmatch" \
  -fingerprint 00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF:00:11:22:33 -no_gateway

# ---- a pipe name another program holds: the service stops, and says why ----

wine_in 30 sc stop QuorvantiVantorelleTUNLEX >"$work/sc-stop.out" 2>&1 ||
  { cat "$work/sc-stop.out"; fail "sc stop before the taken pipe name"; }
service_stopped() { wine_in 30 sc query QuorvantiVantorelleTUNLEX 2>/dev/null | grep -q 'STATE.*STOPPED'; }
wait_for 30 service_stopped || fail "the route service did not stop"
wine_in 60 "$OUT/pipe_taken.exe" '\\.\pipe\Quorvanti_SSLPipe' QuorvantiVantorelleTUNLEX 2>&1 | tr -d '\r' \
  >"$work/pipe-taken.out"
# SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR, the service's code for a
# pipe it could not make.
grep -qx 'state 1 win32 1066 specific 1' "$work/pipe-taken.out" ||
  { cat "$work/pipe-taken.out"; fail "a taken pipe name: the service manager was not told the service stopped and why"; }
service_log | grep -q 'The service stops: its pipe .* cannot be made at the start' ||
  fail "a taken pipe name: the service's log does not say why it stopped"
pass "a taken pipe name: the service stopped, its service manager told $(cat "$work/pipe-taken.out")"

echo "$NAME: passed in $(( $(date +%s) - start ))s"
exit 0
