"""Benchmark data: Fashion-MNIST (L2 and its normalised cosine copy) and synthetic clusters.

Every data set is a base matrix, a query matrix and the exact top-k neighbour ids of each
query. The ground truth is computed once with NumPy (float64, so integer pixel distances are
exact) and cached as .npy files under bench/data/, keyed by the data set's name and shape.
"""

from __future__ import annotations

import gzip
import os
import struct
from dataclasses import dataclass
from pathlib import Path

import numpy as np

DATA_DIR = Path(__file__).resolve().parent / "data"
FASHION_DIR = Path(os.environ.get("FASHION_MNIST_DIR", "/usr/share/datasets/fashion-mnist"))

# IDX type codes -> NumPy dtypes (big-endian as stored).
_IDX_TYPES = {0x08: ">u1", 0x09: ">i1", 0x0B: ">i2", 0x0C: ">i4", 0x0D: ">f4", 0x0E: ">f8"}


@dataclass
class Dataset:
    name: str  # the label every table carries, e.g. "fashion-mnist-784-euclidean"
    metric: str  # "l2" or "cosine"
    base: np.ndarray  # (n, d) float32, C-contiguous
    queries: np.ndarray  # (q, d) float32
    gt: np.ndarray  # (q, k) int64, exact nearest first
    synthetic: bool = False

    @property
    def dim(self) -> int:
        return int(self.base.shape[1])


def read_idx(path: Path) -> np.ndarray:
    """Reads one IDX file (gzip-compressed or not) into an array of its stored shape."""
    opener = gzip.open if str(path).endswith(".gz") else open
    with opener(path, "rb") as f:
        raw = f.read()
    if len(raw) < 4:
        raise ValueError(f"{path}: too short for an IDX header")
    zero, type_code, ndim = struct.unpack(">HBB", raw[:4])
    if zero != 0 or type_code not in _IDX_TYPES or ndim == 0:
        raise ValueError(f"{path}: not an IDX file (magic {raw[:4].hex()})")
    header = 4 + 4 * ndim
    if len(raw) < header:
        raise ValueError(f"{path}: truncated IDX header")
    shape = struct.unpack(f">{ndim}I", raw[4:header])
    dtype = np.dtype(_IDX_TYPES[type_code])
    expected = int(np.prod(shape, dtype=np.int64)) * dtype.itemsize
    if len(raw) - header != expected:
        raise ValueError(f"{path}: {len(raw) - header} data bytes, shape {shape} needs {expected}")
    return np.frombuffer(raw, dtype=dtype, offset=header).reshape(shape)


