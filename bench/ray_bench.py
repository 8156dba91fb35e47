"""Benchmark of the sharded database on a local Ray cluster (2 CPUs).

Measures the figures of the scale-out goals and writes bench/results/ray.md:

1. recall@10 of a 4-shard database against one database at equal ef_search
   (Fashion-MNIST, euclidean, every shard large enough to search its graph);
2. search_many QPS with batches of 256 queries: 2 shards of 1 CPU against 1 shard of
   1 CPU, and against 1 shard given both CPUs;
3. add_many throughput of synthetic 128-d vectors: 2 shards against one in-process
   database;
4. the per-call overhead of one `search` through Ray.

Usage: python bench/ray_bench.py [--add-n 200000] [--queries 1000] [--out bench/results/ray.md]
Needs Ray (`pip install 'ray>=2.9'`) and the Debian package dataset-fashion-mnist.
"""

from __future__ import annotations

import argparse
import os
import platform
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")
os.environ.setdefault("RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER", "0")  # loopback addresses only
# Ray lowers its workers' priority (nice 15) by default. On a machine shared with other
# jobs that would starve the shards against the in-process database they are compared
# with; a cluster of its own does not care.
os.environ.setdefault("RAY_worker_niceness", "0")

import numpy as np  # noqa: E402
import ray  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))
import datasets  # noqa: E402

import dralm  # noqa: E402
from dralm.ray import ShardedDatabase  # noqa: E402

K = 10
BATCH = 256
EFS = (16, 32, 64, 128)


def progress(step: str) -> None:
    print(f"{time.strftime('%H:%M:%S')} {step}", file=sys.stderr, flush=True)


def recall(found: list[list[str]], gt: np.ndarray) -> float:
    hits = sum(len(set(f) & {str(i) for i in row[:K]}) for f, row in zip(found, gt))
    return hits / (len(gt) * K)


def ids_of(batches) -> list[list[str]]:
    return [[h.id for h in hits] for hits in batches]


def qps(db, queries: np.ndarray, ef: int, passes: int = 3) -> float:
    """Queries per second of search_many in batches of BATCH, best of `passes`."""
    best = 0.0
    for _ in range(passes):
        start = time.perf_counter()
        for lo in range(0, len(queries), BATCH):
            db.search_many(queries[lo:lo + BATCH], k=K, ef_search=ef)
        best = max(best, len(queries) / (time.perf_counter() - start))
    return best


