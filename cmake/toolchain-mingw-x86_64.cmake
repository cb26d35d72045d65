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
set(CMAKE_C_COMPILER ${MORLANE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MORLANE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MORLANE_MINGW_TRIPLE}-windres)

# Programs run on the build machine, so they come from the host (javac, jar, wine); headers and
# libraries are the target's. The host JDK is added as a root of its own so that a search for
# jni.h inside it is not re-rooted under the MinGW tree and lost.
if(NOT MORLANE_JDK_HOME)
  if(DEFINED ENV{JAVA_HOME} AND EXISTS "$ENV{JAVA_HOME}/include/jni.h")
    set(_morlane_jdk "$ENV{JAVA_HOME}")
  else()
    find_program(_morlane_host_javac javac NO_CMAKE_FIND_ROOT_PATH)
    if(_morlane_host_javac)
      file(REAL_PATH "${_morlane_host_javac}" _morlane_javac_real)
      get_filename_component(_morlane_jdk "${_morlane_javac_real}/../.." ABSOLUTE)
    endif()
  endif()
endif()
set(CMAKE_FIND_ROOT_PATH /usr/${MORLANE_MINGW_TRIPLE})
if(MORLANE_JDK_HOME)
  list(APPEND CMAKE_FIND_ROOT_PATH "${MORLANE_JDK_HOME}")
elseif(_morlane_jdk)
  list(APPEND CMAKE_FIND_ROOT_PATH "${_morlane_jdk}")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test executables run through Wine's 64-bit loader (Debian's `wine` command would pick the
# 32-bit one whenever wine32 is installed). It starts 32-bit programs itself, as 64-bit Windows
# does. The tests give it a 64-bit WINEPREFIX inside the build tree and WINEDEBUG=-all, so
# nothing here touches the user's own prefix.
find_program(MORLANE_WINE NAMES wine64 HINTS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(MORLANE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${MORLANE_WINE}")
endif()
