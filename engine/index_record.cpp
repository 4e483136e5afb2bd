#include "index_record.h"

#include <cstring>

#include "alloc.h"
#include "ivf.h"
#include "rowmeta.h"
#include "write_path.h"

namespace zv {

namespace {

// A dense id table may spend a few entries per row before the sparse map is
// the better deal; the constant keeps small bases with sparse ids dense.
bool dense_table_fits(int64_t max_id, int64_t n) {
  return max_id < 4 * n + 4096;
}

}  // namespace

void IvfEntry::release() {
  free_bytes(centroids);
  free_bytes(list_ids);
  free_bytes(list_offsets);
  free_bytes(list_rows);
  centroids = nullptr;
  list_ids = nullptr;
  list_offsets = nullptr;
  list_rows = nullptr;
  centroid_floats = id_count = offset_count = 0;
}

namespace {

// Unpredictable to the host: where the record lives and when it was made.
uint64_t fresh_hash_seed(const void* where) {
  uint64_t s = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(where));
#if defined(__x86_64__) || defined(__i386__)
  s ^= __builtin_ia32_rdtsc() * 0x9e3779b97f4a7c15ULL;
#endif
  return IdMap::hash(static_cast<int64_t>(s), 0x2545f4914f6cdd1dULL);
}

}  // namespace

IndexRecord::IndexRecord() : hash_seed(fresh_hash_seed(this)) {
  for (IdMap* map : {&id_to_row_sparse, &delta_rows, &tombstones, &rowmeta_primary, &ivf_index}) {
    map->set_seed(hash_seed);
  }
}

IndexRecord::~IndexRecord() {
  release_base(*this);
  release_visibility(*this);
  release_rowmeta_dense(*this);
}

void release_base(IndexRecord& rec) {
  free_bytes(rec.base_vectors);
  free_bytes(rec.base_ids);
  free_bytes(rec.partition_keys);
  free_bytes(rec.partition_offsets);
  free_bytes(rec.partition_sizes);
  free_bytes(rec.id_to_row);
  free_bytes(rec.base_dup_prev);
  rec.id_to_row_sparse.clear();
  rec.base_vectors = nullptr;
  rec.base_ids = nullptr;
  rec.partition_keys = nullptr;
  rec.partition_offsets = nullptr;
  rec.partition_sizes = nullptr;
  rec.id_to_row = nullptr;
  rec.base_dup_prev = nullptr;
  rec.base_capacity = {};
}

int32_t build_base(IndexRecord& rec, const float* vectors, int64_t n, int32_t dim,
                   const int64_t* ids, const int64_t* partition_keys,
                   const int32_t* partition_offsets, const int32_t* partition_sizes,
                   int32_t partition_count) {
  // Validate everything before anything is changed.
  if (n < 0 || n > kBaseLimit || dim < 0 || partition_count < 0) return -1;
  if (dim > 0 && n > kBaseLimit / dim) return -1;  // n * dim > 2^40
  if (dim != rec.dim && (rec.delta_ids.size() > 0 || rec.ivf_list.size() > 0)) return -1;
  int64_t max_id = -1;
  for (int64_t i = 0; i < n; ++i) {
    int64_t id = ids[i];
    if (id < 0 || id >= kBaseLimit) return -1;
    if (id > max_id) max_id = id;
  }

  // From here on the build cannot fail (running out of memory ends the
  // process), so the old base's storage is overwritten in place where it
  // fits.
  auto& cap = rec.base_capacity;
  refill(rec.base_vectors, cap.vectors, vectors, n * dim);
  refill(rec.base_ids, cap.ids, ids, n);
  refill(rec.partition_keys, cap.keys, partition_keys, partition_count);
  refill(rec.partition_offsets, cap.offsets, partition_offsets, partition_count);
  refill(rec.partition_sizes, cap.sizes, partition_sizes, partition_count);
  rec.max_base_id = max_id;
  rec.base_count = n;
  rec.dim = dim;
  rec.partition_count = partition_count;
  rec.sealed = 1;

  // Id lookup, last row wins; the previous holder of a repeated id is chained.
  const int64_t* id_copy = rec.base_ids;
  bool any_duplicate = false;
  auto note_duplicate = [&](int64_t r, int64_t prev) {
    if (!any_duplicate) {
      any_duplicate = true;
      reuse_or_alloc(rec.base_dup_prev, cap.dup_prev, n);
      std::memset(rec.base_dup_prev, 0xff, static_cast<std::size_t>(n) * sizeof(int64_t));
    }
    rec.base_dup_prev[r] = prev;
  };
  IdMap sparse;
  sparse.set_seed(rec.hash_seed);
  const bool dense = n > 0 && dense_table_fits(max_id, n);
  reuse_or_alloc(rec.id_to_row, cap.id_table, dense ? max_id + 1 : 0);
  if (dense) {
    int64_t* table = rec.id_to_row;
    std::memset(table, 0xff, static_cast<std::size_t>(max_id + 1) * sizeof(int64_t));
    for (int64_t r = 0; r < n; ++r) {
      int64_t& slot = table[id_copy[r]];
      if (slot >= 0) note_duplicate(r, slot);
      slot = r;
    }
  } else if (n > 0) {
    sparse.reserve(n);
    for (int64_t r = 0; r < n; ++r) {
      int64_t id = id_copy[r];
      bool inserted;
      int64_t& slot = sparse.upsert(id, id_hash(rec, id), r, &inserted);
      if (!inserted) {
        note_duplicate(r, slot);
        slot = r;
      }
    }
  }
  rec.id_to_row_sparse.swap(sparse);  // the old map goes with `sparse`
  // Writers take a present chain to mean the ids repeat.
  if (!any_duplicate) reuse_or_alloc(rec.base_dup_prev, cap.dup_prev, 0);

  // State derived from the base is rebuilt by its owners.
  rebuild_visibility(rec);
  rebuild_rowmeta_dense(rec);
  refresh_ivf_rows(rec);
  return 0;
}

int64_t export_base(const IndexRecord& rec, float* out_vectors, int64_t* out_ids) {
  if (!rec.sealed) return 0;
  const int64_t floats = rec.base_count * (rec.dim > 0 ? rec.dim : 0);
  if (floats > 0) std::memcpy(out_vectors, rec.base_vectors, static_cast<std::size_t>(floats) * sizeof(float));
  if (rec.base_count > 0) std::memcpy(out_ids, rec.base_ids, static_cast<std::size_t>(rec.base_count) * sizeof(int64_t));
  return rec.base_count;
}

}  // namespace zv
