// Differential driver: generates long random call sequences, runs each call on
// the engine (through the public interface only) and on the reference model,
// and compares every result and every byte of every output array. Output
// arrays are pre-filled with a canary and carry a tail of spare elements, so a
// write past the reported count shows up as a difference.
//
// Two front ends share it: the seeded, time-boxed gtest run and the libFuzzer
// target. A mismatch is shrunk to a short call list and printed as C code.
#pragma once

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "reference_model.h"
#include "zv_runtime.h"

namespace zvdiff {

// --- random choices --------------------------------------------------------

// Choices come either from a seeded generator or from fuzzer bytes (so the
// fuzzer steers what is called); bulk content (vector floats) always comes from
// a generator seeded by the choices, which keeps inputs short.
class Source {
 public:
  explicit Source(uint64_t seed) : state_(seed), bulk_(seed ^ 0x9e3779b97f4a7c15ULL) {}
  Source(const uint8_t* data, size_t size) : data_(data), size_(size), bytes_(true) {
    uint64_t seed = 0;
    for (size_t i = 0; i < 8 && i < size; ++i) seed = seed << 8 | data[i];
    pos_ = std::min<size_t>(8, size);
    bulk_ = seed ^ 0x9e3779b97f4a7c15ULL;
  }

  bool exhausted() const { return bytes_ && pos_ >= size_; }

  // A value in [0, n), n >= 1.
  uint64_t below(uint64_t n) {
    if (n <= 1) return 0;
    if (!bytes_) return next(state_) % n;
    uint64_t v = 0;
    int need = n <= 256 ? 1 : n <= 65536 ? 2 : n <= (uint64_t{1} << 32) ? 4 : 8;
    for (int i = 0; i < need; ++i) v = v << 8 | (pos_ < size_ ? data_[pos_++] : 0);
    return v % n;
  }
  bool chance(int percent) { return static_cast<int>(below(100)) < percent; }
  int64_t range(int64_t lo, int64_t hi) {  // inclusive
    return lo + static_cast<int64_t>(below(static_cast<uint64_t>(hi - lo) + 1));
  }
  uint64_t bulk() { return next(bulk_); }
  uint64_t bulk_below(uint64_t n) { return n <= 1 ? 0 : bulk() % n; }

  template <class T, size_t N>
  T pick(const T (&options)[N]) {
    return options[below(N)];
  }

