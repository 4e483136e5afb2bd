// The fatal allocation path: an allocation that fails anywhere writes the one
// line to standard output and ends the process abnormally.
//
// Each case runs this executable again as a child (FatalChild.Site, told which
// site by ZV_FATAL_SITE), with standard output on a pipe. The child maps its
// large inputs first (untouched zero pages), then lowers its address-space
// limit a little above what it uses, then makes the call. Under the address
// sanitizer an address-space limit cannot work (the shadow memory alone
// exceeds it), so there the child asks for more than the sanitizer's allocator
// can ever give and has it return null instead of reporting.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "zv_runtime.h"

extern char** environ;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAsan = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAsan = true;
#else
constexpr bool kAsan = false;
#endif
#else
constexpr bool kAsan = false;
#endif

#if defined(__SANITIZE_THREAD__)
constexpr bool kTsan = true;
#else
constexpr bool kTsan = false;
#endif

constexpr const char kLineEnd[] = "alloc failed: returned a null pointer";

// --- child side --------------------------------------------------------------

// Anonymous zero pages that are never written: they cost address space only.
template <class T>
T* zero_pages(size_t count) {
  void* p = mmap(nullptr, count * sizeof(T), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                 -1, 0);
  if (p == MAP_FAILED) {
    std::fprintf(stderr, "child: mmap of %zu bytes failed\n", count * sizeof(T));
    _exit(3);
  }
  return static_cast<T*>(p);
}

// Caps the address space at what is mapped now plus `headroom` bytes.
void limit_address_space(size_t headroom) {
  if (kAsan) return;
  long pages = 0;
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr || std::fscanf(f, "%ld", &pages) != 1) _exit(4);
  std::fclose(f);
  const rlim_t cap = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + headroom;
  struct rlimit lim = {cap, cap};
  if (setrlimit(RLIMIT_AS, &lim) != 0) _exit(5);
}

constexpr size_t kMiB = size_t{1} << 20;

void site_build() {
  // A legal base: n * dim = 2^30 floats under a limit (or 2^40 floats, the
  // largest legal product, which no allocator gives under the sanitizer).
  const int64_t n = kAsan ? int64_t{1} << 20 : int64_t{1} << 24;
  const int32_t dim = kAsan ? 1 << 20 : 64;
  const int64_t* ids = zero_pages<int64_t>(static_cast<size_t>(n));
  const float* vectors = zero_pages<float>(kAsan ? 1 : static_cast<size_t>(n) * dim);
  zv_index* ix = zv_index_new(dim, 0);
  limit_address_space(64 * kMiB);
  std::printf("%d\n", zv_index_build(ix, vectors, n, dim, ids, nullptr, nullptr, nullptr, 0));
}

void site_insert_growth() {
  // Delta rows of 256 KiB: the vector list outgrows the limit while doubling.
  const int32_t dim = 1 << 16;
  const int32_t n = 2048;
  const float* vectors = zero_pages<float>(static_cast<size_t>(n) * dim);
  std::vector<int64_t> ids(n);
  for (int32_t i = 0; i < n; ++i) ids[i] = i;
  zv_index* ix = zv_index_new(dim, 0);
  limit_address_space(64 * kMiB);
  std::printf("%lld\n", static_cast<long long>(zv_index_insert(ix, vectors, ids.data(), n)));
}

void site_map_growth() {
  // Eight million distinct tombstones: only the map grows.
  const int32_t n = 1 << 23;
  std::vector<int64_t> ids(n);
  for (int32_t i = 0; i < n; ++i) ids[i] = int64_t{i} * 7919;
  zv_index* ix = zv_index_new(4, 0);
  limit_address_space(64 * kMiB);
  std::printf("%lld\n", static_cast<long long>(zv_index_delete(ix, ids.data(), n)));
}

void site_ivf_copy() {
  // Centroids of nlist * dim floats: 1 GiB under a limit, 4 TiB otherwise.
  const int32_t dim = kAsan ? 1 << 20 : 256;
  const int32_t nlist = 1 << 20;
  const float* centroids = zero_pages<float>(kAsan ? 1 : static_cast<size_t>(nlist) * dim);
  const int32_t* offsets = zero_pages<int32_t>(static_cast<size_t>(nlist) + 1);
  zv_index* ix = zv_index_new(dim, 0);
  limit_address_space(64 * kMiB);
  std::printf("%d\n", zv_index_set_ivf(ix, 1, nlist, 1, centroids, nullptr, offsets, 0));
}

void site_ivf_scratch() {
  // Dimension 0 stores no centroids; the search still needs one score per
  // list, 128 MiB here.
  const int32_t nlist = 1 << 25;
  const int32_t* offsets = zero_pages<int32_t>(static_cast<size_t>(nlist) + 1);
  zv_index* ix = zv_index_new(0, 0);
  zv_index_set_ivf(ix, 1, nlist, 1, nullptr, nullptr, offsets, 0);
  limit_address_space(16 * kMiB);
  int64_t id;
  float score;
  std::printf("%d\n", zv_index_search_ivf(ix, 1, nullptr, 1, &id, &score));
}

