// The benchmark behind bench/report/REPORT.md: every operation that does
// real work, at several base sizes, each next to a baseline measured in the
// same run (the memory-read limit for scans, memcpy for copies, a plain
// scalar fma chain for scoring, a naive std::unordered_map store for writes)
// and, where one exists, a single-threaded FAISS peer on the same data,
// centroids and lists. Also an IVF recall/QPS sweep and 1- vs 2-thread
// searches on one handle.
//
// Benchmark names are "<row>/<impl>/<n>[/key:value...]"; impl is "zv", a
// baseline ("limit", "memcpy", "scalar", "naive") or a peer ("faiss").
// bench/report/make_report.py reads the JSON that --benchmark_out writes.
//
// Own flags (before the Google Benchmark ones):
//   --sizes=10000,100000,1000000  base sizes (dim 128)
//   --sweep_n=N                   base size of the recall/QPS sweep (default: largest)
//   --cached_n=N                  base size of the cache-resident thread test
//                                 (default 2000 rows: 1 MiB, inside one core's L2)
//   --noise=X                     spread of the generated clusters (default 1.9)
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include <immintrin.h>
#include <sys/resource.h>

#include "bench_common.h"
#include "topk.h"
#include "zv_runtime.h"

#ifdef ZV_BENCH_HAVE_FAISS
#include <faiss/Index.h>
#include <faiss/IndexFlat.h>
#include <faiss/IndexIVFFlat.h>
#include <faiss/impl/IDSelector.h>
#include <omp.h>
#endif

namespace {

constexpr int32_t kDim = 128;
constexpr int32_t kK = 10;
constexpr int32_t kQueries = 100;
constexpr int32_t kParts = 10;
constexpr int32_t kNlist = 1024;
constexpr int32_t kNprobe = 16;
constexpr uint64_t kIvfKey = 1;
// Metadata: primary = id % 10, column 0 = id % 3, column 1 = (7 * id) % 10.
// Both 10 % filters below pass exactly one id in ten.
constexpr int32_t kColumns = 2;
constexpr int64_t kPrimaryValue = 3;  // id % 10 == 3
constexpr int64_t kColumnValue = 3;   // id % 10 == 9

// ---------------------------------------------------------------------------
// Baselines

// Streaming read of `bytes` bytes: the memory-read limit of one thread.
float read_limit(const void* data, size_t bytes) {
  return static_cast<float>(
      zvbench::stream_sum(static_cast<const float*>(data), bytes / sizeof(float)));
}

// The plain scalar chain: one row at a time, exactly the defining fma chain,
// with the same top-k insertion. Built for FMA so that std::fma is one
// instruction, not a library call.
template <typename Row>
inline void scalar_scan(const Row* rows, const int64_t* ids, int64_t n, const float* q,
                        zv::TopK& topk) {
  for (int64_t i = 0; i < n; ++i) {
    const float* r = rows[i];
    float acc = 0.0f;
    for (int32_t j = 0; j < kDim; ++j) acc = std::fma(r[j], q[j], acc);
    topk.offer(acc, ids[i]);
  }
}
__attribute__((target("fma"))) void scalar_scan_fma(const float* const* rows, const int64_t* ids,
                                                    int64_t n, const float* q, zv::TopK& topk) {
  scalar_scan(rows, ids, n, q, topk);
}
void scalar_topk(const float* const* rows, const int64_t* ids, int64_t n, const float* q,
                 int64_t* out_ids, float* out_scores) {
  static const bool fma = __builtin_cpu_supports("fma");
  zv::TopK topk(out_ids, out_scores, kK);
  if (fma) {
    scalar_scan_fma(rows, ids, n, q, topk);
  } else {
    scalar_scan(rows, ids, n, q, topk);
  }
}

// The naive delta a host would write first: a map from id to row and a
// growing vector of rows, plus the tombstone map an upsert must clear.
struct NaiveDelta {
  std::unordered_map<int64_t, int64_t> rows;
  std::unordered_map<int64_t, int64_t> tombstones;
  std::vector<float> vectors;
  std::vector<int64_t> ids;
  void upsert(const float* v, const int64_t* in_ids, int64_t n) {
    for (int64_t i = 0; i < n; ++i) {
      auto t = tombstones.find(in_ids[i]);
      if (t != tombstones.end()) t->second = 0;
      auto [it, added] = rows.try_emplace(in_ids[i], static_cast<int64_t>(ids.size()));
      if (added) {
        vectors.insert(vectors.end(), v + i * kDim, v + (i + 1) * kDim);
        ids.push_back(in_ids[i]);
      } else {
        std::memcpy(vectors.data() + it->second * kDim, v + i * kDim, kDim * sizeof(float));
      }
    }
  }
};

// ---------------------------------------------------------------------------
// Generated data: unit vectors around kNlist random unit centres, so that an
// IVF over the clusters has something to find. Row i has id i.

struct Rng {
  uint64_t s;
  uint64_t next() {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  float uniform() { return static_cast<float>(next() >> 40) * (2.0f / 16777216.0f) - 1.0f; }
};

void normalise(float* v) {
  double s = 0;
  for (int32_t j = 0; j < kDim; ++j) s += double(v[j]) * v[j];
  float inv = s > 0 ? static_cast<float>(1.0 / std::sqrt(s)) : 1.0f;
  for (int32_t j = 0; j < kDim; ++j) v[j] *= inv;
}

void clustered(const std::vector<float>& centres, int64_t n, double noise, uint64_t seed,
               float* out, int32_t* labels) {
  Rng rng{seed};
  float a = static_cast<float>(noise * std::sqrt(3.0 / kDim));
  for (int64_t i = 0; i < n; ++i) {
    int32_t c = static_cast<int32_t>(rng.next() % kNlist);
    if (labels) labels[i] = c;
    float* v = out + i * kDim;
    for (int32_t j = 0; j < kDim; ++j) v[j] = centres[size_t(c) * kDim + j] + a * rng.uniform();
    normalise(v);
  }
}

struct Partitions {
  std::vector<int64_t> keys;
  std::vector<int32_t> offsets, sizes;
};

Partitions even_parts(int64_t n, int32_t parts) {
  Partitions p;
  for (int32_t i = 0; i < parts; ++i) {
    p.keys.push_back(i);
    p.offsets.push_back(static_cast<int32_t>(n * i / parts));
    p.sizes.push_back(static_cast<int32_t>(n * (i + 1) / parts - p.offsets.back()));
  }
  return p;
}

zv_index* build_index(const float* v, const int64_t* ids, int64_t n, const Partitions& p) {
  zv_index* idx = zv_index_new(kDim, 0);
  zv_index_build(idx, v, n, kDim, ids, p.keys.data(), p.offsets.data(), p.sizes.data(),
                 static_cast<int32_t>(p.keys.size()));
  return idx;
}

// Everything measured at one base size.
struct World {
  int64_t n = 0;
  std::vector<float> vectors;  // row i has id i; clusters drawn at random per row
  std::vector<int64_t> ids;
  std::vector<float> queries;
  Partitions parts;

