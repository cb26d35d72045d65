# What both MinGW-w64 toolchain files share; each sets MORLANE_MINGW_TRIPLE first.
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
