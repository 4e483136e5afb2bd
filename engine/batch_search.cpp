#include "batch_search.h"

#include <algorithm>
#include <new>

#include "alloc.h"
#include "probe_select.h"
#include "rowmeta.h"
#include "score_kernel.h"
#include "topk.h"
#include "tuning.h"
#include "write_path.h"

namespace zv {

namespace {

// ---------------------------------------------------------------------------
// What the batch searches read of the record. Every field access of this
// file is in this section.

struct BaseView {
  bool sealed;
  int32_t dim;
  int64_t count;
  const float* vectors;
  const int64_t* ids;
};

BaseView base_view(const IndexRecord& rec) {
  const Base& b = rec.base;
  return BaseView{b.sealed(), rec.dim, b.count(), b.vectors(), b.ids()};
}

// The rows [first, first + size) of the partition with `key`, found as the
// single search finds it.
bool find_partition(const IndexRecord& rec, int64_t key, int64_t& first, int64_t& size) {
  return rec.base.partition_rows(key, first, size);
}

// The filter triple resolved once (rowmeta.h): delta rows are tested
// against its map, base rows against its copy by base row.
struct FilterView {
  Filter f;

  bool none_pass() const { return f.none_pass; }
  bool delta_passes(int64_t id) const {
    if (f.all_pass) return true;
    const int64_t* v = f.map->find(id);
    return (v ? *v : -1) == f.value;
  }
  bool base_passes(int64_t row) const {
    if (f.all_pass) return true;
    return (f.by_row != nullptr ? f.by_row[row] : -1) == f.value;
  }
};

FilterView filter_view(const IndexRecord& rec, int32_t kind, int32_t column, int64_t value) {
  return FilterView{resolve_filter(rec, kind, column, value)};
}

const int64_t* delta_ids(const IndexRecord& rec) { return rec.writes.delta_ids(); }

// The IVF entry under a key, as its search reads it.
struct IvfView {
  int32_t nlist;
  int32_t nprobe;
  const float* centroids;
  int64_t centroid_floats;
  const int32_t* list_offsets;  // nlist + 1
  int64_t id_count;
  const int64_t* list_ids;
  const int64_t* list_rows;     // base row of each listed id, -1 for none
};

bool find_ivf(const IndexRecord& rec, uint64_t key, IvfView& view) {
  const IvfEntry* e = rec.ivf.find(key);
  if (e == nullptr) return false;
  view = IvfView{e->nlist,
                 e->nprobe,
                 e->centroids.data(),
                 e->centroids.size(),
                 e->list_offsets.data(),
                 e->list_ids.size(),
                 e->list_ids.data(),
                 e->list_rows.data()};
  return true;
}

// ---------------------------------------------------------------------------
// Shapes and scratch.

// How a call cuts its queries and rows (tuning.h): groups of queries whose
// top-k are open together, each group fed every row once; within a group,
// slices transposed on their own; rows scored a block at a time against
// every slice of the group before the next block.
struct BatchShape {
  int32_t group;
  int32_t slice;
  int64_t block_rows;
};

BatchShape batch_shape(int32_t dim, int32_t m, int32_t nq) {
  const int64_t row_bytes = int64_t{dim > 0 ? dim : 1} * 4;
  int64_t group = std::clamp<int64_t>(kBatchGroupBytes / row_bytes, kMultiQuerySlice,
                                      kBatchMaxGroup);
  group = group / kMultiQuerySlice * kMultiQuerySlice;
  if (m > kTopKHeapMin) group = std::min<int64_t>(group, std::max<int64_t>(1, kBatchHeldBudget / m));
  group = std::max<int64_t>(1, std::min<int64_t>(group, nq));
  const int32_t slice = static_cast<int32_t>(std::min<int64_t>(group, kMultiQuerySlice));
  return BatchShape{static_cast<int32_t>(group), slice, multi_row_block(dim)};
}

// An owned array released with the call.
template <class T>
class Scratch {
 public:
  explicit Scratch(int64_t count) : p_(count > 0 ? alloc_array<T>(count) : nullptr) {}
  ~Scratch() { free_bytes(p_); }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  T* get() const { return p_; }
  T& operator[](int64_t i) const { return p_[i]; }

