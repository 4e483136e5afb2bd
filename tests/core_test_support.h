// Shared helpers of the unit tests: the owning handle, a base description, a
// reference top-k, and result arrays guarded by canaries.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <unordered_map>
#include <vector>

#include "index_record.h"
#include "reference/reference_model.h"
#include "zv_runtime.h"

namespace zvtest {

// The one owning handle of the suite. The write and IVF helpers take the
// host's arrays as vectors; tests that check derived state reach the record.
class Index {
 public:
  explicit Index(int32_t dim, int32_t tag = 0) : index_(zv_index_new(dim, tag)) {}
  ~Index() { zv_index_free(index_); }
  Index(const Index&) = delete;
  Index& operator=(const Index&) = delete;
  zv_index* get() const { return index_; }
  operator zv_index*() const { return index_; }
  zv::IndexRecord& rec() const { return *index_; }

  // One partition (key 0) over every row.
  int32_t build(const std::vector<float>& vectors, const std::vector<int64_t>& ids,
                int32_t dim) const {
    const int64_t key = 0;
    const int32_t offset = 0;
    const int32_t size = static_cast<int32_t>(ids.size());
    return zv_index_build(index_, vectors.data(), static_cast<int64_t>(ids.size()), dim,
                          ids.data(), &key, &offset, &size, 1);
  }
  int64_t insert(const std::vector<int64_t>& ids, const std::vector<float>& vectors) const {
    return zv_index_insert(index_, vectors.data(), ids.data(), static_cast<int32_t>(ids.size()));
  }
  int64_t remove(const std::vector<int64_t>& ids) const {
    return zv_index_delete(index_, ids.data(), static_cast<int32_t>(ids.size()));
  }
  int32_t set_ivf(uint64_t key, int32_t nlist, int32_t nprobe, const std::vector<float>& centroids,
                  const std::vector<int64_t>& ids, const std::vector<int32_t>& offsets) const {
    return zv_index_set_ivf(index_, key, nlist, nprobe, centroids.data(), ids.data(),
                            offsets.data(), static_cast<int32_t>(ids.size()));
  }

 private:
  zv_index* index_;
};

// The reference model holding the same one-partition base as Index::build.
inline int32_t build(zvref::Model& m, const std::vector<float>& vectors,
                     const std::vector<int64_t>& ids, int32_t dim) {
  const int64_t key = 0;
  const int32_t offset = 0;
  const int32_t size = static_cast<int32_t>(ids.size());
  return m.build(vectors.data(), static_cast<int64_t>(ids.size()), dim, ids.data(), &key, &offset,
                 &size, 1);
}

// A base as the host hands it over.
struct Base {
  int32_t dim = 0;
  std::vector<float> vectors;
  std::vector<int64_t> ids;
  std::vector<int64_t> keys;
  std::vector<int32_t> offsets;
  std::vector<int32_t> sizes;

