// The exported C interface: thin, non-throwing wrappers over the subsystems.
#include "zv_runtime.h"

#include <new>

#include "alloc.h"
#include "base_search.h"
#include "batch_search.h"
#include "index_record.h"
#include "ivf.h"
#include "rowmeta.h"
#include "write_path.h"

using zv::IndexRecord;

static_assert(ZV_FILTER_ALL == zv::kFilterAll && ZV_FILTER_PRIMARY == zv::kFilterPrimary);

extern "C" {

// --- lifecycle, statistics and flags -----------------------------------------

zv_index* zv_index_new(int32_t dim, int32_t tag) noexcept {
  void* block = zv::alloc_bytes(sizeof(zv_index));
  zv_index* index = new (block) zv_index();
  index->dim = dim;
  index->tag = tag;
  return index;
}

void zv_index_free(zv_index* index) noexcept {
  if (index == nullptr) return;
  index->~zv_index();
  zv::free_bytes(index);
}

int32_t zv_index_stats(const zv_index* index, int64_t* out_base_count, int32_t* out_dim,
                       int32_t* out_tag, int32_t* out_partition_count) noexcept {
  *out_base_count = index->base.count();
  *out_dim = index->dim;
  *out_tag = index->tag;
  *out_partition_count = index->base.partition_count();
  return 0;
}

int64_t zv_index_snapshot(const zv_index* index) noexcept { return index->writes.version(); }
int32_t zv_runtime_format_version(void) noexcept { return ZV_RUNTIME_FORMAT_VERSION; }
int32_t zv_index_mutated(const zv_index* index) noexcept { return index->writes.mutated() ? 1 : 0; }
int32_t zv_index_sealed(const zv_index* index) noexcept { return index->base.sealed() ? 1 : 0; }
int64_t zv_index_delta_count(const zv_index* index) noexcept { return index->writes.delta_count(); }

// --- sealed base ---------------------------------------------------------------

int32_t zv_index_build(zv_index* index, const float* vectors, int64_t n, int32_t dim,
                       const int64_t* ids, const int64_t* partition_keys,
                       const int32_t* partition_offsets, const int32_t* partition_sizes,
                       int32_t partition_count) noexcept {
  return zv::build_base(*index, vectors, n, dim, ids, partition_keys, partition_offsets,
                        partition_sizes, partition_count);
}

int64_t zv_index_export_base(const zv_index* index, float* out_vectors, int64_t* out_ids) noexcept {
  return zv::export_base(*index, out_vectors, out_ids);
}

// --- writes ----------------------------------------------------------------------

int64_t zv_index_insert(zv_index* index, const float* vectors, const int64_t* ids,
                        int32_t n) noexcept {
  return zv::insert_rows(*index, vectors, ids, n);
}

int64_t zv_index_delete(zv_index* index, const int64_t* ids, int32_t n) noexcept {
  return zv::delete_ids(*index, ids, n);
}

// --- visible rows --------------------------------------------------------------

int64_t zv_index_visible_count(const zv_index* index) noexcept { return zv::visible_count(*index); }

int64_t zv_index_visible_ids(const zv_index* index, int64_t* out_ids) noexcept {
  return zv::visible_ids(*index, out_ids);
}

int64_t zv_index_export_visible(const zv_index* index, float* out_vectors,
                                int64_t* out_ids) noexcept {
  return zv::export_visible(*index, out_vectors, out_ids);
}

int32_t zv_index_search_mvcc(const zv_index* index, const int64_t* ids, int32_t n,
                             const float* query, int32_t k, int64_t* out_ids,
                             float* out_scores) noexcept {
  return zv::search_mvcc(*index, ids, n, query, k, out_ids, out_scores);
}

// --- base searches -------------------------------------------------------------

int32_t zv_index_search_full(const zv_index* index, const float* query, int32_t k,
                             int64_t* out_ids, float* out_scores) noexcept {
  return zv::search_full(*index, query, k, out_ids, out_scores);
}

int32_t zv_index_search_partition(const zv_index* index, int64_t partition_key,
                                  const float* query, int32_t k, int64_t* out_ids,
                                  float* out_scores) noexcept {
  return zv::search_partition(*index, partition_key, query, k, out_ids, out_scores);
}

int32_t zv_index_scatter_topk(const zv_index* index, const int64_t* ids, int32_t n,
                              const float* query, int32_t k, int64_t* out_ids,
                              float* out_scores) noexcept {
  return zv::scatter_topk(*index, ids, n, query, k, out_ids, out_scores);
}

// --- partition tuner -------------------------------------------------------------

int32_t zv_tuner_defaults(int32_t* out_first, int32_t* out_second) noexcept {
  *out_first = zv::kTunerDefaultFirst;
  *out_second = zv::kTunerDefaultSecond;
  return 0;
}

int64_t zv_index_tuner_oversized(const zv_index* index, int32_t min_rows, int64_t* out_keys,
                                 int64_t* out_sizes) noexcept {
  return zv::tuner_oversized(*index, min_rows, out_keys, out_sizes);
}

// --- IVF -------------------------------------------------------------------------

int32_t zv_index_set_ivf(zv_index* index, uint64_t key, int32_t nlist, int32_t nprobe,
                         const float* centroids, const int64_t* list_ids,
                         const int32_t* list_offsets, int32_t id_count) noexcept {
  return zv::set_ivf(*index, key, nlist, nprobe, centroids, list_ids, list_offsets, id_count);
}

int32_t zv_index_set_ivf_nprobe(zv_index* index, uint64_t key, int32_t nprobe) noexcept {
  return zv::set_ivf_nprobe(*index, key, nprobe);
}

int32_t zv_index_has_ivf(const zv_index* index, uint64_t key) noexcept {
  return zv::has_ivf(*index, key);
}

int32_t zv_index_clear_ivf(zv_index* index) noexcept { return zv::clear_ivf(*index); }

int32_t zv_index_search_ivf(const zv_index* index, uint64_t key, const float* query, int32_t k,
                            int64_t* out_ids, float* out_scores) noexcept {
  return zv::search_ivf(*index, key, query, k, out_ids, out_scores);
}

// --- batched searches --------------------------------------------------------------

int32_t zv_index_search_full_batch(const zv_index* index, const float* queries, int32_t nq,
                                   int32_t k, int64_t* out_ids, float* out_scores) noexcept {
  return zv::search_full_batch(*index, queries, nq, k, out_ids, out_scores);
}

int32_t zv_index_search_partition_batch(const zv_index* index, int64_t partition_key,
                                        const float* queries, int32_t nq, int32_t k,
                                        int64_t* out_ids, float* out_scores) noexcept {
  return zv::search_partition_batch(*index, partition_key, queries, nq, k, out_ids, out_scores);
}

int32_t zv_index_search_ivf_batch(const zv_index* index, uint64_t key, const float* queries,
                                  int32_t nq, int32_t k, int64_t* out_ids,
                                  float* out_scores) noexcept {
  return zv::search_ivf_batch(*index, key, queries, nq, k, out_ids, out_scores);
}

int32_t zv_index_search_filtered_batch(const zv_index* index, int32_t filter_kind,
                                       int32_t filter_column, int64_t filter_value,
                                       const float* queries, int32_t nq, int32_t k,
                                       int64_t* out_ids, float* out_scores) noexcept {
  return zv::search_filtered_batch(*index, filter_kind, filter_column, filter_value, queries, nq,
                                   k, out_ids, out_scores);
}

// --- row metadata and filters ------------------------------------------------------

int32_t zv_index_set_rowmeta(zv_index* index, const int64_t* ids, const int64_t* primary_values,
                             const int64_t* column_values, int32_t column_count,
                             int32_t n) noexcept {
  return zv::set_rowmeta(*index, ids, primary_values, column_values, column_count, n);
}

int32_t zv_index_export_rowmeta(const zv_index* index, const int64_t* ids, int32_t n,
                                int64_t* out_primary, int64_t* out_columns) noexcept {
  return zv::export_rowmeta(*index, ids, n, out_primary, out_columns);
}

int64_t zv_index_match_ids(const zv_index* index, int32_t filter_kind, int32_t filter_column,
                           int64_t filter_value, int64_t* out_ids) noexcept {
  return zv::match_ids(*index, filter_kind, filter_column, filter_value, out_ids);
}

int32_t zv_index_search_filtered(const zv_index* index, int32_t filter_kind,
                                 int32_t filter_column, int64_t filter_value,
                                 const float* query, int32_t k, int64_t* out_ids,
                                 float* out_scores) noexcept {
  return zv::search_filtered(*index, filter_kind, filter_column, filter_value, query, k,
                             out_ids, out_scores);
}

}  // extern "C"
