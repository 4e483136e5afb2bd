"""Python binding for zv_runtime, an in-process vector index runtime.

The binding loads ``libzv_runtime.so`` through :mod:`ctypes` (there is no
compiled extension) and wraps the library's 30 C functions in one class,
:class:`Index`, plus three module functions. NumPy arrays go to the library
without copies when they are already C-contiguous with the expected dtype
(float32 vectors, int64 ids and values); anything else is converted once.

Where the library is found, first match wins:

1. the path in the environment variable ``ZV_RUNTIME_LIBRARY``;
2. a ``libzv_runtime.so*`` placed inside this package's directory;
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
import os
import sys
from pathlib import Path
from typing import NamedTuple, Optional, Sequence, Tuple

import numpy as np

__all__ = [
    "EMPTY_ID",
    "EMPTY_SCORE",
    "FORMAT_VERSION",
    "Index",
    "IndexStats",
    "SearchResult",
    "format_version",
    "group_by_partition",
    "ivf_lists",
    "library_path",
    "tuner_defaults",
]

__version__ = "1.0.0"

#: Id of an unreached result slot.
EMPTY_ID = -1
#: Score of an unreached result slot: the float32 nearest to -1e30.
EMPTY_SCORE = float(np.float32(-1e30))
#: Format version this binding was written for.
FORMAT_VERSION = 1

LIBRARY_ENV = "ZV_RUNTIME_LIBRARY"
_I32_MAX = 2**31 - 1

# --------------------------------------------------------------------------
# Loading the library
# --------------------------------------------------------------------------


def _candidates():
    env = os.environ.get(LIBRARY_ENV)
    if env:
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
        "zv_runtime: cannot load libzv_runtime.so; build it (cmake --build ...) "
        f"or install it, or set {LIBRARY_ENV} to its path. Tried: " + "; ".join(tried))


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
# Array plumbing
# --------------------------------------------------------------------------


def _as(a, dtype, name: str, ndim: Optional[int] = None) -> np.ndarray:
    """`a` as a C-contiguous array of `dtype`: the same object when it already
    is one, otherwise a converted copy. Integer conversions must be exact."""
    if isinstance(a, np.ndarray) and a.dtype == dtype and a.flags.c_contiguous:
        arr = a
    else:
        src = np.asarray(a)
        if dtype == np.int64 and src.size and src.dtype.kind not in "iub":
            raise ValueError(f"{name} must hold integers, got dtype {src.dtype}")
        if dtype == np.int64 and src.dtype.kind == "u" and src.size and src.max() > 2**63 - 1:
            raise ValueError(f"{name} holds values beyond the int64 range")
        arr = np.ascontiguousarray(src, dtype=dtype)
    if ndim is not None and arr.ndim != ndim:
        raise ValueError(f"{name} must be {ndim}-dimensional, got shape {arr.shape}")
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


def _key(key: int) -> int:
    key = int(key)
    if not -(2**63) <= key < 2**64:
        raise ValueError(f"IVF key {key} is not a 64-bit value")
    return key & (2**64 - 1)


class SearchResult(NamedTuple):
    """Top-k hits, best first: ``ids`` (int64) and ``scores`` (float32)."""

    ids: np.ndarray
    scores: np.ndarray


class IndexStats(NamedTuple):
    base_count: int
    dim: int
    tag: int
    partition_count: int


def _hits(m: int, ids: np.ndarray, scores: np.ndarray, raw: bool) -> SearchResult:
    ids, scores = ids[:m], scores[:m]
    if not raw:
        # Real hits always score above EMPTY_SCORE, so the empties are a suffix.
        empty = (ids == EMPTY_ID) & (scores == np.float32(EMPTY_SCORE))
        n = int(np.argmax(empty)) if empty.any() else m
        ids, scores = ids[:n], scores[:n]
    return SearchResult(ids, scores)


def group_by_partition(vectors, labels, ids=None):
    """Reorders rows so that each partition is one contiguous run, as
    :meth:`Index.build` wants them.

    Returns ``(vectors, ids, partition_keys, partition_offsets,
    partition_sizes)`` with keys ascending; ``ids`` defaults to the original
    row numbers. Rows keep their relative order within a partition.
    """
    vectors = np.asarray(vectors)
    labels = _as(labels, np.int64, "labels", 1)
    ids = np.arange(len(labels), dtype=np.int64) if ids is None else _as(ids, np.int64, "ids", 1)
    if not len(vectors) == len(labels) == len(ids):
        raise ValueError("vectors, labels and ids must have the same length")
    order = np.argsort(labels, kind="stable")
    keys, offsets, sizes = np.unique(labels[order], return_index=True, return_counts=True)
    return (np.ascontiguousarray(vectors[order], dtype=np.float32), ids[order],
            keys.astype(np.int64), offsets.astype(np.int32), sizes.astype(np.int32))


def ivf_lists(ids, assignment, nlist: int):
    """Concatenated inverted lists from a per-row list number.

    Returns ``(list_ids, list_offsets)`` for :meth:`Index.set_ivf`: list c
    holds, in row order, the ids whose ``assignment`` is c.
    """
    ids = _as(ids, np.int64, "ids", 1)
    assignment = _as(assignment, np.int64, "assignment", 1)
    if len(ids) != len(assignment):
        raise ValueError("ids and assignment must have the same length")
    if len(assignment) and (assignment.min() < 0 or assignment.max() >= nlist):
        raise ValueError(f"assignment values must lie in [0, {nlist})")
    order = np.argsort(assignment, kind="stable")
    counts = np.bincount(assignment, minlength=nlist)
    offsets = np.zeros(nlist + 1, dtype=np.int32)
    np.cumsum(counts, out=offsets[1:])
    return ids[order], offsets


# --------------------------------------------------------------------------
# The index
# --------------------------------------------------------------------------


class Index:
    """One vector index: a sealed base in partitions, a delta of upserts and
    tombstones over it, IVF indexes the host trained, and row metadata.

    ``Index(dim, tag=0)`` creates an empty, unsealed index. Release it with
    :meth:`close` or a ``with`` block; a closed index raises ValueError on
    every use. All arrays passed in are copied by the library; every result
    is a new NumPy array owned by the caller.
    """

    def __init__(self, dim: int, tag: int = 0):
        self._h = _lib.zv_index_new(int(dim), int(tag))

    # -- lifecycle ---------------------------------------------------------

    def close(self) -> None:
        """Releases the index and everything it holds. Safe to call twice."""
        h, self._h = getattr(self, "_h", None), None
        if h:
            _lib.zv_index_free(h)

    def __enter__(self) -> "Index":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __del__(self):
        try:
            self.close()
        except Exception:  # interpreter shutdown may have torn down ctypes
            pass

    @property
    def closed(self) -> bool:
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
        """Vector dimension; a build sets it."""
        return self.stats().dim

    @property
    def tag(self) -> int:
        return self.stats().tag

    @property
    def base_count(self) -> int:
        return self.stats().base_count

    @property
    def partition_count(self) -> int:
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
        arr = _as(vectors, np.float32, name)
        if arr.ndim == 1 and dim > 0 and arr.size % dim == 0 and arr.size:
            arr = arr.reshape(-1, dim)
        if arr.ndim != 2 or arr.shape[1] != max(dim, 0):
            raise ValueError(f"{name} must have shape (n, {dim}), got {arr.shape}")
        return arr

    def _query(self, query, dim: int) -> np.ndarray:
        q = _as(query, np.float32, "query")
        if q.shape != (max(dim, 0),):
            raise ValueError(f"query must have shape ({dim},), got {q.shape}")
        return q

    def _topk(self, call, query, k: int, raw: bool, slots=None):
        """Runs `call(query_ptr, k, ids_ptr, scores_ptr)` for one query or each
        row of a 2-D query array."""
        k = int(k)
        if k < 0:
            raise ValueError(f"k must be >= 0, got {k}")
        _count(k, "k")
        dim = self.dim
        q = np.asarray(query)
        if q.ndim == 2:
            qs = [self._query(row, dim) for row in _as(q, np.float32, "queries")]
            ids = np.full((len(qs), k), EMPTY_ID, dtype=np.int64)
            scores = np.full((len(qs), k), EMPTY_SCORE, dtype=np.float32)
            for i, row in enumerate(qs):
                call(_ptr(row), k, ids[i].ctypes.data, scores[i].ctypes.data)
            return SearchResult(ids, scores)
        q = self._query(query, dim)
        ids = np.empty(k, dtype=np.int64)
        scores = np.empty(k, dtype=np.float32)
        m = call(_ptr(q), k, ids.ctypes.data, scores.ctypes.data) if k else 0
        return _hits(m, ids, scores, raw)

    def _ids(self, ids, name="ids") -> np.ndarray:
        arr = _as(ids, np.int64, name)
        if arr.ndim == 0:
            arr = arr.reshape(1)
        if arr.ndim != 1:
            raise ValueError(f"{name} must be 1-dimensional, got shape {arr.shape}")
        return arr

    # -- sealed base -------------------------------------------------------

    def build(self, vectors, ids=None, partition_keys=None, partition_offsets=None,
              partition_sizes=None) -> None:
        """Replaces the whole base with ``vectors`` (shape (n, dim); dim becomes
        the index's dimension) and their ``ids`` (default 0..n-1).

        Partitions are contiguous runs of rows: partition ``partition_keys[p]``
        (ascending) spans ``partition_sizes[p]`` rows from row
        ``partition_offsets[p]``. Omit all three for no partitions, or use
        :func:`group_by_partition` to lay rows out from labels. The delta,
        tombstones, metadata, IVF indexes and version are kept.

        Raises ValueError, changing nothing, on malformed arrays and when the
        library rejects the base: an id outside [0, 2**40), more than 2**40
        rows or floats, or a new dimension while the index holds delta rows or
        IVF indexes.
        """
        h = self._handle()
        v = _as(vectors, np.float32, "vectors", 2)
        n, dim = v.shape
        if dim > _I32_MAX:
            raise ValueError(f"dimension {dim} does not fit in int32")
        ids = np.arange(n, dtype=np.int64) if ids is None else self._ids(ids)
        if len(ids) != n:
            raise ValueError(f"got {n} vectors but {len(ids)} ids")
        parts = (partition_keys, partition_offsets, partition_sizes)
        if all(x is None for x in parts):
            keys = np.empty(0, np.int64)
            offsets = sizes = np.empty(0, np.int32)
        elif any(x is None for x in parts):
            raise ValueError("give partition_keys, partition_offsets and partition_sizes together")
        else:
            keys = _as(partition_keys, np.int64, "partition_keys", 1)
            offsets = _as(partition_offsets, np.int32, "partition_offsets", 1)
            sizes = _as(partition_sizes, np.int32, "partition_sizes", 1)
            if not len(keys) == len(offsets) == len(sizes):
                raise ValueError("partition arrays must have the same length")
            _count(len(keys), "partitions")
            if np.any(np.diff(keys) < 0):
                raise ValueError("partition_keys must be ascending")
            end = offsets.astype(np.int64) + sizes
            if len(keys) and (offsets.min() < 0 or sizes.min() < 0 or end.max() > n):
                raise ValueError(f"every partition must lie within the {n} rows")
        rc = _lib.zv_index_build(h, _ptr(v), n, dim, _ptr(ids), _ptr(keys), _ptr(offsets),
                                 _ptr(sizes), len(keys))
        if rc != 0:
            raise ValueError("build rejected, index unchanged: " + self._build_reason(n, dim, ids))

    def _build_reason(self, n, dim, ids) -> str:
        if len(ids) and (ids.min() < 0 or ids.max() >= 2**40):
            return "every id must lie in [0, 2**40)"
        if n > 2**40 or n * dim > 2**40:
            return "at most 2**40 rows and 2**40 floats"
        if dim != self.dim:
            return (f"dimension {dim} differs from the index's {self.dim} while it holds "
                    "delta rows or IVF indexes")
        return "arguments outside the library's limits"

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
        a call wins). Returns the version after the call."""
        h = self._handle()
        v = self._vectors(vectors)
        ids = self._ids(ids)
        if len(ids) != len(v):
            raise ValueError(f"got {len(v)} vectors but {len(ids)} ids")
        return int(_lib.zv_index_insert(h, _ptr(v), _ptr(ids), _count(len(ids), "ids")))

    def delete(self, ids) -> int:
        """Deletes ids by tombstone (rows or not). Returns the version after
        the call. Base searches and IVF searches still see deleted base rows."""
        h = self._handle()
        ids = self._ids(ids)
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
    #
    # Each takes one query (shape (dim,)) and returns a SearchResult trimmed
    # at the first empty slot, or with raw=True every slot the library wrote
    # (EMPTY_ID / EMPTY_SCORE in unreached ones). A 2-D query array (nq, dim)
    # gives (nq, k) arrays, padded with the empty values.

    def search(self, query, k: int, raw: bool = False) -> SearchResult:
        """Exact top-k over all base rows (no delta, no tombstones)."""
        h = self._handle()
        return self._topk(lambda q, k, i, s: _lib.zv_index_search_full(h, q, k, i, s),
                          query, k, raw)

    def search_partition(self, partition_key: int, query, k: int,
                         raw: bool = False) -> SearchResult:
        """Exact top-k over the base rows of one partition; empty when the key
        is absent."""
        h, key = self._handle(), int(partition_key)
        return self._topk(lambda q, k, i, s: _lib.zv_index_search_partition(h, key, q, k, i, s),
                          query, k, raw)

    def search_base_ids(self, ids, query, k: int, raw: bool = False) -> SearchResult:
        """Top-k over chosen base ids (each resolved to its base row; ids
        without one are passed over). No delta, no tombstones."""
        h, ids = self._handle(), self._ids(ids)
        n = _count(len(ids), "ids")
        return self._topk(lambda q, k, i, s: _lib.zv_index_scatter_topk(h, _ptr(ids), n, q, k, i, s),
                          query, k, raw)

    def search_candidates(self, ids, query, k: int, raw: bool = False) -> SearchResult:
        """Top-k over candidate ids under the current writes: each scored with
        its delta row, else its base row; deleted ids and ids without a row are
        passed over. Works without a base."""
        h, ids = self._handle(), self._ids(ids)
        n = _count(len(ids), "ids")
        return self._topk(lambda q, k, i, s: _lib.zv_index_search_mvcc(h, _ptr(ids), n, q, k, i, s),
                          query, k, raw)

    def search_ivf(self, key: int, query, k: int, raw: bool = False) -> SearchResult:
        """Approximate top-k through the IVF index under ``key``: probes the
        nprobe best-scoring centroids' lists over the base. Raises ValueError
        when ``key`` is not registered."""
        h, key = self._handle(), _key(key)
        if not _lib.zv_index_has_ivf(h, key):
            raise ValueError(f"no IVF index registered under key {key}")
        return self._topk(lambda q, k, i, s: _lib.zv_index_search_ivf(h, key, q, k, i, s),
                          query, k, raw)

    def search_filtered(self, query, k: int, primary: Optional[int] = None,
                        column: Optional[int] = None, value: Optional[int] = None,
                        raw: bool = False) -> SearchResult:
        """Exact top-k over the visible rows that pass a metadata filter:
        none given passes every row, ``primary=v`` rows whose primary value is
        v, ``column=j, value=v`` rows whose column j holds v. Delta rows come
        before base rows, so they win ties."""
        h = self._handle()
        kind, col, val = _filter(primary, column, value)
        return self._topk(
            lambda q, k, i, s: _lib.zv_index_search_filtered(h, kind, col, val, q, k, i, s),
            query, k, raw)

    # -- partition tuner ---------------------------------------------------

    def oversized_partitions(self, min_rows: int) -> Tuple[np.ndarray, np.ndarray]:
        """Partitions with at least ``min_rows`` rows, in partition order:
        ``(keys, sizes)``."""
        h = self._handle()
        p = self.partition_count
        keys = np.empty(p, dtype=np.int64)
        sizes = np.empty(p, dtype=np.int64)
        min_rows = max(min(int(min_rows), _I32_MAX), -(2**31))
        n = _lib.zv_index_tuner_oversized(h, min_rows, _ptr(keys), _ptr(sizes))
        return keys[:n], sizes[:n]

    # -- IVF ---------------------------------------------------------------

    def set_ivf(self, key: int, centroids, list_ids, list_offsets, nprobe: int) -> None:
        """Registers, or replaces whole, the IVF index under ``key`` (any
        64-bit value): ``centroids`` of shape (nlist, dim), the inverted lists
        concatenated in ``list_ids`` and cut by ``list_offsets`` (nlist + 1
        offsets; list c is list_ids[list_offsets[c]:list_offsets[c+1]]), and
        the probe count. :func:`ivf_lists` builds the two list arrays."""
        h, key = self._handle(), _key(key)
        c = self._vectors(centroids, "centroids")
        list_ids = self._ids(list_ids, "list_ids")
        offsets = _as(list_offsets, np.int32, "list_offsets", 1)
        nlist = _count(len(c), "centroids")
        if len(offsets) != nlist + 1:
            raise ValueError(f"list_offsets must hold nlist + 1 = {nlist + 1} values, "
                             f"got {len(offsets)}")
        _lib.zv_index_set_ivf(h, key, nlist, int(nprobe), _ptr(c), _ptr(list_ids), _ptr(offsets),
                              _count(len(list_ids), "list_ids"))

    def set_ivf_nprobe(self, key: int, nprobe: int) -> None:
        """Sets the probe count of a registered IVF index; ValueError when
        ``key`` is not registered."""
        if _lib.zv_index_set_ivf_nprobe(self._handle(), _key(key), int(nprobe)) != 0:
            raise ValueError(f"no IVF index registered under key {_key(key)}")

    def has_ivf(self, key: int) -> bool:
        return bool(_lib.zv_index_has_ivf(self._handle(), _key(key)))

    def clear_ivf(self) -> None:
        """Discards every IVF index."""
        _lib.zv_index_clear_ivf(self._handle())

    # -- row metadata and filters -----------------------------------------

    @property
    def column_count(self) -> int:
        """Number of metadata columns."""
        return int(_lib.zv_index_export_rowmeta(self._handle(), _ptr(None), 0, _ptr(None),
                                                    _ptr(None)))

    def set_rowmeta(self, ids, primary, columns=None) -> None:
        """Writes metadata for ``ids``: a primary value each and, optionally,
        ``columns`` of shape (n, column_count). The index widens to
        column_count columns; ValueError, changing nothing, when that is fewer
        than it already has (columns never shrink)."""
        h = self._handle()
        ids = self._ids(ids)
        primary = self._ids(primary, "primary")
        n = _count(len(ids), "ids")
        if len(primary) != n:
            raise ValueError(f"got {n} ids but {len(primary)} primary values")
        if columns is None:
            cols = np.empty((n, 0), dtype=np.int64)
        else:
            cols = _as(columns, np.int64, "columns")
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
        ids = self._ids(ids)
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


def _filter(primary, column, value):
    """(kind, column, value) of the C filter triple."""
    if primary is not None:
        if column is not None or value is not None:
            raise ValueError("filter on primary=... or on column=..., value=..., not both")
        return 1, 0, _int64(primary, "primary")
    if column is None and value is None:
        return 0, 0, 0
    if column is None or value is None:
        raise ValueError("a column filter needs both column= and value=")
    column = int(column)
    if not 0 <= column <= _I32_MAX:
        raise ValueError(f"column must be a column number >= 0, got {column}")
    return 2, column, _int64(value, "value")


def _int64(v, name) -> int:
    v = int(v)
    if not -(2**63) <= v < 2**63:
        raise ValueError(f"{name} {v} is not an int64")
    return v
