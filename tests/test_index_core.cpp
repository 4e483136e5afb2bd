// The index record as the host sees it: creation, release, statistics, flags
// and the write counter.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "core_test_support.h"
#include "zv_runtime.h"

namespace {

struct Stats {
  int64_t base_count;
  int32_t dim;
  int32_t tag;
  int32_t partition_count;
};

Stats stats_of(const zv_index* index) {
  Stats s{-7, -7, -7, -7};
  EXPECT_EQ(zv_index_stats(index, &s.base_count, &s.dim, &s.tag, &s.partition_count), 0);
  return s;
}

using zvtest::Index;

// A three-row, two-partition base of dimension 2.
void build_small_base(zv_index* index) {
  const float vectors[] = {1, 0, 0, 1, 1, 1};
  const int64_t ids[] = {4, 9, 2};
  const int64_t keys[] = {10, 20};
  const int32_t offsets[] = {0, 2};
  const int32_t sizes[] = {2, 1};
  ASSERT_EQ(zv_index_build(index, vectors, 3, 2, ids, keys, offsets, sizes, 2), 0);
}

TEST(IndexLifecycle, FreshRecordReportsItsInitialState) {
  Index index(16, 77);
  ASSERT_NE(index.get(), nullptr);
  const Stats s = stats_of(index.get());
  EXPECT_EQ(s.base_count, 0);
  EXPECT_EQ(s.dim, 16);
  EXPECT_EQ(s.tag, 77);
  EXPECT_EQ(s.partition_count, 0);
  EXPECT_EQ(zv_index_snapshot(index.get()), 0);
  EXPECT_EQ(zv_index_mutated(index.get()), 0);
  EXPECT_EQ(zv_index_sealed(index.get()), 0);
  EXPECT_EQ(zv_index_delta_count(index.get()), 0);
  EXPECT_EQ(zv_index_visible_count(index.get()), 0);
}

TEST(IndexLifecycle, DimAndTagAreStoredAsPassed) {
  for (int32_t dim : {0, -1, -100000, INT32_MIN, INT32_MAX}) {
    for (int32_t tag : {0, -5, INT32_MIN, INT32_MAX}) {
      Index index(dim, tag);
      const Stats s = stats_of(index.get());
      EXPECT_EQ(s.dim, dim);
      EXPECT_EQ(s.tag, tag);
      EXPECT_EQ(s.base_count, 0);
      EXPECT_EQ(zv_index_sealed(index.get()), 0);
    }
  }
}

TEST(IndexLifecycle, FormatVersionNeedsNoHandle) {
  EXPECT_EQ(zv_runtime_format_version(), ZV_RUNTIME_FORMAT_VERSION);
}

TEST(IndexLifecycle, FreeAcceptsNullAndEveryKindOfRecord) {
  zv_index_free(nullptr);

  // Never built, never written.
  zv_index_free(zv_index_new(4, 0));
  zv_index_free(zv_index_new(-3, 0));

  // Built twice and holding something in every store: a leak checker sees
  // anything the release misses.
  zv_index* index = zv_index_new(2, 1);
  build_small_base(index);
  build_small_base(index);
  const float v[] = {0.5f, 0.5f, 2, 2};
  const int64_t ids[] = {100, 4};
  zv_index_insert(index, v, ids, 2);
  const int64_t del[] = {9};
  zv_index_delete(index, del, 1);
  const int64_t meta_ids[] = {4, 100};
  const int64_t primary[] = {1, 2};
  const int64_t columns[] = {10, 11, 20, 21};
  ASSERT_EQ(zv_index_set_rowmeta(index, meta_ids, primary, columns, 2, 2), 0);
  const float centroids[] = {1, 0, 0, 1};
  const int64_t list_ids[] = {4, 9, 2};
  const int32_t list_offsets[] = {0, 2, 3};
  ASSERT_EQ(zv_index_set_ivf(index, 5, 2, 1, centroids, list_ids, list_offsets, 3), 0);
  ASSERT_EQ(zv_index_set_ivf(index, 5, 2, 2, centroids, list_ids, list_offsets, 3), 0);
  ASSERT_EQ(zv_index_set_ivf(index, 6, 2, 1, centroids, list_ids, list_offsets, 3), 0);
  zv_index_free(index);
}

TEST(IndexLifecycle, StatsFollowTheBuild) {
  Index index(5, 3);
  build_small_base(index.get());
  const Stats s = stats_of(index.get());
  EXPECT_EQ(s.base_count, 3);
  EXPECT_EQ(s.dim, 2);  // the build's dim replaces the one given at creation
  EXPECT_EQ(s.tag, 3);
  EXPECT_EQ(s.partition_count, 2);
  EXPECT_EQ(zv_index_sealed(index.get()), 1);
  // A build is not a write batch.
  EXPECT_EQ(zv_index_snapshot(index.get()), 0);
  EXPECT_EQ(zv_index_mutated(index.get()), 0);
  EXPECT_EQ(zv_index_delta_count(index.get()), 0);
}

TEST(IndexLifecycle, AnEmptyBuildStillSeals) {
  Index index(2, 0);
  ASSERT_EQ(zv_index_build(index.get(), nullptr, 0, 2, nullptr, nullptr, nullptr, nullptr, 0), 0);
  EXPECT_EQ(zv_index_sealed(index.get()), 1);
  EXPECT_EQ(stats_of(index.get()).base_count, 0);
}

// ---------------------------------------------------------------------------
// The write counter

TEST(IndexVersion, EmptyBatchesChangeNothing) {
  Index index(2, 0);
  EXPECT_EQ(zv_index_insert(index.get(), nullptr, nullptr, 0), 0);
  EXPECT_EQ(zv_index_insert(index.get(), nullptr, nullptr, -4), 0);
  EXPECT_EQ(zv_index_delete(index.get(), nullptr, 0), 0);
  EXPECT_EQ(zv_index_delete(index.get(), nullptr, INT32_MIN), 0);
  EXPECT_EQ(zv_index_snapshot(index.get()), 0);
  EXPECT_EQ(zv_index_mutated(index.get()), 0);
  EXPECT_EQ(zv_index_delta_count(index.get()), 0);
}

TEST(IndexVersion, InsertsAndDeletesShareOneCounterOfBatches) {
  Index index(2, 0);
  const float v[] = {1, 2, 3, 4, 5, 6};
  const int64_t ids[] = {1, 2, 3};
  EXPECT_EQ(zv_index_insert(index.get(), v, ids, 3), 1);  // one batch, three rows
  EXPECT_EQ(zv_index_mutated(index.get()), 1);
  EXPECT_EQ(zv_index_delete(index.get(), ids, 2), 2);
  EXPECT_EQ(zv_index_insert(index.get(), v, ids, 1), 3);
  // Empty batches between real ones return the current version.
  EXPECT_EQ(zv_index_insert(index.get(), nullptr, nullptr, 0), 3);
  EXPECT_EQ(zv_index_delete(index.get(), nullptr, 0), 3);
  EXPECT_EQ(zv_index_delete(index.get(), ids, 3), 4);
  EXPECT_EQ(zv_index_snapshot(index.get()), 4);
  EXPECT_EQ(zv_index_mutated(index.get()), 1);
  // Builds, metadata and IVF writes are not batches.
  build_small_base(index.get());
  const int64_t primary[] = {1};
  ASSERT_EQ(zv_index_set_rowmeta(index.get(), ids, primary, nullptr, 0, 1), 0);
  EXPECT_EQ(zv_index_snapshot(index.get()), 4);
}

TEST(IndexVersion, DeleteAloneSetsMutated) {
  Index index(2, 0);
  const int64_t ids[] = {42};
  EXPECT_EQ(zv_index_delete(index.get(), ids, 1), 1);
  EXPECT_EQ(zv_index_mutated(index.get()), 1);
  EXPECT_EQ(zv_index_delta_count(index.get()), 0);
}

TEST(IndexVersion, DeltaCountCountsRowsEverCreated) {
  Index index(2, 0);
  const float v[] = {1, 2, 3, 4, 5, 6};
  const int64_t ids[] = {7, 8, 7};  // a repeated id is one row
  zv_index_insert(index.get(), v, ids, 3);
  EXPECT_EQ(zv_index_delta_count(index.get()), 2);
  zv_index_delete(index.get(), ids, 1);  // deleting keeps the row
  EXPECT_EQ(zv_index_delta_count(index.get()), 2);
  zv_index_insert(index.get(), v, ids, 1);  // revival reuses it
  EXPECT_EQ(zv_index_delta_count(index.get()), 2);
}

TEST(IndexLifecycle, HandlesShareNothing) {
  Index a(2, 1), b(3, 2);
  build_small_base(a.get());
  const float v[] = {1, 2, 3};
  const int64_t ids[] = {5};
  zv_index_insert(b.get(), v, ids, 1);
  EXPECT_EQ(zv_index_sealed(b.get()), 0);
  EXPECT_EQ(stats_of(b.get()).base_count, 0);
  EXPECT_EQ(zv_index_snapshot(a.get()), 0);
  EXPECT_EQ(zv_index_delta_count(a.get()), 0);
  EXPECT_EQ(zv_index_snapshot(b.get()), 1);
  EXPECT_EQ(stats_of(b.get()).tag, 2);
}

TEST(IndexLifecycle, ManyHandlesCreatedAndFreed) {
  std::vector<zv_index*> handles;
  for (int i = 0; i < 200; ++i) handles.push_back(zv_index_new(i % 7, i));
  for (int i = 0; i < 200; ++i) {
    const Stats s = stats_of(handles[i]);
    EXPECT_EQ(s.dim, i % 7);
    EXPECT_EQ(s.tag, i);
  }
  for (zv_index* h : handles) zv_index_free(h);
}

}  // namespace
