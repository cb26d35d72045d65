#!/usr/bin/env bash
# Packs every file under a folder into a jar whose bytes depend on the files alone: entries in
# byte order of their names, each with the same fixed time, the given manifest first.
#
#   cmake/reproducible-jar.sh <jar> <manifest, or - for none> <folder>
set -euo pipefail
out=$1 manifest=$2 folder=$3
# Any fixed instant will do; zip stores local times from 1980 on, and the jar tool writes this
# one without a time zone.
date=2000-01-01T00:00:00Z
args=()
while IFS= read -r file; do
  args+=(-C "$folder" "$file")
done < <(cd "$folder" && find . -type f ! -path ./META-INF/MANIFEST.MF | sed 's|^\./||' | LC_ALL=C sort)
rm -f "$out"
if [ "$manifest" = - ]; then
  jar --create --file "$out" --no-manifest --date="$date" "${args[@]}"
else
  jar --create --file "$out" --manifest "$manifest" --date="$date" "${args[@]}"
fi
