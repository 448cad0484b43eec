#!/bin/bash
# The peer benchmark in one command (see bench/README.md):
#
#   bash bench/run.sh [--quick] [--runs N] [--baseline-sfx PATH]
#                     [--baseline-inflate-bench PATH] [--no-callgrind]
#                     [--only mixed-6,text-9,...] [--cache DIR] [--output FILE]
#
# Installs the peers and yardsticks it lacks with apt-get, builds sfx and the
# bench programs as Release (-O2, as the product) in build-bench/, makes the
# inputs (cached under /dev/shm), runs everything and prints the tables, which
# also go to build-bench/results.md (and results.json).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BENCH_BUILD_DIR:-$root/build-bench}"

packages=(cmake ninja-build g++ python3 unzip zip 7zip libarchive-tools libdeflate-dev valgrind zlib1g-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}" >&2
  sudo=""
  [[ $(id -u) -ne 0 ]] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >&2
fi

mkdir -p "$build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" \
  -DLAUNCHER_TESTS=OFF >"$build/configure.log" 2>&1 || { cat "$build/configure.log" >&2; exit 1; }
ninja -C "$build" -j2 sfx inflate_bench legacy_bench >&2

exec python3 "$root/bench/peer_bench.py" --build-dir "$build" --command "bash bench/run.sh $*" "$@"
