#!/usr/bin/env bash
# Makes the desk kit's jar, morlane-simulator-<version>.jar: its Java API, compiled by the first
# build into <build>/simkit/classes, and from each build the stand-ins, simctl and the kit's JNI
# library of its platform:
#   morlane/simulator/natives/<platform>/in-process/   for a JVM of the platform's own bitness
#   morlane/simulator/natives/<platform>/hosted/       the 32-bit ones, served by the bridge's host
# with a list of the files, `files`, for the kit to copy out. A build is a Linux one (x86-64 or
# i386) or a MinGW one (i686 or x86-64), told apart by the simctl it made.
#
#   scripts/simulator-jar.sh <jar> <build>...
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
[ $# -ge 2 ] || {
  sed -n '2,10p' "$0" >&2
  exit 2
}
out=$1
shift
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

pe() { [ "$(head -c2 "$1")" = MZ ]; }
# bits <file>: 32 or 64, from a PE file's machine field or an ELF file's class.
bits() {
  if pe "$1"; then
    local at
    at=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
    [ "$(od -An -tx2 -j$((at + 4)) -N2 "$1" | tr -d ' ')" = 014c ] && echo 32 || echo 64
  else
    [ "$(od -An -tu1 -j4 -N1 "$1" | tr -d ' ')" = 1 ] && echo 32 || echo 64
  fi
}

# Their symbols are of no use to a test; the debug information would triple the jar. A PE file
# is stripped by its own MinGW binutils, with no time stamped into it.
strip_all() { # <folder>
  local file triple
  for file in "$1"/*/*; do
    if pe "$file"; then
      triple=$([ "$(bits "$file")" = 32 ] && echo i686 || echo x86_64)-w64-mingw32
      SOURCE_DATE_EPOCH=0 "$triple-strip" --strip-unneeded "$file"
    else
      strip --strip-unneeded "$file"
    fi
  done
}

cp -R "$1/simkit/classes/." "$stage/"
for build in "$@"; do
  if [ -f "$build/sim/simctl.dll" ]; then
    os=windows simctl=simctl.dll simkit=simkit.dll
  else
    os=linux simctl=libsimctl.so simkit=libsimkit.so
  fi
  platform=$stage/morlane/simulator/natives/$os-$([ "$(bits "$build/sim/$simctl")" = 32 ] &&
    echo x86 || echo x86_64)
  mkdir -p "$platform/in-process"
  for file in "$build/simkit/$simkit" "$build/sim/$simctl" "$build/sim/CVDLL1RZ1.dll" \
    "$build/sim/CVDAlib.dll"; do
    [ -f "$file" ] || { echo "simulator-jar: missing $file (build it first)" >&2; exit 1; }
    cp "$file" "$platform/in-process/"
  done
  if [ -d "$build/sim32" ]; then
    mkdir -p "$platform/hosted"
    for file in "$build/sim32/$simctl" "$build/sim32/CVDLL1RZ1.dll" "$build/sim32/CVDAlib.dll"; do
      [ -f "$file" ] || { echo "simulator-jar: missing $file (build it first)" >&2; exit 1; }
      cp "$file" "$platform/hosted/"
    done
  fi
  strip_all "$platform"
  # Only the folders' files: `files` itself exists before find looks.
  (cd "$platform" && find . -mindepth 2 -type f | sed 's|^\./||' | LC_ALL=C sort >files)
done
mkdir -p "$(dirname "$out")"
bash "$root/cmake/reproducible-jar.sh" "$out" - "$stage"
