# Compiles entry_mistakes.cpp once right and once per mistake, with the bridge's own warnings:
# the first must build, every other must fail, and for its own reason.
#
#   cmake -DCXX=<compiler> "-DINCLUDES=<dir>;..." -DSOURCE=<entry_mistakes.cpp> -P entry_mistakes.cmake
set(includes "")
foreach(dir IN LISTS INCLUDES)
  list(APPEND includes "-I${dir}")
endforeach()
set(why_1 "static assertion failed")
set(why_2 "no previous declaration")
set(why_3 "static assertion failed")
set(why_4 "conflicting declaration")
set(why_5 "static assertion failed")
foreach(mistake RANGE 0 5)
  execute_process(
    COMMAND "${CXX}" -std=c++17 -fsyntax-only -Wall -Wextra -Wpedantic -Werror
            -Wmissing-declarations ${includes} -DMISTAKE=${mistake} "${SOURCE}"
    RESULT_VARIABLE failed OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(mistake EQUAL 0 AND failed)
    message(FATAL_ERROR "the right code does not build:\n${out}")
  elseif(mistake GREATER 0)
    string(REGEX MATCHALL "error: [^\n]*" errors "${out}")
    if(NOT failed OR NOT errors MATCHES "${why_${mistake}}" OR errors MATCHES "unused")
      message(FATAL_ERROR "mistake ${mistake} is not refused for its own reason:\n${out}")
    endif()
  endif()
endforeach()
