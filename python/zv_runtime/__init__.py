"""Python binding for zv_runtime, an in-process vector index runtime.

The binding loads ``libzv_runtime.so`` through :mod:`ctypes` (there is no
compiled extension) and wraps the library's C functions in one class,
:class:`Index`, plus a few module functions. NumPy arrays go to the library
without copies when they are already C-contiguous, aligned, native-order
arrays of the expected dtype (float32 vectors, int64 ids and values); anything
else is converted once into such an array, never passed as it is. Integer
arguments are range-checked exactly: a value the C type cannot hold raises
OverflowError, one it can hold but the call does not allow raises ValueError;
both name the argument and its range.

Search results (:class:`SearchResult`): every search returns ``(ids,
scores)`` whose last axis is the slot count m the library fixes for that
search, the same for one query and for many. One query of shape (dim,) gives
arrays of shape (m,); a batch of shape (nq, dim) gives (nq, m), row i equal
byte for byte to the search of query i alone. Unreached slots hold
:data:`EMPTY_ID` and :data:`EMPTY_SCORE`, as the library writes them; they
always come after the hits, and :meth:`SearchResult.hits` drops them.

Where the library is found, first match wins:

1. the file named by the environment variable ``ZV_RUNTIME_LIBRARY``; a
   relative path is taken from the current directory at import time, and the
   variable is set to the absolute path so child processes load the same file;
2. the ``libzv_runtime.so.1`` that ``pip install`` built into this package;
3. the dynamic loader's search (``LD_LIBRARY_PATH``, ``ld.so.cache``, the
   system library directories), as ``libzv_runtime.so.1``;
4. ``lib/`` and ``lib64/`` under ``sys.prefix``, ``/usr/local`` and ``/usr``;
5. ``build/release/engine`` of a source checkout this package sits in.

Example::

    import numpy as np
    import zv_runtime

    with zv_runtime.Index(dim=4) as index:
        index.build(np.eye(4, dtype=np.float32), ids=[10, 11, 12, 13])
        ids, scores = index.search(np.array([0, 1, 0, 0], np.float32), k=2)

Rules carried over from the C library: an index must not be written (build,
insert, delete, set_rowmeta, set_ivf, set_ivf_nprobe, clear_ivf, close)
while any other call runs on it; read-only calls may run together from
several threads (ctypes releases the GIL during each call). Different
indexes are independent.
"""

from __future__ import annotations

import ctypes
import operator
import os
import sys
import zipfile
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import List, NamedTuple, Optional, Tuple, Union

import numpy as np

__all__ = [
    "EMPTY_ID",
    "EMPTY_SCORE",
    "FORMAT_VERSION",
    "SAVE_FORMAT_VERSION",
    "Index",
    "IndexStats",
    "SearchResult",
    "format_version",
    "group_by_partition",
    "ivf_lists",
    "library_path",
    "tuner_defaults",
]

__version__ = "1.1.0"

#: Id of an unreached result slot.
EMPTY_ID = -1
#: Score of an unreached result slot: the float32 nearest to -1e30.
EMPTY_SCORE = float(np.float32(-1e30))
#: Format version of the library this binding was written for.
FORMAT_VERSION = 1
#: Version of the file layout :meth:`Index.save` writes and :meth:`Index.load` reads.
SAVE_FORMAT_VERSION = 1

LIBRARY_ENV = "ZV_RUNTIME_LIBRARY"
_I32 = (-(2**31), 2**31 - 1)
_I64 = (-(2**63), 2**63 - 1)
_I32_MAX = _I32[1]
_ID_LIMIT = 2**40  # base ids lie in [0, 2**40)

# --------------------------------------------------------------------------
# Loading the library
# --------------------------------------------------------------------------


def _candidates():
    env = os.environ.get(LIBRARY_ENV)
    if env:
        # Resolved once, here, and handed on: a child process started in
        # another directory must load the same file.
        env = os.path.abspath(env)
        os.environ[LIBRARY_ENV] = env
        yield env
        return  # an explicit choice is never second-guessed
    here = Path(__file__).resolve().parent
    yield from sorted(str(p) for p in here.glob("libzv_runtime.so*"))
    yield "libzv_runtime.so.1"
    yield "libzv_runtime.so"
    for prefix in dict.fromkeys((sys.prefix, "/usr/local", "/usr")):
        for lib in ("lib", "lib64", "lib/x86_64-linux-gnu", "lib/aarch64-linux-gnu"):
            yield os.path.join(prefix, lib, "libzv_runtime.so.1")
    yield str(here.parent.parent / "build" / "release" / "engine" / "libzv_runtime.so.1")


def _load():
    tried = []
    for path in _candidates():
        if os.sep in path and not os.path.exists(path):
            tried.append(path)
            continue
        try:
            return ctypes.CDLL(path), path
        except OSError as err:
            tried.append(f"{path} ({err})")
    raise ImportError(
        "zv_runtime: cannot load libzv_runtime.so; install the package with pip (it builds "
        f"the library), or build the library and set {LIBRARY_ENV} to its path. Tried: "
        + "; ".join(tried))


_lib, _lib_path = _load()

