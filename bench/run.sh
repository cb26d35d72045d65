#!/usr/bin/env bash
# Builds the bridge, the simulated libraries and the benchmark, runs it, prints the table, and
# (full run) writes it into docs/performance.md with the chart docs/performance.svg.
#
#   bench/run.sh [--quick] [--build DIR] [--ffm-jdk DIR|none] [--docs DIR] [harness options...]
#
#   --quick        1 fork and short iterations per figure (about 1.5 minutes); the results stay in
#                  the build directory and docs/ is left alone
#   --build DIR    build directory (default: <repo>/build-bench, or $MORLANE_BENCH_BUILD_DIR)
#   --ffm-jdk DIR  JDK 22+ for the FFM contender; "none" leaves FFM out; default: probed
#   --docs DIR     where a full run writes performance.md and performance.svg (default: <repo>/docs)
#   harness options, passed on: --forks=N --warmup=N --iters=N --iter-ms=N
#                  --contenders=MorlaneContender,JnaDirect,JnaInterface,Floor,Ffm
#                  --ops=REG_WRITE_1,REG_READ_16,... (names in bench/java/lathwork/bench/Operation.java)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${MORLANE_BENCH_BUILD_DIR:-$root/build-bench}
docs=$root/docs
quick=0
ffm_jdk=
passed=()
while [ $# -gt 0 ]; do
  case $1 in
    --quick) quick=1 ;;
    --build) build=$2; shift ;;
    --ffm-jdk) ffm_jdk=$2; shift ;;
    --docs) docs=$2; shift ;;
    --*=*) passed+=("$1") ;;
    *) echo "run.sh: unknown argument $1" >&2; exit 2 ;;
  esac
  shift
done

for tool in cmake gnuplot lscpu; do
  command -v "$tool" >/dev/null || { echo "run.sh: $tool is missing" >&2; exit 1; }
done

echo "== Building (bridge, simulated libraries, benchmark) in $build"
cmake -S "$root" -B "$build" -DMORLANE_BENCH=ON -DMORLANE_TESTS=OFF \
  -DMORLANE_BENCH_FFM_JDK="$ffm_jdk" >/dev/null
if [ ! -f "$build/bench/bench.env" ]; then
  cat >&2 <<EOF
run.sh: the top-level CMakeLists.txt does not include bench/. It needs:
  option(MORLANE_BENCH "Build the benchmarks (bench/run.sh); not part of the default build" OFF)
  if(MORLANE_BENCH)
    add_subdirectory(bench)
  endif()
EOF
  exit 1
fi
cmake --build "$build" --target morlane_benchmarks -j"$(nproc)"
# shellcheck source=/dev/null
. "$build/bench/bench.env"

model=$(lscpu | sed -n 's/^Model name:[[:space:]]*//p' | head -n1)
cores=$(lscpu | sed -n 's/^Core(s) per socket:[[:space:]]*//p' | head -n1)
sockets=$(lscpu | sed -n 's/^Socket(s):[[:space:]]*//p' | head -n1)
threads=$(lscpu | sed -n 's/^Thread(s) per core:[[:space:]]*//p' | head -n1)
hypervisor=$(lscpu | sed -n 's/^Hypervisor vendor:[[:space:]]*//p' | head -n1)
machine="$model, $((cores * sockets)) cores × $threads thread(s), $(nproc) CPUs online"
machine+=", Linux $(uname -r)${hypervisor:+, $hypervisor guest}"
# The bridge's sources may be reached through links (a scratch copy); ask git where they live.
commit=$(git -C "$(cd "$root/frame" && pwd -P)" describe --always --dirty 2>/dev/null || echo unknown)

if [ $quick = 1 ]; then
  out=$build/bench/quick
  settings=(--forks=1 --warmup=3 --max-warmup=10 --iters=3 --iter-ms=50 --mode=--quick)
else
  out=$build/bench/results
  settings=(--forks=3 --warmup=4 --max-warmup=20 --iters=5 --iter-ms=80)
