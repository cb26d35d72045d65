#!/usr/bin/env bash
# Makes the desk kit's jar, morlane-simulator-<version>.jar: its Java API, compiled by the first
# build into <build>/simkit/classes, and from each build the stand-ins, simctl and the kit's JNI
# library of its platform:
#   morlane/simulator/natives/<platform>/in-process/   for a JVM of the platform's own bitness
#   morlane/simulator/natives/<platform>/hosted/       the 32-bit ones, served by the bridge's host
# with a list of the files, `files`, for the kit to copy out.
#
#   scripts/simulator-jar.sh <jar> <linux build, x86-64 or i386>...
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
[ $# -ge 2 ] || {
  sed -n '2,9p' "$0" >&2
  exit 2
}
out=$1
shift
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp -R "$1/simkit/classes/." "$stage/"
for linux in "$@"; do
  # The build's bitness: the ELF class of its simctl (1 for 32-bit, 2 for 64-bit).
  class=$(od -An -tu1 -j4 -N1 "$linux/sim/libsimctl.so" | tr -d ' ')
  platform=$stage/morlane/simulator/natives/linux-$([ "$class" = 1 ] && echo x86 || echo x86_64)
  mkdir -p "$platform/in-process"
  for file in "$linux/simkit/libsimkit.so" "$linux/sim/libsimctl.so" "$linux/sim/CVDLL1RZ1.dll" \
    "$linux/sim/CVDAlib.dll"; do
    [ -f "$file" ] || { echo "simulator-jar: missing $file (build it first)" >&2; exit 1; }
    cp "$file" "$platform/in-process/"
  done
  if [ -d "$linux/sim32" ]; then
    mkdir -p "$platform/hosted"
    cp "$linux/sim32/libsimctl.so" "$linux/sim32/CVDLL1RZ1.dll" "$linux/sim32/CVDAlib.dll" \
      "$platform/hosted/"
  fi
  # Their symbols are of no use to a test; the debug information would triple the jar.
  find "$platform" -type f -exec strip --strip-unneeded {} +
  (cd "$platform" && find . -type f | sed 's|^\./||' | LC_ALL=C sort >files)
done
mkdir -p "$(dirname "$out")"
bash "$root/cmake/reproducible-jar.sh" "$out" - "$stage"