_i32, _i64, _u64, _void = ctypes.c_int32, ctypes.c_int64, ctypes.c_uint64, None
_p = ctypes.c_void_p  # every array and the handle travel as plain addresses
_PROTOTYPES = {
    "zv_index_new": (_p, [_i32, _i32]),
    "zv_index_free": (_void, [_p]),
    "zv_index_stats": (_i32, [_p, _p, _p, _p, _p]),
    "zv_index_snapshot": (_i64, [_p]),
    "zv_runtime_format_version": (_i32, []),
    "zv_index_mutated": (_i32, [_p]),
    "zv_index_sealed": (_i32, [_p]),
    "zv_index_delta_count": (_i64, [_p]),
    "zv_index_build": (_i32, [_p, _p, _i64, _i32, _p, _p, _p, _p, _i32]),
    "zv_index_export_base": (_i64, [_p, _p, _p]),
    "zv_index_insert": (_i64, [_p, _p, _p, _i32]),
    "zv_index_delete": (_i64, [_p, _p, _i32]),
    "zv_index_visible_count": (_i64, [_p]),
    "zv_index_visible_ids": (_i64, [_p, _p]),
    "zv_index_export_visible": (_i64, [_p, _p, _p]),
    "zv_index_search_mvcc": (_i32, [_p, _p, _i32, _p, _i32, _p, _p]),
    "zv_index_search_full": (_i32, [_p, _p, _i32, _p, _p]),
    "zv_index_search_partition": (_i32, [_p, _i64, _p, _i32, _p, _p]),
    "zv_index_scatter_topk": (_i32, [_p, _p, _i32, _p, _i32, _p, _p]),
    "zv_tuner_defaults": (_i32, [_p, _p]),
    "zv_index_tuner_oversized": (_i64, [_p, _i32, _p, _p]),
    "zv_index_set_ivf": (_i32, [_p, _u64, _i32, _i32, _p, _p, _p, _i32]),
    "zv_index_set_ivf_nprobe": (_i32, [_p, _u64, _i32]),
    "zv_index_has_ivf": (_i32, [_p, _u64]),
    "zv_index_clear_ivf": (_i32, [_p]),
    "zv_index_search_ivf": (_i32, [_p, _u64, _p, _i32, _p, _p]),
    "zv_index_set_rowmeta": (_i32, [_p, _p, _p, _p, _i32, _i32]),
    "zv_index_export_rowmeta": (_i32, [_p, _p, _i32, _p, _p]),
    "zv_index_match_ids": (_i64, [_p, _i32, _i32, _i64, _p]),
    "zv_index_search_filtered": (_i32, [_p, _i32, _i32, _i64, _p, _i32, _p, _p]),
    "zv_index_search_full_batch": (_i32, [_p, _p, _i32, _i32, _p, _p]),
    "zv_index_search_partition_batch": (_i32, [_p, _i64, _p, _i32, _i32, _p, _p]),
    "zv_index_search_ivf_batch": (_i32, [_p, _u64, _p, _i32, _i32, _p, _p]),
    "zv_index_search_filtered_batch": (_i32, [_p, _i32, _i32, _i64, _p, _i32, _i32, _p, _p]),
}
for _name, (_res, _args) in _PROTOTYPES.items():
    _fn = getattr(_lib, _name)
    _fn.restype = _res
    _fn.argtypes = _args

if _lib.zv_runtime_format_version() != FORMAT_VERSION:
    raise ImportError(
        f"zv_runtime: {_lib_path} has format version {_lib.zv_runtime_format_version()}, "
        f"this binding expects {FORMAT_VERSION}")


def library_path() -> str:
    """The path (or loader name) the shared library was loaded from."""
    return _lib_path


def format_version() -> int:
    """The library's format version (1)."""
    return int(_lib.zv_runtime_format_version())


def tuner_defaults() -> Tuple[int, int]:
    """The partition tuner's two default numbers, (20000, 980)."""
    a, b = ctypes.c_int32(), ctypes.c_int32()
    _lib.zv_tuner_defaults(ctypes.byref(a), ctypes.byref(b))
    return a.value, b.value


# --------------------------------------------------------------------------
# Checked integers and arrays
# --------------------------------------------------------------------------


def _int(value, name: str, lo: int, hi: int, ctype: Tuple[int, int] = _I32) -> int:
    """`value` as a Python int in [lo, hi], compared exactly. OverflowError when
    the C type (range `ctype`) cannot hold it, ValueError when it can but the
    call does not allow it."""
    try:
        v = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, got {type(value).__name__}") from None
    if not lo <= v <= hi:
        err = OverflowError if not ctype[0] <= v <= ctype[1] else ValueError
        raise err(f"{name} must lie in [{lo}, {hi}], got {v}")
    return v


def _key(key) -> int:
    """An IVF key: any 64-bit pattern, given as a signed or unsigned value."""
    k = _int(key, "IVF key", -(2**63), 2**64 - 1, (-(2**63), 2**64 - 1))
    return k & (2**64 - 1)


_INT_RANGE = {np.dtype(np.int64): _I64, np.dtype(np.int32): _I32}


def _array(a, dtype, name: str, ndim: Optional[int] = None, lo: Optional[int] = None,
           hi: Optional[int] = None) -> np.ndarray:
    """`a` as a C-contiguous, aligned, native-order array of `dtype`: the same
    object when it already is one, otherwise a converted copy. Integer
    conversions are exact: every value must lie in [lo, hi] (by default the
    dtype's range), compared as integers."""
    dtype = np.dtype(dtype)
    if (isinstance(a, np.ndarray) and a.dtype == dtype and a.flags.c_contiguous
            and a.flags.aligned):
        arr = a  # dtype equality implies native byte order
    else:
        src = np.asarray(a)
        if dtype.kind == "i" and src.size:
            if src.dtype.kind == "O":
                try:
                    vals = [operator.index(x) for x in src.flat]
                except TypeError:
                    raise ValueError(f"{name} must hold integers") from None
                low, high = min(vals), max(vals)
            elif src.dtype.kind in "iub":
                low, high = int(src.min()), int(src.max())
            else:
                raise ValueError(f"{name} must hold integers, got dtype {src.dtype}")
            tlo, thi = _INT_RANGE[dtype]
            if low < tlo or high > thi:
                bad = low if low < tlo else high
                raise OverflowError(f"{name} must hold values in [{tlo}, {thi}], got {bad}")
        arr = np.array(src, dtype=dtype, order="C")  # a fresh, aligned, native copy
    if ndim is not None and arr.ndim != ndim:
        raise ValueError(f"{name} must be {ndim}-dimensional, got shape {arr.shape}")
    if arr.size and dtype.kind == "i" and (lo is not None or hi is not None):
        low, high = int(arr.min()), int(arr.max())
        lo_, hi_ = (lo if lo is not None else _INT_RANGE[dtype][0],
                    hi if hi is not None else _INT_RANGE[dtype][1])
        if low < lo_ or high > hi_:
            raise ValueError(f"{name} must hold values in [{lo_}, {hi_}], "
                             f"got {low if low < lo_ else high}")
    return arr


def _ids(ids, name="ids", lo=None, hi=None) -> np.ndarray:
    arr = _array(ids, np.int64, name, lo=lo, hi=hi)
    if arr.ndim == 0:
        arr = arr.reshape(1)
    if arr.ndim != 1:
        raise ValueError(f"{name} must be 1-dimensional, got shape {arr.shape}")
    return arr


# Stands in for empty arrays, which the library never reads or writes, so that
# no call ever receives a null pointer.
_EMPTY = np.zeros(8, dtype=np.int64)


def _ptr(arr: Optional[np.ndarray]) -> int:
    return _EMPTY.ctypes.data if arr is None or arr.size == 0 else arr.ctypes.data


