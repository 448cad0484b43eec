#!/bin/sh
# Builds the Windows launcher with the demo installer inside (the x86-64 twin
# of the 32-bit deliverable, since wine64 on a 64-bit-only kernel runs only
# 64-bit code) and runs it under wine64 with a fresh temporary directory.
# Afterwards it shows what the launcher extracted there and the marker file
# that the demo's Setup.exe wrote.
#
#   scripts/run-wine-demo.sh [BUILD_DIR]       (default: build-wine)
#
# Installs what the machine lacks first (scripts/install-deps.sh): cmake,
# ninja, python3, g++-mingw-w64-x86-64, wine64.
set -eu

SOURCE=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$SOURCE/build-wine}
bash "$SOURCE/scripts/install-deps.sh"

GENERATOR=
if command -v ninja >/dev/null 2>&1; then GENERATOR="-G Ninja"; fi
# shellcheck disable=SC2086
cmake -S "$SOURCE" -B "$BUILD" $GENERATOR -DCMAKE_TOOLCHAIN_FILE="$SOURCE/cmake/mingw-x86_64.cmake" \
      -DLAUNCHER_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j2

TEMPDIR=$BUILD/demo-temp
rm -rf "$TEMPDIR"
mkdir -p "$TEMPDIR"
echo "Running $BUILD/launcher.exe under wine64 (TMP = TEMP = $TEMPDIR) ..."
status=0
python3 "$SOURCE/tests/wine/wine_run.py" --prefix "$BUILD/wineprefix" --temp "$TEMPDIR" "$BUILD/launcher.exe" || status=$?
echo "Exit code: $status"
echo "Extracted into the temporary directory:"
(cd "$TEMPDIR" && find . -mindepth 1 | sort | sed 's/^\.\//  /')
if [ -f "$TEMPDIR/Setup.ran" ]; then
  echo "Setup.ran (written by the demo's Setup.exe):"
  sed 's/\r$//; s/^/  /' "$TEMPDIR/Setup.ran"
else
  echo "No Setup.ran: Setup.exe did not run."
fi
exit "$status"
