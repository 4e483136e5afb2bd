// Row metadata store, the equality filter, id matching and filtered search.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "core_test_support.h"
#include "index_record.h"
#include "rowmeta.h"
#include "score_kernel.h"
#include "zv_runtime.h"

namespace {

constexpr float kFill = -1e30f;

using zvtest::Index;

int32_t set_meta(zv_index* h, const std::vector<int64_t>& ids, const std::vector<int64_t>& primary,
                 const std::vector<int64_t>& columns, int32_t column_count) {
  return zv_index_set_rowmeta(h, ids.data(), primary.data(), columns.data(), column_count,
                              static_cast<int32_t>(ids.size()));
}

std::vector<int64_t> match(zv_index* h, int32_t kind, int32_t column, int64_t value) {
  const int64_t cap = zv_index_delta_count(h) + 64 + 4096;
  std::vector<int64_t> out(static_cast<size_t>(cap), -7);
  const int64_t n = zv_index_match_ids(h, kind, column, value, out.data());
  EXPECT_GE(n, 0);
  EXPECT_TRUE(std::all_of(out.begin() + std::clamp<int64_t>(n, 0, cap), out.end(),
                          [](int64_t x) { return x == -7; }))
      << "written past the count";
  out.resize(static_cast<size_t>(n));
  return out;
}

std::vector<int64_t> visible(zv_index* h) {
  std::vector<int64_t> out(static_cast<size_t>(zv_index_visible_count(h)));
  out.resize(static_cast<size_t>(zv_index_visible_ids(h, out.data())));
  return out;
}

using Result = zvtest::TopKResult;

// The filtered search, with nothing written past its k slots.
Result search(zv_index* h, int32_t kind, int32_t column, int64_t value, const float* query,
              int32_t k) {
  return zvtest::run_search(k, [&](int64_t* ids, float* scores) {
    return zv_index_search_filtered(h, kind, column, value, query, k, ids, scores);
  });
}

// ---------------------------------------------------------------------------
// Store

TEST(RowmetaStore, FreshIndexReadsAbsentAndLeavesColumnsUntouched) {
  Index ix(2);
  const int64_t ids[] = {1, 2, INT64_MIN};
  int64_t primary[3] = {5, 5, 5};
  EXPECT_EQ(zv_index_export_rowmeta(ix, ids, 3, primary, nullptr), 0);
  EXPECT_EQ(primary[0], -1);
  EXPECT_EQ(primary[1], -1);
  EXPECT_EQ(primary[2], -1);
  // n 0 or negative: the count, nothing written.
  primary[0] = 9;
  EXPECT_EQ(zv_index_export_rowmeta(ix, ids, 0, primary, nullptr), 0);
  EXPECT_EQ(zv_index_export_rowmeta(ix, ids, -3, primary, nullptr), 0);
  EXPECT_EQ(primary[0], 9);
}

TEST(RowmetaStore, ColumnsGrowAndOlderIdsReadAbsentInNewColumns) {
  Index ix(2);
  ASSERT_EQ(set_meta(ix, {7}, {70}, {71, 72}, 2), 0);
  ASSERT_EQ(set_meta(ix, {8}, {80}, {81, 82, 83}, 3), 0);
  const int64_t ids[] = {7, 8, 9};
  int64_t primary[3];
  int64_t cols[9];
  ASSERT_EQ(zv_index_export_rowmeta(ix, ids, 3, primary, cols), 3);
  EXPECT_EQ(std::vector<int64_t>(primary, primary + 3), (std::vector<int64_t>{70, 80, -1}));
  EXPECT_EQ(std::vector<int64_t>(cols, cols + 9),
            (std::vector<int64_t>{71, 72, -1, 81, 82, 83, -1, -1, -1}));

  // Widening with n 0 stores no value; a negative n widens just the same.
  ASSERT_EQ(zv_index_set_rowmeta(ix, nullptr, nullptr, nullptr, 5, 0), 0);
  ASSERT_EQ(zv_index_set_rowmeta(ix, nullptr, nullptr, nullptr, 6, -4), 0);
  int64_t wide[18];
  ASSERT_EQ(zv_index_export_rowmeta(ix, ids, 3, primary, wide), 6);
  EXPECT_EQ(wide[0], 71);
  EXPECT_EQ(wide[5], -1);
  EXPECT_EQ(wide[8], 83);
  EXPECT_EQ(wide[9], -1);
  EXPECT_EQ(wide[17], -1);
  // The same width again is no narrowing.
  ASSERT_EQ(zv_index_set_rowmeta(ix, nullptr, nullptr, nullptr, 6, 0), 0);
}

TEST(RowmetaStore, WideningIsCheapAndNewColumnsAreEmpty) {
  Index ix(1);
  ASSERT_EQ(ix.build({1, 2}, {0, 1}, 1), 0);
  ASSERT_EQ(zv_index_set_rowmeta(ix, nullptr, nullptr, nullptr, 100000, 0), 0);
  EXPECT_EQ(ix.rec().meta.column_count(), 100000);
  for (int32_t j = 0; j < 100000; j += 997) {
    EXPECT_EQ(ix.rec().meta.column(j).size(), 0);
    EXPECT_EQ(ix.rec().meta.column_by_row(j), nullptr);
  }
  EXPECT_EQ(match(ix, 2, 99999, -1), (std::vector<int64_t>{0, 1}));
  EXPECT_TRUE(match(ix, 2, 99999, 0).empty());
}

TEST(RowmetaStore, NarrowerWriteChangesNothingAtAll) {
  Index ix(1);
  ASSERT_EQ(ix.build({1, 2, 3}, {10, 11, 12}, 1), 0);
  ASSERT_EQ(set_meta(ix, {10, 11}, {1, 1}, {5, 6, 5, 6}, 2), 0);
  // Narrower: rejected, neither the existing ids' values nor a new id's land.
  EXPECT_EQ(set_meta(ix, {10, 12}, {2, 2}, {9, 9}, 1), -1);
  EXPECT_EQ(zv_index_set_rowmeta(ix, nullptr, nullptr, nullptr, -1, 0), -1);
  EXPECT_EQ(zv_index_set_rowmeta(ix, nullptr, nullptr, nullptr, INT32_MIN, 0), -1);
  const int64_t ids[] = {10, 11, 12};
  int64_t primary[3];
  int64_t cols[6];
  ASSERT_EQ(zv_index_export_rowmeta(ix, ids, 3, primary, cols), 2);
  EXPECT_EQ(std::vector<int64_t>(primary, primary + 3), (std::vector<int64_t>{1, 1, -1}));
  EXPECT_EQ(std::vector<int64_t>(cols, cols + 6), (std::vector<int64_t>{5, 6, 5, 6, -1, -1}));
  // The filters over base rows see the same unchanged state.
  EXPECT_EQ(match(ix, 1, 0, 1), (std::vector<int64_t>{10, 11}));
  EXPECT_TRUE(match(ix, 1, 0, 2).empty());
  EXPECT_EQ(match(ix, 2, 0, 5), (std::vector<int64_t>{10, 11}));
  EXPECT_TRUE(match(ix, 2, 0, 9).empty());
}

TEST(RowmetaStore, LastOccurrenceWinsAndStoredMinusOneReadsAsAbsent) {
  Index ix(1);
  ASSERT_EQ(ix.build({1, 2, 3}, {1, 2, 3}, 1), 0);
  ASSERT_EQ(set_meta(ix, {1, 2, 1, 2}, {4, 5, 6, -1}, {40, 50, 60, -1}, 1), 0);
  const int64_t ids[] = {1, 2, 3};
  int64_t primary[3];
  int64_t cols[3];
  ASSERT_EQ(zv_index_export_rowmeta(ix, ids, 3, primary, cols), 1);
  EXPECT_EQ(std::vector<int64_t>(primary, primary + 3), (std::vector<int64_t>{6, -1, -1}));
  EXPECT_EQ(std::vector<int64_t>(cols, cols + 3), (std::vector<int64_t>{60, -1, -1}));
  EXPECT_EQ(match(ix, 1, 0, 6), (std::vector<int64_t>{1}));
  EXPECT_TRUE(match(ix, 1, 0, 4).empty());
  // Stored -1 (id 2) and absent (id 3) both pass a -1 filter.
  EXPECT_EQ(match(ix, 1, 0, -1), (std::vector<int64_t>{2, 3}));
  EXPECT_EQ(match(ix, 0x2, 0, -1), (std::vector<int64_t>{2, 3}));
}

TEST(RowmetaStore, AnyIdAndValueAndMetadataOutlivesRows) {
  Index ix(1);
  const int64_t lo = std::numeric_limits<int64_t>::min();
  const int64_t hi = std::numeric_limits<int64_t>::max();
  ASSERT_EQ(set_meta(ix, {lo, hi, -5}, {hi, lo, 0}, {}, 0), 0);
  // A write with no columns never reads column_values.
  const int64_t id3[] = {3};
  const int64_t p3[] = {33};
  ASSERT_EQ(zv_index_set_rowmeta(ix, id3, p3, nullptr, 0, 1), 0);
  const int64_t ids[] = {lo, hi, -5, 3};
  int64_t primary[4];
  ASSERT_EQ(zv_index_export_rowmeta(ix, ids, 4, primary, nullptr), 0);
  EXPECT_EQ(std::vector<int64_t>(primary, primary + 4), (std::vector<int64_t>{hi, lo, 0, 33}));
  // No row has these ids, so nothing matches.
  EXPECT_TRUE(match(ix, 1, 0, 33).empty());
  ix.insert({3}, {1});
  EXPECT_EQ(match(ix, 1, 0, 33), (std::vector<int64_t>{3}));
  ix.remove({3});
  EXPECT_TRUE(match(ix, 1, 0, 33).empty());
  ASSERT_EQ(zv_index_export_rowmeta(ix, ids, 4, primary, nullptr), 0);
  EXPECT_EQ(primary[3], 33);
}

// ---------------------------------------------------------------------------
// Predicate and matching

TEST(RowmetaFilter, PredicateKindsAndColumnBounds) {
  Index ix(1);
  ASSERT_EQ(set_meta(ix, {1, 2}, {10, 20}, {100, 101, 200, 201}, 2), 0);
  const auto& rec = ix.rec();
  EXPECT_TRUE(zv::row_matches(rec, 99, 0, -5, 12345));  // kind 0 ignores everything
  EXPECT_TRUE(zv::row_matches(rec, 1, 1, -5, 10));      // kind 1 ignores the column
  EXPECT_FALSE(zv::row_matches(rec, 1, 1, 0, 100));
  EXPECT_TRUE(zv::row_matches(rec, 99, 1, 0, -1));
  for (int32_t kind : {2, 7, -1, INT32_MIN, INT32_MAX}) {
    EXPECT_TRUE(zv::row_matches(rec, 1, kind, 0, 100)) << kind;
    EXPECT_TRUE(zv::row_matches(rec, 2, kind, 1, 201)) << kind;
    EXPECT_FALSE(zv::row_matches(rec, 1, kind, 1, 100)) << kind;
    EXPECT_TRUE(zv::row_matches(rec, 99, kind, 1, -1)) << kind;
    // Missing columns fail whatever the value, absent reads included.
    for (int64_t column : {int64_t{2}, int64_t{-1}, int64_t{INT32_MIN}, INT64_MIN, INT64_MAX,
                           int64_t{1} << 32}) {
      EXPECT_FALSE(zv::row_matches(rec, 1, kind, column, -1)) << kind << " " << column;
      EXPECT_FALSE(zv::row_matches(rec, 99, kind, column, -1)) << kind << " " << column;
    }
  }
}

TEST(RowmetaFilter, MatchFollowsTheWalkAndTheFilterKinds) {
  Index ix(1);
  EXPECT_TRUE(match(ix, 0, 0, 0).empty());
  EXPECT_TRUE(match(ix, 1, 0, -1).empty());

  ASSERT_EQ(ix.build({0, 1, 2, 3, 4, 5}, {10, 11, 12, 13, 14, 15}, 1), 0);
  ix.insert({20, 12}, {0, 0});  // 12 now shadowed by its delta row
  ix.remove({14, 20});
  ASSERT_EQ(set_meta(ix, {10, 11, 12, 13, 14, 15, 20}, {1, 2, 1, 2, 1, 2, 1},
                     {5, 5, 5, 6, 5, 6, 5}, 1),
            0);
  EXPECT_EQ(match(ix, 0, 0, 0), visible(ix));
  EXPECT_EQ(visible(ix), (std::vector<int64_t>{12, 10, 11, 13, 15}));
  EXPECT_EQ(match(ix, 1, 0, 1), (std::vector<int64_t>{12, 10}));
  EXPECT_EQ(match(ix, 1, 99, 2), (std::vector<int64_t>{11, 13, 15}));
  for (int32_t kind : {2, 7, -1}) {
    EXPECT_EQ(match(ix, kind, 0, 5), (std::vector<int64_t>{12, 10, 11})) << kind;
    EXPECT_TRUE(match(ix, kind, 1, -1).empty()) << kind;   // column count
    EXPECT_TRUE(match(ix, kind, -1, -1).empty()) << kind;  // negative
    EXPECT_TRUE(match(ix, kind, INT32_MIN, 5).empty()) << kind;
  }
  // Reviving a deleted id lists it again with its metadata unchanged, at
  // the place of its delta row (20 keeps its row ahead of 12's).
  ix.insert({20}, {9});
  EXPECT_EQ(match(ix, 1, 0, 1), (std::vector<int64_t>{20, 12, 10}));
  ix.insert({14}, {9});  // revived through a new delta row, after the others
  EXPECT_EQ(match(ix, 1, 0, 1), (std::vector<int64_t>{20, 12, 14, 10}));
  EXPECT_EQ(match(ix, 0, 0, 0), visible(ix));
}

TEST(RowmetaFilter, DuplicateBaseIdsAndRebuildsKeepDenseStateExact) {
  Index ix(1);
  // Metadata written before any build reaches the base once it exists.
  ASSERT_EQ(set_meta(ix, {3}, {7}, {}, 0), 0);
  ASSERT_EQ(ix.build({0, 1, 2, 3, 4}, {3, 4, 3, 5, 3}, 1), 0);
  EXPECT_EQ(match(ix, 1, 0, 7), (std::vector<int64_t>{3, 3, 3}));
  // A write after the build reaches every row of the id.
  ASSERT_EQ(set_meta(ix, {3, 5}, {8, 8}, {1, 2}, 1), 0);
  EXPECT_EQ(match(ix, 1, 0, 8), (std::vector<int64_t>{3, 3, 5, 3}));
  EXPECT_EQ(match(ix, 2, 0, 1), (std::vector<int64_t>{3, 3, 3}));
  ASSERT_EQ(set_meta(ix, {3}, {-1}, {-1}, 1), 0);
  EXPECT_EQ(match(ix, 1, 0, -1), (std::vector<int64_t>{3, 4, 3, 3}));
  EXPECT_EQ(match(ix, 2, 0, -1), (std::vector<int64_t>{3, 4, 3, 3}));
  // A new base with other ids and a row count of its own.
  ASSERT_EQ(ix.build({0, 1, 2}, {5, 6, 5}, 1), 0);
  EXPECT_EQ(match(ix, 1, 0, 8), (std::vector<int64_t>{5, 5}));
  EXPECT_EQ(match(ix, 2, 0, 2), (std::vector<int64_t>{5, 5}));
  ASSERT_EQ(set_meta(ix, {6}, {8}, {2}, 1), 0);
  EXPECT_EQ(match(ix, 1, 0, 8), (std::vector<int64_t>{5, 6, 5}));
  // An empty base after all.
  ASSERT_EQ(ix.build({}, {}, 1), 0);
  EXPECT_TRUE(match(ix, 1, 0, 8).empty());
  ASSERT_EQ(set_meta(ix, {6}, {9}, {2}, 1), 0);
  EXPECT_TRUE(match(ix, 1, 0, 9).empty());
}

// ---------------------------------------------------------------------------
// Filtered search

TEST(RowmetaSearch, KAndFillRules) {
  Index ix(2);
  const float q[] = {1, 0};
  int64_t ids[2] = {-7, -7};
  float scores[2] = {7, 7};
  EXPECT_EQ(zv_index_search_filtered(ix, 0, 0, 0, q, 0, ids, scores), 0);
  EXPECT_EQ(zv_index_search_filtered(ix, 0, 0, 0, q, -3, ids, scores), 0);
  EXPECT_EQ(ids[0], -7);
  EXPECT_EQ(scores[0], 7.0f);

  // No rows at all, unsealed: k slots of fill.
  Result r = search(ix, 0, 0, 0, q, 3);
  EXPECT_EQ(r.count, 3);
  EXPECT_EQ(r.ids, (std::vector<int64_t>{-1, -1, -1}));
  EXPECT_EQ(r.scores, (std::vector<float>{kFill, kFill, kFill}));

  // Delta rows alone before any build; k is not cut to the row count.
  ix.insert({5, 6}, {1, 0, 3, 0});
  r = search(ix, 0, 0, 0, q, 4);
  EXPECT_EQ(r.count, 4);
  EXPECT_EQ(r.ids, (std::vector<int64_t>{6, 5, -1, -1}));
  EXPECT_EQ(r.scores, (std::vector<float>{3, 1, kFill, kFill}));

  // A missing column lets nothing through.
  r = search(ix, 3, 0, -1, q, 2);
  EXPECT_EQ(r.count, 2);
  EXPECT_EQ(r.ids, (std::vector<int64_t>{-1, -1}));
}

TEST(RowmetaSearch, TiesFollowTheWalk) {
  Index ix(2);
  // Base rows 10..13 with equal scores, 12 shadowed by a delta row of equal
  // score, 13 deleted; delta row 20 scores equal too.
  ASSERT_EQ(ix.build({1, 0, 1, 0, 1, 0, 5, 0}, {10, 11, 12, 13}, 2), 0);
  ix.insert({20, 12}, {1, 0, 1, 0});
  ix.remove({13});
  const float q[] = {1, 1};
  Result r = search(ix, 0, 0, 0, q, 5);
  EXPECT_EQ(r.ids, (std::vector<int64_t>{20, 12, 10, 11, -1}));
  EXPECT_EQ(r.scores, (std::vector<float>{1, 1, 1, 1, kFill}));
  // k 1: only a strictly greater score replaces the first.
  r = search(ix, 0, 0, 0, q, 1);
  EXPECT_EQ(r.ids, (std::vector<int64_t>{20}));
  // Through a filter that passes only base rows: lower row first.
  ASSERT_EQ(set_meta(ix, {10, 11, 12, 13}, {1, 1, 1, 1}, {}, 0), 0);
  r = search(ix, 1, 0, 1, q, 2);
  EXPECT_EQ(r.ids, (std::vector<int64_t>{12, 10}));  // 12 through its delta row
  r = search(ix, 1, 0, -1, q, 3);
  EXPECT_EQ(r.ids, (std::vector<int64_t>{20, -1, -1}));
}

TEST(RowmetaSearch, DeletedRevivedAndShadowedRows) {
  Index ix(2);
  ASSERT_EQ(ix.build({1, 0, 2, 0, 3, 0}, {1, 2, 3}, 2), 0);
  ASSERT_EQ(set_meta(ix, {1, 2, 3}, {0, 0, 0}, {}, 0), 0);
  const float q[] = {1, 0};
  ix.remove({3});
  Result r = search(ix, 1, 0, 0, q, 3);
  EXPECT_EQ(r.ids, (std::vector<int64_t>{2, 1, -1}));
  // Revived with a new vector: scored once, through the delta row.
  ix.insert({3}, {0.5f, 0});
  r = search(ix, 1, 0, 0, q, 3);
  EXPECT_EQ(r.ids, (std::vector<int64_t>{2, 1, 3}));
  EXPECT_EQ(r.scores, (std::vector<float>{2, 1, 0.5f}));
  // Shadowing a base row with a better vector.
  ix.insert({1}, {9, 0});
  r = search(ix, 1, 0, 0, q, 4);
  EXPECT_EQ(r.ids, (std::vector<int64_t>{1, 2, 3, -1}));
  EXPECT_EQ(r.scores[0], 9.0f);
}

TEST(RowmetaSearch, ZeroDimensionAndNanQuery) {
  {
    Index ix(0);
    ASSERT_EQ(ix.build({}, {1, 2, 3}, 0), 0);
    ix.insert({7, 2}, {});
    ix.remove({3});
    // Every passing row scores 0: the first k in walk order.
    Result r = search(ix, 0, 0, 0, nullptr, 4);
    EXPECT_EQ(r.ids, (std::vector<int64_t>{7, 2, 1, -1}));
    EXPECT_EQ(r.scores, (std::vector<float>{0, 0, 0, kFill}));
    ASSERT_EQ(set_meta(ix, {2}, {4}, {}, 0), 0);
    r = search(ix, 1, 0, -1, nullptr, 4);
    EXPECT_EQ(r.ids, (std::vector<int64_t>{7, 1, -1, -1}));
  }
  {
    Index ix(2);
    ASSERT_EQ(ix.build({1, 0, 2, 0}, {1, 2}, 2), 0);
    ix.insert({3}, {1, 1});
    const float q[] = {std::nanf(""), 1};
    Result r = search(ix, 0, 0, 0, q, 2);
    EXPECT_EQ(r.ids, (std::vector<int64_t>{-1, -1}));
    EXPECT_EQ(r.scores, (std::vector<float>{kFill, kFill}));
  }
}

// ---------------------------------------------------------------------------
// Against the reference model, over many random writes.

TEST(RowmetaModel, RandomWritesMatchAndSearchExactly) {
  for (uint64_t seed = 1; seed <= 4; ++seed) {
    std::mt19937_64 rng(seed);
    const int32_t dim = seed % 2 == 0 ? 1 : 7;
    Index ix(dim);
    zvref::Model m(dim, 0);
    auto rnd = [&](int64_t n) { return static_cast<int64_t>(rng() % static_cast<uint64_t>(n)); };
    auto rand_vecs = [&](std::size_t rows) {
      // Few distinct values, so equal scores are common.
      std::vector<float> v(rows * dim);
      for (auto& x : v) x = static_cast<float>(rnd(5)) - 2.0f;
      return v;
    };
    const int64_t id_space = 1500;
    for (int step = 0; step < 45; ++step) {
      const int64_t op = rnd(10);
      if (op == 0 || step == 0) {
        std::vector<int64_t> ids(step == 0 ? 1200 : rnd(1400));
        for (auto& id : ids) id = rnd(id_space);  // repeats included
        const std::vector<float> vecs = rand_vecs(ids.size());
        ASSERT_EQ(ix.build(vecs, ids, dim), 0);
        ASSERT_EQ(zvtest::build(m, vecs, ids, dim), 0);
      } else if (op <= 3) {
        std::vector<int64_t> ids(rnd(40) + 1);
        for (auto& id : ids) id = rnd(id_space + 100);
        const std::vector<float> vecs = rand_vecs(ids.size());
        ix.insert(ids, vecs);
        m.insert(vecs.data(), ids.data(), static_cast<int32_t>(ids.size()));
      } else if (op <= 5) {
        std::vector<int64_t> ids(rnd(40) + 1);
        for (auto& id : ids) id = rnd(id_space + 100);
        ix.remove(ids);
        m.remove(ids.data(), static_cast<int32_t>(ids.size()));
      } else {
        int32_t cc = m.column_count();
        if (rnd(8) == 0 && cc > 0) {  // narrower: rejected whole
          std::vector<int64_t> ids = {rnd(id_space)};
          EXPECT_EQ(set_meta(ix, ids, {1}, std::vector<int64_t>(cc, 1), cc - 1), -1);
          continue;
        }
        if (rnd(4) == 0) cc += static_cast<int32_t>(rnd(3));
        const int64_t n = op == 9 ? rnd(600) : rnd(60);
        std::vector<int64_t> ids(n), primary(n), cols(n * cc);
        for (int64_t i = 0; i < n; ++i) {
          ids[i] = rnd(id_space + 100);
          primary[i] = rnd(4) - 1;
          for (int32_t j = 0; j < cc; ++j) cols[i * cc + j] = rnd(3) - 1;
        }
        ASSERT_EQ(set_meta(ix, ids, primary, cols, cc), 0);
        ASSERT_EQ(m.set_rowmeta(ids.data(), primary.data(), cols.data(), cc,
                                static_cast<int32_t>(n)),
                  0);
      }

      // Compare every filter over the current state.
      std::vector<float> q(dim);
      for (auto& x : q) x = static_cast<float>(rnd(7)) * 0.25f - 0.75f;
      const int64_t cc = m.column_count();
      for (int32_t kind : {0, 1, 2, -3}) {
        for (int64_t column = -1; column <= cc; ++column) {
          if (kind < 2 && column != 0) continue;
          const int32_t col = static_cast<int32_t>(column);
          for (int64_t value : {-1, 0, 2}) {
            std::vector<int64_t> want_ids(m.visible_count());
            want_ids.resize(m.match_ids(kind, col, value, want_ids.data()));
            ASSERT_EQ(match(ix, kind, col, value), want_ids)
                << "seed " << seed << " step " << step << " kind " << kind << " column "
                << column << " value " << value;
            // The k best are the first k of the 2000 best.
            std::vector<int64_t> top_ids(2000);
            std::vector<float> top_scores(2000);
            m.search_filtered(kind, col, value, q.data(), 2000, top_ids.data(), top_scores.data());
            for (int32_t k : {1, 10, 2000}) {
              Result r = search(ix, kind, col, value, q.data(), k);
              ASSERT_EQ(r.count, k);
              ASSERT_EQ(r.ids, std::vector<int64_t>(top_ids.begin(), top_ids.begin() + k))
                  << "seed " << seed << " step " << step << " k " << k;
              ASSERT_EQ(r.scores, std::vector<float>(top_scores.begin(), top_scores.begin() + k));
            }
          }
        }
      }
    }
  }
}

}  // namespace
