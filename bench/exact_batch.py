"""Exact search_many throughput: 1,000 Fashion-MNIST queries against the largest database
that still searches exactly (12,755 x 784 = 9,999,920 live floats, just under the ten
million where the graph takes over), per metric, k = 10.

Run it once per build of the extension to compare them (e.g. with and without BLAS):
    python bench/exact_batch.py --label blas --save build/exact-blas.npz
    DRALM_BUILD_DIR=build/noblas python bench/exact_batch.py --label per-query \
        --compare build/exact-blas.npz
--compare checks that both builds returned the same ids and distances.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
if os.environ.get("DRALM_BUILD_DIR"):
    sys.path.insert(0, os.path.abspath(os.environ["DRALM_BUILD_DIR"]))

import datasets  # noqa: E402
from _dralm import Database  # noqa: E402

LIVE_FLOAT_LIMIT = 10_000_000


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--label", required=True, help="name of this build in the output")
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--k", type=int, default=10)
    parser.add_argument("--repeat", type=int, default=3, help="timed runs; the best is kept")
    parser.add_argument("--metrics", default="euclidean,cosine,dot_product")
    parser.add_argument("--save", help="write the ids and distances to this .npz")
    parser.add_argument("--compare", help="check the ids and distances against this .npz")
    args = parser.parse_args()

    data = datasets.fashion_mnist("l2", q=args.queries)
    rows = (LIVE_FLOAT_LIMIT - 1) // data.dim
    base, queries = data.base[:rows], data.queries
    saved = {}
    expected = np.load(args.compare) if args.compare else None
    for metric in args.metrics.split(","):
        with tempfile.TemporaryDirectory() as tmp:
            db = Database(os.path.join(tmp, "db"), dim=data.dim, metric=metric)
            db.add_many([str(i) for i in range(rows)], base)
            assert db.stats()["uses_brute_force"]
            best = float("inf")
            for _ in range(args.repeat):
                start = time.perf_counter()
                results = db.search_many(queries, k=args.k)
                best = min(best, time.perf_counter() - start)
            ids = np.array([[int(h.id) for h in hits] for hits in results])
            dist = np.array([[h.distance for h in hits] for hits in results], dtype=np.float32)
            saved[f"{metric}_ids"], saved[f"{metric}_dist"] = ids, dist
            same = ""
            if expected is not None:
                equal = (np.array_equal(ids, expected[f"{metric}_ids"])
                         and np.array_equal(dist, expected[f"{metric}_dist"]))
                same = f" | same results as {args.compare}: {'yes' if equal else 'NO'}"
            print(f"{args.label} | {metric} | {rows} x {data.dim} | {len(queries)} queries | "
                  f"{best:.3f} s | {len(queries) / best:.1f} QPS{same}", flush=True)
    if args.save:
        np.savez(args.save, **saved)
    return 0


if __name__ == "__main__":
    sys.exit(main())
