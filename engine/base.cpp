#include "base.h"

namespace zv {

namespace {

// A dense id table may spend a few entries per row before the sparse map is
// the better deal; the constant keeps small bases with sparse ids dense.
// Its 32-bit entries name rows below kNoRow.
bool dense_table_fits(int64_t max_id, int64_t n) {
  return max_id < 4 * n + 4096 && n < int64_t{IdLookup::kNoRow};
}

}  // namespace

void Base::load(const float* vectors, int64_t n, int32_t dim, const int64_t* ids,
                const int64_t* partition_keys, const int32_t* partition_offsets,
                const int32_t* partition_sizes, int32_t partition_count, int64_t max_id) {
  stride_ = dim > 0 ? dim : 0;
  vectors_.refill(vectors, n * stride_);
  ids_.refill(ids, n);
  keys_.refill(partition_keys, partition_count);
  offsets_.refill(partition_offsets, partition_count);
  sizes_.refill(partition_sizes, partition_count);
  max_id_ = max_id;
  count_ = n;
  partition_count_ = partition_count;
  sealed_ = true;

  // Id lookup, last row wins; the previous holder of a repeated id is chained.
  const int64_t* id_copy = ids_.data();
  bool any_duplicate = false;
  auto note_duplicate = [&](int64_t r, int64_t prev) {
    if (!any_duplicate) {
      any_duplicate = true;
      dup_prev_.reset_bytes(n, 0xff);
    }
    dup_prev_[r] = prev;
  };
  IdMap sparse;
  sparse.set_seed(sparse_.seed());
  const bool dense = n > 0 && dense_table_fits(max_id, n);
  table_.reset_bytes(dense ? max_id + 1 : 0, 0xff);
  if (dense) {
    uint32_t* table = table_.data();
    for (int64_t r = 0; r < n; ++r) {
      uint32_t& slot = table[id_copy[r]];
      if (slot != IdLookup::kNoRow) note_duplicate(r, slot);
      slot = static_cast<uint32_t>(r);
    }
  } else if (n > 0) {
    sparse.reserve(n);
    for (int64_t r = 0; r < n; ++r) {
      const int64_t id = id_copy[r];
      bool inserted;
      int64_t& slot = sparse.upsert(id, IdMap::hash(id, sparse.seed()), r, &inserted);
      if (!inserted) {
        note_duplicate(r, slot);
        slot = r;
      }
    }
  }
  sparse_.swap(sparse);  // the old map goes with `sparse`
  if (!any_duplicate) dup_prev_.release();
}

bool Base::partition_rows(int64_t key, int64_t& first, int64_t& size) const {
  if (!sealed_ || partition_count_ <= 0) return false;
  int64_t lo = 0, hi = partition_count_ - 1, found = -1;
  while (lo <= hi) {
    const int64_t mid = (lo + hi) / 2;
    const int64_t k = keys_[mid];
    if (k == key) {
      found = mid;
      break;
    }
    if (k > key) hi = mid - 1;
    else lo = mid + 1;
  }
  if (found < 0) return false;
  first = offsets_[found];
  size = sizes_[found];
  return first >= 0 && size >= 0 && first + size <= count_;
}

}  // namespace zv
