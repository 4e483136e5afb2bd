#include "base_search.h"

#include <algorithm>

#include "walk_ahead.h"

namespace zv {

int32_t search_full(const IndexRecord& rec, const float* query, int32_t k, int64_t* out_ids,
                    float* out_scores) {
  const Base& base = rec.base;
  if (!base.sealed()) return 0;
  const int64_t m = std::min<int64_t>(k, base.count());
  if (m <= 0) return 0;
  TopK topk(out_ids, out_scores, static_cast<int32_t>(m));
  offer_rows(base.vectors(), base.ids(), base.count(), query, rec.dim, topk);
  return static_cast<int32_t>(m);
}

int32_t search_partition(const IndexRecord& rec, int64_t partition_key, const float* query,
                         int32_t k, int64_t* out_ids, float* out_scores) {
  const Base& base = rec.base;
  int64_t first = 0, size = 0;
  if (!base.partition_rows(partition_key, first, size)) return 0;
  const int64_t m = std::min<int64_t>(k, size);
  if (m <= 0) return 0;
  TopK topk(out_ids, out_scores, static_cast<int32_t>(m));
  offer_rows(base.row_vector(first), base.ids() + first, size, query, rec.dim, topk);
  return static_cast<int32_t>(m);
}

// Ids are resolved in candidate order and their rows fed to the scorer.
int32_t scatter_topk(const IndexRecord& rec, const int64_t* ids, int32_t n, const float* query,
                     int32_t k, int64_t* out_ids, float* out_scores) {
  const int32_t m = std::min(k, n);
  if (!rec.base.sealed() || m <= 0) return 0;
  TopK topk(out_ids, out_scores, m);
  RowFeed feed(query, rec.dim, topk);
  const Base& base = rec.base;
  const IdLookup lookup = base.lookup();
  auto feed_id = [&](int64_t i, uint64_t h) {
    const int64_t row = lookup.row_of(ids[i], h);
    if (row >= 0) feed.add(base.row_vector(row), ids[i]);
  };
  if (lookup.direct()) {
    // One table read per id: requesting it ahead cost more than it saved.
    for (int64_t i = 0; i < n; ++i) feed_id(i, 0);
  } else {
    auto start = [&](int64_t i) {
      const uint64_t h = id_hash(rec, ids[i]);
      lookup.prefetch(ids[i], h);
      return h;
    };
    walk_ahead(n, start, feed_id);
  }
  feed.flush();
  return m;
}

int64_t tuner_oversized(const IndexRecord& rec, int32_t min_rows, int64_t* out_keys,
                        int64_t* out_sizes) {
  int64_t count = 0;
  const Base& base = rec.base;
  for (int32_t p = 0; p < base.partition_count(); ++p) {
    if (base.partition_sizes()[p] >= min_rows) {
      out_keys[count] = base.partition_keys()[p];
      out_sizes[count] = static_cast<int64_t>(base.partition_sizes()[p]);
      ++count;
    }
  }
  return count;
}

}  // namespace zv
