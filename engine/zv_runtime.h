/*
 * zv_runtime.h -- the public interface of zv_runtime, and its reference.
 *
 * zv_runtime is an in-process vector index runtime. An index keeps a sealed
 * base of float32 vectors grouped into host-defined partitions, a delta of
 * upserts and tombstone deletes laid over it, host-trained IVF indexes and
 * integer row metadata, and answers exact and approximate top-k
 * inner-product searches into arrays that the caller owns. docs/guide.md
 * explains the concepts; this header is the authoritative reference.
 *
 * General rules, which hold for every function below:
 *
 *  - Handles. zv_index_new() returns an opaque handle; every other function
 *    except zv_runtime_format_version() and zv_tuner_defaults() takes it
 *    first. Handles share nothing with each other. No function validates
 *    the handle: passing NULL (except to zv_index_free) or a freed handle is
 *    undefined.
 *  - Ownership. The library copies every array it keeps and never holds on
 *    to a caller pointer after a call returns. Results go into caller arrays;
 *    no function takes a capacity, so size them from the counts the library
 *    reports (zv_index_stats, zv_index_visible_count, zv_index_delta_count).
 *    Nothing the library returns needs releasing except the handle.
 *  - Results. Every function returns a plain value: a status (0 done, -1
 *    rejected and nothing changed), a top-k slot count, a row count, a
 *    version, a flag or a column count. Only zv_index_build,
 *    zv_index_set_rowmeta and zv_index_set_ivf_nprobe ever return -1; every
 *    other function stores or skips what it is given. There is no other
 *    error channel, no logging and no exception ever leaves the library.
 *  - Top-k results. A search fixes a slot count m. When m <= 0 it writes
 *    nothing and returns 0. Otherwise it first sets slots 0..m-1 to
 *    ZV_EMPTY_ID / ZV_EMPTY_SCORE, then offers rows in a defined order: a row
 *    enters only with a score strictly greater than the last slot's, and is
 *    placed after every held entry with an equal or greater score. Scores are
 *    non-increasing, ties keep offer order, NaN and scores <= ZV_EMPTY_SCORE
 *    never enter, and nothing past slot m-1 is written. Searches write
 *    nothing in the index.
 *  - Scores. The score of a row is its inner product with the query computed
 *    as one sequential single-precision fused multiply-add chain:
 *    acc = +0.0f; for j = 0..dim-1: acc = fmaf(row[j], query[j], acc).
 *    Every CPU and every search gives bit-identical scores. With dim <= 0
 *    every score is +0.0 and the query is not read.
 *  - Memory. Running out of memory is fatal: the library writes one line
 *    ending in "alloc failed: returned a null pointer" to file descriptor 1
 *    and ends the process at once. Nothing else is ever written anywhere.
 *  - Threads. The library creates no threads and takes no locks. Read-only
 *    calls may run together on one handle. Writing calls (zv_index_build,
 *    zv_index_insert, zv_index_delete, zv_index_set_rowmeta,
 *    zv_index_set_ivf, zv_index_set_ivf_nprobe, zv_index_clear_ivf,
 *    zv_index_free) must be exclusive with every other call on that handle;
 *    the host provides the exclusion. Different handles are independent.
 *  - Sizes. Array sizes are never checked: pass arrays of the sizes stated.
 *    An array that a call does not read (its count is 0 or negative) may be
 *    NULL.
 *  - Environment. The library reads no files, environment variables or
 *    configuration, and keeps no global mutable state.
 */
#ifndef ZV_RUNTIME_H
#define ZV_RUNTIME_H

#include <stdint.h>

#if defined(_WIN32)
#define ZV_API
#else
#define ZV_API __attribute__((visibility("default")))
#endif

/* C++ callers may rely on it: nothing ever throws out of the library. */
#ifdef __cplusplus
#define ZV_NOEXCEPT noexcept
#else
#define ZV_NOEXCEPT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Library release, as in the SONAME libzv_runtime.so.<major>. */
#define ZV_RUNTIME_VERSION_MAJOR 1
#define ZV_RUNTIME_VERSION_MINOR 1
#define ZV_RUNTIME_VERSION_PATCH 0
/* What zv_runtime_format_version() returns. */
#define ZV_RUNTIME_FORMAT_VERSION 1

