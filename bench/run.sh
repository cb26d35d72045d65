#!/usr/bin/env bash
# Builds the bridge, its two bench-only variants, the simulated libraries and the benchmark (a
# 64-bit and an i386 build), measures on the 64-bit JVM, the 32-bit JVM and hosted, and writes
# the report into docs/performance.md and docs/performance.svg.
#
#   bench/run.sh [--quick] [--runs N] [--callgrind] [--build DIR] [--build32 DIR] [--no-build]
#                [--no-docs] [--cases=a,b]
#
#   --quick     15 rounds of 10 ms per entry (about 2 minutes once built); default 40 of 20 ms
#   --runs N    the whole set N times, rounds pooled (default 1)
#   --callgrind also the instruction counts of bench/callgrind.sh (about 10 minutes more)
#   --build DIR default build/bench; --build32 DIR default DIR-i386
#   --no-build  measure what the build directories hold
#   --no-docs   leave docs/ alone; the report stays in <build>/bench/report
#   --cases=    only these: write writeBlock read16 read4096 readInto poke request threads hosted
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/bench build32= quick=0 runs=1 docs=1 make=1 cases= callgrind=0
while [ $# -gt 0 ]; do
  case $1 in
    --quick) quick=1 ;;
    --runs) runs=$2; shift ;;
    --callgrind) callgrind=1 ;;
    --build) build=$(realpath -m "$2"); shift ;;
    --build32) build32=$(realpath -m "$2"); shift ;;
    --no-build) make=0 ;;
    --no-docs) docs=0 ;;
    --cases=*) cases=${1#--cases=} ;;
    *) echo "run.sh: unknown argument $1" >&2; exit 2 ;;
  esac
  shift
done
build32=${build32:-$build-i386}
java32=/usr/lib/jvm/java-17-openjdk-i386/bin/java
settings=(--rounds=40 --slice-ms=20 --cap-s=40 --settle=0.2 ${cases:+--cases=$cases})
[ $quick = 0 ] || settings=(--rounds=15 --slice-ms=10 --cap-s=15 "${settings[@]:3}")
out=$build/bench/report
rm -rf "$out" && mkdir -p "$out"