  // IVF: centroids are the normalised means of the generated clusters; list
  // c holds the rows generated from cluster c, ascending.
  std::vector<float> centroids;
  std::vector<int64_t> list_ids;
  std::vector<int32_t> list_offsets;
  std::vector<int64_t> list_of_row;

  // The same rows stored list by list, each list one partition.
  std::vector<float> grouped_vectors;
  Partitions grouped_parts;

  std::vector<int64_t> primary, columns;

  // Writes applied to the "after writes" index.
  std::vector<float> insert_vectors;
  std::vector<int64_t> insert_ids, delete_ids;
  std::vector<int64_t> mvcc_ids;              // candidates of the candidate search
  std::vector<const float*> mvcc_rows;        // what they resolve to (visible only)
  std::vector<int64_t> mvcc_row_ids;

  std::vector<int64_t> sel_ids;               // id % 10 == 3, ascending
  std::vector<const float*> sel_rows;
  std::vector<int64_t> col_ids;               // id % 10 == 9 (the column filter)
  std::vector<const float*> col_rows;

  // The centroids, and per query the rows an IVF search with kNprobe scores.
  std::vector<const float*> centroid_rows;
  std::vector<int64_t> centroid_ids;
  std::vector<std::vector<const float*>> ivf_rows, ivf_rows_grouped;
  std::vector<std::vector<int64_t>> ivf_row_ids;
  double ivf_rows_mean = 0;

  zv_index* base = nullptr;     // base + metadata + IVF over the arbitrary order
  zv_index* grouped = nullptr;  // list-grouped base + the same IVF
  zv_index* written = nullptr;  // base + metadata, then inserts and deletes
  int64_t written_visible = 0;

  // Pre-touched destinations for copies and exports.
  std::vector<float> scratch_v;
  std::vector<int64_t> scratch_i;

#ifdef ZV_BENCH_HAVE_FAISS
  std::unique_ptr<faiss::IndexFlatIP> faiss_flat;
  std::unique_ptr<faiss::IndexFlatIP> faiss_quantizer;
  std::unique_ptr<faiss::IndexIVFFlat> faiss_ivf;
  std::vector<uint8_t> bitmap;
  std::unique_ptr<faiss::IDSelectorBitmap> selector;
#endif

  // Exact top-k of each query, for recall.
  std::vector<int64_t> truth;

