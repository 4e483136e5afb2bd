// A deliberately plain model of one index: standard containers, the scalar
// score chain, and every rule written out the long way. It shares nothing with
// the engine beyond the public header's constants, so the two can be run side
// by side and compared bit for bit. Speed is no concern here; obviousness is.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "zv_runtime.h"

namespace zvref {

inline constexpr int64_t kLimit = int64_t{1} << 40;

// The defining score: one sequential fused multiply-add chain from +0.0.
inline float score(const float* row, const float* query, int32_t dim) {
  float acc = 0.0f;
  for (int32_t j = 0; j < dim; ++j) acc = std::fma(row[j], query[j], acc);
  return acc;
}

// The insertion step: (s, id) goes after every held entry with an equal or
// greater score, into m slots already filled; a score that does not beat
// the last slot (NaN never does) is dropped.
inline void offer_into(float s, int64_t id, int64_t m, int64_t* ids, float* scores) {
  if (!(s > scores[m - 1])) return;
  int64_t j = m - 1;
  while (j > 0 && s > scores[j - 1]) {
    scores[j] = scores[j - 1];
    ids[j] = ids[j - 1];
    --j;
  }
  scores[j] = s;
  ids[j] = id;
}

// The m result slots of a search, over the caller's arrays.
struct Slots {
  int64_t* ids;
  float* scores;
  int64_t m;
  Slots(int64_t* i, float* s, int64_t count) : ids(i), scores(s), m(count) {
    for (int64_t j = 0; j < m; ++j) {
      ids[j] = ZV_EMPTY_ID;
      scores[j] = ZV_EMPTY_SCORE;
    }
  }
  void offer(float s, int64_t id) { offer_into(s, id, m, ids, scores); }
};

// The lists an IVF search probes, best first: one rescan per probe for the
// highest score left, the lower number on ties; scores at or below the empty
// score (NaN too) are never probed.
inline std::vector<int32_t> probe_order(std::vector<float> scores, int32_t nprobe) {
  std::vector<int32_t> order;
  for (int32_t probe = 0; probe < nprobe; ++probe) {
    float best = ZV_EMPTY_SCORE;
    int32_t chosen = -1;
    for (int32_t c = 0; c < static_cast<int32_t>(scores.size()); ++c) {
      if (scores[c] > best) {
        best = scores[c];
        chosen = c;
      }
    }
    if (chosen < 0) break;
    scores[chosen] = ZV_EMPTY_SCORE;
    order.push_back(chosen);
  }
  return order;
}

struct IvfEntry {
  int32_t nlist = 0;
  int32_t nprobe = 0;
  std::vector<float> centroids;
  std::vector<int64_t> list_ids;
  std::vector<int32_t> list_offsets;
};

class Model {
 public:
  Model(int32_t dim, int32_t tag) : dim_(dim), tag_(tag) {}

  // --- lifecycle ------------------------------------------------------------
  int32_t stats(int64_t* base_count, int32_t* dim, int32_t* tag, int32_t* partitions) const {
    *base_count = static_cast<int64_t>(base_ids_.size());
    *dim = dim_;
    *tag = tag_;
    *partitions = static_cast<int32_t>(part_keys_.size());
    return 0;
  }
  int64_t snapshot() const { return version_; }
  int32_t mutated() const { return mutated_; }
  int32_t sealed() const { return sealed_; }
  int64_t delta_count() const { return static_cast<int64_t>(delta_ids_.size()); }

  // --- base -----------------------------------------------------------------
  int32_t build(const float* vectors, int64_t n, int32_t dim, const int64_t* ids,
                const int64_t* keys, const int32_t* offsets, const int32_t* sizes,
                int32_t partition_count) {
    if (n < 0 || n > kLimit || dim < 0 || partition_count < 0) return -1;
    // n * dim > 2^40, as exact integers (both are non-negative here).
    if (dim > 0 && static_cast<unsigned __int128>(n) * static_cast<unsigned>(dim) >
                       static_cast<unsigned __int128>(kLimit))
      return -1;
    // Delta rows and IVF centroids are laid out with the current dimension.
    if (dim != dim_ && (!delta_ids_.empty() || !ivf_.empty())) return -1;
    for (int64_t i = 0; i < n; ++i) {
      if (ids[i] < 0 || ids[i] >= kLimit) return -1;
    }
    base_vectors_.assign(vectors, vectors + n * dim);
    base_ids_.assign(ids, ids + n);
    part_keys_.assign(keys, keys + partition_count);
    part_offsets_.assign(offsets, offsets + partition_count);
    part_sizes_.assign(sizes, sizes + partition_count);
    id_to_row_.clear();
    max_base_id_ = -1;
    for (int64_t r = 0; r < n; ++r) {
      id_to_row_[ids[r]] = r;
      if (ids[r] > max_base_id_) max_base_id_ = ids[r];
    }
    dim_ = dim;
    sealed_ = 1;
    return 0;
  }

