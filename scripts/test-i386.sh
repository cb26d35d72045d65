#!/usr/bin/env bash
# The 32-bit Linux flavour: builds the whole project with gcc -m32 and runs its ctest, the native
# suite and the JUnit suite with the child JVMs on Debian's 32-bit JVM under -Xcheck:jni, the
# outside libraries loaded in-process. Works on a fresh Debian 12 machine: the missing packages
# (g++-multilib, openjdk-17-jre-headless:i386) are installed first.
#
#   MORLANE_I386_BUILD_DIR   build directory (default: build/linux-i386)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${MORLANE_I386_BUILD_DIR:-$root/build/linux-i386}
toolchain=$root/cmake/toolchain-linux-i386.cmake
jobs=$(nproc)

step() {
  local name=$1 t=$SECONDS
  shift
  printf '\n== i386: %s ==\n' "$name"
  "$@"
  printf '(%s: %d s)\n' "$name" $((SECONDS - t))
}

bash "$root/scripts/install-deps.sh"

# Debian ships GoogleTest compiled for x86-64 only; the sources come with the googletest package.
gtest_prefix=$build/googletest
gtest() {
  if [ -f "$gtest_prefix/lib/cmake/GTest/GTestConfig.cmake" ]; then
    echo "GoogleTest (32-bit) already in $gtest_prefix"
    return
  fi
  cmake -S /usr/src/googletest -B "$build/googletest-build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$gtest_prefix" \
    -DCMAKE_INSTALL_LIBDIR=lib >/dev/null
  cmake --build "$build/googletest-build" -j"$jobs" >/dev/null
  cmake --install "$build/googletest-build" >/dev/null
}

configure() {
  cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DMORLANE_TESTS=ON \
    -DCMAKE_PREFIX_PATH="$gtest_prefix" >/dev/null
}

SECONDS=0
step "GoogleTest -m32" gtest
step configure configure
step build cmake --build "$build" -j"$jobs"
step ctest ctest --test-dir "$build" --output-on-failure -j"$jobs"
echo "test-i386: all steps passed in ${SECONDS} s"
