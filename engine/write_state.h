// The write state: the delta (upserted rows), the tombstones (deleted ids),
// the version counter, and the visibility they lay over the base.
//
// Visibility. A delta row is visible while its id is not deleted (no
// tombstone, or tombstone 0). A base row is visible while its id has no delta
// row and is not deleted. Readers meet visible rows in walk order: delta rows
// by row number, then base rows by row number.
//
// Derived state. Testing that rule per row would cost a hash lookup or two
// for every stored row on every read, so the writers keep its answer instead:
// one bit per delta row and per base row and the number of set bits of each.
// Every write keeps them exact:
//   - insert of x: x's delta row becomes visible; when x gets a new delta
//     row, x's base rows become shadowed (all of them: base ids may repeat).
//     Nothing ever makes a base row visible again before the next build,
//     since x keeps its delta row forever.
//   - delete of x (not already deleted): x's delta row, or else x's base
//     rows, are hidden.
//   - build: refresh() recomputes the base bits from the delta and the
//     tombstones.
// Readers only read the bits, so the walk skips 64 hidden rows per word and
// costs no hashing; the maps are consulted only to find an id's row.
//
// This part reads the base (to reach an id's base rows) and never changes it.
#pragma once

#include <cstdint>

#include "base.h"
#include "grow_list.h"
#include "id_map.h"
#include "owned_array.h"

namespace zv {

// Stands in for the vector of a row with no floats (dim <= 0): a valid
// pointer that is never read.
inline constexpr float kNoFloats[1] = {0.0f};

inline bool row_bit(const uint64_t* words, int64_t r) {
  return (words[r >> 6] >> (r & 63)) & 1u;
}

class WriteState {
 public:
  // `seed` is the id hash seed of the record (see id_map.h).
  explicit WriteState(uint64_t seed) {
    delta_rows_.set_seed(seed);
    tombstones_.set_seed(seed);
  }

  // A batch of n upserts (vectors of dim floats) or deletes; each returns the
  // new version, or the current one for n <= 0.
  int64_t insert(const Base& base, int32_t dim, const float* vectors, const int64_t* ids,
                 int32_t n);
  int64_t remove(const Base& base, const int64_t* ids, int32_t n);

  // Recomputes the visibility bits against a base just loaded.
  void refresh(const Base& base);

  int64_t version() const { return version_; }
  bool mutated() const { return mutated_; }

  int64_t delta_count() const { return delta_ids_.size(); }
  const int64_t* delta_ids() const { return delta_ids_.data(); }
  // The version that last wrote delta row r.
  int64_t delta_version(int64_t r) const { return delta_versions_[r]; }
  const float* delta_floats() const { return delta_vectors_.data(); }
  int64_t delta_float_count() const { return delta_vectors_.size(); }
  // The vector of delta row r, or nullptr when the stored floats do not
  // cover it (they always do while the dimension is unchanged; readers stay
  // safe regardless). With dim <= 0 every row has its (empty) vector.
  const float* delta_vector(int64_t r, int32_t dim) const {
    const int64_t d = dim > 0 ? dim : 0;
    if (d == 0) return kNoFloats;
    if (r < 0 || (r + 1) * d > delta_vectors_.size()) return nullptr;
    return delta_vectors_.data() + r * d;
  }

  // Delta row of `id`, or -1; `h` is the id's hash.
  int64_t delta_row_of(int64_t id, uint64_t h) const {
    const int64_t* r = delta_rows_.find(id, h);
    return r ? *r : -1;
  }
  void prefetch_delta_row_of(int64_t id, uint64_t h) const { delta_rows_.prefetch(id, h); }
  // An id is deleted when its tombstone holds a value other than 0.
  bool is_deleted(int64_t id, uint64_t h) const {
    const int64_t* t = tombstones_.find(id, h);
    return t != nullptr && *t != 0;
  }
  // The last delete version of `id` (0 once revived), or -1 with no
  // tombstone.
  int64_t tombstone_of(int64_t id, uint64_t h) const {
    const int64_t* t = tombstones_.find(id, h);
    return t ? *t : -1;
  }
  int64_t tombstone_count() const { return tombstones_.size(); }

  // Bit r set while row r is visible; bits past the last row are 0.
  const uint64_t* delta_visible() const { return delta_visible_.data(); }
  int64_t delta_visible_count() const { return delta_visible_count_; }
  const uint64_t* base_visible() const { return base_visible_.data(); }
  int64_t base_visible_count() const { return base_visible_count_; }

 private:
  void hide_base_rows(const Base& base, int64_t id, uint64_t h);
  void show_delta_row(int64_t r);
  void hide_delta_row(int64_t r);

  int64_t version_ = 0;
  bool mutated_ = false;
  IdMap delta_rows_;                 // id -> delta row
  GrowList<int64_t> delta_ids_;      // id of each delta row
  GrowList<int64_t> delta_versions_; // version that last wrote each delta row
  GrowList<float> delta_vectors_;    // dim floats per delta row
  IdMap tombstones_;                 // id -> last delete version; 0 = revived
  GrowList<uint64_t> delta_visible_; // one bit per delta row
  int64_t delta_visible_count_ = 0;
  OwnedArray<uint64_t> base_visible_;  // one bit per base row, kept by rebuilds
  int64_t base_visible_count_ = 0;
};

// The visibility walk: every reader of the visible state meets rows in this
// order. Calls delta_run(first, count) for runs of visible delta rows in row
// order, then base_run(first, count) for runs of visible base rows in row
// order. Runs are maximal only as far as is cheap to know; callers must not
// rely on where one run ends and the next begins.
template <class DeltaRun, class BaseRun>
void walk_visible(const WriteState& w, const Base& base, DeltaRun&& delta_run, BaseRun&& base_run);

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
void walk_visible_delta(const WriteState& w, DeltaRun&& delta_run) {
  visibility_detail::for_each_run(w.delta_visible(), w.delta_count(), w.delta_visible_count(),
                                  delta_run);
}
template <class BaseRun>
void walk_visible_base(const WriteState& w, const Base& base, BaseRun&& base_run) {
  visibility_detail::for_each_run(w.base_visible(), base.count(), w.base_visible_count(),
                                  base_run);
}

template <class DeltaRun, class BaseRun>
void walk_visible(const WriteState& w, const Base& base, DeltaRun&& delta_run, BaseRun&& base_run) {
  walk_visible_delta(w, delta_run);
  walk_visible_base(w, base, base_run);
}

}  // namespace zv
