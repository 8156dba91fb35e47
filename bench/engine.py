"""What every library adapter of the benchmark shares: the interface the jobs drive
(`Engine`), the build settings every library gets alike, and the process's CPU count.
`peers.py` and `ours.py` implement it; `libraries.py` picks an adapter by name.
"""

from __future__ import annotations

import os
from pathlib import Path

import numpy as np

M = 16
EF_CONSTRUCTION = 200


class Engine:
    name = "?"

    def __init__(self, dim: int, metric: str, threads: int):
        self.dim, self.metric, self.threads = dim, metric, threads

    def build(self, base: np.ndarray, metadatas: list[dict] | None = None) -> None:
        raise NotImplementedError

    def build_at(self, path: Path, base: np.ndarray, metadatas: list[dict] | None = None
                 ) -> None:
        """Builds the index; `path` is where save() will put it (a database lives there)."""
        self.build(base, metadatas)

    def save(self, path: Path) -> None:
        raise NotImplementedError

    def load(self, path: Path) -> None:
        raise NotImplementedError

    def close(self) -> None:
        """Drops the index so that a later load starts cold in memory."""

    def set_ef(self, ef: int) -> None:
        raise NotImplementedError

    def search(self, queries: np.ndarray, k: int) -> np.ndarray:
        raise NotImplementedError

    def search_raw(self, queries: np.ndarray, k: int) -> object:
        """The timed call: whatever the library returns (to_ids turns it into ids)."""
        return self.search(queries, k)

    def to_ids(self, raw: object, k: int) -> np.ndarray:
        return raw  # type: ignore[return-value]

    def search_each(self, queries: np.ndarray, k: int) -> list:
        """Every query in its own library call at the current beam: one raw result a query."""
        return [self.search(q[None, :], k) for q in queries]

    def join_each(self, raws: list) -> object:
        """The raw results of search_each, in query order, as one raw result for to_ids."""
        return np.vstack(raws)

    def search_one(self, query: np.ndarray, k: int) -> object:
        """One query through the library's single-query path (for exact-scan timing)."""
        return self.search(query[None, :], k)

    # Filtered search: `allowed` is a bool mask over ids, `where` the equality filter that
    # selects the same ids (libraries with metadata use it, the others use the mask). Returns
    # the raw result, for to_ids.
    supports_filter = False

    def search_filtered(self, queries: np.ndarray, k: int, ef: int, allowed: np.ndarray,
                        where: dict) -> np.ndarray:
        raise NotImplementedError


def index_bytes(path: Path) -> int:
    """Size on disk of a saved index: one file or a directory's files."""
    path = Path(path)
    if path.is_dir():
        return sum(p.stat().st_size for p in path.rglob("*") if p.is_file())
    return path.stat().st_size if path.exists() else 0


def affinity() -> int:
    return len(os.sched_getaffinity(0))
