// AVX-512 score kernels: sixteen rows per tile, one row's chain per lane.
#include "score_kernel.h"

namespace zv {

namespace {

// Placeholder until the tiled kernel lands: the plain chain.
void block(const float* rows, int64_t n, const float* query, int32_t dim, float* out) {
  const int64_t stride = dim > 0 ? dim : 0;
  for (int64_t i = 0; i < n; ++i) out[i] = score_row(rows + i * stride, query, dim);
}
void gather(const float* const* rows, int64_t n, const float* query, int32_t dim, float* out) {
  for (int64_t i = 0; i < n; ++i) out[i] = score_row(rows[i], query, dim);
}

}  // namespace

extern const ScoreKernels kAvx512Kernels{"avx512", block, gather};

}  // namespace zv
