# The shared library's dynamic symbol table holds its interface only: no member of an
# implementation object (a class whose name ends in Impl) may be exported, or changing a
# private helper would change what the library exports. Run as:
#   cmake -DLIBRARY=.../liblumora.so -DNM=nm -P exported_symbols_test.cmake
foreach(var LIBRARY NM)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()

execute_process(COMMAND ${NM} -DC --defined-only ${LIBRARY}
  RESULT_VARIABLE status OUTPUT_VARIABLE symbols ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "failed (${status}): ${NM} -DC --defined-only ${LIBRARY}\n${err}")
endif()

string(REGEX MATCHALL "[^\n]*Impl::[^\n]*" leaked "${symbols}")
if(leaked)
  list(LENGTH leaked count)
  list(JOIN leaked "\n  " listing)
  message(FATAL_ERROR "${LIBRARY} exports ${count} symbol(s) of implementation objects:\n  ${listing}")
endif()
string(REGEX MATCHALL "[^\n]* lm::[^\n]*" interface "${symbols}")
list(LENGTH interface count)
message(STATUS "${LIBRARY} exports ${count} lm:: symbol(s), none of an implementation object")
