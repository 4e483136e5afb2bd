"""ShardedIndex against one local Index given the same calls: every search
must return the same ids and score bits. Vectors hold small integers so that
ties are everywhere and the offer order decides them."""
import os
import signal
from pathlib import Path

import numpy as np
import pytest

distributed = pytest.importorskip("distributed")
da = pytest.importorskip("dask.array")

import zv_runtime as zv  # noqa: E402
from zv_runtime.distributed import ShardLostError, ShardedIndex  # noqa: E402

PYTHON_DIR = str(Path(__file__).resolve().parents[1])
DIM = 6


def start_cluster(workers):
    # Worker processes import zv_runtime from this tree and load the same library.
    os.environ["PYTHONPATH"] = os.pathsep.join(
        [PYTHON_DIR] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p])
    cluster = distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                       dashboard_address=":0", silence_logs=50)
    return cluster, distributed.Client(cluster)


@pytest.fixture(scope="module")
def client():
    cluster, client = start_cluster(3)
    yield client
    client.close()
    cluster.close()


def bits(a):
    return np.asarray(a, np.float32).view(np.uint32)


def slots(result, m, nq=None):
    """A local Index result as exactly m slots per query, whether the binding
    trims unreached slots or keeps them."""
    ids, scores = np.asarray(result[0]), np.asarray(result[1])
    shape = (m,) if nq is None else (nq, m)
    out_ids = np.full(shape, zv.EMPTY_ID, np.int64)
    out_scores = np.full(shape, zv.EMPTY_SCORE, np.float32)
    w = min(m, ids.shape[-1])
    out_ids[..., :w], out_scores[..., :w] = ids[..., :w], scores[..., :w]
    return out_ids, out_scores


def same(local, sharded, m, nq=None):
    ids, scores = slots(local, m, nq)
    assert sharded.ids.shape == ids.shape
    np.testing.assert_array_equal(sharded.ids, ids)
    np.testing.assert_array_equal(bits(sharded.scores), bits(scores))
    assert sharded.missing_shards == ()


def small(rng, shape):
    return rng.integers(-2, 3, shape).astype(np.float32)


