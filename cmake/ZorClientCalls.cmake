# cmake -DNM=... -DMODULE=... -DLIBRARY=... -DSTAMP=... -P ZorClientCalls.cmake
# Fails the build when the client library lacks a function the module calls.
# A Python module may leave symbols undefined, so its link succeeds and the
# gap would only show at import ("undefined symbol").
execute_process(COMMAND "${NM}" -D --undefined-only "${MODULE}" OUTPUT_VARIABLE calls RESULT_VARIABLE rc1)
execute_process(COMMAND "${NM}" -D --defined-only "${LIBRARY}" OUTPUT_VARIABLE has RESULT_VARIABLE rc2)
if(NOT rc1 EQUAL 0 OR NOT rc2 EQUAL 0)
  message(FATAL_ERROR "${NM} could not list the symbols of ${MODULE} or ${LIBRARY}")
endif()
string(REGEX MATCHALL "zorClient_[A-Za-z0-9_]+" calls "${calls}")
string(REGEX MATCHALL "zorClient_[A-Za-z0-9_]+" has "${has}")
if(calls)
  list(REMOVE_DUPLICATES calls)
  if(has)
    list(REMOVE_ITEM calls ${has})
  endif()
endif()
if(calls)
  string(REPLACE ";" ", " calls "${calls}")
  message(FATAL_ERROR "undefined reference: ${LIBRARY} lacks ${calls}, which zormsg calls")
endif()
file(TOUCH "${STAMP}")
