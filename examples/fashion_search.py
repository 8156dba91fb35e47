"""Build a vector database from Fashion-MNIST, search it, save it and reopen it.

Fashion-MNIST (60,000 training images of 28 x 28 pixels, 10,000 test images) comes
from the Debian package dataset-fashion-mnist. Without it, a deterministic synthetic
clustered data set of the same shape is used instead.

Usage: python examples/fashion_search.py [--limit N] [--queries Q] [--path DIR]
"""

from __future__ import annotations

import argparse
import gzip
import os
import shutil
import sys
import tempfile
import time

import numpy as np

import _dralm

DATASET_DIR = "/usr/share/datasets/fashion-mnist"
CLASS_NAMES = ["t-shirt", "trouser", "pullover", "dress", "coat",
               "sandal", "shirt", "sneaker", "bag", "ankle boot"]


def read_idx(path: str) -> np.ndarray:
    """Reads an IDX file (the MNIST format): a magic, the dimensions, then uint8 data."""
    with gzip.open(path, "rb") as f:
        data = f.read()
    ndim = data[3]
    shape = tuple(int.from_bytes(data[4 + 4 * i: 8 + 4 * i], "big") for i in range(ndim))
    return np.frombuffer(data, dtype=np.uint8, offset=4 + 4 * ndim).reshape(shape)


def load_fashion_mnist():
    train = read_idx(os.path.join(DATASET_DIR, "train-images-idx3-ubyte.gz"))
    train_labels = read_idx(os.path.join(DATASET_DIR, "train-labels-idx1-ubyte.gz"))
    test = read_idx(os.path.join(DATASET_DIR, "t10k-images-idx3-ubyte.gz"))
    scale = np.float32(1.0 / 255.0)
    return (train.reshape(len(train), -1).astype(np.float32) * scale,
            train_labels.astype(np.int64),
            test.reshape(len(test), -1).astype(np.float32) * scale)


def synthetic_clusters(n: int, queries: int, dim: int = 784, clusters: int = 10):
    rng = np.random.default_rng(7)
    centres = rng.normal(0.0, 1.0, (clusters, dim)).astype(np.float32)
    labels = rng.integers(0, clusters, n)
    base = centres[labels] + rng.normal(0.0, 0.35, (n, dim)).astype(np.float32)
    query_labels = rng.integers(0, clusters, queries)
    test = centres[query_labels] + rng.normal(0.0, 0.35, (queries, dim)).astype(np.float32)
    return base.astype(np.float32), labels, test.astype(np.float32)


def exact_top_k(base: np.ndarray, queries: np.ndarray, k: int, mask=None) -> np.ndarray:
    """Exact nearest neighbours by squared L2, the reference for recall."""
    base_sq = np.einsum("ij,ij->i", base, base)
    result = []
    for start in range(0, len(queries), 256):
        q = queries[start:start + 256]
        d = base_sq[None, :] - 2.0 * (q @ base.T)
        if mask is not None:
            d[:, ~mask] = np.inf
        result.append(np.argsort(d, axis=1)[:, :k])
    return np.vstack(result)


def recall(results, truth: np.ndarray, k: int) -> float:
    hits = 0
    for hit_list, true_ids in zip(results, truth):
        found = {int(r.id) for r in hit_list}
        hits += len(found & set(int(i) for i in true_ids[:k]))
    return hits / (len(truth) * k)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--limit", type=int, default=60000, help="vectors to store")
    parser.add_argument("--queries", type=int, default=1000, help="queries to run")
    parser.add_argument("--path", help="database directory (default: a temporary one)")
    args = parser.parse_args()
    k = 10

    if os.path.isdir(DATASET_DIR):
        base, labels, test = load_fashion_mnist()
        source = "Fashion-MNIST"
    else:
        base, labels, test = synthetic_clusters(args.limit, args.queries)
        source = "synthetic clusters (install dataset-fashion-mnist for the real data)"
    base, labels, test = base[:args.limit], labels[:args.limit], test[:args.queries]
    print(f"data: {source}, {len(base)} vectors x {base.shape[1]} dims, {len(test)} queries")

    path = args.path or tempfile.mkdtemp(prefix="dralm-example-")
    shutil.rmtree(path, ignore_errors=True)

    db = _dralm.Database(path, dim=base.shape[1], metric="l2")
    ids = [str(i) for i in range(len(base))]
    metadatas = [{"label": int(c), "name": CLASS_NAMES[int(c) % 10]} for c in labels]
    started = time.perf_counter()
    db.add_many(ids, base, metadatas)
    build = time.perf_counter() - started
    print(f"built: {len(db)} vectors in {build:.1f} s ({len(db) / build:,.0f} vectors/s); "
          f"graph search: {not db.stats()['uses_brute_force']}")

    truth = exact_top_k(base, test, k)
    started = time.perf_counter()
    single = [db.search(q, k=k) for q in test]
    single_time = time.perf_counter() - started
    started = time.perf_counter()
    batched = db.search_many(test, k=k)
    batch_time = time.perf_counter() - started
    print(f"search:      recall@{k} {recall(single, truth, k):.4f}, "
          f"{len(test) / single_time:,.0f} queries/s (one thread)")
    print(f"search_many: recall@{k} {recall(batched, truth, k):.4f}, "
          f"{len(test) / batch_time:,.0f} queries/s (worker pool)")

    # A filtered search finds the k nearest matches at the default beam, here among one
    # class in ten; no wider beam is needed for a selective filter.
    wanted = 3
    filtered_truth = exact_top_k(base, test, k, mask=(labels == wanted))
    filtered = db.search_many(test, k=k, where_filter={"label": wanted})
    assert all(r.metadata["label"] == wanted for hits in filtered for r in hits)
    print(f"filtered search ({{'label': {wanted}}}, {CLASS_NAMES[wanted]}): "
          f"recall@{k} {recall(filtered, filtered_truth, k):.4f}")
    first = single[0][0]
    print(f"nearest to query 0: id {first.id}, distance {first.distance:.3f}, "
          f"metadata {first.metadata}")

    started = time.perf_counter()
    db.save()
    saved = time.perf_counter() - started
    del db
    started = time.perf_counter()
    reopened = _dralm.Database(path)
    opened = time.perf_counter() - started
    same = [r.id for r in reopened.search(test[0], k=k)] == [r.id for r in single[0]]
    print(f"save {saved:.2f} s, reopen {opened * 1000:.1f} ms (vectors memory-mapped), "
          f"same answers after reopening: {same}")

    if not args.path:
        shutil.rmtree(path, ignore_errors=True)
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
