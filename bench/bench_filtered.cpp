// Filtered match and search over 1,000,000 x 128 base rows with 10 % of the
// ids upserted into the delta and 5 % deleted, beside FAISS's IndexFlatIP
// searching the same visible rows through an IDSelectorBitmap of the rows
// that pass the filter. Single thread, one query per call, k = 10.
//
// Filters: 1 % (primary value), 10 % (column 0), 100 % (kind 0). A clean
// copy of the base (no writes) gives the baseline for kind 0 against
// zv_index_search_full.
//
// Repetitions are interleaved at random by default; the summary at the end
// takes each benchmark's fastest repetition in CPU time (the least disturbed
// by other work on the machine) and prints the ratios.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench_common.h"
#include "zv_runtime.h"

#ifdef ZV_BENCH_HAVE_FAISS
#include <faiss/IndexFlat.h>
#include <faiss/impl/IDSelector.h>
#include <omp.h>
#endif

namespace {

constexpr int64_t kRows = 1000000;
constexpr int32_t kDim = 128;
constexpr int32_t kTopK = 10;
constexpr int32_t kQueries = 8;

uint64_t mix(uint64_t x) {
  x ^= x >> 31;
  x *= 0x7fb5d329728ea185ULL;
  x ^= x >> 27;
  x *= 0x81dadef4bc2dd44dULL;
  x ^= x >> 33;
  return x;
}

int64_t primary_of(int64_t id) { return static_cast<int64_t>(mix(uint64_t(id)) % 100); }
int64_t column0_of(int64_t id) { return static_cast<int64_t>((mix(uint64_t(id)) >> 20) % 10); }

struct Filter {
  int32_t kind;
  int32_t column;
  int64_t value;
  bool passes(int64_t id) const {
    if (kind == 0) return true;
    if (kind == 1) return primary_of(id) == value;
    return column0_of(id) == value;
  }
};

// Selectivity in percent -> filter.
Filter filter_for(int64_t percent) {
  if (percent == 1) return {1, 0, 0};
  if (percent == 10) return {2, 0, 0};
  return {0, 0, 0};
}

struct Setup {
  std::vector<float> queries;
  std::unique_ptr<zvbench::BuiltBase> clean;  // no writes
  zv_index* mutated = nullptr;                // upserts, deletes, metadata
  std::vector<int64_t> visible;               // visible ids of `mutated`, walk order
#ifdef ZV_BENCH_HAVE_FAISS
  std::unique_ptr<faiss::IndexFlatIP> flat;   // the visible rows, in walk order
  std::map<int64_t, std::vector<uint8_t>> bitmaps;
#endif

  Setup() {
    queries = zvbench::random_floats(int64_t{kQueries} * kDim, 99);
    clean = std::make_unique<zvbench::BuiltBase>(kRows, kDim, 1, 1);

    mutated = zv_index_new(kDim, 0);
    const int64_t key = 0;
    const int32_t offset = 0, size = static_cast<int32_t>(kRows);
    zv_index_build(mutated, clean->vectors.data(), kRows, kDim, clean->ids.data(), &key, &offset,
                   &size, 1);
    // 10 % upserted and 5 % deleted, chosen at random over the ids.
    std::vector<int64_t> upserts, deletes;
    for (int64_t id = 0; id < kRows; ++id) {
      const uint64_t h = mix(uint64_t(id) ^ 0x5151);
      if (h % 100 < 10) upserts.push_back(id);
      if ((h >> 32) % 100 < 5) deletes.push_back(id);
    }
    const auto fresh = zvbench::random_floats(int64_t(upserts.size()) * kDim, 7);
    for (size_t i = 0; i < upserts.size(); i += 10000) {
      const size_t n = std::min<size_t>(10000, upserts.size() - i);
      zv_index_insert(mutated, fresh.data() + i * kDim, upserts.data() + i, int32_t(n));
    }
    zv_index_delete(mutated, deletes.data(), int32_t(deletes.size()));
    std::vector<int64_t> primary(kRows), column0(kRows);
    for (int64_t id = 0; id < kRows; ++id) {
      primary[id] = primary_of(id);
      column0[id] = column0_of(id);
    }
    zv_index_set_rowmeta(mutated, clean->ids.data(), primary.data(), column0.data(), 1,
                         int32_t(kRows));

    const int64_t count = zv_index_visible_count(mutated);
    visible.resize(count);
    std::vector<float> vectors(size_t(count) * kDim);
    zv_index_export_visible(mutated, vectors.data(), visible.data());
    std::fprintf(stderr, "rows %lld, delta %lld, visible %lld\n", (long long)kRows,
                 (long long)zv_index_delta_count(mutated), (long long)count);

#ifdef ZV_BENCH_HAVE_FAISS
    omp_set_num_threads(1);
    flat = std::make_unique<faiss::IndexFlatIP>(kDim);
    flat->add(count, vectors.data());
    for (int64_t percent : {1, 10, 100}) {
      const Filter f = filter_for(percent);
      std::vector<uint8_t> bits(size_t(count + 7) / 8, 0);
      for (int64_t i = 0; i < count; ++i) {
        if (f.passes(visible[i])) bits[i / 8] |= uint8_t(1u << (i % 8));
      }
      bitmaps[percent] = std::move(bits);
    }
#endif
    check();
  }

