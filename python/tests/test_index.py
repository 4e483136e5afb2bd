"""The binding against NumPy computations of the same searches. Scores are
compared bit for bit: the library promises one fused chain per row."""
import numpy as np
import pytest

import zv_runtime as zv
from oracle import clustered, fma_scores, topk

DIM = 24


def bits(a):
    return np.asarray(a, dtype=np.float32).view(np.uint32)


def assert_hits(got, ids, scores):
    got = got.hits()
    np.testing.assert_array_equal(got.ids, ids)
    np.testing.assert_array_equal(bits(got.scores), bits(scores))


@pytest.fixture
def base(rng):
    """A partitioned base: (index, vectors, ids, keys, offsets, sizes, queries)."""
    x, labels = clustered(rng, 3000, DIM, 12)
    ids = rng.permutation(10 * len(x))[: len(x)].astype(np.int64)
    v, ids, keys, offsets, sizes = zv.group_by_partition(x, labels * 10, ids)
    index = zv.Index(DIM, tag=5)
    index.build(v, ids, keys, offsets, sizes)
    queries = rng.standard_normal((6, DIM)).astype(np.float32)
    yield index, v, ids, keys, offsets, sizes, queries
    index.close()


def test_lifecycle_and_flags():
    assert zv.format_version() == zv.FORMAT_VERSION == 1
    assert zv.tuner_defaults() == (20000, 980)
    with zv.Index(3, tag=-4) as index:
        assert index.stats() == (0, 3, -4, 0)
        assert (index.version, index.mutated, index.sealed, index.delta_count) == (0, False, False, 0)
        assert index.search(np.zeros(3, np.float32), 5).ids.size == 0  # unsealed: nothing
        assert index.export_base()[1].size == 0
    assert index.closed
    index.close()  # twice is harmless
    with pytest.raises(ValueError, match="closed"):
        index.version
    with pytest.raises(ValueError, match="closed"):
        index.search(np.zeros(3, np.float32), 1)


def test_full_and_partition_search_match_oracle(base):
    index, v, ids, keys, offsets, sizes, queries = base
    assert index.stats() == (len(v), DIM, 5, len(keys))
    for q in queries:
        assert_hits(index.search(q, 10), *topk(ids, fma_scores(v, q), 10))
        for key, off, size in zip(keys[::3], offsets[::3], sizes[::3]):
            rows = slice(off, off + size)
            assert_hits(index.search_partition(key, q, 7), *topk(ids[rows], fma_scores(v[rows], q), 7))
    # A key between two partitions names none of them.
    assert index.search_partition(keys[0] + 1, queries[0], 5).ids.size == 0


def test_result_forms(base):
    index, v, ids, keys, offsets, sizes, queries = base
    small = zv.Index(DIM)
    small.build(v[:3], ids[:3])
    # More slots than rows: m = min(k, rows) slots, none of them empty.
    assert small.search(queries[0], 10).ids.shape == (3,)
    # Candidates fill k slots; the empty ones follow the hits, and hits() drops them.
    got = small.search_candidates(ids[:2], queries[0], 6)
    assert got.ids.shape == got.scores.shape == (6,)
    np.testing.assert_array_equal(got.ids[2:], zv.EMPTY_ID)
    assert np.all(got.scores[2:] == np.float32(zv.EMPTY_SCORE))
    assert got.hits().ids.shape == (2,)
    batch = small.search_candidates(ids[:2], queries[:2], 6)
    assert batch.ids.shape == (2, 6) and [h.ids.size for h in batch.hits()] == [2, 2]
    assert index.search(queries[0], 0).ids.shape == (0,)
    assert index.search(queries[:0], 4).ids.shape == (0, 4)  # no query, still m slots
    with pytest.raises(ValueError, match=r"k must lie in \[0, 2147483647\], got -1"):
        index.search(queries[0], -1)
    with pytest.raises(ValueError, match="shape"):
        index.search(queries[0][:-1], 3)
    small.close()


def _write_some(index, v, ids):
    """Delta rows, tombstones, metadata and an IVF entry (key 7) over `base`."""
    index.insert(v[:5] * 2, ids[:5])
    index.delete(ids[5:9])
    index.set_rowmeta(ids, ids % 3)
    c = v[::200][:8].copy()
    index.set_ivf(7, c, *zv.ivf_lists(ids, np.argmax(v @ c.T, 1), len(c)), nprobe=2)


