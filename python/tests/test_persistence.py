"""compact(), save() and load(): a lean index equal to what is visible."""
import numpy as np
import pytest

import zv_runtime as zv
from oracle import clustered

DIM = 16


@pytest.fixture
def worn(rng):
    """An index after many writes: upserts, new ids, deletes, revivals,
    metadata (also of invisible ids) and two IVF entries."""
    x, labels = clustered(rng, 2000, DIM, 8)
    v, ids, keys, offsets, sizes = zv.group_by_partition(x, labels * 3, rng.permutation(5000)[:2000])
    index = zv.Index(DIM, tag=-9)
    index.build(v, ids, keys, offsets, sizes)
    new = rng.standard_normal((300, DIM)).astype(np.float32)
    index.insert(new[:100], ids[::20])                    # upserts shadow base rows
    index.insert(new[100:], 10_000 + np.arange(200))      # new ids
    index.delete(np.concatenate([ids[1::3], [10_000, 10_001, 77_777]]))
    index.insert(new[:1], [10_000])                       # revived
    index.insert(v[:1], ids[1:2])                         # a deleted base id revived in the delta
    all_ids = np.concatenate([ids, 10_000 + np.arange(200)])
    index.set_rowmeta(all_ids, all_ids % 5, np.stack([all_ids % 7, all_ids % 2], 1))
    c = v[::250][:8].copy()
    index.set_ivf(2**64 - 1, c, *zv.ivf_lists(ids, np.argmax(v @ c.T, 1), 8), nprobe=3)
    index.set_ivf(5, c[:2], *zv.ivf_lists(ids, np.argmax(v @ c[:2].T, 1), 2), nprobe=1)
    index.set_ivf_nprobe(5, 2)
    queries = rng.standard_normal((5, DIM)).astype(np.float32)
    inserted = set(ids[::20].tolist()) | set(range(10_000, 10_200)) | {int(ids[1])}
    yield index, (keys, offsets, sizes, inserted, int(ids[4])), queries
    index.close()


def same(a, b):
    return a.ids.tobytes() == b.ids.tobytes() and a.scores.tobytes() == b.scores.tobytes()


def check_lean_copy(old, new, layout, queries):
    """`new` holds exactly the visible state of `old`."""
    keys, offsets, sizes, inserted, deleted_with_meta = layout
    vis_v, vis_ids = old.export_visible()
    assert new.stats() == (len(vis_ids), DIM, -9, len(keys))
    assert (new.version, new.delta_count, new.mutated) == (0, 0, False)
    base_v, base_ids = new.export_base()
    np.testing.assert_array_equal(base_ids, vis_ids)  # walk order
    assert base_v.tobytes() == vis_v.tobytes()
    for q in queries:
        for k in (10, len(vis_ids)):
            assert same(new.search(q, k), old.search_filtered(q, k))
        assert same(new.search_filtered(q, 10, column=0, value=3),
                    old.search_filtered(q, 10, column=0, value=3))
    # Each partition keeps its base rows that are still visible; delta rows
    # (now at the front of the base) belong to none.
    _, old_ids = old.export_base()
    visible = set(vis_ids.tolist()) - inserted
    for key, off, size in zip(keys, offsets, sizes):
        want = [int(i) for i in old_ids[off:off + size] if int(i) in visible]
        got = new.search_partition(key, queries[0], 10**6).ids
        assert len(want) < size and sorted(got.tolist()) == sorted(want)
    assert new.column_count == old.column_count
    for a, b in zip(new.export_rowmeta(vis_ids), old.export_rowmeta(vis_ids)):
        np.testing.assert_array_equal(a, b)
    assert old.export_rowmeta([deleted_with_meta])[0].tolist() == [deleted_with_meta % 5]
    assert new.export_rowmeta([deleted_with_meta])[0].tolist() == [-1]  # not visible: dropped
    for key in (2**64 - 1, 5):
        for q in queries:  # the lists now reach only rows of the new base
            got = new.search_ivf(key, q, 20).hits()
            assert len(got.ids) and set(got.ids.tolist()) <= set(vis_ids.tolist())


