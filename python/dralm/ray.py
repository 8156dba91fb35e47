"""A dralm database split into shards, each served by one Ray actor.

`ShardedDatabase` looks like `dralm.Database` to its caller. It owns N Ray actors; actor
i holds one `dralm.Database` in the directory ``path/shard-i``. A vector lives on the
shard chosen by a fixed hash of its id (CRC-32 of the UTF-8 bytes, modulo N), so the
same id lands on the same shard in every process and after every restart. Batch writes
are split per shard and sent as one call per shard, all in flight at once; searches
go to every shard at once (one call per shard per batch of queries) and the per-shard
top-k lists are merged by distance.

A manifest in ``path`` (``dralm-shards.json``) records the shard count and the
creation parameters, so a reopen needs only the path, and a reopen that asks for other
parameters is refused instead of routing ids to the wrong shards.

Importing this module imports Ray; ``import dralm`` alone never does.
"""

from __future__ import annotations

import functools
import heapq
import inspect
import itertools
import json
import math
import operator
import os
import traceback
import weakref
from collections.abc import Callable, Iterator, Mapping, Sequence
from types import TracebackType
from typing import Any, Literal, TypedDict, TypeVar

import numpy as np
import ray
import ray.exceptions

from dralm import _arguments
from dralm._shard import (
    MANIFEST_FORMAT,
    METRICS,
    MANIFEST_NAME,
    Columns,
    ShardActor,
    read_manifest,
    shard_of,
    write_manifest,
)

__all__ = ["MANIFEST_NAME", "SearchResult", "ShardUnavailableError", "ShardedDatabase",
           "ShardedStats"]

class ShardUnavailableError(RuntimeError):
    """A shard's actor is dead or restarting, so the call could not reach it.

    Acknowledged writes are in the shard's log; once Ray has restarted the actor (it
    reopens its directory and replays the log) the same call can be made again.
    """

    def __init__(self, message: str, shard: int) -> None:
        super().__init__(message)
        self.shard = shard


class ShardedStats(TypedDict):
    """`ShardedDatabase.stats()`: the keys of `Database.stats()` over all shards, and
    under "shards" each shard's own statistics in shard order."""

    num_vectors: int
    num_deleted: int
    num_layers: int
    avg_degree_layer0: float
    max_degree_layer0: int
    min_degree_layer0: int
    memory_vectors_bytes: int
    memory_graph_bytes: int
    memory_quantized_bytes: int
    uses_brute_force: bool
    uses_quantized_search: bool
    quantized_search_bits: int
    shards: list[dict[str, Any]]


class SearchResult:
    """One search hit of a sharded database: `id`, `distance` and `metadata`.

    It behaves like `dralm.SearchResult`: read-only attributes, `r[0]`, `r[1]`, `r[2]`,
    the same repr, and `metadata` parsed anew on every access.
    """

    __slots__ = ("_id", "_distance", "_metadata_text")

    def __init__(self, id: str, distance: float, metadata_text: str | None) -> None:
        self._id = id
        self._distance = distance
        self._metadata_text = metadata_text

    @property
    def id(self) -> str:
        return self._id

    @property
    def distance(self) -> float:
        return self._distance

    @property
    def metadata(self) -> dict[str, Any] | None:
        if self._metadata_text is None:
            return None
        value: dict[str, Any] = json.loads(self._metadata_text)
        return value

    def __getitem__(self, index: int) -> str | float | dict[str, Any] | None:
        position = operator.index(index)
        if position < 0:
            raise OverflowError("can't convert negative int to unsigned")
        if position == 0:
            return self._id
        if position == 1:
            return self._distance
        if position == 2:
            return self.metadata
        raise ValueError("index out of range")

    def __repr__(self) -> str:
        d = self._distance
        if math.isnan(d):
            shown = "NaN"
        elif math.isinf(d):
            shown = "inf" if d > 0 else "-inf"
        else:
            shown = f"{d:.4f}"
        return f"SearchResult(id='{self._id}', distance={shown})"


def _nan_last(distance: float) -> tuple[bool, float]:
    return (distance != distance, distance)


