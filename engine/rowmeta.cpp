#include "rowmeta.h"

#include <cstring>

#include "alloc.h"
#include "base_search.h"
#include "score_kernel.h"
#include "topk.h"
#include "write_path.h"

namespace zv {

namespace {

int64_t read_or_absent(const IdMap& map, int64_t id, uint64_t h) {
  const int64_t* v = map.find(id, h);
  return v ? *v : -1;
}
int64_t read_or_absent(const IdMap& map, int64_t id) {
  const int64_t* v = map.find(id);
  return v ? *v : -1;
}

// A dense copy of `n` absent values.
int64_t* absent_copy(int64_t n) {
  int64_t* copy = alloc_array<int64_t>(n);
  std::memset(copy, 0xff, static_cast<std::size_t>(n) * sizeof(int64_t));
  return copy;
}

// Writes `value` to every base row holding the id whose last row is `row`.
// A still-absent copy is allocated only when the value differs from absent.
void write_dense(const IndexRecord& rec, int64_t row, int64_t*& copy, int64_t value) {
  if (copy == nullptr) {
    if (value == -1) return;
    copy = absent_copy(rec.base_count);
  }
  for (int64_t r = row; r >= 0; r = rec.base_dup_prev != nullptr ? rec.base_dup_prev[r] : -1) {
    copy[r] = value;
  }
}

void free_dense_copies(IndexRecord& rec) {
  free_bytes(rec.rowmeta_dense_primary);
  rec.rowmeta_dense_primary = nullptr;
  for (int64_t j = 0; j < rec.rowmeta_dense_columns.size(); ++j) {
    free_bytes(rec.rowmeta_dense_columns[j]);
    rec.rowmeta_dense_columns[j] = nullptr;
  }
}

// Handles ids[0 .. n-1] in order, act(i, hash), while fetch(id, hash) is
// called kAhead ids in advance, so the cache misses of the lookups overlap.
template <class Fetch, class Act>
void run_ahead(const IndexRecord& rec, const int64_t* ids, int32_t n, Fetch&& fetch,
               Act&& act) {
  constexpr int32_t kAhead = 16;
  uint64_t ring[kAhead];
  auto start = [&](int32_t i) {
    const uint64_t h = id_hash(rec, ids[i]);
    ring[i % kAhead] = h;
    fetch(ids[i], h);
  };
  for (int32_t i = 0; i < n && i < kAhead; ++i) start(i);
  for (int32_t i = 0; i < n; ++i) {
    act(i, ring[i % kAhead]);
    if (i + kAhead < n) start(i + kAhead);
  }
}

// The filter resolved once per call: the map that delta rows are tested
// against and the dense copy that base rows are tested against.
struct Filter {
  bool none_pass = false;        // a missing column
  bool all_pass = false;         // kind 0
  const IdMap* map = nullptr;
  const int64_t* dense = nullptr;  // null: every base row reads -1
  int64_t value = 0;
};

Filter resolve_filter(const IndexRecord& rec, int32_t kind, int64_t column, int64_t value) {
  Filter f;
  f.value = value;
  if (kind == ZV_FILTER_ALL) {
    f.all_pass = true;
  } else if (kind == ZV_FILTER_PRIMARY) {
    f.map = &rec.rowmeta_primary;
    f.dense = rec.rowmeta_dense_primary;
  } else if (column < 0 || column >= rec.rowmeta_column_count) {
    f.none_pass = true;
  } else {
    f.map = &rec.rowmeta_columns[column];
    f.dense = rec.rowmeta_dense_columns[column];
  }
  return f;
}

// Calls pass(r) for each delta row r in [first, first + count) whose
// metadata equals the filter value, in row order. Lookups are issued a
// block ahead so that their cache misses overlap.
template <class Pass>
void filter_delta_run(const IndexRecord& rec, const Filter& f, int64_t first, int64_t count,
                      Pass&& pass) {
  if (f.map->is_dense()) {
    // Direct lookups: no hashing, and the hardware prefetches them.
    for (int64_t r = first; r < first + count; ++r) {
      if (read_or_absent(*f.map, rec.delta_ids[r]) == f.value) pass(r);
    }
    return;
  }
  constexpr int64_t kAhead = 16;
  uint64_t hashes[kAhead];
  for (int64_t done = 0; done < count; done += kAhead) {
    const int64_t c = count - done < kAhead ? count - done : kAhead;
    for (int64_t i = 0; i < c; ++i) {
      hashes[i] = id_hash(rec, rec.delta_ids[first + done + i]);
      f.map->prefetch(rec.delta_ids[first + done + i], hashes[i]);
    }
    for (int64_t i = 0; i < c; ++i) {
      const int64_t r = first + done + i;
      if (read_or_absent(*f.map, rec.delta_ids[r], hashes[i]) == f.value) pass(r);
    }
  }
}

// Passing rows in a row at least this long are scored as one block.
constexpr int64_t kMinBlockRun = 32;

// Collects rows to score in offer order: scattered rows are gathered by
// pointer, long contiguous stretches go to the block kernel directly.
class RowFeed {
 public:
  RowFeed(const float* query, int32_t dim, TopK& topk)
      : query_(query), dim_(dim), row_bytes_(dim > 0 ? int64_t{dim} * 4 : 0), topk_(topk) {}

