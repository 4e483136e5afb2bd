#include "rowmeta.h"

#include <cstring>

#include "row_feed.h"
#include "topk.h"
#include "walk_ahead.h"

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

// Calls pass(r) for each delta row r in [first, first + count) whose
// metadata equals the filter value, in row order.
template <class Pass>
void filter_delta_run(const IndexRecord& rec, const Filter& f, int64_t first, int64_t count,
                      Pass&& pass) {
  const int64_t* delta_ids = rec.writes.delta_ids();
  if (f.map->is_dense()) {
    // Direct lookups: no hashing, and the hardware prefetches them.
    for (int64_t r = first; r < first + count; ++r) {
      if (read_or_absent(*f.map, delta_ids[r]) == f.value) pass(r);
    }
    return;
  }
  auto start = [&](int64_t i) {
    const int64_t id = delta_ids[first + i];
    const uint64_t h = id_hash(rec, id);
    f.map->prefetch(id, h);
    return h;
  };
  walk_ahead(count, start, [&](int64_t i, uint64_t h) {
    if (read_or_absent(*f.map, delta_ids[first + i], h) == f.value) pass(first + i);
  });
}

// Visible base rows whose copy by row equals `value`, 8 rows a step. With
// `masked` set, the base's visibility bits mask each step, so one pass over
// the whole base replaces many short runs between hidden rows.
int64_t match_base_rows(const IndexRecord& rec, const int64_t* by_row, int64_t value,
                        int64_t first, int64_t end, bool masked, int64_t* out_ids) {
  // Locals: the stores to out_ids could otherwise alias all of these.
  const int64_t* ids = rec.base.ids();
  const uint64_t* visible = rec.writes.base_visible();
  const int64_t v = value;
  int64_t* out = out_ids;
  int64_t r = first;
  for (; r + 8 <= end; r += 8) {
    uint32_t hits = 0;
    for (int i = 0; i < 8; ++i) hits |= static_cast<uint32_t>(by_row[r + i] == v) << i;
    // Steps start at multiples of 8 when masked, so they sit inside one word.
    if (masked) hits &= static_cast<uint32_t>(visible[r >> 6] >> (r & 63));
    for (; hits != 0; hits &= hits - 1) *out++ = ids[r + __builtin_ctz(hits)];
  }
  for (; r < end; ++r) {
    if (by_row[r] == v && (!masked || row_bit(visible, r))) *out++ = ids[r];
  }
  return out - out_ids;
}

}  // namespace

Filter resolve_filter(const IndexRecord& rec, int32_t kind, int64_t column, int64_t value) {
  Filter f;
  f.value = value;
  if (kind == kFilterAll) {
    f.all_pass = true;
  } else if (kind == kFilterPrimary) {
    f.map = &rec.meta.primary();
    f.by_row = rec.meta.primary_by_row();
  } else if (column < 0 || column >= rec.meta.column_count()) {
    f.none_pass = true;
  } else {
    f.map = &rec.meta.column(static_cast<int32_t>(column));
    f.by_row = rec.meta.column_by_row(static_cast<int32_t>(column));
  }
  return f;
}

int32_t set_rowmeta(IndexRecord& rec, const int64_t* ids, const int64_t* primary_values,
                    const int64_t* column_values, int32_t column_count, int32_t n) {
  return rec.meta.set(rec.base, ids, primary_values, column_values, column_count, n);
}

int32_t export_rowmeta(const IndexRecord& rec, const int64_t* ids, int32_t n,
                       int64_t* out_primary, int64_t* out_columns) {
  return rec.meta.export_values(rec.base, ids, n, out_primary, out_columns);
}

bool row_matches(const IndexRecord& rec, int64_t id, int32_t kind, int64_t column, int64_t value) {
  if (kind == kFilterAll) return true;
  if (kind == kFilterPrimary) return read_or_absent(rec.meta.primary(), id, id_hash(rec, id)) == value;
  if (column < 0 || column >= rec.meta.column_count()) return false;
  return read_or_absent(rec.meta.column(static_cast<int32_t>(column)), id, id_hash(rec, id)) == value;
}

