"""One benchmark job in its own process: build, sweep, filtered or scan.

run.py starts `python bench/job.py SPEC.json OUT.json`, under `taskset -c 0` for one-thread
jobs, so every library in a job sees the same CPUs and a fresh heap. The result (or the
error) goes to OUT.json.
"""

from __future__ import annotations

import json
import sys
import time
import traceback
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np

import datasets
import measure
from engine import affinity, index_bytes
from libraries import engine

def filter_columns(n: int, seed: int = 11) -> dict[str, np.ndarray]:
    """The metadata of the filtered runs, one column per field: `label` the image's class
    (10 % each), `bucket` = i % 100 (1 %), `shard` = i % 1000 (0.1 %), `price` uniform in
    [0, 1) for range filters."""
    rng = np.random.default_rng(seed)
    i = np.arange(n)
    return {"label": datasets.fashion_labels(n), "bucket": i % 100, "shard": i % 1000,
            "price": rng.random(n)}


# The filters of the filtered runs: (name, where_filter, the same filter on the columns).
FILTERS = [
    ("label = 3 (eq, 10 %)", {"label": 3}, lambda c: c["label"] == 3),
    ("bucket = 0 (eq, 1 %)", {"bucket": 0}, lambda c: c["bucket"] == 0),
    ("shard = 0 (eq, 0.1 %)", {"shard": 0}, lambda c: c["shard"] == 0),
    ("bucket in 0..4 ($in, 5 %)", {"bucket": {"$in": [0, 1, 2, 3, 4]}},
     lambda c: c["bucket"] < 5),
    ("price < 0.5 (range, 50 %)", {"price": {"$lt": 0.5}}, lambda c: c["price"] < 0.5),
    ("price < 0.1 (range, 10 %)", {"price": {"$lt": 0.1}}, lambda c: c["price"] < 0.1),
    ("price < 0.01 (range, 1 %)", {"price": {"$lt": 0.01}}, lambda c: c["price"] < 0.01),
    ("label = 3 and price < 0.5 (and, 5 %)", {"label": 3, "price": {"$lt": 0.5}},
     lambda c: (c["label"] == 3) & (c["price"] < 0.5)),
]


def metadatas_for(n: int) -> list[dict]:
    cols = filter_columns(n)
    lists = [(f, cols[f].tolist()) for f in cols]
    return [{f: col[i] for f, col in lists} for i in range(n)]


def job_build(spec: dict, ds: datasets.Dataset) -> dict:
    eng = engine(spec["lib"], ds.dim, ds.metric, spec["threads"])
    md = metadatas_for(len(ds.base)) if spec.get("metadata") else None
    path = Path(spec["index_path"])
    path.parent.mkdir(parents=True, exist_ok=True)
    rss0 = measure.rss_bytes()
    build_s, build_cpu_s, _ = measure.timed_cpu(lambda: eng.build_at(path, ds.base, md))
    rss1 = measure.rss_bytes()
    start = time.perf_counter()
    eng.save(path)
    save_s = time.perf_counter() - start
    out = {"build_s": build_s, "vectors_per_s": len(ds.base) / build_s, "n": len(ds.base),
           "build_cpu_s": build_cpu_s, "vectors_per_cpu_s": len(ds.base) / build_cpu_s,
           "rss_delta_bytes": rss1 - rss0, "bytes_per_vector": (rss1 - rss0) / len(ds.base),
           "save_s": save_s, "disk_bytes": index_bytes(path)}
    if hasattr(eng, "stats"):
        out["stats"] = eng.stats()
    if hasattr(eng, "enable_quantized"):
        # The resident size with 8-bit codes on, after the save so that the saved database
        # (which the sweeps open) stays a float one: nothing is saved when it is dropped.
        eng.enable_quantized(8)
        rss2 = measure.rss_bytes()
        out.update(rss_delta_sq8_bytes=rss2 - rss0,
                   bytes_per_vector_sq8=(rss2 - rss0) / len(ds.base), stats_sq8=eng.stats())
    return out


def _member_name(member: dict) -> str:
    return member["lib"] + ("+sq8" if member.get("sq8") else "+sq4" if member.get("sq4") else "")


def _build_and_reopen(eng, path: Path, ds: datasets.Dataset) -> dict:
    """Builds dralm's database at `path` as the build job does, saves it, and records whether
    the saved files open again (read-only, in this process)."""
    build_s, build_cpu_s, _ = measure.timed_cpu(lambda: eng.build_at(path, ds.base))
    eng.save(path)
    out = {"build_s": build_s, "vectors_per_s": len(ds.base) / build_s,
           "build_cpu_s": build_cpu_s, "stats": eng.stats()}
    try:
        eng.open_read_only(path)
        out["reopen"] = "ok"
    except ValueError as exc:
        out["reopen"] = f"{type(exc).__name__}: {exc}"
    return out


def per_query_search(pool: ThreadPoolExecutor, threads: int, eng, queries: np.ndarray,
                     k: int) -> object:
    """Every query in its own library call, the queries dealt out in `threads` contiguous
    parts to the pool's threads (each library releases the interpreter lock while it
    searches); the raw result in query order."""
    parts = np.array_split(np.arange(len(queries)), threads)
    found = list(pool.map(lambda rows: eng.search_each(queries[rows], k), parts))
    return eng.join_each([raw for part in found for raw in part])


