// Write path and visible state: inserts, deletes, the visibility readers and
// the candidate search, each next to a baseline measured in the same run.
//
// Baselines:
//   Naive*        a delta made of std::vector appends and std::unordered_map
//                 id map and tombstones, doing the same work per row;
//   NaiveWalk*    the visibility rule tested row by row with those maps;
//   CopyBaseIds   a memcpy of the base ids: the floor of any id listing;
//   ScalarMvcc*   the candidates scored one at a time with the plain chain.
// Compare the ratios, not the absolute figures: the machine is shared.
#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <numeric>
#include <unordered_map>

#include "bench_common.h"
#include "topk.h"

namespace {

constexpr int32_t kDim = 128;
constexpr int32_t kBatch = 1000;
constexpr int32_t kBatches = 100;  // rows per iteration: 100,000
constexpr int64_t kBaseRows = 1000000;
constexpr int32_t kCandidates = 1000;

std::vector<int64_t> shuffled(std::vector<int64_t> v, uint64_t seed) {
  std::shuffle(v.begin(), v.end(), std::mt19937_64(seed));
  return v;
}

const std::vector<float>& batch_vectors() {
  static const std::vector<float> v = zvbench::random_floats(int64_t{kBatch} * kDim, 3);
  return v;
}

// The same work as the library's delta, with standard containers.
struct NaiveDelta {
  int32_t dim;
  int64_t version = 0;
  std::vector<int64_t> ids, versions;
  std::vector<float> vectors;
  std::unordered_map<int64_t, int64_t> rows, tombstones;

  explicit NaiveDelta(int32_t d) : dim(d) {}

  int64_t insert(const float* vecs, const int64_t* batch, int32_t n) {
    if (n <= 0) return version;
    const int64_t v = ++version;
    for (int32_t i = 0; i < n; ++i) {
      const int64_t id = batch[i];
      const float* src = vecs + int64_t{i} * dim;
      auto t = tombstones.find(id);
      if (t != tombstones.end()) t->second = 0;
      auto [it, inserted] = rows.try_emplace(id, static_cast<int64_t>(ids.size()));
      if (inserted) {
        ids.push_back(id);
        versions.push_back(v);
        vectors.insert(vectors.end(), src, src + dim);
      } else {
        std::memcpy(vectors.data() + it->second * dim, src, sizeof(float) * dim);
        versions[it->second] = v;
      }
    }
    return v;
  }

  int64_t remove(const int64_t* batch, int32_t n) {
    if (n <= 0) return version;
    const int64_t v = ++version;
    for (int32_t i = 0; i < n; ++i) tombstones[batch[i]] = v;
    return v;
  }

