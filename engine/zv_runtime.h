/*
 * zv_runtime.h -- the public interface of zv_runtime, and its reference.
 *
 * zv_runtime is an in-process vector index runtime. An index keeps a sealed
 * base of float32 vectors grouped into host-defined partitions, a delta of
 * upserts and tombstone deletes laid over it, host-trained IVF indexes and
 * integer row metadata, and answers exact and approximate top-k
 * inner-product searches into arrays that the caller owns.
 *
 * General rules, which hold for every function below:
 *
 *  - Handles. zv_index_new() returns an opaque handle; every other function
 *    except zv_runtime_format_version() and zv_tuner_defaults() takes it
 *    first. Handles share nothing with each other.
 *  - Ownership. The library copies every array it keeps and never holds on
 *    to a caller pointer after a call returns. Results go into caller arrays;
 *    no function takes a capacity, so size them from the counts the library
 *    reports (zv_index_stats, zv_index_visible_count, zv_index_delta_count).
 *    Nothing the library returns needs releasing except the handle.
 *  - Results. Every function returns a plain value: a status (0 done, -1
 *    rejected and nothing changed), a top-k slot count, a row count, a
 *    version, a flag or a column count. There is no other error channel, no
 *    logging and no exception ever leaves the library.
 *  - Top-k results. A search fixes a slot count m. When m <= 0 it writes
 *    nothing and returns 0. Otherwise it first sets slots 0..m-1 to
 *    ZV_EMPTY_ID / ZV_EMPTY_SCORE, then offers rows in a defined order: a row
 *    enters only with a score strictly greater than the last slot's, and is
 *    placed after every held entry with an equal or greater score. Scores are
 *    non-increasing, ties keep offer order, NaN and scores <= ZV_EMPTY_SCORE
 *    never enter, and nothing past slot m-1 is written.
 *  - Scores. The score of a row is its inner product with the query computed
 *    as one sequential single-precision fused multiply-add chain:
 *    acc = +0.0f; for j = 0..dim-1: acc = fmaf(row[j], query[j], acc).
 *    Every CPU gives bit-identical scores. With dim <= 0 every score is +0.0
 *    and the query is not read.
 *  - Memory. Running out of memory is fatal: the library writes one line
 *    ending in "alloc failed: returned a null pointer" to file descriptor 1
 *    and ends the process at once.
 *  - Threads. The library creates no threads and takes no locks. Read-only
 *    calls may run together on one handle. Writing calls (zv_index_build,
 *    zv_index_insert, zv_index_delete, zv_index_set_rowmeta,
 *    zv_index_set_ivf, zv_index_set_ivf_nprobe, zv_index_clear_ivf,
 *    zv_index_free) must be exclusive with every other call on that handle;
 *    the host provides the exclusion. Different handles are independent.
 *  - Sizes. Array sizes are never checked: pass arrays of the sizes stated.
 */
#ifndef ZV_RUNTIME_H
#define ZV_RUNTIME_H

#include <stdint.h>

#if defined(_WIN32)
#define ZV_API
#else
#define ZV_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Library release, as in the SONAME libzv_runtime.so.<major>. */
#define ZV_RUNTIME_VERSION_MAJOR 1
#define ZV_RUNTIME_VERSION_MINOR 0
#define ZV_RUNTIME_VERSION_PATCH 0
/* What zv_runtime_format_version() returns. */
#define ZV_RUNTIME_FORMAT_VERSION 1

/* The id of an unreached result slot. */
#define ZV_EMPTY_ID ((int64_t)-1)
/* The score of an unreached result slot: the float nearest to -1e30. */
#define ZV_EMPTY_SCORE (-1e30f)

/* An index. Opaque: only ever handled through a pointer. */
typedef struct zv_index zv_index;

/* ------------------------------------------------------------------------
 * Lifecycle, statistics and flags
 * ------------------------------------------------------------------------ */

/* Creates an empty, unsealed index of dimension `dim` with the opaque host
 * value `tag`. Neither is validated (zero and negative values are stored).
 * Never returns NULL. Release it with zv_index_free(). */
