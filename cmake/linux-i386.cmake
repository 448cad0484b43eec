# Linux on i386, built on an x86-64 Debian machine with gcc's multilib
# (g++-multilib, lib32z1-dev) and run there under user-mode emulation
# (qemu-i386, see scripts/test_i386.sh). The point of this build is the 32-bit
# arithmetic of the core: size_t, long and pointers are 32 bits wide here, as
# in the i686 Windows deliverable.
#
# Files and times stay 64-bit: the emulator hands out 64-bit directory
# offsets, which a 32-bit readdir refuses, and the tests compare file times
# after 2038.
#
# This is a native build for cmake (no CMAKE_SYSTEM_NAME), so the tests are
# configured as on the host; the Windows launcher under Wine and the checks of
# the PE deliverable belong to the x86-64 build and are left out here
# (LAUNCHER_WINE_TESTS).
set(I386_FLAGS "-m32 -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
set(CMAKE_C_FLAGS_INIT "${I386_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${I386_FLAGS}")
set(CMAKE_ASM_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
# Debian's cmake searches neither lib32 nor, without an i386 multiarch
# compiler, lib/i386-linux-gnu: name them, ahead of the 64-bit libraries.
set(CMAKE_LIBRARY_PATH /usr/lib32 /usr/lib/i386-linux-gnu)
set(LAUNCHER_WINE_TESTS OFF)
