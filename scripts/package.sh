#!/usr/bin/env bash
# Builds the release archives with CPack, each from a Release build of its own without the tests,
# then unpacks the Linux one into an empty folder and runs its example there:
#
#   morlane-<version>-Linux-x86_64.tar.gz   64-bit Linux JVM (with morlane-host32 for 32-bit libraries)
#   morlane-<version>-win32.zip             32-bit Windows JVM (cross-built with MinGW-w64 i686)
#   morlane-<version>-win64.zip             64-bit Windows JVM (MinGW-w64 x86-64, with morlane-host32.exe)
#
#   MORLANE_DIST_DIR             where the archives go (default: build/dist)
#   MORLANE_PKG_LINUX_BUILD_DIR  default: build/pkg-linux
#   MORLANE_PKG_WIN32_BUILD_DIR  default: build/pkg-win32
#   MORLANE_PKG_WIN64_BUILD_DIR  default: build/pkg-win64
#
# From a clean tree about 2.5 minutes on two idle cores, 7 on busy ones; each build's output goes
# to build.log in its build directory and is shown when the build fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/steps.sh"
dist=${MORLANE_DIST_DIR:-$root/build/dist}
linux=${MORLANE_PKG_LINUX_BUILD_DIR:-$root/build/pkg-linux}
win32=${MORLANE_PKG_WIN32_BUILD_DIR:-$root/build/pkg-win32}
win64=${MORLANE_PKG_WIN64_BUILD_DIR:-$root/build/pkg-win64}
jobs=$(nproc)

step "packages needed for building (scripts/install-deps.sh)" bash "$root/scripts/install-deps.sh"
mkdir -p "$dist"
dist=$(cd "$dist" && pwd)

# package <name> <build dir> [cmake options...]
package() {
  local name=$1 build=$2
  shift 2
  mkdir -p "$build"
  step "$name: configure ($build)" quietly "$build/configure.log" \
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DMORLANE_TESTS=OFF "$@"
  step "$name: build" quietly "$build/build.log" cmake --build "$build" -j"$jobs"
  step "$name: archive" quietly "$build/cpack.log" sh -c 'cd "$1" && cpack -B "$2"' _ "$build" "$dist"
}

package "Linux x86-64" "$linux"
package "Windows i686 (win32)" "$win32" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-i686.cmake"
package "Windows x86-64 (win64)" "$win64" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-x86_64.cmake"
rm -rf "$dist/_CPack_Packages"

version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$linux/CPackConfig.cmake")
step "Linux archive: unpack into an empty folder and run the example" \
  bash "$root/scripts/check-archive.sh" "$dist/morlane-$version-Linux-x86_64.tar.gz"

echo
ls -l "$dist"
echo "package: done in $(steps_clock)"
