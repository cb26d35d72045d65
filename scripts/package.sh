#!/usr/bin/env bash
# Builds both release packages with CPack: the 32-bit Windows zip (cross-built with MinGW-w64)
# and the Linux x86-64 tar.gz, each from a Release build of its own without the tests.
#
#   MORLANE_DIST_DIR             where the packages go (default: build/dist)
#   MORLANE_PKG_LINUX_BUILD_DIR  default: build/pkg-linux
#   MORLANE_PKG_WIN32_BUILD_DIR  default: build/pkg-win32
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dist=${MORLANE_DIST_DIR:-$root/build/dist}
linux=${MORLANE_PKG_LINUX_BUILD_DIR:-$root/build/pkg-linux}
win32=${MORLANE_PKG_WIN32_BUILD_DIR:-$root/build/pkg-win32}
jobs=$(nproc)

bash "$root/scripts/install-deps.sh"
mkdir -p "$dist"
dist=$(cd "$dist" && pwd)

# package <build dir> [cmake options...]
package() {
  local build=$1
  shift
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DMORLANE_TESTS=OFF "$@" >/dev/null
  cmake --build "$build" -j"$jobs"
  (cd "$build" && cpack -B "$dist")
}

package "$linux"
package "$win32" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-i686.cmake"
rm -rf "$dist/_CPack_Packages"
ls -l "$dist"