class Twin:
    """One local Index and one ShardedIndex driven by the same calls."""

    def __init__(self, client, rng, shards):
        self.rng = rng
        self.local = zv.Index(DIM, tag=3)
        self.sharded = ShardedIndex(client, DIM, shards=shards, tag=3)
        self.base_ids = np.empty(0, np.int64)
        self.part_keys = np.empty(0, np.int64)
        self.ivf_keys = []
        self.columns = 0

    def both(self, method, *args, **kwargs):
        try:
            want = getattr(self.local, method)(*args, **kwargs)
        except ValueError:
            with pytest.raises(ValueError):
                getattr(self.sharded, method)(*args, **kwargs)
            return
        got = getattr(self.sharded, method)(*args, **kwargs)
        assert got == want, method

    # -- random writes ---------------------------------------------------------

    def build(self):
        rng = self.rng
        n = int(rng.integers(0, 120))
        pool = np.arange(60 + n)
        ids = rng.choice(pool, n, replace=bool(rng.integers(0, 2))).astype(np.int64)
        v = small(rng, (n, DIM))
        args = (v, ids)
        if n and rng.integers(0, 3):
            labels = rng.integers(0, 6, n)
            v, ids, keys, offsets, sizes = zv.group_by_partition(v, labels * 2, ids)
            if rng.integers(0, 2):  # overlapping and repeated partitions are legal too
                keys = np.sort(np.concatenate([keys, keys[:2]]))
                offsets = np.concatenate([offsets, rng.integers(0, n, 2).astype(np.int32)])
                sizes = np.concatenate([sizes, rng.integers(0, 20, 2).astype(np.int32)])
                sizes = np.minimum(sizes, n - offsets).astype(np.int32)
            args = (v, ids, keys, offsets, sizes)
            self.part_keys = keys
        if rng.integers(0, 8) == 0:
            ids = ids.copy()
            ids[:1] = -5  # rejected by both
            args = (args[0], ids) + args[2:]
        else:
            self.base_ids = ids
        if n and rng.integers(0, 3) == 0:  # the same base as a dask array, in odd chunks
            lazy = da.from_array(args[0], chunks=(int(rng.integers(1, 50)), DIM))
            try:
                self.local.build(*args)
            except ValueError:
                with pytest.raises(ValueError):
                    self.sharded.build(lazy, *args[1:])
                return
            self.sharded.build(lazy, *args[1:])
            return
        self.both("build", *args)

    def some_ids(self, n):
        pool = np.concatenate([self.base_ids, np.arange(-3, 200)])
        return self.rng.choice(pool, n).astype(np.int64)

    def insert(self):
        n = int(self.rng.integers(0, 12))
        self.both("insert", small(self.rng, (n, DIM)), self.some_ids(n))

    def delete(self):
        self.both("delete", self.some_ids(int(self.rng.integers(0, 8))))

    def set_rowmeta(self):
        rng = self.rng
        n = int(rng.integers(0, 30))
        cols = int(rng.integers(max(self.columns - 1, 0), self.columns + 2))
        if cols >= self.columns:
            self.columns = cols
        self.both("set_rowmeta", self.some_ids(n), rng.integers(0, 3, n),
                  rng.integers(0, 3, (n, cols)))

    def set_ivf(self):
        rng = self.rng
        nlist = int(rng.integers(0, 7))
        count = int(rng.integers(0, 80))
        list_ids = self.some_ids(count)
        offsets = np.sort(rng.integers(0, count + 1, nlist + 1)).astype(np.int32)
        if rng.integers(0, 4) == 0:  # ill-formed: out of range, decreasing
            offsets = rng.integers(-5, count + 6, nlist + 1).astype(np.int32)
        key = [0, 7, 2**64 - 1][int(rng.integers(0, 3))]
        self.both("set_ivf", key, small(rng, (nlist, DIM)), list_ids, offsets,
                  int(rng.integers(-1, nlist + 2)))
        self.ivf_keys.append(key)

    def set_ivf_nprobe(self):
        keys = self.ivf_keys + [3]
        key = keys[int(self.rng.integers(0, len(keys)))]
        self.both("set_ivf_nprobe", key, int(self.rng.integers(-1, 8)))

    def clear_ivf(self):
        self.both("clear_ivf")
        self.ivf_keys = []

    # -- every search, compared ------------------------------------------------

    def check(self):
        rng, loc, sh = self.rng, self.local, self.sharded
        assert sh.visible_count() == loc.visible_count()
        assert sh.stats() == loc.stats()
        assert (sh.version, sh.mutated, sh.sealed) == (loc.version, loc.mutated, loc.sealed)
        assert sh.delta_count == loc.delta_count
        nq = int(rng.integers(1, 5))
        queries = small(rng, (nq, DIM))
        k = int(rng.choice([0, 1, 3, 10, 200]))
        base = loc.stats().base_count if loc.sealed else 0
        same(loc.search(queries, k), sh.search(queries, k), min(k, base), nq)
        same(loc.search(queries[0], k), sh.search(queries[0], k), min(k, base))
        for key in list(self.part_keys[:2]) + [999]:
            got = sh.search_partition(key, queries, k)
            same(loc.search_partition(key, queries, k), got, got.ids.shape[1], nq)
        for key in set(self.ivf_keys):
            got = sh.search_ivf(key, queries, k)
            assert got.ids.shape[1] in (0, k)
            same(loc.search_ivf(key, queries, k), got, got.ids.shape[1], nq)
        for f in ({}, dict(primary=int(rng.integers(-1, 3))),
                  dict(column=int(rng.integers(0, 3)), value=int(rng.integers(-1, 3)))):
            same(loc.search_filtered(queries, k, **f), sh.search_filtered(queries, k, **f), k, nq)

    def close(self):
        self.local.close()
        self.sharded.close()


def test_matches_one_index_over_random_calls(client):
    ops = ["build", "insert", "insert", "delete", "set_rowmeta", "set_ivf", "set_ivf_nprobe",
           "clear_ivf"]
    weights = np.array([2, 4, 4, 3, 2, 2, 1, 0.5])
    for seed in range(10):
        rng = np.random.default_rng(seed)
        twin = Twin(client, rng, shards=[None, 2, 4][seed % 3])
        try:
            for _ in range(15):
                op = rng.choice(ops, p=weights / weights.sum())
                if op == "set_ivf_nprobe" and not twin.ivf_keys:
                    op = "set_ivf"
                getattr(twin, op)()
                twin.check()
        finally:
            twin.close()