  bool deleted(int64_t id) const {
    auto t = tombstones.find(id);
    return t != tombstones.end() && t->second != 0;
  }
};

// --- inserts ----------------------------------------------------------------

template <class Target>
void insert_all(Target& t, const std::vector<int64_t>& ids) {
  const float* v = batch_vectors().data();
  for (int32_t b = 0; b < kBatches; ++b) t.insert(v, ids.data() + int64_t{b} * kBatch, kBatch);
}

struct ZvTarget {
  zv_index* index;
  int64_t insert(const float* v, const int64_t* ids, int32_t n) { return zv_index_insert(index, v, ids, n); }
  int64_t remove(const int64_t* ids, int32_t n) { return zv_index_delete(index, ids, n); }
};

const std::vector<int64_t>& write_ids() {
  static const std::vector<int64_t> ids = zvbench::sequential_ids(int64_t{kBatch} * kBatches, 5000000);
  return ids;
}

void BM_InsertFresh(benchmark::State& state) {
  for (auto _ : state) {
    ZvTarget t{zv_index_new(kDim, 0)};
    insert_all(t, write_ids());
    benchmark::DoNotOptimize(zv_index_delta_count(t.index));
    zv_index_free(t.index);
  }
  state.SetItemsProcessed(state.iterations() * kBatch * kBatches);
}

void BM_NaiveInsertFresh(benchmark::State& state) {
  for (auto _ : state) {
    NaiveDelta t(kDim);
    insert_all(t, write_ids());
    benchmark::DoNotOptimize(t.ids.size());
  }
  state.SetItemsProcessed(state.iterations() * kBatch * kBatches);
}

// Upserts rewrite ids that already have delta rows; `order` 1 shuffles them.
void BM_InsertUpsert(benchmark::State& state) {
  const std::vector<int64_t> ids = state.range(0) ? shuffled(write_ids(), 9) : write_ids();
  ZvTarget t{zv_index_new(kDim, 0)};
  insert_all(t, write_ids());
  for (auto _ : state) insert_all(t, ids);
  state.SetItemsProcessed(state.iterations() * kBatch * kBatches);
  zv_index_free(t.index);
}

void BM_NaiveInsertUpsert(benchmark::State& state) {
  const std::vector<int64_t> ids = state.range(0) ? shuffled(write_ids(), 9) : write_ids();
  NaiveDelta t(kDim);
  insert_all(t, write_ids());
  for (auto _ : state) insert_all(t, ids);
  state.SetItemsProcessed(state.iterations() * kBatch * kBatches);
}

// --- deletes ----------------------------------------------------------------

template <class Target>
void delete_all(Target& t, const std::vector<int64_t>& ids) {
  for (size_t first = 0; first < ids.size(); first += kBatch) {
    t.remove(ids.data() + first, static_cast<int32_t>(std::min<size_t>(kBatch, ids.size() - first)));
  }
}

// Fresh tombstones for ids the index has never held.
void BM_DeleteFresh(benchmark::State& state) {
  const std::vector<int64_t> ids = shuffled(write_ids(), 11);
  for (auto _ : state) {
    ZvTarget t{zv_index_new(kDim, 0)};
    delete_all(t, ids);
    zv_index_free(t.index);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(ids.size()));
}

void BM_NaiveDeleteFresh(benchmark::State& state) {
  const std::vector<int64_t> ids = shuffled(write_ids(), 11);
  for (auto _ : state) {
    NaiveDelta t(kDim);
    delete_all(t, ids);
    benchmark::DoNotOptimize(t.tombstones.size());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(ids.size()));
}

// Every row of a 1,000,000-row base deleted, in random order, from a fresh
// build each iteration (vectors of 8 floats: deletes never read them).
void BM_DeleteBaseIds(benchmark::State& state) {
  const int32_t dim = 8;
  const std::vector<float> vecs = zvbench::random_floats(kBaseRows * dim, 1);
  const std::vector<int64_t> base_ids = zvbench::sequential_ids(kBaseRows);
  const std::vector<int64_t> ids = shuffled(base_ids, 13);
  const int64_t key = 0;
  const int32_t offset = 0, size = static_cast<int32_t>(kBaseRows);
  for (auto _ : state) {
    state.PauseTiming();
    ZvTarget t{zv_index_new(dim, 0)};
    zv_index_build(t.index, vecs.data(), kBaseRows, dim, base_ids.data(), &key, &offset, &size, 1);
    state.ResumeTiming();
    delete_all(t, ids);
    state.PauseTiming();
    if (zv_index_visible_count(t.index) != 0) state.SkipWithError("rows left visible");
    zv_index_free(t.index);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kBaseRows);
}

void BM_NaiveDeleteBaseIds(benchmark::State& state) {
  const std::vector<int64_t> ids = shuffled(zvbench::sequential_ids(kBaseRows), 13);
  for (auto _ : state) {
    NaiveDelta t(8);
    delete_all(t, ids);
    state.PauseTiming();
    benchmark::DoNotOptimize(t.tombstones.size());
    { NaiveDelta gone = std::move(t); }
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kBaseRows);
}

// --- the visible state of a 1,000,000-row base ------------------------------

// The base with 10 % of its ids upserted and 5 % deleted (random, and
// overlapping), mirrored in a NaiveDelta for the baselines.
struct MutatedBase {
  zvbench::BuiltBase base{kBaseRows, kDim, 1, 1};
  NaiveDelta naive{kDim};
  explicit MutatedBase(bool mutate) {
    if (!mutate) return;
    const std::vector<int64_t> all = shuffled(zvbench::sequential_ids(kBaseRows), 21);
    const std::vector<int64_t> up(all.begin(), all.begin() + kBaseRows / 10);
    const std::vector<int64_t> other = shuffled(zvbench::sequential_ids(kBaseRows), 22);
    const std::vector<int64_t> del(other.begin(), other.begin() + kBaseRows / 20);
    ZvTarget t{base.index};
    const std::vector<float>& v = batch_vectors();
    for (size_t first = 0; first < up.size(); first += kBatch) {
      t.insert(v.data(), up.data() + first, kBatch);
      naive.insert(v.data(), up.data() + first, kBatch);
    }
    delete_all(t, del);
    delete_all(naive, del);
  }
  static MutatedBase& mutated() {
    static MutatedBase m(true);
    return m;
  }
  static MutatedBase& clean() {
    static MutatedBase m(false);
    return m;
  }
};

MutatedBase& fixture(const benchmark::State& state) {
  return state.range(0) ? MutatedBase::mutated() : MutatedBase::clean();
}

void BM_VisibleCount(benchmark::State& state) {
  zv_index* index = fixture(state).base.index;
  for (auto _ : state) benchmark::DoNotOptimize(zv_index_visible_count(index));
}

void BM_VisibleIds(benchmark::State& state) {
  zv_index* index = fixture(state).base.index;
  std::vector<int64_t> out(kBaseRows + kBaseRows / 10);
  for (auto _ : state) {
    benchmark::DoNotOptimize(zv_index_visible_ids(index, out.data()));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kBaseRows);
}

// The rule row by row: one lookup per delta row, one or two per base row.
int64_t naive_walk(const MutatedBase& m, int64_t* out) {
  int64_t count = 0;
  const NaiveDelta& d = m.naive;
  for (int64_t id : d.ids) {
    if (!d.deleted(id)) out[count++] = id;
  }
  for (int64_t id : m.base.ids) {
    if (d.rows.find(id) == d.rows.end() && !d.deleted(id)) out[count++] = id;
  }
  return count;
}

void BM_NaiveWalkIds(benchmark::State& state) {
  MutatedBase& m = fixture(state);
  std::vector<int64_t> out(kBaseRows + kBaseRows / 10);
  const int64_t want = zv_index_visible_count(m.base.index);
  for (auto _ : state) {
    if (naive_walk(m, out.data()) != want) state.SkipWithError("naive walk disagrees");
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kBaseRows);
}

void BM_CopyBaseIds(benchmark::State& state) {
  const MutatedBase& m = MutatedBase::clean();
  std::vector<int64_t> out(kBaseRows);
  for (auto _ : state) {
    std::memcpy(out.data(), m.base.ids.data(), kBaseRows * sizeof(int64_t));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kBaseRows);
}

// --- the candidate search ---------------------------------------------------

// Candidate lists cycle through a pool far larger than one search, so rows
// come from memory rather than from the previous iteration's cache.
const std::vector<int64_t>& candidate_pool() {
  static const std::vector<int64_t> pool = [] {
    std::vector<int64_t> p(size_t{1} << 22);
    std::mt19937_64 rng(31);
    for (auto& id : p) id = static_cast<int64_t>(rng() % kBaseRows);
    return p;
  }();
  return pool;
}

void BM_SearchMvcc(benchmark::State& state) {
  zv_index* index = fixture(state).base.index;
  const std::vector<int64_t>& pool = candidate_pool();
  const std::vector<float> q = zvbench::random_floats(kDim, 41);
  int64_t ids[10];
  float scores[10];
  size_t at = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(zv_index_search_mvcc(index, pool.data() + at, kCandidates, q.data(), 10, ids, scores));
    at = (at + kCandidates) % (pool.size() - kCandidates);
  }
  state.SetItemsProcessed(state.iterations() * kCandidates);
}