ZV_API zv_index *zv_index_new(int32_t dim, int32_t tag);

/* Releases the index and everything it owns. NULL is a harmless no-op. The
 * handle must not be used again. */
ZV_API void zv_index_free(zv_index *index);

/* Stores the base row count, the dimension, the tag and the partition count
 * through the four pointers (none may be NULL). Returns 0. */
ZV_API int32_t zv_index_stats(const zv_index *index, int64_t *out_base_count,
                              int32_t *out_dim, int32_t *out_tag,
                              int32_t *out_partition_count);

/* Returns the write version: the number of zv_index_insert / zv_index_delete
 * calls that named at least one row. 0 for a new index. */
ZV_API int64_t zv_index_snapshot(const zv_index *index);

/* Returns ZV_RUNTIME_FORMAT_VERSION (1). Takes no handle. */
ZV_API int32_t zv_runtime_format_version(void);

/* Returns 1 once any insert or delete has named a row, else 0. Never goes
 * back to 0. */
ZV_API int32_t zv_index_mutated(const zv_index *index);

/* Returns 1 once a base has been built, else 0. Never goes back to 0. */
ZV_API int32_t zv_index_sealed(const zv_index *index);

/* Returns the number of delta rows: one per distinct id ever inserted,
 * deleted ones included. */
ZV_API int64_t zv_index_delta_count(const zv_index *index);

/* ------------------------------------------------------------------------
 * Sealed base
 * ------------------------------------------------------------------------ */

/* Replaces the whole base with `n` rows of `dim` floats (`vectors`, row i at
 * i*dim) and their `ids`, grouped into `partition_count` partitions: the
 * partition with key partition_keys[p] spans rows partition_offsets[p] ..
 * partition_offsets[p] + partition_sizes[p] - 1. Keys must be ascending; the
 * partition arrays are copied as given and not checked. Rows keep the given
 * order; for an id on several rows, id lookups find the last of them.
 * The index becomes sealed and takes `dim` as its dimension. The delta,
 * tombstones, metadata, IVF entries and version are left as they are.
 *
 * Returns 0 when built. Returns -1, changing nothing, when n < 0, n > 2^40,
 * dim < 0, n*dim > 2^40, partition_count < 0, any id is negative or >= 2^40,
 * or dim differs from the current dimension while the index holds delta rows
 * or IVF entries (their vectors would no longer line up).
 * Memory use is O(n) whatever the spread of the ids. */
ZV_API int32_t zv_index_build(zv_index *index, const float *vectors, int64_t n,
                              int32_t dim, const int64_t *ids,
                              const int64_t *partition_keys,
                              const int32_t *partition_offsets,
                              const int32_t *partition_sizes,
                              int32_t partition_count);

/* Copies the base exactly as built (deleted and shadowed rows included,
 * delta rows not) into `out_vectors` (base_count*dim floats) and `out_ids`
 * (base_count ids), in row order. Returns base_count, or 0 without writing
 * when the index is not sealed. */
ZV_API int64_t zv_index_export_base(const zv_index *index, float *out_vectors,
                                    int64_t *out_ids);

/* ------------------------------------------------------------------------
 * Writes: the delta and tombstones
 * ------------------------------------------------------------------------ */

/* Upserts `n` rows (`vectors`: n*dim floats with the index's current dim;
 * `ids`: any 64-bit values) into the delta. A new id gets a new delta row;
 * an id with a delta row has its vector replaced in place; a deleted id is
 * revived. For an id repeated in one call the last occurrence wins. Works
 * before and after a build; never touches the base.
 * Returns the version after the call: one more than before when n >= 1.
 * With n <= 0 nothing changes, no array is read and the current version is
 * returned. */
ZV_API int64_t zv_index_insert(zv_index *index, const float *vectors,
                               const int64_t *ids, int32_t n);

/* Deletes `n` ids by tombstone, whether or not they have a row; nothing
 * stored is removed, and a later insert of an id revives it. Deleted ids are
 * hidden from the visible-row readers, zv_index_search_mvcc and
 * zv_index_search_filtered; the base searches and the IVF search still find
 * deleted base rows. Returns the version after the call (one more when
 * n >= 1); with n <= 0 nothing changes and `ids` is not read. */
