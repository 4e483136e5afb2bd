// Batched searches against the same number of single calls and against
// FAISS searching the same queries in one call, one thread.
//
// Every benchmark takes nq (1, 16, 100, 1000) as its argument and reports
// queries per second as items_per_second. The FAISS rows run IndexFlatIP and
// an IndexIVFFlat whose centroids and lists the runtime's IVF entry shares;
// their answers are checked against ours once (same_ids: the share of
// queries whose top-k ids agree; FAISS's BLAS path rounds differently, so a
// few near-ties may differ). Debian's OpenBLAS does not recognise recent
// CPUs and falls back to a generic kernel: run with OPENBLAS_CORETYPE=SkylakeX
// (AVX-512) or Haswell (AVX2) for a fair FAISS baseline.
//
// IVF rows take nprobe (8, 32) as a second argument. The batch full search
// also reports lane_fmas (rows x dim x nq per call) for a share of
// BM_PeakLaneFma, the peak lane-FMA rate measured in the same run; BM_Threads
// splits one batch of 1,000 over 1 and 2 host threads (wall clock).
//
// Sizes: ZV_BATCH_ROWS (default 200000) rows of ZV_BATCH_DIM (default 128).
// ZV_BATCH_SINGLES_MAX (default 1000) skips the single-call rows above that
// many queries: single calls take the same time per query at any nq, and
// 1,000 of them over a large base take a minute.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench_common.h"
#include "zv_runtime.h"

#ifdef ZV_BENCH_HAVE_FAISS
#include <faiss/IndexFlat.h>
#include <faiss/IndexIVFFlat.h>
#include <omp.h>
#endif

namespace {

constexpr int32_t kTopK = 10;
constexpr int32_t kMaxQueries = 1000;
constexpr int32_t kNlist = 256;
constexpr int32_t kNprobe = 8;
constexpr int32_t kParts = 16;
constexpr uint64_t kIvfKey = 1;

int64_t env_or(const char* name, int64_t fallback) {
  const char* v = std::getenv(name);
  return v != nullptr ? std::atoll(v) : fallback;
}

// One base, grouped by IVF list (rows of list 0, then list 1, ...), so the
// IVF scan reads runs of rows; partitions cut it into kParts equal parts.
struct Data {
  int64_t n;
  int32_t dim;
  std::vector<float> x;  // in list order
  std::vector<int64_t> ids;
  std::vector<float> queries;
  std::vector<float> centroids;
  std::vector<int64_t> list_ids;
  std::vector<int32_t> list_offsets;
  zv_index* index = nullptr;
#ifdef ZV_BENCH_HAVE_FAISS
  faiss::IndexFlatIP* flat = nullptr;
  faiss::IndexFlatIP* quantizer = nullptr;
  faiss::IndexIVFFlat* ivf = nullptr;
#endif

