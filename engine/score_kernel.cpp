#include "score_kernel.h"

namespace zv {

// Defined by the per-instruction-set sources.
extern const ScoreKernels kAvx2Kernels;
extern const ScoreKernels kAvx512Kernels;

namespace {

// The portable path is the defining chain itself (std::fma is exact on
// every target, in hardware or in the C library).
void portable_block(const float* rows, int64_t n, const float* query, int32_t dim, float* out) {
  const int64_t stride = dim > 0 ? dim : 0;
  for (int64_t i = 0; i < n; ++i) out[i] = score_row(rows + i * stride, query, dim);
}

void portable_gather(const float* const* rows, int64_t n, const float* query, int32_t dim,
                     float* out) {
  for (int64_t i = 0; i < n; ++i) out[i] = score_row(rows[i], query, dim);
}

void portable_block_ahead(const float* rows, int64_t n, int64_t, const float* query, int32_t dim,
                          float* out) {
  portable_block(rows, n, query, dim, out);
}

void portable_gather_ahead(const float* const* rows, int64_t n, int64_t, const float* query,
                           int32_t dim, float* out) {
  portable_gather(rows, n, query, dim, out);
}

void portable_block_multi(const float* rows, int64_t n, const float* qt, int32_t nq, int32_t dim,
                          float* out) {
  const int64_t stride = dim > 0 ? dim : 0;
  for (int64_t i = 0; i < n; ++i)
    for (int32_t q = 0; q < nq; ++q)
      out[i * nq + q] = score_row_transposed(rows + i * stride, qt, nq, q, dim);
}

void portable_gather_multi(const float* const* rows, int64_t n, const float* qt, int32_t nq,
                           int32_t dim, float* out) {
  for (int64_t i = 0; i < n; ++i)
    for (int32_t q = 0; q < nq; ++q) out[i * nq + q] = score_row_transposed(rows[i], qt, nq, q, dim);
}

constexpr ScoreKernels kPortableKernels{"portable",           portable_block,
                                        portable_gather,      portable_block_ahead,
                                        portable_gather_ahead, portable_block_multi,
                                        portable_gather_multi};

const ScoreKernels& choose() {
  if (kernel_supported(KernelIsa::kAvx512)) return kAvx512Kernels;
  if (kernel_supported(KernelIsa::kAvx2)) return kAvx2Kernels;
  return kPortableKernels;
}

}  // namespace

bool kernel_supported(KernelIsa isa) {
  // The feature bits may be asked for before the C runtime's own
  // initialisation (from a host's static constructor).
  __builtin_cpu_init();
  switch (isa) {
    case KernelIsa::kPortable:
      return true;
    case KernelIsa::kAvx2:
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    case KernelIsa::kAvx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
             __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512bw") &&
             __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  }
  return false;
}

const ScoreKernels& kernels_for(KernelIsa isa) {
  switch (isa) {
    case KernelIsa::kAvx2:
      return kAvx2Kernels;
    case KernelIsa::kAvx512:
      return kAvx512Kernels;
    default:
      return kPortableKernels;
  }
}

const ScoreKernels& active_kernels() {
  static const ScoreKernels& chosen = choose();
  return chosen;
}

}  // namespace zv
