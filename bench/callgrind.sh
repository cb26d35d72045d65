#!/usr/bin/env bash
# Instructions per call (callgrind) of the three short operations, counted only inside the
# bridge's exported function and what it calls: the bridge's own code (in libmorlane.so) and the
# whole call (with dlsym, the JVM's JNI functions and the simulated library). Counts repeat
# exactly on a busy machine, unlike times: use them to judge every change to the call path, by
# running this on a build of each side.
#
#   bench/callgrind.sh BUILD_DIR [CALLS]   (a build made by bench/run.sh, 64-bit or i386)
set -euo pipefail
build=$(cd "${1:?usage: bench/callgrind.sh BUILD_DIR [CALLS]}" && pwd)
calls=${2:-5000}
. "$build/bench/bench.env"
java=$BENCH_JAVA jna=
if file -L "$build/lib/libmorlane.so" | grep -q 32-bit; then
  java=/usr/lib/jvm/java-17-openjdk-i386/bin/java jna=:$build/bench/jna # as bench/run.sh
fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
echo "| Operation ($(file -bL "$build/lib/libmorlane.so" | cut -d, -f2 | xargs)) |" \
  "bridge's own | whole call |"
echo "|---|---:|---:|"
for op in write:regWrite__IIII read16:regRead__IIII request:cvRequest; do
  for dir in "$build/lib"; do
    # -Xint: no compiler threads; only the exported function is counted anyway.
    LD_LIBRARY_PATH=$BENCH_SIM valgrind --tool=callgrind --callgrind-out-file="$tmp/out" \
      --toggle-collect="Java_lathwork_Brenmoor_${op#*:}" "$java" -Xint -Djna.nosys=false \
      -Djava.library.path="$dir$jna" -Dbench.sim="$BENCH_SIM" \
      -cp "$BENCH_LOADER_CP:$BENCH_CP" lathwork.bench.Contender "${op%%:*}" "$calls" \
      >"$tmp/log" 2>&1 || { cat "$tmp/log" >&2; exit 1; }
    # Self cost per object; the cost line after a calls= line is the callee's inclusive cost.
    read -r o a < <(awk -v calls="$calls" '
      function id(field) { sub(/^[a-z]+=\(/, "", field); sub(/\).*/, "", field); return field }
      /^c?ob=\(/ { if (NF > 1) name[id($1)] = $2; if ($1 ~ /^ob/) ob = id($1) }
      /^calls=/ { inclusive = 1; next }
      /^[0-9+*-]/ {
        if (!inclusive) { all += $2; if (name[ob] ~ /libmorlane\.so$/) own += $2 }
        inclusive = 0
      }
      END { printf "%.0f %.0f\n", own / calls, all / calls }' "$tmp/out")
    echo "| ${op%%:*} | $o | $a |"
  done
done
