// Sizes at and beyond the documented limits: every such call is refused or
// accepted exactly as the rules say, never through an overflowed integer, and
// never reads an array it does not need. Sparse ids near the top of the id
// range build with memory proportional to the rows.
#include <gtest/gtest.h>

#include <malloc.h>
#include <signal.h>

#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "alloc.h"
#include "core_test_support.h"
#include "grow_list.h"
#include "id_map.h"
#include "zv_runtime.h"

namespace {

constexpr int64_t kLimit = int64_t{1} << 40;
constexpr int64_t kI64Min = std::numeric_limits<int64_t>::min();
constexpr int64_t kI64Max = std::numeric_limits<int64_t>::max();
constexpr int32_t kI32Min = std::numeric_limits<int32_t>::min();
constexpr int32_t kI32Max = std::numeric_limits<int32_t>::max();

// A small sealed base whose observable state is compared before and after.
struct Sealed {
  zvtest::Index ix{2};
  Sealed() {
    const float v[] = {1, 2, 3, 4, 5, 6};
    const int64_t ids[] = {4, 9, 2};
    const int64_t keys[] = {1};
    const int32_t offs[] = {0};
    const int32_t sizes[] = {3};
    EXPECT_EQ(zv_index_build(ix, v, 3, 2, ids, keys, offs, sizes, 1), 0);
  }
  std::vector<int64_t> state() const {
    int64_t bc;
    int32_t d, t, pc;
    zv_index_stats(ix, &bc, &d, &t, &pc);
    const float q[] = {1, -1};
    int64_t oi[4] = {};
    float os[4] = {};
    const int32_t m = zv_index_search_full(ix, q, 4, oi, os);
    return {bc, d, pc, zv_index_sealed(ix), m, oi[0], oi[1], oi[2]};
  }
};

TEST(Limits, BuildSizesBeyondTheLimitsAreRefusedWithoutReadingAnything) {
  struct Case {
    int64_t n;
    int32_t dim;
    int32_t parts;
  };
  const Case cases[] = {
      {kLimit + 1, 0, 0},          // n alone
      {-1, 1, 0},
      {kI64Min, 1, 0},
      {kI64Max, 1, 0},
      {kI64Max, kI32Max, 0},       // n * dim wraps in 64 bits
      {(kLimit >> 1) + 1, 2, 0},   // n fine, n * dim one row over
      {kLimit / 3 + 1, 3, 0},
      {(kLimit >> 31) + 1, kI32Max, 0},
      {kLimit, 2, 0},
      {4, -1, 0},
      {0, kI32Min, 0},
      {0, 1, -1},
      {0, 1, kI32Min},
      {(int64_t{1} << 62) + 1, 4, 0},  // n * dim wraps to a small number
  };
  Sealed s;
  const auto before = s.state();
  for (const Case& c : cases) {
    // Null arrays: a refused build reads none of them.
    EXPECT_EQ(zv_index_build(s.ix, nullptr, c.n, c.dim, nullptr, nullptr, nullptr, nullptr, c.parts), -1)
        << "n=" << c.n << " dim=" << c.dim << " parts=" << c.parts;
    EXPECT_EQ(s.state(), before);
  }
  zvtest::Index fresh(3);
  EXPECT_EQ(zv_index_build(fresh, nullptr, kLimit + 1, 0, nullptr, nullptr, nullptr, nullptr, 0), -1);
  EXPECT_EQ(zv_index_sealed(fresh), 0);
}

TEST(Limits, LargestIdIsAcceptedAndTheNextRefusedAnywhere) {
  const float v[] = {1, 2, 3};
  for (int pos = 0; pos < 3; ++pos) {
    for (int64_t bad : {kLimit, kLimit + 1, kI64Max, int64_t{-1}, kI64Min}) {
      Sealed s;
      const auto before = s.state();
      int64_t ids[] = {0, 1, 2};
      ids[pos] = bad;
      EXPECT_EQ(zv_index_build(s.ix, v, 3, 1, ids, nullptr, nullptr, nullptr, 0), -1) << bad << " at " << pos;
      EXPECT_EQ(s.state(), before);
    }
  }
  zvtest::Index ix(1);
  const int64_t ids[] = {kLimit - 1, 0};
  ASSERT_EQ(zv_index_build(ix, v, 2, 1, ids, nullptr, nullptr, nullptr, 0), 0);
  const float q[] = {1};
  int64_t oi[2];
  float os[2];
  const int64_t cand[] = {kLimit - 1, kLimit, kI64Max};
  ASSERT_EQ(zv_index_scatter_topk(ix, cand, 3, q, 2, oi, os), 2);
  EXPECT_EQ(oi[0], kLimit - 1);
  EXPECT_EQ(os[0], 1.0f);
  EXPECT_EQ(oi[1], ZV_EMPTY_ID);
}

size_t heap_in_use() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return 0;  // the sanitizers' allocators do not report through mallinfo
#else
  const struct mallinfo2 mi = mallinfo2();
  return mi.uordblks + mi.hblkhd;
#endif
}

