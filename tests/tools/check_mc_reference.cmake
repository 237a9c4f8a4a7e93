# The Monte Carlo reference tool (tools/mc_reference.cpp) on a small job: its table does not depend
# on the number of threads, and it holds one row per requested option.
#   cmake -DTOOL=<mc_reference> -DJOB=<job file> -DOUT=<scratch folder> -P check_mc_reference.cmake
file(MAKE_DIRECTORY "${OUT}")
foreach(threads 1 3)
  execute_process(COMMAND "${TOOL}" --threads ${threads} "${JOB}"
                  OUTPUT_FILE "${OUT}/table_${threads}.txt" RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "mc_reference --threads ${threads} failed: ${rc}")
  endif()
endforeach()
file(READ "${OUT}/table_1.txt" one)
file(READ "${OUT}/table_3.txt" three)
if(NOT one STREQUAL three)
  message(FATAL_ERROR "the tables of 1 and 3 threads differ")
endif()
file(STRINGS "${OUT}/table_1.txt" rows REGEX "^100\t")
list(LENGTH rows count)
if(NOT count EQUAL 8)
  message(FATAL_ERROR "expected 8 rows, got ${count}:\n${one}")
endif()
