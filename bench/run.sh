#!/usr/bin/env bash
# Builds the bridge, its two bench-only variants, the simulated libraries and the benchmark (a
# 64-bit and an i386 build), runs every case on the 64-bit JVM, the 32-bit JVM and hosted, and
# writes the report into docs/performance.md and docs/performance.svg.
#
#   bench/run.sh [--quick] [--runs N] [--build DIR] [--build32 DIR] [--no-build] [--no-docs]
#                [--cases=a,b]
#
#   --quick     15 rounds of 10 ms per entry (about 2 minutes once built); default 40 of 20 ms
#   --runs N    run the whole set N times and pool the rounds (default 1)
#   --build DIR default build/bench; --build32 DIR default DIR-i386 (built with -m32)
#   --no-build  measure what the build directories hold
#   --no-docs   leave docs/ alone; the report stays in <build>/bench/report
#   --cases=    only these cases (write writeBlock read16 read4096 readInto poke request threads
#               hosted)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/bench
build32=
quick=0 runs=1 docs=1 cases= make=1
while [ $# -gt 0 ]; do
  case $1 in
    --quick) quick=1 ;;
    --runs) runs=$2; shift ;;
    --build) build=$2; shift ;;
    --build32) build32=$2; shift ;;
    --no-build) make=0 ;;
    --no-docs) docs=0 ;;
    --cases=*) cases=${1#--cases=} ;;
    *) echo "run.sh: unknown argument $1" >&2; exit 2 ;;
  esac
  shift
done
build32=${build32:-$build-i386}
java32=/usr/lib/jvm/java-17-openjdk-i386/bin/java
if [ $quick = 1 ]; then settings=(--rounds=15 --slice-ms=10 --cap-s=15); else
  settings=(--rounds=40 --slice-ms=20 --cap-s=40); fi
settings+=(--settle=0.20 ${cases:+--cases=$cases})
out=$build/bench/report
rm -rf "$out" && mkdir -p "$out"

