// Prefetch hints the compiler cannot drop. GCC counts a function whose only
// effect is __builtin_prefetch as free of side effects and deletes calls to
// it that it did not inline: map and id-table lookups requested a walk ahead
// silently lost their prefetches that way. An asm volatile statement is
// never deleted, so any helper built on these keeps its hints.
#pragma once

namespace zv {

// The line holding `p`, into every cache level.
inline void prefetch_line(const void* p) {
#if defined(__x86_64__)
  asm volatile("prefetcht0 %0" : : "m"(*static_cast<const char*>(p)));
#else
  __builtin_prefetch(p, 0, 3);
#endif
}

// The line holding `p`, into L2 and the levels below, not L1.
inline void prefetch_line_l2(const void* p) {
#if defined(__x86_64__)
  asm volatile("prefetcht1 %0" : : "m"(*static_cast<const char*>(p)));
#else
  __builtin_prefetch(p, 0, 2);
#endif
}

}  // namespace zv
