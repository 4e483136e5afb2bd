// IVF registry and search: registry bookkeeping, the probe rules, the result
// convention, ill-formed entries, and bit-exact agreement with the reference
// model on layouts that exercise every scan path.
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
#include "ivf.h"
#include "score_kernel.h"
#include "zv_runtime.h"

namespace {

constexpr float kEmpty = -1e30f;
constexpr uint64_t kAllOnes = ~uint64_t{0};
const float kNaN = std::numeric_limits<float>::quiet_NaN();

using zvtest::Index;

struct Result {
  int32_t m = 0;
  std::vector<int64_t> ids;
  std::vector<float> scores;
};

// Searches with outputs pre-filled by a sentinel so untouched slots show.
Result search(zv_index* h, uint64_t key, const float* query, int32_t k, int32_t room = -1) {
  Result r;
  const int32_t n = room >= 0 ? room : (k > 0 ? k : 1);
  r.ids.assign(n, 777);
  r.scores.assign(n, 5.5f);
  r.m = zv_index_search_ivf(h, key, query, k, r.ids.data(), r.scores.data());
  return r;
}

bool untouched(const Result& r) {
  for (size_t i = 0; i < r.ids.size(); ++i) {
    if (r.ids[i] != 777 || r.scores[i] != 5.5f) return false;
  }
  return true;
}

uint32_t bits(float f) {
  uint32_t b;
  std::memcpy(&b, &f, 4);
  return b;
}

// ---- one base with one IVF entry, searched through the reference model --------

struct IvfCase {
  int32_t dim = 0;
  std::vector<float> base;
  std::vector<int64_t> base_ids;
  int32_t nlist = 0, nprobe = 0;
  std::vector<float> centroids;
  std::vector<int64_t> list_ids;
  std::vector<int32_t> offsets;

