// Searches over the sealed base as built (no delta, no tombstones), and the
// partition tuner queries.
#pragma once

#include <cstdint>

#include "index_record.h"
#include "row_feed.h"
#include "topk.h"

namespace zv {

int32_t search_full(const IndexRecord& rec, const float* query, int32_t k, int64_t* out_ids,
                    float* out_scores);
int32_t search_partition(const IndexRecord& rec, int64_t partition_key, const float* query,
                         int32_t k, int64_t* out_ids, float* out_scores);
int32_t scatter_topk(const IndexRecord& rec, const int64_t* ids, int32_t n, const float* query,
                     int32_t k, int64_t* out_ids, float* out_scores);

// What zv_tuner_defaults() reports (see zv_runtime.h): the row count from
// which a partition is oversized, and the one below which it may be merged.
inline constexpr int32_t kTunerDefaultFirst = 20000;
inline constexpr int32_t kTunerDefaultSecond = 980;
int64_t tuner_oversized(const IndexRecord& rec, int32_t min_rows, int64_t* out_keys,
                        int64_t* out_sizes);

}  // namespace zv
