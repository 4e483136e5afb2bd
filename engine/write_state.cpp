#include "write_state.h"

#include <algorithm>
#include <cstring>

#include "walk_ahead.h"

namespace zv {

namespace {

// Sets bit r; true when it was clear.
inline bool set_bit(uint64_t* words, int64_t r) {
  const uint64_t m = UINT64_C(1) << (r & 63);
  const bool was_clear = (words[r >> 6] & m) == 0;
  words[r >> 6] |= m;
  return was_clear;
}

// Clears bit r; true when it was set.
inline bool clear_bit(uint64_t* words, int64_t r) {
  const uint64_t m = UINT64_C(1) << (r & 63);
  const bool was_set = (words[r >> 6] & m) != 0;
  words[r >> 6] &= ~m;
  return was_set;
}

// Updates of ids written together before land in runs of consecutive delta
// rows, and each run is copied with one memcpy: large copies reach the
// streaming speed that row-sized ones cannot. (Appends stay row by row: new
// capacity is untouched memory, where row-sized copies fault pages in
// faster.) Runs are flushed in batch order, so a repeated id still ends with
// its last row.
class OverwriteRuns {
 public:
  OverwriteRuns(GrowList<float>& floats, const float* vectors, int64_t d)
      : floats_(floats), src_(vectors), d_(d) {}
  ~OverwriteRuns() { flush(); }

  // Batch row i replaces the floats of delta row r.
  void add(int64_t i, int64_t r) {
    if (d_ == 0) return;
    if (count_ > 0 && i == first_ + count_ && r == row_ + count_) {
      ++count_;
      return;
    }
    flush();
    first_ = i;
    row_ = r;
    count_ = 1;
  }

  void flush() {
    if (count_ == 0) return;
    // Only inside the floats stored for the rows, whatever happened to dim.
    const int64_t stored = floats_.size() / d_;
    const int64_t count = std::min(count_, stored - row_);
    if (count > 0) {
      std::memcpy(floats_.data() + row_ * d_, src_ + first_ * d_,
                  static_cast<std::size_t>(count * d_) * sizeof(float));
    }
    count_ = 0;
  }

