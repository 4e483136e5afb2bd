// The IVF registry: host-built inverted-file indexes under 64-bit keys
// (compared bit for bit), in registration order. Each entry owns copies of
// the host's arrays and, derived from the base, the base row of every listed
// id, which refresh() re-resolves after a build so that searches take listed
// rows without an id lookup.
//
// This part reads the base (to resolve listed ids) and never changes it.
#pragma once

#include <cstdint>

#include "base.h"
#include "grow_list.h"
#include "id_map.h"
#include "owned_array.h"

namespace zv {

// One host-built IVF index.
struct IvfEntry {
  int32_t nlist = 0;
  int32_t nprobe = 0;
  OwnedArray<float> centroids;        // nlist * dim floats
  OwnedArray<int64_t> list_ids;       // every list's ids, concatenated
  OwnedArray<int32_t> list_offsets;   // nlist + 1 offsets into list_ids
  OwnedArray<int64_t> list_rows;      // base row of each listed id, -1 for none
};

class IvfRegistry {
 public:
  // `seed` is the id hash seed of the record (see id_map.h).
  explicit IvfRegistry(uint64_t seed) { index_.set_seed(seed); }

  // Registers or replaces the entry under `key`; dim floats per centroid.
  void set(const Base& base, int32_t dim, uint64_t key, int32_t nlist, int32_t nprobe,
           const float* centroids, const int64_t* list_ids, const int32_t* list_offsets,
           int32_t id_count);
  // -1 when no entry has `key`.
  int32_t set_nprobe(uint64_t key, int32_t nprobe);
  void clear();

  // Re-resolves every entry's listed ids against a base just loaded.
  void refresh(const Base& base);

  // The entry under `key`, or nullptr.
  const IvfEntry* find(uint64_t key) const {
    const int64_t* slot = index_.find(static_cast<int64_t>(key));
    return slot ? &entries_[*slot] : nullptr;
  }
  // Entries in registration order: slot_of(key) is the position of key's.
  int64_t size() const { return entries_.size(); }
  const IvfEntry& entry(int64_t slot) const { return entries_[slot]; }
  int64_t slot_of(uint64_t key) const {
    const int64_t* slot = index_.find(static_cast<int64_t>(key));
    return slot ? *slot : -1;
  }

 private:
  IdMap index_;  // key -> slot in entries_
  GrowList<IvfEntry> entries_;
};

}  // namespace zv