// The plain chain, with the fused multiply-add as one instruction.
__attribute__((target("fma"))) float scalar_chain(const float* row, const float* q, int32_t dim) {
  float acc = 0.0f;
  for (int32_t j = 0; j < dim; ++j) acc = __builtin_fmaf(row[j], q[j], acc);
  return acc;
}

// One candidate at a time: the naive maps decide, then the chain scores.
void BM_ScalarMvcc(benchmark::State& state) {
  MutatedBase& m = fixture(state);
  const std::vector<int64_t>& pool = candidate_pool();
  const std::vector<float> q = zvbench::random_floats(kDim, 41);
  int64_t ids[10];
  float scores[10];
  size_t at = 0;
  // Check once that both searches agree on this data.
  {
    int64_t zi[10];
    float zs[10];
    zv_index_search_mvcc(m.base.index, pool.data(), kCandidates, q.data(), 10, zi, zs);
    zv::TopK t(ids, scores, 10);
    const NaiveDelta& d = m.naive;
    for (int32_t i = 0; i < kCandidates; ++i) {
      const int64_t id = pool[i];
      if (d.deleted(id)) continue;
      auto r = d.rows.find(id);
      const float* row = r != d.rows.end() ? d.vectors.data() + r->second * kDim : m.base.vectors.data() + id * kDim;
      t.offer(scalar_chain(row, q.data(), kDim), id);
    }
    if (!std::equal(ids, ids + 10, zi) || std::memcmp(scores, zs, sizeof zs) != 0) {
      state.SkipWithError("scalar baseline disagrees with the search");
      return;
    }
  }
  const NaiveDelta& d = m.naive;
  const bool any_writes = d.version > 0;
  for (auto _ : state) {
    zv::TopK t(ids, scores, 10);
    for (int32_t i = 0; i < kCandidates; ++i) {
      const int64_t id = pool[at + i];
      const float* row = m.base.vectors.data() + id * kDim;
      if (any_writes) {
        if (d.deleted(id)) continue;
        auto r = d.rows.find(id);
        if (r != d.rows.end()) row = d.vectors.data() + r->second * kDim;
      }
      t.offer(scalar_chain(row, q.data(), kDim), id);
    }
    benchmark::DoNotOptimize(ids);
    at = (at + kCandidates) % (pool.size() - kCandidates);
  }
  state.SetItemsProcessed(state.iterations() * kCandidates);
}

