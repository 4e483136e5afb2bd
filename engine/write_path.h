// The write path as the C interface sees it: write batches into the write
// state (write_state.h), and the readers of the visible state it keeps: the
// count, list and export of visible rows and the candidate search.
#pragma once

#include <cstdint>

#include "index_record.h"

namespace zv {

int64_t insert_rows(IndexRecord& rec, const float* vectors, const int64_t* ids, int32_t n);
int64_t delete_ids(IndexRecord& rec, const int64_t* ids, int32_t n);

int64_t visible_count(const IndexRecord& rec);
int64_t visible_ids(const IndexRecord& rec, int64_t* out_ids);
int64_t export_visible(const IndexRecord& rec, float* out_vectors, int64_t* out_ids);

int32_t search_mvcc(const IndexRecord& rec, const int64_t* ids, int32_t n, const float* query,
                    int32_t k, int64_t* out_ids, float* out_scores);

}  // namespace zv
