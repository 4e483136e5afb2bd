// IdMap: map from a 64-bit key to a 64-bit value.
//
// Two layouts with the same answers. While the keys are non-negative and
// dense (the largest below kDenseSpread times the key count, or the count a
// caller reserved for), values sit in an array indexed by the key with a
// presence bitmap beside it: row numbers and auto-increment keys, the common
// ids, then cost one sequential access each and never collide. The first key
// that does not fit moves the map, once, to open addressing, where it stays
// until clear(). The dense layout takes no more memory than the hashed one
// would for the same keys just after growing.
//
// Callers hash a key once with IdMap::hash() and pass the hash to every map
// they touch for that key (the delta and tombstone maps, the metadata maps),
// so every map of one index shares one seed. The seed is per index and not
// predictable by the host, so ids crafted to collide under one index's hash
// do not collide under another's. Keys are never removed one
// by one; clear() drops them all. Every 64-bit key is legal: the slot marker
// for "empty" is a key value too, and that one key is kept out of line.
#pragma once

#include <cstdint>
#include <utility>

#include "prefetch.h"
#include "tuning.h"

namespace zv {

class IdMap {
 public:
  IdMap() = default;
  ~IdMap() { release(); }
  IdMap(const IdMap&) = delete;
  IdMap& operator=(const IdMap&) = delete;
  // Takes the keys and the seed; `other` is left empty.
  IdMap(IdMap&& other) noexcept { swap(other); }

  // A full 64-bit mixer (the murmur3 finaliser) over the seeded key:
  // sequential, strided and high-bit-only key patterns all spread over the
  // table.
  static uint64_t hash(int64_t key, uint64_t seed = 0) {
    uint64_t h = static_cast<uint64_t>(key) ^ seed;
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    h ^= h >> 33;
    return h;
  }

  // The seed every hash passed to this map was made with; set before the
  // first key goes in.
  void set_seed(uint64_t seed) { seed_ = seed; }
  uint64_t seed() const { return seed_; }

  // The value stored for `key`, or nullptr. `h` must be hash(key, seed()).
  const int64_t* find(int64_t key, uint64_t h) const {
    if (key == kEmptyKey) return has_empty_key_ ? &empty_key_value_ : nullptr;
    if (dense_) {
      if (static_cast<uint64_t>(key) >= static_cast<uint64_t>(dense_capacity_)) return nullptr;
      return dense_present(key) ? &dense_values_[key] : nullptr;
    }
    if (slots_ == nullptr) return nullptr;
    for (uint64_t i = h & mask_;; i = (i + 1) & mask_) {
      const Slot& s = slots_[i];
      if (s.key == key) return &s.value;
      if (s.key == kEmptyKey) return nullptr;
    }
  }
  int64_t* find(int64_t key, uint64_t h) {
    return const_cast<int64_t*>(static_cast<const IdMap*>(this)->find(key, h));
  }
  // The same, hashing `key` only when the layout needs it.
  const int64_t* find(int64_t key) const { return find(key, dense_ ? 0 : hash(key, seed_)); }
  bool contains(int64_t key, uint64_t h) const { return find(key, h) != nullptr; }

  // The value slot of `key`, inserted with `initial` when absent; *inserted
  // tells which. The reference is valid until the next insertion.
  int64_t& upsert(int64_t key, uint64_t h, int64_t initial, bool* inserted);

  // Insert-or-assign.
  void assign(int64_t key, uint64_t h, int64_t value) {
    bool inserted;
    upsert(key, h, value, &inserted) = value;
  }
  void assign(int64_t key, int64_t value) { assign(key, hash(key, seed_), value); }

  // Makes room for `count` keys in total without further growth.
  void reserve(int64_t count);

