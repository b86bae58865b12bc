# Fails unless the dynamic section of BINARY lists LIBRARY as NEEDED.
# cmake -DREADELF=<readelf> -DBINARY=<file> -DLIBRARY=<name prefix> -P check_needed_library.cmake
execute_process(COMMAND "${READELF}" -d "${BINARY}" OUTPUT_VARIABLE dynamic RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "readelf -d ${BINARY} failed (${result})")
endif()
if(NOT dynamic MATCHES "\\(NEEDED\\)[^\n]*\\[${LIBRARY}[^]]*\\]")
    message(FATAL_ERROR "${BINARY} does not list ${LIBRARY} as NEEDED:\n${dynamic}")
endif()
message(STATUS "${BINARY} needs ${LIBRARY}")
