#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang, ASan, UBSan) in build-fuzz/ and runs
# each for SECONDS seconds, one after the other, printing per harness the
# executions and the coverage (edges) from libFuzzer's final statistics.
#
# usage: scripts/fuzz.sh SECONDS [HARNESS...]
#
# Seeds are generated into build-fuzz/seeds/ by scripts/fuzz_seeds.py (with the
# shared corpus as extra seeds when ../shared/corpus, or
# $LAUNCHER_SHARED_DIR/corpus, exists, and for the walker and the extraction
# harnesses the damaged archives of ../shared/fuzz-seeds/); what each run
# finds is kept in build-fuzz/corpus/<harness>/, so later runs go on from
# there. A failing input is written to build-fuzz/artifacts/ and makes the
# script exit with status 1 after the remaining harnesses have run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:?usage: scripts/fuzz.sh SECONDS [HARNESS...]}
shift
# Absolute: the engine moves the current directory while it extracts.
build=$(pwd)/build-fuzz

cmake -S . -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DLAUNCHER_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C "$build" -j2 >/dev/null

shared=${LAUNCHER_SHARED_DIR:-$(pwd)/../shared}
rm -rf "$build/seeds"
python3 scripts/fuzz_seeds.py "$build/seeds" "$shared/corpus"
mkdir -p "$build/artifacts" "$build/logs"

if [ $# -gt 0 ]; then harnesses=("$@"); else mapfile -t harnesses < "$build/fuzz-harnesses.txt"; fi

# The walker and the extraction harnesses also start from the damaged
# archives of another reader's fuzzing corpus, when the shared folder has them.
extra_seeds() {
  case "$1" in
    walker|extract_memory|extract_file)
      [ -d "$shared/fuzz-seeds/zip-reader-fuzz" ] && echo "$shared/fuzz-seeds/zip-reader-fuzz" ;;
  esac
  return 0
}

max_len() {
  case "$1" in
    walker) echo 200000 ;;
    decode_table) echo 300 ;;
    *) echo 65536 ;;
  esac
}

status=0
printf '%-16s %8s %12s %8s %s\n' harness seconds executions edges result
for h in "${harnesses[@]}"; do
  [ -n "$h" ] || continue
  corpus="$build/corpus/$h"
  mkdir -p "$corpus" "$build/seeds/$h"
  log="$build/logs/$h.log"
  rc=0
  ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$build/fuzz/${h}_fuzz" "$corpus" "$build/seeds/$h" $(extra_seeds "$h") -max_total_time="$seconds" -print_final_stats=1 \
    -max_len="$(max_len "$h")" -timeout=20 -rss_limit_mb=2560 -artifact_prefix="$build/artifacts/$h-" \
    >"$log" 2>&1 || rc=$?
  execs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | tail -1 | awk '{print $2}' || true)
  edges=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | awk '{print $2}' || true)
  if [ "$rc" -eq 0 ]; then
    result=ok
  else
    result="FAILED (see $log)"
    status=1
  fi
  printf '%-16s %8s %12s %8s %s\n' "$h" "$seconds" "${execs:-?}" "${edges:-?}" "$result"
  if [ "$rc" -ne 0 ]; then grep -E 'ERROR|SUMMARY|fuzz check failed|Test unit written' "$log" | head -5 || true; fi
done
exit $status
