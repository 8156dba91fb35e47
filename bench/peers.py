"""Adapters that give hnswlib, faiss (HNSW) and usearch one interface for the jobs.

Every adapter is configured alike: M = 16 (so 32 neighbours on layer 0), efConstruction = 200,
k nearest by squared L2 or cosine, and an explicit thread count used for building and for
batch search. An adapter's `search` returns an (nq, k) int64 array of ids, -1 where a query
got fewer than k hits.
"""

from __future__ import annotations

import numpy as np

from engine import EF_CONSTRUCTION, M, Engine

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


# The peers by library name.
PEERS: dict[str, type[Engine]] = {"hnswlib": HnswlibEngine, "faiss-hnsw": FaissEngine,
                                  "usearch": UsearchEngine, "faiss-flat": FaissFlatEngine}