  ~World() {
    zv_index_free(base);
    zv_index_free(grouped);
    zv_index_free(written);
  }
};

double g_noise = 1.9;

// The kNprobe lists an IVF search probes for q: centroids by descending
// score, ties to the lower number (scalar chain, as the engine scores them).
std::vector<int32_t> probe_lists(const World& w, const float* q, int32_t nprobe) {
  std::vector<std::pair<float, int32_t>> s(kNlist);
  for (int32_t c = 0; c < kNlist; ++c) {
    float acc = 0.0f;
    for (int32_t j = 0; j < kDim; ++j) acc = std::fma(w.centroids[size_t(c) * kDim + j], q[j], acc);
    s[c] = {acc, c};
  }
  std::stable_sort(s.begin(), s.end(), [](auto& a, auto& b) { return a.first > b.first; });
  std::vector<int32_t> out;
  for (int32_t i = 0; i < nprobe && i < kNlist; ++i) out.push_back(s[i].second);
  return out;
}

std::unique_ptr<World> make_world(int64_t n) {
  auto w = std::make_unique<World>();
  w->n = n;
  std::vector<float> centres(size_t(kNlist) * kDim);
  Rng rng{12345};
  for (auto& x : centres) x = rng.uniform();
  for (int32_t c = 0; c < kNlist; ++c) normalise(centres.data() + size_t(c) * kDim);

  std::vector<int32_t> labels(n);
  w->vectors.resize(size_t(n) * kDim);
  clustered(centres, n, g_noise, 1000 + n, w->vectors.data(), labels.data());
  w->ids = zvbench::sequential_ids(n);
  w->queries.resize(size_t(kQueries) * kDim);
  clustered(centres, kQueries, g_noise, 77, w->queries.data(), nullptr);
  w->parts = even_parts(n, kParts);

  // IVF lists by generated cluster; centroids are the normalised means.
  std::vector<double> sums(size_t(kNlist) * kDim, 0.0);
  std::vector<int32_t> counts(kNlist, 0);
  for (int64_t i = 0; i < n; ++i) {
    ++counts[labels[i]];
    for (int32_t j = 0; j < kDim; ++j) sums[size_t(labels[i]) * kDim + j] += w->vectors[size_t(i) * kDim + j];
  }
  w->centroids.resize(size_t(kNlist) * kDim);
  for (int32_t c = 0; c < kNlist; ++c) {
    for (int32_t j = 0; j < kDim; ++j) {
      size_t at = size_t(c) * kDim + j;
      w->centroids[at] = counts[c] ? static_cast<float>(sums[at] / counts[c]) : centres[at];
    }
    normalise(w->centroids.data() + size_t(c) * kDim);
  }
  w->list_offsets.assign(kNlist + 1, 0);
  for (int32_t c = 0; c < kNlist; ++c) w->list_offsets[c + 1] = w->list_offsets[c] + counts[c];
  w->list_ids.resize(n);
  w->list_of_row.resize(n);
  {
    std::vector<int32_t> fill(w->list_offsets.begin(), w->list_offsets.end() - 1);
    for (int64_t i = 0; i < n; ++i) {
      w->list_ids[fill[labels[i]]++] = i;
      w->list_of_row[i] = labels[i];
    }
  }
  w->grouped_vectors.resize(size_t(n) * kDim);
  for (int64_t r = 0; r < n; ++r)
    std::memcpy(&w->grouped_vectors[size_t(r) * kDim], &w->vectors[size_t(w->list_ids[r]) * kDim],
                kDim * sizeof(float));
  for (int32_t c = 0; c < kNlist; ++c) {
    w->grouped_parts.keys.push_back(c);
    w->grouped_parts.offsets.push_back(w->list_offsets[c]);
    w->grouped_parts.sizes.push_back(counts[c]);
  }

  w->primary.resize(n);
  w->columns.resize(size_t(n) * kColumns);
  for (int64_t i = 0; i < n; ++i) {
    w->primary[i] = i % 10;
    w->columns[size_t(i) * 2] = i % 3;
    w->columns[size_t(i) * 2 + 1] = (7 * i) % 10;
  }

  w->base = build_index(w->vectors.data(), w->ids.data(), n, w->parts);
  zv_index_set_rowmeta(w->base, w->ids.data(), w->primary.data(), w->columns.data(), kColumns,
                       static_cast<int32_t>(n));
  zv_index_set_ivf(w->base, kIvfKey, kNlist, kNprobe, w->centroids.data(), w->list_ids.data(),
                   w->list_offsets.data(), static_cast<int32_t>(n));
  w->grouped = build_index(w->grouped_vectors.data(), w->list_ids.data(), n, w->grouped_parts);
  zv_index_set_ivf(w->grouped, kIvfKey, kNlist, kNprobe, w->centroids.data(), w->list_ids.data(),
                   w->list_offsets.data(), static_cast<int32_t>(n));

  // After writes: a tenth of the base size inserted (half of them shadowing
  // base rows, half new ids) and about as many deletes (base and delta ids).
  int64_t m = n / 10;
  w->insert_vectors.resize(size_t(m) * kDim);
  clustered(centres, m, g_noise, 99, w->insert_vectors.data(), nullptr);
  for (int64_t j = 0; j < m; ++j) {
    w->insert_ids.push_back(j % 2 == 0 ? j * 10 + 1 : n + j);
    if (j % 2 == 0) w->delete_ids.push_back(j * 10 + 2);
    if (j % 4 == 1) w->delete_ids.push_back(n + j);
  }
  w->written = build_index(w->vectors.data(), w->ids.data(), n, w->parts);
  zv_index_set_rowmeta(w->written, w->ids.data(), w->primary.data(), w->columns.data(), kColumns,
                       static_cast<int32_t>(n));
  zv_index_insert(w->written, w->insert_vectors.data(), w->insert_ids.data(), static_cast<int32_t>(m));
  zv_index_delete(w->written, w->delete_ids.data(), static_cast<int32_t>(w->delete_ids.size()));
  w->written_visible = zv_index_visible_count(w->written);
  // Candidates: plain base ids, shadowed ids (j even in the second group)
  // and deleted ids (j even in the third).
  for (int64_t j = 0; j < m; ++j) {
    int64_t id = j * 10 + j % 3;
    w->mvcc_ids.push_back(id);
    if (id % 10 == 2 && j % 2 == 0) continue;
    w->mvcc_rows.push_back(id % 10 == 1 && j % 2 == 0 ? &w->insert_vectors[size_t(j) * kDim]
                                                       : &w->vectors[size_t(id) * kDim]);
    w->mvcc_row_ids.push_back(id);
  }

  for (int64_t i = 0; i < n; ++i) {
    if (i % 10 == kPrimaryValue) {
      w->sel_ids.push_back(i);
      w->sel_rows.push_back(&w->vectors[size_t(i) * kDim]);
    }
    if ((7 * i) % 10 == kColumnValue) {
      w->col_ids.push_back(i);
      w->col_rows.push_back(&w->vectors[size_t(i) * kDim]);
    }
  }

  std::vector<int64_t> row_in_grouped(n);
  for (int64_t r = 0; r < n; ++r) row_in_grouped[w->list_ids[r]] = r;
  double total = 0;
  for (int32_t qi = 0; qi < kQueries; ++qi) {
    const float* q = &w->queries[size_t(qi) * kDim];
    std::vector<const float*> rows, grows;
    std::vector<int64_t> rids;
    for (int32_t c : probe_lists(*w, q, kNprobe)) {
      for (int32_t p = w->list_offsets[c]; p < w->list_offsets[c + 1]; ++p) {
        int64_t id = w->list_ids[p];
        rows.push_back(&w->vectors[size_t(id) * kDim]);
        grows.push_back(&w->grouped_vectors[size_t(row_in_grouped[id]) * kDim]);
        rids.push_back(id);
      }
    }
    total += double(rows.size() + kNlist);
    w->ivf_rows.push_back(std::move(rows));
    w->ivf_rows_grouped.push_back(std::move(grows));
    w->ivf_row_ids.push_back(std::move(rids));
  }
  w->ivf_rows_mean = total / kQueries;
  for (int32_t c = 0; c < kNlist; ++c) {
    w->centroid_rows.push_back(&w->centroids[size_t(c) * kDim]);
    w->centroid_ids.push_back(c);
  }

  size_t cap_rows = size_t(n + m + 16);
  w->scratch_v.assign(cap_rows * kDim, 0.0f);
  w->scratch_i.assign(std::max<size_t>(cap_rows, size_t(kNlist + 1) * kDim), 0);

#ifdef ZV_BENCH_HAVE_FAISS
  w->faiss_flat = std::make_unique<faiss::IndexFlatIP>(kDim);
  w->faiss_flat->add(n, w->vectors.data());
  w->faiss_quantizer = std::make_unique<faiss::IndexFlatIP>(kDim);
  w->faiss_quantizer->add(kNlist, w->centroids.data());
  w->faiss_ivf = std::make_unique<faiss::IndexIVFFlat>(w->faiss_quantizer.get(), kDim, kNlist,
                                                       faiss::METRIC_INNER_PRODUCT);
  w->faiss_ivf->add_core(n, w->vectors.data(), w->ids.data(), w->list_of_row.data());
  w->faiss_ivf->nprobe = kNprobe;
  w->bitmap.assign(size_t(n + 7) / 8, 0);
  for (int64_t id : w->sel_ids) w->bitmap[size_t(id) / 8] |= uint8_t(1u << (id % 8));
  w->selector = std::make_unique<faiss::IDSelectorBitmap>(w->bitmap.size(), w->bitmap.data());
#endif
  return w;
}

// Exact top-k of every query, for the recall of the IVF sweep.
void compute_truth(World& w) {
  if (!w.truth.empty()) return;
  w.truth.resize(size_t(kQueries) * kK);
  std::vector<float> s(kK);
  for (int32_t qi = 0; qi < kQueries; ++qi)
    zv_index_search_full(w.base, &w.queries[size_t(qi) * kDim], kK, &w.truth[size_t(qi) * kK], s.data());
}

double recall_of(const World& w, const std::vector<int64_t>& got) {
  int64_t hits = 0;
  for (int32_t qi = 0; qi < kQueries; ++qi) {
    const int64_t* t = &w.truth[size_t(qi) * kK];
    const int64_t* g = &got[size_t(qi) * kK];
    for (int32_t a = 0; a < kK; ++a)
      for (int32_t b = 0; b < kK; ++b)
        if (g[a] == t[b] && t[b] >= 0) {
          ++hits;
          break;
        }
  }
  return double(hits) / (double(kQueries) * kK);
}

// malloc, memcpy and free of each span: a copy into memory allocated for
// it, paying the page faults that an operation which allocates pays too.
struct Span {
  const void* data;
  size_t bytes;
};
void copy_fresh(std::initializer_list<Span> spans) {
  for (const Span& span : spans) {
    void* p = std::malloc(span.bytes);
    std::memcpy(p, span.data, span.bytes);
    benchmark::DoNotOptimize(p);
    std::free(p);
  }
}

// ---------------------------------------------------------------------------
// Registration

std::vector<std::unique_ptr<World>> g_worlds;

void set_counts(benchmark::State& state, double rows, double bytes) {
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * rows));
  if (bytes > 0) state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
  state.counters["rows"] = benchmark::Counter(rows, benchmark::Counter::kAvgThreads);
  if (bytes > 0) state.counters["bytes"] = benchmark::Counter(bytes, benchmark::Counter::kAvgThreads);
}

benchmark::internal::Benchmark* add(const std::string& row, const std::string& impl, int64_t n,
                                    std::function<void(benchmark::State&)> fn,
                                    const std::string& extra = "") {
  std::string name = row + "/" + impl + "/" + std::to_string(n) + extra;
  return benchmark::RegisterBenchmark(name.c_str(), [fn](benchmark::State& s) { fn(s); });
}

const float* query(const World& w, int64_t i) { return &w.queries[size_t(i % kQueries) * kDim]; }

