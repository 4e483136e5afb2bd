#include "score_kernel.h"

namespace zv {

// Defined by the per-instruction-set sources.
extern const ScoreKernels kAvx2Kernels;
extern const ScoreKernels kAvx512Kernels;

namespace {

void portable_block(const float* rows, int64_t n, const float* query, int32_t dim, float* out) {
  const int64_t stride = dim > 0 ? dim : 0;
  for (int64_t i = 0; i < n; ++i) out[i] = score_row(rows + i * stride, query, dim);
}

void portable_gather(const float* const* rows, int64_t n, const float* query, int32_t dim,
                     float* out) {
  for (int64_t i = 0; i < n; ++i) out[i] = score_row(rows[i], query, dim);
}

constexpr ScoreKernels kPortableKernels{"portable", portable_block, portable_gather};

const ScoreKernels& choose() {
  if (kernel_supported(KernelIsa::kAvx512)) return kAvx512Kernels;
  if (kernel_supported(KernelIsa::kAvx2)) return kAvx2Kernels;
  return kPortableKernels;
}

}  // namespace

bool kernel_supported(KernelIsa isa) {
  switch (isa) {
    case KernelIsa::kPortable:
      return true;
    case KernelIsa::kAvx2:
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    case KernelIsa::kAvx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
             __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512bw");
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
