// Searches over the sealed base as built (no delta, no tombstones), the
// scan steps that every search shares, and the partition tuner queries.
#pragma once

#include <cstdint>

#include "index_record.h"
#include "topk.h"

namespace zv {

// Rows scored per kernel call by the shared scan steps.
inline constexpr int64_t kScanChunk = 256;

// Scores `n` contiguous rows (row i at rows + i * dim) and offers each with
// ids[i], in order.
void offer_rows(const float* rows, const int64_t* ids, int64_t n, const float* query,
                int32_t dim, TopK& topk);

// As offer_rows, but offers row i only while bit (first_bit + i) of `bits`
// is set. Every row is scored, so the scan streams at full speed where most
// rows pass; hidden rows cost arithmetic only.
void offer_rows_masked(const float* rows, const int64_t* ids, int64_t n, const uint64_t* bits,
                       int64_t first_bit, const float* query, int32_t dim, TopK& topk);

// Scores `n` rows given by pointers (rows[i] may lie anywhere) and offers
// each with ids[i], in order. For lookups that resolve ids to rows first.
void offer_row_ptrs(const float* const* rows, const int64_t* ids, int64_t n, const float* query,
                    int32_t dim, TopK& topk);

int32_t search_full(const IndexRecord& rec, const float* query, int32_t k, int64_t* out_ids,
                    float* out_scores);
int32_t search_partition(const IndexRecord& rec, int64_t partition_key, const float* query,
                         int32_t k, int64_t* out_ids, float* out_scores);
int32_t scatter_topk(const IndexRecord& rec, const int64_t* ids, int32_t n, const float* query,
                     int32_t k, int64_t* out_ids, float* out_scores);

inline constexpr int32_t kTunerDefaultFirst = 20000;
inline constexpr int32_t kTunerDefaultSecond = 980;
int64_t tuner_oversized(const IndexRecord& rec, int32_t min_rows, int64_t* out_keys,
                        int64_t* out_sizes);

}  // namespace zv