  Result run(const float* query, int32_t k) const {
    zvref::Model m(dim, 0);
    EXPECT_EQ(zvtest::build(m, base, base_ids, dim), 0);
    m.set_ivf(77, nlist, nprobe, centroids.data(), list_ids.data(), offsets.data(),
              static_cast<int32_t>(list_ids.size()));
    Result r;
    r.ids.assign(k, 0);
    r.scores.assign(k, 0.0f);
    r.m = m.search_ivf(77, query, k, r.ids.data(), r.scores.data());
    return r;
  }
};

void expect_same(const Result& got, const Result& want) {
  ASSERT_EQ(got.m, want.m);
  for (int32_t i = 0; i < want.m; ++i) {
    EXPECT_EQ(got.ids[i], want.ids[i]) << "slot " << i;
    EXPECT_EQ(bits(got.scores[i]), bits(want.scores[i])) << "slot " << i;
  }
}

// ---- registry -----------------------------------------------------------------

TEST(IvfRegistry, SlotsFollowFirstRegistrationAndReplacementIsWhole) {
  Index ix(2);
  const std::vector<float> c1 = {1, 0};
  const std::vector<int64_t> ids1 = {4, 5};
  const std::vector<int32_t> off1 = {0, 2};
  EXPECT_EQ(ix.set_ivf(10, 1, 1, c1, ids1, off1), 0);
  EXPECT_EQ(ix.set_ivf(20, 1, 2, c1, ids1, off1), 0);
  EXPECT_EQ(ix.set_ivf(30, 1, 3, c1, ids1, off1), 0);

  // The first key again: same slot, everything replaced, no new entry.
  const std::vector<float> c2 = {0, 1, 1, 1, 2, 2};
  const std::vector<int64_t> ids2 = {7, 8, 9};
  const std::vector<int32_t> off2 = {0, 1, 1, 3};
  EXPECT_EQ(ix.set_ivf(10, 3, 9, c2, ids2, off2), 0);
  auto& rec = ix.rec();
  ASSERT_EQ(rec.ivf.size(), 3);
  ASSERT_NE(rec.ivf.find(10), nullptr);
  EXPECT_EQ(rec.ivf.slot_of(10), 0);
  EXPECT_EQ(rec.ivf.slot_of(20), 1);
  EXPECT_EQ(rec.ivf.slot_of(30), 2);
  const zv::IvfEntry& e = rec.ivf.entry(0);
  EXPECT_EQ(e.nlist, 3);
  EXPECT_EQ(e.nprobe, 9);
  ASSERT_EQ(e.list_ids.size(), 3);
  EXPECT_EQ(std::vector<int64_t>(e.list_ids.data(), e.list_ids.data() + 3), ids2);
  ASSERT_EQ(e.list_offsets.size(), 4);
  EXPECT_EQ(std::vector<int32_t>(e.list_offsets.data(), e.list_offsets.data() + 4), off2);
  ASSERT_EQ(e.centroids.size(), 6);
  EXPECT_EQ(std::vector<float>(e.centroids.data(), e.centroids.data() + 6), c2);
  EXPECT_EQ(rec.ivf.entry(1).nprobe, 2);
  EXPECT_EQ(rec.ivf.entry(2).nprobe, 3);

  EXPECT_EQ(ix.set_ivf(40, 1, 4, c1, ids1, off1), 0);
  EXPECT_EQ(rec.ivf.slot_of(40), 3);
  EXPECT_EQ(rec.ivf.size(), 4);
  // No registry call is a write of the index.
  EXPECT_EQ(zv_index_snapshot(ix), 0);
  EXPECT_EQ(zv_index_mutated(ix), 0);
}

// Re-registering a key refills the entry's arrays when the sizes are close
// and reallocates them otherwise; either way the entry must hold exactly the
// new lists and search like a handle that only ever saw them.
TEST(IvfRegistry, RetrainingInPlaceSearchesLikeAFreshRegistration) {
  const int32_t dim = 3;
  std::mt19937_64 rng(99);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  std::vector<float> base(300 * dim);
  std::vector<int64_t> base_ids(300);
  for (float& x : base) x = unit(rng);
  for (int64_t i = 0; i < 300; ++i) base_ids[i] = 1000 - i;
  Index retrained(dim);
  retrained.build(base, base_ids, dim);
  // Sizes: the same, a bit smaller, much smaller, larger, nothing listed.
  for (int64_t listed : {300, 300, 250, 40, 290, 0, 120}) {
    const int32_t nlist = static_cast<int32_t>(1 + rng() % 9);
    std::vector<float> centroids(size_t(nlist) * dim);
    for (float& x : centroids) x = unit(rng);
    std::vector<int64_t> ids(listed);
    for (auto& id : ids) id = base_ids[rng() % 300];
    std::vector<int32_t> offsets(nlist + 1, 0);
    for (int32_t c = 1; c < nlist; ++c) offsets[c] = static_cast<int32_t>(rng() % (listed + 1));
    std::sort(offsets.begin(), offsets.end());
    offsets[nlist] = static_cast<int32_t>(listed);
    ASSERT_EQ(retrained.set_ivf(5, nlist, nlist, centroids, ids, offsets), 0);

    Index fresh(dim);
    fresh.build(base, base_ids, dim);
    ASSERT_EQ(fresh.set_ivf(5, nlist, nlist, centroids, ids, offsets), 0);
    const zv::IvfEntry& e = retrained.rec().ivf.entry(0);
    ASSERT_EQ(e.list_ids.size(), listed);
    EXPECT_EQ(std::vector<int64_t>(e.list_ids.data(), e.list_ids.data() + listed), ids);
    for (int q = 0; q < 5; ++q) {
      const float query[dim] = {unit(rng), unit(rng), unit(rng)};
      expect_same(search(retrained, 5, query, 7), search(fresh, 5, query, 7));
    }
  }
}

TEST(IvfRegistry, NprobeRetuning) {
  Index ix(1);
  EXPECT_EQ(ix.build({1, 2, 3}, {0, 1, 2}, 1), 0);
  EXPECT_EQ(ix.set_ivf(5, 1, 1, {1}, {0, 1, 2}, {0, 3}), 0);
  const float q = 1;

  EXPECT_EQ(zv_index_set_ivf_nprobe(ix, 6, 3), -1);
  EXPECT_EQ(zv_index_has_ivf(ix, 6), 0);
  EXPECT_EQ(ix.rec().ivf.size(), 1);

  for (int32_t np : {0, -1, std::numeric_limits<int32_t>::min()}) {
    EXPECT_EQ(zv_index_set_ivf_nprobe(ix, 5, np), 0);
    EXPECT_EQ(ix.rec().ivf.entry(0).nprobe, np);
    Result r = search(ix, 5, &q, 2);
    ASSERT_EQ(r.m, 2);
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(r.ids[i], -1);
      EXPECT_EQ(bits(r.scores[i]), bits(kEmpty));
    }
  }
  // Takes effect with the next search.
  EXPECT_EQ(zv_index_set_ivf_nprobe(ix, 5, 1), 0);
  Result r = search(ix, 5, &q, 2);
  EXPECT_EQ(r.ids, (std::vector<int64_t>{2, 1}));
}