def _merge(parts: Sequence[Columns], k: int) -> list[SearchResult]:
    """The k nearest of several ascending hit lists, in ascending distance."""
    if len(parts) == 1:
        ids, distances, metadata = parts[0]
        return [SearchResult(i, d, t) for i, d, t in zip(ids, distances, metadata)]
    streams = [zip(distances, ids, metadata) for ids, distances, metadata in parts]
    merged = heapq.merge(*streams, key=lambda hit: _nan_last(hit[0]))
    return [SearchResult(i, d, t) for d, i, t in itertools.islice(merged, k)]


def _check_cluster_cpus(cpus: float | None, shards: int | None,
                        actor_options: object) -> None:
    """Refuses a layout whose CPU reservations exceed the whole cluster: Ray would keep
    the surplus actors pending for ever. (Own `actor_options` may ask for other
    resources, so they are left to the start timeout.)"""
    if not ray.is_initialized():
        ray.init()
    if cpus is None or shards is None or actor_options is not None:
        return
    # Typed here: Ray's own function carries no annotations.
    cluster_resources: Callable[[], dict[str, float]] = ray.cluster_resources
    have = cluster_resources().get("CPU", 0.0)
    if cpus * shards > have:
        raise ValueError(
            f"{shards} shards of {cpus:g} CPUs each need {cpus * shards:g} CPUs, the Ray "
            f"cluster has {have:g}: pass a smaller cpus_per_shard (a fraction is allowed) "
            f"or None")


# The files a plain `Database` keeps in its directory: a saved one has the first two, one
# that was never saved has its log.
_DATABASE_FILES = ("graph.dralm", "vectors.bin", "wal.dralm")


def _refuse_plain_database(path: str) -> None:
    """Refuses a directory that holds a plain `Database`: creating a sharded database
    there would write a manifest and shard directories beside its files."""
    for name in _DATABASE_FILES:
        if os.path.exists(os.path.join(path, name)):
            raise ValueError(
                f"'{path}' holds a dralm.Database ({name}), not a sharded database: open it "
                f"with dralm.Database, or give ShardedDatabase another directory")


_NOT_FINITE = " (vectors and queries must hold finite numbers only)"


def _refuse_non_finite(rows: np.ndarray) -> None:
    """Refuses a batch holding NaN or an infinity with the message `Database` gives,
    naming the row of the caller's batch (a shard would name the row of its own part)."""
    finite = np.isfinite(rows)
    if finite.all():
        return
    row, element = (int(i) for i in np.argwhere(~finite)[0])
    value = float(rows[row, element])
    name = "nan" if math.isnan(value) else ("inf" if value > 0 else "-inf")
    raise ValueError(f"invalid vector: vector {row}, element {element} is {name}{_NOT_FINITE}")


def _release(actors: list[Any], graceful: bool) -> None:
    """Stops the actors in `actors` and empties the list; a second call does nothing.

    Gracefully, every shard first drops its database (all at once, waiting at most a
    minute), so its directory lock is free when this returns and a reopen right after
    never meets the old actor; killing alone is asynchronous. Also called by the
    finalizer of a `ShardedDatabase` nobody holds any more, which may run at interpreter
    exit after Ray has shut down (then the actors are gone with it).
    """
    handles = list(actors)
    actors.clear()
    if not handles or not ray.is_initialized():
        return
    if graceful:
        closing = [actor.close.remote() for actor in handles]
        # A dead or unplaced actor has nothing left to close; its call just fails.
        ray.wait(closing, num_returns=len(closing), timeout=60)
    for actor in handles:
        ray.kill(actor, no_restart=True)


_Method = TypeVar("_Method", bound=Callable[..., Any])


