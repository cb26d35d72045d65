# The exported names of the outside entry points, read from their one declaration in
# entry/entries.h: MORLANE_PLC_ENTRIES (the PLC link library's) and MORLANE_CORVANE_ENTRIES (the
# data-access library's), for the stand-ins' export lists and the tests that go over every entry.
set(_entry_list "${CMAKE_CURRENT_LIST_DIR}/../entry/entries.h")
file(READ "${_entry_list}" _entry_text)
if(NOT CMAKE_SCRIPT_MODE_FILE)
  # A new line in the list changes the stand-ins' exports and the lacking variants: configure
  # again, here and in the 32-bit sub-build, which includes this file too.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_entry_list}")
endif()
string(REGEX MATCHALL "\n +X\\([A-Za-z]+, [A-Za-z_]+," _entry_lines "${_entry_text}")
set(MORLANE_PLC_ENTRIES "")
set(MORLANE_CORVANE_ENTRIES "")
foreach(_line IN LISTS _entry_lines)
  string(REGEX REPLACE "^\n +X\\([A-Za-z]+, ([A-Za-z_]+),$" "\\1" _name "${_line}")
  if(_name MATCHES "^CVDLLRZ_")
    list(APPEND MORLANE_PLC_ENTRIES ${_name})
  elseif(_name MATCHES "^CVDA_")
    list(APPEND MORLANE_CORVANE_ENTRIES ${_name})
  else()
    message(FATAL_ERROR "entry/entries.h: ${_name} belongs to neither library")
  endif()
endforeach()
if(NOT MORLANE_PLC_ENTRIES OR NOT MORLANE_CORVANE_ENTRIES)
  message(FATAL_ERROR "cmake/Entries.cmake: no entry points read from entry/entries.h")
endif()
