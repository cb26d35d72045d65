#!/usr/bin/env bash
# Checks the release jar as a user gets it, from the output folder of scripts/release-jar.sh:
#   1. its natives are the very files the suites tested (by SHA-256 against the build folders);
#   2. from an empty folder, with the jar alone on the class path and no -Djava.library.path, a
#      program calling lathwork.Brenmoor runs in process (64-bit simulated libraries) and hosted
#      (32-bit ones): the bridge and morlane-host32 come out of the jar into a private cache;
#   3. the cache: made private under umask 002, found by absolute path from a relative
#      java.io.tmpdir, a damaged file there is replaced, a host cleaned away is put back, a
#      folder others can change (or one above it) is not used, nor one the JVM's file-name
#      encoding cannot name, and when nothing works the error names the platform and every
#      place tried;
#   4. `java -jar` checks the machine, on the 64-bit and the 32-bit JVM, with and without the
#      simulated libraries;
#   5. folders of other versions in the cache go unless a running JVM holds them, and the cache
#      folder carries the version under an uber-jar too;
#   6. the jar on the module path;
#   7. a Maven project depending on lathwork:morlane, built offline with Debian's Maven against
#      the release's Maven repository, run in process and hosted.
#
#   scripts/check-jar.sh <release-jar output folder>
#
#   MORLANE_BUILD_DIR, MORLANE_I386_BUILD_DIR, MORLANE_WIN32_BUILD_DIR, MORLANE_WIN64_BUILD_DIR
#   the tested builds (default build/linux, build/linux-i386, build/win32, build/win64); the
#   first also gives the simulated libraries.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(cd "$1" && pwd)
linux=${MORLANE_BUILD_DIR:-$root/build/linux}
i386=${MORLANE_I386_BUILD_DIR:-$root/build/linux-i386}
win32=${MORLANE_WIN32_BUILD_DIR:-$root/build/win32}
win64=${MORLANE_WIN64_BUILD_DIR:-$root/build/win64}
jar=$(ls "$out"/morlane-[0-9]*[0-9].jar)
version=$(basename "$jar" .jar)
version=${version#morlane-}
work=$(mktemp -d "${TMPDIR:-/tmp}/morlane-jar.XXXXXX")
trap 'chmod -R u+rwX "$work" 2>/dev/null; [ -n "${MORLANE_KEEP:-}" ] || rm -rf "$work"' EXIT
passed=0 failed=0
pass() {
  echo "  ok: $*"
  passed=$((passed + 1))
}
fail() {
  echo "  FAILED: $*"
  failed=$((failed + 1))
}
section() { printf -- '-- %s\n' "$*"; }

section "$(basename "$jar"): $(stat -c %s "$jar") bytes"
for pair in linux-x86_64/libmorlane.so="$linux/lib/libmorlane.so" \
  linux-x86_64/morlane-host32="$linux/lib/morlane-host32" \
  linux-x86/libmorlane.so="$i386/lib/libmorlane.so" \
  windows-x86/morlane.dll="$win32/lib/morlane.dll" \
  windows-x86_64/morlane.dll="$win64/lib/morlane.dll" \
  windows-x86_64/morlane-host32.exe="$win64/lib/morlane-host32.exe"; do
  entry=morlane/natives/${pair%%=*} tested=${pair#*=}
  inside=$(unzip -p "$jar" "$entry" | sha256sum | cut -c1-64)
  if [ -f "$tested" ] && [ "$inside" = "$(sha256sum <"$tested" | cut -c1-64)" ]; then
    pass "$entry is $tested (sha256 ${inside:0:16}...)"
  else
    fail "$entry (sha256 ${inside:0:16}...) is not the tested $tested"
  fi
done

# The program, compiled against the jar alone, in a folder holding nothing else.
mkdir -p "$work/empty/classes"
cp "$jar" "$work/empty/"
javac --release 8 -d "$work/empty/classes" -cp "$work/empty/$(basename "$jar")" \
  "$root/tests/jar/consumer/src/main/java/consumer/Consumer.java" "$root/tests/jar/CacheCleaned.java" \
  "$root/tests/jar/HoldLock.java"
jar=$work/empty/$(basename "$jar")

# consumer <name> <simulated libraries folder> [java options...]: runs it (or $main, none when
# set empty, for -jar) on $java (default: the JDK's) from the empty folder in a cleared
# environment (no locale, so an ASCII file-name encoding; no library path of the build; umask 002,
# as many distributions give their users); output in $work/<name>.out.
consumer() {
  local name=$1 sim=$2 status=0
  shift 2
  # shellcheck disable=SC2086 # an empty $main is no argument
  (cd "$work/empty" && umask 002 && env -i PATH=/usr/bin:/bin HOME="$work/home" LD_LIBRARY_PATH="$sim" \
    "${java:-java}" -Duser.home="$work/home" -Djava.io.tmpdir="$work/tmp" "$@" ${main-consumer.Consumer}) \
    >"$work/$name.out" 2>&1 || status=$?
  sed 's/^/     | /' "$work/$name.out"
  return $status
}
mkdir -p "$work/home" "$work/tmp"
cache=$work/home/.cache/morlane

section "class path, empty folder, no java.library.path"
if consumer inprocess "$linux/sim" -cp "$jar:classes" &&
  grep -q "link library in process, read 7 65535, bridge from $cache/$version-" "$work/inprocess.out"; then
  pass "in process, the bridge extracted to $cache"
else
  fail "in process"
fi
folder=$(ls -d "$cache/$version"-* 2>/dev/null | head -n 1 || true)
if consumer hosted "$linux/sim32" -cp "$jar:classes" &&
  grep -q "link library hosted, read 7 65535, bridge from $folder/libmorlane.so" "$work/hosted.out"; then
  pass "hosted through the morlane-host32 extracted beside it"
else
  fail "hosted"
fi
if [ -n "$folder" ] && [ "$(stat -c %a "$folder" "$cache" "$work/home/.cache")" = $'700\n700\n700' ] &&
  [ -x "$folder/morlane-host32" ] && [ -z "$(find "$folder" -name '*.tmp')" ]; then
  pass "cache $folder: mode 700 under umask 002 (and the two above), host executable, no temporary file left"
else
  fail "cache folder $folder: $(ls -lad "$folder" "$cache" "$work/home/.cache" 2>&1 | tr '\n' ' ')"
fi
mkdir -m 1777 "$work/sticky"
if consumer relative "$linux/sim" -cp "$jar:classes" -Duser.home=? -Djava.io.tmpdir=../sticky &&
  grep -q "bridge from $work/sticky/morlane-[^/]*/$version-[0-9a-f]*/libmorlane.so" "$work/relative.out"; then
  pass "no home, a relative java.io.tmpdir that is sticky and writable by all: loaded by absolute path"
else
  fail "no home and a relative java.io.tmpdir"
fi

section "the cache on reuse"
good=$(sha256sum <"$folder/libmorlane.so")
printf 'x' >>"$folder/libmorlane.so"
if consumer damaged "$linux/sim" -cp "$jar:classes" && [ "$(sha256sum <"$folder/libmorlane.so")" = "$good" ]; then
  pass "a damaged cached bridge is replaced before it is loaded"
else
  fail "a damaged cached bridge was not replaced"
fi
chmod 777 "$folder"
if consumer open "$linux/sim" -cp "$jar:classes" &&
  grep -q "bridge from $work/tmp/morlane-[^/]*/$version-[0-9a-f]*/libmorlane.so" "$work/open.out"; then
  pass "a cache folder others can write to is passed over (java.io.tmpdir used instead)"
else
  fail "a cache folder others can write to was used"
fi
chmod 700 "$folder"
# A cleaner deleting the cache while the program runs, under -Xcheck:jni for the bridge's call
# into the loader: the next start puts the host back, or says why it cannot.
if main=CacheCleaned consumer cleaned "$linux/sim32" -Xcheck:jni -cp "$jar:classes" &&
  grep -qx "after cleaning: mode 2, reason null" "$work/cleaned.out" && [ -x "$folder/morlane-host32" ] &&
  ! grep -q WARNING "$work/cleaned.out"; then
  pass "a host deleted with its cache folder while the program runs is put back at the next start"
else
  fail "a cleaned cache at start"
fi
if main=CacheCleaned consumer damaged "$linux/sim32" -Xcheck:jni -Ddamaged=true -cp "$jar:classes" &&
  grep -qx "after cleaning: mode 2, reason null" "$work/damaged.out" &&
  ! grep -q WARNING "$work/damaged.out"; then
  pass "a host program cut short in the cache is put back whole at the next start"
else
  fail "a damaged cache at start"
fi
if main=CacheCleaned consumer blocked "$linux/sim32" -Xcheck:jni -Dblocked=true -cp "$jar:classes" &&
  grep -qF "after cleaning: mode 0, reason in process: " "$work/blocked.out" &&
  grep -qF "hosted: $folder/morlane-host32 not found; the cache folder $folder was cleaned while this program ran" "$work/blocked.out" &&
  ! grep -q WARNING "$work/blocked.out"; then
  pass "one that cannot be put back: the load failure says the cache was cleaned, and what to do"
else
  fail "a cleaned cache that cannot be restored"
fi
rm -f "$folder"

section "failures name the platform and every place tried"
mkdir -p "$work/shared" "$work/foreign"
chmod 777 "$work/shared"
chown nobody "$work/foreign"
if consumer refused "$linux/sim" -cp "$jar:classes" -Dmorlane.cache="$work/foreign/cache" \
  -Duser.home="$work/hömé" -Djava.io.tmpdir="$work/shared"; then
  fail "loaded with every cache folder unsafe"
else
  pass "every cache folder refused: UnsatisfiedLinkError"
  for text in "cannot load the bridge library for linux-x86_64 (os.name Linux, os.arch amd64, 64-bit JVM)" \
    "java.library.path (" "$work/foreign, a folder above it: owned by nobody, neither you nor root" \
    "$work/shared, a folder above it: others may write to it (mode 777" \
    "passed over, the JVM's file-name encoding (US-ASCII) cannot represent it"; do
    grep -qF -- "$text" "$work/refused.out" || fail "the error lacks \"$text\""
  done
fi
if consumer foreign "$linux/sim" -cp "$jar:classes" -Dos.arch=sparc; then
  fail "loaded on a platform the jar has nothing for"
elif grep -qF "an unsupported platform (os.name Linux, os.arch sparc" "$work/foreign.out" &&
  grep -qF "it holds no bridge for this platform" "$work/foreign.out"; then
  pass "an unsupported platform is named as such"
else
  fail "the error for an unsupported platform"
fi
# java.library.path still comes first: the build's own bridge, with the jar on the class path.
if consumer librarypath "$linux/sim" -cp "$jar:classes" -Djava.library.path="$linux/lib" &&
  grep -q "bridge from java.library.path" "$work/librarypath.out"; then
  pass "a bridge on java.library.path is taken before the jar's"
else
  fail "java.library.path does not come first"
fi

section "java -jar: the machine check, on both JVMs"
# machine <name> <java> <simulated libraries folder, or none> <exit status> <pattern>...: every
# pattern (grep -E) must match a line of the report.
machine() {
  local name=$1 jvm=$2 sim=$3 expected=$4 status=0 pattern
  shift 4
  java=$jvm main='' consumer "$name" "$sim" -jar "$jar" || status=$?
  if [ "$status" -ne "$expected" ]; then
    fail "java -jar ($name) exited $status, not $expected"
    return
  fi
  for pattern in "$@"; do
    grep -qE -- "$pattern" "$work/$name.out" || { fail "java -jar ($name): nothing like \"$pattern\""; return; }
  done
  pass "java -jar ($name): exit $status, \"$(tail -n 1 "$work/$name.out")\""
}
natives="$cache/$version-[0-9a-f]{16}"
machine 64-bit java "$linux/sim32" 0 "^  platform +linux-x86_64 \(" \
  "^  bridge +$natives/libmorlane.so, from this jar's morlane/natives/linux-x86_64/\$" \
  "^  cache +$cache\$" "^ +\(the user's own cache\)\$" "^  host +$natives/morlane-host32 starts\$" \
  "^  CVDLL1RZ1.dll +loads, hosted by morlane-host32\$" "^  CVDAlib.dll +loads, hosted by morlane-host32\$"
machine 64-bit-alone java "" 1 \
  "^  CVDLL1RZ1.dll +MISSING: cannot be loaded: in process: CVDLL1RZ1.dll: cannot open shared object file.*; hosted: morlane-host32 could not load it" \
  "^  host +$natives/morlane-host32 starts\$" "^morlane: 2 missing"
i386_java=/usr/lib/jvm/java-17-openjdk-i386/bin/java
machine 32-bit "$i386_java" "$linux/sim32" 0 "^  platform +linux-x86 \(.*32-bit JVM\)\$" \
  "^  bridge +$natives/libmorlane.so, from this jar's morlane/natives/linux-x86/\$" "^  host +none needed" \
  "^  CVDLL1RZ1.dll +loads in process\$" "^  CVDAlib.dll +loads in process\$"
machine 32-bit-alone "$i386_java" "" 1 \
  "^  CVDAlib.dll +MISSING: cannot be loaded: CVDAlib.dll: cannot open shared object file" "^morlane: 2 missing"

section "the cache: other versions' folders; the version under an uber-jar"
# One folder of an older version is held by a JVM of that version, which is still running.
unused=$cache/0.8.0-0123456789abcdef held=$cache/0.9.0-0123456789abcdef
mkdir -p "$unused" "$held"
touch "$unused/libmorlane.so" "$held/libmorlane.so"
mkfifo "$work/hold.in"
(cd "$work/empty" && exec java -cp classes HoldLock "$held.lock" <"$work/hold.in" >"$work/hold.out" 2>&1) &
holder=$!
exec 3>"$work/hold.in" # the holder runs until this closes
for _ in $(seq 100); do
  grep -q held "$work/hold.out" && break
  sleep 0.1
done
# An uber-jar: the release jar's contents and the program's classes, with a manifest of its own.
mkdir "$work/uber"
(cd "$work/uber" && jar xf "$jar" && rm -r META-INF module-info.class && cp -R "$work/empty/classes/." .)
jar --create --file "$work/empty/uber.jar" -C "$work/uber" .
if consumer uber "$linux/sim" -cp uber.jar && grep -q "bridge from $cache/$version-" "$work/uber.out"; then
  pass "an uber-jar: the cache folder is named by version $version all the same"
else
  fail "an uber-jar: the cache folder does not carry the version"
fi
if [ ! -e "$unused" ] && [ -f "$held/libmorlane.so" ]; then
  pass "a folder of an older version is removed; one that a running JVM holds stays"
else
  fail "other versions' folders: $(ls -A "$cache" | tr '\n' ' ')"
fi
exec 3>&-
wait "$holder" || fail "the lock holder failed: $(cat "$work/hold.out")"

section "module path"
if jar --describe-module --file "$jar" | tee "$work/module.txt" | grep -q '^morlane' &&
  grep -q '^exports lathwork' "$work/module.txt" && grep -q '^exports morlane' "$work/module.txt"; then
  pass "module morlane, exporting lathwork and morlane"
else
  fail "module descriptor: $(tr '\n' ' ' <"$work/module.txt")"
fi
if consumer modulepath "$linux/sim32" --module-path "$jar" --add-modules morlane -cp classes &&
  grep -q "link library hosted, read 7 65535, bridge from $cache/$version-" "$work/modulepath.out"; then
  pass "on the module path (hosted), the cache folder named by version"
else
  fail "on the module path"
fi

section "Maven: a project depending on lathwork:morlane:$version, offline with Debian's Maven"
cp -R "$root/tests/jar/consumer" "$work/maven"
maven() { # <name> <simulated libraries folder>
  (cd "$work/maven" && env -i PATH=/usr/bin:/bin HOME="$work/home2" XDG_CACHE_HOME="$work/home2" \
    LD_LIBRARY_PATH="$2" \
    mvn -B -q -o -Dstyle.color=never -s settings.xml -Dmaven.repo.local="$work/m2" \
    -Daether.offline.protocols=file -Dmorlane.repository="file://$out/maven-repo" \
    -Dmorlane.version="$version" compile exec:exec@run) >"$work/$1.out" 2>&1
}
if maven maven-in "$linux/sim" && grep -q "link library in process, read 7 65535, bridge from $work/home2/" "$work/maven-in.out"; then
  pass "built, run in process: $(grep 'consumer:' "$work/maven-in.out" | sed 's/.*consumer:/consumer:/')"
else
  tail -n 30 "$work/maven-in.out"
  fail "Maven consumer in process"
fi
if maven maven-hosted "$linux/sim32" && grep -q "link library hosted, read 7 65535" "$work/maven-hosted.out"; then
  pass "run hosted: $(grep 'consumer:' "$work/maven-hosted.out" | sed 's/.*consumer:/consumer:/')"
else
  tail -n 30 "$work/maven-hosted.out"
  fail "Maven consumer hosted"
fi
if cmp -s "$work/m2/lathwork/morlane/$version/morlane-$version.jar" "$jar"; then
  pass "Maven resolved the release jar itself"
else
  fail "Maven's copy of the jar differs from the release jar"
fi

section "Maven: the example's JUnit tests on lathwork:morlane-simulator:$version, offline"
cp -R "$root/example" "$work/example"
example_tests() { # <name> <hosted: true or false> <the tests' java>
  (cd "$work/example" && env -i PATH=/usr/bin:/bin HOME="$work/home2" XDG_CACHE_HOME="$work/home2" \
    mvn -B -o -Dstyle.color=never -s "$root/tests/jar/consumer/settings.xml" \
    -Dmaven.repo.local="$work/m2" -Daether.offline.protocols=file \
    -Dmorlane.repository="file://$out/maven-repo" -Dmorlane.version="$version" \
    -Dmorlane.simulator.hosted="$2" -Djvm="$3" test) >"$work/$1.out" 2>&1
}
# In process the crash test is skipped: a crash there would end the JVM.
for run in "in-process false 1 $(command -v java)" "hosted true 0 $(command -v java)" \
  "32-bit-JVM false 1 $i386_java"; do
  set -- $run
  if example_tests "example-$1" "$2" "$4" &&
    grep -q "Tests run: 4, Failures: 0, Errors: 0, Skipped: $3\$" "$work/example-$1.out"; then
    pass "the example's tests, $1: $(grep -m1 'Tests run: 4' "$work/example-$1.out" | sed 's/.*Tests/Tests/')"
  else
    grep -E "Tests run|<<<|ERROR" "$work/example-$1.out" | head -n 30
    fail "the example's tests, $1"
  fi
done

echo "check-jar: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
