# Cross build of the 64-bit Windows console executable with MinGW-w64 (the
# end-to-end tests run it under Wine after the 32-bit one):
#   cmake -S . -B build/windows/x86_64 --toolchain cmake/mingw-x86_64.cmake
set(TRAKMAP_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
