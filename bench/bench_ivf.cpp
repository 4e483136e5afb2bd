// IVF search beside FAISS's IndexIVFFlat on the same centroids and the same
// inverted lists: single thread, one query per call, rounds alternating
// between the two systems in one process. Two layouts of the base: rows in
// arbitrary order, and rows grouped by list (one partition per list).
//
// Prints one table row per layout and nprobe: queries per second of both,
// their ratio, recall@10 of both against exact search, and how many queries
// got the same result set from both. Rates come from the median round's
// thread processor time, so other work on the machine inflates them less.
//
// Options: --n=ROWS --nq=QUERIES --rounds=R (defaults 1000000, 500, 7);
// --cache=FILE keeps the trained centroids, the assignment and the exact
// results between runs with the same sizes (for repeated measurements).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_common.h"
#include "zv_runtime.h"

#ifdef ZV_BENCH_HAVE_FAISS
#include <faiss/IndexFlat.h>
#include <faiss/IndexIVFFlat.h>
#include <omp.h>
#endif

namespace {

constexpr int32_t kDim = 128;
constexpr int32_t kNlist = 1024;
constexpr int32_t kTopK = 10;
constexpr int32_t kTrueClusters = 4096;
constexpr int32_t kAssignCandidates = 48;

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Processor time of this thread: timings stay meaningful on a machine that
// other work keeps busy.
double thread_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}

float dot(const float* a, const float* b, int32_t d) {
  float s = 0;
  for (int32_t j = 0; j < d; ++j) s += a[j] * b[j];
  return s;
}

void normalise(float* v, int32_t d) {
  const float norm = std::sqrt(dot(v, v, d));
  if (norm > 0) {
    for (int32_t j = 0; j < d; ++j) v[j] /= norm;
  }
}

// Unit vectors scattered around unit cluster centres; `label` gets each
// vector's centre.
struct Clustered {
  std::vector<float> centres;
  explicit Clustered(uint64_t seed) : centres(size_t(kTrueClusters) * kDim) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<float> g(0.0f, 1.0f);
    for (float& x : centres) x = g(rng);
    for (int32_t t = 0; t < kTrueClusters; ++t) normalise(&centres[size_t(t) * kDim], kDim);
  }
  void draw(int64_t n, uint64_t seed, std::vector<float>& out, std::vector<int32_t>& label) const {
    out.resize(size_t(n) * kDim);
    label.resize(size_t(n));
    std::mt19937_64 rng(seed);
    std::normal_distribution<float> g(0.0f, 0.08f);
    for (int64_t i = 0; i < n; ++i) {
      const int32_t t = static_cast<int32_t>(rng() % kTrueClusters);
      label[size_t(i)] = t;
      float* v = &out[size_t(i) * kDim];
      for (int32_t j = 0; j < kDim; ++j) v[j] = centres[size_t(t) * kDim + j] + g(rng);
      normalise(v, kDim);
    }
  }
};

// Exact top-k by inner product for every query: all queries at once per row
// so that the arithmetic vectorises across queries.
__attribute__((target("avx2"))) void exact_topk_range(const float* x, int64_t n,
                                                       const std::vector<float>& queries_t,
                                                       int32_t q0, int32_t q1, int32_t nq,
                                                       std::vector<int64_t>& ids,
                                                       std::vector<float>& scores) {
  const int32_t w = q1 - q0;
  std::vector<float> acc(static_cast<size_t>(w));
  for (int64_t r = 0; r < n; ++r) {
    std::fill(acc.begin(), acc.end(), 0.0f);
    const float* row = x + r * kDim;
    for (int32_t j = 0; j < kDim; ++j) {
      const float xj = row[j];
      const float* qt = &queries_t[size_t(j) * nq + q0];
      for (int32_t q = 0; q < w; ++q) acc[size_t(q)] += xj * qt[q];
    }
    for (int32_t q = 0; q < w; ++q) {
      float* s = &scores[size_t(q0 + q) * kTopK];
      int64_t* id = &ids[size_t(q0 + q) * kTopK];
      const float v = acc[size_t(q)];
      if (!(v > s[kTopK - 1])) continue;
      int32_t p = kTopK - 1;
      while (p > 0 && v > s[p - 1]) {
        s[p] = s[p - 1];
        id[p] = id[p - 1];
        --p;
      }
      s[p] = v;
      id[p] = r;
    }
  }
}

