"""Two builds of dralm side by side with hnswlib: the recall/QPS sweep and the build time.

Each call measures one library (or one dralm build, chosen by the directory put first on the
import path with --site) and prints one JSON line, so a shell loop can interleave builds and
repeat them while the machine's load drifts:

    taskset -c 0 python bench/walk_compare.py search --lib dralm --site build/old-site \\
        --metric l2 --index bench/data/walk/fashion-l2
    taskset -c 0 python bench/walk_compare.py search --lib hnswlib --metric l2 ...
    taskset -c 0,1 python bench/walk_compare.py build --lib dralm --metric l2 ...

`build` times one add_many / add_items of the whole base with the CPUs of the affinity mask,
saves the index to --index (searches open it from there, so every dralm build searches the
same graph) and reports recall@10 at --ef. `search` sweeps ef over the queries in one batch
call per pass (search_many / knn_query) and reports the median wall time of the passes.
`summary` reads the JSON lines back and prints QPS at a recall target per run.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import sys
import time
from pathlib import Path

import numpy as np

BENCH = Path(__file__).resolve().parent


def load_data(args):
    import datasets
    if args.data == "fashion":
        return datasets.fashion_mnist(args.metric, q=args.queries)
    return datasets.clustered(args.n, q=args.queries or 1000)


def recall_of(found, gt) -> float:
    k = gt.shape[1]
    return sum(len(set(f[:k].tolist()) & set(g.tolist())) for f, g in zip(found, gt)) / gt.size


def open_engine(args, ds):
    threads = len(os.sched_getaffinity(0))
    if args.lib == "hnswlib":
        from peers import HnswlibEngine
        return HnswlibEngine(ds.dim, ds.metric, threads)
    from ours import DralmEngine
    return DralmEngine(ds.dim, ds.metric, threads)


def search_ids(engine, queries, k):
    if engine.name == "dralm":
        return engine.to_ids(engine.search_raw(queries, k), k)
    return engine.search(queries, k)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("stage", choices=["build", "search", "ab", "summary"])
    ap.add_argument("--lib", choices=["dralm", "hnswlib"], default="dralm")
    ap.add_argument("--site", help="directory put first on sys.path (a dralm build)")
    ap.add_argument("--ab", nargs=2, metavar=("SITE_A", "SITE_B"),
                    help="ab: two dralm builds loaded into this one process")
    ap.add_argument("--label", help="name of this run in the output (default: lib or site)")
    ap.add_argument("--data", choices=["fashion", "synthetic"], default="fashion")
    ap.add_argument("--metric", choices=["l2", "cosine"], default="l2")
    ap.add_argument("--n", type=int, default=1_000_000, help="synthetic base size")
    ap.add_argument("--queries", type=int, help="leading subset of the queries")
    ap.add_argument("--index", type=Path, help="where the index is saved / opened")
    ap.add_argument("--ef", type=int, nargs="+", default=[16, 24, 32, 48, 64, 96])
    ap.add_argument("--passes", type=int, default=3)
    ap.add_argument("--sq8", action="store_true", help="dralm: quantized traversal")
    ap.add_argument("--results", type=Path, nargs="*", help="summary: JSON-lines files")
    ap.add_argument("--target", type=float, default=0.95)
    args = ap.parse_args()
    if args.stage == "summary":
        return summary(args)
    if args.stage == "ab":
        return ab(args)
    if args.site:
        sys.path.insert(0, str(Path(args.site).resolve()))
    sys.path.insert(1, str(BENCH))
    label = args.label or (args.lib if args.lib == "hnswlib" else f"dralm:{args.site}")
    ds = load_data(args)
    engine = open_engine(args, ds)
    k = ds.gt.shape[1]
    load = os.getloadavg()[0]
    out = {"stage": args.stage, "label": label, "data": ds.name, "metric": ds.metric,
           "threads": engine.threads, "load_before": load, "sq8": args.sq8}
    if args.stage == "build":
        start, start_cpu = time.perf_counter(), time.process_time()
        engine.build_at(args.index, ds.base)
        out["build_s"] = time.perf_counter() - start
        out["build_cpu_s"] = time.process_time() - start_cpu
        engine.save(args.index)
        engine.set_ef(args.ef[0])
        out["ef"] = args.ef[0]
        out["recall"] = recall_of(search_ids(engine, ds.queries, k), ds.gt)
    else:
        engine.load(args.index)
        if args.sq8:
            engine.enable_sq8()
        sweep = []
        for ef in args.ef:
            engine.set_ef(ef)
            ids = search_ids(engine, ds.queries, k)  # warm-up pass, and the recall
            times, cpu = [], []
            for _ in range(args.passes):
                start, start_cpu = time.perf_counter(), time.process_time()
                if engine.name == "dralm":
                    engine.search_raw(ds.queries, k)
                else:
                    engine.search(ds.queries, k)
                times.append(time.perf_counter() - start)
                cpu.append(time.process_time() - start_cpu)
            # Queries per CPU-second beside the wall clock: on a shared machine the wall
            # clock also counts the time other processes held the CPU.
            sweep.append({"ef": ef, "recall": recall_of(ids, ds.gt),
                          "qps": len(ds.queries) / statistics.median(times),
                          "qps_cpu": len(ds.queries) / statistics.median(cpu)})
        out["sweep"] = sweep
    out["load_after"] = os.getloadavg()[0]
    print(json.dumps(out), flush=True)
    return 0


def load_build(site: str):
    """The extension module of the dralm build in `site`, loaded beside any other."""
    import importlib.util
    so = next(Path(site).glob("_dralm*.so"))
    found = importlib.util.spec_from_file_location("_dralm", so)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def ab(args) -> int:
    """Two builds in one process on one saved index, passes alternating A, B, A, B...

    Both open the database read-only, so they share nothing but the files; alternating
    the passes gives both the same machine, whatever the load does meanwhile.
    """
    sys.path.insert(0, str(BENCH))
    ds = load_data(args)
    k = ds.gt.shape[1]
    dbs = [load_build(site).Database(str(args.index), read_only=True) for site in args.ab]
    if args.sq8:
        raise SystemExit("ab: quantized search needs a writer; not supported here")
    out = {"stage": "ab", "label": f"{args.ab[0]} vs {args.ab[1]}", "data": ds.name,
           "metric": ds.metric, "threads": len(os.sched_getaffinity(0)),
           "load_before": os.getloadavg()[0], "sweep": []}
    for ef in args.ef:
        recalls = []
        for db in dbs:
            rows = db.search_many(ds.queries, k=k, ef_search=ef)
            recalls.append(recall_of(np.array([[int(h.id) for h in row] for row in rows]), ds.gt))
        cpu = [[], []]
        for _ in range(args.passes):
            for which, db in enumerate(dbs):
                start = time.process_time()
                db.search_many(ds.queries, k=k, ef_search=ef)
                cpu[which].append(time.process_time() - start)
        qa, qb = (len(ds.queries) / statistics.median(c) for c in cpu)
        out["sweep"].append({"ef": ef, "recall_a": recalls[0], "recall_b": recalls[1],
                             "qps_cpu_a": qa, "qps_cpu_b": qb, "b_over_a": qb / qa})
    out["load_after"] = os.getloadavg()[0]
    print(json.dumps(out), flush=True)
    return 0


def qps_at(sweep, target, key="qps"):
    """QPS at `target` recall, linear between the two sweep points around it."""
    points = sorted((p["recall"], p[key]) for p in sweep)
    for (r0, q0), (r1, q1) in zip(points, points[1:]):
        if r0 <= target <= r1:
            return q0 if r1 == r0 else q0 + (q1 - q0) * (target - r0) / (r1 - r0)
    return None


def summary(args) -> int:
    for path in args.results or []:
        for line in Path(path).read_text().splitlines():
            run = json.loads(line)
            if run["stage"] == "ab":
                for p in run["sweep"]:
                    print(f"{run['metric']:6} ab ef {p['ef']:4} recall {p['recall_a']:.4f} / "
                          f"{p['recall_b']:.4f}  per CPU-s {p['qps_cpu_a']:7.0f} / "
                          f"{p['qps_cpu_b']:7.0f}  B/A {p['b_over_a']:.3f}")
                continue
            if run["stage"] == "search":
                q = qps_at(run["sweep"], args.target)
                c = qps_at(run["sweep"], args.target, "qps_cpu")
                shown = f"{q:8.0f}" if q is not None else "  (none)"
                shown_cpu = f"{c:8.0f}" if c is not None else "  (none)"
                print(f"{run['metric']:6} {run['label']:28} QPS@{args.target} {shown} "
                      f"per CPU-s {shown_cpu} load {run['load_before']:.2f}")
            else:
                print(f"{run['metric']:6} {run['label']:28} build {run['build_s']:7.1f} s "
                      f"CPU {run.get('build_cpu_s', float('nan')):7.1f} s "
                      f"recall {run['recall']:.4f} at ef {run['ef']} "
                      f"threads {run['threads']} load {run['load_before']:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
