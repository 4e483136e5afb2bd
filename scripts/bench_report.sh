#!/usr/bin/env bash
# Builds bench/ in Release, runs bench_report and writes bench/report/REPORT.md
# with its PNG plots beside it. About 6 minutes on 2 cores once built.
#   --quick   sizes 10^4 and 10^5, short timings, output in bench/report/quick/
#             (under a minute once built)
# The build directory is build-report unless ZV_BENCH_BUILD_DIR says otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=full
if [[ "${1:-}" == "--quick" ]]; then
  mode=quick
elif [[ $# -gt 0 ]]; then
  echo "usage: $0 [--quick]" >&2
  exit 2
fi

bash scripts/setup.sh --bench
build=${ZV_BENCH_BUILD_DIR:-build-report}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DZV_BUILD_BENCH=ON -DZV_BUILD_TESTS=OFF \
  -DZV_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" --target bench_report -j"$(nproc)"

if [[ $mode == quick ]]; then
  out=bench/report/quick
  args=(--sizes=10000,100000 --benchmark_min_time=0.05 --benchmark_repetitions=1)
else
  out=bench/report
  args=(--sizes=10000,100000,1000000 --benchmark_min_time=0.25 --benchmark_repetitions=3)
fi
mkdir -p "$out"

start=$(date +%s)
# FAISS runs one thread per call, like every other row of the report.
OMP_NUM_THREADS=1 OPENBLAS_NUM_THREADS=1 "$build/bench/bench_report" "${args[@]}" \
  --benchmark_out="$out/results.json" --benchmark_out_format=json
elapsed=$(($(date +%s) - start))

gbench=$(dpkg-query -W -f='${Version}' libbenchmark-dev 2>/dev/null || true)
/usr/bin/python3 bench/report/make_report.py "$out/results.json" --out "$out" --mode "$mode" \
  --elapsed "$((elapsed / 60)) min $((elapsed % 60)) s" --gbench "$gbench"
