#!/usr/bin/env bash
# Reliability checks, each in its own build directory:
#   asan      the native suite built with AddressSanitizer and UndefinedBehaviorSanitizer
#             (gcc, -DMORLANE_SANITIZE=ON), under ctest;
#   jvm-asan  the JUnit suite on a real JVM with that sanitized bridge inside it;
#   valgrind  the native suite of the normal build under valgrind, also once per missing entry;
#   fuzz      the libFuzzer target over the bridge (clang, sanitized) for $MORLANE_FUZZ_SECONDS
#             (default 60);
#   fuzz-host the libFuzzer target over the host process's receiving side, as long.
# With no arguments all five run, in that order; name some to run only those. The first failure
# stops the run. About six minutes on two cores from a clean tree.
#
# Build directories: $MORLANE_BUILD_DIR (default build/linux; the valgrind step reuses it),
# build/asan and build/fuzz next to it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${MORLANE_BUILD_DIR:-$root/build/linux}
asan_build=${MORLANE_ASAN_BUILD_DIR:-$(dirname "$build")/asan}
fuzz_build=${MORLANE_FUZZ_BUILD_DIR:-$(dirname "$build")/fuzz}
fuzz_seconds=${MORLANE_FUZZ_SECONDS:-60}
jobs=$(nproc)
steps=("$@")
[ ${#steps[@]} -gt 0 ] || steps=(asan jvm-asan valgrind fuzz fuzz-host)

bash "$root/scripts/install-deps.sh"

section() { printf '\n== %s ==\n' "$*"; }
elapsed() { printf '(%d s)\n' $((SECONDS - $1)); }

configure_asan() {
  if [ ! -f "$asan_build/CMakeCache.txt" ]; then
    # The 32-bit host is built plainly (the bridge leaves the JVM's LD_PRELOAD out of its
    # environment); the sanitized bridge's side of hosted calls runs in jvm-asan.
    CC=gcc CXX=g++ cmake -S "$root" -B "$asan_build" -DMORLANE_TESTS=ON -DMORLANE_SANITIZE=ON \
      >/dev/null
  fi
  cmake --build "$asan_build" -j"$jobs" >/dev/null
}

# Every sanitizer finding ends the process with an error; UBSan's come with a stack.
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

step_asan() {
  section "AddressSanitizer + UndefinedBehaviorSanitizer: native suite"
  local t=$SECONDS
  configure_asan
  ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1 \
    ctest --test-dir "$asan_build" --output-on-failure -j"$jobs" -LE jvm
  elapsed $t
}

step_jvm_asan() {
  section "AddressSanitizer + UndefinedBehaviorSanitizer: the bridge inside a real JVM"
  local t=$SECONDS
  configure_asan
  # The JVM itself is not instrumented, so the runtime must be loaded ahead of everything. The
  # JVM relies on SIGSEGV, SIGBUS and SIGFPE for its own work (null checks, safepoints, integer
  # division), so ASan must leave those signals to it; its own memory looks leaked to LSan.
  # ChildJvm passes LD_PRELOAD and ASAN_OPTIONS on to every child JVM.
  local runtime
  runtime=$(g++ -print-file-name=libasan.so)
  local options=handle_segv=0:handle_sigbus=0:handle_sigfpe=0:allow_user_segv_handler=1
  # Hosted, only what the in-process suites cannot reach: deadlines of every size, replies and
  # turn words a library wrote, hosts that die under their callers.
  LD_PRELOAD="$runtime" ASAN_OPTIONS=$options:detect_leaks=0 \
    ctest --test-dir "$asan_build" --output-on-failure -L jvm \
    -E '^jvm_hosted_(frame|concurrency|facade|soundness)$'
  elapsed $t
}

step_valgrind() {
  section "valgrind: native suite"
  local t=$SECONDS
  [ -f "$build/CMakeCache.txt" ] || cmake -S "$root" -B "$build" -DMORLANE_TESTS=ON >/dev/null
  cmake --build "$build" -j"$jobs" --target morlane_native_tests >/dev/null
  local suite="$build/tests/native/morlane_native_tests"
  local memcheck=(valgrind --quiet --error-exitcode=1 --leak-check=full --track-origins=yes)
  LD_LIBRARY_PATH="$build/sim" "${memcheck[@]}" "$suite" --gtest_brief=1
  local dir entry
  local variant lacking
  exports() { nm -D --defined-only "$1"/CVDLL1RZ1.dll "$1"/CVDAlib.dll | awk '/ T CVD/ {print $3}' | sort; }
  for variant in even odd; do
    lacking=$(comm -23 <(exports "$build/sim") <(exports "$build/sim/lacking-$variant") | paste -sd,)
    echo "-- lacking-$variant: $lacking"
    MORLANE_MISSING_ENTRIES=$lacking LD_LIBRARY_PATH="$build/sim/lacking-$variant:$build/sim" \
      "${memcheck[@]}" "$suite" --gtest_brief=1 --gtest_filter='MissingEntry.*'
  done
  elapsed $t
}

configure_fuzz() {
  if [ ! -f "$fuzz_build/CMakeCache.txt" ]; then
    CC=clang CXX=clang++ cmake -S "$root" -B "$fuzz_build" -DMORLANE_TESTS=OFF \
      -DMORLANE_SANITIZE=ON -DMORLANE_FUZZ=ON -DMORLANE_HOST32=OFF >/dev/null
  fi
  cmake --build "$fuzz_build" -j"$jobs" --target "$1" >/dev/null
}

# run_fuzzer NAME PREFIX REPLAY FUZZER SEEDS: runs FUZZER for $fuzz_seconds over the build's own
# corpus, PREFIXcorpus (where new inputs go), and the committed SEEDS (which stay as they are),
# then reports its executions; on a fault, the log's end, where the input is and how to replay it.
run_fuzzer() {
  local name=$1 prefix=$2 replay=$3 fuzzer=$4 seeds=$5
  local corpus="$fuzz_build/${prefix}corpus" artifacts="$fuzz_build/${prefix}artifacts/"
  local log="$fuzz_build/$name.log"
  mkdir -p "$corpus" "$artifacts"
  if ! "$fuzzer" -max_total_time="$fuzz_seconds" -timeout=30 -print_final_stats=1 \
      -artifact_prefix="$artifacts" "$corpus" "$seeds" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "FAILED: the fuzzer found a fault; the input is in $artifacts. Replay it with"
    echo "  $replay$fuzzer <input>"
    exit 1
  fi
  local last runs rate
  last=$(grep -E '^#[0-9]+.*cov: ' "$log" | tail -n 1)
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  last=$(echo "$last" | grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [^ ]+')
  echo "$name: $runs executions ($rate/s), $last"
}

step_fuzz() {
  section "libFuzzer: random call sequences for ${fuzz_seconds} s"
  local t=$SECONDS
  configure_fuzz morlane_fuzz
  # Resident memory climbs by a few kB with every load and release of the simulated libraries
  # under ASan (its runtime's bookkeeping; the same loop without ASan stays flat), so runs much
  # longer than a few minutes want a higher -rss_limit_mb than libFuzzer's 2 GB.
  # The fuzzer writes its own seeds: each native method once, plainly and with a host failing.
  local fuzzer="$fuzz_build/tests/fuzz/morlane_fuzz"
  mkdir -p "$fuzz_build/seeds"
  MORLANE_FUZZ_SEEDS="$fuzz_build/seeds" "$fuzzer"
  LD_LIBRARY_PATH="$fuzz_build/sim" run_fuzzer fuzz "" "LD_LIBRARY_PATH=$fuzz_build/sim " \
    "$fuzzer" "$fuzz_build/seeds"
  elapsed $t
}

step_fuzz_host() {
  section "libFuzzer: the host's control and call channels for ${fuzz_seconds} s"
  local t=$SECONDS
  configure_fuzz morlane_fuzz_host
  run_fuzzer fuzz-host host- "" "$fuzz_build/tests/fuzz/morlane_fuzz_host" \
    "$root/tests/fuzz/host-corpus"
  elapsed $t
}

for step in "${steps[@]}"; do
  case $step in
  asan) step_asan ;;
  jvm-asan) step_jvm_asan ;;
  valgrind) step_valgrind ;;
  fuzz) step_fuzz ;;
  fuzz-host) step_fuzz_host ;;
  *)
    echo "unknown step $step (asan, jvm-asan, valgrind, fuzz, fuzz-host)" >&2
    exit 2
    ;;
  esac
done