  int64_t rows() const { return static_cast<int64_t>(ids.size()); }
  const float* row(int64_t r) const { return vectors.data() + r * std::max(dim, 0); }
  void add_partition(int64_t key, int32_t first, int32_t size) {
    keys.push_back(key);
    offsets.push_back(first);
    sizes.push_back(size);
  }
};

inline int32_t build(zv_index* index, const Base& b) {
  return zv_index_build(index, b.vectors.data(), b.rows(), b.dim, b.ids.data(), b.keys.data(),
                        b.offsets.data(), b.sizes.data(), static_cast<int32_t>(b.keys.size()));
}

// Deterministic pseudo-random floats in [-1, 1), with a few exact values.
inline std::vector<float> test_floats(int64_t count, uint64_t seed) {
  std::vector<float> out(static_cast<std::size_t>(count));
  uint64_t s = seed * 0x9e3779b97f4a7c15ULL + 1;
  for (auto& f : out) {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    f = static_cast<float>(static_cast<int64_t>(s >> 40) - (INT64_C(1) << 23)) / 8388608.0f;
  }
  return out;
}

struct Offer {
  float score;
  int64_t id;
};

struct TopKResult {
  int32_t count = 0;
  std::vector<int64_t> ids;
  std::vector<float> scores;
};

// What any search must return for rows offered in this order with m slots.
inline TopKResult reference_topk(const std::vector<Offer>& offers, int32_t m) {
  TopKResult r;
  if (m <= 0) return r;
  r.count = m;
  r.ids.resize(static_cast<std::size_t>(m));
  r.scores.resize(static_cast<std::size_t>(m));
  zvref::Slots slots(r.ids.data(), r.scores.data(), m);
  for (const Offer& o : offers) slots.offer(o.score, o.id);
  return r;
}

inline uint32_t float_bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

inline constexpr int64_t kCanaryId = INT64_C(0x5a5a5a5a5a5a5a5a);
inline constexpr float kCanaryScore = 12345.678f;

// Runs a search into canary-filled arrays of `capacity` + 8 slots and checks
// that nothing at or past the returned count was written (all of them when
// the search returns 0).
inline TopKResult run_search(int32_t capacity,
                             const std::function<int32_t(int64_t*, float*)>& search) {
  const std::size_t room = static_cast<std::size_t>(std::max(capacity, 0)) + 8;
  std::vector<int64_t> ids(room, kCanaryId);
  std::vector<float> scores(room, kCanaryScore);
  TopKResult r;
  r.count = search(ids.data(), scores.data());
  EXPECT_GE(r.count, 0);
  const std::size_t written = static_cast<std::size_t>(std::max(r.count, 0));
  for (std::size_t i = written; i < room; ++i) {
    EXPECT_EQ(ids[i], kCanaryId) << "id slot " << i << " written past the result";
    EXPECT_EQ(float_bits(scores[i]), float_bits(kCanaryScore))
        << "score slot " << i << " written past the result";
  }
  r.ids.assign(ids.begin(), ids.begin() + static_cast<std::ptrdiff_t>(std::min(written, room)));
  r.scores.assign(scores.begin(),
                  scores.begin() + static_cast<std::ptrdiff_t>(std::min(written, room)));
  return r;
}

// Exact equality, scores compared bit for bit.
inline void expect_same_topk(const TopKResult& got, const TopKResult& want) {
  ASSERT_EQ(got.count, want.count);
  ASSERT_EQ(got.ids.size(), want.ids.size());
  for (std::size_t i = 0; i < want.ids.size(); ++i) {
    EXPECT_EQ(got.ids[i], want.ids[i]) << "slot " << i;
    EXPECT_EQ(float_bits(got.scores[i]), float_bits(want.scores[i]))
        << "slot " << i << ": " << got.scores[i] << " vs " << want.scores[i];
  }
}

// The base-id table as the host would compute it: id -> last row.
inline std::unordered_map<int64_t, int64_t> last_row_of(const Base& b) {
  std::unordered_map<int64_t, int64_t> m;
  for (int64_t r = 0; r < b.rows(); ++r) m[b.ids[r]] = r;
  return m;
}

// Offers for candidate ids looked up in the base (ids without a row skipped).
inline std::vector<Offer> base_offers(const Base& b, const std::vector<int64_t>& candidates,
                                      const float* query) {
  const auto rows = last_row_of(b);
  std::vector<Offer> offers;
  for (int64_t id : candidates) {
    auto it = rows.find(id);
    if (it == rows.end()) continue;
    offers.push_back({zvref::score(b.row(it->second), query, b.dim), id});
  }
  return offers;
}

// Offers for base rows [first, first + count) in row order.
inline std::vector<Offer> row_offers(const Base& b, int64_t first, int64_t count,
                                     const float* query) {
  std::vector<Offer> offers;
  for (int64_t r = first; r < first + count; ++r) {
    offers.push_back({zvref::score(b.row(r), query, b.dim), b.ids[r]});
  }
  return offers;
}

inline TopKResult scatter(zv_index* index, const std::vector<int64_t>& ids, const float* query,
                          int32_t k) {
  return run_search(std::min<int32_t>(k, static_cast<int32_t>(ids.size())),
                    [&](int64_t* oi, float* os) {
                      return zv_index_scatter_topk(index, ids.data(),
                                                   static_cast<int32_t>(ids.size()), query, k,
                                                   oi, os);
                    });
}

inline TopKResult search_full(zv_index* index, const float* query, int32_t k) {
  return run_search(k, [&](int64_t* oi, float* os) {
    return zv_index_search_full(index, query, k, oi, os);
  });
}

inline TopKResult search_partition(zv_index* index, int64_t key, const float* query, int32_t k) {
  return run_search(k, [&](int64_t* oi, float* os) {
    return zv_index_search_partition(index, key, query, k, oi, os);
  });
}

// Everything the host can read back about a record without knowing it.
struct Observed {
  int64_t base_count = 0;
  int32_t dim = 0, tag = 0, partition_count = 0;
  int32_t sealed = 0, mutated = 0;
  int64_t version = 0, delta_count = 0;
  std::vector<float> base_vectors;
  std::vector<int64_t> base_ids;
  std::vector<int64_t> visible_ids;
  std::vector<float> visible_vectors;

  bool operator==(const Observed&) const = default;
};

inline Observed observe(zv_index* index) {
  Observed o;
  zv_index_stats(index, &o.base_count, &o.dim, &o.tag, &o.partition_count);
  o.sealed = zv_index_sealed(index);
  o.mutated = zv_index_mutated(index);
  o.version = zv_index_snapshot(index);
  o.delta_count = zv_index_delta_count(index);
  const int64_t d = std::max(o.dim, 0);
  o.base_vectors.assign(static_cast<std::size_t>(o.base_count * d), 0.0f);
  o.base_ids.assign(static_cast<std::size_t>(o.base_count), 0);
  EXPECT_EQ(zv_index_export_base(index, o.base_vectors.data(), o.base_ids.data()),
            o.sealed ? o.base_count : 0);
  const int64_t visible = zv_index_visible_count(index);
  o.visible_ids.assign(static_cast<std::size_t>(visible), 0);
  o.visible_vectors.assign(static_cast<std::size_t>(visible * d), 0.0f);
  EXPECT_EQ(zv_index_export_visible(index, o.visible_vectors.data(), o.visible_ids.data()),
            visible);
  return o;
}

}  // namespace zvtest
