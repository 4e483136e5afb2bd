#!/usr/bin/env bash
# Builds bench/ in Release, runs bench_report and writes bench/report/REPORT.md
# with its PNG plots beside it: bench_report, then bench_batch (batched
# searches against single calls and FAISS) at two shapes, then the sharded
# index on a local Dask cluster (bench_distributed.py). About 10 minutes on
# 2 cores once built.
#   --quick   sizes 10^4 and 10^5 (batches: 10^5 x 128, 2 x 10^4 x 768), short
#             timings, output in bench/report/quick/
#             (about 2 minutes once built)
#   --out DIR write the report to DIR instead (e.g. a second machine's run
#             beside the first)
# The build directory is build-report unless ZV_BENCH_BUILD_DIR says otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=full
out_dir=
while [[ $# -gt 0 ]]; do
  case "$1" in
    --quick) mode=quick; shift ;;
    --out) [[ $# -ge 2 ]] || { echo "usage: $0 [--quick] [--out DIR]" >&2; exit 2; }
           out_dir=$2; shift 2 ;;
    *) echo "usage: $0 [--quick] [--out DIR]" >&2; exit 2 ;;
  esac
done

bash scripts/setup.sh --bench
build=${ZV_BENCH_BUILD_DIR:-build-report}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DZV_BUILD_BENCH=ON -DZV_BUILD_TESTS=OFF \
  -DZV_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" --target bench_report bench_batch zv_runtime -j"$(nproc)"

# Debian's OpenBLAS does not recognise recent CPUs and falls back to a generic
# kernel, which would leave FAISS's batched search about 4x short of itself.
if grep -qw avx512f /proc/cpuinfo; then
  export OPENBLAS_CORETYPE=SkylakeX
elif grep -qw avx2 /proc/cpuinfo; then
  export OPENBLAS_CORETYPE=Haswell
fi

if [[ $mode == quick ]]; then
  out=bench/report/quick
  args=(--sizes=10000,100000 --benchmark_min_time=0.05 --benchmark_repetitions=1)
  # Batched searches: rows x dim per shape; single calls capped at this nq.
  batch_shapes=(100000x128 20000x768)
  batch_args=(--benchmark_min_time=0.05)
  singles_max=100
  dist_args=(--quick)
else
  out=bench/report
  args=(--sizes=10000,100000,1000000 --benchmark_min_time=0.25 --benchmark_repetitions=3)
  batch_shapes=(1000000x128 200000x768)
  batch_args=(--benchmark_min_time=0.25)
  singles_max=100
  dist_args=()
fi
[[ -n $out_dir ]] && out=$out_dir
mkdir -p "$out"

start=$(date +%s)
# FAISS runs one thread per call, like every other row of the report.
OMP_NUM_THREADS=1 OPENBLAS_NUM_THREADS=1 "$build/bench/bench_report" "${args[@]}" \
  --benchmark_out="$out/results.json" --benchmark_out_format=json
batch_json=()
for shape in "${batch_shapes[@]}"; do
  rows=${shape%x*} dim=${shape#*x}
  OMP_NUM_THREADS=1 OPENBLAS_NUM_THREADS=1 ZV_BATCH_ROWS=$rows ZV_BATCH_DIM=$dim \
    ZV_BATCH_SINGLES_MAX=$singles_max "$build/bench/bench_batch" "${batch_args[@]}" \
    --benchmark_filter='BM_(Batch|Singles|Faiss|PeakLaneFma|Threads|CpuCapacity)' \
    --benchmark_out="$out/batch_$dim.json" --benchmark_out_format=json
  batch_json+=("$out/batch_$dim.json")
done
ZV_RUNTIME_LIBRARY="$build/engine/libzv_runtime.so" /usr/bin/python3 bench/bench_distributed.py \
  "${dist_args[@]}" --out "$out"
elapsed=$(($(date +%s) - start))

gbench=$(dpkg-query -W -f='${Version}' libbenchmark-dev 2>/dev/null || true)
/usr/bin/python3 bench/report/make_report.py "$out/results.json" --out "$out" --mode "$mode" \
  --elapsed "$((elapsed / 60)) min $((elapsed % 60)) s" --gbench "$gbench" \
  --batch "${batch_json[@]}" --distributed "$out/distributed.json" --openblas "${OPENBLAS_CORETYPE:-}"
