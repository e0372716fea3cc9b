# Cross-compiling Sonvale for 32-bit Windows with mingw-w64 (the posix thread
# model: the win32 one has no std::mutex or std::thread).
#
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake \
#         -DSONVALE_WINDOWS_FFTW=<prefix> -DSONVALE_WINDOWS_MPG123=<prefix>
#
# SONVALE_WINDOWS_FFTW and SONVALE_WINDOWS_MPG123 are the install prefixes
# (include/, lib/) of static builds of FFTW 3 and libmpg123 for the same
# target, as scripts/windows_deps.sh makes them. The C and C++ runtimes are
# linked statically, so Sonvale.dll needs nothing beside the system's DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(SONVALE_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_C_COMPILER ${SONVALE_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${SONVALE_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${SONVALE_MINGW_TRIPLET}-windres)

# try_compile projects read this file again: hand them the prefixes too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES SONVALE_WINDOWS_FFTW SONVALE_WINDOWS_MPG123)

# Libraries and headers only from the target's sysroot and the two prefixes;
# programs (widl, windres) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${SONVALE_MINGW_TRIPLET})
foreach(prefix IN ITEMS ${SONVALE_WINDOWS_FFTW} ${SONVALE_WINDOWS_MPG123})
  list(APPEND CMAKE_FIND_ROOT_PATH ${prefix})
endforeach()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