template <typename Call>
void timed_copy(benchmark::State& state, double rows, double bytes, Call call) {
  for (auto _ : state) {
    call();
    benchmark::ClobberMemory();
  }
  set_counts(state, rows, bytes);
}

// A search loop: one query per iteration, cycling through the query set.
template <typename Search>
void search_loop(benchmark::State& state, const World& w, double rows, double bytes, Search search) {
  int64_t out_ids[kK];
  float out_scores[kK];
  int64_t i = state.thread_index() * 37;
  for (auto _ : state) {
    search(query(w, i), i % kQueries, out_ids, out_scores);
    benchmark::DoNotOptimize(out_ids[0]);
    benchmark::DoNotOptimize(out_scores[0]);
    ++i;
  }
  set_counts(state, rows, bytes);
}

void read_loop(benchmark::State& state, const void* data, size_t bytes, double rows) {
  for (auto _ : state) {
    float s = read_limit(data, bytes);
    benchmark::DoNotOptimize(s);
  }
  set_counts(state, rows, double(bytes));
}

// CPU time of this thread: on a shared machine it leaves out the time other
// processes hold the core, as the automatically timed benchmarks do.
double thread_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}

// A write measured on a fresh index each time; only the call is timed.
template <typename Setup, typename Call, typename Teardown>
void fresh_loop(benchmark::State& state, double rows, double bytes, Setup setup, Call call,
                Teardown teardown) {
  for (auto _ : state) {
    auto obj = setup();
    double t0 = thread_seconds();
    call(obj);
    state.SetIterationTime(thread_seconds() - t0);
    teardown(obj);
  }
  set_counts(state, rows, bytes);
}

