# Cross-building the Windows programs with mingw-w64 (POSIX threads flavour) on Debian.
# Dependencies built for the target (OpenSSL, googletest) live under VARNO_WIN_DEPS; the
# tests run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VARNO_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VARNO_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VARNO_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VARNO_MINGW_PREFIX}-windres)

set(VARNO_WIN_DEPS "" CACHE PATH "Prefix of the dependencies built for Windows")
set(CMAKE_FIND_ROOT_PATH /usr/${VARNO_MINGW_PREFIX} ${VARNO_WIN_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs that need nothing but the system: the compiler's runtime (libstdc++,
# winpthreads, libgcc) is linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

set(OPENSSL_USE_STATIC_LIBS TRUE)
set(ZLIB_USE_STATIC_LIBS ON)

# ctest and gtest_discover_tests run the programs through Wine's 64-bit loader.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)

# The runtime's reentrant POSIX time functions (localtime_r, ctime_r, ...), which
# mingw-w64 provides over its _s functions only on request.
add_compile_definitions(_POSIX_THREAD_SAFE_FUNCTIONS=200112L)
