// The probe order of an IVF search: the best-scoring centroids, best first.
#pragma once

#include <cstdint>

namespace zv {

// Writes to `order` the centroids an IVF search probes, in probe order: at
// most `nprobe` of the `nlist` centroids, by score descending and centroid
// number ascending among equal scores; a centroid scoring NaN or no more
// than EMPTY_SCORE is never chosen. Returns how many were written.
// `order` and `heap_scores` hold min(nprobe, nlist) entries each (none are
// touched when nprobe < 1). O(nlist log nprobe).
int32_t select_probes(const float* scores, int32_t nlist, int32_t nprobe, float* heap_scores,
                      int32_t* order);

}  // namespace zv
