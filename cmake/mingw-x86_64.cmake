# Cross build for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64):
# the same launcher as PE32+, which wine64 runs on kernels without 32-bit
# support.
set(MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
