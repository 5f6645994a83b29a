#!/usr/bin/env bash
# The main job: installs what is needed, builds the Windows programs (the
# product: build/release-win64/vantorelle_tunlex.exe and
# build/release-win64/service/vantorelle_tunlex_service.exe) and the Linux
# build, then runs the whole system on Linux inside network namespaces made
# for this run: the test gateway, the route service and the client connect,
# the client's adapter gets its address, routes and DNS, pings and a transfer
# cross the tunnel, and the client disconnects and restores the routes. The
# programs' logs are kept in build/run-logs. Needs root (namespaces).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
JOBS=${TLX_JOBS:-8}

bash scripts/install-deps.sh
DEPS=$(bash scripts/build-mingw-deps.sh)

echo "== Windows programs"
cmake -S . -B build/release-win64 -G Ninja -DCMAKE_BUILD_TYPE=Release -DTLX_BUILD_TESTS=OFF \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64.cmake" -DTLX_MINGW_DEPS="$DEPS" >/dev/null
cmake --build build/release-win64 -j"$JOBS" --target vantorelle_tunlex vantorelle_tunlex_service
ls -l build/release-win64/vantorelle_tunlex.exe build/release-win64/service/vantorelle_tunlex_service.exe

echo "== Linux programs"
cmake -S . -B build/release-linux -G Ninja -DCMAKE_BUILD_TYPE=Release -DTLX_BUILD_TESTS=OFF >/dev/null
cmake --build build/release-linux -j"$JOBS" --target vantorelle_tunlex vantorelle_tunlex_service tlx_gateway

echo "== The tunnel, end to end"
rm -rf build/run-logs
TLX_E2E_LOGS=$PWD/build/run-logs bash scripts/e2e-test.sh build/release-linux
echo "Logs: build/run-logs"