def test_one_query_and_a_batch_agree_bytes_included(base):
    index, v, ids, keys, offsets, sizes, queries = base
    _write_some(index, v, ids)
    searches = {
        "search": (lambda q, k: index.search(q, k), lambda k: min(k, len(v))),
        "search_partition": (lambda q, k: index.search_partition(keys[1], q, k),
                             lambda k: min(k, sizes[1])),
        "search_base_ids": (lambda q, k: index.search_base_ids(ids[:50], q, k), lambda k: min(k, 50)),
        "search_candidates": (lambda q, k: index.search_candidates(ids[:3], q, k), lambda k: k),
        "search_ivf": (lambda q, k: index.search_ivf(7, q, k), lambda k: k),
        "search_filtered": (lambda q, k: index.search_filtered(q, k, primary=1), lambda k: k),
    }
    for name, (run, slots) in searches.items():
        for k in (1, 7, 400):
            batch = run(queries, k)
            m = slots(k)
            assert batch.ids.shape == batch.scores.shape == (len(queries), m), name
            for i, q in enumerate(queries):
                one = run(q, k)
                assert one.ids.shape == (m,), name
                assert batch.ids[i].tobytes() == one.ids.tobytes(), name
                assert batch.scores[i].tobytes() == one.scores.tobytes(), name
        # The convention is stated where help() shows it.
        doc = getattr(zv.Index, name).__doc__
        assert "slot count m" in doc and "(nq, m)" in doc and "EMPTY_ID" in doc, name


def test_batches_split_over_threads_give_the_same_bytes(base):
    index, v, ids, keys, offsets, sizes, queries = base
    _write_some(index, v, ids)
    many = np.concatenate([queries] * 4)
    searches = {
        "search": lambda t: index.search(many, 9, threads=t),
        "search_partition": lambda t: index.search_partition(keys[1], many, 9, threads=t),
        "search_ivf": lambda t: index.search_ivf(7, many, 9, threads=t),
        "search_filtered": lambda t: index.search_filtered(many, 9, primary=1, threads=t),
    }
    for name, run in searches.items():
        one = run(1)
        for t in (2, 3, len(many) + 5):
            split = run(t)
            assert split.ids.tobytes() == one.ids.tobytes(), (name, t)
            assert split.scores.tobytes() == one.scores.tobytes(), (name, t)
    with pytest.raises(ValueError, match="threads"):
        index.search(many, 9, threads=0)


def test_build_rejections_change_nothing(base):
    index, v, ids, *_ = base
    before = index.export_base()
    bad = ids.copy()
    for value in (-1, 2**40):
        bad[17] = value
        with pytest.raises(ValueError, match=r"ids must hold values in \[0, 1099511627775\]"):
            index.build(v, bad)
    with pytest.raises(ValueError, match="ids"):
        index.build(v, ids[:-1])
    with pytest.raises(ValueError, match="ascending"):
        index.build(v, ids, [5, 1], [0, 10], [10, 10])
    with pytest.raises(ValueError, match="within"):
        index.build(v, ids, [1], [0], [len(v) + 1])
    with pytest.raises(ValueError, match="allow_dim_change"):
        index.build(v[:, :8], ids)
    index.insert(v[:1], [123456])
    with pytest.raises(ValueError, match="dimension"):
        index.build(v[:, :8], ids, allow_dim_change=True)
    after = index.export_base()
    np.testing.assert_array_equal(after[0], before[0])
    np.testing.assert_array_equal(after[1], before[1])
    assert index.stats().dim == DIM


def test_export_base_and_base_id_search(rng):
    v = rng.standard_normal((50, 5)).astype(np.float32)
    ids = np.arange(50, dtype=np.int64) // 2 * 3  # each id on two rows
    with zv.Index(5) as index:
        index.build(v, ids, [0], [0], [50])
        got_v, got_ids = index.export_base()
        np.testing.assert_array_equal(got_v, v)
        np.testing.assert_array_equal(got_ids, ids)
        # Each id resolves to the last row that carries it; unknown ids are skipped.
        q = rng.standard_normal(5).astype(np.float32)
        chosen = np.array([3, 999, 0, 72, 3, 1], dtype=np.int64)
        last_row = {int(i): r for r, i in enumerate(ids)}
        known = [i for i in chosen if int(i) in last_row]
        rows = v[[last_row[int(i)] for i in known]]
        assert_hits(index.search_base_ids(chosen, q, 4), *topk(np.array(known), fma_scores(rows, q), 4))
        assert index.oversized_partitions(50)[1].tolist() == [50]
        assert index.oversized_partitions(51)[0].size == 0


