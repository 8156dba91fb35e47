"""Reader processes: N processes opened read_only on one saved directory, each searching.

A database of clustered vectors (100k x 128 by default) is built and saved once. Then, for each
process count in `--procs` (1, 2, 4 by default), that many worker processes open the directory
with `read_only=True`, warm up, wait for a common start, and search one query after another
(k = 10, fixed ef) for `--seconds`. Each worker reports its searches, wall time and CPU time.

Reported per process count: total QPS, QPS per CPU (total QPS over min(processes, CPUs)),
searches per CPU-second (searches over the CPU time the workers used, which does not depend on
what else the machine runs), and each figure's share of the one-process run. Rounds alternate
the process counts (1, 2, 4, 1, 2, 4, ...) so that a change in the machine's load falls on all
of them; the median round is reported, with the load average beside it.

    python bench/reader_processes.py                          # 100k x 128, 3 rounds of 5 s
    python bench/reader_processes.py --n 20000 --seconds 2    # a quick look

Results: bench/results/reader-processes.md and .json (--out to change).
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from datasets import clustered  # noqa: E402

M, EF_CONSTRUCTION, K = 16, 200, 10
RESULTS = Path(__file__).resolve().parent / "results"


def worker(path: str, queries_file: str, ef: int, seconds: float, offset: int) -> None:
    """One reader process: open, warm up, say ready, wait for the start, search, report."""
    import dralm
    db = dralm.Database(path, read_only=True)
    queries = np.load(queries_file)
    for q in queries[:200]:  # warm up: mapping, caches, thread scratch
        db.search(q, k=K, ef_search=ef)
    print("ready", flush=True)
    sys.stdin.readline()  # the start signal
    count = 0
    cpu0, t0 = time.process_time(), time.perf_counter()
    end = t0 + seconds
    while True:
        db.search(queries[(offset + count) % len(queries)], k=K, ef_search=ef)
        count += 1
        if (count & 31) == 0 and time.perf_counter() >= end:
            break
    wall, cpu = time.perf_counter() - t0, time.process_time() - cpu0
    print(json.dumps({"searches": count, "wall": wall, "cpu": cpu}), flush=True)


def run_round(procs: int, path: Path, queries_file: Path, ef: int, seconds: float) -> dict:
    children = [subprocess.Popen(
        [sys.executable, __file__, "--worker", str(path), str(queries_file), str(ef),
         str(seconds), str(i * 97)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        for i in range(procs)]
    for c in children:
        if c.stdout.readline().strip() != "ready":
            raise RuntimeError("a reader process failed to start")
    load = os.getloadavg()[0]
    for c in children:  # the start signal, to all at once
        c.stdin.write("go\n")
        c.stdin.flush()
    reports = []
    for c in children:
        reports.append(json.loads(c.stdout.readline()))
        c.wait()
    searches = sum(r["searches"] for r in reports)
    wall = max(r["wall"] for r in reports)
    cpu = sum(r["cpu"] for r in reports)
    qps = searches / wall
    return {"procs": procs, "searches": searches, "qps": qps,
            "qps_per_cpu": qps / min(procs, os.cpu_count() or 1),
            "per_cpu_second": searches / cpu, "load": load}


def report(rows: list[dict], rounds: dict, args, out: Path) -> None:
    base = rows[0]
    lines = [
        "# Reader processes on one saved directory",
        "",
        f"{args.n:,} x {args.dim} clustered vectors (euclidean), M = {M}, efConstruction = "
        f"{EF_CONSTRUCTION}, saved once; each process opens it with `read_only=True` and "
        f"searches one query after another (k = {K}, ef = {args.ef}) for {args.seconds} s. "
        f"{args.rounds} rounds, process counts interleaved within each round; the median round "
        f"of each count is shown. Machine: {os.cpu_count()} CPUs, "
        f"{platform.processor() or platform.machine()}.",
        "",
        f"Command: `python bench/reader_processes.py {' '.join(sys.argv[1:])}`",
        "",
        "| processes | total QPS | QPS per CPU | share of 1 process | searches per CPU-second "
        "| share of 1 process | load average at start |",
        "|---|---|---|---|---|---|---|",
    ]
    for r in rows:
        lines.append(
            f"| {r['procs']} | {r['qps']:,.0f} | {r['qps_per_cpu']:,.0f} | "
            f"{r['qps_per_cpu'] / base['qps_per_cpu']:.0%} | {r['per_cpu_second']:,.0f} | "
            f"{r['per_cpu_second'] / base['per_cpu_second']:.0%} | {r['load']:.2f} |")
    out.with_suffix(".md").write_text("\n".join(lines) + "\n")
    out.with_suffix(".json").write_text(json.dumps(
        {"n": args.n, "dim": args.dim, "ef": args.ef, "seconds": args.seconds,
         "cpus": os.cpu_count(), "median": rows, "rounds": rounds}, indent=1) + "\n")


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--worker":
        path, queries_file, ef, seconds, offset = sys.argv[2:7]
        worker(path, queries_file, int(ef), float(seconds), int(offset))
        return
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--ef", type=int, default=64)
    parser.add_argument("--procs", default="1,2,4")
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--out", type=Path, default=RESULTS / "reader-processes")
    args = parser.parse_args()
    counts = [int(p) for p in args.procs.split(",")]
    import dralm
    data = clustered(args.n, args.dim, q=1000, with_gt=False)
    with tempfile.TemporaryDirectory(prefix="dralm-readers-") as work:
        path = Path(work) / "db"
        db = dralm.Database(str(path), dim=args.dim, metric="euclidean", m=M,
                            ef_construction=EF_CONSTRUCTION)
        t0 = time.perf_counter()
        for lo in range(0, args.n, 10_000):
            db.add_many([str(i) for i in range(lo, min(lo + 10_000, args.n))],
                        data.base[lo:lo + 10_000])
        db.save()
        del db
        print(f"built and saved {args.n:,} x {args.dim} in {time.perf_counter() - t0:.1f} s",
              flush=True)
        queries_file = Path(work) / "queries.npy"
        np.save(queries_file, data.queries)
        rounds: dict = {c: [] for c in counts}
        for r in range(args.rounds):
            for c in counts:
                row = run_round(c, path, queries_file, args.ef, args.seconds)
                rounds[c].append(row)
                print(f"  round {r + 1}, {c} process(es): {row['qps']:,.0f} QPS, "
                      f"{row['qps_per_cpu']:,.0f} per CPU, {row['per_cpu_second']:,.0f} per "
                      f"CPU-second (load {row['load']:.2f})", flush=True)
    rows = [sorted(rounds[c], key=lambda x: x["qps_per_cpu"])[len(rounds[c]) // 2] for c in counts]
    report(rows, {str(c): v for c, v in rounds.items()}, args, args.out)
    print(f"wrote {args.out.with_suffix('.md')}")


if __name__ == "__main__":
    main()
