# Cross build for 32-bit Windows with Debian's mingw-w64 (g++-mingw-w64-i686):
# the launcher that ships, a PE32 executable.
set(MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
