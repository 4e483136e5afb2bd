#include "rowmeta.h"

#include "base_search.h"
#include "score_kernel.h"
#include "topk.h"
#include "write_path.h"

namespace zv {

namespace {

int64_t read_or_absent(const IdMap& map, int64_t id, uint64_t h) {
  const int64_t* v = map.find(id, h);
  return v ? *v : -1;
}

}  // namespace

int32_t set_rowmeta(IndexRecord& rec, const int64_t* ids, const int64_t* primary_values,
                    const int64_t* column_values, int32_t column_count, int32_t n) {
  if (column_count < rec.rowmeta_column_count) return -1;
  while (rec.rowmeta_columns.size() < column_count) rec.rowmeta_columns.emplace_back();
  rec.rowmeta_column_count = column_count;
  for (int32_t i = 0; i < n; ++i) {
    const int64_t id = ids[i];
    const uint64_t h = IdMap::hash(id);
    rec.rowmeta_primary.assign(id, h, primary_values[i]);
    for (int32_t j = 0; j < column_count; ++j) {
      rec.rowmeta_columns[j].assign(id, h, column_values[int64_t{i} * column_count + j]);
    }
  }
  return 0;
}

int32_t export_rowmeta(const IndexRecord& rec, const int64_t* ids, int32_t n,
                       int64_t* out_primary, int64_t* out_columns) {
  const int32_t m = rec.rowmeta_column_count;
  for (int32_t i = 0; i < n; ++i) {
    const int64_t id = ids[i];
    const uint64_t h = IdMap::hash(id);
    out_primary[i] = read_or_absent(rec.rowmeta_primary, id, h);
    for (int32_t j = 0; j < m; ++j) {
      out_columns[int64_t{i} * m + j] = read_or_absent(rec.rowmeta_columns[j], id, h);
    }
  }
  return m;
}

bool row_matches(const IndexRecord& rec, int64_t id, int32_t kind, int64_t column, int64_t value) {
  if (kind == 0) return true;
  if (kind == 1) return read_or_absent(rec.rowmeta_primary, id, IdMap::hash(id)) == value;
  if (column < 0 || column >= rec.rowmeta_column_count) return false;
  return read_or_absent(rec.rowmeta_columns[column], id, IdMap::hash(id)) == value;
}

int64_t match_ids(const IndexRecord& rec, int32_t kind, int32_t column, int64_t value,
                  int64_t* out_ids) {
  int64_t count = 0;
  walk_visible(
      rec,
      [&](int64_t first, int64_t c) {
        for (int64_t r = first; r < first + c; ++r) {
          const int64_t id = rec.delta_ids[r];
          if (row_matches(rec, id, kind, column, value)) out_ids[count++] = id;
        }
      },
      [&](int64_t first, int64_t c) {
        for (int64_t r = first; r < first + c; ++r) {
          const int64_t id = rec.base_ids[r];
          if (row_matches(rec, id, kind, column, value)) out_ids[count++] = id;
        }
      });
  return count;
}

int32_t search_filtered(const IndexRecord& rec, int32_t kind, int32_t column, int64_t value,
                        const float* query, int32_t k, int64_t* out_ids, float* out_scores) {
  if (k <= 0) return 0;
  TopK topk(out_ids, out_scores, k);
  walk_visible(
      rec,
      [&](int64_t first, int64_t c) {
        for (int64_t r = first; r < first + c; ++r) {
          const int64_t id = rec.delta_ids[r];
          if (!row_matches(rec, id, kind, column, value)) continue;
          const float* vec = delta_vector(rec, r);
          if (vec != nullptr) topk.offer(score_row(vec, query, rec.dim), id);
        }
      },
      [&](int64_t first, int64_t c) {
        if (kind == 0) {
          const int64_t d = rec.dim > 0 ? rec.dim : 0;
          offer_rows(rec.base_vectors + first * d, rec.base_ids + first, c, query, rec.dim, topk);
          return;
        }
        for (int64_t r = first; r < first + c; ++r) {
          const int64_t id = rec.base_ids[r];
          if (row_matches(rec, id, kind, column, value)) {
            topk.offer(score_row(base_row_vector(rec, r), query, rec.dim), id);
          }
        }
      });
  return k;
}

void rebuild_rowmeta_dense(IndexRecord&) {}
void release_rowmeta_dense(IndexRecord&) {}

}  // namespace zv
