#!/usr/bin/env bash
# Unpacks a Linux release archive into an empty folder and runs its example there, against the
# simulated libraries it ships, in a cleared environment, so nothing from the build tree can take
# part: the dynamic loader's trace of the run must not name the source or build tree at all. The
# loose natives, of this archive and of the Windows zip beside it, must be the jar's own files. The
# field check passes there on both JVMs and refuses stand-ins that are not the release's.
#
#   scripts/check-archive.sh [morlane-<version>-Linux-x86_64.tar.gz]
#
# Without an argument the archive is made with CPack from the test build ($MORLANE_BUILD_DIR,
# default build/linux), which must be built already.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${MORLANE_BUILD_DIR:-$root/build/linux}
work=$(mktemp -d "${TMPDIR:-/tmp}/morlane-archive.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "check-archive: FAILED: $*"
  failures=$((failures + 1))
}

archive=${1:-}
if [ -z "$archive" ]; then
  echo "check-archive: packing the build in $build"
  (cd "$build" && cpack -G TGZ -B "$work/dist" >"$work/cpack.log" 2>&1) || {
    tail -n 30 "$work/cpack.log"
    exit 1
  }
  archive=$(ls "$work"/dist/morlane-*.tar.gz)
fi
echo "check-archive: $archive"
mkdir "$work/empty"
tar xzf "$archive" -C "$work/empty"
top=$(ls -d "$work"/empty/*/)
top=${top%/}

for path in README.md libmorlane.so morlane-*[0-9].jar morlane-*-sources.jar \
    morlane-*-javadoc.jar doc/api/index.html example/run.sh example/example.jar \
    example/src/conveyor/ConveyorLine.java simulated/CVDLL1RZ1.dll simulated/CVDAlib.dll \
    simulated/libsimctl.so simulated/README.txt simulated/include/cvdll1rz1.h \
    simulated/include/cvdalib.h simulated/include/simctl.h; do
  # shellcheck disable=SC2086 # the globs are meant
  ls "$top"/$path >/dev/null 2>&1 || fail "the archive lacks $path"
done
mkdir "$work/manifest"
(cd "$work/manifest" && jar xf "$(ls "$top"/morlane-*[0-9].jar)" META-INF/MANIFEST.MF morlane/natives)
grep -q '^Implementation-Version: ' "$work/manifest/META-INF/MANIFEST.MF" ||
  fail "the jar's manifest has no Implementation-Version"
# The loose bridges and hosts are the jar's very files, stripped alike: here, and in the Windows
# zip when it lies beside this archive.
same_as_jar() { # <loose file> <platform>/<file in the jar>
  cmp "$1" "$work/manifest/morlane/natives/$2" || fail "${1#"$work"/} is not the jar's $2"
}
same_as_jar "$top/libmorlane.so" linux-x86_64/libmorlane.so
same_as_jar "$top/morlane-host32" linux-x86_64/morlane-host32
for zip in "$(dirname "$archive")"/morlane-*-windows.zip; do
  [ -f "$zip" ] || continue
  mkdir "$work/windows"
  (cd "$work/windows" && jar xf "$zip")
  same_as_jar "$(ls -d "$work"/windows/*/)x86/morlane.dll" windows-x86/morlane.dll
  same_as_jar "$(ls -d "$work"/windows/*/)x64/morlane.dll" windows-x86_64/morlane.dll
  same_as_jar "$(ls -d "$work"/windows/*/)x64/morlane-host32.exe" windows-x86_64/morlane-host32.exe
done


# run <name> <expected exit status> [run.sh arguments...]: the example in a cleared environment
# (no locale, no LD_LIBRARY_PATH, a PATH of system folders only, the jar's cache in $work); its
# output and the loader's trace stay in $work/<name>.*
run() {
  local name=$1 expected=$2 status=0
  shift 2
  env -i PATH=/usr/local/bin:/usr/bin:/bin HOME="$work" TMPDIR="$work" XDG_CACHE_HOME="$work/cache" \
    MORLANE_SIMCTL_STATE="$work/sim.state" \
    LD_DEBUG=libs LD_DEBUG_OUTPUT="$work/$name.ld" \
    "$top/example/run.sh" "$@" >"$work/$name.out" 2>"$work/$name.err" || status=$?
  echo "-- example/run.sh $* -> exit $status"
  sed 's/^/   | /' "$work/$name.out" "$work/$name.err"
  [ "$status" -eq "$expected" ] || fail "run.sh $* exited $status, not $expected"
  if grep -h -e "$root" -e "$build" "$work/$name".ld.* | head -n 3 | grep .; then
    fail "run.sh $* loaded something from the source or build tree (above)"
  fi
}

