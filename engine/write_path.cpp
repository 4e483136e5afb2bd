#include "write_path.h"

#include <algorithm>
#include <cstring>

#include "alloc.h"
#include "base_search.h"
#include "topk.h"

namespace zv {

namespace {

// Candidates resolved to rows, and their rows prefetched, before scoring.
constexpr int32_t kSearchBatch = 64;
// Lines of a candidate's row prefetched ahead; the hardware streams the rest.
constexpr int64_t kPrefetchLines = 16;

// Sets bit r; true when it was clear.
inline bool set_bit(uint64_t* words, int64_t r) {
  const uint64_t m = UINT64_C(1) << (r & 63);
  const bool was_clear = (words[r >> 6] & m) == 0;
  words[r >> 6] |= m;
  return was_clear;
}

// Clears bit r; true when it was set.
inline bool clear_bit(uint64_t* words, int64_t r) {
  const uint64_t m = UINT64_C(1) << (r & 63);
  const bool was_set = (words[r >> 6] & m) != 0;
  words[r >> 6] &= ~m;
  return was_set;
}

// Hides every base row holding `id`: it was shadowed or deleted.
void hide_base_rows(IndexRecord& rec, int64_t id, uint64_t h) {
  if (rec.base_visible == nullptr) return;
  for (int64_t r = base_row_of(rec, id, h); r >= 0;
       r = rec.base_dup_prev != nullptr ? rec.base_dup_prev[r] : -1) {
    if (clear_bit(rec.base_visible, r)) --rec.base_visible_count;
  }
}

void show_delta_row(IndexRecord& rec, int64_t r) {
  if (set_bit(rec.delta_visible.data(), r)) ++rec.delta_visible_count;
}

void hide_delta_row(IndexRecord& rec, int64_t r) {
  if (clear_bit(rec.delta_visible.data(), r)) --rec.delta_visible_count;
}

// Software pipeline over a write batch: the map slots and the id table entry
// of row i + kAhead are prefetched while row i is handled, so the lookups'
// cache misses overlap. Each id is hashed once; act(i, h) gets the hash.
constexpr int32_t kAhead = 16;

template <class Act>
void pipelined(const IndexRecord& rec, const int64_t* ids, int32_t n, Act&& act) {
  uint64_t ring[kAhead];
  auto fetch = [&](int32_t i) {
    const int64_t id = ids[i];
    const uint64_t h = id_hash(rec, id);
    ring[i % kAhead] = h;
    rec.tombstones.prefetch(id, h);
    rec.delta_rows.prefetch(id, h);
    if (id >= 0 && id <= rec.max_base_id) {
      if (rec.id_to_row != nullptr) __builtin_prefetch(rec.id_to_row + id);
      else rec.id_to_row_sparse.prefetch(id, h);
    }
  };
  for (int32_t i = 0; i < n && i < kAhead; ++i) fetch(i);
  for (int32_t i = 0; i < n; ++i) {
    act(i, ring[i % kAhead]);
    if (i + kAhead < n) fetch(i + kAhead);
  }
}

// Updates of ids written together before land in runs of consecutive delta
// rows, and each run is copied with one memcpy: large copies reach the
// streaming speed that row-sized ones cannot. (Appends stay row by row: new
// capacity is untouched memory, where row-sized copies fault pages in
// faster.) Runs are flushed in batch order, so a repeated id still ends with
// its last row.
class OverwriteRuns {
 public:
  OverwriteRuns(IndexRecord& rec, const float* vectors, int64_t d) : rec_(rec), src_(vectors), d_(d) {}
  ~OverwriteRuns() { flush(); }

  // Batch row i replaces the floats of delta row r.
  void add(int32_t i, int64_t r) {
    if (d_ == 0) return;
    if (count_ > 0 && i == first_ + count_ && r == row_ + count_) {
      ++count_;
      return;
    }
    flush();
    first_ = i;
    row_ = r;
    count_ = 1;
  }

  void flush() {
    if (count_ == 0) return;
    // Only inside the floats stored for the rows, whatever happened to dim.
    const int64_t stored = rec_.delta_vectors.size() / d_;
    const int64_t count = std::min(count_, stored - row_);
    if (count > 0) {
      std::memcpy(rec_.delta_vectors.data() + row_ * d_, src_ + int64_t{first_} * d_,
                  static_cast<std::size_t>(count * d_) * sizeof(float));
    }
    count_ = 0;
  }

