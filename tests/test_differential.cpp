// The engine against the reference model: a few fixed checks that the model
// itself follows the documented behaviour, then a seeded, time-boxed run of
// random call sequences compared bit for bit.
//
// ZV_DIFF_SECONDS sets the time box (default 15 s, 50 s under the address
// sanitizer); ZV_DIFF_SEED the first seed (default 1). A call that does not
// return within ZV_DIFF_STALL_SECONDS (default 120) is taken for a hang: the
// calls so far are printed and the process aborts.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <cstdlib>
#include <limits>

#include "reference/differential.h"
#include "reference/reference_model.h"
#include "zv_runtime.h"

namespace {

using zvref::Model;

double seconds_budget() {
  if (const char* s = std::getenv("ZV_DIFF_SECONDS")) return std::atof(s);
#if defined(__SANITIZE_ADDRESS__)
  return 50;
#else
  return 15;
#endif
}

uint64_t first_seed() {
  if (const char* s = std::getenv("ZV_DIFF_SEED")) return std::strtoull(s, nullptr, 10);
  return 1;
}

// --- the model against documented examples ----------------------------------

TEST(ReferenceModel, WriteCounterAndUpsert) {
  Model m(2, 0);
  const float v1[] = {1, 0, 0, 1};
  const int64_t ids[] = {10, 11};
  EXPECT_EQ(m.insert(v1, ids, 2), 1);
  EXPECT_EQ(m.remove(ids, 1), 2);
  const float v2[] = {5, 5};
  EXPECT_EQ(m.insert(v2, ids, 1), 3);
  EXPECT_EQ(m.insert(v2, ids, 0), 3);
  EXPECT_EQ(m.delta_count(), 2);
  float out_v[4];
  int64_t out_i[2];
  ASSERT_EQ(m.export_visible(out_v, out_i), 2);
  EXPECT_EQ(out_i[0], 10);
  EXPECT_EQ(out_v[0], 5.0f);
  EXPECT_EQ(out_i[1], 11);
}

TEST(ReferenceModel, BuildLimitsAndDimensionRule) {
  Model m(2, 0);
  EXPECT_EQ(m.build(nullptr, (int64_t{1} << 39) + 1, 2, nullptr, nullptr, nullptr, nullptr, 0), -1);
  EXPECT_EQ(m.build(nullptr, (int64_t{1} << 40) + 1, 0, nullptr, nullptr, nullptr, nullptr, 0), -1);
  const int64_t big[] = {int64_t{1} << 40};
  const float one[] = {1, 1};
  EXPECT_EQ(m.build(one, 1, 2, big, nullptr, nullptr, nullptr, 0), -1);
  const int64_t neg[] = {-1};
  EXPECT_EQ(m.build(one, 1, 2, neg, nullptr, nullptr, nullptr, 0), -1);
  EXPECT_EQ(m.sealed(), 0);
  // Another dimension is fine while there is no delta row and no IVF entry.
  const int64_t id0[] = {0};
  EXPECT_EQ(m.build(one, 1, 1, id0, nullptr, nullptr, nullptr, 0), 0);
  EXPECT_EQ(m.insert(one, id0, 1), 1);
  EXPECT_EQ(m.build(one, 1, 2, id0, nullptr, nullptr, nullptr, 0), -1);
  EXPECT_EQ(m.build(one, 1, 1, id0, nullptr, nullptr, nullptr, 0), 0);
}

TEST(ReferenceModel, TopKTiesNanAndEmptySlots) {
  Model m(1, 0);
  const float v[] = {1, std::numeric_limits<float>::quiet_NaN(), 1, 2, -2e30f};
  const int64_t ids[] = {0, 1, 2, 3, 4};
  const int64_t keys[] = {5};
  const int32_t offs[] = {0};
  const int32_t sizes[] = {5};
  ASSERT_EQ(m.build(v, 5, 1, ids, keys, offs, sizes, 1), 0);
  const float q[] = {1};
  int64_t oi[6];
  float os[6];
  ASSERT_EQ(m.search_full(q, 6, oi, os), 5);
  EXPECT_EQ(oi[0], 3);
  EXPECT_EQ(oi[1], 0);  // equal scores keep row order
  EXPECT_EQ(oi[2], 2);
  EXPECT_EQ(oi[3], ZV_EMPTY_ID);  // NaN and <= -1e30 never enter
  EXPECT_EQ(os[4], ZV_EMPTY_SCORE);
  EXPECT_EQ(m.search_partition(6, q, 3, oi, os), 0);
}

TEST(ReferenceModel, IvfSkipsOutOfRangePositions) {
  Model m(1, 0);
  const float v[] = {1, 2, 3};
  const int64_t ids[] = {0, 1, 2};
  ASSERT_EQ(m.build(v, 3, 1, ids, nullptr, nullptr, nullptr, 0), 0);
  const float c[] = {1, 0};
  const int64_t lists[] = {0, 2, 1};
  const int32_t offs[] = {-5, 2, 9};  // list 0 = [-5, 2), list 1 = [2, 9)
  ASSERT_EQ(m.set_ivf(7, 2, 2, c, lists, offs, 3), 0);
  const float q[] = {1};
  int64_t oi[4];
  float os[4];
  ASSERT_EQ(m.search_ivf(7, q, 4, oi, os), 4);
  EXPECT_EQ(oi[0], 2);
  EXPECT_EQ(oi[1], 1);
  EXPECT_EQ(oi[2], 0);
  EXPECT_EQ(oi[3], ZV_EMPTY_ID);
}

TEST(ReferenceModel, MetadataNarrowerWriteChangesNothing) {
  Model m(0, 0);
  const int64_t ids[] = {7};
  const int64_t prim[] = {3};
  const int64_t cols[] = {4, 5};
  EXPECT_EQ(m.set_rowmeta(ids, prim, cols, 2, 1), 0);
  const int64_t prim2[] = {9};
  EXPECT_EQ(m.set_rowmeta(ids, prim2, cols, 1, 1), -1);
  int64_t op[1], oc[2];
  EXPECT_EQ(m.export_rowmeta(ids, 1, op, oc), 2);
  EXPECT_EQ(op[0], 3);
  EXPECT_EQ(oc[1], 5);
}

// --- engine against model ---------------------------------------------------

// Replays a hand-written sequence that crosses the interesting states once,
// independent of the random generator.
TEST(Differential, FixedSequence) {
  using zvdiff::Kind;
  using zvdiff::Op;
  std::vector<Op> ops;
  auto op = [&](Kind k) -> Op& {
    ops.emplace_back();
    ops.back().kind = k;
    return ops.back();
  };
  Op& n = op(Kind::kNew);
  n.a = 3;
  Op& ins = op(Kind::kInsert);
  ins.n = 2;
  ins.ids = {int64_t{1} << 40, std::numeric_limits<int64_t>::min()};
  ins.floats = {1, 2, 3, 4, 5, 6};
  Op& b = op(Kind::kBuild);
  b.n = 3;
  b.a = 3;
  b.ids = {(int64_t{1} << 40) - 1, 5, 5};
  b.floats = {1, 1, 1, 2, 2, 2, 3, 3, 3};
  b.d = 1;
  b.ints = {0};
  b.offs = {0};
  b.sizes = {3};
  Op& iv = op(Kind::kSetIvf);
  iv.key = 0x8000000000000000ULL;
  iv.a = 1;
  iv.b = 5;
  iv.c = 3;
  iv.floats = {1, 0, 0};
  iv.ids = {5, (int64_t{1} << 40) - 1, -1};
  iv.offs = {-2, 7};
  for (Kind k : {Kind::kAccessors, Kind::kExportBase, Kind::kVisible, Kind::kExportVisible}) op(k);
  for (Kind k : {Kind::kSearchFull, Kind::kSearchIvf, Kind::kSearchFiltered}) {
    Op& s = op(k);
    s.b = 5;
    s.key = 0x8000000000000000ULL;
    s.query = {1, 1, 1};
  }
  Op& mv = op(Kind::kSearchMvcc);
  mv.b = 4;
  mv.n = 3;
  mv.ids = {std::numeric_limits<int64_t>::min(), 5, 5};
  mv.query = {1, 0, 0};
  auto f = zvdiff::replay(ops);
  EXPECT_FALSE(f.has_value()) << zvdiff::reproducer(ops, f ? f->what : "");
}

// Prints the running call list when no call has started for a while.
class Watchdog {
 public:
  explicit Watchdog(zvdiff::Progress& p) : progress_(p), thread_([this] { watch(); }) {}
  ~Watchdog() {
    stop_.store(true);
    thread_.join();
  }