def test_rebuild_moves_written_ids_between_shards(client):
    # Ids written before a rebuild land on other shards afterwards: their
    # tombstones and shadowing must follow them.
    rng = np.random.default_rng(11)
    twin = Twin(client, rng, shards=3)
    try:
        ids = np.arange(90, dtype=np.int64)
        twin.both("build", small(rng, (90, DIM)), ids)
        twin.both("insert", small(rng, (10, DIM)), ids[::9])
        twin.both("delete", ids[1::9])
        twin.both("delete", np.array([500, 501]))
        twin.both("build", small(rng, (92, DIM)), np.concatenate([ids[::-1], [500, 502]]))
        twin.check()
        q = small(rng, (3, DIM))
        same(twin.local.search_filtered(q, 100), twin.sharded.search_filtered(q, 100), 100, 3)
    finally:
        twin.close()


def test_dask_array_build_matches_numpy_build(client):
    rng = np.random.default_rng(5)
    v = small(rng, (300, DIM))
    labels = rng.integers(0, 7, 300)
    v, ids, keys, offsets, sizes = zv.group_by_partition(v, labels, rng.permutation(300) + 10)
    x = da.from_array(v, chunks=(37, DIM))
    with zv.Index(DIM) as local, ShardedIndex(client, DIM, shards=3) as sharded:
        local.build(v, ids, keys, offsets, sizes)
        sharded.build(x, da.from_array(ids, chunks=50), keys, offsets, sizes)
        starts = [a for a, _ in sharded.shard_rows]
        assert all(a % 37 == 0 for a in starts)  # shards take whole chunks
        q = small(rng, (4, DIM))
        same(local.search(q, 20), sharded.search(q, 20), 20, 4)
        for key in keys[:4]:
            got = sharded.search_partition(key, q, 20)
            same(local.search_partition(key, q, 20), got, got.ids.shape[1], 4)
        sharded.build(x)  # default ids
        local.build(v)
        same(local.search(q, 20), sharded.search(q, 20), 20, 4)
        sharded.build(v, da.from_array(ids, chunks=70))  # NumPy rows, dask ids
        local.build(v, ids)
        same(local.search(q, 20), sharded.search(q, 20), 20, 4)


def test_duplicate_base_ids_on_two_shards(client):
    """The stated limit: with dask ids, an id on base rows of two shards is
    scored by IVF on each; NumPy ids give the one index's answer."""
    v = np.zeros((4, 2), np.float32)
    v[:, 0] = [4, 1, 3, 2]
    ids = np.array([8, 9, 8, 10], np.int64)  # id 8 on rows 0 and 2
    lists, offsets = np.array([8, 9, 10], np.int64), np.array([0, 3], np.int32)
    q = np.array([1, 0], np.float32)
    with zv.Index(2) as local, ShardedIndex(client, 2, shards=2) as sharded:
        local.set_ivf(1, np.ones((1, 2), np.float32), lists, offsets, 1)
        sharded.set_ivf(1, np.ones((1, 2), np.float32), lists, offsets, 1)
        local.build(v, ids)
        sharded.build(v, ids)
        assert sharded.shard_rows == [(0, 2), (2, 4)]
        same(local.search_ivf(1, q, 4), sharded.search_ivf(1, q, 4), 4)
        sharded.build(da.from_array(v, chunks=2), da.from_array(ids, chunks=2))
        got = sharded.search_ivf(1, q, 4)
        np.testing.assert_array_equal(got.ids, [8, 8, 10, 9])  # the one index: 8, 10, 9, -1
        np.testing.assert_array_equal(got.scores[:2], [4, 3])
        # Every other search is exact even so.
        same(local.search(q, 4), sharded.search(q, 4), 4)
        same(local.search_filtered(q, 4), sharded.search_filtered(q, 4), 4)


def test_ivf_id_listed_twice_keeps_its_offer_places(client):
    # Id 5 in lists 0 and 1, id 6 (on the other shard) between its two
    # offers: probe order decides which offer of 5 ties ahead of 6.
    v = np.array([[1, 0], [1, 0]], np.float32)
    centroids = np.array([[0, 0], [1, 0]], np.float32)
    lists, offsets = np.array([5, 5, 6], np.int64), np.array([0, 1, 3], np.int32)
    q = np.array([[1, 0], [-1, 0]], np.float32)
    with zv.Index(2) as local, ShardedIndex(client, 2, shards=2) as sharded:
        for ix in (local, sharded):
            ix.build(v, [5, 6])
            ix.set_ivf(2, centroids, lists, offsets, 2)
        assert sharded.shard_rows == [(0, 1), (1, 2)]
        same(local.search_ivf(2, q, 3), sharded.search_ivf(2, q, 3), 3, 2)
        np.testing.assert_array_equal(sharded.search_ivf(2, q[0], 3).ids, [5, 6, 5])


