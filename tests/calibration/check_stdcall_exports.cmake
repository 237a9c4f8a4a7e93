# Checks the exports of the 32-bit module against the 64-bit module and the table of decorated
# names: the 32-bit module's dynamic symbol table defines exactly the decorated names
# (_Name@bytes) of the plain names that the 64-bit module defines, and every one of them is in the
# table.
# Arguments: -DNM=<nm> -DMODULE=<libserivane32.so> -DMODULE64=<libserivane64.so>
#            -DTABLE=<calibration/exports/export_names.h>
if(NOT NM OR NOT MODULE OR NOT MODULE64 OR NOT TABLE)
  message(FATAL_ERROR
          "usage: cmake -DNM=.. -DMODULE=.. -DMODULE64=.. -DTABLE=.. -P check_stdcall_exports.cmake")
endif()

include("${CMAKE_CURRENT_LIST_DIR}/dynamic_symbols.cmake")

file(READ "${TABLE}" table_text)
string(REGEX MATCHALL "X\\([A-Za-z_0-9]+, [0-9]+\\)" rows "${table_text}")
set(table_names "")
foreach(row IN LISTS rows)
  string(REGEX MATCH "X\\(([A-Za-z_0-9]+), ([0-9]+)\\)" _ "${row}")
  set(bytes_of_${CMAKE_MATCH_1} "${CMAKE_MATCH_2}")
  list(APPEND table_names "${CMAKE_MATCH_1}")
endforeach()
list(LENGTH table_names count)
if(NOT count EQUAL 11)
  message(FATAL_ERROR "the table ${TABLE} holds ${count} names, not eleven: ${table_names}")
endif()

defined_dynamic_symbols("${MODULE64}" plain)
defined_dynamic_symbols("${MODULE}" found)
if(NOT plain)
  message(FATAL_ERROR "the 64-bit module ${MODULE64} exports nothing")
endif()
set(expected "")
foreach(name IN LISTS plain)
  if(NOT DEFINED bytes_of_${name})
    message(FATAL_ERROR "the 64-bit module exports ${name}, which the table does not list")
  endif()
  list(APPEND expected "_${name}@${bytes_of_${name}}")
endforeach()
list(SORT expected)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "32-bit exports differ\n  expected: ${expected}\n  found:    ${found}")
endif()
message(STATUS "32-bit exports: ${found}")
