#!/usr/bin/python3
"""Sharded search on a local Dask cluster: batch throughput with 1 and 2
workers, and the latency one query adds over a local Index.

    ZV_RUNTIME_LIBRARY=build/release/engine/libzv_runtime.so \\
        /usr/bin/python3 bench/bench_distributed.py [--quick] [--out bench/report]

Writes distributed.json and distributed.md into --out. Every figure is a
ratio or difference against a run in this same process: the 1-worker cluster
for throughput, a local Index for latency. Times are wall clock (the work runs
in worker processes), best of --reps, the two clusters taking turns.
"""
import argparse
import json
import os
import statistics
import sys
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "python"))
os.environ["PYTHONPATH"] = os.pathsep.join(
    [str(ROOT / "python")] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p])

import zv_runtime as zv  # noqa: E402
from dask.distributed import Client, LocalCluster  # noqa: E402
from zv_runtime.distributed import ShardedIndex  # noqa: E402

TARGET_SPEEDUP = 1.6


def best(fn, reps):
    times = []
    for _ in range(reps):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def latencies(fn, queries):
    out = []
    for q in queries:
        t = time.perf_counter()
        fn(q)
        out.append(time.perf_counter() - t)
    return statistics.median(out)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="small base, few repetitions")
    ap.add_argument("--rows", type=int)
    ap.add_argument("--dim", type=int, default=64)
    ap.add_argument("--nq", type=int)
    ap.add_argument("--k", type=int, default=10)
    ap.add_argument("--reps", type=int)
    ap.add_argument("--out", default=str(ROOT / "bench" / "report"))
    a = ap.parse_args()
    rows = a.rows or (50_000 if a.quick else 1_000_000)
    nq = a.nq or (32 if a.quick else 256)
    reps = a.reps or (2 if a.quick else 5)
    rng = np.random.default_rng(1)
    base = rng.standard_normal((rows, a.dim)).astype(np.float32)
    queries = rng.standard_normal((nq, a.dim)).astype(np.float32)
    one = queries[: min(nq, 64)]

    res = dict(rows=rows, dim=a.dim, nq=nq, k=a.k, reps=reps, cpus=os.cpu_count())
    with zv.Index(a.dim) as local:
        local.build(base)
        want = local.search(queries, a.k)
        res["local_batch_s"] = best(lambda: local.search(queries, a.k), reps)
        res["local_query_s"] = latencies(lambda q: local.search(q, a.k), one)

    # Both clusters stay up and take turns, so a change in the machine's load
    # hits both alike.
    clusters, indexes = [], {}
    try:
        for workers in (1, 2):
            cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                   dashboard_address=":0", silence_logs=50)
            client = Client(cluster)
            clusters.append((cluster, client))
            index = indexes[workers] = ShardedIndex(client, a.dim)
            index.build(base)
            got = index.search(queries, a.k)  # also warms every shard
            assert np.array_equal(got.ids, np.asarray(want.ids)[:, : a.k]), "answers differ"
        batch = {w: [] for w in indexes}
        for _ in range(reps):
            for w, index in indexes.items():
                batch[w].append(best(lambda: index.search(queries, a.k), 1))
        single = {w: [] for w in indexes}
        for q in one:
            for w, index in indexes.items():
                single[w].append(latencies(lambda x: index.search(x, a.k), [q]))
        for w in indexes:
            res[f"batch_s_{w}"] = min(batch[w])
            res[f"query_s_{w}"] = statistics.median(single[w])
    finally:
        for index in indexes.values():
            index.close()
        for cluster, client in clusters:
            client.close()
            cluster.close()

    res["speedup_2_vs_1"] = res["batch_s_1"] / res["batch_s_2"]
    res["added_latency_s_2"] = res["query_s_2"] - res["local_query_s"]
    out = Path(a.out)
    out.mkdir(parents=True, exist_ok=True)
    (out / "distributed.json").write_text(json.dumps(res, indent=1) + "\n")
    qps = lambda s: nq / s  # noqa: E731
    md = [
        "## Sharded search on Dask (`zv_runtime.distributed`)",
        "",
        f"Full search of {nq} queries in one batch (k = {a.k}) over {rows} rows of dimension "
        f"{a.dim}, one shard per worker process, one thread each, on {res['cpus']} CPUs; "
        f"wall clock, best of {reps}.",
        "",
        "| | batch time | queries/s | vs 1 worker |",
        "|---|---|---|---|",
        f"| local Index (this process) | {res['local_batch_s'] * 1e3:.1f} ms | "
        f"{qps(res['local_batch_s']):.0f} | |",
        f"| 1 worker | {res['batch_s_1'] * 1e3:.1f} ms | {qps(res['batch_s_1']):.0f} | 1.00x |",
        f"| 2 workers | {res['batch_s_2'] * 1e3:.1f} ms | {qps(res['batch_s_2']):.0f} | "
        f"{res['speedup_2_vs_1']:.2f}x (target >= {TARGET_SPEEDUP}x) |",
        "",
        f"One query (median of {len(one)}): local Index {res['local_query_s'] * 1e3:.2f} ms, "
        f"through the 1-worker cluster {res['query_s_1'] * 1e3:.2f} ms, the 2-worker cluster "
        f"{res['query_s_2'] * 1e3:.2f} ms: {res['added_latency_s_2'] * 1e3:.2f} ms added "
        "(one message per shard).",
        "",
    ]
    (out / "distributed.md").write_text("\n".join(md))
    print("\n".join(md))


if __name__ == "__main__":
    main()