def walk(base_v, base_ids, delta, deleted):
    """Visible rows in walk order: delta rows by first insertion, then base
    rows; `delta` maps id -> vector in insertion order."""
    vis_ids = [i for i in delta if i not in deleted]
    vis_v = [delta[i] for i in vis_ids]
    for r, i in enumerate(base_ids):
        if int(i) not in delta and int(i) not in deleted:
            vis_ids.append(int(i))
            vis_v.append(base_v[r])
    return np.array(vis_ids, dtype=np.int64), np.array(vis_v, dtype=np.float32).reshape(-1, base_v.shape[1])


def test_writes_visibility_and_candidate_search(base, rng):
    index, v, ids, keys, *_ , queries = base
    new = rng.standard_normal((40, DIM)).astype(np.float32)
    new_ids = 10**12 + np.arange(40)  # far beyond the base's ids: the delta takes any id
    assert index.insert(new, new_ids) == 1
    assert index.insert(new[:3] * 2, ids[:3]) == 2  # upsert base ids: the delta shadows them
    assert index.insert(np.empty((0, DIM), np.float32), []) == 2  # empty batch: no new version
    gone = np.concatenate([ids[3:10], new_ids[:5], [ids[0]]])
    assert index.delete(gone) == 3
    assert index.insert(new[39:], [ids[0]]) == 4  # revives a deleted id in place
    assert index.delete([]) == 4
    assert index.mutated and index.delta_count == 43

    delta = {int(i): new[k] for k, i in enumerate(new_ids)}
    delta.update({int(ids[k]): new[k] * 2 for k in range(3)})
    delta[int(ids[0])] = new[39]
    deleted = {int(i) for i in gone} - {int(ids[0])}
    vis_ids, vis_v = walk(v, ids, delta, deleted)
    assert index.visible_count() == len(vis_ids)
    np.testing.assert_array_equal(index.visible_ids(), vis_ids)
    got_v, got_ids = index.export_visible()
    np.testing.assert_array_equal(got_ids, vis_ids)
    np.testing.assert_array_equal(got_v, vis_v)

    lookup = dict(zip(vis_ids.tolist(), vis_v))
    for q in queries[:3]:
        cands = np.concatenate([new_ids[::3], ids[::50], gone, [-5]])
        live = [c for c in cands if int(c) in lookup]
        rows = np.array([lookup[int(c)] for c in live])
        assert_hits(index.search_candidates(cands, q, 8), *topk(np.array(live), fma_scores(rows, q), 8))
        assert_hits(index.search_filtered(q, 8), *topk(vis_ids, fma_scores(vis_v, q), 8))
        # The base searches still see the base as built.
        assert_hits(index.search(q, 5), *topk(ids, fma_scores(v, q), 5))


