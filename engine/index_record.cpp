#include "index_record.h"

#include <cstring>

namespace zv {

namespace {

// Unpredictable to the host: where the record lives and when it was made.
uint64_t fresh_hash_seed(const void* where) {
  uint64_t s = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(where));
#if defined(__x86_64__) || defined(__i386__)
  s ^= __builtin_ia32_rdtsc() * 0x9e3779b97f4a7c15ULL;
#endif
  return IdMap::hash(static_cast<int64_t>(s), 0x2545f4914f6cdd1dULL);
}

}  // namespace

IndexRecord::IndexRecord()
    : hash_seed(fresh_hash_seed(this)), base(hash_seed), writes(hash_seed), meta(hash_seed),
      ivf(hash_seed) {}

int32_t build_base(IndexRecord& rec, const float* vectors, int64_t n, int32_t dim,
                   const int64_t* ids, const int64_t* partition_keys,
                   const int32_t* partition_offsets, const int32_t* partition_sizes,
                   int32_t partition_count) {
  // Validate everything before anything is changed.
  if (n < 0 || n > kBaseLimit || dim < 0 || partition_count < 0) return -1;
  if (dim > 0 && n > kBaseLimit / dim) return -1;  // n * dim > 2^40
  if (dim != rec.dim && (rec.writes.delta_count() > 0 || rec.ivf.size() > 0)) return -1;
  int64_t max_id = -1;
  for (int64_t i = 0; i < n; ++i) {
    const int64_t id = ids[i];
    if (id < 0 || id >= kBaseLimit) return -1;
    if (id > max_id) max_id = id;
  }

  // From here on the build cannot fail (running out of memory ends the
  // process).
  rec.base.load(vectors, n, dim, ids, partition_keys, partition_offsets, partition_sizes,
                partition_count, max_id);
  rec.dim = dim;
  // State derived from the base is rebuilt by its owners.
  rec.writes.refresh(rec.base);
  rec.meta.refresh(rec.base);
  rec.ivf.refresh(rec.base);
  return 0;
}

int64_t export_base(const IndexRecord& rec, float* out_vectors, int64_t* out_ids) {
  if (!rec.base.sealed()) return 0;
  const int64_t n = rec.base.count();
  const int64_t floats = n * (rec.dim > 0 ? rec.dim : 0);
  if (floats > 0) std::memcpy(out_vectors, rec.base.vectors(), static_cast<std::size_t>(floats) * sizeof(float));
  if (n > 0) std::memcpy(out_ids, rec.base.ids(), static_cast<std::size_t>(n) * sizeof(int64_t));
  return n;
}

}  // namespace zv
