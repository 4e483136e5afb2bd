"""A sharded index on a local Dask cluster, checked against one local index.

Starts a LocalCluster of worker processes, builds a ShardedIndex from a
dask.array (each shard's rows are computed on its own worker), writes,
registers an IVF index and metadata, searches, and compares every answer,
ids and score bits, with a zv_runtime.Index given the same calls.

    ZV_RUNTIME_LIBRARY=build/release/engine/libzv_runtime.so \\
        PYTHONPATH=python /usr/bin/python3 python/examples/distributed_demo.py [--workers 2] [--rows 20000]

On several machines, connect a Client to your scheduler instead of starting
a LocalCluster (docs/distributed.md).
"""
import argparse
import time

import dask
import dask.array as da
import numpy as np
from dask.distributed import Client, LocalCluster

import zv_runtime as zv
from zv_runtime.distributed import ShardedIndex


def same(a, b):
    """Same ids and the same score bits (b has the slot count a will have)."""
    m = b.ids.shape[-1]
    ids = np.full(b.ids.shape, zv.EMPTY_ID, np.int64)
    scores = np.full(b.scores.shape, zv.EMPTY_SCORE, np.float32)
    w = min(m, np.shape(a.ids)[-1])
    ids[..., :w], scores[..., :w] = np.asarray(a.ids)[..., :w], np.asarray(a.scores)[..., :w]
    return np.array_equal(ids, b.ids) and np.array_equal(scores.view(np.uint32), b.scores.view(np.uint32))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--workers", type=int, default=2)
    ap.add_argument("--rows", type=int, default=20_000)
    ap.add_argument("--dim", type=int, default=32)
    args = ap.parse_args()
    n, dim, parts, nq, k = args.rows, args.dim, 16, 20, 10

    rng = np.random.default_rng(3)
    centres = rng.standard_normal((parts, dim)).astype(np.float32)
    labels = np.sort(rng.integers(0, parts, n))  # rows already grouped by partition
    keys, offsets, sizes = np.unique(labels, return_index=True, return_counts=True)
    queries = rng.standard_normal((nq, dim)).astype(np.float32)

    # The base as a dask array: each chunk is generated where it is computed.
    def chunk(block_id, rows):
        r = np.random.default_rng(block_id)
        lab = labels[rows]
        return (centres[lab] + 0.5 * r.standard_normal((len(lab), dim))).astype(np.float32)

    bounds = np.linspace(0, n, 9).astype(int)
    blocks = [da.from_delayed(dask.delayed(chunk)(i, slice(a, b)), (b - a, dim), np.float32)
              for i, (a, b) in enumerate(zip(bounds[:-1], bounds[1:]))]
    base = da.concatenate(blocks)

    with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                      dashboard_address=":0") as cluster, Client(cluster) as client, \
            ShardedIndex(client, dim) as sharded, zv.Index(dim) as local:
        print(f"{args.workers} workers, shards on {sharded.shard_workers}")
        t = time.perf_counter()
        sharded.build(base, None, keys, offsets, sizes)
        print(f"build from a dask array: {time.perf_counter() - t:.2f} s, rows per shard "
              f"{[b - a for a, b in sharded.shard_rows]}")
        local.build(base.compute(), None, keys, offsets, sizes)  # the reference, here only

        checks = []
        checks.append(("full search", local.search(queries, k), sharded.search(queries, k)))
        checks.append(("partition search", local.search_partition(keys[3], queries, k),
                       sharded.search_partition(keys[3], queries, k)))

        # Writes: new rows, a replaced base row, deletes; metadata on some ids.
        new_ids = np.arange(n, n + 500)
        new = rng.standard_normal((500, dim)).astype(np.float32)
        for ix in (local, sharded):
            ix.insert(new, new_ids)
            ix.insert(new[:5], [0, 1, 2, 3, 4])
            version = ix.delete(np.arange(10, 60))
            ix.set_rowmeta(np.arange(0, n + 500, 3), np.arange(0, n + 500, 3) % 4)
        print(f"version {version}, visible rows {sharded.visible_count()} "
              f"(local {local.visible_count()})")
        checks.append(("filtered search, all rows", local.search_filtered(queries, k),
                       sharded.search_filtered(queries, k)))
        checks.append(("filtered search, primary 2", local.search_filtered(queries, k, primary=2),
                       sharded.search_filtered(queries, k, primary=2)))

        # IVF: one list per centre, its ids spread over the shards' rows.
        x = base.compute()
        list_ids, list_offsets = zv.ivf_lists(np.arange(n), np.argmax(x @ centres.T, axis=1), parts)
        for ix in (local, sharded):
            ix.set_ivf(1, centres, list_ids, list_offsets, 4)
        checks.append(("IVF search", local.search_ivf(1, queries, k), sharded.search_ivf(1, queries, k)))

        t = time.perf_counter()
        for q in queries:
            sharded.search(q, k)
        print(f"one query through the cluster: {(time.perf_counter() - t) / nq * 1e3:.2f} ms")

        for what, want, got in checks:
            print(f"{what:<28} {'same' if same(want, got) else 'DIFFERENT'}")
        if not all(same(want, got) for _, want, got in checks):
            raise SystemExit("the sharded index answered differently")
        print("answers match the local index")


if __name__ == "__main__":
    main()
