// The top-k result slots shared by every search: the caller's two arrays,
// filled with the empty id and score, then kept sorted by score with ties in
// offer order.
//
// Few slots are kept sorted by insertion: a row that enters shifts the
// weaker ones down, at most m - 1 moves, which is the cheapest there is for
// small m. With many slots that shift is the whole cost (rows arriving in
// ascending score order move every held entry), so above kTopKHeapMin slots
// the held entries form a heap in the caller's arrays instead, weakest at
// the top, and are sorted once when the search ends. The heap needs each
// entry's offer position to break ties; those live in a scratch array that
// grows with the entries actually held, never beyond m.
#pragma once

#include <cstdint>

#include "alloc.h"
#include "tuning.h"

namespace zv {

inline constexpr int64_t kEmptyId = -1;
inline constexpr float kEmptyScore = -1e30f;


namespace topk_detail {

// Whether entry a ranks below entry b in the result order: score descending,
// then offer position ascending. Held scores are never NaN.
inline bool ranks_below(float sa, int64_t pa, float sb, int64_t pb) {
  return sa < sb || (sa == sb && pa > pb);
}

// Entries in three parallel arrays.
struct Entries {
  float* scores;
  int64_t* ids;
  int64_t* pos;

  void move(int64_t to, int64_t from) const {
    scores[to] = scores[from];
    ids[to] = ids[from];
    pos[to] = pos[from];
  }
  void set(int64_t at, float s, int64_t id, int64_t p) const {
    scores[at] = s;
    ids[at] = id;
    pos[at] = p;
  }
};

// Puts (s, id, p) into the hole at `at` of a heap of n entries whose
// weakest entry is at the top, moving weaker children up.
inline void sift_down(const Entries& e, int64_t n, int64_t at, float s, int64_t id, int64_t p) {
  for (;;) {
    int64_t c = 2 * at + 1;
    if (c >= n) break;
    if (c + 1 < n && ranks_below(e.scores[c + 1], e.pos[c + 1], e.scores[c], e.pos[c])) ++c;
    if (!ranks_below(e.scores[c], e.pos[c], s, p)) break;
    e.move(at, c);
    at = c;
  }
  e.set(at, s, id, p);
}

// Puts (s, id, p) into the hole at `at`, moving stronger parents down.
inline void sift_up(const Entries& e, int64_t at, float s, int64_t id, int64_t p) {
  while (at > 0) {
    const int64_t parent = (at - 1) / 2;
    if (!ranks_below(s, p, e.scores[parent], e.pos[parent])) break;
    e.move(at, parent);
    at = parent;
  }
  e.set(at, s, id, p);
}

// Sorts a heap of n entries best first, in place.
inline void sort_heap(const Entries& e, int64_t n) {
  for (int64_t last = n - 1; last > 0; --last) {
    const float s = e.scores[last];
    const int64_t id = e.ids[last];
    const int64_t p = e.pos[last];
    e.move(last, 0);
    sift_down(e, last, 0, s, id, p);
  }
}

// The held entries of a heap-mode top-k: the caller's arrays plus offer
// positions, which grow with the entries held up to `m`.
class HeapSlots {
 public:
  HeapSlots(int64_t* ids, float* scores, int32_t m) : ids_(ids), scores_(scores), m_(m) {}
  ~HeapSlots() { free_bytes(pos_); }
  HeapSlots(const HeapSlots&) = delete;
  HeapSlots& operator=(const HeapSlots&) = delete;

  bool full() const { return held_ == m_; }
  float weakest_score() const { return scores_[0]; }
  int64_t weakest_pos() const { return pos_[0]; }

  // Adds an entry; the caller has checked that it ranks above the weakest
  // held entry when all m are held.
  void add(float s, int64_t id, int64_t p) {
    if (held_ < m_) {
      if (held_ == capacity_) grow();
      sift_up(entries(), held_, s, id, p);
      ++held_;
      return;
    }
    sift_down(entries(), held_, 0, s, id, p);
  }

  // Sorts the held entries best first; the tail keeps its fill values.
  void finish() { sort_heap(entries(), held_); }

 private:
  Entries entries() const { return Entries{scores_, ids_, pos_}; }
  void grow() {
    int64_t next = capacity_ == 0 ? 256 : capacity_ * 2;
    if (next > m_) next = m_;
    pos_ = static_cast<int64_t*>(resize_bytes(pos_, checked_bytes(next, sizeof(int64_t))));
    capacity_ = next;
  }

