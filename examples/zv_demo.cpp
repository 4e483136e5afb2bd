// zv-demo: the life of an index, timed step by step.
//
// With no arguments it generates a clustered synthetic dataset from a fixed
// seed; with --base (and optionally --queries) it reads .fvecs files such as
// the SIFT/GIST benchmark sets. Then it builds a partitioned base, runs exact
// full and partition searches, trains an IVF index with its own k-means and
// measures recall@k against exact search, writes to the delta (inserts,
// upserts, deletes) and runs candidate searches, and finally attaches row
// metadata and runs filtered searches.
//
// It uses only the public C interface. Like any host it keeps its own
// threads: read-only calls run concurrently on one handle, writes alone.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cmath>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "zv_runtime.h"

namespace {

struct Options {
  int64_t n = 200000;
  int32_t dim = 128;
  int32_t partitions = 64;
  int32_t nlist = 256;
  int32_t queries = 100;
  int32_t k = 10;
  int32_t threads = 0;  // 0: one per core
  uint64_t seed = 20240611;
  std::string base_path, query_path;
};

void usage(const char* argv0) {
  std::printf(
      "usage: %s [options]\n"
      "  --base FILE.fvecs     real base vectors (default: synthetic clustered data)\n"
      "  --queries FILE.fvecs  query vectors (default: held out from the base)\n"
      "  --n N                 rows (synthetic) or at most N rows read (default 200000)\n"
      "  --dim D               synthetic dimension (default 128)\n"
      "  --partitions P        partitions of the base (default 64)\n"
      "  --nlist L             IVF lists (default 256)\n"
      "  --nq Q                queries (default 100)\n"
      "  --k K                 results per query (default 10)\n"
      "  --threads T           host threads for parallel steps (default: cores)\n"
      "  --seed S              synthetic data seed\n",
      argv0);
}

// A whole number in [lo, hi], or a message naming the option.
bool number(const char* option, const char* text, int64_t lo, int64_t hi, int64_t& out) {
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(text, &end, 10);
  if (end == text || *end != '\0' || errno == ERANGE) {
    std::fprintf(stderr, "%s: '%s' is not a whole number\n", option, text);
    return false;
  }
  if (v < lo || v > hi) {
    std::fprintf(stderr, "%s must lie in [%lld, %lld], got %lld\n", option, static_cast<long long>(lo),
                 static_cast<long long>(hi), v);
    return false;
  }
  out = v;
  return true;
}

enum class Parsed { ok, help, error };

Parsed parse(int argc, char** argv, Options& o) {
  const int64_t i32 = INT32_MAX;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "-h" || a == "--help") return Parsed::help;
    if (i + 1 >= argc) {
      std::fprintf(stderr, "%s needs a value\n", a.c_str());
      return Parsed::error;
    }
    const char* v = argv[++i];
    int64_t x = 0;
    bool ok = true;
    if (a == "--base") o.base_path = v;
    else if (a == "--queries") o.query_path = v;
    else if (a == "--n") ok = number("--n", v, 1, int64_t{1} << 40, o.n);
    else if (a == "--dim") ok = number("--dim", v, 1, 1 << 20, x), o.dim = static_cast<int32_t>(x);
    else if (a == "--partitions") ok = number("--partitions", v, 1, i32, x), o.partitions = static_cast<int32_t>(x);
    else if (a == "--nlist") ok = number("--nlist", v, 1, i32, x), o.nlist = static_cast<int32_t>(x);
    else if (a == "--nq") ok = number("--nq", v, 1, i32, x), o.queries = static_cast<int32_t>(x);
    else if (a == "--k") ok = number("--k", v, 1, i32, x), o.k = static_cast<int32_t>(x);
    else if (a == "--threads") ok = number("--threads", v, 0, 4096, x), o.threads = static_cast<int32_t>(x);
    else if (a == "--seed") ok = number("--seed", v, 0, INT64_MAX, x), o.seed = static_cast<uint64_t>(x);
    else {
      std::fprintf(stderr, "unknown option %s\n", a.c_str());
      return Parsed::error;
    }
    if (!ok) return Parsed::error;
  }
  return Parsed::ok;
}

