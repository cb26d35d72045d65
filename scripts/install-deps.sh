#!/usr/bin/env bash
# Installs what building, testing and the demo need on a fresh Debian 12 machine (run as root).
# Does nothing when everything is already there, so the other scripts can call it every time.
set -euo pipefail

packages=(
  cmake make g++ g++-multilib pkg-config
  openjdk-17-jdk-headless openjdk-17-jre-headless:i386
  libgtest-dev googletest
  junit5
  libjna-java
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
  wine wine32:i386 wine64
  clang libclang-rt-14-dev llvm
  valgrind
  gnuplot-nox
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages ${missing[*]}; run as root to install them" >&2
  exit 1
fi
echo "install-deps: installing ${#missing[@]} Debian packages (and what they need), a few minutes" \
  "on a fresh machine: ${missing[*]}"
# wine32 and the 32-bit JRE are i386 packages; the architecture must be known to apt before the
# update.
dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
export DEBIAN_FRONTEND=noninteractive
echo "install-deps: apt-get update"
apt-get update -qq
# One line per package as it is set up, so a long installation is never silent.
apt-get install -y -qq "${missing[@]}" | { grep --line-buffered '^Setting up ' || true; }
echo "install-deps: installed ${missing[*]}"
