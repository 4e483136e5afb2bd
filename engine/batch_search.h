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

// Block shapes. A slice of transposed queries and a block of rows should sit
// in L2 together while the block is scored against the slice.
inline constexpr int64_t kBatchQueryBytes = 256 * 1024;  // transposed slice
inline constexpr int64_t kBatchRowBytes = 128 * 1024;    // block of rows
inline constexpr int32_t kBatchMinSlice = 16;
inline constexpr int32_t kBatchMaxSlice = 256;
inline constexpr int32_t kBatchMinRows = 16;
inline constexpr int32_t kBatchMaxRows = 256;
// Fewer queries than this in a slice (or probing one IVF list) are scored
// one by one with the single-query kernel.
inline constexpr int32_t kBatchMinMulti = 8;
// Queries with many slots keep a growing position array each (topk.h): the
// slice is cut so that slice * slots stays within this many entries.
inline constexpr int64_t kBatchHeldBudget = INT64_C(1) << 16;
// IVF: centroid scores of a slice (slice * nlist floats) and its probe lists
// stay within this many entries.
inline constexpr int64_t kBatchCentroidBudget = INT64_C(1) << 20;

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
