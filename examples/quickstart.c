/* Quickstart: build a partitioned base, search it whole and by partition,
 * write to the delta, then search what is visible now. */
#include <stdio.h>
#include <stdlib.h>

#include "zv_runtime.h"

enum { N = 20000, DIM = 64, PARTS = 8, K = 5 };

static float frand(unsigned *state) {
  *state = *state * 1664525u + 1013904223u;
  return (float)((*state >> 8) & 0xffff) / 65536.0f - 0.5f;
}

static void print_hits(const char *what, int32_t m, const int64_t *ids, const float *scores) {
  printf("%-18s", what);
  for (int32_t i = 0; i < m && ids[i] != ZV_EMPTY_ID; ++i)
    printf(" %lld:%.3f", (long long)ids[i], scores[i]);
  printf("\n");
}

int main(void) {
  float *vectors = malloc(sizeof(float) * N * DIM), query[DIM];
  int64_t *ids = malloc(sizeof(int64_t) * N), keys[PARTS];
  int32_t offsets[PARTS], sizes[PARTS];
  unsigned seed = 42;
  if (!vectors || !ids) return 1;
  for (int64_t i = 0; i < (int64_t)N * DIM; ++i) vectors[i] = frand(&seed);
  for (int64_t i = 0; i < N; ++i) ids[i] = 1000 + i;
  for (int p = 0; p < PARTS; ++p) { /* partition 10*p: a contiguous run of rows */
    keys[p] = 10 * p;
    offsets[p] = p * (N / PARTS);
    sizes[p] = N / PARTS;
  }
  for (int j = 0; j < DIM; ++j) query[j] = frand(&seed);

  zv_index *index = zv_index_new(DIM, /*tag=*/0);
  if (zv_index_build(index, vectors, N, DIM, ids, keys, offsets, sizes, PARTS) != 0) return 1;
  free(vectors); /* the index keeps its own copy */
  free(ids);

  int64_t hit_ids[K];
  float hit_scores[K];
  int32_t m = zv_index_search_full(index, query, K, hit_ids, hit_scores);
  print_hits("whole base:", m, hit_ids, hit_scores);
  int64_t best = hit_ids[0], second = hit_ids[1];
  m = zv_index_search_partition(index, 30, query, K, hit_ids, hit_scores);
  print_hits("partition 30:", m, hit_ids, hit_scores);

  /* Writes go to the delta: upsert the best hit of the whole base as the
   * query itself, delete the runner-up. Base searches still see the base as built; the searches
   * over the visible state see the writes. */
  zv_index_insert(index, query, &best, 1);
  int64_t version = zv_index_delete(index, &second, 1);
  m = zv_index_search_filtered(index, /*kind: every row*/ 0, 0, 0, query, K, hit_ids, hit_scores);
  print_hits("visible now:", m, hit_ids, hit_scores);
  printf("version %lld, %lld visible rows\n", (long long)version,
         (long long)zv_index_visible_count(index));

  zv_index_free(index);
  return 0;
}