  // Before a batch of `n` stores, which add at most n keys: growing at once
  // skips the rehashes of doubling step by step. A batch may repeat one id
  // throughout, so the room reserved ahead is bounded by twice the keys held
  // (at least kBatchReserveFloor); beyond that the map grows as keys arrive.
  void reserve_for_batch(int64_t n) {
    const int64_t held = size();
    // The common case of small batches: room enough already.
    if (!dense_ && slots_ != nullptr && !over_load(held + n, mask_ + 1)) return;
    const int64_t bound = held > kBatchReserveFloor / 2 ? 2 * held : kBatchReserveFloor;
    reserve(held + (n < bound - held ? n : bound - held));
  }

  // Hint that `key` (with hash `h`) will be looked up soon.
  void prefetch(int64_t key, uint64_t h) const {
    if (dense_) {
      if (static_cast<uint64_t>(key) < static_cast<uint64_t>(dense_capacity_)) {
        prefetch_line(&dense_values_[key]);
      }
    } else if (slots_ != nullptr) {
      prefetch_line(&slots_[h & mask_]);
    }
  }

  // Bytes of storage the map holds.
  int64_t footprint_bytes() const {
    return dense_capacity_ * 8 + dense_capacity_ / 8 + (slots_ ? static_cast<int64_t>(mask_ + 1) * 16 : 0);
  }

  // True while the keys are held in the dense layout.
  bool is_dense() const { return dense_; }

  int64_t size() const { return size_ + (has_empty_key_ ? 1 : 0); }

  // Drops every key and releases the storage.
  void clear() { release(); }

  void swap(IdMap& other) noexcept {
    std::swap(dense_, other.dense_);
    std::swap(dense_values_, other.dense_values_);
    std::swap(dense_bits_, other.dense_bits_);
    std::swap(dense_capacity_, other.dense_capacity_);
    std::swap(reserved_, other.reserved_);
    std::swap(slots_, other.slots_);
    std::swap(mask_, other.mask_);
    std::swap(size_, other.size_);
    std::swap(has_empty_key_, other.has_empty_key_);
    std::swap(empty_key_value_, other.empty_key_value_);
    std::swap(seed_, other.seed_);
  }

 private:
  struct Slot {
    int64_t key;
    int64_t value;
  };
  static constexpr int64_t kEmptyKey = INT64_MIN;

  // Whether `keys` keys would fill `capacity` slots past the growth point
  // (see kMapMaxLoadQuarters).
  static bool over_load(int64_t keys, uint64_t capacity) {
    return static_cast<uint64_t>(keys) * 4 > capacity * kMapMaxLoadQuarters;
  }

  // The dense layout allows keys below kDenseSpread * max(keys, reserved):
  // at 8 bytes a value (and a bit), 32 bytes a key at most, what the
  // 16-byte slots of a table three eighths full take.
  static constexpr int64_t kDenseSpread = 4;
  static constexpr int64_t kDenseMinCapacity = 64;
  // 2^20 keys (at most 32 MB of slots) reserved ahead by a batch of any
  // size. A bound of 2^16 made a first batch of 10^5 keys 1.5 times slower
  // (the growth that followed), and a batch reaching 2^20 new keys is
  // large enough for doubling to cost little.
  static constexpr int64_t kBatchReserveFloor = INT64_C(1) << 20;

  bool dense_present(int64_t key) const { return (dense_bits_[key >> 6] >> (key & 63)) & 1; }
  // Makes room for `key` in the dense layout; false when it does not fit.
  bool dense_make_room(int64_t key);
  // Moves every key to open addressing, for good.
  void leave_dense();

  void release();
  void grow_to(uint64_t capacity);

  bool dense_ = true;
  int64_t* dense_values_ = nullptr;
  uint64_t* dense_bits_ = nullptr;
  int64_t dense_capacity_ = 0;  // a multiple of 64
  int64_t reserved_ = 0;        // the most keys any reserve() asked room for

  Slot* slots_ = nullptr;
  uint64_t mask_ = 0;   // capacity - 1; capacity is a power of two
  int64_t size_ = 0;    // keys stored, kEmptyKey aside
  bool has_empty_key_ = false;
  uint64_t seed_ = 0;
  int64_t empty_key_value_ = 0;
};

}  // namespace zv
