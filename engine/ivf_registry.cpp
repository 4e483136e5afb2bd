#include "ivf_registry.h"

namespace zv {

namespace {

// Ids whose table entries are prefetched ahead of the one being resolved:
// listed ids come in list order, so nearly every lookup misses the caches.
constexpr int64_t kResolveLookahead = 64;

// rows[p] = base row of ids[p], or -1.
void resolve_rows(const Base& base, const int64_t* ids, int64_t count, int64_t* rows) {
  const IdLookup lookup = base.lookup();
  const uint64_t seed = base.hash_seed();
  auto hash = [&](int64_t id) { return lookup.direct() ? 0 : IdMap::hash(id, seed); };
  for (int64_t p = 0; p < count; ++p) {
    if (p < count - kResolveLookahead) {
      const int64_t ahead = ids[p + kResolveLookahead];
      lookup.prefetch(ahead, hash(ahead));
    }
    rows[p] = lookup.row_of(ids[p], hash(ids[p]));
  }
}

}  // namespace

void IvfRegistry::set(const Base& base, int32_t dim, uint64_t key, int32_t nlist, int32_t nprobe,
                      const float* centroids, const int64_t* list_ids,
                      const int32_t* list_offsets, int32_t id_count) {
  const int64_t d = dim > 0 ? dim : 0;
  const int64_t centroid_floats = nlist > 0 ? d * nlist : 0;
  const int64_t id_total = id_count > 0 ? id_count : 0;
  const int64_t offset_total = nlist >= 0 ? int64_t{nlist} + 1 : 0;

  const int64_t k = static_cast<int64_t>(key);
  const uint64_t h = IdMap::hash(k, index_.seed());
  IvfEntry* entry;
  if (int64_t* slot = index_.find(k, h)) {
    entry = &entries_[*slot];
  } else {
    index_.assign(k, h, entries_.size());
    entry = &entries_.emplace_back();
  }
  // A retrained index of about the same size refills the arrays of the one
  // it replaces, as a rebuild does: no fresh pages to fault in.
  entry->centroids.refill(centroids, centroid_floats);
  entry->list_ids.refill(list_ids, id_total);
  entry->list_offsets.refill(list_offsets, offset_total);
  entry->list_rows.reset(id_total);
  entry->nlist = nlist;
  entry->nprobe = nprobe;
  resolve_rows(base, entry->list_ids.data(), id_total, entry->list_rows.data());
}

void IvfRegistry::refresh(const Base& base) {
  for (int64_t s = 0; s < entries_.size(); ++s) {
    IvfEntry& e = entries_[s];
    resolve_rows(base, e.list_ids.data(), e.list_ids.size(), e.list_rows.data());
  }
}

int32_t IvfRegistry::set_nprobe(uint64_t key, int32_t nprobe) {
  const int64_t* slot = index_.find(static_cast<int64_t>(key));
  if (slot == nullptr) return -1;
  entries_[*slot].nprobe = nprobe;
  return 0;
}

void IvfRegistry::clear() {
  index_.clear();
  entries_.release();
}

}  // namespace zv
