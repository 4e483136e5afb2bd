// Every score kernel path against the defining chain, bit for bit, and the
// base scans built on them against a one-row-at-a-time reference.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "base_search.h"
#include "core_test_support.h"
#include "score_kernel.h"
#include "topk.h"
#include "zv_runtime.h"

namespace {

using zv::KernelIsa;
using zv::ScoreKernels;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Same bits; NaN results only need to be NaN (which NaN an fma passes on
// depends on operand order, not on the value being computed).
::testing::AssertionResult same_score(float expected, float actual) {
  if (std::isnan(expected) && std::isnan(actual)) return ::testing::AssertionSuccess();
  if (std::bit_cast<uint32_t>(expected) == std::bit_cast<uint32_t>(actual))
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "expected " << expected << " (0x" << std::hex
                                       << std::bit_cast<uint32_t>(expected) << "), got " << actual
                                       << " (0x" << std::bit_cast<uint32_t>(actual) << ")";
}

// Chains that an inexact kernel would compute instead; the data below must
// tell each of them apart from score_row.
float unfused_chain(const float* row, const float* q, int32_t dim) {
  float acc = 0.0f;
  for (int32_t j = 0; j < dim; ++j) {
    const float p = row[j] * q[j];
    acc = acc + p;
  }
  return acc;
}

float split_chain(const float* row, const float* q, int32_t dim) {
  float even = 0.0f, odd = 0.0f;
  for (int32_t j = 0; j < dim; ++j) {
    if (j % 2 == 0) even = std::fma(row[j], q[j], even);
    else odd = std::fma(row[j], q[j], odd);
  }
  return even + odd;
}

// Floats of random sign with exponents spread over [-30, 30] decades, so
// that the order and the rounding of every step show in the result.
std::vector<float> mixed_floats(int64_t count, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<float> mant(1.0f, 10.0f);
  std::uniform_int_distribution<int> expo(-30, 30);
  std::vector<float> out(static_cast<size_t>(count));
  for (auto& x : out) {
    const float v = mant(rng) * std::pow(10.0f, static_cast<float>(expo(rng) / 3));
    x = (rng() & 1) ? v : -v;
  }
  return out;
}

std::vector<float> uniform_floats(int64_t count, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> out(static_cast<size_t>(count));
  for (auto& x : out) x = dist(rng);
  return out;
}

const int32_t kDims[] = {1, 2, 3, 4, 5, 15, 16, 17, 31, 33, 127, 128, 129, 768, 1000};
const int64_t kCounts[] = {0, 1, 7, 8, 9, 15, 16, 17, 31, 32, 33, 100};
constexpr float kSentinel = 12345.0f;

class Kernels : public ::testing::TestWithParam<KernelIsa> {
 protected:
  void SetUp() override {
    if (!zv::kernel_supported(GetParam())) GTEST_SKIP() << "path not supported on this CPU";
    k_ = &zv::kernels_for(GetParam());
  }

  // Scores n rows of `rows` (exactly n * dim floats) by every entry point of
  // the path and checks each score against score_row, and that nothing past
  // the n outputs is written.
  void check_rows(const std::vector<float>& rows, int64_t n, const std::vector<float>& q,
                  int32_t dim, const std::string& what) {
    SCOPED_TRACE(what + " dim=" + std::to_string(dim) + " n=" + std::to_string(n));
    std::vector<float> expected(static_cast<size_t>(n));
    for (int64_t i = 0; i < n; ++i) expected[i] = zvref::score(rows.data() + i * dim, q.data(), dim);

    std::vector<float> out(static_cast<size_t>(n) + 17, kSentinel);
    k_->score_block(rows.data(), n, q.data(), dim, out.data());
    for (int64_t i = 0; i < n; ++i) ASSERT_TRUE(same_score(expected[i], out[i])) << "block row " << i;
    for (size_t i = n; i < out.size(); ++i) ASSERT_EQ(out[i], kSentinel) << "block wrote past n";

    // The same rows as the head of a longer scan: the rest is prefetched,
    // never scored.
    for (int64_t head : {n / 2, n > 0 ? n - 1 : 0}) {
      std::fill(out.begin(), out.end(), kSentinel);
      k_->score_block_ahead(rows.data(), head, n - head, q.data(), dim, out.data());
      for (int64_t i = 0; i < head; ++i)
        ASSERT_TRUE(same_score(expected[i], out[i])) << "block_ahead row " << i;
      ASSERT_EQ(out[head], kSentinel) << "block_ahead wrote past n";
    }

    // Every row in its own exact-size block, reached in a scattered order
    // with repeats, so that an over-read past any row's end is an overflow.
    std::vector<std::unique_ptr<float[]>> own(static_cast<size_t>(n));
    for (int64_t i = 0; i < n; ++i) {
      own[i].reset(new float[dim]);
      std::memcpy(own[i].get(), rows.data() + i * dim, sizeof(float) * dim);
    }
    std::vector<const float*> ptrs;
    std::vector<float> want;
    for (int64_t i = 0; i < n; ++i) {
      const int64_t r = (i * 7 + 3) % n;
      ptrs.push_back(own[r].get());
      want.push_back(expected[r]);
      if (i % 5 == 0) {  // a repeat
        ptrs.push_back(own[r].get());
        want.push_back(expected[r]);
      }
    }
    const int64_t g = static_cast<int64_t>(ptrs.size());
    std::vector<float> gout(static_cast<size_t>(g) + 17, kSentinel);
    k_->score_gather(ptrs.data(), g, q.data(), dim, gout.data());
    for (int64_t i = 0; i < g; ++i) ASSERT_TRUE(same_score(want[i], gout[i])) << "gather " << i;
    for (size_t i = g; i < gout.size(); ++i) ASSERT_EQ(gout[i], kSentinel) << "gather wrote past n";

    std::fill(gout.begin(), gout.end(), kSentinel);
    const int64_t ghead = g / 2;
    k_->score_gather_ahead(ptrs.data(), ghead, g - ghead, q.data(), dim, gout.data());
    for (int64_t i = 0; i < ghead; ++i)
      ASSERT_TRUE(same_score(want[i], gout[i])) << "gather_ahead " << i;
    ASSERT_EQ(gout[ghead], kSentinel);
  }

  // Scores n rows against nq queries (query q at queries + q * dim) by both
  // multi-query entries and checks every (row, query) score against
  // score_row. The transposed queries, the rows (each in its own block for
  // the gather) and the scores sit in exact-size buffers, so any read or
  // write past them is an overflow under the address sanitizer; the scores
  // must also leave a canary behind them alone.
  void check_multi(const std::vector<float>& rows, int64_t n, const std::vector<float>& queries,
                   int32_t nq, int32_t dim, const std::string& what) {
    SCOPED_TRACE(what + " dim=" + std::to_string(dim) + " n=" + std::to_string(n) +
                 " nq=" + std::to_string(nq));
    const int64_t d = dim > 0 ? dim : 0;
    std::unique_ptr<float[]> qt(new float[nq * d]);
    zv::transpose_queries(queries.data(), nq, dim, qt.get());
    std::unique_ptr<float[]> block(new float[n * d]);
    std::copy(rows.begin(), rows.begin() + n * d, block.get());
    std::vector<std::unique_ptr<float[]>> own(static_cast<size_t>(n));
    std::vector<const float*> ptrs;
    std::vector<int64_t> order;  // row of each gathered position
    for (int64_t i = 0; i < n; ++i) {
      own[i].reset(new float[d]);
      std::copy(rows.begin() + i * d, rows.begin() + (i + 1) * d, own[i].get());
    }
    for (int64_t i = 0; i < n; ++i) {
      order.push_back((i * 7 + 3) % n);
      if (i % 4 == 1) order.push_back((i * 7 + 3) % n);  // a repeat
    }
    for (int64_t r : order) ptrs.push_back(own[r].get());
    const int64_t g = static_cast<int64_t>(order.size());

    std::unique_ptr<float[]> out(new float[std::max(n, g) * nq + 1]);
    auto expect_all = [&](const char* entry, int64_t count, auto row_of) {
      for (int64_t i = 0; i < count; ++i) {
        const int64_t r = row_of(i);
        for (int32_t q = 0; q < nq; ++q) {
          const float want = zvref::score(rows.data() + r * d, queries.data() + q * d, dim);
          ASSERT_TRUE(same_score(want, out[i * nq + q])) << entry << " row " << i << " query " << q;
        }
      }
      ASSERT_EQ(out[count * nq], kSentinel) << entry << " wrote past n * nq";
    };
    std::fill(out.get(), out.get() + std::max(n, g) * nq + 1, kSentinel);
    k_->score_block_multi(block.get(), n, qt.get(), nq, dim, out.get());
    expect_all("block_multi", n, [](int64_t i) { return i; });
    std::fill(out.get(), out.get() + std::max(n, g) * nq + 1, kSentinel);
    k_->score_gather_multi(ptrs.data(), g, qt.get(), nq, dim, out.get());
    expect_all("gather_multi", g, [&](int64_t i) { return order[i]; });
  }

  const ScoreKernels* k_ = nullptr;
};

TEST_P(Kernels, RandomRowsEveryDimAndRowCount) {
  for (int32_t dim : kDims) {
    for (int64_t n : kCounts) {
      if (dim >= 768 && n > 33) continue;  // wide rows: the small counts cover every tile shape
      const auto rows = uniform_floats(n * dim, 11 + n + dim);
      const auto q = uniform_floats(dim, 7 + dim);
      check_rows(rows, n, q, dim, "uniform");
      if (HasFatalFailure()) return;
    }
  }
}

TEST_P(Kernels, MixedMagnitudesWhereOrderAndFusionShow) {
  int64_t unfused_differs = 0, split_differs = 0;
  for (int32_t dim : {3, 17, 33, 128, 129}) {
    const int64_t n = 100;
    const auto rows = mixed_floats(n * dim, 101 + dim);
    const auto q = mixed_floats(dim, 202 + dim);
    for (int64_t i = 0; i < n; ++i) {
      const float* row = rows.data() + i * dim;
      const float s = zvref::score(row, q.data(), dim);
      unfused_differs += !same_score(s, unfused_chain(row, q.data(), dim));
      split_differs += !same_score(s, split_chain(row, q.data(), dim));
    }
    check_rows(rows, n, q, dim, "mixed");
    if (HasFatalFailure()) return;
  }
  // The data is only a test if a non-fused or reordered kernel would fail it.
  EXPECT_GT(unfused_differs, 0);
  EXPECT_GT(split_differs, 0);
}

TEST_P(Kernels, HandPickedFusionAndOrderCases) {
  // -1 + (1 + 2^-12)^2: fused keeps the 2^-24 term that a separate multiply
  // rounds away. 1e30 + 1 - 1e30 is 0 in order and 1 when reassociated.
  const float a = 1.0f + std::ldexp(1.0f, -12);
  const int32_t dim = 3;
  const std::vector<float> q = {1.0f, a, 1.0f};
  std::vector<float> rows;
  auto add = [&](float x, float y, float z) { rows.insert(rows.end(), {x, y, z}); };
  add(-1.0f, a, 0.0f);
  add(1e30f, 1.0f / a, -1e30f);
  add(1e-30f, 1e30f, -1.0f);
  const std::vector<float> q2 = {1.0f, 1.0f, 1.0f};
  const float* r0 = rows.data();
  ASSERT_NE(zv::score_row(r0, q.data(), dim), unfused_chain(r0, q.data(), dim));
  EXPECT_EQ(zv::score_row(r0, q.data(), dim), std::ldexp(1.0f, -11) + std::ldexp(1.0f, -24));
  // Replicate to fill whole tiles and a partial one, each row in every lane.
  std::vector<float> many;
  for (int rep = 0; rep < 11; ++rep) many.insert(many.end(), rows.begin(), rows.end());
  check_rows(many, 33, q, dim, "hand-picked q");
  check_rows(many, 33, q2, dim, "hand-picked ones");
  std::vector<float> out(33);
  k_->score_block(many.data(), 33, q2.data(), dim, out.data());
  EXPECT_EQ(out[1], 0.0f) << "1e30 + 1 - 1e30 must be 0 in chain order";
  EXPECT_EQ(out[4], 0.0f);
}

TEST_P(Kernels, NaNAndInfinities) {
  const int32_t dims[] = {1, 5, 16, 17, 33};
  for (int32_t dim : dims) {
    const int64_t n = 40;
    auto rows = uniform_floats(n * dim, 5 + dim);
    auto q = uniform_floats(dim, 9 + dim);
    // Rows with NaN, +inf, -inf, inf - inf, inf * 0 at assorted positions.
    const float specials[] = {kNaN, kInf, -kInf, 0.0f, 1e38f, -1e38f};
    std::mt19937_64 rng(dim);
    for (int64_t i = 0; i < n; i += 2) {
      const int hits = 1 + static_cast<int>(rng() % 3);
      for (int h = 0; h < hits; ++h) rows[i * dim + rng() % dim] = specials[rng() % 6];
    }
    check_rows(rows, n, q, dim, "specials in rows");
    if (HasFatalFailure()) return;
    q[dim / 2] = kInf;
    check_rows(rows, n, q, dim, "inf in query");
    if (HasFatalFailure()) return;
    q[0] = kNaN;
    check_rows(rows, n, q, dim, "NaN in query");
    if (HasFatalFailure()) return;
  }
}

// Query counts around every tile width (8, 16, 32, 64 lanes) and row counts
// around the row tiles, with data where a non-fused or split chain differs
// and with NaN, infinities and -0.0 in rows and queries.
TEST_P(Kernels, MultiQueryEveryShape) {
  const int64_t counts[] = {0, 1, 5, 37};
  const int32_t nqs[] = {1, 15, 16, 17, 33, 63, 64, 65, 100};
  const int32_t dims[] = {0, 1, 3, 17, 128};
  int64_t unfused_differs = 0, split_differs = 0;
  for (int32_t dim : dims) {
    for (int32_t nq : nqs) {
      const int32_t d = dim > 0 ? dim : 0;
      const auto queries = mixed_floats(int64_t{nq} * d, 31 + nq + dim);
      for (int64_t n : counts) {
        const auto rows = mixed_floats(n * d, 17 + n * dim);
        for (int64_t i = 0; i < n && n * nq < 400; ++i)
          for (int32_t q = 0; q < nq; ++q) {
            const float* r = rows.data() + i * d;
            const float* v = queries.data() + q * d;
            unfused_differs += !same_score(zv::score_row(r, v, dim), unfused_chain(r, v, dim));
            split_differs += !same_score(zv::score_row(r, v, dim), split_chain(r, v, dim));
          }
        check_multi(rows, n, queries, nq, dim, "mixed");
        if (HasFatalFailure()) return;
      }
    }
  }
  EXPECT_GT(unfused_differs, 0);
  EXPECT_GT(split_differs, 0);

  const float specials[] = {kNaN, kInf, -kInf, -0.0f, 0.0f, 1e38f, -1e38f};
  for (int32_t dim : {1, 3, 17}) {
    const int64_t n = 37;
    const int32_t nq = 33;
    auto rows = uniform_floats(n * dim, 5 + dim);
    auto queries = uniform_floats(int64_t{nq} * dim, 9 + dim);
    std::mt19937_64 rng(dim);
    for (int64_t i = 0; i < n; i += 2) rows[i * dim + rng() % dim] = specials[rng() % 7];
    for (int32_t q = 0; q < nq; q += 3) queries[q * dim + rng() % dim] = specials[rng() % 7];
    // A query and a row of -0.0 only: every product is -0.0, the chain +0.0.
    std::fill(queries.begin(), queries.begin() + dim, -0.0f);
    std::fill(rows.begin() + dim, rows.begin() + 2 * dim, -0.0f);
    check_multi(rows, n, queries, nq, dim, "specials");
    if (HasFatalFailure()) return;
  }
}

TEST_P(Kernels, MultiQueryDimZeroReadsNoQueries) {
  for (int32_t dim : {0, -3}) {
    const float row = 1.0f;
    const float* ptrs[5] = {&row, &row, &row, &row, &row};
    float out[5 * 17 + 1];
    for (int entry = 0; entry < 2; ++entry) {
      std::fill(std::begin(out), std::end(out), kSentinel);
      if (entry == 0) k_->score_block_multi(&row, 5, nullptr, 17, dim, out);
      else k_->score_gather_multi(ptrs, 5, nullptr, 17, dim, out);
      for (int i = 0; i < 5 * 17; ++i) ASSERT_EQ(std::bit_cast<uint32_t>(out[i]), 0u) << i;
      EXPECT_EQ(out[5 * 17], kSentinel);
    }
  }
}

TEST_P(Kernels, DimZeroGivesPositiveZeroAndReadsNothing) {
  for (int32_t dim : {0, -1, -17}) {
    float out[20];
    std::fill(std::begin(out), std::end(out), kSentinel);
    const float row = 1.0f;
    const float* ptrs[17];
    std::fill(std::begin(ptrs), std::end(ptrs), &row);
    k_->score_block(&row, 17, nullptr, dim, out);
    for (int i = 0; i < 17; ++i) EXPECT_EQ(std::bit_cast<uint32_t>(out[i]), 0u);
    EXPECT_EQ(out[17], kSentinel);
    std::fill(std::begin(out), std::end(out), kSentinel);
    k_->score_gather(ptrs, 17, nullptr, dim, out);
    for (int i = 0; i < 17; ++i) EXPECT_EQ(std::bit_cast<uint32_t>(out[i]), 0u);
    EXPECT_EQ(out[17], kSentinel);
    k_->score_block_ahead(&row, 0, 0, nullptr, dim, out);
  }
}

TEST_P(Kernels, UnalignedRowsAndLongScans) {
  // Rows starting one float past an aligned address, over many groups.
  const int32_t dim = 20;
  const int64_t n = 1001;
  std::vector<float> buf(n * dim + 1);
  const auto data = uniform_floats(n * dim, 77);
  std::memcpy(buf.data() + 1, data.data(), sizeof(float) * data.size());
  const auto q = uniform_floats(dim, 78);
  std::vector<float> out(n);
  k_->score_block(buf.data() + 1, n, q.data(), dim, out.data());
  for (int64_t i = 0; i < n; ++i)
    ASSERT_TRUE(same_score(zvref::score(data.data() + i * dim, q.data(), dim), out[i])) << i;
}

INSTANTIATE_TEST_SUITE_P(AllPaths, Kernels,
                         ::testing::Values(KernelIsa::kPortable, KernelIsa::kAvx2,
                                           KernelIsa::kAvx512),
                         [](const ::testing::TestParamInfo<KernelIsa>& info) {
                           switch (info.param) {
                             case KernelIsa::kAvx2: return std::string("avx2");
                             case KernelIsa::kAvx512: return std::string("avx512");
                             default: return std::string("portable");
                           }
                         });

TEST(KernelDispatch, ActivePathIsTheBestSupported) {
  const char* want = zv::kernel_supported(KernelIsa::kAvx512) ? "avx512"
                     : zv::kernel_supported(KernelIsa::kAvx2) ? "avx2"
                                                              : "portable";
  EXPECT_STREQ(zv::active_kernels().name, want);
  EXPECT_TRUE(zv::kernel_supported(KernelIsa::kPortable));
}

// ---------------------------------------------------------------------------
// The scans over the kernels, against the reference score and offer per row.

struct Reference {
  std::vector<int64_t> ids;
  std::vector<float> scores;
};

Reference reference_topk(const std::vector<const float*>& rows, const std::vector<int64_t>& ids,
                         const float* q, int32_t dim, int32_t m) {
  Reference ref{std::vector<int64_t>(m), std::vector<float>(m)};
  zvref::Slots slots(ref.ids.data(), ref.scores.data(), m);
  for (size_t i = 0; i < rows.size(); ++i) slots.offer(zvref::score(rows[i], q, dim), ids[i]);
  return ref;
}

void expect_same_result(const Reference& ref, const int64_t* ids, const float* scores, int32_t m) {
  for (int32_t i = 0; i < m; ++i) {
    EXPECT_EQ(ref.ids[i], ids[i]) << "slot " << i;
    EXPECT_TRUE(same_score(ref.scores[i], scores[i])) << "slot " << i;
  }
}

// Scores drawn from a few values, so that ties cross chunk and tile edges.
std::vector<float> tied_rows(int64_t n, int32_t dim, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<float> rows(static_cast<size_t>(n * dim), 0.0f);
  for (int64_t i = 0; i < n; ++i) {
    rows[i * dim] = static_cast<float>(rng() % 7);
    if (i % 97 == 5) rows[i * dim] = kNaN;
  }
  return rows;
}

TEST(BaseScans, OfferRowsAcrossChunksKeepsOfferOrder) {
  for (int32_t dim : {1, 9, 64}) {
    for (int64_t n : {int64_t{1}, int64_t{255}, int64_t{256}, int64_t{257}, int64_t{1000}}) {
      for (int32_t m : {1, 10, 300}) {
        SCOPED_TRACE("dim=" + std::to_string(dim) + " n=" + std::to_string(n) +
                     " m=" + std::to_string(m));
        const auto rows = tied_rows(n, dim, n * 31 + dim);
        std::vector<float> q(dim, 0.5f);
        std::vector<int64_t> ids(n);
        std::vector<const float*> ptrs(n);
        for (int64_t i = 0; i < n; ++i) {
          ids[i] = 1000 + i;
          ptrs[i] = rows.data() + i * dim;
        }
        const auto ref = reference_topk(ptrs, ids, q.data(), dim, m);
        std::vector<int64_t> out_ids(m);
        std::vector<float> out_scores(m);
        {
          zv::TopK topk(out_ids.data(), out_scores.data(), m);
          zv::offer_rows(rows.data(), ids.data(), n, q.data(), dim, topk);
        }
        expect_same_result(ref, out_ids.data(), out_scores.data(), m);
        {
          zv::TopK topk(out_ids.data(), out_scores.data(), m);
          zv::offer_row_ptrs(ptrs.data(), ids.data(), n, q.data(), dim, topk);
        }
        expect_same_result(ref, out_ids.data(), out_scores.data(), m);
      }
    }
  }
}

using zvtest::Index;

TEST(BaseScans, FullPartitionAndScatterMatchTheReference) {
  const int32_t dim = 13;
  const int64_t n = 1500;
  const auto vectors = tied_rows(n, dim, 3);
  std::vector<int64_t> ids(n);
  for (int64_t i = 0; i < n; ++i) ids[i] = (i * 37) % n;  // a permutation of 0..n-1
  ids[n - 1] = ids[3];                                     // a duplicate id: row n-1 wins
  const int64_t keys[] = {-5, 2, 9};
  const int32_t offsets[] = {0, 100, 700};
  const int32_t sizes[] = {100, 600, 800};
  Index index(dim);
  ASSERT_EQ(zv_index_build(index, vectors.data(), n, dim, ids.data(), keys, offsets, sizes, 3),
            0);
  std::vector<float> q(dim, 1.0f);
  std::vector<const float*> rows(n);
  for (int64_t i = 0; i < n; ++i) rows[i] = vectors.data() + i * dim;

  const int32_t k = 40;
  std::vector<int64_t> out_ids(k);
  std::vector<float> out_scores(k);
  {
    const auto ref = reference_topk(rows, ids, q.data(), dim, k);
    ASSERT_EQ(zv_index_search_full(index, q.data(), k, out_ids.data(), out_scores.data()), k);
    expect_same_result(ref, out_ids.data(), out_scores.data(), k);
  }
  {
    std::vector<const float*> part(rows.begin() + 700, rows.end());
    std::vector<int64_t> part_ids(ids.begin() + 700, ids.end());
    const auto ref = reference_topk(part, part_ids, q.data(), dim, k);
    ASSERT_EQ(zv_index_search_partition(index, 9, q.data(), k, out_ids.data(), out_scores.data()),
              k);
    expect_same_result(ref, out_ids.data(), out_scores.data(), k);
  }
  {
    // Candidates over several resolve batches: missing, negative, repeated
    // and duplicate-row ids among them.
    std::vector<int64_t> cand;
    std::mt19937_64 rng(9);
    for (int i = 0; i < 700; ++i) {
      const uint64_t r = rng() % 10;
      cand.push_back(r == 0 ? -3 : r == 1 ? n + 5 : static_cast<int64_t>(rng() % n));
    }
    cand.push_back(ids[3]);
    cand.push_back(ids[3]);
    std::vector<int64_t> row_of(n, -1);
    for (int64_t i = 0; i < n; ++i) row_of[ids[i]] = i;
    std::vector<const float*> crow;
    std::vector<int64_t> cid;
    for (int64_t c : cand) {
      if (c < 0 || c >= n || row_of[c] < 0) continue;
      crow.push_back(rows[row_of[c]]);
      cid.push_back(c);
    }
    const auto ref = reference_topk(crow, cid, q.data(), dim, k);
    ASSERT_EQ(zv_index_scatter_topk(index, cand.data(), static_cast<int32_t>(cand.size()),
                                    q.data(), k, out_ids.data(), out_scores.data()),
              k);
    expect_same_result(ref, out_ids.data(), out_scores.data(), k);
  }
}

TEST(BaseScans, ScatterWithNoScoringCandidateLeavesEmptySlots) {
  const float v[] = {1, 2};
  const int64_t id[] = {4};
  const int64_t key[] = {0};
  const int32_t off[] = {0}, size[] = {1};
  Index index(2);
  ASSERT_EQ(zv_index_build(index, v, 1, 2, id, key, off, size, 1), 0);
  const int64_t cand[] = {-1, 5, 3, 1 << 20};
  const float q[] = {1, 1};
  int64_t out_ids[3];
  float out_scores[3];
  ASSERT_EQ(zv_index_scatter_topk(index, cand, 4, q, 3, out_ids, out_scores), 3);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(out_ids[i], zv::kEmptyId);
    EXPECT_EQ(out_scores[i], zv::kEmptyScore);
  }
}

}  // namespace