  ~Setup() { zv_index_free(mutated); }

  // The filtered results must be what the filter says: every matching id
  // and nothing else, and (with FAISS's own summation order) the same
  // top-k rows as FAISS up to near ties.
  void check() {
    std::vector<int64_t> out(visible.size());
    for (int64_t percent : {1, 10, 100}) {
      const Filter f = filter_for(percent);
      const int64_t n = zv_index_match_ids(mutated, f.kind, f.column, f.value, out.data());
      std::vector<int64_t> want;
      for (int64_t id : visible) {
        if (f.passes(id)) want.push_back(id);
      }
      const bool same = n == int64_t(want.size()) && std::equal(want.begin(), want.end(), out.begin());
      std::fprintf(stderr, "filter %3lld %%: %lld ids match%s\n", (long long)percent, (long long)n,
                   same ? "" : "  MISMATCH against the filter");
#ifdef ZV_BENCH_HAVE_FAISS
      int same_sets = 0;
      for (int32_t q = 0; q < kQueries; ++q) {
        int64_t ids[kTopK], labels[kTopK];
        float scores[kTopK], distances[kTopK];
        zv_index_search_filtered(mutated, f.kind, f.column, f.value, queries.data() + q * kDim,
                                 kTopK, ids, scores);
        faiss_search(percent, queries.data() + q * kDim, distances, labels);
        std::vector<int64_t> a(ids, ids + kTopK), b;
        for (int64_t l : labels) b.push_back(l >= 0 ? visible[l] : -1);
        std::sort(a.begin(), a.end());
        std::sort(b.begin(), b.end());
        same_sets += a == b;
      }
      std::fprintf(stderr, "           top-%d equal to FAISS's for %d of %d queries\n", kTopK,
                   same_sets, kQueries);
#endif
    }
  }

#ifdef ZV_BENCH_HAVE_FAISS
  void faiss_search(int64_t percent, const float* q, float* distances, int64_t* labels) {
    if (percent == 100) {
      flat->search(1, q, kTopK, distances, labels);
      return;
    }
    const auto& bits = bitmaps.at(percent);
    faiss::IDSelectorBitmap sel(bits.size(), bits.data());
    faiss::SearchParameters params;
    params.sel = &sel;
    flat->search(1, q, kTopK, distances, labels, &params);
  }
#endif
};

Setup& setup() {
  static Setup s;
  return s;
}

void BM_CleanSearchFull(benchmark::State& state) {
  Setup& s = setup();
  int64_t ids[kTopK];
  float scores[kTopK];
  int32_t q = 0;
  for (auto _ : state) {
    zv_index_search_full(s.clean->index, s.queries.data() + q * kDim, kTopK, ids, scores);
    benchmark::DoNotOptimize(ids);
    q = (q + 1) % kQueries;
  }
  zvbench::report_bytes(state, double(kRows) * kDim * 4, double(kRows));
}

void BM_CleanSearchFilteredKind0(benchmark::State& state) {
  Setup& s = setup();
  int64_t ids[kTopK];
  float scores[kTopK];
  int32_t q = 0;
  for (auto _ : state) {
    zv_index_search_filtered(s.clean->index, 0, 0, 0, s.queries.data() + q * kDim, kTopK, ids,
                             scores);
    benchmark::DoNotOptimize(ids);
    q = (q + 1) % kQueries;
  }
  zvbench::report_bytes(state, double(kRows) * kDim * 4, double(kRows));
}

void BM_MatchIds(benchmark::State& state) {
  Setup& s = setup();
  const Filter f = filter_for(state.range(0));
  std::vector<int64_t> out(s.visible.size());
  for (auto _ : state) {
    benchmark::DoNotOptimize(zv_index_match_ids(s.mutated, f.kind, f.column, f.value, out.data()));
  }
  state.counters["rows_per_second"] = benchmark::Counter(
      double(zv_index_delta_count(s.mutated) + kRows), benchmark::Counter::kIsIterationInvariantRate);
}

void BM_SearchFiltered(benchmark::State& state) {
  Setup& s = setup();
  const Filter f = filter_for(state.range(0));
  int64_t ids[kTopK];
  float scores[kTopK];
  int32_t q = 0;
  for (auto _ : state) {
    zv_index_search_filtered(s.mutated, f.kind, f.column, f.value, s.queries.data() + q * kDim,
                             kTopK, ids, scores);
    benchmark::DoNotOptimize(ids);
    q = (q + 1) % kQueries;
  }
}

#ifdef ZV_BENCH_HAVE_FAISS
// 100 % is the plain search without a selector.
void BM_FaissFlatBitmap(benchmark::State& state) {
  Setup& s = setup();
  int64_t labels[kTopK];
  float distances[kTopK];
  int32_t q = 0;
  for (auto _ : state) {
    s.faiss_search(state.range(0), s.queries.data() + q * kDim, distances, labels);
    benchmark::DoNotOptimize(labels);
    q = (q + 1) % kQueries;
  }
}
#endif

BENCHMARK(BM_CleanSearchFull)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CleanSearchFilteredKind0)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MatchIds)->Arg(1)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SearchFiltered)->Arg(1)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond);
#ifdef ZV_BENCH_HAVE_FAISS
BENCHMARK(BM_FaissFlatBitmap)->Arg(1)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond);
#endif

