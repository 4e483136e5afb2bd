// The write path (upserts into the delta, tombstone deletes) and the visible
// state it lays over the base: which rows readers see, in which order, and
// the readers built on that walk.
//
// Visibility. A delta row is visible while its id is not deleted (no
// tombstone, or tombstone 0). A base row is visible while its id has no delta
// row and is not deleted. Readers meet visible rows in walk order: delta rows
// by row number, then base rows by row number.
//
// Derived state. Testing that rule per row would cost a hash lookup or two
// for every stored row on every read, so the writers keep its answer instead:
// one bit per delta row and per base row (IndexRecord::delta_visible,
// base_visible) and the number of set bits of each. Every write keeps them
// exact:
//   - insert of x: x's delta row becomes visible; when x gets a new delta
//     row, x's base rows become shadowed (all of them: base ids may repeat,
//     base_dup_prev chains them). Nothing ever makes a base row visible again
//     before the next build, since x keeps its delta row forever.
//   - delete of x (not already deleted): x's delta row, or else x's base
//     rows, are hidden.
//   - build: the base bits are recomputed from delta_rows and tombstones.
// Readers only read the bits, so the walk skips 64 hidden rows per word and
// costs no hashing; the tombstone and delta maps are consulted by readers
// only to find an id's row.
#pragma once

#include <cstdint>

#include "index_record.h"

namespace zv {

int64_t insert_rows(IndexRecord& rec, const float* vectors, const int64_t* ids, int32_t n);
int64_t delete_ids(IndexRecord& rec, const int64_t* ids, int32_t n);

// An id is deleted when its tombstone holds a value other than 0.
inline bool is_deleted(const IndexRecord& rec, int64_t id, uint64_t h) {
  const int64_t* t = rec.tombstones.find(id, h);
  return t != nullptr && *t != 0;
}

// Stands in for the vector of a row with no floats (dim <= 0): a valid
// pointer that is never read.
inline constexpr float kNoFloats[1] = {0.0f};

// The vector of delta row r, or nullptr when the stored floats do not cover
// it (they always do while the dimension is unchanged; readers stay safe
// regardless). With dim <= 0 every row has its (empty) vector.
inline const float* delta_vector(const IndexRecord& rec, int64_t r) {
  const int64_t d = rec.dim > 0 ? rec.dim : 0;
  if (d == 0) return kNoFloats;
  if (r < 0 || (r + 1) * d > rec.delta_vectors.size()) return nullptr;
  return rec.delta_vectors.data() + r * d;
}

inline bool row_bit(const uint64_t* words, int64_t r) {
  return (words[r >> 6] >> (r & 63)) & 1u;
}

// The visibility walk: every reader of the visible state meets rows in this
// order. Calls delta_run(first, count) for runs of visible delta rows in row
// order, then base_run(first, count) for runs of visible base rows in row
// order. Runs are maximal only as far as is cheap to know; callers must not
// rely on where one run ends and the next begins.
template <class DeltaRun, class BaseRun>
void walk_visible(const IndexRecord& rec, DeltaRun&& delta_run, BaseRun&& base_run);

// Recomputes the derived visibility state from the delta, the tombstones and
// the current base; the build calls it once the new base is in place.
void rebuild_visibility(IndexRecord& rec);
void release_visibility(IndexRecord& rec);

int64_t visible_count(const IndexRecord& rec);
int64_t visible_ids(const IndexRecord& rec, int64_t* out_ids);
int64_t export_visible(const IndexRecord& rec, float* out_vectors, int64_t* out_ids);

int32_t search_mvcc(const IndexRecord& rec, const int64_t* ids, int32_t n, const float* query,
                    int32_t k, int64_t* out_ids, float* out_scores);

// ---------------------------------------------------------------------------

namespace visibility_detail {

// First bit at or after `from`, among the first `n` bits, that differs from
// `flip`'s pattern: flip = 0 finds a set bit, flip = ~0 a clear one. n when
// there is none.
inline int64_t next_bit(const uint64_t* words, int64_t from, int64_t n, uint64_t flip) {
  if (from >= n) return n;
  int64_t w = from >> 6;
  const int64_t last = (n - 1) >> 6;
  uint64_t word = (words[w] ^ flip) & (~UINT64_C(0) << (from & 63));
  while (word == 0) {
    if (++w > last) return n;
    word = words[w] ^ flip;
  }
  const int64_t r = (w << 6) + __builtin_ctzll(word);
  return r < n ? r : n;
}

// Calls run(first, count) for each maximal run of set bits among the first
// `n` bits, which hold `set` set bits in all.
template <class Run>
void for_each_run(const uint64_t* words, int64_t n, int64_t set, Run& run) {
  if (set <= 0 || n <= 0) return;
  if (set >= n) {
    run(int64_t{0}, n);
    return;
  }
  int64_t left = set;
  int64_t r = next_bit(words, 0, n, 0);
  while (r < n) {
    const int64_t end = next_bit(words, r, n, ~UINT64_C(0));
    run(r, end - r);
    left -= end - r;
    if (left <= 0) return;  // the rest is hidden; don't scan it
    r = next_bit(words, end, n, 0);
  }
}

}  // namespace visibility_detail

// The two halves of the walk, for readers that treat them differently.
template <class DeltaRun>
void walk_visible_delta(const IndexRecord& rec, DeltaRun&& delta_run) {
  visibility_detail::for_each_run(rec.delta_visible.data(), rec.delta_ids.size(),
                                  rec.delta_visible_count, delta_run);
}
template <class BaseRun>
void walk_visible_base(const IndexRecord& rec, BaseRun&& base_run) {
  visibility_detail::for_each_run(rec.base_visible, rec.base_count, rec.base_visible_count,
                                  base_run);
}

template <class DeltaRun, class BaseRun>
void walk_visible(const IndexRecord& rec, DeltaRun&& delta_run, BaseRun&& base_run) {
  walk_visible_delta(rec, delta_run);
  walk_visible_base(rec, base_run);
}

}  // namespace zv
