// Id maps under hostile but valid id patterns, through the public interface:
// a metadata write with no columns is one map insert per id, a metadata read
// one lookup per id, and a delete one tombstone insert per id. Every pattern
// is reported as a ratio to random 64-bit ids measured in the same process
// (counter "vs_random": 1.0 = as fast as random ids, 0.5 = twice as slow).
//
// Patterns: random 64-bit; sequential; multiples of 2^20; multiples of 2^32;
// multiples of 2^40 (high bits only: one bucket for a hash that keeps the low
// bits); negative sequential; ids whose low 20 bits repeat (a stride-2^20
// walk with small offsets); and ids crafted against this map's own hash
// function (its output's low 24 bits all zero), which is what an adversary who
// knows the unkeyed hash can send.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "zv_runtime.h"

namespace {

enum Pattern { kRandom, kSequential, kStride20, kStride32, kStride40, kNegative, kLowBitsRepeat, kCrafted };
const char* const kNames[] = {"random",   "sequential", "mult_2^20",  "mult_2^32",
                              "mult_2^40", "negative",   "low_repeat", "crafted_vs_hash"};

// Inverse of the map's 64-bit finaliser (x ^= x >> 33; x *= c1; x ^= x >> 33;
// x *= c2; x ^= x >> 33), so that hash(unmix(h)) == h.
uint64_t unshift33(uint64_t x) { return x ^ (x >> 33); }  // its own inverse
uint64_t unmix(uint64_t h) {
  const uint64_t inv_c2 = 0x9cb4b2f8129337dbULL;  // c2^-1 mod 2^64
  const uint64_t inv_c1 = 0x4f74430c22a54005ULL;  // c1^-1 mod 2^64
  h = unshift33(h);
  h *= inv_c2;
  h = unshift33(h);
  h *= inv_c1;
  return unshift33(h);
}

std::vector<int64_t> make_ids(Pattern p, int64_t n) {
  std::vector<int64_t> ids(static_cast<size_t>(n));
  std::mt19937_64 rng(42);
  for (int64_t i = 0; i < n; ++i) {
    int64_t v = 0;
    switch (p) {
      case kRandom: v = static_cast<int64_t>(rng()); break;
      case kSequential: v = i; break;
      case kStride20: v = i << 20; break;
      case kStride32: v = i << 32; break;
      case kStride40: v = i << 40; break;
      case kNegative: v = -1 - i; break;
      case kLowBitsRepeat: v = (i >> 4 << 20) | (i & 15); break;
      case kCrafted: v = static_cast<int64_t>(unmix(static_cast<uint64_t>(i + 1) << 24)); break;
    }
    ids[static_cast<size_t>(i)] = v;
  }
  return ids;
}

enum Op { kMetaInsert, kMetaLookup, kTombstone };

// Seconds per id for one operation over one pattern (best of a few runs).
double seconds_per_id(Op op, Pattern p, int64_t n) {
  const std::vector<int64_t> ids = make_ids(p, n);
  const std::vector<int64_t> values(ids.size(), 7);
  std::vector<int64_t> out(ids.size());
  double best = 1e9;
  for (int rep = 0; rep < 3; ++rep) {
    zv_index* ix = zv_index_new(0, 0);
    if (op == kMetaLookup) zv_index_set_rowmeta(ix, ids.data(), values.data(), nullptr, 0, static_cast<int32_t>(n));
    const auto t0 = std::chrono::steady_clock::now();
    switch (op) {
      case kMetaInsert:
        zv_index_set_rowmeta(ix, ids.data(), values.data(), nullptr, 0, static_cast<int32_t>(n));
        break;
      case kMetaLookup:
        zv_index_export_rowmeta(ix, ids.data(), static_cast<int32_t>(n), out.data(), nullptr);
        benchmark::DoNotOptimize(out.data());
        break;
      case kTombstone:
        zv_index_delete(ix, ids.data(), static_cast<int32_t>(n));
        break;
    }
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (s < best) best = s;
    zv_index_free(ix);
  }
  return best / static_cast<double>(n);
}

void BM_IdMap(benchmark::State& state) {
  const Op op = static_cast<Op>(state.range(0));
  const Pattern p = static_cast<Pattern>(state.range(1));
  const int64_t n = state.range(2);
  double mine = 0, random = 0;
  for (auto _ : state) {
    // The baseline is measured right beside the pattern, in the same process.
    random = seconds_per_id(op, kRandom, n);
    mine = seconds_per_id(op, p, n);
    state.SetIterationTime(mine * static_cast<double>(n));
  }
  state.SetItemsProcessed(state.iterations() * n);
  state.counters["ns_per_id"] = mine * 1e9;
  state.counters["vs_random"] = random / mine;
  static const char* const ops[] = {"insert", "lookup", "tombstone"};
  state.SetLabel(std::string(ops[op]) + " " + kNames[p]);
}

void args(benchmark::internal::Benchmark* b) {
  for (int op = 0; op < 3; ++op) {
    for (int p = 0; p <= kCrafted; ++p) {
      // Ids crafted against the hash collide in every table up to 2^24
      // slots; keep their count small enough to finish.
      const int64_t n = p == kCrafted ? (1 << 14) : (1 << 20);
      b->Args({op, p, n});
    }
  }
  b->Args({0, kCrafted, 1 << 12});
  b->Args({0, kCrafted, 1 << 13});
}

BENCHMARK(BM_IdMap)->Apply(args)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
