// Base build and base searches against the single-thread memory limits,
// measured in the same process: a streaming read and a memcpy over buffers
// far larger than the caches. Every benchmark reports bytes and rows per
// second; the summary at exit prints each one as a share of the memory read.
//
//   bench_base --benchmark_repetitions=3 --benchmark_min_time=1
#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench_common.h"
#include "score_kernel.h"
#include "topk.h"

namespace {

using Clock = std::chrono::steady_clock;

double thread_seconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Every timed run of each benchmark, for the summary: bytes per wall second
// and per second of this thread's CPU time (on a shared machine the second
// is the steadier figure: the ratios hold whichever is used).
struct Run {
  double secs, wall_rate, cpu_rate;
};
std::map<std::string, std::vector<Run>>& runs() {
  static std::map<std::string, std::vector<Run>> all;
  return all;
}

class RateMeter {
 public:
  RateMeter(benchmark::State& state, std::string name)
      : state_(state), name_(std::move(name)), start_(Clock::now()), cpu_start_(thread_seconds()) {}
  void finish(double bytes_per_iter, double rows_per_iter) {
    const double secs = std::chrono::duration<double>(Clock::now() - start_).count();
    const double cpu = thread_seconds() - cpu_start_;
    const double bytes = bytes_per_iter * static_cast<double>(state_.iterations());
    zvbench::report_bytes(state_, bytes_per_iter, rows_per_iter);
    if (secs > 0 && cpu > 0) runs()[name_].push_back({secs, bytes / secs, bytes / cpu});
  }

 private:
  benchmark::State& state_;
  std::string name_;
  Clock::time_point start_;
  double cpu_start_;
};

constexpr int64_t kReadBytes = INT64_C(1) << 30;  // twice the largest cache we have seen
constexpr int64_t kCopyBytes = INT64_C(256) << 20;

const std::vector<float>& read_buffer() {
  static const std::vector<float> buf = zvbench::random_floats(kReadBytes / 4, 99);
  return buf;
}

void BM_MemoryRead(benchmark::State& state) {
  const auto& buf = read_buffer();
  RateMeter meter(state, "BM_MemoryRead");
  for (auto _ : state) {
    benchmark::DoNotOptimize(zvbench::stream_sum(buf.data(), buf.size()));
  }
  meter.finish(static_cast<double>(kReadBytes), 0);
}

void BM_Memcpy(benchmark::State& state) {
  static std::vector<char> src(kCopyBytes, 1), dst(kCopyBytes, 2);
  RateMeter meter(state, "BM_Memcpy");
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), src.size());
    benchmark::ClobberMemory();
  }
  meter.finish(static_cast<double>(kCopyBytes), 0);
}

// The two shapes of the targets, built once and kept for the whole run.
constexpr int64_t kRowsSmallDim = 1000000;
constexpr int64_t kRowsLargeDim = 200000;
constexpr int32_t kPartitions = 16;

zvbench::BuiltBase& base_for(int32_t dim) {
  static std::map<int32_t, std::unique_ptr<zvbench::BuiltBase>> bases;
  auto& slot = bases[dim];
  if (!slot) {
    const int64_t rows = dim <= 128 ? kRowsSmallDim : kRowsLargeDim;
    slot = std::make_unique<zvbench::BuiltBase>(rows, dim, kPartitions, 5);
  }
  return *slot;
}

constexpr int32_t kK = 10;