// Sizes that the data cannot serve, said before any work starts.
bool sizes_fit(const Options& o, int64_t rows, int32_t dim, bool synthetic) {
  bool ok = true;
  if (rows > (int64_t{1} << 40) / dim) {
    std::fprintf(stderr, "%lld rows of %d floats exceed the library's 2^40 floats per base\n",
                 static_cast<long long>(rows), dim);
    ok = false;
  }
  if (o.partitions > rows) {
    std::fprintf(stderr, "--partitions %d is more than the %lld base rows%s\n", o.partitions,
                 static_cast<long long>(rows), synthetic ? " (--n)" : "");
    ok = false;
  }
  if (o.nlist > rows) {
    std::fprintf(stderr, "--nlist %d is more than the %lld base rows%s: every IVF list needs a row\n",
                 o.nlist, static_cast<long long>(rows), synthetic ? " (--n)" : "");
    ok = false;
  }
  if (o.k > rows) {
    std::fprintf(stderr, "--k %d is more than the %lld base rows\n", o.k, static_cast<long long>(rows));
    ok = false;
  }
  return ok;
}

// ---------------------------------------------------------------------------
// Timing, progress, threads

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Progress of a long step: a line that rewrites itself on a terminal; in a
// log, a line at each quarter once the step has run for a few seconds.
struct Progress {
  const char* what;
  bool tty = isatty(2) != 0;
  int last = -1;
  Clock::time_point start = Clock::now();
  void update(double fraction) {
    int pct = static_cast<int>(fraction * 100);
    if (tty) {
      if (pct == last) return;
      last = pct;
      std::fprintf(stderr, "\r  %s %3d%%", what, pct);
    } else {
      if (pct / 25 == last / 25 || pct < 25 || seconds_since(start) < 3) return;
      last = pct;
      std::fprintf(stderr, "  %s %d%% (%.0f s)\n", what, pct / 25 * 25, seconds_since(start));
    }
    std::fflush(stderr);
  }
  void done() {
    if (tty) std::fprintf(stderr, "\r\033[K");
  }
};

int g_threads = 1;
int g_failures = 0;  // self-checks that failed; any makes the exit status 1

// Runs body(begin, end) over [0, n) split into one contiguous chunk per thread.
void parallel_for(int64_t n, const std::function<void(int64_t, int64_t)>& body) {
  int t = static_cast<int>(std::min<int64_t>(g_threads, std::max<int64_t>(n, 1)));
  if (t <= 1) return body(0, n);
  std::vector<std::thread> pool;
  for (int i = 0; i < t; ++i)
    pool.emplace_back(body, n * i / t, n * (i + 1) / t);
  for (auto& th : pool) th.join();
}

void report(const char* step, const char* detail, double secs, double count, const char* unit) {
  std::printf("  %-26s %-30s %9.3f s  %12.0f %s/s\n", step, detail, secs, count / secs, unit);
}

// ---------------------------------------------------------------------------
// Data