std::vector<int64_t> exact_topk(const std::vector<float>& x, int64_t n,
                                const std::vector<float>& queries, int32_t nq) {
  std::vector<float> qt(size_t(nq) * kDim);
  for (int32_t q = 0; q < nq; ++q) {
    for (int32_t j = 0; j < kDim; ++j) qt[size_t(j) * nq + q] = queries[size_t(q) * kDim + j];
  }
  std::vector<int64_t> ids(size_t(nq) * kTopK, -1);
  std::vector<float> scores(size_t(nq) * kTopK, -1e30f);
  const int32_t half = nq / 2;
  std::thread other([&] { exact_topk_range(x.data(), n, qt, half, nq, nq, ids, scores); });
  exact_topk_range(x.data(), n, qt, 0, half, nq, ids, scores);
  other.join();
  return ids;
}

double recall(const std::vector<int64_t>& got, const std::vector<int64_t>& truth, int32_t nq) {
  int64_t hits = 0;
  for (int32_t q = 0; q < nq; ++q) {
    const int64_t* t = &truth[size_t(q) * kTopK];
    const int64_t* g = &got[size_t(q) * kTopK];
    for (int32_t i = 0; i < kTopK; ++i) {
      if (t[i] >= 0 && std::find(g, g + kTopK, t[i]) != g + kTopK) ++hits;
    }
  }
  return double(hits) / (double(nq) * kTopK);
}

int32_t same_sets(const std::vector<int64_t>& a, const std::vector<int64_t>& b, int32_t nq) {
  int32_t same = 0;
  for (int32_t q = 0; q < nq; ++q) {
    std::vector<int64_t> x(a.begin() + q * kTopK, a.begin() + (q + 1) * kTopK);
    std::vector<int64_t> y(b.begin() + q * kTopK, b.begin() + (q + 1) * kTopK);
    std::sort(x.begin(), x.end());
    std::sort(y.begin(), y.end());
    same += x == y;
  }
  return same;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

const char* arg_string(int argc, char** argv, const char* name) {
  const std::string prefix = std::string("--") + name + "=";
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], prefix.c_str(), prefix.size()) == 0) return argv[i] + prefix.size();
  }
  return nullptr;
}

// Centroids, assignment and exact results of one configuration.
struct Prepared {
  std::vector<float> centroids;
  std::vector<int64_t> assign;
  std::vector<int64_t> truth;

  bool load(const char* path, int64_t n, int32_t nq) {
    FILE* f = path ? std::fopen(path, "rb") : nullptr;
    if (f == nullptr) return false;
    int64_t head[2] = {0, 0};
    centroids.resize(size_t(kNlist) * kDim);
    assign.resize(size_t(n));
    truth.resize(size_t(nq) * kTopK);
    const bool ok = std::fread(head, sizeof(head), 1, f) == 1 && head[0] == n && head[1] == nq &&
                    std::fread(centroids.data(), sizeof(float), centroids.size(), f) == centroids.size() &&
                    std::fread(assign.data(), sizeof(int64_t), assign.size(), f) == assign.size() &&
                    std::fread(truth.data(), sizeof(int64_t), truth.size(), f) == truth.size();
    std::fclose(f);
    return ok;
  }
  void save(const char* path, int64_t n, int32_t nq) const {
    FILE* f = path ? std::fopen(path, "wb") : nullptr;
    if (f == nullptr) return;
    const int64_t head[2] = {n, nq};
    std::fwrite(head, sizeof(head), 1, f);
    std::fwrite(centroids.data(), sizeof(float), centroids.size(), f);
    std::fwrite(assign.data(), sizeof(int64_t), assign.size(), f);
    std::fwrite(truth.data(), sizeof(int64_t), truth.size(), f);
    std::fclose(f);
  }
};

int64_t arg_value(int argc, char** argv, const char* name, int64_t fallback) {
  const std::string prefix = std::string("--") + name + "=";
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], prefix.c_str(), prefix.size()) == 0) {
      return std::atoll(argv[i] + prefix.size());
    }
  }
  return fallback;
}

}  // namespace

