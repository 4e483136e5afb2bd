// Several host threads on the library at once: every read-only function
// together on one handle, and separate handles written from separate threads.
// Each call must give exactly the bytes the same call gives when run alone.
// Run under the thread sanitizer as well.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core_test_support.h"
#include "zv_runtime.h"

namespace {

constexpr int32_t kDim = 19;  // not a multiple of any vector width
constexpr int kThreads = 4;

struct Rng {
  uint64_t s;
  uint64_t next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
  }
  float unit() { return static_cast<float>(next() % 2001) / 1000.0f - 1.0f; }
};

// A read call that writes everything it produces into a byte string.
using Reader = std::function<std::string(const zv_index*)>;

template <class T>
void put(std::string& out, const T* data, size_t count) {
  out.append(reinterpret_cast<const char*>(data), count * sizeof(T));
}
template <class T>
void put(std::string& out, T value) {
  put(out, &value, 1);
}

// Gives a fresh index every kind of state: a partitioned base with a
// repeated id, delta rows shadowing and adding ids, tombstones, IVF entries,
// metadata.
void fill_index(zv_index* ix, uint64_t seed) {
  Rng rng{seed};
  const int64_t n = 1200;
  std::vector<float> v(n * kDim);
  for (auto& x : v) x = rng.unit();
  std::vector<int64_t> ids(n);
  for (int64_t i = 0; i < n; ++i) ids[i] = i * 3;
  ids[17] = ids[16];
  const int64_t keys[] = {-4, 10, 11, 900};
  const int32_t offs[] = {0, 300, 301, 700};
  const int32_t sizes[] = {300, 1, 399, 500};
  EXPECT_EQ(zv_index_build(ix, v.data(), n, kDim, ids.data(), keys, offs, sizes, 4), 0);
  std::vector<float> dv(300 * kDim);
  for (auto& x : dv) x = rng.unit();
  std::vector<int64_t> dids(300);
  for (int64_t i = 0; i < 300; ++i) dids[i] = i * 7;  // some shadow base ids
  zv_index_insert(ix, dv.data(), dids.data(), 300);
  std::vector<int64_t> del;
  for (int64_t i = 0; i < 200; ++i) del.push_back(i * 11);
  zv_index_delete(ix, del.data(), static_cast<int32_t>(del.size()));
  std::vector<float> cent(8 * kDim);
  for (auto& x : cent) x = rng.unit();
  std::vector<int64_t> lists(n);
  for (int64_t i = 0; i < n; ++i) lists[i] = ids[(i * 37) % n];
  const int32_t list_offs[] = {0, 150, 300, 450, 600, 750, 900, 1050, 1200};
  zv_index_set_ivf(ix, 42, 8, 3, cent.data(), lists.data(), list_offs, static_cast<int32_t>(n));
  zv_index_set_ivf(ix, UINT64_MAX, 8, 8, cent.data(), ids.data(), list_offs, static_cast<int32_t>(n));
  std::vector<int64_t> mids, prim, cols;
  for (int64_t i = 0; i < 600; ++i) {
    mids.push_back(i * 5);
    prim.push_back(i % 4);
    cols.push_back(i % 3);
    cols.push_back(i % 2);
  }
  EXPECT_EQ(zv_index_set_rowmeta(ix, mids.data(), prim.data(), cols.data(), 2, 600), 0);
}

