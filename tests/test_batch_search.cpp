// The batched searches against their single calls, and the two selection
// steps they rest on (the top-k in heap mode, the probe order) against the
// literal algorithms they replace.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core_test_support.h"
#include "probe_select.h"
#include "topk.h"
#include "zv_runtime.h"

namespace {

using zvtest::Index;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// Score orders that stress a top-k: monotone runs move every held entry,
// constant and signed-zero runs are all ties, NaN and <= EMPTY never enter.
std::vector<float> adversarial(int which, int32_t n, std::mt19937& rng) {
  std::vector<float> s(static_cast<size_t>(n));
  for (int32_t i = 0; i < n; ++i) {
    switch (which) {
      case 0: s[i] = static_cast<float>(i); break;                  // ascending
      case 1: s[i] = static_cast<float>(n - i); break;              // descending
      case 2: s[i] = 7.0f; break;                                   // all equal
      case 3: s[i] = (i % 2) ? -0.0f : 0.0f; break;                 // signed zeros
      case 4: s[i] = static_cast<float>(rng() % 4); break;          // few values
      case 5: {                                                     // specials mixed in
        const float sp[] = {kNaN, -kInf, kInf, -1e30f, -2e30f, 1.0f, 0.0f, -0.0f};
        s[i] = rng() % 3 == 0 ? sp[rng() % 8] : static_cast<float>(rng() % 5);
        break;
      }
      default: s[i] = static_cast<float>(i / 3) - (i % 3 == 1 ? 0.0f : 0.5f);  // ascending with ties
    }
  }
  return s;
}

TEST(BatchSelection, TopKMatchesLiteralInsertion) {
  std::mt19937 rng(7);
  const int32_t n = 700;
  for (int which = 0; which < 7; ++which) {
    const std::vector<float> s = adversarial(which, n, rng);
    for (int32_t m : {1, 2, 5, 128, 129, 300, n - 1, n, n + 50}) {
      SCOPED_TRACE(testing::Message() << "order " << which << ", m " << m);
      std::vector<int64_t> want_ids(m), got_ids(m), ranked_ids(m);
      std::vector<float> want_s(m), got_s(m), ranked_s(m);
      zvref::Slots want(want_ids.data(), want_s.data(), m);
      for (int32_t i = 0; i < n; ++i) want.offer(s[i], 1000 + i);
      {
        zv::TopK top(got_ids.data(), got_s.data(), m);
        for (int32_t i = 0; i < n; ++i) top.offer(s[i], 1000 + i);
      }
      // Out-of-order arrival with positions must give the in-order result.
      std::vector<int32_t> order(n);
      for (int32_t i = 0; i < n; ++i) order[i] = i;
      std::shuffle(order.begin(), order.end(), rng);
      {
        zv::RankedTopK top(ranked_ids.data(), ranked_s.data(), m);
        for (int32_t i : order) {
          if (s[i] >= top.floor()) top.offer(s[i], 1000 + i, i);
        }
      }
      EXPECT_EQ(got_ids, want_ids);
      EXPECT_EQ(ranked_ids, want_ids);
      EXPECT_EQ(0, std::memcmp(got_s.data(), want_s.data(), m * sizeof(float)));
      EXPECT_EQ(0, std::memcmp(ranked_s.data(), want_s.data(), m * sizeof(float)));
    }
  }
}

TEST(BatchSelection, ProbeOrderMatchesRescan) {
  std::mt19937 rng(11);
  for (int which = 0; which < 7; ++which) {
    for (int32_t nlist : {1, 3, 64, 257}) {
      const std::vector<float> s = adversarial(which, nlist, rng);
      for (int32_t nprobe : {-1, 0, 1, 2, 8, nlist - 1, nlist, nlist + 3}) {
        SCOPED_TRACE(testing::Message() << which << " " << nlist << " " << nprobe);
        const std::vector<int32_t> want = zvref::probe_order(s, nprobe);
        const int32_t cap = std::max(0, std::min(nprobe, nlist));
        std::vector<float> heap(cap + 1);
        std::vector<int32_t> got(cap + 1, -7);
        const int32_t count = zv::select_probes(s.data(), nlist, nprobe, heap.data(), got.data());
        got.resize(static_cast<size_t>(count));
        EXPECT_EQ(got, want);
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Batches against single calls.

enum class Fn { kFull, kPartition, kIvf, kFiltered };

struct Args {
  int64_t partition_key = 0;
  uint64_t ivf_key = 0;
  int32_t kind = 0, column = 0;
  int64_t value = 0;
};

int32_t single(Fn fn, zv_index* ix, const Args& a, const float* q, int32_t k, int64_t* oi,
               float* os) {
  switch (fn) {
    case Fn::kFull: return zv_index_search_full(ix, q, k, oi, os);
    case Fn::kPartition: return zv_index_search_partition(ix, a.partition_key, q, k, oi, os);
    case Fn::kIvf: return zv_index_search_ivf(ix, a.ivf_key, q, k, oi, os);
    default: return zv_index_search_filtered(ix, a.kind, a.column, a.value, q, k, oi, os);
  }
}

int32_t batch(Fn fn, zv_index* ix, const Args& a, const float* qs, int32_t nq, int32_t k,
              int64_t* oi, float* os) {
  switch (fn) {
    case Fn::kFull: return zv_index_search_full_batch(ix, qs, nq, k, oi, os);
    case Fn::kPartition: return zv_index_search_partition_batch(ix, a.partition_key, qs, nq, k, oi, os);
    case Fn::kIvf: return zv_index_search_ivf_batch(ix, a.ivf_key, qs, nq, k, oi, os);
    default: return zv_index_search_filtered_batch(ix, a.kind, a.column, a.value, qs, nq, k, oi, os);
  }
}

class BatchSearch : public testing::Test {
 protected:
  // The whole output buffers (canaries around and past nq * k) of a batch
  // must equal those of nq single calls at stride k.
  void expect_batch_equals_singles(Fn fn, zv_index* ix, const Args& a, const float* qs,
                                   int32_t nq, int32_t k, int32_t dim) {
    SCOPED_TRACE(testing::Message() << "fn " << static_cast<int>(fn) << ", nq " << nq << ", k " << k);
    const int64_t room = (nq > 0 && k > 0 ? int64_t{nq} * k : 0) + 16;
    std::vector<int64_t> want_i(room, zvtest::kCanaryId), got_i(room, zvtest::kCanaryId);
    std::vector<float> want_s(room, zvtest::kCanaryScore), got_s(room, zvtest::kCanaryScore);
    int32_t want = 0;
    const int64_t d = std::max(dim, 0);
    for (int32_t q = 0; q < nq; ++q) {
      want = single(fn, ix, a, d > 0 ? qs + q * d : nullptr, k, want_i.data() + int64_t{q} * k,
                    want_s.data() + int64_t{q} * k);
    }
    EXPECT_EQ(batch(fn, ix, a, qs, nq, k, got_i.data(), got_s.data()), want);
    EXPECT_EQ(got_i, want_i);
    EXPECT_EQ(0, std::memcmp(got_s.data(), want_s.data(), room * sizeof(float)));
  }

  // Queries drawn to tie often, with NaN, infinities and signed zeros.
  static std::vector<float> queries(int32_t nq, int32_t dim, std::mt19937& rng) {
    std::vector<float> q(static_cast<size_t>(std::max(nq, 0)) * std::max(dim, 0));
    for (float& x : q) {
      const uint32_t r = rng() % 100;
      x = r < 1 ? kNaN : r < 2 ? -kInf : r < 3 ? kInf : r < 8 ? -0.0f : static_cast<float>(rng() % 5) - 2.0f;
    }
    return q;
  }
};

// A random state: duplicate base ids, empty and overlapping partitions,
// delta rows (upserts of base ids and new ones), tombstones, metadata, and
// IVF lists with duplicates, empty lists, ids without rows and ill-formed
// offsets.
struct State {
  int32_t dim;
  int64_t rows;
  int32_t nlist;
};

void fill_state(zv_index* ix, const State& st, std::mt19937& rng) {
  const int32_t d = std::max(st.dim, 0);
  zvtest::Base b;
  b.dim = st.dim;
  for (int64_t r = 0; r < st.rows; ++r) {
    b.ids.push_back(static_cast<int64_t>(rng() % (st.rows + 5)));  // duplicates
    for (int32_t j = 0; j < d; ++j) b.vectors.push_back(static_cast<float>(rng() % 7) - 3.0f);
  }
  const int32_t half = static_cast<int32_t>(st.rows / 2);
  b.add_partition(-5, 0, half);
  b.add_partition(0, half, 0);  // empty
  b.add_partition(3, half, static_cast<int32_t>(st.rows - half));
  b.add_partition(9, static_cast<int32_t>(st.rows), 4);  // outside the base
  ASSERT_EQ(zvtest::build(ix, b), 0);

  const int32_t ins = static_cast<int32_t>(st.rows / 4 + 3);
  std::vector<int64_t> ids;
  std::vector<float> vec;
  for (int32_t i = 0; i < ins; ++i) {
    ids.push_back(static_cast<int64_t>(rng() % (st.rows + 40)) - 2);
    for (int32_t j = 0; j < d; ++j) vec.push_back(static_cast<float>(rng() % 7) - 3.0f);
  }
  zv_index_insert(ix, vec.data(), ids.data(), ins);
  std::vector<int64_t> del;
  for (int64_t i = 0; i < st.rows / 5 + 2; ++i) del.push_back(static_cast<int64_t>(rng() % (st.rows + 40)));
  zv_index_delete(ix, del.data(), static_cast<int32_t>(del.size()));

  std::vector<int64_t> meta_ids, prim, cols;
  for (int64_t id = -2; id < st.rows + 40; id += 2) {
    meta_ids.push_back(id);
    prim.push_back(id % 3);
    cols.push_back(id % 2);
  }
  ASSERT_EQ(zv_index_set_rowmeta(ix, meta_ids.data(), prim.data(), cols.data(), 1,
                                 static_cast<int32_t>(meta_ids.size())), 0);

  std::vector<float> centroids;
  for (int64_t i = 0; i < int64_t{st.nlist} * d; ++i) centroids.push_back(static_cast<float>(rng() % 3) - 1.0f);
  std::vector<int64_t> list_ids;
  std::vector<int32_t> offsets{0};
  for (int32_t c = 0; c < st.nlist; ++c) {
    const int32_t len = c % 5 == 1 ? 0 : static_cast<int32_t>(rng() % (st.rows / 2 + 3));
    for (int32_t i = 0; i < len; ++i) list_ids.push_back(static_cast<int64_t>(rng() % (st.rows + 8)) - 2);
    offsets.push_back(static_cast<int32_t>(list_ids.size()));
  }
  if (st.nlist > 3) offsets[3] = offsets[4] + 5;  // list 2 runs past list 3
  const int32_t nprobe = std::max(1, st.nlist / 3);
  zv_index_set_ivf(ix, 1, st.nlist, nprobe, centroids.data(), list_ids.data(), offsets.data(),
                   static_cast<int32_t>(list_ids.size()));
  zv_index_set_ivf(ix, 2, st.nlist, st.nlist + 2, centroids.data(), list_ids.data(), offsets.data(),
                   static_cast<int32_t>(list_ids.size()));
  zv_index_set_ivf(ix, 3, st.nlist, 0, centroids.data(), list_ids.data(), offsets.data(),
                   static_cast<int32_t>(list_ids.size()));
}

TEST_F(BatchSearch, EveryBatchEqualsItsSingleCalls) {
  const State states[] = {
      {5, 300, 12},  // small dim: wide slices, gathered and block scoring
      {33, 900, 40},
      {0, 400, 4},   // no floats: queries never read, no base array
      {2, 1, 1},
  };
  struct Case {
    Fn fn;
    Args a;
  };
  std::vector<Case> cases{{Fn::kFull, Args{}}};
  for (int64_t key : {-5, 0, 3, 9, 7}) cases.push_back({Fn::kPartition, Args{key, 0, 0, 0, 0}});
  for (uint64_t key : {1, 2, 3, 99}) cases.push_back({Fn::kIvf, Args{0, key, 0, 0, 0}});
  for (int32_t kind : {0, 1, 2}) {
    for (int32_t column : {0, 5}) {
      for (int64_t value : {-1, 0, 1}) cases.push_back({Fn::kFiltered, Args{0, 0, kind, column, value}});
    }
  }
  std::mt19937 rng(2026);
  for (const State& st : states) {
    SCOPED_TRACE(testing::Message() << "dim " << st.dim << ", rows " << st.rows);
    Index ix(st.dim);
    fill_state(ix, st, rng);
    for (int32_t nq : {-1, 0, 1, 3, 40, 300}) {
      const std::vector<float> qs = queries(nq, st.dim, rng);
      const float* qp = qs.empty() ? nullptr : qs.data();
      // k past the heap threshold and near the row counts gives m < k and
      // several query slices per call.
      for (int32_t k : {-3, 0, 1, 4, 130, 700}) {
        if (int64_t{std::max(nq, 0)} * k > 60000) continue;
        for (const Case& c : cases) expect_batch_equals_singles(c.fn, ix, c.a, qp, nq, k, st.dim);
      }
    }
  }
}

// Wide rows: the base spans several row blocks (each about 1 MiB) and 70
// queries two slices, so every query meets blocks, slices and the gathered
// rows of a filter in turn.
TEST_F(BatchSearch, BlocksAndSlicesCrossed) {
  std::mt19937 rng(77);
  const State st{1100, 600, 6};
  Index ix(st.dim);
  fill_state(ix, st, rng);
  const std::vector<float> qs = queries(70, st.dim, rng);
  expect_batch_equals_singles(Fn::kFull, ix, Args{}, qs.data(), 70, 10, st.dim);
  expect_batch_equals_singles(Fn::kPartition, ix, Args{3, 0, 0, 0, 0}, qs.data(), 70, 10, st.dim);
  expect_batch_equals_singles(Fn::kFiltered, ix, Args{0, 0, 2, 0, 0}, qs.data(), 70, 10, st.dim);
  expect_batch_equals_singles(Fn::kIvf, ix, Args{0, 2, 0, 0, 0}, qs.data(), 70, 10, st.dim);
}

// Before any build: the full and partition batches return 0 and write
// nothing; the filtered batch searches the delta; IVF finds nothing.
TEST_F(BatchSearch, UnsealedIndex) {
  Index ix(3);
  const float vec[] = {1, 2, 3, 3, 2, 1};
  const int64_t ids[] = {10, 11};
  zv_index_insert(ix, vec, ids, 2);
  std::mt19937 rng(5);
  const std::vector<float> qs = queries(4, 3, rng);
  for (Fn fn : {Fn::kFull, Fn::kPartition, Fn::kIvf, Fn::kFiltered}) {
    expect_batch_equals_singles(fn, ix, Args{}, qs.data(), 4, 3, 3);
  }
}

}  // namespace
