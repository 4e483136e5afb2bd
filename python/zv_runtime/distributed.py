"""An index spread over the workers of a Dask cluster that answers exactly
what one :class:`zv_runtime.Index` given the same calls answers, ids and
score bits included.

``ShardedIndex(client, dim, shards=None, tag=0)`` keeps one zv index per
shard inside a Dask actor on a worker (one shard per worker by default). It
has the methods of :class:`~zv_runtime.Index` that a scaled-out host needs:
``build``, ``insert``, ``delete``, ``set_rowmeta``, ``set_ivf``,
``set_ivf_nprobe``, ``has_ivf``, ``clear_ivf``, ``visible_count``, the four
searches (one query or a 2-D batch), ``stats`` and ``close`` (and a ``with``
block), with the same arguments and return types.

Layout, and why the answers match one index:

- **Base rows** are cut into contiguous row ranges, one per shard, in shard
  order, cut at partition boundaries where the partitions allow it. A full
  or partition search offers rows in row order, so each shard's top-k, put
  side by side in shard order and stably sorted by score, is the one index's
  top-k. A partition that straddles a cut is searched on both shards.
- **Writes** of an id go to its home shard, picked from the id by a fixed
  hash; that shard holds the id's delta row and its real tombstone. Every
  other shard gets a tombstone for the id: once an id has been written, its
  base rows are never visible again (an insert shadows them, a delete hides
  them, and only an insert undoes a delete), so hiding them everywhere else
  is exact, and stays exact after a rebuild moves the id's base rows.
- **Walk order.** Each home shard remembers, for every delta row it holds,
  the place of its first insertion (write number, position in the call).
  The filtered search merges on (score, place): delta rows by that place,
  then base rows by shard order, which is row order.
- **IVF** entries are registered on every shard, each shard keeping only the
  listed ids whose base row it holds (for an id on several rows, the shard
  of the last one: the row an id lookup finds). Same centroids, same probes;
  each hit carries its place in the offer order (probe rank, position in
  the list), and the merge sorts on (score, place).
- **Metadata** is replicated on every shard: any shard may show a row of an
  id, and the filter reads the id's metadata where the row is.

Limits:

- A base built from a ``dask.array`` with ``ids`` given as a dask array is
  assumed to hold each id on one shard only. If an id has base rows on two
  shards, ``search_ivf`` scores the last row of each such shard instead of
  the single last row. With NumPy ids (or the default ids) this case is
  handled exactly.
- Every write reaches every shard (the tombstones above), so a write needs
  all shards alive. Metadata costs its size on every worker.
- The write counter must stay below 2**30 writes.
- An IVF entry that lists an id more than once is searched exactly but
  places those ids' hits one by one in Python, which is slower.

Faults: when a worker holding shards dies, its shards are lost for good (their
data lived only there). A call that needs a lost shard raises
:class:`ShardLostError` naming it; a search with ``allow_partial=True``
answers from the live shards and lists the missing ones in the result's
``missing_shards``. A write that returned has been applied on every shard; a
write that raised may have been applied on the shards that were alive.

Like :class:`~zv_runtime.Index`, one ``ShardedIndex`` must not be written while
another call runs on it.
"""

from __future__ import annotations

import asyncio
from typing import List, Optional, Sequence

import numpy as np

import zv_runtime as _zv
from zv_runtime import EMPTY_ID, EMPTY_SCORE, Index, IndexStats, SearchResult

__all__ = ["ShardLostError", "ShardedIndex", "ShardedSearchResult"]

_EMPTY_SCORE32 = np.float32(EMPTY_SCORE)
_I32_MAX = 2**31 - 1
_ID_LIMIT = 2**40
# Walk places: delta rows by (write number << 32 | position in the call),
# base rows after every delta row, by the first global row of their shard.
_BASE_PLACE = 1 << 62


class ShardLostError(RuntimeError):
    """A call needed shards whose worker is gone. ``shards`` lists them."""

    def __init__(self, shards: Sequence[int], addresses: Sequence[str]):
        self.shards = tuple(shards)
        where = ", ".join(f"{s} (worker {a})" for s, a in zip(shards, addresses))
        super().__init__(f"sharded index: shard(s) lost: {where}")


class ShardedSearchResult(SearchResult):
    """A :class:`~zv_runtime.SearchResult` that also says which shards did not
    answer (only ever non-empty with ``allow_partial=True``)."""

    missing_shards: tuple = ()


# --------------------------------------------------------------------------
# Argument checks (the same rules as Index)
# --------------------------------------------------------------------------


def _arr(a, dtype, name):
    if isinstance(a, np.ndarray) and a.dtype == dtype and a.flags.c_contiguous:
        return a
    src = np.asarray(a)
    if dtype == np.int64 and src.size and src.dtype.kind not in "iub":
        raise ValueError(f"{name} must hold integers, got dtype {src.dtype}")
    if dtype == np.int64 and src.dtype.kind == "u" and src.size and src.max() > 2**63 - 1:
        raise ValueError(f"{name} holds values beyond the int64 range")
    return np.ascontiguousarray(src, dtype=dtype)