/* The id of an unreached result slot. */
#define ZV_EMPTY_ID ((int64_t)-1)
/* The score of an unreached result slot: the float nearest to -1e30. */
#define ZV_EMPTY_SCORE (-1e30f)

/* Filter kinds, the first member of a filter triple (see "Row metadata and
 * filters"). Any kind other than these three acts as ZV_FILTER_COLUMN. */
#define ZV_FILTER_ALL 0     /* every row passes */
#define ZV_FILTER_PRIMARY 1 /* the primary value equals filter_value */
#define ZV_FILTER_COLUMN 2  /* column filter_column equals filter_value */

/* An index. Opaque: only ever handled through a pointer. */
typedef struct zv_index zv_index;

/* ------------------------------------------------------------------------
 * Lifecycle, statistics and flags
 *
 * The accessors below only read one or a few fields: no allocation, no
 * lookup, nothing changed.
 * ------------------------------------------------------------------------ */

/* Creates an empty, unsealed index of dimension `dim` with the opaque host
 * value `tag`, version 0. Neither is validated (zero and negative values are
 * stored); the tag is only ever reported back by zv_index_stats().
 * Returns the handle, never NULL (out of memory is fatal). The caller owns
 * it and releases it with zv_index_free(). */
ZV_API zv_index *zv_index_new(int32_t dim, int32_t tag) ZV_NOEXCEPT;

/* Releases the index and everything it owns. NULL is a harmless no-op. The
 * handle must not be used again; no caller array is touched. Writing call. */
ZV_API void zv_index_free(zv_index *index) ZV_NOEXCEPT;

/* Stores the base row count, the dimension, the tag and the partition count
 * through the four pointers (none may be NULL). Before a build the counts
 * are 0. Returns 0. */
ZV_API int32_t zv_index_stats(const zv_index *index, int64_t *out_base_count,
                              int32_t *out_dim, int32_t *out_tag,
                              int32_t *out_partition_count) ZV_NOEXCEPT;

/* Returns the write version: the number of zv_index_insert / zv_index_delete
 * calls that named at least one row. 0 for a new index; never decreases.
 * Builds, metadata and IVF calls do not change it. No function takes a
 * version back: it marks how many writes were applied. */
ZV_API int64_t zv_index_snapshot(const zv_index *index) ZV_NOEXCEPT;

/* Returns ZV_RUNTIME_FORMAT_VERSION (1). Takes no handle; compare it with
 * the macro to detect a header/library mismatch. */
ZV_API int32_t zv_runtime_format_version(void) ZV_NOEXCEPT;

/* Returns 1 once any insert or delete has named a row, else 0. Never goes
 * back to 0. */
ZV_API int32_t zv_index_mutated(const zv_index *index) ZV_NOEXCEPT;

/* Returns 1 once a base has been built, else 0. Never goes back to 0. */
ZV_API int32_t zv_index_sealed(const zv_index *index) ZV_NOEXCEPT;

/* Returns the number of delta rows: one per distinct id ever inserted,
 * deleted ones included (a delete never removes a delta row). */
ZV_API int64_t zv_index_delta_count(const zv_index *index) ZV_NOEXCEPT;

/* ------------------------------------------------------------------------
 * Sealed base
 * ------------------------------------------------------------------------ */

/* Replaces the whole base. Writing call.
 *
 * Reads `n` rows of `dim` floats from `vectors` (row i at i*dim), `n` ids
 * from `ids`, and `partition_count` entries from each partition array: the
 * partition with key partition_keys[p] spans rows partition_offsets[p] ..
 * partition_offsets[p] + partition_sizes[p] - 1. Keys must be ascending (the
 * partition search bisects them); the partition arrays are copied as given
 * and not checked. Everything is copied: the caller's arrays may be freed
 * as soon as the call returns.
 *
 * Rows keep the given order; for an id on several rows all rows are kept
 * and id lookups find the last of them. The index becomes sealed and takes
 * `dim` as its dimension. The delta, tombstones, metadata, IVF entries and
 * version are left as they are; delta rows and tombstones keep their effect
 * on the new base.
 *
 * Returns 0 when built. Returns -1, changing nothing, when n < 0, n > 2^40,
 * dim < 0, n*dim > 2^40, partition_count < 0, any id is negative or >= 2^40,
 * or dim differs from the current dimension while the index holds delta rows
 * or IVF entries (their vectors would no longer line up). n = 0 is valid
 * (an empty sealed base). Memory use is O(n) whatever the spread of the ids;
 * the build never reorders, de-duplicates or edits a row. */
