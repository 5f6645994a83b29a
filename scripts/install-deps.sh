#!/usr/bin/env bash
# Installs every system package both builds and their tests need, and the
# source-package entries scripts/build-mingw-deps.sh fetches from.
# Idempotent; refreshes the package lists at most once; never asks.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive

pkgs=(
  build-essential cmake ninja-build pkg-config make perl patch xz-utils file
  libssl-dev libtinyxml-dev libgtest-dev libgmock-dev googletest libbenchmark-dev
  clang libclang-rt-dev
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-tools
  wine wine64 xvfb xauth
  dpkg-dev devscripts
  iproute2 tshark python3
)

SUDO=
[ "$(id -u)" = 0 ] || SUDO=sudo

need_update=0

# The sources of the MinGW dependencies come from the same archives as the
# binaries: add a deb-src twin of each configured binary source.
add_deb_src() {
  local f=/etc/apt/sources.list.d/debian.sources
  local twin=/etc/apt/sources.list.d/project-src.sources
  local list=/etc/apt/sources.list.d/project-src.list
  if [ -f "$f" ] && [ ! -f "$twin" ] && ! grep -q '^Types:.*deb-src' "$f"; then
    sed 's/^Types: deb$/Types: deb-src/' "$f" | $SUDO tee "$twin" >/dev/null
    need_update=1
  fi
  if [ -f /etc/apt/sources.list ] && [ ! -f "$list" ] && grep -q '^deb ' /etc/apt/sources.list && \
     ! grep -q '^deb-src ' /etc/apt/sources.list; then
    grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' | $SUDO tee "$list" >/dev/null
    need_update=1
  fi
}
add_deb_src

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] || need_update=1
# Source entries present but never fetched (an earlier refresh failed).
[ -n "$(apt-cache showsrc tinyxml 2>/dev/null | head -n1)" ] || need_update=1

if [ "$need_update" = 1 ]; then
  $SUDO apt-get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo wireshark-common wireshark-common/install-setuid boolean false | $SUDO debconf-set-selections
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
