"""Adapters that give hnswlib, faiss (HNSW) and usearch one interface for the jobs.

Every adapter is configured alike: M = 16 (so 32 neighbours on layer 0), efConstruction = 200,
k nearest by squared L2 or cosine, and an explicit thread count used for building and for
batch search. An adapter's `search` returns an (nq, k) int64 array of ids, -1 where a query
got fewer than k hits.
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


class HnswlibEngine(Engine):
    name = "hnswlib"

    def __init__(self, dim, metric, threads):
        super().__init__(dim, metric, threads)
        import hnswlib
        self._mod = hnswlib
        self.index = None

    def _space(self) -> str:
        return "l2" if self.metric == "l2" else "cosine"

    def build(self, base, metadatas=None):
        self.index = self._mod.Index(space=self._space(), dim=self.dim)
        self.index.init_index(max_elements=len(base), M=M, ef_construction=EF_CONSTRUCTION,
                              random_seed=100)
        self.index.set_num_threads(self.threads)
        self.index.add_items(base, np.arange(len(base)), num_threads=self.threads)

    def save(self, path):
        self.index.save_index(str(path))

    def load(self, path):
        self.index = self._mod.Index(space=self._space(), dim=self.dim)
        self.index.load_index(str(path))
        self.index.set_num_threads(self.threads)

    def close(self):
        self.index = None

    def set_ef(self, ef):
        self.index.set_ef(ef)

    def search(self, queries, k):
        labels, _ = self.index.knn_query(queries, k=k, num_threads=self.threads)
        return labels.astype(np.int64)

    supports_filter = True

    def search_filtered(self, queries, k, ef, allowed, where):
        # hnswlib calls the filter back in Python for every node it reaches; a list's
        # bound __getitem__ is the cheapest callable that answers it.
        self.index.set_ef(ef)
        accept = allowed.tolist().__getitem__
        out = np.full((len(queries), k), -1, dtype=np.int64)
        for i, q in enumerate(queries):
            try:
                labels, _ = self.index.knn_query(q[None, :], k=k, num_threads=1, filter=accept)
            except RuntimeError:  # fewer than k accepted vectors were reached
                continue
            out[i, :labels.shape[1]] = labels[0]
        return out


class FaissEngine(Engine):
    name = "faiss-hnsw"
    supports_filter = True

    def __init__(self, dim, metric, threads):
        super().__init__(dim, metric, threads)
        import faiss
        self._mod = faiss
        faiss.omp_set_num_threads(threads)
        self.index = None

    def build(self, base, metadatas=None):
        faiss = self._mod
        kind = faiss.METRIC_L2 if self.metric == "l2" else faiss.METRIC_INNER_PRODUCT
        self.index = faiss.IndexHNSWFlat(self.dim, M, kind)
        self.index.hnsw.efConstruction = EF_CONSTRUCTION
        # Cosine data are normalised by the caller: inner product ranks them alike.
        self.index.add(np.ascontiguousarray(base, dtype=np.float32))

    def save(self, path):
        self._mod.write_index(self.index, str(path))

    def load(self, path):
        self.index = self._mod.read_index(str(path))

    def close(self):
        self.index = None

    def set_ef(self, ef):
        self.index.hnsw.efSearch = ef

    def search(self, queries, k):
        _, labels = self.index.search(queries, k)
        return labels

    def search_filtered(self, queries, k, ef, allowed, where):
        faiss = self._mod
        bits = np.packbits(allowed, bitorder="little")
        sel = faiss.IDSelectorBitmap(len(allowed), faiss.swig_ptr(bits))
        params = faiss.SearchParametersHNSW(sel=sel, efSearch=ef)
        _, labels = self.index.search(queries, k, params=params)
        return labels


class FaissFlatEngine(Engine):
    """Exact scan reference for the scan job (no graph, nothing to tune)."""
    name = "faiss-flat"

    def __init__(self, dim, metric, threads):
        super().__init__(dim, metric, threads)
        import faiss
        self._mod = faiss
        faiss.omp_set_num_threads(threads)
        self.index = None

    def build(self, base, metadatas=None):
        faiss = self._mod
        self.index = (faiss.IndexFlatL2(self.dim) if self.metric == "l2"
                      else faiss.IndexFlatIP(self.dim))
        self.index.add(np.ascontiguousarray(base, dtype=np.float32))

    def set_ef(self, ef):
        pass

    def search(self, queries, k):
        _, labels = self.index.search(queries, k)
        return labels


class UsearchEngine(Engine):
    name = "usearch"

    def __init__(self, dim, metric, threads):
        super().__init__(dim, metric, threads)
        from usearch import index as usearch_index
        self._mod = usearch_index
        self.index = None

    def build(self, base, metadatas=None):
        self.index = self._mod.Index(ndim=self.dim,
                                     metric="l2sq" if self.metric == "l2" else "cos",
                                     dtype="f32", connectivity=M,
                                     expansion_add=EF_CONSTRUCTION)
        self.index.add(np.arange(len(base), dtype=np.uint64), base, threads=self.threads)

    def save(self, path):
        self.index.save(str(path))

    def load(self, path):
        self.index = self._mod.Index.restore(str(path))

    def close(self):
        self.index = None

    def set_ef(self, ef):
        self.index.expansion_search = ef

    def search(self, queries, k):
        matches = self.index.search(queries, k, threads=self.threads)
        keys = np.asarray(matches.keys).astype(np.int64).reshape(len(queries), -1)
        # One query gives a single Matches (its keys already cut to the hits found).
        counts = (np.asarray(matches.counts) if hasattr(matches, "counts")
                  else np.array([keys.shape[1]]))
        if keys.shape[1] < k:
            keys = np.pad(keys, ((0, 0), (0, k - keys.shape[1])), constant_values=-1)
        # Slots past a query's count hold undefined keys: mask them out.
        keys[np.arange(keys.shape[1])[None, :] >= counts[:, None]] = -1
        return keys


def engine(name: str, dim: int, metric: str, threads: int) -> Engine:
    if name == "dralm":
        from ours import DralmEngine  # imported lazily: the peers run without the build
        return DralmEngine(dim, metric, threads)
    table = {"hnswlib": HnswlibEngine, "faiss-hnsw": FaissEngine, "usearch": UsearchEngine,
             "faiss-flat": FaissFlatEngine}
    if name not in table:
        raise ValueError(f"unknown library {name!r}")
    return table[name](dim, metric, threads)


def index_bytes(path: Path) -> int:
    """Size on disk of a saved index: one file or a directory's files."""
    path = Path(path)
    if path.is_dir():
        return sum(p.stat().st_size for p in path.rglob("*") if p.is_file())
    return path.stat().st_size if path.exists() else 0


def affinity() -> int:
    return len(os.sched_getaffinity(0))