TEST(IvfRegistry, ClearAndRegisterAgain) {
  Index ix(1);
  EXPECT_EQ(zv_index_clear_ivf(ix), 0);
  for (uint64_t key : {1u, 2u, 3u}) EXPECT_EQ(ix.set_ivf(key, 1, 1, {1}, {0}, {0, 1}), 0);
  EXPECT_EQ(zv_index_clear_ivf(ix), 0);
  for (uint64_t key : {1u, 2u, 3u}) {
    EXPECT_EQ(zv_index_has_ivf(ix, key), 0);
    EXPECT_EQ(zv_index_set_ivf_nprobe(ix, key, 1), -1);
    const float q = 1;
    EXPECT_TRUE(untouched(search(ix, key, &q, 1)));
  }
  EXPECT_EQ(ix.rec().ivf.size(), 0);
  EXPECT_EQ(ix.set_ivf(3, 1, 1, {1}, {0}, {0, 1}), 0);
  EXPECT_EQ(ix.rec().ivf.slot_of(3), 0);
  EXPECT_EQ(zv_index_has_ivf(ix, 3), 1);
  EXPECT_EQ(zv_index_clear_ivf(ix), 0);
  EXPECT_EQ(zv_index_clear_ivf(ix), 0);
}

TEST(IvfRegistry, ZeroAndAllOnesAreOrdinaryKeys) {
  Index ix(1);
  EXPECT_EQ(ix.build({1, 2}, {0, 1}, 1), 0);
  EXPECT_EQ(zv_index_has_ivf(ix, 0), 0);
  EXPECT_EQ(zv_index_has_ivf(ix, kAllOnes), 0);
  EXPECT_EQ(ix.set_ivf(0, 1, 1, {1}, {0}, {0, 1}), 0);
  EXPECT_EQ(zv_index_has_ivf(ix, 0), 1);
  EXPECT_EQ(zv_index_has_ivf(ix, kAllOnes), 0);
  EXPECT_EQ(ix.set_ivf(kAllOnes, 1, 1, {1}, {1}, {0, 1}), 0);
  EXPECT_EQ(zv_index_has_ivf(ix, kAllOnes), 1);
  EXPECT_EQ(zv_index_has_ivf(ix, uint64_t{1} << 63), 0);
  EXPECT_EQ(zv_index_has_ivf(ix, 1), 0);
  EXPECT_EQ(ix.rec().ivf.size(), 2);

  const float q = 1;
  EXPECT_EQ(search(ix, 0, &q, 1).ids[0], 0);
  EXPECT_EQ(search(ix, kAllOnes, &q, 1).ids[0], 1);
  EXPECT_EQ(zv_index_set_ivf_nprobe(ix, kAllOnes, 0), 0);
  EXPECT_EQ(search(ix, kAllOnes, &q, 1).ids[0], -1);
  EXPECT_EQ(search(ix, 0, &q, 1).ids[0], 0);
  // Re-registering all-ones keeps its slot.
  EXPECT_EQ(ix.set_ivf(kAllOnes, 1, 1, {1}, {0}, {0, 1}), 0);
  EXPECT_EQ(ix.rec().ivf.slot_of(-1), 1);
  EXPECT_EQ(search(ix, kAllOnes, &q, 1).ids[0], 0);
}

