#!/usr/bin/env bash
# The 32-bit Windows flavour: cross-builds the bridge, the simulated libraries and the Windows
# tests with MinGW-w64 for i686, then runs them under Wine with ctest. Works on a fresh Debian 12
# machine: the missing packages are installed first.
#
#   MORLANE_WIN32_BUILD_DIR   build directory (default: build/win32); the Wine prefix lives in it
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${MORLANE_WIN32_BUILD_DIR:-$root/build/win32}
jobs=$(nproc)

bash "$root/scripts/install-deps.sh"

# The tests set their own Wine environment; this only keeps stray Wine calls quiet.
export WINEDEBUG=-all

SECONDS=0
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-i686.cmake" \
  -DMORLANE_TESTS=ON >/dev/null
cmake --build "$build" -j"$jobs"
built=$SECONDS
ctest --test-dir "$build" --output-on-failure -j"$jobs"
echo "test-windows: build ${built} s, tests $((SECONDS - built)) s"
