# Cross-compiling Sonvale for 32-bit Windows with mingw-w64, as
# cmake/mingw-w64-x86_64.cmake does for 64-bit Windows (the prefixes are
# 32-bit builds: SONVALE_WINDOWS_ARCH=i686 scripts/windows_deps.sh).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(SONVALE_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
