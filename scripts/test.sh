#!/usr/bin/env bash
# Builds the library and runs every test. This is what CI runs.
#
# Stages, each in its own build directory under build/:
#   release  Release build, the whole suite (includes a 15 s differential run)
#   asan     AddressSanitizer + UndefinedBehaviorSanitizer (LeakSanitizer on),
#            the whole suite (the differential run takes ZV_DIFF_SECONDS, 50 s)
#   tsan     ThreadSanitizer, the concurrency test
#   valgrind memcheck over a short differential run and the smoke test, when
#            valgrind is installed (it also drives the non-default score kernels,
#            since valgrind hides AVX-512 from the CPU flags)
# ZV_TEST_STAGES="release asan" runs a subset.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)
stages=${ZV_TEST_STAGES:-"release asan tsan valgrind"}
has_stage() { [[ " $stages " == *" $1 "* ]]; }
banner() { printf '\n=== %s (%s)\n' "$1" "$(date +%T)"; }

if has_stage release; then
  banner "release: build and whole suite"
  cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release
  cmake --build build/release -j "$jobs"
  ctest --test-dir build/release --output-on-failure -j "$jobs"
fi

if has_stage asan; then
  banner "address + undefined sanitizers: whole suite"
  cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZV_SANITIZE=address,undefined
  cmake --build build/asan -j "$jobs"
  ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ZV_DIFF_SECONDS=${ZV_DIFF_SECONDS:-50} \
    ctest --test-dir build/asan --output-on-failure -j "$jobs"
fi

if has_stage tsan; then
  banner "thread sanitizer: concurrency test"
  cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZV_SANITIZE=thread -DZV_BUILD_EXAMPLES=OFF
  cmake --build build/tsan -j "$jobs" --target test_concurrency
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir build/tsan --output-on-failure -R '^Concurrency\.'
fi

if has_stage valgrind; then
  if command -v valgrind >/dev/null 2>&1 && [[ -x build/release/tests/test_differential ]]; then
    banner "valgrind memcheck: smoke test and a short differential run"
    vg=(valgrind --quiet --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite)
    "${vg[@]}" build/release/tests/test_smoke --gtest_brief=1
    ZV_DIFF_SECONDS=${ZV_VALGRIND_DIFF_SECONDS:-20} \
      "${vg[@]}" build/release/tests/test_differential --gtest_brief=1
  else
    banner "valgrind: not installed or no release build, skipped"
  fi
fi

banner "all stages passed"
