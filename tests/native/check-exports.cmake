# Checks that the Linux build of the bridge exports exactly the functions the `javac -h` headers
# declare, and nothing else of its own: a name missing means UnsatisfiedLinkError in the JVM, an
# extra one leaks our internals into every process that loads us.
#
#   cmake -DNM=<nm> -DLIBRARY=<libmorlane.so> "-DHEADER=<header>;<header>..." -P check-exports.cmake
cmake_minimum_required(VERSION 3.20)

include("${CMAKE_CURRENT_LIST_DIR}/../../cmake/declared-natives.cmake")
morlane_declared_natives(declared "${HEADER}")

execute_process(COMMAND "${NM}" -D --defined-only "${LIBRARY}" OUTPUT_VARIABLE dump
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} -D ${LIBRARY} failed")
endif()
string(REGEX MATCHALL "[0-9a-f]+ [A-Za-z] [^\n]+" rows "${dump}")
set(exported "")
foreach(row IN LISTS rows)
  string(REGEX REPLACE "^[0-9a-f]+ [A-Za-z] " "" name "${row}")
  list(APPEND exported "${name}")
endforeach()
list(SORT exported)

list(LENGTH declared count)
if(count EQUAL 0)
  message(FATAL_ERROR "no JNI functions declared in ${HEADER}")
endif()
if(NOT exported STREQUAL declared)
  set(missing ${declared})
  list(REMOVE_ITEM missing ${exported})
  set(extra ${exported})
  list(REMOVE_ITEM extra ${declared})
  message(FATAL_ERROR "exports differ from the header\n  missing: ${missing}\n  extra: ${extra}")
endif()
message(STATUS "exports exactly the ${count} functions of the header")