def _count(n: int, name: str) -> int:
    if n > _I32_MAX:
        raise ValueError(f"{name}: at most {_I32_MAX} per call, got {n}")
    return n


class SearchResult(NamedTuple):
    """Top-k hits, best first: ``ids`` (int64) and ``scores`` (float32).

    The last axis is the search's slot count m: (m,) for one query, (nq, m)
    for a batch of nq queries. Unreached slots hold EMPTY_ID and EMPTY_SCORE
    and follow every hit; :meth:`hits` drops them.
    """

    ids: np.ndarray
    scores: np.ndarray

    def hits(self) -> Union["SearchResult", List["SearchResult"]]:
        """The hits without the unreached slots: for one query a SearchResult
        of the filled prefix, for a batch a list with one such result per
        query. A hit always scores above EMPTY_SCORE, so the empty slots are
        exactly those holding EMPTY_SCORE."""
        if self.ids.ndim == 2:
            return [SearchResult(i, s).hits() for i, s in zip(self.ids, self.scores)]
        n = int(np.count_nonzero(self.scores > np.float32(EMPTY_SCORE)))
        return SearchResult(self.ids[:n], self.scores[:n])


SearchResult.ids.__doc__ = "Ids of the hits, int64; EMPTY_ID in unreached slots."
SearchResult.scores.__doc__ = "Scores of the hits, float32, non-increasing; EMPTY_SCORE in unreached slots."


class IndexStats(NamedTuple):
    """What :meth:`Index.stats` reports."""

    base_count: int
    dim: int
    tag: int
    partition_count: int


IndexStats.base_count.__doc__ = "Rows in the base as built (deleted and shadowed ones included)."
IndexStats.dim.__doc__ = "Vector dimension."
IndexStats.tag.__doc__ = "The host's opaque value given at creation."
IndexStats.partition_count.__doc__ = "Partitions of the base."


def group_by_partition(vectors, labels, ids=None):
    """Reorders rows so that each partition is one contiguous run, as
    :meth:`Index.build` wants them.

    Returns ``(vectors, ids, partition_keys, partition_offsets,
    partition_sizes)`` with keys ascending; ``ids`` defaults to the original
    row numbers. Rows keep their relative order within a partition.
    """
    vectors = np.asarray(vectors)
    labels = _array(labels, np.int64, "labels", 1)
    ids = np.arange(len(labels), dtype=np.int64) if ids is None else _ids(ids)
    if not len(vectors) == len(labels) == len(ids):
        raise ValueError("vectors, labels and ids must have the same length")
    _count(len(labels), "rows")
    order = np.argsort(labels, kind="stable")
    keys, offsets, sizes = np.unique(labels[order], return_index=True, return_counts=True)
    return (np.ascontiguousarray(vectors[order], dtype=np.float32), ids[order],
            keys.astype(np.int64), offsets.astype(np.int32), sizes.astype(np.int32))


def ivf_lists(ids, assignment, nlist: int):
    """Concatenated inverted lists from a per-row list number.

    Returns ``(list_ids, list_offsets)`` for :meth:`Index.set_ivf`: list c
    holds, in row order, the ids whose ``assignment`` is c.
    """
    nlist = _int(nlist, "nlist", 0, _I32_MAX - 1)
    ids = _ids(ids)
    assignment = _array(assignment, np.int64, "assignment", 1, 0, max(nlist - 1, 0))
    if len(ids) != len(assignment):
        raise ValueError("ids and assignment must have the same length")
    if len(ids) and nlist == 0:
        raise ValueError("assignment values must lie in [0, nlist), and nlist is 0")
    _count(len(ids), "ids")
    order = np.argsort(assignment, kind="stable")
    counts = np.bincount(assignment, minlength=nlist)
    offsets = np.zeros(nlist + 1, dtype=np.int32)
    np.cumsum(counts, out=offsets[1:])
    return ids[order], offsets


# --------------------------------------------------------------------------
# The index
# --------------------------------------------------------------------------

_SEARCH_RESULT_DOC = """
        Returns a :class:`SearchResult` ``(ids, scores)``, best first, whose
        last axis is this search's slot count m ({slots}; 0 when k is 0):
        shape (m,) for one query of shape (dim,), (nq, m) for queries of
        shape (nq, dim), row i equal to the search of query i alone. Unreached
        slots hold EMPTY_ID / EMPTY_SCORE after the hits; ``.hits()`` drops
        them. Ties keep the order in which rows are offered: {order}.{threads}"""

_THREADS_DOC = """

        A batch runs as one library call that reads each block of rows once
        for all its queries. ``threads=n`` splits it into n parts run on n
        host threads at once (the GIL is released in each call); results are
        identical whatever n."""


def _doc(slots: str, order: str, batched: bool = True):
    def deco(fn):
        fn.__doc__ = fn.__doc__.rstrip() + "\n" + _SEARCH_RESULT_DOC.format(
            slots=slots, order=order, threads=_THREADS_DOC if batched else "")
        return fn
    return deco


def _one_slot_count(ms) -> int:
    if len(ms) != 1:
        raise RuntimeError(f"slot counts differ between queries: {sorted(ms)}")
    return ms.pop()