def _ids(a, name="ids"):
    arr = _arr(a, np.int64, name)
    if arr.ndim == 0:
        arr = arr.reshape(1)
    if arr.ndim != 1:
        raise ValueError(f"{name} must be 1-dimensional, got shape {arr.shape}")
    return arr


def _rows(a, dim, name="vectors"):
    arr = _arr(a, np.float32, name)
    if arr.ndim == 1 and dim > 0 and arr.size % dim == 0 and arr.size:
        arr = arr.reshape(-1, dim)
    if arr.ndim != 2 or arr.shape[1] != max(dim, 0):
        raise ValueError(f"{name} must have shape (n, {dim}), got {arr.shape}")
    return arr


def _count(n, name):
    if n > _I32_MAX:
        raise ValueError(f"{name}: at most {_I32_MAX} per call, got {n}")
    return n


def _key(key):
    key = int(key)
    if not -(2**63) <= key < 2**64:
        raise ValueError(f"IVF key {key} is not a 64-bit value")
    return key & (2**64 - 1)


def _filter_args(primary, column, value):
    """Index.search_filtered's filter arguments, checked the same way."""
    if primary is not None:
        if column is not None or value is not None:
            raise ValueError("filter on primary=... or on column=..., value=..., not both")
        return dict(primary=int(primary))
    if column is None and value is None:
        return {}
    if column is None or value is None:
        raise ValueError("a column filter needs both column= and value=")
    if not 0 <= int(column) <= _I32_MAX:
        raise ValueError(f"column must be a column number >= 0, got {column}")
    return dict(column=int(column), value=int(value))


def _home(ids: np.ndarray, shards: int) -> np.ndarray:
    """The home shard of each id: a fixed multiplicative hash."""
    h = ids.view(np.uint64) * np.uint64(0x9E3779B97F4A7C15)
    return ((h >> np.uint64(33)) % np.uint64(shards)).astype(np.int64)


def _lists(list_ids: np.ndarray, offsets: np.ndarray):
    """Every (list, position) an IVF search can meet, lists in number order,
    positions ascending: list c covers positions offsets[c] .. offsets[c+1]-1
    that lie within list_ids (positions outside are skipped, as the library
    does)."""
    n = len(list_ids)
    off = offsets.astype(np.int64)
    lo = np.clip(off[:-1], 0, n)
    hi = np.clip(off[1:], 0, n)
    cnt = np.maximum(hi - lo, 0)
    lst = np.repeat(np.arange(len(cnt), dtype=np.int64), cnt)
    first = np.cumsum(cnt) - cnt
    pos = np.arange(int(cnt.sum()), dtype=np.int64) - np.repeat(first - lo, cnt)
    return lst, pos


def _member(sorted_values: np.ndarray, values: np.ndarray):
    """(is each of ``values`` in ``sorted_values``, where it is or would go)."""
    at = np.searchsorted(sorted_values, values)
    if not len(sorted_values):
        return np.zeros(values.shape, bool), at
    return sorted_values[np.minimum(at, len(sorted_values) - 1)] == values, at


# --------------------------------------------------------------------------
# One shard, living in a Dask actor on a worker
# --------------------------------------------------------------------------


class _IvfPart:
    """This shard's part of one IVF entry."""

    def __init__(self, centroids, list_ids, offsets, nprobe):
        self.centroids, self.list_ids, self.offsets = centroids, list_ids, offsets
        self.nprobe = int(nprobe)
        self.nlist = len(centroids)
        self.probe = None  # centroids as a base: its full search gives the probe order