def job_sweep(spec: dict, ds: datasets.Dataset) -> dict:
    """Recall/QPS sweep of several libraries in one process, interleaved.

    The machine may be shared, so every repetition times each library in turn: a burst of
    outside load then lands on all of them instead of on whichever ran at that moment.
    With `per_query`, every query is its own call (per_query_search) instead of one batch.
    With `dralm_in_process`, dralm's members are one database built in this process (not
    opened from the saved one) that switches its traversal before each of their passes.
    """
    k, reps = spec["k"], spec["reps"]
    pool = ThreadPoolExecutor(spec["threads"]) if spec.get("per_query") else None
    members = spec["members"]
    engines = {}
    out: dict = {}
    # The traversal bits of the members that share the in-process database.
    bits_of = {_member_name(m): 4 if m.get("sq4") else 8 if m.get("sq8") else 0
               for m in members if m["lib"] == "dralm" and spec.get("dralm_in_process")}

    def search(name, queries):
        eng = engines[name]
        if name in bits_of:
            eng.use_bits(bits_of[name])
        if pool is None:
            return eng.search_raw(queries, k)
        return per_query_search(pool, spec["threads"], eng, queries, k)

    built, build = None, None
    for m in members:
        name = _member_name(m)
        out[name] = {"open_all_s": [], "first_all_s": [], "points": [], "nq": len(ds.queries)}
        if name not in bits_of:
            engines[name] = engine(m["lib"], ds.dim, ds.metric, spec["threads"])
            continue
        if built is None:
            built = engine("dralm", ds.dim, ds.metric, spec["threads"])
            build = _build_and_reopen(built, Path(m["index_path"]), ds)
        engines[name] = built
        out[name]["dralm_build"] = build
    # Opens, interleaved the same way; the first query after an open pays the page faults.
    for rep in range(spec.get("open_reps", 1)):
        for m in members:
            if _member_name(m) in bits_of:
                continue
            eng, res = engines[_member_name(m)], out[_member_name(m)]
            eng.close()
            rss0 = measure.rss_bytes()
            start = time.perf_counter()
            eng.load(Path(m["index_path"]))
            res["open_all_s"].append(time.perf_counter() - start)
            if rep == 0:
                res["rss_after_open_bytes"] = measure.rss_bytes() - rss0
            start = time.perf_counter()
            eng.search_one(ds.queries[0], k)
            res["first_all_s"].append(time.perf_counter() - start)
    for m in members:
        name, res = _member_name(m), out[_member_name(m)]
        if name in bits_of:
            engines[name].use_bits(bits_of[name])
            res["stats"] = engines[name].stats()
            continue
        res["open_s"] = measure.median(res["open_all_s"])
        res["first_query_s"] = measure.median(res["first_all_s"])
        if m.get("sq8") or m.get("sq4"):
            start = time.perf_counter()
            engines[name].enable_quantized(4 if m.get("sq4") else 8)
            res["enable_sq8_s" if m.get("sq8") else "enable_sq4_s"] = time.perf_counter() - start
        if hasattr(engines[name], "stats"):
            res["stats"] = engines[name].stats()
    warm = ds.queries[:min(200, len(ds.queries))]
    active = [_member_name(m) for m in members]
    for ef in spec["efs"]:
        times: dict[str, list[float]] = {name: [] for name in active}
        cpus: dict[str, list[float]] = {name: [] for name in active}
        raws = {}
        for name in active:
            engines[name].set_ef(ef)
            search(name, warm)
        for _ in range(reps):
            for name in active:
                if name in bits_of:
                    engines[name].use_bits(bits_of[name])  # outside the timed pass
                wall, cpu, raws[name] = measure.timed_cpu(lambda: search(name, ds.queries))
                times[name].append(wall)
                cpus[name].append(cpu)
        for name in list(active):
            rec = measure.recall_at_k(engines[name].to_ids(raws[name], k), ds.gt[:, :k])
            t = measure.median(times[name])
            out[name]["points"].append({"ef": ef, "recall": rec, "qps": len(ds.queries) / t,
                                        "seconds": t, "times": times[name],
                                        "cpu_seconds": measure.median(cpus[name])})
            print(f"  {name} t={spec['threads']} ef={ef}: recall {rec:.4f} "
                  f"qps {len(ds.queries) / t:,.0f}", file=sys.stderr, flush=True)
            prev = out[name]["points"][-2]["recall"] if len(out[name]["points"]) > 1 else 0.0
            # Stop a curve once it is flat: recall at the top, or a high recall that the last
            # step of ef no longer raises. Higher ef then only costs time.
            if rec >= spec.get("stop_recall", 1.01) or (rec >= 0.99 and rec - prev < 0.0005):
                active.remove(name)
        raws.clear()
        if not active:
            break
    if pool is not None:
        pool.shutdown()
    return {"members": out}


