# Release packages, made with CPack from a configured build:
#
#   cpack --config <build>/CPackConfig.cmake
#
# 32-bit Windows (the MinGW toolchain): morlane-<version>-win32.zip
# Linux x86-64:                         morlane-<version>-Linux-x86_64.tar.gz
#
# Both have the same shape:
#
#   morlane-<version>-<system>/
#     morlane.dll | libmorlane.so   the bridge (java.library.path)
#     brenmoor.jar                  the reference class lathwork.Brenmoor
#     README.md
#     simulated/                    stand-ins for the outside libraries, for trying things out
#       CVDLL1RZ1.dll  CVDAlib.dll  simctl.dll | libsimctl.so  README.txt
#
# The simulated libraries carry the real ones' file names, because that is what the bridge loads;
# their folder of their own and its note keep anyone from taking them for the real ones.
# Included from the top-level CMakeLists.txt after the targets are defined.

# Nothing but the libraries themselves: no MinGW import libraries.
install(TARGETS morlane RUNTIME DESTINATION . LIBRARY DESTINATION .
        ARCHIVE DESTINATION lib EXCLUDE_FROM_ALL)
install(FILES "${MORLANE_JAR}" DESTINATION .)
if(EXISTS "${CMAKE_SOURCE_DIR}/README.md")
  install(FILES "${CMAKE_SOURCE_DIR}/README.md" DESTINATION .)
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
  if(NOT WIN32)
    # The stand-ins find simctl next to them, as they do in the build tree.
    set_target_properties(sim_cvdll1rz1 sim_cvdalib PROPERTIES INSTALL_RPATH "$ORIGIN")
  endif()
  install(TARGETS ${_pkg_simulated}
          RUNTIME DESTINATION simulated LIBRARY DESTINATION simulated
          ARCHIVE DESTINATION simulated/lib EXCLUDE_FROM_ALL)
  set(_pkg_note "${CMAKE_BINARY_DIR}/packaging/README.txt")
  if(WIN32)
    set(_pkg_search "Windows looks for them in the directory of the program (java.exe), the system
directories, the current directory and the directories on PATH, in that order; not in the
directory of morlane.dll. To try the bridge with them, put this folder on PATH or start Java in
it (a 32-bit Java, as morlane.dll is a 32-bit DLL):

  set PATH=%CD%\\simulated;%PATH%
  java -Djava.library.path=. -cp brenmoor.jar;. YourProgram")
  else()
    set(_pkg_search "The bridge loads them by bare file name, so the dynamic loader must find them:

  LD_LIBRARY_PATH=$PWD/simulated java -Djava.library.path=. -cp brenmoor.jar:. YourProgram")
  endif()
  file(WRITE "${_pkg_note}" "SIMULATED LIBRARIES - NOT THE REAL ONES

CVDLL1RZ1.dll and CVDAlib.dll in this folder are stand-ins for the PLC link library and the
Corvane data-access library, written for testing morlane without a PLC. They drive no hardware
and talk to no Corvane application. simctl is their test-control library.

Never install them where the real libraries belong. Without this folder on the library search
path, morlane loads the real libraries of the same names.

${_pkg_search}
")
  install(FILES "${_pkg_note}" DESTINATION simulated)
endif()

set(CPACK_PACKAGE_NAME morlane)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "JNI bridge from lathwork.Brenmoor to the PLC link and Corvane data-access libraries")
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win32)
else()
  set(CPACK_GENERATOR TGZ)
  set(CPACK_SYSTEM_NAME "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}")
endif()
set(CPACK_PACKAGE_FILE_NAME "morlane-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME}")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
# Debug information stays in the build tree; the packages hold stripped libraries.
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/dist")
include(CPack)