// splitmix64: a fixed generator, so the dataset is the same on every platform.
struct Rng {
  uint64_t s;
  uint64_t next() {
    uint64_t z = (s += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
  }
  double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
  float normal() {  // Box-Muller; one draw per call keeps it simple
    double u = uniform(), v = uniform();
    return static_cast<float>(std::sqrt(-2.0 * std::log(1.0 - u)) * std::cos(6.283185307179586 * v));
  }
};

void normalize(float* v, int32_t dim) {
  double s = 0;
  for (int32_t j = 0; j < dim; ++j) s += static_cast<double>(v[j]) * v[j];
  float inv = s > 0 ? static_cast<float>(1.0 / std::sqrt(s)) : 0.0f;
  for (int32_t j = 0; j < dim; ++j) v[j] *= inv;
}

struct Dataset {
  int32_t dim = 0;
  std::vector<float> base, queries;
  std::vector<int32_t> labels;  // partition of each base row; empty: derive by k-means
  int64_t rows() const { return static_cast<int64_t>(base.size()) / dim; }
  int64_t nq() const { return static_cast<int64_t>(queries.size()) / dim; }
};

// Unit vectors around `partitions` random centres: the kind of data an
// embedding model produces, where inner product is cosine similarity.
Dataset synthetic(const Options& o) {
  Dataset d;
  d.dim = o.dim;
  std::vector<float> centres(static_cast<size_t>(o.partitions) * o.dim);
  Rng rng{o.seed};
  for (auto& c : centres) c = rng.normal();
  for (int32_t p = 0; p < o.partitions; ++p) normalize(&centres[static_cast<size_t>(p) * o.dim], o.dim);

  const int64_t total = o.n + o.queries;
  std::vector<float> all(static_cast<size_t>(total) * o.dim);
  std::vector<int32_t> labels(total);
  const float spread = 1.1f / std::sqrt(static_cast<float>(o.dim));
  Progress progress{"generating"};
  // Each row draws from its own stream, so threads do not change the data.
  parallel_for(total, [&](int64_t begin, int64_t end) {
    for (int64_t i = begin; i < end; ++i) {
      Rng r{o.seed ^ (0xd1b54a32d192ed03ull * static_cast<uint64_t>(i + 1))};
      int32_t p = static_cast<int32_t>(r.next() % static_cast<uint64_t>(o.partitions));
      float* v = &all[static_cast<size_t>(i) * o.dim];
      const float* c = &centres[static_cast<size_t>(p) * o.dim];
      for (int32_t j = 0; j < o.dim; ++j) v[j] = c[j] + spread * r.normal();
      normalize(v, o.dim);
      labels[i] = p;
      if (begin == 0 && (i & 4095) == 0) progress.update(static_cast<double>(i) / end);
    }
  });
  progress.done();
  d.base.assign(all.begin(), all.begin() + o.n * o.dim);
  d.queries.assign(all.begin() + o.n * o.dim, all.end());
  d.labels.assign(labels.begin(), labels.begin() + o.n);
  return d;
}

// .fvecs: each vector is an int32 dimension followed by that many float32s.
bool read_fvecs(const std::string& path, int64_t max_rows, int32_t& dim, std::vector<float>& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot open %s\n", path.c_str());
    return false;
  }
  out.clear();
  int32_t d = 0;
  for (int64_t i = 0; i < max_rows && in.read(reinterpret_cast<char*>(&d), 4); ++i) {
    if (d <= 0 || (dim && d != dim)) {
      std::fprintf(stderr, "%s: row %lld has dimension %d, expected %d\n", path.c_str(),
                   static_cast<long long>(i), d, dim);
      return false;
    }
    dim = d;
    size_t at = out.size();
    out.resize(at + d);
    if (!in.read(reinterpret_cast<char*>(&out[at]), 4LL * d)) {
      std::fprintf(stderr, "%s: truncated at row %lld\n", path.c_str(), static_cast<long long>(i));
      return false;
    }
  }
  if (out.empty()) std::fprintf(stderr, "%s: no vectors\n", path.c_str());
  return !out.empty();
}

// ---------------------------------------------------------------------------
// k-means, with the library doing the assignment step: the centroids become
// the base of a scratch index and each point's best centroid is a top-1
// search, scored exactly as IVF probing will later score them.

void assign(const float* points, int64_t n, const std::vector<float>& centroids, int32_t dim,
            int32_t* out, Progress* progress) {
  const int32_t count = static_cast<int32_t>(centroids.size() / dim);
  std::vector<int64_t> ids(count);
  for (int32_t c = 0; c < count; ++c) ids[c] = c;
  zv_index* scratch = zv_index_new(dim, 0);
  zv_index_build(scratch, centroids.data(), count, dim, ids.data(), nullptr, nullptr, nullptr, 0);
  parallel_for(n, [&](int64_t begin, int64_t end) {
    for (int64_t i = begin; i < end; ++i) {
      int64_t best = 0;
      float score;
      zv_index_search_full(scratch, points + i * dim, 1, &best, &score);
      out[i] = static_cast<int32_t>(best);
      if (progress && begin == 0 && (i & 1023) == 0) progress->update(static_cast<double>(i) / (end - begin));
    }
  });
  zv_index_free(scratch);
}

