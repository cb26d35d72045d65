#!/usr/bin/env bash
# The whole test suite: the Linux build (native and JVM tests), the reliability checks, the 32-bit
# Linux build, both Windows builds under Wine, then the release jar made from those tested builds
# and checked as a user takes it, and the release made again by scripts/package.sh from builds
# of its own, which must give the same jars. Installs what is missing first, so it runs as is on
# a fresh Debian 12 machine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${MORLANE_BUILD_DIR:-$root/build/linux}
jobs=$(nproc)
# step: each step announced with the time since the start, its duration reported, and a line
# every 20 s while it runs.
. "$root/scripts/steps.sh"

step "packages needed (scripts/install-deps.sh)" bash "$root/scripts/install-deps.sh"

mkdir -p "$build"
step "Linux x86-64: configure" quietly "$build/configure.log" \
  cmake -S "$root" -B "$build" -DMORLANE_TESTS=ON
step "Linux x86-64: build" cmake --build "$build" -j"$jobs"
step "Linux x86-64: native and JVM suites (ctest)" \
  ctest --test-dir "$build" --output-on-failure -j"$jobs"
step "Reliability: sanitizers, valgrind, fuzzing" \
  env MORLANE_BUILD_DIR="$build" bash "$root/scripts/check-reliability.sh"

step "Linux i386: build and test on the 32-bit JVM" bash "$root/scripts/test-i386.sh"

step "Windows (under Wine): build and test" bash "$root/scripts/test-windows.sh"

i386=${MORLANE_I386_BUILD_DIR:-$root/build/linux-i386}
win32=${MORLANE_WIN32_BUILD_DIR:-$root/build/win32}
win64=${MORLANE_WIN64_BUILD_DIR:-$root/build/win64}
jar=$root/build/jar
step "Release jar from the tested builds" \
  bash "$root/scripts/release-jar.sh" "$jar" "$build" "$i386" "$win32" "$win64"
step "Release jar: natives by hash, an empty folder, the cache, module path, a Maven consumer" \
  env MORLANE_BUILD_DIR="$build" MORLANE_I386_BUILD_DIR="$i386" MORLANE_WIN32_BUILD_DIR="$win32" \
  MORLANE_WIN64_BUILD_DIR="$win64" bash "$root/scripts/check-jar.sh" "$jar"
step "Release from builds of its own (scripts/package.sh), the Linux archive unpacked alone" \
  bash "$root/scripts/package.sh"
# Two builds of one commit: the tested builds and package.sh's. Every archive holds dist's jar.
same_jars() {
  local file status=0
  for file in "$jar"/morlane-*.jar "$jar"/morlane-*.pom "$jar"/morlane-*-debug.zip; do
    # The desk kit's jar comes from the tested Linux build alone: package.sh's is not compared.
    [[ ${file##*/} != morlane-simulator-* ]] || continue
    if cmp "$file" "$root/build/dist/${file##*/}"; then
      echo "same: ${file##*/} ($(sha256sum <"$file" | cut -c1-16)...)"
    else
      status=1
    fi
  done
  return $status
}
step "Two builds of one commit give the same jars, pom and debug zip" same_jars
echo "test: all passed in $(steps_clock)"
