# defined_dynamic_symbols(<module> <out>): the defined dynamic symbols of a module, sorted, into
# <out>; the link editor's and C runtime's own (_init, _fini, _edata, _end, __bss_start) left out.
# Needs NM, the nm program.
function(defined_dynamic_symbols module out)
  execute_process(COMMAND "${NM}" -D --defined-only "${module}"
                  OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "nm failed on ${module}")
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
  set(${out} "${found}" PARENT_SCOPE)
endfunction()
