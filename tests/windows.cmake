# The Windows build's tests: the platform layer, the verifier's checks and the verifier end to
# end, cross-compiled with GoogleTest built from its sources and run under Wine (CTest puts
# cmake/wine-run.sh in front of each). Tests that need Linux tools (strace, setpriv, valgrind,
# lintian) stay in the Linux build; the signer's write path is checked here through the
# primitives' fault seam (commit_journal_test) and end to end by the cross-system checks.
set(KVR_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources for the cross build")
if(NOT EXISTS ${KVR_GTEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest sources not found in ${KVR_GTEST_SOURCE_DIR}: "
                        "apt-get install libgtest-dev")
endif()
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${KVR_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
include(GoogleTest)

add_library(kvr_test_support STATIC support/process_win.cpp support/files.cpp
                                    support/signature.cpp)
target_include_directories(kvr_test_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/support
                                                   ${PROJECT_SOURCE_DIR}/qpx/fradel)
target_link_libraries(kvr_test_support PUBLIC GTest::gtest OpenSSL::Crypto qpx_platform
                                       PRIVATE kvr_warnings)

# kvr_add_test(<name> SOURCES <files...> [LIBS <targets...>])
function(kvr_add_test name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE kvr_test_support GTest::gtest_main kvr_warnings
                                          ${ARG_LIBS})
    target_compile_definitions(${name} PRIVATE
        KVR_SIGN_PATH="$<TARGET_FILE:kvr_sign>"
        KVR_VERIFY_PATH="$<TARGET_FILE:kvr_verify>"
        KVR_MAKE_MODULES_PATH="$<TARGET_FILE:kvr_make_modules>"
        KVR_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
    add_dependencies(${name} kvr_sign kvr_verify kvr_make_modules)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()




kvr_add_test(platform_windows_test SOURCES platform_windows_test.cpp LIBS qpx_platform)
foreach(kvr_sign_test_name option_tables_test descriptor_module_test commit_journal_test)
    kvr_add_test(${kvr_sign_test_name} SOURCES ${kvr_sign_test_name}.cpp LIBS kvr_sign_core)
endforeach()
kvr_add_test(windows_sign_test SOURCES windows_sign_test.cpp LIBS qpx_platform)
kvr_add_test(file_primitives_test SOURCES file_primitives_test.cpp LIBS qpx_platform)
kvr_add_test(windows_security_test SOURCES windows_security_test.cpp LIBS qpx_platform)
kvr_add_test(windows_files_test SOURCES windows_files_test.cpp LIBS qpx_platform)

# A test build of kvr_sign that ends itself before its n-th changing primitive (the
# environment's KVR_TEST_STOP_AT): the kill test's stand-in for a kill from outside. Never
# installed or packaged; the release program does not read that variable.
add_executable(kvr_sign_stop_at support/kvr_sign_stop_at.cpp)
target_link_libraries(kvr_sign_stop_at PRIVATE kvr_sign_core kvr_warnings)
kvr_add_test(windows_kill_test SOURCES windows_kill_test.cpp)
target_compile_definitions(windows_kill_test PRIVATE
                           KVR_SIGN_STOP_AT_PATH="$<TARGET_FILE:kvr_sign_stop_at>")
add_dependencies(windows_kill_test kvr_sign_stop_at)

# A set signed by the Linux build's kvr_sign (by default the one the README's commands build in
# build/) is verified by kvr_verify.exe. Skipped where that build is not there.
set(KVR_LINUX_SIGN ${PROJECT_SOURCE_DIR}/build/qpx/fradel/kvr_sign
    CACHE FILEPATH "The Linux kvr_sign whose sets kvr_verify.exe checks")
# The other way, a set signed by kvr_sign.exe is verified by the Linux kvr_verify.
set(KVR_LINUX_VERIFY ${PROJECT_SOURCE_DIR}/build/qpx/fradel/kvr_verify
    CACHE FILEPATH "The Linux kvr_verify that checks the sets kvr_sign.exe signs")
add_test(NAME cross_verify_linux_signed_set
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/cross_verify.sh ${KVR_LINUX_SIGN}
                 ${PROJECT_SOURCE_DIR}/cmake/wine-run.sh $<TARGET_FILE:kvr_verify>
                 ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_BINARY_DIR}/cross_verify
                 $<TARGET_FILE:kvr_sign> ${KVR_LINUX_VERIFY})
set_tests_properties(cross_verify_linux_signed_set PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120)

# The .zip: built from this tree, rebuilt from the same source in a second tree, compared.
add_test(NAME zip_package_rebuilds_bit_for_bit
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/check_zip_reproducible.sh ${PROJECT_SOURCE_DIR}
                 ${PROJECT_BINARY_DIR} -G ${CMAKE_GENERATOR}
                 -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}
                 -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE} -DKVR_WERROR=${KVR_WERROR}
                 -DKVR_TBBMALLOC_PROXY=OFF -DKVR_BUILD_BENCH=OFF
                 -DKVR_BUILD_TESTS=OFF -DKVR_MINGW_OPENSSL_ROOT=${KVR_MINGW_OPENSSL_ROOT})
set_tests_properties(zip_package_rebuilds_bit_for_bit PROPERTIES LABELS package TIMEOUT 900)
