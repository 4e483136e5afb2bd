// Prefetch hints the compiler cannot drop. GCC counts a function whose only
// effect is __builtin_prefetch as free of side effects and deletes calls to
// it that it did not inline: map and id-table lookups requested a walk ahead
// silently lost their prefetches that way. An asm volatile statement is
// never deleted, so any helper built on this keeps its hints.
#pragma once

namespace zv {

// Where a prefetched line goes: every cache level, or L2 and below (not L1).
enum PrefetchLevel { kIntoL1 = 0, kIntoL2 = 1 };

// Requests the line holding `p` into `kLevel`.
template <PrefetchLevel kLevel = kIntoL1>
inline void prefetch_line(const void* p) {
#if defined(__x86_64__)
  // prefetcht0 or prefetcht1.
  asm volatile("prefetcht%c1 %0" : : "m"(*static_cast<const char*>(p)), "i"(int{kLevel}));
#else
  __builtin_prefetch(p, 0, 3 - int{kLevel});
#endif
}

}  // namespace zv
