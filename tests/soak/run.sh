#!/usr/bin/env bash
# The long run (not part of ctest): a million mixed calls through the bridge against the simulated
# libraries in one JVM, showing resident memory before the first call, every 100,000 calls and at
# the end. Fails if memory grows by more than 4 MB from the first 100,000 calls to the end, if a
# value reads back wrong, or if the bridge's diagnostic lines are not exactly the expected ones.
#
#   bash tests/soak/run.sh [calls]        (default 1000000; about a minute on one core)
#
# Uses the build in $MORLANE_BUILD_DIR (default build/linux), building what it needs first.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${MORLANE_BUILD_DIR:-$root/build/linux}
calls=${1:-1000000}

[ -f "$build/CMakeCache.txt" ] || cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" --target morlane sim_cvdll1rz1 sim_cvdalib >/dev/null

work="$build/soak"
jar=$(ls "$build"/java/brenmoor-*[0-9].jar)
rm -rf "$work"
mkdir -p "$work/classes"
javac --release 17 -encoding UTF-8 -Xlint:all -Werror -cp "$jar" \
  -d "$work/classes" "$root/tests/soak/lathwork/soak/Soak.java"

# A fixed, pre-touched heap: the Java heap is resident from the start, so what grows later is the
# native side. The bridge's lines go to a file; the figures (stderr) to the terminal.
export LD_LIBRARY_PATH="$build/sim${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
java -Xms64m -Xmx64m -XX:+AlwaysPreTouch -Djava.library.path="$build/lib" \
  -cp "$jar:$work/classes" lathwork.soak.Soak "$calls" \
  2>&1 >"$work/native-stdout.txt" | tee "$work/figures.txt"

expected=$(sed -n 's/^expected diagnostic lines: //p' "$work/figures.txt")
written=$(grep -c '^in DLL: ' "$work/native-stdout.txt" || true)
others=$(grep -vc '^in DLL: ' "$work/native-stdout.txt" || true)
echo "diagnostic lines written: $written (expected $expected), other native output: $others lines"
if [ "$written" != "$expected" ] || [ "$others" != 0 ]; then
  echo "FAILED: the bridge's output is not what the calls call for" >&2
  exit 1
fi
