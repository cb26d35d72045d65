# The 32-bit host process for a 64-bit bridge. The outside libraries are 32-bit; a 64-bit bridge
# that cannot load one in-process starts morlane-host32 beside it, which loads the library and
# serves the calls. This builds that program, and the 32-bit simulated libraries it loads in the
# tests, by configuring this same source tree a second time with a 32-bit toolchain:
#
#   <build>/i386            the 32-bit build (MORLANE_TESTS=OFF)
#   <build>/lib             morlane-host32 lands beside the bridge, where the bridge looks for it
#   <build>/sim32           the 32-bit simulated libraries, their lacking-* variants and simctl
#
# MORLANE_HOST32_TOOLCHAIN names the 32-bit toolchain, so a 64-bit Windows build can use the same
# machinery with the MinGW i686 one. Included from the top-level CMakeLists.txt after the
# simulated libraries; sets MORLANE_SIM32_DIR for the tests.
include_guard(GLOBAL)
include(CheckCXXSourceCompiles)
include(ExternalProject)

set(_host32_possible OFF)
set(_host32_why "")
if(CMAKE_SYSTEM_NAME STREQUAL "Linux" AND NOT CMAKE_CROSSCOMPILING
   AND CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(_host32_toolchain "${CMAKE_CURRENT_LIST_DIR}/toolchain-linux-i386.cmake")
  # The toolchain is gcc -m32; whether the 32-bit C++ runtime is there (g++-multilib) only a
  # link shows.
  set(CMAKE_REQUIRED_FLAGS -m32)
  set(CMAKE_REQUIRED_LINK_OPTIONS -m32)
  set(CMAKE_REQUIRED_QUIET ON)
  check_cxx_source_compiles([[
    #include <mutex>
    #include <string>
    static_assert(sizeof(void*) == 4, "not a 32-bit target");
    int main(int argc, char**) {
        static std::mutex m;
        std::lock_guard<std::mutex> lock(m);
        return static_cast<int>(std::to_string(argc).size());
    }]] MORLANE_HAVE_M32)
  unset(CMAKE_REQUIRED_FLAGS)
  unset(CMAKE_REQUIRED_LINK_OPTIONS)
  unset(CMAKE_REQUIRED_QUIET)
  if(MORLANE_HAVE_M32)
    set(_host32_possible ON)
  else()
    set(_host32_why "the compiler cannot build and link a -m32 C++ program (install g++-multilib)")
  endif()
elseif(WIN32 AND CMAKE_CROSSCOMPILING AND CMAKE_SIZEOF_VOID_P EQUAL 8)
  # 64-bit Windows cross-built with MinGW: morlane-host32.exe and the 32-bit simulated DLLs come
  # from the i686 MinGW toolchain.
  set(_host32_toolchain "${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-i686.cmake")
  find_program(MORLANE_MINGW_I686_CXX i686-w64-mingw32-g++-posix NO_CMAKE_FIND_ROOT_PATH)
  if(MORLANE_MINGW_I686_CXX)
    set(_host32_possible ON)
  else()
    set(_host32_why "no MinGW-w64 i686 compiler (install g++-mingw-w64-i686-posix)")
  endif()
elseif(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(_host32_why "this build is 32-bit itself: the bridge loads the libraries in-process")
else()
  set(_host32_why "no 32-bit toolchain for ${CMAKE_SYSTEM_NAME} here")
endif()

option(MORLANE_HOST32 "Build morlane-host32 and the 32-bit simulated libraries beside the bridge"
       ${_host32_possible})
set(MORLANE_HOST32_TOOLCHAIN "${_host32_toolchain}" CACHE FILEPATH
    "CMake toolchain file of the 32-bit build that makes morlane-host32")
if(MORLANE_HOST32 AND NOT EXISTS "${MORLANE_HOST32_TOOLCHAIN}")
  message(STATUS "morlane-host32: off, no 32-bit toolchain file (MORLANE_HOST32_TOOLCHAIN)")
  set(MORLANE_HOST32 OFF)
endif()
if(NOT MORLANE_HOST32)
  if(_host32_why)
    message(STATUS "morlane-host32: off, ${_host32_why}")
  endif()
  return()
endif()

set(MORLANE_HOST32_BINARY_DIR "${CMAKE_BINARY_DIR}/i386")
set(MORLANE_SIM32_DIR "${CMAKE_BINARY_DIR}/sim32")

# Until the host program's sources are in the tree, only the simulated libraries are built.
set(_host32_targets ${MORLANE_SIM_TARGETS})
set(_host32_copy "")
if(EXISTS "${CMAKE_SOURCE_DIR}/host/CMakeLists.txt")
  list(PREPEND _host32_targets morlane-host32)
  set(_host32_program "morlane-host32${CMAKE_EXECUTABLE_SUFFIX}")
  set(_host32_copy
    COMMAND "${CMAKE_COMMAND}" -E copy_if_different
            "<BINARY_DIR>/lib/${_host32_program}" "<BINARY_DIR>/lib/${_host32_program}.debug"
            "${CMAKE_BINARY_DIR}/lib/")
endif()
# Windows tests run the mailbox stress test with its 32-bit build as the host side.
set(_host32_stress OFF)
if(WIN32 AND MORLANE_TESTS)
  set(_host32_stress ON)
  list(APPEND _host32_targets morlane_mailbox_stress)
endif()

# With make on both sides the 32-bit build shares the caller's job slots; otherwise one job per
# core of its own. make is told to regenerate first: a target added to the tree since the 32-bit
# build was configured is otherwise unknown to its Makefile (ninja regenerates by itself).
if(CMAKE_GENERATOR MATCHES "Makefiles")
  set(_host32_build $(MAKE) -C <BINARY_DIR> cmake_check_build_system
            COMMAND $(MAKE) -C <BINARY_DIR> ${_host32_targets})
else()
  cmake_host_system_information(RESULT _host32_jobs QUERY NUMBER_OF_LOGICAL_CORES)
  set(_host32_build "${CMAKE_COMMAND}" --build <BINARY_DIR> --parallel ${_host32_jobs}
                    --target ${_host32_targets})
endif()

set(_host32_build_type "${CMAKE_BUILD_TYPE}")
if(NOT _host32_build_type)
  set(_host32_build_type RelWithDebInfo)
endif()

ExternalProject_Add(morlane_host32_build
  SOURCE_DIR "${CMAKE_SOURCE_DIR}"
  BINARY_DIR "${MORLANE_HOST32_BINARY_DIR}"
  PREFIX "${CMAKE_BINARY_DIR}/i386-ep"
  CMAKE_ARGS
    "-DCMAKE_TOOLCHAIN_FILE=${MORLANE_HOST32_TOOLCHAIN}"
    "-DCMAKE_BUILD_TYPE=${_host32_build_type}"
    -DMORLANE_TESTS=OFF
    -DMORLANE_HOST32=OFF
    -DMORLANE_BENCH=OFF
    -DMORLANE_MAILBOX_STRESS=${_host32_stress}
    "-DMORLANE_JDK_HOME=${MORLANE_JDK_HOME}"
  BUILD_COMMAND ${_host32_build}
  # Sources are shared with this build, so the 32-bit build runs every time and decides itself
  # what is out of date.
  BUILD_ALWAYS ON
  INSTALL_COMMAND
    "${CMAKE_COMMAND}" -E copy_directory "<BINARY_DIR>/sim" "${MORLANE_SIM32_DIR}"
    ${_host32_copy})
