// AVX2 + FMA score kernels: the kernel body over 8-lane vectors.
//
// Single query: register k of a tile holds the 128-bit pieces of rows k and
// k+4, so that an in-lane 4x4 transpose leaves one column of all eight
// rows, in row order, in one register.
//
// Every header comes first and every function here carries its own target
// attribute, so nothing shared is ever compiled with AVX instructions.
#include <immintrin.h>

#include <cstdint>

#include "score_kernel.h"
#include "tuning.h"

#define ZV_KERNEL __attribute__((target("avx2,fma")))
#define ZV_KERNEL_INLINE ZV_KERNEL __attribute__((always_inline)) inline

namespace zv {
namespace {

struct Avx2 {
  using V = __m256;
  using LaneMask = __m256i;
  using PieceMask = __m128i;
  static constexpr int kLanes = 8;
  static constexpr int kSingleTiles = kAvx2SingleTiles;
  static constexpr int kMultiRows = kAvx2MultiRows;
  static constexpr int kMultiVectors = kAvx2MultiVectors;
  static constexpr int kMultiMaxRows = kAvx2MultiMaxRows;

  ZV_KERNEL_INLINE static LaneMask lane_mask(int n) {
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(n), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
  }
  ZV_KERNEL_INLINE static V zero() { return _mm256_setzero_ps(); }
  ZV_KERNEL_INLINE static V load(const float* p) { return _mm256_loadu_ps(p); }
  ZV_KERNEL_INLINE static V masked_load(const float* p, LaneMask m) {
    return _mm256_maskload_ps(p, m);
  }
  ZV_KERNEL_INLINE static V broadcast(const float* p) { return _mm256_broadcast_ss(p); }
  ZV_KERNEL_INLINE static V fma(V a, V b, V c) { return _mm256_fmadd_ps(a, b, c); }
  ZV_KERNEL_INLINE static void store(float* p, V v) { _mm256_storeu_ps(p, v); }
  ZV_KERNEL_INLINE static void masked_store(float* p, LaneMask m, V v) {
    _mm256_maskstore_ps(p, m, v);
  }

  ZV_KERNEL_INLINE static PieceMask piece_mask(int n) {
    return _mm_cmpgt_epi32(_mm_set1_epi32(n), _mm_setr_epi32(0, 1, 2, 3));
  }
  ZV_KERNEL_INLINE static V load_pieces(const float* const* rt, int k, int32_t c) {
    return _mm256_insertf128_ps(_mm256_zextps128_ps256(_mm_loadu_ps(rt[k] + c)),
                                _mm_loadu_ps(rt[k + 4] + c), 1);
  }
  ZV_KERNEL_INLINE static V load_pieces_tail(const float* const* rt, int k, int32_t c,
                                             PieceMask m) {
    return _mm256_insertf128_ps(_mm256_zextps128_ps256(_mm_maskload_ps(rt[k] + c, m)),
                                _mm_maskload_ps(rt[k + 4] + c, m), 1);
  }
  ZV_KERNEL_INLINE static void transpose4(V a[4]) {
    const V t0 = _mm256_unpacklo_ps(a[0], a[1]);
    const V t1 = _mm256_unpackhi_ps(a[0], a[1]);
    const V t2 = _mm256_unpacklo_ps(a[2], a[3]);
    const V t3 = _mm256_unpackhi_ps(a[2], a[3]);
    a[0] = _mm256_castpd_ps(_mm256_unpacklo_pd(_mm256_castps_pd(t0), _mm256_castps_pd(t2)));
    a[1] = _mm256_castpd_ps(_mm256_unpackhi_pd(_mm256_castps_pd(t0), _mm256_castps_pd(t2)));
    a[2] = _mm256_castpd_ps(_mm256_unpacklo_pd(_mm256_castps_pd(t1), _mm256_castps_pd(t3)));
    a[3] = _mm256_castpd_ps(_mm256_unpackhi_pd(_mm256_castps_pd(t1), _mm256_castps_pd(t3)));
  }
};

}  // namespace
}  // namespace zv

#include "kernel_body.h"

namespace zv {
extern constinit const ScoreKernels kAvx2Kernels = kernel_table<Avx2>("avx2");
}  // namespace zv