 private:
  void watch() {
    const char* env = std::getenv("ZV_DIFF_STALL_SECONDS");
    const int stall = env != nullptr ? std::atoi(env) : 120;
    uint64_t last = progress_.started.load();
    int quiet = 0;
    while (!stop_.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      const uint64_t now = progress_.started.load();
      if (now != last) {
        last = now;
        quiet = 0;
        continue;
      }
      if (++quiet < stall * 10) continue;
      const std::vector<zvdiff::Op>* log = progress_.log.load();
      if (log == nullptr) continue;  // between sequences, or shrinking
      std::fprintf(stderr, "differential: no call returned for %d s; the last one hangs\n%s", stall,
                   zvdiff::reproducer(*log, "the last call does not return").c_str());
      std::fflush(stderr);
      std::abort();
    }
  }

  zvdiff::Progress& progress_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST(Differential, SeededRandomSequences) {
  zvdiff::Progress progress;
  Watchdog watchdog(progress);
  const double budget = seconds_budget();
  const auto start = std::chrono::steady_clock::now();
  uint64_t seed = first_seed();
  uint64_t ops = 0, sequences = 0;
  for (;; ++seed, ++sequences) {
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (elapsed >= budget && sequences > 0) break;
    zvdiff::Source src(seed);
    const size_t length = 1 + src.below(3000);
    auto repro = zvdiff::run_sequence(src, length, ops, &progress);
    ASSERT_FALSE(repro.has_value()) << "seed " << seed << " (ZV_DIFF_SEED=" << seed
                                    << " ZV_DIFF_SECONDS=0 reproduces it)\n"
                                    << *repro;
  }
  std::printf("differential: %llu operations in %llu sequences (seeds %llu..%llu), 0 mismatches\n",
              static_cast<unsigned long long>(ops), static_cast<unsigned long long>(sequences),
              static_cast<unsigned long long>(first_seed()),
              static_cast<unsigned long long>(seed - 1));
}

}  // namespace