ZV_API int64_t zv_index_delete(zv_index *index, const int64_t *ids, int32_t n);

/* ------------------------------------------------------------------------
 * Visible rows
 *
 * A delta row is visible when its id is not deleted. A base row is visible
 * when its id has no delta row (which would shadow it) and is not deleted.
 * Readers meet visible rows in walk order: delta rows in order of first
 * insertion, then base rows in row order.
 * ------------------------------------------------------------------------ */

/* Returns the number of visible rows. */
ZV_API int64_t zv_index_visible_count(const zv_index *index);

/* Writes the id of every visible row, in walk order, to `out_ids` (room for
 * zv_index_visible_count() ids). Returns the number written. */
ZV_API int64_t zv_index_visible_ids(const zv_index *index, int64_t *out_ids);

/* Writes every visible row, in walk order: its dim floats to `out_vectors`
 * (room for count*dim floats) and its id to `out_ids`. With dim <= 0 only
 * ids are written. Returns the number of rows written. */
ZV_API int64_t zv_index_export_visible(const zv_index *index,
                                       float *out_vectors, int64_t *out_ids);

/* Top-k over the `n` candidate `ids`, each scored with the row the current
 * state shows for it: its delta row, else its base row; deleted ids and ids
 * without a row are passed over. Candidates are not de-duplicated. The slot
 * count is k. Returns k, or 0 without writing when k <= 0. Works without a
 * sealed base. */
ZV_API int32_t zv_index_search_mvcc(const zv_index *index, const int64_t *ids,
                                    int32_t n, const float *query, int32_t k,
                                    int64_t *out_ids, float *out_scores);

/* ------------------------------------------------------------------------
 * Base searches (the base as built: no delta, no tombstones)
 * ------------------------------------------------------------------------ */

/* Exact top-k over all base rows, offered in row order. The slot count is
 * m = min(k, base_count). Returns m, or 0 without writing when the index is
 * not sealed or m <= 0. */
ZV_API int32_t zv_index_search_full(const zv_index *index, const float *query,
                                    int32_t k, int64_t *out_ids,
                                    float *out_scores);

/* Exact top-k over the base rows of the partition with key `partition_key`
 * (found by bisection), in row order. m = min(k, partition size). Returns m,
 * or 0 without writing when the index is not sealed, the key is absent, the
 * partition's range lies outside the base, or m <= 0. */
ZV_API int32_t zv_index_search_partition(const zv_index *index,
                                         int64_t partition_key,
                                         const float *query, int32_t k,
                                         int64_t *out_ids, float *out_scores);

/* Top-k over the `n` candidate `ids`, each resolved to its base row (the
 * last row with that id); ids without a base row are passed over.
 * m = min(k, n). Returns m, or 0 without writing when the index is not sealed
 * or m <= 0. */
ZV_API int32_t zv_index_scatter_topk(const zv_index *index, const int64_t *ids,
                                     int32_t n, const float *query, int32_t k,
                                     int64_t *out_ids, float *out_scores);

/* ------------------------------------------------------------------------
 * Partition tuner
 * ------------------------------------------------------------------------ */

/* Stores the tuner's two defaults, 20000 then 980. Returns 0. */
ZV_API int32_t zv_tuner_defaults(int32_t *out_first, int32_t *out_second);

/* Lists, in partition order, every partition whose size is >= `min_rows`:
 * its key to `out_keys` and its size to `out_sizes` (room for partition_count
 * entries each). Returns the number listed. */
ZV_API int64_t zv_index_tuner_oversized(const zv_index *index, int32_t min_rows,
                                        int64_t *out_keys, int64_t *out_sizes);

/* ------------------------------------------------------------------------
 * IVF indexes
 * ------------------------------------------------------------------------ */

