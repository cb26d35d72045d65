# Prepares the Wine prefix for the Windows tests, once per ctest run (a setup fixture).
#
#   cmake -DWINESERVER=<wineserver> -DWINEBOOT=<command> -DPREFIX=<dir> -DLOGDIR=<dir>
#         [-DPERSIST=<seconds>] -P wine-prefix.cmake
#
# Wine's background processes (the server, services.exe, ...) inherit the descriptors of the
# program that started them. Started by a test, they would hold that test's output pipe open
# long after it ended and a runner that waits for the end of output would hang. So the server is
# started here, with every descriptor on a log file, and kept alive for the whole run: the test
# programs connect to it and start no background process of their own.
cmake_minimum_required(VERSION 3.20)
foreach(var WINESERVER WINEBOOT PREFIX LOGDIR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "wine-prefix.cmake: ${var} not given")
  endif()
endforeach()
if(NOT DEFINED PERSIST)
  set(PERSIST 120)
endif()

file(MAKE_DIRECTORY "${PREFIX}" "${LOGDIR}")
string(TIMESTAMP started "%s")

# -pN: stay up N seconds after the last Wine process ended. The cleanup fixture stops it
# earlier; a run that is interrupted still leaves nothing behind for long. A server that is
# already up for this prefix (an earlier run) makes this fail harmlessly.
execute_process(COMMAND "${WINESERVER}" -p${PERSIST}
                OUTPUT_FILE "${LOGDIR}/wineserver.log" ERROR_FILE "${LOGDIR}/wineserver.log"
                RESULT_VARIABLE server_rc)

# Creates the prefix on the first run (tens of seconds), only checks it afterwards.
execute_process(COMMAND ${WINEBOOT} -i
                OUTPUT_FILE "${LOGDIR}/wineboot.log" ERROR_FILE "${LOGDIR}/wineboot.log"
                RESULT_VARIABLE boot_rc TIMEOUT 600)

string(TIMESTAMP finished "%s")
math(EXPR seconds "${finished} - ${started}")
if(NOT boot_rc EQUAL 0)
  file(READ "${LOGDIR}/wineboot.log" log)
  message(FATAL_ERROR "wineboot -i failed (${boot_rc}) after ${seconds} s:\n${log}")
endif()
if(NOT EXISTS "${PREFIX}/drive_c/windows/system32")
  message(FATAL_ERROR "wineboot -i made no prefix in ${PREFIX}")
endif()
message(STATUS "Wine prefix ready in ${seconds} s: ${PREFIX} (server: ${server_rc})")
