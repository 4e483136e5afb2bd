#include "base_search.h"

#include <algorithm>

#include "score_kernel.h"

namespace zv {

void offer_rows(const float* rows, const int64_t* ids, int64_t n, const float* query,
                int32_t dim, TopK& topk) {
  const ScoreKernels& kernels = active_kernels();
  const int64_t stride = dim > 0 ? dim : 0;
  float scores[kScanChunk];
  for (int64_t done = 0; done < n; done += kScanChunk) {
    const int64_t c = std::min(kScanChunk, n - done);
    // The rest of the scan lets the kernel prefetch across chunk ends.
    kernels.score_block_ahead(rows + done * stride, c, n - done - c, query, dim, scores);
    topk.offer_batch(scores, ids + done, c);
  }
}

void offer_rows_masked(const float* rows, const int64_t* ids, int64_t n, const uint64_t* bits,
                       int64_t first_bit, const float* query, int32_t dim, TopK& topk) {
  const ScoreKernels& kernels = active_kernels();
  const int64_t stride = dim > 0 ? dim : 0;
  float scores[kScanChunk];
  for (int64_t done = 0; done < n; done += kScanChunk) {
    const int64_t c = std::min(kScanChunk, n - done);
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
  float scores[kScanChunk];
  for (int64_t done = 0; done < n; done += kScanChunk) {
    const int64_t c = std::min(kScanChunk, n - done);
    kernels.score_gather_ahead(rows + done, c, n - done - c, query, dim, scores);
    topk.offer_batch(scores, ids + done, c);
  }
}

int32_t search_full(const IndexRecord& rec, const float* query, int32_t k, int64_t* out_ids,
                    float* out_scores) {
  if (!rec.sealed) return 0;
  const int64_t m = std::min<int64_t>(k, rec.base_count);
  if (m <= 0) return 0;
  TopK topk(out_ids, out_scores, static_cast<int32_t>(m));
  offer_rows(rec.base_vectors, rec.base_ids, rec.base_count, query, rec.dim, topk);
  return static_cast<int32_t>(m);
}

int32_t search_partition(const IndexRecord& rec, int64_t partition_key, const float* query,
                         int32_t k, int64_t* out_ids, float* out_scores) {
  if (!rec.sealed || rec.partition_count <= 0) return 0;
  int64_t lo = 0, hi = rec.partition_count - 1, found = -1;
  while (lo <= hi) {
    const int64_t mid = (lo + hi) / 2;
    const int64_t key = rec.partition_keys[mid];
    if (key == partition_key) {
      found = mid;
      break;
    }
    if (key > partition_key) hi = mid - 1;
    else lo = mid + 1;
  }
  if (found < 0) return 0;
  const int64_t first = rec.partition_offsets[found];
  const int64_t size = rec.partition_sizes[found];
  const int64_t m = std::min<int64_t>(k, size);
  if (first < 0 || size < 0 || first + size > rec.base_count || m <= 0) return 0;
  TopK topk(out_ids, out_scores, static_cast<int32_t>(m));
  const int64_t stride = rec.dim > 0 ? rec.dim : 0;
  offer_rows(rec.base_vectors + first * stride, rec.base_ids + first, size, query, rec.dim, topk);
  return static_cast<int32_t>(m);
}

namespace {

// Rows whose lines the id resolution prefetches itself: the kernel's own
// prefetch reaches one tile group ahead, so only the first group of a batch
// would otherwise start cold.
constexpr int32_t kResolvePrefetchRows = 32;

inline void prefetch_row(const float* row, int32_t dim) {
  const char* p = reinterpret_cast<const char*>(row);
  const int64_t bytes = static_cast<int64_t>(dim) * 4;
  for (int64_t off = 0; off < bytes; off += 64) __builtin_prefetch(p + off, 0, 3);
}

}  // namespace

int32_t scatter_topk(const IndexRecord& rec, const int64_t* ids, int32_t n, const float* query,
                     int32_t k, int64_t* out_ids, float* out_scores) {
  const int32_t m = std::min(k, n);
  if (!rec.sealed || m <= 0) return 0;
  TopK topk(out_ids, out_scores, m);
  // Resolve a batch of ids to row pointers, then score the batch through the
  // gather kernel; offer order stays candidate order.
  const float* rows[kScanChunk];
  int64_t row_ids[kScanChunk];
  int32_t i = 0;
  while (i < n) {
    int32_t count = 0;
    for (; i < n && count < kScanChunk; ++i) {
      const int64_t row = base_row_of(rec, ids[i]);
      if (row < 0) continue;
      rows[count] = base_row_vector(rec, row);
      row_ids[count] = ids[i];
      if (count < kResolvePrefetchRows) prefetch_row(rows[count], rec.dim);
      ++count;
    }
    offer_row_ptrs(rows, row_ids, count, query, rec.dim, topk);
  }
  return m;
}

int64_t tuner_oversized(const IndexRecord& rec, int32_t min_rows, int64_t* out_keys,
                        int64_t* out_sizes) {
  int64_t count = 0;
  for (int32_t p = 0; p < rec.partition_count; ++p) {
    if (rec.partition_sizes[p] >= min_rows) {
      out_keys[count] = rec.partition_keys[p];
      out_sizes[count] = static_cast<int64_t>(rec.partition_sizes[p]);
      ++count;
    }
  }
  return count;
}

}  // namespace zv