  int64_t export_base(float* out_vectors, int64_t* out_ids) const {
    if (!sealed_) return 0;
    for (size_t i = 0; i < base_vectors_.size(); ++i) out_vectors[i] = base_vectors_[i];
    for (size_t i = 0; i < base_ids_.size(); ++i) out_ids[i] = base_ids_[i];
    return static_cast<int64_t>(base_ids_.size());
  }

  // --- writes ---------------------------------------------------------------
  int64_t insert(const float* vectors, const int64_t* ids, int32_t n) {
    if (n <= 0) return version_;
    mutated_ = 1;
    const int64_t v = ++version_;
    const int64_t d = dim_ > 0 ? dim_ : 0;
    for (int32_t i = 0; i < n; ++i) {
      const int64_t id = ids[i];
      auto t = tombstones_.find(id);
      if (t != tombstones_.end()) t->second = 0;
      const float* src = vectors + i * d;
      auto row = delta_rows_.find(id);
      if (row != delta_rows_.end()) {
        for (int64_t j = 0; j < d; ++j) delta_vectors_[row->second * d + j] = src[j];
        delta_versions_[row->second] = v;
      } else {
        delta_rows_[id] = static_cast<int64_t>(delta_ids_.size());
        delta_ids_.push_back(id);
        delta_versions_.push_back(v);
        for (int64_t j = 0; j < d; ++j) delta_vectors_.push_back(src[j]);
      }
    }
    return v;
  }

  int64_t remove(const int64_t* ids, int32_t n) {
    if (n <= 0) return version_;
    mutated_ = 1;
    const int64_t v = ++version_;
    for (int32_t i = 0; i < n; ++i) tombstones_[ids[i]] = v;
    return v;
  }

  // --- visibility -----------------------------------------------------------
  bool deleted(int64_t id) const {
    auto t = tombstones_.find(id);
    return t != tombstones_.end() && t->second != 0;
  }

  // Visible rows in walk order: (is_delta, row).
  std::vector<std::pair<bool, int64_t>> walk() const {
    std::vector<std::pair<bool, int64_t>> rows;
    for (size_t r = 0; r < delta_ids_.size(); ++r) {
      if (!deleted(delta_ids_[r])) rows.push_back({true, static_cast<int64_t>(r)});
    }
    for (size_t r = 0; r < base_ids_.size(); ++r) {
      const int64_t id = base_ids_[r];
      if (delta_rows_.count(id) == 0 && !deleted(id)) rows.push_back({false, static_cast<int64_t>(r)});
    }
    return rows;
  }

  int64_t row_id(const std::pair<bool, int64_t>& row) const {
    return row.first ? delta_ids_[row.second] : base_ids_[row.second];
  }
  const float* row_vector(const std::pair<bool, int64_t>& row) const {
    const int64_t d = dim_ > 0 ? dim_ : 0;
    return row.first ? delta_vectors_.data() + row.second * d : base_vectors_.data() + row.second * d;
  }

  int64_t visible_count() const { return static_cast<int64_t>(walk().size()); }

  int64_t visible_ids(int64_t* out) const {
    int64_t c = 0;
    for (auto& row : walk()) out[c++] = row_id(row);
    return c;
  }

  int64_t export_visible(float* out_vectors, int64_t* out_ids) const {
    const int64_t d = dim_ > 0 ? dim_ : 0;
    int64_t c = 0;
    for (auto& row : walk()) {
      const float* v = row_vector(row);
      for (int64_t j = 0; j < d; ++j) out_vectors[c * d + j] = v[j];
      out_ids[c++] = row_id(row);
    }
    return c;
  }

