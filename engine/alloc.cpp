#include "alloc.h"

#include <cstdint>
#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>

namespace zv {

namespace {
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kHugeBlockBytes = std::size_t{64} << 20;
}  // namespace

void fatal_alloc_failure() {
  static const char kLine[] = "zv_runtime: alloc failed: returned a null pointer\n";
  std::size_t done = 0;
  while (done < sizeof(kLine) - 1) {
    ssize_t w = ::write(1, kLine + done, sizeof(kLine) - 1 - done);
    if (w <= 0) break;
    done += static_cast<std::size_t>(w);
  }
  std::abort();
}

void* alloc_bytes(std::size_t bytes) {
  if (bytes == 0) return nullptr;
  // aligned_alloc wants a multiple of the alignment.
  if (bytes > SIZE_MAX - (kBlockAlign - 1)) fatal_alloc_failure();
  if (bytes >= kHugeBlockBytes && bytes <= SIZE_MAX - (kHugePage - 1)) {
    // Large blocks (a base, an IVF copy) are read in long scans: backed by
    // 2 MiB pages they miss the TLB far less. The advice must come before
    // the first write, which then faults in whole huge pages.
    std::size_t rounded = (bytes + kHugePage - 1) & ~(kHugePage - 1);
    void* p = std::aligned_alloc(kHugePage, rounded);
    if (p == nullptr) fatal_alloc_failure();
    madvise(p, rounded, MADV_HUGEPAGE);
    return p;
  }
  std::size_t rounded = (bytes + kBlockAlign - 1) & ~(kBlockAlign - 1);
  void* p = std::aligned_alloc(kBlockAlign, rounded);
  if (p == nullptr) fatal_alloc_failure();
  return p;
}

void free_bytes(void* block) { std::free(block); }

void prefault_for_write(void* begin, std::size_t bytes) {
#ifdef MADV_POPULATE_WRITE
  if (bytes == 0) return;
  static const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  // Whole pages: the first and last may hold other bytes of the same
  // mapping, which a populate leaves as they are.
  const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(begin) & ~(page - 1);
  const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(begin) + bytes;
  madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
#else
  (void)begin;
  (void)bytes;
#endif
}

void* resize_bytes(void* block, std::size_t bytes) {
  if (bytes == 0) {
    std::free(block);
    return nullptr;
  }
  void* p = std::realloc(block, bytes);
  if (p == nullptr) fatal_alloc_failure();
  return p;
}

std::size_t checked_bytes(int64_t count, std::size_t size) {
  if (count < 0) fatal_alloc_failure();
  std::size_t n = static_cast<std::size_t>(count);
  if (size != 0 && n > SIZE_MAX / size) fatal_alloc_failure();
  return n * size;
}

}  // namespace zv
