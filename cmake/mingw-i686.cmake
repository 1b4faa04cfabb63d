# Cross build of the 32-bit Windows console executable with MinGW-w64:
#   cmake -S . -B build/windows/i686 --toolchain cmake/mingw-i686.cmake
set(TRAKMAP_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
