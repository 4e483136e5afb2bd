#include "ivf.h"

#include <algorithm>

#include "alloc.h"
#include "probe_select.h"
#include "row_feed.h"
#include "score_kernel.h"
#include "topk.h"

namespace zv {

int32_t set_ivf(IndexRecord& rec, uint64_t key, int32_t nlist, int32_t nprobe,
                const float* centroids, const int64_t* list_ids, const int32_t* list_offsets,
                int32_t id_count) {
  rec.ivf.set(rec.base, rec.dim, key, nlist, nprobe, centroids, list_ids, list_offsets, id_count);
  return 0;
}

int32_t set_ivf_nprobe(IndexRecord& rec, uint64_t key, int32_t nprobe) {
  return rec.ivf.set_nprobe(key, nprobe);
}

int32_t has_ivf(const IndexRecord& rec, uint64_t key) { return rec.ivf.find(key) != nullptr ? 1 : 0; }

int32_t clear_ivf(IndexRecord& rec) {
  rec.ivf.clear();
  return 0;
}

// Listed rows are offered in probe order, then position within the list;
// positions outside the stored ids and ids without a base row are skipped.
int32_t search_ivf(const IndexRecord& rec, uint64_t key, const float* query, int32_t k,
                   int64_t* out_ids, float* out_scores) {
  const IvfEntry* e = rec.ivf.find(key);
  if (e == nullptr || k < 1 || e->nlist < 1) return 0;
  const int64_t d = rec.dim > 0 ? rec.dim : 0;
  // An entry whose centroids no longer cover the current dimension cannot be
  // scored without reading past them.
  if (e->centroids.size() < d * e->nlist) return 0;

  TopK topk(out_ids, out_scores, k);
  // One scratch block: the centroid scores, then the probe selection's heap
  // (a score and a centroid number per probe).
  const int32_t cap = std::max(0, std::min(e->nprobe, e->nlist));
  float* centroid_scores = alloc_array<float>(int64_t{e->nlist} + 2 * int64_t{cap});
  float* heap_scores = centroid_scores + e->nlist;
  int32_t* probes = reinterpret_cast<int32_t*>(heap_scores + cap);
  score_block(e->centroids.data(), e->nlist, query, rec.dim, centroid_scores);
  const int32_t probe_count =
      select_probes(centroid_scores, e->nlist, e->nprobe, heap_scores, probes);
  RowFeed feed(query, rec.dim, topk);
  const int64_t* list_ids = e->list_ids.data();
  const int64_t* list_rows = e->list_rows.data();
  const int32_t* offsets = e->list_offsets.data();
  const int64_t id_count = e->list_ids.size();
  for (int32_t probe = 0; probe < probe_count; ++probe) {
    const int32_t c = probes[probe];
    const int64_t start = std::max<int64_t>(offsets[c], 0);
    const int64_t end = std::min<int64_t>(offsets[c + 1], id_count);
    // Listed ids whose rows follow one another in the base (a base laid
    // out by list) go to the feeder as one run.
    for (int64_t p = start; p < end;) {
      const int64_t row = list_rows[p];
      int64_t q = p + 1;
      if (row < 0) {
        p = q;
        continue;
      }
      while (q < end && list_rows[q] == list_rows[q - 1] + 1) ++q;
      feed.add_run(rec.base.row_vector(row), list_ids + p, q - p);
      p = q;
    }
  }
  feed.flush();
  free_bytes(centroid_scores);
  return k;
}

}  // namespace zv
