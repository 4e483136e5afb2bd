// Searches over the base as built: the top-k convention, full and partition
// search, scatter top-k over chosen ids, and the partition tuner queries.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "core_test_support.h"
#include "topk.h"
#include "zv_runtime.h"

namespace {

using namespace zvtest;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// dim 1: a row's score is exactly its value times the query value.
Base scalar_base(const std::vector<float>& values, int64_t first_id = 100) {
  Base b;
  b.dim = 1;
  b.vectors = values;
  for (std::size_t i = 0; i < values.size(); ++i) b.ids.push_back(first_id + static_cast<int64_t>(i));
  b.add_partition(0, 0, static_cast<int32_t>(values.size()));
  return b;
}

Base random_base(int64_t rows, int32_t dim, uint64_t seed) {
  Base b;
  b.dim = dim;
  b.vectors = test_floats(rows * dim, seed);
  for (int64_t r = 0; r < rows; ++r) b.ids.push_back(r * 3 + 1);
  b.add_partition(0, 0, static_cast<int32_t>(rows));
  return b;
}

TopKResult full_reference(const Base& b, const float* q, int32_t k) {
  return reference_topk(row_offers(b, 0, b.rows(), q), static_cast<int32_t>(std::min<int64_t>(k, b.rows())));
}

class BuiltIndex : public testing::Test {
 protected:
  void use(const Base& b) {
    base = b;
    index = std::make_unique<Index>(b.dim);
    ASSERT_EQ(build(*index, base), 0);
  }
  Base base;
  std::unique_ptr<Index> index;
};

// ---------------------------------------------------------------------------
// The slots themselves: single offers and batches

// m slots inside a canary-guarded array.
struct Slots {
  explicit Slots(int32_t m) : m(m), ids(static_cast<std::size_t>(m) + 4, kCanaryId),
                              scores(static_cast<std::size_t>(m) + 4, kCanaryScore) {}
  void expect_tail_untouched() const {
    for (std::size_t i = static_cast<std::size_t>(m); i < ids.size(); ++i) {
      EXPECT_EQ(ids[i], kCanaryId) << i;
      EXPECT_EQ(float_bits(scores[i]), float_bits(kCanaryScore)) << i;
    }
  }
  TopKResult result() const {
    return {m, std::vector<int64_t>(ids.begin(), ids.begin() + m),
            std::vector<float>(scores.begin(), scores.begin() + m)};
  }
  int32_t m;
  std::vector<int64_t> ids;
  std::vector<float> scores;
};

TEST(TopKSlots, FillValuesAndNothingPastTheLastSlot) {
  Slots s(3);
  zv::TopK topk(s.ids.data(), s.scores.data(), 3);
  s.expect_tail_untouched();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(s.ids[i], ZV_EMPTY_ID);
    EXPECT_EQ(float_bits(s.scores[i]), float_bits(ZV_EMPTY_SCORE));
  }
  for (int i = 0; i < 10; ++i) topk.offer(static_cast<float>(i), i);
  s.expect_tail_untouched();
  EXPECT_EQ(s.result().ids, (std::vector<int64_t>{9, 8, 7}));
}

TEST(TopKSlots, SingleOffersFollowTheStrictRule) {
  Slots s(3);
  zv::TopK topk(s.ids.data(), s.scores.data(), 3);
  topk.offer(ZV_EMPTY_SCORE, 1);  // not above the fill value
  topk.offer(-kInf, 2);
  topk.offer(kNaN, 3);
  EXPECT_EQ(s.result().ids, (std::vector<int64_t>{-1, -1, -1}));
  topk.offer(2, 10);
  topk.offer(2, 11);  // equal: placed after the earlier one
  topk.offer(5, 12);
  EXPECT_EQ(s.result().ids, (std::vector<int64_t>{12, 10, 11}));
  topk.offer(2, 13);  // equal to the last slot: does not displace it
  topk.offer(kNaN, 14);
  EXPECT_EQ(s.result().ids, (std::vector<int64_t>{12, 10, 11}));
  topk.offer(5, 15);  // equal to the first: goes second, drops the last
  EXPECT_EQ(s.result().ids, (std::vector<int64_t>{12, 15, 10}));
  EXPECT_EQ(s.result().scores, (std::vector<float>{5, 5, 2}));
  s.expect_tail_untouched();
}