 private:
  GrowList<float>& floats_;
  const float* src_;
  int64_t d_;
  int64_t first_ = 0;
  int64_t row_ = 0;
  int64_t count_ = 0;
};

}  // namespace

// Hides every base row holding `id`: it was shadowed or deleted.
void WriteState::hide_base_rows(const Base& base, int64_t id, uint64_t h) {
  if (base_visible_.empty()) return;
  uint64_t* bits = base_visible_.data();
  for (int64_t r = base.row_of(id, h); r >= 0; r = base.prev_row_of_same_id(r)) {
    if (clear_bit(bits, r)) --base_visible_count_;
  }
}

void WriteState::show_delta_row(int64_t r) {
  if (set_bit(delta_visible_.data(), r)) ++delta_visible_count_;
}

void WriteState::hide_delta_row(int64_t r) {
  if (clear_bit(delta_visible_.data(), r)) --delta_visible_count_;
}

namespace {

// Requests the three lookups a write of `id` makes (its tombstone, its
// delta row, its base row) and returns its hash, for walk_ahead.
uint64_t request_lookups(const IdMap& tombstones, const IdMap& delta_rows, const IdLookup& lookup,
                         int64_t id) {
  const uint64_t h = IdMap::hash(id, tombstones.seed());
  tombstones.prefetch(id, h);
  delta_rows.prefetch(id, h);
  lookup.prefetch(id, h);
  return h;
}

}  // namespace

int64_t WriteState::insert(const Base& base, int32_t dim, const float* vectors,
                           const int64_t* ids, int32_t n) {
  if (n <= 0) return version_;
  mutated_ = true;
  const int64_t v = ++version_;
  const int64_t d = dim > 0 ? dim : 0;
  delta_rows_.reserve_for_batch(n);
  OverwriteRuns overwrites(delta_vectors_, vectors, d);
  const IdLookup lookup = base.lookup();
  auto start = [&](int64_t i) { return request_lookups(tombstones_, delta_rows_, lookup, ids[i]); };
  walk_ahead(n, start, [&](int64_t i, uint64_t h) {
    const int64_t id = ids[i];
    bool was_deleted = false;
    if (int64_t* t = tombstones_.find(id, h)) {
      was_deleted = *t != 0;
      *t = 0;
    }
    bool inserted;
    const int64_t r = delta_rows_.upsert(id, h, delta_ids_.size(), &inserted);
    if (inserted) {
      delta_ids_.push_back(id);
      delta_versions_.push_back(v);
      delta_vectors_.append(vectors + i * d, d);
      if ((r & 63) == 0) delta_visible_.push_back(0);
      show_delta_row(r);
      // A deleted id's base rows are hidden already.
      if (!was_deleted) hide_base_rows(base, id, h);
      return;
    }
    overwrites.add(i, r);
    delta_versions_[r] = v;
    if (was_deleted) show_delta_row(r);
  });
  return v;
}

int64_t WriteState::remove(const Base& base, const int64_t* ids, int32_t n) {
  if (n <= 0) return version_;
  mutated_ = true;
  const int64_t v = ++version_;
  tombstones_.reserve_for_batch(n);
  const IdLookup lookup = base.lookup();
  auto start = [&](int64_t i) { return request_lookups(tombstones_, delta_rows_, lookup, ids[i]); };
  walk_ahead(n, start, [&](int64_t i, uint64_t h) {
    const int64_t id = ids[i];
    bool inserted;
    int64_t& t = tombstones_.upsert(id, h, v, &inserted);
    const bool was_deleted = !inserted && t != 0;
    t = v;
    if (was_deleted) return;
    // A delta row shadows the base rows, which are hidden already.
    if (const int64_t* r = delta_rows_.find(id, h)) hide_delta_row(*r);
    else hide_base_rows(base, id, h);
  });
  return v;
}

void WriteState::refresh(const Base& base) {
  delta_visible_.release();
  delta_visible_count_ = 0;
  base_visible_count_ = 0;
  const uint64_t seed = delta_rows_.seed();

  const int64_t delta_count = delta_ids_.size();
  for (int64_t r = 0; r < delta_count; ++r) {
    if ((r & 63) == 0) delta_visible_.push_back(0);
    const int64_t id = delta_ids_[r];
    if (!is_deleted(id, IdMap::hash(id, seed))) show_delta_row(r);
  }

  const int64_t n = base.count();
  const int64_t words = (n + 63) / 64;
  base_visible_.reset(words);
  if (n <= 0) return;
  uint64_t* bits = base_visible_.data();
  std::memset(bits, 0xff, static_cast<std::size_t>(words) * sizeof(uint64_t));
  if (n & 63) bits[words - 1] = (UINT64_C(1) << (n & 63)) - 1;
  base_visible_count_ = n;
  // Shadowed rows: found from the (usually few) delta ids.
  for (int64_t r = 0; r < delta_count; ++r) {
    const int64_t id = delta_ids_[r];
    hide_base_rows(base, id, IdMap::hash(id, seed));
  }
  // Deleted rows: the tombstones are not listed anywhere, so each base row
  // asks; an index that never deleted skips this pass.
  if (tombstones_.size() == 0) return;
  const int64_t* base_ids = base.ids();
  for (int64_t r = 0; r < n; ++r) {
    if (r < n - kWalkAhead) {
      const int64_t ahead = base_ids[r + kWalkAhead];
      tombstones_.prefetch(ahead, IdMap::hash(ahead, seed));
    }
    if (!row_bit(bits, r)) continue;
    const int64_t id = base_ids[r];
    if (is_deleted(id, IdMap::hash(id, seed)) && clear_bit(bits, r)) --base_visible_count_;
  }
}

}  // namespace zv