ZV_API int32_t zv_index_build(zv_index *index, const float *vectors, int64_t n,
                              int32_t dim, const int64_t *ids,
                              const int64_t *partition_keys,
                              const int32_t *partition_offsets,
                              const int32_t *partition_sizes,
                              int32_t partition_count) ZV_NOEXCEPT;

/* Copies the base exactly as built (deleted and shadowed rows included,
 * delta rows not) into `out_vectors` (room for base_count*dim floats; not
 * written when that is 0) and `out_ids` (room for base_count ids), in row
 * order. Take base_count and dim from zv_index_stats(). Returns base_count,
 * or 0 without writing when the index is not sealed. */
ZV_API int64_t zv_index_export_base(const zv_index *index, float *out_vectors,
                                    int64_t *out_ids) ZV_NOEXCEPT;

/* ------------------------------------------------------------------------
 * Writes: the delta and tombstones
 *
 * Writes never touch the base, the metadata or the IVF entries, and work
 * before and after a build. Each call that names at least one row raises the
 * version by exactly one, however many rows it names.
 * ------------------------------------------------------------------------ */

/* Upserts `n` rows into the delta. Writing call.
 *
 * Reads n*dim floats from `vectors` (the index's current dim) and `n` ids
 * from `ids` (any 64-bit values, negative ones included) and copies them. A
 * new id gets a new delta row; an id with a delta row has its vector
 * replaced in place; a deleted id is revived. For an id repeated in one call
 * the last occurrence wins. A delta row shadows the base row with its id.
 *
 * Returns the version after the call: one more than before when n >= 1.
 * With n <= 0 nothing changes, no array is read and the current version is
 * returned. Never rejects. */
ZV_API int64_t zv_index_insert(zv_index *index, const float *vectors,
                               const int64_t *ids, int32_t n) ZV_NOEXCEPT;

/* Deletes the `n` ids in `ids` by tombstone, whether or not they have a
 * row. Writing call. Nothing stored is removed (zv_index_delta_count is
 * unchanged), and a later insert of an id revives it. Deleted ids are hidden
 * from the visible-row readers, zv_index_search_mvcc and
 * zv_index_search_filtered; the base searches and the IVF search still find
 * deleted base rows. Returns the version after the call (one more when
 * n >= 1); with n <= 0 nothing changes and `ids` is not read. Never
 * rejects. */
ZV_API int64_t zv_index_delete(zv_index *index, const int64_t *ids, int32_t n) ZV_NOEXCEPT;

/* ------------------------------------------------------------------------
 * Visible rows
 *
 * A delta row is visible when its id is not deleted. A base row is visible
 * when its id has no delta row (which would shadow it) and is not deleted.
 * Readers meet visible rows in walk order: delta rows in order of first
 * insertion, then base rows in row order. None of these needs a sealed base.
 * ------------------------------------------------------------------------ */

/* Returns the number of visible rows: the size to give the output arrays of
 * zv_index_visible_ids, zv_index_export_visible and zv_index_match_ids. */
ZV_API int64_t zv_index_visible_count(const zv_index *index) ZV_NOEXCEPT;

/* Writes the id of every visible row, in walk order, to `out_ids` (room for
 * zv_index_visible_count() ids). Returns the number written. */
ZV_API int64_t zv_index_visible_ids(const zv_index *index, int64_t *out_ids) ZV_NOEXCEPT;

/* Writes every visible row, in walk order: its dim floats to `out_vectors`
 * (room for count*dim floats) and its id to `out_ids` (room for count ids),
 * count being zv_index_visible_count(). With dim <= 0 only ids are written.
 * Returns the number of rows written. */
ZV_API int64_t zv_index_export_visible(const zv_index *index,
                                       float *out_vectors, int64_t *out_ids) ZV_NOEXCEPT;