 private:
  IndexRecord& rec_;
  const float* src_;
  int64_t d_;
  int32_t first_ = 0;
  int64_t row_ = 0;
  int64_t count_ = 0;
};

// Batch row i (floats at `src`, d of them) under id `id`.
void insert_one(IndexRecord& rec, int64_t id, uint64_t h, int32_t i, const float* src, int64_t d,
                int64_t v, OverwriteRuns& overwrites) {
  bool was_deleted = false;
  if (int64_t* t = rec.tombstones.find(id, h)) {
    was_deleted = *t != 0;
    *t = 0;
  }
  bool inserted;
  const int64_t r = rec.delta_rows.upsert(id, h, rec.delta_ids.size(), &inserted);
  if (inserted) {
    rec.delta_ids.push_back(id);
    rec.delta_versions.push_back(v);
    rec.delta_vectors.append(src, d);
    if ((r & 63) == 0) rec.delta_visible.push_back(0);
    show_delta_row(rec, r);
    // A deleted id's base rows are hidden already.
    if (!was_deleted) hide_base_rows(rec, id, h);
    return;
  }
  overwrites.add(i, r);
  rec.delta_versions[r] = v;
  if (was_deleted) show_delta_row(rec, r);
}

void delete_one(IndexRecord& rec, int64_t id, uint64_t h, int64_t v) {
  bool inserted;
  int64_t& t = rec.tombstones.upsert(id, h, v, &inserted);
  const bool was_deleted = !inserted && t != 0;
  t = v;
  if (was_deleted) return;
  // A delta row shadows the base rows, which are hidden already.
  if (const int64_t* r = rec.delta_rows.find(id, h)) hide_delta_row(rec, *r);
  else hide_base_rows(rec, id, h);
}

}  // namespace

int64_t insert_rows(IndexRecord& rec, const float* vectors, const int64_t* ids, int32_t n) {
  if (n <= 0) return rec.version;
  rec.mutated = 1;
  const int64_t v = ++rec.version;
  const int64_t d = rec.dim > 0 ? rec.dim : 0;
  rec.delta_rows.reserve_for_batch(n);
  OverwriteRuns overwrites(rec, vectors, d);
  pipelined(rec, ids, n, [&](int32_t i, uint64_t h) {
    insert_one(rec, ids[i], h, i, vectors + int64_t{i} * d, d, v, overwrites);
  });
  return v;
}

int64_t delete_ids(IndexRecord& rec, const int64_t* ids, int32_t n) {
  if (n <= 0) return rec.version;
  rec.mutated = 1;
  const int64_t v = ++rec.version;
  rec.tombstones.reserve_for_batch(n);
  pipelined(rec, ids, n, [&](int32_t i, uint64_t h) { delete_one(rec, ids[i], h, v); });
  return v;
}

void rebuild_visibility(IndexRecord& rec) {
  rec.delta_visible.release();
  rec.delta_visible_count = 0;
  rec.base_visible_count = 0;

  const int64_t delta_count = rec.delta_ids.size();
  for (int64_t r = 0; r < delta_count; ++r) {
    if ((r & 63) == 0) rec.delta_visible.push_back(0);
    const int64_t id = rec.delta_ids[r];
    if (!is_deleted(rec, id, id_hash(rec, id))) show_delta_row(rec, r);
  }

  const int64_t n = rec.base_count;
  const int64_t words = (n + 63) / 64;
  reuse_or_alloc(rec.base_visible, rec.base_visible_capacity, words);
  if (n <= 0) return;
  std::memset(rec.base_visible, 0xff, static_cast<std::size_t>(words) * sizeof(uint64_t));
  if (n & 63) rec.base_visible[words - 1] = (UINT64_C(1) << (n & 63)) - 1;
  rec.base_visible_count = n;
  // Shadowed rows: found from the (usually few) delta ids.
  for (int64_t r = 0; r < delta_count; ++r) {
    const int64_t id = rec.delta_ids[r];
    hide_base_rows(rec, id, id_hash(rec, id));
  }
  // Deleted rows: the tombstones are not listed anywhere, so each base row
  // asks; an index that never deleted skips this pass.
  if (rec.tombstones.size() == 0) return;
  constexpr int64_t kAhead = 16;
  for (int64_t r = 0; r < n; ++r) {
    if (r + kAhead < n) {
      const int64_t ahead = rec.base_ids[r + kAhead];
      rec.tombstones.prefetch(ahead, id_hash(rec, ahead));
    }
    if (!row_bit(rec.base_visible, r)) continue;
    const int64_t id = rec.base_ids[r];
    if (is_deleted(rec, id, id_hash(rec, id)) && clear_bit(rec.base_visible, r)) {
      --rec.base_visible_count;
    }
  }
}

void release_visibility(IndexRecord& rec) {
  free_bytes(rec.base_visible);
  rec.base_visible = nullptr;
  rec.base_visible_capacity = 0;
  rec.base_visible_count = 0;
  rec.delta_visible.release();
  rec.delta_visible_count = 0;
}

int64_t visible_count(const IndexRecord& rec) {
  return rec.delta_visible_count + rec.base_visible_count;
}

int64_t visible_ids(const IndexRecord& rec, int64_t* out_ids) {
  int64_t count = 0;
  walk_visible(
      rec,
      [&](int64_t first, int64_t c) {
        std::memcpy(out_ids + count, rec.delta_ids.data() + first, static_cast<std::size_t>(c) * sizeof(int64_t));
        count += c;
      },
      [&](int64_t first, int64_t c) {
        std::memcpy(out_ids + count, rec.base_ids + first, static_cast<std::size_t>(c) * sizeof(int64_t));
        count += c;
      });
  return count;
}

int64_t export_visible(const IndexRecord& rec, float* out_vectors, int64_t* out_ids) {
  const int64_t d = rec.dim > 0 ? rec.dim : 0;
  const std::size_t row_bytes = static_cast<std::size_t>(d) * sizeof(float);
  const int64_t stored_delta_rows = d > 0 ? rec.delta_vectors.size() / d : 0;
  int64_t count = 0;
  walk_visible(
      rec,
      [&](int64_t first, int64_t c) {
        std::memcpy(out_ids + count, rec.delta_ids.data() + first, static_cast<std::size_t>(c) * sizeof(int64_t));
        if (d > 0) {
          // Rows the stored floats do not cover read as zeros.
          const int64_t stored = std::clamp<int64_t>(stored_delta_rows - first, 0, c);
          float* dst = out_vectors + count * d;
          if (stored > 0) std::memcpy(dst, rec.delta_vectors.data() + first * d, static_cast<std::size_t>(stored) * row_bytes);
          if (stored < c) std::memset(dst + stored * d, 0, static_cast<std::size_t>(c - stored) * row_bytes);
        }
        count += c;
      },
      [&](int64_t first, int64_t c) {
        std::memcpy(out_ids + count, rec.base_ids + first, static_cast<std::size_t>(c) * sizeof(int64_t));
        if (d > 0) std::memcpy(out_vectors + count * d, rec.base_vectors + first * d, static_cast<std::size_t>(c) * row_bytes);
        count += c;
      });
  return count;
}

// The derived bits answer the visibility rule for an id's rows, so a
// candidate needs no tombstone lookup: the base row id_to_row names is
// visible exactly when the id has no delta row and is not deleted, and a
// delta row's bit says whether its id is deleted. Batches overlap the
// lookups' and the rows' cache misses, then score through the gather kernel.
int32_t search_mvcc(const IndexRecord& rec, const int64_t* ids, int32_t n, const float* query,
                    int32_t k, int64_t* out_ids, float* out_scores) {
  if (k <= 0) return 0;
  TopK topk(out_ids, out_scores, k);
  const int64_t d = rec.dim > 0 ? rec.dim : 0;
  const int64_t lines = std::min<int64_t>(kPrefetchLines, (d * 4 + 63) / 64);
  const bool has_delta = rec.delta_rows.size() > 0;
  const bool dense = rec.id_to_row != nullptr;

  uint64_t hashes[kSearchBatch];
  const float* rows[kSearchBatch];
  int64_t row_ids[kSearchBatch];
  for (int32_t first = 0; first < n; first += kSearchBatch) {
    const int32_t count = std::min(kSearchBatch, n - first);
    const int64_t* batch = ids + first;
    for (int32_t j = 0; j < count; ++j) {
      const int64_t id = batch[j];
      hashes[j] = id_hash(rec, id);
      if (has_delta) rec.delta_rows.prefetch(id, hashes[j]);
      if (id >= 0 && id <= rec.max_base_id) {
        if (dense) __builtin_prefetch(rec.id_to_row + id);
        else rec.id_to_row_sparse.prefetch(id, hashes[j]);
      }
    }
    int32_t found = 0;
    for (int32_t j = 0; j < count; ++j) {
      const int64_t id = batch[j];
      const float* vec = nullptr;
      const int64_t base_row = base_row_of(rec, id, hashes[j]);
      if (base_row >= 0 && row_bit(rec.base_visible, base_row)) {
        vec = d > 0 ? base_row_vector(rec, base_row) : kNoFloats;
      } else if (has_delta) {
        const int64_t* r = rec.delta_rows.find(id, hashes[j]);
        if (r != nullptr && row_bit(rec.delta_visible.data(), *r)) vec = delta_vector(rec, *r);
      }
      if (vec == nullptr) continue;
      for (int64_t l = 0; l < lines; ++l) __builtin_prefetch(reinterpret_cast<const char*>(vec) + l * 64);
      rows[found] = vec;
      row_ids[found] = id;
      ++found;
    }
    offer_row_ptrs(rows, row_ids, found, query, rec.dim, topk);
  }
  return k;
}

}  // namespace zv