// Batches and single offers give the same slots as the reference, for
// sequences full of ties, NaN and values at the fill score.
TEST(TopKSlots, BatchesAndSingleOffersAgreeWithTheReference) {
  const float palette[] = {1, 2, 2, 3, kNaN, ZV_EMPTY_SCORE, -kInf, 0, -0.0f, kInf};
  std::mt19937 rng(3);
  for (int trial = 0; trial < 200; ++trial) {
    const int32_t m = 1 + trial % 9;
    std::vector<Offer> offers;
    std::vector<float> scores;
    std::vector<int64_t> ids;
    for (int i = 0; i < 40; ++i) {
      const float f = palette[rng() % 10];
      offers.push_back({f, i});
      scores.push_back(f);
      ids.push_back(i);
    }
    const TopKResult want = reference_topk(offers, m);
    Slots single(m), batch(m);
    zv::TopK a(single.ids.data(), single.scores.data(), m);
    for (const Offer& o : offers) a.offer(o.score, o.id);
    zv::TopK b(batch.ids.data(), batch.scores.data(), m);
    b.offer_batch(scores.data(), ids.data(), 17);
    b.offer_batch(scores.data() + 17, ids.data() + 17, 23);
    expect_same_topk(single.result(), want);
    expect_same_topk(batch.result(), want);
    single.expect_tail_untouched();
    batch.expect_tail_untouched();
  }
}

// ---------------------------------------------------------------------------
// The top-k convention, through the full search

using TopKConvention = BuiltIndex;

TEST_F(TopKConvention, SlotCountIsMinOfKAndRows) {
  use(scalar_base({3, 1, 2}));
  const float q[] = {1};
  for (int32_t k : {1, 2, 3, 4, 50, INT32_MAX / 2}) {
    SCOPED_TRACE(k);
    const int32_t capacity = std::min(k, 3);
    const TopKResult r = run_search(capacity, [&](int64_t* oi, float* os) {
      return zv_index_search_full(*index, q, k, oi, os);
    });
    expect_same_topk(r, full_reference(base, q, k));
  }
  EXPECT_EQ(search_full(*index, q, 4).ids, (std::vector<int64_t>{100, 102, 101}));
}

TEST_F(TopKConvention, NothingWrittenWhenKIsNotPositive) {
  use(scalar_base({3, 1, 2}));
  const float q[] = {1};
  for (int32_t k : {0, -1, INT32_MIN}) EXPECT_EQ(search_full(*index, q, k).count, 0);
}

TEST_F(TopKConvention, TiesKeepOfferOrder) {
  use(scalar_base({1, 2, 2, 1, 2, 3}));
  const float q[] = {1};
  EXPECT_EQ(search_full(*index, q, 6).ids, (std::vector<int64_t>{105, 101, 102, 104, 100, 103}));
  // The last slot is contested by equal scores: the earlier row keeps it.
  EXPECT_EQ(search_full(*index, q, 2).ids, (std::vector<int64_t>{105, 101}));
  EXPECT_EQ(search_full(*index, q, 3).ids, (std::vector<int64_t>{105, 101, 102}));
  EXPECT_EQ(search_full(*index, q, 5).ids, (std::vector<int64_t>{105, 101, 102, 104, 100}));
}

TEST_F(TopKConvention, SingleSlotHoldsTheFirstBestRow) {
  use(scalar_base({0.5f, 4, -7, 4, 4}));
  const float q[] = {1};
  const TopKResult r = search_full(*index, q, 1);
  EXPECT_EQ(r.ids, (std::vector<int64_t>{101}));
  EXPECT_EQ(r.scores, (std::vector<float>{4}));
}

TEST_F(TopKConvention, NaNAndScoresAtOrBelowTheEmptyScoreNeverEnter) {
  const float just_above = std::nextafter(ZV_EMPTY_SCORE, 0.0f);
  use(scalar_base({kNaN, -kInf, ZV_EMPTY_SCORE, 2, -2e30f, just_above, kNaN}));
  const float q[] = {1};
  const TopKResult r = search_full(*index, q, 7);
  ASSERT_EQ(r.count, 7);  // still m, with empty slots at the tail
  EXPECT_EQ(r.ids, (std::vector<int64_t>{103, 105, -1, -1, -1, -1, -1}));
  EXPECT_EQ(r.scores[0], 2.0f);
  EXPECT_EQ(float_bits(r.scores[1]), float_bits(just_above));
  for (int i = 2; i < 7; ++i) EXPECT_EQ(float_bits(r.scores[i]), float_bits(ZV_EMPTY_SCORE)) << i;
}

