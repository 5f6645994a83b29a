#!/usr/bin/env bash
# Builds OpenSSL and TinyXML for x86_64-w64-mingw32 from Debian's source
# packages into a cache outside the work tree, and prints the folder that
# holds both (lib/, include/). A build for the same package version and
# compiler, recipe and build options (OpenSSL's and TinyXML's) is reused as it is.
#
#   TLX_DEPS_CACHE  cache root (default /var/cache/vantorelle-deps when
#                   writable, else ~/.cache/vantorelle-deps)
#   TLX_JOBS        parallel jobs (default 8)
#
# Progress goes to stderr; stdout carries only the folder.
set -euo pipefail

# Bump when a recipe below changes, so that older builds are not reused.
RECIPE=2
CROSS=x86_64-w64-mingw32-

# The client takes OpenSSL's built-in providers and pins its gateway's
# certificate: it loads no module, no engine and no configuration file, and
# reads no certificate store. So the library is built without the pieces
# that load code at run time, and the folders it still names (which nothing
# opens) are under Program Files, not on a path like /var/cache, which is
# C:\var\cache on Windows: a folder any user may make.
OSSL_OPTIONS=(no-shared no-tests no-module no-engine no-dso)
OSSL_DIR="C:/Program Files/Quorvanti/TUNLEX/OpenSSL"
# The configuration's own key, part of the cache folder's name: a change of
# the options or folders above never reuses an older build.
OSSL_KEY=$(printf '%s\n' "${OSSL_OPTIONS[@]}" "$OSSL_DIR" | sha256sum | cut -c1-10)
# TinyXML's own flags, keyed the same way. Its sources are named without the
# temporary folder they were built in (its asserts carry their file names).
TXML_FLAGS=(-O2 -DTIXML_USE_STL -ffile-prefix-map=@SRC@=tinyxml)
TXML_KEY=$(printf '%s\n' "${TXML_FLAGS[@]}" | sha256sum | cut -c1-10)
JOBS=${TLX_JOBS:-8}
WORK=

log() { echo "build-mingw-deps: $*" >&2; }
die() { log "$*"; exit 1; }

cleanup() { [ -z "$WORK" ] || rm -rf "$WORK"; }
trap cleanup EXIT

cache_root() {
  if [ -n "${TLX_DEPS_CACHE:-}" ]; then
    echo "$TLX_DEPS_CACHE"
  elif mkdir -p /var/cache/vantorelle-deps 2>/dev/null && [ -w /var/cache/vantorelle-deps ]; then
    echo /var/cache/vantorelle-deps
  else
    echo "${XDG_CACHE_HOME:-$HOME/.cache}/vantorelle-deps"
  fi
}

