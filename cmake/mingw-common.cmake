# Shared part of the mingw-w64 toolchain files; MINGW_TRIPLET names the target.
#
# Debian installs each compiler in two thread models, "win32" and "posix"
# (the latter linking winpthreads). The launcher starts no thread; the win32
# model keeps winpthreads out of the static link.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${MINGW_TRIPLET})

set(MINGW_THREAD_MODEL win32 CACHE STRING "Thread model of Debian's mingw-w64 compilers (win32 or posix)")
set(CMAKE_C_COMPILER ${MINGW_TRIPLET}-gcc-${MINGW_THREAD_MODEL})
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++-${MINGW_THREAD_MODEL})
set(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)
set(CMAKE_ASM_COMPILER ${MINGW_TRIPLET}-gcc-${MINGW_THREAD_MODEL})

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
