#include "rowmeta_store.h"

#include "walk_ahead.h"

namespace zv {

namespace {

int64_t read_or_absent(const IdMap& map, int64_t id, uint64_t h) {
  const int64_t* v = map.find(id, h);
  return v ? *v : -1;
}

// Writes `value` to every base row holding the id whose last row is `row`.
// A still-empty copy is filled with -1 first, and only when the value
// differs from that.
void write_by_row(const Base& base, int64_t row, OwnedArray<int64_t>& copy, int64_t value) {
  if (copy.empty()) {
    if (value == -1) return;
    copy.reset_bytes(base.count(), 0xff);
  }
  for (int64_t r = row; r >= 0; r = base.prev_row_of_same_id(r)) copy[r] = value;
}

}  // namespace

int32_t RowMeta::set(const Base& base, const int64_t* ids, const int64_t* primary_values,
                     const int64_t* column_values, int32_t column_count, int32_t n) {
  if (column_count < columns_.size()) return -1;
  const int64_t added = int64_t{column_count} - columns_.size();
  if (added > 0) {
    columns_.reserve_more(added);
    columns_by_row_.reserve_more(added);
    while (columns_.size() < column_count) {
      columns_.emplace_back().set_seed(seed_);
      columns_by_row_.emplace_back();
    }
  }
  if (n <= 0) return 0;
  primary_.reserve_for_batch(n);
  for (int32_t j = 0; j < column_count; ++j) columns_[j].reserve_for_batch(n);
  const IdLookup lookup = base.lookup();
  auto start = [&](int64_t i) {
    const int64_t id = ids[i];
    const uint64_t h = IdMap::hash(id, seed_);
    primary_.prefetch(id, h);
    for (int32_t j = 0; j < column_count; ++j) columns_[j].prefetch(id, h);
    if (lookup.direct()) lookup.prefetch(id, h);
    return h;
  };
  walk_ahead(n, start, [&](int64_t i, uint64_t h) {
    const int64_t id = ids[i];
    const int64_t* values = column_values + i * column_count;
    primary_.assign(id, h, primary_values[i]);
    for (int32_t j = 0; j < column_count; ++j) columns_[j].assign(id, h, values[j]);
    const int64_t row = lookup.row_of(id, h);
    if (row < 0) return;
    write_by_row(base, row, primary_by_row_, primary_values[i]);
    for (int32_t j = 0; j < column_count; ++j) write_by_row(base, row, columns_by_row_[j], values[j]);
  });
  return 0;
}

// A base id's metadata is read from the copies by base row, which hold
// exactly what the maps hold for it: one id table entry replaces the 1 + m
// map lookups. Other ids (and every id when the lookup hashes) use the maps.
int32_t RowMeta::export_values(const Base& base, const int64_t* ids, int32_t n,
                               int64_t* out_primary, int64_t* out_columns) const {
  const int32_t m = column_count();
  // Locals: the stores to the outputs could otherwise alias all of these.
  const IdLookup lookup = base.lookup();
  const bool by_row = lookup.direct();
  const int64_t* primary_rows = primary_by_row_.data();
  const OwnedArray<int64_t>* column_rows = columns_by_row_.data();
  auto start = [&](int64_t i) {
    const int64_t id = ids[i];
    const uint64_t h = IdMap::hash(id, seed_);
    if (by_row && id >= 0 && id <= lookup.max_id()) {
      lookup.prefetch(id, h);
      return h;
    }
    primary_.prefetch(id, h);
    for (int32_t j = 0; j < m; ++j) columns_[j].prefetch(id, h);
    return h;
  };
  walk_ahead(n, start, [&](int64_t i, uint64_t h) {
    const int64_t id = ids[i];
    int64_t* columns = out_columns + i * m;
    const int64_t row = by_row ? lookup.row_of(id, h) : -1;
    if (row >= 0) {
      out_primary[i] = primary_rows ? primary_rows[row] : -1;
      for (int32_t j = 0; j < m; ++j) {
        const int64_t* c = column_rows[j].data();
        columns[j] = c ? c[row] : -1;
      }
      return;
    }
    out_primary[i] = read_or_absent(primary_, id, h);
    for (int32_t j = 0; j < m; ++j) columns[j] = read_or_absent(columns_[j], id, h);
  });
  return m;
}

void RowMeta::refresh(const Base& base) {
  primary_by_row_.release();
  for (int64_t j = 0; j < columns_by_row_.size(); ++j) columns_by_row_[j].release();
  const int64_t n = base.count();
  if (n <= 0) return;
  const bool any_primary = primary_.size() > 0;
  bool any_column = false;
  for (int64_t j = 0; j < columns_.size(); ++j) {
    if (columns_[j].size() > 0) any_column = true;
  }
  if (!any_primary && !any_column) return;
  const int64_t* base_ids = base.ids();
  for (int64_t r = 0; r < n; ++r) {
    const int64_t id = base_ids[r];
    const uint64_t h = IdMap::hash(id, seed_);
    // One row at a time: duplicates are covered by their own rows, so the
    // chain walk of write_by_row is not needed here.
    auto fill = [&](const IdMap& map, OwnedArray<int64_t>& copy) {
      const int64_t v = read_or_absent(map, id, h);
      if (v == -1) return;
      if (copy.empty()) copy.reset_bytes(n, 0xff);
      copy[r] = v;
    };
    if (any_primary) fill(primary_, primary_by_row_);
    if (!any_column) continue;
    for (int64_t j = 0; j < columns_.size(); ++j) {
      if (columns_[j].size() > 0) fill(columns_[j], columns_by_row_[j]);
    }
  }
}

}  // namespace zv