/* Top-k over `n` candidate ids under the current writes.
 *
 * Reads `n` ids from `ids` and dim floats from `query`. Each candidate, in
 * the given order, is scored with the row the current state shows for it:
 * its delta row, else its base row (the last row with that id); deleted ids
 * and ids without a row are passed over. Candidates are not de-duplicated: a
 * repeated id may fill several slots. Works without a sealed base.
 *
 * The slot count is k: writes k ids to `out_ids` and k scores to
 * `out_scores` and returns k; returns 0 without writing when k <= 0. */
ZV_API int32_t zv_index_search_mvcc(const zv_index *index, const int64_t *ids,
                                    int32_t n, const float *query, int32_t k,
                                    int64_t *out_ids, float *out_scores) ZV_NOEXCEPT;

/* ------------------------------------------------------------------------
 * Base searches (the base as built: no delta, no tombstones)
 *
 * Each reads dim floats from `query` and writes m ids to `out_ids` and m
 * scores to `out_scores`, m being the slot count stated; give both arrays
 * room for k entries.
 * ------------------------------------------------------------------------ */

/* Exact top-k over all base rows, offered in row order. The slot count is
 * m = min(k, base_count). Returns m, or 0 without writing when the index is
 * not sealed or m <= 0. */
ZV_API int32_t zv_index_search_full(const zv_index *index, const float *query,
                                    int32_t k, int64_t *out_ids,
                                    float *out_scores) ZV_NOEXCEPT;

/* Exact top-k over the base rows of the partition with key `partition_key`
 * (found by bisection over the ascending keys), offered in row order.
 * m = min(k, partition size). Returns m, or 0 without writing when the index
 * is not sealed, the key is absent, the partition's range lies outside the
 * base, or m <= 0. Never reads a row outside the base. */
ZV_API int32_t zv_index_search_partition(const zv_index *index,
                                         int64_t partition_key,
                                         const float *query, int32_t k,
                                         int64_t *out_ids, float *out_scores) ZV_NOEXCEPT;

/* Top-k over `n` candidate ids read from `ids`, each resolved to its base
 * row (the last row with that id) and offered in the given order; ids
 * without a base row are passed over, duplicates are not removed.
 * m = min(k, n). Returns m, or 0 without writing when the index is not sealed
 * or m <= 0. */
ZV_API int32_t zv_index_scatter_topk(const zv_index *index, const int64_t *ids,
                                     int32_t n, const float *query, int32_t k,
                                     int64_t *out_ids, float *out_scores) ZV_NOEXCEPT;

/* ------------------------------------------------------------------------
 * Partition tuner
 *
 * The library never re-partitions; these help a host-side tuner decide.
 * ------------------------------------------------------------------------ */

/* Stores the tuner's two defaults through the pointers: 20000 to
 * `out_first`, then 980 to `out_second`. Takes no handle; no other function
 * reads or applies these numbers. Returns 0.
 *
 * They are suggestions for a host that re-partitions its base:
 *   out_first (20000): the row count from which a partition is oversized;
 *     pass it as `min_rows` to zv_index_tuner_oversized() to list the
 *     partitions worth splitting.
 *   out_second (980): the row count below which a partition is small
 *     enough to merge into a neighbour when the host next lays out a base.
 * The library applies neither: a host that uses them rebuilds the base with
 * its new partitions through zv_index_build(). */
ZV_API int32_t zv_tuner_defaults(int32_t *out_first, int32_t *out_second) ZV_NOEXCEPT;

/* Lists, in partition order, every partition whose size is >= `min_rows`:
 * its key to `out_keys` and its size to `out_sizes` (room for
 * partition_count entries each, from zv_index_stats()). Returns the number
 * listed; 0 before a build. */
ZV_API int64_t zv_index_tuner_oversized(const zv_index *index, int32_t min_rows,
                                        int64_t *out_keys, int64_t *out_sizes) ZV_NOEXCEPT;

/* ------------------------------------------------------------------------
 * IVF indexes
 *
 * The host trains IVF indexes (the library does no clustering) and
 * registers them under 64-bit keys, compared bit for bit (0 and all-ones are
 * ordinary keys). Registration is independent of the base: it works before
 * a build, entries survive builds, and no IVF call changes the version.
 * ------------------------------------------------------------------------ */