def _drops_self_on_error(method: _Method) -> _Method:
    """Wraps a method so that an exception leaving it holds no reference to the object.

    A traceback keeps every frame it passed through, and a frame its local variables,
    `self` among them: a kept exception (a notebook's last error, a test's ExceptionInfo)
    would keep the database, and with it its actors' CPUs and directory locks, alive
    after its last handle was dropped. A `Database` is a C object: no frame holds it.
    """

    @functools.wraps(method)
    def call(self: Any, *args: Any, **kwargs: Any) -> Any:
        try:
            return method(self, *args, **kwargs)
        except BaseException as error:
            # Frames that have finished lose their locals; this one is still running
            # (clear_frames leaves it), so `self` is deleted by hand.
            traceback.clear_frames(error.__traceback__)
            del self
            raise

    return call  # type: ignore[return-value]


_Class = TypeVar("_Class", bound=type)


def _no_self_in_tracebacks(cls: _Class) -> _Class:
    """Applies `_drops_self_on_error` to every public method, special method and
    property of `cls`. Private methods are only reached through those, whose wrapper
    clears their frames too."""
    for name, member in list(vars(cls).items()):
        if name.startswith("_") and not (name.startswith("__") and name.endswith("__")):
            continue
        if isinstance(member, property) and member.fget is not None:
            setattr(cls, name, member.getter(_drops_self_on_error(member.fget)))
        elif inspect.isfunction(member):
            setattr(cls, name, _drops_self_on_error(member))
    return cls


def _check_path(path: object) -> str:
    """The path as an absolute str: a str, bytes or os.PathLike, as Database takes."""
    if not isinstance(path, (str, bytes, os.PathLike)):
        raise TypeError("ShardedDatabase() argument 'path' must be str, bytes or os.PathLike, "
                        f"not {type(path).__name__}")
    path = os.fsdecode(path)
    if path == "":
        raise ValueError("path must not be empty")
    if "\0" in path:
        raise ValueError("path must not contain a NUL character")
    return os.path.abspath(path)


