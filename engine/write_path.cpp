#include "write_path.h"

#include <cstring>

#include "score_kernel.h"
#include "topk.h"

namespace zv {

int64_t insert_rows(IndexRecord& rec, const float* vectors, const int64_t* ids, int32_t n) {
  if (n <= 0) return rec.version;
  rec.mutated = 1;
  const int64_t v = ++rec.version;
  const int64_t d = rec.dim > 0 ? rec.dim : 0;
  for (int32_t i = 0; i < n; ++i) {
    const int64_t id = ids[i];
    const uint64_t h = IdMap::hash(id);
    const float* src = vectors + i * d;
    if (int64_t* t = rec.tombstones.find(id, h)) *t = 0;
    bool inserted;
    const int64_t r = rec.delta_rows.upsert(id, h, rec.delta_ids.size(), &inserted);
    if (inserted) {
      rec.delta_ids.push_back(id);
      rec.delta_versions.push_back(v);
      rec.delta_vectors.append(src, d);
    } else {
      float* dst = const_cast<float*>(delta_vector(rec, r));
      if (dst != nullptr && d > 0) std::memcpy(dst, src, static_cast<std::size_t>(d) * sizeof(float));
      rec.delta_versions[r] = v;
    }
  }
  return v;
}

int64_t delete_ids(IndexRecord& rec, const int64_t* ids, int32_t n) {
  if (n <= 0) return rec.version;
  rec.mutated = 1;
  const int64_t v = ++rec.version;
  for (int32_t i = 0; i < n; ++i) rec.tombstones.assign(ids[i], IdMap::hash(ids[i]), v);
  return v;
}

void rebuild_visibility(IndexRecord&) {}
void release_visibility(IndexRecord&) {}

int64_t visible_count(const IndexRecord& rec) {
  int64_t count = 0;
  walk_visible(
      rec, [&](int64_t, int64_t c) { count += c; }, [&](int64_t, int64_t c) { count += c; });
  return count;
}

int64_t visible_ids(const IndexRecord& rec, int64_t* out_ids) {
  int64_t count = 0;
  walk_visible(
      rec,
      [&](int64_t first, int64_t c) {
        std::memcpy(out_ids + count, rec.delta_ids.data() + first, static_cast<std::size_t>(c) * sizeof(int64_t));
        count += c;
      },
      [&](int64_t first, int64_t c) {
        std::memcpy(out_ids + count, rec.base_ids + first, static_cast<std::size_t>(c) * sizeof(int64_t));
        count += c;
      });
  return count;
}

int64_t export_visible(const IndexRecord& rec, float* out_vectors, int64_t* out_ids) {
  const int64_t d = rec.dim > 0 ? rec.dim : 0;
  int64_t count = 0;
  walk_visible(
      rec,
      [&](int64_t first, int64_t c) {
        for (int64_t r = first; r < first + c; ++r, ++count) {
          out_ids[count] = rec.delta_ids[r];
          const float* src = delta_vector(rec, r);
          if (d > 0 && src != nullptr) std::memcpy(out_vectors + count * d, src, static_cast<std::size_t>(d) * sizeof(float));
        }
      },
      [&](int64_t first, int64_t c) {
        std::memcpy(out_ids + count, rec.base_ids + first, static_cast<std::size_t>(c) * sizeof(int64_t));
        if (d > 0) std::memcpy(out_vectors + count * d, rec.base_vectors + first * d, static_cast<std::size_t>(c * d) * sizeof(float));
        count += c;
      });
  return count;
}

int32_t search_mvcc(const IndexRecord& rec, const int64_t* ids, int32_t n, const float* query,
                    int32_t k, int64_t* out_ids, float* out_scores) {
  if (k <= 0) return 0;
  TopK topk(out_ids, out_scores, k);
  for (int32_t i = 0; i < n; ++i) {
    const int64_t id = ids[i];
    const uint64_t h = IdMap::hash(id);
    if (is_deleted(rec, id, h)) continue;
    const float* vec = nullptr;
    if (const int64_t* r = rec.delta_rows.find(id, h)) {
      vec = delta_vector(rec, *r);
    } else {
      const int64_t row = base_row_of(rec, id);
      if (row >= 0) vec = base_row_vector(rec, row);
    }
    if (vec != nullptr) topk.offer(score_row(vec, query, rec.dim), id);
  }
  return k;
}

}  // namespace zv
