# Hardening of the installed programs: stack protector, fortified libc calls, read-only
# relocations bound at start-up, and position-independent executables. On in every build
# except the sanitizer build, whose instrumentation already checks what these would, and
# whose Debug optimisation level cannot fortify anything.
option(KVR_HARDENING "Build with the hardening flags the Debian package needs" ON)
if(NOT KVR_HARDENING OR KVR_SANITIZE)
    return()
endif()

# Windows programs: the stack protector, address space layout randomisation at a high
# entropy, and no execution of data pages; relocations and PIE are ELF matters.
if(WIN32)
    add_compile_options(-fstack-protector-strong)
    add_link_options(-fstack-protector-strong -Wl,--dynamicbase -Wl,--high-entropy-va
                     -Wl,--nxcompat)
    add_compile_options("-ffile-prefix-map=${PROJECT_SOURCE_DIR}=."
                        "-ffile-prefix-map=${PROJECT_BINARY_DIR}=.")
    return()
endif()

include(CheckPIESupported)
check_pie_supported(LANGUAGES CXX)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

add_compile_options(-fstack-protector-strong)
# Fortified calls need optimisation; glibc warns (an error under KVR_WERROR) without it.
set(kvr_optimised_config "$<CONFIG:Release,RelWithDebInfo,MinSizeRel>")
add_compile_options("$<${kvr_optimised_config}:-U_FORTIFY_SOURCE>"
                    "$<${kvr_optimised_config}:-D_FORTIFY_SOURCE=2>")
add_link_options(-Wl,-z,relro -Wl,-z,now)