/* Registers (or replaces whole, probe count included) the IVF index under
 * `key`. Writing call.
 *
 * Reads `nlist` centroids of the index's current dim (`centroids`,
 * nlist*dim floats; centroid c at c*dim), the inverted lists laid end to end
 * in `list_ids` (`id_count` ids) and cut by `list_offsets` (nlist+1 offsets;
 * list c is positions list_offsets[c] .. list_offsets[c+1]-1, empty when the
 * end is not above the start), and stores the probe count `nprobe`. All
 * arrays are copied; arrays that are not read (count 0 or negative) may be
 * NULL. Listed ids name base rows; negative ones are stored and ignored by
 * searches. Nothing is validated and nothing is rejected: ill-formed offsets
 * are stored and made harmless at search time. Returns 0. */
ZV_API int32_t zv_index_set_ivf(zv_index *index, uint64_t key, int32_t nlist,
                                int32_t nprobe, const float *centroids,
                                const int64_t *list_ids,
                                const int32_t *list_offsets, int32_t id_count) ZV_NOEXCEPT;

/* Sets the probe count of the IVF index under `key` (any value is stored;
 * 0 or negative makes searches probe nothing). Writing call. Returns 0, or
 * -1 changing nothing (and registering nothing) when `key` is not
 * registered. The next search uses the new count. */
ZV_API int32_t zv_index_set_ivf_nprobe(zv_index *index, uint64_t key,
                                       int32_t nprobe) ZV_NOEXCEPT;

/* Returns 1 when an IVF index is registered under `key`, else 0. */
ZV_API int32_t zv_index_has_ivf(const zv_index *index, uint64_t key) ZV_NOEXCEPT;

/* Discards every IVF index and releases its copies. Writing call. Returns
 * 0, also when none is registered. */
ZV_API int32_t zv_index_clear_ivf(zv_index *index) ZV_NOEXCEPT;

/* Approximate top-k through the IVF index under `key` over the base as
 * built (no delta, no tombstones).
 *
 * Reads dim floats from `query`. Scores the centroids, probes up to nprobe
 * lists best centroid first (ties to the lower number; centroids scoring NaN
 * or <= -1e30 are never probed) and offers every listed id that has a base
 * row, in probe order then list order, with that row's score; the id stored
 * is the listed id. The slot count is k: writes k ids to `out_ids` and k
 * scores to `out_scores` and returns k. Returns 0 without writing when the
 * key is not registered, k <= 0 or nlist <= 0. Positions outside the stored
 * ids are skipped; an entry whose centroids no longer cover nlist*dim floats
 * returns 0 without writing. Never reads outside the entry's stored
 * arrays. */
ZV_API int32_t zv_index_search_ivf(const zv_index *index, uint64_t key,
                                   const float *query, int32_t k,
                                   int64_t *out_ids, float *out_scores) ZV_NOEXCEPT;

/* ------------------------------------------------------------------------
 * Row metadata and filters
 *
 * Each id may carry a primary value and one value per metadata column, all
 * int64, keyed by id alone: ids need no row, and builds, inserts and deletes
 * neither read nor change metadata. An absent value reads as -1 (a stored
 * -1 looks the same). A filter is (filter_kind, filter_column,
 * filter_value): ZV_FILTER_ALL (0) passes every row; ZV_FILTER_PRIMARY (1)
 * passes rows whose primary value equals filter_value; ZV_FILTER_COLUMN (2),
 * and any other kind, passes rows whose value in column filter_column
 * equals filter_value (a column that does not exist passes nothing).
 * ------------------------------------------------------------------------ */

/* Writes metadata for `n` ids. Writing call.
 *
 * Reads `n` ids, `n` primary_values and n*column_count column_values
 * (column j of ids[i] at i*column_count + j; not read when column_count is
 * 0) and stores them, replacing earlier values for the same id and column.
 * Widens the index to `column_count` columns first (also when n <= 0);
 * columns added later hold nothing for ids written before. Values are not
 * validated and no entry is ever removed.
 *
 * Returns 0, or -1 changing nothing at all when column_count is below the
 * current column count (columns never shrink). */
ZV_API int32_t zv_index_set_rowmeta(zv_index *index, const int64_t *ids,
                                    const int64_t *primary_values,
                                    const int64_t *column_values,
                                    int32_t column_count, int32_t n) ZV_NOEXCEPT;

