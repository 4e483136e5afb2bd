// The sealed base: validation of a build, the id table (dense and sparse),
// replacement by a later build, and the export.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdint>
#include <random>
#include <set>
#include <vector>

#include "core_test_support.h"
#include "index_record.h"
#include "zv_runtime.h"

namespace {

using namespace zvtest;

constexpr int64_t kLimit = INT64_C(1) << 40;

const zv::IndexRecord& record(zv_index* index) { return *index; }

// dim 2, ids 10..13 in two partitions.
Base small_base() {
  Base b;
  b.dim = 2;
  b.vectors = {1, 0, 0, 1, 1, 1, -1, 2};
  b.ids = {10, 11, 12, 13};
  b.add_partition(1, 0, 2);
  b.add_partition(2, 2, 2);
  return b;
}

// Base with `n` rows of dim `dim` and the given ids, one partition.
Base base_with_ids(std::vector<int64_t> ids, int32_t dim, uint64_t seed = 1) {
  Base b;
  b.dim = dim;
  b.ids = std::move(ids);
  b.vectors = test_floats(b.rows() * dim, seed);
  b.add_partition(0, 0, static_cast<int32_t>(b.rows()));
  return b;
}

// ---------------------------------------------------------------------------
// Rejected builds leave the record exactly as it was

struct RejectedArgs {
  const char* what;
  int64_t n;
  int32_t dim;
  int32_t partition_count;
};

// None of these may read an array: they are all rejected on the counts alone.
const RejectedArgs kRejectedCounts[] = {
    {"n*dim just above 2^40 with n within limit", (INT64_C(1) << 39) + 1, 2, 0},
    {"n*dim = 2^40 + 2^20", (INT64_C(1) << 20) + 1, 1 << 20, 0},
    {"n*dim above 2^40 with dim 3", kLimit / 3 + 1, 3, 0},
    {"n = 2^40 with dim 2", kLimit, 2, 0},
    {"n*dim far above 2^40", kLimit, INT32_MAX, 0},
    {"n*dim overflowing 64 bits", INT64_C(1) << 40, INT32_MAX, 0},
    {"n = 2^40 + 1 with dim 0", kLimit + 1, 0, 0},
    {"n = 2^40 + 1 with dim 1", kLimit + 1, 1, 0},
    {"n = INT64_MAX", INT64_MAX, 1, 0},
    {"n = -1", -1, 2, 0},
    {"n = -1 with dim 0", -1, 0, 0},
    {"n = INT64_MIN", INT64_MIN, 2, 0},
    {"dim = -1", 0, -1, 0},
    {"dim = -1 with rows", 3, -1, 0},
    {"dim = INT32_MIN", 1, INT32_MIN, 0},
    {"partition_count = -1", 0, 2, -1},
    {"partition_count = INT32_MIN", 0, 2, INT32_MIN},
};

TEST(BuildValidation, RejectedCountsLeaveAnUnsealedRecordUnsealed) {
  for (const RejectedArgs& a : kRejectedCounts) {
    SCOPED_TRACE(a.what);
    Index index(2, 9);
    const Observed before = observe(index);
    EXPECT_EQ(zv_index_build(index, nullptr, a.n, a.dim, nullptr, nullptr, nullptr, nullptr,
                             a.partition_count),
              -1);
    EXPECT_EQ(observe(index), before);
    EXPECT_EQ(record(index).base.max_id(), -1);
  }
}

TEST(BuildValidation, RejectedCountsKeepThePreviousBase) {
  const Base b = small_base();
  for (const RejectedArgs& a : kRejectedCounts) {
    SCOPED_TRACE(a.what);
    Index index(2);
    ASSERT_EQ(build(index, b), 0);
    const Observed before = observe(index);
    EXPECT_EQ(zv_index_build(index, nullptr, a.n, a.dim, nullptr, nullptr, nullptr, nullptr,
                             a.partition_count),
              -1);
    EXPECT_EQ(observe(index), before);
    EXPECT_EQ(record(index).base.max_id(), 13);
    const float q[] = {1, 1};
    expect_same_topk(scatter(index, {13, 10}, q, 2), reference_topk(base_offers(b, {13, 10}, q), 2));
  }
}

TEST(BuildValidation, OutOfRangeIdsAreRejectedAtAnyPosition) {
  const int64_t bad_ids[] = {kLimit, kLimit + 1, INT64_MAX, -1, -2, INT64_MIN};
  for (int64_t bad : bad_ids) {
    for (int pos = 0; pos < 3; ++pos) {
      SCOPED_TRACE(testing::Message() << "id " << bad << " at " << pos);
      std::vector<int64_t> ids = {1, 2, 3};
      ids[static_cast<std::size_t>(pos)] = bad;
      const Base attempt = base_with_ids(ids, 2);
      for (bool sealed_first : {false, true}) {
        Index index(2);
        if (sealed_first) ASSERT_EQ(build(index, small_base()), 0);
        const Observed before = observe(index);
        EXPECT_EQ(build(index, attempt), -1);
        EXPECT_EQ(observe(index), before);
      }
    }
  }
}

TEST(BuildValidation, SingleRowWithIdTwoToTheFortyIsRejected) {
  Index index(1);
  const float v[] = {1};
  const int64_t id[] = {kLimit};
  EXPECT_EQ(zv_index_build(index, v, 1, 1, id, nullptr, nullptr, nullptr, 0), -1);
  EXPECT_EQ(zv_index_sealed(index), 0);
}

TEST(BuildValidation, LargestLegalIdIsAccepted) {
  Index index(1);
  const float v[] = {2};
  const int64_t id[] = {kLimit - 1};
  ASSERT_EQ(zv_index_build(index, v, 1, 1, id, nullptr, nullptr, nullptr, 0), 0);
  EXPECT_EQ(record(index).base.max_id(), kLimit - 1);
  const float q[] = {3};
  const TopKResult r = scatter(index, {kLimit - 1, kLimit}, q, 2);
  ASSERT_EQ(r.count, 2);
  EXPECT_EQ(r.ids[0], kLimit - 1);
  EXPECT_EQ(r.scores[0], 6.0f);
  EXPECT_EQ(r.ids[1], ZV_EMPTY_ID);
}

// ---------------------------------------------------------------------------
// A build with another dim, when stored rows would no longer line up

class DimChange : public testing::Test {
 protected:
  Index index{2};
  const float row2[2] = {0.5f, -0.5f};
  Base other_dim = base_with_ids({1, 2, 3}, 3);
  Base same_dim = base_with_ids({1, 2, 3}, 2);

