#!/usr/bin/env bash
# Builds the bridge and the simulated outside libraries, then runs the demo session against them,
# and ends by saying where the release jar comes from. Installs only what it needs (the Linux
# compilers and the JDK, about 170 Debian packages on a fresh machine); scripts/test.sh installs
# the rest. Under a minute from a clean tree on two cores (the 32-bit host build included), a few
# seconds once built. Each step is announced with the time since the start; build output goes to
# logs in the build directory and is shown when a step fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${MORLANE_BUILD_DIR:-$root/build/linux}
. "$root/scripts/steps.sh"

step "packages needed (scripts/install-deps.sh demo)" bash "$root/scripts/install-deps.sh" demo
mkdir -p "$build"
step "configure ($build)" quietly "$build/configure.log" \
  cmake -S "$root" -B "$build" -DMORLANE_TESTS=OFF
step "build the bridge, the simulated libraries and the demo" quietly "$build/build.log" \
  cmake --build "$build" -j"$(nproc)"

# The bridge finds the outside libraries by bare file name through the library path, just as it
# would find the real ones on Windows. The demo prints texts outside ASCII: the
# encoding options make Java write them as UTF-8 whatever the locale (sun.stdout.encoding up to
# JDK 18, stdout.encoding from JDK 19 on; each JDK ignores the other).
jar=$(ls "$build"/java/brenmoor-*[0-9].jar)
session() { # <folder of the simulated libraries> [--brief]
  LD_LIBRARY_PATH="$1${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" java \
    -Dsun.stdout.encoding=UTF-8 -Dstdout.encoding=UTF-8 -Djava.library.path="$build/lib" \
    -cp "$jar:$build/demo/classes" lathwork.demo.BrenmoorDemo "${@:2}"
}

printf '\n[%s] demo session: 64-bit simulated libraries, loaded into the JVM\n\n' "$(steps_clock)"
session "$build/sim"
# The same 64-bit JVM cannot load a 32-bit library: the bridge starts morlane-host32 (beside
# libmorlane.so) for each library, and the calls go there.
if [ -x "$build/lib/morlane-host32" ] && [ -d "$build/sim32" ]; then
  printf '\n[%s] demo session: 32-bit simulated libraries, served by morlane-host32\n\n' \
    "$(steps_clock)"
  session "$build/sim32" --brief
else
  printf '\nNo 32-bit host in this build (needs g++-multilib): hosted session skipped.\n'
fi

# The build's own jar holds the classes alone; the release jar carries the bridge for every
# platform, so it needs the Windows builds too.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
printf '\n[%s] done. The release jar, with the bridge for every platform, comes from\n' "$(steps_clock)"
printf '  bash %s/scripts/package.sh    # about 4 minutes: %s/build/dist/morlane-%s.jar\n' \
  "$root" "$root" "$version"
printf 'Check it with the simulated libraries built here on the library path, as in the README:\n'
printf '  LD_LIBRARY_PATH=%s java -jar %s/build/dist/morlane-%s.jar\n' "$build/sim" "$root" "$version"