// --- small write batches on a 1,000,000-row base ----------------------------

// The way a database writes: a few rows per call. Each iteration builds a
// fresh 1,000,000-row base (dim 128, ids 0 .. 999,999), then the index and a
// fresh NaiveDelta write the same kSmallRows random ids, drawn from twice
// the base's id range (half of them base ids, half new ones), in the same
// batches, one after the other in alternating order. Time is the thread's
// CPU time (page faults included). Counters: ns per row of each store and
// the ratio naive / zv (above 1: the index is faster).
constexpr int64_t kSmallRows = 200000;

const std::vector<int64_t>& small_batch_ids() {
  static const std::vector<int64_t> ids = [] {
    std::vector<int64_t> v(kSmallRows);
    std::mt19937_64 rng(51);
    for (auto& id : v) id = static_cast<int64_t>(rng() % (2 * kBaseRows));
    return v;
  }();
  return ids;
}

const std::vector<float>& small_base_vectors() {
  static const std::vector<float> v = zvbench::random_floats(kBaseRows * kDim, 1);
  return v;
}

zv_index* build_small_base() {
  static const std::vector<int64_t> ids = zvbench::sequential_ids(kBaseRows);
  const int64_t key = 0;
  const int32_t offset = 0, size = static_cast<int32_t>(kBaseRows);
  zv_index* index = zv_index_new(kDim, 0);
  zv_index_build(index, small_base_vectors().data(), kBaseRows, kDim, ids.data(), &key, &offset,
                 &size, 1);
  return index;
}

double thread_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}

int64_t thread_page_faults() {
  rusage u;
  getrusage(RUSAGE_THREAD, &u);
  return u.ru_minflt + u.ru_majflt;
}

struct Spent {
  double seconds = 0;
  int64_t faults = 0;
};