make_build() { # DIR [cmake options]
  local dir=$1 log=$out/build-$(basename "$1").log
  shift
  [ $make = 1 ] || return 0
  echo "== Building in $dir"
  if ! { cmake -S "$root" -B "$dir" -DMORLANE_BENCH=ON -DMORLANE_TESTS=OFF "$@" &&
         cmake --build "$dir" --target morlane_benchmarks -j2; } >"$log" 2>&1; then
    tail -30 "$log" >&2
    echo "run.sh: the build in $dir failed" >&2
    exit 1
  fi
}
make_build "$build"
if [ -x "$java32" ]; then
  make_build "$build32" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-linux-i386.cmake"
  # JNA's i386 native part beside the benchmark: installing it would remove the amd64 one.
  if [ ! -f "$build32/bench/jna/libjnidispatch.system.so" ]; then
    mkdir -p "$build32/bench/jna" && (cd "$build32/bench/jna" &&
      apt-get download libjna-jni:i386 >/dev/null && dpkg-deb -x libjna-jni_*_i386.deb deb &&
      cp deb/usr/lib/i386-linux-gnu/jni/*.so .)
  fi
fi

# run LABEL BUILD JAVA [options]: one JVM, every case of that label, per-round lines to a file.
run() {
  local label=$1 dir=$2 java=$3
  shift 3
  (
    # shellcheck source=/dev/null
    . "$dir/bench/bench.env"
    opts=(-Xms256m -Xmx256m -XX:+AlwaysPreTouch -Dbench.sim="$BENCH_SIM" -cp "$BENCH_CP")
    if [ "$dir" = "$build32" ]; then
      opts+=(-Djava.library.path="$dir/bench/jna" -Djna.nosys=false)
    fi
    if "$java" --enable-native-access=ALL-UNNAMED -version >/dev/null 2>&1; then
      opts+=(--enable-native-access=ALL-UNNAMED)
    fi
    export LD_LIBRARY_PATH=$BENCH_SIM
    if [ "$label" = hosted ]; then
      # Only 32-bit libraries on the path: the bridge hosts them. The JVM's simctl and the
      # host's share one state, so the journal can be switched off from here.
      export LD_LIBRARY_PATH=$BENCH_SIM32 MORLANE_SIMCTL_STATE=$out/simctl-state
    else
      mkdir -p "$out/copy-$label" && cp "$BENCH_LIB/libmorlane.so" "$out/copy-$label/"
      set -- --floor="$BENCH_DIR/floor/libmorlane.so" --ffm="$BENCH_DIR/ffm" \
        --unguarded="$BENCH_DIR/unguarded/libmorlane.so" \
        --copy="$out/copy-$label/libmorlane.so" "$@"
    fi
    "$java" "${opts[@]}" lathwork.bench.Bench --label="$label" --out="$out/$label-$r.tsv" \
      --cp="$BENCH_LOADER_CP" --simctl="$BENCH_SIM/libsimctl.so" \
      --bridge="$BENCH_LIB/libmorlane.so" "$@" "${settings[@]}" >>"$out/stdout.log"
  )
}
. "$build/bench/bench.env"
java64=${BENCH_FFM_JAVA:+$BENCH_FFM_JAVA/bin/java}
load=$(cut -d' ' -f1-3 /proc/loadavg)
start=$SECONDS
for r in $(seq "$runs"); do
  echo "== Run $r of $runs: 64-bit JVM (${java64:=$BENCH_JAVA})"
  run 64-bit "$build" "$java64"
  if [ -x "$java32" ]; then
    echo "== Run $r of $runs: 32-bit JVM ($java32)"
    run 32-bit "$build32" "$java32"
  else
    echo "== 32-bit JVM: skipped, $java32 is not installed"
  fi
  if [ -x "$BENCH_LIB/morlane-host32" ] && [ -d "$BENCH_SIM32" ]; then
    echo "== Run $r of $runs: hosted (64-bit JVM, 32-bit libraries in morlane-host32)"
    run hosted "$build" "$BENCH_JAVA"
  else
    echo "== Hosted: skipped, this build has no lib/morlane-host32 and sim32/"
  fi
done
echo "== Measured in $((SECONDS - start)) s"
# The only line expected: each contender's check of a failed request, once.
if grep -v '^in DLL: Read error$' "$out/stdout.log"; then
  echo "run.sh: FAILED: unexpected native output above ($out/stdout.log)" >&2
  exit 3
fi

"$BENCH_JAVA" -cp "$BENCH_CP" lathwork.bench.Report "$out/report.md" "$out/chart.dat" "$out"/*.tsv
gnuplot -e "data='$out/chart.dat'; out='$out/performance.svg'" "$root/bench/chart.gp"
commit=$(git -C "$root" describe --always --dirty 2>/dev/null || echo "${MORLANE_COMMIT:-?}")
{
  echo "Measured $(date -u '+%Y-%m-%d %H:%M') UTC with \`bench/run.sh$([ $quick = 0 ] ||
    echo ' --quick')\`, $runs run(s) pooled, bridge at commit $commit; $BENCH_COMPILER;"
  echo "$(nproc) CPUs ($(lscpu | sed -n 's/^Model name:[[:space:]]*//p')), load average $load."
  cat "$out/report.md"
} >"$out/results.md"
cat "$out/results.md"
if [ $callgrind = 1 ]; then
  echo "== Instructions per call (callgrind)"
  {
    echo "Counted $(date -u '+%Y-%m-%d %H:%M') UTC, bridge at commit $commit."
    for dir in "$build" "$build32"; do
      if [ -f "$dir/bench/bench.env" ]; then echo; "$root/bench/callgrind.sh" "$dir"; fi
    done
  } >"$out/callgrind.md"
  cat "$out/callgrind.md"
fi
# fill NAME FILE: the text between the two NAME markers in performance.md becomes FILE.
fill() {
  local page=$root/docs/performance.md
  awk -v b="<!-- $1: begin -->" -v e="<!-- $1: end -->" -v f="$2" '
    $0 == b { print; while ((getline l < f) > 0) print l; skip = 1; next }
    $0 == e { skip = 0 }
    !skip { print }' "$page" >"$page.new" && mv "$page.new" "$page"
}
if [ $docs = 1 ]; then
  fill bench/run.sh "$out/results.md"
  [ $callgrind = 0 ] || fill callgrind "$out/callgrind.md"
  cp "$out/performance.svg" "$root/docs/performance.svg"
  echo "== Written: docs/performance.md, docs/performance.svg"
fi
