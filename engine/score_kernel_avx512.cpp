// AVX-512 score kernels: tiles of sixteen rows, one row's chain per lane.
//
// A step takes four columns of a tile. Register k gathers the 128-bit pieces
// of rows k, k+4, k+8 and k+12; an in-lane 4x4 transpose then leaves column
// c+j of all sixteen rows, in row order, in one register, which meets the
// broadcast query[c+j] in one fma. Columns are taken strictly in ascending
// order, so each lane repeats score_row's chain exactly. Two tiles run side
// by side so their chains hide each other's fma latency. Row tails use
// masked (fault-free) loads; the lanes of a partial tile repeat a valid row
// and are not stored.
//
// Every header comes first and every function here carries its own target
// attribute, so nothing shared is ever compiled with AVX-512 instructions.
#include <immintrin.h>

#include <cstdint>

#include "score_kernel.h"

// GCC 12's 512-bit unpack intrinsics start from an "undefined" vector.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#define ZV_AVX512 __attribute__((target("avx2,fma,avx512f,avx512vl,avx512dq,avx512bw")))
#define ZV_AVX512_INLINE ZV_AVX512 __attribute__((always_inline)) inline

namespace zv {

namespace {

constexpr int kLanes = 16;
constexpr int kTiles = 2;
constexpr int kGroup = kLanes * kTiles;

// Where to prefetch while a group runs: either a byte range read linearly
// (contiguous rows), or one cache line per row and 16 columns (row pointers).
struct Prefetch {
  const char* next = nullptr;
  const char* end = nullptr;
  const float* const* rows = nullptr;
  int row_count = 0;
};

// Distance, in rows, from the rows being scored to the rows prefetched:
// about 16 KiB, and never less than one group. Without it small rows reach
// only about half the memory read rate (the hardware streamer alone does not
// keep enough lines in flight); the lines go to L2 only, since L1 cannot
// hold a group of wide rows. Measured flat between 8 and 64 KiB at dims 128
// and 768.
constexpr int64_t kPrefetchLead = 16384;

inline int64_t prefetch_rows(int32_t dim) {
  const int64_t row_bytes = static_cast<int64_t>(dim) * 4;
  int64_t rows = (kPrefetchLead + row_bytes - 1) / row_bytes;
  if (rows < kGroup) rows = kGroup;
  return (rows + kGroup - 1) / kGroup * kGroup;
}

ZV_AVX512_INLINE __m512 load4(const float* p0, const float* p1, const float* p2, const float* p3,
                              int32_t c) {
  __m512 v = _mm512_zextps128_ps512(_mm_loadu_ps(p0 + c));
  v = _mm512_insertf32x4(v, _mm_loadu_ps(p1 + c), 1);
  v = _mm512_insertf32x4(v, _mm_loadu_ps(p2 + c), 2);
  return _mm512_insertf32x4(v, _mm_loadu_ps(p3 + c), 3);
}

ZV_AVX512_INLINE __m512 load4_tail(const float* p0, const float* p1, const float* p2,
                                   const float* p3, int32_t c, __mmask8 m) {
  __m512 v = _mm512_zextps128_ps512(_mm_maskz_loadu_ps(m, p0 + c));
  v = _mm512_insertf32x4(v, _mm_maskz_loadu_ps(m, p1 + c), 1);
  v = _mm512_insertf32x4(v, _mm_maskz_loadu_ps(m, p2 + c), 2);
  return _mm512_insertf32x4(v, _mm_maskz_loadu_ps(m, p3 + c), 3);
}

// a[k] holds four columns of rows k, k+4, k+8, k+12 (one 128-bit block
// each); afterwards a[j] holds column j of rows 0..15 in lane order.
ZV_AVX512_INLINE void transpose4(__m512 a[4]) {
  const __m512 t0 = _mm512_unpacklo_ps(a[0], a[1]);
  const __m512 t1 = _mm512_unpackhi_ps(a[0], a[1]);
  const __m512 t2 = _mm512_unpacklo_ps(a[2], a[3]);
  const __m512 t3 = _mm512_unpackhi_ps(a[2], a[3]);
  a[0] = _mm512_castpd_ps(_mm512_unpacklo_pd(_mm512_castps_pd(t0), _mm512_castps_pd(t2)));
  a[1] = _mm512_castpd_ps(_mm512_unpackhi_pd(_mm512_castps_pd(t0), _mm512_castps_pd(t2)));
  a[2] = _mm512_castpd_ps(_mm512_unpacklo_pd(_mm512_castps_pd(t1), _mm512_castps_pd(t3)));
  a[3] = _mm512_castpd_ps(_mm512_unpackhi_pd(_mm512_castps_pd(t1), _mm512_castps_pd(t3)));
}

// Scores the T tiles whose row pointers are r[0 .. 16T-1] (every pointer
// valid), storing the first `valid` scores.
template <int T, bool kLinear>
ZV_AVX512_INLINE void run_group(const float* const* r, const float* q, int32_t dim, float* out,
                                int valid, Prefetch pf) {
  __m512 acc[T];
  for (int t = 0; t < T; ++t) acc[t] = _mm512_setzero_ps();
  int32_t c = 0;
  for (; c <= dim - 4; c += 4) {  // no overflow near INT32_MAX
    if constexpr (kLinear) {
      if (pf.end - pf.next >= 256 * T) {  // no arithmetic on a null pf.next
        for (int l = 0; l < 4 * T; ++l) _mm_prefetch(pf.next + 64 * l, _MM_HINT_T2);
        pf.next += 256 * T;
      }
    } else {
      if ((c & 15) == 0) {
        for (int l = 0; l < pf.row_count; ++l)
          _mm_prefetch(reinterpret_cast<const char*>(pf.rows[l] + c), _MM_HINT_T0);
      }
    }
    const __m512 q0 = _mm512_set1_ps(q[c]);
    const __m512 q1 = _mm512_set1_ps(q[c + 1]);
    const __m512 q2 = _mm512_set1_ps(q[c + 2]);
    const __m512 q3 = _mm512_set1_ps(q[c + 3]);
    for (int t = 0; t < T; ++t) {
      const float* const* rt = r + kLanes * t;
      __m512 a[4];
      for (int k = 0; k < 4; ++k) a[k] = load4(rt[k], rt[k + 4], rt[k + 8], rt[k + 12], c);
      transpose4(a);
      acc[t] = _mm512_fmadd_ps(a[0], q0, acc[t]);
      acc[t] = _mm512_fmadd_ps(a[1], q1, acc[t]);
      acc[t] = _mm512_fmadd_ps(a[2], q2, acc[t]);
      acc[t] = _mm512_fmadd_ps(a[3], q3, acc[t]);
    }
  }
  const int32_t rem = dim - c;
  if (rem > 0) {
    const __mmask8 m = static_cast<__mmask8>((1u << rem) - 1);
    for (int t = 0; t < T; ++t) {
      const float* const* rt = r + kLanes * t;
      __m512 a[4];
      for (int k = 0; k < 4; ++k)
        a[k] = load4_tail(rt[k], rt[k + 4], rt[k + 8], rt[k + 12], c, m);
      transpose4(a);
      for (int j = 0; j < rem; ++j) acc[t] = _mm512_fmadd_ps(a[j], _mm512_set1_ps(q[c + j]), acc[t]);
    }
  }
  for (int t = 0; t < T; ++t) {
    const int lanes = valid - kLanes * t;
    if (lanes >= kLanes) {
      _mm512_storeu_ps(out + kLanes * t, acc[t]);
    } else if (lanes > 0) {
      _mm512_mask_storeu_ps(out + kLanes * t, static_cast<__mmask16>((1u << lanes) - 1), acc[t]);
    }
  }
}

ZV_AVX512 void fill_zero(int64_t n, float* out) {
  for (int64_t i = 0; i < n; ++i) out[i] = 0.0f;
}

ZV_AVX512 void block_ahead(const float* rows, int64_t n, int64_t ahead, const float* query,
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
    if (valid > kLanes) run_group<kTiles, true>(r, query, dim, out + i, valid, pf);
    else run_group<1, true>(r, query, dim, out + i, valid, pf);
  }
}

ZV_AVX512 void gather_ahead(const float* const* rows, int64_t n, int64_t ahead,
                            const float* query, int32_t dim, float* out) {
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
    if (valid > kLanes) run_group<kTiles, false>(r, query, dim, out + i, valid, pf);
    else run_group<1, false>(r, query, dim, out + i, valid, pf);
  }
}

ZV_AVX512 void block(const float* rows, int64_t n, const float* query, int32_t dim, float* out) {
  block_ahead(rows, n, 0, query, dim, out);
}

ZV_AVX512 void gather(const float* const* rows, int64_t n, const float* query, int32_t dim,
                      float* out) {
  gather_ahead(rows, n, 0, query, dim, out);
}

}  // namespace

// Multi-query kernels: the portable chain until a tiled one lands.
void portable_block_multi(const float*, int64_t, const float*, int32_t, int32_t, float*);
void portable_gather_multi(const float* const*, int64_t, const float*, int32_t, int32_t, float*);

extern const ScoreKernels kAvx512Kernels{"avx512", block, gather, block_ahead, gather_ahead,
                                     portable_block_multi, portable_gather_multi};

}  // namespace zv
