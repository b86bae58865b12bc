# Cross-compiles the tools for 64-bit Windows with Debian's mingw-w64 compiler (posix threads),
# static, so the programs need only the system DLLs of Windows. Test programs run under Wine
# through wine-run.sh, which CTest puts in front of every Windows command.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(kvr_cross x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${kvr_cross}-gcc-posix)
set(CMAKE_CXX_COMPILER ${kvr_cross}-g++-posix)
set(CMAKE_RC_COMPILER ${kvr_cross}-windres)

# libcrypto built by tools/install-deps-windows.sh from Debian's openssl source package.
set(KVR_MINGW_OPENSSL_ROOT /opt/kvr-mingw64-openssl-3.0.20-1_deb12u2
    CACHE PATH "Prefix of the static OpenSSL libcrypto built for mingw64")
set(OPENSSL_ROOT_DIR ${KVR_MINGW_OPENSSL_ROOT})
set(OPENSSL_USE_STATIC_LIBS TRUE)

# Libraries and headers of the target only; programs (git, python3, wine) of the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${kvr_cross} ${KVR_MINGW_OPENSSL_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)


# Everything static: libstdc++, libgcc, winpthread and libssp end up inside the .exe.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