expect() {
  local name=$1 text=$2
  grep -qF -- "$text" "$work/$name.out" "$work/$name.err" || fail "$name: no line with \"$text\""
}

run plain 0 --cycles 3 --interval 50
expect plain "link 0 open to unit 1 (PLC link library in-process)"
expect plain "in DLL: Download Error"
expect plain "download refused (downLoad: library failed, status 7: in DLL: Download Error): stopping the PLC for the update"
expect plain "cycle 3"
# Printed right with no locale at all, thanks to the launch script's encoding options.
expect plain 'Corvane line1/operator = "Zoë Łukasz"'
expect plain "done"
grep -h "trying file=$top/simulated/CVDLL1RZ1.dll" "$work"/plain.ld.* >/dev/null ||
  fail "the simulated PLC link library was not taken from the archive"

run rebuilt 0 --rebuild --cycles 1 --interval 0
expect rebuilt "done"

run missing 2 --no-simulated --cycles 1
expect missing "Corvane data access not available, running without it: cvStart: CVDAlib.dll could not be loaded"
expect missing "conveyor: the PLC link library cannot be loaded: in process: CVDLL1RZ1.dll: cannot open shared object file"

if [ -e "$top/morlane-host32" ]; then
  run hosted 0 --hosted --cycles 2 --interval 0
  expect hosted "link 0 open to unit 1 (PLC link library hosted in morlane-host32)"
  expect hosted "done"
fi

# The field check from the unpacked archive, in a cleared environment: the 64-bit JVM drives the
# 32-bit stand-ins hosted, Debian's 32-bit JVM in process; a folder of stand-ins that are not the
# release's own (a lacking-* variant) is refused before any write.
# field <name> <java> <expected exit status> [folder]; $where_real: the check's LD_LIBRARY_PATH
field() {
  local name=$1 jvm=$2 expected=$3 status=0
  shift 3
  mkdir -p "$work/$name"
  (cd "$work/$name" && env -i PATH=/usr/bin:/bin HOME="$work" XDG_CACHE_HOME="$work/cache" \
    LD_LIBRARY_PATH="${where_real:-}" "$jvm" -Djava.io.tmpdir="$work/$name" \
    -jar "$(ls "$top"/morlane-*[0-9].jar)" --field-check "$@") \
    >"$work/$name.out" 2>&1 || status=$?
  echo "-- java -jar --field-check $* ($name) -> exit $status"
  sed 's/^/   | /' "$work/$name.out"
  [ "$status" -eq "$expected" ] || fail "the field check ($name) exited $status, not $expected"
  ls "$work/$name"/morlane-field-check-*.txt >/dev/null 2>&1 ||
    fail "the field check ($name) left no report"
}
if [ -e "$top/morlane-host32" ]; then
  field field64 java 0
  for check in "identity: CVDLL1RZ1.dll (hosted) and CVDAlib.dll (hosted)" stress: "thread churn:" \
    deadline: "host killed:" "host process:" "host ends with the JVM:" "on the search path first:" \
    "the current folder:" "a companion library" "a 64-bit copy first:" "cache folder:"; do
    expect field64 "PASS $check"
  done
  # Stand-ins where the real libraries are searched for: a FAIL, and the exit status says so.
  where_real=$top/simulated32 field misplaced java 1
  expect misplaced "FAIL real CVDLL1RZ1.dll: $top/simulated32/CVDLL1RZ1.dll is one of the stand-ins"
fi
i386_java=/usr/lib/jvm/java-17-openjdk-i386/bin/java
if [ -x "$i386_java" ]; then
  field field32 "$i386_java" 0
  for check in "PASS identity: CVDLL1RZ1.dll (in process) and CVDAlib.dll (in process)" \
    "PASS stress:" "SKIP deadline: in process" "PASS a 64-bit copy first:" \
    "PASS a companion library"; do
    expect field32 "$check"
  done
