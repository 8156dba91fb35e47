"""Where the long searches' time goes while one writer adds: on the CPU, waiting for a CPU, or
blocked (a lock, the GIL, I/O); and where the writer's time goes, alone and beside the reader.

One thread searches without pause (k = 10, fixed ef) while another adds `--writes` vectors in
calls of `--batch`. For every search the reader records its wall time, the CPU time of its own
thread (time.thread_time) and the time its thread spent runnable but not running, read from
/proc/self/task/<tid>/schedstat (the kernel's run-queue delay). What is left, wall minus both,
is time the thread slept: waiting for a lock the writer held, for the GIL, or for I/O. Each
search slower than `--slow-ms` is listed with the write calls it overlapped. The writer's
thread is measured the same way, over `--writes` vectors added alone and as many beside the
reader: more CPU per write beside the reader means contention for caches and memory, more
run-queue delay a shortage of CPUs, more blocked time waiting for the reader (the exclusive
publish step waits for the search in flight).

    python bench/search_stalls.py --batch 1 --writes 5000
    python bench/search_stalls.py --batch 1000 --writes 20000 --n 100000

Prints its findings; nothing is written (the figures go to bench/results/concurrency.md by
hand, with the command).
"""

from __future__ import annotations

import argparse
import os
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


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--writes", type=int, default=5_000)
    parser.add_argument("--batch", type=int, default=1)
    parser.add_argument("--ef", type=int, default=64)
    parser.add_argument("--slow-ms", type=float, default=3.0)
    parser.add_argument("--show", type=int, default=10)
    args = parser.parse_args()
    import dralm

    data = clustered(args.n + 2 * args.writes, args.dim, q=1000, with_gt=False)
    work = Path(tempfile.mkdtemp(prefix="dralm-stalls-"))
    try:
        db = dralm.Database(str(work / "db"), dim=args.dim, metric="euclidean", m=M,
                            ef_construction=EF_CONSTRUCTION)
        for lo in range(0, args.n, 10_000):
            hi = min(args.n, lo + 10_000)
            db.add_many([str(i) for i in range(lo, hi)], data.base[lo:hi])
        def queued_time(sched) -> float:
            sched.seek(0)
            return int(sched.read().split()[1]) / 1e9

        def add_all(first: int, calls: list) -> tuple[float, float, float]:
            """Adds `writes` vectors from `first`; returns wall, CPU and run-queue seconds."""
            with open(f"/proc/self/task/{threading.get_native_id()}/schedstat") as sched:
                r0, c0, t0 = queued_time(sched), time.thread_time(), time.perf_counter()
                for lo in range(first, first + args.writes, args.batch):
                    s0 = time.perf_counter()
                    hi = min(lo + args.batch, first + args.writes)
                    if args.batch == 1:
                        db.add(str(lo), data.base[lo])
                    else:
                        db.add_many([str(i) for i in range(lo, hi)], data.base[lo:hi])
                    calls.append((s0, time.perf_counter(), lo))
                return (time.perf_counter() - t0, time.thread_time() - c0,
                        queued_time(sched) - r0)

        alone = add_all(args.n, [])
        stop = threading.Event()
        searches: list[tuple[float, float, float, float]] = []  # start, wall, cpu, run queue

        def reader() -> None:
            sched = open(f"/proc/self/task/{threading.get_native_id()}/schedstat")

            def queued() -> float:
                sched.seek(0)
                return int(sched.read().split()[1]) / 1e9

            i = 0
            while not stop.is_set():
                r0, c0, t0 = queued(), time.thread_time(), time.perf_counter()
                db.search(data.queries[i % len(data.queries)], k=K, ef_search=args.ef)
                t1 = time.perf_counter()
                searches.append((t0, t1 - t0, time.thread_time() - c0, queued() - r0))
                i += 1
            sched.close()

        calls = []
        thread = threading.Thread(target=reader)
        thread.start()
        time.sleep(0.05)
        beside = add_all(args.n + args.writes, calls)
        stop.set()
        thread.join()
        del db
    finally:
        shutil.rmtree(work, ignore_errors=True)

    print(f"{args.n:,} x {args.dim}, writes of {args.writes:,} in calls of {args.batch}; "
          f"load average {os.getloadavg()[0]:.2f}")
    for label, (w, c, q) in (("alone", alone), ("beside the reader", beside)):
        per = 1e6 / args.writes
        print(f"writer {label}: {args.writes / w:,.0f} vectors/s; per vector {w * per:.1f} us: "
              f"CPU {c * per:.1f}, waiting for a CPU {q * per:.1f}, blocked "
              f"{(w - c - q) * per:.1f}")
    wall = np.array([s[1] for s in searches])
    slow = [s for s in searches if s[1] * 1000 > args.slow_ms]
    print(f"{len(wall):,} searches: p50 {np.percentile(wall, 50) * 1e3:.2f} ms, p99 "
          f"{np.percentile(wall, 99) * 1e3:.2f} ms, max {wall.max() * 1e3:.1f} ms")
    if not slow:
        print(f"no search slower than {args.slow_ms} ms")
        return
    total = sum(s[1] for s in slow)
    cpu = sum(s[2] for s in slow)
    queued = sum(s[3] for s in slow)
    print(f"{len(slow)} searches slower than {args.slow_ms} ms, {total * 1e3:.0f} ms in all: on a "
          f"CPU {cpu * 1e3:.0f} ms ({cpu / total:.0%}), waiting for a CPU {queued * 1e3:.0f} ms "
          f"({queued / total:.0%}), blocked {(total - cpu - queued) * 1e3:.0f} ms "
          f"({(total - cpu - queued) / total:.0%})")
    for t0, w, c, q in sorted(slow, key=lambda s: -s[1])[:args.show]:
        over = [(c1 - c0, lo) for c0, c1, lo in calls if c1 > t0 and c0 < t0 + w]
        desc = ", ".join(f"write at {lo:,} took {d * 1e3:.1f} ms" for d, lo in over[:3])
        print(f"  {w * 1e3:6.1f} ms: CPU {c * 1e3:.1f}, waiting for a CPU {q * 1e3:.1f}, blocked "
              f"{(w - c - q) * 1e3:.1f}; {len(over)} writes overlapped ({desc})")


if __name__ == "__main__":
    main()