void register_world(World* w) {
  const int64_t n = w->n;
  const double row_bytes = kDim * sizeof(float);
  const double vec_bytes = double(n) * row_bytes;
  const double rec_bytes = double(n) * (row_bytes + sizeof(int64_t));

  // Build and exports against memcpy of the same bytes.
  // Every iteration builds a new index, so every size measures a first build.
  add("build", "zv", n, [w, n, rec_bytes](benchmark::State& s) {
    fresh_loop(
        s, double(n), rec_bytes, [] { return zv_index_new(kDim, 0); },
        [&](zv_index* idx) {
          zv_index_build(idx, w->vectors.data(), n, kDim, w->ids.data(), w->parts.keys.data(),
                         w->parts.offsets.data(), w->parts.sizes.data(), kParts);
        },
        [](zv_index* idx) { zv_index_free(idx); });
  })->UseManualTime();
  // A rebuild refills the arrays of the base it replaces.
  add("rebuild", "zv", n, [w, n, rec_bytes](benchmark::State& s) {
    zv_index* idx = build_index(w->vectors.data(), w->ids.data(), n, w->parts);
    timed_copy(s, double(n), rec_bytes, [&] {
      zv_index_build(idx, w->vectors.data(), n, kDim, w->ids.data(), w->parts.keys.data(),
                     w->parts.offsets.data(), w->parts.sizes.data(), kParts);
    });
    zv_index_free(idx);
  });
  auto copy_records = [w](int64_t rows) {
    std::memcpy(w->scratch_v.data(), w->vectors.data(), size_t(rows) * kDim * sizeof(float));
    std::memcpy(w->scratch_i.data(), w->ids.data(), size_t(std::min(rows, w->n)) * sizeof(int64_t));
  };
  for (const char* row : {"build", "rebuild", "export_base", "export_visible"}) {
    add(row, "memcpy", n, [=](benchmark::State& s) {
      timed_copy(s, double(n), rec_bytes, [&] { copy_records(n); });
    });
  }
  // The same copy into memory allocated for it, page faults included, as a
  // build that allocates its arrays pays them.
  add("build", "memcpy_fresh", n, [w, n, rec_bytes](benchmark::State& s) {
    timed_copy(s, double(n), rec_bytes, [&] {
      copy_fresh({{w->vectors.data(), size_t(n) * kDim * sizeof(float)},
                  {w->ids.data(), size_t(n) * sizeof(int64_t)}});
    });
  });
  add("export_base", "zv", n, [w, n, rec_bytes](benchmark::State& s) {
    timed_copy(s, double(n), rec_bytes,
               [&] { zv_index_export_base(w->base, w->scratch_v.data(), w->scratch_i.data()); });
  });

  // Writes on a fresh index against the naive delta.
  add("insert", "zv", n, [w, n, rec_bytes](benchmark::State& s) {
    fresh_loop(
        s, double(n), rec_bytes, [] { return zv_index_new(kDim, 0); },
        [&](zv_index* idx) {
          zv_index_insert(idx, w->vectors.data(), w->ids.data(), static_cast<int32_t>(n));
        },
        [](zv_index* idx) { zv_index_free(idx); });
  })->UseManualTime();
  add("insert", "naive", n, [w, n, rec_bytes](benchmark::State& s) {
    fresh_loop(
        s, double(n), rec_bytes, [] { return new NaiveDelta(); },
        [&](NaiveDelta* d) { d->upsert(w->vectors.data(), w->ids.data(), n); },
        [](NaiveDelta* d) { delete d; });
  })->UseManualTime();
  add("upsert", "zv", n, [w, n, rec_bytes](benchmark::State& s) {
    fresh_loop(
        s, double(n), rec_bytes,
        [&] {
          zv_index* idx = zv_index_new(kDim, 0);
          zv_index_insert(idx, w->vectors.data(), w->ids.data(), static_cast<int32_t>(n));
          return idx;
        },
        [&](zv_index* idx) {
          zv_index_insert(idx, w->grouped_vectors.data(), w->ids.data(), static_cast<int32_t>(n));
        },
        [](zv_index* idx) { zv_index_free(idx); });
  })->UseManualTime();
  add("upsert", "naive", n, [w, n, rec_bytes](benchmark::State& s) {
    fresh_loop(
        s, double(n), rec_bytes,
        [&] {
          auto* d = new NaiveDelta();
          d->upsert(w->vectors.data(), w->ids.data(), n);
          return d;
        },
        [&](NaiveDelta* d) { d->upsert(w->grouped_vectors.data(), w->ids.data(), n); },
        [](NaiveDelta* d) { delete d; });
  })->UseManualTime();
  // An update's floor: copying the new rows, which both stores must do.
  add("upsert", "memcpy", n, [w, n, rec_bytes](benchmark::State& s) {
    timed_copy(s, double(n), rec_bytes,
               [&] { std::memcpy(w->scratch_v.data(), w->grouped_vectors.data(), size_t(n) * kDim * sizeof(float)); });
  });
  add("delete", "zv", n, [w, n](benchmark::State& s) {
    fresh_loop(
        s, double(n), 0, [] { return zv_index_new(kDim, 0); },
        [&](zv_index* idx) { zv_index_delete(idx, w->ids.data(), static_cast<int32_t>(n)); },
        [](zv_index* idx) { zv_index_free(idx); });
  })->UseManualTime();
  add("delete", "naive", n, [w, n](benchmark::State& s) {
    using Map = std::unordered_map<int64_t, int64_t>;
    fresh_loop(
        s, double(n), 0, [] { return new Map(); },
        [&](Map* m) {
          for (int64_t i = 0; i < n; ++i) (*m)[w->ids[i]] = 1;
        },
        [](Map* m) { delete m; });
  })->UseManualTime();

  // Visibility readers, on the untouched base and after writes.
  struct Case {
    const char* suffix;
    zv_index* idx;
    int64_t visible;
  };
  for (Case c : {Case{"", w->base, n}, Case{"_written", w->written, w->written_visible}}) {
    std::string sfx = c.suffix;
    double vis = double(c.visible);
    add("visible_count" + sfx, "zv", n, [c, vis](benchmark::State& s) {
      timed_copy(s, vis, 0, [&] { benchmark::DoNotOptimize(zv_index_visible_count(c.idx)); });
    });
    add("visible_count" + sfx, "limit", n, [w, c, vis](benchmark::State& s) {
      read_loop(s, w->scratch_i.data(), size_t(c.visible) * 8, vis);
    });
    add("visible_ids" + sfx, "zv", n, [w, c, vis](benchmark::State& s) {
      timed_copy(s, vis, vis * 8, [&] { zv_index_visible_ids(c.idx, w->scratch_i.data()); });
    });
    add("visible_ids" + sfx, "memcpy", n, [w, c, vis](benchmark::State& s) {
      int64_t* dst = w->scratch_i.data();
      const int64_t* src = reinterpret_cast<const int64_t*>(w->scratch_v.data());
      timed_copy(s, vis, vis * 8, [&] { std::memcpy(dst, src, size_t(c.visible) * 8); });
    });
    add("export_visible" + sfx, "zv", n, [w, c, vis, row_bytes](benchmark::State& s) {
      timed_copy(s, vis, vis * (row_bytes + 8),
                 [&] { zv_index_export_visible(c.idx, w->scratch_v.data(), w->scratch_i.data()); });
    });
    if (c.idx == w->written) {
      add("export_visible" + sfx, "memcpy", n, [w, c, vis, row_bytes](benchmark::State& s) {
        timed_copy(s, vis, vis * (row_bytes + 8), [&] {
          std::memcpy(w->scratch_v.data(), w->vectors.data(), size_t(std::min(c.visible, w->n)) * kDim * 4);
          std::memcpy(w->scratch_i.data(), w->ids.data(), size_t(std::min(c.visible, w->n)) * 8);
        });
      });
    }

    // Filter kind 0: every visible row, one pass, against the read limit.
    add("search_filtered_all" + sfx, "zv", n, [w, c, vis, row_bytes](benchmark::State& s) {
      search_loop(s, *w, vis, vis * row_bytes, [&](const float* q, int64_t, int64_t* oi, float* os) {
        zv_index_search_filtered(c.idx, 0, 0, 0, q, kK, oi, os);
      });
    });
    add("search_filtered_all" + sfx, "limit", n, [w, c, vis, row_bytes](benchmark::State& s) {
      read_loop(s, w->vectors.data(), size_t(std::min(c.visible, w->n) * row_bytes), vis);
    });
    add("match_ids_primary" + sfx, "zv", n, [w, c, n](benchmark::State& s) {
      timed_copy(s, double(n), double(n) * 16,
                 [&] { zv_index_match_ids(c.idx, 1, 0, kPrimaryValue, w->scratch_i.data()); });
    });
    add("match_ids_primary" + sfx, "limit", n, [w, n](benchmark::State& s) {
      read_loop(s, w->vectors.data(), size_t(n) * 16, double(n));
    });
  }
  add("match_ids_column", "zv", n, [w, n](benchmark::State& s) {
    timed_copy(s, double(n), double(n) * 16,
               [&] { zv_index_match_ids(w->base, 2, 1, kColumnValue, w->scratch_i.data()); });
  });
  add("match_ids_column", "limit", n, [w, n](benchmark::State& s) {
    read_loop(s, w->vectors.data(), size_t(n) * 16, double(n));
  });

  // Candidate search after writes: a tenth of the ids as candidates.
  double mvcc_n = double(w->mvcc_ids.size());
  add("search_mvcc", "zv", n, [w, mvcc_n](benchmark::State& s) {
    search_loop(s, *w, mvcc_n, 0, [&](const float* q, int64_t, int64_t* oi, float* os) {
      zv_index_search_mvcc(w->written, w->mvcc_ids.data(), static_cast<int32_t>(w->mvcc_ids.size()), q,
                           kK, oi, os);
    });
  });
  add("search_mvcc", "scalar", n, [w, mvcc_n](benchmark::State& s) {
    search_loop(s, *w, mvcc_n, 0, [&](const float* q, int64_t, int64_t* oi, float* os) {
      scalar_topk(w->mvcc_rows.data(), w->mvcc_row_ids.data(), int64_t(w->mvcc_rows.size()), q, oi, os);
    });
  });

  // Full and partition scans against the read limit (and FAISS flat).
  add("search_full", "zv", n, [w, n, vec_bytes](benchmark::State& s) {
    search_loop(s, *w, double(n), vec_bytes, [&](const float* q, int64_t, int64_t* oi, float* os) {
      zv_index_search_full(w->base, q, kK, oi, os);
    });
  });
  add("search_full", "limit", n, [w, n, vec_bytes](benchmark::State& s) {
    read_loop(s, w->vectors.data(), size_t(vec_bytes), double(n));
  });
  const int32_t part = 3;
  double part_rows = w->parts.sizes[part];
  add("search_partition", "zv", n, [w, part_rows, row_bytes](benchmark::State& s) {
    search_loop(s, *w, part_rows, part_rows * row_bytes, [&](const float* q, int64_t, int64_t* oi, float* os) {
      zv_index_search_partition(w->base, part, q, kK, oi, os);
    });
  });
  add("search_partition", "limit", n, [w, part_rows, row_bytes](benchmark::State& s) {
    read_loop(s, &w->vectors[size_t(w->parts.offsets[part]) * kDim], size_t(part_rows * row_bytes), part_rows);
  });

  // A tenth of the ids: chosen ids, and the two 10 % filters.
  double sel_n = double(w->sel_ids.size());
  add("scatter_topk", "zv", n, [w, sel_n](benchmark::State& s) {
    search_loop(s, *w, sel_n, 0, [&](const float* q, int64_t, int64_t* oi, float* os) {
      zv_index_scatter_topk(w->base, w->sel_ids.data(), static_cast<int32_t>(w->sel_ids.size()), q, kK, oi, os);
    });
  });
  for (const char* row : {"scatter_topk", "search_filtered_primary"}) {
    add(row, "scalar", n, [w, sel_n](benchmark::State& s) {
      search_loop(s, *w, sel_n, 0, [&](const float* q, int64_t, int64_t* oi, float* os) {
        scalar_topk(w->sel_rows.data(), w->sel_ids.data(), int64_t(w->sel_rows.size()), q, oi, os);
      });
    });
  }
  add("search_filtered_primary", "zv", n, [w, sel_n](benchmark::State& s) {
    search_loop(s, *w, sel_n, 0, [&](const float* q, int64_t, int64_t* oi, float* os) {
      zv_index_search_filtered(w->base, 1, 0, kPrimaryValue, q, kK, oi, os);
    });
  });
  double col_n = double(w->col_ids.size());
  add("search_filtered_column", "zv", n, [w, col_n](benchmark::State& s) {
    search_loop(s, *w, col_n, 0, [&](const float* q, int64_t, int64_t* oi, float* os) {
      zv_index_search_filtered(w->base, 2, 1, kColumnValue, q, kK, oi, os);
    });
  });
  add("search_filtered_column", "scalar", n, [w, col_n](benchmark::State& s) {
    search_loop(s, *w, col_n, 0, [&](const float* q, int64_t, int64_t* oi, float* os) {
      scalar_topk(w->col_rows.data(), w->col_ids.data(), int64_t(w->col_rows.size()), q, oi, os);
    });
  });

  // IVF with kNprobe probes, over both layouts, against the scalar chain
  // over the same rows (centroids included) and FAISS IndexIVFFlat.
  double ivf_n = w->ivf_rows_mean;
  for (bool g : {false, true}) {
    std::string row = g ? "search_ivf_grouped" : "search_ivf";
    zv_index* idx = g ? w->grouped : w->base;
    add(row, "zv", n, [w, idx, ivf_n](benchmark::State& s) {
      search_loop(s, *w, ivf_n, 0, [&](const float* q, int64_t, int64_t* oi, float* os) {
        zv_index_search_ivf(idx, kIvfKey, q, kK, oi, os);
      });
    });
    add(row, "scalar", n, [w, g, ivf_n](benchmark::State& s) {
      auto& rows = g ? w->ivf_rows_grouped : w->ivf_rows;
      search_loop(s, *w, ivf_n, 0, [&](const float* q, int64_t qi, int64_t* oi, float* os) {
        scalar_topk(w->centroid_rows.data(), w->centroid_ids.data(), kNlist, q, oi, os);
        scalar_topk(rows[qi].data(), w->ivf_row_ids[qi].data(), int64_t(rows[qi].size()), q, oi, os);
      });
    });
  }

  // Metadata writes and reads against naive maps.
  add("set_rowmeta", "zv", n, [w, n](benchmark::State& s) {
    fresh_loop(
        s, double(n), 0, [] { return zv_index_new(kDim, 0); },
        [&](zv_index* idx) {
          zv_index_set_rowmeta(idx, w->ids.data(), w->primary.data(), w->columns.data(), kColumns,
                               static_cast<int32_t>(n));
        },
        [](zv_index* idx) { zv_index_free(idx); });
  })->UseManualTime();
  using Maps = std::vector<std::unordered_map<int64_t, int64_t>>;
  auto naive_set = [w, n](Maps* m) {
    for (int64_t i = 0; i < n; ++i) {
      (*m)[0][w->ids[i]] = w->primary[i];
      for (int32_t c = 0; c < kColumns; ++c) (*m)[1 + c][w->ids[i]] = w->columns[size_t(i) * kColumns + c];
    }
  };
  add("set_rowmeta", "naive", n, [n, naive_set](benchmark::State& s) {
    fresh_loop(
        s, double(n), 0, [] { return new Maps(1 + kColumns); }, naive_set, [](Maps* m) { delete m; });
  })->UseManualTime();
  add("export_rowmeta", "zv", n, [w, n](benchmark::State& s) {
    std::vector<int64_t> cols(size_t(n) * kColumns);
    timed_copy(s, double(n), 0, [&] {
      zv_index_export_rowmeta(w->base, w->ids.data(), static_cast<int32_t>(n), w->scratch_i.data(), cols.data());
    });
  });
  add("export_rowmeta", "naive", n, [w, n, naive_set](benchmark::State& s) {
    Maps maps(1 + kColumns);
    naive_set(&maps);
    std::vector<int64_t> cols(size_t(n) * kColumns);
    timed_copy(s, double(n), 0, [&] {
      for (int64_t i = 0; i < n; ++i) {
        auto it = maps[0].find(w->ids[i]);
        w->scratch_i[i] = it == maps[0].end() ? -1 : it->second;
        for (int32_t c = 0; c < kColumns; ++c) {
          auto jt = maps[1 + c].find(w->ids[i]);
          cols[size_t(i) * kColumns + c] = jt == maps[1 + c].end() ? -1 : jt->second;
        }
      }
    });
  });

  // IVF registration copies its arrays and finds each listed id's base row;
  // every call after the first replaces (retrains) the same index. The
  // written index has no IVF of its own, so it is cleared again afterwards.
  double ivf_bytes = double(kNlist) * row_bytes + double(n) * 8 + (kNlist + 1) * 4.0;
  add("set_ivf", "zv", n, [w, n, ivf_bytes](benchmark::State& s) {
    timed_copy(s, double(n), ivf_bytes, [&] {
      zv_index_set_ivf(w->written, kIvfKey, kNlist, kNprobe, w->centroids.data(), w->list_ids.data(),
                       w->list_offsets.data(), static_cast<int32_t>(n));
    });
    zv_index_clear_ivf(w->written);
  });
  add("set_ivf", "memcpy", n, [w, n, ivf_bytes](benchmark::State& s) {
    timed_copy(s, double(n), ivf_bytes, [&] {
      std::memcpy(w->scratch_v.data(), w->centroids.data(), w->centroids.size() * 4);
      std::memcpy(w->scratch_i.data(), w->list_ids.data(), size_t(n) * 8);
      std::memcpy(w->scratch_v.data() + w->centroids.size(), w->list_offsets.data(), w->list_offsets.size() * 4);
    });
  });
  // The least a registration that keeps each listed id's base row can do:
  // the same copies, then one plain lookup per listed id in a table indexed
  // by id, in list order.
  add("set_ivf", "lookup", n, [w, n, ivf_bytes](benchmark::State& s) {
    std::vector<int64_t> row_of_id(static_cast<size_t>(n)), rows(static_cast<size_t>(n));
    for (int64_t r = 0; r < n; ++r) row_of_id[size_t(w->ids[r])] = r;
    timed_copy(s, double(n), ivf_bytes, [&] {
      std::memcpy(w->scratch_v.data(), w->centroids.data(), w->centroids.size() * 4);
      std::memcpy(w->scratch_i.data(), w->list_ids.data(), size_t(n) * 8);
      std::memcpy(w->scratch_v.data() + w->centroids.size(), w->list_offsets.data(), w->list_offsets.size() * 4);
      const int64_t* ids = w->scratch_i.data();
      for (int64_t p = 0; p < n; ++p) rows[size_t(p)] = row_of_id[size_t(ids[p])];
      benchmark::DoNotOptimize(rows.data());
    });
  });

#ifdef ZV_BENCH_HAVE_FAISS
  add("search_full", "faiss", n, [w, n, vec_bytes](benchmark::State& s) {
    search_loop(s, *w, double(n), vec_bytes, [&](const float* q, int64_t, int64_t* oi, float* os) {
      w->faiss_flat->search(1, q, kK, os, oi);
    });
  });
  for (const char* row : {"scatter_topk", "search_filtered_primary"}) {
    add(row, "faiss", n, [w, sel_n](benchmark::State& s) {
      faiss::SearchParameters params;
      params.sel = w->selector.get();
      search_loop(s, *w, sel_n, 0, [&](const float* q, int64_t, int64_t* oi, float* os) {
        w->faiss_flat->search(1, q, kK, os, oi, &params);
      });
    });
  }
  for (const char* row : {"search_ivf", "search_ivf_grouped"}) {
    add(row, "faiss", n, [w, ivf_n](benchmark::State& s) {
      search_loop(s, *w, ivf_n, 0, [&](const float* q, int64_t, int64_t* oi, float* os) {
        w->faiss_ivf->search(1, q, kK, os, oi);
      });
    });
  }
#endif
}