def test_argument_errors_match_index(client):
    with zv.Index(3) as local, ShardedIndex(client, 3) as sharded:
        for call in (lambda ix: ix.build(np.zeros((2, 3), np.float32), [1]),
                     lambda ix: ix.build(np.zeros((2, 3), np.float32), [1, 2], [5, 4], [0, 1], [1, 1]),
                     lambda ix: ix.insert(np.zeros((2, 4), np.float32), [1, 2]),
                     lambda ix: ix.search(np.zeros(3, np.float32), -1),
                     lambda ix: ix.search(np.zeros(4, np.float32), 2),
                     lambda ix: ix.search_ivf(4, np.zeros(3, np.float32), 2),
                     lambda ix: ix.set_ivf_nprobe(4, 2),
                     lambda ix: ix.search_filtered(np.zeros(3, np.float32), 2, column=1)):
            with pytest.raises(ValueError):
                call(local)
            with pytest.raises(ValueError):
                call(sharded)
        sharded.insert(np.ones((1, 3), np.float32), [4])
        with pytest.raises(ValueError):  # a new dim while delta rows exist
            sharded.build(np.zeros((2, 5), np.float32))
        sharded.set_rowmeta([1], [1], [[1, 2]])
        with pytest.raises(ValueError):  # columns never shrink
            sharded.set_rowmeta([1], [1], [[1]])
    with pytest.raises(ValueError):
        sharded.visible_count()


def kill_worker(client, address):
    pid = client.run(os.getpid, workers=[address])[address]
    os.kill(pid, signal.SIGKILL)


def test_lost_worker_is_named_and_partial_answers_are_marked():
    cluster, client = start_cluster(2)
    try:
        rng = np.random.default_rng(3)
        v = small(rng, (200, DIM))
        parts = (np.arange(4), np.arange(0, 200, 50, dtype=np.int32), np.full(4, 50, np.int32))
        with ShardedIndex(client, DIM) as sharded:
            sharded.build(v, None, *parts)
            (a0, b0), _ = sharded.shard_rows
            assert (a0, b0) == (0, 100)
            # Written rows homed on shard 0 must have reached it when insert returned.
            new = np.arange(1000, 1400, dtype=np.int64)
            on0 = new[distributed_home(new, 2) == 0][:5]
            vnew = small(rng, (5, DIM)) + 10
            sharded.insert(vnew, on0)
            kill_worker(client, sharded.shard_workers[1])
            q = small(rng, (2, DIM))
            with pytest.raises(ShardLostError) as err:
                sharded.search(q, 5)
            assert err.value.shards == (1,) and "1 (worker" in str(err.value)
            for call in (lambda: sharded.visible_count(), lambda: sharded.delete([1]),
                         lambda: sharded.search_filtered(q, 5)):
                with pytest.raises(ShardLostError):
                    call()
            with zv.Index(DIM) as alive:  # what shard 0 holds
                alive.build(v[a0:b0], None, parts[0][:2], parts[1][:2], parts[2][:2])
                alive.insert(vnew, on0)
                # A partition on the live shard needs nothing else.
                same(alive.search_partition(1, q, 5), sharded.search_partition(1, q, 5), 5, 2)
                with pytest.raises(ShardLostError):
                    sharded.search_partition(2, q, 5)
                got = sharded.search(q, 5, allow_partial=True)
                assert got.missing_shards == (1,)
                same(alive.search(q, 5), _complete(got), 5, 2)
                got = sharded.search_filtered(q, 8, allow_partial=True)
                assert got.missing_shards == (1,)
                same(alive.search_filtered(q, 8), _complete(got), 8, 2)
                top = sharded.search_filtered(np.ones(DIM, np.float32), 5, allow_partial=True)
                assert sorted(top.ids) == sorted(on0)
    finally:
        client.close()
        cluster.close()


def distributed_home(ids, shards):
    from zv_runtime.distributed import _home
    return _home(ids, shards)


def _complete(result):
    out = type(result)(result.ids, result.scores)
    out.missing_shards = ()
    return out


def test_demo_runs(tmp_path):
    import subprocess
    import sys
    env = dict(os.environ, PYTHONPATH=PYTHON_DIR)
    proc = subprocess.run([sys.executable, os.path.join(PYTHON_DIR, "examples", "distributed_demo.py"),
                           "--rows", "3000"], capture_output=True, text=True, env=env, cwd=tmp_path,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert "answers match the local index" in proc.stdout