  Data() : n(env_or("ZV_BATCH_ROWS", 200000)), dim(static_cast<int32_t>(env_or("ZV_BATCH_DIM", 128))) {
    const std::vector<float> raw = zvbench::random_floats(n * dim, 1);
    queries = zvbench::random_floats(int64_t{kMaxQueries} * dim, 2);
    // Centroids: every (n / nlist)-th row; each row goes to its best one.
    std::vector<int32_t> assign(static_cast<size_t>(n));
    centroids.resize(size_t{kNlist} * dim);
    for (int32_t c = 0; c < kNlist; ++c) {
      std::copy_n(raw.data() + (n / kNlist) * c * dim, dim, centroids.data() + size_t(c) * dim);
    }
    zv_index* cx = zv_index_new(dim, 0);
    const std::vector<int64_t> cids = zvbench::sequential_ids(kNlist);
    zv_index_build(cx, centroids.data(), kNlist, dim, cids.data(), nullptr, nullptr, nullptr, 0);
    for (int64_t done = 0; done < n; done += 4096) {
      const int32_t c = static_cast<int32_t>(std::min<int64_t>(4096, n - done));
      std::vector<int64_t> best(c);
      std::vector<float> s(c);
      zv_index_search_full_batch(cx, raw.data() + done * dim, c, 1, best.data(), s.data());
      for (int32_t i = 0; i < c; ++i) assign[size_t(done + i)] = static_cast<int32_t>(best[i]);
    }
    zv_index_free(cx);
    list_offsets.assign(kNlist + 1, 0);
    for (int32_t a : assign) ++list_offsets[a + 1];
    for (int32_t c = 0; c < kNlist; ++c) list_offsets[c + 1] += list_offsets[c];
    std::vector<int32_t> fill(list_offsets.begin(), list_offsets.end() - 1);
    list_ids.resize(size_t(n));
    x.resize(raw.size());
    ids.resize(size_t(n));
    for (int64_t r = 0; r < n; ++r) {
      const int32_t at = fill[assign[size_t(r)]]++;
      list_ids[size_t(at)] = r;
      ids[size_t(at)] = r;
      std::copy_n(raw.data() + r * dim, dim, x.data() + int64_t{at} * dim);
    }
    const zvbench::EqualPartitions table(n, kParts);
    index = zv_index_new(dim, 0);
    zv_index_build(index, x.data(), n, dim, ids.data(), table.keys.data(), table.offsets.data(),
                   table.sizes.data(), kParts);
    zv_index_set_ivf(index, kIvfKey, kNlist, kNprobe, centroids.data(), list_ids.data(),
                     list_offsets.data(), static_cast<int32_t>(n));
#ifdef ZV_BENCH_HAVE_FAISS
    omp_set_num_threads(1);
    flat = new faiss::IndexFlatIP(dim);
    flat->add(n, x.data());
    quantizer = new faiss::IndexFlatIP(dim);
    quantizer->add(kNlist, centroids.data());
    ivf = new faiss::IndexIVFFlat(quantizer, dim, kNlist, faiss::METRIC_INNER_PRODUCT);
    ivf->is_trained = true;
    std::vector<faiss::Index::idx_t> fa(static_cast<size_t>(n));
    for (int32_t c = 0; c < kNlist; ++c) {
      for (int32_t p = list_offsets[c]; p < list_offsets[c + 1]; ++p) fa[size_t(p)] = c;
    }
    ivf->add_core(n, x.data(), ids.data(), fa.data());
    ivf->nprobe = kNprobe;
#endif
  }
};

Data& data() {
  static Data d;
  return d;
}

struct Out {
  std::vector<int64_t> ids;
  std::vector<float> scores;
  explicit Out(int32_t nq) : ids(size_t(nq) * kTopK), scores(size_t(nq) * kTopK) {}
};

enum class Search { kFull, kPartition, kFiltered, kIvf };

void run_batch(Search s, const Data& d, int32_t nq, Out& o) {
  const float* q = d.queries.data();
  switch (s) {
    case Search::kFull: zv_index_search_full_batch(d.index, q, nq, kTopK, o.ids.data(), o.scores.data()); break;
    case Search::kPartition:
      zv_index_search_partition_batch(d.index, 3, q, nq, kTopK, o.ids.data(), o.scores.data());
      break;
    case Search::kFiltered:
      zv_index_search_filtered_batch(d.index, 0, 0, 0, q, nq, kTopK, o.ids.data(), o.scores.data());
      break;
    case Search::kIvf:
      zv_index_search_ivf_batch(d.index, kIvfKey, q, nq, kTopK, o.ids.data(), o.scores.data());
      break;
  }
}

void run_singles(Search s, const Data& d, int32_t nq, Out& o) {
  for (int32_t i = 0; i < nq; ++i) {
    const float* q = d.queries.data() + int64_t{i} * d.dim;
    int64_t* oi = o.ids.data() + size_t(i) * kTopK;
    float* os = o.scores.data() + size_t(i) * kTopK;
    switch (s) {
      case Search::kFull: zv_index_search_full(d.index, q, kTopK, oi, os); break;
      case Search::kPartition: zv_index_search_partition(d.index, 3, q, kTopK, oi, os); break;
      case Search::kFiltered: zv_index_search_filtered(d.index, 0, 0, 0, q, kTopK, oi, os); break;
      case Search::kIvf: zv_index_search_ivf(d.index, kIvfKey, q, kTopK, oi, os); break;
    }
  }
}

// The IVF rows' second argument.
void set_nprobe(benchmark::State& state, Search s) {
  if (s != Search::kIvf) return;
  const int32_t nprobe = static_cast<int32_t>(state.range(1));
  zv_index_set_ivf_nprobe(data().index, kIvfKey, nprobe);
#ifdef ZV_BENCH_HAVE_FAISS
  data().ivf->nprobe = nprobe;
#endif
}

void run_zv(benchmark::State& state, Search s, bool batch) {
  const Data& d = data();
  const int32_t nq = static_cast<int32_t>(state.range(0));
  if (!batch && nq > env_or("ZV_BATCH_SINGLES_MAX", kMaxQueries)) {
    state.SkipWithError("single calls skipped at this nq (ZV_BATCH_SINGLES_MAX)");
    return;
  }
  set_nprobe(state, s);
  Out o(nq);
  for (auto _ : state) {
    if (batch) run_batch(s, d, nq, o);
    else run_singles(s, d, nq, o);
    benchmark::DoNotOptimize(o.ids.data());
  }
  state.SetItemsProcessed(state.iterations() * nq);
  if (s == Search::kFull) state.counters["lane_fmas"] = double(d.n) * d.dim * nq;
}
void BM_Batch(benchmark::State& state, Search s) { run_zv(state, s, true); }
void BM_Singles(benchmark::State& state, Search s) { run_zv(state, s, false); }

#define ZV_BATCH_ARGS ->Arg(1)->Arg(16)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond)
BENCHMARK_CAPTURE(BM_Batch, full_batch, Search::kFull) ZV_BATCH_ARGS;
BENCHMARK_CAPTURE(BM_Singles, full_singles, Search::kFull) ZV_BATCH_ARGS;
BENCHMARK_CAPTURE(BM_Batch, partition_batch, Search::kPartition) ZV_BATCH_ARGS;
BENCHMARK_CAPTURE(BM_Singles, partition_singles, Search::kPartition) ZV_BATCH_ARGS;
BENCHMARK_CAPTURE(BM_Batch, filtered_batch, Search::kFiltered) ZV_BATCH_ARGS;
BENCHMARK_CAPTURE(BM_Singles, filtered_singles, Search::kFiltered) ZV_BATCH_ARGS;
#define ZV_IVF_ARGS ->ArgsProduct({{1, 16, 100, 1000}, {8, 32}})->Unit(benchmark::kMillisecond)
BENCHMARK_CAPTURE(BM_Batch, ivf_batch, Search::kIvf) ZV_IVF_ARGS;
BENCHMARK_CAPTURE(BM_Singles, ivf_singles, Search::kIvf) ZV_IVF_ARGS;

void BM_PeakLaneFma(benchmark::State& state) {
  const int lanes = zvbench::library_lanes();
  const double per_iter = zvbench::peak_rate(state, lanes);
  state.counters["lane_fma_per_second"] =
      benchmark::Counter(per_iter, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["lanes"] = lanes;
}
BENCHMARK(BM_PeakLaneFma)->Unit(benchmark::kMillisecond);

// One batch of kMaxQueries full searches split over state.range(0) host
// threads, each searching its share of the queries in one call.
void BM_Threads(benchmark::State& state) {
  const Data& d = data();
  const int32_t threads = static_cast<int32_t>(state.range(0));
  Out o(kMaxQueries);
  auto part = [&](int32_t t) {
    const int32_t first = kMaxQueries * t / threads, end = kMaxQueries * (t + 1) / threads;
    zv_index_search_full_batch(d.index, d.queries.data() + int64_t{first} * d.dim, end - first,
                               kTopK, o.ids.data() + size_t(first) * kTopK,
                               o.scores.data() + size_t(first) * kTopK);
  };
  for (auto _ : state) {
    std::vector<std::thread> pool;
    for (int32_t t = 1; t < threads; ++t) pool.emplace_back(part, t);
    part(0);
    for (auto& th : pool) th.join();
    benchmark::DoNotOptimize(o.ids.data());
  }
  state.SetItemsProcessed(state.iterations() * kMaxQueries);
}
BENCHMARK(BM_Threads)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);

// What the machine grants two threads at the moment: pure arithmetic on 1
// and 2 benchmark threads (wall clock); on a shared machine a thread-scaling
// figure is read against it.
void BM_CpuCapacity(benchmark::State& state) {
  for (auto _ : state) {
    uint64_t x = uint64_t(state.thread_index()) + 1;
    for (int i = 0; i < 100000; ++i) x = x * 6364136223846793005ull + 1442695040888963407ull;
    benchmark::DoNotOptimize(x);
  }
}
BENCHMARK(BM_CpuCapacity)->Threads(1)->Threads(2)->UseRealTime();

// The top-k's worst order: scores ascending in offer order, so every row
// enters. With k = 196,000 of 200,000 rows an insertion sort would move
// about k entries per row; the heap keeps it O(log k). Compare with k = 10.
void BM_TopKAscending(benchmark::State& state) {
  static const struct Ascending {
    zv_index* index;
    Ascending() : index(zv_index_new(1, 0)) {
      const int64_t n = 200000;
      std::vector<float> v(static_cast<size_t>(n));
      for (int64_t i = 0; i < n; ++i) v[size_t(i)] = static_cast<float>(i);
      const std::vector<int64_t> ids = zvbench::sequential_ids(n);
      zv_index_build(index, v.data(), n, 1, ids.data(), nullptr, nullptr, nullptr, 0);
    }
  } base;
  const int32_t k = static_cast<int32_t>(state.range(0));
  std::vector<int64_t> ids(static_cast<size_t>(k));
  std::vector<float> scores(static_cast<size_t>(k));
  const float query = 1.0f;
  for (auto _ : state) {
    zv_index_search_full(base.index, &query, k, ids.data(), scores.data());
    benchmark::DoNotOptimize(ids.data());
  }
}
BENCHMARK(BM_TopKAscending)->Arg(10)->Arg(196000)->Unit(benchmark::kMillisecond);

// Probe selection at nlist = 200,000 (empty lists, so choosing the lists is
// the whole search): nprobe 8 against nprobe = nlist.
void BM_ProbeSelection(benchmark::State& state) {
  constexpr int32_t kLists = 200000;
  static const struct Entry {
    zv_index* index;
    Entry() : index(zv_index_new(1, 0)) {
      std::vector<float> c(kLists);
      for (int32_t i = 0; i < kLists; ++i) c[size_t(i)] = static_cast<float>(i % 977);
      std::vector<int32_t> offsets(kLists + 1, 0);
      zv_index_set_ivf(index, 1, kLists, 1, c.data(), nullptr, offsets.data(), 0);
    }
  } entry;
  zv_index_set_ivf_nprobe(entry.index, 1, static_cast<int32_t>(state.range(0)));
  std::vector<int64_t> ids(kTopK);
  std::vector<float> scores(kTopK);
  const float query = 1.0f;
  for (auto _ : state) {
    zv_index_search_ivf(entry.index, 1, &query, kTopK, ids.data(), scores.data());
    benchmark::DoNotOptimize(ids.data());
  }
}
BENCHMARK(BM_ProbeSelection)->Arg(8)->Arg(200000)->Unit(benchmark::kMillisecond);

#ifdef ZV_BENCH_HAVE_FAISS
// Share of queries whose top-k ids equal ours, as sets.
double same_ids(const Out& ours, const std::vector<faiss::Index::idx_t>& theirs, int32_t nq) {
  int32_t same = 0;
  for (int32_t q = 0; q < nq; ++q) {
    std::vector<int64_t> a(ours.ids.begin() + q * kTopK, ours.ids.begin() + (q + 1) * kTopK);
    std::vector<int64_t> b(theirs.begin() + q * kTopK, theirs.begin() + (q + 1) * kTopK);
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    same += a == b;
  }
  return nq > 0 ? double(same) / nq : 1.0;
}

void BM_Faiss(benchmark::State& state, Search s) {
  const Data& d = data();
  const int32_t nq = static_cast<int32_t>(state.range(0));
  omp_set_num_threads(1);
  set_nprobe(state, s);
  faiss::Index* index = s == Search::kIvf ? static_cast<faiss::Index*>(d.ivf) : d.flat;
  std::vector<faiss::Index::idx_t> labels(size_t(nq) * kTopK);
  std::vector<float> dist(size_t(nq) * kTopK);
  for (auto _ : state) {
    index->search(nq, d.queries.data(), kTopK, dist.data(), labels.data());
    benchmark::DoNotOptimize(labels.data());
  }
  state.SetItemsProcessed(state.iterations() * nq);
  // The flat index labels rows by position; the IVF one carries our ids.
  if (s != Search::kIvf) {
    for (auto& l : labels) l = l >= 0 ? d.ids[size_t(l)] : l;
  }
  Out ours(nq);
  run_batch(s, d, nq, ours);
  state.counters["same_ids"] = same_ids(ours, labels, nq);
}

BENCHMARK_CAPTURE(BM_Faiss, flat_ip, Search::kFull) ZV_BATCH_ARGS;
BENCHMARK_CAPTURE(BM_Faiss, ivf_flat, Search::kIvf) ZV_IVF_ARGS;
#endif

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  // The shape, for the report (the base itself is built on first use).
  benchmark::AddCustomContext("zv_batch_rows", std::to_string(env_or("ZV_BATCH_ROWS", 200000)));
  benchmark::AddCustomContext("zv_batch_dim", std::to_string(env_or("ZV_BATCH_DIM", 128)));
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
