"""Single adds: their rate and their slowest calls, then self-recall of a sample.

    python bench/single_adds.py --n 60000 --dim 128

Every vector goes in by its own `add` (clustered data, l2, default m and ef_construction),
timed one by one, so the report shows both the rate and the calls that waited for work
the engine does now and then (a findability pass over every node). Pin it to one CPU
(`taskset -c 1`) to compare two builds.
"""

from __future__ import annotations

import argparse
import tempfile
import time

import numpy as np

import dralm


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--n", type=int, default=60000)
    ap.add_argument("--dim", type=int, default=128)
    ap.add_argument("--sample", type=int, default=2000, help="vectors searched for themselves")
    args = ap.parse_args()
    rng = np.random.default_rng(3)
    centres = rng.standard_normal((200, args.dim)).astype(np.float32)
    noise = 0.6 * rng.standard_normal((args.n, args.dim)).astype(np.float32)
    data = centres[rng.integers(0, 200, args.n)] + noise
    with tempfile.TemporaryDirectory() as path:
        db = dralm.Database(path, dim=args.dim, metric="l2")
        seconds = np.empty(args.n)
        wall, cpu = time.perf_counter(), time.process_time()
        for i in range(args.n):
            start = time.perf_counter()
            db.add(f"v{i}", data[i])
            seconds[i] = time.perf_counter() - start
        wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
        sample = rng.integers(0, args.n, args.sample)
        missed = sum(db.search(data[i], k=1)[0].id != f"v{i}" for i in sample)
    slowest = ", ".join(f"{s * 1e3:.0f}" for s in np.sort(seconds)[-5:])
    print(f"{args.n / wall:,.0f} adds/s ({args.n / cpu:,.0f} per CPU-s); "
          f"p99 {np.percentile(seconds, 99) * 1e3:.2f} ms; slowest five {slowest} ms; "
          f"self-recall misses {missed} of {args.sample}")


if __name__ == "__main__":
    main()