int64_t match_ids(const IndexRecord& rec, int32_t kind, int32_t column, int64_t value,
                  int64_t* out_ids) {
  const Filter f = resolve_filter(rec, kind, column, value);
  if (f.none_pass) return 0;
  const WriteState& w = rec.writes;
  const Base& base = rec.base;
  int64_t count = 0;
  auto copy_ids = [&](const int64_t* ids, int64_t c) {
    std::memcpy(out_ids + count, ids, static_cast<std::size_t>(c) * sizeof(int64_t));
    count += c;
  };
  walk_visible_delta(w, [&](int64_t first, int64_t c) {
    if (f.all_pass) {
      copy_ids(w.delta_ids() + first, c);
      return;
    }
    filter_delta_run(rec, f, first, c, [&](int64_t r) { out_ids[count++] = w.delta_ids()[r]; });
  });
  if (f.all_pass || (f.by_row == nullptr && f.value == -1)) {
    walk_visible_base(w, base, [&](int64_t first, int64_t c) { copy_ids(base.ids() + first, c); });
    return count;
  }
  if (f.by_row == nullptr) return count;
  const bool hidden_rows = w.base_visible_count() < base.count();
  if (hidden_rows && w.base_visible_count() * 2 >= base.count()) {
    return count + match_base_rows(rec, f.by_row, f.value, 0, base.count(), true, out_ids + count);
  }
  walk_visible_base(w, base, [&](int64_t first, int64_t c) {
    count += match_base_rows(rec, f.by_row, f.value, first, first + c, false, out_ids + count);
  });
  return count;
}

int32_t search_filtered(const IndexRecord& rec, int32_t kind, int32_t column, int64_t value,
                        const float* query, int32_t k, int64_t* out_ids, float* out_scores) {
  if (k <= 0) return 0;
  TopK topk(out_ids, out_scores, k);
  const Filter f = resolve_filter(rec, kind, column, value);
  if (f.none_pass) return k;
  const WriteState& w = rec.writes;
  const Base& base = rec.base;
  const int64_t d = rec.dim > 0 ? rec.dim : 0;
  RowFeed feed(query, rec.dim, topk);
  // A delta row is scored only when the stored floats cover it (with no
  // floats per row its score is 0 and nothing is read).
  const int64_t delta_floats = w.delta_float_count();
  auto add_delta_row = [&](int64_t r) {
    if ((r + 1) * d <= delta_floats) feed.add(w.delta_floats() + r * d, w.delta_ids()[r]);
  };
  walk_visible_delta(w, [&](int64_t first, int64_t c) {
    if (f.all_pass) {
      if ((first + c) * d <= delta_floats) {
        feed.add_run(w.delta_floats() + first * d, w.delta_ids() + first, c);
        return;
      }
      for (int64_t r = first; r < first + c; ++r) add_delta_row(r);
      return;
    }
    filter_delta_run(rec, f, first, c, add_delta_row);
  });
  const bool every_visible_row_passes = f.all_pass || (f.by_row == nullptr && f.value == -1);
  // Where most base rows are visible, one masked pass over the whole base
  // streams faster than many short runs between the hidden rows.
  if (every_visible_row_passes && w.base_visible_count() * 2 >= base.count() &&
      w.base_visible_count() > 0) {
    feed.flush();
    offer_rows_masked(base.vectors(), base.ids(), base.count(), w.base_visible(), 0, query,
                      rec.dim, topk);
    return k;
  }
  walk_visible_base(w, base, [&](int64_t first, int64_t c) {
    if (every_visible_row_passes) {
      feed.add_run(base.row_vector(first), base.ids() + first, c);
      return;
    }
    if (f.by_row == nullptr) return;
    const int64_t* by_row = f.by_row;
    const int64_t v = f.value;
    const int64_t end = first + c;
    int64_t r = first;
    while (r < end) {
      if (by_row[r] != v) {
        ++r;
        continue;
      }
      int64_t stop = r + 1;
      while (stop < end && by_row[stop] == v) ++stop;
      feed.add_run(base.row_vector(r), base.ids() + r, stop - r);
      r = stop;
    }
  });
  feed.flush();
  return k;
}

}  // namespace zv
