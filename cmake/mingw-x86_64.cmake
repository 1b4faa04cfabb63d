# Cross build for Windows with MinGW-w64 (x86_64). Use with
#   cmake -S . -B build-win-x86_64 --toolchain cmake/mingw-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TRAKMAP_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TRAKMAP_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${TRAKMAP_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${TRAKMAP_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TRAKMAP_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Only the tool is built for Windows; the test suite runs natively and drives
# the Windows executable through Wine.
set(TRAKMAP_BUILD_TESTS OFF CACHE BOOL "Build the test suite" FORCE)
