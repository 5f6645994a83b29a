# Sourced by the scripts of the Wine steps, from the top of the tree.

# own_wine_prefix NAME: a Wine prefix of the step's own beside the default
# one, emptied, exported as TLX_WINEPREFIX, and used by one run at a time:
# the lock is held on file descriptor 7 until the script ends (close it for
# programs that outlive a command, "7>&-").
own_wine_prefix() {
  export TLX_WINEPREFIX
  TLX_WINEPREFIX=$(dirname "$(bash scripts/wine-env.sh prefix)")/$1
  mkdir -p "$(dirname "$TLX_WINEPREFIX")"
  exec 7>"$TLX_WINEPREFIX.run.lock"
  flock 7
  rm -rf "$TLX_WINEPREFIX"
}

# build_stand_in OUT: the stand-in adapter's kernel driver and its Windows
# helper, into OUT. Fails when either does not build.
build_stand_in() {
  local ddk=/usr/x86_64-w64-mingw32/include/ddk
  x86_64-w64-mingw32-gcc -O2 -Wall -Wextra -Werror -I"$ddk" -shared -nostdlib \
    -Wl,--subsystem,native -Wl,--entry,DriverEntry \
    -o "$1/tlx_tap.sys" tools/wine_tap/tap_driver.c -lntoskrnl || return 1
  x86_64-w64-mingw32-gcc -O2 -Wall -Wextra -Werror -o "$1/tap_pump.exe" tools/wine_tap/tap_pump.c \
    -liphlpapi -lws2_32
}

# reboot_wine [NETNS]: a service started in a session that "wineboot -i"
# began times out in Wine (1053); after a plain boot it starts. So the
# prefix's server is restarted and booted again, on the virtual display that
# "wine-env.sh start" made, inside the network namespace NETNS when given.
reboot_wine() {
  local in=() step display
  [ -n "${1:-}" ] && in=(ip netns exec "$1")
  display=${DISPLAY:-$(cut -d' ' -f1 "$TLX_WINEPREFIX.xvfb" 2>/dev/null)}
  for step in "wineserver -k" "wineserver -w" "wineserver -p" "wineboot"; do
    # shellcheck disable=SC2086
    DISPLAY=$display WINEPREFIX=$TLX_WINEPREFIX WINEDEBUG=-all "${in[@]}" $step </dev/null >/dev/null 2>&1 7>&- ||
      [ "$step" = "wineserver -k" ] || [ "$step" = "wineserver -w" ] || return 1
  done
}

# install_stand_in GUID RUN...: the driver (built by build_stand_in into
# $OUT) as the kernel driver service "tlxtap" serving the adapter GUID, with
# RUN as the way to run a Wine program (the step's own wrapper).
install_stand_in() {
  local guid=$1
  shift
  cp "$OUT/tlx_tap.sys" "$TLX_WINEPREFIX/drive_c/windows/system32/drivers/tlx_tap.sys" || return 1
  "$@" sc create tlxtap type= kernel start= demand binPath= 'C:\windows\system32\drivers\tlx_tap.sys' \
    >/dev/null 2>&1 || return 1
  "$@" reg add 'HKLM\System\CurrentControlSet\Services\tlxtap' /v AdapterGuid /t REG_SZ /d "$guid" /f \
    >/dev/null 2>&1
}

# start_stand_in RUN...: starts the driver service until the device answers
# (the first start in a fresh prefix can time out while the device host
# comes up); fails after about 15 s. sc's answers go to $OUT/sc.log.
start_stand_in() {
  local i
  for i in $(seq 30); do
    [ $((i % 5)) = 1 ] && { "$@" sc start tlxtap >>"$OUT/sc.log" 2>&1 || true; }
    "$@" "$OUT/tap_pump.exe" state >/dev/null 2>&1 && return 0
    sleep 0.5
  done
  return 1
}
