#include "probe_select.h"

#include "topk.h"

namespace zv {

namespace {

// Centroid a ranks below centroid b in probe order.
inline bool probes_after(float sa, int32_t ca, float sb, int32_t cb) {
  return sa < sb || (sa == sb && ca > cb);
}

// Puts (s, c) into the hole at `at` of a heap of n entries whose weakest
// entry is at the top.
void sift_down(float* hs, int32_t* hc, int32_t n, int32_t at, float s, int32_t c) {
  for (;;) {
    int32_t child = 2 * at + 1;
    if (child >= n) break;
    if (child + 1 < n && probes_after(hs[child + 1], hc[child + 1], hs[child], hc[child])) ++child;
    if (!probes_after(hs[child], hc[child], s, c)) break;
    hs[at] = hs[child];
    hc[at] = hc[child];
    at = child;
  }
  hs[at] = s;
  hc[at] = c;
}

}  // namespace

int32_t select_probes(const float* scores, int32_t nlist, int32_t nprobe, float* hs, int32_t* hc) {
  const int32_t cap = nprobe < nlist ? nprobe : nlist;
  if (cap <= 0) return 0;
  int32_t n = 0;
  // Centroids come in number order, so a later one displaces the weakest
  // held only with a strictly greater score.
  for (int32_t c = 0; c < nlist; ++c) {
    const float s = scores[c];
    if (!(s > kEmptyScore)) continue;
    if (n < cap) {
      int32_t at = n++;
      while (at > 0) {
        const int32_t parent = (at - 1) / 2;
        if (!probes_after(s, c, hs[parent], hc[parent])) break;
        hs[at] = hs[parent];
        hc[at] = hc[parent];
        at = parent;
      }
      hs[at] = s;
      hc[at] = c;
    } else if (s > hs[0]) {
      sift_down(hs, hc, n, 0, s, c);
    }
  }
  // Heap sort: the weakest goes last each round, leaving the best first.
  for (int32_t last = n - 1; last > 0; --last) {
    const float s = hs[last];
    const int32_t c = hc[last];
    hs[last] = hs[0];
    hc[last] = hc[0];
    sift_down(hs, hc, last, 0, s, c);
  }
  return n;
}

}  // namespace zv