// ---------------------------------------------------------------------------
// Small write batches (begin). A few rows per call, the way a database
// writes: on a fresh index over the base, kSmallWriteRows random ids drawn
// from twice the base's id range (half of them base ids, half new) are
// inserted, or deleted, in batches of 1 or of 1,000. The naive store does
// the same work per row with standard containers: rows found by id, ids,
// versions and vectors appended or overwritten, tombstones cleared by an
// insert and set to the version by a delete. Rows "small_insert_b<batch>"
// and "small_delete_b<batch>", impl "zv" and "naive", CPU time of the
// writes alone.

constexpr int64_t kSmallWriteRows = 200000;

struct SmallBatchNaive {
  int64_t version = 0;
  std::unordered_map<int64_t, int64_t> rows, tombstones;
  std::vector<int64_t> ids, versions;
  std::vector<float> vectors;

  void insert(const float* v, const int64_t* in_ids, int32_t n) {
    if (n <= 0) return;
    const int64_t ver = ++version;
    for (int32_t i = 0; i < n; ++i) {
      const float* src = v + int64_t{i} * kDim;
      auto t = tombstones.find(in_ids[i]);
      if (t != tombstones.end()) t->second = 0;
      auto [it, added] = rows.try_emplace(in_ids[i], static_cast<int64_t>(ids.size()));
      if (added) {
        ids.push_back(in_ids[i]);
        versions.push_back(ver);
        vectors.insert(vectors.end(), src, src + kDim);
      } else {
        std::memcpy(vectors.data() + it->second * kDim, src, kDim * sizeof(float));
        versions[it->second] = ver;
      }
    }
  }
  void remove(const int64_t* in_ids, int32_t n) {
    if (n <= 0) return;
    const int64_t ver = ++version;
    for (int32_t i = 0; i < n; ++i) tombstones[in_ids[i]] = ver;
  }
};

