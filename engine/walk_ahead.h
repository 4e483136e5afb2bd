// The walk-ahead pipeline shared by the batch writers and readers that look
// ids up in maps: while item i is handled, the lookups of item i + kWalkAhead
// are already requested, so their cache misses overlap instead of queueing.
#pragma once

#include <cstdint>

#include "tuning.h"

namespace zv {

// A function whose only effect is a prefetch counts as free of side effects
// to GCC, which may then drop the call; helpers that only prefetch are
// forced inline so that their prefetches stay.
#define ZV_PREFETCH_HELPER __attribute__((always_inline)) inline

// Handles items 0 .. n-1 in order: start(i) requests what item i will read
// and returns the id hash it computed, act(i, hash) then handles the item.
template <class Start, class Act>
void walk_ahead(int64_t n, Start&& start, Act&& act) {
  static_assert((kWalkAhead & (kWalkAhead - 1)) == 0);
  uint64_t ring[kWalkAhead];
  for (int64_t i = 0; i < n && i < kWalkAhead; ++i) ring[i] = start(i);
  for (int64_t i = 0; i < n; ++i) {
    act(i, ring[i & (kWalkAhead - 1)]);
    if (i < n - kWalkAhead) ring[i & (kWalkAhead - 1)] = start(i + kWalkAhead);
  }
}

}  // namespace zv
