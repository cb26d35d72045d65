# Runs one Windows test program and passes on its output and exit status.
#
#   cmake "-DEMULATOR=<wine command>" -DEXE=<program> "-DARGS=<arguments>" -DLOG=<file>
#         [-DTIMEOUT=<seconds>] -P run-in-wine.cmake
#
# The program writes to a file, not to ctest's pipe: should Wine start a background process
# after all, that process inherits the file and cannot keep the test hanging on its output.
# The file is printed when the program has ended.
cmake_minimum_required(VERSION 3.20)
foreach(var EXE LOG)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "run-in-wine.cmake: ${var} not given")
  endif()
endforeach()
if(NOT DEFINED TIMEOUT)
  set(TIMEOUT 1200)
endif()

# A simulated libraries' state file named for the test (Z: is Wine's drive for the Unix root)
# starts empty, so nothing of an earlier run is seen.
if(DEFINED ENV{MORLANE_SIMCTL_STATE})
  string(REGEX REPLACE "^[Zz]:" "" state "$ENV{MORLANE_SIMCTL_STATE}")
  file(REMOVE "${state}")
endif()

string(TIMESTAMP started "%s")
execute_process(COMMAND ${EMULATOR} "${EXE}" ${ARGS}
                OUTPUT_FILE "${LOG}" ERROR_FILE "${LOG}"
                RESULT_VARIABLE rc TIMEOUT ${TIMEOUT})
string(TIMESTAMP finished "%s")
math(EXPR seconds "${finished} - ${started}")
execute_process(COMMAND "${CMAKE_COMMAND}" -E cat "${LOG}")
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${EXE} failed after ${seconds} s: ${rc}")
endif()
message(STATUS "${EXE} passed in ${seconds} s")
