#!/usr/bin/env bash
# Long differential runs of the engine against the reference model.
#
#   scripts/fuzz.sh [seconds] [jobs]       (defaults: 600 s, nproc jobs)
#
# ZV_FUZZ_MODE picks the front end:
#   libfuzzer  (default) the coverage-guided libFuzzer target, built with clang
#              under AddressSanitizer + UndefinedBehaviorSanitizer, one worker
#              per job; the corpus and crash files stay in build/fuzz/.
#   seeded     the seeded generator of the test suite in a Release build, one
#              process per job on disjoint seed ranges: fewer checks per call
#              (no sanitizers) but many more calls per second.
#   both       half the time each.
# ZV_FUZZ_BUILD and ZV_RELEASE_BUILD override the build directories.
# At the end it prints the number of operations run and of mismatches. A
# mismatch prints a shrunk C reproducer; a crash leaves build/fuzz/crash-*
# (ZV_FUZZ_PRINT=1 build/fuzz/fuzz_differential <file> shows its calls).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-600}
jobs=${2:-$(nproc)}
mode=${ZV_FUZZ_MODE:-libfuzzer}
out=${ZV_FUZZ_BUILD:-build/fuzz}
release=${ZV_RELEASE_BUILD:-build/release}
mkdir -p "$out/corpus" "$out/logs"
total_ops=0
failed=0

run_libfuzzer() {
  local secs=$1
  bash scripts/setup.sh --fuzz
  CC=clang-14 CXX=clang++-14 cmake -S fuzz -B "$out" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$out" -j "$jobs" --target fuzz_differential
  rm -f "$out"/logs/fuzz-*.log
  (
    cd "$out/logs"
    ../fuzz_differential -max_total_time="$secs" -max_len=8192 -timeout=60 -rss_limit_mb=4096 \
      -jobs="$jobs" -workers="$jobs" -artifact_prefix=../ ../corpus >/dev/null 2>&1
  ) || failed=1
  local ops=0 n
  for log in "$out"/logs/fuzz-*.log; do
    [[ -f $log ]] || continue
    n=$(grep -o 'zv_fuzz: [0-9]* operations' "$log" | tail -1 | grep -o '[0-9]*' || true)
    ops=$((ops + ${n:-0}))
    if grep -qE 'MISMATCH|ERROR: |runtime error' "$log"; then
      failed=1
      echo "fuzz: failure in $log:"
      grep -A80 -E 'MISMATCH|ERROR: |runtime error' "$log" | head -120
    fi
  done
  echo "fuzz: libFuzzer ran $ops operations"
  total_ops=$((total_ops + ops))
}

run_seeded() {
  local secs=$1
  cmake -S . -B "$release" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$release" -j "$jobs" --target test_differential
  local pids=() j
  for ((j = 0; j < jobs; j++)); do
    ZV_DIFF_SECONDS=$secs ZV_DIFF_SEED=$((1000000 * (j + 1) + RANDOM)) \
      "$release"/tests/test_differential --gtest_filter=Differential.SeededRandomSequences \
      >"$out/logs/seeded-$j.log" 2>&1 &
    pids+=($!)
  done
  for j in "${!pids[@]}"; do wait "${pids[$j]}" || { failed=1; cat "$out/logs/seeded-$j.log"; }; done
  local ops=0 n
  for ((j = 0; j < jobs; j++)); do
    n=$(grep -o 'differential: [0-9]* operations' "$out/logs/seeded-$j.log" | grep -o '[0-9]*' || true)
    ops=$((ops + ${n:-0}))
  done
  echo "fuzz: seeded runs ran $ops operations"
  total_ops=$((total_ops + ops))
}

case "$mode" in
  libfuzzer) run_libfuzzer "$seconds" ;;
  seeded) run_seeded "$seconds" ;;
  both) run_libfuzzer $((seconds / 2)); run_seeded $((seconds / 2)) ;;
  *) echo "unknown ZV_FUZZ_MODE=$mode" >&2; exit 2 ;;
esac

echo "fuzz: $total_ops operations in total, $([[ $failed == 0 ]] && echo 0 || echo 'SOME') mismatches or crashes"
exit "$failed"
