#include "row_feed.h"

#include <algorithm>

#include "score_kernel.h"

namespace zv {

void offer_rows(const float* rows, const int64_t* ids, int64_t n, const float* query,
                int32_t dim, TopK& topk) {
  const ScoreKernels& kernels = active_kernels();
  const int64_t stride = dim > 0 ? dim : 0;
  float scores[kScanBatch];
  for (int64_t done = 0; done < n; done += kScanBatch) {
    const int64_t c = std::min(kScanBatch, n - done);
    // The rest of the scan lets the kernel prefetch across batch ends.
    kernels.score_block_ahead(rows + done * stride, c, n - done - c, query, dim, scores);
    topk.offer_batch(scores, ids + done, c);
  }
}

void offer_rows_masked(const float* rows, const int64_t* ids, int64_t n, const uint64_t* bits,
                       int64_t first_bit, const float* query, int32_t dim, TopK& topk) {
  const ScoreKernels& kernels = active_kernels();
  const int64_t stride = dim > 0 ? dim : 0;
  float scores[kScanBatch];
  for (int64_t done = 0; done < n; done += kScanBatch) {
    const int64_t c = std::min(kScanBatch, n - done);
    kernels.score_block_ahead(rows + done * stride, c, n - done - c, query, dim, scores);
    float t = topk.threshold();
    for (int64_t i = 0; i < c; ++i) {
      const int64_t b = first_bit + done + i;
      if (scores[i] > t && ((bits[b >> 6] >> (b & 63)) & 1) != 0) {
        topk.offer(scores[i], ids[done + i]);
        t = topk.threshold();
      }
    }
  }
}

void offer_row_ptrs(const float* const* rows, const int64_t* ids, int64_t n, const float* query,
                    int32_t dim, TopK& topk) {
  const ScoreKernels& kernels = active_kernels();
  float scores[kScanBatch];
  for (int64_t done = 0; done < n; done += kScanBatch) {
    const int64_t c = std::min(kScanBatch, n - done);
    kernels.score_gather_ahead(rows + done, c, n - done - c, query, dim, scores);
    topk.offer_batch(scores, ids + done, c);
  }
}

void RowFeed::add_run(const float* rows, const int64_t* ids, int64_t count) {
  if (count < kMinBlockRun || stride_ == 0) {
    for (int64_t i = 0; i < count; ++i) add(rows + i * stride_, ids[i]);
    return;
  }
  flush();
  offer_rows(rows, ids, count, query_, dim_, topk_);
}

void RowFeed::score(Batch& b) {
  const int64_t n = b.n;
  if (n == 0) return;
  const ScoreKernels& kernels = active_kernels();
  float scores[kFeedBatch];
  int64_t gathered = 0;  // first row not yet scored
  int64_t i = 0;
  while (i < n) {
    int64_t j = i + 1;
    while (j < n && b.rows[j] == b.rows[j - 1] + stride_) ++j;
    if (j - i >= kMinBlockRun && stride_ > 0) {
      if (gathered < i) kernels.score_gather(b.rows + gathered, i - gathered, query_, dim_, scores + gathered);
      kernels.score_block(b.rows[i], j - i, query_, dim_, scores + i);
      gathered = j;
    }
    i = j;
  }
  if (gathered < n) kernels.score_gather(b.rows + gathered, n - gathered, query_, dim_, scores + gathered);
  topk_.offer_batch(scores, b.ids, n);
  b.n = 0;
}

}  // namespace zv
