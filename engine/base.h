// The sealed base: the rows of the last build (vectors and ids), its
// partition table, and the id lookup over it. Nothing outside this part
// reads the id table: every file resolves ids through row_of() and
// prefetch_row_of() (or the same pair on an IdLookup), so the table's
// layout (dense or hashed) is its own business. Rows with the same id are chained (prev_row_of_same_id) so that
// writers can reach every row of an id. The base changes only by load(),
// which replaces it whole.
#pragma once

#include <cstdint>

#include "id_map.h"
#include "owned_array.h"
#include "prefetch.h"

namespace zv {

// Largest base row count, base float count and (exclusive) base id.
inline constexpr int64_t kBaseLimit = INT64_C(1) << 40;

// The id-to-row lookup of a base, as a small value: loops copy it into a
// local, so stores through their output pointers cannot force its fields
// to be reloaded. Valid until the base is next loaded.
class IdLookup {
 public:
  // A dense table's entry for an id no row holds. 32-bit entries halve the
  // table, and with it the cache and TLB misses of every id lookup: deletes
  // one id per call (a miss in the table each) ran 1.15x faster than with
  // 64-bit ones. Bases of kNoRow rows or more use the sparse map.
  static constexpr uint32_t kNoRow = UINT32_MAX;

  // The last row holding `id`, or -1. `h` is IdMap::hash(id, seed); it is
  // read only when the lookup hashes (see direct()).
  int64_t row_of(int64_t id, uint64_t h) const {
    if (id < 0 || id > max_id_) return -1;
    if (table_ != nullptr) {
      const uint32_t row = table_[id];
      return row == kNoRow ? -1 : int64_t{row};
    }
    const int64_t* row = sparse_->find(id, h);
    return row ? *row : -1;
  }
  // Hint that row_of(id, h) comes soon.
  void prefetch(int64_t id, uint64_t h) const {
    if (id < 0 || id > max_id_) return;
    if (table_ != nullptr) prefetch_line(table_ + id);
    else sparse_->prefetch(id, h);
  }
  // Whether row_of() costs one array read and needs no hash.
  bool direct() const { return table_ != nullptr; }
  int64_t max_id() const { return max_id_; }

 private:
  friend class Base;
  IdLookup(const uint32_t* table, const IdMap* sparse, int64_t max_id)
      : table_(table), sparse_(sparse), max_id_(max_id) {}
  const uint32_t* table_;
  const IdMap* sparse_;
  int64_t max_id_;
};

class Base {
 public:
  // `seed` is the id hash seed of the record (see id_map.h).
  explicit Base(uint64_t seed) { sparse_.set_seed(seed); }

  // Replaces the base with copies of the arguments, which the caller has
  // validated (n, dim and the ids within kBaseLimit; `max_id` the largest
  // id). Storage that fits is refilled in place (owned_array.h).
  void load(const float* vectors, int64_t n, int32_t dim, const int64_t* ids,
            const int64_t* partition_keys, const int32_t* partition_offsets,
            const int32_t* partition_sizes, int32_t partition_count, int64_t max_id);

  bool sealed() const { return sealed_; }
  int64_t count() const { return count_; }
  int64_t max_id() const { return max_id_; }
  const float* vectors() const { return vectors_.data(); }
  const int64_t* ids() const { return ids_.data(); }
  // The vector of row r (floats per row as built).
  const float* row_vector(int64_t r) const { return vectors_.data() + r * stride_; }

  int32_t partition_count() const { return partition_count_; }
  const int64_t* partition_keys() const { return keys_.data(); }      // ascending
  const int32_t* partition_offsets() const { return offsets_.data(); }  // first row of each
  const int32_t* partition_sizes() const { return sizes_.data(); }      // rows of each
  // The rows [first, first + size) of the partition with `key` (keys are
  // searched by bisection, as stored); false when the base is unsealed, the
  // key is absent or its range leaves the base.
  bool partition_rows(int64_t key, int64_t& first, int64_t& size) const;

  IdLookup lookup() const { return IdLookup(table_.data(), &sparse_, max_id_); }
  // One-off lookups; loops take lookup() once.
  int64_t row_of(int64_t id, uint64_t h) const { return lookup().row_of(id, h); }
  int64_t row_of(int64_t id) const {
    return row_of(id, table_.empty() ? IdMap::hash(id, sparse_.seed()) : 0);
  }
  void prefetch_row_of(int64_t id, uint64_t h) const { lookup().prefetch(id, h); }
  void prefetch_row_of(int64_t id) const {
    if (id < 0 || id > max_id_) return;
    lookup().prefetch(id, table_.empty() ? IdMap::hash(id, sparse_.seed()) : 0);
  }
  bool direct_lookup() const { return !table_.empty(); }
  uint64_t hash_seed() const { return sparse_.seed(); }

  // The previous row holding the id of row r, or -1: from row_of(id) this
  // walks every row of the id.
  int64_t prev_row_of_same_id(int64_t r) const { return dup_prev_.empty() ? -1 : dup_prev_[r]; }

  // The blocks behind the vectors and the id lookup, for checks that a
  // rebuild refilled them.
  const OwnedArray<float>& vector_storage() const { return vectors_; }
  const void* lookup_storage() const { return table_.data(); }

 private:
  bool sealed_ = false;
  int64_t count_ = 0;
  int64_t stride_ = 0;
  int32_t partition_count_ = 0;
  int64_t max_id_ = -1;
  OwnedArray<float> vectors_;  // count * dim floats
  OwnedArray<int64_t> ids_;
  OwnedArray<int64_t> keys_;
  OwnedArray<int32_t> offsets_;
  OwnedArray<int32_t> sizes_;
  // Id -> last row: dense (max_id + 1 entries, kNoRow for none) while that
  // is compact, empty otherwise, and then `sparse_` gives the same answers.
  OwnedArray<uint32_t> table_;
  IdMap sparse_;
  // Previous row with the same id, -1 for none; empty when ids are distinct.
  OwnedArray<int64_t> dup_prev_;
};

}  // namespace zv