  int64_t* ids_;
  float* scores_;
  int32_t m_;
  int64_t* pos_ = nullptr;
  int64_t capacity_ = 0;
  int64_t held_ = 0;
};

inline void fill_slots(int64_t* ids, float* scores, int32_t m) {
  for (int32_t i = 0; i < m; ++i) {
    ids[i] = kEmptyId;
    scores[i] = kEmptyScore;
  }
}

}  // namespace topk_detail

// Rows offered in result order of arrival: a row enters only when it
// strictly beats the last slot and goes behind every held entry with an
// equal or greater score. The arrays hold the final result once the object
// is destroyed.
class TopK {
 public:
  // Writes the m fill values; m must be positive.
  TopK(int64_t* ids, float* scores, int32_t m)
      : ids_(ids), scores_(scores), m_(m), heap_(ids, scores, m > kTopKHeapMin ? m : 0) {
    topk_detail::fill_slots(ids, scores, m);
  }
  ~TopK() {
    if (m_ > kTopKHeapMin) heap_.finish();
  }
  TopK(const TopK&) = delete;
  TopK& operator=(const TopK&) = delete;

  // The score a row must strictly beat to enter.
  float threshold() const {
    if (m_ <= kTopKHeapMin) return scores_[m_ - 1];
    return heap_.full() ? heap_.weakest_score() : kEmptyScore;
  }

  // Drops (s, id) unless it strictly beats the last slot (NaN never does).
  void offer(float s, int64_t id) {
    if (!(s > threshold())) return;
    if (m_ > kTopKHeapMin) {
      heap_.add(s, id, offered_++);
      return;
    }
    int32_t j = m_ - 1;
    while (j > 0 && s > scores_[j - 1]) {
      scores_[j] = scores_[j - 1];
      ids_[j] = ids_[j - 1];
      --j;
    }
    scores_[j] = s;
    ids_[j] = id;
  }

  // Offers a batch of scored rows in order; only rows that beat the last
  // slot pay for the insertion.
  void offer_batch(const float* scores, const int64_t* ids, int64_t count) {
    float t = threshold();
    for (int64_t i = 0; i < count; ++i) {
      if (scores[i] > t) {
        offer(scores[i], ids[i]);
        t = threshold();
      }
    }
  }

  int32_t size() const { return m_; }

 private:
  int64_t* ids_;
  float* scores_;
  int32_t m_;
  // Heap mode: positions only need to order entries that entered, so the
  // count of entries that did serves.
  int64_t offered_ = 0;
  topk_detail::HeapSlots heap_;
};

// The same result for rows that arrive out of offer order, each with its
// offer position given (distinct per row, any order of arrival): the arrays
// end up exactly as if the rows had been offered to TopK by ascending
// position. For a search that merges several streams per query.
class RankedTopK {
 public:
  RankedTopK(int64_t* ids, float* scores, int32_t m)
      : ids_(ids), scores_(scores), m_(m), heap_(ids, scores, m > kTopKHeapMin ? m : 0) {
    topk_detail::fill_slots(ids, scores, m);
  }
  ~RankedTopK() {
    if (m_ > kTopKHeapMin) heap_.finish();
    free_bytes(pos_);
  }
  RankedTopK(const RankedTopK&) = delete;
  RankedTopK& operator=(const RankedTopK&) = delete;

  // Rows scoring below this cannot enter; rows scoring exactly this enter
  // only by position, so callers test `s >= floor()` before offering.
  float floor() const {
    if (m_ > kTopKHeapMin) return heap_.full() ? heap_.weakest_score() : kEmptyScore;
    return held_ == m_ ? scores_[m_ - 1] : kEmptyScore;
  }

  void offer(float s, int64_t id, int64_t p) {
    if (m_ > kTopKHeapMin) {
      if (heap_.full() ? !topk_detail::ranks_below(heap_.weakest_score(), heap_.weakest_pos(), s, p)
                       : !(s > kEmptyScore)) {
        return;
      }
      heap_.add(s, id, p);
      return;
    }
    if (held_ == m_) {
      if (!topk_detail::ranks_below(scores_[m_ - 1], pos_[m_ - 1], s, p)) return;
    } else {
      if (!(s > kEmptyScore)) return;
      if (pos_ == nullptr) pos_ = alloc_array<int64_t>(m_);
      ++held_;
    }
    int32_t j = held_ - 1;
    while (j > 0 && topk_detail::ranks_below(scores_[j - 1], pos_[j - 1], s, p)) {
      scores_[j] = scores_[j - 1];
      ids_[j] = ids_[j - 1];
      pos_[j] = pos_[j - 1];
      --j;
    }
    scores_[j] = s;
    ids_[j] = id;
    pos_[j] = p;
  }

 private:
  int64_t* ids_;
  float* scores_;
  int32_t m_;
  int32_t held_ = 0;        // insertion mode
  int64_t* pos_ = nullptr;  // insertion mode: positions of the held entries
  topk_detail::HeapSlots heap_;
};

}  // namespace zv
