"""Save and open times of dralm and the sizes of its files, beside hnswlib's
save_index / load_index on the same vectors when hnswlib is importable.

    python bench/persistence_bench.py                      # 100k x 128
    python bench/persistence_bench.py --n 20000            # a quick run
    python bench/persistence_bench.py --million            # adds the 1M x 128 open
    python bench/persistence_bench.py --open-only --n 1000000 --lookups --memory
                                    # the open figures of one written 1M directory only

--open-only times dralm's open against hnswlib's load_index in turns (a dralm open, then
an hnswlib load, repeated), so both see the same machine load; it also times the first
search after an open against a warm one, and with --cold the same after dropping the
page cache (needs root). --lookups adds get / `in` per second on that directory (run it
once with each build on PYTHONPATH to compare builds). --memory adds resident bytes per
vector, each measured in a fresh child process: after building --build-n vectors, and
after opening / loading the n-vector files.

Run it with the dralm build to measure on PYTHONPATH (a Release build) and hnswlib
installed (build/bench-venv has it). Times are wall-clock medians with the files in the
page cache (warm): open maps vectors.bin and parses graph.dralm, so a cold open adds
the reads of graph.dralm and of the vector pages the first queries touch.

--million opens a 1M x 128 directory whose graph.dralm is written by this script
(valid files with 32 random layer-0 neighbours per node and the usual upper layers,
ids without metadata): building a real 1M graph here would take most of an hour, and
parsing costs the same whatever the neighbours are. hnswlib's 1M index is built with a
small ef_construction for the same reason.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import struct
import sys
import tempfile
import time

import numpy as np

import _dralm

try:
    import hnswlib
except ImportError:  # the comparison is optional
    hnswlib = None


def median_time(fn, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def sizes(path):
    return {name: os.path.getsize(os.path.join(path, name)) for name in sorted(os.listdir(path))}


def dralm_figures(data, root, repeat):
    """Builds once, then measures the float-only files and, on the same database opened
    with quantize=True, the files with vectors.sq8."""
    n, dim = data.shape
    path = os.path.join(root, f"dralm-{n}")
    db = _dralm.Database(path, dim=dim, metric="l2")
    start = time.perf_counter()
    db.add_many([f"v{i}" for i in range(n)], data,
                [{"i": i, "even": i % 2 == 0} for i in range(n)])
    build = time.perf_counter() - start
    db.save()  # the first save also removes the log written by the build
    figures = {"build_s": build}
    query = data[0] + 0.01

    def first_query():
        _dralm.Database(path).search(query, k=10)

    for name, quantize in (("float", False), ("sq8", True)):
        db = _dralm.Database(path, dim=dim, quantize=quantize)
        figures[name] = {"save_s": median_time(db.save, repeat)}
        del db
        figures[name]["open_s"] = median_time(lambda: _dralm.Database(path), repeat)
        figures[name]["open_and_first_query_s"] = median_time(first_query, repeat)
        figures[name]["files"] = sizes(path)
    return figures


def hnswlib_figures(data, root, repeat, ef_construction=200):
    n, dim = data.shape
    index = hnswlib.Index(space="l2", dim=dim)
    index.init_index(max_elements=n, M=16, ef_construction=ef_construction)
    start = time.perf_counter()
    index.add_items(data, np.arange(n))
    build = time.perf_counter() - start
    path = os.path.join(root, f"hnswlib-{n}.bin")
    save = median_time(lambda: index.save_index(path), repeat)

    def load():
        loaded = hnswlib.Index(space="l2", dim=dim)
        loaded.load_index(path, max_elements=n)

    return {"build_s": build, "save_s": save, "open_s": median_time(load, repeat),
            "files": {"index.bin": os.path.getsize(path)}}


def synthetic_dralm(path, n, dim, rng):
    """A valid saved database of n random vectors with random neighbour lists."""
    os.makedirs(path)
    vectors = rng.standard_normal((n, dim), dtype=np.float32)
    with open(os.path.join(path, "vectors.bin"), "wb") as f:
        vectors.tofile(f)
        np.linalg.norm(vectors, axis=1).astype(np.float32).tofile(f)
    del vectors
    m = 16
    levels = np.floor(-np.log(rng.random(n)) / np.log(m)).astype(np.int64)
    entry = int(np.argmax(levels))
    neighbours0 = rng.integers(0, n, (n, 2 * m), dtype=np.uint32)
    with open(os.path.join(path, "graph.dralm"), "wb") as f:
        f.write(b"GWSH" + struct.pack("<II", 2, dim) + b"\x01")
        f.write(struct.pack("<6I", m, 200, entry, int(levels[entry]), n, 0))
        record0 = np.empty((n, 2 + 2 * m), dtype=np.uint32)
        record0[:, 0] = 1
        record0[:, 1] = 2 * m
        record0[:, 2:] = neighbours0
        tall = np.nonzero(levels)[0]
        start = 0
        for slot in tall:  # nodes with upper layers break the fixed-size run
            record0[start:slot].tofile(f)
            layers = int(levels[slot]) + 1
            rec = [layers, 2 * m, *neighbours0[slot].tolist()]
            for _ in range(layers - 1):
                rec += [m, *rng.integers(0, n, m).tolist()]
            np.asarray(rec, dtype=np.uint32).tofile(f)
            start = slot + 1
        record0[start:].tofile(f)
        f.write(struct.pack("<II", 0x4D455441, n))
        meta = bytearray()
        for i in range(n):
            ident = f"v{i}".encode()
            meta += struct.pack("<II", i, len(ident)) + ident + b"\0\0\0\0"
        f.write(meta)


def open_comparison(n, dim, root, rng, repeat=3, cold=False, lookups=False, memory=False):
    """dralm's open of a written n x dim directory against hnswlib's load_index of an
    index of the same size, timed in turns so both see the same machine load."""
    path = os.path.join(root, f"dralm-written-{n}")
    synthetic_dralm(path, n, dim, rng)
    figures = {"dralm_files": sizes(path)}
    if hnswlib is not None:
        data = rng.standard_normal((n, dim), dtype=np.float32)
        index = hnswlib.Index(space="l2", dim=dim)
        index.init_index(max_elements=n, M=16, ef_construction=10)
        index.add_items(data, np.arange(n))
        del data
        hnsw_path = os.path.join(root, f"hnswlib-{n}.bin")
        index.save_index(hnsw_path)
        del index
        figures["hnswlib_file"] = os.path.getsize(hnsw_path)

        def load():
            loaded = hnswlib.Index(space="l2", dim=dim)
            loaded.load_index(hnsw_path, max_elements=n)

    dralm_times, dralm_cpu, hnswlib_times, hnswlib_cpu = [], [], [], []
    first_query, warm_query = [], []
    query = rng.standard_normal(dim, dtype=np.float32)
    for _ in range(repeat):
        cpu, start = time.process_time(), time.perf_counter()
        db = _dralm.Database(path)
        dralm_times.append(time.perf_counter() - start)
        dralm_cpu.append(time.process_time() - cpu)
        first_query.append(timed(lambda: db.search(query, k=10)))
        warm_query.append(statistics.median(timed(lambda: db.search(query, k=10))
                                            for _ in range(5)))
        del db
        if hnswlib is not None:
            cpu, start = time.process_time(), time.perf_counter()
            load()
            hnswlib_times.append(time.perf_counter() - start)
            hnswlib_cpu.append(time.process_time() - cpu)
    figures["dralm_open_s"] = statistics.median(dralm_times)
    figures["dralm_open_cpu_s"] = statistics.median(dralm_cpu)
    figures["dralm_open_all_s"] = dralm_times
    figures["first_search_s"] = statistics.median(first_query)
    figures["warm_search_s"] = statistics.median(warm_query)
    if hnswlib_times:
        figures["hnswlib_load_s"] = statistics.median(hnswlib_times)
        figures["hnswlib_load_cpu_s"] = statistics.median(hnswlib_cpu)
        figures["hnswlib_load_all_s"] = hnswlib_times
        figures["open_ratio"] = figures["dralm_open_s"] / figures["hnswlib_load_s"]
    if cold:
        cold_open, cold_first = [], []
        for _ in range(repeat):
            drop_page_cache()
            start = time.perf_counter()
            db = _dralm.Database(path)
            cold_open.append(time.perf_counter() - start)
            cold_first.append(timed(lambda: db.search(query, k=10)))
            del db
        figures["cold_open_s"] = statistics.median(cold_open)
        figures["cold_first_search_s"] = statistics.median(cold_first)
    if lookups:
        figures["lookups"] = lookup_figures(path, n, rng)
    if memory:
        figures["memory_open"] = {"dralm": child_figures("open-dralm", path, n, dim)}
        if hnswlib is not None:
            figures["memory_open"]["hnswlib"] = child_figures("open-hnswlib", hnsw_path, n, dim)
    shutil.rmtree(path)
    return figures


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def drop_page_cache():
    os.sync()
    with open("/proc/sys/vm/drop_caches", "w") as f:
        f.write("3\n")


def lookup_figures(path, n, rng, count=200_000, repeat=5):
    """get and `in` per second over random live ids (and `in` of absent ids)."""
    db = _dralm.Database(path)
    ids = [f"v{i}" for i in rng.integers(0, n, count)]
    absent = [f"w{i}" for i in range(count)]

    def rate(fn):
        return count / statistics.median(timed(fn) for _ in range(repeat))

    def gets():
        for i in ids[: count // 10]:
            db.get(i)

    figures = {
        "get_per_s": rate(gets) / 10,
        "in_per_s": rate(lambda: [i in db for i in ids]),
        "in_absent_per_s": rate(lambda: [i in db for i in absent]),
    }
    del db
    return figures


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def child_figures(kind, path, n, dim):
    """Runs one memory measurement in a fresh process and returns its figures."""
    import subprocess
    proc = subprocess.run([sys.executable, __file__, "--child", kind, "--child-path", path,
                           "--n", str(n), "--dim", str(dim)],
                          capture_output=True, text=True, check=True)
    return json.loads(proc.stdout.strip().splitlines()[-1])


def child_main(kind, path, n, dim):
    """Resident bytes per vector grown by one build, open or load, in this process."""
    rng = np.random.default_rng(1)
    data = ids = labels = None
    if kind.startswith("build"):
        # The inputs exist before the first reading: only what the library keeps counts.
        data = rng.standard_normal((n, dim), dtype=np.float32)
        ids = [f"v{i}" for i in range(n)]
        labels = np.arange(n)
    before = resident_bytes()
    start = time.perf_counter()
    keep = None
    if kind == "build-dralm":
        keep = _dralm.Database(path, dim=dim, metric="l2")
        keep.add_many(ids, data)
    elif kind == "build-hnswlib":
        keep = hnswlib.Index(space="l2", dim=dim)
        keep.init_index(max_elements=n, M=16, ef_construction=200)
        keep.add_items(data, labels)
    elif kind == "open-dralm":
        keep = _dralm.Database(path)
    elif kind == "open-hnswlib":
        keep = hnswlib.Index(space="l2", dim=dim)
        keep.load_index(path, max_elements=n)
    seconds = time.perf_counter() - start
    grown = resident_bytes() - before
    print(json.dumps({"n": n, "seconds": seconds, "resident_bytes": grown,
                      "bytes_per_vector": grown / n}))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=100_000)
    ap.add_argument("--dim", type=int, default=128)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--million", action="store_true")
    ap.add_argument("--open-only", action="store_true",
                    help="only the open comparison at --n, on written files (see --million)")
    ap.add_argument("--out", default=None, help="write the figures as JSON here")
    ap.add_argument("--cold", action="store_true", help="also open after dropping the page cache")
    ap.add_argument("--lookups", action="store_true", help="get / in per second (--open-only)")
    ap.add_argument("--memory", action="store_true", help="resident bytes per vector (--open-only)")
    ap.add_argument("--build-n", type=int, default=100_000,
                    help="vectors built for the --memory build figure")
    ap.add_argument("--child", default=None, help=argparse.SUPPRESS)
    ap.add_argument("--child-path", default=None, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        child_main(args.child, args.child_path, args.n, args.dim)
        return 0
    rng = np.random.default_rng(0)
    results = {"n": args.n, "dim": args.dim, "repeat": args.repeat, "cpus": os.cpu_count()}
    root = tempfile.mkdtemp(prefix="dralm-persist-bench-")
    if args.open_only:
        try:
            results["open"] = open_comparison(args.n, args.dim, root, rng, args.repeat,
                                              args.cold, args.lookups, args.memory)
            if args.memory:
                results["memory_build"] = {"dralm": child_figures(
                    "build-dralm", os.path.join(root, "built"), args.build_n, args.dim)}
                if hnswlib is not None:
                    results["memory_build"]["hnswlib"] = child_figures(
                        "build-hnswlib", "", args.build_n, args.dim)
            print(json.dumps(results), flush=True)
        finally:
            shutil.rmtree(root, ignore_errors=True)
        if args.out:
            with open(args.out, "w") as f:
                json.dump(results, f, indent=2)
        return 0
    data = rng.standard_normal((args.n, args.dim), dtype=np.float32)
    try:
        results["dralm"] = dralm_figures(data, root, args.repeat)
        print(json.dumps({"dralm": results["dralm"]}), flush=True)
        if hnswlib is not None:
            results["hnswlib"] = hnswlib_figures(data, root, args.repeat)
            print(json.dumps({"hnswlib": results["hnswlib"]}), flush=True)
        del data
        if args.million:
            results["open_1m"] = open_comparison(1_000_000, args.dim, root, rng)
            print(json.dumps({"open_1m": results["open_1m"]}), flush=True)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    if args.out:
        with open(args.out, "w") as f:
            json.dump(results, f, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