else # scripts/package.sh installs no 32-bit JVM; scripts/test.sh does
  echo "-- no 32-bit JVM ($i386_java): the field check in process left out"
fi
variant=""
for dir in "$build/sim32/lacking-even" "$root/build/pkg-linux/sim32/lacking-even"; do
  [ -d "$dir" ] && variant=$dir && break
done
if [ -n "$variant" ]; then
  mkdir "$work/variant"
  cp "$variant"/*.dll "$top/simulated32/libsimctl.so" "$work/variant/"
  field refused java 3 "$work/variant"
  expect refused \
    "FAIL identity: the CVDLL1RZ1.dll loaded (hosted) is not this release's stand-in in $work/variant"
  expect refused "stopped before any write"
else
  fail "no lacking-even variant of the stand-ins to check the refusal with"
fi
# Its copies of the stand-ins went with its temporary folders: none is left for a program to find.
leftover=$(find "$work" -name CVDLL1RZ1.dll -not -path "$top/*" -not -path "$work/variant/*" \
  -not -path "$work/windows/*")
[ -z "$leftover" ] || fail "the field check left copies of the stand-ins behind: $leftover"

# The watch tool reads what the last run left in the shared state, and sets a register there.
# watch [expected exit status] [simwatch arguments...]
watch() {
  local expected=0 status=0
  case ${1:-} in [0-9]*) expected=$1; shift ;; esac
  env -i PATH=/usr/bin:/bin MORLANE_SIMCTL_STATE="$work/sim.state" "$top/tools/simwatch.sh" "$@" \
    >"$work/watch.out" 2>&1 || status=$?
  [ "$status" -eq "$expected" ] || fail "simwatch.sh $* exited $status, not $expected"
  echo "-- tools/simwatch.sh $* -> exit $status"
  sed 's/^/   | /' "$work/watch.out"
}
if [ -e "$top/tools/simwatch.sh" ]; then
  watch --once --journal 3
  expect watch "CVDLLRZ_Close 0"
  expect watch "state file $work/sim.state"
  expect watch "STALE: no running program has the simulated libraries loaded"
  if ! grep -q "no PLC view" "$work/watch.out"; then
    expect watch "closed links: 0 1 2 3 4 5 6 7"
    watch set 0 0 3 42
    expect watch "no running program uses $work/sim.state"
    watch --once --range 0:0:0:4 --journal 0
    expect watch "link 0 D0..D3:     0     0     0    42"
    watch 64 set 0 0 3 70000
    expect watch "70000 is not a register value: a register holds one word, 0..65535"
    watch 64 set 0 0 3 -5
    watch 1 set 0 0 9000 1
    expect watch "the simulated PLC has no register D9000 on link 0"
    watch 1 set 8 0 0 1
    watch --once --range 0:0:0:4 --journal 0
    expect watch "link 0 D0..D3:     0     0     0    42"
  fi
  # While a program runs with the same state file, the view says so.
  env -i PATH=/usr/local/bin:/usr/bin:/bin HOME="$work" TMPDIR="$work" \
    XDG_CACHE_HOME="$work/cache" MORLANE_SIMCTL_STATE="$work/sim.state" \
    "$top/example/run.sh" --cycles 40 --interval 100 >"$work/live.out" 2>&1 &
  live=$!
  for _ in $(seq 50); do
    grep -q "cycle 1" "$work/live.out" && break
    sleep 0.2
  done
  watch --once --journal 0
  expect watch "state file $work/sim.state: in use by a running program"
  wait "$live" || fail "the example run beside simwatch failed"
  watch --once --journal 0
  expect watch "STALE"
  rm "$work/sim.state"
  watch 1 --once
  expect watch "no state file $work/sim.state yet"
  watch --help
  expect watch "usage: simwatch"
fi

if [ "$failures" -ne 0 ]; then
  echo "check-archive: $failures failure(s)"
  exit 1
fi
echo "check-archive: the unpacked archive works on its own"
