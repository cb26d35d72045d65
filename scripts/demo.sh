#!/usr/bin/env bash
# Builds the bridge and the simulated outside libraries, then runs the demo session against them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${MORLANE_BUILD_DIR:-$root/build/linux}

bash "$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DMORLANE_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null

# The bridge finds the outside libraries by bare file name through the library path, just as it
# would find the real ones on Windows. stdbuf makes the bridge's lines appear next to the step
# that caused them even when the output is a pipe.
export LD_LIBRARY_PATH="$build/sim${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
exec stdbuf -oL java -Djava.library.path="$build/lib" \
  -cp "$build/java/brenmoor.jar:$build/demo/classes" lathwork.demo.BrenmoorDemo
