#!/usr/bin/env bash
# Makes the release jar, morlane-<version>.jar, from four finished builds: the classes and the
# module descriptor of the Linux x86-64 build, and every native the builds made, under
# morlane/natives/<platform>/ with a SHA256SUMS list each. Beside it go the sources and Javadoc
# jars, the pom, a Maven repository holding all four with their checksums, and
# morlane-<version>-debug.zip: each native's debug information, <platform>/<file>.debug.
#
#   scripts/release-jar.sh <out> <linux x86-64 build> <linux i386 build> <win32 build> <win64 build>
#
# The natives are taken as the builds left them, stripped, the very files their suites tested.
# Entries are in byte order of their names with one fixed time, so the jar depends on its inputs
# alone.
#   MORLANE_POM_LICENSE, MORLANE_POM_SCM   the pom's license name and repository address
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
[ $# -eq 5 ] || {
  sed -n '2,9p' "$0" >&2
  exit 2
}
out=$1 linux=$2 i386=$3 win32=$4 win64=$5

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$linux/CMakeCache.txt")
[ -n "$version" ] || { echo "release-jar: no version in $linux/CMakeCache.txt" >&2; exit 1; }
name=morlane-$version
stage=$out/stage debug=$out/debug
rm -rf "$stage" "$debug" "$out/maven-repo"
mkdir -p "$stage/META-INF"

# native <platform> <file>...: copies the files and lists their hashes for the loader; their debug
# information, <file>.debug beside each, goes to the debug zip.
native() {
  local platform=$1 dir=$stage/morlane/natives/$1 file
  shift
  mkdir -p "$dir" "$debug/$platform"
  for file in "$@"; do
    [ -f "$file" ] && [ -f "$file.debug" ] ||
      { echo "release-jar: missing $file or $file.debug (build it first)" >&2; exit 1; }
    cp "$file" "$dir/"
    cp "$file.debug" "$debug/$platform/"
  done
  (cd "$dir" && LC_ALL=C sha256sum -- $(ls | LC_ALL=C sort) >SHA256SUMS)
}
native linux-x86_64 "$linux/lib/libmorlane.so" "$linux/lib/morlane-host32"
native linux-x86 "$i386/lib/libmorlane.so"
native windows-x86 "$win32/lib/morlane.dll"
native windows-x86_64 "$win64/lib/morlane.dll" "$win64/lib/morlane-host32.exe"

cp -R "$linux/java/classes/." "$stage/"
cp "$linux/java/module/module-info.class" "$stage/"
# `java -jar` checks the machine, with no JDK 24 warning about loading the bridge.
{
  cat "$linux/java/MANIFEST.MF"
  printf 'Main-Class: morlane.MachineCheck\nEnable-Native-Access: ALL-UNNAMED\n'
} >"$stage/META-INF/MANIFEST.MF"
mkdir -p "$out"
bash "$root/cmake/reproducible-jar.sh" "$out/$name.jar" "$stage/META-INF/MANIFEST.MF" "$stage"
bash "$root/cmake/reproducible-jar.sh" "$out/$name-debug.zip" - "$debug"
cp "$linux/java/$name-sources.jar" "$linux/java/$name-javadoc.jar" "$out/"

commit=$(git -C "$root" rev-parse HEAD 2>/dev/null || echo unknown)
sed -e "s|@VERSION@|$version|g" -e "s|@COMMIT@|$commit|g" \
  -e "s|@LICENSE@|${MORLANE_POM_LICENSE:-Proprietary}|g" \
  -e "s|@SCM@|${MORLANE_POM_SCM:-morlane.git}|g" "$root/cmake/morlane.pom.in" >"$out/$name.pom"

# The desk kit, lathwork:morlane-simulator, for tests: the stand-ins of all four builds.
bash "$root/scripts/simulator-jar.sh" "$out/morlane-simulator-$version.jar" "$linux" "$i386" \
  "$win32" "$win64"
sed -e "s|@VERSION@|$version|g" -e "s|@COMMIT@|$commit|g" \
  -e "s|@LICENSE@|${MORLANE_POM_LICENSE:-Proprietary}|g" \
  -e "s|@SCM@|${MORLANE_POM_SCM:-morlane.git}|g" "$root/cmake/morlane-simulator.pom.in" \
  >"$out/morlane-simulator-$version.pom"

# The repository: what a build tool resolves lathwork:morlane:<version> and
# lathwork:morlane-simulator:<version> from, with the checksums it verifies. The metadata's time
# is fixed like the jar's.
for artifact in morlane morlane-simulator; do
  repo=$out/maven-repo/lathwork/$artifact
  mkdir -p "$repo/$version"
  for file in "$artifact-$version.jar" "$artifact-$version-sources.jar" \
    "$artifact-$version-javadoc.jar" "$artifact-$version.pom"; do
    [ ! -f "$out/$file" ] || cp "$out/$file" "$repo/$version/"
  done
  cat >"$repo/maven-metadata.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<metadata>
  <groupId>lathwork</groupId>
  <artifactId>$artifact</artifactId>
  <versioning>
    <latest>$version</latest>
    <release>$version</release>
    <versions>
      <version>$version</version>
    </versions>
    <lastUpdated>20000101000000</lastUpdated>
  </versioning>
</metadata>
XML
  for file in "$repo"/maven-metadata.xml "$repo/$version"/*; do
    for sum in md5 sha1 sha256 sha512; do
      "${sum}sum" "$file" | cut -d' ' -f1 | tr -d '\n' >"$file.$sum"
    done
  done
done
rm -rf "$stage" "$debug"
echo "release-jar: $out/$name.jar ($(stat -c %s "$out/$name.jar") bytes), Maven repository in $out/maven-repo"
