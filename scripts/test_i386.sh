#!/usr/bin/env bash
# The test suite once more as 32-bit code: the deliverable is i686, and this
# pass is where size_t, long and pointers are 32 bits wide. Built with gcc's
# multilib in build-i386/ (cmake/linux-i386.cmake), against a GoogleTest built
# the same way, and run under qemu-i386 user-mode emulation. Both routes (the
# plain ctest names and the "exact:" copies) run; the Wine tests and the PE
# checks belong to the x86-64 build and are left out.
#
# The tests start the launcher and the sfx binary as child processes, so
# qemu-i386 is registered with binfmt_misc for i386 ELF files while the pass
# runs (and unregistered afterwards, whatever happens). Where the machine
# refuses that (or I386_NO_BINFMT=1 asks for it), the unit binary itself runs
# under qemu-i386 and the tests that start an i386 program of their own (the
# launcher, sfx, a re-executed death test) are left out; the output says so.
#
# Needs root for apt-get and binfmt_misc (CI runs as root).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
build=build-i386
qemu=/usr/bin/qemu-i386

echo "== i386 build and tests under qemu-i386"
# The 32-bit compilers and libraries and the emulator, besides what every build needs.
bash scripts/install-deps.sh g++-multilib lib32z1-dev qemu-user

# How i386 programs start here: natively (a kernel with 32-bit support), by a
# handler the machine already has, by ours, or only when started by hand.
binfmt=/proc/sys/fs/binfmt_misc
entry=ziplauncher-i386-$$
mounted_here=0
cleanup() {
  if [ -e "$binfmt/$entry" ]; then echo -1 >"$binfmt/$entry" || true; fi
  if [ "$mounted_here" = 1 ] && [ -z "$(ls "$binfmt" | grep -v -x -e register -e status)" ]; then
    umount "$binfmt" || true
  fi
}
trap cleanup EXIT

mkdir -p "$build"
probe=$build/i386-probe
printf 'int main(void) { return sizeof(void*) == 4 ? 0 : 1; }\n' | gcc -m32 -x c - -o "$probe"
emulator=""
if [ "${I386_NO_BINFMT:-0}" = 1 ]; then
  emulator=$qemu
elif "$probe" 2>/dev/null; then
  echo "i386 programs start by themselves here"
else
  if [ ! -e "$binfmt/register" ]; then
    mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null && mounted_here=1 || true
  fi
  # An i386 ELF header: class 32-bit, little endian, version 1, an executable
  # or shared object (e_type 2 or 3), machine EM_386 (3).
  magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  if [ -w "$binfmt/register" ] && printf '%s' ":$entry:M::$magic:$mask:$qemu:" >"$binfmt/register" 2>/dev/null &&
     "$probe" 2>/dev/null; then
    echo "qemu-i386 registered with binfmt_misc as $entry for this pass"
  else
    emulator=$qemu
  fi
fi
# The tests that start an i386 program of their own, and so need binfmt_misc.
spawning='Launcher\.TheBuiltExecutableInstallsItsDemoPayload|SfxFixture\.TheBinaryGivesTheSameExitCodes'
spawning+='|PosixReportDeathTest\.ExitProcessEndsWithTheCode'
exclude=()
if [ -n "$emulator" ]; then
  echo "NOTE: no binfmt_misc for i386 here: the unit binary runs directly under qemu-i386, and the tests"
  echo "NOTE: that start i386 programs of their own are left out: ${spawning//\\/}"
  exclude=(-E "^(exact:)?($spawning)\$")
fi

start=$SECONDS
# GoogleTest, built for i386 from Debian's sources and installed in the build folder.
gtest=$build/googletest
if [ ! -e "$gtest/install/lib/cmake/GTest/GTestConfig.cmake" ]; then
  cmake -S /usr/src/googletest -B "$gtest" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/linux-i386.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$PWD/$gtest/install" >/dev/null
  nice -n 10 ninja -C "$gtest" -j"$jobs" install >/dev/null
fi
cmake -S . -B "$build" -G Ninja -DLAUNCHER_TESTS=ON -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/linux-i386.cmake" \
      -DGTest_DIR="$PWD/$gtest/install/lib/cmake/GTest" -DCMAKE_CROSSCOMPILING_EMULATOR="$emulator" >/dev/null
nice -n 10 ninja -C "$build" -j"$jobs"
built=$SECONDS
echo "i386 build: $((built - start)) s"

status=0
(cd "$build" && nice ctest --output-on-failure -j"$jobs" "${exclude[@]}") || status=$?
echo "i386 tests: $((SECONDS - built)) s"
[ -z "$emulator" ] || echo "NOTE: the i386 tests ran directly under qemu-i386, without binfmt_misc, and without: ${spawning//\\/}"
exit $status