  std::optional<int64_t> base_row(int64_t id) const {
    if (id < 0 || id > max_base_id_) return std::nullopt;
    auto it = id_to_row_.find(id);
    if (it == id_to_row_.end()) return std::nullopt;
    return it->second;
  }

  int32_t search_mvcc(const int64_t* ids, int32_t n, const float* query, int32_t k,
                      int64_t* out_ids, float* out_scores) const {
    if (k <= 0) return 0;
    Slots slots(out_ids, out_scores, k);
    const int64_t d = dim_ > 0 ? dim_ : 0;
    for (int32_t i = 0; i < n; ++i) {
      const int64_t id = ids[i];
      if (deleted(id)) continue;
      auto dr = delta_rows_.find(id);
      if (dr != delta_rows_.end()) {
        slots.offer(score(delta_vectors_.data() + dr->second * d, query, dim_), id);
      } else if (auto r = base_row(id)) {
        slots.offer(score(base_vectors_.data() + *r * d, query, dim_), id);
      }
    }
    return k;
  }

  // --- base searches --------------------------------------------------------
  int32_t search_full(const float* query, int32_t k, int64_t* out_ids, float* out_scores) const {
    if (!sealed_) return 0;
    const int64_t m = std::min<int64_t>(k, static_cast<int64_t>(base_ids_.size()));
    if (m <= 0) return 0;
    Slots slots(out_ids, out_scores, m);
    const int64_t d = dim_ > 0 ? dim_ : 0;
    for (size_t r = 0; r < base_ids_.size(); ++r) {
      slots.offer(score(base_vectors_.data() + r * d, query, dim_), base_ids_[r]);
    }
    return static_cast<int32_t>(m);
  }

  int32_t search_partition(int64_t key, const float* query, int32_t k, int64_t* out_ids,
                           float* out_scores) const {
    const int64_t count = static_cast<int64_t>(part_keys_.size());
    if (!sealed_ || count <= 0) return 0;
    int64_t lo = 0, hi = count - 1, p = -1;
    while (lo <= hi) {
      const int64_t mid = (lo + hi) / 2;
      if (part_keys_[mid] == key) {
        p = mid;
        break;
      }
      if (part_keys_[mid] > key) hi = mid - 1;
      else lo = mid + 1;
    }
    if (p < 0) return 0;
    const int64_t first = part_offsets_[p], size = part_sizes_[p];
    const int64_t m = std::min<int64_t>(k, size);
    if (first < 0 || size < 0 || first + size > static_cast<int64_t>(base_ids_.size()) || m <= 0)
      return 0;
    Slots slots(out_ids, out_scores, m);
    const int64_t d = dim_ > 0 ? dim_ : 0;
    for (int64_t r = first; r < first + size; ++r) {
      slots.offer(score(base_vectors_.data() + r * d, query, dim_), base_ids_[r]);
    }
    return static_cast<int32_t>(m);
  }

  int32_t scatter_topk(const int64_t* ids, int32_t n, const float* query, int32_t k,
                       int64_t* out_ids, float* out_scores) const {
    const int32_t m = std::min(k, n);
    if (!sealed_ || m <= 0) return 0;
    Slots slots(out_ids, out_scores, m);
    const int64_t d = dim_ > 0 ? dim_ : 0;
    for (int32_t i = 0; i < n; ++i) {
      if (auto r = base_row(ids[i])) slots.offer(score(base_vectors_.data() + *r * d, query, dim_), ids[i]);
    }
    return m;
  }

  int64_t tuner_oversized(int32_t min_rows, int64_t* out_keys, int64_t* out_sizes) const {
    int64_t c = 0;
    for (size_t p = 0; p < part_keys_.size(); ++p) {
      if (part_sizes_[p] >= min_rows) {
        out_keys[c] = part_keys_[p];
        out_sizes[c] = part_sizes_[p];
        ++c;
      }
    }
    return c;
  }