TEST(IvfRegistry, StoresCopiesAndReadsOnlyWhatItShould) {
  Index ix(2);
  EXPECT_EQ(ix.build({1, 0, 0, 1, 3, 3}, {0, 1, 2}, 2), 0);
  std::vector<float> cents = {1, 0, 0, 1};
  std::vector<int64_t> ids = {0, 2, 1};
  std::vector<int32_t> offs = {0, 2, 3};
  EXPECT_EQ(ix.set_ivf(1, 2, 2, cents, ids, offs), 0);
  const float q[2] = {1, 0.5f};
  Result before = search(ix, 1, q, 3);
  std::fill(cents.begin(), cents.end(), kNaN);
  std::fill(ids.begin(), ids.end(), -5);
  std::fill(offs.begin(), offs.end(), 99);
  expect_same(search(ix, 1, q, 3), before);
  EXPECT_EQ(before.ids, (std::vector<int64_t>{2, 0, 1}));

  // Arrays that are not read may be null.
  EXPECT_EQ(zv_index_set_ivf(ix, 2, 0, 1, nullptr, nullptr, offs.data(), 0), 0);
  EXPECT_EQ(zv_index_set_ivf(ix, 3, -4, 1, nullptr, nullptr, nullptr, -7), 0);
  const zv::IvfEntry& zero = ix.rec().ivf.entry(1);
  EXPECT_EQ(zero.list_offsets.size(), 1);
  EXPECT_EQ(zero.centroids.size(), 0);
  EXPECT_EQ(zero.list_ids.size(), 0);
  const zv::IvfEntry& neg = ix.rec().ivf.entry(2);
  EXPECT_EQ(neg.list_offsets.size(), 0);
  EXPECT_EQ(neg.centroids.size(), 0);
  EXPECT_EQ(neg.list_ids.size(), 0);
  EXPECT_TRUE(untouched(search(ix, 2, q, 3)));
  EXPECT_TRUE(untouched(search(ix, 3, q, 3)));

  // Registration before the first build uses the dimension of the moment.
  Index fresh(3);
  EXPECT_EQ(zv_index_set_ivf(fresh, 9, 2, 1, std::vector<float>(6, 1).data(), nullptr,
                             std::vector<int32_t>{0, 0, 0}.data(), 0),
            0);
  EXPECT_EQ(fresh.rec().ivf.entry(0).centroids.size(), 6);
}

// ---- search: result convention and probe rules -------------------------------

TEST(IvfSearch, RefusedCallsLeaveOutputsUntouched) {
  Index ix(1);
  EXPECT_EQ(ix.build({1}, {0}, 1), 0);
  EXPECT_EQ(ix.set_ivf(1, 1, 1, {1}, {0}, {0, 1}), 0);
  EXPECT_EQ(zv_index_set_ivf(ix, 2, 0, 1, nullptr, nullptr, std::vector<int32_t>{0}.data(), 0), 0);
  const float q = 1;
  EXPECT_TRUE(untouched(search(ix, 7, &q, 2)));
  EXPECT_TRUE(untouched(search(ix, 1, &q, 0, 2)));
  EXPECT_TRUE(untouched(search(ix, 1, &q, -3, 2)));
  EXPECT_TRUE(untouched(search(ix, 2, &q, 2)));
  Result ok = search(ix, 1, &q, 2, 3);
  EXPECT_EQ(ok.m, 2);
  EXPECT_EQ(ok.ids, (std::vector<int64_t>{0, -1, 777}));  // nothing past k
  EXPECT_EQ(bits(ok.scores[1]), bits(kEmpty));
}

TEST(IvfSearch, ProbeOrderTiesAndUnselectableCentroids) {
  Index ix(1);
  // Rows 0..5 with ids 10..15 all score 1 (vector 1, query 1).
  EXPECT_EQ(ix.build(std::vector<float>(6, 1), {10, 11, 12, 13, 14, 15}, 1), 0);
  // Centroid scores: 2, NaN, 2, -1e30, -inf, 2 ; each list holds one id.
  const std::vector<float> cents = {2, kNaN, 2, kEmpty, -INFINITY, 2};
  const std::vector<int64_t> ids = {10, 11, 12, 13, 14, 15};
  const std::vector<int32_t> offs = {0, 1, 2, 3, 4, 5, 6};
  const float q = 1;
  EXPECT_EQ(ix.set_ivf(1, 6, 100, cents, ids, offs), 0);
  // Equal scores keep arrival order, which is probe order: 0, 2, 5.
  Result r = search(ix, 1, &q, 5);
  EXPECT_EQ(r.ids, (std::vector<int64_t>{10, 12, 15, -1, -1}));
  EXPECT_EQ(zv_index_set_ivf_nprobe(ix, 1, 2), 0);
  EXPECT_EQ(search(ix, 1, &q, 5).ids, (std::vector<int64_t>{10, 12, -1, -1, -1}));

  // A strictly better later centroid is probed first.
  const std::vector<float> cents2 = {1, 3, 2};
  EXPECT_EQ(ix.set_ivf(2, 3, 1, cents2, {10, 11, 12}, {0, 1, 2, 3}), 0);
  EXPECT_EQ(search(ix, 2, &q, 3).ids, (std::vector<int64_t>{11, -1, -1}));
  // nprobe beyond nlist equals nprobe = nlist.
  EXPECT_EQ(zv_index_set_ivf_nprobe(ix, 2, 3), 0);
  Result all = search(ix, 2, &q, 3);
  EXPECT_EQ(all.ids, (std::vector<int64_t>{11, 12, 10}));
  EXPECT_EQ(zv_index_set_ivf_nprobe(ix, 2, 1000), 0);
  expect_same(search(ix, 2, &q, 3), all);
}