class Index:
    """One vector index: a sealed base in partitions, a delta of upserts and
    tombstones over it, IVF indexes the host trained, and row metadata.

    ``Index(dim, tag=0)`` creates an empty, unsealed index: ``dim`` in
    [0, 2**31 - 1], ``tag`` any int32 the host likes (only reported back).
    Release it with :meth:`close` or a ``with`` block; a closed index raises
    ValueError on every use. All arrays passed in are copied by the library;
    every result is a new NumPy array owned by the caller.

    An Index owns a native index and cannot be copied or pickled
    (``copy.copy``, ``copy.deepcopy`` and ``pickle`` raise TypeError): for an
    independent index use :meth:`compact`, to keep one across processes or
    restarts :meth:`save` and :meth:`load`.

    Besides the native index, the object remembers what was registered
    through it so that :meth:`compact` and :meth:`save` can carry it over:
    the partition arrays of the last build, the arrays of every IVF entry
    (a second copy of them, in Python memory) and the ids ever inserted.
    """

    def __init__(self, dim: int, tag: int = 0):
        self._h = None
        dim = _int(dim, "dim", 0, _I32_MAX)
        tag = _int(tag, "tag", *_I32)
        self._parts = None  # (keys, offsets, sizes) of the last build
        self._ivf = {}  # key -> [centroids, list_ids, list_offsets, nprobe]
        self._inserted: List[np.ndarray] = []  # ids of delta rows, repeats allowed
        self._inserted_unique = 0
        self._h = _lib.zv_index_new(dim, tag)

    # -- lifecycle ---------------------------------------------------------

    def close(self) -> None:
        """Releases the index and everything it holds. Safe to call twice."""
        h, self._h = getattr(self, "_h", None), None
        if h:
            _lib.zv_index_free(h)

    def __enter__(self) -> "Index":
        """Returns the index; the ``with`` block closes it at its end."""
        return self

    def __exit__(self, *exc) -> None:
        """Closes the index."""
        self.close()

    def __del__(self):
        try:
            self.close()
        except Exception:  # interpreter shutdown may have torn down ctypes
            pass

    def _no_copy(self, *args):
        raise TypeError("a zv_runtime.Index owns a native index and cannot be copied or "
                        "pickled; use compact() for an independent index, save()/load() "
                        "to keep one")

    __copy__ = __deepcopy__ = __reduce__ = __reduce_ex__ = __getstate__ = _no_copy

    @property
    def closed(self) -> bool:
        """True after :meth:`close`."""
        return not self._h

    def _handle(self):
        if not self._h:
            raise ValueError("operation on a closed zv_runtime.Index")
        return self._h

    def __repr__(self) -> str:
        if self.closed:
            return "<zv_runtime.Index closed>"
        s = self.stats()
        return (f"<zv_runtime.Index dim={s.dim} base={s.base_count} "
                f"partitions={s.partition_count} delta={self.delta_count} version={self.version}>")

    # -- statistics and flags ---------------------------------------------

    def stats(self) -> IndexStats:
        """(base_count, dim, tag, partition_count)."""
        n, d, t, p = ctypes.c_int64(), ctypes.c_int32(), ctypes.c_int32(), ctypes.c_int32()
        _lib.zv_index_stats(self._handle(), ctypes.byref(n), ctypes.byref(d),
                            ctypes.byref(t), ctypes.byref(p))
        return IndexStats(n.value, d.value, t.value, p.value)

    @property
    def dim(self) -> int:
        """Vector dimension: the one given at creation, or of the last build."""
        return self.stats().dim

    @property
    def tag(self) -> int:
        """The host's opaque value given at creation."""
        return self.stats().tag

    @property
    def base_count(self) -> int:
        """Rows in the base as built, deleted and shadowed ones included."""
        return self.stats().base_count

    @property
    def partition_count(self) -> int:
        """Partitions of the base (0 before a build)."""
        return self.stats().partition_count

    @property
    def version(self) -> int:
        """Write counter: the number of insert/delete calls that named a row."""
        return int(_lib.zv_index_snapshot(self._handle()))

    @property
    def mutated(self) -> bool:
        """True once any insert or delete has named a row."""
        return bool(_lib.zv_index_mutated(self._handle()))

    @property
    def sealed(self) -> bool:
        """True once a base has been built."""
        return bool(_lib.zv_index_sealed(self._handle()))

    @property
    def delta_count(self) -> int:
        """Delta rows: one per distinct id ever inserted, deleted ones included."""
        return int(_lib.zv_index_delta_count(self._handle()))

    # -- helpers -----------------------------------------------------------

    def _vectors(self, vectors, name="vectors", dim=None) -> np.ndarray:
        dim = self.dim if dim is None else dim
        arr = _array(vectors, np.float32, name)
        if arr.ndim == 1 and dim > 0 and arr.size % dim == 0 and arr.size:
            arr = arr.reshape(-1, dim)
        if arr.ndim != 2 or arr.shape[1] != dim:
            raise ValueError(f"{name} must have shape (n, {dim}), got {arr.shape}")
        return arr

    def _topk(self, call, query, k, batch=None, threads: int = 1) -> SearchResult:
        """Runs ``call(query_ptr, k, ids_ptr, scores_ptr) -> m`` for one query.
        A (nq, dim) batch goes to ``batch(queries_ptr, nq, k, ids_ptr,
        scores_ptr) -> m`` in ``threads`` parts, or to ``call`` per query for
        searches without a batch function; the slots are cut to m."""
        k = _int(k, "k", 0, _I32_MAX)
        threads = _int(threads, "threads", 1, 1024)
        dim = self.dim
        q = _array(query, np.float32, "query")
        if q.ndim == 1:
            if q.shape != (dim,):
                raise ValueError(f"query must have shape ({dim},), got {q.shape}")
            ids = np.empty(k, dtype=np.int64)
            scores = np.empty(k, dtype=np.float32)
            m = call(_ptr(q), k, _ptr(ids), _ptr(scores)) if k else 0
            return SearchResult(ids[:m].copy(), scores[:m].copy())
        if q.ndim != 2 or q.shape[1] != dim:
            raise ValueError(f"queries must have shape (nq, {dim}), got {q.shape}")
        nq = _count(len(q), "queries")
        ids = np.empty((max(nq, 1), k), dtype=np.int64)
        scores = np.empty((max(nq, 1), k), dtype=np.float32)
        if not k:
            m = 0
        elif not nq:  # no query to run, but the slot count is still the search's
            m = call(_ptr(np.zeros(dim, np.float32)), k, _ptr(ids[0]), _ptr(scores[0]))
        elif batch is None:
            ms = {call(_ptr(q[i]), k, _ptr(ids[i]), _ptr(scores[i])) for i in range(nq)}
            m = _one_slot_count(ms)
        else:
            def part(lo_hi):
                lo, hi = lo_hi
                return batch(_ptr(q[lo:hi]), hi - lo, k, _ptr(ids[lo:hi]), _ptr(scores[lo:hi]))
            parts = min(threads, nq)
            bounds = [(nq * t // parts, nq * (t + 1) // parts) for t in range(parts)]
            if parts == 1:
                ms = {part(bounds[0])}
            else:
                with ThreadPoolExecutor(max_workers=parts) as pool:
                    ms = set(pool.map(part, bounds))
            m = _one_slot_count(ms)
        return SearchResult(np.ascontiguousarray(ids[:nq, :m]),
                            np.ascontiguousarray(scores[:nq, :m]))

    def _delta_ids(self) -> np.ndarray:
        """Every id that has a delta row, unique and sorted."""
        if len(self._inserted) != 1:
            self._inserted = [np.unique(np.concatenate(self._inserted or [np.empty(0, np.int64)]))]
        return self._inserted[0]

    # -- sealed base -------------------------------------------------------

    def build(self, vectors, ids=None, partition_keys=None, partition_offsets=None,
              partition_sizes=None, *, allow_dim_change: bool = False) -> None:
        """Replaces the whole base with ``vectors`` (shape (n, dim)) and their
        ``ids`` (default 0..n-1, each in [0, 2**40)).

        Partitions are contiguous runs of rows: partition ``partition_keys[p]``
        (int64, ascending) spans ``partition_sizes[p]`` rows from row
        ``partition_offsets[p]``, within the n rows. Omit all three for no
        partitions, or use :func:`group_by_partition` to lay rows out from
        labels. The delta, tombstones, metadata, IVF indexes and version are
        kept.

        ``dim`` must equal the index's dimension; ``allow_dim_change=True``
        lets the build set a new one (the library refuses that while the
        index holds delta rows or IVF indexes).

        Raises ValueError (OverflowError for values outside the C types),
        changing nothing, on malformed arrays, ids outside [0, 2**40), more
        than 2**40 rows or floats, or a refused dimension change.
        """
        h = self._handle()
        v = _array(vectors, np.float32, "vectors", 2)
        n, dim = v.shape
        _int(dim, "vector dimension", 0, _I32_MAX)
        if dim != self.dim and not allow_dim_change:
            raise ValueError(f"vectors have dimension {dim} but the index has {self.dim}; "
                             "pass allow_dim_change=True to change it")
        ids = (np.arange(n, dtype=np.int64) if ids is None
               else _ids(ids, "ids", 0, _ID_LIMIT - 1))
        if len(ids) != n:
            raise ValueError(f"got {n} vectors but {len(ids)} ids")
        parts = (partition_keys, partition_offsets, partition_sizes)
        if all(x is None for x in parts):
            keys = np.empty(0, np.int64)
            offsets = sizes = np.empty(0, np.int32)
        elif any(x is None for x in parts):
            raise ValueError("give partition_keys, partition_offsets and partition_sizes together")
        else:
            keys = _array(partition_keys, np.int64, "partition_keys", 1)
            offsets = _array(partition_offsets, np.int32, "partition_offsets", 1, 0, _I32_MAX)
            sizes = _array(partition_sizes, np.int32, "partition_sizes", 1, 0, _I32_MAX)
            if not len(keys) == len(offsets) == len(sizes):
                raise ValueError("partition arrays must have the same length")
            _count(len(keys), "partitions")
            if np.any(keys[1:] < keys[:-1]):
                raise ValueError("partition_keys must be ascending")
            if len(keys) and int((offsets.astype(np.int64) + sizes).max()) > n:
                raise ValueError(f"every partition must lie within the {n} rows")
        if n > _ID_LIMIT or n * dim > _ID_LIMIT:
            raise ValueError("a base holds at most 2**40 rows and 2**40 floats")
        rc = _lib.zv_index_build(h, _ptr(v), n, dim, _ptr(ids), _ptr(keys), _ptr(offsets),
                                 _ptr(sizes), len(keys))
        if rc != 0:
            raise ValueError(f"build rejected, index unchanged: dimension {dim} differs from "
                             f"the index's {self.dim} while it holds delta rows or IVF indexes")
        self._parts = (keys.copy(), offsets.copy(), sizes.copy())

    def export_base(self) -> Tuple[np.ndarray, np.ndarray]:
        """The base exactly as built, deleted and shadowed rows included:
        ``(vectors (n, dim) float32, ids (n,) int64)``. Empty before a build."""
        s = self.stats()
        v = np.empty((s.base_count, max(s.dim, 0)), dtype=np.float32)
        ids = np.empty(s.base_count, dtype=np.int64)
        n = _lib.zv_index_export_base(self._handle(), _ptr(v), _ptr(ids))
        return v[:n], ids[:n]

    # -- writes ------------------------------------------------------------

    def insert(self, vectors, ids) -> int:
        """Upserts rows into the delta (new ids get rows, existing delta rows
        are replaced in place, deleted ids are revived; the last duplicate in
        a call wins). ``vectors`` has shape (n, dim); ``ids`` are any int64
        values. Returns the version after the call."""
        h = self._handle()
        v = self._vectors(vectors)
        ids = _ids(ids)
        if len(ids) != len(v):
            raise ValueError(f"got {len(v)} vectors but {len(ids)} ids")
        version = int(_lib.zv_index_insert(h, _ptr(v), _ptr(ids), _count(len(ids), "ids")))
        if len(ids):
            self._inserted.append(ids.copy())
            total = sum(len(a) for a in self._inserted)
            if total > 2 * self._inserted_unique + 4096:
                self._inserted_unique = len(self._delta_ids())
        return version

    def delete(self, ids) -> int:
        """Deletes ``ids`` (any int64 values) by tombstone, rows or not.
        Returns the version after the call. Base searches and IVF searches
        still see deleted base rows."""
        h = self._handle()
        ids = _ids(ids)
        return int(_lib.zv_index_delete(h, _ptr(ids), _count(len(ids), "ids")))

    # -- visible rows ------------------------------------------------------

    def visible_count(self) -> int:
        """Rows visible now: undeleted delta rows and unshadowed, undeleted
        base rows."""
        return int(_lib.zv_index_visible_count(self._handle()))

    def visible_ids(self) -> np.ndarray:
        """Ids of the visible rows in walk order (delta rows by first
        insertion, then base rows)."""
        out = np.empty(self.visible_count(), dtype=np.int64)
        n = _lib.zv_index_visible_ids(self._handle(), _ptr(out))
        return out[:n]

    def export_visible(self) -> Tuple[np.ndarray, np.ndarray]:
        """The visible rows in walk order: ``(vectors, ids)``."""
        count, dim = self.visible_count(), max(self.dim, 0)
        v = np.empty((count, dim), dtype=np.float32)
        ids = np.empty(count, dtype=np.int64)
        n = _lib.zv_index_export_visible(self._handle(), _ptr(v), _ptr(ids))
        return v[:n], ids[:n]

    # -- searches ----------------------------------------------------------

    @_doc("min(k, base rows); 0 before a build", "row order")
    def search(self, query, k: int, threads: int = 1) -> SearchResult:
        """Exact top-k over all base rows (no delta, no tombstones)."""
        h = self._handle()
        return self._topk(lambda q, k, i, s: _lib.zv_index_search_full(h, q, k, i, s), query, k,
                          lambda q, n, k, i, s: _lib.zv_index_search_full_batch(h, q, n, k, i, s),
                          threads)

    @_doc("min(k, partition size); 0 when the key is absent", "row order")
    def search_partition(self, partition_key: int, query, k: int,
                         threads: int = 1) -> SearchResult:
        """Exact top-k over the base rows of the partition ``partition_key``
        (an int64)."""
        h, key = self._handle(), _int(partition_key, "partition_key", *_I64, _I64)
        return self._topk(
            lambda q, k, i, s: _lib.zv_index_search_partition(h, key, q, k, i, s), query, k,
            lambda q, n, k, i, s: _lib.zv_index_search_partition_batch(h, key, q, n, k, i, s),
            threads)

    @_doc("min(k, len(ids)); 0 before a build", "the order of ``ids``", batched=False)
    def search_base_ids(self, ids, query, k: int) -> SearchResult:
        """Top-k over chosen base ids (each resolved to its base row; ids
        without one are passed over). No delta, no tombstones."""
        h, ids = self._handle(), _ids(ids)
        n = _count(len(ids), "ids")
        return self._topk(lambda q, k, i, s: _lib.zv_index_scatter_topk(h, _ptr(ids), n, q, k, i, s),
                          query, k)

    @_doc("k", "the order of ``ids``", batched=False)
    def search_candidates(self, ids, query, k: int) -> SearchResult:
        """Top-k over candidate ids under the current writes: each scored with
        its delta row, else its base row; deleted ids and ids without a row are
        passed over. Works without a base."""
        h, ids = self._handle(), _ids(ids)
        n = _count(len(ids), "ids")
        return self._topk(lambda q, k, i, s: _lib.zv_index_search_mvcc(h, _ptr(ids), n, q, k, i, s),
                          query, k)

    @_doc("k", "probe order, then list order")
    def search_ivf(self, key: int, query, k: int, threads: int = 1) -> SearchResult:
        """Approximate top-k through the IVF index under ``key``: probes the
        nprobe best-scoring centroids' lists over the base. Raises ValueError
        when ``key`` is not registered."""
        h, key = self._handle(), _key(key)
        if not _lib.zv_index_has_ivf(h, key):
            raise ValueError(f"no IVF index registered under key {key}")
        return self._topk(lambda q, k, i, s: _lib.zv_index_search_ivf(h, key, q, k, i, s), query, k,
                          lambda q, n, k, i, s: _lib.zv_index_search_ivf_batch(h, key, q, n, k, i, s),
                          threads)

    @_doc("k", "walk order, so delta rows win ties")
    def search_filtered(self, query, k: int, primary: Optional[int] = None,
                        column: Optional[int] = None, value: Optional[int] = None,
                        threads: int = 1) -> SearchResult:
        """Exact top-k over the visible rows that pass a metadata filter:
        none given passes every row (the exact search over the current
        state), ``primary=v`` rows whose primary value is v, ``column=j,
        value=v`` rows whose column j holds v."""
        h = self._handle()
        kind, col, val = _filter(primary, column, value)
        return self._topk(
            lambda q, k, i, s: _lib.zv_index_search_filtered(h, kind, col, val, q, k, i, s),
            query, k,
            lambda q, n, k, i, s: _lib.zv_index_search_filtered_batch(h, kind, col, val, q, n, k,
                                                                      i, s),
            threads)

    # -- partition tuner ---------------------------------------------------

    def oversized_partitions(self, min_rows: int) -> Tuple[np.ndarray, np.ndarray]:
        """Partitions with at least ``min_rows`` rows (an int32), in partition
        order: ``(keys, sizes)``."""
        h = self._handle()
        min_rows = _int(min_rows, "min_rows", *_I32)
        p = self.partition_count
        keys = np.empty(p, dtype=np.int64)
        sizes = np.empty(p, dtype=np.int64)
        n = _lib.zv_index_tuner_oversized(h, min_rows, _ptr(keys), _ptr(sizes))
        return keys[:n], sizes[:n]

    # -- IVF ---------------------------------------------------------------

    def set_ivf(self, key: int, centroids, list_ids, list_offsets, nprobe: int) -> None:
        """Registers, or replaces whole, the IVF index under ``key`` (any
        64-bit value, signed or unsigned): ``centroids`` of shape (nlist, dim),
        the inverted lists concatenated in ``list_ids`` and cut by
        ``list_offsets`` (nlist + 1 int32 offsets; list c is
        list_ids[list_offsets[c]:list_offsets[c+1]]), and the probe count
        ``nprobe`` (an int32; 0 or less probes nothing). :func:`ivf_lists`
        builds the two list arrays."""
        h, key = self._handle(), _key(key)
        c = self._vectors(centroids, "centroids")
        list_ids = _ids(list_ids, "list_ids")
        offsets = _array(list_offsets, np.int32, "list_offsets", 1)
        nprobe = _int(nprobe, "nprobe", *_I32)
        nlist = _count(len(c), "centroids")
        if len(offsets) != nlist + 1:
            raise ValueError(f"list_offsets must hold nlist + 1 = {nlist + 1} values, "
                             f"got {len(offsets)}")
        _lib.zv_index_set_ivf(h, key, nlist, nprobe, _ptr(c), _ptr(list_ids), _ptr(offsets),
                              _count(len(list_ids), "list_ids"))
        self._ivf[key] = [c.copy(), list_ids.copy(), offsets.copy(), nprobe]

    def set_ivf_nprobe(self, key: int, nprobe: int) -> None:
        """Sets the probe count (an int32) of a registered IVF index;
        ValueError when ``key`` is not registered."""
        key, nprobe = _key(key), _int(nprobe, "nprobe", *_I32)
        if _lib.zv_index_set_ivf_nprobe(self._handle(), key, nprobe) != 0:
            raise ValueError(f"no IVF index registered under key {key}")
        self._ivf[key][3] = nprobe

    def has_ivf(self, key: int) -> bool:
        """True when an IVF index is registered under ``key``."""
        return bool(_lib.zv_index_has_ivf(self._handle(), _key(key)))

    def clear_ivf(self) -> None:
        """Discards every IVF index."""
        _lib.zv_index_clear_ivf(self._handle())
        self._ivf.clear()

    # -- row metadata and filters -----------------------------------------

    @property
    def column_count(self) -> int:
        """Number of metadata columns."""
        return int(_lib.zv_index_export_rowmeta(self._handle(), _ptr(None), 0, _ptr(None),
                                                    _ptr(None)))

    def set_rowmeta(self, ids, primary, columns=None) -> None:
        """Writes metadata for ``ids``: a primary value each and, optionally,
        ``columns`` of shape (n, column_count); all values int64. The index
        widens to column_count columns; ValueError, changing nothing, when
        that is fewer than it already has (columns never shrink)."""
        h = self._handle()
        ids = _ids(ids)
        primary = _ids(primary, "primary")
        n = _count(len(ids), "ids")
        if len(primary) != n:
            raise ValueError(f"got {n} ids but {len(primary)} primary values")
        if columns is None:
            cols = np.empty((n, 0), dtype=np.int64)
        else:
            cols = _array(columns, np.int64, "columns")
            if cols.ndim == 1:
                cols = cols.reshape(n, -1) if n else cols.reshape(0, cols.size)
            if cols.ndim != 2 or cols.shape[0] != n:
                raise ValueError(f"columns must have shape ({n}, column_count), got {cols.shape}")
        width = _count(cols.shape[1], "columns")
        if _lib.zv_index_set_rowmeta(h, _ptr(ids), _ptr(primary), _ptr(cols), width, n) != 0:
            raise ValueError(f"metadata rejected: {width} columns given but the index already has "
                             f"{self.column_count}; columns never shrink")

    def export_rowmeta(self, ids) -> Tuple[np.ndarray, np.ndarray]:
        """Metadata of ``ids``: ``(primary (n,), columns (n, column_count))``,
        -1 where absent."""
        h = self._handle()
        ids = _ids(ids)
        n = _count(len(ids), "ids")
        m = self.column_count
        primary = np.empty(n, dtype=np.int64)
        cols = np.empty((n, m), dtype=np.int64)
        _lib.zv_index_export_rowmeta(h, _ptr(ids), n, _ptr(primary), _ptr(cols))
        return primary, cols

    def match_ids(self, primary: Optional[int] = None, column: Optional[int] = None,
                  value: Optional[int] = None) -> np.ndarray:
        """Ids of the visible rows that pass the filter (see
        :meth:`search_filtered`), in walk order."""
        h = self._handle()
        kind, col, val = _filter(primary, column, value)
        out = np.empty(self.visible_count(), dtype=np.int64)
        n = _lib.zv_index_match_ids(h, kind, col, val, _ptr(out))
        return out[:n]

    # -- compaction and persistence ---------------------------------------

    def _compacted(self) -> dict:
        """The compacted state as arrays: what compact() builds and save() writes."""
        s = self.stats()
        vis_v, vis_ids = self.export_visible()
        outside = (vis_ids < 0) | (vis_ids >= _ID_LIMIT)
        if outside.any():
            raise ValueError(f"visible id {int(vis_ids[outside][0])} lies outside [0, 2**40), "
                             "where a base cannot hold it")
        delta = self._delta_ids()
        if len(delta) != self.delta_count:
            raise RuntimeError("the index's delta does not match the ids inserted through "
                               "this object")
        # Visible delta rows come first in walk order, visible base rows follow
        # in row order; a base row is visible exactly when its id is among the
        # latter.
        nd = int(np.count_nonzero(np.isin(vis_ids, delta)))
        keys, offsets, sizes = (self._parts if self._parts is not None else
                                (np.empty(0, np.int64), np.empty(0, np.int32), np.empty(0, np.int32)))
        if len(keys):
            _, base_ids = self.export_base()
            visible = np.isin(base_ids, vis_ids[nd:])
            before = np.zeros(len(base_ids) + 1, dtype=np.int64)
            np.cumsum(visible, out=before[1:])
            start = before[offsets]
            sizes = (before[offsets.astype(np.int64) + sizes] - start).astype(np.int32)
            offsets = (nd + start).astype(np.int32)
        meta_ids = np.unique(vis_ids)
        primary, columns = self.export_rowmeta(meta_ids)
        # An absent value reads as -1 either way; only ids with a value are kept.
        keep = (primary != -1) | (columns != -1).any(axis=1)
        ivf = sorted(self._ivf.items())
        return {
            "dim": s.dim, "tag": s.tag, "vectors": vis_v, "ids": vis_ids,
            "partition_keys": keys, "partition_offsets": offsets, "partition_sizes": sizes,
            "meta_ids": meta_ids[keep], "meta_primary": primary[keep],
            "meta_columns": columns[keep],
            "ivf": [(k, c, i, o, p) for k, (c, i, o, p) in ivf],
        }

    @classmethod
    def _from_state(cls, st: dict) -> "Index":
        index = cls(st["dim"], st["tag"])
        try:
            index.build(st["vectors"], st["ids"], st["partition_keys"], st["partition_offsets"],
                        st["partition_sizes"])
            index.set_rowmeta(st["meta_ids"], st["meta_primary"], st["meta_columns"])
            for key, c, ids, offsets, nprobe in st["ivf"]:
                index.set_ivf(key, c, ids, offsets, nprobe)
        except BaseException:
            index.close()
            raise
        return index

    def compact(self) -> "Index":
        """A new, independent index holding only what is visible now.

        Its base is the visible rows in walk order (visible delta rows first,
        then visible base rows in row order), so its full :meth:`search`
        returns what ``search_filtered`` (no filter) returns on this index,
        bytes included (up to the slot count: min(k, rows) against k). Kept:
        the dimension and tag; the partitions of this object's last build,
        each now covering its rows that are still visible (delta rows belong
        to no partition); the metadata of the visible ids; the IVF entries
        registered through this object with their current probe counts. Not
        kept: deleted and shadowed rows, tombstones, the metadata of ids with
        no visible row, and the version (it restarts at 0).

        Raises ValueError when a visible id lies outside [0, 2**40), the
        range a base can hold (the delta takes any id). This index is not
        changed.
        """
        self._handle()
        return self._from_state(self._compacted())

    def save(self, path) -> None:
        """Writes the compacted state (see :meth:`compact`: visible rows,
        partitions, metadata of the visible ids, IVF entries registered
        through this object) to one NumPy ``.npz`` file at ``path``, exactly
        as named, with a format version field (:data:`SAVE_FORMAT_VERSION`).
        Not kept: deleted and shadowed rows, the metadata of ids with no
        visible row, the version (a loaded index starts at 0). The file is
        written next to ``path`` and renamed over it, so a failed save leaves
        an earlier file whole."""
        st = self._compacted()
        ivf = st.pop("ivf")
        dim = st["dim"]
        arrays = {k: v for k, v in st.items() if isinstance(v, np.ndarray)}
        arrays.update(
            magic=np.array(_MAGIC), format_version=np.array(SAVE_FORMAT_VERSION, np.int64),
            dim=np.array(dim, np.int64), tag=np.array(st["tag"], np.int64),
            ivf_keys=np.array([e[0] for e in ivf], np.uint64),
            ivf_nprobe=np.array([e[4] for e in ivf], np.int32),
            ivf_nlist=np.array([len(e[1]) for e in ivf], np.int64),
            ivf_id_counts=np.array([len(e[2]) for e in ivf], np.int64),
            ivf_centroids=np.concatenate([e[1] for e in ivf] or [np.empty((0, max(dim, 0)), np.float32)]),
            ivf_list_ids=np.concatenate([e[2] for e in ivf] or [np.empty(0, np.int64)]),
            ivf_list_offsets=np.concatenate([e[3] for e in ivf] or [np.empty(0, np.int32)]))
        path = os.fspath(path)
        tmp = f"{path}.tmp{os.getpid()}"
        try:
            with open(tmp, "wb") as f:
                np.savez(f, **arrays)
            os.replace(tmp, path)
        except BaseException:
            if os.path.exists(tmp):
                os.unlink(tmp)
            raise

    @classmethod
    def load(cls, path) -> "Index":
        """A new index from a file :meth:`save` wrote, in the state saved (see
        there for what that holds), at version 0. Raises ValueError naming the
        file when it is not a zv_runtime index file, is truncated or damaged,
        or has another format version; OSError when it cannot be read."""
        path = os.fspath(path)
        with open(path, "rb") as f:
            zipped = f.read(4) == b"PK\x03\x04"
        not_ours = ValueError(f"{path}: not a zv_runtime index file")
        try:
            z = np.load(path, allow_pickle=False)
        except (zipfile.BadZipFile, EOFError, ValueError, OSError) as err:
            if zipped:
                raise ValueError(f"{path}: zv_runtime index file is truncated or damaged "
                                 f"({err})") from None
            raise not_ours from None
        if not isinstance(z, np.lib.npyio.NpzFile):
            raise not_ours
        with z:
            try:
                if "magic" not in z.files or str(z["magic"]) != _MAGIC:
                    raise not_ours
                version = int(z["format_version"])
                if version != SAVE_FORMAT_VERSION:
                    raise ValueError(f"{path}: zv_runtime index file of format version {version}; "
                                     f"this zv_runtime reads version {SAVE_FORMAT_VERSION}")
                a = {name: z[name] for name in _SAVED_ARRAYS}
            except (zipfile.BadZipFile, EOFError, KeyError, OSError, ValueError) as err:
                if err is not_ours or "format version" in str(err):
                    raise
                raise ValueError(f"{path}: zv_runtime index file is truncated or damaged "
                                 f"({err!r})") from None
        try:
            st = _state_from_arrays(a)
        except (ValueError, TypeError, OverflowError, IndexError) as err:
            raise ValueError(f"{path}: zv_runtime index file is damaged ({err})") from None
        return cls._from_state(st)


_MAGIC = "zv_runtime.Index"
_SAVED_ARRAYS = ("dim", "tag", "vectors", "ids", "partition_keys", "partition_offsets",
                 "partition_sizes", "meta_ids", "meta_primary", "meta_columns", "ivf_keys",
                 "ivf_nprobe", "ivf_nlist", "ivf_id_counts", "ivf_centroids", "ivf_list_ids",
                 "ivf_list_offsets")


def _state_from_arrays(a: dict) -> dict:
    """The state a saved file holds, its shapes checked against each other."""
    dim, tag = int(a["dim"]), int(a["tag"])
    n = len(a["ids"])

    def shape(name, want):
        if a[name].shape != want:
            raise ValueError(f"{name} has shape {a[name].shape}, expected {want}")

    shape("vectors", (n, dim))
    shape("ids", (n,))
    p = len(a["partition_keys"])
    shape("partition_offsets", (p,))
    shape("partition_sizes", (p,))
    nm = len(a["meta_ids"])
    shape("meta_primary", (nm,))
    if a["meta_columns"].ndim != 2 or len(a["meta_columns"]) != nm:
        raise ValueError(f"meta_columns has shape {a['meta_columns'].shape}")
    e = len(a["ivf_keys"])
    for name in ("ivf_nprobe", "ivf_nlist", "ivf_id_counts"):
        shape(name, (e,))
    nlist, counts = a["ivf_nlist"].astype(np.int64), a["ivf_id_counts"].astype(np.int64)
    if (nlist < 0).any() or (counts < 0).any():
        raise ValueError("negative IVF sizes")
    shape("ivf_centroids", (int(nlist.sum()), dim))
    shape("ivf_list_ids", (int(counts.sum()),))
    shape("ivf_list_offsets", (int((nlist + 1).sum()) if e else 0,))
    ivf, c0, i0, o0 = [], 0, 0, 0
    for j in range(e):
        c1, i1, o1 = c0 + int(nlist[j]), i0 + int(counts[j]), o0 + int(nlist[j]) + 1
        ivf.append((int(a["ivf_keys"][j]), a["ivf_centroids"][c0:c1], a["ivf_list_ids"][i0:i1],
                    a["ivf_list_offsets"][o0:o1], int(a["ivf_nprobe"][j])))
        c0, i0, o0 = c1, i1, o1
    return {"dim": dim, "tag": tag, "vectors": a["vectors"], "ids": a["ids"],
            "partition_keys": a["partition_keys"], "partition_offsets": a["partition_offsets"],
            "partition_sizes": a["partition_sizes"], "meta_ids": a["meta_ids"],
            "meta_primary": a["meta_primary"], "meta_columns": a["meta_columns"], "ivf": ivf}


def _filter(primary, column, value):
    """(kind, column, value) of the C filter triple."""
    if primary is not None:
        if column is not None or value is not None:
            raise ValueError("filter on primary=... or on column=..., value=..., not both")
        return 1, 0, _int(primary, "primary", *_I64, _I64)
    if column is None and value is None:
        return 0, 0, 0
    if column is None or value is None:
        raise ValueError("a column filter needs both column= and value=")
    return 2, _int(column, "column", 0, _I32_MAX), _int(value, "value", *_I64, _I64)
