// The write path (upserts into the delta, tombstone deletes) and the visible
// state it lays over the base: which rows readers see, in which order, and
// the readers built on that walk.
#pragma once

#include <cstdint>

#include "index_record.h"

namespace zv {

int64_t insert_rows(IndexRecord& rec, const float* vectors, const int64_t* ids, int32_t n);
int64_t delete_ids(IndexRecord& rec, const int64_t* ids, int32_t n);

// An id is deleted when its tombstone holds a value other than 0.
inline bool is_deleted(const IndexRecord& rec, int64_t id, uint64_t h) {
  const int64_t* t = rec.tombstones.find(id, h);
  return t != nullptr && *t != 0;
}

// The vector of delta row r, or nullptr when the stored floats do not cover
// it (they always do while the dimension is unchanged; readers stay safe
// regardless).
inline const float* delta_vector(const IndexRecord& rec, int64_t r) {
  const int64_t d = rec.dim > 0 ? rec.dim : 0;
  if ((r + 1) * d > rec.delta_vectors.size()) return nullptr;
  return rec.delta_vectors.data() + r * d;
}

// The visibility walk: every reader of the visible state meets rows in this
// order. Calls delta_run(first, count) for runs of visible delta rows in row
// order, then base_run(first, count) for runs of visible base rows in row
// order. Runs are maximal only as far as is cheap to know; callers must not
// rely on where one run ends and the next begins.
template <class DeltaRun, class BaseRun>
void walk_visible(const IndexRecord& rec, DeltaRun&& delta_run, BaseRun&& base_run);

// Derived state kept by the writers; rebuilt after every base build.
void rebuild_visibility(IndexRecord& rec);
void release_visibility(IndexRecord& rec);

int64_t visible_count(const IndexRecord& rec);
int64_t visible_ids(const IndexRecord& rec, int64_t* out_ids);
int64_t export_visible(const IndexRecord& rec, float* out_vectors, int64_t* out_ids);

int32_t search_mvcc(const IndexRecord& rec, const int64_t* ids, int32_t n, const float* query,
                    int32_t k, int64_t* out_ids, float* out_scores);

// ---------------------------------------------------------------------------

template <class DeltaRun, class BaseRun>
void walk_visible(const IndexRecord& rec, DeltaRun&& delta_run, BaseRun&& base_run) {
  const int64_t delta_count = rec.delta_ids.size();
  int64_t run_start = 0, run_len = 0;
  for (int64_t r = 0; r < delta_count; ++r) {
    const int64_t id = rec.delta_ids[r];
    if (!is_deleted(rec, id, IdMap::hash(id))) {
      if (run_len == 0) run_start = r;
      ++run_len;
      continue;
    }
    if (run_len > 0) delta_run(run_start, run_len);
    run_len = 0;
  }
  if (run_len > 0) delta_run(run_start, run_len);

  run_len = 0;
  for (int64_t r = 0; r < rec.base_count; ++r) {
    const int64_t id = rec.base_ids[r];
    const uint64_t h = IdMap::hash(id);
    if (!rec.delta_rows.contains(id, h) && !is_deleted(rec, id, h)) {
      if (run_len == 0) run_start = r;
      ++run_len;
      continue;
    }
    if (run_len > 0) base_run(run_start, run_len);
    run_len = 0;
  }
  if (run_len > 0) base_run(run_start, run_len);
}

}  // namespace zv