// Writes every id of small_batch_ids() in batches of `batch`.
template <class Target>
Spent write_small_batches(Target& t, bool deletes, int32_t batch) {
  const std::vector<int64_t>& ids = small_batch_ids();
  const float* v = batch_vectors().data();
  const int64_t f0 = thread_page_faults();
  const double t0 = thread_seconds();
  for (int64_t first = 0; first < kSmallRows; first += batch) {
    const int32_t n = static_cast<int32_t>(std::min<int64_t>(batch, kSmallRows - first));
    // Batches of one cycle through the kBatch prepared vectors.
    const float* src = v + (first % kBatch) * kDim;
    if (deletes) t.remove(ids.data() + first, n);
    else t.insert(src, ids.data() + first, n);
  }
  const double t1 = thread_seconds();
  return {t1 - t0, thread_page_faults() - f0};
}

// Args: 0 = inserts, 1 = deletes; the batch size.
void BM_SmallBatches(benchmark::State& state) {
  const bool deletes = state.range(0) != 0;
  const int32_t batch = static_cast<int32_t>(state.range(1));
  Spent zv_all, naive_all;
  int64_t round = 0;
  // One untimed round of each first: memory the machine has never handed
  // out costs several times more per page on first touch (a virtual
  // machine's guest pages), and would otherwise be charged to whichever
  // store runs first.
  {
    ZvTarget t{build_small_base()};
    NaiveDelta naive(kDim);
    write_small_batches(t, deletes, batch);
    write_small_batches(naive, deletes, batch);
    zv_index_free(t.index);
  }
  for (auto _ : state) {
    ZvTarget t{build_small_base()};
    NaiveDelta naive(kDim);
    Spent z, nv;
    if (round++ % 2 == 0) {
      z = write_small_batches(t, deletes, batch);
      nv = write_small_batches(naive, deletes, batch);
    } else {
      nv = write_small_batches(naive, deletes, batch);
      z = write_small_batches(t, deletes, batch);
    }
    if (zv_index_delta_count(t.index) != static_cast<int64_t>(naive.ids.size()) ||
        zv_index_snapshot(t.index) != naive.version) {
      state.SkipWithError("the index and the naive store disagree");
    }
    state.SetIterationTime(z.seconds);
    zv_all.seconds += z.seconds;
    zv_all.faults += z.faults;
    naive_all.seconds += nv.seconds;
    naive_all.faults += nv.faults;
    zv_index_free(t.index);
  }
  const double rows = double(state.iterations()) * kSmallRows;
  state.counters["zv_ns_per_row"] = 1e9 * zv_all.seconds / rows;
  state.counters["naive_ns_per_row"] = 1e9 * naive_all.seconds / rows;
  state.counters["zv_faults_per_row"] = double(zv_all.faults) / rows;
  state.counters["naive_faults_per_row"] = double(naive_all.faults) / rows;
  state.counters["naive_over_zv"] = naive_all.seconds / zv_all.seconds;
  state.SetItemsProcessed(state.iterations() * kSmallRows);
}

}  // namespace

BENCHMARK(BM_NaiveInsertFresh)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InsertFresh)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NaiveInsertUpsert)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InsertUpsert)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NaiveDeleteFresh)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DeleteFresh)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NaiveDeleteBaseIds)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DeleteBaseIds)->Unit(benchmark::kMillisecond);
// Arg: 0 = the base as built, 1 = with 10 % upserted and 5 % deleted.
BENCHMARK(BM_VisibleCount)->Arg(0)->Arg(1);
BENCHMARK(BM_CopyBaseIds)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_NaiveWalkIds)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_VisibleIds)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ScalarMvcc)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SearchMvcc)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
// Args: operation (0 = insert, 1 = delete), batch size.
BENCHMARK(BM_SmallBatches)
    ->ArgsProduct({{0, 1}, {1, 1000}})
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Growing a delta is dominated by the kernel's first touch of fresh pages
// (the same for every container that doubles its storage), so by default the
// allocator keeps and reuses freed memory, and the figures show the work of
// the data structures themselves. --default_malloc measures with the
// allocator's own settings.
int main(int argc, char** argv) {
  bool keep_heap = true;
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--default_malloc") == 0) keep_heap = false;
    else argv[kept++] = argv[i];
  }
  argc = kept;
  if (keep_heap) {
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, INT32_MAX);
    mallopt(M_TOP_PAD, 256 << 20);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