TEST(IvfSearch, TopKConvention) {
  Index ix(1);
  // ids 0..6 score 3, 5, 5, 3, NaN, -1e30, -inf in list order.
  EXPECT_EQ(ix.build({3, 5, 5, 3, kNaN, kEmpty, -INFINITY}, {0, 1, 2, 3, 4, 5, 6}, 1), 0);
  EXPECT_EQ(ix.set_ivf(1, 1, 1, {1}, {0, 1, 2, 3, 4, 5, 6}, {0, 7}), 0);
  const float q = 1;
  // Fewer hits than k: leading hits, then fill values; the second 5 lands
  // behind the first and the second 3 behind the first.
  Result r = search(ix, 1, &q, 6);
  EXPECT_EQ(r.ids, (std::vector<int64_t>{1, 2, 0, 3, -1, -1}));
  EXPECT_EQ(r.scores[0], 5.0f);
  EXPECT_EQ(r.scores[3], 3.0f);
  EXPECT_EQ(bits(r.scores[5]), bits(kEmpty));
  // A score equal to the last slot does not displace it.
  EXPECT_EQ(search(ix, 1, &q, 3).ids, (std::vector<int64_t>{1, 2, 0}));
  EXPECT_EQ(search(ix, 1, &q, 1).ids, (std::vector<int64_t>{1}));
}

TEST(IvfSearch, IdsResolveThroughTheBase) {
  Index ix(1);
  const float q = 1;
  // Before the first build every id is skipped.
  EXPECT_EQ(ix.set_ivf(1, 1, 1, {1}, {0, 1, 2}, {0, 3}), 0);
  Result r = search(ix, 1, &q, 2);
  EXPECT_EQ(r.m, 2);
  EXPECT_EQ(r.ids, (std::vector<int64_t>{-1, -1}));

  // Ids 0, 2, 5 (twice: the later row wins), gap at 1, 3, 4.
  EXPECT_EQ(ix.build({1, 2, 9, 4}, {0, 5, 2, 5}, 1), 0);
  EXPECT_EQ(ix.set_ivf(2, 1, 1, {1},
                   {-1, INT64_MIN, 1, 3, 6, 1000, int64_t{1} << 40, 5, 2, 0, 2}, {0, 11}),
            0);
  r = search(ix, 2, &q, 5);
  // 2 listed twice fills two slots; 5 is scored with its last row (4).
  EXPECT_EQ(r.ids, (std::vector<int64_t>{2, 2, 5, 0, -1}));
  EXPECT_EQ(r.scores[2], 4.0f);

  // Deleted and shadowed base rows are still found with their base vectors;
  // a row that lives only in the delta is not.
  const float upd = 100, fresh = 50;
  const int64_t id0 = 0, id9 = 9;
  EXPECT_GT(zv_index_insert(ix, &upd, &id0, 1), 0);
  EXPECT_GT(zv_index_insert(ix, &fresh, &id9, 1), 0);
  const int64_t id2 = 2;
  EXPECT_GT(zv_index_delete(ix, &id2, 1), 0);
  EXPECT_EQ(ix.set_ivf(3, 1, 1, {1}, {9, 0, 2}, {0, 3}), 0);
  r = search(ix, 3, &q, 3);
  EXPECT_EQ(r.ids, (std::vector<int64_t>{2, 0, -1}));
  EXPECT_EQ(r.scores[1], 1.0f);

  // Entries survive a rebuild and resolve against the new base.
  EXPECT_EQ(ix.build({7, 8}, {2, 0}, 1), 0);
  r = search(ix, 3, &q, 3);
  EXPECT_EQ(r.ids, (std::vector<int64_t>{0, 2, -1}));
  EXPECT_EQ(r.scores[0], 8.0f);
}

