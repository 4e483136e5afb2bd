// Row metadata as the C interface sees it: writes and reads of the metadata
// store (rowmeta_store.h), the equality filter over it, and the searches
// that use it.
#pragma once

#include <cstdint>

#include "index_record.h"

namespace zv {

int32_t set_rowmeta(IndexRecord& rec, const int64_t* ids, const int64_t* primary_values,
                    const int64_t* column_values, int32_t column_count, int32_t n);
int32_t export_rowmeta(const IndexRecord& rec, const int64_t* ids, int32_t n,
                       int64_t* out_primary, int64_t* out_columns);

// Filter kinds, as ZV_FILTER_ALL and ZV_FILTER_PRIMARY of the C interface;
// every other kind is a column filter.
inline constexpr int32_t kFilterAll = 0;
inline constexpr int32_t kFilterPrimary = 1;

// The filter predicate: kFilterAll passes everything, kFilterPrimary tests
// the primary value, any other kind tests column `column` (a missing column
// fails).
bool row_matches(const IndexRecord& rec, int64_t id, int32_t kind, int64_t column, int64_t value);

// The filter resolved once per call: the map that delta rows are tested
// against and the copy by base row that base rows are tested against.
struct Filter {
  bool none_pass = false;          // a missing column
  bool all_pass = false;           // kFilterAll
  const IdMap* map = nullptr;
  const int64_t* by_row = nullptr;  // null: every base row reads -1
  int64_t value = 0;
};

Filter resolve_filter(const IndexRecord& rec, int32_t kind, int64_t column, int64_t value);

int64_t match_ids(const IndexRecord& rec, int32_t kind, int32_t column, int64_t value,
                  int64_t* out_ids);
int32_t search_filtered(const IndexRecord& rec, int32_t kind, int32_t column, int64_t value,
                        const float* query, int32_t k, int64_t* out_ids, float* out_scores);

}  // namespace zv
