"""Reference computations the binding's results are checked against."""
import numpy as np


def fma_scores(rows, query):
    """Score of every row exactly as the library defines it: acc = +0.0, then
    acc = fmaf(row[j], q[j], acc) for ascending j. A float32 product is exact
    in float64, so each step is the float64 sum rounded once to float32."""
    rows = np.asarray(rows, dtype=np.float32).reshape(len(rows), len(query))
    q = np.asarray(query, dtype=np.float64)
    acc = np.zeros(len(rows), dtype=np.float32)
    for j in range(rows.shape[1]):
        acc = (rows[:, j].astype(np.float64) * q[j] + acc).astype(np.float32)
    return acc


def topk(ids, scores, k):
    """The library's top-k of rows offered in the given order: best first,
    ties in offer order, NaN and scores at or below EMPTY_SCORE never enter."""
    ids, scores = np.asarray(ids), np.asarray(scores, dtype=np.float32)
    keep = np.nonzero(scores > np.float32(-1e30))[0]
    order = keep[np.argsort(-scores[keep], kind="stable")][:k]
    return ids[order], scores[order]


def clustered(rng, n, dim, clusters, spread=0.3):
    centers = rng.standard_normal((clusters, dim)).astype(np.float32)
    labels = rng.integers(0, clusters, n)
    x = centers[labels] + spread * rng.standard_normal((n, dim)).astype(np.float32)
    return x.astype(np.float32), labels

