"""Reference computations the binding's results are checked against."""
import numpy as np


def fma_scores(rows, query):
    """Score of every row exactly as the library defines it: acc = +0.0, then
    acc = fmaf(row[j], q[j], acc) for ascending j, vectorised over rows.

    A product of two float32 values is exact in float64, but the float64 sum
    with acc is rounded, and rounding that again to float32 can differ from
    fmaf's single rounding. Rounding the sum to odd (truncate, then set the
    last bit when anything was dropped) keeps enough of the exact sum that
    the final rounding to float32 is the correct one."""
    rows = np.asarray(rows, dtype=np.float32).reshape(-1, len(query))
    q = np.asarray(query, dtype=np.float32).astype(np.float64)
    acc = np.zeros(len(rows), dtype=np.float32)
    for j in range(rows.shape[1]):
        p = rows[:, j].astype(np.float64) * q[j]     # exact
        a = acc.astype(np.float64)
        s = p + a                                   # rounded to nearest
        t = s - p
        err = (p - (s - t)) + (a - t)               # s + err == p + a exactly
        bits = s.view(np.int64).copy()
        inexact = (err != 0) & np.isfinite(s)
        # Where s lies beyond the exact sum (err has the other sign), step
        # one ulp towards zero: that is truncation. Then make it odd.
        beyond = inexact & ((err < 0) != (s < 0))
        bits[beyond] -= 1
        bits[inexact] |= 1
        acc = bits.view(np.float64).astype(np.float32)
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
