"""The shard actor of `dralm.ray` and what its driver shares with it: the routing of ids
to shards, the columns in which a shard returns its hits, and the manifest file.

Ray imports this module in every actor process; it holds nothing the driver alone needs.
"""

from __future__ import annotations

import json
import os
import zlib
from collections.abc import Mapping
from typing import Any

import ray

import dralm
import _dralm  # noqa: E402  (after dralm, which loads the libraries it links)

MANIFEST_NAME = "dralm-shards.json"
MANIFEST_FORMAT = 1
# Every metric name Database takes, mapped to the metric's own name.
METRICS: dict[str, str] = _dralm._METRICS


def write_manifest(path: str, manifest: Mapping[str, Any]) -> None:
    """Writes the manifest to a temporary sibling, syncs it and renames it into place,
    so a crash leaves either no manifest or a complete one."""
    target = os.path.join(path, MANIFEST_NAME)
    temporary = target + ".tmp"
    with open(temporary, "w", encoding="utf-8") as out:
        json.dump(manifest, out, indent=2, sort_keys=True)
        out.write("\n")
        out.flush()
        os.fsync(out.fileno())
    os.replace(temporary, target)
    directory = os.open(path, os.O_RDONLY)
    try:
        os.fsync(directory)
    finally:
        os.close(directory)


def read_manifest(path: str) -> dict[str, Any] | None:
    target = os.path.join(path, MANIFEST_NAME)
    try:
        with open(target, encoding="utf-8") as source:
            manifest = json.load(source)
    except FileNotFoundError:
        return None
    except (OSError, ValueError) as error:
        raise ValueError(f"unreadable shard manifest '{target}': {error}") from None
    keys = {"format", "shards", "dim", "metric", "m", "ef_construction", "quantize"}
    if (not isinstance(manifest, dict) or not keys <= manifest.keys()
            or manifest["format"] != MANIFEST_FORMAT
            or not isinstance(manifest["shards"], int) or manifest["shards"] < 1
            or manifest["metric"] not in METRICS):
        raise ValueError(f"unreadable shard manifest '{target}': unexpected content")
    return manifest


# One shard's hits for one query, as columns: ids, distances, metadata JSON texts.
Columns = tuple[list[str], list[float], list[str | None]]


def _columns(hits: list[dralm.SearchResult]) -> Columns:
    metadata: list[str | None] = []
    for hit in hits:
        value = hit.metadata
        metadata.append(None if value is None else json.dumps(value, separators=(",", ":")))
    return [hit.id for hit in hits], [hit.distance for hit in hits], metadata


def _pin_to_cpus(cpus: float | None, shard: int) -> None:
    """Restricts this process to `count` CPUs, so the engine's worker pool (one thread per
    CPU the process may run on, sized when first used) matches the CPUs Ray reserved.

    Ray reserves CPUs without naming them; shards on one node take consecutive CPUs by
    their number, so a node holding two one-CPU shards runs them on different cores.
    """
    if cpus is None or not hasattr(os, "sched_setaffinity"):
        return
    count = max(1, int(cpus))
    allowed = sorted(os.sched_getaffinity(0))
    if count >= len(allowed):
        return
    start = (shard * count) % len(allowed)
    os.sched_setaffinity(0, {allowed[(start + j) % len(allowed)] for j in range(count)})


class _Shard:
    """The actor body: one `dralm.Database` in one directory.

    Ray calls the constructor again, with the same arguments, when it restarts the actor
    after a crash; opening the directory replays its log, so every write acknowledged
    before the crash is back.
    """

    def __init__(self, path: str, dim: int, metric: str, m: int, ef_construction: int,
                 quantize: bool, cpus: float | None, shard: int) -> None:
        _pin_to_cpus(cpus, shard)
        self._db: dralm.Database | None = None
        # A directory that fails to open is reported by every call, as the exception
        # `Database` raised: an error in the constructor would reach the caller only as
        # Ray's "actor died" with the message buried in a traceback.
        self._failure: Exception | None = None
        try:
            self._db = dralm.Database(
                path, dim, metric, m, ef_construction, quantize)  # type: ignore[arg-type]
        except Exception as error:
            self._failure = error

    def _open(self) -> dralm.Database:
        if self._failure is not None:
            raise type(self._failure)(*self._failure.args)
        if self._db is None:
            raise ValueError("shard is closed")
        return self._db

    def call(self, method: str, *args: Any) -> Any:
        """Runs one `Database` method; its errors travel back to the caller unchanged."""
        return getattr(self._open(), method)(*args)

    def read(self, name: str) -> Any:
        return getattr(self._open(), name)

    def length(self) -> int:
        return len(self._open())

    def contains(self, id: str) -> bool:
        return id in self._open()

    def first_taken(self, ids: list[str]) -> int:
        """Position of the first id that is live here or repeats an earlier one; -1 if none.

        The same scan `add_many` makes before it logs, run on every shard before any
        shard writes, so a refused batch leaves every shard unchanged.
        """
        db = self._open()
        seen: set[str] = set()
        for position, id in enumerate(ids):
            if id in seen or id in db:
                return position
            seen.add(id)
        return -1

    def search(self, vector: Any, k: Any, ef_search: Any, where_filter: Any,
               max_distance: Any) -> Columns:
        return _columns(self._open().search(vector, k, ef_search, where_filter, max_distance))

    def search_many(self, vectors: Any, k: Any, ef_search: Any, where_filter: Any,
                    max_distance: Any) -> list[Columns]:
        found = self._open().search_many(vectors, k, ef_search, where_filter, max_distance)
        return [_columns(hits) for hits in found]

    def close(self) -> None:
        self._db = None


ShardActor = ray.remote(_Shard)


def shard_of(id_bytes: bytes, shards: int) -> int:
    return zlib.crc32(id_bytes) % shards
