# The Windows package, kvr-sign-<version>-win64.zip: kvr_sign.exe, kvr_verify.exe, README.md,
# the documents of docs/ beside it, reference.md (the file layouts and the JSON report, from
# docs/formats.md), the copyright, and the license of the OpenSSL libcrypto linked into the
# programs. `cpack -G ZIP` in the Windows build folder builds it. Every entry carries the time
# of the last commit (cpack_project_config.cmake), names are sorted, and the programs carry no
# link time, so the same commit gives the same bytes.
add_custom_target(kvr_package_files ALL DEPENDS ${reference})
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${reference} copyright DESTINATION .)
install(FILES ${kvr_documents} ${kvr_document_images} DESTINATION docs)
install(FILES ${KVR_MINGW_OPENSSL_ROOT}/LICENSE.txt DESTINATION . RENAME openssl-LICENSE.txt)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME kvr-sign)
set(CPACK_SYSTEM_NAME win64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_BINARY_DIR}/cpack_project_config.cmake)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_SOURCE_DIR}/cpack_pre_build.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_SOURCE_DIR}/zip_post_build.cmake)
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
