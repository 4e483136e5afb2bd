"""What the binding refuses before anything reaches the library: integers
outside their C types or allowed ranges, copies of the native handle; and
what it converts: arrays the library must not read as they are."""
import copy
import pickle
import pydoc

import numpy as np
import pytest

import zv_runtime as zv
from oracle import fma_scores

I32 = r"\[-2147483648, 2147483647\]"
I64 = r"\[-9223372036854775808, 9223372036854775807\]"


@pytest.fixture
def index():
    ix = zv.Index(2)
    ix.build(np.array([[1, 0], [0, 1], [1, 1]], np.float32), [4, 5, 6], [0], [0], [3])
    ix.set_ivf(3, np.eye(2, dtype=np.float32), [4, 5, 6], [0, 2, 3], nprobe=1)
    yield ix
    ix.close()


Q = np.array([1, 2], np.float32)
V2 = np.ones((1, 2), np.float32)

# (call on the fixture's index, error, message): every integer argument that
# used to wrap around in the C call.
BAD_INTEGERS = [
    (lambda ix: zv.Index(2**32 + 4), OverflowError, r"dim must lie in \[0, 2147483647\], got 4294967300"),
    (lambda ix: zv.Index(-1), ValueError, r"dim must lie in \[0, 2147483647\], got -1"),
    (lambda ix: zv.Index(4, tag=2**40 + 3), OverflowError, "tag must lie in " + I32),
    (lambda ix: ix.search(Q, 2**32 + 1), OverflowError, r"k must lie in \[0, 2147483647\]"),
    (lambda ix: ix.search(Q, 1.0), TypeError, "k must be an integer"),
    (lambda ix: ix.search_partition(2**64 + 7, Q, 1), OverflowError, "partition_key must lie in " + I64),
    (lambda ix: ix.set_ivf_nprobe(3, 2**32), OverflowError, "nprobe must lie in " + I32),
    (lambda ix: ix.set_ivf(3, np.eye(2), [4], [0, 2**32, 1], 1), OverflowError, "list_offsets must hold values in " + I32),
    (lambda ix: ix.set_ivf(2**64, np.eye(2), [4], [0, 1, 1], 1), OverflowError, r"IVF key must lie in \[-9223372036854775808, 18446744073709551615\]"),
    (lambda ix: ix.has_ivf(-(2**63) - 1), OverflowError, "IVF key"),
    (lambda ix: ix.build(V2, [1], [0], [2**32 + 2], [1]), OverflowError, "partition_offsets must hold values in " + I32),
    (lambda ix: ix.build(V2, [1], [0], [0], [2**32 + 2]), OverflowError, "partition_sizes must hold values in " + I32),
    (lambda ix: ix.build(V2, [1], [0], [-1], [1]), ValueError, r"partition_offsets must hold values in \[0, 2147483647\]"),
    (lambda ix: ix.build(V2, [1], [2**63], [0], [1]), OverflowError, "partition_keys must hold values in " + I64),
    (lambda ix: ix.build(V2, np.array([2**40], np.uint64)), ValueError, r"ids must hold values in \[0, 1099511627775\]"),
    (lambda ix: ix.insert(V2, np.array([2**63 + 1000], np.uint64)), OverflowError, "ids must hold values in " + I64),
    (lambda ix: ix.insert(V2, [2**64 + 7]), OverflowError, "ids must hold values in " + I64),
    (lambda ix: ix.insert(V2, [1.5]), ValueError, "ids must hold integers"),
    (lambda ix: ix.delete(np.array([2**63], np.uint64)), OverflowError, "ids must hold values in " + I64),
    (lambda ix: ix.set_rowmeta([1], [2**63]), OverflowError, "primary must hold values in " + I64),
    (lambda ix: ix.set_rowmeta([1], [0], [[-(2**63) - 1]]), OverflowError, "columns must hold values in " + I64),
    (lambda ix: ix.match_ids(primary=2**63), OverflowError, "primary must lie in " + I64),
    (lambda ix: ix.match_ids(column=2**31, value=1), OverflowError, r"column must lie in \[0, 2147483647\]"),
    (lambda ix: ix.match_ids(column=-1, value=1), ValueError, r"column must lie in \[0, 2147483647\]"),
    (lambda ix: ix.search_filtered(Q, 1, column=0, value=-(2**63) - 1), OverflowError, "value must lie in " + I64),
    (lambda ix: ix.oversized_partitions(2**31), OverflowError, "min_rows must lie in " + I32),
    (lambda ix: zv.ivf_lists([1], [2**32], 4), ValueError, r"assignment must hold values in \[0, 3\]"),
]


