#!/usr/bin/env bash
# Installs what building, testing and the demo need on a fresh Debian 12 machine (run as root).
# Does nothing when everything is already there, so the other scripts can call it every time.
#
#   scripts/install-deps.sh            everything scripts/test.sh needs
#   scripts/install-deps.sh package    what scripts/package.sh needs: the demo's and MinGW
#   scripts/install-deps.sh demo       what scripts/demo.sh needs: the Linux compilers and the JDK
set -euo pipefail
mode=${1:-test}
case $mode in
  test | package | demo) ;;
  *) echo "install-deps: no mode '$mode' (test, package, demo)" >&2; exit 2 ;;
esac

# The demo: the bridge for 64-bit Linux with its 32-bit host and simulated libraries; javac, jar
# and javadoc.
packages=(cmake make g++ g++-multilib openjdk-17-jdk-headless)
# Packaging: the bridge for Windows too; the archive check runs the example on this JDK; the
# desk kit's JUnit extension is compiled against JUnit 5's API.
if [ "$mode" != demo ]; then
  packages+=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix junit5)
fi
if [ "$mode" = test ]; then
  packages+=(
    pkg-config
    openjdk-17-jre-headless:i386
    libgtest-dev googletest
    junit5
    libjna-java
    wine wine32:i386 wine64
    clang libclang-rt-14-dev llvm
    valgrind
    # The release jar's consumer check and the example's JUnit tests: Debian's Maven and the
    # plugins it builds, runs and tests with, all resolved offline from /usr/share/maven-repo.
    maven libmaven-compiler-plugin-java libmaven-resources-plugin-java libexec-maven-plugin-java
    libsurefire-java
    unzip
    # The Windows tests' texts in code page 932 run Wine in a Japanese locale, made from its
    # source (below).
    locales
  )
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
japanese_locale() {
  if [ "$mode" = test ] && ! locale -a 2>/dev/null | grep -qix 'ja_JP.utf-\?8'; then
    if [ "$(id -u)" -eq 0 ]; then
      localedef -i ja_JP -c -f UTF-8 ja_JP.UTF-8
    else
      echo "install-deps: no ja_JP.UTF-8 locale; run as root to make it" >&2
    fi
  fi
}
if [ ${#missing[@]} -eq 0 ]; then
  japanese_locale
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages ${missing[*]}; run as root to install them" >&2
  exit 1
fi
echo "install-deps: installing ${#missing[@]} Debian packages (and what they need), a few minutes" \
  "on a fresh machine: ${missing[*]}"
# wine32 and the 32-bit JRE are i386 packages; the architecture must be known to apt before the
# update. The demo needs none, nor the time the i386 package lists take to fetch.
if [[ " ${missing[*]}" == *:i386* ]]; then
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
echo "install-deps: apt-get update"
apt-get update -qq
# One line per package as it is set up, so a long installation is never silent.
apt-get install -y -qq "${missing[@]}" | { grep --line-buffered '^Setting up ' || true; }
echo "install-deps: installed ${missing[*]}"
japanese_locale
