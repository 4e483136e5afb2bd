// Shared pieces of the benchmarks: deterministic data and the baselines that
// every ratio is measured against in the same process.
#pragma once

#include <benchmark/benchmark.h>
#include <immintrin.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "zv_runtime.h"

namespace zvbench {

// Uniform floats in [-1, 1) from a fixed seed.
inline std::vector<float> random_floats(int64_t count, uint64_t seed) {
  std::vector<float> out(static_cast<size_t>(count));
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  for (auto& x : out) x = dist(rng);
  return out;
}

inline std::vector<int64_t> sequential_ids(int64_t n, int64_t first = 0) {
  std::vector<int64_t> ids(static_cast<size_t>(n));
  for (int64_t i = 0; i < n; ++i) ids[static_cast<size_t>(i)] = first + i;
  return ids;
}

// `parts` partitions of near-equal size over `rows` rows, keys 0, 1, ...
struct EqualPartitions {
  std::vector<int64_t> keys;
  std::vector<int32_t> offsets, sizes;
  EqualPartitions(int64_t rows, int32_t parts) : keys(parts), offsets(parts), sizes(parts) {
    for (int32_t p = 0; p < parts; ++p) {
      keys[p] = p;
      offsets[p] = static_cast<int32_t>(rows * p / parts);
      sizes[p] = static_cast<int32_t>(rows * (p + 1) / parts - offsets[p]);
    }
  }
};

// A built index over n random rows in `parts` equal partitions (keys 0..).
struct BuiltBase {
  zv_index* index = nullptr;
  std::vector<float> vectors;
  std::vector<int64_t> ids;
  int64_t n = 0;
  int32_t dim = 0;
  BuiltBase(int64_t rows, int32_t d, int32_t parts = 1, uint64_t seed = 1) : n(rows), dim(d) {
    vectors = random_floats(rows * d, seed);
    ids = sequential_ids(rows);
    const EqualPartitions table(rows, parts);
    index = zv_index_new(d, 0);
    zv_index_build(index, vectors.data(), rows, d, ids.data(), table.keys.data(),
                   table.offsets.data(), table.sizes.data(), parts);
  }
  ~BuiltBase() { zv_index_free(index); }
  BuiltBase(const BuiltBase&) = delete;
  BuiltBase& operator=(const BuiltBase&) = delete;
};

// The single-thread memory-read limit: a streaming sum over a buffer far
// larger than the caches, vectorised so that arithmetic is never the limit
// (wide loads and independent accumulators where the CPU has AVX2).
__attribute__((target("avx2"))) inline double stream_sum_avx2(const float* data, size_t count) {
  __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
  size_t i = 0;
  for (; i + 32 <= count; i += 32) {
    a0 = _mm256_add_ps(a0, _mm256_loadu_ps(data + i));
    a1 = _mm256_add_ps(a1, _mm256_loadu_ps(data + i + 8));
    a2 = _mm256_add_ps(a2, _mm256_loadu_ps(data + i + 16));
    a3 = _mm256_add_ps(a3, _mm256_loadu_ps(data + i + 24));
  }
  alignas(32) float lanes[8];
  _mm256_store_ps(lanes, _mm256_add_ps(_mm256_add_ps(a0, a1), _mm256_add_ps(a2, a3)));
  double total = 0;
  for (float x : lanes) total += x;
  for (; i < count; ++i) total += data[i];
  return total;
}

__attribute__((target("avx512f"))) inline double stream_sum_avx512(const float* data,
                                                                    size_t count) {
  __m512 a0 = _mm512_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
  size_t i = 0;
  for (; i + 64 <= count; i += 64) {
    a0 = _mm512_add_ps(a0, _mm512_loadu_ps(data + i));
    a1 = _mm512_add_ps(a1, _mm512_loadu_ps(data + i + 16));
    a2 = _mm512_add_ps(a2, _mm512_loadu_ps(data + i + 32));
    a3 = _mm512_add_ps(a3, _mm512_loadu_ps(data + i + 48));
  }
  double total = _mm512_reduce_add_ps(_mm512_add_ps(_mm512_add_ps(a0, a1), _mm512_add_ps(a2, a3)));
  for (; i < count; ++i) total += data[i];
  return total;
}

inline double stream_sum(const float* data, size_t count) {
  if (__builtin_cpu_supports("avx512f")) return stream_sum_avx512(data, count);
  if (__builtin_cpu_supports("avx2")) return stream_sum_avx2(data, count);
  float acc[16] = {0};
  size_t i = 0;
  for (; i + 16 <= count; i += 16) {
    for (int l = 0; l < 16; ++l) acc[l] += data[i + l];
  }
  double total = 0;
  for (int l = 0; l < 16; ++l) total += acc[l];
  for (; i < count; ++i) total += data[i];
  return total;
}

inline void report_bytes(benchmark::State& state, double bytes_per_iter, double rows_per_iter) {
  state.counters["bytes_per_second"] =
      benchmark::Counter(bytes_per_iter, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["rows_per_second"] =
      benchmark::Counter(rows_per_iter, benchmark::Counter::kIsIterationInvariantRate);
}

// Lane-FMAs per second of independent register chains: twelve chains cover
// the fma latency on both ports; no memory operand, nothing spilled.
#define ZV_FMA12(op)                                                                   \
  asm volatile(op " %[x], %[y], %[a0]\n\t" op " %[x], %[y], %[a1]\n\t"              \
               op " %[x], %[y], %[a2]\n\t" op " %[x], %[y], %[a3]\n\t"              \
               op " %[x], %[y], %[a4]\n\t" op " %[x], %[y], %[a5]\n\t"              \
               op " %[x], %[y], %[a6]\n\t" op " %[x], %[y], %[a7]\n\t"              \
               op " %[x], %[y], %[a8]\n\t" op " %[x], %[y], %[a9]\n\t"              \
               op " %[x], %[y], %[a10]\n\t" op " %[x], %[y], %[a11]"                  \
               : [a0] "+v"(a0), [a1] "+v"(a1), [a2] "+v"(a2), [a3] "+v"(a3), [a4] "+v"(a4), \
                 [a5] "+v"(a5), [a6] "+v"(a6), [a7] "+v"(a7), [a8] "+v"(a8), [a9] "+v"(a9), \
                 [a10] "+v"(a10), [a11] "+v"(a11)                                      \
               : [x] "v"(x), [y] "v"(y))

__attribute__((target("avx512f"))) inline double peak_avx512(int64_t iters) {
  __m512 a0 = _mm512_set1_ps(0.001f), a1 = a0, a2 = a0, a3 = a0, a4 = a0, a5 = a0, a6 = a0,
         a7 = a0, a8 = a0, a9 = a0, a10 = a0, a11 = a0;
  const __m512 x = _mm512_set1_ps(0.999f), y = _mm512_set1_ps(1e-7f);
  for (int64_t i = 0; i < iters; ++i) ZV_FMA12("vfmadd231ps");
  const __m512 s = _mm512_add_ps(_mm512_add_ps(_mm512_add_ps(a0, a1), _mm512_add_ps(a2, a3)),
                                 _mm512_add_ps(_mm512_add_ps(a4, a5), _mm512_add_ps(a6, a7)));
  return _mm512_reduce_add_ps(_mm512_add_ps(s, _mm512_add_ps(_mm512_add_ps(a8, a9),
                                                             _mm512_add_ps(a10, a11))));
}

__attribute__((target("avx2,fma"))) inline double peak_avx2(int64_t iters) {
  __m256 a0 = _mm256_set1_ps(0.001f), a1 = a0, a2 = a0, a3 = a0, a4 = a0, a5 = a0, a6 = a0,
         a7 = a0, a8 = a0, a9 = a0, a10 = a0, a11 = a0;
  const __m256 x = _mm256_set1_ps(0.999f), y = _mm256_set1_ps(1e-7f);
  for (int64_t i = 0; i < iters; ++i) ZV_FMA12("vfmadd231ps");
  const __m256 s = _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(a0, a1), _mm256_add_ps(a2, a3)),
                                 _mm256_add_ps(_mm256_add_ps(a4, a5), _mm256_add_ps(a6, a7)));
  const __m256 t = _mm256_add_ps(s, _mm256_add_ps(_mm256_add_ps(a8, a9), _mm256_add_ps(a10, a11)));
  alignas(32) float l[8];
  _mm256_store_ps(l, t);
  return l[0] + l[7];
}

// Lanes of the path the library picks on this CPU: 16 with AVX-512, 8 with
// AVX2 + FMA, else 1 (no vector peak measured).
inline int library_lanes() {
  if (__builtin_cpu_supports("avx512f")) return 16;
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return 8;
  return 1;
}

// Lane-FMAs per second of the register loop above, for `lanes` 16 or 8.
inline double peak_rate(benchmark::State& state, int lanes) {
  const int64_t iters = 1 << 22;
  double sink = 0;
  for (auto _ : state) sink += lanes == 16 ? peak_avx512(iters) : lanes == 8 ? peak_avx2(iters) : 0;
  benchmark::DoNotOptimize(sink);
  return static_cast<double>(iters) * 12 * lanes;
}

}  // namespace zvbench
