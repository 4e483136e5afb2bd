#include "id_map.h"

#include "alloc.h"
#include "tuning.h"

namespace zv {

namespace {
constexpr uint64_t kMinCapacity = 16;
}  // namespace

void IdMap::release() {
  free_bytes(dense_values_);
  free_bytes(dense_bits_);
  dense_values_ = nullptr;
  dense_bits_ = nullptr;
  dense_capacity_ = 0;
  dense_ = true;
  reserved_ = 0;
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
  // Every slot is written now: fault the pages in with one call.
  const std::size_t bytes = static_cast<std::size_t>(capacity) * sizeof(Slot);
  if (bytes >= static_cast<std::size_t>(kAppendPrefaultMinBlock)) prefault_for_write(fresh, bytes);
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

bool IdMap::dense_make_room(int64_t key) {
  if (key < 0) return false;
  const int64_t keys = size_ + 1 > reserved_ ? size_ + 1 : reserved_;
  const int64_t limit = keys * kDenseSpread > kDenseMinCapacity ? keys * kDenseSpread : kDenseMinCapacity;
  if (key >= limit) return false;
  // Doubling, or straight to the reserved count, never past the limit.
  int64_t want = dense_capacity_ * 2;
  if (want < reserved_) want = reserved_;
  if (want < key + 1) want = key + 1;
  if (want > limit) want = limit;
  want = (want + 63) & ~INT64_C(63);
  const int64_t old_words = dense_capacity_ / 64;
  dense_values_ = static_cast<int64_t*>(resize_bytes(dense_values_, checked_bytes(want, sizeof(int64_t))));
  dense_bits_ = static_cast<uint64_t*>(resize_bytes(dense_bits_, checked_bytes(want / 64, sizeof(uint64_t))));
  for (int64_t w = old_words; w < want / 64; ++w) dense_bits_[w] = 0;
  dense_capacity_ = want;
  return true;
}

void IdMap::leave_dense() {
  int64_t* values = dense_values_;
  uint64_t* bits = dense_bits_;
  const int64_t words = dense_capacity_ / 64;
  dense_values_ = nullptr;
  dense_bits_ = nullptr;
  dense_capacity_ = 0;
  dense_ = false;
  const int64_t keys = size_;
  size_ = 0;
  reserve(keys + 1 > reserved_ ? keys + 1 : reserved_);
  for (int64_t w = 0; w < words; ++w) {
    for (uint64_t b = bits[w]; b != 0; b &= b - 1) {
      const int64_t key = w * 64 + __builtin_ctzll(b);
      uint64_t i = hash(key, seed_) & mask_;
      while (slots_[i].key != kEmptyKey) i = (i + 1) & mask_;
      slots_[i].key = key;
      slots_[i].value = values[key];
      ++size_;
    }
  }
  free_bytes(values);
  free_bytes(bits);
}

void IdMap::reserve(int64_t count) {
  // More keys than any table grow_to() can hold: an allocation that cannot
  // succeed (and the doubling below would otherwise wrap around).
  if (count > (INT64_C(1) << 57)) fatal_alloc_failure();
  if (count > reserved_) reserved_ = count;
  // The dense layout sizes itself by the keys that arrive.
  if (dense_) return;
  uint64_t capacity = slots_ ? mask_ + 1 : 0;
  if (count <= 0 || !over_load(count, capacity)) return;
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
  if (dense_) {
    if ((key >= 0 && key < dense_capacity_) || dense_make_room(key)) {
      const uint64_t m = UINT64_C(1) << (key & 63);
      uint64_t& word = dense_bits_[key >> 6];
      *inserted = (word & m) == 0;
      if (*inserted) {
        word |= m;
        dense_values_[key] = initial;
        ++size_;
      }
      return dense_values_[key];
    }
    leave_dense();
  }
  uint64_t i = h & mask_;
  if (slots_ != nullptr) {
    for (;; i = (i + 1) & mask_) {
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
    i = h & mask_;
  }
  while (slots_[i].key != kEmptyKey) i = (i + 1) & mask_;
  slots_[i].key = key;
  slots_[i].value = initial;
  ++size_;
  *inserted = true;
  return slots_[i].value;
}

}  // namespace zv