  void add(const float* row, int64_t id) {
    // The kernel prefetches ahead within a batch; the head of each batch
    // is fetched here.
    if (n_ < kPrefetchHead) {
      const char* p = reinterpret_cast<const char*>(row);
      for (int64_t off = 0; off < row_bytes_; off += 64) __builtin_prefetch(p + off, 0, 3);
    }
    rows_[n_] = row;
    ids_[n_] = id;
    if (++n_ == kScanChunk) flush();
  }

  // Consecutive rows (row i at rows + i * dim). Short stretches, as left
  // between hidden or failing rows, would waste most of a block tile, so
  // they join the gathered batch instead.
  void add_run(const float* rows, const int64_t* ids, int64_t count) {
    const int64_t stride = dim_ > 0 ? dim_ : 0;
    if (count < kMinBlockRun) {
      for (int64_t i = 0; i < count; ++i) add(rows + i * stride, ids[i]);
      return;
    }
    flush();
    offer_rows(rows, ids, count, query_, dim_, topk_);
  }

  void flush() {
    if (n_ > 0) offer_row_ptrs(rows_, ids_, n_, query_, dim_, topk_);
    n_ = 0;
  }

 private:
  static constexpr int64_t kPrefetchHead = 32;
  const float* query_;
  int32_t dim_;
  int64_t row_bytes_;
  TopK& topk_;
  const float* rows_[kScanChunk];
  int64_t ids_[kScanChunk];
  int64_t n_ = 0;
};

}  // namespace

int32_t set_rowmeta(IndexRecord& rec, const int64_t* ids, const int64_t* primary_values,
                    const int64_t* column_values, int32_t column_count, int32_t n) {
  if (column_count < rec.rowmeta_column_count) return -1;
  const int64_t added = int64_t{column_count} - rec.rowmeta_columns.size();
  if (added > 0) {
    rec.rowmeta_columns.reserve_more(added);
    rec.rowmeta_dense_columns.reserve_more(added);
    while (rec.rowmeta_columns.size() < column_count) {
      rec.rowmeta_columns.emplace_back().set_seed(rec.hash_seed);
      rec.rowmeta_dense_columns.push_back(nullptr);
    }
  }
  rec.rowmeta_column_count = column_count;
  if (n <= 0) return 0;
  rec.rowmeta_primary.reserve_for_batch(n);
  for (int32_t j = 0; j < column_count; ++j) rec.rowmeta_columns[j].reserve_for_batch(n);
  const bool dense = rec.id_to_row != nullptr;
  auto fetch = [&](int64_t id, uint64_t h) {
    rec.rowmeta_primary.prefetch(id, h);
    for (int32_t j = 0; j < column_count; ++j) rec.rowmeta_columns[j].prefetch(id, h);
    if (dense && id >= 0 && id <= rec.max_base_id) __builtin_prefetch(rec.id_to_row + id);
  };
  run_ahead(rec, ids, n, fetch, [&](int32_t i, uint64_t h) {
    const int64_t id = ids[i];
    const int64_t* values = column_values + int64_t{i} * column_count;
    rec.rowmeta_primary.assign(id, h, primary_values[i]);
    for (int32_t j = 0; j < column_count; ++j) rec.rowmeta_columns[j].assign(id, h, values[j]);
    const int64_t row = base_row_of(rec, id);
    if (row < 0) return;
    write_dense(rec, row, rec.rowmeta_dense_primary, primary_values[i]);
    for (int32_t j = 0; j < column_count; ++j) {
      write_dense(rec, row, rec.rowmeta_dense_columns[j], values[j]);
    }
  });
  return 0;
}

// A base id's metadata is read from the dense copies by base row, which
// hold exactly what the maps hold for it: one id table entry replaces the
// 1 + m map lookups. Other ids (and ids of a sparse table) use the maps.
int32_t export_rowmeta(const IndexRecord& rec, const int64_t* ids, int32_t n,
                       int64_t* out_primary, int64_t* out_columns) {
  const int32_t m = rec.rowmeta_column_count;
  const bool dense = rec.id_to_row != nullptr;
  const int64_t* const* dense_columns = rec.rowmeta_dense_columns.data();
  auto in_table = [&](int64_t id) { return dense && id >= 0 && id <= rec.max_base_id; };
  auto fetch = [&](int64_t id, uint64_t h) {
    if (in_table(id)) {
      __builtin_prefetch(rec.id_to_row + id);
      return;
    }
    rec.rowmeta_primary.prefetch(id, h);
    for (int32_t j = 0; j < m; ++j) rec.rowmeta_columns[j].prefetch(id, h);
  };
  run_ahead(rec, ids, n, fetch, [&](int32_t i, uint64_t h) {
    const int64_t id = ids[i];
    int64_t* columns = out_columns + int64_t{i} * m;
    const int64_t row = in_table(id) ? rec.id_to_row[id] : -1;
    if (row >= 0) {
      out_primary[i] = rec.rowmeta_dense_primary ? rec.rowmeta_dense_primary[row] : -1;
      for (int32_t j = 0; j < m; ++j) columns[j] = dense_columns[j] ? dense_columns[j][row] : -1;
      return;
    }
    out_primary[i] = read_or_absent(rec.rowmeta_primary, id, h);
    for (int32_t j = 0; j < m; ++j) columns[j] = read_or_absent(rec.rowmeta_columns[j], id, h);
  });
  return m;
}

bool row_matches(const IndexRecord& rec, int64_t id, int32_t kind, int64_t column, int64_t value) {
  if (kind == ZV_FILTER_ALL) return true;
  if (kind == ZV_FILTER_PRIMARY) return read_or_absent(rec.rowmeta_primary, id, id_hash(rec, id)) == value;
  if (column < 0 || column >= rec.rowmeta_column_count) return false;
  return read_or_absent(rec.rowmeta_columns[column], id, id_hash(rec, id)) == value;
}

// Visible base rows whose dense copy equals `value`, 8 rows a step. With
// `visible` set, the base's visibility bits mask each step, so one pass over
// the whole base replaces many short runs between hidden rows.
int64_t match_base_rows(const IndexRecord& rec, const int64_t* dense, int64_t value, int64_t first,
                        int64_t end, bool masked, int64_t* out_ids) {
  // Locals: the stores to out_ids could otherwise alias all of these.
  const int64_t* ids = rec.base_ids;
  const uint64_t* visible = rec.base_visible;
  const int64_t v = value;
  int64_t* out = out_ids;
  int64_t r = first;
  for (; r + 8 <= end; r += 8) {
    uint32_t hits = 0;
    for (int i = 0; i < 8; ++i) hits |= static_cast<uint32_t>(dense[r + i] == v) << i;
    // Steps start at multiples of 8 when masked, so they sit inside one word.
    if (masked) hits &= static_cast<uint32_t>(visible[r >> 6] >> (r & 63));
    for (; hits != 0; hits &= hits - 1) *out++ = ids[r + __builtin_ctz(hits)];
  }
  for (; r < end; ++r) {
    if (dense[r] == v && (!masked || row_bit(visible, r))) *out++ = ids[r];
  }
  return out - out_ids;
}

int64_t match_ids(const IndexRecord& rec, int32_t kind, int32_t column, int64_t value,
                  int64_t* out_ids) {
  const Filter f = resolve_filter(rec, kind, column, value);
  if (f.none_pass) return 0;
  int64_t count = 0;
  auto copy_ids = [&](const int64_t* ids, int64_t c) {
    std::memcpy(out_ids + count, ids, static_cast<std::size_t>(c) * sizeof(int64_t));
    count += c;
  };
  walk_visible_delta(rec, [&](int64_t first, int64_t c) {
    if (f.all_pass) {
      copy_ids(rec.delta_ids.data() + first, c);
      return;
    }
    filter_delta_run(rec, f, first, c, [&](int64_t r) { out_ids[count++] = rec.delta_ids[r]; });
  });
  if (f.all_pass || (f.dense == nullptr && f.value == -1)) {
    walk_visible_base(rec, [&](int64_t first, int64_t c) { copy_ids(rec.base_ids + first, c); });
    return count;
  }
  if (f.dense == nullptr) return count;
  const bool hidden_rows = rec.base_visible_count < rec.base_count;
  if (hidden_rows && rec.base_visible_count * 2 >= rec.base_count) {
    return count + match_base_rows(rec, f.dense, f.value, 0, rec.base_count, true, out_ids + count);
  }
  walk_visible_base(rec, [&](int64_t first, int64_t c) {
    count += match_base_rows(rec, f.dense, f.value, first, first + c, false, out_ids + count);
  });
  return count;
}

int32_t search_filtered(const IndexRecord& rec, int32_t kind, int32_t column, int64_t value,
                        const float* query, int32_t k, int64_t* out_ids, float* out_scores) {
  if (k <= 0) return 0;
  TopK topk(out_ids, out_scores, k);
  const Filter f = resolve_filter(rec, kind, column, value);
  if (f.none_pass) return k;
  const int64_t d = rec.dim > 0 ? rec.dim : 0;
  RowFeed feed(query, rec.dim, topk);
  // A delta row is scored only when the stored floats cover it (with no
  // floats per row its score is 0 and nothing is read).
  const int64_t delta_floats = rec.delta_vectors.size();
  auto add_delta_row = [&](int64_t r) {
    if ((r + 1) * d <= delta_floats) feed.add(rec.delta_vectors.data() + r * d, rec.delta_ids[r]);
  };
  walk_visible_delta(rec, [&](int64_t first, int64_t c) {
    if (f.all_pass) {
      if ((first + c) * d <= delta_floats) {
        feed.add_run(rec.delta_vectors.data() + first * d, rec.delta_ids.data() + first, c);
        return;
      }
      for (int64_t r = first; r < first + c; ++r) add_delta_row(r);
      return;
    }
    filter_delta_run(rec, f, first, c, add_delta_row);
  });
  const bool every_visible_row_passes = f.all_pass || (f.dense == nullptr && f.value == -1);
  // Where most base rows are visible, one masked pass over the whole base
  // streams faster than many short runs between the hidden rows.
  if (every_visible_row_passes && rec.base_visible_count * 2 >= rec.base_count &&
      rec.base_visible_count > 0) {
    feed.flush();
    offer_rows_masked(rec.base_vectors, rec.base_ids, rec.base_count, rec.base_visible, 0, query,
                      rec.dim, topk);
    return k;
  }
  walk_visible_base(rec, [&](int64_t first, int64_t c) {
    if (every_visible_row_passes) {
      feed.add_run(rec.base_vectors + first * d, rec.base_ids + first, c);
      return;
    }
    if (f.dense == nullptr) return;
    const int64_t* dense = f.dense;
    const int64_t v = f.value;
    const int64_t end = first + c;
    int64_t r = first;
    while (r < end) {
      if (dense[r] != v) {
        ++r;
        continue;
      }
      int64_t stop = r + 1;
      while (stop < end && dense[stop] == v) ++stop;
      feed.add_run(rec.base_vectors + r * d, rec.base_ids + r, stop - r);
      r = stop;
    }
  });
  feed.flush();
  return k;
}

void rebuild_rowmeta_dense(IndexRecord& rec) {
  free_dense_copies(rec);
  const int64_t n = rec.base_count;
  if (n <= 0) return;
  const bool any_primary = rec.rowmeta_primary.size() > 0;
  bool any_column = false;
  for (int64_t j = 0; j < rec.rowmeta_columns.size(); ++j) {
    if (rec.rowmeta_columns[j].size() > 0) any_column = true;
  }
  if (!any_primary && !any_column) return;
  for (int64_t r = 0; r < n; ++r) {
    const int64_t id = rec.base_ids[r];
    const uint64_t h = id_hash(rec, id);
    // One row at a time: duplicates are covered by their own rows, so the
    // chain walk of write_dense is not needed here.
    auto fill = [&](const IdMap& map, int64_t*& copy) {
      const int64_t v = read_or_absent(map, id, h);
      if (v == -1) return;
      if (copy == nullptr) copy = absent_copy(n);
      copy[r] = v;
    };
    if (any_primary) fill(rec.rowmeta_primary, rec.rowmeta_dense_primary);
    if (!any_column) continue;
    for (int64_t j = 0; j < rec.rowmeta_columns.size(); ++j) {
      if (rec.rowmeta_columns[j].size() > 0) fill(rec.rowmeta_columns[j], rec.rowmeta_dense_columns[j]);
    }
  }
}

void release_rowmeta_dense(IndexRecord& rec) {
  free_dense_copies(rec);
  rec.rowmeta_dense_columns.release();
}

}  // namespace zv
