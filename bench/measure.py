"""Measuring helpers: recall, medians of repeated timings, resident memory, interpolation."""

from __future__ import annotations

import os
import statistics
import time
from typing import Callable, Sequence

import numpy as np


def recall_at_k(found: np.ndarray | Sequence[Sequence[int]], truth: np.ndarray) -> float:
    """Mean id-set overlap of each row of `found` with the same row of `truth`, over k.

    Rows of `found` may be shorter than k (a search that returned fewer hits) and may hold
    -1 padding, which never matches.
    """
    k = truth.shape[1]
    if len(found) != len(truth):
        raise ValueError(f"{len(found)} result rows for {len(truth)} queries")
    hits = 0
    for got, want in zip(found, truth):
        got_set = {int(x) for x in list(got)[:k] if int(x) >= 0}
        hits += len(got_set.intersection(int(x) for x in want))
    return hits / (k * len(truth)) if len(truth) else 0.0


def timed(fn: Callable[[], object], reps: int) -> tuple[list[float], object]:
    """Runs fn `reps` times; returns the wall times and the last result."""
    times = []
    result = None
    for _ in range(reps):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return times, result


def timed_cpu(fn: Callable[[], object]) -> tuple[float, float, object]:
    """One call of fn: (wall seconds, CPU seconds of every thread of this process, result).

    On a shared machine CPU / wall shows how much of the run the process actually got.
    """
    cpu0 = time.process_time()
    start = time.perf_counter()
    result = fn()
    wall = time.perf_counter() - start
    return wall, time.process_time() - cpu0, result


def median(xs: Sequence[float]) -> float:
    return float(statistics.median(xs))


def rss_bytes() -> int:
    """Resident set size of this process now."""
    with open("/proc/self/statm") as f:
        pages = int(f.read().split()[1])
    return pages * os.sysconf("SC_PAGE_SIZE")


def pareto(points: Sequence[tuple[float, float]]) -> list[tuple[float, float]]:
    """The (recall, qps) points that no other point beats on both, by ascending recall."""
    best: list[tuple[float, float]] = []
    for r, q in sorted(points, key=lambda p: (-p[0], -p[1])):
        if not best or q > best[-1][1]:
            best.append((r, q))
    return best[::-1]


def qps_at_recall(points: Sequence[tuple[float, float]], target: float
                  ) -> tuple[float | None, str]:
    """QPS at `target` recall, interpolated linearly on the Pareto frontier.

    Returns (qps, how): how is "interp" between two measured points, "exact" on one, ">=" when
    every point already exceeds the target (the fastest of them is a lower bound), and
    "unreached" (qps None) when no point reaches it.
    """
    front = pareto(points)
    if not front or front[-1][0] < target:
        return None, "unreached"
    if front[0][0] >= target:
        return front[0][1], ("exact" if front[0][0] == target else ">=")
    for r, q in front:
        if r == target:
            return q, "exact"
    for (r0, q0), (r1, q1) in zip(front, front[1:]):
        if r0 < target < r1:
            t = (target - r0) / (r1 - r0)
            return q0 + t * (q1 - q0), "interp"
    raise AssertionError("frontier is sorted and spans the target")


def copy_bandwidth(megabytes: int = 512, reps: int = 5) -> dict:
    """Single-thread memory copy bandwidth, STREAM-copy convention (bytes read + written).

    The buffer is far larger than the last-level cache, so this is a DRAM figure.
    """
    n = megabytes * (1 << 20) // 4
    src = np.ones(n, dtype=np.float32)
    dst = np.empty_like(src)
    np.copyto(dst, src)  # fault every page in before timing
    runs = [timed_cpu(lambda: np.copyto(dst, src)) for _ in range(reps)]
    t = median([wall for wall, _, _ in runs])
    cpu = median([c for _, c, _ in runs])
    return {"buffer_mb": megabytes, "seconds": t, "bytes_per_s": 2 * src.nbytes / t,
            "read_bytes_per_s": src.nbytes / t, "cpu_seconds": cpu,
            "bytes_per_cpu_s": 2 * src.nbytes / cpu, "reps": reps}


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown CPU"