def job_filtered(spec: dict, ds: datasets.Dataset) -> dict:
    """Recall and QPS of every filter of FILTERS, and unfiltered, at each ef.

    A filter whose timed pass takes longer than `budget_s` is not run at larger ef.
    """
    k, reps = spec["k"], spec["reps"]
    eng = engine(spec["lib"], ds.dim, ds.metric, spec["threads"])
    eng.load(Path(spec["index_path"]))
    cols = filter_columns(len(ds.base))
    everything = np.ones(len(ds.base), dtype=bool)
    results = []
    for name, where, pick in [("unfiltered", None, None)] + FILTERS:
        allowed = everything if pick is None else pick(cols)
        rows = np.flatnonzero(allowed)
        truth = rows[datasets.exact_knn(ds.base[rows], ds.queries, k, ds.metric)]
        for ef in spec["efs"]:
            if where is None:
                eng.set_ef(ef)
                run = lambda: eng.search_raw(ds.queries, k)  # noqa: E731
            else:
                run = lambda: eng.search_filtered(ds.queries, k, ef, allowed, where)  # noqa: E731
            if where is None:
                eng.search_raw(ds.queries[:20], k)  # warm-up
            else:
                eng.search_filtered(ds.queries[:20], k, ef, allowed, where)
            runs = [measure.timed_cpu(run) for _ in range(reps)]
            times, raw = [wall for wall, _, _ in runs], runs[-1][2]
            cpu = measure.median([c for _, c, _ in runs])
            ids = eng.to_ids(raw, k)
            rec = measure.recall_at_k(ids, truth)
            # Queries answered with fewer than k hits although k matches exist.
            short = int(((ids >= 0).sum(1) < min(k, len(rows))).sum())
            t = measure.median(times)
            results.append({"filter": name, "where": where, "fraction": float(allowed.mean()),
                            "ef": ef, "recall": rec, "qps": len(ds.queries) / t,
                            "qps_cpu": len(ds.queries) / cpu, "short": short, "times": times})
            print(f"  {spec['lib']} {name} ef={ef}: recall {rec:.4f} "
                  f"qps {len(ds.queries) / t:,.0f} per CPU s {len(ds.queries) / cpu:,.0f} "
                  f"short {short}", file=sys.stderr, flush=True)
            if t > spec.get("budget_s", 1e9):
                break
    return {"results": results, "nq": len(ds.queries)}


def job_scan(spec: dict, ds: datasets.Dataset) -> dict:
    """Single-query exact scan time against this machine's copy bandwidth."""
    k, reps = spec["k"], spec["reps"]
    bw = measure.copy_bandwidth(spec.get("bandwidth_mb", 512), reps)
    eng = engine(spec["lib"], ds.dim, ds.metric, spec["threads"])
    if spec["lib"] == "dralm":
        eng.load(Path(spec["index_path"]))
        stats = eng.stats()
        if not stats.get("uses_brute_force"):
            raise RuntimeError(f"expected an exact scan, stats say {stats}")
    else:
        eng.build(ds.base)  # the flat peers build in a blink
    for q in ds.queries[:20]:
        eng.search_one(q, k)  # warm the pages and the code paths
    found = [None] * len(ds.queries)

    def one_pass():
        for i, q in enumerate(ds.queries):
            found[i] = eng.search_one(q, k)

    runs = [measure.timed_cpu(one_pass) for _ in range(reps)]
    times = [wall for wall, _, _ in runs]
    per_query = measure.median(times) / len(ds.queries)
    per_query_cpu = measure.median([cpu for _, cpu, _ in runs]) / len(ds.queries)
    ids = np.concatenate([eng.to_ids([f] if spec["lib"] == "dralm" else f, k) for f in found])
    scanned = ds.base.nbytes + 4 * len(ds.base)  # the vectors plus one norm per vector
    limit = scanned / bw["bytes_per_s"]
    limit_cpu = scanned / bw["bytes_per_cpu_s"]
    return {"bandwidth": bw, "per_query_s": per_query, "bytes_scanned": scanned,
            "limit_s": limit, "ratio": per_query / limit, "n": len(ds.base),
            "per_query_cpu_s": per_query_cpu, "limit_cpu_s": limit_cpu,
            "ratio_cpu": per_query_cpu / limit_cpu,
            "recall": measure.recall_at_k(ids, ds.gt[:, :k]), "times": times}


JOBS = {"build": job_build, "sweep": job_sweep, "filtered": job_filtered, "scan": job_scan}


def main() -> int:
    spec = json.loads(Path(sys.argv[1]).read_text())
    out_path = Path(sys.argv[2])
    try:
        ds = datasets.load(spec["dataset"])
        result = {"ok": True, "affinity": affinity(), "dataset": ds.name,
                  **JOBS[spec["job"]](spec, ds)}
    except BaseException as exc:  # noqa: BLE001 - the runner records any failure and goes on
        result = {"ok": False, "error": f"{type(exc).__name__}: {exc}",
                  "traceback": traceback.format_exc()}
    out_path.write_text(json.dumps(result, default=float))
    return 0 if result["ok"] else 1


if __name__ == "__main__":
    sys.exit(main())