@_no_self_in_tracebacks
class ShardedDatabase:
    """A dralm database spread over Ray actors, with the methods of `dralm.Database`.

    ShardedDatabase(path, dim=None, metric=None, m=None, ef_construction=None,
                    quantize=False, shards=None, cpus_per_shard=1, actor_options=None,
                    start_timeout=120.0)

    Creating (``dim`` given, no manifest in ``path`` yet) needs ``shards``. Reopening
    needs only ``path``; any parameter given must match the manifest. ``path`` must be
    the same directory for every node that may run a shard: a shared file system, or a
    node-local disk with each shard pinned to its node (see ``actor_options``).

    Each shard actor reserves ``cpus_per_shard`` CPUs (a fraction is allowed) and is
    confined to that many CPUs of its node (at least one), so its database's worker pool
    has one thread per reserved CPU; None reserves none and leaves the pool one thread per
    CPU of the node. Actors are placed with Ray's "SPREAD" strategy and restarted by Ray
    whenever they die. A shard that has not started within ``start_timeout`` seconds
    fails the constructor.
    ``actor_options`` (a mapping, or a function of the shard number giving one) is
    passed to ``.options()`` of each actor and overrides those defaults, e.g.
    ``lambda i: {"scheduling_strategy": NodeAffinitySchedulingStrategy(nodes[i], soft=False)}``.

    Ray is initialised on first use if the program has not called ``ray.init`` itself.

    ``close()``, leaving a ``with`` block (which saves first) and dropping the last
    reference all stop the actors, freeing their CPUs and shard directories.
    """

    def __init__(
        self,
        path: str | bytes | os.PathLike[str] | os.PathLike[bytes],
        dim: int | None = None,
        metric: str | None = None,
        m: int | None = None,
        ef_construction: int | None = None,
        quantize: bool = False,
        shards: int | None = None,
        cpus_per_shard: float | None = 1,
        actor_options: Mapping[str, Any] | Callable[[int], Mapping[str, Any]] | None = None,
        start_timeout: float = 120.0,
    ) -> None:
        self._path = _check_path(path)
        # Emptied in place when the actors stop; the finalizer holds the same list, so a
        # database nobody holds any more stops its actors as close() does.
        self._actors: list[Any] = []
        self._finalizer = weakref.finalize(self, _release, self._actors, True)
        manifest = read_manifest(self._path)
        if manifest is None:
            _refuse_plain_database(self._path)
            manifest = self._create(dim, metric, m, ef_construction, quantize, shards)
            _check_cluster_cpus(cpus_per_shard, shards, actor_options)
            os.makedirs(self._path, exist_ok=True)
            write_manifest(self._path, manifest)
        else:
            self._check_reopen(manifest, dim, metric, m, ef_construction, shards)
            _check_cluster_cpus(cpus_per_shard, manifest["shards"], actor_options)
        self._manifest = manifest
        self._dim: int = manifest["dim"]
        self._metric: str = manifest["metric"]
        self._shard_count: int = manifest["shards"]
        if manifest["quantize"] != bool(quantize) and quantize:
            self._manifest = dict(manifest, quantize=True)
            write_manifest(self._path, self._manifest)
        self._start_actors(cpus_per_shard, actor_options, start_timeout)

    # ----- opening -------------------------------------------------------------------

    def _create(self, dim: int | None, metric: str | None, m: int | None,
                ef_construction: int | None, quantize: bool,
                shards: int | None) -> dict[str, Any]:
        """The manifest of a new sharded database, after checking its parameters."""
        if dim is None:
            raise ValueError("database not found — specify dim to create a new one")
        if shards is None:
            raise ValueError("shards must be given to create a sharded database")
        if not isinstance(shards, int) or isinstance(shards, bool):
            raise TypeError(
                f"ShardedDatabase() argument 'shards' must be int, not {type(shards).__name__}")
        if shards < 1:
            raise ValueError("shards must be at least 1")
        # Bad arguments are refused with the messages of `Database` itself.
        dim, metric, m, ef_construction, quantize = _arguments.creation_parameters(
            dim, metric, m, ef_construction, quantize)
        return {
            "format": MANIFEST_FORMAT,
            "shards": shards,
            "dim": dim,
            "metric": metric,
            "m": m,
            "ef_construction": ef_construction,
            "quantize": quantize,
        }

    def _check_reopen(self, manifest: Mapping[str, Any], dim: int | None, metric: str | None,
                      m: int | None, ef_construction: int | None,
                      shards: int | None) -> None:
        asked = {"shards": shards, "dim": dim, "m": m, "ef_construction": ef_construction}
        for name, value in asked.items():
            if value is not None and value != manifest[name]:
                raise ValueError(
                    f"sharded database at '{self._path}' has {name}={manifest[name]}, "
                    f"not {value}; reopen it with {name}={manifest[name]} or without {name}")
        if metric is not None and METRICS.get(metric) != manifest["metric"]:
            raise ValueError(
                f"sharded database at '{self._path}' has metric='{manifest['metric']}', "
                f"not '{metric}'")

    def _start_actors(
        self, cpus: float | None,
        actor_options: Mapping[str, Any] | Callable[[int], Mapping[str, Any]] | None,
        start_timeout: float,
    ) -> None:
        m = self._manifest
        for shard in range(self._shard_count):
            options: dict[str, Any] = {
                "num_cpus": 0 if cpus is None else cpus,
                "max_restarts": -1,
                "scheduling_strategy": "SPREAD",
            }
            if callable(actor_options):
                options.update(actor_options(shard))
            elif actor_options is not None:
                options.update(actor_options)
            handle = ShardActor.options(**options).remote(
                self.shard_path(shard), m["dim"], m["metric"], m["m"], m["ef_construction"],
                m["quantize"], cpus, shard)
            self._actors.append(handle)
        # Waits until every shard has opened its directory, so a damaged shard fails here,
        # and a shard Ray cannot place (no CPUs free) fails instead of waiting for ever.
        opened = [a.length.remote() for a in self._actors]
        _, waiting = ray.wait(opened, num_returns=len(opened), timeout=start_timeout)
        if waiting:
            late = opened.index(waiting[0])
            self._stop_now()
            raise ShardUnavailableError(
                f"shard {late} of the sharded database at '{self._path}' did not start "
                f"within {start_timeout:g} s; is there a node with {cpus or 0:g} free CPUs?",
                late)
        try:
            self._gather(list(enumerate(opened)))
        except BaseException:
            self._stop_now()
            raise

    # ----- plumbing ------------------------------------------------------------------

    def shard_path(self, shard: int) -> str:
        """The directory of shard number `shard`."""
        return os.path.join(self._path, f"shard-{shard}")

    def _live_actors(self) -> list[Any]:
        if not self._actors:
            raise ValueError(f"sharded database at '{self._path}' is closed")
        return self._actors

    def _gather(self, calls: Sequence[tuple[int, Any]]) -> list[Any]:
        """Waits for every call; then returns their results in order, or raises the first
        failure: an error raised by a shard's database as that same exception, a lost
        actor as `ShardUnavailableError` naming the shard."""
        results: list[Any] = []
        failure: BaseException | None = None
        for shard, ref in calls:
            try:
                results.append(ray.get(ref))
            except ray.exceptions.RayTaskError as error:
                cause = getattr(error, "cause", None)
                if failure is None:
                    failure = cause if isinstance(cause, BaseException) else error
            except ray.exceptions.RayError as error:
                if failure is None:
                    failure = ShardUnavailableError(
                        f"shard {shard} of the sharded database at '{self._path}' is "
                        f"unavailable ({type(error).__name__}); if Ray restarts its actor, "
                        f"retry once it is back", shard)
        if failure is not None:
            raise failure
        return results

    def _each(self, method: str, *args: Any) -> list[Any]:
        actors = self._live_actors()
        return self._gather([(s, a.call.remote(method, *args)) for s, a in enumerate(actors)])

    def _one(self, shard: int, method: str, *args: Any) -> Any:
        return self._gather([(shard, self._live_actors()[shard].call.remote(method, *args))])[0]

    def _route(self, method: str, id: object) -> int:
        """The shard of one id; a non-str id is refused as `Database` refuses it."""
        return shard_of(_arguments.id_bytes(method, id), self._shard_count)

    def _routes(self, ids: list[str]) -> np.ndarray:
        return np.fromiter((shard_of(_arguments.id_bytes("", id), self._shard_count) for id in ids),
                           dtype=np.int64, count=len(ids))

    def _split(self, ids: list[str], vectors: np.ndarray,
               metadatas: list[dict[str, Any] | None] | None,
               ) -> Iterator[tuple[int, list[int], list[str], np.ndarray,
                                   list[dict[str, Any] | None] | None]]:
        routes = self._routes(ids)
        for shard in range(self._shard_count):
            picked = np.flatnonzero(routes == shard)
            if len(picked) == 0:
                continue
            positions = picked.tolist()
            yield (shard, positions, [ids[p] for p in positions], vectors[picked],
                   None if metadatas is None else [metadatas[p] for p in positions])

    # ----- properties ----------------------------------------------------------------

    @property
    def path(self) -> str:
        """The directory holding the manifest and the shard directories."""
        return self._path

    @property
    def shards(self) -> int:
        """Number of shards, fixed at creation."""
        return self._shard_count

    @property
    def dim(self) -> int:
        return self._dim

    @property
    def metric(self) -> Literal["cosine", "euclidean", "dot_product"]:
        return self._metric  # type: ignore[return-value]

    @property
    def quantized_search(self) -> bool:
        """Whether quantized search is enabled on every shard."""
        actors = self._live_actors()
        return all(self._gather(
            [(s, a.read.remote("quantized_search")) for s, a in enumerate(actors)]))

    @property
    def deleted_count(self) -> int:
        """Number of deleted slots that haven't been reclaimed, over all shards."""
        actors = self._live_actors()
        return sum(self._gather(
            [(s, a.read.remote("deleted_count")) for s, a in enumerate(actors)]))

    @property
    def total_slots(self) -> int:
        """Total allocated slots (active + deleted), over all shards."""
        actors = self._live_actors()
        return sum(self._gather(
            [(s, a.read.remote("total_slots")) for s, a in enumerate(actors)]))

    # ----- writes --------------------------------------------------------------------

    def add(self, id: str, vector: Any, metadata: Mapping[str, Any] | None = None) -> None:
        self._one(self._route("add", id), "add", id, vector, metadata)

    def upsert(self, id: str, vector: Any, metadata: Mapping[str, Any] | None = None) -> None:
        """Add or update a vector."""
        self._one(self._route("upsert", id), "upsert", id, vector, metadata)

    def update(self, id: str, vector: Any = None,
               metadata: Mapping[str, Any] | None = None) -> None:
        self._one(self._route("update", id), "update", id, vector, metadata)

    def delete(self, id: str) -> bool:
        result: bool = self._one(self._route("delete", id), "delete", id)
        return result

    def add_many(self, ids: Sequence[str], vectors: Any,
                 metadatas: list[dict[str, Any] | None] | None = None) -> None:
        """Adds a batch: every shard checks its part first, and only when no id is taken
        anywhere does any shard write, so a refused batch changes nothing."""
        id_list, rows, meta_list = _arguments.batch("add_many", ids, vectors, metadatas,
                                                     self._dim)
        _refuse_non_finite(rows)
        if not id_list:
            return
        parts = list(self._split(id_list, rows, meta_list))
        actors = self._live_actors()
        taken = self._gather([(s, actors[s].first_taken.remote(part_ids))
                              for s, _, part_ids, _, _ in parts])
        clashes = [positions[t] for (_, positions, _, _, _), t in zip(parts, taken) if t >= 0]
        if clashes:
            raise ValueError(f"id '{id_list[min(clashes)]}' already exists, use upsert instead")
        self._gather([(s, actors[s].call.remote("add_many", part_ids, part_rows, part_meta))
                      for s, _, part_ids, part_rows, part_meta in parts])

    def upsert_many(self, ids: Sequence[str], vectors: Any,
                    metadatas: list[dict[str, Any] | None] | None = None) -> None:
        """Batch upsert — inserts new vectors, updates existing ones."""
        id_list, rows, meta_list = _arguments.batch("upsert_many", ids, vectors, metadatas,
                                                     self._dim)
        _refuse_non_finite(rows)
        if not id_list:
            return
        actors = self._live_actors()
        self._gather([(s, actors[s].call.remote("upsert_many", part_ids, part_rows, part_meta))
                      for s, _, part_ids, part_rows, part_meta
                      in self._split(id_list, rows, meta_list)])

    def delete_many(self, ids: Sequence[str]) -> int:
        id_list = _arguments.id_list("delete_many", ids)
        if not id_list:
            return 0
        routes = self._routes(id_list)
        actors = self._live_actors()
        calls = []
        for shard in range(self._shard_count):
            part = [id_list[p] for p in np.flatnonzero(routes == shard).tolist()]
            if part:
                calls.append((shard, actors[shard].call.remote("delete_many", part)))
        return sum(self._gather(calls))

    # ----- queries -------------------------------------------------------------------

    def search(self, vector: Any, k: int = 10, ef_search: int | None = None,
               where_filter: Mapping[str, Any] | None = None,
               max_distance: float | None = None) -> list[SearchResult]:
        """Search for the k nearest neighbors over every shard.

        Each shard returns its own k nearest; the lists are merged by distance.
        """
        actors = self._live_actors()
        parts = self._gather([(s, a.search.remote(vector, k, ef_search, where_filter,
                                                  max_distance))
                              for s, a in enumerate(actors)])
        return _merge(parts, operator.index(k))

    def search_many(self, vectors: Any, k: int = 10, ef_search: int | None = None,
                    where_filter: Mapping[str, Any] | None = None,
                    max_distance: float | None = None) -> list[list[SearchResult]]:
        """Search multiple queries: one call per shard for the whole batch."""
        actors = self._live_actors()
        batch = ray.put(_arguments.vectors("search_many", vectors, self._dim))
        per_shard = self._gather([(s, a.search_many.remote(batch, k, ef_search, where_filter,
                                                           max_distance))
                                  for s, a in enumerate(actors)])
        limit = operator.index(k)
        return [_merge(parts, limit) for parts in zip(*per_shard)]

    # ----- lookups -------------------------------------------------------------------

    def get(self, id: str) -> tuple[list[float], dict[str, Any] | None]:
        result: tuple[list[float], dict[str, Any] | None] = self._one(
            self._route("get", id), "get", id)
        return result

    def ids(self) -> list[str]:
        """Every live id, shard by shard (no particular order, as in `Database`)."""
        return [id for part in self._each("ids") for id in part]

    def count(self, where_filter: Mapping[str, Any] | None = None) -> int:
        """Count vectors matching a filter, or all vectors if no filter."""
        return sum(self._each("count", where_filter))

    def __len__(self) -> int:
        actors = self._live_actors()
        return sum(self._gather([(s, a.length.remote()) for s, a in enumerate(actors)]))

    def __contains__(self, id: object) -> bool:
        shard = self._route("__contains__", id)
        assert isinstance(id, str)
        result: bool = self._gather(
            [(shard, self._live_actors()[shard].contains.remote(id))])[0]
        return result

    def __bool__(self) -> bool:
        return len(self) > 0

    # ----- maintenance ---------------------------------------------------------------

    def save(self) -> None:
        """Saves every shard, all at once."""
        self._each("save")

    def compact(self) -> None:
        """Rebuild every shard's index with only live vectors, reclaiming deleted slots."""
        self._each("compact")

    def enable_quantized_search(self, bits: int = 8) -> None:
        """Enable quantized search on every shard (8-bit SQ8 or 4-bit traversal codes,
        exact re-ranking); ValueError for any other `bits`."""
        self._each("enable_quantized_search", bits)

    def disable_quantized_search(self) -> None:
        """Disable quantized search on every shard."""
        self._each("disable_quantized_search")

    def stats(self) -> ShardedStats:
        """The statistics of `Database.stats`, over all shards, and each shard's own
        under "shards".

        Counts and memory are sums, `num_layers` and `max_degree_layer0` the largest,
        `min_degree_layer0` the smallest over shards holding vectors, `avg_degree_layer0`
        the mean over all live vectors; `uses_brute_force` and `uses_quantized_search`
        hold when they hold on every shard; `quantized_search_bits` is the shards' common
        width, or 0 when they differ.
        """
        parts: list[dict[str, Any]] = self._each("stats")
        live = [p for p in parts if p["num_vectors"] > 0]
        total = sum(p["num_vectors"] for p in parts)
        return {
            "num_vectors": total,
            "num_deleted": sum(p["num_deleted"] for p in parts),
            "num_layers": max(p["num_layers"] for p in parts),
            "avg_degree_layer0": (sum(p["avg_degree_layer0"] * p["num_vectors"] for p in live)
                                  / total if total else 0.0),
            "max_degree_layer0": max(p["max_degree_layer0"] for p in parts),
            "min_degree_layer0": min((p["min_degree_layer0"] for p in live), default=0),
            "memory_vectors_bytes": sum(p["memory_vectors_bytes"] for p in parts),
            "memory_graph_bytes": sum(p["memory_graph_bytes"] for p in parts),
            "memory_quantized_bytes": sum(p["memory_quantized_bytes"] for p in parts),
            "uses_brute_force": all(p["uses_brute_force"] for p in parts),
            "uses_quantized_search": all(p["uses_quantized_search"] for p in parts),
            "quantized_search_bits": (parts[0]["quantized_search_bits"]
                                      if len({p["quantized_search_bits"] for p in parts}) == 1
                                      else 0),
            "shards": parts,
        }

    def close(self) -> None:
        """Stops the shard actors without saving (their logs hold every write, as when a
        `Database` is dropped). Calling it again does nothing. Dropping the last
        reference to the database does the same."""
        self._finalizer()

    def _stop_now(self) -> None:
        """Kills the actors without waiting: for actors that failed to start."""
        _release(self._actors, graceful=False)

    def __enter__(self) -> ShardedDatabase:
        """Context manager: saves every shard on exit, then stops the actors."""
        return self

    def __exit__(self, _exc_type: type[BaseException] | None = None,
                 _exc_val: BaseException | None = None,
                 _exc_tb: TracebackType | None = None) -> Literal[False]:
        try:
            self.save()
        finally:
            self.close()
        return False

