// AVX2 + FMA score kernels: tiles of eight rows, one row's chain per lane.
//
// A step takes four columns of a tile. Register k holds the 128-bit pieces
// of rows k and k+4; an in-lane 4x4 transpose then leaves column c+j of all
// eight rows, in row order, in one register, which meets the broadcast
// query[c+j] in one fma. Columns are taken strictly in ascending order, so
// each lane repeats score_row's chain exactly. Four tiles run side by side
// so their chains hide each other's fma latency. Row tails use masked
// (fault-free) loads; the lanes of a partial tile repeat a valid row and are
// not stored.
//
// Every header comes first and every function here carries its own target
// attribute, so nothing shared is ever compiled with AVX instructions.
#include <immintrin.h>

#include <cstdint>

#include "score_kernel.h"

#define ZV_AVX2 __attribute__((target("avx2,fma")))
#define ZV_AVX2_INLINE ZV_AVX2 __attribute__((always_inline)) inline

namespace zv {

namespace {

constexpr int kLanes = 8;
constexpr int kTiles = 4;
constexpr int kGroup = kLanes * kTiles;

struct Prefetch {
  const char* next = nullptr;
  const char* end = nullptr;
  const float* const* rows = nullptr;
  int row_count = 0;
};

// Distance, in rows, from the rows being scored to the rows prefetched
// into L2: about 16 KiB, and never less than one group (see the AVX-512
// kernels for the measurements).
constexpr int64_t kPrefetchLead = 16384;

inline int64_t prefetch_rows(int32_t dim) {
  const int64_t row_bytes = static_cast<int64_t>(dim) * 4;
  int64_t rows = (kPrefetchLead + row_bytes - 1) / row_bytes;
  if (rows < kGroup) rows = kGroup;
  return (rows + kGroup - 1) / kGroup * kGroup;
}

ZV_AVX2_INLINE __m256 load2(const float* p0, const float* p1, int32_t c) {
  return _mm256_insertf128_ps(_mm256_zextps128_ps256(_mm_loadu_ps(p0 + c)), _mm_loadu_ps(p1 + c),
                              1);
}

ZV_AVX2_INLINE __m256 load2_tail(const float* p0, const float* p1, int32_t c, __m128i m) {
  return _mm256_insertf128_ps(_mm256_zextps128_ps256(_mm_maskload_ps(p0 + c, m)),
                              _mm_maskload_ps(p1 + c, m), 1);
}

// a[k] holds four columns of rows k and k+4; afterwards a[j] holds column j
// of rows 0..7 in lane order.
ZV_AVX2_INLINE void transpose4(__m256 a[4]) {
  const __m256 t0 = _mm256_unpacklo_ps(a[0], a[1]);
  const __m256 t1 = _mm256_unpackhi_ps(a[0], a[1]);
  const __m256 t2 = _mm256_unpacklo_ps(a[2], a[3]);
  const __m256 t3 = _mm256_unpackhi_ps(a[2], a[3]);
  a[0] = _mm256_castpd_ps(_mm256_unpacklo_pd(_mm256_castps_pd(t0), _mm256_castps_pd(t2)));
  a[1] = _mm256_castpd_ps(_mm256_unpackhi_pd(_mm256_castps_pd(t0), _mm256_castps_pd(t2)));
  a[2] = _mm256_castpd_ps(_mm256_unpacklo_pd(_mm256_castps_pd(t1), _mm256_castps_pd(t3)));
  a[3] = _mm256_castpd_ps(_mm256_unpackhi_pd(_mm256_castps_pd(t1), _mm256_castps_pd(t3)));
}

// Scores the T tiles whose row pointers are r[0 .. 8T-1] (every pointer
// valid), storing the first `valid` scores.
template <int T, bool kLinear>
ZV_AVX2_INLINE void run_group(const float* const* r, const float* q, int32_t dim, float* out,
                              int valid, Prefetch pf) {
  __m256 acc[T];
  for (int t = 0; t < T; ++t) acc[t] = _mm256_setzero_ps();
  int32_t c = 0;
  for (; c <= dim - 4; c += 4) {  // no overflow near INT32_MAX
    if constexpr (kLinear) {
      if (pf.end - pf.next >= 128 * T) {  // no arithmetic on a null pf.next
        for (int l = 0; l < 2 * T; ++l) _mm_prefetch(pf.next + 64 * l, _MM_HINT_T2);
        pf.next += 128 * T;
      }
    } else {
      if ((c & 15) == 0) {
        for (int l = 0; l < pf.row_count; ++l)
          _mm_prefetch(reinterpret_cast<const char*>(pf.rows[l] + c), _MM_HINT_T0);
      }
    }
    const __m256 q0 = _mm256_broadcast_ss(q + c);
    const __m256 q1 = _mm256_broadcast_ss(q + c + 1);
    const __m256 q2 = _mm256_broadcast_ss(q + c + 2);
    const __m256 q3 = _mm256_broadcast_ss(q + c + 3);
    for (int t = 0; t < T; ++t) {
      const float* const* rt = r + kLanes * t;
      __m256 a[4];
      for (int k = 0; k < 4; ++k) a[k] = load2(rt[k], rt[k + 4], c);
      transpose4(a);
      acc[t] = _mm256_fmadd_ps(a[0], q0, acc[t]);
      acc[t] = _mm256_fmadd_ps(a[1], q1, acc[t]);
      acc[t] = _mm256_fmadd_ps(a[2], q2, acc[t]);
      acc[t] = _mm256_fmadd_ps(a[3], q3, acc[t]);
    }
  }
  const int32_t rem = dim - c;
  if (rem > 0) {
    const __m128i m = _mm_cmpgt_epi32(_mm_set1_epi32(rem), _mm_setr_epi32(0, 1, 2, 3));
    for (int t = 0; t < T; ++t) {
      const float* const* rt = r + kLanes * t;
      __m256 a[4];
      for (int k = 0; k < 4; ++k) a[k] = load2_tail(rt[k], rt[k + 4], c, m);
      transpose4(a);
      for (int j = 0; j < rem; ++j)
        acc[t] = _mm256_fmadd_ps(a[j], _mm256_broadcast_ss(q + c + j), acc[t]);
    }
  }
  for (int t = 0; t < T; ++t) {
    const int lanes = valid - kLanes * t;
    if (lanes >= kLanes) {
      _mm256_storeu_ps(out + kLanes * t, acc[t]);
    } else if (lanes > 0) {
      const __m256i m = _mm256_cmpgt_epi32(_mm256_set1_epi32(lanes),
                                           _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
      _mm256_maskstore_ps(out + kLanes * t, m, acc[t]);
    }
  }
}

// The group sizes a call may use: every full tile count up to kTiles.
template <bool kLinear>
ZV_AVX2_INLINE void run_any(const float* const* r, const float* q, int32_t dim, float* out,
                            int valid, const Prefetch& pf) {
  if (valid > 3 * kLanes) run_group<4, kLinear>(r, q, dim, out, valid, pf);
  else if (valid > 2 * kLanes) run_group<3, kLinear>(r, q, dim, out, valid, pf);
  else if (valid > kLanes) run_group<2, kLinear>(r, q, dim, out, valid, pf);
  else run_group<1, kLinear>(r, q, dim, out, valid, pf);
}

ZV_AVX2 void fill_zero(int64_t n, float* out) {
  for (int64_t i = 0; i < n; ++i) out[i] = 0.0f;
}

ZV_AVX2 void block_ahead(const float* rows, int64_t n, int64_t ahead, const float* query,
                         int32_t dim, float* out) {
  if (dim <= 0) return fill_zero(n, out);
  const int64_t stride = dim;
  const int64_t total = n + (ahead > 0 ? ahead : 0);
  const int64_t lead = prefetch_rows(dim);
  const char* const bytes_end = reinterpret_cast<const char*>(rows + total * stride);
  const float* r[kGroup];
  for (int64_t i = 0; i < n; i += kGroup) {
    const int valid = static_cast<int>(n - i < kGroup ? n - i : kGroup);
    for (int l = 0; l < kGroup; ++l) r[l] = rows + (i + (l < valid ? l : valid - 1)) * stride;
    Prefetch pf;
    if (i + lead < total) {
      pf.next = reinterpret_cast<const char*>(rows + (i + lead) * stride);
      const int64_t stop = i + lead + kGroup;
      pf.end = stop < total ? reinterpret_cast<const char*>(rows + stop * stride) : bytes_end;
    }
    run_any<true>(r, query, dim, out + i, valid, pf);
  }
}

ZV_AVX2 void gather_ahead(const float* const* rows, int64_t n, int64_t ahead, const float* query,
                          int32_t dim, float* out) {
  if (dim <= 0) return fill_zero(n, out);
  const int64_t total = n + (ahead > 0 ? ahead : 0);
  const float* r[kGroup];
  for (int64_t i = 0; i < n; i += kGroup) {
    const int valid = static_cast<int>(n - i < kGroup ? n - i : kGroup);
    for (int l = 0; l < kGroup; ++l) r[l] = rows[i + (l < valid ? l : valid - 1)];
    Prefetch pf;
    const int64_t next = i + kGroup;
    if (next < total) {
      pf.rows = rows + next;
      pf.row_count = static_cast<int>(total - next < kGroup ? total - next : kGroup);
    }
    run_any<false>(r, query, dim, out + i, valid, pf);
  }
}

ZV_AVX2 void block(const float* rows, int64_t n, const float* query, int32_t dim, float* out) {
  block_ahead(rows, n, 0, query, dim, out);
}

ZV_AVX2 void gather(const float* const* rows, int64_t n, const float* query, int32_t dim,
                    float* out) {
  gather_ahead(rows, n, 0, query, dim, out);
}

}  // namespace

// Multi-query kernels: the portable chain until a tiled one lands.
void portable_block_multi(const float*, int64_t, const float*, int32_t, int32_t, float*);
void portable_gather_multi(const float* const*, int64_t, const float*, int32_t, int32_t, float*);

extern const ScoreKernels kAvx2Kernels{"avx2", block, gather, block_ahead, gather_ahead,
                                     portable_block_multi, portable_gather_multi};

}  // namespace zv
