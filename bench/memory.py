"""Resident memory of a saved index after an open and a few thousand searches.

    python bench/memory.py --n 1000000 --out bench/results/graph/1m/memory.json

Reads the indexes that run.py's synthetic stage saved (bench/data/indexes/synthetic/). Every
case runs in a fresh process pinned to one CPU: the library is imported and the queries loaded
before the first reading, so the figures hold the index alone. dralm maps vectors.bin instead of
reading it, so its resident size counts only the float rows that searches touched: the mapped
(file) pages and the process's own (anonymous) pages are reported apart, beside the engine's
own size accounting (stats()) and the size of every file of the database.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

BENCH = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH))

import datasets  # noqa: E402
import measure  # noqa: E402
from libraries import engine  # noqa: E402

CASES = ["dralm", "dralm+sq8", "dralm+sq4", "hnswlib", "faiss-hnsw"]
K = 10


def memory_now() -> dict[str, int]:
    """Resident bytes of this process, all of it and its anonymous (not file-backed) part."""
    fields = {}
    with open("/proc/self/smaps_rollup") as f:
        for line in f:
            name, _, rest = line.partition(":")
            if name in ("Rss", "Anonymous"):
                fields[name] = int(rest.split()[0]) * 1024
    return {"rss": fields["Rss"], "anon": fields["Anonymous"],
            "file": fields["Rss"] - fields["Anonymous"]}


def child(case: str, index: Path, queries_path: Path, searches: int, ef: int) -> dict:
    lib, _, mode = case.partition("+")
    queries = np.load(queries_path)
    eng = engine(lib, queries.shape[1], "l2", 1)
    before = memory_now()
    eng.load(index)
    if mode:
        eng.enable_quantized(4 if mode == "sq4" else 8)
    opened = memory_now()
    eng.set_ef(ef)
    for i in range(searches):
        # One query a call; dralm's search() takes the database's default beam (200 for k 10).
        eng.search_one(queries[i % len(queries)], K)
    searched = memory_now()
    out = {"case": case, "before": before, "after_open": opened, "after_searches": searched,
           "searches": searches}
    if hasattr(eng, "stats"):
        out["stats"] = eng.stats()
    if index.is_dir():
        out["files"] = {p.name: p.stat().st_size for p in sorted(index.iterdir()) if p.is_file()}
    else:
        out["files"] = {index.name: index.stat().st_size}
    return out


def index_path(work: Path, lib: str) -> Path:
    base = work / "indexes" / "synthetic"
    return base / ("dralm" if lib == "dralm" else f"{lib}.index")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--n", type=int, required=True, help="vectors in the saved synthetic set")
    ap.add_argument("--dim", type=int, default=128)
    ap.add_argument("--work", type=Path, default=BENCH / "data", help="where the indexes are")
    ap.add_argument("--cases", default=",".join(CASES))
    ap.add_argument("--searches", type=int, default=3000)
    ap.add_argument("--ef", type=int, default=200, help="beam of the peers' searches")
    ap.add_argument("--out", type=Path, required=True, help="JSON results file")
    ap.add_argument("--child", help=argparse.SUPPRESS)
    ap.add_argument("--queries", type=Path, help=argparse.SUPPRESS)
    args = ap.parse_args()

    if args.child:
        lib = args.child.partition("+")[0]
        result = child(args.child, index_path(args.work, lib), args.queries, args.searches,
                       args.ef)
        args.out.write_text(json.dumps(result))
        return 0

    ds = datasets.clustered(args.n, args.dim, with_gt=False)
    results = {"n": args.n, "dim": args.dim, "searches": args.searches, "cases": []}
    with tempfile.TemporaryDirectory() as tmp:
        queries = Path(tmp) / "queries.npy"
        np.save(queries, ds.queries)
        del ds
        for case in args.cases.split(","):
            one = Path(tmp) / "one.json"
            cmd = ["taskset", "-c", os.environ.get("BENCH_CPU", "0"), sys.executable,
                   __file__, "--child", case, "--queries", str(queries), "--work",
                   str(args.work), "--searches", str(args.searches), "--ef", str(args.ef),
                   "--n", str(args.n), "--out", str(one)]
            proc = subprocess.run(cmd, capture_output=True, text=True)
            if proc.returncode != 0:
                print(f"{case} FAILED:\n{proc.stderr}", file=sys.stderr)
                results["cases"].append({"case": case, "error": proc.stderr[-2000:]})
                continue
            res = json.loads(one.read_text())
            grown = {k: res["after_searches"][k] - res["before"][k] for k in ("rss", "anon",
                                                                              "file")}
            res["bytes_per_vector"] = {k: v / args.n for k, v in grown.items()}
            results["cases"].append(res)
            b = res["bytes_per_vector"]
            print(f"{case}: {b['rss']:.1f} B/vector resident after {args.searches} searches "
                  f"(anonymous {b['anon']:.1f}, mapped files {b['file']:.1f})", file=sys.stderr)
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text(json.dumps(results, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
