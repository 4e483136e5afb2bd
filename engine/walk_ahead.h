// The walk-ahead pipeline shared by the batch writers and readers that look
// ids up in maps: while item i is handled, the lookups of item i + kWalkAhead
// are already requested, so their cache misses overlap instead of queueing.
#pragma once

#include <cstdint>

#include "tuning.h"

namespace zv {

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
