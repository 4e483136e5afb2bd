// The top-k result slots shared by every search: the caller's two arrays,
// filled with the empty id and score, then kept sorted by score with ties in
// offer order.
#pragma once

#include <cstdint>

namespace zv {

inline constexpr int64_t kEmptyId = -1;
inline constexpr float kEmptyScore = -1e30f;

class TopK {
 public:
  // Writes the m fill values; m must be positive.
  TopK(int64_t* ids, float* scores, int32_t m) : ids_(ids), scores_(scores), m_(m) {
    for (int32_t i = 0; i < m; ++i) {
      ids_[i] = kEmptyId;
      scores_[i] = kEmptyScore;
    }
  }

  // The score a row must strictly beat to enter.
  float threshold() const { return scores_[m_ - 1]; }

  // Places (s, id) after every held entry with an equal or greater score;
  // drops it when it does not strictly beat the last slot (NaN never does).
  void offer(float s, int64_t id) {
    if (!(s > scores_[m_ - 1])) return;
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
};

}  // namespace zv
