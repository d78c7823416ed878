# Cross-building for 64-bit Windows with MinGW-w64 (posix thread model, for
# std::thread). The libraries come from scripts/windows-deps, which builds
# them from Debian's source packages on first use and reports the prefix.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QUILLMATE_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QUILLMATE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUILLMATE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QUILLMATE_MINGW_TRIPLE}-windres)

# The toolchain file is read again for every check CMake compiles; the
# script runs once per configure.
if(NOT DEFINED ENV{QUILLMATE_WINDOWS_DEPS_PREFIX})
  execute_process(
    COMMAND ${CMAKE_CURRENT_LIST_DIR}/../scripts/windows-deps --print-prefix
    OUTPUT_VARIABLE deps_prefix OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE deps_result)
  if(NOT deps_result EQUAL 0)
    message(FATAL_ERROR "scripts/windows-deps failed (${deps_result})")
  endif()
  set(ENV{QUILLMATE_WINDOWS_DEPS_PREFIX} "${deps_prefix}")
endif()
set(QUILLMATE_WINDOWS_DEPS_PREFIX "$ENV{QUILLMATE_WINDOWS_DEPS_PREFIX}")

set(CMAKE_FIND_ROOT_PATH ${QUILLMATE_WINDOWS_DEPS_PREFIX} /usr/${QUILLMATE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} "${QUILLMATE_WINDOWS_DEPS_PREFIX}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
# Static libraries only: their own dependencies come with them.
set(PKG_CONFIG_ARGN --static CACHE STRING "" FORCE)
set(OPENSSL_USE_STATIC_LIBS TRUE)
set(CURL_NO_CURL_CMAKE ON)

# Self-contained executables: no MinGW runtime DLLs to ship or find.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# The tests run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
