// The score kernel: the inner product of a row and a query, defined as one
// sequential single-precision fma chain per row. SIMD paths vectorise across
// rows (one row's chain per lane, ascending j), never within a row, so every
// path gives the same bits as score_row().
#pragma once

#include <cmath>
#include <cstdint>

namespace zv {

// The defining chain. dim <= 0 gives +0.0 without reading `query`.
inline float score_row(const float* row, const float* query, int32_t dim) {
  float acc = 0.0f;
  for (int32_t j = 0; j < dim; ++j) acc = std::fma(row[j], query[j], acc);
  return acc;
}

enum class KernelIsa : int { kPortable = 0, kAvx2 = 1, kAvx512 = 2 };

// Every kernel gives out[i] = score_row(row i, query, dim) for 0 <= i < n,
// bit for bit; with dim <= 0 every score is +0.0 and `query` is not read.
struct ScoreKernels {
  const char* name;
  // Row i at rows + i * dim.
  void (*score_block)(const float* rows, int64_t n, const float* query, int32_t dim, float* out);
  // Row i at rows[i].
  void (*score_gather)(const float* const* rows, int64_t n, const float* query, int32_t dim,
                       float* out);
  // As score_block, and prefetches from the `ahead` rows that follow the n
  // scored ones (they must exist) so that a scan split into calls streams.
  void (*score_block_ahead)(const float* rows, int64_t n, int64_t ahead, const float* query,
                            int32_t dim, float* out);
  // As score_gather; rows[n .. n + ahead - 1] are valid pointers to
  // prefetch from.
  void (*score_gather_ahead)(const float* const* rows, int64_t n, int64_t ahead,
                             const float* query, int32_t dim, float* out);
  // Many queries at once: out[i * nq + q] = score_row(row i, query q, dim)
  // for 0 <= i < n, 0 <= q < nq, with the queries transposed by
  // transpose_queries() (element j of query q at qt[j * nq + q]). Row i at
  // rows + i * dim. Reads qt[0 .. nq * dim - 1] only; with dim <= 0 every
  // score is +0.0 and qt is not read.
  //
  // Compute-bound when fed as tuning.h says: queries transposed
  // kMultiQuerySlice at a time (each slice its own qt, 64-byte aligned), rows
  // multi_row_block(dim) at a time, every slice against one block before the
  // next block. A call with a larger nq is exact but slower (its tiles'
  // queries are far apart).
  void (*score_block_multi)(const float* rows, int64_t n, const float* qt, int32_t nq,
                            int32_t dim, float* out);
  // As score_block_multi, row i at rows[i].
  void (*score_gather_multi)(const float* const* rows, int64_t n, const float* qt, int32_t nq,
                             int32_t dim, float* out);
};

// Lays nq queries of dim floats (query q at queries + q * dim) out for the
// multi-query kernels: qt[j * nq + q] = queries[q * dim + j]. qt holds
// nq * dim floats.
inline void transpose_queries(const float* queries, int32_t nq, int32_t dim, float* qt) {
  for (int32_t q = 0; q < nq; ++q)
    for (int32_t j = 0; j < dim; ++j)
      qt[static_cast<int64_t>(j) * nq + q] = queries[static_cast<int64_t>(q) * dim + j];
}

// The defining multi-query chain: score_row for every (row, query) pair,
// reading the transposed queries.
inline float score_row_transposed(const float* row, const float* qt, int32_t nq, int32_t q,
                                  int32_t dim) {
  float acc = 0.0f;
  for (int32_t j = 0; j < dim; ++j) acc = std::fma(row[j], qt[static_cast<int64_t>(j) * nq + q], acc);
  return acc;
}

// Whether this CPU (and OS) can run the given path.
bool kernel_supported(KernelIsa isa);
// The kernels of one path; the path must be supported.
const ScoreKernels& kernels_for(KernelIsa isa);
// The fastest supported path, chosen once.
const ScoreKernels& active_kernels();

inline void score_block(const float* rows, int64_t n, const float* query, int32_t dim, float* out) {
  active_kernels().score_block(rows, n, query, dim, out);
}
inline void score_gather(const float* const* rows, int64_t n, const float* query, int32_t dim,
                         float* out) {
  active_kernels().score_gather(rows, n, query, dim, out);
}

inline void score_block_multi(const float* rows, int64_t n, const float* qt, int32_t nq,
                              int32_t dim, float* out) {
  active_kernels().score_block_multi(rows, n, qt, nq, dim, out);
}
inline void score_gather_multi(const float* const* rows, int64_t n, const float* qt, int32_t nq,
                               int32_t dim, float* out) {
  active_kernels().score_gather_multi(rows, n, qt, nq, dim, out);
}

}  // namespace zv
