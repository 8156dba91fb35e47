"""Small adds: their rate and their slowest calls, then self-recall of a sample and the
recall@10 and speed of searches over the graph they grew.

    python bench/small_adds.py --n 60000 --dim 128            # one `add` a vector
    python bench/small_adds.py --n 200000 --dim 128 --batch 1000   # `add_many` of 1,000

Every vector goes in by its own `add`, or by `add_many` of `--batch` vectors (clustered
data, l2, default m and ef_construction), each call timed, so the report shows both the
rate and the calls that waited for work the engine does now and then (a findability pass
over every node). Then `--queries` new vectors drawn like the data are searched for, one
`search` each, at a few beams: recall@10 against an exact scan, and queries a second.
Pin single adds to one CPU (`taskset -c 1`) to compare two builds.
"""

from __future__ import annotations

import argparse
import tempfile
import time

import numpy as np

import datasets
import dralm
import measure


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--n", type=int, default=60000)
    ap.add_argument("--dim", type=int, default=128)
    ap.add_argument("--batch", type=int, default=1, help="vectors a call (1: `add`)")
    ap.add_argument("--sample", type=int, default=2000, help="vectors searched for themselves")
    ap.add_argument("--queries", type=int, default=1000, help="new vectors searched for")
    ap.add_argument("--ef", type=int, nargs="+", default=[20, 50, 100], help="beams searched at")
    args = ap.parse_args()
    rng = np.random.default_rng(3)
    centres = rng.standard_normal((200, args.dim)).astype(np.float32)
    noise = 0.6 * rng.standard_normal((args.n, args.dim)).astype(np.float32)
    data = centres[rng.integers(0, 200, args.n)] + noise
    queries = centres[rng.integers(0, 200, args.queries)] + 0.6 * rng.standard_normal(
        (args.queries, args.dim)
    ).astype(np.float32)
    with tempfile.TemporaryDirectory() as path:
        db = dralm.Database(path, dim=args.dim, metric="l2")
        starts = range(0, args.n, args.batch)
        seconds = np.empty(len(starts))
        wall, cpu = time.perf_counter(), time.process_time()
        for call, i in enumerate(starts):
            start = time.perf_counter()
            if args.batch == 1:
                db.add(f"v{i}", data[i])
            else:
                end = min(args.n, i + args.batch)
                db.add_many([f"v{j}" for j in range(i, end)], data[i:end])
            seconds[call] = time.perf_counter() - start
        wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
        sample = rng.integers(0, args.n, args.sample)
        missed = sum(db.search(data[i], k=1)[0].id != f"v{i}" for i in sample)
        truth = datasets.exact_knn(data, queries, 10, "l2")
        walks = [search_figures(db, queries, truth, ef) for ef in args.ef]
    slowest = ", ".join(f"{s * 1e3:.0f}" for s in np.sort(seconds)[-5:])
    print(f"{args.n / wall:,.0f} vectors/s ({args.n / cpu:,.0f} per CPU-s); "
          f"p99 {np.percentile(seconds, 99) * 1e3:.2f} ms; slowest five {slowest} ms; "
          f"self-recall misses {missed} of {args.sample}")
    for ef, (recall, qps) in zip(args.ef, walks):
        print(f"ef {ef}: recall@10 {recall:.4f}, {qps:,.0f} queries/s")


def search_figures(db: dralm.Database, queries: np.ndarray, truth: np.ndarray, ef: int):
    """recall@10 and queries a second (best of three timed passes after a warm-up) of one
    `search` per query at beam `ef`."""

    def one_pass():
        return [[int(r.id[1:]) for r in db.search(q, k=10, ef_search=ef)] for q in queries]

    times, found = measure.timed(one_pass, 4)
    return measure.recall_at_k(found, truth), len(queries) / min(times[1:])


if __name__ == "__main__":
    main()
