#include "id_map.h"

#include "alloc.h"

namespace zv {

namespace {
// Linear probing stays short while at most half the slots are taken.
constexpr uint64_t kMinCapacity = 16;
bool over_load(int64_t keys, uint64_t capacity) {
  return static_cast<uint64_t>(keys) * 2 > capacity;
}
}  // namespace

void IdMap::release() {
  free_bytes(slots_);
  slots_ = nullptr;
  mask_ = 0;
  size_ = 0;
  has_empty_key_ = false;
  empty_key_value_ = 0;
}

void IdMap::grow_to(uint64_t capacity) {
  Slot* old = slots_;
  uint64_t old_capacity = old ? mask_ + 1 : 0;
  if (capacity > (UINT64_C(1) << 58)) fatal_alloc_failure();
  Slot* fresh = alloc_array<Slot>(static_cast<int64_t>(capacity));
  for (uint64_t i = 0; i < capacity; ++i) fresh[i].key = kEmptyKey;
  uint64_t mask = capacity - 1;
  // The keys land at random in the new table: each block's slots are
  // prefetched before any is written, so the cache misses overlap.
  constexpr uint64_t kBlock = 32;
  uint64_t at[kBlock];
  for (uint64_t first = 0; first < old_capacity; first += kBlock) {
    const uint64_t end = first + kBlock < old_capacity ? first + kBlock : old_capacity;
    for (uint64_t i = first; i < end; ++i) {
      at[i - first] = hash(old[i].key, seed_) & mask;
      __builtin_prefetch(&fresh[at[i - first]], 1);
    }
    for (uint64_t i = first; i < end; ++i) {
      if (old[i].key == kEmptyKey) continue;
      uint64_t j = at[i - first];
      while (fresh[j].key != kEmptyKey) j = (j + 1) & mask;
      fresh[j] = old[i];
    }
  }
  free_bytes(old);
  slots_ = fresh;
  mask_ = mask;
}

void IdMap::reserve(int64_t count) {
  uint64_t capacity = slots_ ? mask_ + 1 : 0;
  if (count <= 0 || !over_load(count, capacity)) return;
  // More keys than any table grow_to() can hold: an allocation that cannot
  // succeed (and the doubling below would otherwise wrap around).
  if (count > (INT64_C(1) << 57)) fatal_alloc_failure();
  uint64_t want = capacity ? capacity : kMinCapacity;
  while (over_load(count, want)) want *= 2;
  grow_to(want);
}

int64_t& IdMap::upsert(int64_t key, uint64_t h, int64_t initial, bool* inserted) {
  if (key == kEmptyKey) {
    *inserted = !has_empty_key_;
    if (!has_empty_key_) {
      has_empty_key_ = true;
      empty_key_value_ = initial;
    }
    return empty_key_value_;
  }
  if (slots_ != nullptr) {
    for (uint64_t i = h & mask_;; i = (i + 1) & mask_) {
      Slot& s = slots_[i];
      if (s.key == key) {
        *inserted = false;
        return s.value;
      }
      if (s.key == kEmptyKey) break;
    }
  }
  if (slots_ == nullptr || over_load(size_ + 1, mask_ + 1)) {
    grow_to(slots_ == nullptr ? kMinCapacity : (mask_ + 1) * 2);
  }
  uint64_t i = h & mask_;
  while (slots_[i].key != kEmptyKey) i = (i + 1) & mask_;
  slots_[i].key = key;
  slots_[i].value = initial;
  ++size_;
  *inserted = true;
  return slots_[i].value;
}

}  // namespace zv