TEST_F(TopKConvention, NaNDoesNotDisturbRowsAroundIt) {
  use(scalar_base({1, kNaN, 3, kNaN, 2}));
  const float q[] = {1};
  const TopKResult r = search_full(*index, q, 2);
  EXPECT_EQ(r.ids, (std::vector<int64_t>{102, 104}));
  EXPECT_EQ(r.scores, (std::vector<float>{3, 2}));
}

TEST_F(TopKConvention, QueryWithNaNLeavesOnlyEmptySlots) {
  use(scalar_base({1, 2}));
  const float q[] = {kNaN};
  const TopKResult r = search_full(*index, q, 2);
  EXPECT_EQ(r.count, 2);
  EXPECT_EQ(r.ids, (std::vector<int64_t>{-1, -1}));
}

TEST_F(TopKConvention, DimZeroScoresEveryRowZeroInRowOrder) {
  Base b;
  b.dim = 0;
  b.ids = {9, 4, 7, 1};
  b.add_partition(3, 1, 3);
  use(b);
  for (int32_t k : {2, 4, 9}) {
    // The query is not read.
    const TopKResult r = search_full(*index, nullptr, k);
    const int32_t m = std::min(k, 4);
    ASSERT_EQ(r.count, m);
    for (int32_t i = 0; i < m; ++i) {
      EXPECT_EQ(r.ids[i], b.ids[i]);
      EXPECT_EQ(float_bits(r.scores[i]), float_bits(0.0f));  // +0.0
    }
  }
  const TopKResult p = search_partition(*index, 3, nullptr, 2);
  EXPECT_EQ(p.ids, (std::vector<int64_t>{4, 7}));
  const TopKResult s = scatter(*index, {7, 8, 9}, nullptr, 3);
  EXPECT_EQ(s.ids, (std::vector<int64_t>{7, 9, -1}));
}

TEST_F(TopKConvention, ScoresAreTheSequentialFmaChain) {
  // Values where a reordered, widened or unfused sum gives other bits.
  Base b;
  b.dim = 3;
  b.vectors = {1e8f, 1.0f, -1e8f, 1.0000001f, 1.0000001f, -1.0000002f, 3.0f, 1e-8f, 0.1f};
  b.ids = {1, 2, 3};
  use(b);
  const float q[] = {1.0f, 1.0000001f, 1.0f};
  const TopKResult r = search_full(*index, q, 3);
  const TopKResult want = full_reference(base, q, 3);
  expect_same_topk(r, want);
  // Sanity of the reference itself: row 0's middle term vanishes in 1e8.
  EXPECT_EQ(zvref::score(base.row(0), q, 3), 0.0f);
}

