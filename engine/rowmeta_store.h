// The metadata store: per-id integer metadata (a primary value and any
// number of columns), one map per column keyed by id, plus copies of the
// metadata by base row, so that filters test base rows without hashing.
// The copies are this part's derived state: refresh() rebuilds them after a
// build, set() keeps them current. A copy that is empty reads as all -1:
// columns nobody wrote for a base id cost nothing. Values are never removed.
//
// This part reads the base (to place values by row) and never changes it.
#pragma once

#include <cstdint>

#include "base.h"
#include "grow_list.h"
#include "id_map.h"
#include "owned_array.h"

namespace zv {

class RowMeta {
 public:
  // `seed` is the id hash seed of the record (see id_map.h).
  explicit RowMeta(uint64_t seed) : seed_(seed) { primary_.set_seed(seed); }

  // Widens to column_count columns, then stores n ids' values (column j of
  // ids[i] at column_values[i * column_count + j]). -1, changing nothing,
  // when column_count is below the current count.
  int32_t set(const Base& base, const int64_t* ids, const int64_t* primary_values,
              const int64_t* column_values, int32_t column_count, int32_t n);
  // Reads n ids' values (-1 where absent); returns the column count.
  int32_t export_values(const Base& base, const int64_t* ids, int32_t n, int64_t* out_primary,
                        int64_t* out_columns) const;

  // Rebuilds the copies by base row against a base just loaded.
  void refresh(const Base& base);

  int32_t column_count() const { return static_cast<int32_t>(columns_.size()); }
  // The maps by id: primary() and column(j) for 0 <= j < column_count().
  const IdMap& primary() const { return primary_; }
  const IdMap& column(int32_t j) const { return columns_[j]; }
  // The copies by base row (base.count() values), or nullptr for all -1.
  const int64_t* primary_by_row() const { return primary_by_row_.data(); }
  const int64_t* column_by_row(int32_t j) const { return columns_by_row_[j].data(); }

 private:
  uint64_t seed_;
  IdMap primary_;
  GrowList<IdMap> columns_;
  OwnedArray<int64_t> primary_by_row_;
  GrowList<OwnedArray<int64_t>> columns_by_row_;  // one per column
};

}  // namespace zv