std::vector<Reader> all_readers() {
  std::vector<Reader> r;
  Rng rng{99};
  std::vector<float> q(kDim);
  for (auto& x : q) x = rng.unit();
  std::vector<int64_t> cands;
  for (int64_t i = 0; i < 500; ++i) cands.push_back(static_cast<int64_t>(rng.next() % 4000) - 5);

  r.push_back([](const zv_index* ix) {
    std::string s;
    int64_t bc;
    int32_t d, t, pc, f1, f2;
    put(s, zv_index_stats(ix, &bc, &d, &t, &pc));
    put(s, bc), put(s, d), put(s, t), put(s, pc);
    put(s, zv_index_snapshot(ix));
    put(s, zv_index_mutated(ix));
    put(s, zv_index_sealed(ix));
    put(s, zv_index_delta_count(ix));
    put(s, zv_runtime_format_version());
    put(s, zv_tuner_defaults(&f1, &f2));
    put(s, f1), put(s, f2);
    put(s, zv_index_has_ivf(ix, 42)), put(s, zv_index_has_ivf(ix, 43));
    return s;
  });
  r.push_back([](const zv_index* ix) {
    std::vector<float> v(1200 * kDim);
    std::vector<int64_t> ids(1200);
    std::string s;
    put(s, zv_index_export_base(ix, v.data(), ids.data()));
    put(s, v.data(), v.size()), put(s, ids.data(), ids.size());
    return s;
  });
  r.push_back([](const zv_index* ix) {
    const int64_t count = zv_index_visible_count(ix);
    std::vector<int64_t> ids(count);
    std::vector<float> v(count * kDim);
    std::vector<int64_t> ids2(count);
    std::string s;
    put(s, count);
    put(s, zv_index_visible_ids(ix, ids.data()));
    put(s, zv_index_export_visible(ix, v.data(), ids2.data()));
    put(s, ids.data(), ids.size()), put(s, v.data(), v.size()), put(s, ids2.data(), ids2.size());
    return s;
  });
  auto topk = [](std::function<int32_t(int64_t*, float*)> call, int32_t k) {
    std::vector<int64_t> ids(k);
    std::vector<float> sc(k);
    std::string s;
    put(s, call(ids.data(), sc.data()));
    put(s, ids.data(), ids.size()), put(s, sc.data(), sc.size());
    return s;
  };
  r.push_back([=](const zv_index* ix) {
    return topk([&](int64_t* i, float* s) { return zv_index_search_full(ix, q.data(), 25, i, s); }, 25);
  });
  r.push_back([=](const zv_index* ix) {
    std::string s;
    for (int64_t key : {-4, 10, 11, 900, 5})
      s += topk([&](int64_t* i, float* sc) { return zv_index_search_partition(ix, key, q.data(), 9, i, sc); }, 9);
    return s;
  });
  r.push_back([=](const zv_index* ix) {
    return topk([&](int64_t* i, float* s) {
      return zv_index_scatter_topk(ix, cands.data(), static_cast<int32_t>(cands.size()), q.data(), 30, i, s);
    }, 30);
  });
  r.push_back([=](const zv_index* ix) {
    return topk([&](int64_t* i, float* s) {
      return zv_index_search_mvcc(ix, cands.data(), static_cast<int32_t>(cands.size()), q.data(), 30, i, s);
    }, 30);
  });
  r.push_back([=](const zv_index* ix) {
    std::string s = topk([&](int64_t* i, float* sc) { return zv_index_search_ivf(ix, 42, q.data(), 40, i, sc); }, 40);
    s += topk([&](int64_t* i, float* sc) { return zv_index_search_ivf(ix, UINT64_MAX, q.data(), 7, i, sc); }, 7);
    return s;
  });
  r.push_back([=](const zv_index* ix) {
    std::string s;
    for (int32_t kind : {0, 1, 2}) {
      s += topk([&](int64_t* i, float* sc) {
        return zv_index_search_filtered(ix, kind, 1, 1, q.data(), 33, i, sc);
      }, 33);
    }
    return s;
  });
  r.push_back([=](const zv_index* ix) {
    std::vector<float> qs(q);
    for (float x : q) qs.push_back(-x);
    std::string s;
    s += topk([&](int64_t* i, float* sc) { return zv_index_search_full_batch(ix, qs.data(), 2, 12, i, sc); }, 24);
    s += topk([&](int64_t* i, float* sc) { return zv_index_search_partition_batch(ix, 10, qs.data(), 2, 9, i, sc); }, 18);
    s += topk([&](int64_t* i, float* sc) { return zv_index_search_ivf_batch(ix, 42, qs.data(), 2, 40, i, sc); }, 80);
    s += topk([&](int64_t* i, float* sc) {
      return zv_index_search_filtered_batch(ix, 1, 1, 1, qs.data(), 2, 33, i, sc);
    }, 66);
    return s;
  });
  r.push_back([](const zv_index* ix) {
    std::vector<int64_t> out(zv_index_visible_count(ix));
    std::string s;
    put(s, zv_index_match_ids(ix, 1, 0, 2, out.data()));
    put(s, out.data(), out.size());
    put(s, zv_index_match_ids(ix, 5, 0, 1, out.data()));
    put(s, out.data(), out.size());
    return s;
  });
  r.push_back([](const zv_index* ix) {
    std::vector<int64_t> ids;
    for (int64_t i = 0; i < 100; ++i) ids.push_back(i * 13);
    const int32_t m = zv_index_export_rowmeta(ix, nullptr, 0, nullptr, nullptr);
    std::vector<int64_t> prim(100), cols(100 * m + 1);
    std::string s;
    put(s, zv_index_export_rowmeta(ix, ids.data(), 100, prim.data(), cols.data()));
    put(s, prim.data(), prim.size()), put(s, cols.data(), cols.size());
    std::vector<int64_t> keys(4), sizes(4);
    put(s, zv_index_tuner_oversized(ix, 300, keys.data(), sizes.data()));
    put(s, keys.data(), keys.size()), put(s, sizes.data(), sizes.size());
    return s;
  });
  return r;
}