// Many rows and dims around the kernels' block sizes, against the reference.
TEST(FullSearchReference, MatchesTheReferenceAcrossShapes) {
  for (int32_t dim : {1, 3, 7, 8, 9, 16, 17, 31, 64, 100}) {
    for (int64_t rows : {INT64_C(1), INT64_C(15), INT64_C(255), INT64_C(256), INT64_C(257), INT64_C(1000)}) {
      SCOPED_TRACE(testing::Message() << "dim " << dim << " rows " << rows);
      const Base b = random_base(rows, dim, static_cast<uint64_t>(dim * 1000 + rows));
      Index index(dim);
      ASSERT_EQ(build(index, b), 0);
      const std::vector<float> q = test_floats(dim, static_cast<uint64_t>(rows));
      for (int32_t k : {1, 5, 64}) {
        expect_same_topk(search_full(index, q.data(), k), full_reference(b, q.data(), k));
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Partition search

class PartitionSearch : public BuiltIndex {
 protected:
  // Ten rows, ids 100..109, scores (query 1) equal to the row values.
  void use_partitions(const std::vector<int64_t>& keys, const std::vector<int32_t>& offsets,
                      const std::vector<int32_t>& sizes) {
    Base b = scalar_base({5, 1, 7, 3, 9, 2, 8, 4, 6, 0});
    b.keys = keys;
    b.offsets = offsets;
    b.sizes = sizes;
    use(b);
  }
  TopKResult search(int64_t key, int32_t k) { return search_partition(*index, key, q, k); }
  TopKResult expected(int32_t first, int32_t size, int32_t k) {
    return reference_topk(row_offers(base, first, size, q), std::min(k, size));
  }
  const float q[1] = {1};
};

TEST_F(PartitionSearch, SearchesOnlyTheRowsOfThePartition) {
  use_partitions({-5, 0, 7}, {0, 3, 6}, {3, 3, 4});
  expect_same_topk(search(-5, 2), expected(0, 3, 2));
  expect_same_topk(search(0, 3), expected(3, 3, 3));
  expect_same_topk(search(7, 4), expected(6, 4, 4));
  EXPECT_EQ(search(0, 3).ids, (std::vector<int64_t>{104, 103, 105}));
}

TEST_F(PartitionSearch, SizeThreeWithKTen) {
  use_partitions({1}, {4}, {3});
  const TopKResult r = search(1, 10);
  EXPECT_EQ(r.count, 3);
  EXPECT_EQ(r.ids, (std::vector<int64_t>{104, 106, 105}));
}

TEST_F(PartitionSearch, MissingKeysGiveNothing) {
  use_partitions({-5, 0, 7}, {0, 3, 6}, {3, 3, 4});
  for (int64_t key : {INT64_MIN, INT64_C(-6), INT64_C(-4), INT64_C(-1), INT64_C(1), INT64_C(6),
                      INT64_C(8), INT64_MAX}) {
    EXPECT_EQ(search(key, 5).count, 0) << key;
  }
}

TEST_F(PartitionSearch, KeysCompareAsSigned) {
  use_partitions({INT64_MIN, -1, 0, INT64_MAX}, {0, 1, 2, 3}, {1, 1, 1, 1});
  EXPECT_EQ(search(INT64_MIN, 1).ids, (std::vector<int64_t>{100}));
  EXPECT_EQ(search(-1, 1).ids, (std::vector<int64_t>{101}));
  EXPECT_EQ(search(0, 1).ids, (std::vector<int64_t>{102}));
  EXPECT_EQ(search(INT64_MAX, 1).ids, (std::vector<int64_t>{103}));
}

TEST_F(PartitionSearch, NoPartitions) {
  use_partitions({}, {}, {});
  EXPECT_EQ(search(0, 5).count, 0);
}

TEST_F(PartitionSearch, RepeatedKeysTakeTheFirstOneTheBisectionMeets) {
  // Five partitions over disjoint single rows; key 5 thrice at p = 1, 2, 3.
  // Bisection over 0..4 probes p = 2 first.
  use_partitions({1, 5, 5, 5, 9}, {0, 1, 2, 3, 4}, {1, 1, 1, 1, 1});
  EXPECT_EQ(search(5, 1).ids, (std::vector<int64_t>{102}));
  // Over 0..3 the first probe is p = 1 (key 2), the second p = 2.
  use_partitions({1, 2, 5, 5}, {0, 1, 2, 3}, {1, 1, 1, 1});
  EXPECT_EQ(search(5, 1).ids, (std::vector<int64_t>{102}));
  use_partitions({5, 5, 5, 5}, {0, 1, 2, 3}, {1, 1, 1, 1});
  EXPECT_EQ(search(5, 1).ids, (std::vector<int64_t>{101}));
}

TEST_F(PartitionSearch, RangesOutsideTheBaseGiveNothing) {
  use_partitions({1, 2, 3, 4, 5, 6, 7, 8},
                 {-1, 8, 0, INT32_MAX, 5, 0, 10, 0},
                 {3, 3, -1, INT32_MAX, 0, 10, 0, 11});
  EXPECT_EQ(search(1, 5).count, 0);  // negative first row
  EXPECT_EQ(search(2, 5).count, 0);  // first + size = 11 > 10
  EXPECT_EQ(search(3, 5).count, 0);  // negative size
  EXPECT_EQ(search(4, 5).count, 0);  // first + size past 32 bits
  EXPECT_EQ(search(5, 5).count, 0);  // empty partition
  expect_same_topk(search(6, 5), expected(0, 10, 5));  // exactly the whole base
  EXPECT_EQ(search(7, 5).count, 0);  // empty partition at the end
  EXPECT_EQ(search(8, 5).count, 0);  // one row too many
}

TEST_F(PartitionSearch, UnsealedOrKNotPositiveGivesNothing) {
  Index fresh(1);
  const TopKResult r = run_search(4, [&](int64_t* oi, float* os) {
    return zv_index_search_partition(fresh, 0, q, 4, oi, os);
  });
  EXPECT_EQ(r.count, 0);
  use_partitions({1}, {0}, {4});
  EXPECT_EQ(search(1, 0).count, 0);
  EXPECT_EQ(search(1, -3).count, 0);
}

// ---------------------------------------------------------------------------
// The base as built: deletes and the delta do not reach these searches

TEST(BaseAsBuilt, DeletedAndShadowedRowsStillAppear) {
  Base b = scalar_base({1, 2, 3});
  Index index(1);
  ASSERT_EQ(build(index, b), 0);
  const int64_t del[] = {100};
  zv_index_delete(index, del, 1);
  const float newer[] = {-50, 60};
  const int64_t ins[] = {101, 500};  // 101 shadowed, 500 delta only
  zv_index_insert(index, newer, ins, 2);

  const float q[] = {1};
  const TopKResult want = reference_topk(row_offers(b, 0, 3, q), 3);
  expect_same_topk(search_full(index, q, 5), want);
  expect_same_topk(search_partition(index, 0, q, 5), want);
  // Scatter scores the base vectors of the deleted and the shadowed id.
  const TopKResult s = scatter(index, {100, 101, 500}, q, 3);
  EXPECT_EQ(s.ids, (std::vector<int64_t>{101, 100, -1}));
  EXPECT_EQ(s.scores[0], 2.0f);
  EXPECT_EQ(s.scores[1], 1.0f);
}

// ---------------------------------------------------------------------------
// Scatter top-k

class Scatter : public BuiltIndex {
 protected:
  // ids 0..9 with gaps at 3 and 6 (rows hold ids 0 1 2 4 5 7 8 9 10, last 10).
  void SetUp() override {
    Base b;
    b.dim = 2;
    b.ids = {0, 1, 2, 4, 5, 7, 8, 9, 10};
    b.vectors = test_floats(b.rows() * 2, 77);
    b.add_partition(0, 0, static_cast<int32_t>(b.rows()));
    use(b);
  }
  TopKResult run(const std::vector<int64_t>& ids, int32_t k) { return scatter(*index, ids, q, k); }
  TopKResult expected(const std::vector<int64_t>& ids, int32_t k) {
    return reference_topk(base_offers(base, ids, q),
                          std::min<int32_t>(k, static_cast<int32_t>(ids.size())));
  }
  const float q[2] = {0.75f, -1.25f};
};

TEST_F(Scatter, SlotCountIsMinOfKAndN) {
  EXPECT_EQ(run({1, 2, 4}, 5).count, 3);
  EXPECT_EQ(run({1, 2, 4, 5, 7}, 2).count, 2);
  expect_same_topk(run({1, 2, 4}, 5), expected({1, 2, 4}, 5));
  EXPECT_EQ(run({}, 5).count, 0);
  EXPECT_EQ(run({1, 2}, 0).count, 0);
  EXPECT_EQ(run({1, 2}, -1).count, 0);
  const int64_t ids[] = {1, 2};
  const TopKResult negative_n = run_search(2, [&](int64_t* oi, float* os) {
    return zv_index_scatter_topk(*index, ids, -2, q, 2, oi, os);
  });
  EXPECT_EQ(negative_n.count, 0);
}

TEST_F(Scatter, UnsealedGivesNothingWhateverTheCandidates) {
  Index fresh(2);
  const float v[] = {1, 1};
  const int64_t id[] = {1};
  zv_index_insert(fresh, v, id, 1);  // a delta row is not a base row
  EXPECT_EQ(scatter(fresh, {1, 2, 3}, q, 3).count, 0);
}

TEST_F(Scatter, IdsWithoutABaseRowArePassedOver) {
  const std::vector<int64_t> none = {-1, INT64_MIN, 3, 6, 11, 12, INT64_MAX, INT64_C(1) << 40};
  const TopKResult r = run(none, 4);
  ASSERT_EQ(r.count, 4);
  EXPECT_EQ(r.ids, (std::vector<int64_t>{-1, -1, -1, -1}));
  for (float s : r.scores) EXPECT_EQ(float_bits(s), float_bits(ZV_EMPTY_SCORE));
  // Mixed in with real ones they change nothing.
  const std::vector<int64_t> mixed = {-1, 4, 3, 11, 0, 10, INT64_MIN, 6, 9};
  expect_same_topk(run(mixed, 9), expected(mixed, 9));
}

TEST_F(Scatter, LargestIdIsScoredOneBeyondIsNot) {
  const TopKResult r = run({11, 10}, 2);
  EXPECT_EQ(r.ids, (std::vector<int64_t>{10, -1}));
  EXPECT_EQ(float_bits(r.scores[0]), float_bits(zvref::score(base.row(8), q, 2)));
}

TEST_F(Scatter, RepeatedCandidatesFillTwoSlots) {
  const TopKResult r = run({5, 5}, 2);
  EXPECT_EQ(r.ids, (std::vector<int64_t>{5, 5}));
  EXPECT_EQ(r.scores[0], r.scores[1]);
}

TEST_F(Scatter, SingleSlotKeepsTheFirstOfEqualScores) {
  Base b = scalar_base({2, 2, 1}, 0);
  use(b);
  const float q1[] = {1};
  EXPECT_EQ(scatter(*index, {1, 0}, q1, 1).ids, (std::vector<int64_t>{1}));
  EXPECT_EQ(scatter(*index, {0, 1}, q1, 1).ids, (std::vector<int64_t>{0}));
  EXPECT_EQ(scatter(*index, {2, 1, 1}, q1, 2).ids, (std::vector<int64_t>{1, 1}));
}

TEST_F(Scatter, RepeatedBaseIdScoresItsLastRow) {
  Base b;
  b.dim = 1;
  b.vectors = {5, 1, 3};
  b.ids = {4, 6, 4};
  use(b);
  const float q1[] = {1};
  const TopKResult r = scatter(*index, {4, 6}, q1, 2);
  EXPECT_EQ(r.ids, (std::vector<int64_t>{4, 6}));
  EXPECT_EQ(r.scores, (std::vector<float>{3, 1}));
}

TEST_F(Scatter, ManyCandidatesMatchTheReference) {
  const Base b = random_base(3000, 12, 5);
  use(b);
  std::vector<int64_t> candidates;
  for (int64_t i = 0; i < 4000; ++i) candidates.push_back((i * 7717) % 9100 - 50);
  const std::vector<float> q12 = test_floats(12, 9);
  for (int32_t k : {1, 7, 100, 1000}) {
    expect_same_topk(scatter(*index, candidates, q12.data(), k),
                     reference_topk(base_offers(b, candidates, q12.data()), k));
  }
}

// The same rows under dense ids and under ids scattered up to 2^40 - 1 must
// rank identically.
TEST(ScatterSparse, SparseIdsRankLikeDenseIds) {
  constexpr int64_t kRows = 500;
  constexpr int64_t kStride = (INT64_C(1) << 40) / kRows;  // last id near 2^40
  Base dense = random_base(kRows, 6, 21);
  Base sparse = dense;
  for (int64_t r = 0; r < kRows; ++r) {
    dense.ids[r] = r;
    sparse.ids[r] = r * kStride + (r % 3);
  }
  sparse.ids[kRows - 1] = (INT64_C(1) << 40) - 1;
  Index a(6), b(6);
  ASSERT_EQ(build(a, dense), 0);
  ASSERT_EQ(build(b, sparse), 0);

  std::vector<int64_t> dense_candidates, sparse_candidates;
  for (int64_t i = 0; i < 800; ++i) {
    const int64_t r = (i * 37) % (kRows + 50);  // some rows past the end
    dense_candidates.push_back(r < kRows ? r : -1);
    sparse_candidates.push_back(r < kRows ? sparse.ids[r] : sparse.ids[r - kRows] + 3);
  }
  const std::vector<float> q = test_floats(6, 4);
  for (int32_t k : {1, 10, 300, 800}) {
    const TopKResult ra = scatter(a, dense_candidates, q.data(), k);
    const TopKResult rb = scatter(b, sparse_candidates, q.data(), k);
    ASSERT_EQ(ra.count, rb.count);
    for (int32_t i = 0; i < ra.count; ++i) {
      EXPECT_EQ(float_bits(ra.scores[i]), float_bits(rb.scores[i])) << i;
      EXPECT_EQ(ra.ids[i] < 0 ? -1 : sparse.ids[ra.ids[i]], rb.ids[i]) << i;
    }
  }
}

// ---------------------------------------------------------------------------
// Partition tuner

TEST(Tuner, DefaultsAreFixed) {
  for (int i = 0; i < 3; ++i) {
    int32_t first = -1, second = -1;
    EXPECT_EQ(zv_tuner_defaults(&first, &second), 0);
    EXPECT_EQ(first, 20000);
    EXPECT_EQ(second, 980);
  }
}

class TunerOversized : public BuiltIndex {
 protected:
  void SetUp() override {
    Base b = scalar_base(std::vector<float>(74, 1.0f));
    b.keys = {-3, 4, 8, 90};
    b.offsets = {0, 5, 25, 44};
    b.sizes = {5, 20, 19, 30};
    use(b);
  }
  // Output arrays guarded by canaries past the count.
  int64_t run(zv_index* idx, int32_t min_rows, std::vector<int64_t>* keys,
              std::vector<int64_t>* sizes) {
    std::vector<int64_t> k(12, kCanaryId), s(12, kCanaryId);
    const int64_t count = zv_index_tuner_oversized(idx, min_rows, k.data(), s.data());
    EXPECT_GE(count, 0);
    for (std::size_t i = static_cast<std::size_t>(std::max<int64_t>(count, 0)); i < k.size(); ++i) {
      EXPECT_EQ(k[i], kCanaryId) << i;
      EXPECT_EQ(s[i], kCanaryId) << i;
    }
    keys->assign(k.begin(), k.begin() + count);
    sizes->assign(s.begin(), s.begin() + count);
    return count;
  }
  std::vector<int64_t> keys, sizes;
};

TEST_F(TunerOversized, ListsPartitionsAtOrAboveTheSizeInOrder) {
  EXPECT_EQ(run(*index, 20, &keys, &sizes), 2);
  EXPECT_EQ(keys, (std::vector<int64_t>{4, 90}));
  EXPECT_EQ(sizes, (std::vector<int64_t>{20, 30}));
  EXPECT_EQ(run(*index, 19, &keys, &sizes), 3);
  EXPECT_EQ(keys, (std::vector<int64_t>{4, 8, 90}));
  EXPECT_EQ(run(*index, 30, &keys, &sizes), 1);
  EXPECT_EQ(keys, (std::vector<int64_t>{90}));
}

TEST_F(TunerOversized, NothingAboveEverySize) {
  EXPECT_EQ(run(*index, 31, &keys, &sizes), 0);
  EXPECT_EQ(run(*index, INT32_MAX, &keys, &sizes), 0);
}

TEST_F(TunerOversized, ZeroOrNegativeListsEverything) {
  for (int32_t min_rows : {0, -1, INT32_MIN}) {
    EXPECT_EQ(run(*index, min_rows, &keys, &sizes), 4);
    EXPECT_EQ(keys, (std::vector<int64_t>{-3, 4, 8, 90}));
    EXPECT_EQ(sizes, (std::vector<int64_t>{5, 20, 19, 30}));
  }
}

TEST_F(TunerOversized, StoredSizesCompareAsSigned) {
  Base b = scalar_base({1, 2});
  b.keys = {1, 2, 3};
  b.offsets = {0, 0, 0};
  b.sizes = {-7, 2, INT32_MIN};
  use(b);
  EXPECT_EQ(run(*index, -7, &keys, &sizes), 2);
  EXPECT_EQ(keys, (std::vector<int64_t>{1, 2}));
  EXPECT_EQ(sizes, (std::vector<int64_t>{-7, 2}));  // widened with its sign
  EXPECT_EQ(run(*index, INT32_MIN, &keys, &sizes), 3);
  EXPECT_EQ(sizes[2], INT32_MIN);
}

TEST_F(TunerOversized, NeverBuiltOrNoPartitions) {
  Index fresh(1);
  EXPECT_EQ(run(fresh, 0, &keys, &sizes), 0);
  EXPECT_EQ(run(fresh, INT32_MIN, &keys, &sizes), 0);
  Index empty(1);
  ASSERT_EQ(zv_index_build(empty, nullptr, 0, 1, nullptr, nullptr, nullptr, nullptr, 0), 0);
  EXPECT_EQ(run(empty, INT32_MIN, &keys, &sizes), 0);
}

}  // namespace
