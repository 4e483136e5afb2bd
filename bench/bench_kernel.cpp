// The score kernels alone, against limits measured in the same process:
//   - the peak lane-FMA rate of this core (a register-only fma loop on the
//     active path's vectors: lane-FMAs per second);
//   - the single-thread memory-read limit (a streaming read far larger than
//     the caches), for the single-query scan;
//   - the multi-query kernel over a large base with 1,000 queries, blocked
//     the way a batch search blocks it (multi_row_block(dim) rows by slices
//     of kMultiQuerySlice queries), reported as a share of the peak.
//
//   bench_kernel --benchmark_min_time=1          full sizes
//   ZV_BENCH_QUICK=1 bench_kernel                 bases a tenth / a twentieth
//
// On a shared machine read the cpu-time figures and repeat
// (--benchmark_repetitions=3): every share is a ratio within one run.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "bench_common.h"
#include "score_kernel.h"
#include "tuning.h"

namespace {

bool quick() {
  const char* q = std::getenv("ZV_BENCH_QUICK");
  return q != nullptr && q[0] != '\0' && q[0] != '0';
}

using zvbench::peak_avx2;
using zvbench::peak_avx512;

int active_lanes() {
  const char* name = zv::active_kernels().name;
  if (name[0] == 'a' && name[3] == '5') return 16;
  if (name[0] == 'a') return 8;
  return 1;
}

void BM_PeakLaneFma(benchmark::State& state) {
  const int64_t iters = 1 << 22;
  const int lanes = active_lanes();
  double sink = 0;
  for (auto _ : state) {
    sink += lanes == 16 ? peak_avx512(iters) : lanes == 8 ? peak_avx2(iters) : 0;
  }
  benchmark::DoNotOptimize(sink);
  const double per_iter = static_cast<double>(iters) * 12 * lanes;
  state.counters["lane_fma_per_second"] =
      benchmark::Counter(per_iter, benchmark::Counter::kIsIterationInvariantRate);
}

// A base of random rows shared by the benchmarks of one shape.
struct Base {
  int64_t n;
  int32_t dim;
  std::vector<float> rows;
};
const Base& base(int64_t n, int32_t dim) {
  static std::unique_ptr<Base> held;
  if (!held || held->n != n || held->dim != dim) {
    held.reset();  // one large base at a time
    held.reset(new Base{n, dim, zvbench::random_floats(n * dim, 7)});
  }
  return *held;
}

// One query over the whole base, split into the calls a full search makes.
void BM_SingleQueryScan(benchmark::State& state) {
  const int32_t dim = static_cast<int32_t>(state.range(1));
  const int64_t n = quick() ? state.range(0) / 10 : state.range(0);
  const Base& b = base(n, dim);
  const auto q = zvbench::random_floats(dim, 3);
  const zv::ScoreKernels& k = zv::active_kernels();
  float scores[256];
  float sink = 0;
  for (auto _ : state) {
    for (int64_t done = 0; done < n; done += 256) {
      const int64_t c = std::min<int64_t>(256, n - done);
      k.score_block_ahead(b.rows.data() + done * dim, c, n - done - c, q.data(), dim, scores);
      sink += scores[0];
    }
  }
  benchmark::DoNotOptimize(sink);
  zvbench::report_bytes(state, static_cast<double>(n) * dim * 4, static_cast<double>(n));
}

// The single-thread read limit the single-query scan is held against.
void BM_MemoryRead(benchmark::State& state) {
  const int64_t count = (quick() ? INT64_C(1) << 26 : INT64_C(1) << 28) / 4;
  static std::vector<float> buf;
  if (static_cast<int64_t>(buf.size()) != count) buf = zvbench::random_floats(count, 5);
  double sink = 0;
  for (auto _ : state) sink += zvbench::stream_sum(buf.data(), buf.size());
  benchmark::DoNotOptimize(sink);
  zvbench::report_bytes(state, static_cast<double>(count) * 4, 0);
}

// 1,000 queries over the base, blocked as a batch search blocks it.
void BM_MultiQueryScan(benchmark::State& state) {
  const int32_t dim = static_cast<int32_t>(state.range(1));
  const int64_t n = quick() ? state.range(0) / 20 : state.range(0);
  const int32_t nq = 1000;
  const Base& b = base(n, dim);
  const auto queries = zvbench::random_floats(static_cast<int64_t>(nq) * dim, 3);
  // ZV_BENCH_SLICE / ZV_BENCH_BLOCK override the tuned sizes, to re-measure them.
  const char* slice_env = std::getenv("ZV_BENCH_SLICE");
  const char* block_env = std::getenv("ZV_BENCH_BLOCK");
  const int32_t slice = slice_env ? std::atoi(slice_env) : zv::kMultiQuerySlice;
  const int64_t block = block_env ? std::atoll(block_env) : zv::multi_row_block(dim);
  // Every slice transposed once, as a call does, into 64-byte aligned space.
  struct Free {
    void operator()(float* p) const { std::free(p); }
  };
  std::vector<std::unique_ptr<float, Free>> qt;
  for (int32_t s = 0; s < nq; s += slice) {
    const int32_t m = std::min(slice, nq - s);
    const size_t bytes = (static_cast<size_t>(m) * dim * 4 + 63) / 64 * 64;
    qt.emplace_back(static_cast<float*>(std::aligned_alloc(64, bytes)));
    zv::transpose_queries(queries.data() + static_cast<int64_t>(s) * dim, m, dim, qt.back().get());
  }
  const zv::ScoreKernels& k = zv::active_kernels();
  std::vector<float> out(static_cast<size_t>(block) * slice);
  float sink = 0;
  for (auto _ : state) {
    for (int64_t i = 0; i < n; i += block) {
      const int64_t rows = std::min(block, n - i);
      for (size_t s = 0; s < qt.size(); ++s) {
        const int32_t m = std::min(slice, nq - static_cast<int32_t>(s) * slice);
        k.score_block_multi(b.rows.data() + i * dim, rows, qt[s].get(), m, dim, out.data());
        sink += out[0];
      }
    }
  }
  benchmark::DoNotOptimize(sink);
  const double fmas = static_cast<double>(n) * nq * dim;
  state.counters["lane_fma_per_second"] =
      benchmark::Counter(fmas, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["queries_per_second"] =
      benchmark::Counter(nq, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["slice"] = slice;
  state.counters["block"] = static_cast<double>(block);
}

BENCHMARK(BM_PeakLaneFma)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemoryRead)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SingleQueryScan)->Args({1000000, 128})->Args({200000, 768})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MultiQueryScan)->Args({1000000, 128})->Args({200000, 768})->Unit(benchmark::kMillisecond);