void site_rowmeta_columns() {
  // A legal but enormous column count: the column list cannot grow.
  zv_index* ix = zv_index_new(1, 0);
  limit_address_space(64 * kMiB);
  std::printf("%d\n", zv_index_set_rowmeta(ix, nullptr, nullptr, nullptr, 1 << 28, 0));
}

struct Site {
  const char* name;
  void (*run)();
  bool under_asan;  // whether the site can fail without an address-space limit
};

const Site kSites[] = {
    {"build", site_build, true},
    {"insert_growth", site_insert_growth, false},
    {"map_growth", site_map_growth, false},
    {"ivf_copy", site_ivf_copy, true},
    {"ivf_scratch", site_ivf_scratch, false},
    {"rowmeta_columns", site_rowmeta_columns, false},
};

// Runs only as a child of FatalAlloc (skipped in a normal run).
TEST(FatalChild, Site) {
  const char* name = std::getenv("ZV_FATAL_SITE");
  if (name == nullptr) GTEST_SKIP() << "runs only as a child of the FatalAlloc tests";
  std::fflush(stdout);
  for (const Site& s : kSites) {
    if (std::strcmp(s.name, name) == 0) {
      s.run();
      std::fflush(stdout);
      _exit(0);  // the call returned: no fatal path taken
    }
  }
  _exit(2);
}

// --- parent side ---------------------------------------------------------------

struct ChildOutcome {
  std::string out;
  int status = 0;
};

ChildOutcome run_site(const char* site) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  std::string site_env = std::string("ZV_FATAL_SITE=") + site;
  std::string asan_env = "ASAN_OPTIONS=allocator_may_return_null=1";
  if (const char* prev = std::getenv("ASAN_OPTIONS")) asan_env += std::string(":") + prev;
  std::vector<std::string> env_store;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "ASAN_OPTIONS=", 13) != 0 && std::strncmp(*e, "GTEST_", 6) != 0) env_store.push_back(*e);
  }
  env_store.push_back(site_env);
  env_store.push_back(asan_env);
  std::vector<char*> envp;
  for (auto& e : env_store) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string filter = "--gtest_filter=FatalChild.Site";
  char exe[] = "/proc/self/exe";
  char* argv[] = {exe, filter.data(), nullptr};

  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    close(fds[1]);
    execve("/proc/self/exe", argv, envp.data());
    _exit(6);
  }
  close(fds[1]);
  ChildOutcome r;
  char buf[4096];
  ssize_t got;
  while ((got = read(fds[0], buf, sizeof buf)) > 0) r.out.append(buf, static_cast<size_t>(got));
  close(fds[0]);
  waitpid(pid, &r.status, 0);
  return r;
}

std::string last_line(const std::string& out) {
  std::string s = out;
  while (!s.empty() && s.back() == '\n') s.pop_back();
  const size_t nl = s.rfind('\n');
  return nl == std::string::npos ? s : s.substr(nl + 1);
}

void expect_fatal(const char* site) {
  const Site* s = nullptr;
  for (const Site& x : kSites) {
    if (std::strcmp(x.name, site) == 0) s = &x;
  }
  ASSERT_NE(s, nullptr);
  if (kTsan) GTEST_SKIP() << "no address-space limit under the thread sanitizer";
  if (kAsan && !s->under_asan) GTEST_SKIP() << "needs an address-space limit, which the address sanitizer rules out";
  const ChildOutcome r = run_site(site);
  const std::string line = last_line(r.out);
  EXPECT_TRUE(WIFSIGNALED(r.status)) << "child ended normally with status " << WEXITSTATUS(r.status)
                                     << "; output:\n" << r.out;
  if (WIFSIGNALED(r.status)) EXPECT_EQ(WTERMSIG(r.status), SIGABRT);
  ASSERT_GE(line.size(), sizeof kLineEnd - 1) << r.out;
  EXPECT_EQ(line.substr(line.size() - (sizeof kLineEnd - 1)), kLineEnd) << r.out;
  // Exactly one such line, and the output ends with its newline.
  EXPECT_EQ(r.out.find(kLineEnd), r.out.rfind(kLineEnd));
  EXPECT_EQ(r.out.back(), '\n');
}

TEST(FatalAlloc, BaseBuildOfLegalHugeSize) { expect_fatal("build"); }
TEST(FatalAlloc, InsertGrowth) { expect_fatal("insert_growth"); }
TEST(FatalAlloc, MapGrowth) { expect_fatal("map_growth"); }
TEST(FatalAlloc, IvfCopies) { expect_fatal("ivf_copy"); }
TEST(FatalAlloc, IvfSearchScratch) { expect_fatal("ivf_scratch"); }
TEST(FatalAlloc, MetadataColumnGrowth) { expect_fatal("rowmeta_columns"); }

}  // namespace
