#!/usr/bin/env bash
# Builds and runs every test: the test suite natively, then again under
# AddressSanitizer and UndefinedBehaviorSanitizer, then as i386 code under
# qemu-i386 (scripts/test_i386.sh), then a short run of every fuzz harness
# (scripts/fuzz.sh; 20 s each).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)

echo "== native build and tests"
cmake -S . -B build -G Ninja -DLAUNCHER_TESTS=ON >/dev/null
ninja -C build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs")

echo "== tests under ASan and UBSan"
cmake -S . -B build-asan -G Ninja -DLAUNCHER_TESTS=ON -DLAUNCHER_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
ninja -C build-asan -j"$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j"$jobs")

bash scripts/test_i386.sh

echo "== fuzz smoke"
bash scripts/fuzz.sh 20
