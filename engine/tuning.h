// Every tuning constant of the engine: the score kernels, the blocking
// around them, the row feeder and the walk-ahead lookups, each with the
// measurement that chose it. Measured on the machines
// this runs on: 2 cores, 48 KiB L1d and 2 MiB L2 per core, AVX-512 with two
// fma ports, one thread, rows of 128 and 768 floats.
#pragma once

#include <cstdint>

namespace zv {

// Single-query kernels (one row's chain per lane).

// Tiles of rows scored side by side, their chains independent. AVX-512:
// two tiles of 16 rows (a group of 32, the group the prefetch distance
// below was measured with). The scan is bound by the memory read (~11 GB/s
// per core on the Xeon); from L2 the AVX-512 kernel scores 42 GB/s with two
// tiles and 43 with one (loads and transposes, not fma latency, bound it
// there), so the count only needs to keep it far above. AVX2: one tile of
// 8. On an AMD EPYC (16 GB/s read limit) four tiles, which crowd the 16
// vector registers, scanned 10^6 rows of 128 floats at 10.6 GB/s and one
// at 14.4 (dim 768: 12.5 -> 15.3); two tiles 12.0. The prefetch distance
// measured the same there from one group to 64 KiB.
inline constexpr int kAvx512SingleTiles = 2;
inline constexpr int kAvx2SingleTiles = 1;

// Distance from the rows being scored to the rows prefetched (into L2
// only: L1 cannot hold a group of wide rows), in bytes, rounded up to whole
// groups and never less than one. Without it small rows reach only about
// half the memory read rate (the hardware streamer alone keeps too few
// lines in flight); measured flat between 8 and 64 KiB at dims 128 and 768.
inline constexpr int64_t kPrefetchLeadBytes = 16384;

// Multi-query kernels (one (row, query) chain per lane, lanes across
// queries, the row's value broadcast). Shares of the peak lane-FMA rate are
// from bench_kernel on a busy machine (cpu time, ratio within one run).

// Register tile: rows by query vectors of lanes, one accumulator each.
// AVX-512: 6 rows by 4 vectors (64 queries, 24 of the 32 registers): per
// column 4 query loads and 6 broadcasts feed 24 fmas. 12 rows by 2 vectors
// needs more row pointers than there are general registers and reloads
// them (~65% of the peak fma rate against 75-85%); 8 by 3 was worse still.
// AVX2 (16 registers): 6 rows by 2 vectors of 8 (12 accumulators): 96-100%
// of the AVX2 fma peak, against 83-86% for 4 rows.
inline constexpr int kAvx512MultiRows = 6;
inline constexpr int kAvx512MultiVectors = 4;
inline constexpr int kAvx2MultiRows = 6;
inline constexpr int kAvx2MultiVectors = 2;
// A narrower tile (the last queries of a call) takes more rows to keep its
// chains in flight, up to this many: the general registers again.
inline constexpr int kAvx512MultiMaxRows = 8;
inline constexpr int kAvx2MultiMaxRows = 8;

// A tile's queries are prefetched into L1 kMultiQtAhead columns ahead when
// they take more than kMultiQtInL1Bytes (64 queries of 768 floats: 192 KiB):
// 64-67% -> 69-71% of the peak at dim 768; at dim 128 (32 KiB, in L1
// already) it cost 3-5%, so it is off there.
inline constexpr int kMultiQtAhead = 8;
inline constexpr int64_t kMultiQtInL1Bytes = 32 * 1024;

// Blocking of a multi-query scan, for its caller: transpose the queries
// kMultiQuerySlice at a time, each slice on its own (its own qt, nq = the
// slice, best 64-byte aligned), and score rows multi_row_block(dim) at a
// time against every slice before moving on, so that the block stays in L2
// (2 MiB per core) while the slices pass and each row comes from memory
// once per call.
//
// A slice of 64 is the widest register tile: a tile's queries are then
// contiguous (256 bytes per column). Transposing more queries together puts
// every column of a tile on another page and the columns on few L1 sets:
// 1,000 queries at dims 128 / 768, share of the peak fma rate with slices of
// 64: 78% / 74%; of 256: 62% / 68%; all 1,000 in one: 56% / 61%.
inline constexpr int32_t kMultiQuerySlice = 64;

// About 1 MiB of rows per block (2,048 rows at dim 128, 341 at dim 768):
// half of L2, the rest left to the slice passing through (192 KiB at dim
// 768) and the scores (block * 64 floats). Dim 128: 77% of the peak at
// 2,048 rows, 75% at 8,192, 74% at 32,768; dim 768: 71% at 341 rows, 68%
// at 1,024, 65% at 8,192 (6 MiB, past L2). Never fewer rows than a
// register tile.
inline constexpr int64_t kMultiBlockBytes = 1 << 20;

inline int64_t multi_row_block(int32_t dim) {
  const int64_t row_bytes = dim > 0 ? int64_t{4} * dim : 4;
  const int64_t rows = kMultiBlockBytes / row_bytes;
  return rows < 64 ? 64 : rows;
}

// Batch searches (batch_search.cpp): the blocking above, around the top-k.

// A group of queries keeps its top-k open while every row of the call
// passes once, in blocks of multi_row_block(dim) rows, each block scored
// against every slice of the group (kMultiQuerySlice queries, transposed on
// their own) before the next. The slices share one scratch of this many
// bytes at most, and a group never exceeds kBatchMaxGroup queries: 1,000
// queries of 128 or 768 floats are one group, so the base is read once per
// call. Batch full search, 200,000 rows, 1,000 queries, k 10, share of the
// peak fma rate, end to end (busy machine, cpu time): dims 128 / 768,
// 58% / 55% with the first shapes (slices of up to 256 queries transposed
// together, each slice over the whole base in blocks of 128 KiB) against
// 73% / 68% now (the kernel alone, same run: 79% / 71%). The IVF batch,
// whose lists are scored a chunk of kMultiQuerySlice queries at a time in
// the same blocks: nprobe 8, 88 -> 28 ms at dim 128, 1.1 s -> 0.13 s at
// dim 768.
inline constexpr int64_t kBatchGroupBytes = INT64_C(4) << 20;
inline constexpr int32_t kBatchMaxGroup = 4096;

// Fewer queries than this in a group (or probing one IVF list) are scored
// one by one with the single-query kernel over a block already in L2: a
// register tile of 16 lanes holding fewer than 8 queries runs mostly empty.
inline constexpr int32_t kBatchMinMulti = 8;

// Queries with many slots (above kTopKHeapMin) hold a growing position
// array each: a group is cut so that group * slots stays within this many
// entries, a bound that does not grow with k.
inline constexpr int64_t kBatchHeldBudget = INT64_C(1) << 16;

// IVF: the probe lists of a group (group * nprobe) and the centroid scores
// of a slice (slice * nlist floats) stay within this many entries each.
inline constexpr int64_t kBatchCentroidBudget = INT64_C(1) << 20;

// --- Top-k slots (topk.h)

// Slot counts above this keep a heap rather than a sorted run. Insertion
// into a sorted run moves at most m - 1 entries, the cheapest there is for
// few slots; a full search of 10^5 rows of 32 floats took the same time
// either way at k 10 and 100 and 2.4 times as long sorted at k 1,000.
inline constexpr int32_t kTopKHeapMin = 128;

// --- Id maps (id_map.h)

// The hashed layout grows before more than kMapMaxLoadQuarters quarters of
// its slots are taken, to twice the slots. At three quarters a table is 3/8
// to 3/4 full: linear probing stays within a line or two, and the table
// takes half the memory of one kept 1/4 to 1/2 full, so random writes miss
// the cache and the TLB less and growth moves half the bytes. Tombstones
// written to a base of 10^6 rows, 200,000 random ids: 1.23 times faster
// one id per call and 1.43 times in batches of 1,000; lookups level.
inline constexpr uint64_t kMapMaxLoadQuarters = 3;

// --- Growing lists (grow_list.h)

// Appends into fresh capacity of a block of at least kAppendPrefaultMinBlock
// bytes fault in the next kAppendPrefaultBytes with one call instead of one
// page fault per 4 KiB page; in a virtual machine a fault costs more than
// copying the page. Smaller blocks live in memory the allocator reuses.
// 200,000 inserts of 128 floats on a base of 10^6 rows, batches of 1 and of
// 1,000: 19-24 % faster; 8 MiB measured the same as 2; advising 2 MiB pages
// for the block as well made them 1.7 times slower.
// A growing id map faults in a new table of kAppendPrefaultMinBlock bytes
// or more the same way, with one call, before it fills every slot.
inline constexpr int64_t kAppendPrefaultBytes = INT64_C(2) << 20;
inline constexpr int64_t kAppendPrefaultMinBlock = INT64_C(1) << 20;

// --- The row feeder (row_feed.h) and the walk-ahead lookups (walk_ahead.h)

// Rows scored per kernel call by the contiguous scans. One batch of scores
// stays on the stack and in L1, and the kernels' per-call setup is spread
// over enough rows to vanish.
inline constexpr int64_t kScanBatch = 256;
// Rows per batch of the row feeder. Two batches are in flight: one is
// scored while the next is collected and its rows prefetched, so every row
// is requested at least a batch ahead of its scoring. Measured on 10^5
// rows of 128 floats: 64 ran the candidate search about 5 % faster than
// 128 and matched it on the IVF and filtered searches.
inline constexpr int64_t kFeedBatch = 64;
// Lines of a listed row prefetched when it joins a batch, into L2 (a batch
// ahead, L1 would lose them to the rows scored meanwhile). Rows longer than
// this (dim > 256) are left to the hardware stream prefetcher, which
// follows a row once its head has been read.
inline constexpr int64_t kFeedPrefetchLines = 16;
// Consecutive rows from this many on go through the block kernel; shorter
// stretches (as left between hidden, failing or unlisted rows) are gathered
// with their neighbours. 16 is one tile of the widest kernel (AVX-512):
// a shorter run cannot fill one. 8 and 32 measured the same within noise
// on the filtered, candidate and IVF searches (10^5 rows of 128 floats).
inline constexpr int64_t kMinBlockRun = 16;

// Items in flight. Lookups hit random lines of tables much larger than the
// caches; 16 outstanding requests cover what one core can have in flight
// (its line fill buffers hold 10 to 16) without evicting a fetched line
// before it is used.
inline constexpr int64_t kWalkAhead = 16;

}  // namespace zv
