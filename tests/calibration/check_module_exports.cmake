# Checks that the module's dynamic symbol table defines exactly the expected exports.
# Arguments: -DNM=<nm> -DMODULE=<libserivane64.so> -DEXPECTED=<name;name;...>
# The link editor's and C runtime's own symbols (_init, _fini, _edata, _end, __bss_start) are
# left out of the comparison.
if(NOT NM OR NOT MODULE OR NOT EXPECTED)
  message(FATAL_ERROR "usage: cmake -DNM=.. -DMODULE=.. -DEXPECTED=.. -P check_module_exports.cmake")
endif()
execute_process(COMMAND "${NM}" -D --defined-only "${MODULE}"
                OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${MODULE}")
endif()
string(REPLACE "\n" ";" lines "${listing}")
set(found "")
foreach(line IN LISTS lines)
  if(line MATCHES "^[0-9a-fA-F]* *[A-Za-z] ([^ ]+)$")
    set(name "${CMAKE_MATCH_1}")
    if(NOT name MATCHES "^(_init|_fini|_edata|_end|__bss_start)$")
      list(APPEND found "${name}")
    endif()
  endif()
endforeach()
list(SORT found)
set(expected ${EXPECTED})
list(SORT expected)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "exported names differ\n  expected: ${expected}\n  found:    ${found}")
endif()
message(STATUS "exports: ${found}")
