# Runs one fuzz target for a bounded time on a fresh copy of its starting corpus, so that the
# corpus in the source tree never changes. Crash inputs are kept in the work folder.
#   -DFUZZER=<program> -DCORPUS=<folder> -DWORK=<folder> -DSECONDS=<n>
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}/corpus")
file(GLOB inputs "${CORPUS}/*")
file(COPY ${inputs} DESTINATION "${WORK}/corpus")
execute_process(
    COMMAND "${FUZZER}" -max_total_time=${SECONDS} -close_fd_mask=3 -print_final_stats=1
            -artifact_prefix=${WORK}/ "${WORK}/corpus"
    WORKING_DIRECTORY "${WORK}"
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${FUZZER} found a fault (status ${result}); the input is in ${WORK}")
endif()
