# Checks that the module's dynamic symbol table defines exactly the expected exports.
# Arguments: -DNM=<nm> -DMODULE=<libserivane64.so> -DEXPECTED=<name;name;...>
# The link editor's and C runtime's own symbols (_init, _fini, _edata, _end, __bss_start) are
# left out of the comparison.
if(NOT NM OR NOT MODULE OR NOT EXPECTED)
  message(FATAL_ERROR "usage: cmake -DNM=.. -DMODULE=.. -DEXPECTED=.. -P check_module_exports.cmake")
endif()
include("${CMAKE_CURRENT_LIST_DIR}/dynamic_symbols.cmake")

defined_dynamic_symbols("${MODULE}" found)
set(expected ${EXPECTED})
list(SORT expected)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "exported names differ\n  expected: ${expected}\n  found:    ${found}")
endif()
message(STATUS "exports: ${found}")