def exact_knn(base: np.ndarray, queries: np.ndarray, k: int, metric: str,
              chunk: int = 1000) -> np.ndarray:
    """Exact top-k ids per query, nearest first (ties broken by the smaller id)."""
    b = base.astype(np.float64)
    if metric == "cosine":
        b /= np.maximum(np.linalg.norm(b, axis=1, keepdims=True), 1e-300)
    b_sq = np.einsum("ij,ij->i", b, b)
    out = np.empty((len(queries), k), dtype=np.int64)
    # A block's distance matrix is float64 with a temporary or two beside it: keep it near
    # 400 MB, so that the ground truth of a million vectors fits beside the other jobs.
    chunk = max(1, min(chunk, 50_000_000 // max(len(b), 1)))
    for lo in range(0, len(queries), chunk):
        q = queries[lo:lo + chunk].astype(np.float64)
        if metric == "cosine":
            q /= np.maximum(np.linalg.norm(q, axis=1, keepdims=True), 1e-300)
            d = -(q @ b.T)
        else:
            d = b_sq[None, :] - 2.0 * (q @ b.T)  # |q|^2 is constant per row
        part = np.argpartition(d, k, axis=1)[:, :k + 1] if d.shape[1] > k else \
            np.tile(np.arange(d.shape[1]), (len(q), 1))
        for row, cand in enumerate(part):
            order = np.lexsort((cand, d[row, cand]))
            out[lo + row] = cand[order][:k]
    return out


def _cached(key: str, make) -> np.ndarray:
    DATA_DIR.mkdir(parents=True, exist_ok=True)
    path = DATA_DIR / f"{key}.npy"
    if path.exists():
        return np.load(path)
    arr = make()
    tmp = path.with_suffix(".tmp.npy")
    np.save(tmp, arr)
    tmp.replace(path)
    return arr


def _subset(n: int | None, q: int | None) -> str:
    return f"-{n or 'all'}x{q or 'all'}"


def fashion_mnist(metric: str = "l2", n: int | None = None, q: int | None = None,
                  k: int = 10) -> Dataset:
    """60,000 training images as the base, 10,000 test images as queries (raw pixel values).

    metric "cosine" gives the L2-normalised copy. n and q take leading subsets (quick runs).
    """
    base = read_idx(FASHION_DIR / "train-images-idx3-ubyte.gz")
    queries = read_idx(FASHION_DIR / "t10k-images-idx3-ubyte.gz")
    base = np.ascontiguousarray(base.reshape(len(base), -1)[:n], dtype=np.float32)
    queries = np.ascontiguousarray(queries.reshape(len(queries), -1)[:q], dtype=np.float32)
    if metric == "cosine":
        base /= np.linalg.norm(base, axis=1, keepdims=True).clip(min=1e-30)
        queries /= np.linalg.norm(queries, axis=1, keepdims=True).clip(min=1e-30)
    elif metric != "l2":
        raise ValueError(f"unknown metric {metric!r}")
    label = "euclidean" if metric == "l2" else "angular"
    name = f"fashion-mnist-784-{label}"
    if n or q:
        name += f" (subset {len(base)}x{len(queries)})"
    gt = _cached(f"gt-fashion-{metric}{_subset(n, q)}-k{k}",
                 lambda: exact_knn(base, queries, k, metric))
    return Dataset(name, metric, base, queries, gt)


def fashion_labels(n: int | None = None) -> np.ndarray:
    """The class (0-9) of each of the first n training images: one class in ten each."""
    return read_idx(FASHION_DIR / "train-labels-idx1-ubyte.gz")[:n].astype(np.int64)


def clustered(n: int, dim: int = 128, q: int = 1000, clusters: int = 1000, seed: int = 7,
              k: int = 10, with_gt: bool = True, spread: tuple[float, float] = (0.5, 1.0)
              ) -> Dataset:
    """Synthetic Gaussian clusters; queries are fresh draws from the same mixture.

    Centres are standard normal; each cluster's standard deviation is drawn from `spread`. With
    the default the clusters overlap (a point's distance to its own centre is about that of two
    centres), as in real embeddings; (0.15, 0.45) gives islands that share no near neighbours.
    """
    rng = np.random.default_rng(seed)
    centres = rng.normal(0.0, 1.0, (clusters, dim)).astype(np.float32)
    spread_of = rng.uniform(spread[0], spread[1], clusters).astype(np.float32)

    def draw(count: int) -> np.ndarray:
        which = rng.integers(0, clusters, count)
        out = np.empty((count, dim), dtype=np.float32)
        step = 100_000
        for lo in range(0, count, step):
            w = which[lo:lo + step]
            noise = rng.standard_normal((len(w), dim), dtype=np.float32)
            out[lo:lo + step] = centres[w] + noise * spread_of[w, None]
        return out

    base = draw(n)
    queries = draw(q)
    key = f"gt-synthetic-{n}x{dim}-q{q}-s{seed}-c{clusters}-{spread[0]}-{spread[1]}-k{k}"
    gt = (_cached(key, lambda: exact_knn(base, queries, k, "l2"))
          if with_gt else np.empty((q, 0), dtype=np.int64))
    label = "" if spread == (0.5, 1.0) else f", spread {spread[0]}-{spread[1]}"
    return Dataset(f"synthetic clustered {n:,}x{dim} (euclidean{label})", "l2", base, queries, gt,
                   synthetic=True)


def load(spec: dict) -> Dataset:
    """Builds a data set from the small dict that jobs pass around (see run.py)."""
    kind = spec["kind"]
    if kind == "fashion":
        return fashion_mnist(spec["metric"], spec.get("n"), spec.get("q"))
    if kind == "synthetic":
        return clustered(spec["n"], spec.get("dim", 128), spec.get("q", 1000),
                         with_gt=spec.get("gt", True),
                         spread=tuple(spec.get("spread", (0.5, 1.0))))
    raise ValueError(f"unknown data set kind {kind!r}")