void BM_Build(benchmark::State& state) {
  auto& b = base_for(static_cast<int32_t>(state.range(0)));
  std::vector<int64_t> keys(kPartitions);
  std::vector<int32_t> offsets(kPartitions), sizes(kPartitions);
  for (int32_t p = 0; p < kPartitions; ++p) {
    keys[p] = p;
    offsets[p] = static_cast<int32_t>(b.n * p / kPartitions);
    sizes[p] = static_cast<int32_t>(b.n * (p + 1) / kPartitions - offsets[p]);
  }
  zv_index* index = zv_index_new(b.dim, 0);
  RateMeter meter(state, "BM_Build/" + std::to_string(state.range(0)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(zv_index_build(index, b.vectors.data(), b.n, b.dim, b.ids.data(),
                                            keys.data(), offsets.data(), sizes.data(),
                                            kPartitions));
  }
  // The bytes a build must copy: vectors and ids.
  meter.finish(static_cast<double>(b.n) * (b.dim * 4.0 + 8.0), static_cast<double>(b.n));
  zv_index_free(index);
}

void BM_SearchFull(benchmark::State& state) {
  auto& b = base_for(static_cast<int32_t>(state.range(0)));
  const auto q = zvbench::random_floats(b.dim, 17);
  int64_t ids[kK];
  float scores[kK];
  RateMeter meter(state, "BM_SearchFull/" + std::to_string(state.range(0)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(zv_index_search_full(b.index, q.data(), kK, ids, scores));
  }
  meter.finish(static_cast<double>(b.n) * b.dim * 4.0, static_cast<double>(b.n));
}

void BM_SearchPartition(benchmark::State& state) {
  auto& b = base_for(static_cast<int32_t>(state.range(0)));
  const auto q = zvbench::random_floats(b.dim, 17);
  int64_t ids[kK];
  float scores[kK];
  int64_t key = 0;
  RateMeter meter(state, "BM_SearchPartition/" + std::to_string(state.range(0)));
  for (auto _ : state) {
    // A different partition each call, so none is served from cache.
    benchmark::DoNotOptimize(zv_index_search_partition(b.index, key, q.data(), kK, ids, scores));
    key = (key + 1) % kPartitions;
  }
  const double rows = static_cast<double>(b.n) / kPartitions;
  meter.finish(rows * b.dim * 4.0, rows);
}

// The plain one-row-at-a-time chain with hardware fma, for reference.
__attribute__((target("fma"))) float plain_chain(const float* row, const float* q, int32_t dim) {
  float acc = 0.0f;
  for (int32_t j = 0; j < dim; ++j) acc = __builtin_fmaf(row[j], q[j], acc);
  return acc;
}

void BM_SearchFullPlainChain(benchmark::State& state) {
  auto& b = base_for(static_cast<int32_t>(state.range(0)));
  const auto q = zvbench::random_floats(b.dim, 17);
  int64_t ids[kK];
  float scores[kK];
  RateMeter meter(state, "BM_SearchFullPlainChain/" + std::to_string(state.range(0)));
  for (auto _ : state) {
    zv::TopK topk(ids, scores, kK);
    // The index keeps its own copy; the host copy has the same layout.
    const float* rows = b.vectors.data();
    for (int64_t r = 0; r < b.n; ++r) topk.offer(plain_chain(rows + r * b.dim, q.data(), b.dim), r);
    benchmark::DoNotOptimize(scores);
  }
  meter.finish(static_cast<double>(b.n) * b.dim * 4.0, static_cast<double>(b.n));
}

// Scatter: 1,000 random ids per call, a fresh set each call from a pool that
// spans the whole base, so rows come from memory.
constexpr int32_t kScatterIds = 1000;
constexpr int32_t kScatterSets = 1024;

const std::vector<int64_t>& scatter_pool(int64_t n) {
  static std::vector<int64_t> pool;
  if (pool.empty()) {
    std::mt19937_64 rng(23);
    pool.resize(static_cast<size_t>(kScatterIds) * kScatterSets);
    for (auto& id : pool) id = static_cast<int64_t>(rng() % static_cast<uint64_t>(n));
  }
  return pool;
}

void BM_ScatterTopk(benchmark::State& state) {
  auto& b = base_for(128);
  const auto& pool = scatter_pool(b.n);
  const auto q = zvbench::random_floats(b.dim, 17);
  int64_t ids[kK];
  float scores[kK];
  int32_t set = 0;
  RateMeter meter(state, "BM_ScatterTopk");
  for (auto _ : state) {
    benchmark::DoNotOptimize(zv_index_scatter_topk(b.index, pool.data() + set * kScatterIds,
                                                   kScatterIds, q.data(), kK, ids, scores));
    set = (set + 1) % kScatterSets;
  }
  meter.finish(kScatterIds * b.dim * 4.0, kScatterIds);
}

// The same lookups one at a time: dense id table, then the plain chain.
void BM_ScatterPlainChain(benchmark::State& state) {
  auto& b = base_for(128);
  const auto& pool = scatter_pool(b.n);
  const auto q = zvbench::random_floats(b.dim, 17);
  static std::vector<int64_t> id_to_row;
  if (id_to_row.empty()) {
    id_to_row.assign(static_cast<size_t>(b.n), -1);
    for (int64_t r = 0; r < b.n; ++r) id_to_row[static_cast<size_t>(b.ids[r])] = r;
  }
  int64_t ids[kK];
  float scores[kK];
  int32_t set = 0;
  RateMeter meter(state, "BM_ScatterPlainChain");
  for (auto _ : state) {
    zv::TopK topk(ids, scores, kK);
    const int64_t* cand = pool.data() + set * kScatterIds;
    for (int32_t i = 0; i < kScatterIds; ++i) {
      const int64_t id = cand[i];
      if (id < 0 || id >= b.n) continue;
      const int64_t r = id_to_row[static_cast<size_t>(id)];
      if (r < 0) continue;
      topk.offer(plain_chain(b.vectors.data() + r * b.dim, q.data(), b.dim), id);
    }
    benchmark::DoNotOptimize(scores);
    set = (set + 1) % kScatterSets;
  }
  meter.finish(kScatterIds * b.dim * 4.0, kScatterIds);
}

BENCHMARK(BM_MemoryRead)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Build)->Arg(128)->Arg(768)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SearchFull)->Arg(128)->Arg(768)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SearchPartition)->Arg(128)->Arg(768)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SearchFullPlainChain)->Arg(128)->Arg(768)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ScatterTopk)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_ScatterPlainChain)->Unit(benchmark::kMicrosecond)->UseRealTime();
// The memory limit again at the end, so drift over the run shows.
BENCHMARK(BM_MemoryRead)->Name("BM_MemoryRead/again")->Unit(benchmark::kMillisecond)->UseRealTime();

