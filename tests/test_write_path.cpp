// Inserts, deletes and the visible state: versions, upserts and revival,
// shadowing and walk order, the three visible-row readers and the candidate
// search, checked against the reference model. Every test that reads visible
// rows also checks that the writers' derived state is exactly what the rule
// gives.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <vector>

#include "core_test_support.h"
#include "index_record.h"
#include "score_kernel.h"
#include "topk.h"
#include "write_path.h"
#include "zv_runtime.h"

namespace {

constexpr int64_t kMinId = std::numeric_limits<int64_t>::min();
constexpr int64_t kMaxId = std::numeric_limits<int64_t>::max();

using zvtest::Index;
using zvtest::float_bits;

struct Row {
  int64_t id;
  std::vector<float> vec;
  bool operator==(const Row&) const = default;
};

// The visible rows through zv_index_export_visible, after checking that the
// three readers agree with each other.
std::vector<Row> visible(zv_index* h) {
  const int64_t count = zv_index_visible_count(h);
  int32_t dim = 0;
  int64_t base_count;
  int32_t tag, parts;
  zv_index_stats(h, &base_count, &dim, &tag, &parts);
  const int64_t d = std::max(dim, 0);
  // One spare slot each, poisoned, to catch writes past the count.
  std::vector<int64_t> ids(count + 1, 12345), export_ids(count + 1, 12345);
  std::vector<float> vecs((count + 1) * d, 777.0f);
  EXPECT_EQ(zv_index_visible_ids(h, ids.data()), count);
  EXPECT_EQ(zv_index_export_visible(h, vecs.data(), export_ids.data()), count);
  EXPECT_EQ(ids[count], 12345);
  EXPECT_EQ(export_ids[count], 12345);
  for (int64_t j = count * d; j < (count + 1) * d; ++j) EXPECT_EQ(vecs[j], 777.0f);
  EXPECT_EQ(ids, export_ids);
  std::vector<Row> rows;
  for (int64_t i = 0; i < count; ++i) {
    rows.push_back({ids[i], std::vector<float>(vecs.begin() + i * d, vecs.begin() + (i + 1) * d)});
  }
  return rows;
}

std::vector<int64_t> visible_ids(zv_index* h) {
  std::vector<int64_t> out;
  for (const Row& r : visible(h)) out.push_back(r.id);
  return out;
}

// The tombstone of `id`, -1 for none.
int64_t tombstone(const Index& h, int64_t id) {
  return h.rec().writes.tombstone_of(id, zv::id_hash(h.rec(), id));
}

// The derived bits and counts against the visibility rule, row by row.
void expect_derived_state_exact(const zv::IndexRecord& rec) {
  const zv::WriteState& w = rec.writes;
  const int64_t nd = w.delta_count();
  int64_t delta_set = 0;
  for (int64_t r = 0; r < nd; ++r) {
    const int64_t id = w.delta_ids()[r];
    const bool want = !w.is_deleted(id, zv::id_hash(rec, id));
    ASSERT_EQ(zv::row_bit(w.delta_visible(), r), want) << "delta row " << r;
    delta_set += want;
  }
  EXPECT_EQ(w.delta_visible_count(), delta_set);
  int64_t base_set = 0;
  const int64_t nb = rec.base.count();
  for (int64_t r = 0; r < nb; ++r) {
    const int64_t id = rec.base.ids()[r];
    const uint64_t h = zv::id_hash(rec, id);
    const bool want = w.delta_row_of(id, h) < 0 && !w.is_deleted(id, h);
    ASSERT_EQ(zv::row_bit(w.base_visible(), r), want) << "base row " << r;
    base_set += want;
  }
  EXPECT_EQ(w.base_visible_count(), base_set);
  // Bits past the last row stay clear: the walk relies on it.
  if (nd & 63) EXPECT_EQ(w.delta_visible()[nd >> 6] >> (nd & 63), 0u);
  if (nb & 63) EXPECT_EQ(w.base_visible()[nb >> 6] >> (nb & 63), 0u);
}

// The reference model driven with the same arrays as the index.
int64_t insert(zvref::Model& m, const std::vector<int64_t>& ids, const std::vector<float>& v) {
  return m.insert(v.data(), ids.data(), static_cast<int32_t>(ids.size()));
}

int64_t remove(zvref::Model& m, const std::vector<int64_t>& ids) {
  return m.remove(ids.data(), static_cast<int32_t>(ids.size()));
}

std::vector<Row> visible(const zvref::Model& m) {
  const int64_t count = m.visible_count();
  const int64_t d = std::max(m.dim(), 0);
  std::vector<int64_t> ids(count);
  std::vector<float> vecs(count * d);
  m.export_visible(vecs.data(), ids.data());
  std::vector<Row> rows;
  for (int64_t i = 0; i < count; ++i) {
    rows.push_back({ids[i], std::vector<float>(vecs.begin() + i * d, vecs.begin() + (i + 1) * d)});
  }
  return rows;
}

std::vector<float> vec_for(int64_t seed, int32_t dim) {
  std::vector<float> v(std::max(dim, 0));
  for (int32_t j = 0; j < dim; ++j) v[j] = static_cast<float>((seed * 31 + j * 7) % 23) - 11.0f;
  return v;
}

// --- version and mutated ----------------------------------------------------

TEST(VersionAndMutated, EmptyBatchesChangeNothing) {
  Index h(2);
  EXPECT_EQ(zv_index_insert(h, nullptr, nullptr, 0), 0);
  EXPECT_EQ(zv_index_insert(h, nullptr, nullptr, -5), 0);
  EXPECT_EQ(zv_index_delete(h, nullptr, 0), 0);
  EXPECT_EQ(zv_index_delete(h, nullptr, -1), 0);
  EXPECT_EQ(zv_index_mutated(h), 0);
  EXPECT_EQ(zv_index_snapshot(h), 0);
  EXPECT_EQ(zv_index_delta_count(h), 0);
}

TEST(VersionAndMutated, InsertsAndDeletesShareOneCounterPerBatch) {
  Index h(1);
  EXPECT_EQ(h.remove({4}), 1);  // a delete may be the first write
  EXPECT_EQ(zv_index_mutated(h), 1);
  EXPECT_EQ(h.insert({1, 2, 3}, {1, 2, 3}), 2);  // three rows, one version
  EXPECT_EQ(h.remove({1, 2}), 3);
  EXPECT_EQ(zv_index_insert(h, nullptr, nullptr, 0), 3);
  EXPECT_EQ(h.insert({9}, {9}), 4);
  EXPECT_EQ(zv_index_snapshot(h), 4);
  EXPECT_EQ(h.rec().writes.delta_version(0), 2);
  EXPECT_EQ(h.rec().writes.delta_version(3), 4);
}

TEST(VersionAndMutated, WorkedExample) {
  Index h(2);
  EXPECT_EQ(h.insert({10, 11}, {1, 0, 0, 1}), 1);
  EXPECT_EQ(visible(h), (std::vector<Row>{{10, {1, 0}}, {11, {0, 1}}}));
  EXPECT_EQ(h.remove({10}), 2);
  EXPECT_EQ(tombstone(h, 10), 2);
  EXPECT_EQ(visible(h), (std::vector<Row>{{11, {0, 1}}}));
  EXPECT_EQ(h.insert({10}, {5, 5}), 3);
  ASSERT_NE(tombstone(h, 10), -1);  // stays present, as 0
  EXPECT_EQ(tombstone(h, 10), 0);
  EXPECT_EQ(h.rec().writes.delta_version(0), 3);
  EXPECT_EQ(h.rec().writes.delta_version(1), 1);
  EXPECT_EQ(zv_index_delta_count(h), 2);
  EXPECT_EQ(visible(h), (std::vector<Row>{{10, {5, 5}}, {11, {0, 1}}}));
  EXPECT_EQ(zv_index_insert(h, nullptr, nullptr, 0), 3);
  EXPECT_EQ(zv_index_mutated(h), 1);
  expect_derived_state_exact(h.rec());
}

// --- upsert and revival -----------------------------------------------------

TEST(UpsertAndRevival, OneRowPerIdLastVectorWins) {
  Index h(2);
  h.insert({7}, {1, 1});
  h.insert({8}, {2, 2});
  h.insert({7}, {3, 3});  // second call: in place
  EXPECT_EQ(zv_index_delta_count(h), 2);
  h.insert({9, 9, 8}, {4, 4, 5, 5, 6, 6});  // twice in one call
  EXPECT_EQ(zv_index_delta_count(h), 3);
  EXPECT_EQ(visible(h), (std::vector<Row>{{7, {3, 3}}, {8, {6, 6}}, {9, {5, 5}}}));
  expect_derived_state_exact(h.rec());
}

// Updates of consecutive rows are copied run by run: runs that break on a
// gap, on a new id or on a repeat must still leave every id its last vector,
// including ids the same call appended.
TEST(UpsertAndRevival, RunsOfUpdatesKeepBatchOrder) {
  Index h(3);
  std::vector<int64_t> ids;
  std::vector<float> vectors;
  for (int64_t id = 0; id < 200; ++id) {
    ids.push_back(id);
    vectors.insert(vectors.end(), {float(id), 0, 0});
  }
  h.insert(ids, vectors);
  // 0..99 in order, a repeat inside the run, a new id, a backwards step, the
  // new id again, and 0 once more at the end.
  std::vector<int64_t> batch;
  for (int64_t id = 0; id < 100; ++id) batch.push_back(id);
  batch.insert(batch.end(), {50, 1000, 150, 151, 149, 1000, 0});
  std::vector<float> rows;
  for (std::size_t i = 0; i < batch.size(); ++i) rows.insert(rows.end(), {float(batch[i]), 1, float(i)});
  h.insert(batch, rows);

  std::map<int64_t, std::vector<float>> want;
  for (int64_t id = 0; id < 200; ++id) want[id] = {float(id), 0, 0};
  for (std::size_t i = 0; i < batch.size(); ++i) want[batch[i]] = {float(batch[i]), 1, float(i)};
  const std::vector<Row> got = visible(h);
  ASSERT_EQ(got.size(), want.size());
  for (const Row& row : got) EXPECT_EQ(row.vec, want[row.id]) << "id " << row.id;
  expect_derived_state_exact(h.rec());
}

TEST(UpsertAndRevival, RevivedRowKeepsItsPlaceNewRowGoesLast) {
  Index h(1);
  h.insert({1, 2, 3}, {1, 2, 3});
  h.remove({2, 50});  // 50 never had a row
  EXPECT_EQ(visible_ids(h), (std::vector<int64_t>{1, 3}));
  EXPECT_EQ(zv_index_delta_count(h), 3);
  h.insert({50, 2}, {50, 20});
  EXPECT_EQ(visible(h), (std::vector<Row>{{1, {1}}, {2, {20}}, {3, {3}}, {50, {50}}}));
  expect_derived_state_exact(h.rec());
}

TEST(UpsertAndRevival, DeleteInsertDeleteKeepsLastDeleteVersion) {
  Index h(1);
  h.insert({5}, {1});
  EXPECT_EQ(h.remove({5, 5}), 2);  // twice in one call
  EXPECT_EQ(h.remove({5}), 3);
  EXPECT_EQ(tombstone(h, 5), 3);
  h.insert({5}, {2});
  EXPECT_EQ(h.remove({5}), 5);
  EXPECT_EQ(tombstone(h, 5), 5);
  EXPECT_EQ(zv_index_visible_count(h), 0);
  EXPECT_EQ(zv_index_delta_count(h), 1);
  expect_derived_state_exact(h.rec());
}

// --- shadowing and walk order -----------------------------------------------

TEST(ShadowingAndWalkOrder, DeltaRowsFirstAndShadowTheBase) {
  Index h(1);
  ASSERT_EQ(h.build({0, 10, 20, 30}, {0, 1, 2, 3}, 1), 0);
  EXPECT_EQ(visible_ids(h), (std::vector<int64_t>{0, 1, 2, 3}));
  h.insert({2, 99}, {-2, -99});
  EXPECT_EQ(zv_index_delta_count(h), 2);
  EXPECT_EQ(visible(h), (std::vector<Row>{{2, {-2}}, {99, {-99}}, {0, {0}}, {1, {10}}, {3, {30}}}));
  // Deleting and reinserting never brings the base vector back.
  h.remove({2});
  EXPECT_EQ(visible_ids(h), (std::vector<int64_t>{99, 0, 1, 3}));
  h.insert({2}, {-3});
  EXPECT_EQ(visible(h), (std::vector<Row>{{2, {-3}}, {99, {-99}}, {0, {0}}, {1, {10}}, {3, {30}}}));
  expect_derived_state_exact(h.rec());
}

TEST(ShadowingAndWalkOrder, RepeatedBaseIdIsListedPerRowAndHiddenOnAllRows) {
  Index h(1);
  ASSERT_EQ(h.build({1, 2, 3, 4, 5}, {7, 8, 7, 9, 7}, 1), 0);
  EXPECT_EQ(visible_ids(h), (std::vector<int64_t>{7, 8, 7, 9, 7}));
  h.remove({7});
  EXPECT_EQ(visible_ids(h), (std::vector<int64_t>{8, 9}));
  expect_derived_state_exact(h.rec());
  h.insert({7, 9}, {70, 90});
  EXPECT_EQ(visible(h), (std::vector<Row>{{7, {70}}, {9, {90}}, {8, {2}}}));
  expect_derived_state_exact(h.rec());

  Index g(1);
  ASSERT_EQ(g.build({1, 2, 3}, {4, 4, 4}, 1), 0);
  g.insert({4}, {40});  // shadows all three rows
  EXPECT_EQ(visible(g), (std::vector<Row>{{4, {40}}}));
  expect_derived_state_exact(g.rec());
}

TEST(ShadowingAndWalkOrder, RebuildKeepsShadowsAndTombstones) {
  Index h(2);
  h.remove({3});         // before any build
  h.insert({1, 8}, {1, 1, 8, 8});
  h.remove({8});
  ASSERT_EQ(h.build({0, 0, 1, 0, 2, 0, 3, 0, 4, 0}, {0, 1, 2, 3, 4}, 2), 0);
  EXPECT_EQ(visible(h), (std::vector<Row>{{1, {1, 1}}, {0, {0, 0}}, {2, {2, 0}}, {4, {4, 0}}}));
  expect_derived_state_exact(h.rec());
  // A second, smaller base with other rows for the same ids.
  ASSERT_EQ(h.build({5, 5, 6, 6, 7, 7}, {3, 1, 8}, 2), 0);
  EXPECT_EQ(visible(h), (std::vector<Row>{{1, {1, 1}}}));
  h.insert({3}, {9, 9});
  EXPECT_EQ(visible_ids(h), (std::vector<int64_t>{1, 3}));
  // An empty base leaves only the delta.
  ASSERT_EQ(h.build({}, {}, 2), 0);
  EXPECT_EQ(visible_ids(h), (std::vector<int64_t>{1, 3}));
  expect_derived_state_exact(h.rec());
}

TEST(ShadowingAndWalkOrder, RunsAcrossWordBoundaries) {
  // Patterns of hidden rows around multiples of 64 in both walks.
  Index h(1);
  zvref::Model m(1, 0);
  std::vector<int64_t> base_ids;
  std::vector<float> base_vecs;
  for (int64_t i = 0; i < 300; ++i) {
    base_ids.push_back(i);
    base_vecs.push_back(static_cast<float>(i));
  }
  ASSERT_EQ(h.build(base_vecs, base_ids, 1), 0);
  ASSERT_EQ(zvtest::build(m, base_vecs, base_ids, 1), 0);
  std::vector<int64_t> delta;
  std::vector<float> dv;
  for (int64_t i = 0; i < 200; ++i) {
    delta.push_back(1000 + i);
    dv.push_back(static_cast<float>(-i));
  }
  h.insert(delta, dv);
  insert(m, delta, dv);
  EXPECT_EQ(visible(h), visible(m));
  const std::vector<int64_t> hide = {0, 62, 63, 64, 65, 127, 128, 191, 192, 193, 255, 256, 299,
                                     1000, 1063, 1064, 1127, 1128, 1199};
  h.remove(hide);
  remove(m, hide);
  EXPECT_EQ(visible(h), visible(m));
  // Everything from 64 on hidden: the walk must stop cleanly at word ends.
  std::vector<int64_t> rest;
  for (int64_t i = 64; i < 300; ++i) rest.push_back(i);
  h.remove(rest);
  remove(m, rest);
  EXPECT_EQ(visible(h), visible(m));
  expect_derived_state_exact(h.rec());
}

// --- readers on deleted and revived ids, against the model ------------------

TEST(ReadersAgree, RandomWritesAndBuildsMatchTheModel) {
  for (int32_t dim : {3, 0}) {
    std::mt19937_64 rng(42 + dim);
    Index h(dim);
    zvref::Model m(dim, 0);
    auto pick_id = [&]() -> int64_t {
      const int r = static_cast<int>(rng() % 100);
      if (r == 0) return kMinId;
      if (r == 1) return kMaxId;
      if (r < 6) return -1 - static_cast<int64_t>(rng() % 3);
      return static_cast<int64_t>(rng() % 160);
    };
    for (int step = 0; step < 400; ++step) {
      const int op = static_cast<int>(rng() % 10);
      if (op < 5) {
        std::vector<int64_t> ids;
        std::vector<float> v;
        const int n = static_cast<int>(rng() % 20);
        for (int i = 0; i < n; ++i) {
          ids.push_back(pick_id());
          for (float f : vec_for(static_cast<int64_t>(rng() % 1000), dim)) v.push_back(f);
        }
        ASSERT_EQ(h.insert(ids, v), insert(m, ids, v));
      } else if (op < 9) {
        std::vector<int64_t> ids;
        const int n = static_cast<int>(rng() % 12);
        for (int i = 0; i < n; ++i) ids.push_back(pick_id());
        ASSERT_EQ(h.remove(ids), remove(m, ids));
      } else {
        // Ids repeat within the base and overlap the delta.
        const int n = static_cast<int>(rng() % 200);
        std::vector<int64_t> ids;
        std::vector<float> v;
        for (int i = 0; i < n; ++i) {
          ids.push_back(static_cast<int64_t>(rng() % 180));
          for (float f : vec_for(static_cast<int64_t>(rng() % 1000), dim)) v.push_back(f);
        }
        ASSERT_EQ(h.build(v, ids, dim), 0);
        ASSERT_EQ(zvtest::build(m, v, ids, dim), 0);
      }
      if (step % 10 == 0) {
        ASSERT_EQ(visible(h), visible(m)) << "step " << step;
        expect_derived_state_exact(h.rec());
        // The candidate search over every id that ever mattered, plus strays.
        std::vector<int64_t> cands;
        for (int i = 0; i < 150; ++i) cands.push_back(pick_id());
        const std::vector<float> q = vec_for(step, dim);
        for (int32_t k : {1, 7, 200}) {
          std::vector<int64_t> got_ids(k), want_ids(k);
          std::vector<float> got_scores(k), want_scores(k);
          ASSERT_EQ(zv_index_search_mvcc(h, cands.data(), static_cast<int32_t>(cands.size()),
                                         q.data(), k, got_ids.data(), got_scores.data()),
                    k);
          m.search_mvcc(cands.data(), static_cast<int32_t>(cands.size()), q.data(), k,
                        want_ids.data(), want_scores.data());
          ASSERT_EQ(got_ids, want_ids) << "step " << step << " k " << k;
          for (int32_t j = 0; j < k; ++j) {
            ASSERT_EQ(float_bits(got_scores[j]), float_bits(want_scores[j]));
          }
        }
      }
    }
    EXPECT_EQ(zv_index_delta_count(h), m.delta_count());
  }
}

TEST(ReadersAgree, FreshIndexAndDeltaOnlyIndex) {
  Index h(2);
  EXPECT_TRUE(visible(h).empty());
  h.remove({1});
  EXPECT_TRUE(visible(h).empty());
  h.insert({3, 1, 2}, {3, 3, 1, 1, 2, 2});  // never built
  EXPECT_EQ(zv_index_sealed(h), 0);
  EXPECT_EQ(visible(h), (std::vector<Row>{{3, {3, 3}}, {1, {1, 1}}, {2, {2, 2}}}));
  expect_derived_state_exact(h.rec());
}

TEST(ReadersAgree, NegativeAndExtremeIdsInTheDelta) {
  Index h(1);
  ASSERT_EQ(h.build({1, 2}, {0, 1}, 1), 0);
  h.insert({-1, kMinId, kMaxId, -7}, {-1, -2, -3, -7});
  EXPECT_EQ(visible_ids(h), (std::vector<int64_t>{-1, kMinId, kMaxId, -7, 0, 1}));
  h.remove({kMinId, -7, -2});
  EXPECT_EQ(visible_ids(h), (std::vector<int64_t>{-1, kMaxId, 0, 1}));
  h.insert({kMinId}, {5});
  EXPECT_EQ(visible(h), (std::vector<Row>{{-1, {-1}}, {kMinId, {5}}, {kMaxId, {-3}}, {0, {1}}, {1, {2}}}));
  expect_derived_state_exact(h.rec());
}

TEST(ReadersAgree, DimZeroListsIdsAndWritesNoFloats) {
  Index h(0);
  h.insert({4, 5}, {});
  h.remove({5});
  float canary = 3.0f;
  int64_t ids[2] = {0, 0};
  EXPECT_EQ(zv_index_export_visible(h, &canary, ids), 1);
  EXPECT_EQ(ids[0], 4);
  EXPECT_EQ(canary, 3.0f);
}

// --- the candidate search ----------------------------------------------------

using Result = zvtest::TopKResult;

// The candidate search, with nothing written past its k slots.
Result mvcc(zv_index* h, const std::vector<int64_t>& cands, const std::vector<float>& q, int32_t k) {
  Result r = zvtest::run_search(k, [&](int64_t* ids, float* scores) {
    return zv_index_search_mvcc(h, cands.data(), static_cast<int32_t>(cands.size()), q.data(), k,
                                ids, scores);
  });
  EXPECT_EQ(r.count, k);
  return r;
}

TEST(SearchMvcc, SlotRules) {
  Index h(1);
  h.insert({1}, {1});
  const float q[1] = {1};
  int64_t ids[4] = {9, 9, 9, 9};
  float scores[4] = {9, 9, 9, 9};
  const int64_t cand = 1;
  EXPECT_EQ(zv_index_search_mvcc(h, &cand, 1, q, 0, ids, scores), 0);
  EXPECT_EQ(zv_index_search_mvcc(h, &cand, 1, q, -3, ids, scores), 0);
  EXPECT_EQ(ids[0], 9);
  EXPECT_EQ(scores[0], 9.0f);
  EXPECT_EQ(zv_index_search_mvcc(h, nullptr, 0, q, 4, ids, scores), 4);
  for (int j = 0; j < 4; ++j) {
    EXPECT_EQ(ids[j], -1);
    EXPECT_EQ(scores[j], zv::kEmptyScore);
  }
  // Slot count is k, not the number of candidates.
  const Result r = mvcc(h, {1, 1}, {2}, 3);
  EXPECT_EQ(r.ids, (std::vector<int64_t>{1, 1, -1}));
  EXPECT_EQ(r.scores, (std::vector<float>{2, 2, zv::kEmptyScore}));
}

TEST(SearchMvcc, DeltaRowsWinDeletedIdsAreSkipped) {
  Index h(2);
  ASSERT_EQ(h.build({1, 0, 2, 0, 3, 0, 4, 0}, {0, 1, 2, 1}, 2), 0);  // id 1 on rows 1 and 3
  const std::vector<float> q = {1, 1};
  // id 1 scores with the row id_to_row names: the last one.
  EXPECT_EQ(mvcc(h, {0, 1, 2, 3, 5, -1}, q, 4).ids, (std::vector<int64_t>{1, 2, 0, -1}));
  EXPECT_EQ(mvcc(h, {1}, q, 1).scores[0], 4.0f);
  h.insert({0}, {10, 0});
  h.remove({2});
  Result r = mvcc(h, {0, 1, 2}, q, 3);
  EXPECT_EQ(r.ids, (std::vector<int64_t>{0, 1, -1}));
  EXPECT_EQ(r.scores[0], 10.0f);
  h.remove({0});
  EXPECT_EQ(mvcc(h, {0, 2}, q, 2).ids, (std::vector<int64_t>{-1, -1}));
  h.insert({2}, {-1, 0});
  EXPECT_EQ(mvcc(h, {2}, q, 1).scores[0], -1.0f);  // the inserted vector, not the base one
}

TEST(SearchMvcc, NegativeIdsScoreOnlyThroughTheDelta) {
  Index h(1);
  ASSERT_EQ(h.build({5}, {0}, 1), 0);
  const std::vector<float> q = {1};
  EXPECT_EQ(mvcc(h, {-1, -2, kMinId}, q, 2).ids, (std::vector<int64_t>{-1, -1}));
  EXPECT_EQ(mvcc(h, {-1}, q, 1).scores[0], zv::kEmptyScore);
  h.insert({-1, kMinId}, {3, 4});
  // The -1 row scores: a real score beside the empty id of the last slot.
  const Result r = mvcc(h, {-1, -2, kMinId, 0}, q, 4);
  EXPECT_EQ(r.ids, (std::vector<int64_t>{0, kMinId, -1, -1}));
  EXPECT_EQ(r.scores, (std::vector<float>{5, 4, 3, zv::kEmptyScore}));
}

TEST(SearchMvcc, TiesKeepCandidateOrderAcrossBatches) {
  // More candidates than one resolve batch; every score equal.
  Index h(1);
  std::vector<int64_t> ids;
  std::vector<float> v;
  for (int64_t i = 0; i < 300; ++i) {
    ids.push_back(i);
    v.push_back(1.0f);
  }
  ASSERT_EQ(h.build(v, ids, 1), 0);
  std::vector<int64_t> cands;
  for (int64_t i = 299; i >= 0; --i) cands.push_back(i);
  h.remove({299, 298});
  h.insert({100}, {2.0f});
  const Result r = mvcc(h, cands, {1}, 5);
  EXPECT_EQ(r.ids, (std::vector<int64_t>{100, 297, 296, 295, 294}));
}

TEST(SearchMvcc, NaNNeverEntersAndDimZeroScoresZero) {
  Index h(1);
  h.insert({1, 2}, {std::numeric_limits<float>::quiet_NaN(), -1e31f});
  EXPECT_EQ(mvcc(h, {1, 2}, {1}, 2).ids, (std::vector<int64_t>{-1, -1}));

  // With no floats every row that resolves scores +0.0, base rows included.
  Index z(0);
  ASSERT_EQ(z.build({}, {3, 4}, 0), 0);
  z.insert({8}, {});
  z.remove({4});
  const Result r = mvcc(z, {4, 3, 8, 9}, {}, 3);
  EXPECT_EQ(r.ids, (std::vector<int64_t>{3, 8, -1}));
  EXPECT_EQ(float_bits(r.scores[0]), float_bits(0.0f));
}

// --- the stored floats bound every read --------------------------------------

TEST(DimensionSafety, ReadersAndUpsertsStayInsideTheDeltaFloats) {
  // The build refuses to change dim under delta rows; force the mismatch to
  // check that the readers and upserts still stay in bounds.
  Index h(2);
  h.insert({1, 2, 3}, {1, 1, 2, 2, 3, 3});
  EXPECT_EQ(h.build({0, 0, 0, 0}, {0}, 4), -1);
  h.rec().dim = 4;  // 6 floats stored cover row 0 only at 4 per row
  const Result r = mvcc(h, {1, 2, 3}, {1, 1, 1, 1}, 3);
  EXPECT_EQ(r.ids, (std::vector<int64_t>{1, -1, -1}));
  EXPECT_EQ(r.scores[0], 6.0f);  // floats 0..3 of the stored six
  std::vector<float> out(12, 9.0f);
  std::vector<int64_t> ids(3);
  EXPECT_EQ(zv_index_export_visible(h, out.data(), ids.data()), 3);
  EXPECT_EQ(out, (std::vector<float>{1, 1, 2, 2, 0, 0, 0, 0, 0, 0, 0, 0}));
  const float src[4] = {7, 7, 7, 7};
  const int64_t id = 3;
  zv_index_insert(h, src, &id, 1);  // row 2 is not covered: nothing written
  EXPECT_EQ(h.rec().writes.delta_float_count(), 6);
  EXPECT_EQ(h.rec().writes.delta_floats()[5], 3.0f);
  h.rec().dim = 2;
}

}  // namespace