int main(int argc, char** argv) {
#ifndef ZV_BENCH_HAVE_FAISS
  std::printf("bench_ivf: built without FAISS; nothing to compare against\n");
  return 0;
#else
  const int64_t n = arg_value(argc, argv, "n", 1000000);
  const int32_t nq = static_cast<int32_t>(arg_value(argc, argv, "nq", 500));
  const int32_t rounds = static_cast<int32_t>(arg_value(argc, argv, "rounds", 7));

  auto t0 = Clock::now();
  const Clustered gen(1);
  std::vector<float> x, queries;
  std::vector<int32_t> label, qlabel;
  gen.draw(n, 2, x, label);
  gen.draw(nq, 3, queries, qlabel);
  std::fprintf(stderr, "data: %.1f s\n", seconds_since(t0));

  // FAISS's k-means on a subsample; training may use both cores, searches
  // run on one.
  const char* cache = arg_string(argc, argv, "cache");
  Prepared prep;
  faiss::IndexFlatIP quantizer(kDim);
  faiss::IndexIVFFlat faiss_ivf(&quantizer, kDim, kNlist, faiss::METRIC_INNER_PRODUCT);
  omp_set_num_threads(2);
  const bool cached = prep.load(cache, n, nq);
  if (cached) {
    quantizer.add(kNlist, prep.centroids.data());
    faiss_ivf.is_trained = true;
  } else {
    t0 = Clock::now();
    faiss_ivf.cp.niter = 8;
    faiss_ivf.cp.max_points_per_centroid = 64;
    faiss_ivf.cp.spherical = true;
    faiss_ivf.train(std::min<int64_t>(n, int64_t{kNlist} * 64), x.data());
    prep.centroids.assign(quantizer.get_xb(), quantizer.get_xb() + size_t(kNlist) * kDim);
    std::fprintf(stderr, "train: %.1f s\n", seconds_since(t0));
  }
  const float* centroids = prep.centroids.data();

  // Each vector goes to its best centroid among those closest to its
  // generating centre: the same assignment feeds both systems, so it only
  // has to be good, not the exhaustive argmax.
  t0 = Clock::now();
  if (!cached) {
    std::vector<int32_t> candidates(size_t(kTrueClusters) * kAssignCandidates);
    std::vector<std::pair<float, int32_t>> s(kNlist);
    for (int32_t t = 0; t < kTrueClusters; ++t) {
      for (int32_t c = 0; c < kNlist; ++c) {
        s[c] = {dot(&gen.centres[size_t(t) * kDim], centroids + size_t(c) * kDim, kDim), c};
      }
      std::partial_sort(s.begin(), s.begin() + kAssignCandidates, s.end(),
                        [](auto& a, auto& b) { return a.first > b.first; });
      for (int32_t i = 0; i < kAssignCandidates; ++i) {
        candidates[size_t(t) * kAssignCandidates + i] = s[i].second;
      }
    }
    prep.assign.assign(size_t(n), 0);
    for (int64_t i = 0; i < n; ++i) {
      const int32_t* cand = &candidates[size_t(label[size_t(i)]) * kAssignCandidates];
      float best = -1e30f;
      for (int32_t a = 0; a < kAssignCandidates; ++a) {
        const float sc = dot(&x[size_t(i) * kDim], centroids + size_t(cand[a]) * kDim, kDim);
        if (sc > best) {
          best = sc;
          prep.assign[size_t(i)] = cand[a];
        }
      }
    }
  }
  {
    std::vector<faiss::Index::idx_t> assign(prep.assign.begin(), prep.assign.end());
    faiss_ivf.add_core(n, x.data(), nullptr, assign.data());
  }
  std::fprintf(stderr, "assign + add: %.1f s\n", seconds_since(t0));

  // The same lists for the runtime, in FAISS's order within each list.
  std::vector<int64_t> list_ids;
  std::vector<int32_t> list_offsets{0};
  for (int32_t c = 0; c < kNlist; ++c) {
    const size_t size = faiss_ivf.invlists->list_size(c);
    const faiss::Index::idx_t* ids = faiss_ivf.invlists->get_ids(c);
    list_ids.insert(list_ids.end(), ids, ids + size);
    list_offsets.push_back(static_cast<int32_t>(list_ids.size()));
  }

  if (!cached) {
    t0 = Clock::now();
    prep.truth = exact_topk(x, n, queries, nq);
    std::fprintf(stderr, "exact: %.1f s\n", seconds_since(t0));
    prep.save(cache, n, nq);
  }
  const std::vector<int64_t>& truth = prep.truth;

  omp_set_num_threads(1);
  std::printf("IVF search, %lld x %d, nlist %d, k %d, %d queries, %d rounds (median of thread "
              "time), one thread\n",
              static_cast<long long>(n), kDim, kNlist, kTopK, nq, rounds);
  std::printf("%-10s %6s %11s %11s %7s %9s %9s %9s\n", "layout", "nprobe", "zv q/s", "faiss q/s",
              "ratio", "zv rec", "faiss rec", "same set");

  std::vector<int64_t> zv_ids(size_t(nq) * kTopK), faiss_ids(size_t(nq) * kTopK);
  std::vector<float> zv_scores(size_t(nq) * kTopK), faiss_scores(size_t(nq) * kTopK);
  std::vector<faiss::Index::idx_t> fi(kTopK);
  for (int layout = 0; layout < 2; ++layout) {
    // Arbitrary order keeps the generated order (each listed id a random
    // read); grouped lays each list's rows out contiguously.
    std::vector<float> rows;
    std::vector<int64_t> row_ids;
    std::vector<int64_t> keys;
    std::vector<int32_t> offs, sizes;
    if (layout == 0) {
      row_ids = zvbench::sequential_ids(n);
      keys = {0};
      offs = {0};
      sizes = {static_cast<int32_t>(n)};
    } else {
      rows.resize(size_t(n) * kDim);
      row_ids = list_ids;
      for (size_t r = 0; r < list_ids.size(); ++r) {
        std::memcpy(&rows[r * kDim], &x[size_t(list_ids[r]) * kDim], kDim * sizeof(float));
      }
      for (int32_t c = 0; c < kNlist; ++c) {
        keys.push_back(c);
        offs.push_back(list_offsets[c]);
        sizes.push_back(list_offsets[c + 1] - list_offsets[c]);
      }
    }
    zv_index* index = zv_index_new(kDim, 0);
    zv_index_build(index, layout == 0 ? x.data() : rows.data(), n, kDim, row_ids.data(),
                   keys.data(), offs.data(), sizes.data(), static_cast<int32_t>(keys.size()));
    std::vector<float>().swap(rows);
    zv_index_set_ivf(index, 1, kNlist, 8, centroids, list_ids.data(), list_offsets.data(),
                     static_cast<int32_t>(list_ids.size()));

    for (int32_t nprobe : {8, 32}) {
      zv_index_set_ivf_nprobe(index, 1, nprobe);
      faiss_ivf.nprobe = nprobe;
      auto run_zv = [&] {
        for (int32_t q = 0; q < nq; ++q) {
          zv_index_search_ivf(index, 1, &queries[size_t(q) * kDim], kTopK,
                              &zv_ids[size_t(q) * kTopK], &zv_scores[size_t(q) * kTopK]);
        }
      };
      auto run_faiss = [&] {
        for (int32_t q = 0; q < nq; ++q) {
          faiss_ivf.search(1, &queries[size_t(q) * kDim], kTopK, &faiss_scores[size_t(q) * kTopK],
                           fi.data());
          std::copy(fi.begin(), fi.end(), faiss_ids.begin() + q * kTopK);
        }
      };
      run_zv();
      run_faiss();
      std::vector<double> zv_t, faiss_t;
      for (int32_t r = 0; r < rounds; ++r) {
        for (int side = 0; side < 2; ++side) {
          const bool zv_turn = (side == 0) == (r % 2 == 0);
          const double start = thread_seconds();
          if (zv_turn) run_zv();
          else run_faiss();
          (zv_turn ? zv_t : faiss_t).push_back(thread_seconds() - start);
        }
      }
      const double zv_qps = nq / median(zv_t);
      const double faiss_qps = nq / median(faiss_t);
      std::printf("%-10s %6d %11.0f %11.0f %7.2f %9.4f %9.4f %5d/%d\n",
                  layout == 0 ? "arbitrary" : "grouped", nprobe, zv_qps, faiss_qps,
                  zv_qps / faiss_qps, recall(zv_ids, truth, nq), recall(faiss_ids, truth, nq),
                  same_sets(zv_ids, faiss_ids, nq), nq);
      std::fflush(stdout);
    }
    zv_index_free(index);
  }
  return 0;
#endif
}