fi
rm -rf "$out"
mkdir -p "$out"
chart=$out/performance.svg
sim_env=(env "LD_LIBRARY_PATH=$BENCH_SIM_DIR${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}")

if [ $quick = 0 ]; then
  echo "== The per-call lookup alone"
  "${sim_env[@]}" "$BENCH_LOOKUP_PROBE" | tee "$out/lookup.md"

  # The contenders once more taking turns in one JVM, so that a slow phase of the machine hits
  # all of them alike (see Paired.java); the harness puts these ratios next to its own.
  echo "== Cross-check in one JVM (morlane, floor, JNA direct taking turns)"
  ops=REG_WRITE_1,REG_READ_1,REG_READ_16,REG_READ_256,REG_READ_4096,REG_READ_INTO_16
  ops+=,REG_WRITE_256,CV_POKE,CV_REQUEST_16,CV_REQUEST_4095
  "${sim_env[@]}" "$BENCH_JAVA" -Xms128m -Xmx128m -XX:+AlwaysPreTouch \
    -Djava.library.path="$BENCH_LIBRARY_PATH" -Dlathwork.bench.sim="$BENCH_SIM_DIR" \
    -Djna.encoding=UTF-8 -cp "$BENCH_CLASSPATH" lathwork.bench.Paired \
    --classpath="$BENCH_CLASSPATH" --entries=morlane=MorlaneContender,floor=Floor,"JNA direct"=JnaDirect \
    --ops="$ops" --rounds=30 --slice-ms=20 --warmup-ms=1500 \
    --markdown="$out/paired.md" --tsv="$out/paired.tsv" | grep -v '^in DLL: '
fi

echo "== Forks (progress on stderr; ${BENCH_FFM_NOTE:-FFM on $BENCH_FFM_JAVA})"
"$BENCH_JAVA" -cp "$BENCH_CLASSPATH" lathwork.bench.Harness \
  --java="$BENCH_JAVA" --ffm-java="$BENCH_FFM_JAVA" --ffm-cp="$BENCH_FFM_CLASSES" \
  --cp="$BENCH_CLASSPATH" --lib="$BENCH_LIBRARY_PATH" --sim="$BENCH_SIM_DIR" \
  --machine="$machine" --build-info="$BENCH_BUILD_INFO" --jna="$BENCH_JNA_VERSION" \
  --commit="$commit" --paired="$out/paired.tsv" \
  --out="$out" --chart="$chart" "${settings[@]}" "${passed[@]}"
gnuplot "$out/chart.gp"

if [ $quick = 1 ]; then
  echo "== Quick run: $out/results.md, $chart (docs/ unchanged)"
  exit 0
fi

jdk=$("$BENCH_JAVA" -XshowSettings:properties -version 2>&1 | sed -n 's/^ *java.runtime.version = //p')
{
  printf '\n### The per-call lookup\n\n'
  cat "$out/lookup.md"
  printf '\n### Cross-check: contenders taking turns in one JVM (JDK %s)\n\n' "$jdk"
  printf 'Each entry runs 30 slices of 20 ms, in turn with the others, after 1.5 s of joint '
  printf 'warm-up; median ns per operation, in brackets the median of the per-round ratios to '
  printf 'morlane.\n\n'
  cat "$out/paired.md"
} >>"$out/results.md"

# The generated part of performance.md sits between two markers; the text around it is kept.
mkdir -p "$docs"
page=$docs/performance.md
begin='<!-- bench/run.sh results: begin -->'
end='<!-- bench/run.sh results: end -->'
if [ ! -f "$page" ] || ! grep -qF "$begin" "$page"; then
  printf '# Performance\n\n%s\n%s\n' "$begin" "$end" >>"$page"
fi
awk -v b="$begin" -v e="$end" -v f="$out/results.md" '
  $0 == b { print; while ((getline l < f) > 0) print l; skip = 1; next }
  $0 == e { skip = 0 }
  !skip { print }' "$page" >"$page.new"
mv "$page.new" "$page"
cp "$chart" "$docs/performance.svg"
echo "== Written: $page, $docs/performance.svg"