/* Registers (or replaces whole) the IVF index under `key` (any 64-bit value):
 * `nlist` centroids of the current dim (`centroids`, nlist*dim floats), the
 * inverted lists laid end to end in `list_ids` (`id_count` ids) and cut by
 * `list_offsets` (nlist+1 offsets: list c is positions list_offsets[c] ..
 * list_offsets[c+1]-1), and the probe count `nprobe`. All arrays are copied;
 * arrays that are not read (count 0 or negative) may be NULL. Nothing is
 * validated. Returns 0. */
ZV_API int32_t zv_index_set_ivf(zv_index *index, uint64_t key, int32_t nlist,
                                int32_t nprobe, const float *centroids,
                                const int64_t *list_ids,
                                const int32_t *list_offsets, int32_t id_count);

/* Sets the probe count of the IVF index under `key` (any value is stored).
 * Returns 0, or -1 when `key` is not registered. */
ZV_API int32_t zv_index_set_ivf_nprobe(zv_index *index, uint64_t key,
                                       int32_t nprobe);

/* Returns 1 when an IVF index is registered under `key`, else 0. */
ZV_API int32_t zv_index_has_ivf(const zv_index *index, uint64_t key);

/* Discards every IVF index. Returns 0. */
ZV_API int32_t zv_index_clear_ivf(zv_index *index);

/* Approximate top-k through the IVF index under `key`: scores the centroids,
 * probes up to nprobe lists best centroid first (ties to the lower number;
 * centroids scoring NaN or <= -1e30 are never probed) and scores every listed
 * id that has a base row. The slot count is k. Returns k; returns 0 without
 * writing when the key is not registered, k <= 0 or nlist <= 0. Positions
 * outside the stored ids are skipped; an entry whose centroids no longer
 * cover nlist*dim floats returns 0 without writing. */
ZV_API int32_t zv_index_search_ivf(const zv_index *index, uint64_t key,
                                   const float *query, int32_t k,
                                   int64_t *out_ids, float *out_scores);

/* ------------------------------------------------------------------------
 * Row metadata and filters
 *
 * Each id may carry a primary value and one value per metadata column, all
 * int64. An absent value reads as -1. A filter is (filter_kind,
 * filter_column, filter_value): kind 0 passes every row; kind 1 passes rows
 * whose primary value equals filter_value; any other kind passes rows whose
 * value in column filter_column equals filter_value (a column that does not
 * exist passes nothing).
 * ------------------------------------------------------------------------ */

/* Writes metadata for `n` ids: primary_values[i] and the `column_count`
 * values column_values[i*column_count + j]. Widens the index to
 * `column_count` columns first (also when n <= 0). Returns 0, or -1 changing
 * nothing at all when column_count is below the current column count. */
ZV_API int32_t zv_index_set_rowmeta(zv_index *index, const int64_t *ids,
                                    const int64_t *primary_values,
                                    const int64_t *column_values,
                                    int32_t column_count, int32_t n);

/* Reads the metadata of `n` ids: primary to out_primary[i], column j to
 * out_columns[i*m + j] with m the current column count (out_columns is not
 * touched when m is 0). Returns m. */
ZV_API int32_t zv_index_export_rowmeta(const zv_index *index,
                                       const int64_t *ids, int32_t n,
                                       int64_t *out_primary,
                                       int64_t *out_columns);

/* Writes the ids of the visible rows that pass the filter, in walk order, to
 * `out_ids` (room for zv_index_visible_count() ids). Returns the number. */
ZV_API int64_t zv_index_match_ids(const zv_index *index, int32_t filter_kind,
                                  int32_t filter_column, int64_t filter_value,
                                  int64_t *out_ids);

/* Exact top-k over the visible rows that pass the filter, offered in walk
 * order (so a delta row ranks ahead of an equal-scoring base row). The slot
 * count is k. Returns k, or 0 without writing when k <= 0. */
ZV_API int32_t zv_index_search_filtered(const zv_index *index,
                                        int32_t filter_kind,
                                        int32_t filter_column,
                                        int64_t filter_value,
                                        const float *query, int32_t k,
                                        int64_t *out_ids, float *out_scores);

#ifdef __cplusplus
}
#endif

#endif /* ZV_RUNTIME_H */
