// libFuzzer target: the fuzzer's bytes choose a call sequence, which runs on
// the engine and the reference model side by side (see differential.h). A
// difference prints a shrunk C reproducer and aborts, so libFuzzer keeps the
// input as a crash. ZV_FUZZ_PRINT=1 prints an input's calls as C first.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "reference/differential.h"

namespace {

uint64_t g_ops = 0;
uint64_t g_next_report = uint64_t{1} << 20;

void report() { std::fprintf(stderr, "zv_fuzz: %llu operations, 0 mismatches\n", static_cast<unsigned long long>(g_ops)); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::atexit(report);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 9) return 0;
  if (std::getenv("ZV_FUZZ_PRINT") != nullptr) {
    // Shows the calls an input makes (before running them), for crashes.
    zvdiff::Source gen_src(data, size);
    std::fprintf(stderr, "%s", zvdiff::reproducer(zvdiff::generate_only(gen_src, 1u << 20), "printed input").c_str());
  }
  zvdiff::Source src(data, size);
  auto repro = zvdiff::run_sequence(src, 1u << 20, g_ops);
  if (repro) {
    std::fprintf(stderr, "zv_fuzz: MISMATCH after %llu operations\n%s", static_cast<unsigned long long>(g_ops),
                 repro->c_str());
    std::fflush(stderr);
    std::abort();
  }
  if (g_ops >= g_next_report) {
    report();
    g_next_report = g_ops + (uint64_t{1} << 22);
  }
  return 0;
}
