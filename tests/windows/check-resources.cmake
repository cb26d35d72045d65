# Checks that a program carries the manifest Windows reads at its start (RT_MANIFEST, ID 1) with
# asInvoker and every supported-OS entry, and version information naming the given version.
#
#   cmake -DOBJDUMP=<objdump> -DOBJCOPY=<objcopy> -DEXE=<program> -DVERSION=<x.y.z>
#         -DWORK=<scratch file> -P check-resources.cmake
cmake_minimum_required(VERSION 3.20)
foreach(var OBJDUMP OBJCOPY EXE VERSION WORK)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "check-resources.cmake: ${var} not given")
  endif()
endforeach()

execute_process(COMMAND "${OBJDUMP}" -p "${EXE}" OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
execute_process(COMMAND "${OBJCOPY}" -O binary --only-section=.rsrc "${EXE}" "${WORK}"
                RESULT_VARIABLE copy_rc)
if(NOT rc EQUAL 0 OR NOT copy_rc EQUAL 0 OR NOT EXISTS "${WORK}")
  message(FATAL_ERROR "cannot read the resources of ${EXE}")
endif()
# The manifest as UTF-8 bytes, the version information as UTF-16 strings.
file(STRINGS "${WORK}" manifest)
file(STRINGS "${WORK}" version ENCODING UTF-16LE)
string(JOIN "\n" manifest ${manifest})
string(JOIN "\n" version ${version})

set(problems "")
# Type 24 (RT_MANIFEST), name 1: the manifest the loader applies to the process.
if(NOT dump MATCHES "Entry: ID: 0x000018, [^\n]*\n[^\n]*\n[^\n]*Entry: ID: 0x000001,")
  string(APPEND problems "  no RT_MANIFEST resource with ID 1\n")
endif()
if(NOT dump MATCHES "Entry: ID: 0x000010,")
  string(APPEND problems "  no RT_VERSION resource\n")
endif()
foreach(expected
    "requestedExecutionLevel level=\"asInvoker\""
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}" "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}" "{1f676c76-80e1-4239-95bb-83d0f6d0da78}"
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}")
  string(FIND "${manifest}" "${expected}" at)
  if(at LESS 0)
    string(APPEND problems "  the manifest lacks ${expected}\n")
  endif()
endforeach()
foreach(expected VS_VERSION_INFO FileVersion ProductVersion "${VERSION}")
  string(FIND "${version}" "${expected}" at)
  if(at LESS 0)
    string(APPEND problems "  the version information lacks ${expected}\n")
  endif()
endforeach()
if(problems)
  message(FATAL_ERROR "${EXE}:\n${problems}")
endif()
message(STATUS "${EXE}: manifest (asInvoker, Vista to 11) and version ${VERSION}")
