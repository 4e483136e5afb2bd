"""The life of an index from Python: build, exact and IVF search with recall,
writes and candidate search, metadata and filtered search.

    ZV_RUNTIME_LIBRARY=build/release/engine/libzv_runtime.so python3 python/examples/demo.py [n]
"""
import sys
import time

import numpy as np
import zv_runtime as zv

n, dim, parts, nlist, nq, k = int(sys.argv[1]) if len(sys.argv) > 1 else 50_000, 64, 32, 128, 50, 10
rng = np.random.default_rng(42)
unit = lambda x: (x / np.linalg.norm(x, axis=1, keepdims=True)).astype(np.float32)
centres = unit(rng.standard_normal((parts, dim)))
labels = rng.integers(0, parts, n + nq)
data = unit(centres[labels] + 1.1 / np.sqrt(dim) * rng.standard_normal((n + nq, dim)))
base, queries = data[:n], data[n:]


def timed(what, fn, count=1):
    t = time.perf_counter()
    out = fn()
    dt = time.perf_counter() - t
    print(f"{what:<40} {dt:8.3f} s {count / dt:12.0f} /s")
    return out


def recall(truth, got):
    return np.mean([len(set(t) & set(g)) / len(t) for t, g in zip(truth, got)])


def kmeans(x, c, iters=8):  # spherical k-means in NumPy, a sample of 64 rows per list
    x = x[rng.choice(len(x), min(len(x), 64 * c), replace=False)]
    cent = x[:c].copy()
    for _ in range(iters):
        a = np.argmax(x @ cent.T, axis=1)
        cent = unit(np.stack([x[a == j].sum(0) if (a == j).any() else cent[j] for j in range(c)]))
    return cent


with zv.Index(dim) as index:
    v, ids, keys, offsets, sizes = zv.group_by_partition(base, labels[:n])
    timed("build", lambda: index.build(v, ids, keys, offsets, sizes), n)
    exact = timed("exact search (full)", lambda: index.search(queries, k), nq).ids
    part = [index.search_partition(labels[n + i], q, k).ids for i, q in enumerate(queries)]
    print(f"recall@{k} of the query's own partition: {recall(exact, part):.3f}")

    centroids = timed("k-means (NumPy)", lambda: kmeans(base, nlist))
    index.set_ivf(1, centroids, *zv.ivf_lists(np.arange(n), np.argmax(base @ centroids.T, 1), nlist), 1)
    for nprobe in (1, 4, 16):
        index.set_ivf_nprobe(1, nprobe)
        got = timed(f"IVF search, nprobe {nprobe}", lambda: index.search_ivf(1, queries, k), nq).ids
        print(f"  recall@{k}: {recall(exact, got):.3f}")

    new_ids = n + np.arange(1000)
    index.insert(unit(base[:1000] + queries[:1].repeat(1000, 0)), new_ids)
    version = index.delete(exact[:, 0])  # the best base hit of every query
    print(f"version {version}, visible rows {index.visible_count()}, delta rows {index.delta_count}")
    cands = [np.concatenate([index.search_ivf(1, q, 10 * k).ids, new_ids]) for q in queries]
    got = [index.search_candidates(c, q, k).ids for c, q in zip(cands, queries)]
    print(f"candidate search recall@{k} vs visible state: "
          f"{recall(index.search_filtered(queries, k).ids, got):.3f}")

    all_ids = np.arange(n + 1000)
    index.set_rowmeta(all_ids, all_ids % 16, np.stack([all_ids % 10, 2015 + all_ids % 7], 1))
    hits = timed("filtered search (tenant 3)", lambda: index.search_filtered(queries, k, primary=3), nq)
    assert np.all(index.export_rowmeta(hits.ids[hits.ids != zv.EMPTY_ID])[0] == 3)
    print(f"{len(index.match_ids(column=1, value=2020))} visible rows from 2020")
