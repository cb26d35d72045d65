#!/usr/bin/env bash
# The whole test suite: the Linux build (native and JVM tests), then the 32-bit Windows build under
# Wine. Installs what is missing first, so it runs as is on a fresh Debian 12 machine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${MORLANE_BUILD_DIR:-$root/build/linux}
jobs=$(nproc)
# step: each step announced with the time since the start, its duration reported, and a line
# every 20 s while it runs.
. "$root/scripts/steps.sh"

step "packages needed (scripts/install-deps.sh)" bash "$root/scripts/install-deps.sh"

mkdir -p "$build"
step "Linux x86-64: configure" quietly "$build/configure.log" \
  cmake -S "$root" -B "$build" -DMORLANE_TESTS=ON
step "Linux x86-64: build" cmake --build "$build" -j"$jobs"
step "Linux x86-64: native and JVM suites (ctest)" \
  ctest --test-dir "$build" --output-on-failure -j"$jobs"
step "Linux x86-64: release archive unpacked alone, its example run" \
  env MORLANE_BUILD_DIR="$build" bash "$root/scripts/check-archive.sh"

step "Reliability: sanitizers, valgrind, fuzzing" \
  env MORLANE_BUILD_DIR="$build" bash "$root/scripts/check-reliability.sh"

step "Linux i386: build and test on the 32-bit JVM" bash "$root/scripts/test-i386.sh"

if [ -f "$root/scripts/test-windows.sh" ]; then
  step "Windows (under Wine): build and test" bash "$root/scripts/test-windows.sh"
fi
echo "test: all passed in $(steps_clock)"
