"""The dralm adapter: the same interface as the peers, driven through the Python API only.

dralm has no thread-count argument: `search_many` and the batch insert use one worker per CPU of
the process's affinity mask, so the job runner pins the process (taskset -c 0) for one thread.
Ids are the decimal strings of the row numbers, so results map back to ground-truth rows.
"""

from __future__ import annotations

import gc
import os
import shutil
from pathlib import Path

import numpy as np

from engine import EF_CONSTRUCTION, M, Engine, affinity


def _ef_construction() -> int:
    """The peers' efConstruction, unless BENCH_DRALM_EF_CONSTRUCTION sets dralm's own: builds
    compared at equal recall (a graph of dralm's with a narrower build beam against the
    peers' at the common one)."""
    return int(os.environ.get("BENCH_DRALM_EF_CONSTRUCTION", EF_CONSTRUCTION))


class DralmEngine(Engine):
    name = "dralm"
    supports_filter = True

    def __init__(self, dim, metric, threads):
        super().__init__(dim, metric, threads)
        if affinity() != threads:
            raise RuntimeError(f"dralm asked for {threads} threads but the process may run on "
                               f"{affinity()} CPUs: pin it with taskset")
        # The package first: it loads the BLAS library the extension links, wherever pip
        # put it.
        import dralm  # noqa: F401
        import _dralm
        self._mod = _dralm
        self.db = None
        self.path: Path | None = None
        self.ef: int | None = None

    def build(self, base, metadatas=None):
        raise RuntimeError("dralm builds in place: call build_at(path, base)")

    def build_at(self, path: Path, base: np.ndarray, metadatas: list[dict] | None = None):
        """Creates a fresh database at `path` and inserts every row in one add_many."""
        path = Path(path)
        if path.exists():
            shutil.rmtree(path)
        self.path = path
        self.db = self._mod.Database(str(path), dim=self.dim,
                                     metric="l2" if self.metric == "l2" else "cosine",
                                     m=M, ef_construction=_ef_construction())
        ids = [str(i) for i in range(len(base))]
        self.db.add_many(ids, np.ascontiguousarray(base, dtype=np.float32), metadatas)

    def save(self, path=None):
        self.db.save()

    def load(self, path):
        self.path = Path(path)
        self.db = self._mod.Database(str(path))

    def close(self):
        self.db = None
        gc.collect()

    def stats(self) -> dict:
        return dict(self.db.stats())

    def enable_sq8(self) -> None:
        self.enable_quantized(8)

    def enable_quantized(self, bits: int) -> None:
        self.db.enable_quantized_search(bits=bits)
        if self.db.quantized_search_bits != bits:
            raise RuntimeError(f"enable_quantized_search(bits={bits}) left "
                               f"quantized_search_bits at {self.db.quantized_search_bits}")

    def use_bits(self, bits: int) -> None:
        """Switches the traversal to `bits`-bit codes (0: floats) unless it is on already."""
        if self.db.quantized_search_bits == bits:
            return
        if bits:
            self.enable_quantized(bits)
        else:
            self.db.disable_quantized_search()

    def open_read_only(self, path) -> None:
        """Opens the saved database at `path` read-only and drops it again."""
        self._mod.Database(str(path), read_only=True)
        gc.collect()

    def set_ef(self, ef):
        self.ef = ef

    def to_ids(self, rows, k: int) -> np.ndarray:
        out = np.full((len(rows), k), -1, dtype=np.int64)
        for i, row in enumerate(rows):
            for j, hit in enumerate(row[:k]):
                out[i, j] = int(hit.id)
        return out

    def search_raw(self, queries, k):
        # Results stay the SearchResult objects a user gets; building them is part of the cost.
        return self.db.search_many(queries, k=k, ef_search=self.ef)

    def search(self, queries, k):
        return self.to_ids(self.search_raw(queries, k), k)

    def search_each(self, queries, k):
        return [self.db.search(q, k=k, ef_search=self.ef) for q in queries]

    def join_each(self, raws):
        return raws

    def search_one(self, query, k):
        return self.db.search(query, k=k)

    def search_filtered(self, queries, k, ef, allowed, where):
        return self.db.search_many(queries, k=k, ef_search=ef, where_filter=where)