// Spherical k-means (unit-length centroids): fits inner-product search.
std::vector<float> train_kmeans(const std::vector<float>& data, int32_t dim, int32_t clusters,
                                int iterations, uint64_t seed, const char* what) {
  const int64_t n = static_cast<int64_t>(data.size()) / dim;
  const int64_t sample_n = std::min<int64_t>(n, 64LL * clusters);
  Rng rng{seed};
  // A sample of distinct rows (partial Fisher-Yates).
  std::vector<int64_t> pick(n);
  for (int64_t i = 0; i < n; ++i) pick[i] = i;
  for (int64_t i = 0; i < sample_n; ++i) std::swap(pick[i], pick[i + static_cast<int64_t>(rng.next() % (n - i))]);
  std::vector<float> sample(static_cast<size_t>(sample_n) * dim);
  for (int64_t i = 0; i < sample_n; ++i)
    std::memcpy(&sample[i * dim], &data[pick[i] * dim], sizeof(float) * dim);

  std::vector<float> centroids(static_cast<size_t>(clusters) * dim);
  for (int32_t c = 0; c < clusters; ++c) {
    std::memcpy(&centroids[static_cast<size_t>(c) * dim], &sample[(c % sample_n) * dim], sizeof(float) * dim);
    normalize(&centroids[static_cast<size_t>(c) * dim], dim);
  }
  std::vector<int32_t> label(sample_n);
  std::vector<double> sum(static_cast<size_t>(clusters) * dim);
  std::vector<int64_t> size(clusters);
  Progress progress{what};
  for (int it = 0; it < iterations; ++it) {
    progress.update(static_cast<double>(it) / iterations);
    assign(sample.data(), sample_n, centroids, dim, label.data(), nullptr);
    std::fill(sum.begin(), sum.end(), 0.0);
    std::fill(size.begin(), size.end(), 0);
    for (int64_t i = 0; i < sample_n; ++i) {
      ++size[label[i]];
      for (int32_t j = 0; j < dim; ++j) sum[static_cast<size_t>(label[i]) * dim + j] += sample[i * dim + j];
    }
    for (int32_t c = 0; c < clusters; ++c) {
      float* cv = &centroids[static_cast<size_t>(c) * dim];
      if (size[c] == 0) {  // reseed an empty cluster with a random sample row
        std::memcpy(cv, &sample[static_cast<int64_t>(rng.next() % sample_n) * dim], sizeof(float) * dim);
      } else {
        for (int32_t j = 0; j < dim; ++j) cv[j] = static_cast<float>(sum[static_cast<size_t>(c) * dim + j]);
      }
      normalize(cv, dim);
    }
  }
  progress.done();
  return centroids;
}

// ---------------------------------------------------------------------------
// Searching many queries

struct Results {
  int32_t k;
  std::vector<int64_t> ids;
  std::vector<float> scores;
  Results(int64_t nq, int32_t k) : k(k), ids(nq * k, ZV_EMPTY_ID), scores(nq * k, ZV_EMPTY_SCORE) {}
  const int64_t* row(int64_t q) const { return &ids[q * k]; }
};

// Runs `search(query, i, out_ids, out_scores)` for every query on `threads`
// threads (read-only calls may share a handle) and returns the seconds taken.
template <class F>
double run_queries(const Dataset& d, Results& r, int threads, F search) {
  auto t0 = Clock::now();
  const int saved = g_threads;
  g_threads = threads;
  parallel_for(d.nq(), [&](int64_t begin, int64_t end) {
    for (int64_t q = begin; q < end; ++q)
      search(&d.queries[q * d.dim], q, &r.ids[q * r.k], &r.scores[q * r.k]);
  });
  g_threads = saved;
  return seconds_since(t0);
}

