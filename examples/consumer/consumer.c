/* Links against an installed zv_runtime: builds a three-row base and checks
 * the best match of a query. Exits 0 and prints "consumer ok" on success. */
#include <stdio.h>

#include <zv_runtime.h>

int main(void) {
  const float vectors[] = {1, 0, 0, 1, 1, 1};
  const int64_t ids[] = {7, 8, 9};
  const int64_t keys[] = {0};
  const int32_t offsets[] = {0}, sizes[] = {3};
  const float query[] = {0.25f, 1.0f};
  int64_t best_id;
  float best_score;

  if (zv_runtime_format_version() != ZV_RUNTIME_FORMAT_VERSION) return 1;
  zv_index *index = zv_index_new(2, 0);
  if (zv_index_build(index, vectors, 3, 2, ids, keys, offsets, sizes, 1) != 0) return 1;
  int32_t m = zv_index_search_full(index, query, 1, &best_id, &best_score);
  zv_index_free(index);
  if (m != 1 || best_id != 9 || best_score != 1.25f) return 1;
  printf("consumer ok\n");
  return 0;
}
