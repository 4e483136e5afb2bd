#include "bulk_copy.h"

#include <cstring>

namespace zv {

// Each first touch of a page faults and the kernel zeroes the page, which
// leaves it in the cache. Page-sized copies then fill it there; one large
// memcpy would stream past the cache (the C library switches to
// non-temporal stores for large sizes) and pay for the page twice, which
// measured 1.7x slower.
void copy_to_new_block(void* dst, const void* src, std::size_t bytes) {
  constexpr std::size_t kPage = 4096;
  auto* d = static_cast<char*>(dst);
  const auto* s = static_cast<const char*>(src);
  for (std::size_t done = 0; done < bytes; done += kPage) {
    std::memcpy(d + done, s + done, bytes - done < kPage ? bytes - done : kPage);
  }
}

}  // namespace zv
