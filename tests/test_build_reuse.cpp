// Rebuilds that refill the previous base's storage: whatever the sizes and
// id layouts of the bases before, an index rebuilt in place must answer
// exactly like a fresh index given the same writes and only the last base,
// and a rejected build must leave the reused storage untouched.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "core_test_support.h"
#include "index_record.h"
#include "zv_runtime.h"

namespace {

using namespace zvtest;

constexpr int32_t kDim = 5;

const zv::IndexRecord& record(zv_index* index) { return *index; }

// `n` rows with ids first, first + stride, ...; every `dup_every`-th row
// repeats the id of the row before it (0: no repeats). Three partitions.
Base make_base(int64_t n, int64_t first, int64_t stride, int64_t dup_every, uint64_t seed) {
  Base b;
  b.dim = kDim;
  for (int64_t r = 0; r < n; ++r) {
    const bool dup = dup_every > 0 && r > 0 && r % dup_every == 0;
    b.ids.push_back(dup ? b.ids.back() : first + r * stride);
  }
  b.vectors = test_floats(n * kDim, seed);
  const int32_t third = static_cast<int32_t>(n / 3);
  b.add_partition(-4, 0, third);
  b.add_partition(9, third, third);
  b.add_partition(70, 2 * third, static_cast<int32_t>(n) - 2 * third);
  return b;
}

// The writes applied between builds, replayed on the fresh index.
struct Writes {
  std::vector<std::vector<int64_t>> insert_ids, delete_ids, meta_ids;
  std::vector<std::vector<float>> insert_vectors;
  std::vector<char> kinds;  // 'i', 'd', 'm' in call order

  void replay(zv_index* index, size_t upto) const {
    size_t i = 0, d = 0, m = 0;
    for (size_t c = 0; c < upto; ++c) {
      if (kinds[c] == 'i') {
        zv_index_insert(index, insert_vectors[i].data(), insert_ids[i].data(),
                        static_cast<int32_t>(insert_ids[i].size()));
        ++i;
      } else if (kinds[c] == 'd') {
        zv_index_delete(index, delete_ids[d].data(), static_cast<int32_t>(delete_ids[d].size()));
        ++d;
      } else {
        const auto& ids = meta_ids[m++];
        std::vector<int64_t> primary, columns;
        for (int64_t id : ids) {
          primary.push_back(id % 4);
          columns.push_back(id % 3);
          columns.push_back(id % 5 == 0 ? -1 : 1);
        }
        zv_index_set_rowmeta(index, ids.data(), primary.data(), columns.data(), 2,
                             static_cast<int32_t>(ids.size()));
      }
    }
  }
};

std::vector<int64_t> match(zv_index* index, int32_t kind, int32_t column, int64_t value) {
  std::vector<int64_t> out(static_cast<size_t>(zv_index_visible_count(index)) + 1);
  out.resize(static_cast<size_t>(zv_index_match_ids(index, kind, column, value, out.data())));
  return out;
}

TopKResult filtered(zv_index* index, int32_t kind, int32_t column, int64_t value,
                    const float* q, int32_t k) {
  return run_search(k, [&](int64_t* oi, float* os) {
    return zv_index_search_filtered(index, kind, column, value, q, k, oi, os);
  });
}

TopKResult mvcc(zv_index* index, const std::vector<int64_t>& ids, const float* q, int32_t k) {
  return run_search(k, [&](int64_t* oi, float* os) {
    return zv_index_search_mvcc(index, ids.data(), static_cast<int32_t>(ids.size()), q, k, oi, os);
  });
}

// Everything readable about `got` equals `want`, `probe` naming ids of this
// base and of every earlier one.
void expect_same_index(zv_index* got, zv_index* want, const std::vector<int64_t>& probe) {
  ASSERT_EQ(observe(got), observe(want));
  const std::vector<float> q = test_floats(kDim, 99);
  for (int32_t k : {1, 7, 40}) {
    expect_same_topk(search_full(got, q.data(), k), search_full(want, q.data(), k));
    for (int64_t key : {-4, 9, 70, 5})
      expect_same_topk(search_partition(got, key, q.data(), k),
                       search_partition(want, key, q.data(), k));
    expect_same_topk(scatter(got, probe, q.data(), k), scatter(want, probe, q.data(), k));
    expect_same_topk(mvcc(got, probe, q.data(), k), mvcc(want, probe, q.data(), k));
    for (int32_t kind : {0, 1, 2})
      expect_same_topk(filtered(got, kind, 1, 1, q.data(), k),
                       filtered(want, kind, 1, 1, q.data(), k));
  }
  for (int64_t value : {-1, 0, 1, 2}) {
    EXPECT_EQ(match(got, 1, 0, value), match(want, 1, 0, value)) << value;
    EXPECT_EQ(match(got, 2, 1, value), match(want, 2, 1, value)) << value;
  }
  std::vector<int64_t> gp(probe.size()), wp(probe.size()), gc(probe.size() * 2), wc(probe.size() * 2);
  const int32_t n = static_cast<int32_t>(probe.size());
  EXPECT_EQ(zv_index_export_rowmeta(got, probe.data(), n, gp.data(), gc.data()),
            zv_index_export_rowmeta(want, probe.data(), n, wp.data(), wc.data()));
  EXPECT_EQ(gp, wp);
  EXPECT_EQ(gc, wc);
}

struct Step {
  const char* what;
  int64_t n, first, stride, dup_every;
};

TEST(BuildReuse, EveryRebuildAnswersLikeAFreshIndex) {
  const Step steps[] = {
      {"first base", 3000, 0, 1, 0},
      {"same size, other ids and vectors", 3000, 500, 1, 0},
      {"smaller by a third (storage kept)", 2000, 0, 2, 0},
      {"far smaller (storage given back)", 90, 40, 3, 0},
      {"larger than ever", 5000, 0, 1, 0},
      {"same size with repeated ids", 5000, 7, 1, 4},
      {"repeats gone again", 4000, 1, 1, 0},
      {"sparse ids (map lookup)", 3000, 1000, 1 << 20, 5},
      {"dense ids after sparse", 3500, 0, 1, 0},
      {"smaller, repeated ids, dense", 2600, 3, 1, 2},
      {"empty base", 0, 0, 1, 0},
      {"after the empty base", 2700, 2, 1, 0},
  };
  Index rebuilt(kDim);
  Writes writes;
  std::vector<int64_t> probe;  // ids of every base so far and of the writes
  uint64_t seed = 1;
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    const Base b = make_base(s.n, s.first, s.stride, s.dup_every, seed++);
    const zv::IndexRecord& rec = record(rebuilt);
    const float* old_vectors = rec.base.vectors();
    const int64_t old_capacity = rec.base.vector_storage().capacity();
    ASSERT_EQ(build(rebuilt, b), 0);
    const int64_t floats = s.n * kDim;
    if (old_vectors != nullptr && floats <= old_capacity && old_capacity / 2 <= floats) {
      EXPECT_EQ(rec.base.vectors(), old_vectors) << "storage that fits is refilled";
    } else {
      EXPECT_EQ(rec.base.vector_storage().capacity(), floats) << "storage that does not fit is replaced";
    }
    for (int64_t r = 0; r < s.n; r += 97) probe.push_back(b.ids[r]);
    probe.push_back(s.first + s.n * s.stride);  // just past this base

    // Writes touching this base, old bases and new ids.
    Writes& w = writes;
    std::vector<int64_t> ins, del, meta;
    for (size_t i = 0; i < probe.size(); i += 3) ins.push_back(probe[i]);
    ins.push_back(900000 + static_cast<int64_t>(seed));
    for (size_t i = 1; i < probe.size(); i += 4) del.push_back(probe[i]);
    for (size_t i = 0; i < probe.size(); i += 2) meta.push_back(probe[i]);
    for (int64_t r = 0; r < s.n; r += 5) meta.push_back(b.ids[r]);
    probe.push_back(ins.back());
    w.kinds.push_back('i');
    w.insert_ids.push_back(ins);
    w.insert_vectors.push_back(test_floats(static_cast<int64_t>(ins.size()) * kDim, seed + 1000));
    w.kinds.push_back('d');
    w.delete_ids.push_back(del);
    w.kinds.push_back('m');
    w.meta_ids.push_back(meta);

    // Before this step's writes, and after them.
    {
      Index fresh(kDim);
      writes.replay(fresh, w.kinds.size() - 3);
      ASSERT_EQ(build(fresh, b), 0);
      expect_same_index(rebuilt, fresh, probe);
    }
    const size_t total = w.kinds.size();
    Writes last;
    last.kinds.assign(w.kinds.end() - 3, w.kinds.end());
    last.insert_ids = {ins};
    last.insert_vectors = {w.insert_vectors.back()};
    last.delete_ids = {del};
    last.meta_ids = {meta};
    last.replay(rebuilt, 3);
    Index fresh(kDim);
    writes.replay(fresh, total);
    ASSERT_EQ(build(fresh, b), 0);
    expect_same_index(rebuilt, fresh, probe);
  }
}

