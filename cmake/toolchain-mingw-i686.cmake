# 32-bit Windows flavour, cross-built on Linux with MinGW-w64 (the "-posix" thread model, which
# std::thread, std::mutex and GoogleTest need) and run under Wine:
#
#   cmake -S . -B ../build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake
#
# The Java side (javac, jar, the platform-independent jni.h) still comes from the host JDK.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(MORLANE_MINGW_TRIPLE i686-w64-mingw32)
include("${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake")

# Test executables run through Wine. Tests give it WINEPREFIX (inside the build tree) and
# WINEDEBUG=-all themselves, so nothing here touches the user's own prefix.
find_program(MORLANE_WINE wine NO_CMAKE_FIND_ROOT_PATH)
if(MORLANE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${MORLANE_WINE}")
endif()
