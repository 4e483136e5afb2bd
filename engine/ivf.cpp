#include "ivf.h"

#include <algorithm>
#include <cstring>

#include "alloc.h"
#include "bulk_copy.h"
#include "probe_select.h"
#include "score_kernel.h"
#include "topk.h"

namespace zv {

namespace {

int64_t key_bits(uint64_t key) { return static_cast<int64_t>(key); }

// A function whose only effect is a prefetch counts as free of side effects
// to GCC, which then drops the calls; the prefetching helpers here are
// forced inline so that their prefetches stay.
#define ZV_PREFETCH_HELPER __attribute__((always_inline)) inline

// Ids whose table entries are prefetched ahead of the one being resolved:
// listed ids come in list order, so nearly every lookup misses the caches.
constexpr int64_t kResolveLookahead = 64;

ZV_PREFETCH_HELPER void prefetch_lookup(const IndexRecord& rec, int64_t id) {
  if (id < 0 || id > rec.max_base_id) return;
  if (rec.id_to_row != nullptr) __builtin_prefetch(rec.id_to_row + id);
  else rec.id_to_row_sparse.prefetch(id, id_hash(rec, id));
}

// rows[p] = base row of ids[p], or -1.
void resolve_rows(const IndexRecord& rec, const int64_t* ids, int64_t count, int64_t* rows) {
  for (int64_t p = 0; p < count; ++p) {
    if (p + kResolveLookahead < count) prefetch_lookup(rec, ids[p + kResolveLookahead]);
    rows[p] = base_row_of(rec, ids[p]);
  }
}

const IvfEntry* find_entry(const IndexRecord& rec, uint64_t key) {
  const int64_t* slot = rec.ivf_index.find(key_bits(key));
  return slot ? &rec.ivf_list[*slot] : nullptr;
}

}  // namespace

int32_t set_ivf(IndexRecord& rec, uint64_t key, int32_t nlist, int32_t nprobe,
                const float* centroids, const int64_t* list_ids, const int32_t* list_offsets,
                int32_t id_count) {
  const int64_t d = rec.dim > 0 ? rec.dim : 0;
  const int64_t centroid_floats = nlist > 0 ? d * nlist : 0;
  const int64_t id_total = id_count > 0 ? id_count : 0;
  const int64_t offset_total = nlist >= 0 ? int64_t{nlist} + 1 : 0;

  const int64_t k = key_bits(key);
  const uint64_t h = id_hash(rec, k);
  IvfEntry* entry;
  if (int64_t* slot = rec.ivf_index.find(k, h)) {
    entry = &rec.ivf_list[*slot];
  } else {
    rec.ivf_index.assign(k, h, rec.ivf_list.size());
    entry = &rec.ivf_list.emplace_back();
  }
  // A retrained index of about the same size refills the arrays of the one
  // it replaces, as a rebuild does: no fresh pages to fault in. (The stored
  // counts serve as the capacities.)
  int64_t rows_capacity = entry->id_count;
  refill(entry->centroids, entry->centroid_floats, centroids, centroid_floats);
  refill(entry->list_ids, entry->id_count, list_ids, id_total);
  refill(entry->list_offsets, entry->offset_count, list_offsets, offset_total);
  reuse_or_alloc(entry->list_rows, rows_capacity, id_total);
  entry->centroid_floats = centroid_floats;
  entry->id_count = id_total;
  entry->offset_count = offset_total;
  entry->nlist = nlist;
  entry->nprobe = nprobe;
  resolve_rows(rec, entry->list_ids, id_total, entry->list_rows);
  return 0;
}

void refresh_ivf_rows(IndexRecord& rec) {
  for (int64_t s = 0; s < rec.ivf_list.size(); ++s) {
    IvfEntry& e = rec.ivf_list[s];
    resolve_rows(rec, e.list_ids, e.id_count, e.list_rows);
  }
}

int32_t set_ivf_nprobe(IndexRecord& rec, uint64_t key, int32_t nprobe) {
  const int64_t* slot = rec.ivf_index.find(key_bits(key));
  if (slot == nullptr) return -1;
  rec.ivf_list[*slot].nprobe = nprobe;
  return 0;
}

int32_t has_ivf(const IndexRecord& rec, uint64_t key) {
  return rec.ivf_index.find(key_bits(key)) != nullptr ? 1 : 0;
}

int32_t clear_ivf(IndexRecord& rec) {
  rec.ivf_index.clear();
  rec.ivf_list.release();
  return 0;
}

namespace {

// Listed rows gathered, then scored, per step of the walk. Two steps are in
// flight: one being scored while the next is gathered and prefetched.
constexpr int64_t kWalkChunk = 128;
// Consecutive base rows from this many on go through the contiguous kernel;
// shorter runs are cheaper to gather with their neighbours.
constexpr int64_t kMinRun = 8;

// One stretch of listed rows, in offer order.
struct Chunk {
  const float* rows[kWalkChunk];
  int64_t ids[kWalkChunk];
  int64_t count = 0;
};

// Streams the listed rows of the probed lists in offer order: probe order,
// then position within the list. Positions outside the stored ids and ids
// without a base row are skipped.
class ListWalk {
 public:
  // `probes` holds the chosen centroids in probe order (select_probes).
  ListWalk(const IndexRecord& rec, const IvfEntry& e, const int32_t* probes, int32_t probe_count)
      : rec_(rec), e_(e), probes_(probes), probe_count_(probe_count),
        stride_(rec.dim > 0 ? rec.dim : 0) {}