class _Shard:
    def __init__(self, dim, tag):
        self.index = Index(dim, tag)
        self.start = 0                          # global row of the first base row
        self.held = np.empty(0, np.int64)       # sorted base ids whose lookups land here
        self.delta_ids = np.empty(0, np.int64)  # sorted ids of delta rows held here
        self.delta_place = np.empty(0, np.int64)
        self.ivf = {}

    def close(self):
        self.index.close()
        for part in self.ivf.values():
            if part.probe is not None:
                part.probe.close()

    # -- writes --------------------------------------------------------------

    def build(self, vectors, ids, keys, offsets, sizes, start, shadowed):
        vectors = np.ascontiguousarray(vectors, dtype=np.float32)
        ids = np.ascontiguousarray(ids, dtype=np.int64)
        if len(keys):
            self.index.build(vectors, ids, keys, offsets, sizes)
        else:
            self.index.build(vectors, ids)
        self.start = int(start)
        self.held = np.setdiff1d(np.unique(ids), shadowed, assume_unique=True)
        for key in self.ivf:
            self._register(key)
        return len(ids)

    def write(self, number, vectors, ids, positions, tombstones):
        if len(tombstones):
            self.index.delete(tombstones)
        if len(ids):
            # A new delta row takes its place at the id's first occurrence.
            uniq, first = np.unique(ids, return_index=True)
            old, at = _member(self.delta_ids, uniq)
            new, where = uniq[~old], at[~old]
            place = (np.int64(number) << np.int64(32)) | positions[first[~old]]
            self.delta_ids = np.insert(self.delta_ids, where, new)
            self.delta_place = np.insert(self.delta_place, where, place)
            self.index.insert(vectors, ids)

    def delete(self, ids):
        self.index.delete(ids)

    def set_rowmeta(self, ids, primary, columns):
        self.index.set_rowmeta(ids, primary, columns)

    def set_ivf(self, key, centroids, list_ids, offsets, nprobe):
        old = self.ivf.get(key)
        if old is not None and old.probe is not None:
            old.probe.close()
        self.ivf[key] = _IvfPart(centroids, list_ids, offsets, nprobe)
        self._register(key)

    def set_ivf_nprobe(self, key, nprobe):
        self.ivf[key].nprobe = int(nprobe)
        self.index.set_ivf_nprobe(key, nprobe)

    def clear_ivf(self):
        for part in self.ivf.values():
            if part.probe is not None:
                part.probe.close()
        self.ivf = {}
        self.index.clear_ivf()

    def _register(self, key):
        """Registers the part of entry `key` whose ids this shard holds, in the
        entry's list and position order."""
        p = self.ivf[key]
        lst, pos = _lists(p.list_ids, p.offsets)
        ids = p.list_ids[pos]
        keep = np.isin(ids, self.held)
        lst, pos, ids = lst[keep], pos[keep], ids[keep]
        offsets = np.zeros(p.nlist + 1, np.int32)
        np.cumsum(np.bincount(lst, minlength=p.nlist), out=offsets[1:])
        self.index.set_ivf(key, p.centroids, ids, offsets, p.nprobe)
        # Both fit in int32: list numbers and positions come from int32 counts.
        p.kept_list, p.kept_pos = lst.astype(np.int32), pos.astype(np.int32)
        order = np.argsort(ids, kind="stable")
        p.sorted_ids, p.sorted_at = ids[order], order.astype(np.int32)
        p.repeats = bool(len(ids) and np.any(p.sorted_ids[1:] == p.sorted_ids[:-1]))
        if p.probe is None and p.nlist > 0:
            p.probe = Index(p.centroids.shape[1])
            p.probe.build(p.centroids)

    # -- reads ---------------------------------------------------------------

    def visible_count(self):
        return self.index.visible_count()

    def delta_count(self):
        count = self.index.delta_count
        return count() if callable(count) else count

    def search(self, kind, queries, k, arg):
        """(ids, scores, places or None) for a 2-D batch; places order hits of
        different shards the way the one index offers them."""
        index = self.index
        if kind == "full":
            r = index.search(queries, k)
        elif kind == "partition":
            r = index.search_partition(arg, queries, k)
        elif kind == "filtered":
            r = index.search_filtered(queries, k, **arg)
        else:
            r = index.search_ivf(arg, queries, k)
        ids, scores = np.asarray(r[0]).reshape(len(queries), -1), np.asarray(r[1]).reshape(len(queries), -1)
        if kind == "filtered":
            return ids, scores, self._walk_places(ids, scores)
        if kind == "ivf":
            return ids, scores, self._offer_places(arg, queries, ids, scores)
        return ids, scores, None

    def _walk_places(self, ids, scores):
        places = np.full(ids.shape, _BASE_PLACE + self.start, np.int64)
        delta, at = _member(self.delta_ids, ids)
        delta &= scores != _EMPTY_SCORE32
        places[delta] = self.delta_place[at[delta]]
        return places

    def _offer_places(self, key, queries, ids, scores):
        """Each hit's place in the one index's offer order: probe rank << 32 |
        position in the listed ids."""
        p = self.ivf[key]
        places = np.full(ids.shape, np.iinfo(np.int64).max, np.int64)
        hit = scores != _EMPTY_SCORE32
        if not hit.any():
            return places
        nq = len(queries)
        probes = min(p.nprobe, p.nlist)
        order = np.asarray(p.probe.search(queries, probes)[0]).reshape(nq, -1)[:, :probes]
        # Probe rank of list c for query q, looked up by q * nlist + c (lists
        # that were not probed rank last).
        q, r = np.nonzero(order >= 0)
        probed = q * p.nlist + order[q, r]
        by = np.argsort(probed)
        probed, probe_rank = probed[by], r[by]

        def rank(qs, cs):
            found, at = _member(probed, qs * p.nlist + cs)
            return np.where(found, probe_rank[np.minimum(at, len(probed) - 1)], p.nlist)

        qi, si = np.nonzero(hit)
        hid = ids[qi, si]
        at = np.searchsorted(p.sorted_ids, hid)
        el = p.sorted_at[at]
        lst, pos = p.kept_list[el].astype(np.int64), p.kept_pos[el].astype(np.int64)
        if p.repeats:
            # An id listed more than once: its j-th hit in a query is its j-th
            # probed occurrence in offer order.
            end = np.searchsorted(p.sorted_ids, hid, side="right")
            for n in np.flatnonzero(end - at > 1):
                occ = p.sorted_at[at[n]:end[n]]
                rk = rank(qi[n], p.kept_list[occ].astype(np.int64))
                occ = occ[np.lexsort((p.kept_pos[occ], rk))]
                j = int(np.count_nonzero(hid[:n][qi[:n] == qi[n]] == hid[n]))
                lst[n], pos[n] = p.kept_list[occ[j]], p.kept_pos[occ[j]]
        places[qi, si] = (rank(qi, lst) << np.int64(32)) | pos
        return places