struct ZvWrites {
  zv_index* idx;
  void insert(const float* v, const int64_t* in_ids, int32_t n) { zv_index_insert(idx, v, in_ids, n); }
  void remove(const int64_t* in_ids, int32_t n) { zv_index_delete(idx, in_ids, n); }
};

// Every id in batches of `batch`; inserts take their vectors from the
// first 1,000 rows of the base, cyclically.
template <typename Store>
void write_in_batches(Store& store, const World& w, const std::vector<int64_t>& ids, bool deletes,
                      int32_t batch) {
  const int64_t total = static_cast<int64_t>(ids.size());
  const int64_t pool = std::min<int64_t>(1000, w.n);
  for (int64_t first = 0; first < total; first += batch) {
    const int32_t count = static_cast<int32_t>(std::min<int64_t>(batch, total - first));
    if (deletes) {
      store.remove(ids.data() + first, count);
    } else {
      const int64_t at = pool >= batch ? (first % pool) / batch * batch : 0;
      store.insert(w.vectors.data() + at * kDim, ids.data() + first, count);
    }
  }
}

// fresh_loop, also counting the page faults of the timed writes: they are
// most of a write's cost here, and the figure shows whose they are. One
// untimed round first: memory this virtual machine's guest has never used
// costs several times more per page on first touch, and would otherwise be
// charged to whichever store happens to run first.
template <typename Setup, typename Call, typename Teardown>
void small_write_loop(benchmark::State& state, Setup setup, Call call, Teardown teardown) {
  {
    auto obj = setup();
    call(obj);
    teardown(obj);
  }
  int64_t faults = 0;
  for (auto _ : state) {
    auto obj = setup();
    rusage u0, u1;
    getrusage(RUSAGE_THREAD, &u0);
    double t0 = thread_seconds();
    call(obj);
    state.SetIterationTime(thread_seconds() - t0);
    getrusage(RUSAGE_THREAD, &u1);
    faults += u1.ru_minflt - u0.ru_minflt + u1.ru_majflt - u0.ru_majflt;
    teardown(obj);
  }
  set_counts(state, double(kSmallWriteRows), 0);
  state.counters["faults_per_row"] = double(faults) / (double(state.iterations()) * kSmallWriteRows);
}

void register_small_writes(World* w) {
  const int64_t n = w->n;
  auto ids = std::make_shared<std::vector<int64_t>>(size_t(kSmallWriteRows));
  Rng rng{71};
  for (auto& id : *ids) id = static_cast<int64_t>(rng.next() % uint64_t(2 * n));
  for (bool deletes : {false, true}) {
    for (int32_t batch : {1, 1000}) {
      const std::string row = std::string(deletes ? "small_delete_b" : "small_insert_b") + std::to_string(batch);
      add(row, "zv", n, [w, n, ids, deletes, batch](benchmark::State& s) {
        small_write_loop(
            s, [&] { return build_index(w->vectors.data(), w->ids.data(), n, w->parts); },
            [&](zv_index* idx) {
              ZvWrites z{idx};
              write_in_batches(z, *w, *ids, deletes, batch);
            },
            [](zv_index* idx) { zv_index_free(idx); });
      })->UseManualTime()->Iterations(2);
      add(row, "naive", n, [w, ids, deletes, batch](benchmark::State& s) {
        small_write_loop(
            s, [] { return new SmallBatchNaive(); },
            [&](SmallBatchNaive* d) { write_in_batches(*d, *w, *ids, deletes, batch); },
            [](SmallBatchNaive* d) { delete d; });
      })->UseManualTime()->Iterations(2);
    }
  }
}

// Small write batches (end).
// ---------------------------------------------------------------------------

// Pure arithmetic with no memory traffic: its 2-thread scaling is the CPU
// the machine actually grants two threads at that moment (other processes
// may hold the cores), the ceiling for every thread-scaling row next to it.
void spin_loop(benchmark::State& state) {
  for (auto _ : state) {
    uint64_t x = uint64_t(state.thread_index()) + 1;
    for (int i = 0; i < 100000; ++i) x = x * 6364136223846793005ull + 1442695040888963407ull;
    benchmark::DoNotOptimize(x);
  }
  set_counts(state, 1, 0);
}