 private:
  T* p_;
};

// The top-k objects of one group of queries, each over its query's slots.
template <class Top>
class GroupTops {
 public:
  explicit GroupTops(int32_t capacity)
      : mem_(static_cast<Top*>(alloc_bytes(checked_bytes(capacity, sizeof(Top))))) {}
  ~GroupTops() {
    close();
    free_bytes(mem_);
  }
  GroupTops(const GroupTops&) = delete;
  GroupTops& operator=(const GroupTops&) = delete;

  // Queries first .. first + n - 1 of the call, stride k in the arrays.
  void open(int32_t first, int32_t n, int32_t k, int32_t m, int64_t* out_ids, float* out_scores) {
    for (int32_t q = 0; q < n; ++q) {
      const int64_t at = int64_t{first + q} * k;
      new (mem_ + q) Top(out_ids + at, out_scores + at, m);
    }
    open_ = n;
  }
  // Ends the group: destroying a top-k writes its final order.
  void close() {
    for (int32_t q = 0; q < open_; ++q) mem_[q].~Top();
    open_ = 0;
  }
  Top& operator[](int32_t q) { return mem_[q]; }

 private:
  Top* mem_;
  int32_t open_ = 0;
};

// Transposes each slice of a group's n queries on its own: the slice
// starting at query s sits at qt + s * dim (64-byte aligned when s is a
// multiple of kMultiQuerySlice and qt is).
void transpose_slices(const float* queries, int32_t n, int32_t slice, int32_t dim, float* qt) {
  const int64_t d = dim > 0 ? dim : 0;
  if (d == 0) return;
  for (int32_t s = 0; s < n; s += slice) {
    transpose_queries(queries + s * d, std::min(slice, n - s), dim, qt + s * d);
  }
}

// Scores c rows, contiguous from `block` when `contiguous`, else by pointer,
// against nq queries: out[i * nq + q]. The multi-query kernel reads the
// transposed queries `qt`; with fewer than kBatchMinMulti queries its tiles
// would run mostly empty, so each query (`qp[q]`) goes through the
// single-query kernel over the same rows, still in cache. Both give
// score_row's bits.
void score_tile(const ScoreKernels& kn, bool contiguous, const float* block,
                const float* const* ptrs, int64_t c, const float* qt, const float* const* qp,
                int32_t nq, int32_t dim, float* col, float* out) {
  if (nq >= kBatchMinMulti) {
    if (contiguous) kn.score_block_multi(block, c, qt, nq, dim, out);
    else kn.score_gather_multi(ptrs, c, qt, nq, dim, out);
    return;
  }
  for (int32_t q = 0; q < nq; ++q) {
    if (contiguous) kn.score_block(block, c, qp[q], dim, col);
    else kn.score_gather(ptrs, c, qp[q], dim, col);
    for (int64_t i = 0; i < c; ++i) out[i * nq + q] = col[i];
  }
}

// The first row i in [from, n) of which some query's score beats its bar
// (scores of row i at s + i * ns, query q's bar at bar[q]), or n: a strict
// beat for TopK, a reach for RankedTopK. Most rows beat no bar, so this test
// is what the top-k costs per row; compiled for each vector width (the
// comparisons give the same answer on every path), it takes a few
// instructions per row of 64 queries where the portable build's took a
// fifth of the scan's time.
// Chosen at run time like the score kernels (never through ifunc
// resolvers, which run before sanitizer runtimes are ready).
#define ZV_BATCH_NEXT_HIT_BODY(name, attr, op)                                          \
  attr int64_t name(const float* s, int64_t from, int64_t n, int32_t ns, const float* bar) { \
    if (ns == kMultiQuerySlice) {                                                       \
      for (int64_t i = from; i < n; ++i) {                                              \
        const float* r = s + i * kMultiQuerySlice;                                      \
        int hit = 0;                                                                    \
        for (int32_t q = 0; q < kMultiQuerySlice; ++q) hit |= r[q] op bar[q];           \
        if (hit != 0) return i;                                                         \
      }                                                                                 \
      return n;                                                                         \
    }                                                                                   \
    for (int64_t i = from; i < n; ++i) {                                                \
      const float* r = s + i * ns;                                                      \
      int hit = 0;                                                                      \
      for (int32_t q = 0; q < ns; ++q) hit |= r[q] op bar[q];                           \
      if (hit != 0) return i;                                                           \
    }                                                                                   \
    return n;                                                                           \
  }
#define ZV_BATCH_NEXT_HIT(name, op)                                                     \
  ZV_BATCH_NEXT_HIT_BODY(name##_avx512,                                                 \
                         __attribute__((target("avx2,fma,avx512f,avx512vl,avx512bw"))), op) \
  ZV_BATCH_NEXT_HIT_BODY(name##_avx2, __attribute__((target("avx2,fma"))), op)          \
  ZV_BATCH_NEXT_HIT_BODY(name##_portable, , op)                                         \
  using name##_fn = int64_t (*)(const float*, int64_t, int64_t, int32_t, const float*);  \
  int64_t name(const float* s, int64_t from, int64_t n, int32_t ns, const float* bar) {  \
    static const name##_fn chosen = kernel_supported(KernelIsa::kAvx512) ? name##_avx512 \
                                     : kernel_supported(KernelIsa::kAvx2) ? name##_avx2   \
                                                                          : name##_portable; \
    return chosen(s, from, n, ns, bar);                                                 \
  }
ZV_BATCH_NEXT_HIT(next_beat, >)
ZV_BATCH_NEXT_HIT(next_reach, >=)
#undef ZV_BATCH_NEXT_HIT
#undef ZV_BATCH_NEXT_HIT_BODY

// Whether the c row pointers are consecutive rows of one array.
bool consecutive(const float* const* rows, int64_t c, int64_t stride) {
  for (int64_t i = 1; i < c; ++i) {
    if (rows[i] != rows[0] + i * stride) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Exact scans: rows fed in offer order, scored a block at a time against
// every slice of a group of queries, offered to each query's top-k in row
// order.

class MultiFeed {
 public:
  MultiFeed(int32_t dim, const BatchShape& shape)
      : kernels_(active_kernels()), dim_(dim), stride_(dim > 0 ? dim : 0),
        block_rows_(shape.block_rows), slice_(shape.slice), qt_(stride_ * shape.group),
        scores_(shape.block_rows * shape.slice), col_(shape.block_rows), rows_(shape.block_rows),
        ids_(shape.block_rows), thresholds_(shape.slice), qp_(shape.group), tops_(shape.group) {}

  // Opens the top-k of queries first .. first + n - 1 (at `queries`, end to
  // end) in the caller's arrays.
  void start(const float* queries, int32_t first, int32_t n, int32_t k, int32_t m,
             int64_t* out_ids, float* out_scores) {
    nq_ = n;
    if (n >= kBatchMinMulti) transpose_slices(queries, n, slice_, dim_, qt_.get());
    for (int32_t q = 0; q < n; ++q) qp_[q] = queries + q * stride_;
    tops_.open(first, n, k, m, out_ids, out_scores);
    n_ = 0;
  }

  // Scores what is pending and writes the group's results.
  void finish() {
    flush();
    tops_.close();
  }

  void add(const float* row, int64_t id) {
    rows_[n_] = row;
    ids_[n_] = id;
    if (++n_ == block_rows_) flush();
  }

  // Consecutive rows (row i at rows + i * dim). Short stretches join the
  // gathered block; long ones go to the block kernel as they lie.
  void add_run(const float* rows, const int64_t* ids, int64_t count) {
    if (count < block_rows_ / 2) {
      for (int64_t i = 0; i < count; ++i) add(rows + i * stride_, ids[i]);
      return;
    }
    flush();
    for (int64_t done = 0; done < count; done += block_rows_) {
      const int64_t c = std::min<int64_t>(block_rows_, count - done);
      score_rows(rows + done * stride_, nullptr, c, ids + done);
    }
  }

  void flush() {
    if (n_ == 0) return;
    score_rows(nullptr, rows_.get(), n_, ids_.get());
    n_ = 0;
  }

 private:
  // One block of rows (contiguous from `block`, else by pointer) against
  // every query of the group, slice by slice while the block stays in L2.
  void score_rows(const float* block, const float* const* ptrs, int64_t c, const int64_t* ids) {
    if (nq_ < kBatchMinMulti) {
      for (int32_t q = 0; q < nq_; ++q) {
        if (block != nullptr) kernels_.score_block(block, c, qp_[q], dim_, col_.get());
        else kernels_.score_gather(ptrs, c, qp_[q], dim_, col_.get());
        tops_[q].offer_batch(col_.get(), ids, c);
      }
      return;
    }
    for (int32_t s = 0; s < nq_; s += slice_) {
      const int32_t ns = std::min(slice_, nq_ - s);
      const float* qt = qt_.get() + s * stride_;
      if (block != nullptr) kernels_.score_block_multi(block, c, qt, ns, dim_, scores_.get());
      else kernels_.score_gather_multi(ptrs, c, qt, ns, dim_, scores_.get());
      offer(s, ns, ids, c);
    }
  }

  // Row by row, so each query meets its rows in offer order; a score pays
  // for the insertion only when it beats its query's last slot.
  void offer(int32_t first, int32_t ns, const int64_t* ids, int64_t n) {
    float* t = thresholds_.get();
    for (int32_t q = 0; q < ns; ++q) t[q] = tops_[first + q].threshold();
    const float* scores = scores_.get();
    for (int64_t i = next_beat(scores, 0, n, ns, t); i < n; i = next_beat(scores, i + 1, n, ns, t)) {
      const float* s = scores + i * ns;
      for (int32_t q = 0; q < ns; ++q) {
        if (s[q] > t[q]) {
          TopK& top = tops_[first + q];
          top.offer(s[q], ids[i]);
          t[q] = top.threshold();
        }
      }
    }
  }

  const ScoreKernels& kernels_;
  int32_t dim_;
  int64_t stride_;
  int64_t block_rows_;
  int32_t slice_;
  Scratch<float> qt_;
  Scratch<float> scores_;
  Scratch<float> col_;
  Scratch<const float*> rows_;
  Scratch<int64_t> ids_;
  Scratch<float> thresholds_;
  Scratch<const float*> qp_;
  GroupTops<TopK> tops_;
  int32_t nq_ = 0;
  int64_t n_ = 0;
};

// Runs `feed_rows(feed)`, which feeds every row in offer order, once per
// group of queries; each query gets m slots at stride k.
template <class FeedRows>
void scan_batch(const float* queries, int32_t nq, int32_t dim, int32_t k, int32_t m,
                int64_t* out_ids, float* out_scores, FeedRows&& feed_rows) {
  const BatchShape shape = batch_shape(dim, m, nq);
  const int64_t d = dim > 0 ? dim : 0;
  MultiFeed feed(dim, shape);
  for (int32_t first = 0; first < nq; first += shape.group) {
    const int32_t n = std::min(shape.group, nq - first);
    feed.start(queries + first * d, first, n, k, m, out_ids, out_scores);
    feed_rows(feed);
    feed.finish();
  }
}

}  // namespace

int32_t search_full_batch(const IndexRecord& rec, const float* queries, int32_t nq, int32_t k,
                          int64_t* out_ids, float* out_scores) {
  const BaseView base = base_view(rec);
  if (!base.sealed || nq <= 0) return 0;
  const int64_t m = std::min<int64_t>(k, base.count);
  if (m <= 0) return 0;
  scan_batch(queries, nq, base.dim, k, static_cast<int32_t>(m), out_ids, out_scores,
             [&](MultiFeed& feed) { feed.add_run(base.vectors, base.ids, base.count); });
  return static_cast<int32_t>(m);
}

int32_t search_partition_batch(const IndexRecord& rec, int64_t partition_key,
                               const float* queries, int32_t nq, int32_t k, int64_t* out_ids,
                               float* out_scores) {
  int64_t first = 0, size = 0;
  if (nq <= 0 || !find_partition(rec, partition_key, first, size)) return 0;
  const int64_t m = std::min<int64_t>(k, size);
  if (m <= 0) return 0;
  const BaseView base = base_view(rec);
  const int64_t stride = base.dim > 0 ? base.dim : 0;
  scan_batch(queries, nq, base.dim, k, static_cast<int32_t>(m), out_ids, out_scores,
             [&](MultiFeed& feed) {
               feed.add_run(base.vectors + first * stride, base.ids + first, size);
             });
  return static_cast<int32_t>(m);
}

int32_t search_filtered_batch(const IndexRecord& rec, int32_t kind, int32_t column,
                              int64_t value, const float* queries, int32_t nq, int32_t k,
                              int64_t* out_ids, float* out_scores) {
  if (k <= 0 || nq <= 0) return 0;
  const FilterView f = filter_view(rec, kind, column, value);
  const BaseView base = base_view(rec);
  const int64_t stride = base.dim > 0 ? base.dim : 0;
  const int64_t* d_ids = delta_ids(rec);
  scan_batch(queries, nq, base.dim, k, k, out_ids, out_scores, [&](MultiFeed& feed) {
    if (f.none_pass()) return;
    // The visibility walk: delta rows, then base rows, each by row number.
    walk_visible_delta(rec.writes, [&](int64_t first, int64_t c) {
      for (int64_t r = first; r < first + c; ++r) {
        if (!f.delta_passes(d_ids[r])) continue;
        // Rows the stored floats do not cover are passed over, as in the
        // single search.
        if (const float* v = rec.writes.delta_vector(r, rec.dim)) feed.add(v, d_ids[r]);
      }
    });
    walk_visible_base(rec.writes, rec.base, [&](int64_t first, int64_t c) {
      const int64_t end = first + c;
      int64_t r = first;
      while (r < end) {
        if (!f.base_passes(r)) {
          ++r;
          continue;
        }
        int64_t stop = r + 1;
        while (stop < end && f.base_passes(stop)) ++stop;
        feed.add_run(base.vectors + r * stride, base.ids + r, stop - r);
        r = stop;
      }
    });
  });
  return k;
}

// ---------------------------------------------------------------------------
// IVF: every query of a group chooses its own probes; each list probed by
// any of them is then walked once and scored for exactly those queries.
// A query meets its rows list by list in list number order, not in its
// probe order, so each row carries its offer position in the single search
// (probe rank, then list position) and RankedTopK restores that order.

int32_t search_ivf_batch(const IndexRecord& rec, uint64_t key, const float* queries, int32_t nq,
                         int32_t k, int64_t* out_ids, float* out_scores) {
  IvfView e;
  if (!find_ivf(rec, key, e) || k < 1 || e.nlist < 1 || nq <= 0) return 0;
  const BaseView base = base_view(rec);
  const int32_t dim = base.dim;
  const int64_t d = dim > 0 ? dim : 0;
  if (e.centroid_floats < d * e.nlist) return 0;

  const int32_t nlist = e.nlist;
  const int32_t cap = std::max(0, std::min(e.nprobe, nlist));
  const BatchShape shape = batch_shape(dim, k, nq);
  // The probe lists of a group and the centroid scores of a slice stay
  // within the budget; a list's queries are still scored kMultiQuerySlice
  // (or the group, if fewer) at a time.
  const int32_t group = static_cast<int32_t>(
      std::min<int64_t>(shape.group, std::max<int64_t>(1, kBatchCentroidBudget / std::max(cap, 1))));
  const int32_t chunk = std::min(shape.slice, group);
  const int32_t cslice = static_cast<int32_t>(
      std::min<int64_t>(chunk, std::max<int64_t>(1, kBatchCentroidBudget / nlist)));
  const int64_t block_rows = shape.block_rows;
  const ScoreKernels& kernels = active_kernels();

  Scratch<float> qt(d * cslice);
  Scratch<float> sub_qt(d * group);
  Scratch<float> centroid_scores(int64_t{nlist} * cslice);
  Scratch<float> column(std::max<int64_t>(nlist, block_rows));
  Scratch<float> heap_scores(cap);
  Scratch<int32_t> probes(int64_t{cap} * group);
  Scratch<int32_t> probe_count(group);
  Scratch<int32_t> list_start(int64_t{nlist} + 1);
  // The (query, probe rank) pairs of the group grouped by list.
  Scratch<int32_t> by_list(int64_t{cap} * group);
  Scratch<int32_t> by_list_rank(int64_t{cap} * group);
  Scratch<float> scores(block_rows * chunk);
  Scratch<const float*> member_query(group);
  Scratch<const float*> cslice_query(cslice);
  Scratch<const float*> rows(block_rows);
  Scratch<int64_t> ids(block_rows);
  Scratch<int64_t> positions(block_rows);
  Scratch<float> floors(chunk);
  Scratch<int32_t> members(group);
  Scratch<int64_t> member_rank(group);
  GroupTops<RankedTopK> tops(group);

  for (int32_t first = 0; first < nq; first += group) {
    const int32_t n = std::min(group, nq - first);
    const float* gq = queries + first * d;
    tops.open(first, n, k, k, out_ids, out_scores);
    for (int32_t s0 = 0; s0 < n; s0 += cslice) {
      const int32_t ns = std::min(cslice, n - s0);
      if (cap == 0) {
        for (int32_t q = s0; q < s0 + ns; ++q) probe_count[q] = 0;
        continue;
      }
      if (ns >= kBatchMinMulti && d > 0) transpose_queries(gq + s0 * d, ns, dim, qt.get());
      for (int32_t q = 0; q < ns; ++q) cslice_query[q] = gq + (s0 + q) * d;
      score_tile(kernels, true, e.centroids, nullptr, nlist, qt.get(), cslice_query.get(), ns, dim,
                 column.get(), centroid_scores.get());
      for (int32_t q = 0; q < ns; ++q) {
        for (int32_t c = 0; c < nlist; ++c) column[c] = centroid_scores[int64_t{c} * ns + q];
        probe_count[s0 + q] = select_probes(column.get(), nlist, e.nprobe, heap_scores.get(),
                                            probes.get() + int64_t{s0 + q} * cap);
      }
    }
    // Group the (query, rank) pairs by list: a counting sort, queries
    // ascending within each list.
    std::fill(list_start.get(), list_start.get() + nlist + 1, 0);
    for (int32_t q = 0; q < n; ++q) {
      for (int32_t r = 0; r < probe_count[q]; ++r) ++list_start[probes[int64_t{q} * cap + r] + 1];
    }
    for (int32_t c = 0; c < nlist; ++c) list_start[c + 1] += list_start[c];
    for (int32_t q = 0; q < n; ++q) {
      for (int32_t r = 0; r < probe_count[q]; ++r) {
        const int32_t c = probes[int64_t{q} * cap + r];
        const int32_t at = list_start[c]++;
        by_list[at] = q;
        by_list_rank[at] = r;
      }
    }
    // list_start[c] now holds the end of list c's group; its start is the
    // previous list's end.
    int32_t group_begin = 0;
    for (int32_t c = 0; c < nlist; ++c) {
      const int32_t group_end = list_start[c];
      const int32_t nm = group_end - group_begin;
      const int32_t at = group_begin;
      group_begin = group_end;
      if (nm == 0) continue;
      int64_t start = e.list_offsets[c];
      int64_t end = e.list_offsets[c + 1];
      if (start >= end) continue;
      start = std::max<int64_t>(start, 0);
      end = std::min(end, e.id_count);
      if (start >= end) continue;
      for (int32_t s = 0; s < nm; ++s) {
        members[s] = by_list[at + s];
        member_rank[s] = int64_t{by_list_rank[at + s]} << 32;
        member_query[s] = gq + members[s] * d;
      }
      // This list's queries transposed, each chunk on its own as the
      // kernel wants its slices.
      for (int32_t s0 = 0; s0 < nm && d > 0; s0 += chunk) {
        const int32_t cs = std::min(chunk, nm - s0);
        if (cs < kBatchMinMulti) continue;
        float* dst = sub_qt.get() + s0 * d;
        for (int32_t s = 0; s < cs; ++s) {
          const float* src = member_query[s0 + s];
          for (int64_t j = 0; j < d; ++j) dst[j * cs + s] = src[j];
        }
      }
      int64_t p = start;
      while (p < end) {
        int64_t count = 0;
        for (; p < end && count < block_rows; ++p) {
          const int64_t row = e.list_rows[p];
          if (row < 0) continue;
          rows[count] = base.vectors + row * d;
          ids[count] = e.list_ids[p];
          positions[count] = p;
          ++count;
        }
        if (count == 0) break;
        // Lists laid out in the base's row order are read as one block.
        const bool run = d > 0 && consecutive(rows.get(), count, d);
        for (int32_t s0 = 0; s0 < nm; s0 += chunk) {
          const int32_t cs = std::min(chunk, nm - s0);
          score_tile(kernels, run, rows[0], rows.get(), count, sub_qt.get() + s0 * d,
                     member_query.get() + s0, cs, dim, column.get(), scores.get());
          for (int32_t s = 0; s < cs; ++s) floors[s] = tops[members[s0 + s]].floor();
          const float* f = floors.get();
          for (int64_t i = next_reach(scores.get(), 0, count, cs, f); i < count;
               i = next_reach(scores.get(), i + 1, count, cs, f)) {
            const float* sc = scores.get() + i * cs;
            for (int32_t s = 0; s < cs; ++s) {
              if (sc[s] >= floors[s]) {
                RankedTopK& top = tops[members[s0 + s]];
                top.offer(sc[s], ids[i], member_rank[s0 + s] | positions[i]);
                floors[s] = top.floor();
              }
            }
          }
        }
      }
    }
    tops.close();
  }
  return k;
}

}  // namespace zv
