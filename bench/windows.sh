#!/usr/bin/env bash
# Times hosted calls of the Windows x86-64 bridge under Wine (windows/hosted_timing.cpp): the
# morlane.dll and morlane-host32.exe of a build made by `scripts/test-windows.sh win64`, the
# 32-bit simulated libraries of that build on Wine's path, in a Wine prefix of its own. Prints a
# Markdown table; the figures include Wine's own costs and have no target.
#
#   bench/windows.sh [--rounds N] [BUILD]    BUILD: default build/win64; output in build/bench-win64
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
rounds=40 win=$root/build/win64 out=$root/build/bench-win64
while [ $# -gt 0 ]; do
  case $1 in
    --rounds) rounds=$2 && shift ;;
    *) win=$(realpath "$1") ;;
  esac
  shift
done
cache() { sed -n "s/^$1:[A-Z]*=//p" "$win/CMakeCache.txt"; }
wine=$(cache MORLANE_WINE) wineserver=$(cache MORLANE_WINESERVER) jdk=$(cache MORLANE_JDK_HOME)
for f in lib/morlane.dll lib/morlane-host32.exe sim/simctl.dll sim32/CVDLL1RZ1.dll; do
  [ -f "$win/$f" ] || { echo "windows.sh: no $win/$f (bash scripts/test-windows.sh win64)" >&2 && exit 1; }
done
mkdir -p "$out"
x86_64-w64-mingw32-g++-posix -std=c++17 -O2 -Wall -Wextra -Wpedantic -Werror \
  -I"$root/tests/native" -I"$win/java/include" -I"$root/cmake/jni-win32" -I"$jdk/include" \
  -DMORLANE_BRIDGE_PATH="\"Z:$win/lib/morlane.dll\"" "$root/bench/windows/hosted_timing.cpp" \
  "$root/tests/native/fake_jni.cpp" "$root/tests/native/bridge.cpp" -static \
  -o "$out/hosted_timing.exe"
export WINEPREFIX=$out/wineprefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= \
  LC_ALL=C.UTF-8 WINEPATH="Z:$win/sim32" MORLANE_SIMCTL_STATE="Z:$out/simctl.state"
rm -f "$out/simctl.state"
echo "Measured $(date -u '+%Y-%m-%d %H:%M') UTC under $("$wine" --version), bridge built" \
  "$(date -u -r "$win/lib/morlane.dll" '+%Y-%m-%d %H:%M') UTC; load average" \
  "$(cut -d' ' -f1-3 /proc/loadavg)."
echo
"$wine" "$out/hosted_timing.exe" "Z:$win/sim/simctl.dll" "$rounds"
"$wineserver" -k
