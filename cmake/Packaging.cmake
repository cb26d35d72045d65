# Release archives, made with CPack from a configured build (scripts/package.sh makes both):
#
#   cpack --config <build>/CPackConfig.cmake
#
# Linux x86-64:                    morlane-<version>-Linux-x86_64.tar.gz
# Windows (MinGW x86-64 build):    morlane-<version>-windows.zip, for 32-bit and 64-bit JVMs alike
#
# Each stands on its own:
#
#   morlane-<version>-<system>/
#     README.md                        the user guide for this archive (packaging/README-*.md)
#     morlane-<version>.jar            the release jar: classes and every native, loads itself
#     morlane-<version>-sources.jar    its sources
#     morlane-<version>-javadoc.jar    its Javadoc, also as HTML in doc/api/
#     libmorlane.so, morlane-host32    Linux: the loose bridge and host, for java.library.path
#     x64/, x86/                       Windows: the same for 64-bit and 32-bit JVMs
#     example/                         the conveyor example: example.jar, src/, run.sh | run.bat
#     tools/                           simwatch: watch and poke the simulated PLC from outside
#     simulated/                       stand-ins for the outside libraries (32-bit in win64),
#                                      their test-control library, documented headers in include/
#     simulated32/                     Linux only: the 32-bit stand-ins, to try the hosted mode
#
# The simulated libraries carry the real ones' file names, because that is what the bridge loads;
# their folder of their own and its note keep anyone from taking them for the real ones.
# Included from the top-level CMakeLists.txt after the targets are defined.

add_subdirectory("${CMAKE_SOURCE_DIR}/example" "${CMAKE_BINARY_DIR}/example")
if(EXISTS "${CMAKE_SOURCE_DIR}/tools/simwatch/CMakeLists.txt")
  add_subdirectory("${CMAKE_SOURCE_DIR}/tools/simwatch" "${CMAKE_BINARY_DIR}/tools")
endif()

# The release jar and its companions, made by scripts/release-jar.sh from all four builds once
# they are done; without it the archive holds this build's classes alone.
set(MORLANE_RELEASE_DIR "" CACHE PATH "Output folder of scripts/release-jar.sh, for the archives")
# The 64-bit Windows archive serves 32-bit JVMs too: it carries the i686 build's bridge.
set(MORLANE_WIN32_BRIDGE "" CACHE FILEPATH "The i686 morlane.dll for the Windows archive's x86/")