# Source versions the archives offer, newest first.
source_versions() {
  local v sorted=() i j
  for v in $(apt-cache showsrc "$1" 2>/dev/null | awk '/^Version:/ {print $2}' | sort -u); do
    sorted+=("$v")
  done
  [ ${#sorted[@]} -gt 0 ] || die "no source package $1 (no deb-src entries? run scripts/install-deps.sh)"
  for ((i = 1; i < ${#sorted[@]}; i++)); do
    for ((j = i; j > 0; j--)); do
      dpkg --compare-versions "${sorted[j]}" gt "${sorted[j-1]}" || break
      v=${sorted[j]}; sorted[j]=${sorted[j-1]}; sorted[j-1]=$v
    done
  done
  printf '%s\n' "${sorted[@]}"
}

build_openssl() {  # source-folder stage-folder
  local src=$1 stage=$2 logf=$1/../openssl-build.log
  log "OpenSSL: configure and build (-j$JOBS)"
  # The folders compiled in are set on make's command line: Configure takes
  # a Windows path for a relative one when it runs on Linux. The library and
  # its headers are copied from the tree, so no staging path reaches them.
  (cd "$src" && ./Configure mingw64 "${OSSL_OPTIONS[@]}" \
      --cross-compile-prefix="$CROSS" CC=gcc-posix CXX=g++-posix --libdir=lib \
    && make -j"$JOBS" build_libs "OPENSSLDIR=$OSSL_DIR" "ENGINESDIR=$OSSL_DIR" "MODULESDIR=$OSSL_DIR") \
    >"$logf" 2>&1 || { tail -n 40 "$logf" >&2; die "OpenSSL build failed"; }
  mkdir -p "$stage/lib" "$stage/include/openssl"
  cp "$src/libssl.a" "$src/libcrypto.a" "$stage/lib/"
  cp "$src"/include/openssl/*.h "$stage/include/openssl/"
  check_openssl_paths "$stage/lib/libssl.a" "$stage/lib/libcrypto.a"
}

# No folder of the build machine may be left in the library: the program
# would look there on Windows.
check_openssl_paths() {  # library...
  local f hits
  for f in "$@"; do
    hits=$(strings -a "$f" | grep -E '/var/cache|\.stage-|tlx-mingw-deps|ossl-modules|engines-3|/usr/local' || true)
    [ -z "$hits" ] || die "$f names a build path: $(head -n 3 <<<"$hits")"
  done
}

build_tinyxml() {  # source-folder stage-folder
  local src=$1 stage=$2 f pids=() flags=("${TXML_FLAGS[@]//@SRC@/$1}")
  log "TinyXML: build"
  mkdir -p "$stage/lib" "$stage/include" "$src/obj"
  # Debian's header defines TIXML_USE_STL itself; say it here as well so the
  # library and its users agree whatever the header says.
  for f in tinyxml tinyxmlerror tinyxmlparser tinystr; do
    "${CROSS}g++-posix" "${flags[@]}" -c "$src/$f.cpp" -o "$src/obj/$f.o" &
    pids+=($!)
  done
  for f in "${pids[@]}"; do wait "$f" || die "TinyXML compile failed"; done
  "${CROSS}ar" rcs "$stage/lib/libtinyxml.a" "$src"/obj/*.o
  cp "$src/tinyxml.h" "$src/tinystr.h" "$stage/include/"
}

# Makes sure one package is built; prints its folder. Tries the newest source
# version first and falls back to older ones an archive no longer serves.
ensure() {  # package builder [key]
  local pkg=$1 builder=$2 key=${3:+-$3} ver dir stage src
  trap cleanup EXIT
  for ver in $(source_versions "$pkg"); do
    dir=$ROOT/$(echo "$pkg-$ver$key-gcc-$CC_VER-r$RECIPE" | tr ':/' '__')
    if [ -f "$dir/.complete" ]; then
      echo "$dir"; return 0
    fi
    WORK=$(mktemp -d "${TMPDIR:-/tmp}/tlx-mingw-deps.XXXXXX")
    if ! (cd "$WORK" && apt-get source -qq "$pkg=$ver" >"$WORK/fetch.log" 2>&1); then
      log "$pkg $ver: source not available, trying an older one"
      rm -rf "$WORK"; WORK=
      continue
    fi
    src=$(find "$WORK" -mindepth 1 -maxdepth 1 -type d -name "$pkg-*" | head -n1)
    stage=$ROOT/.stage-$pkg-$$
    rm -rf "$stage"
    "$builder" "$src" "$stage"
    touch "$stage/.complete"
    rm -rf "$dir"
    mv "$stage" "$dir"
    rm -rf "$WORK"; WORK=
    echo "$dir"; return 0
  done
  die "no source version of $pkg could be fetched"
}

main() {
  ROOT=$(cache_root)
  mkdir -p "$ROOT"
  CC_VER=$("${CROSS}gcc-posix" -dumpfullversion)-$(dpkg-query -W -f='${Version}' gcc-mingw-w64-x86-64-posix 2>/dev/null || echo unknown)

  # One builder at a time per cache; the others wait and reuse its result.
  exec 9>"$ROOT/.lock"
  flock 9

  local ossl txml out ossl_name txml_name
  txml=$(ensure tinyxml build_tinyxml "t$TXML_KEY")
  ossl=$(ensure openssl build_openssl "o$OSSL_KEY")
  local tail=-gcc-$CC_VER-r$RECIPE
  ossl_name=$(basename "$ossl"); txml_name=$(basename "$txml")
  out=$ROOT/win64-${ossl_name%"$tail"}-${txml_name%"$tail"}$tail
  if [ ! -f "$out/.complete" ]; then
    rm -rf "$out"
    mkdir -p "$out/lib" "$out/include"
    cp -al "$ossl/include/openssl" "$out/include/"
    cp -al "$ossl"/lib/*.a "$txml"/lib/*.a "$out/lib/"
    cp -al "$txml"/include/* "$out/include/"
    touch "$out/.complete"
  fi
  for f in lib/libssl.a lib/libcrypto.a lib/libtinyxml.a include/openssl/ssl.h include/tinyxml.h; do
    [ -f "$out/$f" ] || die "missing $f in $out"
  done
  echo "$out"
}

main "$@"
