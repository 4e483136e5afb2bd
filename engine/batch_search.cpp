#include "batch_search.h"

#include <algorithm>
#include <new>

#include "alloc.h"
#include "probe_select.h"
#include "score_kernel.h"
#include "topk.h"
#include "rowmeta.h"
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
// single search finds it; false when the key is absent or the range leaves
// the base.
bool find_partition(const IndexRecord& rec, int64_t key, int64_t& first, int64_t& size) {
  const Base& b = rec.base;
  if (!b.sealed() || b.partition_count() <= 0) return false;
  int64_t lo = 0, hi = b.partition_count() - 1, found = -1;
  while (lo <= hi) {
    const int64_t mid = (lo + hi) / 2;
    const int64_t k = b.partition_keys()[mid];
    if (k == key) {
      found = mid;
      break;
    }
    if (k > key) hi = mid - 1;
    else lo = mid + 1;
  }
  if (found < 0) return false;
  first = b.partition_offsets()[found];
  size = b.partition_sizes()[found];
  return first >= 0 && size >= 0 && first + size <= b.count();
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

int32_t slice_for(int32_t dim, int32_t m) {
  const int64_t row_bytes = int64_t{dim > 0 ? dim : 1} * 4;
  int64_t q = kBatchQueryBytes / row_bytes;
  q = std::clamp<int64_t>(q, kBatchMinSlice, kBatchMaxSlice) / kBatchMinSlice * kBatchMinSlice;
  if (m > kTopKHeapMin) q = std::min<int64_t>(q, std::max<int64_t>(1, kBatchHeldBudget / m));
  return static_cast<int32_t>(q);
}

int32_t block_rows_for(int32_t dim) {
  const int64_t row_bytes = int64_t{dim > 0 ? dim : 1} * 4;
  return static_cast<int32_t>(
      std::clamp<int64_t>(kBatchRowBytes / row_bytes, kBatchMinRows, kBatchMaxRows));
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

// The top-k objects of one slice of queries, each over its query's slots.
template <class Top>
class SliceTops {
 public:
  explicit SliceTops(int32_t capacity)
      : mem_(static_cast<Top*>(alloc_bytes(checked_bytes(capacity, sizeof(Top))))) {}
  ~SliceTops() {
    close();
    free_bytes(mem_);
  }
  SliceTops(const SliceTops&) = delete;
  SliceTops& operator=(const SliceTops&) = delete;

  // Queries first .. first + n - 1 of the call, stride k in the arrays.
  void open(int32_t first, int32_t n, int32_t k, int32_t m, int64_t* out_ids, float* out_scores) {
    for (int32_t q = 0; q < n; ++q) {
      const int64_t at = int64_t{first + q} * k;
      new (mem_ + q) Top(out_ids + at, out_scores + at, m);
    }
    open_ = n;
  }
  // Ends the slice: destroying a top-k writes its final order.
  void close() {
    for (int32_t q = 0; q < open_; ++q) mem_[q].~Top();
    open_ = 0;
  }
  Top& operator[](int32_t q) { return mem_[q]; }

 private:
  Top* mem_;
  int32_t open_ = 0;
};

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

// Whether the c row pointers are consecutive rows of one array.
bool consecutive(const float* const* rows, int64_t c, int64_t stride) {
  for (int64_t i = 1; i < c; ++i) {
    if (rows[i] != rows[0] + i * stride) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Exact scans: rows fed in offer order, scored a block at a time against a
// slice of queries, offered to each query's top-k in row order.

class MultiFeed {
 public:
  MultiFeed(int32_t dim, int32_t block_rows, int32_t slice)
      : kernels_(active_kernels()), dim_(dim), stride_(dim > 0 ? dim : 0),
        block_rows_(block_rows), scores_(int64_t{block_rows} * slice), col_(block_rows),
        rows_(block_rows), ids_(block_rows), thresholds_(slice), qp_(slice) {}

  // `queries` holds the slice's nq queries end to end, `qt` the same
  // transposed.
  void start(const float* queries, const float* qt, int32_t nq, SliceTops<TopK>* tops) {
    qt_ = qt;
    nq_ = nq;
    for (int32_t q = 0; q < nq; ++q) qp_[q] = queries + q * stride_;
    tops_ = tops;
    n_ = 0;
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
      score_tile(kernels_, true, rows + done * stride_, nullptr, c, qt_, qp_.get(), nq_, dim_,
                 col_.get(), scores_.get());
      offer(ids + done, c);
    }
  }

  void flush() {
    if (n_ == 0) return;
    score_tile(kernels_, false, nullptr, rows_.get(), n_, qt_, qp_.get(), nq_, dim_,
               col_.get(), scores_.get());
    offer(ids_.get(), n_);
    n_ = 0;
  }

 private:
  // Row by row, so each query meets its rows in offer order; a score pays
  // for the insertion only when it beats its query's last slot.
  void offer(const int64_t* ids, int64_t n) {
    SliceTops<TopK>& tops = *tops_;
    float* t = thresholds_.get();
    for (int32_t q = 0; q < nq_; ++q) t[q] = tops[q].threshold();
    const float* s = scores_.get();
    for (int64_t i = 0; i < n; ++i, s += nq_) {
      // Most rows beat no query's threshold: find that out branch-free.
      int hit = 0;
      for (int32_t q = 0; q < nq_; ++q) hit |= s[q] > t[q];
      if (hit == 0) continue;
      for (int32_t q = 0; q < nq_; ++q) {
        if (s[q] > t[q]) {
          tops[q].offer(s[q], ids[i]);
          t[q] = tops[q].threshold();
        }
      }
    }
  }

  const ScoreKernels& kernels_;
  int32_t dim_;
  int64_t stride_;
  int32_t block_rows_;
  Scratch<float> scores_;
  Scratch<float> col_;
  Scratch<const float*> rows_;
  Scratch<int64_t> ids_;
  Scratch<float> thresholds_;
  Scratch<const float*> qp_;
  const float* qt_ = nullptr;
  int32_t nq_ = 0;
  SliceTops<TopK>* tops_ = nullptr;
  int64_t n_ = 0;
};

// Runs `feed_rows(feed)`, which feeds every row in offer order, once per
// slice of queries; each query gets m slots at stride k.
template <class FeedRows>
void scan_batch(const float* queries, int32_t nq, int32_t dim, int32_t k, int32_t m,
                int64_t* out_ids, float* out_scores, FeedRows&& feed_rows) {
  const int32_t slice = std::min(nq, slice_for(dim, m));
  const int64_t d = dim > 0 ? dim : 0;
  Scratch<float> qt(d * slice);
  MultiFeed feed(dim, block_rows_for(dim), slice);
  SliceTops<TopK> tops(slice);
  for (int32_t first = 0; first < nq; first += slice) {
    const int32_t n = std::min(slice, nq - first);
    if (d > 0) transpose_queries(queries + first * d, n, dim, qt.get());
    tops.open(first, n, k, m, out_ids, out_scores);
    feed.start(queries + first * d, qt.get(), n, &tops);
    feed_rows(feed);
    feed.flush();
    tops.close();
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
// IVF: every query of a slice chooses its own probes; each list probed by
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
  int32_t slice = std::min(nq, slice_for(dim, k));
  slice = static_cast<int32_t>(std::min<int64_t>(
      slice, std::max<int64_t>(1, kBatchCentroidBudget / std::max(nlist, cap))));
  const int32_t block_rows = block_rows_for(dim);
  const ScoreKernels& kernels = active_kernels();

  Scratch<float> qt(d * slice);
  Scratch<float> sub_qt(d * slice);
  Scratch<float> centroid_scores(int64_t{nlist} * slice);
  Scratch<float> column(nlist);
  Scratch<float> heap_scores(cap);
  Scratch<int32_t> probes(int64_t{cap} * slice);
  Scratch<int32_t> probe_count(slice);
  Scratch<int32_t> list_start(int64_t{nlist} + 1);
  // The (query, probe rank) pairs of the slice grouped by list.
  Scratch<int32_t> by_list(int64_t{cap} * slice);
  Scratch<int32_t> by_list_rank(int64_t{cap} * slice);
  Scratch<float> scores(int64_t{block_rows} * slice);
  Scratch<float> col(block_rows);
  Scratch<const float*> member_query(slice);
  Scratch<const float*> slice_query(slice);
  Scratch<const float*> rows(block_rows);
  Scratch<int64_t> ids(block_rows);
  Scratch<int64_t> positions(block_rows);
  Scratch<float> floors(slice);
  Scratch<int32_t> members(slice);
  Scratch<int64_t> member_rank(slice);
  SliceTops<RankedTopK> tops(slice);

  for (int32_t first = 0; first < nq; first += slice) {
    const int32_t n = std::min(slice, nq - first);
    if (d > 0) transpose_queries(queries + first * d, n, dim, qt.get());
    tops.open(first, n, k, k, out_ids, out_scores);
    if (cap > 0) {
      for (int32_t q = 0; q < n; ++q) slice_query[q] = queries + (first + q) * d;
      score_tile(kernels, true, e.centroids, nullptr, nlist, qt.get(), slice_query.get(), n, dim,
                 column.get(), centroid_scores.get());
      for (int32_t q = 0; q < n; ++q) {
        for (int32_t c = 0; c < nlist; ++c) column[c] = centroid_scores[int64_t{c} * n + q];
        probe_count[q] = select_probes(column.get(), nlist, e.nprobe, heap_scores.get(),
                                       probes.get() + int64_t{q} * cap);
      }
    } else {
      for (int32_t q = 0; q < n; ++q) probe_count[q] = 0;
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
      const int32_t ns = group_end - group_begin;
      const int32_t group = group_begin;
      group_begin = group_end;
      if (ns == 0) continue;
      int64_t start = e.list_offsets[c];
      int64_t end = e.list_offsets[c + 1];
      if (start >= end) continue;
      start = std::max<int64_t>(start, 0);
      end = std::min(end, e.id_count);
      if (start >= end) continue;
      for (int32_t s = 0; s < ns; ++s) {
        members[s] = by_list[group + s];
        member_rank[s] = int64_t{by_list_rank[group + s]} << 32;
        member_query[s] = queries + (first + members[s]) * d;
      }
      // The transposed queries of just this list's queries.
      for (int64_t j = 0; ns >= kBatchMinMulti && j < d; ++j) {
        const float* src = qt.get() + j * n;
        float* dst = sub_qt.get() + j * ns;
        for (int32_t s = 0; s < ns; ++s) dst[s] = src[members[s]];
      }
      int64_t p = start;
      while (p < end) {
        int32_t count = 0;
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
        score_tile(kernels, run, rows[0], rows.get(), count, sub_qt.get(),
                   member_query.get(), ns, dim, col.get(), scores.get());
        for (int32_t s = 0; s < ns; ++s) floors[s] = tops[members[s]].floor();
        const float* sc = scores.get();
        for (int32_t i = 0; i < count; ++i, sc += ns) {
          int hit = 0;
          for (int32_t s = 0; s < ns; ++s) hit |= sc[s] >= floors[s];
          if (hit == 0) continue;
          for (int32_t s = 0; s < ns; ++s) {
            if (sc[s] >= floors[s]) {
              RankedTopK& top = tops[members[s]];
              top.offer(sc[s], ids[i], member_rank[s] | positions[i]);
              floors[s] = top.floor();
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