TEST(IvfSearch, DimZeroScoresEverythingZeroInArrivalOrder) {
  Index ix(0);
  EXPECT_EQ(ix.build({}, {0, 1, 2, 3}, 0), 0);
  EXPECT_EQ(zv_index_set_ivf(ix, 1, 2, 2, nullptr, std::vector<int64_t>{3, 1, 2, 0}.data(),
                             std::vector<int32_t>{2, 4, 0}.data(), 4),
            0);
  Result r = search(ix, 1, nullptr, 3);
  // Centroid 0 (list 2..4) first, then centroid 1 (empty: 4 > 0).
  EXPECT_EQ(r.ids, (std::vector<int64_t>{2, 0, -1}));
  EXPECT_EQ(bits(r.scores[0]), bits(0.0f));
  EXPECT_EQ(bits(r.scores[2]), bits(kEmpty));
}

TEST(IvfSearch, IllFormedOffsetsNeverReadOutside) {
  Index ix(1);
  EXPECT_EQ(ix.build({1, 2, 3, 4}, {0, 1, 2, 3}, 1), 0);
  const float q = 1;
  // Heap copies of exactly id_count ids; the sanitizer build catches any
  // read past them.
  const std::vector<int64_t> ids = {0, 1, 2, 3};
  struct Case {
    std::vector<int32_t> offs;
    std::vector<int64_t> want;
  };
  const std::vector<Case> cases = {
      {{-5, 2}, {1, 0, -1, -1}},               // negative start: positions 0, 1
      {{2, 100}, {3, 2, -1, -1}},              // end beyond id_count
      {{-100, 100}, {3, 2, 1, 0}},             // both
      {{3, 1}, {-1, -1, -1, -1}},              // decreasing: empty
      {{4, 9}, {-1, -1, -1, -1}},              // entirely past the ids
      {{-9, -2}, {-1, -1, -1, -1}},            // entirely before them
      {{INT32_MIN, INT32_MAX}, {3, 2, 1, 0}},  // extremes
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ix.set_ivf(1, 1, 1, {1}, ids, c.offs), 0);
    Result r = search(ix, 1, &q, 4);
    EXPECT_EQ(r.ids, c.want) << c.offs[0] << ".." << c.offs[1];
  }
  // With no stored ids every list is empty.
  EXPECT_EQ(zv_index_set_ivf(ix, 2, 1, 1, std::vector<float>{1}.data(), nullptr,
                             std::vector<int32_t>{0, 4}.data(), 0),
            0);
  EXPECT_EQ(search(ix, 2, &q, 2).ids, (std::vector<int64_t>{-1, -1}));
}

TEST(IvfSearch, CentroidsShortOfTheCurrentDimensionRefuseTheSearch) {
  // The index refuses builds that would change the dimension under stored
  // entries, so the guard is reached by changing the record's dimension.
  zv::IndexRecord rec;
  rec.dim = 2;
  const float cents[4] = {1, 0, 0, 1};
  const int64_t ids[1] = {0};
  const int32_t offs[3] = {0, 1, 1};
  EXPECT_EQ(zv::set_ivf(rec, 1, 2, 2, cents, ids, offs, 1), 0);
  rec.dim = 3;
  const float q[3] = {1, 1, 1};
  int64_t out_ids[2] = {777, 777};
  float out_scores[2] = {5.5f, 5.5f};
  EXPECT_EQ(zv::search_ivf(rec, 1, q, 2, out_ids, out_scores), 0);
  EXPECT_EQ(out_ids[0], 777);
  EXPECT_EQ(out_scores[1], 5.5f);
  rec.dim = 1;  // fewer floats needed than stored: searchable
  EXPECT_EQ(zv::search_ivf(rec, 1, q, 2, out_ids, out_scores), 2);
  EXPECT_EQ(out_ids[0], -1);
}

// ---- search: bit-exact agreement with the literal model ----------------------

