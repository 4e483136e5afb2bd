#include "write_path.h"

#include <algorithm>
#include <cstring>

#include "row_feed.h"
#include "topk.h"
#include "walk_ahead.h"

namespace zv {

int64_t insert_rows(IndexRecord& rec, const float* vectors, const int64_t* ids, int32_t n) {
  return rec.writes.insert(rec.base, rec.dim, vectors, ids, n);
}

int64_t delete_ids(IndexRecord& rec, const int64_t* ids, int32_t n) {
  return rec.writes.remove(rec.base, ids, n);
}

int64_t visible_count(const IndexRecord& rec) {
  return rec.writes.delta_visible_count() + rec.writes.base_visible_count();
}

int64_t visible_ids(const IndexRecord& rec, int64_t* out_ids) {
  const int64_t* delta_ids = rec.writes.delta_ids();
  const int64_t* base_ids = rec.base.ids();
  int64_t count = 0;
  walk_visible(
      rec.writes, rec.base,
      [&](int64_t first, int64_t c) {
        std::memcpy(out_ids + count, delta_ids + first, static_cast<std::size_t>(c) * sizeof(int64_t));
        count += c;
      },
      [&](int64_t first, int64_t c) {
        std::memcpy(out_ids + count, base_ids + first, static_cast<std::size_t>(c) * sizeof(int64_t));
        count += c;
      });
  return count;
}

int64_t export_visible(const IndexRecord& rec, float* out_vectors, int64_t* out_ids) {
  const WriteState& w = rec.writes;
  const int64_t d = rec.dim > 0 ? rec.dim : 0;
  const std::size_t row_bytes = static_cast<std::size_t>(d) * sizeof(float);
  const int64_t stored_delta_rows = d > 0 ? w.delta_float_count() / d : 0;
  int64_t count = 0;
  walk_visible(
      w, rec.base,
      [&](int64_t first, int64_t c) {
        std::memcpy(out_ids + count, w.delta_ids() + first, static_cast<std::size_t>(c) * sizeof(int64_t));
        if (d > 0) {
          // Rows the stored floats do not cover read as zeros.
          const int64_t stored = std::clamp<int64_t>(stored_delta_rows - first, 0, c);
          float* dst = out_vectors + count * d;
          if (stored > 0) std::memcpy(dst, w.delta_floats() + first * d, static_cast<std::size_t>(stored) * row_bytes);
          if (stored < c) std::memset(dst + stored * d, 0, static_cast<std::size_t>(c - stored) * row_bytes);
        }
        count += c;
      },
      [&](int64_t first, int64_t c) {
        std::memcpy(out_ids + count, rec.base.ids() + first, static_cast<std::size_t>(c) * sizeof(int64_t));
        if (d > 0) std::memcpy(out_vectors + count * d, rec.base.row_vector(first), static_cast<std::size_t>(c) * row_bytes);
        count += c;
      });
  return count;
}

// The visibility bits answer the visibility rule for an id's rows, so a
// candidate needs no tombstone lookup: the base row the lookup names is
// visible exactly when the id has no delta row and is not deleted, and a
// delta row's bit says whether its id is deleted. Lookups are requested a
// walk ahead, and the rows found go through the row feeder.
int32_t search_mvcc(const IndexRecord& rec, const int64_t* ids, int32_t n, const float* query,
                    int32_t k, int64_t* out_ids, float* out_scores) {
  if (k <= 0) return 0;
  TopK topk(out_ids, out_scores, k);
  const WriteState& w = rec.writes;
  const Base& base = rec.base;
  const bool has_delta = w.delta_count() > 0;
  const uint64_t* base_visible = w.base_visible();
  const uint64_t* delta_visible = w.delta_visible();
  const IdLookup lookup = base.lookup();
  RowFeed feed(query, rec.dim, topk);
  auto start = [&](int64_t i) {
    const uint64_t h = id_hash(rec, ids[i]);
    if (has_delta) w.prefetch_delta_row_of(ids[i], h);
    lookup.prefetch(ids[i], h);
    return h;
  };
  walk_ahead(n, start, [&](int64_t i, uint64_t h) {
    const int64_t id = ids[i];
    const int64_t base_row = lookup.row_of(id, h);
    if (base_row >= 0 && row_bit(base_visible, base_row)) {
      feed.add(rec.dim > 0 ? base.row_vector(base_row) : kNoFloats, id);
      return;
    }
    if (!has_delta) return;
    const int64_t r = w.delta_row_of(id, h);
    if (r < 0 || !row_bit(delta_visible, r)) return;
    if (const float* vec = w.delta_vector(r, rec.dim)) feed.add(vec, id);
  });
  feed.flush();
  return k;
}

}  // namespace zv
