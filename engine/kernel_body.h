// The SIMD score kernels, written once over a per-instruction-set traits
// type and included by one source per instruction set, which first defines
// ZV_KERNEL (the target attribute every function here carries) and its
// traits, and then builds its table with kernel_table<Traits>(name).
//
// Traits provide, all static and force-inlined:
//   V, kLanes                 the vector and its float lanes
//   kSingleTiles              tiles of kLanes rows per single-query group
//   kMultiRows, kMultiVectors the multi-query register tile
//   kMultiMaxRows             rows of a narrower tile (the query tail)
//   LaneMask lane_mask(n)     the first n lanes, 0 < n <= kLanes
//   zero, load, masked_load, broadcast (one float to every lane), fma,
//   store, masked_store
//   PieceMask piece_mask(n)   the first n of four floats, 0 < n < 4
//   load_pieces(rt, k, c), load_pieces_tail(rt, k, c, m): register k of a
//     4x4-transposed group, four columns from c of rows k, k+4, ...
//   transpose4(a)             afterwards a[j] holds column c+j of the tile's
//                             rows in lane order
//
// Two kinds of kernel, both exact by construction (every lane is one
// (row, query) chain taking columns strictly in ascending order from +0.0):
//
// Single query: one row per lane. A step takes four columns of a tile,
// transposed in registers, against the broadcast query; kSingleTiles tiles
// run side by side, their chains independent. Row
// tails use masked (fault-free) loads; the lanes of a partial tile repeat a
// valid row and are not stored.
//
// Many queries: one query per lane, lanes across the transposed queries
// (element j of query q at qt[j * nq + q]), the row's value broadcast: a
// register tile of kMultiRows rows by kMultiVectors query vectors, one
// accumulator each, like a GEMM micro-kernel whose loop over columns is
// never split. A tile's queries serve every row of the call from L1 (or,
// when too large for it, are prefetched into it a few columns ahead), and
// the next tile's rows are prefetched while a tile runs. Query tails use
// masked loads and stores, row tails repeat a valid row.
//
// Nothing here may include a header: a shared inline function compiled
// under the including file's target would leak its instructions into the
// rest of the library.
#pragma once

