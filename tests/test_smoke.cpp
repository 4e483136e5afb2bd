#include <gtest/gtest.h>

#include "zv_runtime.h"

TEST(Smoke, BuildAndSearch) {
  zv_index* index = zv_index_new(2, 7);
  const float vectors[] = {1, 0, 0, 1, 1, 1};
  const int64_t ids[] = {5, 6, 7};
  const int64_t keys[] = {1};
  const int32_t offsets[] = {0};
  const int32_t sizes[] = {3};
  ASSERT_EQ(zv_index_build(index, vectors, 3, 2, ids, keys, offsets, sizes, 1), 0);
  const float query[] = {1, 2};
  int64_t out_ids[2];
  float out_scores[2];
  ASSERT_EQ(zv_index_search_full(index, query, 2, out_ids, out_scores), 2);
  EXPECT_EQ(out_ids[0], 7);
  EXPECT_EQ(out_scores[0], 3.0f);
  EXPECT_EQ(out_ids[1], 6);
  zv_index_free(index);
}