double recall(const Results& truth, const Results& got, int64_t nq) {
  int64_t hit = 0, want = 0;
  for (int64_t q = 0; q < nq; ++q) {
    const int64_t* t = truth.row(q);
    const int64_t* g = got.row(q);
    for (int32_t i = 0; i < truth.k; ++i) {
      if (t[i] == ZV_EMPTY_ID) continue;
      ++want;
      hit += std::find(g, g + got.k, t[i]) != g + got.k;
    }
  }
  return want ? static_cast<double>(hit) / want : 1.0;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // steps appear as they finish, also in a pipe
  Options o;
  switch (parse(argc, argv, o)) {
    case Parsed::help:
      usage(argv[0]);
      return 0;
    case Parsed::error:
      std::fprintf(stderr, "run %s --help for the options\n", argv[0]);
      return 2;
    case Parsed::ok:
      break;
  }
  if (o.base_path.empty() && !sizes_fit(o, o.n, o.dim, true)) return 2;
  g_threads = o.threads > 0 ? o.threads : std::max(1u, std::thread::hardware_concurrency());
  const auto start = Clock::now();

  // -- the data ---------------------------------------------------------------
  Dataset d;
  std::printf("zv-demo: zv_runtime %d.%d.%d, format %d, %d host threads\n", ZV_RUNTIME_VERSION_MAJOR,
              ZV_RUNTIME_VERSION_MINOR, ZV_RUNTIME_VERSION_PATCH, zv_runtime_format_version(), g_threads);
  auto t0 = Clock::now();
  if (o.base_path.empty()) {
    d = synthetic(o);
    std::printf("\ndata: synthetic, %lld unit vectors x %d around %d centres (seed %llu), %lld queries\n",
                static_cast<long long>(d.rows()), d.dim, o.partitions,
                static_cast<unsigned long long>(o.seed), static_cast<long long>(d.nq()));
  } else {
    const bool user_n = [&] {
      for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--n") == 0) return true;
      return false;
    }();
    const int64_t max_rows = user_n ? o.n + (o.query_path.empty() ? o.queries : 0) : INT64_MAX;
    if (!read_fvecs(o.base_path, max_rows, d.dim, d.base)) return 1;
    if (!o.query_path.empty()) {
      int32_t qdim = d.dim;
      if (!read_fvecs(o.query_path, o.queries, qdim, d.queries)) return 1;
    } else {  // hold the last rows out as queries
      int64_t nq = std::min<int64_t>(o.queries, d.rows() / 2);
      d.queries.assign(d.base.end() - nq * d.dim, d.base.end());
      d.base.resize(d.base.size() - nq * d.dim);
    }
    std::printf("\ndata: %s, %lld vectors x %d, %lld queries%s\n", o.base_path.c_str(),
                static_cast<long long>(d.rows()), d.dim, static_cast<long long>(d.nq()),
                o.query_path.empty() ? " (held out from the base)" : "");
  }
  report("load", "", seconds_since(t0), static_cast<double>(d.rows()), "rows");
  if (!o.base_path.empty() && !sizes_fit(o, d.rows(), d.dim, false)) return 2;
  const int64_t n = d.rows(), nq = d.nq();
  const int32_t dim = d.dim, k = o.k;

  // -- build ------------------------------------------------------------------
  std::printf("\n1. build: a sealed base in partitions (the host groups rows by partition)\n");
  if (d.labels.empty()) {
    t0 = Clock::now();
    auto centres = train_kmeans(d.base, dim, o.partitions, 6, o.seed, "partitioning");
    d.labels.resize(n);
    Progress progress{"assigning"};
    assign(d.base.data(), n, centres, dim, d.labels.data(), &progress);
    progress.done();
    report("partition by k-means", "", seconds_since(t0), static_cast<double>(n), "rows");
  }
  // Counting sort by partition; ids stay the original row numbers.
  std::vector<int64_t> part_keys, part_sizes_64(o.partitions, 0);
  for (int64_t i = 0; i < n; ++i) ++part_sizes_64[d.labels[i]];
  std::vector<int32_t> part_offsets, part_sizes;
  std::vector<int64_t> cursor(o.partitions);
  for (int32_t p = 0, at = 0; p < o.partitions; ++p) {
    cursor[p] = at;
    if (part_sizes_64[p] == 0) continue;
    part_keys.push_back(p);
    part_offsets.push_back(at);
    part_sizes.push_back(static_cast<int32_t>(part_sizes_64[p]));
    at += static_cast<int32_t>(part_sizes_64[p]);
  }
  std::vector<float> rows(static_cast<size_t>(n) * dim);
  std::vector<int64_t> ids(n);
  for (int64_t i = 0; i < n; ++i) {
    int64_t r = cursor[d.labels[i]]++;
    std::memcpy(&rows[r * dim], &d.base[i * dim], sizeof(float) * dim);
    ids[r] = i;
  }
  zv_index* index = zv_index_new(dim, /*tag=*/1);
  t0 = Clock::now();
  if (zv_index_build(index, rows.data(), n, dim, ids.data(), part_keys.data(), part_offsets.data(),
                     part_sizes.data(), static_cast<int32_t>(part_keys.size())) != 0) {
    std::fprintf(stderr, "build rejected\n");
    return 1;
  }
  double secs = seconds_since(t0);
  report("zv_index_build", "", secs, static_cast<double>(n), "rows");
  std::printf("  %lld rows, %zu partitions, %.1f MB of vectors copied in (%.2f GB/s)\n",
              static_cast<long long>(n), part_keys.size(), n * dim * 4.0 / 1e6, n * dim * 4.0 / 1e9 / secs);

  // -- exact searches -----------------------------------------------------------
  std::printf("\n2. exact search: whole base and one partition (top-%d)\n", k);
  Results exact(nq, k);
  secs = run_queries(d, exact, 1, [&](const float* q, int64_t, int64_t* oi, float* os) {
    zv_index_search_full(index, q, k, oi, os);
  });
  report("zv_index_search_full", "1 thread", secs, static_cast<double>(nq), "queries");
  const double exact_qps = nq / secs;
  std::printf("  %-26s %-30s %9s    %12.0f rows/s scored\n", "", "", "", n * nq / secs);
  if (g_threads > 1) {
    Results again(nq, k);
    secs = run_queries(d, again, g_threads, [&](const float* q, int64_t, int64_t* oi, float* os) {
      zv_index_search_full(index, q, k, oi, os);
    });
    char detail[64];
    std::snprintf(detail, sizeof detail, "%d threads, one handle", g_threads);
    report("zv_index_search_full", detail, secs, static_cast<double>(nq), "queries");
    if (again.ids != exact.ids || std::memcmp(again.scores.data(), exact.scores.data(), sizeof(float) * nq * k) != 0)
      std::printf("  !! concurrent results differ\n"), ++g_failures;
  }
  std::printf("  query 0, best %d:", std::min(k, 3));
  for (int32_t i = 0; i < std::min(k, 3); ++i)
    std::printf("  id %lld (%.4f)", static_cast<long long>(exact.ids[i]), exact.scores[i]);
  std::printf("\n");

  // The partition whose mean vector best matches the query: a coarse router.
  std::vector<float> means(part_keys.size() * dim, 0.0f);
  for (size_t p = 0; p < part_keys.size(); ++p) {
    for (int64_t r = part_offsets[p]; r < part_offsets[p] + part_sizes[p]; ++r)
      for (int32_t j = 0; j < dim; ++j) means[p * dim + j] += rows[r * dim + j];
    normalize(&means[p * dim], dim);
  }
  std::vector<int32_t> route(nq);
  assign(d.queries.data(), nq, means, dim, route.data(), nullptr);
  Results part(nq, k);
  secs = run_queries(d, part, 1, [&](const float* q, int64_t i, int64_t* oi, float* os) {
    zv_index_search_partition(index, part_keys[route[i]], q, k, oi, os);
  });
  report("zv_index_search_partition", "best partition per query", secs, static_cast<double>(nq), "queries");
  std::printf("  recall@%d of the best partition alone: %.3f\n", k, recall(exact, part, nq));

  // -- IVF --------------------------------------------------------------------
  std::printf("\n3. IVF: %d lists trained by the demo's k-means, registered, probed\n", o.nlist);
  t0 = Clock::now();
  auto centroids = train_kmeans(d.base, dim, o.nlist, 8, o.seed + 1, "training");
  report("k-means (spherical)", "sample of 64 rows per list", seconds_since(t0), 8.0, "iterations");
  t0 = Clock::now();
  std::vector<int32_t> list_of(n);
  {
    Progress progress{"assigning"};
    assign(rows.data(), n, centroids, dim, list_of.data(), &progress);
    progress.done();
  }
  std::vector<int32_t> list_offsets(o.nlist + 1, 0);
  for (int64_t r = 0; r < n; ++r) ++list_offsets[list_of[r] + 1];
  for (int32_t c = 0; c < o.nlist; ++c) list_offsets[c + 1] += list_offsets[c];
  std::vector<int64_t> list_ids(n);
  {
    std::vector<int32_t> fill(list_offsets.begin(), list_offsets.end() - 1);
    for (int64_t r = 0; r < n; ++r) list_ids[fill[list_of[r]]++] = ids[r];
  }
  report("assign rows to lists", "", seconds_since(t0), static_cast<double>(n), "rows");
  const uint64_t ivf_key = 0x1f;
  t0 = Clock::now();
  zv_index_set_ivf(index, ivf_key, o.nlist, 1, centroids.data(), list_ids.data(), list_offsets.data(),
                   static_cast<int32_t>(n));
  report("zv_index_set_ivf", "", seconds_since(t0), static_cast<double>(n), "ids");
  std::printf("  %8s %10s %12s %14s\n", "nprobe", "recall@k", "queries/s", "speed-up");
  for (int32_t nprobe : {1, 2, 4, 8, 16, 32}) {
    if (nprobe > o.nlist) break;
    zv_index_set_ivf_nprobe(index, ivf_key, nprobe);
    Results ivf(nq, k);
    secs = run_queries(d, ivf, 1, [&](const float* q, int64_t, int64_t* oi, float* os) {
      zv_index_search_ivf(index, ivf_key, q, k, oi, os);
    });
    std::printf("  %8d %10.3f %12.0f %13.1fx\n", nprobe, recall(exact, ivf, nq), nq / secs, nq / secs / exact_qps);
  }

  // -- writes -------------------------------------------------------------------
  const int64_t n_new = std::max<int64_t>(1, n / 20), n_upd = std::max<int64_t>(1, n / 200),
                n_del = std::max<int64_t>(1, n / 40);
  std::printf("\n4. writes: %lld inserts, %lld upserts of base rows, %lld deletes, then candidate search\n",
              static_cast<long long>(n_new), static_cast<long long>(n_upd), static_cast<long long>(n_del));
  // New rows: copies of base rows nudged towards a query, so they matter.
  std::vector<float> fresh(static_cast<size_t>(n_new) * dim);
  std::vector<int64_t> fresh_ids(n_new);
  Rng wr{o.seed + 2};
  for (int64_t i = 0; i < n_new; ++i) {
    const float* src = &rows[static_cast<int64_t>(wr.next() % n) * dim];
    const float* q = &d.queries[static_cast<int64_t>(wr.next() % nq) * dim];
    for (int32_t j = 0; j < dim; ++j) fresh[i * dim + j] = src[j] + 0.5f * q[j];
    normalize(&fresh[i * dim], dim);
    fresh_ids[i] = n + i;
  }
  t0 = Clock::now();
  int64_t version = 0;
  for (int64_t at = 0; at < n_new; at += 1000) {  // in batches of 1000, as a writer would
    int32_t b = static_cast<int32_t>(std::min<int64_t>(1000, n_new - at));
    version = zv_index_insert(index, &fresh[at * dim], &fresh_ids[at], b);
  }
  report("zv_index_insert", "batches of 1000 new ids", seconds_since(t0), static_cast<double>(n_new), "rows");
  // Upsert: the best hits of the first queries get new vectors.
  std::vector<int64_t> upd_ids;
  std::vector<float> upd;
  for (int64_t i = 0; upd_ids.size() < static_cast<size_t>(n_upd) && i < n; ++i) {
    int64_t id = i < nq * k ? exact.ids[i] : ids[(i * 7919) % n];
    if (id < 0 || std::find(upd_ids.begin(), upd_ids.end(), id) != upd_ids.end()) continue;
    upd_ids.push_back(id);
    for (int32_t j = 0; j < dim; ++j) upd.push_back(-d.base[id * dim + j]);  // now points away
  }
  t0 = Clock::now();
  version = zv_index_insert(index, upd.data(), upd_ids.data(), static_cast<int32_t>(upd_ids.size()));
  report("zv_index_insert", "upserts of base ids", seconds_since(t0), static_cast<double>(upd_ids.size()), "rows");
  std::vector<int64_t> del_ids(n_del);
  for (int64_t i = 0; i < n_del; ++i)  // every other one is a fresh row, the rest base rows
    del_ids[i] = (i & 1) ? fresh_ids[static_cast<int64_t>(wr.next() % n_new)] : ids[static_cast<int64_t>(wr.next() % n)];
  t0 = Clock::now();
  version = zv_index_delete(index, del_ids.data(), static_cast<int32_t>(n_del));
  report("zv_index_delete", "tombstones", seconds_since(t0), static_cast<double>(n_del), "ids");
  std::printf("  version %lld, delta rows %lld, visible rows %lld (base as built: %lld)\n",
              static_cast<long long>(version), static_cast<long long>(zv_index_delta_count(index)),
              static_cast<long long>(zv_index_visible_count(index)), static_cast<long long>(n));

  // Exact answer over the visible state, then the usual fast path: IVF
  // candidates from the base plus the (small) delta's ids, re-scored against
  // the current state so that deleted rows drop out and upserts count.
  Results visible(nq, k);
  secs = run_queries(d, visible, 1, [&](const float* q, int64_t, int64_t* oi, float* os) {
    zv_index_search_filtered(index, 0, 0, 0, q, k, oi, os);
  });
  report("exact over visible rows", "zv_index_search_filtered", secs, static_cast<double>(nq), "queries");
  zv_index_set_ivf_nprobe(index, ivf_key, 16);
  const int32_t pool = 10 * k;
  Results cand(nq, k);
  std::atomic<int64_t> dropped{0};
  secs = run_queries(d, cand, 1, [&](const float* q, int64_t, int64_t* oi, float* os) {
    std::vector<int64_t> c(pool + n_new);
    std::vector<float> cs(pool);
    zv_index_search_ivf(index, ivf_key, q, pool, c.data(), cs.data());
    std::copy(fresh_ids.begin(), fresh_ids.end(), c.begin() + pool);
    zv_index_search_mvcc(index, c.data(), static_cast<int32_t>(c.size()), q, k, oi, os);
    int64_t stale = 0;
    for (int32_t i = 0; i < k; ++i) stale += std::find(del_ids.begin(), del_ids.end(), c[i]) != del_ids.end();
    dropped += stale;
  });
  char detail[64];
  std::snprintf(detail, sizeof detail, "IVF top-%d + delta ids", pool);
  report("zv_index_search_mvcc", detail, secs, static_cast<double>(nq), "queries");
  std::printf("  recall@%d against the visible state: %.3f; deleted rows among IVF's top-%d, "
              "dropped: %lld\n", k, recall(visible, cand, nq), k, static_cast<long long>(dropped.load()));

  // -- metadata ---------------------------------------------------------------
  std::printf("\n5. metadata: a primary value (tenant) and two columns (category, year) per id\n");
  const int64_t n_meta = n + n_new;
  std::vector<int64_t> meta_ids(n_meta), primary(n_meta), columns(n_meta * 2);
  for (int64_t i = 0; i < n_meta; ++i) {
    meta_ids[i] = i;
    primary[i] = i % 16;
    columns[i * 2] = static_cast<int64_t>((static_cast<uint64_t>(i) * 2654435761u >> 7) % 10);
    columns[i * 2 + 1] = 2015 + i % 10;
  }
  t0 = Clock::now();
  for (int64_t at = 0; at < n_meta; at += 65536) {
    int32_t b = static_cast<int32_t>(std::min<int64_t>(65536, n_meta - at));
    zv_index_set_rowmeta(index, &meta_ids[at], &primary[at], &columns[at * 2], 2, b);
  }
  report("zv_index_set_rowmeta", "", seconds_since(t0), static_cast<double>(n_meta), "ids");
  std::vector<int64_t> matched(zv_index_visible_count(index));
  t0 = Clock::now();
  int64_t count = zv_index_match_ids(index, 1, 0, 3, matched.data());
  report("zv_index_match_ids", "tenant = 3", seconds_since(t0), static_cast<double>(zv_index_visible_count(index)),
         "rows");
  std::printf("  %lld visible rows have tenant 3\n", static_cast<long long>(count));
  struct Filter {
    const char* what;
    int32_t kind, column;
    int64_t value;
  };
  for (const Filter& f : {Filter{"tenant = 3", 1, 0, 3}, Filter{"category = 7", 2, 0, 7},
                          Filter{"year = 2020", 2, 1, 2020}}) {
    Results fr(nq, k);
    secs = run_queries(d, fr, 1, [&](const float* q, int64_t, int64_t* oi, float* os) {
      zv_index_search_filtered(index, f.kind, f.column, f.value, q, k, oi, os);
    });
    // Check every hit against its metadata, read back from the index.
    std::vector<int64_t> hit_ids;
    for (int64_t id : fr.ids)
      if (id != ZV_EMPTY_ID) hit_ids.push_back(id);
    std::vector<int64_t> hp(hit_ids.size()), hc(hit_ids.size() * 2);
    zv_index_export_rowmeta(index, hit_ids.data(), static_cast<int32_t>(hit_ids.size()), hp.data(), hc.data());
    int64_t bad = 0;
    for (size_t i = 0; i < hit_ids.size(); ++i)
      bad += (f.kind == 1 ? hp[i] : hc[i * 2 + f.column]) != f.value;
    report("zv_index_search_filtered", f.what, secs, static_cast<double>(nq), "queries");
    std::printf("  %zu hits, %lld failing the filter\n", hit_ids.size(), static_cast<long long>(bad));
    g_failures += bad != 0;
  }

  zv_index_free(index);
  std::printf("\ndone in %.1f s%s\n", seconds_since(start), g_failures ? ", with FAILED checks" : "");
  return g_failures ? 1 : 0;
}
