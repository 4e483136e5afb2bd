/* A minimal host program: build a base of random vectors in a few
 * partitions, search it whole and by partition, then write to the delta and
 * search the visible state. */
#include <stdio.h>
#include <stdlib.h>

#include "zv_runtime.h"

enum { N = 20000, DIM = 64, PARTS = 8, K = 5 };

static float frand(unsigned *state) {
  *state = *state * 1664525u + 1013904223u;
  return (float)((*state >> 8) & 0xffff) / 65536.0f - 0.5f;
}

static void print_topk(const char *what, int32_t m, const int64_t *ids, const float *scores) {
  printf("%-22s", what);
  for (int32_t i = 0; i < m; ++i) printf(" %lld:%.3f", (long long)ids[i], scores[i]);
  printf("\n");
}

int main(void) {
  float *vectors = malloc(sizeof(float) * N * DIM);
  int64_t *ids = malloc(sizeof(int64_t) * N);
  int64_t keys[PARTS];
  int32_t offsets[PARTS], sizes[PARTS];
  float query[DIM];
  unsigned seed = 42;
  if (!vectors || !ids) return 1;
  for (int64_t i = 0; i < (int64_t)N * DIM; ++i) vectors[i] = frand(&seed);
  for (int64_t i = 0; i < N; ++i) ids[i] = 1000 + i;
  for (int p = 0; p < PARTS; ++p) {
    keys[p] = 10 * p;
    offsets[p] = p * (N / PARTS);
    sizes[p] = N / PARTS;
  }
  for (int j = 0; j < DIM; ++j) query[j] = frand(&seed);

  zv_index *index = zv_index_new(DIM, 0);
  if (zv_index_build(index, vectors, N, DIM, ids, keys, offsets, sizes, PARTS) != 0) return 1;

  int64_t out_ids[K];
  float out_scores[K];
  int32_t m = zv_index_search_full(index, query, K, out_ids, out_scores);
  print_topk("full search:", m, out_ids, out_scores);
  m = zv_index_search_partition(index, 30, query, K, out_ids, out_scores);
  print_topk("partition 30:", m, out_ids, out_scores);

  /* Upsert the best hit with the query itself, delete the runner-up. */
  int64_t best = out_ids[0], second = out_ids[1];
  zv_index_insert(index, query, &best, 1);
  int64_t version = zv_index_delete(index, &second, 1);
  int64_t candidates[3] = {best, second, out_ids[2]};
  m = zv_index_search_mvcc(index, candidates, 3, query, K, out_ids, out_scores);
  print_topk("candidates after writes:", m, out_ids, out_scores);
  printf("version %lld, visible rows %lld\n", (long long)version,
         (long long)zv_index_visible_count(index));

  zv_index_free(index);
  free(vectors);
  free(ids);
  return 0;
}