def test_ivf_probes_in_centroid_order(base):
    index, v, ids, keys, offsets, sizes, queries = base
    nlist = 16
    centroids = v[:: len(v) // nlist][:nlist].copy()
    assign = np.argmax(v @ centroids.T, axis=1)
    list_ids, list_offsets = zv.ivf_lists(ids, assign, nlist)
    key = 2**64 - 1
    with pytest.raises(ValueError, match="not registered|no IVF"):
        index.search_ivf(key, queries[0], 5)
    with pytest.raises(ValueError, match="no IVF"):
        index.set_ivf_nprobe(key, 2)
    index.set_ivf(key, centroids, list_ids, list_offsets, nprobe=3)
    assert index.has_ivf(-1) and not index.has_ivf(0)  # -1 is the same 64-bit key
    for nprobe in (3, nlist):
        index.set_ivf_nprobe(key, nprobe)
        for q in queries:
            probe = np.argsort(-fma_scores(centroids, q), kind="stable")[:nprobe]
            offered = np.concatenate([list_ids[list_offsets[c]:list_offsets[c + 1]] for c in probe])
            row = {int(i): r for r, i in enumerate(ids)}
            rows = v[[row[int(i)] for i in offered]]
            assert_hits(index.search_ivf(key, q, 10), *topk(offered, fma_scores(rows, q), 10))
    # Probing every list finds the exact answer.
    assert_hits(index.search_ivf(key, queries[0], 10), *index.search(queries[0], 10))
    with pytest.raises(ValueError, match="nlist \\+ 1"):
        index.set_ivf(1, centroids, list_ids, list_offsets[:-1], nprobe=1)
    index.clear_ivf()
    assert not index.has_ivf(key)


def test_rowmeta_filters(base, rng):
    index, v, ids, *_ , queries = base
    primary = ids % 4
    cols = np.stack([ids % 3, ids % 5], axis=1)
    index.set_rowmeta(ids, primary, cols)
    assert index.column_count == 2
    p, c = index.export_rowmeta([ids[5], -77])
    assert p.tolist() == [primary[5], -1] and c.tolist() == [cols[5].tolist(), [-1, -1]]
    with pytest.raises(ValueError, match="never shrink"):
        index.set_rowmeta(ids[:1], [99])
    assert index.export_rowmeta(ids[:1])[0].tolist() == [primary[0]]  # unchanged
    index.set_rowmeta([], [], np.empty((0, 3), np.int64))  # widens without writing
    assert index.column_count == 3
    index.delete(ids[primary == 1][:20])

    vis_v, vis_ids = index.export_visible()
    meta_p, meta_c = index.export_rowmeta(vis_ids)
    for kw, mask in (({"primary": 1}, meta_p == 1),
                     ({"column": 1, "value": 2}, meta_c[:, 1] == 2),
                     ({"column": 2, "value": -1}, meta_c[:, 2] == -1),  # absent reads as -1
                     ({"column": 9, "value": -1}, np.zeros(len(vis_ids), bool))):
        np.testing.assert_array_equal(index.match_ids(**kw), vis_ids[mask])
        for q in queries[:2]:
            assert_hits(index.search_filtered(q, 6, **kw),
                        *topk(vis_ids[mask], fma_scores(vis_v[mask], q), 6))
    with pytest.raises(ValueError, match="not both"):
        index.match_ids(primary=1, column=0, value=1)
    with pytest.raises(ValueError, match="both column"):
        index.match_ids(column=0)


def test_converted_inputs_give_the_same_results(rng):
    x = rng.standard_normal((30, 8))  # float64, converted once
    with zv.Index(8) as a, zv.Index(8) as b:
        a.build(x, np.arange(30, dtype=np.int32))
        b.build(np.asfortranarray(x.astype(np.float32)), list(range(30)))
        q = x[0][::-1]
        assert_hits(a.search(q, 5), *b.search(q.astype(np.float32), 5))
        with pytest.raises(ValueError, match="shape"):
            a.insert(np.zeros((2, 7), np.float32), [1, 2])
        with pytest.raises(ValueError, match="ids"):
            a.insert(np.zeros((2, 8), np.float32), [1])


def test_oracle_rounds_once_like_fmaf(rng):
    # The float64 sum of the exact product and the accumulator, rounded again
    # to float32, lands one ulp off here; fmaf and the library round once.
    q = np.array([1, 2**-24 * (1 + 2**-15)], np.float32)
    counter = np.array([[1 + 2**-23, 1 - 2**-15]], np.float32)
    assert fma_scores(counter, q).view(np.uint32).tolist() == [1065353217]
    # Rows near that tie, both signs and both sides of it.
    m = rng.integers(0, 2**22, 400)
    x = (1 + m * 2.0**-23) * rng.choice([-1, 1], 400)
    y = rng.choice([1 - 2**-15, 1 + 2**-15, -(1 - 2**-15), -(1 + 2**-15)], 400)
    rows = np.concatenate([counter, np.stack([x, y], 1).astype(np.float32)])
    twice = (rows[:, 1].astype(np.float64) * q[1] + rows[:, 0]).astype(np.float32)
    with zv.Index(2) as index:
        index.build(rows)
        got = index.search_base_ids(np.arange(len(rows)), q, len(rows))
    order = np.argsort(got.ids)
    want = fma_scores(rows, q)
    assert bits(got.scores[order]).tolist() == bits(want).tolist()
    assert np.count_nonzero(bits(twice) != bits(want)) > 10  # the cases are really there