// Console output, plus the fastest repetition of every benchmark for the
// summary.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      std::string name = run.run_name.function_name;
      if (!run.run_name.args.empty()) name += "/" + run.run_name.args;
      // CPU time: on a shared machine wall time mostly measures the others.
      const double ms = run.GetAdjustedCPUTime();
      auto it = best_.find(name);
      if (it == best_.end() || ms < it->second) best_[name] = ms;
    }
  }

  void summary() const {
    std::printf("\nfastest repetition, CPU ms per call (a ratio below 1: the first is faster)\n");
    auto get = [&](const std::string& n) {
      auto it = best_.find(n);
      return it == best_.end() ? -1.0 : it->second;
    };
    auto ratio = [&](const char* label, const std::string& a, const std::string& b) {
      const double ta = get(a), tb = get(b);
      if (ta < 0 || tb < 0) return;
      std::printf("  %-44s %9.3f / %9.3f = %.3f\n", label, ta, tb, ta / tb);
    };
    ratio("clean: filtered kind 0 / search_full", "BM_CleanSearchFilteredKind0",
          "BM_CleanSearchFull");
    for (const char* p : {"1", "10", "100"}) {
      const std::string suffix = std::string("/") + p;
      const std::string label = std::string("filtered ") + p + " % / FAISS flat" +
                                (std::string(p) == "100" ? "" : " + bitmap");
      ratio(label.c_str(), "BM_SearchFiltered" + suffix, "BM_FaissFlatBitmap" + suffix);
    }
    for (const char* p : {"1", "10", "100"}) {
      const std::string label = std::string("match_ids ") + p + " % / filtered search " + p + " %";
      ratio(label.c_str(), std::string("BM_MatchIds/") + p, std::string("BM_SearchFiltered/") + p);
    }
  }

 private:
  std::map<std::string, double> best_;
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> args(argv, argv + argc);
  bool has_reps = false;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]).rfind("--benchmark_repetitions", 0) == 0) has_reps = true;
  }
  std::string reps = "--benchmark_repetitions=5";
  std::string interleave = "--benchmark_enable_random_interleaving=true";
  std::string no_aggregates = "--benchmark_report_aggregates_only=false";
  if (!has_reps) {
    args.push_back(reps.data());
    args.push_back(interleave.data());
    args.push_back(no_aggregates.data());
  }
  int n = int(args.size());
  benchmark::Initialize(&n, args.data());
  if (benchmark::ReportUnrecognizedArguments(n, args.data())) return 1;
  setup();
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.summary();
  benchmark::Shutdown();
  return 0;
}