 private:
  static uint64_t next(uint64_t& s) {  // splitmix64
    uint64_t z = (s += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  uint64_t state_ = 0;
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t pos_ = 0;
  bool bytes_ = false;
  uint64_t bulk_ = 0;
};

// --- operations ------------------------------------------------------------

enum class Kind {
  kNew, kBuild, kInsert, kDelete, kSetIvf, kSetNprobe, kClearIvf, kSetRowmeta,
  kAccessors, kExportBase, kVisible, kExportVisible, kSearchMvcc, kSearchFull,
  kSearchPartition, kScatter, kTuner, kHasIvf, kSearchIvf, kExportRowmeta, kMatchIds,
  kSearchFiltered, kSearchBatch,
};

inline const char* kind_name(Kind k) {
  static const char* names[] = {
      "new", "build", "insert", "delete", "set_ivf", "set_ivf_nprobe", "clear_ivf",
      "set_rowmeta", "accessors", "export_base", "visible_ids", "export_visible",
      "search_mvcc", "search_full", "search_partition", "scatter_topk", "tuner_oversized",
      "has_ivf", "search_ivf", "export_rowmeta", "match_ids", "search_filtered",
      "search_batch"};
  return names[static_cast<int>(k)];
}

// One call with all of its inputs. Field use depends on the kind:
//   n: rows (build, insert, delete, rowmeta, candidates); a, b, c, d: small
//   integer arguments (dim, k, nlist, nprobe, column counts, filter kind and
//   column, id_count, partition count, min_rows); v: 64-bit argument
//   (partition key, filter value); key: IVF key. A batch (search_batch)
//   carries the arguments of its single search, the queries end to end in
//   `query`, nq in n and the search in d (0 full, 1 partition, 2 IVF,
//   3 filtered).
struct Op {
  Kind kind = Kind::kAccessors;
  int64_t n = 0;
  int32_t a = 0, b = 0, c = 0, d = 0;
  int64_t v = 0;
  uint64_t key = 0;
  std::vector<float> floats;   // vectors, centroids
  std::vector<float> query;
  std::vector<int64_t> ids;    // ids, candidates, list ids
  std::vector<int64_t> ints;   // partition keys, primary values
  std::vector<int64_t> cols;   // metadata column values
  std::vector<int32_t> offs;   // partition offsets, list offsets
  std::vector<int32_t> sizes;  // partition sizes
};

template <class T>
const T* ptr(const std::vector<T>& v) {
  return v.empty() ? nullptr : v.data();
}

// --- generation ------------------------------------------------------------

inline constexpr int64_t kLimit = int64_t{1} << 40;

class Generator {
 public:
  Generator(Source& src) : s_(src) {}

  Op next(const zvref::Model& m) {
    const uint64_t r = s_.below(1080);
    if (r < 8) return gen_new();
    if (r < 70) return gen_build(m);
    if (r < 200) return gen_insert(m);
    if (r < 270) return gen_delete(m);
    if (r < 320) return gen_set_ivf(m);
    if (r < 335) return gen_set_nprobe(m);
    if (r < 342) return simple(Kind::kClearIvf);
    if (r < 390) return gen_set_rowmeta(m);
    if (r < 410) return simple(Kind::kAccessors);
    if (r < 425) return simple(Kind::kExportBase);
    if (r < 445) return simple(Kind::kVisible);
    if (r < 470) return with_query(m, Kind::kExportVisible);
    if (r < 560) return gen_candidates(m, Kind::kSearchMvcc);
    if (r < 620) return gen_search(m, Kind::kSearchFull);
    if (r < 670) return gen_partition_search(m);
    if (r < 740) return gen_candidates(m, Kind::kScatter);
    if (r < 755) return gen_tuner(m);
    if (r < 765) return gen_has_ivf();
    if (r < 850) return gen_search(m, Kind::kSearchIvf);
    if (r < 880) return gen_export_rowmeta(m);
    if (r < 910) return gen_filter(m, Kind::kMatchIds);
    if (r < 1000) return gen_filter(m, Kind::kSearchFiltered);
    return gen_batch(m);
  }

  // Starts a sequence: a fresh index and the id universe it draws from.
  Op gen_new() {
    Op op;
    op.kind = Kind::kNew;
    static const int32_t dims[] = {0, 1, 1, 2, 2, 3, 3, 4, 5, 7, 8, 8, 9, 15, 16, 17, 31, 32, 33, 64, 100, 300, -1};
    op.a = s_.pick(dims);
    op.b = static_cast<int32_t>(s_.range(-3, 3));
    universe_ = s_.pick(kUniverses);
    float_mode_ = static_cast<int>(s_.below(4));
    sparse_ = s_.chance(25);
    return op;
  }

 private:
  static constexpr int64_t kUniverses[] = {4, 8, 16, 40, 100, 300, 5000};

  Op simple(Kind k) {
    Op op;
    op.kind = k;
    return op;
  }

  float gen_float(int mode) {
    switch (mode) {
      case 0:  // few distinct values: many equal scores
        return static_cast<float>(static_cast<int>(s_.bulk_below(5)) - 2);
      case 1:
        return static_cast<float>(static_cast<double>(s_.bulk_below(1u << 24)) / (1u << 23) - 1.0);
      case 2: {  // quarters: exact, still tie-prone
        return static_cast<float>(static_cast<int>(s_.bulk_below(17)) - 8) / 4.0f;
      }
      default: {
        static const float specials[] = {
            std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::quiet_NaN(),
            std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
            0.0f, -0.0f, 1e30f, -1e30f, 1e20f, -1e20f, 3.4e38f, -3.4e38f, 1e-40f, -1e-45f,
            1e-23f, 1.0f, -1.0f, 0.5f};
        if (s_.bulk_below(4) == 0) return specials[s_.bulk_below(sizeof specials / sizeof *specials)];
        return static_cast<float>(static_cast<double>(s_.bulk_below(1u << 24)) / (1u << 20) - 8.0);
      }
    }
  }

  std::vector<float> gen_floats(int64_t count) {
    std::vector<float> f(static_cast<size_t>(std::max<int64_t>(count, 0)));
    const int mode = s_.chance(70) ? float_mode_ : static_cast<int>(s_.below(4));
    for (auto& x : f) x = gen_float(mode);
    return f;
  }

  std::vector<float> gen_query(const zvref::Model& m) {
    std::vector<float> q = gen_floats(std::max(m.dim(), 0));
    if (!q.empty() && s_.chance(3)) q[s_.bulk_below(q.size())] = std::numeric_limits<float>::quiet_NaN();
    return q;
  }

  // An id valid for a base (0 <= id < 2^40).
  int64_t base_id() {
    if (sparse_ && s_.chance(30)) {
      switch (s_.below(4)) {
        case 0: return kLimit - 1 - s_.range(0, 3);
        case 1: return static_cast<int64_t>(s_.bulk() % kLimit);
        case 2: return s_.range(1, 255) << 32;
        default: return s_.range(0, 1 << 12) << 20;
      }
    }
    return s_.range(0, universe_ - 1);
  }

  // Any id a host might pass: base-like ids, ids the index holds, and the
  // edge values of the 64-bit range.
  int64_t any_id(const zvref::Model& m) {
    const uint64_t r = s_.below(100);
    if (r < 60) return base_id();
    if (r < 80 && !m.base_ids().empty()) return m.base_ids()[s_.below(m.base_ids().size())];
    if (r < 90 && !m.delta_ids().empty()) return m.delta_ids()[s_.below(m.delta_ids().size())];
    static const int64_t edges[] = {-1, -2, std::numeric_limits<int64_t>::min(),
                                    std::numeric_limits<int64_t>::max(), kLimit, kLimit + 1,
                                    kLimit - 1, int64_t{1} << 32, -(int64_t{1} << 32)};
    return s_.pick(edges);
  }

  int64_t rows_count() {
    const uint64_t r = s_.below(100);
    if (r < 10) return 0;
    if (r < 70) return s_.range(1, 24);
    if (r < 93) return s_.range(25, 120);
    return s_.range(121, 600);
  }

  int32_t pick_k(int64_t rows) {
    const uint64_t r = s_.below(100);
    if (r < 2) return std::numeric_limits<int32_t>::min();
    if (r < 6) return static_cast<int32_t>(s_.range(-2, 0));
    if (r < 45) return static_cast<int32_t>(s_.range(1, 5));
    if (r < 65) return static_cast<int32_t>(s_.range(6, 40));
    const int64_t around = std::min<int64_t>(rows, 900);
    return static_cast<int32_t>(std::max<int64_t>(1, around + s_.range(-2, 8)));
  }

  Op gen_build(const zvref::Model& m) {
    Op op;
    op.kind = Kind::kBuild;
    // Usually keep the dimension (a change is refused while delta rows or IVF
    // entries exist); sometimes change it anyway.
    static const int32_t dims[] = {0, 1, 2, 3, 4, 5, 8, 9, 16, 17, 33, 100};
    op.a = s_.chance(80) && m.dim() >= 0 ? m.dim() : s_.pick(dims);
    const uint64_t reject = s_.below(100);
    if (reject < 6) {
      // Size limits, refused before any array is read (so none is passed).
      switch (s_.below(8)) {
        case 0: op.n = -1; break;
        case 1: op.n = kLimit + 1; break;
        case 2: op.n = std::numeric_limits<int64_t>::max(); break;
        case 3: op.n = std::numeric_limits<int64_t>::min(); break;
        case 4: op.a = static_cast<int32_t>(s_.pick(kDims2)); op.n = kLimit / op.a + 1; break;
        case 5: op.a = std::numeric_limits<int32_t>::max(); op.n = (kLimit >> 31) + 1; break;
        case 6: op.a = -1; op.n = 3; break;
        default: op.a = std::numeric_limits<int32_t>::min(); op.n = 0; break;
      }
      op.d = 0;
      return op;
    }
    op.n = rows_count();
    const int64_t dim = std::max(op.a, 0);
    op.floats = gen_floats(op.n * dim);
    op.ids.resize(op.n);
    const bool distinct = s_.chance(50);
    for (int64_t i = 0; i < op.n; ++i) {
      op.ids[i] = distinct && !sparse_ ? i * (1 + static_cast<int64_t>(s_.below(3))) : base_id();
    }
    if (distinct && op.n > 1 && s_.chance(50)) {  // shuffle
      for (int64_t i = op.n - 1; i > 0; --i) std::swap(op.ids[i], op.ids[s_.bulk_below(i + 1)]);
    }
    if (reject < 10 && op.n > 0) {  // one id out of range, anywhere
      static const int64_t bad[] = {-1, kLimit, std::numeric_limits<int64_t>::min(),
                                    std::numeric_limits<int64_t>::max(), kLimit + 12345};
      op.ids[s_.below(op.n)] = s_.pick(bad);
    }
    // Partitions: usually a proper tiling of the rows with ascending keys;
    // sometimes anything at all.
    const int32_t parts = static_cast<int32_t>(s_.below(100) < 15 ? 0 : s_.range(1, 9));
    op.d = parts;
    op.ints.resize(parts);
    op.offs.resize(parts);
    op.sizes.resize(parts);
    const bool wild = s_.chance(20);
    int64_t key = s_.range(-5, 5) * (s_.chance(20) ? (int64_t{1} << 62) / 8 : 1);
    int64_t at = 0;
    for (int32_t p = 0; p < parts; ++p) {
      key += s_.chance(15) ? 0 : s_.range(1, 7);
      op.ints[p] = key;
      const int64_t left = op.n - at;
      const int64_t size = p == parts - 1 ? left : (left > 0 ? s_.range(0, left) : 0);
      op.offs[p] = static_cast<int32_t>(at);
      op.sizes[p] = static_cast<int32_t>(size);
      at += size;
      if (wild) {
        static const int32_t odd[] = {-1, -5, 0, 1, 3, 7, 600, std::numeric_limits<int32_t>::max(),
                                      std::numeric_limits<int32_t>::min()};
        if (s_.chance(40)) op.offs[p] = s_.pick(odd);
        if (s_.chance(40)) op.sizes[p] = s_.pick(odd);
        if (s_.chance(20)) op.ints[p] = static_cast<int64_t>(s_.bulk());
      }
    }
    if (reject < 12) op.d = s_.chance(50) ? -1 : std::numeric_limits<int32_t>::min();
    return op;
  }

  static constexpr int32_t kDims2[] = {1, 2, 3, 16, 300};

  Op gen_insert(const zvref::Model& m) {
    Op op;
    op.kind = Kind::kInsert;
    op.n = s_.chance(5) ? s_.range(-3, 0) : s_.range(1, s_.chance(80) ? 8 : 60);
    const int64_t rows = std::max<int64_t>(op.n, 0);
    op.ids.resize(rows);
    for (auto& id : op.ids) id = any_id(m);
    if (rows > 1 && s_.chance(20)) op.ids[rows - 1] = op.ids[0];  // repeated in one call
    op.floats = gen_floats(rows * std::max(m.dim(), 0));
    return op;
  }

  Op gen_delete(const zvref::Model& m) {
    Op op;
    op.kind = Kind::kDelete;
    op.n = s_.chance(5) ? s_.range(-3, 0) : s_.range(1, s_.chance(80) ? 5 : 40);
    op.ids.resize(std::max<int64_t>(op.n, 0));
    for (auto& id : op.ids) id = any_id(m);
    return op;
  }

  static constexpr uint64_t kKeys[] = {0, 1, 2, 3, 7, UINT64_MAX, 0x8000000000000000ULL,
                                       0x7fffffffffffffffULL, 0x0000010000000000ULL};

  Op gen_set_ivf(const zvref::Model& m) {
    Op op;
    op.kind = Kind::kSetIvf;
    op.key = s_.pick(kKeys);
    static const int32_t nlists[] = {-3, -1, 0, 1, 1, 2, 2, 3, 4, 5, 8, 17, 40};
    op.a = s_.pick(nlists);                                   // nlist
    op.b = pick_nprobe(op.a);                                 // nprobe
    op.c = static_cast<int32_t>(s_.chance(8) ? s_.range(-3, 0) : s_.range(1, s_.chance(70) ? 80 : 700));  // id_count
    const int64_t d = std::max(m.dim(), 0);
    if (op.a > 0) op.floats = gen_floats(d * op.a);
    const auto& base = m.base_ids();
    if (!base.empty() && s_.chance(40)) {
      // Lists laid out in base order: long runs of consecutive rows.
      size_t at = s_.below(base.size());
      for (int32_t i = 0; i < op.c; ++i) {
        op.ids.push_back(s_.chance(5) ? any_id(m) : base[at]);
        at = s_.chance(3) ? s_.below(base.size()) : (at + 1) % base.size();
      }
    } else {
      for (int32_t i = 0; i < op.c; ++i) op.ids.push_back(any_id(m));
    }
    if (op.a >= 0) {
      op.offs.resize(op.a + 1);
      const int32_t total = std::max(op.c, 0);
      if (s_.chance(75)) {  // well formed: ascending cut points
        for (auto& o : op.offs) o = static_cast<int32_t>(s_.range(0, total));
        std::sort(op.offs.begin(), op.offs.end());
        if (s_.chance(50)) {
          op.offs.front() = 0;
          op.offs.back() = total;
        }
      } else {
        static const int32_t odd[] = {-7, -1, 0, 1, std::numeric_limits<int32_t>::max(),
                                      std::numeric_limits<int32_t>::min(), 100};
        for (auto& o : op.offs) {
          o = s_.chance(50) ? s_.pick(odd) : static_cast<int32_t>(s_.range(-3, total + 3));
        }
      }
    }
    return op;
  }

  int32_t pick_nprobe(int32_t nlist) {
    static const int32_t fixed[] = {-1, 0, 1, 1, 2, 2, 3, std::numeric_limits<int32_t>::max(),
                                    std::numeric_limits<int32_t>::min()};
    if (s_.chance(25)) return nlist + static_cast<int32_t>(s_.range(0, 5));
    return s_.pick(fixed);
  }

  Op gen_set_nprobe(const zvref::Model&) {
    Op op;
    op.kind = Kind::kSetNprobe;
    op.key = s_.pick(kKeys);
    op.b = pick_nprobe(static_cast<int32_t>(s_.range(0, 8)));
    return op;
  }

  Op gen_has_ivf() {
    Op op;
    op.kind = Kind::kHasIvf;
    op.key = s_.chance(90) ? s_.pick(kKeys) : s_.bulk();
    return op;
  }

  int64_t meta_value() {
    static const int64_t values[] = {-1, 0, 1, 2, 3, std::numeric_limits<int64_t>::min(),
                                     std::numeric_limits<int64_t>::max()};
    return s_.pick(values);
  }

  Op gen_set_rowmeta(const zvref::Model& m) {
    Op op;
    op.kind = Kind::kSetRowmeta;
    const int32_t cc = m.column_count();
    static const int32_t deltas[] = {-1, 0, 0, 0, 0, 1, 1, 2};
    op.a = s_.chance(3) ? std::numeric_limits<int32_t>::min() : std::max(0, cc + s_.pick(deltas));
    if (s_.chance(3)) op.a = -1;
    if (op.a > 12) op.a = cc;
    op.n = s_.chance(6) ? s_.range(-2, 0) : s_.range(1, 20);
    const int64_t rows = std::max<int64_t>(op.n, 0);
    for (int64_t i = 0; i < rows; ++i) {
      op.ids.push_back(any_id(m));
      op.ints.push_back(meta_value());
    }
    if (op.a > 0)
      for (int64_t i = 0; i < rows * op.a; ++i) op.cols.push_back(meta_value());
    return op;
  }

  Op gen_export_rowmeta(const zvref::Model& m) {
    Op op;
    op.kind = Kind::kExportRowmeta;
    op.n = s_.chance(5) ? s_.range(-2, 0) : s_.range(1, 20);
    for (int64_t i = 0; i < op.n; ++i) op.ids.push_back(any_id(m));
    return op;
  }

  Op with_query(const zvref::Model& m, Kind k) {
    Op op;
    op.kind = k;
    op.query = gen_query(m);
    return op;
  }

  Op gen_search(const zvref::Model& m, Kind k) {
    Op op = with_query(m, k);
    op.b = pick_k(k == Kind::kSearchIvf ? 30 : m.base_count());
    op.key = s_.chance(95) ? s_.pick(kKeys) : s_.bulk();
    return op;
  }

  Op gen_partition_search(const zvref::Model& m) {
    Op op = with_query(m, Kind::kSearchPartition);
    op.b = pick_k(40);
    const auto& keys = m.partition_keys();
    if (!keys.empty() && s_.chance(80)) {
      op.v = keys[s_.below(keys.size())] + (s_.chance(10) ? s_.range(-1, 1) : 0);
    } else {
      static const int64_t edge[] = {0, 1, -1, std::numeric_limits<int64_t>::min(),
                                     std::numeric_limits<int64_t>::max()};
      op.v = s_.pick(edge);
    }
    return op;
  }

  Op gen_candidates(const zvref::Model& m, Kind k) {
    Op op = with_query(m, k);
    op.n = s_.chance(5) ? s_.range(-2, 0) : s_.range(1, s_.chance(80) ? 30 : 300);
    for (int64_t i = 0; i < op.n; ++i) {
      op.ids.push_back(i > 0 && s_.chance(10) ? op.ids[s_.below(i)] : any_id(m));
    }
    op.b = pick_k(std::max<int64_t>(op.n, 0));
    return op;
  }

  // One of the four batched searches with the arguments of its single
  // search and nq queries.
  Op gen_batch(const zvref::Model& m) {
    const int32_t which = static_cast<int32_t>(s_.below(4));
    Op op = which == 0   ? gen_search(m, Kind::kSearchFull)
            : which == 1 ? gen_partition_search(m)
            : which == 2 ? gen_search(m, Kind::kSearchIvf)
                         : gen_filter(m, Kind::kSearchFiltered);
    op.kind = Kind::kSearchBatch;
    op.d = which;
    op.n = s_.chance(6) ? s_.range(-2, 0) : s_.range(1, s_.chance(85) ? 6 : 40);
    if (op.n > 0 && s_.chance(50)) op.b = std::min<int32_t>(op.b, 60);
    op.query.clear();
    for (int64_t q = 0; q < op.n; ++q) {
      const std::vector<float> one = gen_query(m);
      op.query.insert(op.query.end(), one.begin(), one.end());
    }
    return op;
  }

  Op gen_tuner(const zvref::Model&) {
    Op op;
    op.kind = Kind::kTuner;
    static const int32_t mins[] = {std::numeric_limits<int32_t>::min(), -1, 0, 1, 2, 3, 5, 10, 20,
                                   100, std::numeric_limits<int32_t>::max()};
    op.a = s_.pick(mins);
    return op;
  }

  Op gen_filter(const zvref::Model& m, Kind k) {
    Op op = with_query(m, k);
    static const int32_t kinds[] = {0, 0, 1, 1, 2, 2, 7, -1, std::numeric_limits<int32_t>::min()};
    op.a = s_.pick(kinds);
    const int32_t cc = m.column_count();
    const int32_t cols[] = {-1, 0, 0, 1, 2, cc, cc - 1, cc + 1, std::numeric_limits<int32_t>::min()};
    op.c = cols[s_.below(9)];
    op.v = meta_value();
    op.b = pick_k(std::max<int64_t>(m.visible_count(), 1));
    return op;
  }

  Source& s_;
  int64_t universe_ = 16;
  int float_mode_ = 0;
  bool sparse_ = false;
};

// --- running and comparing -----------------------------------------------

inline constexpr size_t kSlack = 9;

template <class T>
T canary() {
  T t;
  std::memset(&t, 0xA5, sizeof t);
  return t;
}

// One output array, in an engine copy and a model copy.
template <class T>
struct Out {
  std::vector<T> e, m;
  explicit Out(int64_t count) {
    const size_t n = static_cast<size_t>(std::max<int64_t>(count, 0)) + kSlack;
    e.assign(n, canary<T>());
    m = e;
  }
};

inline std::string hexf(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.9g (0x%08x)", static_cast<double>(f), u);
  return buf;
}
inline std::string show(int64_t v) { return std::to_string(v); }
inline std::string show(int32_t v) { return std::to_string(v); }
inline std::string show(float v) { return hexf(v); }

// The first differing element, or empty.
template <class T>
std::string differ(const char* what, const Out<T>& out) {
  if (std::memcmp(out.e.data(), out.m.data(), out.e.size() * sizeof(T)) == 0) return {};
  for (size_t i = 0; i < out.e.size(); ++i) {
    if (std::memcmp(&out.e[i], &out.m[i], sizeof(T)) != 0) {
      std::string s = std::string(what) + "[" + std::to_string(i) + "]: engine " + show(out.e[i]) +
                      ", model " + show(out.m[i]);
      if (i + kSlack >= out.e.size()) s += " (past the reported count)";
      return s;
    }
  }
  return {};
}

template <class R>
std::string differ_result(R e, R m) {
  if (e == m) return {};
  return "result: engine " + std::to_string(e) + ", model " + std::to_string(m);
}

class Runner {
 public:
  Runner() : eng_(zv_index_new(0, 0)), model_(0, 0) {}
  ~Runner() { zv_index_free(eng_); }
  Runner(const Runner&) = delete;
  Runner& operator=(const Runner&) = delete;

  const zvref::Model& model() const { return model_; }

  // Runs one call on both sides; returns a description of the first
  // difference, or an empty string. The op's arrays are first fitted to the
  // current dimension, so an op replayed on another state stays in contract.
  std::string apply(Op& op) {
    fit(op);
    std::string d;
    auto check = [&](std::string part) {
      if (d.empty() && !part.empty()) d = std::move(part);
    };
    const float* q = ptr(op.query);
    switch (op.kind) {
      case Kind::kNew:
        zv_index_free(eng_);
        eng_ = zv_index_new(op.a, op.b);
        model_ = zvref::Model(op.a, op.b);
        break;
      case Kind::kBuild: {
        const int32_t re = zv_index_build(eng_, ptr(op.floats), op.n, op.a, ptr(op.ids), ptr(op.ints),
                                          ptr(op.offs), ptr(op.sizes), op.d);
        const int32_t rm = model_.build(ptr(op.floats), op.n, op.a, ptr(op.ids), ptr(op.ints),
                                        ptr(op.offs), ptr(op.sizes), op.d);
        check(differ_result(re, rm));
        break;
      }
      case Kind::kInsert:
        check(differ_result(zv_index_insert(eng_, ptr(op.floats), ptr(op.ids), static_cast<int32_t>(op.n)),
                            model_.insert(ptr(op.floats), ptr(op.ids), static_cast<int32_t>(op.n))));
        break;
      case Kind::kDelete:
        check(differ_result(zv_index_delete(eng_, ptr(op.ids), static_cast<int32_t>(op.n)),
                            model_.remove(ptr(op.ids), static_cast<int32_t>(op.n))));
        break;
      case Kind::kSetIvf:
        check(differ_result(
            zv_index_set_ivf(eng_, op.key, op.a, op.b, ptr(op.floats), ptr(op.ids), ptr(op.offs), op.c),
            model_.set_ivf(op.key, op.a, op.b, ptr(op.floats), ptr(op.ids), ptr(op.offs), op.c)));
        break;
      case Kind::kSetNprobe:
        check(differ_result(zv_index_set_ivf_nprobe(eng_, op.key, op.b), model_.set_ivf_nprobe(op.key, op.b)));
        break;
      case Kind::kClearIvf:
        check(differ_result(zv_index_clear_ivf(eng_), model_.clear_ivf()));
        break;
      case Kind::kSetRowmeta:
        check(differ_result(
            zv_index_set_rowmeta(eng_, ptr(op.ids), ptr(op.ints), ptr(op.cols), op.a, static_cast<int32_t>(op.n)),
            model_.set_rowmeta(ptr(op.ids), ptr(op.ints), ptr(op.cols), op.a, static_cast<int32_t>(op.n))));
        break;
      case Kind::kAccessors: {
        int64_t be = 0, bm = 0;
        int32_t de = 0, dm = 0, te = 0, tm = 0, pe = 0, pm = 0;
        check(differ_result(zv_index_stats(eng_, &be, &de, &te, &pe), model_.stats(&bm, &dm, &tm, &pm)));
        check(differ_result(be, bm));
        check(differ_result(de, dm));
        check(differ_result(te, tm));
        check(differ_result(pe, pm));
        check(differ_result(zv_index_snapshot(eng_), model_.snapshot()));
        check(differ_result(zv_index_mutated(eng_), model_.mutated()));
        check(differ_result(zv_index_sealed(eng_), model_.sealed()));
        check(differ_result(zv_index_delta_count(eng_), model_.delta_count()));
        check(differ_result(zv_runtime_format_version(), 1));
        int32_t f1 = 0, f2 = 0;
        check(differ_result(zv_tuner_defaults(&f1, &f2), 0));
        check(differ_result(f1, 20000));
        check(differ_result(f2, 980));
        break;
      }
      case Kind::kExportBase: {
        const int64_t rows = model_.base_count();
        Out<float> vec(rows * std::max(model_.dim(), 0));
        Out<int64_t> ids(rows);
        check(differ_result(zv_index_export_base(eng_, vec.e.data(), ids.e.data()),
                            model_.export_base(vec.m.data(), ids.m.data())));
        check(differ("out_vectors", vec));
        check(differ("out_ids", ids));
        break;
      }
      case Kind::kVisible: {
        const int64_t count = model_.visible_count();
        check(differ_result(zv_index_visible_count(eng_), count));
        Out<int64_t> ids(count);
        check(differ_result(zv_index_visible_ids(eng_, ids.e.data()), model_.visible_ids(ids.m.data())));
        check(differ("out_ids", ids));
        break;
      }
      case Kind::kExportVisible: {
        const int64_t count = model_.visible_count();
        Out<float> vec(count * std::max(model_.dim(), 0));
        Out<int64_t> ids(count);
        check(differ_result(zv_index_export_visible(eng_, vec.e.data(), ids.e.data()),
                            model_.export_visible(vec.m.data(), ids.m.data())));
        check(differ("out_vectors", vec));
        check(differ("out_ids", ids));
        break;
      }
      case Kind::kSearchMvcc:
      case Kind::kScatter:
      case Kind::kSearchFull:
      case Kind::kSearchPartition:
      case Kind::kSearchIvf:
      case Kind::kSearchFiltered: {
        Out<int64_t> ids(op.b);
        Out<float> scores(op.b);
        int32_t re = 0, rm = 0;
        const int32_t n = static_cast<int32_t>(op.n);
        switch (op.kind) {
          case Kind::kSearchMvcc:
            re = zv_index_search_mvcc(eng_, ptr(op.ids), n, q, op.b, ids.e.data(), scores.e.data());
            rm = model_.search_mvcc(ptr(op.ids), n, q, op.b, ids.m.data(), scores.m.data());
            break;
          case Kind::kScatter:
            re = zv_index_scatter_topk(eng_, ptr(op.ids), n, q, op.b, ids.e.data(), scores.e.data());
            rm = model_.scatter_topk(ptr(op.ids), n, q, op.b, ids.m.data(), scores.m.data());
            break;
          case Kind::kSearchFull:
            re = zv_index_search_full(eng_, q, op.b, ids.e.data(), scores.e.data());
            rm = model_.search_full(q, op.b, ids.m.data(), scores.m.data());
            break;
          case Kind::kSearchPartition:
            re = zv_index_search_partition(eng_, op.v, q, op.b, ids.e.data(), scores.e.data());
            rm = model_.search_partition(op.v, q, op.b, ids.m.data(), scores.m.data());
            break;
          case Kind::kSearchIvf:
            re = zv_index_search_ivf(eng_, op.key, q, op.b, ids.e.data(), scores.e.data());
            rm = model_.search_ivf(op.key, q, op.b, ids.m.data(), scores.m.data());
            break;
          default:
            re = zv_index_search_filtered(eng_, op.a, op.c, op.v, q, op.b, ids.e.data(), scores.e.data());
            rm = model_.search_filtered(op.a, op.c, op.v, q, op.b, ids.m.data(), scores.m.data());
            break;
        }
        check(differ_result(re, rm));
        check(differ("out_ids", ids));
        check(differ("out_scores", scores));
        break;
      }
      case Kind::kSearchBatch: {
        const int32_t nq = static_cast<int32_t>(op.n);
        const int64_t room = nq > 0 && op.b > 0 ? int64_t{nq} * op.b : 0;
        Out<int64_t> ids(room);
        Out<float> scores(room);
        int32_t re = 0, rm = 0;
        switch (op.d) {
          case 0:
            re = zv_index_search_full_batch(eng_, q, nq, op.b, ids.e.data(), scores.e.data());
            rm = model_.search_full_batch(q, nq, op.b, ids.m.data(), scores.m.data());
            break;
          case 1:
            re = zv_index_search_partition_batch(eng_, op.v, q, nq, op.b, ids.e.data(), scores.e.data());
            rm = model_.search_partition_batch(op.v, q, nq, op.b, ids.m.data(), scores.m.data());
            break;
          case 2:
            re = zv_index_search_ivf_batch(eng_, op.key, q, nq, op.b, ids.e.data(), scores.e.data());
            rm = model_.search_ivf_batch(op.key, q, nq, op.b, ids.m.data(), scores.m.data());
            break;
          default:
            re = zv_index_search_filtered_batch(eng_, op.a, op.c, op.v, q, nq, op.b, ids.e.data(),
                                                scores.e.data());
            rm = model_.search_filtered_batch(op.a, op.c, op.v, q, nq, op.b, ids.m.data(), scores.m.data());
            break;
        }
        check(differ_result(re, rm));
        check(differ("out_ids", ids));
        check(differ("out_scores", scores));
        break;
      }
      case Kind::kTuner: {
        const int64_t parts = model_.partition_count();
        Out<int64_t> keys(parts), sizes(parts);
        check(differ_result(zv_index_tuner_oversized(eng_, op.a, keys.e.data(), sizes.e.data()),
                            model_.tuner_oversized(op.a, keys.m.data(), sizes.m.data())));
        check(differ("out_keys", keys));
        check(differ("out_sizes", sizes));
        break;
      }
      case Kind::kHasIvf:
        check(differ_result(zv_index_has_ivf(eng_, op.key), model_.has_ivf(op.key)));
        break;
      case Kind::kExportRowmeta: {
        const int32_t n = static_cast<int32_t>(op.n);
        Out<int64_t> prim(n), cols(int64_t{std::max(n, 0)} * model_.column_count());
        check(differ_result(zv_index_export_rowmeta(eng_, ptr(op.ids), n, prim.e.data(), cols.e.data()),
                            model_.export_rowmeta(ptr(op.ids), n, prim.m.data(), cols.m.data())));
        check(differ("out_primary", prim));
        check(differ("out_columns", cols));
        break;
      }
      case Kind::kMatchIds: {
        Out<int64_t> ids(model_.visible_count());
        check(differ_result(zv_index_match_ids(eng_, op.a, op.c, op.v, ids.e.data()),
                            model_.match_ids(op.a, op.c, op.v, ids.m.data())));
        check(differ("out_ids", ids));
        break;
      }
    }
    return d;
  }

 private:
  // Resizes the op's arrays to what the call reads in the current state.
  void fit(Op& op) const {
    const int64_t d = std::max(model_.dim(), 0);
    auto resize = [](auto& v, int64_t n) { v.resize(static_cast<size_t>(std::max<int64_t>(n, 0))); };
    switch (op.kind) {
      case Kind::kInsert:
        resize(op.floats, std::max<int64_t>(op.n, 0) * d);
        break;
      case Kind::kSetIvf:
        resize(op.floats, op.a > 0 ? op.a * d : 0);
        break;
      case Kind::kNew:
      case Kind::kBuild:
      case Kind::kSetRowmeta:
        break;
      case Kind::kSearchBatch:
        resize(op.query, std::max<int64_t>(op.n, 0) * d);
        break;
      default:
        resize(op.query, d);
        break;
    }
  }

  zv_index* eng_;
  zvref::Model model_;
};

// Replays `ops` on a fresh pair; the index of the first op that differs and
// the difference, or nothing.
struct Failure {
  size_t at;
  std::string what;
};

inline std::optional<Failure> replay(std::vector<Op>& ops) {
  Runner run;
  for (size_t i = 0; i < ops.size(); ++i) {
    std::string d = run.apply(ops[i]);
    if (!d.empty()) return Failure{i, d};
  }
  return std::nullopt;
}

// Shrinks a failing call list: cut everything after the failing call, then
// drop chunks of calls (halving the chunk size) while the list still fails.
inline std::vector<Op> minimise(std::vector<Op> ops) {
  auto f = replay(ops);
  if (!f) return ops;
  ops.resize(f->at + 1);
  for (size_t chunk = std::max<size_t>(ops.size() / 2, 1);; chunk /= 2) {
    bool removed = true;
    while (removed) {
      removed = false;
      for (size_t start = 0; start + 1 < ops.size();) {
        // Never drop the failing call itself (the last one).
        const size_t len = std::min(chunk, ops.size() - 1 - start);
        std::vector<Op> trial;
        trial.reserve(ops.size() - len);
        trial.insert(trial.end(), ops.begin(), ops.begin() + start);
        trial.insert(trial.end(), ops.begin() + start + len, ops.end());
        auto g = replay(trial);
        if (g) {
          trial.resize(g->at + 1);
          ops = std::move(trial);
          removed = true;
        } else {
          start += len;
        }
      }
    }
    if (chunk == 1) break;
  }
  return ops;
}

// --- printing a reproducer as C ---------------------------------------------

inline std::string c_floats(const std::vector<float>& v) {
  std::string s = "{";
  for (size_t i = 0; i < v.size(); ++i) {
    uint32_t u;
    std::memcpy(&u, &v[i], 4);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%s0x%08xu", i ? "," : "", u);
    s += buf;
  }
  return s + "}";
}
template <class T>
std::string c_ints(const std::vector<T>& v) {
  std::string s = "{";
  for (size_t i = 0; i < v.size(); ++i) {
    if (i) s += ",";
    if constexpr (sizeof(T) == 8) {
      if (v[i] == std::numeric_limits<int64_t>::min()) s += "INT64_MIN";
      else s += std::to_string(v[i]) + "LL";
    } else {
      if (v[i] == std::numeric_limits<int32_t>::min()) s += "INT32_MIN";
      else s += std::to_string(v[i]);
    }
  }
  return s + "}";
}

// Declares a local array (or a null pointer when empty) named `name`.
inline std::string decl_f(const char* name, const std::vector<float>& v) {
  if (v.empty()) return std::string("const float* ") + name + " = 0; ";
  return std::string("static const uint32_t ") + name + "_bits[] = " + c_floats(v) +
         "; const float* " + name + " = (const float*)" + name + "_bits; ";
}
template <class T>
std::string decl_i(const char* type, const char* name, const std::vector<T>& v) {
  if (v.empty()) return std::string("const ") + type + "* " + name + " = 0; ";
  return std::string("static const ") + type + " " + name + "[] = " + c_ints(v) + "; ";
}

inline std::string to_c(const Op& op) {
  char buf[512];
  std::string s = "  { ";
  auto i64 = [](int64_t v) {
    return v == std::numeric_limits<int64_t>::min() ? std::string("INT64_MIN") : std::to_string(v) + "LL";
  };
  auto i32 = [](int32_t v) {
    return v == std::numeric_limits<int32_t>::min() ? std::string("INT32_MIN") : std::to_string(v);
  };
  switch (op.kind) {
    case Kind::kNew:
      s += "zv_index_free(ix); ix = zv_index_new(" + i32(op.a) + ", " + i32(op.b) + "); ";
      break;
    case Kind::kBuild:
      s += decl_f("v", op.floats) + decl_i("int64_t", "ids", op.ids) + decl_i("int64_t", "keys", op.ints) +
           decl_i("int32_t", "offs", op.offs) + decl_i("int32_t", "sizes", op.sizes);
      s += "r = zv_index_build(ix, v, " + i64(op.n) + ", " + i32(op.a) + ", ids, keys, offs, sizes, " +
           i32(op.d) + "); ";
      break;
    case Kind::kInsert:
      s += decl_f("v", op.floats) + decl_i("int64_t", "ids", op.ids);
      s += "r = zv_index_insert(ix, v, ids, " + i32(static_cast<int32_t>(op.n)) + "); ";
      break;
    case Kind::kDelete:
      s += decl_i("int64_t", "ids", op.ids);
      s += "r = zv_index_delete(ix, ids, " + i32(static_cast<int32_t>(op.n)) + "); ";
      break;
    case Kind::kSetIvf:
      s += decl_f("c", op.floats) + decl_i("int64_t", "ids", op.ids) + decl_i("int32_t", "offs", op.offs);
      std::snprintf(buf, sizeof buf, "r = zv_index_set_ivf(ix, 0x%016" PRIx64 "ULL, %s, %s, c, ids, offs, %s); ",
                    op.key, i32(op.a).c_str(), i32(op.b).c_str(), i32(op.c).c_str());
      s += buf;
      break;
    case Kind::kSetNprobe:
      std::snprintf(buf, sizeof buf, "r = zv_index_set_ivf_nprobe(ix, 0x%016" PRIx64 "ULL, %s); ", op.key,
                    i32(op.b).c_str());
      s += buf;
      break;
    case Kind::kClearIvf:
      s += "r = zv_index_clear_ivf(ix); ";
      break;
    case Kind::kSetRowmeta:
      s += decl_i("int64_t", "ids", op.ids) + decl_i("int64_t", "prim", op.ints) + decl_i("int64_t", "cols", op.cols);
      s += "r = zv_index_set_rowmeta(ix, ids, prim, cols, " + i32(op.a) + ", " + i32(static_cast<int32_t>(op.n)) + "); ";
      break;
    case Kind::kAccessors:
      s += "int64_t bc; int32_t d, t, pc; zv_index_stats(ix, &bc, &d, &t, &pc); r = zv_index_snapshot(ix); ";
      break;
    case Kind::kExportBase:
      s += "r = zv_index_export_base(ix, out_f, out_i); ";
      break;
    case Kind::kVisible:
      s += "r = zv_index_visible_count(ix); r = zv_index_visible_ids(ix, out_i); ";
      break;
    case Kind::kExportVisible:
      s += "r = zv_index_export_visible(ix, out_f, out_i); ";
      break;
    case Kind::kTuner:
      s += "r = zv_index_tuner_oversized(ix, " + i32(op.a) + ", out_i, out_i2); ";
      break;
    case Kind::kHasIvf:
      std::snprintf(buf, sizeof buf, "r = zv_index_has_ivf(ix, 0x%016" PRIx64 "ULL); ", op.key);
      s += buf;
      break;
    case Kind::kExportRowmeta:
      s += decl_i("int64_t", "ids", op.ids);
      s += "r = zv_index_export_rowmeta(ix, ids, " + i32(static_cast<int32_t>(op.n)) + ", out_i, out_i2); ";
      break;
    case Kind::kMatchIds:
      s += "r = zv_index_match_ids(ix, " + i32(op.a) + ", " + i32(op.c) + ", " + i64(op.v) + ", out_i); ";
      break;
    case Kind::kSearchBatch: {
      s += decl_f("q", op.query);
      const std::string tail = i32(static_cast<int32_t>(op.n)) + ", " + i32(op.b) + ", out_i, out_s); ";
      if (op.d == 0) {
        s += "r = zv_index_search_full_batch(ix, q, " + tail;
      } else if (op.d == 1) {
        s += "r = zv_index_search_partition_batch(ix, " + i64(op.v) + ", q, " + tail;
      } else if (op.d == 2) {
        std::snprintf(buf, sizeof buf, "r = zv_index_search_ivf_batch(ix, 0x%016" PRIx64 "ULL, q, ", op.key);
        s += buf + tail;
      } else {
        s += "r = zv_index_search_filtered_batch(ix, " + i32(op.a) + ", " + i32(op.c) + ", " + i64(op.v) +
             ", q, " + tail;
      }
      break;
    }
    default: {
      s += decl_f("q", op.query);
      const std::string k = i32(op.b);
      if (op.kind == Kind::kSearchMvcc || op.kind == Kind::kScatter) {
        s += decl_i("int64_t", "ids", op.ids);
        s += std::string("r = ") + (op.kind == Kind::kScatter ? "zv_index_scatter_topk" : "zv_index_search_mvcc") +
             "(ix, ids, " + i32(static_cast<int32_t>(op.n)) + ", q, " + k + ", out_i, out_s); ";
      } else if (op.kind == Kind::kSearchFull) {
        s += "r = zv_index_search_full(ix, q, " + k + ", out_i, out_s); ";
      } else if (op.kind == Kind::kSearchPartition) {
        s += "r = zv_index_search_partition(ix, " + i64(op.v) + ", q, " + k + ", out_i, out_s); ";
      } else if (op.kind == Kind::kSearchIvf) {
        std::snprintf(buf, sizeof buf, "r = zv_index_search_ivf(ix, 0x%016" PRIx64 "ULL, q, %s, out_i, out_s); ",
                      op.key, k.c_str());
        s += buf;
      } else {
        s += "r = zv_index_search_filtered(ix, " + i32(op.a) + ", " + i32(op.c) + ", " + i64(op.v) + ", q, " + k +
             ", out_i, out_s); ";
      }
    }
  }
  return s + "}\n";
}

inline std::string reproducer(const std::vector<Op>& ops, const std::string& what) {
  std::string s =
      "/* differential mismatch; the last call differs: " + what +
      " */\n#include <stdint.h>\n#include \"zv_runtime.h\"\n"
      "static float out_f[1 << 20]; static int64_t out_i[1 << 16], out_i2[1 << 16]; static float out_s[1 << 16];\n"
      "int main(void) {\n  zv_index* ix = zv_index_new(0, 0); int64_t r = 0; (void)r;\n";
  for (const Op& op : ops) s += to_c(op);
  return s + "  zv_index_free(ix);\n  return 0;\n}\n";
}

// --- a whole run -------------------------------------------------------------

// The calls a source produces, generated against the model alone: for looking
// at an input that crashes the engine rather than disagreeing with it.
inline std::vector<Op> generate_only(Source& src, size_t max_ops) {
  Generator gen(src);
  std::vector<Op> log;
  zvref::Model model(0, 0);
  auto apply_model = [&](Op& op) {
    // The model's state is all generation needs; its arrays are fitted the
    // way the runner fits them.
    const int64_t d = std::max(model.dim(), 0);
    std::vector<int64_t> i64(1 << 16);
    std::vector<float> f32(1 << 20);
    switch (op.kind) {
      case Kind::kNew: model = zvref::Model(op.a, op.b); break;
      case Kind::kBuild:
        model.build(ptr(op.floats), op.n, op.a, ptr(op.ids), ptr(op.ints), ptr(op.offs), ptr(op.sizes), op.d);
        break;
      case Kind::kInsert:
        op.floats.resize(static_cast<size_t>(std::max<int64_t>(op.n, 0) * d));
        model.insert(ptr(op.floats), ptr(op.ids), static_cast<int32_t>(op.n));
        break;
      case Kind::kDelete: model.remove(ptr(op.ids), static_cast<int32_t>(op.n)); break;
      case Kind::kSetIvf:
        op.floats.resize(static_cast<size_t>(op.a > 0 ? op.a * d : 0));
        model.set_ivf(op.key, op.a, op.b, ptr(op.floats), ptr(op.ids), ptr(op.offs), op.c);
        break;
      case Kind::kSetNprobe: model.set_ivf_nprobe(op.key, op.b); break;
      case Kind::kClearIvf: model.clear_ivf(); break;
      case Kind::kSetRowmeta:
        model.set_rowmeta(ptr(op.ids), ptr(op.ints), ptr(op.cols), op.a, static_cast<int32_t>(op.n));
        break;
      case Kind::kSearchBatch: op.query.resize(static_cast<size_t>(std::max<int64_t>(op.n, 0) * d)); break;
      default: op.query.resize(static_cast<size_t>(d)); break;
    }
  };
  log.push_back(gen.gen_new());
  for (size_t i = 0; i < max_ops && !src.exhausted(); ++i) {
    if (i > 0) log.push_back(gen.next(model));
    apply_model(log.back());
  }
  return log;
}

// Where a run is, for a watchdog on another thread: the call list and the
// number of calls started. A call that never returns (a hang in the engine)
// can then still be printed. The list is only read while the runner is stuck
// inside a call, when nothing appends to it.
struct Progress {
  std::atomic<const std::vector<Op>*> log{nullptr};
  std::atomic<uint64_t> started{0};
};

// Generates and runs one sequence of up to `max_ops` calls from `src`. On a
// difference, returns the shrunk reproducer. `ops_done` counts calls run.
inline std::optional<std::string> run_sequence(Source& src, size_t max_ops, uint64_t& ops_done,
                                               Progress* progress = nullptr) {
  Generator gen(src);
  std::vector<Op> log;
  log.reserve(std::min<size_t>(max_ops, 4096));
  Runner run;
  log.push_back(gen.gen_new());
  for (size_t i = 0; i < max_ops && !src.exhausted(); ++i) {
    if (i > 0) log.push_back(gen.next(run.model()));
    if (progress != nullptr) {
      progress->log.store(&log);
      progress->started.fetch_add(1);
    }
    std::string d = run.apply(log.back());
    ++ops_done;
    if (!d.empty()) {
      if (progress != nullptr) progress->log.store(nullptr);
      std::vector<Op> small = minimise(log);
      auto f = replay(small);
      return reproducer(small, f ? f->what : d);
    }
  }
  if (progress != nullptr) progress->log.store(nullptr);
  return std::nullopt;
}

}  // namespace zvdiff
