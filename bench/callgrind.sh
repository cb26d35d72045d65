#!/usr/bin/env bash
# Instructions per call (callgrind) for the three short operations: the bridge's own code (the
# instructions inside libmorlane.so) and the whole call from the export's entry to its return
# (with dlsym, the simulated library and the driver's stub JNI functions), for the shipped bridge
# and the design floor, whose difference is the per-call lookup; and the finish guard's share
# (against the unguarded build). Counts are repeatable on a busy machine, unlike times: use them
# to judge every change to the call path.
#
#   bench/callgrind.sh BUILD_DIR [CALLS]   (BUILD_DIR as made by bench/run.sh; i386 builds work too)
set -euo pipefail
build=$(cd "${1:?usage: bench/callgrind.sh BUILD_DIR [CALLS]}" && pwd)
calls=${2:-20000}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
echo "| Operation ($(file -b "$build/lib/libmorlane.so" | cut -d, -f2 | xargs)) | bridge's own | whole call | floor: own | floor: whole call | lookup: whole − floor whole | guard: own − unguarded own |"
echo "|---|---:|---:|---:|---:|---:|---:|"
for op in write:regWrite__IIII read16:regRead__IIII request:cvRequest; do
  row="| ${op%%:*}"
  whole=() owns=()
  for lib in "$build"/lib/libmorlane.so "$build"/bench/{floor,unguarded}/libmorlane.so; do
    LD_LIBRARY_PATH=$build/sim valgrind --tool=callgrind --callgrind-out-file="$tmp/out" \
      --toggle-collect="Java_lathwork_Brenmoor_${op#*:}" "$build/bench/morlane_callgrind" "$lib" \
      "${op%%:*}" "$calls" >"$tmp/log" 2>&1 || { cat "$tmp/log" >&2; exit 1; }
    # Self cost per object; the cost line after a calls= line is the callee's inclusive cost.
    read -r own all < <(awk -v calls="$calls" '
      function id(field) { sub(/^[a-z]+=\(/, "", field); sub(/\).*/, "", field); return field }
      /^c?ob=\(/ { if (NF > 1) name[id($1)] = $2; if ($1 ~ /^ob/) ob = id($1) }
      /^calls=/ { inclusive = 1; next }
      /^[0-9+*-]/ {
        if (!inclusive) { all += $2; if (name[ob] ~ /libmorlane\.so$/) own += $2 }
        inclusive = 0
      }
      END { printf "%.0f %.0f\n", own / calls, all / calls }' "$tmp/out")
    [ ${#owns[@]} = 2 ] || row+=" | $own | $all"
    whole+=("$all") owns+=("$own")
  done
  row+=" | $((whole[0] - whole[1])) | $((owns[0] - owns[2])) |"
  echo "$row"
done