  void insert_one(int64_t id) { zv_index_insert(index, row2, &id, 1); }
  void register_ivf(uint64_t key) {
    const float centroids[] = {1, 0};
    const int64_t list[] = {1, 2, 3};
    const int32_t offsets[] = {0, 3};
    ASSERT_EQ(zv_index_set_ivf(index, key, 1, 1, centroids, list, offsets, 3), 0);
  }
  void expect_rejected(const Base& attempt) {
    const Observed before = observe(index);
    EXPECT_EQ(build(index, attempt), -1);
    EXPECT_EQ(observe(index), before);
  }
};

TEST_F(DimChange, RejectedWhileTheDeltaHoldsARow_Unsealed) {
  insert_one(7);
  expect_rejected(other_dim);
  // Even an empty base may not change the dim under the delta.
  Base empty;
  empty.dim = 5;
  expect_rejected(empty);
  EXPECT_EQ(build(index, same_dim), 0);
}

TEST_F(DimChange, RejectedWhileTheDeltaHoldsARow_Sealed) {
  ASSERT_EQ(build(index, same_dim), 0);
  insert_one(2);
  expect_rejected(other_dim);
  // A deleted delta row is still a row.
  const int64_t del[] = {2};
  zv_index_delete(index, del, 1);
  expect_rejected(other_dim);
  EXPECT_EQ(build(index, base_with_ids({4, 5}, 2, 9)), 0);
}

TEST_F(DimChange, RejectedWhileAnIvfEntryIsRegistered) {
  ASSERT_EQ(build(index, same_dim), 0);
  register_ivf(UINT64_MAX);
  expect_rejected(other_dim);
  EXPECT_EQ(zv_index_clear_ivf(index), 0);
  ASSERT_EQ(build(index, other_dim), 0);
  int64_t count;
  int32_t dim, tag, parts;
  zv_index_stats(index, &count, &dim, &tag, &parts);
  EXPECT_EQ(dim, 3);
  EXPECT_EQ(count, 3);
}

TEST_F(DimChange, AcceptedWithTombstonesAndMetadataOnly) {
  ASSERT_EQ(build(index, same_dim), 0);
  const int64_t del[] = {1, 99};
  zv_index_delete(index, del, 2);
  const int64_t meta_ids[] = {2};
  const int64_t primary[] = {5};
  const int64_t cols[] = {6};
  ASSERT_EQ(zv_index_set_rowmeta(index, meta_ids, primary, cols, 1, 1), 0);

  ASSERT_EQ(build(index, other_dim), 0);
  const Observed o = observe(index);
  EXPECT_EQ(o.dim, 3);
  EXPECT_EQ(o.base_vectors, other_dim.vectors);
  EXPECT_EQ(o.visible_ids, (std::vector<int64_t>{2, 3}));  // the tombstone on 1 holds
  EXPECT_EQ(o.version, 1);
  const float q[] = {1, 2, 3};
  expect_same_topk(scatter(index, {1, 2, 3}, q, 3),
                   reference_topk(base_offers(other_dim, {1, 2, 3}, q), 3));
}

TEST_F(DimChange, AcceptedOnAFreshRecord) {
  ASSERT_EQ(build(index, other_dim), 0);
  EXPECT_EQ(observe(index).dim, 3);
}

// ---------------------------------------------------------------------------
// The id table

TEST(BuildIdTable, RepeatedIdsLastRowWinsAndEveryRowStays) {
  Base b;
  b.dim = 2;
  b.vectors = {1, 0, 0, 3, 2, 2};
  b.ids = {3, 5, 3};
  b.add_partition(0, 0, 3);
  Index index(2);
  ASSERT_EQ(build(index, b), 0);
  EXPECT_EQ(record(index).base.row_of(3), 2);
  EXPECT_EQ(record(index).base.row_of(5), 1);

  const Observed o = observe(index);
  EXPECT_EQ(o.base_ids, b.ids);
  EXPECT_EQ(o.base_vectors, b.vectors);

  const float q[] = {1, 1};
  // Full and partition searches score both rows of id 3.
  const TopKResult full = search_full(index, q, 3);
  EXPECT_EQ(full.ids, (std::vector<int64_t>{3, 5, 3}));
  EXPECT_EQ(full.scores, (std::vector<float>{4, 3, 1}));
  const TopKResult part = search_partition(index, 0, q, 3);
  EXPECT_EQ(part.ids, full.ids);
  EXPECT_EQ(part.scores, full.scores);
  // A lookup by id scores the last row only.
  const TopKResult by_id = scatter(index, {3}, q, 1);
  ASSERT_EQ(by_id.count, 1);
  EXPECT_EQ(by_id.scores[0], 4.0f);
}

TEST(BuildIdTable, GapsHoldNoRow) {
  Index index(1);
  const Base b = base_with_ids({9, 0, 5}, 1);
  ASSERT_EQ(build(index, b), 0);
  const zv::IndexRecord& rec = record(index);
  EXPECT_EQ(rec.base.max_id(), 9);
  ASSERT_TRUE(rec.base.direct_lookup()) << "a compact id range keeps the dense table";
  const int64_t expected[] = {1, -1, -1, -1, -1, 2, -1, -1, -1, 0};
  for (int64_t id = 0; id <= 9; ++id) {
    EXPECT_EQ(rec.base.row_of(id), expected[id]) << id;
  }
  for (int64_t id : {INT64_C(-1), INT64_C(10), kLimit, INT64_MIN, INT64_MAX}) {
    EXPECT_EQ(rec.base.row_of(id), -1) << id;
  }
}

TEST(BuildIdTable, EmptyBaseHasNoIds) {
  Index index(3);
  const float q[] = {1, 1, 1};
  ASSERT_EQ(zv_index_build(index, nullptr, 0, 3, nullptr, nullptr, nullptr, nullptr, 0), 0);
  EXPECT_EQ(record(index).base.max_id(), -1);
  EXPECT_EQ(record(index).base.row_of(0), -1);
  const TopKResult r = scatter(index, {0, 1}, q, 2);
  EXPECT_EQ(r.count, 2);
  EXPECT_EQ(r.ids, (std::vector<int64_t>{-1, -1}));
}

// ---------------------------------------------------------------------------
// Sparse ids: a few rows with ids anywhere below 2^40

long peak_rss_kib() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

// `count` distinct ids spread over [0, 2^40), including both ends, plus two
// repeats, in shuffled order.
std::vector<int64_t> sparse_ids(int64_t count, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::set<int64_t> seen = {0, kLimit - 1};
  while (static_cast<int64_t>(seen.size()) < count) seen.insert(static_cast<int64_t>(rng() % kLimit));
  std::vector<int64_t> ids(seen.begin(), seen.end());
  std::shuffle(ids.begin(), ids.end(), rng);
  ids.push_back(ids[5]);
  ids.push_back(kLimit - 1);
  return ids;
}

// Checks every lookup-driven search against the host-side table: the answer
// must be the one a dense id table gives.
void expect_lookups_match_reference(zv_index* index, const Base& b, uint64_t seed) {
  std::vector<int64_t> candidates = b.ids;
  // Ids without a row right next to ids with one, and out-of-range ids.
  for (std::size_t i = 0; i < b.ids.size(); i += 7) {
    candidates.push_back(b.ids[i] + 1);
    candidates.push_back(b.ids[i] - 1);
  }
  candidates.push_back(kLimit);
  candidates.push_back(-1);
  std::shuffle(candidates.begin(), candidates.end(), std::mt19937_64(seed));
  const std::vector<float> q = test_floats(b.dim, seed + 1);
  const int32_t n = static_cast<int32_t>(candidates.size());

  // k = n also checks every tail slot; kept for small candidate lists since
  // filling n slots by insertion is quadratic.
  for (int32_t k : {1, 10, 300, n <= 3000 ? n : 1000}) {
    SCOPED_TRACE(testing::Message() << "k " << k);
    const std::vector<Offer> offers = base_offers(b, candidates, q.data());
    expect_same_topk(scatter(index, candidates, q.data(), k),
                     reference_topk(offers, std::min(k, n)));
    // With no delta and no tombstones the candidate search answers the same,
    // into k slots.
    expect_same_topk(run_search(k,
                                [&](int64_t* oi, float* os) {
                                  return zv_index_search_mvcc(index, candidates.data(), n,
                                                              q.data(), k, oi, os);
                                }),
                     reference_topk(offers, k));
  }
  // One IVF list holding every candidate: the probe resolves ids the same way.
  const std::vector<float> centroid(static_cast<std::size_t>(b.dim), 1.0f);
  const int32_t offsets[] = {0, n};
  ASSERT_EQ(zv_index_set_ivf(index, 1, 1, 1, centroid.data(), candidates.data(), offsets, n), 0);
  const int32_t k = 25;
  expect_same_topk(run_search(k,
                              [&](int64_t* oi, float* os) {
                                return zv_index_search_ivf(index, 1, q.data(), k, oi, os);
                              }),
                   reference_topk(base_offers(b, candidates, q.data()), k));
  ASSERT_EQ(zv_index_clear_ivf(index), 0);
}

TEST(BuildSparseIds, IdsUpToTheLimitBuildSearchAndExportInLittleMemory) {
  const long rss_before = peak_rss_kib();
  const Base b = base_with_ids(sparse_ids(1000, 7), 8, 3);
  Index index(8);
  ASSERT_EQ(build(index, b), 0);
  // A dense table would be 8 TiB; the whole base is well under a megabyte.
  EXPECT_LT(peak_rss_kib() - rss_before, 32 * 1024) << "KiB of peak RSS added by the build";
  EXPECT_FALSE(record(index).base.direct_lookup());
  EXPECT_EQ(record(index).base.max_id(), kLimit - 1);

  const Observed o = observe(index);
  EXPECT_EQ(o.base_ids, b.ids);
  EXPECT_EQ(o.base_vectors, b.vectors);
  EXPECT_EQ(o.visible_ids, b.ids);

  // Repeated ids: the last row wins.
  const auto rows = last_row_of(b);
  for (int64_t id : b.ids) EXPECT_EQ(record(index).base.row_of(id), rows.at(id));
  EXPECT_EQ(record(index).base.row_of(kLimit - 1), b.rows() - 1);

  expect_lookups_match_reference(index, b, 11);
  const std::vector<float> q = test_floats(8, 5);
  expect_same_topk(search_full(index, q.data(), 20),
                   reference_topk(row_offers(b, 0, b.rows(), q.data()), 20));
  EXPECT_LT(peak_rss_kib() - rss_before, 32 * 1024);
}

TEST(BuildSparseIds, StridedIdsOfALargerBase) {
  // 50,000 ids 2^20 apart: a dense table would need 400 GiB.
  std::vector<int64_t> ids;
  for (int64_t i = 0; i < 50000; ++i) ids.push_back((i * 7919 % 50000) << 20);
  const Base b = base_with_ids(ids, 4, 8);
  const long rss_before = peak_rss_kib();
  Index index(4);
  ASSERT_EQ(build(index, b), 0);
  EXPECT_LT(peak_rss_kib() - rss_before, 64 * 1024) << "KiB of peak RSS added by the build";
  expect_lookups_match_reference(index, b, 12);
}

// The dense and sparse tables must be interchangeable at the point where the
// build switches from one to the other.
TEST(BuildSparseIds, SameAnswersOnBothSidesOfTheLayoutSwitch) {
  for (int64_t max_id : {INT64_C(1000), INT64_C(4000), INT64_C(4500), INT64_C(5000),
                         INT64_C(6000), INT64_C(100000), INT64_C(1) << 30}) {
    SCOPED_TRACE(testing::Message() << "max id " << max_id);
    std::vector<int64_t> ids;
    for (int64_t i = 0; i < 100; ++i) ids.push_back(max_id - i * (max_id / 100));
    ids.push_back(ids[3]);   // a repeat
    ids.push_back(max_id);   // the largest id repeated last
    const Base b = base_with_ids(ids, 3, static_cast<uint64_t>(max_id));
    Index index(3);
    ASSERT_EQ(build(index, b), 0);
    EXPECT_EQ(record(index).base.max_id(), max_id);
    expect_lookups_match_reference(index, b, static_cast<uint64_t>(max_id));
  }
}

// ---------------------------------------------------------------------------
// A later build replaces the base and nothing else

TEST(BuildReplace, SecondBuildReplacesEverything) {
  Index index(3);
  const Base first = base_with_ids({0, 1, 2, 3, 4, 5}, 3, 1);
  Base first_parts = first;
  first_parts.keys = {1, 2, 3};
  first_parts.offsets = {0, 2, 4};
  first_parts.sizes = {2, 2, 2};
  ASSERT_EQ(build(index, first_parts), 0);

  Base second = base_with_ids({40, 2}, 2, 2);  // fewer rows, another dim
  ASSERT_EQ(build(index, second), 0);
  const Observed o = observe(index);
  EXPECT_EQ(o.base_count, 2);
  EXPECT_EQ(o.dim, 2);
  EXPECT_EQ(o.partition_count, 1);
  EXPECT_EQ(o.base_ids, second.ids);
  EXPECT_EQ(o.base_vectors, second.vectors);
  EXPECT_EQ(record(index).base.max_id(), 40);

  const float q[] = {1, -1};
  // Old ids and old partitions are gone.
  const TopKResult old_ids = scatter(index, {0, 1, 3}, q, 3);
  EXPECT_EQ(old_ids.ids, (std::vector<int64_t>{-1, -1, -1}));
  EXPECT_EQ(search_partition(index, 2, q, 5).count, 0);
  expect_same_topk(search_partition(index, 0, q, 5),
                   reference_topk(row_offers(second, 0, 2, q), 2));
  expect_same_topk(scatter(index, {2, 40}, q, 2), reference_topk(base_offers(second, {2, 40}, q), 2));
  int64_t keys[3], sizes[3];
  EXPECT_EQ(zv_index_tuner_oversized(index, 0, keys, sizes), 1);
}

TEST(BuildReplace, DenseThenSparseThenDense) {
  Index index(2);
  const Base dense = base_with_ids({0, 1, 2}, 2, 1);
  const Base sparse = base_with_ids({kLimit - 1, 5}, 2, 2);
  const float q[] = {1, 2};
  ASSERT_EQ(build(index, dense), 0);
  ASSERT_EQ(build(index, sparse), 0);
  expect_same_topk(scatter(index, {0, 1, 2, 5, kLimit - 1}, q, 5),
                   reference_topk(base_offers(sparse, {0, 1, 2, 5, kLimit - 1}, q), 5));
  ASSERT_EQ(build(index, dense), 0);
  expect_same_topk(scatter(index, {0, 1, 2, 5, kLimit - 1}, q, 5),
                   reference_topk(base_offers(dense, {0, 1, 2, 5, kLimit - 1}, q), 5));
}

TEST(BuildReplace, RebuildKeepsDeltaTombstonesMetadataIvfAndVersion) {
  Index index(2);
  ASSERT_EQ(build(index, base_with_ids({1, 2, 3}, 2, 1)), 0);
  const float v[] = {9, 9, 8, 8};
  const int64_t ins[] = {2, 50};
  ASSERT_EQ(zv_index_insert(index, v, ins, 2), 1);
  const int64_t del[] = {3, 50};
  ASSERT_EQ(zv_index_delete(index, del, 2), 2);
  const int64_t meta_ids[] = {4, 50};
  const int64_t primary[] = {7, 8};
  const int64_t cols[] = {70, 80};
  ASSERT_EQ(zv_index_set_rowmeta(index, meta_ids, primary, cols, 1, 2), 0);
  const float centroid[] = {1, 0};
  const int64_t list[] = {4, 5};
  const int32_t offsets[] = {0, 2};
  ASSERT_EQ(zv_index_set_ivf(index, 77, 1, 1, centroid, list, offsets, 2), 0);

  const Base next = base_with_ids({3, 4, 5, 2}, 2, 4);
  ASSERT_EQ(build(index, next), 0);

  const Observed o = observe(index);
  EXPECT_EQ(o.version, 2);
  EXPECT_EQ(o.mutated, 1);
  EXPECT_EQ(o.delta_count, 2);
  // Delta row 2 shadows base id 2; the tombstones hide 3 and 50.
  EXPECT_EQ(o.visible_ids, (std::vector<int64_t>{2, 4, 5}));
  EXPECT_EQ(std::vector<float>(o.visible_vectors.begin(), o.visible_vectors.begin() + 2),
            (std::vector<float>{9, 9}));
  EXPECT_EQ(o.base_ids, next.ids);

  int64_t out_primary[2], out_cols[2];
  EXPECT_EQ(zv_index_export_rowmeta(index, meta_ids, 2, out_primary, out_cols), 1);
  EXPECT_EQ(out_primary[0], 7);
  EXPECT_EQ(out_primary[1], 8);
  EXPECT_EQ(out_cols[0], 70);
  EXPECT_EQ(out_cols[1], 80);

  EXPECT_EQ(zv_index_has_ivf(index, 77), 1);
  // The kept IVF entry now resolves its ids through the new base.
  const float q[] = {1, 1};
  expect_same_topk(run_search(3,
                              [&](int64_t* oi, float* os) {
                                return zv_index_search_ivf(index, 77, q, 3, oi, os);
                              }),
                   reference_topk(base_offers(next, {4, 5}, q), 3));
}

// ---------------------------------------------------------------------------
// Export

TEST(BuildExport, UnsealedExportWritesNothing) {
  Index index(2);
  float vectors[4] = {7, 7, 7, 7};
  int64_t ids[2] = {7, 7};
  EXPECT_EQ(zv_index_export_base(index, vectors, ids), 0);
  EXPECT_EQ(vectors[0], 7);
  EXPECT_EQ(vectors[3], 7);
  EXPECT_EQ(ids[0], 7);
  EXPECT_EQ(ids[1], 7);
  // Also after writes and a rejected build.
  const float v[] = {1, 2};
  const int64_t id[] = {1};
  zv_index_insert(index, v, id, 1);
  EXPECT_EQ(zv_index_build(index, v, 1, 3, id, nullptr, nullptr, nullptr, 0), -1);
  EXPECT_EQ(zv_index_export_base(index, vectors, ids), 0);
  EXPECT_EQ(vectors[0], 7);
  EXPECT_EQ(ids[0], 7);
}

TEST(BuildExport, ExportIsTheBaseAsBuiltInRowOrder) {
  Index index(2);
  const Base b = base_with_ids({8, 3, 8, 1}, 2, 6);
  ASSERT_EQ(build(index, b), 0);
  const float v[] = {5, 5};
  const int64_t ins[] = {3};
  zv_index_insert(index, v, ins, 1);
  const int64_t del[] = {1};
  zv_index_delete(index, del, 1);
  // Deleted and shadowed rows are exported; the delta row is not. The
  // caller's arrays are written exactly up to their stated size.
  std::vector<float> vectors(b.vectors.size() + 4, -3.0f);
  std::vector<int64_t> ids(b.ids.size() + 2, -3);
  EXPECT_EQ(zv_index_export_base(index, vectors.data(), ids.data()), 4);
  EXPECT_EQ(std::vector<float>(vectors.begin(), vectors.begin() + 8), b.vectors);
  EXPECT_EQ(std::vector<int64_t>(ids.begin(), ids.begin() + 4), b.ids);
  for (std::size_t i = 8; i < vectors.size(); ++i) EXPECT_EQ(vectors[i], -3.0f);
  for (std::size_t i = 4; i < ids.size(); ++i) EXPECT_EQ(ids[i], -3);
}

TEST(BuildExport, DimZeroExportsIdsOnly) {
  Index index(0);
  const int64_t ids_in[] = {4, 2};
  ASSERT_EQ(zv_index_build(index, nullptr, 2, 0, ids_in, nullptr, nullptr, nullptr, 0), 0);
  int64_t ids[2] = {0, 0};
  EXPECT_EQ(zv_index_export_base(index, nullptr, ids), 2);
  EXPECT_EQ(ids[0], 4);
  EXPECT_EQ(ids[1], 2);
}

TEST(BuildExport, BuildCopiesTheCallersArrays) {
  Index index(2);
  Base b = base_with_ids({1, 2}, 2, 3);
  b.add_partition(5, 0, 1);
  const Base original = b;
  ASSERT_EQ(build(index, b), 0);
  // Scribble over the caller's arrays: the base must not change.
  std::fill(b.vectors.begin(), b.vectors.end(), 100.0f);
  std::fill(b.ids.begin(), b.ids.end(), 0);
  std::fill(b.keys.begin(), b.keys.end(), 9);
  std::fill(b.sizes.begin(), b.sizes.end(), 0);
  const Observed o = observe(index);
  EXPECT_EQ(o.base_vectors, original.vectors);
  EXPECT_EQ(o.base_ids, original.ids);
  const float q[] = {1, 1};
  EXPECT_EQ(search_partition(index, 5, q, 4).count, 1);
}

}  // namespace