  // --- IVF ------------------------------------------------------------------
  int32_t set_ivf(uint64_t key, int32_t nlist, int32_t nprobe, const float* centroids,
                  const int64_t* list_ids, const int32_t* list_offsets, int32_t id_count) {
    IvfEntry e;
    e.nlist = nlist;
    e.nprobe = nprobe;
    const int64_t d = dim_ > 0 ? dim_ : 0;
    if (nlist > 0 && d > 0) e.centroids.assign(centroids, centroids + d * nlist);
    if (id_count > 0) e.list_ids.assign(list_ids, list_ids + id_count);
    if (nlist >= 0) e.list_offsets.assign(list_offsets, list_offsets + int64_t{nlist} + 1);
    auto slot = ivf_slot_.find(key);
    if (slot != ivf_slot_.end()) {
      ivf_[slot->second] = std::move(e);
    } else {
      ivf_slot_[key] = ivf_.size();
      ivf_.push_back(std::move(e));
    }
    return 0;
  }

  int32_t set_ivf_nprobe(uint64_t key, int32_t nprobe) {
    auto slot = ivf_slot_.find(key);
    if (slot == ivf_slot_.end()) return -1;
    ivf_[slot->second].nprobe = nprobe;
    return 0;
  }

  int32_t has_ivf(uint64_t key) const { return ivf_slot_.count(key) ? 1 : 0; }

  int32_t clear_ivf() {
    ivf_slot_.clear();
    ivf_.clear();
    return 0;
  }

  int32_t search_ivf(uint64_t key, const float* query, int32_t k, int64_t* out_ids,
                     float* out_scores) const {
    auto slot = ivf_slot_.find(key);
    if (slot == ivf_slot_.end()) return 0;
    const IvfEntry& e = ivf_[slot->second];
    if (k < 1 || e.nlist < 1) return 0;
    const int64_t d = dim_ > 0 ? dim_ : 0;
    // Centroids that do not cover nlist vectors of the current dimension.
    if (static_cast<int64_t>(e.centroids.size()) < d * e.nlist) return 0;
    Slots slots(out_ids, out_scores, k);
    std::vector<float> cs(e.nlist);
    for (int32_t c = 0; c < e.nlist; ++c) cs[c] = score(e.centroids.data() + c * d, query, dim_);
    for (int32_t chosen : probe_order(std::move(cs), e.nprobe)) {
      // Positions outside the stored ids are skipped (the list is cut to them).
      const int64_t start = std::max<int64_t>(e.list_offsets[chosen], 0);
      const int64_t end = std::min<int64_t>(e.list_offsets[chosen + 1], e.list_ids.size());
      for (int64_t p = start; p < end; ++p) {
        const int64_t id = e.list_ids[p];
        if (auto r = base_row(id)) slots.offer(score(base_vectors_.data() + *r * d, query, dim_), id);
      }
    }
    return k;
  }

  // --- metadata -------------------------------------------------------------
  int32_t set_rowmeta(const int64_t* ids, const int64_t* primary, const int64_t* columns,
                      int32_t column_count, int32_t n) {
    if (column_count < static_cast<int32_t>(meta_columns_.size())) return -1;
    meta_columns_.resize(column_count);
    for (int32_t i = 0; i < n; ++i) {
      meta_primary_[ids[i]] = primary[i];
      for (int32_t j = 0; j < column_count; ++j) {
        meta_columns_[j][ids[i]] = columns[int64_t{i} * column_count + j];
      }
    }
    return 0;
  }

  static int64_t read(const std::map<int64_t, int64_t>& m, int64_t id) {
    auto it = m.find(id);
    return it == m.end() ? -1 : it->second;
  }

  int32_t export_rowmeta(const int64_t* ids, int32_t n, int64_t* out_primary,
                         int64_t* out_columns) const {
    const int32_t m = static_cast<int32_t>(meta_columns_.size());
    for (int32_t i = 0; i < n; ++i) {
      out_primary[i] = read(meta_primary_, ids[i]);
      for (int32_t j = 0; j < m; ++j) out_columns[int64_t{i} * m + j] = read(meta_columns_[j], ids[i]);
    }
    return m;
  }

  bool matches(int64_t id, int32_t kind, int64_t column, int64_t value) const {
    if (kind == 0) return true;
    if (kind == 1) return read(meta_primary_, id) == value;
    if (column < 0 || column >= static_cast<int64_t>(meta_columns_.size())) return false;
    return read(meta_columns_[column], id) == value;
  }

