# Cross build of the 64-bit Windows console executable with MinGW-w64 (the one
# the end-to-end tests run under Wine):
#   cmake -S . -B build/windows/x86_64 --toolchain cmake/mingw-x86_64.cmake
set(TRAKMAP_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