// Sparse ids up to 2^40 - 1 build with O(rows) memory and answer exactly as
// the same base with dense ids does (ids mapped one to one, rows unchanged).
TEST(Limits, SparseIdsUseRowProportionalMemoryAndMatchDenseIds) {
  constexpr int32_t kDim = 5;
  constexpr int64_t kRows = 20000;
  std::mt19937_64 rng(5);
  std::vector<int64_t> sparse(kRows), dense(kRows);
  for (int64_t i = 0; i < kRows; ++i) {
    sparse[i] = i % 5 == 0 ? kLimit - 1 - i : static_cast<int64_t>(rng() % kLimit);
    dense[i] = i;
  }
  sparse[7] = sparse[3];  // a repeated id: the later row wins in both
  dense[7] = dense[3];
  std::vector<float> v(kRows * kDim);
  for (auto& x : v) x = static_cast<float>(rng() % 7) - 3.0f;  // many ties

  zvtest::Index a(kDim);
  zvtest::Index b(kDim);
  const size_t heap0 = heap_in_use();
  ASSERT_EQ(zv_index_build(a, v.data(), kRows, kDim, sparse.data(), nullptr, nullptr, nullptr, 0), 0);
  const size_t grown = heap_in_use() - heap0;
  // Rows and ids are 28 bytes a row; allow a generous map on top, far below
  // any table indexed by id.
  EXPECT_LT(grown, static_cast<size_t>(kRows) * 256) << "bytes for " << kRows << " rows";
  ASSERT_EQ(zv_index_build(b, v.data(), kRows, kDim, dense.data(), nullptr, nullptr, nullptr, 0), 0);

  // Candidates by row; both indexes see the same rows in the same order.
  std::vector<int64_t> rows;
  for (int i = 0; i < 3000; ++i) rows.push_back(static_cast<int64_t>(rng() % kRows));
  std::vector<int64_t> ca, cb;
  for (int64_t r : rows) {
    ca.push_back(sparse[r]);
    cb.push_back(dense[r]);
  }
  ca.push_back(kLimit - 2);  // absent in a
  cb.push_back(kRows + 5);   // absent in b
  const float q[kDim] = {1, -2, 0.5f, 3, -1};
  const int32_t k = 50;
  auto map_back = [&](const std::vector<int64_t>& ids) {
    std::vector<int64_t> out;
    for (int64_t id : ids) {
      int64_t m = -1;
      for (int64_t r = 0; r < kRows && id >= 0; ++r) {
        if (sparse[r] == id) m = dense[r];
      }
      out.push_back(m);
    }
    return out;
  };
  {
    std::vector<int64_t> ia(k), ib(k);
    std::vector<float> sa(k), sb(k);
    ASSERT_EQ(zv_index_scatter_topk(a, ca.data(), static_cast<int32_t>(ca.size()), q, k, ia.data(), sa.data()), k);
    ASSERT_EQ(zv_index_scatter_topk(b, cb.data(), static_cast<int32_t>(cb.size()), q, k, ib.data(), sb.data()), k);
    EXPECT_EQ(sa, sb);
    EXPECT_EQ(map_back(ia), ib);
    ASSERT_EQ(zv_index_search_mvcc(a, ca.data(), static_cast<int32_t>(ca.size()), q, k, ia.data(), sa.data()), k);
    ASSERT_EQ(zv_index_search_mvcc(b, cb.data(), static_cast<int32_t>(cb.size()), q, k, ib.data(), sb.data()), k);
    EXPECT_EQ(sa, sb);
    EXPECT_EQ(map_back(ia), ib);
  }
  {
    const float cent[2 * kDim] = {1, 0, 0, 0, 0, 0, 0, 0, 1, 0};
    const int32_t offs_a[] = {0, 1500, static_cast<int32_t>(ca.size())};
    ASSERT_EQ(zv_index_set_ivf(a, 1, 2, 2, cent, ca.data(), offs_a, static_cast<int32_t>(ca.size())), 0);
    ASSERT_EQ(zv_index_set_ivf(b, 1, 2, 2, cent, cb.data(), offs_a, static_cast<int32_t>(cb.size())), 0);
    std::vector<int64_t> ia(k), ib(k);
    std::vector<float> sa(k), sb(k);
    ASSERT_EQ(zv_index_search_ivf(a, 1, q, k, ia.data(), sa.data()), k);
    ASSERT_EQ(zv_index_search_ivf(b, 1, q, k, ib.data(), sb.data()), k);
    EXPECT_EQ(sa, sb);
    EXPECT_EQ(map_back(ia), ib);
  }
}