def _stage(shard_key, start, dim, shadowed, ids, keys, offsets, sizes, *chunks):
    """Runs on a shard's worker: builds the shard from dask chunks that were
    computed or fetched there, never through the client."""
    from distributed import get_worker

    worker = get_worker()
    actors = getattr(worker, "state", worker).actors
    vectors = (chunks[0] if len(chunks) == 1 else np.concatenate(chunks)) if chunks else None
    if ids is None:
        ids = np.arange(start, start + (0 if vectors is None else len(vectors)), dtype=np.int64)
    elif isinstance(ids, tuple):
        ids = np.concatenate(ids) if ids else np.empty(0, np.int64)
    if vectors is None:
        vectors = np.empty((0, dim), np.float32)
    return actors[shard_key].build(vectors, ids, keys, offsets, sizes, start, shadowed)


# --------------------------------------------------------------------------
# The coordinator, on the client
# --------------------------------------------------------------------------

_LOST = object()


class ShardedIndex:
    """An index over the workers of ``client``; see the module's docstring.

    ``shards`` is the number of shards (default: one per worker), placed on
    the workers in address order, round robin. ``dim`` and ``tag`` are those
    of :class:`~zv_runtime.Index`.
    """

    def __init__(self, client, dim: int, shards: Optional[int] = None, tag: int = 0):
        from distributed.protocol import to_serialize

        self._client = client
        self._serialize = to_serialize
        workers = sorted(client.scheduler_info()["workers"])
        if not workers:
            raise ValueError("the client's cluster has no workers")
        count = len(workers) if shards is None else int(shards)
        if count < 1:
            raise ValueError(f"shards must be >= 1, got {count}")
        self._addresses = [workers[s % len(workers)] for s in range(count)]
        self._futures = [client.submit(_Shard, int(dim), int(tag), actor=True, workers=[a],
                                       allow_other_workers=False, pure=False)
                         for a in self._addresses]
        client.gather(self._futures)
        self._lost = set()
        self._dim, self._tag = int(dim), int(tag)
        self._base_count = 0
        self._cuts = np.zeros(count + 1, np.int64)      # shard s holds rows cuts[s]..cuts[s+1]-1
        self._part_keys = np.empty(0, np.int64)
        self._part_offsets = np.empty(0, np.int64)
        self._part_sizes = np.empty(0, np.int64)
        self._version = 0
        self._mutated = False
        self._sealed = False
        self._ivf = {}  # key -> nlist
        self._has_delta = False
        self._closed = False

    # -- plumbing ------------------------------------------------------------

    @property
    def shards(self) -> int:
        return len(self._addresses)

    @property
    def shard_workers(self) -> List[str]:
        """The worker address of each shard."""
        return list(self._addresses)

    @property
    def shard_rows(self) -> List[tuple]:
        """The base rows of each shard, as (start, stop) in base row order."""
        return [(int(a), int(b)) for a, b in zip(self._cuts[:-1], self._cuts[1:])]

    def _check_open(self):
        if self._closed:
            raise ValueError("operation on a closed ShardedIndex")

    def _lost_now(self, shards):
        for s in shards:
            if s not in self._lost and self._futures[s].status != "finished":
                self._lost.add(s)
        return [s for s in shards if s in self._lost]

    def _raise_lost(self, lost):
        lost = sorted(lost)
        raise ShardLostError(lost, [self._addresses[s] for s in lost])

    def _call(self, calls, allow_partial=False):
        """Runs ``shard.method(*args)`` for each (shard, method, args), all at
        once, one message per shard. Returns {shard: result} and the lost
        shards among them (raising ShardLostError unless allow_partial)."""
        self._check_open()
        lost = self._lost_now([c[0] for c in calls])
        if lost and not allow_partial:
            self._raise_lost(lost)
        calls = [c for c in calls if c[0] not in self._lost]
        outcome = self._client.sync(self._run, calls) if calls else []
        results, errors = {}, []
        for (s, _, _), out in zip(calls, outcome):
            if out is _LOST:
                self._lost.add(s)
                lost.append(s)
            elif out[0] == "OK":
                results[s] = out[1]
            else:
                errors.append(out[1])
        if errors:
            raise errors[0]
        if lost and not allow_partial:
            self._raise_lost(lost)
        return results, sorted(set(lost))

    async def _run(self, calls):
        return await asyncio.gather(*(self._one(*c) for c in calls))

    async def _one(self, s, method, args):
        future = self._futures[s]
        ser = self._serialize
        task = asyncio.ensure_future(self._client.rpc(self._addresses[s]).actor_execute(
            actor=future.key, function=method, args=[ser(a) for a in args], kwargs={}))
        while True:
            done, _ = await asyncio.wait({task}, timeout=0.1)
            if done:
                break
            if future.status != "finished":  # the scheduler saw the worker go
                task.cancel()
                return _LOST
        try:
            reply = task.result()
        except Exception:  # the connection broke, or the actor is gone
            return _LOST
        if reply["status"] == "OK":
            return ("OK", reply["result"])
        return ("error", reply["exception"])

    def _all(self, method, *args):
        return self._call([(s, method, args) for s in range(self.shards)])[0]

    # -- lifecycle -------------------------------------------------------------

    def close(self) -> None:
        """Releases every shard. Safe to call twice; lost shards are skipped."""
        if self._closed:
            return
        try:
            live = [s for s in range(self.shards) if not self._lost_now([s])]
            if live:
                self._call([(s, "close", ()) for s in live], allow_partial=True)
        finally:
            self._closed = True
            self._client.cancel(self._futures)
            self._futures = []

    def __enter__(self) -> "ShardedIndex":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    @property
    def closed(self) -> bool:
        return self._closed

    def __repr__(self) -> str:
        if self._closed:
            return "<zv_runtime.ShardedIndex closed>"
        return (f"<zv_runtime.ShardedIndex shards={self.shards} dim={self._dim} "
                f"base={self._base_count} version={self._version} lost={sorted(self._lost)}>")

    # -- statistics ------------------------------------------------------------

    def stats(self) -> IndexStats:
        """(base_count, dim, tag, partition_count), as one index reports them."""
        self._check_open()
        return IndexStats(self._base_count, self._dim, self._tag, len(self._part_keys))

    @property
    def dim(self) -> int:
        return self._dim

    @property
    def version(self) -> int:
        return self._version

    @property
    def mutated(self) -> bool:
        return self._mutated

    @property
    def sealed(self) -> bool:
        return self._sealed

    @property
    def delta_count(self) -> int:
        return int(sum(self._all("delta_count").values()))

    def visible_count(self) -> int:
        return int(sum(self._all("visible_count").values()))

    # -- base ------------------------------------------------------------------

    def build(self, vectors, ids=None, partition_keys=None, partition_offsets=None,
              partition_sizes=None) -> None:
        """Replaces the whole base, as :meth:`Index.build`. ``vectors`` may be a
        NumPy array or a ``dask.array`` of shape (n, dim); a dask array's
        chunks are computed and sent to their shards by the workers, never
        through the client (``ids`` may then be a dask array too)."""
        self._check_open()
        lazy = hasattr(vectors, "dask") and hasattr(vectors, "chunks")
        if lazy:
            if vectors.ndim != 2:
                raise ValueError(f"vectors must be 2-dimensional, got shape {vectors.shape}")
            n, dim = (int(x) for x in vectors.shape)
        else:
            vectors = _arr(vectors, np.float32, "vectors")
            if vectors.ndim != 2:
                raise ValueError(f"vectors must be 2-dimensional, got shape {vectors.shape}")
            n, dim = vectors.shape
        if dim > _I32_MAX:
            raise ValueError(f"dimension {dim} does not fit in int32")
        lazy_ids = hasattr(ids, "dask")
        if lazy_ids and not lazy:  # the vectors pass through the client anyway
            ids, lazy_ids = _compute(self._client, ids)[0], False
        if ids is not None and not lazy_ids:
            ids = _ids(ids)
        if ids is not None and len(ids) != n:
            raise ValueError(f"got {n} vectors but {len(ids)} ids")
        keys, offsets, sizes = self._partitions(n, partition_keys, partition_offsets, partition_sizes)
        reason = None
        if ids is not None and n:
            lo, hi = (int(x) for x in ((ids.min(), ids.max()) if not lazy_ids
                                       else _compute(self._client, ids.min(), ids.max())))
            if lo < 0 or hi >= _ID_LIMIT:
                reason = "every id must lie in [0, 2**40)"
        if reason is None and (n > 2**40 or n * dim > 2**40):
            reason = "at most 2**40 rows and 2**40 floats"
        if reason is None and dim != self._dim and (self._has_delta or self._ivf):
            reason = (f"dimension {dim} differs from the index's {self._dim} while it holds "
                      "delta rows or IVF indexes")
        if reason:
            raise ValueError("build rejected, index unchanged: " + reason)
        self._check_live(range(self.shards))

        if lazy:
            cuts, staged = self._stage_lazy(vectors, ids, n, dim, keys, offsets, sizes)
        else:
            cuts = self._cut(n, offsets, sizes)
            shadowed = self._shadowed(ids, cuts)
            calls = []
            for s in range(self.shards):
                a, b = cuts[s], cuts[s + 1]
                lk, lo, ls = self._local_parts(a, b, offsets, sizes)
                sids = np.arange(a, b, dtype=np.int64) if ids is None else ids[a:b]
                calls.append((s, "build", (vectors[a:b], sids, lk, lo, ls, a, shadowed[s])))
            self._call(calls)
        self._cuts = cuts
        self._base_count, self._dim = n, dim
        self._part_keys, self._part_offsets, self._part_sizes = keys, offsets, sizes
        self._sealed = True

    def _check_live(self, shards):
        lost = self._lost_now(list(shards))
        if lost:
            self._raise_lost(lost)

    def _partitions(self, n, keys, offsets, sizes):
        parts = (keys, offsets, sizes)
        if all(x is None for x in parts):
            return np.empty(0, np.int64), np.empty(0, np.int64), np.empty(0, np.int64)
        if any(x is None for x in parts):
            raise ValueError("give partition_keys, partition_offsets and partition_sizes together")
        keys = _arr(keys, np.int64, "partition_keys")
        offsets = _arr(offsets, np.int32, "partition_offsets")
        sizes = _arr(sizes, np.int32, "partition_sizes")
        if not keys.ndim == offsets.ndim == sizes.ndim == 1:
            raise ValueError("partition arrays must be 1-dimensional")
        if not len(keys) == len(offsets) == len(sizes):
            raise ValueError("partition arrays must have the same length")
        _count(len(keys), "partitions")
        if np.any(np.diff(keys) < 0):
            raise ValueError("partition_keys must be ascending")
        offsets, sizes = offsets.astype(np.int64), sizes.astype(np.int64)
        if len(keys) and (offsets.min() < 0 or sizes.min() < 0 or (offsets + sizes).max() > n):
            raise ValueError(f"every partition must lie within the {n} rows")
        return keys, offsets, sizes

    def _cut(self, n, offsets, sizes, allowed=None):
        """Shard boundaries near equal shares of the rows, moved to the nearest
        point that no partition straddles where one is close (and to a chunk
        boundary when ``allowed`` lists them)."""
        count = self.shards
        target = (np.arange(count + 1, dtype=np.int64) * n) // count
        if allowed is None:
            inside = np.zeros(n + 2, np.int64)
            real = sizes > 1
            np.add.at(inside, offsets[real] + 1, 1)
            np.add.at(inside, offsets[real] + sizes[real], -1)
            allowed = np.flatnonzero(np.cumsum(inside)[: n + 1] == 0)
            slack = max(n // (2 * count), 1)
        else:
            slack = n + 1
        cuts = target.copy()
        if len(allowed):
            at = np.clip(np.searchsorted(allowed, target), 1, len(allowed) - 1) if len(allowed) > 1 \
                else np.zeros(len(target), np.int64)
            left, right = allowed[np.maximum(at - 1, 0)], allowed[at]
            best = np.where(np.abs(target - left) <= np.abs(right - target), left, right)
            near = np.abs(best - target) <= slack
            cuts = np.where(near, best, target)
        cuts[0], cuts[-1] = 0, n
        return np.maximum.accumulate(cuts)

    def _local_parts(self, a, b, offsets, sizes):
        """Shard [a, b)'s piece of each partition, under the partition's number
        as key (ascending and unique, whatever the host's keys)."""
        lo = np.maximum(offsets, a)
        hi = np.minimum(offsets + sizes, b)
        keep = np.flatnonzero(hi > lo)
        return (keep.astype(np.int64), (lo[keep] - a).astype(np.int32),
                (hi[keep] - lo[keep]).astype(np.int32))

    def _shadowed(self, ids, cuts):
        """Per shard, the ids it holds whose last base row is on a later shard:
        id lookups must find that later row."""
        empty = [np.empty(0, np.int64)] * self.shards
        if ids is None or len(ids) == 0 or self.shards == 1:
            return empty
        n = len(ids)
        uniq, last_rev = np.unique(ids[::-1], return_index=True)
        if len(uniq) == n:
            return empty
        last = (n - 1 - last_rev)[np.searchsorted(uniq, ids)]
        owner_end = np.repeat(cuts[1:], np.diff(cuts))
        later = last >= owner_end
        return [np.unique(ids[cuts[s]:cuts[s + 1]][later[cuts[s]:cuts[s + 1]]])
                for s in range(self.shards)]

    def _stage_lazy(self, vectors, ids, n, dim, keys, offsets, sizes):
        import dask

        vectors = vectors.rechunk({1: -1}).astype(np.float32)
        bounds = np.concatenate([[0], np.cumsum(vectors.chunks[0])]).astype(np.int64)
        cuts = self._cut(n, offsets, sizes, allowed=bounds)
        chunks = vectors.to_delayed().ravel().tolist()
        id_chunks = None
        shadowed = self._shadowed(ids if isinstance(ids, np.ndarray) else None, cuts)
        if ids is not None and not isinstance(ids, np.ndarray):
            id_chunks = ids.rechunk((vectors.chunks[0],)).astype(np.int64).to_delayed().ravel().tolist()
        futures = []
        client = self._client
        for s in range(self.shards):
            a, b = cuts[s], cuts[s + 1]
            first, last = np.searchsorted(bounds, a), np.searchsorted(bounds, b)
            lk, lo, ls = self._local_parts(a, b, offsets, sizes)
            mine = client.compute(chunks[first:last], workers=[self._addresses[s]],
                                  allow_other_workers=True)
            sid = ids[a:b] if isinstance(ids, np.ndarray) else None
            if id_chunks is not None:
                sid = client.compute(dask.delayed(tuple)(id_chunks[first:last]),
                                     workers=[self._addresses[s]], allow_other_workers=True)
            futures.append(client.submit(_stage, self._futures[s].key, int(a), dim, shadowed[s],
                                         sid, lk, lo, ls, *mine, workers=[self._addresses[s]],
                                         allow_other_workers=False, pure=False))
        try:
            client.gather(futures)
        except Exception:
            self._check_live(range(self.shards))
            raise
        return cuts, futures

    # -- writes ----------------------------------------------------------------

    def _write(self, make_args):
        self._check_live(range(self.shards))
        self._version += 1
        self._mutated = True
        self._call([(s, *make_args(s)) for s in range(self.shards)])
        return self._version

    def insert(self, vectors, ids) -> int:
        """Upserts rows, as :meth:`Index.insert`; returns the version."""
        self._check_open()
        v = _rows(vectors, self._dim)
        ids = _ids(ids)
        if len(ids) != len(v):
            raise ValueError(f"got {len(v)} vectors but {len(ids)} ids")
        _count(len(ids), "ids")
        if not len(ids):
            return self._version
        home = _home(ids, self.shards)
        number = self._version + 1
        at = [np.flatnonzero(home == s) for s in range(self.shards)]
        version = self._write(lambda s: ("write", (number, v[at[s]], ids[at[s]], at[s],
                                                   np.unique(ids[home != s]))))
        self._has_delta = True
        return version

    def delete(self, ids) -> int:
        """Deletes ids by tombstone, as :meth:`Index.delete`; returns the version."""
        self._check_open()
        ids = _ids(ids)
        _count(len(ids), "ids")
        if not len(ids):
            return self._version
        return self._write(lambda s: ("delete", (ids,)))

    def set_rowmeta(self, ids, primary, columns=None) -> None:
        """Writes metadata, as :meth:`Index.set_rowmeta` (kept on every shard)."""
        self._check_open()
        ids = _ids(ids)
        primary = _ids(primary, "primary")
        if columns is not None:
            columns = _arr(columns, np.int64, "columns")
        self._check_live(range(self.shards))
        self._all("set_rowmeta", ids, primary, columns)

    # -- IVF -------------------------------------------------------------------

    def set_ivf(self, key: int, centroids, list_ids, list_offsets, nprobe: int) -> None:
        """Registers, or replaces whole, an IVF index, as :meth:`Index.set_ivf`."""
        self._check_open()
        key = _key(key)
        c = _rows(centroids, self._dim, "centroids")
        list_ids = _ids(list_ids, "list_ids")
        offsets = _arr(list_offsets, np.int32, "list_offsets")
        if offsets.ndim != 1:
            raise ValueError(f"list_offsets must be 1-dimensional, got shape {offsets.shape}")
        nlist = _count(len(c), "centroids")
        if len(offsets) != nlist + 1:
            raise ValueError(f"list_offsets must hold nlist + 1 = {nlist + 1} values, "
                             f"got {len(offsets)}")
        _count(len(list_ids), "list_ids")
        self._check_live(range(self.shards))
        self._all("set_ivf", key, c, list_ids, offsets, int(nprobe))
        self._ivf[key] = nlist

    def set_ivf_nprobe(self, key: int, nprobe: int) -> None:
        self._check_open()
        key = _key(key)
        if key not in self._ivf:
            raise ValueError(f"no IVF index registered under key {key}")
        self._check_live(range(self.shards))
        self._all("set_ivf_nprobe", key, int(nprobe))

    def has_ivf(self, key: int) -> bool:
        self._check_open()
        return _key(key) in self._ivf

    def clear_ivf(self) -> None:
        self._check_open()
        self._check_live(range(self.shards))
        self._all("clear_ivf")
        self._ivf = {}

    # -- searches --------------------------------------------------------------
    #
    # The result convention of Index: the last axis is the slot count m of
    # the search (min(k, rows) for the full and partition searches, k for
    # the IVF and filtered ones), unreached slots hold EMPTY_ID/EMPTY_SCORE.

    def search(self, query, k: int, allow_partial: bool = False) -> ShardedSearchResult:
        """Exact top-k over all base rows (no delta, no tombstones)."""
        k = self._k(k)
        m = min(k, self._base_count) if self._sealed else 0
        shards = [s for s in range(self.shards) if self._cuts[s + 1] > self._cuts[s]]
        return self._search("full", query, k, m, None, shards, allow_partial)

    def search_partition(self, partition_key: int, query, k: int,
                         allow_partial: bool = False) -> ShardedSearchResult:
        """Exact top-k over the base rows of one partition."""
        k = self._k(k)
        p = self._find_partition(int(partition_key)) if self._sealed else None
        if p is None:
            return self._search("partition", query, k, 0, None, [], allow_partial)
        a, b = self._part_offsets[p], self._part_offsets[p] + self._part_sizes[p]
        m = min(k, int(b - a))
        shards = [s for s in range(self.shards)
                  if max(a, self._cuts[s]) < min(b, self._cuts[s + 1])]
        return self._search("partition", query, k, m, int(p), shards, allow_partial)

    def search_ivf(self, key: int, query, k: int, allow_partial: bool = False) -> ShardedSearchResult:
        """Approximate top-k through the IVF index under ``key``; ValueError when
        it is not registered."""
        k = self._k(k)
        key = _key(key)
        if key not in self._ivf:
            raise ValueError(f"no IVF index registered under key {key}")
        m = k if self._ivf[key] > 0 else 0
        shards = [s for s in range(self.shards) if self._cuts[s + 1] > self._cuts[s]]
        return self._search("ivf", query, k, m, key, shards, allow_partial)

    def search_filtered(self, query, k: int, primary: Optional[int] = None,
                        column: Optional[int] = None, value: Optional[int] = None,
                        allow_partial: bool = False) -> ShardedSearchResult:
        """Exact top-k over the visible rows that pass a metadata filter."""
        k = self._k(k)
        arg = _filter_args(primary, column, value)
        return self._search("filtered", query, k, k, arg, list(range(self.shards)), allow_partial)

    def _k(self, k):
        self._check_open()
        k = int(k)
        if k < 0:
            raise ValueError(f"k must be >= 0, got {k}")
        return _count(k, "k")

    def _find_partition(self, key):
        """The partition a bisection over the keys lands on first, as the
        library searches."""
        keys = self._part_keys
        lo, hi = 0, len(keys) - 1
        while lo <= hi:
            mid = (lo + hi) // 2
            if keys[mid] == key:
                return mid
            if keys[mid] > key:
                hi = mid - 1
            else:
                lo = mid + 1
        return None

    def _search(self, kind, query, k, m, arg, shards, allow_partial):
        q = _arr(query, np.float32, "query")
        dim = max(self._dim, 0)
        single = q.ndim == 1
        if single:
            if q.shape != (dim,):
                raise ValueError(f"query must have shape ({self._dim},), got {q.shape}")
            q = q.reshape(1, dim)
        elif q.ndim != 2 or q.shape[1] != dim:
            raise ValueError(f"queries must have shape (nq, {self._dim}), got {q.shape}")
        nq = len(q)
        missing = ()
        if m > 0 and nq and shards:
            results, missing = self._call([(s, "search", (kind, q, k, arg)) for s in shards],
                                          allow_partial)
            ids, scores = _merge([results[s] for s in shards if s in results], nq, m)
        else:
            ids = np.full((nq, m), EMPTY_ID, np.int64)
            scores = np.full((nq, m), _EMPTY_SCORE32, np.float32)
        if single:
            ids, scores = ids[0], scores[0]
        out = ShardedSearchResult(ids, scores)
        out.missing_shards = tuple(missing)
        return out


def _merge(parts, nq, m):
    """Top m of the shards' hits, in shard order, ties by place (or by shard
    order when a search carries no places)."""
    ids = np.full((nq, m), EMPTY_ID, np.int64)
    scores = np.full((nq, m), _EMPTY_SCORE32, np.float32)
    if not parts:
        return ids, scores
    all_ids = np.concatenate([p[0] for p in parts], axis=1)
    all_scores = np.concatenate([p[1] for p in parts], axis=1)
    rank = -all_scores.astype(np.float64)
    rank[all_scores == _EMPTY_SCORE32] = np.inf
    if parts[0][2] is None:
        order = np.argsort(rank, axis=1, kind="stable")
    else:
        places = np.concatenate([p[2] for p in parts], axis=1)
        order = np.lexsort((places, rank), axis=1)
    take = order[:, :m]
    got_ids = np.take_along_axis(all_ids, take, axis=1)
    got_scores = np.take_along_axis(all_scores, take, axis=1)
    hit = got_scores != _EMPTY_SCORE32
    w = take.shape[1]
    ids[:, :w] = np.where(hit, got_ids, EMPTY_ID)
    scores[:, :w] = np.where(hit, got_scores, _EMPTY_SCORE32)
    return ids, scores


def _compute(client, *values):
    return client.compute(list(values), sync=True)
