// Feeding rows to the score kernel: the scan steps over contiguous rows, and
// the row feeder that every search over listed rows uses (chosen ids, the
// candidate search, IVF lists, filtered runs). Batch size, prefetch distance
// and the run length that pays for the block kernel are defined here once.
#pragma once

#include <cstdint>

#include "topk.h"

namespace zv {

// Rows scored per kernel call, and the feeder's batch. One batch of scores
// and row pointers (3 KB) stays on the stack and in L1; the kernels'
// per-call setup is spread over enough rows to vanish.
inline constexpr int64_t kFeedBatch = 256;
// Lines of a listed row prefetched when it joins a batch: a batch is scored
// only once full, so each row's lines are requested a batch ahead of their
// use. Rows longer than this (dim > 256) are left to the hardware stream
// prefetcher, which follows a row once its head has been read.
inline constexpr int64_t kFeedPrefetchLines = 16;
// Consecutive rows from this many on go through the block kernel; shorter
// stretches (as left between hidden, failing or unlisted rows) would waste
// most of a block tile and are gathered with their neighbours.
inline constexpr int64_t kMinBlockRun = 16;

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

// Collects listed rows in offer order and scores them a batch at a time.
// Each row is prefetched as it joins; at scoring, stretches of consecutive
// rows of at least kMinBlockRun go through the block kernel and the rest
// through the gather kernel. The scores, and so the results, are the same
// whichever kernel a row meets. Call flush() before reading the results.
class RowFeed {
 public:
  RowFeed(const float* query, int32_t dim, TopK& topk)
      : query_(query), dim_(dim), stride_(dim > 0 ? dim : 0), topk_(topk) {}

  // One row with its id.
  void add(const float* row, int64_t id) {
    // A row that continues the previous one is in the hardware's stream.
    if (n_ == 0 || row != rows_[n_ - 1] + stride_) prefetch(row);
    rows_[n_] = row;
    ids_[n_] = id;
    if (++n_ == kFeedBatch) flush();
  }

  // `count` consecutive rows (row i at rows + i * dim) with their ids.
  void add_run(const float* rows, const int64_t* ids, int64_t count);

  // Scores and offers every row added so far.
  void flush();

 private:
  void prefetch(const float* row) const {
    const char* p = reinterpret_cast<const char*>(row);
    const int64_t lines = (stride_ * 4 + 63) / 64;
    const int64_t n = lines < kFeedPrefetchLines ? lines : kFeedPrefetchLines;
    for (int64_t l = 0; l < n; ++l) __builtin_prefetch(p + l * 64, 0, 3);
  }

  const float* query_;
  int32_t dim_;
  int64_t stride_;
  TopK& topk_;
  const float* rows_[kFeedBatch];
  int64_t ids_[kFeedBatch];
  int64_t n_ = 0;
};

}  // namespace zv
