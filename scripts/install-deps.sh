#!/usr/bin/env bash
# Installs every system package both builds and their tests need. Idempotent.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive

pkgs=(
  build-essential cmake ninja-build pkg-config
  libssl-dev libtinyxml-dev libgtest-dev libgmock-dev googletest libbenchmark-dev
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-tools
  wine wine64 xvfb xauth
  dpkg-dev devscripts
  iproute2 tshark python3
)

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq
  echo wireshark-common wireshark-common/install-setuid boolean false | debconf-set-selections
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The source packages of the MinGW dependencies come from the same archives as the binaries:
# add a deb-src twin of each configured source.
add_deb_src() {
  local f=/etc/apt/sources.list.d/debian.sources
  local twin=/etc/apt/sources.list.d/project-src.sources
  [ -f "$twin" ] && return 0
  if [ -f "$f" ] && ! grep -q '^Types:.*deb-src' "$f"; then
    sed 's/^Types: deb$/Types: deb-src/' "$f" > "$twin"
    apt-get update -qq
  fi
  if [ -f /etc/apt/sources.list ] && grep -q '^deb ' /etc/apt/sources.list && \
     ! grep -q '^deb-src ' /etc/apt/sources.list; then
    grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' > /etc/apt/sources.list.d/project-src.list
    apt-get update -qq
  fi
}
add_deb_src