def test_integers_are_checked_exactly(index):
    before = (index.export_base()[1].tolist(), index.version, index.search_ivf(3, Q, 3))
    for call, err, message in BAD_INTEGERS:
        with pytest.raises(err, match=message):
            call(index)
    after = (index.export_base()[1].tolist(), index.version, index.search_ivf(3, Q, 3))
    assert before[:2] == after[:2] and before[2].ids.tolist() == after[2].ids.tolist()
    # The largest values that fit go through unchanged.
    index.insert(V2, np.array([2**63 - 1], np.uint64))
    assert index.search_candidates([2**63 - 1], Q, 1).ids.tolist() == [2**63 - 1]


def test_arrays_the_library_must_not_read_as_they_are_are_copied():
    ids = np.array([7, 8, 9], np.int64)
    misaligned = np.frombuffer(bytes(1) + ids.tobytes(), np.int64, 3, 1)
    assert not misaligned.flags.aligned
    swapped = ids.astype(">i8")
    strided = np.array([7, 0, 8, 0, 9, 0], np.int64)[::2]
    vectors = np.array([[1, 0], [0, 1], [3, 3]], np.float32)
    odd_vectors = [
        np.frombuffer(bytes(2) + vectors.tobytes(), np.float32, 6, 2).reshape(3, 2),
        vectors.astype(">f4"),
        np.asfortranarray(vectors),
    ]
    for arr in (misaligned, swapped, strided):
        conv = zv._array(arr, np.int64, "ids")
        assert conv is not arr and conv.flags.aligned and conv.flags.c_contiguous
        assert conv.dtype.isnative and conv.tolist() == [7, 8, 9]
    ok = np.arange(3, dtype=np.int64)
    assert zv._array(ok, np.int64, "ids") is ok  # nothing to fix: no copy
    for v in odd_vectors:
        for i in (misaligned, swapped, strided):
            with zv.Index(2) as ix:
                ix.build(v, i)
                got = ix.search(np.frombuffer(bytes(1) + Q.tobytes(), np.float32, 2, 1), 3)
                assert got.ids.tolist() == [9, 8, 7]
                assert got.scores.tobytes() == fma_scores(vectors[::-1], Q).tobytes()


def test_an_index_cannot_be_copied_or_pickled(index):
    for dup in (copy.copy, copy.deepcopy, pickle.dumps):
        with pytest.raises(TypeError, match="compact"):
            dup(index)
    index.close()  # one owner, one release
    index.close()


def test_build_keeps_the_dimension_unless_asked(index):
    with pytest.raises(ValueError, match="dimension 3 but the index has 2"):
        index.build(np.ones((2, 3), np.float32))
    assert index.dim == 2
    index.clear_ivf()
    index.build(np.ones((2, 3), np.float32), allow_dim_change=True)
    assert index.dim == 3


def test_every_public_member_is_documented():
    for name in zv.__all__:
        obj = getattr(zv, name)
        if callable(obj):
            assert (obj.__doc__ or "").strip(), name
    for cls in (zv.Index, zv.SearchResult, zv.IndexStats):
        for name in dir(cls):
            if not name.startswith("_") and name not in ("count", "index"):
                assert (getattr(cls, name).__doc__ or "").strip(), f"{cls.__name__}.{name}"
    text = pydoc.render_doc(zv.Index, renderer=pydoc.plaintext)
    assert "allow_dim_change" in text and "cannot be copied or" in text