// The shares of the limits, from the counters of this run.
class ShareReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& reports) override {
    ConsoleReporter::ReportRuns(reports);
    for (const Run& r : reports) {
      if (r.run_type != Run::RT_Iteration) continue;
      const std::string name = r.benchmark_name();
      auto rate = [&](const char* c) {
        auto it = r.counters.find(c);
        return it == r.counters.end() ? 0.0 : static_cast<double>(it->second);
      };
      if (name.rfind("BM_PeakLaneFma", 0) == 0) peak_ = rate("lane_fma_per_second");
      if (name.rfind("BM_MemoryRead", 0) == 0) read_ = rate("bytes_per_second");
      if (name.rfind("BM_SingleQueryScan", 0) == 0 && read_ > 0)
        std::printf("  %s: %.0f%% of the memory read rate\n", name.c_str(),
                    100.0 * rate("bytes_per_second") / read_);
      if (name.rfind("BM_MultiQueryScan", 0) == 0 && peak_ > 0)
        std::printf("  %s: %.0f%% of the peak lane-FMA rate (%.3g of %.3g /s)\n", name.c_str(),
                    100.0 * rate("lane_fma_per_second") / peak_, rate("lane_fma_per_second"),
                    peak_);
    }
  }

 private:
  double peak_ = 0, read_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  std::printf("active path: %s (%d lanes)%s\n", zv::active_kernels().name, active_lanes(),
              quick() ? ", quick mode" : "");
  ShareReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