/* Reads the metadata of `n` ids: primary to out_primary[i], column j to
 * out_columns[i*m + j] with m the current column count (out_columns is not
 * touched when m is 0), -1 where absent. Returns m, whatever n is; with
 * n <= 0 nothing is read or written, so a call with n = 0 asks for m. */
ZV_API int32_t zv_index_export_rowmeta(const zv_index *index,
                                       const int64_t *ids, int32_t n,
                                       int64_t *out_primary,
                                       int64_t *out_columns) ZV_NOEXCEPT;

/* Writes the ids of the visible rows that pass the filter, in walk order, to
 * `out_ids` (room for zv_index_visible_count() ids). Returns the number. */
ZV_API int64_t zv_index_match_ids(const zv_index *index, int32_t filter_kind,
                                  int32_t filter_column, int64_t filter_value,
                                  int64_t *out_ids) ZV_NOEXCEPT;

/* Exact top-k over the visible rows that pass the filter, offered in walk
 * order (so a delta row ranks ahead of an equal-scoring base row). With kind
 * 0 this is the exact search over the current state. Reads dim floats from
 * `query`. The slot count is k: writes k ids to `out_ids` and k scores to
 * `out_scores` and returns k; returns 0 without writing when k <= 0. Works
 * without a sealed base. */
ZV_API int32_t zv_index_search_filtered(const zv_index *index,
                                        int32_t filter_kind,
                                        int32_t filter_column,
                                        int64_t filter_value,
                                        const float *query, int32_t k,
                                        int64_t *out_ids, float *out_scores) ZV_NOEXCEPT;

/* ------------------------------------------------------------------------
 * Batched searches
 *
 * Each answers `nq` queries in one call, exactly as `nq` calls of its single
 * search would: for query q (its dim floats at queries + q*dim) it writes
 * slots q*k .. q*k + m - 1 of `out_ids` and `out_scores`, byte for byte
 * what the single search writes into its m slots for that query, where m is
 * the slot count that single search returns (the same for every query of a
 * call). Slots m .. k-1 of each query are not touched, so give both arrays
 * room for nq*k entries. Returns m, or 0 without writing anything when
 * nq <= 0 or m <= 0. With dim <= 0 the queries are not read (NULL is then
 * fine). Read-only calls: they may run beside other reads on one handle,
 * and a host may split a large batch over threads by queries.
 *
 * A batch reads each block of rows once for many queries instead of once
 * per query, so it is much faster per query than single calls whenever
 * there is more than a handful of queries. Its scratch memory is bounded
 * whatever nq and k are.
 * ------------------------------------------------------------------------ */

/* zv_index_search_full for each of the `nq` queries. m = min(k, base_count);
 * 0 when the index is not sealed. */
ZV_API int32_t zv_index_search_full_batch(const zv_index *index, const float *queries,
                                          int32_t nq, int32_t k, int64_t *out_ids,
                                          float *out_scores) ZV_NOEXCEPT;

/* zv_index_search_partition for each of the `nq` queries. m = min(k,
 * partition size); 0 in every case where the single search returns 0. */
ZV_API int32_t zv_index_search_partition_batch(const zv_index *index,
                                               int64_t partition_key,
                                               const float *queries, int32_t nq,
                                               int32_t k, int64_t *out_ids,
                                               float *out_scores) ZV_NOEXCEPT;

/* zv_index_search_ivf for each of the `nq` queries: each query probes its
 * own best lists, ties and order exactly as in the single search. m = k; 0
 * when the key is not registered, k <= 0, nlist <= 0 or the centroids no
 * longer cover nlist*dim floats. */
ZV_API int32_t zv_index_search_ivf_batch(const zv_index *index, uint64_t key,
                                         const float *queries, int32_t nq, int32_t k,
                                         int64_t *out_ids, float *out_scores) ZV_NOEXCEPT;

/* zv_index_search_filtered for each of the `nq` queries. m = k. */
ZV_API int32_t zv_index_search_filtered_batch(const zv_index *index,
                                              int32_t filter_kind,
                                              int32_t filter_column,
                                              int64_t filter_value,
                                              const float *queries, int32_t nq,
                                              int32_t k, int64_t *out_ids,
                                              float *out_scores) ZV_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* ZV_RUNTIME_H */
