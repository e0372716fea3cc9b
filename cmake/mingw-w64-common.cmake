# The mingw-w64 cross toolchain for Sonvale, shared by the 64-bit and 32-bit
# toolchain files, which set CMAKE_SYSTEM_PROCESSOR and SONVALE_MINGW_TRIPLET
# first (see cmake/mingw-w64-x86_64.cmake).
set(CMAKE_SYSTEM_NAME Windows)
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
