# 64-bit Windows flavour, cross-built on Linux with MinGW-w64 (the "-posix" thread model, which
# std::thread, std::mutex and GoogleTest need) and run under Wine's 64-bit loader:
#
#   cmake -S . -B ../build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake
#
# The same rules as the i686 flavour hold: exported names plain, the MinGW runtime linked
# statically, only Windows system DLLs imported. On x86-64 there is a single calling convention,
# so the exports carry no "@N" decoration to begin with and WINAPI/JNICALL change nothing.
# The Java side (javac, jar, the platform-independent jni.h) still comes from the host JDK.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(MORLANE_MINGW_TRIPLE x86_64-w64-mingw32)
include("${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake")

# Test executables run through Wine's 64-bit loader (Debian's `wine` command would pick the
# 32-bit one whenever wine32 is installed). It starts 32-bit programs itself, as 64-bit Windows
# does. The tests give it a 64-bit WINEPREFIX inside the build tree and WINEDEBUG=-all, so
# nothing here touches the user's own prefix.
find_program(MORLANE_WINE NAMES wine64 HINTS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(MORLANE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${MORLANE_WINE}")
endif()
