#!/usr/bin/env bash
# Both Windows flavours, cross-built with MinGW-w64 and tested under Wine with ctest:
#   1. i686:   the 32-bit morlane.dll for a 32-bit JVM, in a 32-bit Wine prefix;
#   2. x86-64: the 64-bit morlane.dll for a 64-bit JVM, in a 64-bit Wine prefix (which runs
#              32-bit programs too, as 64-bit Windows does).
# Works on a fresh Debian 12 machine: the missing packages are installed first.
#
#   scripts/test-windows.sh [win32|win64]...   only the named flavours (default: both, in order)
#
#   MORLANE_WIN32_BUILD_DIR   i686 build directory (default: build/win32)
#   MORLANE_WIN64_BUILD_DIR   x86-64 build directory (default: build/win64)
#   Each holds its own Wine prefix.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)

flavours=("$@")
[ ${#flavours[@]} -eq 0 ] && flavours=(win32 win64)
for f in "${flavours[@]}"; do
  case "$f" in
    win32 | win64) ;;
    *)
      echo "test-windows: unknown flavour '$f' (win32, win64)" >&2
      exit 2
      ;;
  esac
done

bash "$root/scripts/install-deps.sh"

# The tests set their own Wine environment; this only keeps stray Wine calls quiet.
export WINEDEBUG=-all
# The tests' Wine environment also sets a UTF-8 locale (tests/windows/CMakeLists.txt).

SECONDS=0
step_started=0
step() {
  step_started=$SECONDS
  echo "== test-windows [${SECONDS} s]: $* =="
}
done_step() {
  echo "== test-windows: $1 took $((SECONDS - step_started)) s =="
}

for f in "${flavours[@]}"; do
  if [ "$f" = win32 ]; then
    build=${MORLANE_WIN32_BUILD_DIR:-$root/build/win32}
    toolchain=$root/cmake/toolchain-mingw-i686.cmake
    name="i686 (32-bit JVM)"
  else
    build=${MORLANE_WIN64_BUILD_DIR:-$root/build/win64}
    toolchain=$root/cmake/toolchain-mingw-x86_64.cmake
    name="x86-64 (64-bit JVM)"
  fi
  step "$name: configure and build in $build"
  cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DMORLANE_TESTS=ON >/dev/null
  cmake --build "$build" -j"$jobs"
  done_step "$name build"
  step "$name: tests under Wine"
  ctest --test-dir "$build" --output-on-failure -j"$jobs"
  done_step "$name tests"
done
echo "test-windows: ${flavours[*]} passed in ${SECONDS} s"