def build(db, base: np.ndarray, chunk: int = 20_000) -> float:
    start = time.perf_counter()
    for lo in range(0, len(base), chunk):
        db.add_many([str(i) for i in range(lo, min(lo + chunk, len(base)))],
                    base[lo:lo + chunk])
    return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--add-n", type=int, default=200_000)
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--out", default=str(Path(__file__).parent / "results" / "ray.md"))
    args = parser.parse_args()

    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
    root = Path(tempfile.mkdtemp(prefix="dralm-ray-bench-"))
    lines: list[str] = []
    load_before = os.getloadavg()

    data = datasets.fashion_mnist("l2", q=args.queries)
    base, queries, gt = data.base, data.queries, data.gt

    progress("recall")
    # 1. Recall of 4 shards against one database, at equal ef.
    one = dralm.Database(str(root / "one"), dim=data.dim, metric="l2")
    one_build = build(one, base)
    four = ShardedDatabase(str(root / "four"), dim=data.dim, metric="l2", shards=4,
                           cpus_per_shard=0.5)
    four_build = build(four, base)
    assert not any(s["uses_brute_force"] for s in four.stats()["shards"])
    recall_rows = []
    for ef in EFS:
        r1 = recall(ids_of(one.search_many(queries, k=K, ef_search=ef)), gt)
        r4 = recall(ids_of(four.search_many(queries, k=K, ef_search=ef)), gt)
        recall_rows.append((ef, r1, r4))
    four.close()
    one.save()
    del one

    # 2. search_many QPS: 1 shard on 1 CPU, 1 shard on 2 CPUs, 2 shards on 1 CPU each.
    # Each database is built, saved and closed before the next reserves its CPUs.
    progress("QPS")
    two = ShardedDatabase(str(root / "two"), dim=data.dim, metric="l2", shards=2,
                          cpus_per_shard=1)
    two_build = build(two, base)
    two.save()
    two.close()
    single = ShardedDatabase(str(root / "single"), dim=data.dim, metric="l2", shards=1,
                             cpus_per_shard=1)
    build(single, base)
    single.save()
    one_cpu = {ef: qps(single, queries, ef) for ef in (32, 64)}
    single.close()
    wide = ShardedDatabase(str(root / "single"), cpus_per_shard=2)
    two_cpus = {ef: qps(wide, queries, ef) for ef in (32, 64)}
    wide_recall = recall(ids_of(wide.search_many(queries, k=K, ef_search=64)), gt)
    wide.close()
    two = ShardedDatabase(str(root / "two"), cpus_per_shard=1)
    shards_two = {ef: qps(two, queries, ef) for ef in (32, 64)}
    two_recall = recall(ids_of(two.search_many(queries, k=K, ef_search=64)), gt)
    two.close()
    qps_rows = [(ef, one_cpu[ef], shards_two[ef]) for ef in (32, 64)]
    wide_rows = [(ef, two_cpus[ef]) for ef in (32, 64)]

    # The same three setups on a collection small enough for every shard to scan it
    # exactly, where a shard's work per query shrinks with its share of the data.
    progress("QPS, exact scan")
    scan_n = 12_000  # 9.4M floats: below the exact-scan limit even on one shard
    scan_q = queries[:512]
    scan_rows = []
    for name, shards, cpus in (("1 shard, 1 CPU", 1, 1), ("1 shard, 2 CPUs", 1, 2),
                               ("2 shards, 1 CPU each", 2, 1)):
        db = ShardedDatabase(str(root / f"scan{shards}-{cpus}"), dim=data.dim, metric="l2",
                             shards=shards, cpus_per_shard=cpus)
        build(db, base[:scan_n])
        assert db.stats()["uses_brute_force"]
        scan_rows.append((name, qps(db, scan_q, 200, passes=2)))
        db.close()

    progress("add_many")
    # 3. add_many of synthetic 128-d vectors: one in-process database vs 2 shards.
    rng = np.random.default_rng(16)
    synthetic = rng.standard_normal((args.add_n, 128), dtype=np.float32)
    direct = dralm.Database(str(root / "direct"), dim=128, metric="l2")
    direct_s = build(direct, synthetic, chunk=50_000)
    del direct
    shutil.rmtree(root / "direct", ignore_errors=True)
    spread = ShardedDatabase(str(root / "spread"), dim=128, metric="l2", shards=2,
                             cpus_per_shard=1)
    spread_s = build(spread, synthetic, chunk=50_000)
    spread.close()
    shutil.rmtree(root / "spread", ignore_errors=True)

    progress("latency")
    # 4. Per-call overhead of one search, on a database small enough to scan in µs.
    small = rng.standard_normal((1000, 128), dtype=np.float32)
    local = dralm.Database(str(root / "local"), dim=128)
    local.add_many([str(i) for i in range(1000)], small)
    latency = {}

    def median_ms(db, reps: int = 300) -> float:
        for q in small[:20]:
            db.search(q, k=K)
        times = []
        for q in small[:reps % len(small) or reps]:
            start = time.perf_counter()
            db.search(q, k=K)
            times.append(time.perf_counter() - start)
        return statistics.median(times) * 1000

    latency["Database (in process)"] = median_ms(local)
    for shards in (1, 2, 4):
        db = ShardedDatabase(str(root / f"lat{shards}"), dim=128, shards=shards,
                             cpus_per_shard=0.5)
        db.add_many([str(i) for i in range(1000)], small)
        latency[f"ShardedDatabase, {shards} shard(s)"] = median_ms(db)
        db.close()
    load_after = os.getloadavg()
    ray.shutdown()
    shutil.rmtree(root, ignore_errors=True)

    n = len(base)
    lines += [
        "# Sharded database on Ray: benchmark results",
        "",
        f"_Produced by `python bench/ray_bench.py --add-n {args.add_n} --queries "
        f"{args.queries}` on a local Ray cluster (`ray.init(num_cpus=2)`), "
        f"{platform.processor() or platform.machine()}, {os.cpu_count()} CPUs, Ray "
        f"{ray.__version__}. The machine was shared with other jobs: load average "
        f"{load_before[0]:.1f} before and {load_after[0]:.1f} after the run on 2 cores, so "
        f"absolute rates are low, a setup reserving 2 CPUs got less than 2, and ratios "
        f"between setups are noisy._",
        "",
        "## Goals",
        "",
        "| figure | goal | measured |",
        "|---|---|---|",
    ]
    loss = max(r1 - r4 for _, r1, r4 in recall_rows)
    gain = max(r4 - r1 for _, r1, r4 in recall_rows)
    lines.append(f"| recall@10, 4 shards vs one database at equal ef (Fashion-MNIST) | "
                 f"within 0.01 | largest loss {max(loss, 0):.4f}, largest gain {gain:.4f} "
                 f"(ef {', '.join(str(ef) for ef, _, _ in recall_rows)}) |")
    scan = dict(scan_rows)
    lines.append(f"| search_many QPS, batches of {BATCH}, 2 shards / 1 shard (1 CPU each) | "
                 f">= 1.7 | graph search: "
                 f"{', '.join(f'{q2 / q1:.2f} at ef={ef}' for ef, q1, q2 in qps_rows)}; "
                 f"exact scan: "
                 f"{scan['2 shards, 1 CPU each'] / scan['1 shard, 1 CPU']:.2f} |")
    lines.append(f"| add_many vectors/s, 2 shards / one database ({args.add_n:,}x128) | "
                 f">= 0.9 | {direct_s / spread_s:.2f} |")
    lines.append(f"| per-call overhead of one search | report | "
                 f"{latency['ShardedDatabase, 2 shard(s)'] - latency['Database (in process)']:.2f}"
                 f" ms with 2 shards (median latency minus the in-process call) |")
    lines += [
        "",
        f"## Recall@10 at equal ef_search ({n:,} Fashion-MNIST images, {len(queries):,} "
        f"queries, M=16, efConstruction=200)",
        "",
        f"Build: one database {one_build:.1f} s, 4 shards (0.5 CPU each) {four_build:.1f} s.",
        "",
        "| ef_search | one database | 4 shards | difference |",
        "|---:|---:|---:|---:|",
    ]
    lines += [f"| {ef} | {r1:.4f} | {r4:.4f} | {r4 - r1:+.4f} |" for ef, r1, r4 in recall_rows]
    lines += [
        "",
        "Each shard returns its own 10 nearest from a graph of a quarter of the data, "
        "searched with the same beam; the merge keeps the best 40 candidates' top 10, so "
        "the sharded database finds at least as much as one graph at the same ef and "
        "spends four beams per query on it.",
        "",
        f"## search_many QPS (batches of {BATCH}, {len(queries):,} queries, best of 3)",
        "",
        f"Build of the 2-shard database: {two_build:.1f} s. Recall@10 at ef=64: 2 shards "
        f"{two_recall:.4f}, 1 shard {wide_recall:.4f}.",
        "",
        "| ef_search | 1 shard, 1 CPU | 1 shard, 2 CPUs | 2 shards, 1 CPU each | "
        "2 shards / 1 shard (1 CPU) | 2 shards / 1 shard (2 CPUs) |",
        "|---:|---:|---:|---:|---:|---:|",
    ]
    for (ef, q1, q2), (_, qw) in zip(qps_rows, wide_rows):
        lines.append(f"| {ef} | {q1:,.0f} | {qw:,.0f} | {q2:,.0f} | {q2 / q1:.2f} | "
                     f"{q2 / qw:.2f} |")
    lines += [
        "",
        f"Exact scan ({scan_n:,} images, below the exact-scan limit on every shard; "
        f"{len(scan_q)} queries, best of 2):",
        "",
        "| setup | QPS | / 1 shard, 1 CPU |",
        "|---|---:|---:|",
    ]
    lines += [f"| {name} | {q:,.0f} | {q / scan['1 shard, 1 CPU']:.2f} |"
              for name, q in scan_rows]
    lines += [
        "",
        f"## add_many throughput ({args.add_n:,} random 128-d vectors, chunks of 50,000)",
        "",
        "| setup | seconds | vectors/s |",
        "|---|---:|---:|",
        f"| one database in process (pool of 2 threads) | {direct_s:.1f} | "
        f"{args.add_n / direct_s:,.0f} |",
        f"| 2 shards, 1 CPU each | {spread_s:.1f} | {args.add_n / spread_s:,.0f} |",
        "",
        "## Latency of one search (1,000 vectors of 128-d, exact scan, k=10, median of 300)",
        "",
        "| setup | median ms |",
        "|---|---:|",
    ]
    lines += [f"| {name} | {ms:.3f} |" for name, ms in latency.items()]
    lines.append("")
    Path(args.out).write_text("\n".join(lines))
    print("\n".join(lines))


if __name__ == "__main__":
    main()