make_build() { # DIR [cmake options]
  local dir=$1; shift
  [ $make = 1 ] || return 0
  echo "== Building in $dir"
  if ! { cmake -S "$root" -B "$dir" -DMORLANE_BENCH=ON -DMORLANE_TESTS=OFF "$@" &&
         cmake --build "$dir" --target morlane_benchmarks -j2; } >"$out/build-$(basename "$dir").log" 2>&1; then
    tail -30 "$out/build-$(basename "$dir").log" >&2
    echo "run.sh: the build in $dir failed" >&2
    exit 1
  fi
}
make_build "$build"
if [ -x "$java32" ]; then
  toolchain=$root/cmake/toolchain-linux-i386.cmake
  if [ -f "$toolchain" ]; then make_build "$build32" -DCMAKE_TOOLCHAIN_FILE="$toolchain"
  else make_build "$build32" -DCMAKE_CXX_FLAGS=-m32 -DMORLANE_HOST32=OFF; fi
  # JNA's i386 native part, unpacked beside the benchmark: installing it would remove the amd64 one.
  jna32=$build32/bench/jna
  if [ ! -f "$jna32/libjnidispatch.system.so" ]; then
    mkdir -p "$jna32" && (cd "$jna32" && apt-get download libjna-jni:i386 >/dev/null &&
      dpkg-deb -x libjna-jni_*_i386.deb deb && cp deb/usr/lib/i386-linux-gnu/jni/*.so .)
  fi
fi

# run LABEL ENV_FILE JAVA TSV [extra options]: one JVM, every case of that label.
run() {
  local label=$1 env=$2 java=$3 tsv=$4; shift 4
  (
    # shellcheck source=/dev/null
    . "$env"
    opts=(-Xms256m -Xmx256m -XX:+AlwaysPreTouch -Dbench.sim="$BENCH_SIM" -cp "$BENCH_CP"
          ${JNA_DIR:+-Djava.library.path=$JNA_DIR -Djna.nosys=false})
    if "$java" --enable-native-access=ALL-UNNAMED -version >/dev/null 2>&1; then
      opts+=(--enable-native-access=ALL-UNNAMED)
    fi
    export LD_LIBRARY_PATH=${SIM_PATH:-$BENCH_SIM}
    [ -z "${SIMCTL_STATE:-}" ] || export MORLANE_SIMCTL_STATE=$SIMCTL_STATE
    "$java" "${opts[@]}" lathwork.bench.Bench \
      --label="$label" --out="$tsv" --cp="$BENCH_LOADER_CP" --ffm="$BENCH_DIR/ffm" \
      --simctl="$BENCH_SIM/libsimctl.so" --bridge="$BENCH_LIB/libmorlane.so" "$@" \
      "${settings[@]}" >>"$out/stdout.log"
  )
}
start=$SECONDS
. "$build/bench/bench.env"
java64=${BENCH_FFM_JAVA:+$BENCH_FFM_JAVA/bin/java}
java64=${java64:-$BENCH_JAVA}
variants=(--floor="$BENCH_DIR/floor/libmorlane.so" --unguarded="$BENCH_DIR/unguarded/libmorlane.so")
tsvs=()
for r in $(seq "$runs"); do
  echo "== Run $r of $runs: 64-bit JVM ($java64)"
  run 64-bit "$build/bench/bench.env" "$java64" "$out/64-$r.tsv" "${variants[@]}"
  tsvs+=("$out/64-$r.tsv")
  if [ -x "$java32" ]; then
    echo "== Run $r of $runs: 32-bit JVM ($java32)"
    . "$build32/bench/bench.env"
    JNA_DIR=$build32/bench/jna run 32-bit "$build32/bench/bench.env" "$java32" "$out/32-$r.tsv" \
      --floor="$BENCH_DIR/floor/libmorlane.so" --unguarded="$BENCH_DIR/unguarded/libmorlane.so"
    tsvs+=("$out/32-$r.tsv")
  else
    echo "== 32-bit JVM: skipped, $java32 is not installed"
  fi
  . "$build/bench/bench.env"
  if [ -x "$BENCH_LIB/morlane-host32" ] && [ -d "$BENCH_SIM32" ]; then
    echo "== Run $r of $runs: hosted (64-bit JVM, 32-bit libraries in morlane-host32)"
    # The JVM's simctl and the host's share one state, so the journal can be switched off.
    SIMCTL_STATE=$out/simctl-state SIM_PATH=$BENCH_SIM32 run hosted "$build/bench/bench.env" "$BENCH_JAVA" "$out/hosted-$r.tsv"
    tsvs+=("$out/hosted-$r.tsv")
  else
    echo "== Hosted: skipped, this build has no lib/morlane-host32 and sim32/"
  fi
done
echo "== Measured in $((SECONDS - start)) s"
unexpected=$(grep -cv '^in DLL: Read error$' "$out/stdout.log" || true)
if [ "$unexpected" != 0 ]; then
  echo "run.sh: FAILED: unexpected native output, see $out/stdout.log" >&2
  exit 3
fi

"$BENCH_JAVA" -cp "$BENCH_CP" lathwork.bench.Report "$out/report.md" "$out/chart.dat" "${tsvs[@]}"
gnuplot -e "data='$out/chart.dat'; out='$out/performance.svg'" "$root/bench/chart.gp"
{
  echo "Measured $(date -u +%Y-%m-%d) with \`bench/run.sh$([ $quick = 0 ] || echo " --quick")\`, $runs run(s), at commit"
  echo "$(git -C "$root" describe --always --dirty); $BENCH_COMPILER; $(nproc) CPUs, $(lscpu |
    sed -n 's/^Model name:[[:space:]]*//p'); load average before: $(cut -d' ' -f1-3 /proc/loadavg)."
  cat "$out/report.md"
} >"$out/results.md"
cat "$out/results.md"
if [ $docs = 1 ]; then
  # The generated part of performance.md sits between two markers; the text around it is kept.
  page=$root/docs/performance.md
  awk -v f="$out/results.md" '
    /^<!-- bench\/run.sh: begin -->$/ { print; while ((getline l < f) > 0) print l; skip = 1; next }
    /^<!-- bench\/run.sh: end -->$/ { skip = 0 }
    !skip { print }' "$page" >"$page.new" && mv "$page.new" "$page"
  cp "$out/performance.svg" "$root/docs/performance.svg"
  echo "== Written: $page, docs/performance.svg"
fi