TEST(Limits, CountsAtTheEdgesOfInt32) {
  Sealed s;
  const float q[] = {1, 1};
  int64_t oi[4];
  float os[4];
  // Batches with no rows change nothing and read nothing.
  EXPECT_EQ(zv_index_insert(s.ix, nullptr, nullptr, kI32Min), 0);
  EXPECT_EQ(zv_index_delete(s.ix, nullptr, kI32Min), 0);
  EXPECT_EQ(zv_index_mutated(s.ix), 0);
  // k at the extremes: the slot count is capped by the rows, or nothing.
  EXPECT_EQ(zv_index_search_full(s.ix, q, kI32Max, oi, os), 3);
  EXPECT_EQ(zv_index_search_full(s.ix, q, kI32Min, oi, os), 0);
  const int64_t cand[] = {9, 9, 4};
  EXPECT_EQ(zv_index_scatter_topk(s.ix, cand, 3, q, kI32Max, oi, os), 3);
  EXPECT_EQ(zv_index_scatter_topk(s.ix, cand, kI32Min, q, 4, oi, os), 0);
  EXPECT_EQ(zv_index_search_mvcc(s.ix, cand, kI32Min, q, 4, oi, os), 4);
  EXPECT_EQ(zv_index_search_mvcc(s.ix, cand, 3, q, kI32Min, oi, os), 0);
  EXPECT_EQ(zv_index_search_filtered(s.ix, 0, 0, 0, q, kI32Min, oi, os), 0);
  EXPECT_EQ(zv_index_search_filtered(s.ix, 2, kI32Max, 0, q, 2, oi, os), 2);
  EXPECT_EQ(oi[0], ZV_EMPTY_ID);
  int64_t keys[1], sizes[1];
  EXPECT_EQ(zv_index_tuner_oversized(s.ix, kI32Min, keys, sizes), 1);
  EXPECT_EQ(zv_index_tuner_oversized(s.ix, kI32Max, keys, sizes), 0);
}

TEST(Limits, PartitionRangesWhoseEndOverflowsInt32AreRefused) {
  zvtest::Index ix(1);
  const float v[] = {1, 2, 3};
  const int64_t ids[] = {0, 1, 2};
  const int64_t keys[] = {1, 2, 3, 4, 5};
  const int32_t offs[] = {kI32Max, 1, -1, kI32Min, 0};
  const int32_t sizes[] = {kI32Max, kI32Max, 2, kI32Max, 3};
  ASSERT_EQ(zv_index_build(ix, v, 3, 1, ids, keys, offs, sizes, 5), 0);
  const float q[] = {1};
  int64_t oi[3];
  float os[3];
  for (int64_t key : {1, 2, 3, 4}) EXPECT_EQ(zv_index_search_partition(ix, key, q, 3, oi, os), 0) << key;
  EXPECT_EQ(zv_index_search_partition(ix, 5, q, kI32Max, oi, os), 3);
  EXPECT_EQ(oi[0], 2);
  for (int64_t key : {kI64Min, kI64Max, int64_t{0}, int64_t{6}}) {
    EXPECT_EQ(zv_index_search_partition(ix, key, q, 3, oi, os), 0);
  }
}