// Random entries over bases laid out by list (long runs of consecutive rows,
// crossing the scan's chunk boundaries), in arbitrary order, and mixed; with
// duplicate, missing and negative ids and some ill-formed offsets.
TEST(IvfSearch, MatchesTheReferenceModelBitForBit) {
  std::mt19937_64 rng(12345);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  for (int32_t dim : {0, 1, 3, 7, 16, 33, 128}) {
    for (int layout = 0; layout < 3; ++layout) {
      for (bool sparse_ids : {false, true}) {
        IvfCase m;
        m.dim = dim;
        const int64_t n = 700;
        const int64_t id_scale = sparse_ids ? 1000003 : 1;  // forces the sparse id table
        m.base.resize(size_t(n) * dim);
        for (float& x : m.base) x = unit(rng);
        // Quantised values make exact score ties common.
        for (size_t i = 0; i < m.base.size(); i += 5) m.base[i] = 0.5f;
        m.base_ids.resize(n);
        for (int64_t r = 0; r < n; ++r) m.base_ids[r] = r * id_scale;
        for (int64_t r = 0; r < n; r += 97) m.base_ids[r] = (r / 2) * id_scale;  // duplicates

        m.nlist = 9;
        m.nprobe = 1 + static_cast<int32_t>(rng() % 12);
        m.centroids.resize(size_t(m.nlist) * dim);
        for (float& x : m.centroids) x = unit(rng);
        if (dim > 0) std::memcpy(&m.centroids[dim], &m.centroids[0], dim * sizeof(float));
        // Lists: every row once, by layout, plus junk ids.
        std::vector<int64_t> order(n);
        for (int64_t r = 0; r < n; ++r) order[r] = r;
        if (layout == 1) std::shuffle(order.begin(), order.end(), rng);
        if (layout == 2) {
          for (int64_t r = 0; r + 40 < n; r += 40) {
            if (rng() % 2) std::shuffle(order.begin() + r, order.begin() + r + 40, rng);
          }
        }
        m.offsets.push_back(0);
        int64_t next = 0;
        for (int32_t c = 0; c < m.nlist; ++c) {
          const int64_t take = c + 1 == m.nlist ? n - next : (n / m.nlist) + int64_t(rng() % 60) - 30;
          for (int64_t t = 0; t < take && next < n; ++t, ++next) {
            m.list_ids.push_back(m.base_ids[order[next]]);
            if (rng() % 50 == 0) m.list_ids.push_back(static_cast<int64_t>(rng() % 5) - 2);
            if (rng() % 50 == 0) m.list_ids.push_back(int64_t(n + 5) * id_scale);
          }
          m.offsets.push_back(static_cast<int32_t>(m.list_ids.size()));
        }
        if (rng() % 2) m.offsets[3] = -20;                                     // negative start
        if (rng() % 2) m.offsets[m.nlist] = int32_t(m.list_ids.size()) + 50;  // past the end
        if (rng() % 2) std::swap(m.offsets[5], m.offsets[6]);                 // decreasing

        // Registered before or after the build; then the base is rebuilt in
        // reverse row order under the registered entry.
        Index ix(dim);
        const bool register_first = rng() % 2 == 0;
        auto do_register = [&] {
          ASSERT_EQ(zv_index_set_ivf(ix, 77, m.nlist, m.nprobe, m.centroids.data(),
                                     m.list_ids.data(), m.offsets.data(),
                                     static_cast<int32_t>(m.list_ids.size())),
                    0);
        };
        if (register_first) do_register();
        ASSERT_EQ(ix.build(m.base, m.base_ids, dim), 0);
        if (!register_first) do_register();
        for (int pass = 0; pass < 2; ++pass) {
          if (pass == 1) {
            std::vector<float> rev(m.base.size());
            for (int64_t r = 0; r < n; ++r) {
              std::copy_n(m.base.data() + (n - 1 - r) * dim, dim, rev.data() + r * dim);
            }
            m.base.swap(rev);
            std::reverse(m.base_ids.begin(), m.base_ids.end());
            ASSERT_EQ(ix.build(m.base, m.base_ids, dim), 0);
          }
          for (int trial = 0; trial < 2; ++trial) {
            std::vector<float> q(dim + 1);
            for (float& x : q) x = unit(rng);
            for (int32_t k : {1, 10, 300}) {
              SCOPED_TRACE(testing::Message() << "dim " << dim << " layout " << layout
                                              << " sparse " << sparse_ids << " k " << k
                                              << " pass " << pass);
              expect_same(search(ix, 77, q.data(), k), m.run(q.data(), k));
            }
          }
        }
      }
    }
  }
}

}  // namespace