// Host threads sharing one handle: 1 and 2 threads of the same search.
void register_threads(World* w, const std::string& tag) {
  const int64_t n = w->n;
  add("threads_cpu_capacity_" + tag, "spin", n, spin_loop)->Threads(1)->Threads(2)->UseRealTime();
  const double vec_bytes = double(n) * kDim * sizeof(float);
  add("threads_search_full_" + tag, "zv", n, [w, n, vec_bytes](benchmark::State& s) {
    search_loop(s, *w, double(n), vec_bytes, [&](const float* q, int64_t, int64_t* oi, float* os) {
      zv_index_search_full(w->base, q, kK, oi, os);
    });
  })->Threads(1)->Threads(2)->UseRealTime();
  add("threads_search_filtered_all_" + tag, "zv", n, [w, n, vec_bytes](benchmark::State& s) {
    search_loop(s, *w, double(n), vec_bytes, [&](const float* q, int64_t, int64_t* oi, float* os) {
      zv_index_search_filtered(w->base, 0, 0, 0, q, kK, oi, os);
    });
  })->Threads(1)->Threads(2)->UseRealTime();
  add("threads_search_ivf_grouped_" + tag, "zv", n, [w](benchmark::State& s) {
    search_loop(s, *w, w->ivf_rows_mean, 0, [&](const float* q, int64_t, int64_t* oi, float* os) {
      zv_index_search_ivf(w->grouped, kIvfKey, q, kK, oi, os);
    });
  })->Threads(1)->Threads(2)->UseRealTime();
  add("threads_read_limit_" + tag, "limit", n, [w, n, vec_bytes](benchmark::State& s) {
    read_loop(s, w->vectors.data(), size_t(vec_bytes), double(n));
  })->Threads(1)->Threads(2)->UseRealTime();
}

// Recall@k of each sweep point, computed once per key and kept.
std::map<std::string, double> g_sweep_recalls;
std::mutex g_sweep_mu;

// One point of the sweep: its recall over the query set, then the timed
// search loop. search(q, out_ids, out_scores).
template <typename Search>
void sweep_point(benchmark::State& s, World& w, const std::string& key, int32_t np, Search search) {
  std::map<std::string, double>& recalls = g_sweep_recalls;
  double r;
  {
    std::lock_guard<std::mutex> lock(g_sweep_mu);
    if (!recalls.count(key)) {
      compute_truth(w);
      std::vector<int64_t> got(size_t(kQueries) * kK);
      std::vector<float> sc(kK);
      for (int32_t qi = 0; qi < kQueries; ++qi) search(query(w, qi), &got[size_t(qi) * kK], sc.data());
      recalls[key] = recall_of(w, got);
    }
    r = recalls[key];
  }
  search_loop(s, w, 0, 0, [&](const float* q, int64_t, int64_t* oi, float* os) { search(q, oi, os); });
  s.counters["recall"] = r;
  s.counters["nprobe"] = np;
}

// Recall@k against QPS over nprobe, the same centroids and lists for all.
void register_sweep(World* w) {
  const int64_t n = w->n;
  for (int32_t np = 1; np <= 128 && np <= kNlist; np *= 2) {
    std::string extra = "/nprobe:" + std::to_string(np);
    for (bool g : {false, true}) {
      zv_index* idx = g ? w->grouped : w->base;
      std::string impl = g ? "zv_grouped" : "zv";
      add("ivf_sweep", impl, n, [w, idx, np, key = impl + extra](benchmark::State& s) {
        zv_index_set_ivf_nprobe(idx, kIvfKey, np);
        sweep_point(s, *w, key, np, [&](const float* q, int64_t* oi, float* os) {
          zv_index_search_ivf(idx, kIvfKey, q, kK, oi, os);
        });
        zv_index_set_ivf_nprobe(idx, kIvfKey, kNprobe);
      }, extra);
    }
#ifdef ZV_BENCH_HAVE_FAISS
    add("ivf_sweep", "faiss", n, [w, np, key = "faiss" + extra](benchmark::State& s) {
      w->faiss_ivf->nprobe = np;
      sweep_point(s, *w, key, np, [&](const float* q, int64_t* oi, float* os) {
        w->faiss_ivf->search(1, q, kK, os, oi);
      });
      w->faiss_ivf->nprobe = kNprobe;
    }, extra);
#endif
  }
}

std::string cpu_model() {
  std::ifstream f("/proc/cpuinfo");
  std::string line;
  while (std::getline(f, line)) {
    if (line.rfind("model name", 0) == 0) {
      auto p = line.find(':');
      if (p != std::string::npos) return line.substr(p + 2);
    }
  }
  return "unknown";
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int64_t> sizes = {10000, 100000, 1000000};
  int64_t sweep_n = 0;
  int64_t cached_n = 2000;
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i];
    if (a.rfind("--sizes=", 0) == 0) {
      sizes.clear();
      std::string list = a.substr(8);
      size_t at = 0;
      while (at < list.size()) {
        size_t comma = list.find(',', at);
        if (comma == std::string::npos) comma = list.size();
        sizes.push_back(std::stoll(list.substr(at, comma - at)));
        at = comma + 1;
      }
    } else if (a.rfind("--sweep_n=", 0) == 0) {
      sweep_n = std::stoll(a.substr(10));
    } else if (a.rfind("--cached_n=", 0) == 0) {
      cached_n = std::stoll(a.substr(11));
    } else if (a.rfind("--noise=", 0) == 0) {
      g_noise = std::stod(a.substr(8));
    } else {
      rest.push_back(argv[i]);
    }
  }
  std::sort(sizes.begin(), sizes.end());
  if (sweep_n == 0) sweep_n = sizes.back();
  int rest_argc = static_cast<int>(rest.size());
  benchmark::Initialize(&rest_argc, rest.data());

#ifdef ZV_BENCH_HAVE_FAISS
  omp_set_num_threads(1);
  benchmark::AddCustomContext("faiss", std::to_string(FAISS_VERSION_MAJOR) + "." +
                                           std::to_string(FAISS_VERSION_MINOR) + "." +
                                           std::to_string(FAISS_VERSION_PATCH));
#endif
  benchmark::AddCustomContext("cpu_model", cpu_model());
  std::string isa = __builtin_cpu_supports("avx512f") ? "avx512f" : __builtin_cpu_supports("avx2") ? "avx2" : "sse2";
  benchmark::AddCustomContext("cpu_isa", isa);
  std::string list;
  for (int64_t n : sizes) list += (list.empty() ? "" : ",") + std::to_string(n);
  benchmark::AddCustomContext("sizes", list);
  benchmark::AddCustomContext("setup", "dim " + std::to_string(kDim) + ", k " + std::to_string(kK) +
                                           ", " + std::to_string(kQueries) + " queries, " +
                                           std::to_string(kNlist) + " IVF lists, nprobe " +
                                           std::to_string(kNprobe) + ", cluster noise " +
                                           std::to_string(g_noise));

  auto t0 = std::chrono::steady_clock::now();
  for (int64_t n : sizes) g_worlds.push_back(make_world(n));
  for (int64_t extra : {sweep_n, cached_n}) {
    bool have = false;
    for (auto& w : g_worlds) have = have || w->n == extra;
    if (!have) g_worlds.push_back(make_world(extra));
  }
  double setup_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  benchmark::AddCustomContext("data_setup_seconds", std::to_string(setup_s));

  for (auto& w : g_worlds) {
    if (std::find(sizes.begin(), sizes.end(), w->n) != sizes.end()) register_world(w.get());
  }
  auto world_of = [&](int64_t n) {
    for (auto& w : g_worlds)
      if (w->n == n) return w.get();
    return g_worlds.front().get();
  };
  register_small_writes(world_of(sizes.back()));
  register_threads(world_of(cached_n), "cached");
  register_threads(world_of(sizes.back()), "memory");
  register_sweep(world_of(sweep_n));

  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
