# Fails unless the README (README) holds the whole text of each file of EXAMPLES, as it stands.
file(READ "${README}" readme)
foreach(example IN LISTS EXAMPLES)
  file(READ "${example}" code)
  string(FIND "${readme}" "${code}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "README.md does not show ${example} as it stands: copy the file into it")
  endif()
endforeach()
