// IVF indexes as the C interface sees them: the registry calls (see
// ivf_registry.h) and the search that probes the best centroids' lists over
// the sealed base.
#pragma once

#include <cstdint>

#include "index_record.h"

namespace zv {

int32_t set_ivf(IndexRecord& rec, uint64_t key, int32_t nlist, int32_t nprobe,
                const float* centroids, const int64_t* list_ids, const int32_t* list_offsets,
                int32_t id_count);
int32_t set_ivf_nprobe(IndexRecord& rec, uint64_t key, int32_t nprobe);
int32_t has_ivf(const IndexRecord& rec, uint64_t key);
int32_t clear_ivf(IndexRecord& rec);
int32_t search_ivf(const IndexRecord& rec, uint64_t key, const float* query, int32_t k,
                   int64_t* out_ids, float* out_scores);

}  // namespace zv
