#!/usr/bin/env bash
# Builds the release, each native from a build of its own without the tests, then unpacks the
# Linux archive into an empty folder and runs its example there. In build/dist:
#
#   morlane-<version>.jar                    the release jar: every native, loads itself
#   morlane-<version>-sources.jar, -javadoc.jar, .pom
#   morlane-<version>-maven-repository.zip   the four and the desk kit as a Maven repository
#   morlane-<version>-debug.zip              the natives' debug information (docs/releases.md)
#   morlane-<version>-Linux-x86_64.tar.gz    64-bit Linux JVM, with simulated libraries
#   morlane-<version>-windows.zip            32-bit and 64-bit Windows JVMs alike
#
# Every archive holds that same jar. The builds are configured like those of scripts/test.sh, so
# the natives, and the jar, come out byte for byte as the tested ones.
#
#   MORLANE_DIST_DIR             where the release goes (default: build/dist)
#   MORLANE_PKG_DIR              the build folders' parent (default: build), each pkg-<name>
#
# From a clean tree about 4 minutes on two idle cores; each build's output goes to build.log in
# its build folder and is shown when the build fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/steps.sh"
dist=${MORLANE_DIST_DIR:-$root/build/dist}
pkg=${MORLANE_PKG_DIR:-$root/build}
linux=$pkg/pkg-linux i386=$pkg/pkg-linux-i386 win32=$pkg/pkg-win32 win64=$pkg/pkg-win64
release=$pkg/pkg-jar
jobs=$(nproc)

step "packages needed for packaging (scripts/install-deps.sh package)" \
  bash "$root/scripts/install-deps.sh" package
mkdir -p "$dist"
dist=$(cd "$dist" && pwd)

# build <name> <build dir> <target or all> [cmake options...]
build() {
  local name=$1 dir=$2 target=$3
  shift 3
  mkdir -p "$dir"
  step "$name: configure ($dir)" quietly "$dir/configure.log" \
    cmake -S "$root" -B "$dir" -DMORLANE_TESTS=OFF "$@"
  if [ "$target" = all ]; then
    step "$name: build" quietly "$dir/build.log" cmake --build "$dir" -j"$jobs"
  else
    step "$name: build $target" quietly "$dir/build.log" cmake --build "$dir" -j"$jobs" --target $target
  fi
}
archive() { # <name> <build dir>
  step "$1: archive" quietly "$2/cpack.log" sh -c 'cd "$1" && cpack -B "$2"' _ "$2" "$dist"
}

build "Linux x86-64" "$linux" all -DMORLANE_RELEASE_DIR="$release"
build "Linux i386" "$i386" "morlane morlane_simulator" \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-linux-i386.cmake"
build "Windows i686" "$win32" "morlane simkit sim_cvdll1rz1 sim_cvdalib" \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-i686.cmake"
build "Windows x86-64" "$win64" all -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-x86_64.cmake" \
  -DMORLANE_RELEASE_DIR="$release" -DMORLANE_WIN32_BRIDGE="$win32/lib/morlane.dll"

step "the release jar, its pom and Maven repository" \
  bash "$root/scripts/release-jar.sh" "$release" "$linux" "$i386" "$win32" "$win64"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$linux/CMakeCache.txt")
rm -f "$dist"/morlane-*
cp "$release/morlane-$version.jar" "$release/morlane-$version-sources.jar" \
  "$release/morlane-$version-javadoc.jar" "$release/morlane-$version.pom" \
  "$release/morlane-$version-debug.zip" "$dist/"
bash "$root/cmake/reproducible-jar.sh" "$dist/morlane-$version-maven-repository.zip" - \
  "$release/maven-repo"

archive "Linux x86-64" "$linux"
archive "Windows" "$win64"
rm -rf "$dist/_CPack_Packages"

step "Linux archive: unpack into an empty folder and run the example" \
  bash "$root/scripts/check-archive.sh" "$dist/morlane-$version-Linux-x86_64.tar.gz"

echo
echo "package: done in $(steps_clock); the release is in $dist:"
for file in "$dist"/morlane-*; do
  printf '  %-60s %9d bytes\n' "$file" "$(stat -c %s "$file")"
done
echo "  (the Maven repository unpacked: $release/maven-repo)"
