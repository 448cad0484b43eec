#!/bin/bash
# Builds the programs of an older commit for before/after figures in one run:
#
#   bash bench/build_baseline.sh COMMIT OUTDIR
#
# checks COMMIT out as a detached worktree in OUTDIR/src (kept for later
# rebuilds), builds its sfx as Release (-O2, as bench/run.sh builds ours), and
# compiles this checkout's bench/inflate_bench.cpp against that commit's core.
# Afterwards:
#
#   bash bench/run.sh --baseline-sfx OUTDIR/sfx --baseline-inflate-bench OUTDIR/inflate_bench
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
commit="${1:?usage: build_baseline.sh COMMIT OUTDIR}"
out="$(mkdir -p "${2:?usage: build_baseline.sh COMMIT OUTDIR}" && cd "$2" && pwd)"
src="$out/src"
if [[ ! -d "$src" ]]; then
  git -C "$root" worktree add --detach "$src" "$commit"
else
  git -C "$src" checkout -q --detach "$commit"
fi
cmake -S "$src" -B "$src/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" -DLAUNCHER_TESTS=OFF >/dev/null
ninja -C "$src/build" -j2 sfx zipcore platform
cp "$src/build/sfx/sfx" "$out/sfx"
libdeflate=(-DHAVE_LIBDEFLATE=0)
if [[ -f /usr/include/libdeflate.h ]]; then libdeflate=(-DHAVE_LIBDEFLATE=1 -ldeflate); fi
g++ -std=c++20 -O2 -DNDEBUG -I"$src" "$root/bench/inflate_bench.cpp" \
  "$src/build/libzipcore.a" "$src/build/libplatform.a" -lz "${libdeflate[@]}" -o "$out/inflate_bench"
echo "built $out/sfx and $out/inflate_bench from $(git -C "$src" rev-parse --short HEAD)"
