# Runs kvr_sign and kvr_verify under valgrind on a few generated modules, through their
# successful runs and their refusal and stop paths. An invalid access or a definite leak makes
# valgrind end the program with status 99, which fails the test.
#   -DVALGRIND=<valgrind> -DSIGN=<kvr_sign> -DVERIFY=<kvr_verify>
#   -DMAKE_MODULES=<kvr_make_modules> -DWORK=<folder>
set(valgrind_error 99)
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

# run_checked(<expected status> <program> <arguments...>)
function(run_checked expected program)
    execute_process(
        COMMAND "${VALGRIND}" --error-exitcode=${valgrind_error} --leak-check=full
                --errors-for-leak-kinds=definite --show-leak-kinds=definite
                "${program}" ${ARGN}
        WORKING_DIRECTORY "${WORK}"
        RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
    get_filename_component(name "${program}" NAME)
    if(NOT status EQUAL expected)
        message(FATAL_ERROR "${name} ${ARGN}: status ${status}, expected ${expected} "
                            "(${valgrind_error}: valgrind found an error)\n${out}\n${err}")
    endif()
    message(STATUS "${name} ${ARGN}: status ${status} as expected, no memory error")
endfunction()

execute_process(COMMAND "${MAKE_MODULES}" . 3 list.txt WORKING_DIRECTORY "${WORK}"
                RESULT_VARIABLE made)
if(NOT made EQUAL 0)
    message(FATAL_ERROR "kvr_make_modules failed")
endif()

# Pairs go through list files: a ";" cannot travel inside one CMake argument.
file(WRITE "${WORK}/refused.txt" "example1.unsigned.module;a.module\nmissing.module;b.module\n")
file(WRITE "${WORK}/stopped.txt" "example1.signed.module;again.module\n")
file(WRITE "${WORK}/other.txt" "example1.unsigned.module;other.module\n")

run_checked(0 "${SIGN}" --permission 5 list.txt key.module)
run_checked(0 "${VERIFY}" --permission 5 list.txt key.module)
# A refused pair (status 10) and a stop in phase 1: a signed module is no unsigned input.
run_checked(10 "${SIGN}" refused.txt k.module)
run_checked(70 "${SIGN}" stopped.txt k.module)
# A module that fails verification: one signed under another run's key.
run_checked(0 "${SIGN}" other.txt other_key.module)
run_checked(1 "${VERIFY}" example1.signed.module other.module key.module)
