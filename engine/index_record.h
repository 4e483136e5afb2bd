// The index record behind every handle: all state of one index, as one part
// per subsystem, each owning its arrays and keeping its own invariants:
//   base    the sealed base and its id lookup          (base.h)
//   writes  delta, tombstones, version, visibility     (write_state.h)
//   meta    row metadata and its copies by base row    (rowmeta_store.h)
//   ivf     the IVF registry                           (ivf_registry.h)
// The parts read the base and never one another. The build replaces the
// base and then asks each other part to refresh what it derives from it.
#pragma once

#include <cstdint>

#include "base.h"
#include "ivf_registry.h"
#include "rowmeta_store.h"
#include "write_state.h"

namespace zv {

struct IndexRecord {
  // Seed of the id hash shared by every map of the parts (see id_map.h).
  uint64_t hash_seed;
  int32_t dim = 0;
  int32_t tag = 0;
  Base base;
  WriteState writes;
  RowMeta meta;
  IvfRegistry ivf;

  IndexRecord();
  IndexRecord(const IndexRecord&) = delete;
  IndexRecord& operator=(const IndexRecord&) = delete;
};

// The hash of `id` for every map of this record.
inline uint64_t id_hash(const IndexRecord& rec, int64_t id) {
  return IdMap::hash(id, rec.hash_seed);
}

int32_t build_base(IndexRecord& rec, const float* vectors, int64_t n, int32_t dim,
                   const int64_t* ids, const int64_t* partition_keys,
                   const int32_t* partition_offsets, const int32_t* partition_sizes,
                   int32_t partition_count);

int64_t export_base(const IndexRecord& rec, float* out_vectors, int64_t* out_ids);

}  // namespace zv

// The opaque handle of the C interface is the record itself.
struct zv_index : zv::IndexRecord {};