TEST(Limits, IvfCountsAtTheEdges) {
  zvtest::Index ix(1);
  const float v[] = {1, 2, 3};
  const int64_t ids[] = {0, 1, 2};
  ASSERT_EQ(zv_index_build(ix, v, 3, 1, ids, nullptr, nullptr, nullptr, 0), 0);
  const float q[] = {1};
  int64_t oi[3] = {7, 7, 7};
  float os[3] = {7, 7, 7};
  // Negative counts store nothing and read nothing.
  EXPECT_EQ(zv_index_set_ivf(ix, 1, kI32Min, kI32Max, nullptr, nullptr, nullptr, kI32Min), 0);
  EXPECT_EQ(zv_index_search_ivf(ix, 1, q, 3, oi, os), 0);
  EXPECT_EQ(oi[0], 7);
  // Offsets at both ends of int32: cut to the stored ids, never followed.
  const float cent[] = {1, 2, 3};
  const int64_t lists[] = {2, 1, 0};
  const int32_t offs[] = {kI32Min, kI32Max, kI32Min, kI32Max};
  EXPECT_EQ(zv_index_set_ivf(ix, 2, 3, kI32Max, cent, lists, offs, 3), 0);
  ASSERT_EQ(zv_index_search_ivf(ix, 2, q, 3, oi, os), 3);
  // Centroid 2 first: its list [kI32Min, kI32Max) is every stored id; then
  // centroid 1's list is empty and centroid 0 offers the same ids again, of
  // which id 2 (score 3) beats the last slot once more.
  EXPECT_EQ(oi[0], 2);
  EXPECT_EQ(oi[1], 2);
  EXPECT_EQ(oi[2], 1);
  EXPECT_EQ(os[2], 2.0f);
  EXPECT_EQ(zv_index_set_ivf_nprobe(ix, 2, kI32Min), 0);
  ASSERT_EQ(zv_index_search_ivf(ix, 2, q, 3, oi, os), 3);
  EXPECT_EQ(oi[0], ZV_EMPTY_ID);
}

TEST(Limits, MetadataCountsAtTheEdges) {
  zvtest::Index ix(1);
  EXPECT_EQ(zv_index_set_rowmeta(ix, nullptr, nullptr, nullptr, kI32Min, 5), -1);
  EXPECT_EQ(zv_index_set_rowmeta(ix, nullptr, nullptr, nullptr, 3, kI32Min), 0);
  EXPECT_EQ(zv_index_export_rowmeta(ix, nullptr, kI32Min, nullptr, nullptr), 3);
  EXPECT_EQ(zv_index_set_rowmeta(ix, nullptr, nullptr, nullptr, 2, 0), -1);
  const int64_t id[] = {kI64Min};
  const int64_t prim[] = {kI64Max};
  const int64_t cols[] = {kI64Min, -1, 0};
  EXPECT_EQ(zv_index_set_rowmeta(ix, id, prim, cols, 3, 1), 0);
  int64_t op[1], oc[3];
  EXPECT_EQ(zv_index_export_rowmeta(ix, id, 1, op, oc), 3);
  EXPECT_EQ(op[0], kI64Max);
  EXPECT_EQ(oc[0], kI64Min);
  EXPECT_EQ(oc[2], 0);
}

// The internal size computations: a count whose byte size does not fit, or a
// negative count, is an allocation that cannot succeed, hence fatal, never a
// small block from a wrapped product.
TEST(LimitsDeathTest, ByteSizesThatOverflowAreFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(zv::alloc_array<int64_t>(kI64Max / 4), testing::KilledBySignal(SIGABRT), "");
  EXPECT_EXIT(zv::alloc_array<float>(-1), testing::KilledBySignal(SIGABRT), "");
  EXPECT_EXIT(
      {
        zv::GrowList<int64_t> list;
        list.push_back(1);
        list.reserve_more(kI64Max);
      },
      testing::KilledBySignal(SIGABRT), "");
  EXPECT_EXIT(
      {
        zv::GrowList<double> list;
        list.reserve_more(int64_t{1} << 61);  // 2^61 doubles: 2^64 bytes
      },
      testing::KilledBySignal(SIGABRT), "");
  EXPECT_EXIT(
      {
        zv::IdMap map;
        map.reserve(int64_t{1} << 60);
      },
      testing::KilledBySignal(SIGABRT), "");
}

}  // namespace
