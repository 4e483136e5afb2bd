// Many queries per call: the full, partition, filtered and IVF searches for a
// batch of queries, each query's result byte-identical to its single call.
//
// Reading the base once per query makes a single search memory-bound; here
// each block of rows is read once for a slice of queries and scored by the
// multi-query kernel (one fma chain per (row, query), so the scores are the
// single call's bits), and each query's top-k lives in the caller's arrays
// as in its single call. Scratch is bounded by the slice, never by the
// number of queries or by k.
#pragma once

#include <cstdint>

#include "index_record.h"

namespace zv {

// Block shapes and budgets: tuning.h.

int32_t search_full_batch(const IndexRecord& rec, const float* queries, int32_t nq, int32_t k,
                          int64_t* out_ids, float* out_scores);
int32_t search_partition_batch(const IndexRecord& rec, int64_t partition_key,
                               const float* queries, int32_t nq, int32_t k, int64_t* out_ids,
                               float* out_scores);
int32_t search_filtered_batch(const IndexRecord& rec, int32_t kind, int32_t column,
                              int64_t value, const float* queries, int32_t nq, int32_t k,
                              int64_t* out_ids, float* out_scores);
int32_t search_ivf_batch(const IndexRecord& rec, uint64_t key, const float* queries, int32_t nq,
                         int32_t k, int64_t* out_ids, float* out_scores);

}  // namespace zv
