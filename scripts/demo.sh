#!/usr/bin/env bash
# Builds the bridge and the simulated outside libraries, then runs the demo session against them.
# About 2 minutes from a clean tree on two cores (the 32-bit host build included), a few seconds
# once built. Each step is announced with the time since the start; build output goes to logs in
# the build directory and is shown when a step fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${MORLANE_BUILD_DIR:-$root/build/linux}
. "$root/scripts/steps.sh"

step "packages needed (scripts/install-deps.sh)" bash "$root/scripts/install-deps.sh"
mkdir -p "$build"
step "configure ($build)" quietly "$build/configure.log" \
  cmake -S "$root" -B "$build" -DMORLANE_TESTS=OFF
step "build the bridge, the simulated libraries and the demo" quietly "$build/build.log" \
  cmake --build "$build" -j"$(nproc)"

printf '\n[%s] demo session\n\n' "$(steps_clock)"
# The bridge finds the outside libraries by bare file name through the library path, just as it
# would find the real ones on Windows. stdbuf makes the bridge's lines appear next to the step
# that caused them even when the output is a pipe. The demo prints texts outside ASCII: the
# encoding options make Java write them as UTF-8 whatever the locale (sun.stdout.encoding up to
# JDK 18, stdout.encoding from JDK 19 on; each JDK ignores the other).
export LD_LIBRARY_PATH="$build/sim${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
jar=$(ls "$build"/java/brenmoor-*[0-9].jar)
exec stdbuf -oL java -Dsun.stdout.encoding=UTF-8 -Dstdout.encoding=UTF-8 \
  -Djava.library.path="$build/lib" -cp "$jar:$build/demo/classes" lathwork.demo.BrenmoorDemo
