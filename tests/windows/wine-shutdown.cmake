# Stops the Wine server of the test prefix after the Windows tests (a cleanup fixture), so that
# no Wine process outlives the ctest run.
#
#   cmake -DWINESERVER=<wineserver> -P wine-shutdown.cmake     (WINEPREFIX comes from the test)
cmake_minimum_required(VERSION 3.20)
if(NOT DEFINED WINESERVER)
  message(FATAL_ERROR "wine-shutdown.cmake: WINESERVER not given")
endif()
execute_process(COMMAND "${WINESERVER}" -k OUTPUT_QUIET ERROR_QUIET)
# -k only signals; -w returns once the server is really gone (or at once when none runs).
execute_process(COMMAND "${WINESERVER}" -w OUTPUT_QUIET ERROR_QUIET TIMEOUT 60 RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the Wine server did not stop: ${rc}")
endif()