def test_compact_is_the_visible_state(worn):
    index, layout, queries = worn
    lean = index.compact()
    check_lean_copy(index, lean, layout, queries)
    # The probe count set after registration is the one carried over: with
    # both lists probed, key 5 scores every listed row that is still there.
    _, base_ids = index.export_base()
    for q in queries:
        assert (lean.search_ivf(5, q, 30).scores.tobytes()
                == lean.search_base_ids(base_ids, q, 30).scores.tobytes())
    index.clear_ivf()
    assert not index.compact().has_ivf(5)
    lean.close()


def test_save_and_load_round_trip(worn, tmp_path):
    index, layout, queries = worn
    path = tmp_path / "index.zv"  # kept exactly as named
    index.save(path)
    assert [p.name for p in tmp_path.iterdir()] == ["index.zv"]
    with zv.Index.load(path) as loaded, index.compact() as lean:
        check_lean_copy(index, loaded, layout, queries)
        for key in (2**64 - 1, 5):
            for q in queries:
                assert same(loaded.search_ivf(key, q, 20), lean.search_ivf(key, q, 20))
        loaded.save(tmp_path / "again.zv")
        with zv.Index.load(tmp_path / "again.zv") as twice:
            assert same(twice.search(queries[0], 50), loaded.search(queries[0], 50))


def test_an_empty_index_round_trips(tmp_path):
    with zv.Index(3, tag=4) as index:
        index.save(tmp_path / "empty")
        with zv.Index.load(tmp_path / "empty") as loaded:
            assert loaded.stats() == (0, 3, 4, 0) and loaded.sealed


def test_load_refuses_files_it_did_not_write(worn, tmp_path):
    index = worn[0]
    good = tmp_path / "good.zv"
    index.save(good)
    data = good.read_bytes()
    cases = {
        "truncated": (data[: len(data) // 2], "truncated or damaged"),
        "text": (b"hello, not an index\n", "not a zv_runtime index file"),
    }
    for name, (content, message) in cases.items():
        (tmp_path / name).write_bytes(content)
        with pytest.raises(ValueError, match=message):
            zv.Index.load(tmp_path / name)
    np.savez(tmp_path / "other.npz", x=np.arange(3))
    with pytest.raises(ValueError, match="not a zv_runtime index file"):
        zv.Index.load(tmp_path / "other.npz")
    np.save(tmp_path / "array.npy", np.arange(3))
    with pytest.raises(ValueError, match="not a zv_runtime index file"):
        zv.Index.load(tmp_path / "array.npy")
    # Another format version: rewrite that one field.
    with np.load(good) as z:
        fields = {k: z[k] for k in z.files}
    fields["format_version"] = np.array(2, np.int64)
    np.savez(tmp_path / "v2.npz", **fields)
    with pytest.raises(ValueError, match="format version 2; this zv_runtime reads version 1"):
        zv.Index.load(tmp_path / "v2.npz")
    fields["format_version"] = np.array(1, np.int64)
    fields["vectors"] = fields["vectors"][:-1]
    np.savez(tmp_path / "short.npz", **fields)
    with pytest.raises(ValueError, match="damaged"):
        zv.Index.load(tmp_path / "short.npz")
    with pytest.raises(OSError):
        zv.Index.load(tmp_path / "missing")


def test_compact_refuses_ids_a_base_cannot_hold():
    with zv.Index(2) as index:
        index.insert(np.ones((1, 2), np.float32), [-5])
        with pytest.raises(ValueError, match=r"visible id -5 lies outside \[0, 2\*\*40\)"):
            index.compact()
        index.delete([-5])
        with index.compact() as lean:
            assert lean.base_count == 0
