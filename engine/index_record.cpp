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

template <class T>
T* copy_array(const T* src, int64_t count) {
  if (count <= 0) return nullptr;
  T* dst = alloc_array<T>(count);
  std::memcpy(dst, src, static_cast<std::size_t>(count) * sizeof(T));
  return dst;
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
}

int32_t build_base(IndexRecord& rec, const float* vectors, int64_t n, int32_t dim,
                   const int64_t* ids, const int64_t* partition_keys,
                   const int32_t* partition_offsets, const int32_t* partition_sizes,
                   int32_t partition_count) {
  // Validate everything before anything is allocated or changed.
  if (n < 0 || n > kBaseLimit || dim < 0 || partition_count < 0) return -1;
  if (dim > 0 && n > kBaseLimit / dim) return -1;  // n * dim > 2^40
  if (dim != rec.dim && (rec.delta_ids.size() > 0 || rec.ivf_list.size() > 0)) return -1;
  int64_t max_id = -1;
  for (int64_t i = 0; i < n; ++i) {
    int64_t id = ids[i];
    if (id < 0 || id >= kBaseLimit) return -1;
    if (id > max_id) max_id = id;
  }

  const int64_t floats = n * dim;
  float* vec_copy = copy_array(vectors, floats);
  int64_t* id_copy = copy_array(ids, n);
  int64_t* key_copy = copy_array(partition_keys, partition_count);
  int32_t* off_copy = copy_array(partition_offsets, partition_count);
  int32_t* size_copy = copy_array(partition_sizes, partition_count);

  // Id lookup, last row wins; the previous holder of a repeated id is chained.
  int64_t* dense = nullptr;
  IdMap sparse;
  int64_t* dup_prev = nullptr;
  auto note_duplicate = [&](int64_t r, int64_t prev) {
    if (dup_prev == nullptr) {
      dup_prev = alloc_array<int64_t>(n);
      std::memset(dup_prev, 0xff, static_cast<std::size_t>(n) * sizeof(int64_t));
    }
    dup_prev[r] = prev;
  };
  if (n > 0 && dense_table_fits(max_id, n)) {
    dense = alloc_array<int64_t>(max_id + 1);
    std::memset(dense, 0xff, static_cast<std::size_t>(max_id + 1) * sizeof(int64_t));
    for (int64_t r = 0; r < n; ++r) {
      int64_t& slot = dense[id_copy[r]];
      if (slot >= 0) note_duplicate(r, slot);
      slot = r;
    }
  } else if (n > 0) {
    sparse.reserve(n);
    for (int64_t r = 0; r < n; ++r) {
      int64_t id = id_copy[r];
      bool inserted;
      int64_t& slot = sparse.upsert(id, IdMap::hash(id), r, &inserted);
      if (!inserted) {
        note_duplicate(r, slot);
        slot = r;
      }
    }
  }

  release_base(rec);
  rec.base_vectors = vec_copy;
  rec.base_ids = id_copy;
  rec.partition_keys = key_copy;
  rec.partition_offsets = off_copy;
  rec.partition_sizes = size_copy;
  rec.id_to_row = dense;
  rec.id_to_row_sparse.swap(sparse);
  rec.base_dup_prev = dup_prev;
  rec.max_base_id = max_id;
  rec.base_count = n;
  rec.dim = dim;
  rec.partition_count = partition_count;
  rec.sealed = 1;

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
