# Checks a DLL's export and import tables with objdump.
#
#   cmake -DOBJDUMP=<objdump> -DDLL=<file>
#         ("-DHEADER=<javac -h header>;..." | "-DEXPECTED=<names>")
#         "-DALLOWED_IMPORTS=<dll names>" [-DFORMAT=<objdump format>] -P check-exports.cmake
#
# The binary must be a PE image of the given format (pei-i386, the default, or pei-x86-64)
# exporting by name exactly the expected functions, plain (no "@N" suffix, no leading underscore:
# what GetProcAddress and the JVM look up) and nothing else, and may import from the allowed DLLs
# only (compared without regard to case, as Windows does). With HEADER, the expected names are the
# functions the `javac -h` headers declare; a program (EXPECTED empty) must export nothing.
cmake_minimum_required(VERSION 3.20)
foreach(var OBJDUMP DLL ALLOWED_IMPORTS)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "check-exports.cmake: ${var} not given")
  endif()
endforeach()

if(DEFINED HEADER)
  include("${CMAKE_CURRENT_LIST_DIR}/../../cmake/declared-natives.cmake")
  morlane_declared_natives(EXPECTED "${HEADER}")
  list(LENGTH EXPECTED count)
  if(count EQUAL 0)
    message(FATAL_ERROR "no JNI functions declared in ${HEADER}")
  endif()
endif()

execute_process(COMMAND "${OBJDUMP}" -p "${DLL}" OUTPUT_VARIABLE dump ERROR_VARIABLE err
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed: ${err}")
endif()
get_filename_component(dll_name "${DLL}" NAME)
set(problems "")

if(NOT DEFINED FORMAT)
  set(FORMAT pei-i386)
endif()
if(NOT dump MATCHES "file format ${FORMAT}\n")
  string(APPEND problems "  not a ${FORMAT} image\n")
endif()

# Exported names: the "[Ordinal/Name Pointer] Table" section, up to the next blank line.
set(exported "")
string(FIND "${dump}" "[Ordinal/Name Pointer] Table\n" at)
if(at GREATER_EQUAL 0)
  string(LENGTH "[Ordinal/Name Pointer] Table\n" title)
  math(EXPR at "${at} + ${title}")
  string(SUBSTRING "${dump}" ${at} -1 section)
  string(FIND "${section}" "\n\n" end)
  string(SUBSTRING "${section}" 0 ${end} section)
  # Rows are "\t[   3] name"; the brackets go before the text becomes a list, where they would
  # change how it splits.
  string(REGEX REPLACE "\t\\[ *[0-9]+\\] " "" section "${section}")
  string(REPLACE "\n" ";" exported "${section}")
  list(REMOVE_ITEM exported "")
endif()
# Every address in the export table must have a name: nothing exported by ordinal only.
if(dump MATCHES "Export Address Table[ \t]+([0-9a-fA-F]+)\n")
  math(EXPR addresses "0x${CMAKE_MATCH_1}")
  list(LENGTH exported named)
  if(NOT addresses EQUAL named)
    string(APPEND problems "  ${addresses} exported addresses but ${named} names\n")
  endif()
endif()

foreach(name IN LISTS EXPECTED)
  if(NOT name IN_LIST exported)
    string(APPEND problems "  missing export: ${name}\n")
  endif()
endforeach()
foreach(name IN LISTS exported)
  if(NOT name IN_LIST EXPECTED)
    string(APPEND problems "  unexpected export: ${name}\n")
  endif()
endforeach()

# Imported DLLs.
string(REGEX MATCHALL "DLL Name: [^\n]+" rows "${dump}")
set(imported "")
string(TOLOWER "${ALLOWED_IMPORTS}" allowed)
foreach(row IN LISTS rows)
  string(REGEX REPLACE "^DLL Name: " "" name "${row}")
  string(STRIP "${name}" name)
  list(APPEND imported "${name}")
  string(TOLOWER "${name}" lower)
  if(NOT lower IN_LIST allowed)
    string(APPEND problems "  imports ${name}, which is not among: ${ALLOWED_IMPORTS}\n")
  endif()
endforeach()

list(LENGTH exported export_count)
list(JOIN imported ", " import_text)
if(problems)
  list(JOIN exported ", " export_text)
  message(FATAL_ERROR "${dll_name}:\n${problems}exports (${export_count}): ${export_text}\n"
                      "imports: ${import_text}")
endif()
message(STATUS "${dll_name}: exports exactly the ${export_count} expected names; "
               "imports ${import_text}")