// Median rate over the timed runs of a name, leaving out the framework's
// short trial runs (under half the longest run's time).
std::pair<double, double> median_rates(const std::vector<Run>& all) {
  double longest = 0;
  for (const Run& r : all) longest = std::max(longest, r.secs);
  std::vector<double> wall, cpu;
  for (const Run& r : all) {
    if (r.secs < 0.5 * longest) continue;
    wall.push_back(r.wall_rate);
    cpu.push_back(r.cpu_rate);
  }
  std::sort(wall.begin(), wall.end());
  std::sort(cpu.begin(), cpu.end());
  return {wall[wall.size() / 2], cpu[cpu.size() / 2]};
}

void print_summary() {
  std::vector<Run> read_runs;
  for (const auto& [name, list] : runs())
    if (name.rfind("BM_MemoryRead", 0) == 0) read_runs.insert(read_runs.end(), list.begin(), list.end());
  if (read_runs.empty()) return;
  const auto [read_wall, read_cpu] = median_rates(read_runs);
  // The library picks the same path from the same feature bits.
  const char* path = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
                             __builtin_cpu_supports("avx512dq") &&
                             __builtin_cpu_supports("avx512bw")
                         ? "avx512"
                     : __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") ? "avx2"
                                                                                         : "portable";
  std::printf("\nSummary: medians of timed runs, %s kernels; memory read %.2f GB/s wall, "
              "%.2f GB/s per CPU second\n",
              path, read_wall / 1e9, read_cpu / 1e9);
  std::printf("  %-30s %9s %8s %9s %8s\n", "benchmark", "GB/s", "of read", "GB/cpu-s", "of read");
  std::map<std::string, std::pair<double, double>> med;
  for (const auto& [name, list] : runs()) {
    if (name.rfind("BM_MemoryRead", 0) == 0) continue;
    const auto [wall, cpu] = median_rates(list);
    med[name] = {wall, cpu};
    std::printf("  %-30s %9.2f %7.0f%% %9.2f %7.0f%%\n", name.c_str(), wall / 1e9,
                100.0 * wall / read_wall, cpu / 1e9, 100.0 * cpu / read_cpu);
  }
  if (med.count("BM_ScatterTopk") && med.count("BM_ScatterPlainChain"))
    std::printf("  scatter_topk vs plain chain: %.2fx wall, %.2fx CPU\n",
                med["BM_ScatterTopk"].first / med["BM_ScatterPlainChain"].first,
                med["BM_ScatterTopk"].second / med["BM_ScatterPlainChain"].second);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  print_summary();
  return 0;
}