set(_pkg_bridge_dir .)
if(WIN32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(_pkg_system windows)
    set(_pkg_bridge_dir x64)
    if(MORLANE_WIN32_BRIDGE)
      install(FILES "${MORLANE_WIN32_BRIDGE}" DESTINATION x86)
    endif()
  else()
    set(_pkg_system win32)
  endif()
else()
  set(_pkg_system "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}")
endif()

# The bridge and the host as the build left them, stripped already and the very files the jar
# holds, so installed as plain files, which CPack does not strip again; no MinGW import library.
# A 64-bit build serves the 32-bit libraries through the host program beside the bridge.
install(PROGRAMS "$<TARGET_FILE:morlane>" DESTINATION ${_pkg_bridge_dir})
if(MORLANE_HOST32 AND EXISTS "${CMAKE_SOURCE_DIR}/host/CMakeLists.txt")
  install(PROGRAMS "${CMAKE_BINARY_DIR}/lib/morlane-host32${CMAKE_EXECUTABLE_SUFFIX}"
          DESTINATION ${_pkg_bridge_dir})
endif()
# The simulated libraries from the 32-bit sub-build are plain files too; they are stripped below,
# like the targets (both strip tools read the 32-bit formats).
set(_pkg_strip32 "")

if(MORLANE_RELEASE_DIR)
  install(FILES "${MORLANE_RELEASE_DIR}/morlane-${PROJECT_VERSION}.jar"
                "${MORLANE_RELEASE_DIR}/morlane-${PROJECT_VERSION}-sources.jar"
                "${MORLANE_RELEASE_DIR}/morlane-${PROJECT_VERSION}-javadoc.jar" DESTINATION .)
else()
  install(FILES "${MORLANE_JAR}" DESTINATION . RENAME "morlane-${PROJECT_VERSION}.jar")
  install(FILES "${MORLANE_SOURCES_JAR}" "${MORLANE_JAVADOC_JAR}" DESTINATION .)
endif()
install(DIRECTORY "${MORLANE_JAVADOC_DIR}/" DESTINATION doc/api)

if(WIN32)
  set(_pkg_guide "${CMAKE_SOURCE_DIR}/packaging/README-windows.md")
else()
  set(_pkg_guide "${CMAKE_SOURCE_DIR}/packaging/README-linux.md")
endif()
if(EXISTS "${_pkg_guide}")
  set(MORLANE_VERSION "${PROJECT_VERSION}")
  set(MORLANE_ARCHIVE "morlane-${PROJECT_VERSION}-${_pkg_system}")
  configure_file("${_pkg_guide}" "${CMAKE_BINARY_DIR}/packaging/README.md" @ONLY)
  install(FILES "${CMAKE_BINARY_DIR}/packaging/README.md" DESTINATION .)
endif()

install(FILES "${MORLANE_EXAMPLE_DIR}/example.jar" DESTINATION example)
install(DIRECTORY "${CMAKE_SOURCE_DIR}/example/src" DESTINATION example)
if(WIN32)
  install(FILES "${MORLANE_EXAMPLE_DIR}/run.bat" DESTINATION example)
else()
  install(PROGRAMS "${MORLANE_EXAMPLE_DIR}/run.sh" DESTINATION example)
endif()

set(_pkg_simulated simctl sim_cvdll1rz1 sim_cvdalib)
foreach(target IN LISTS _pkg_simulated)
  if(NOT TARGET ${target})
    message(WARNING "Packaging: no target ${target}; the packages will lack the simulated libraries")
    set(_pkg_simulated "")
    break()
  endif()
endforeach()
if(_pkg_simulated)
  set(_pkg_headers "${CMAKE_SOURCE_DIR}/simulated/plc/cvdll1rz1.h"
                   "${CMAKE_SOURCE_DIR}/simulated/corvane/cvdalib.h"
                   "${CMAKE_SOURCE_DIR}/simulated/control/simctl.h")
  if(WIN32 AND MORLANE_HOST32)
    # The 64-bit Windows archive: the stand-ins are 32-bit like the real libraries, so the bridge
    # serves them through morlane-host32 exactly as it will serve the real ones.
    foreach(file CVDLL1RZ1.dll CVDAlib.dll simctl.dll)
      install(FILES "${MORLANE_SIM32_DIR}/${file}" DESTINATION simulated)
      list(APPEND _pkg_strip32 "simulated/${file}")
    endforeach()
  else()
    if(NOT WIN32)
      # The stand-ins find simctl next to them, as they do in the build tree.
      set_target_properties(sim_cvdll1rz1 sim_cvdalib PROPERTIES INSTALL_RPATH "$ORIGIN")
    endif()
    install(TARGETS ${_pkg_simulated}
            RUNTIME DESTINATION simulated LIBRARY DESTINATION simulated
            ARCHIVE DESTINATION simulated/lib EXCLUDE_FROM_ALL)
    if(MORLANE_HOST32)
      # Linux x86-64: the 32-bit stand-ins too, to try the hosted mode without a 32-bit JVM.
      foreach(file CVDLL1RZ1.dll CVDAlib.dll libsimctl.so)
        install(FILES "${MORLANE_SIM32_DIR}/${file}" DESTINATION simulated32)
        list(APPEND _pkg_strip32 "simulated32/${file}")
      endforeach()
    endif()
  endif()
  install(FILES ${_pkg_headers} DESTINATION simulated/include)

  set(_pkg_note "${CMAKE_BINARY_DIR}/packaging/README.txt")
  if(WIN32)
    set(_pkg_search "Windows looks for them in the directory of the program (java.exe), the system
directories, the current directory and the directories on PATH, in that order; not in the
directory of morlane.dll. To try the bridge with them, put this folder on PATH:

  set PATH=%CD%\\simulated;%PATH%
  java -cp morlane-${PROJECT_VERSION}.jar;. YourProgram

A 32-bit JVM loads them itself; a 64-bit one through morlane-host32.exe, which searches its own
folder first and then the same places.")
  else()
    set(_pkg_search "The bridge loads them by bare file name, so the dynamic loader must find them:

  LD_LIBRARY_PATH=$PWD/simulated java -cp morlane-${PROJECT_VERSION}.jar:. YourProgram")
  endif()
  file(WRITE "${_pkg_note}" "SIMULATED LIBRARIES - NOT THE REAL ONES

CVDLL1RZ1.dll and CVDAlib.dll in this folder are stand-ins for the PLC link library and the
Corvane data-access library, written for trying morlane without a PLC. They drive no hardware
and talk to no Corvane application. simctl is their test-control library. include/ holds their
documented headers: what the stand-ins do with each argument, and simctl's interface.

Never install them where the real libraries belong. Without this folder on the library search
path, morlane loads the real libraries of the same names.

${_pkg_search}

With MORLANE_SIMCTL_STATE naming a file, the stand-ins keep their state in that file, so that
tools/simwatch can show it from outside the program.
")
  install(FILES "${_pkg_note}" DESTINATION simulated)
endif()

if(_pkg_strip32 AND CMAKE_STRIP)
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      foreach(file ${_pkg_strip32})
        execute_process(COMMAND \"${CMAKE_STRIP}\" \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${file}\"
                        RESULT_VARIABLE status)
        if(status)
          message(FATAL_ERROR \"could not strip \${file}\")
        endif()
      endforeach()
    endif()")
endif()

set(CPACK_PACKAGE_NAME morlane)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "JNI bridge from lathwork.Brenmoor to the PLC link and Corvane data-access libraries")
if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR TGZ)
endif()
set(CPACK_SYSTEM_NAME "${_pkg_system}")
set(CPACK_PACKAGE_FILE_NAME "morlane-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME}")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
# The packages hold stripped libraries; the bridge's and the host's debug information is in the
# release's debug zip (scripts/release-jar.sh).
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/dist")
include(CPack)
