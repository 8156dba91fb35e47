"""A steady dralm workload to run under a profiler, on an index a benchmark run saved.

    taskset -c 0 perf record -g -o /tmp/perf.data -- \\
        python bench/profile.py search --seconds 20 --ef 40
    perf report -i /tmp/perf.data --no-children --percent-limit 1 --stdio

Workloads: `search` (search_many over the Fashion-MNIST queries, one ef), `sq8` (the same with
quantized traversal), `scan` (single exact-scan queries), `open` (repeated opens), `build`
(one add_many of the synthetic set into a fresh database).
"""

from __future__ import annotations

import argparse
import sys
import tempfile
import time
from pathlib import Path

BENCH = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH))

import datasets  # noqa: E402
from engine import affinity  # noqa: E402
from libraries import engine  # noqa: E402


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("workload", choices=["search", "sq8", "scan", "open", "build"])
    ap.add_argument("--seconds", type=float, default=15.0)
    ap.add_argument("--ef", type=int, default=40)
    ap.add_argument("--work", type=Path, default=BENCH / "data")
    ap.add_argument("--n", type=int, help="Fashion-MNIST base subset (as the run used)")
    ap.add_argument("--synthetic-n", type=int, default=200_000)
    args = ap.parse_args()
    indexes = args.work / "indexes"
    threads = affinity()

    if args.workload == "build":
        ds = datasets.clustered(args.synthetic_n, with_gt=False)
        eng = engine("dralm", ds.dim, ds.metric, threads)
        with tempfile.TemporaryDirectory() as tmp:
            start = time.perf_counter()
            eng.build_at(Path(tmp) / "db", ds.base)
            print(f"build {time.perf_counter() - start:.2f} s")
        return 0
    if args.workload == "scan":
        ds = datasets.clustered(10_000_000 // 128 - 1, q=300, with_gt=False)
        path = indexes / "scan" / "dralm"
    elif args.workload == "open":
        ds = None  # opening needs no data, only the saved database
        path = indexes / "synthetic" / "dralm"
    else:
        ds = datasets.fashion_mnist("l2", args.n, None)
        path = indexes / "fashion-l2" / "dralm"
    eng = engine("dralm", ds.dim if ds else 0, "l2", threads)
    eng.load(path)
    if args.workload == "sq8":
        eng.enable_sq8()
    eng.set_ef(args.ef)
    done, start = 0, time.perf_counter()
    while time.perf_counter() - start < args.seconds:
        if args.workload == "open":
            eng.close()
            eng.load(path)
            done += 1
        elif args.workload == "scan":
            for q in ds.queries:
                eng.search_one(q, 10)
            done += len(ds.queries)
        else:
            eng.search_raw(ds.queries, 10)
            done += len(ds.queries)
    elapsed = time.perf_counter() - start
    print(f"{args.workload}: {done} operations in {elapsed:.1f} s, {done / elapsed:,.0f}/s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
