#!/usr/bin/env bash
# Builds the bridge, the simulated libraries and the benchmark (64-bit
# and i386), measures on the 64-bit JVM, the 32-bit JVM and hosted, and writes the report into
# bench/results.md.
#
#   bench/run.sh [--quick] [--runs N] [--callgrind] [--build DIR] [--no-docs] [--cases=a,b]
#
#   --quick      15 rounds of 10 ms per entry (about 2 minutes once built); default 40 of 20 ms
#   --runs N     the whole set N times, rounds pooled
#   --callgrind  also the instruction counts of bench/callgrind.sh (about 10 minutes more)
#   --build DIR  default build/bench; the i386 build goes to DIR-i386
#   --no-docs    the report stays in DIR/bench/report, bench/results.md as it was
#   --cases=     only these: write writeBlock read16 read4096 readInto poke request threads hosted
#                (hosted: regRead of 16 and 4096 words, regWrite, cvRequest, 2 threads, the floor
#                mechanism beside them, then the CPU used once the calls stop)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/bench runs=1 docs=1 callgrind=0 opts=()
while [ $# -gt 0 ]; do
  case $1 in
    --quick | --cases=*) opts+=("$1") ;;
    --runs) runs=$2 && shift ;;
    --callgrind) callgrind=1 ;;
    --build) build=$(realpath -m "$2") && shift ;;
    --no-docs) docs=0 ;;
    *) echo "run.sh: unknown argument $1" >&2 && exit 2 ;;
  esac
  shift
done
build32=$build-i386 java32=/usr/lib/jvm/java-17-openjdk-i386/bin/java out=$build/bench/report
rm -rf "$out" && mkdir -p "$out"

make_build() { # DIR [cmake options]
  echo "== Building in $1"
  if ! { cmake -S "$root" -B "$1" -DMORLANE_BENCH=ON -DMORLANE_TESTS=OFF "${@:2}" &&
    cmake --build "$1" --target morlane_benchmarks -j2; } >"$out/build-${1##*/}.log" 2>&1; then
    tail -30 "$out/build-${1##*/}.log" >&2 && echo "run.sh: the build in $1 failed" >&2 && exit 1
  fi
}
make_build "$build"
[ -x "$java32" ] || echo "== No 32-bit JVM ($java32): no 32-bit table"
if [ -x "$java32" ]; then
  make_build "$build32" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-linux-i386.cmake"
  # JNA's i386 native part beside the benchmark: installing it would remove the amd64 one.
  if [ ! -f "$build32/bench/jna/libjnidispatch.system.so" ]; then
    mkdir -p "$build32/bench/jna" && (cd "$build32/bench/jna" &&
      apt-get download libjna-jni:i386 >/dev/null && dpkg-deb -x libjna-jni_*_i386.deb deb &&
      cp deb/usr/lib/i386-linux-gnu/jni/*.so .)
  fi
fi

run() { # LABEL BUILD JAVA: one JVM, every case of that label, per-round lines to a file
  echo "== Run $r of $runs: $1"
  (
    . "$2/bench/bench.env"
    export LD_LIBRARY_PATH=$BENCH_SIM
    # Hosted: only 32-bit libraries on the path, so the bridge hosts them. The JVM's simctl and
    # the host's share one state, so the journal can be switched off from here.
    # Beside it, the floor mechanism: a bare round trip through a mailbox to a 32-bit program.
    b=()
    [ "$1" != hosted ] || export LD_LIBRARY_PATH=$BENCH_SIM32 MORLANE_SIMCTL_STATE=$out/simctl
    [ "$1" != hosted ] || b=(--mailbox="${BENCH_MAILBOX:-}")
    j=(-Xms256m -Xmx256m -XX:+AlwaysPreTouch -Dbench.sim="$BENCH_SIM" -cp "$BENCH_CP")
    [ "$2" != "$build32" ] || j+=(-Djava.library.path="$2/bench/jna" -Djna.nosys=false)
    if "$3" --enable-native-access=ALL-UNNAMED -version >/dev/null 2>&1; then
      j+=(--enable-native-access=ALL-UNNAMED)
    fi
    "$3" "${j[@]}" lathwork.bench.Bench --label="$1" --out="$out/$1-$r.tsv" \
      --cp="$BENCH_LOADER_CP" --bridge="$BENCH_LIB/libmorlane.so" \
      "${b[@]}" "${opts[@]}" >>"$out/stdout.log"
  )
}
. "$build/bench/bench.env"
hosted=$([ -x "$BENCH_LIB/morlane-host32" ] && [ -d "$BENCH_SIM32" ] && echo 1 || true)
[ -n "$hosted" ] || echo "== No lib/morlane-host32 and sim32/ in $build: no hosted table"
load=$(cut -d' ' -f1-3 /proc/loadavg) start=$SECONDS
for r in $(seq "$runs"); do
  run 64-bit "$build" "${BENCH_FFM_JAVA:-$BENCH_JAVA}"
  [ ! -x "$java32" ] || run 32-bit "$build32" "$java32"
  [ -z "$hosted" ] || run hosted "$build" "$BENCH_JAVA"
done
echo "== Measured in $((SECONDS - start)) s"
# The only line expected: each contender's check of a failed request, once.
if grep -v '^in DLL: Read error$' "$out/stdout.log"; then
  echo "run.sh: FAILED: unexpected native output above ($out/stdout.log)" >&2 && exit 3
fi

"$BENCH_JAVA" -cp "$BENCH_CP" lathwork.bench.Report "$out/report.md" "$out"/*.tsv
commit=$(git -C "$root" describe --always --dirty 2>/dev/null || echo "${MORLANE_COMMIT:-?}")
{
  echo "Measured $(date -u '+%Y-%m-%d %H:%M') UTC with \`bench/run.sh${opts[*]:+ ${opts[*]}}\`," \
    "$runs run(s) pooled, bridge at commit $commit; $BENCH_COMPILER;"
  echo "$(nproc) CPUs ($(lscpu | sed -n 's/^Model name:[[:space:]]*//p')), load average $load."
  cat "$out/report.md"
} | tee "$out/results.md"
if [ $callgrind = 1 ]; then
  echo "== Instructions per call (callgrind)"
  {
    echo "Counted $(date -u '+%Y-%m-%d %H:%M') UTC, bridge at commit $commit."
    for dir in "$build" "$build32"; do
      [ ! -f "$dir/bench/bench.env" ] || { echo && "$root/bench/callgrind.sh" "$dir"; }
    done
  } | tee "$out/callgrind.md"
fi
fill() { # NAME FILE: the text between the two NAME markers in results.md becomes FILE
  awk -v b="<!-- $1: begin -->" -v e="<!-- $1: end -->" -v f="$2" '
    $0 == b { print; while ((getline l < f) > 0) print l; skip = 1; next }
    $0 == e { skip = 0 }
    !skip { print }' "$root/bench/results.md" >"$out/page.md"
  cp "$out/page.md" "$root/bench/results.md"
}
if [ $docs = 1 ]; then
  fill bench/run.sh "$out/results.md"
  [ $callgrind = 0 ] || fill callgrind "$out/callgrind.md"
  echo "== Written: bench/results.md"
fi