TEST(BuildReuse, RejectedBuildLeavesReusableStorageUntouched) {
  Index index(kDim);
  const Base first = make_base(2000, 0, 1, 7, 1);
  const Base second = make_base(2000, 10, 1, 0, 2);
  ASSERT_EQ(build(index, first), 0);
  ASSERT_EQ(build(index, second), 0);  // refills the first base's storage
  const std::vector<int64_t> gone = {5, 100};
  zv_index_delete(index, gone.data(), 2);
  const zv::IndexRecord& rec = record(index);
  const float* vectors = rec.base.vectors();
  const void* table = rec.base.lookup_storage();
  const Observed before = observe(index);
  std::vector<int64_t> probe;
  for (int64_t id = 0; id < 2100; id += 13) probe.push_back(id);
  const std::vector<float> q = test_floats(kDim, 5);
  const TopKResult scatter_before = scatter(index, probe, q.data(), 9);

  // The same size (the storage would fit), each rejected only by its last id.
  for (int64_t bad : {INT64_C(-1), INT64_C(1) << 40, INT64_MIN}) {
    Base b = make_base(2000, 0, 1, 0, 3);
    b.ids.back() = bad;
    EXPECT_EQ(build(index, b), -1) << bad;
    EXPECT_EQ(observe(index), before) << bad;
    expect_same_topk(scatter(index, probe, q.data(), 9), scatter_before);
    EXPECT_EQ(rec.base.vectors(), vectors);
    EXPECT_EQ(rec.base.lookup_storage(), table);
  }

  // A later good build still answers like a fresh one.
  const Base third = make_base(1500, 3, 1, 0, 4);
  ASSERT_EQ(build(index, third), 0);
  Index fresh(kDim);
  zv_index_delete(fresh, gone.data(), 2);
  ASSERT_EQ(build(fresh, third), 0);
  expect_same_index(index, fresh, probe);
}

}  // namespace