  // Fills `out` with up to kWalkChunk rows and prefetches their vectors;
  // an empty chunk means the walk is over.
  void fill(Chunk& out) {
    out.count = 0;
    while (out.count < kWalkChunk) {
      if (pos_ >= end_ && !next_list()) break;
      const int64_t stop = std::min(end_, pos_ + (kWalkChunk - out.count));
      for (; pos_ < stop; ++pos_) {
        const int64_t row = e_.list_rows[pos_];
        if (row < 0) continue;
        out.rows[out.count] = rec_.base_vectors + row * stride_;
        out.ids[out.count] = e_.list_ids[pos_];
        ++out.count;
      }
    }
    prefetch_rows(out);
  }

 private:
  // Takes the next probed centroid and clips its list to the stored ids.
  bool next_list() {
    while (next_probe_ < probe_count_) {
      const int32_t c = probes_[next_probe_++];
      int64_t start = e_.list_offsets[c];
      int64_t end = e_.list_offsets[c + 1];
      if (start >= end) continue;
      start = std::max<int64_t>(start, 0);
      end = std::min(end, e_.id_count);
      if (start >= end) continue;
      pos_ = start;
      end_ = end;
      return true;
    }
    return false;
  }

  // Listed rows are random reads unless the base is laid out by list: ask
  // for every line of the chunk now so that it arrives while the previous
  // chunk is scored. A row that follows its predecessor in memory is left
  // to the hardware's stream prefetch, which handles runs better.
  ZV_PREFETCH_HELPER void prefetch_rows(const Chunk& chunk) const {
    const int64_t bytes = stride_ * static_cast<int64_t>(sizeof(float));
    if (bytes == 0) return;
    for (int64_t i = 0; i < chunk.count; ++i) {
      if (i > 0 && chunk.rows[i] == chunk.rows[i - 1] + stride_) continue;
      const char* p = reinterpret_cast<const char*>(chunk.rows[i]);
      for (int64_t b = 0; b < bytes; b += 64) __builtin_prefetch(p + b, 0, 2);
    }
  }

  const IndexRecord& rec_;
  const IvfEntry& e_;
  const int32_t* probes_;
  int32_t probe_count_;
  int32_t next_probe_ = 0;
  int64_t stride_;
  int64_t pos_ = 0;
  int64_t end_ = 0;
};

// Scores a chunk, runs of consecutive base rows through the contiguous
// kernel and the rest through the gather kernel, then offers it in order.
void score_chunk(const Chunk& chunk, const float* query, int32_t dim, TopK& topk) {
  const int64_t stride = dim > 0 ? dim : 0;
  const int64_t n = chunk.count;
  float scores[kWalkChunk];
  int64_t gathered = 0;  // first row not yet scored
  int64_t i = 0;
  while (i < n) {
    int64_t j = i + 1;
    while (j < n && chunk.rows[j] == chunk.rows[j - 1] + stride) ++j;
    if (j - i >= kMinRun && stride > 0) {
      if (gathered < i) score_gather(chunk.rows + gathered, i - gathered, query, dim, scores + gathered);
      score_block(chunk.rows[i], j - i, query, dim, scores + i);
      gathered = j;
    }
    i = j;
  }
  if (gathered < n) score_gather(chunk.rows + gathered, n - gathered, query, dim, scores + gathered);
  topk.offer_batch(scores, chunk.ids, n);
}

}  // namespace

int32_t search_ivf(const IndexRecord& rec, uint64_t key, const float* query, int32_t k,
                   int64_t* out_ids, float* out_scores) {
  const IvfEntry* e = find_entry(rec, key);
  if (e == nullptr || k < 1 || e->nlist < 1) return 0;
  const int64_t d = rec.dim > 0 ? rec.dim : 0;
  // An entry whose centroids no longer cover the current dimension cannot be
  // scored without reading past them.
  if (e->centroid_floats < d * e->nlist) return 0;

  TopK topk(out_ids, out_scores, k);
  // One scratch block: the centroid scores, then the probe selection's heap
  // (a score and a centroid number per probe).
  const int32_t cap = std::max(0, std::min(e->nprobe, e->nlist));
  float* centroid_scores = alloc_array<float>(int64_t{e->nlist} + 2 * int64_t{cap});
  float* heap_scores = centroid_scores + e->nlist;
  int32_t* probes = reinterpret_cast<int32_t*>(heap_scores + cap);
  score_block(e->centroids, e->nlist, query, rec.dim, centroid_scores);
  const int32_t probe_count = select_probes(centroid_scores, e->nlist, e->nprobe, heap_scores, probes);
  ListWalk walk(rec, *e, probes, probe_count);
  Chunk chunks[2];
  int which = 0;
  walk.fill(chunks[which]);
  while (chunks[which].count > 0) {
    walk.fill(chunks[which ^ 1]);
    score_chunk(chunks[which], query, rec.dim, topk);
    which ^= 1;
  }
  free_bytes(centroid_scores);
  return k;
}

}  // namespace zv