namespace zv {
namespace {

// Single-query kernels.

// Where to prefetch while a group runs: either a byte range read linearly
// (contiguous rows), or one cache line per row and 16 columns (row pointers).
struct Prefetch {
  const char* next = nullptr;
  const char* end = nullptr;
  const float* const* rows = nullptr;
  int row_count = 0;
};

template <class I>
constexpr int kGroup = I::kLanes * I::kSingleTiles;

template <class I>
inline int64_t prefetch_rows(int32_t dim) {
  const int64_t row_bytes = static_cast<int64_t>(dim) * 4;
  int64_t rows = (kPrefetchLeadBytes + row_bytes - 1) / row_bytes;
  if (rows < kGroup<I>) rows = kGroup<I>;
  return (rows + kGroup<I> - 1) / kGroup<I> * kGroup<I>;
}

// Scores the T tiles whose row pointers are r[0 .. T * kLanes - 1] (every
// pointer valid), storing the first `valid` scores.
template <class I, int T, bool kLinear>
ZV_KERNEL_INLINE void run_group(const float* const* r, const float* q, int32_t dim, float* out,
                                int valid, Prefetch pf) {
  using V = typename I::V;
  constexpr int L = I::kLanes;
  // Bytes of a tile that one step (four columns) reads.
  constexpr int kStepBytes = 16 * L * T;
  V acc[T];
  for (int t = 0; t < T; ++t) acc[t] = I::zero();
  int32_t c = 0;
  for (; c <= dim - 4; c += 4) {  // no overflow near INT32_MAX
    if constexpr (kLinear) {
      if (pf.end - pf.next >= kStepBytes) {  // no arithmetic on a null pf.next
        for (int l = 0; l < kStepBytes / 64; ++l) _mm_prefetch(pf.next + 64 * l, _MM_HINT_T2);
        pf.next += kStepBytes;
      }
    } else {
      if ((c & 15) == 0) {
        for (int l = 0; l < pf.row_count; ++l)
          _mm_prefetch(reinterpret_cast<const char*>(pf.rows[l] + c), _MM_HINT_T0);
      }
    }
    const V q0 = I::broadcast(q + c);
    const V q1 = I::broadcast(q + c + 1);
    const V q2 = I::broadcast(q + c + 2);
    const V q3 = I::broadcast(q + c + 3);
    for (int t = 0; t < T; ++t) {
      const float* const* rt = r + L * t;
      V a[4];
      for (int k = 0; k < 4; ++k) a[k] = I::load_pieces(rt, k, c);
      I::transpose4(a);
      acc[t] = I::fma(a[0], q0, acc[t]);
      acc[t] = I::fma(a[1], q1, acc[t]);
      acc[t] = I::fma(a[2], q2, acc[t]);
      acc[t] = I::fma(a[3], q3, acc[t]);
    }
  }
  const int32_t rem = dim - c;
  if (rem > 0) {
    const auto m = I::piece_mask(rem);
    for (int t = 0; t < T; ++t) {
      const float* const* rt = r + L * t;
      V a[4];
      for (int k = 0; k < 4; ++k) a[k] = I::load_pieces_tail(rt, k, c, m);
      I::transpose4(a);
      for (int j = 0; j < rem; ++j) acc[t] = I::fma(a[j], I::broadcast(q + c + j), acc[t]);
    }
  }
  for (int t = 0; t < T; ++t) {
    const int lanes = valid - L * t;
    if (lanes >= L) I::store(out + L * t, acc[t]);
    else if (lanes > 0) I::masked_store(out + L * t, I::lane_mask(lanes), acc[t]);
  }
}

// The smallest group of whole tiles that holds `valid` rows.
template <class I, int T, bool kLinear>
ZV_KERNEL_INLINE void run_any(const float* const* r, const float* q, int32_t dim, float* out,
                              int valid, const Prefetch& pf) {
  if constexpr (T == 1) {
    run_group<I, 1, kLinear>(r, q, dim, out, valid, pf);
  } else {
    if (valid > (T - 1) * I::kLanes) run_group<I, T, kLinear>(r, q, dim, out, valid, pf);
    else run_any<I, T - 1, kLinear>(r, q, dim, out, valid, pf);
  }
}

ZV_KERNEL void fill_zero(int64_t n, float* out) {
  for (int64_t i = 0; i < n; ++i) out[i] = 0.0f;
}

template <class I>
ZV_KERNEL void block_ahead(const float* rows, int64_t n, int64_t ahead, const float* query,
                           int32_t dim, float* out) {
  constexpr int G = kGroup<I>;
  if (dim <= 0) return fill_zero(n, out);
  const int64_t stride = dim;
  const int64_t total = n + (ahead > 0 ? ahead : 0);
  const int64_t lead = prefetch_rows<I>(dim);
  const char* const bytes_end = reinterpret_cast<const char*>(rows + total * stride);
  const float* r[G];
  for (int64_t i = 0; i < n; i += G) {
    const int valid = static_cast<int>(n - i < G ? n - i : G);
    for (int l = 0; l < G; ++l) r[l] = rows + (i + (l < valid ? l : valid - 1)) * stride;
    Prefetch pf;
    if (i + lead < total) {
      pf.next = reinterpret_cast<const char*>(rows + (i + lead) * stride);
      const int64_t stop = i + lead + G;
      pf.end = stop < total ? reinterpret_cast<const char*>(rows + stop * stride) : bytes_end;
    }
    run_any<I, I::kSingleTiles, true>(r, query, dim, out + i, valid, pf);
  }
}

template <class I>
ZV_KERNEL void gather_ahead(const float* const* rows, int64_t n, int64_t ahead,
                            const float* query, int32_t dim, float* out) {
  constexpr int G = kGroup<I>;
  if (dim <= 0) return fill_zero(n, out);
  const int64_t total = n + (ahead > 0 ? ahead : 0);
  const float* r[G];
  for (int64_t i = 0; i < n; i += G) {
    const int valid = static_cast<int>(n - i < G ? n - i : G);
    for (int l = 0; l < G; ++l) r[l] = rows[i + (l < valid ? l : valid - 1)];
    Prefetch pf;
    const int64_t next = i + G;
    if (next < total) {
      pf.rows = rows + next;
      pf.row_count = static_cast<int>(total - next < G ? total - next : G);
    }
    run_any<I, I::kSingleTiles, false>(r, query, dim, out + i, valid, pf);
  }
}

template <class I>
ZV_KERNEL void block(const float* rows, int64_t n, const float* query, int32_t dim, float* out) {
  block_ahead<I>(rows, n, 0, query, dim, out);
}

template <class I>
ZV_KERNEL void gather(const float* const* rows, int64_t n, const float* query, int32_t dim,
                      float* out) {
  gather_ahead<I>(rows, n, 0, query, dim, out);
}

// Multi-query kernels.

// Columns j .. end-1 of a tile (see multi_tile). With kAhead, also
// prefetches the queries kMultiQtAhead columns on (which must exist).
template <class I, int R, int QV, bool kTail, bool kAhead>
ZV_KERNEL_INLINE void multi_columns(const float* const* r, const float* const* next,
                                    const float* qt, int64_t nq, int32_t j, int32_t end,
                                    typename I::V (&acc)[R][QV], typename I::LaneMask tail) {
  using V = typename I::V;
  constexpr int L = I::kLanes;
  for (; j < end; ++j) {
    const float* qc = qt + j * nq;
    if ((j & 15) == 0) {
#pragma GCC unroll 16
      for (int i = 0; i < R; ++i) _mm_prefetch(reinterpret_cast<const char*>(next[i] + j), _MM_HINT_T0);
    }
    if constexpr (kAhead) {
      // One line per 16 queries; the first query of each is a real one.
#pragma GCC unroll 4
      for (int v = 0; v < QV * L / 16; ++v)
        _mm_prefetch(reinterpret_cast<const char*>(qc + kMultiQtAhead * nq + 16 * v), _MM_HINT_T0);
    }
    V qv[QV];
#pragma GCC unroll 4
    for (int v = 0; v < QV; ++v)
      qv[v] = (kTail && v == QV - 1) ? I::masked_load(qc + L * v, tail) : I::load(qc + L * v);
#pragma GCC unroll 16
    for (int i = 0; i < R; ++i) {
      const V b = I::broadcast(r[i] + j);
#pragma GCC unroll 4
      for (int v = 0; v < QV; ++v) acc[i][v] = I::fma(b, qv[v], acc[i][v]);
    }
  }
}

// Scores R rows (pointers r[0 .. R-1], every one valid) against QV query
// vectors starting at qt (column 0 of the tile's first query), storing rows
// 0 .. valid-1 at out + row * nq; with kTail the last vector holds only the
// lanes of `tail` and reads and writes no others. Meanwhile the first lines
// of the `next` rows are brought to L1, and the queries too when
// `qt_ahead` (a tile's queries larger than L1 holds beside its rows).
template <class I, int R, int QV, bool kTail>
ZV_KERNEL_INLINE void multi_tile(const float* const* r, const float* const* next, const float* qt,
                                 int64_t nq, int32_t dim, float* out, int valid,
                                 typename I::LaneMask tail, bool qt_ahead) {
  using V = typename I::V;
  constexpr int L = I::kLanes;
  V acc[R][QV];
#pragma GCC unroll 16
  for (int i = 0; i < R; ++i)
#pragma GCC unroll 4
    for (int v = 0; v < QV; ++v) acc[i][v] = I::zero();
  int32_t j = 0;
  if (qt_ahead && dim > kMultiQtAhead) {
    j = dim - kMultiQtAhead;
    multi_columns<I, R, QV, kTail, true>(r, next, qt, nq, 0, j, acc, tail);
  }
  multi_columns<I, R, QV, kTail, false>(r, next, qt, nq, j, dim, acc, tail);
#pragma GCC unroll 16
  for (int i = 0; i < R; ++i) {
    if (i >= valid) break;
#pragma GCC unroll 4
    for (int v = 0; v < QV; ++v) {
      float* o = out + i * nq + L * v;
      if (kTail && v == QV - 1) I::masked_store(o, tail, acc[i][v]);
      else I::store(o, acc[i][v]);
    }
  }
}

// Row pointers of the tile starting at row i; a partial tile repeats its
// last row. Returns the rows that are real.
template <int R, class RowAt>
ZV_KERNEL_INLINE int fill_tile(RowAt row_at, int64_t n, int64_t i, const float** r) {
  const int valid = static_cast<int>(n - i < R ? n - i : R);
#pragma GCC unroll 16
  for (int k = 0; k < R; ++k) r[k] = row_at(i + (k < valid ? k : valid - 1));
  return valid;
}

// Every row of the call against QV query vectors from qt: narrower tiles
// take more rows, up to kMultiMaxRows, to keep as many chains in flight.
template <class I, int QV, bool kTail, class RowAt>
ZV_KERNEL_INLINE void multi_rows(RowAt row_at, int64_t n, const float* qt, int64_t nq, int32_t dim,
                                 float* out, typename I::LaneMask tail) {
  constexpr int kEven = I::kMultiRows * I::kMultiVectors / QV;
  constexpr int R = kEven < I::kMultiMaxRows ? kEven : I::kMultiMaxRows;
  const bool qt_ahead = int64_t{dim} * QV * I::kLanes * 4 > kMultiQtInL1Bytes;
  // The rows of this tile and of the next, whose lines are prefetched into
  // L1 while this one runs (the last tile prefetches its own).
  const float* tiles[2][R];
  int cur = 0;
  int valid = fill_tile<R>(row_at, n, 0, tiles[0]);
  for (int64_t i = 0; i < n; i += R) {
    const int64_t following = i + R;
    int next_valid = 0;
    if (following < n) next_valid = fill_tile<R>(row_at, n, following, tiles[cur ^ 1]);
    const float* const* next = following < n ? tiles[cur ^ 1] : tiles[cur];
    multi_tile<I, R, QV, kTail>(tiles[cur], next, qt, nq, dim, out + i * nq, valid, tail,
                                qt_ahead);
    cur ^= 1;
    valid = next_valid;
  }
}

// The query vectors of one column group: nv of them, the last partial
// unless `lanes` fills it.
template <class I, int QV, class RowAt>
ZV_KERNEL_INLINE void multi_vectors(RowAt row_at, int64_t n, const float* qt, int64_t nq,
                                    int32_t dim, float* out, int32_t queries) {
  constexpr int L = I::kLanes;
  if constexpr (QV > 1) {
    if (queries <= (QV - 1) * L) return multi_vectors<I, QV - 1>(row_at, n, qt, nq, dim, out, queries);
  }
  const int last = queries - (QV - 1) * L;
  if (last == L) multi_rows<I, QV, false>(row_at, n, qt, nq, dim, out, I::lane_mask(L));
  else multi_rows<I, QV, true>(row_at, n, qt, nq, dim, out, I::lane_mask(last));
}

template <class I, class RowAt>
ZV_KERNEL_INLINE void multi(RowAt row_at, int64_t n, const float* qt, int32_t nq, int32_t dim,
                            float* out) {
  if (n <= 0 || nq <= 0) return;
  if (dim <= 0) return fill_zero(n * nq, out);
  // Queries outermost: a tile's queries stay in L1 while every row of the
  // call (a block the caller keeps in L2) passes.
  constexpr int64_t W = I::kLanes * I::kMultiVectors;
  for (int64_t q0 = 0; q0 < nq; q0 += W) {  // 64-bit: nq may be near INT32_MAX
    const int32_t queries = static_cast<int32_t>(nq - q0 < W ? nq - q0 : W);
    multi_vectors<I, I::kMultiVectors>(row_at, n, qt + q0, nq, dim, out + q0, queries);
  }
}

struct BlockRows {
  const float* rows;
  int64_t stride;
  const float* operator()(int64_t i) const { return rows + i * stride; }
};

struct GatherRows {
  const float* const* rows;
  const float* operator()(int64_t i) const { return rows[i]; }
};

template <class I>
ZV_KERNEL void block_multi(const float* rows, int64_t n, const float* qt, int32_t nq, int32_t dim,
                           float* out) {
  multi<I>(BlockRows{rows, dim > 0 ? dim : 0}, n, qt, nq, dim, out);
}

template <class I>
ZV_KERNEL void gather_multi(const float* const* rows, int64_t n, const float* qt, int32_t nq,
                            int32_t dim, float* out) {
  multi<I>(GatherRows{rows}, n, qt, nq, dim, out);
}

template <class I>
constexpr ScoreKernels kernel_table(const char* name) {
  return ScoreKernels{name,        block<I>,       gather<I>,       block_ahead<I>,
                      gather_ahead<I>, block_multi<I>, gather_multi<I>};
}

}  // namespace
}  // namespace zv
