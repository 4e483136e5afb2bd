// The index record behind every handle: all state of one index, plus the
// lifecycle, statistics, base build and base export.
#pragma once

#include <cstdint>
#include <cstring>

#include "alloc.h"
#include "bulk_copy.h"
#include "grow_list.h"
#include "id_map.h"
#include "zv_runtime.h"

namespace zv {

// Largest base row count, base float count and (exclusive) base id.
inline constexpr int64_t kBaseLimit = INT64_C(1) << 40;

// One host-built IVF index (see ivf.h). Owns its three arrays.
struct IvfEntry {
  int32_t nlist = 0;
  int32_t nprobe = 0;
  float* centroids = nullptr;
  int64_t centroid_floats = 0;   // floats stored in `centroids`
  int64_t* list_ids = nullptr;
  int64_t id_count = 0;          // ids stored in `list_ids`
  int32_t* list_offsets = nullptr;
  int64_t offset_count = 0;      // offsets stored in `list_offsets`
  // Base row of each listed id (-1 for none), id_count of them; derived from
  // the base and refreshed by every build (see ivf.h).
  int64_t* list_rows = nullptr;

  IvfEntry() = default;
  ~IvfEntry() { release(); }
  IvfEntry(const IvfEntry&) = delete;
  IvfEntry& operator=(const IvfEntry&) = delete;
  void release();
};

struct IndexRecord {
  // Seed of the id hash shared by every map below (see id_map.h).
  uint64_t hash_seed = 0;

  // --- dimensions and the sealed base --------------------------------------
  int32_t dim = 0;
  int32_t tag = 0;
  int64_t base_count = 0;
  int32_t sealed = 0;
  int32_t partition_count = 0;
  float* base_vectors = nullptr;          // base_count * dim floats
  int64_t* base_ids = nullptr;            // base_count ids
  int64_t* partition_keys = nullptr;      // partition_count, ascending
  int32_t* partition_offsets = nullptr;   // first base row of each partition
  int32_t* partition_sizes = nullptr;     // rows of each partition
  // Id -> last base row with that id. Dense (max_base_id + 1 entries, -1 for
  // none) while that is compact; otherwise the same answers from a map of
  // O(base_count) memory. Use base_row_of() rather than either directly.
  int64_t* id_to_row = nullptr;
  IdMap id_to_row_sparse;
  int64_t max_base_id = -1;
  // Previous base row with the same id (-1 for none) for every row; absent
  // when the base ids are distinct. Lets writers reach every row of an id.
  int64_t* base_dup_prev = nullptr;
  // Elements allocated behind each base array. A rebuild refills an array
  // that is large enough instead of allocating afresh (reuse_or_alloc): the
  // first touch of fresh memory costs a page fault per page, which made a
  // rebuild several times slower than a plain copy.
  struct {
    int64_t vectors, ids, keys, offsets, sizes, id_table, dup_prev;
  } base_capacity{};

  // --- write path -----------------------------------------------------------
  int64_t version = 0;
  int32_t mutated = 0;
  IdMap delta_rows;                 // id -> delta row
  GrowList<int64_t> delta_ids;      // id of each delta row
  GrowList<int64_t> delta_versions; // version that last wrote each delta row
  GrowList<float> delta_vectors;    // dim floats per delta row
  IdMap tombstones;                 // id -> last delete version; 0 = revived
  // Derived from the above and the base, kept exact by every write (see
  // write_path.h): bit r of word r / 64 is set while row r is visible; bits
  // past the last row are 0.
  GrowList<uint64_t> delta_visible;  // one bit per delta row
  int64_t delta_visible_count = 0;
  uint64_t* base_visible = nullptr;  // one bit per base row
  int64_t base_visible_capacity = 0; // words allocated, kept by rebuilds
  int64_t base_visible_count = 0;

  // --- row metadata ---------------------------------------------------------
  IdMap rowmeta_primary;
  int32_t rowmeta_column_count = 0;
  GrowList<IdMap> rowmeta_columns;
  // Copies of the metadata by base row (base_count values, -1 when absent),
  // kept by the writers so that filters test base rows without hashing. A
  // null copy reads as all -1: columns nobody wrote for a base id cost
  // nothing. One copy per column, always rowmeta_column_count of them.
  int64_t* rowmeta_dense_primary = nullptr;
  GrowList<int64_t*> rowmeta_dense_columns;

  // --- IVF registry ---------------------------------------------------------
  IdMap ivf_index;                  // key -> slot in ivf_list
  GrowList<IvfEntry> ivf_list;

  IndexRecord();
  ~IndexRecord();
  IndexRecord(const IndexRecord&) = delete;
  IndexRecord& operator=(const IndexRecord&) = delete;
};

// The hash of `id` for every map of this record.
inline uint64_t id_hash(const IndexRecord& rec, int64_t id) {
  return IdMap::hash(id, rec.hash_seed);
}

// Base row of `id` (the last row holding it), or -1; `h` is id_hash(rec, id)
// for callers that have it already.
inline int64_t base_row_of(const IndexRecord& rec, int64_t id, uint64_t h) {
  if (id < 0 || id > rec.max_base_id) return -1;
  if (rec.id_to_row != nullptr) return rec.id_to_row[id];
  const int64_t* row = rec.id_to_row_sparse.find(id, h);
  return row ? *row : -1;
}
inline int64_t base_row_of(const IndexRecord& rec, int64_t id) {
  // The dense table needs no hash.
  return base_row_of(rec, id, rec.id_to_row != nullptr ? 0 : id_hash(rec, id));
}

inline const float* base_row_vector(const IndexRecord& rec, int64_t row) {
  return rec.base_vectors + row * static_cast<int64_t>(rec.dim > 0 ? rec.dim : 0);
}

// Releases the six base arrays and the id lookup.
void release_base(IndexRecord& rec);

// Whether `block` (holding `capacity` elements) is kept for `count`: large
// enough and at most twice too large, so a much smaller rebuild gives
// memory back.
template <class T>
bool can_reuse(const T* block, int64_t capacity, int64_t count) {
  return block != nullptr && count > 0 && count <= capacity && capacity / 2 <= count;
}

// Makes `block` hold room for `count` elements (nullptr for none), keeping
// its storage when can_reuse() says so. The contents are not kept.
template <class T>
T* reuse_or_alloc(T*& block, int64_t& capacity, int64_t count) {
  if (can_reuse(block, capacity, count)) return block;
  free_bytes(block);
  block = count > 0 ? alloc_array<T>(count) : nullptr;
  capacity = count > 0 ? count : 0;
  return block;
}

// Replaces the contents of an owned array with `count` elements of `src`,
// keeping its storage as reuse_or_alloc() does.
template <class T>
void refill(T*& block, int64_t& capacity, const T* src, int64_t count) {
  const bool reused = can_reuse(block, capacity, count);
  if (reuse_or_alloc(block, capacity, count) == nullptr) return;
  const std::size_t bytes = static_cast<std::size_t>(count) * sizeof(T);
  if (reused) std::memcpy(block, src, bytes);
  else copy_to_new_block(block, src, bytes);
}

int32_t build_base(IndexRecord& rec, const float* vectors, int64_t n, int32_t dim,
                   const int64_t* ids, const int64_t* partition_keys,
                   const int32_t* partition_offsets, const int32_t* partition_sizes,
                   int32_t partition_count);

int64_t export_base(const IndexRecord& rec, float* out_vectors, int64_t* out_ids);

}  // namespace zv

// The opaque handle of the C interface is the record itself.
struct zv_index : zv::IndexRecord {};
