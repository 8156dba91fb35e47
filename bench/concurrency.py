"""Searches while writing: dralm against hnswlib in one script, on the same data and steps.

A base of clustered vectors (100k x 128 by default) is built, then for each write batch size
(1, 100 and 1,000 per call) the script measures, on the same growing index:

- idle: `--readers` threads (one by default) searching alone (k = 10, fixed ef), for
  `--idle-seconds`;
- write alone: one writer adding `--writes` new vectors in batches of that size;
- write with a reader: the same number of further vectors while the search threads search
  without pause, recording each search's latency.

Reported per engine and batch size: idle QPS, QPS while writing (and its share of idle),
p50/p99/max search latency while writing, write throughput alone and with the reader (and its
share). Each call is timed from Python with perf_counter, the same way for both libraries,
which both release the GIL inside their calls. Writes use every CPU the process may run on.

    python bench/concurrency.py                       # 100k x 128, writes of 20k per phase
    python bench/concurrency.py --n 20000 --writes 2000 --idle-seconds 1   # a quick look

Results: bench/results/concurrency.md and .json (--out to change).
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import shutil
import sys
import tempfile
import threading
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from datasets import clustered  # noqa: E402

M, EF_CONSTRUCTION, K = 16, 200, 10
RESULTS = Path(__file__).resolve().parent / "results"


class DralmSide:
    name = "dralm"
    short_results = 0

    def __init__(self, dim: int, capacity: int, workdir: Path):
        import dralm
        self.path = workdir / "dralm-db"
        shutil.rmtree(self.path, ignore_errors=True)
        self.db = dralm.Database(str(self.path), dim=dim, metric="euclidean", m=M,
                                 ef_construction=EF_CONSTRUCTION)
        self.version = getattr(dralm, "__version__", "?")

    def add(self, first: int, vectors: np.ndarray) -> None:
        if len(vectors) == 1:
            self.db.add(str(first), vectors[0])
        else:
            self.db.add_many([str(i) for i in range(first, first + len(vectors))], vectors)

    def search(self, query: np.ndarray, ef: int) -> object:
        return self.db.search(query, k=K, ef_search=ef)

    def save(self) -> None:
        self.db.save()

    def close(self) -> None:
        del self.db
        shutil.rmtree(self.path, ignore_errors=True)


class HnswlibSide:
    name = "hnswlib"
    short_results = 0

    def __init__(self, dim: int, capacity: int, workdir: Path):
        import hnswlib
        self.index = hnswlib.Index(space="l2", dim=dim)
        self.index.init_index(max_elements=capacity, M=M, ef_construction=EF_CONSTRUCTION)
        self.version = getattr(hnswlib, "__version__", "?")
        self._ef = None

    def add(self, first: int, vectors: np.ndarray) -> None:
        self.index.add_items(vectors, np.arange(first, first + len(vectors)))

    def search(self, query: np.ndarray, ef: int) -> object:
        if self._ef != ef:  # the reader is the only caller that sets it
            self.index.set_ef(ef)
            self._ef = ef
        return self.index.knn_query(query, k=K, num_threads=1)

    def close(self) -> None:
        del self.index


def run_searches(side, queries: np.ndarray, ef: int, stop: threading.Event,
                 seconds: float | None = None) -> tuple[int, float, list[float]]:
    """Searches one query after another until `stop` is set (or `seconds` pass)."""
    latencies: list[float] = []
    start = time.perf_counter()
    end = start + seconds if seconds is not None else None
    i = 0
    while not stop.is_set():
        q = queries[i % len(queries)]
        t0 = time.perf_counter()
        try:
            side.search(q, ef)
        except RuntimeError:
            # hnswlib refuses a query that found fewer than k neighbours (its walk can
            # meet nodes still being linked); counted, and the search goes on.
            side.short_results += 1
        t1 = time.perf_counter()
        latencies.append(t1 - t0)
        i += 1
        if end is not None and t1 >= end:
            break
    return i, time.perf_counter() - start, latencies


def write(side, first: int, vectors: np.ndarray, batch: int) -> float:
    """Adds `vectors` (ids from `first`) in calls of `batch`; returns the seconds taken."""
    t0 = time.perf_counter()
    for lo in range(0, len(vectors), batch):
        side.add(first + lo, vectors[lo:lo + batch])
    return time.perf_counter() - t0


def percentile_ms(latencies: list[float], p: float) -> float:
    return float(np.percentile(np.asarray(latencies), p) * 1000.0) if latencies else float("nan")


def measure(side, base: np.ndarray, extra: np.ndarray, queries: np.ndarray, batches: list[int],
            writes: int, ef: int, idle_seconds: float, readers: int = 1) -> dict:
    t0 = time.perf_counter()
    write(side, 0, base, 10_000)
    out = {"engine": side.name, "version": side.version,
           "build_seconds": round(time.perf_counter() - t0, 1), "phases": []}
    first = len(base)
    used = 0
    for batch in batches:
        idle = [dict() for _ in range(readers)]
        threads = [threading.Thread(
            target=lambda r=r, off=off: r.update(zip(("count", "seconds", "lat"), run_searches(
                side, np.roll(queries, off, axis=0), ef, threading.Event(), idle_seconds))))
            for off, r in zip(range(0, 97 * readers, 97), idle)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        idle_qps = sum(r["count"] / r["seconds"] for r in idle)
        idle_p99 = percentile_ms([x for r in idle for x in r["lat"]], 99)
        alone = write(side, first, extra[used:used + writes], batch)
        first += writes
        used += writes

        stop = threading.Event()
        results = [dict() for _ in range(readers)]
        threads = [threading.Thread(
            target=lambda r=r, off=off: r.update(zip(("count", "seconds", "lat"), run_searches(
                side, np.roll(queries, off, axis=0), ef, stop))))
            for off, r in zip(range(0, 97 * readers, 97), results)]
        for t in threads:
            t.start()
        time.sleep(0.05)  # the readers are searching before the first write
        with_reader = write(side, first, extra[used:used + writes], batch)
        stop.set()
        for t in threads:
            t.join()
        first += writes
        used += writes
        result = {"lat": [x for r in results for x in r["lat"]]}
        busy_qps = sum(r["count"] / r["seconds"] for r in results)
        short, side.short_results = side.short_results, 0
        phase = {
            "batch": batch, "size_before": first - 2 * writes,
            "idle_qps": round(idle_qps), "idle_p99_ms": round(idle_p99, 3),
            "busy_qps": round(busy_qps), "busy_share": round(busy_qps / idle_qps, 3),
            "busy_p50_ms": round(percentile_ms(result["lat"], 50), 3),
            "busy_p99_ms": round(percentile_ms(result["lat"], 99), 3),
            "busy_max_ms": round(max(result["lat"]) * 1000.0, 3),
            "write_alone_per_s": round(writes / alone), "write_busy_per_s": round(writes / with_reader),
            "write_share": round(alone / with_reader, 3),
            "failed_searches": short,
        }
        out["phases"].append(phase)
        print(f"  {side.name:8s} batch {batch:>5}: idle {phase['idle_qps']:>6} QPS, while writing "
              f"{phase['busy_qps']:>6} ({phase['busy_share']:.0%}), p50/p99/max "
              f"{phase['busy_p50_ms']:.2f}/{phase['busy_p99_ms']:.2f}/{phase['busy_max_ms']:.1f} ms;"
              f" writes {phase['write_alone_per_s']}/s alone, {phase['write_busy_per_s']}/s with "
              f"the reader ({phase['write_share']:.0%}); {short} searches failed", flush=True)
    if hasattr(side, "save"):
        # A save beside the reader: how long searches wait while the files are written.
        stop = threading.Event()
        result = {}
        reader = threading.Thread(
            target=lambda: result.update(zip(("count", "seconds", "lat"),
                                             run_searches(side, queries, ef, stop))))
        reader.start()
        time.sleep(0.05)
        t0 = time.perf_counter()
        side.save()
        save_seconds = time.perf_counter() - t0
        stop.set()
        reader.join()
        out["save"] = {"size": first, "seconds": round(save_seconds, 2),
                       "searches": result["count"],
                       "p99_ms": round(percentile_ms(result["lat"], 99), 3),
                       "max_ms": round(max(result["lat"]) * 1000.0, 3)}
        print(f"  {side.name:8s} save of {first:,}: {save_seconds:.2f} s; {result['count']} "
              f"searches meanwhile, p99 {out['save']['p99_ms']:.2f} ms, max "
              f"{out['save']['max_ms']:.1f} ms", flush=True)
    return out


def report(results: list[dict], args, out: Path) -> None:
    lines = [
        "# Searches while writing",
        "",
        f"{args.n:,} x {args.dim} clustered vectors (euclidean), M = {M}, efConstruction = "
        f"{EF_CONSTRUCTION}; {args.readers} thread(s) searching (k = {K}, ef = {args.ef}) while "
        f"one writer adds "
        f"{args.writes:,} vectors per phase in batches of the given size, on the same growing "
        f"index (size before each phase in the table). Machine: {os.cpu_count()} CPUs, "
        f"{platform.processor() or platform.machine()}.",
        "",
        f"Command: `python bench/concurrency.py {' '.join(sys.argv[1:])}`",
        "",
        "| engine | batch | index size | idle QPS | QPS while writing | share | p50 ms | p99 ms "
        "| max ms | writes/s alone | writes/s with reader | share | failed searches |",
        "|---|---|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for r in results:
        for p in r["phases"]:
            lines.append(
                f"| {r['engine']} {r['version']} | {p['batch']:,} | {p['size_before']:,} | "
                f"{p['idle_qps']:,} | {p['busy_qps']:,} | {p['busy_share']:.0%} | "
                f"{p['busy_p50_ms']:.2f} | {p['busy_p99_ms']:.2f} | {p['busy_max_ms']:.1f} | "
                f"{p['write_alone_per_s']:,} | {p['write_busy_per_s']:,} | {p['write_share']:.0%} | "
                f"{p['failed_searches']} |")
    for r in results:
        if "save" in r:
            sv = r["save"]
            lines += ["", f"Save beside the reader ({r['engine']}): `save()` of {sv['size']:,} vectors "
                      f"took {sv['seconds']} s; {sv['searches']:,} searches ran meanwhile, p99 "
                      f"{sv['p99_ms']:.2f} ms, max {sv['max_ms']:.1f} ms."]
    out.with_suffix(".md").write_text("\n".join(lines) + "\n")
    out.with_suffix(".json").write_text(json.dumps(
        {"n": args.n, "dim": args.dim, "writes": args.writes, "ef": args.ef,
         "readers": args.readers, "cpus": os.cpu_count(), "results": results}, indent=1) + "\n")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--writes", type=int, default=20_000)
    parser.add_argument("--batches", default="1,100,1000")
    parser.add_argument("--ef", type=int, default=64)
    parser.add_argument("--idle-seconds", type=float, default=3.0)
    parser.add_argument("--readers", type=int, default=1,
                        help="search threads (QPS summed over them, latencies pooled)")
    parser.add_argument("--engines", default="dralm,hnswlib")
    parser.add_argument("--out", type=Path, default=RESULTS / "concurrency")
    args = parser.parse_args()
    batches = [int(b) for b in args.batches.split(",")]
    extra_count = 2 * args.writes * len(batches)
    data = clustered(args.n + extra_count, args.dim, q=1000, with_gt=False)
    base, extra, queries = data.base[:args.n], data.base[args.n:], data.queries
    sides = {"dralm": DralmSide, "hnswlib": HnswlibSide}
    results = []
    with tempfile.TemporaryDirectory(prefix="dralm-concurrency-") as work:
        for name in args.engines.split(","):
            print(f"{name}: building {args.n:,} x {args.dim}", flush=True)
            side = sides[name](args.dim, args.n + extra_count, Path(work))
            results.append(measure(side, base, extra, queries, batches, args.writes, args.ef,
                                   args.idle_seconds, args.readers))
            side.close()
    report(results, args, args.out)
    print(f"wrote {args.out.with_suffix('.md')}")


if __name__ == "__main__":
    main()
