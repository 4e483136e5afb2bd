// Feeding rows to the score kernel: the scan steps over contiguous rows, and
// the row feeder that every search over listed rows uses (chosen ids, the
// candidate search, IVF lists, filtered runs). Its batch size, prefetch
// distance and the run length that pays for the block kernel are in tuning.h.
#pragma once

#include <cstdint>

#include "prefetch.h"
#include "topk.h"
#include "tuning.h"

namespace zv {

// Scores `n` contiguous rows (row i at rows + i * dim) and offers each with
// ids[i], in order.
void offer_rows(const float* rows, const int64_t* ids, int64_t n, const float* query,
                int32_t dim, TopK& topk);

// As offer_rows, but offers row i only while bit (first_bit + i) of `bits`
// is set. Every row is scored, so the scan streams at full speed where most
// rows pass; hidden rows cost arithmetic only.
void offer_rows_masked(const float* rows, const int64_t* ids, int64_t n, const uint64_t* bits,
                       int64_t first_bit, const float* query, int32_t dim, TopK& topk);

// Scores `n` rows given by pointers (rows[i] may lie anywhere) and offers
// each with ids[i], in order.
void offer_row_ptrs(const float* const* rows, const int64_t* ids, int64_t n, const float* query,
                    int32_t dim, TopK& topk);

// Collects listed rows in offer order and scores them a batch at a time,
// one batch behind the one being collected (see kFeedBatch); each row is
// prefetched as it joins. At scoring, stretches of consecutive rows of at
// least kMinBlockRun go through the block kernel and the rest through the
// gather kernel; the scores, and so the results, are the same whichever
// kernel a row meets. Call flush() before reading the results.
class RowFeed {
 public:
  RowFeed(const float* query, int32_t dim, TopK& topk)
      : query_(query), dim_(dim), stride_(dim > 0 ? dim : 0), topk_(topk) {}

  // One row with its id.
  void add(const float* row, int64_t id) {
    Batch& b = batches_[filling_];
    // A row that continues the previous one is in the hardware's stream.
    if (b.n == 0 || row != b.rows[b.n - 1] + stride_) prefetch(row);
    b.rows[b.n] = row;
    b.ids[b.n] = id;
    if (++b.n == kFeedBatch) {
      score(batches_[filling_ ^ 1]);
      filling_ ^= 1;
    }
  }

  // `count` consecutive rows (row i at rows + i * dim) with their ids.
  void add_run(const float* rows, const int64_t* ids, int64_t count);

  // Scores and offers every row added so far.
  void flush() {
    score(batches_[filling_ ^ 1]);
    score(batches_[filling_]);
  }

 private:
  struct Batch {
    const float* rows[kFeedBatch];
    int64_t ids[kFeedBatch];
    int64_t n = 0;
  };

  void prefetch(const float* row) const {
    const char* p = reinterpret_cast<const char*>(row);
    const int64_t lines = (stride_ * 4 + 63) / 64;
    const int64_t n = lines < kFeedPrefetchLines ? lines : kFeedPrefetchLines;
    for (int64_t l = 0; l < n; ++l) prefetch_line<kIntoL2>(p + l * 64);
  }
  // Scores and offers the rows of `b`, then empties it.
  void score(Batch& b);

  const float* query_;
  int32_t dim_;
  int64_t stride_;
  TopK& topk_;
  Batch batches_[2];
  int filling_ = 0;  // the other batch, when not empty, is older
};

}  // namespace zv