  int64_t match_ids(int32_t kind, int32_t column, int64_t value, int64_t* out) const {
    int64_t c = 0;
    for (auto& row : walk()) {
      if (matches(row_id(row), kind, column, value)) out[c++] = row_id(row);
    }
    return c;
  }

  int32_t search_filtered(int32_t kind, int32_t column, int64_t value, const float* query,
                          int32_t k, int64_t* out_ids, float* out_scores) const {
    if (k <= 0) return 0;
    Slots slots(out_ids, out_scores, k);
    for (auto& row : walk()) {
      if (matches(row_id(row), kind, column, value)) {
        slots.offer(score(row_vector(row), query, dim_), row_id(row));
      }
    }
    return k;
  }

  // --- batched searches: the single search once per query ----------------
  // Query q reads dim floats at queries + q * dim and writes its slots at
  // q * k; the result is the single search's slot count (0 for nq <= 0).
  template <class Single>
  int32_t batch(const float* queries, int32_t nq, int32_t k, int64_t* out_ids, float* out_scores,
                Single&& single) const {
    int32_t r = 0;
    const int64_t d = std::max(dim_, 0);
    for (int32_t q = 0; q < nq; ++q) {
      const int64_t at = int64_t{q} * k;
      r = single(d > 0 ? queries + q * d : queries, out_ids + at, out_scores + at);
    }
    return r;
  }
  int32_t search_full_batch(const float* queries, int32_t nq, int32_t k, int64_t* out_ids,
                            float* out_scores) const {
    return batch(queries, nq, k, out_ids, out_scores, [&](const float* q, int64_t* i, float* s) {
      return search_full(q, k, i, s);
    });
  }
  int32_t search_partition_batch(int64_t key, const float* queries, int32_t nq, int32_t k,
                                 int64_t* out_ids, float* out_scores) const {
    return batch(queries, nq, k, out_ids, out_scores, [&](const float* q, int64_t* i, float* s) {
      return search_partition(key, q, k, i, s);
    });
  }
  int32_t search_ivf_batch(uint64_t key, const float* queries, int32_t nq, int32_t k,
                           int64_t* out_ids, float* out_scores) const {
    return batch(queries, nq, k, out_ids, out_scores, [&](const float* q, int64_t* i, float* s) {
      return search_ivf(key, q, k, i, s);
    });
  }
  int32_t search_filtered_batch(int32_t kind, int32_t column, int64_t value, const float* queries,
                                int32_t nq, int32_t k, int64_t* out_ids, float* out_scores) const {
    return batch(queries, nq, k, out_ids, out_scores, [&](const float* q, int64_t* i, float* s) {
      return search_filtered(kind, column, value, q, k, i, s);
    });
  }

  int32_t dim() const { return dim_; }
  int32_t column_count() const { return static_cast<int32_t>(meta_columns_.size()); }
  int32_t partition_count() const { return static_cast<int32_t>(part_keys_.size()); }
  int64_t base_count() const { return static_cast<int64_t>(base_ids_.size()); }
  int64_t max_base_id() const { return max_base_id_; }
  const std::vector<int64_t>& base_ids() const { return base_ids_; }
  const std::vector<int64_t>& delta_ids() const { return delta_ids_; }
  const std::vector<int64_t>& partition_keys() const { return part_keys_; }

 private:
  int32_t dim_;
  int32_t tag_;
  int32_t sealed_ = 0;
  int64_t version_ = 0;
  int32_t mutated_ = 0;

  std::vector<float> base_vectors_;
  std::vector<int64_t> base_ids_;
  std::vector<int64_t> part_keys_;
  std::vector<int32_t> part_offsets_;
  std::vector<int32_t> part_sizes_;
  std::map<int64_t, int64_t> id_to_row_;  // last row wins
  int64_t max_base_id_ = -1;

  std::map<int64_t, int64_t> delta_rows_;
  std::vector<int64_t> delta_ids_;
  std::vector<int64_t> delta_versions_;
  std::vector<float> delta_vectors_;
  std::map<int64_t, int64_t> tombstones_;

  std::map<int64_t, int64_t> meta_primary_;
  std::vector<std::map<int64_t, int64_t>> meta_columns_;

  std::map<uint64_t, size_t> ivf_slot_;
  std::vector<IvfEntry> ivf_;
};

}  // namespace zvref
