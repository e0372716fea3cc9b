# Cross-compiling Sonvale for 64-bit Windows with mingw-w64 (the posix thread
# model: the win32 one has no std::mutex or std::thread).
#
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DSONVALE_WINDOWS_FFTW=<prefix> -DSONVALE_WINDOWS_MPG123=<prefix>
#
# SONVALE_WINDOWS_FFTW and SONVALE_WINDOWS_MPG123 are the install prefixes
# (include/, lib/) of static builds of FFTW 3 and libmpg123 for the same
# target, as scripts/windows_deps.sh makes them. The C and C++ runtimes are
# linked statically, so Sonvale.dll needs nothing beside the system's DLLs.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(SONVALE_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
