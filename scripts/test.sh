#!/usr/bin/env bash
# The whole test suite: the Linux build (native and JVM tests), then the 32-bit Windows build under
# Wine. Installs what is missing first, so it runs as is on a fresh Debian 12 machine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${MORLANE_BUILD_DIR:-$root/build/linux}
jobs=$(nproc)

bash "$root/scripts/install-deps.sh"

echo "== Linux x86-64: build and test =="
cmake -S "$root" -B "$build" -DMORLANE_TESTS=ON >/dev/null
cmake --build "$build" -j"$jobs"
ctest --test-dir "$build" --output-on-failure -j"$jobs"

echo "== Reliability: sanitizers, valgrind, fuzzing =="
MORLANE_BUILD_DIR="$build" bash "$root/scripts/check-reliability.sh"

echo "== Linux i386: build and test on the 32-bit JVM =="
bash "$root/scripts/test-i386.sh"

if [ -f "$root/scripts/test-windows.sh" ]; then
  echo "== Windows i686 (under Wine): build and test =="
  bash "$root/scripts/test-windows.sh"
fi
