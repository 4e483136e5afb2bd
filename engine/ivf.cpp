#include "ivf.h"

#include <cstring>

#include "alloc.h"
#include "score_kernel.h"
#include "topk.h"

namespace zv {

namespace {

int64_t key_bits(uint64_t key) { return static_cast<int64_t>(key); }

template <class T>
T* copy_in(const T* src, int64_t count) {
  if (count <= 0) return nullptr;
  T* dst = alloc_array<T>(count);
  std::memcpy(dst, src, static_cast<std::size_t>(count) * sizeof(T));
  return dst;
}

const IvfEntry* find_entry(const IndexRecord& rec, uint64_t key) {
  const int64_t* slot = rec.ivf_index.find(key_bits(key));
  return slot ? &rec.ivf_list[*slot] : nullptr;
}

}  // namespace

int32_t set_ivf(IndexRecord& rec, uint64_t key, int32_t nlist, int32_t nprobe,
                const float* centroids, const int64_t* list_ids, const int32_t* list_offsets,
                int32_t id_count) {
  const int64_t d = rec.dim > 0 ? rec.dim : 0;
  const int64_t centroid_floats = nlist > 0 ? d * nlist : 0;
  const int64_t id_total = id_count > 0 ? id_count : 0;
  const int64_t offset_total = nlist >= 0 ? int64_t{nlist} + 1 : 0;

  float* c_copy = copy_in(centroids, centroid_floats);
  int64_t* id_copy = copy_in(list_ids, id_total);
  int32_t* off_copy = copy_in(list_offsets, offset_total);

  const int64_t k = key_bits(key);
  const uint64_t h = IdMap::hash(k);
  IvfEntry* entry;
  if (int64_t* slot = rec.ivf_index.find(k, h)) {
    entry = &rec.ivf_list[*slot];
    entry->release();
  } else {
    rec.ivf_index.assign(k, h, rec.ivf_list.size());
    entry = &rec.ivf_list.emplace_back();
  }
  entry->nlist = nlist;
  entry->nprobe = nprobe;
  entry->centroids = c_copy;
  entry->centroid_floats = centroid_floats;
  entry->list_ids = id_copy;
  entry->id_count = id_total;
  entry->list_offsets = off_copy;
  entry->offset_count = offset_total;
  return 0;
}

int32_t set_ivf_nprobe(IndexRecord& rec, uint64_t key, int32_t nprobe) {
  const int64_t* slot = rec.ivf_index.find(key_bits(key));
  if (slot == nullptr) return -1;
  rec.ivf_list[*slot].nprobe = nprobe;
  return 0;
}

int32_t has_ivf(const IndexRecord& rec, uint64_t key) {
  return rec.ivf_index.find(key_bits(key)) != nullptr ? 1 : 0;
}

int32_t clear_ivf(IndexRecord& rec) {
  rec.ivf_index.clear();
  rec.ivf_list.release();
  return 0;
}

int32_t search_ivf(const IndexRecord& rec, uint64_t key, const float* query, int32_t k,
                   int64_t* out_ids, float* out_scores) {
  const IvfEntry* e = find_entry(rec, key);
  if (e == nullptr || k < 1 || e->nlist < 1) return 0;
  const int64_t d = rec.dim > 0 ? rec.dim : 0;
  // An entry whose centroids no longer cover the current dimension cannot be
  // scored without reading past them.
  if (e->centroid_floats < d * e->nlist) return 0;

  TopK topk(out_ids, out_scores, k);
  float* centroid_scores = alloc_array<float>(e->nlist);
  score_block(e->centroids, e->nlist, query, rec.dim, centroid_scores);
  for (int32_t probe = 0; probe < e->nprobe; ++probe) {
    float best = kEmptyScore;
    int32_t chosen = -1;
    for (int32_t c = 0; c < e->nlist; ++c) {
      if (centroid_scores[c] > best) {
        best = centroid_scores[c];
        chosen = c;
      }
    }
    if (chosen < 0) break;
    centroid_scores[chosen] = kEmptyScore;
    int64_t start = e->list_offsets[chosen];
    int64_t end = e->list_offsets[chosen + 1];
    if (start >= end) continue;
    if (start < 0) start = 0;
    if (end > e->id_count) end = e->id_count;
    for (int64_t p = start; p < end; ++p) {
      const int64_t id = e->list_ids[p];
      const int64_t row = base_row_of(rec, id);
      if (row < 0) continue;
      topk.offer(score_row(base_row_vector(rec, row), query, rec.dim), id);
    }
  }
  free_bytes(centroid_scores);
  return k;
}

}  // namespace zv