TEST(Concurrency, ReadersOnOneHandleMatchSequentialCalls) {
  zvtest::Index ix(kDim, 3);
  fill_index(ix, 7);
  const std::vector<Reader> readers = all_readers();
  std::vector<std::string> expected;
  for (const Reader& r : readers) expected.push_back(r(ix));

  std::atomic<int> mismatches{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      while (!go.load()) std::this_thread::yield();
      for (int round = 0; round < 20; ++round) {
        // Each thread walks the readers in its own order.
        for (size_t i = 0; i < readers.size(); ++i) {
          const size_t j = (i * (2 * t + 1) + round) % readers.size();
          if (readers[j](ix) != expected[j]) mismatches.fetch_add(1);
        }
      }
    });
  }
  go.store(true);
  for (auto& th : threads) th.join();
  EXPECT_EQ(mismatches.load(), 0);
}

// One handle per thread, each built, written and read by its own thread while
// the others do the same: the final state matches a handle driven alone.
TEST(Concurrency, SeparateHandlesWrittenFromSeparateThreads) {
  auto drive = [](uint64_t seed) {
    zvtest::Index ix(kDim, 3);
    fill_index(ix, seed);
    Rng rng{seed * 31 + 1};
    for (int round = 0; round < 30; ++round) {
      std::vector<float> v(8 * kDim);
      for (auto& x : v) x = rng.unit();
      std::vector<int64_t> ids(8);
      for (auto& id : ids) id = static_cast<int64_t>(rng.next() % 5000);
      zv_index_insert(ix, v.data(), ids.data(), 8);
      zv_index_delete(ix, ids.data(), 2);
      const int64_t key = static_cast<int64_t>(rng.next() % 4);
      const int64_t p = round;
      zv_index_set_rowmeta(ix, &key, &p, nullptr, 2 + round / 10, 0);
      zv_index_set_ivf_nprobe(ix, 42, round % 9);
      if (round % 10 == 9) zv_index_clear_ivf(ix);
    }
    std::string s;
    for (const Reader& r : all_readers()) s += r(ix);
    return s;
  };
  std::vector<std::string> expected;
  for (int t = 0; t < kThreads; ++t) expected.push_back(drive(100 + t));
  std::vector<std::string> got(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back([&, t] { got[t] = drive(100 + t); });
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_TRUE(got[t] == expected[t]) << "thread " << t;
}

}  // namespace
