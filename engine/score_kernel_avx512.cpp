// AVX-512 score kernels: the kernel body over 16-lane vectors.
//
// Single query: register k of a tile gathers the 128-bit pieces of rows k,
// k+4, k+8 and k+12, so that an in-lane 4x4 transpose leaves one column of
// all sixteen rows, in row order, in one register.
//
// Every header comes first and every function here carries its own target
// attribute, so nothing shared is ever compiled with AVX-512 instructions.
#include <immintrin.h>

#include <cstdint>

#include "score_kernel.h"
#include "tuning.h"

// GCC 12's 512-bit unpack intrinsics start from an "undefined" vector.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#define ZV_KERNEL __attribute__((target("avx2,fma,avx512f,avx512vl,avx512dq,avx512bw")))
#define ZV_KERNEL_INLINE ZV_KERNEL __attribute__((always_inline)) inline

namespace zv {
namespace {

struct Avx512 {
  using V = __m512;
  using LaneMask = __mmask16;
  using PieceMask = __mmask8;
  static constexpr int kLanes = 16;
  static constexpr int kSingleTiles = kAvx512SingleTiles;
  static constexpr int kMultiRows = kAvx512MultiRows;
  static constexpr int kMultiVectors = kAvx512MultiVectors;
  static constexpr int kMultiMaxRows = kAvx512MultiMaxRows;

  ZV_KERNEL_INLINE static LaneMask lane_mask(int n) {
    return static_cast<__mmask16>((1u << n) - 1);
  }
  ZV_KERNEL_INLINE static V zero() { return _mm512_setzero_ps(); }
  ZV_KERNEL_INLINE static V load(const float* p) { return _mm512_loadu_ps(p); }
  ZV_KERNEL_INLINE static V masked_load(const float* p, LaneMask m) {
    return _mm512_maskz_loadu_ps(m, p);
  }
  ZV_KERNEL_INLINE static V broadcast(const float* p) { return _mm512_set1_ps(*p); }
  ZV_KERNEL_INLINE static V fma(V a, V b, V c) { return _mm512_fmadd_ps(a, b, c); }
  ZV_KERNEL_INLINE static void store(float* p, V v) { _mm512_storeu_ps(p, v); }
  ZV_KERNEL_INLINE static void masked_store(float* p, LaneMask m, V v) {
    _mm512_mask_storeu_ps(p, m, v);
  }

  ZV_KERNEL_INLINE static PieceMask piece_mask(int n) { return static_cast<__mmask8>((1u << n) - 1); }
  ZV_KERNEL_INLINE static V load_pieces(const float* const* rt, int k, int32_t c) {
    V v = _mm512_zextps128_ps512(_mm_loadu_ps(rt[k] + c));
    v = _mm512_insertf32x4(v, _mm_loadu_ps(rt[k + 4] + c), 1);
    v = _mm512_insertf32x4(v, _mm_loadu_ps(rt[k + 8] + c), 2);
    return _mm512_insertf32x4(v, _mm_loadu_ps(rt[k + 12] + c), 3);
  }
  ZV_KERNEL_INLINE static V load_pieces_tail(const float* const* rt, int k, int32_t c,
                                             PieceMask m) {
    V v = _mm512_zextps128_ps512(_mm_maskz_loadu_ps(m, rt[k] + c));
    v = _mm512_insertf32x4(v, _mm_maskz_loadu_ps(m, rt[k + 4] + c), 1);
    v = _mm512_insertf32x4(v, _mm_maskz_loadu_ps(m, rt[k + 8] + c), 2);
    return _mm512_insertf32x4(v, _mm_maskz_loadu_ps(m, rt[k + 12] + c), 3);
  }
  ZV_KERNEL_INLINE static void transpose4(V a[4]) {
    const V t0 = _mm512_unpacklo_ps(a[0], a[1]);
    const V t1 = _mm512_unpackhi_ps(a[0], a[1]);
    const V t2 = _mm512_unpacklo_ps(a[2], a[3]);
    const V t3 = _mm512_unpackhi_ps(a[2], a[3]);
    a[0] = _mm512_castpd_ps(_mm512_unpacklo_pd(_mm512_castps_pd(t0), _mm512_castps_pd(t2)));
    a[1] = _mm512_castpd_ps(_mm512_unpackhi_pd(_mm512_castps_pd(t0), _mm512_castps_pd(t2)));
    a[2] = _mm512_castpd_ps(_mm512_unpacklo_pd(_mm512_castps_pd(t1), _mm512_castps_pd(t3)));
    a[3] = _mm512_castpd_ps(_mm512_unpackhi_pd(_mm512_castps_pd(t1), _mm512_castps_pd(t3)));
  }
};

}  // namespace
}  // namespace zv

#include "kernel_body.h"

namespace zv {
extern constinit const ScoreKernels kAvx512Kernels = kernel_table<Avx512>("avx512");
}  // namespace zv
