"""Checks of the harness's own arithmetic: run with `python -m pytest bench/`."""

from __future__ import annotations

import gzip
import struct
import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

import datasets  # noqa: E402
import job  # noqa: E402
import measure  # noqa: E402
import report  # noqa: E402


def _write_idx(path: Path, arr: np.ndarray, code: int = 0x08) -> None:
    header = struct.pack(">HBB", 0, code, arr.ndim) + struct.pack(f">{arr.ndim}I", *arr.shape)
    with gzip.open(path, "wb") as f:
        f.write(header + arr.astype(">u1").tobytes())


def test_read_idx_round_trip_and_rejects_damage(tmp_path):
    arr = np.arange(2 * 3 * 4, dtype=np.uint8).reshape(2, 3, 4)
    good = tmp_path / "good.gz"
    _write_idx(good, arr)
    np.testing.assert_array_equal(datasets.read_idx(good), arr)

    raw = gzip.open(good).read()
    for name, data in [("short", raw[:-1]), ("magic", b"\x01" + raw[1:]), ("tiny", raw[:2])]:
        bad = tmp_path / f"{name}.gz"
        bad.write_bytes(gzip.compress(data))
        with pytest.raises(ValueError):
            datasets.read_idx(bad)


@pytest.mark.parametrize("metric", ["l2", "cosine"])
def test_exact_knn_matches_a_full_sort(metric):
    rng = np.random.default_rng(1)
    base = rng.normal(size=(300, 8)).astype(np.float32)
    queries = rng.normal(size=(25, 8)).astype(np.float32)
    got = datasets.exact_knn(base, queries, 5, metric, chunk=7)
    if metric == "cosine":
        b = base / np.linalg.norm(base, axis=1, keepdims=True)
        q = queries / np.linalg.norm(queries, axis=1, keepdims=True)
        d = -(q.astype(np.float64) @ b.T.astype(np.float64))
    else:
        d = ((queries[:, None, :].astype(np.float64) - base[None]) ** 2).sum(-1)
    np.testing.assert_array_equal(got, np.argsort(d, axis=1, kind="stable")[:, :5])


def test_exact_knn_breaks_ties_by_smaller_id():
    base = np.array([[1.0], [0.0], [1.0], [1.0]], dtype=np.float32)
    got = datasets.exact_knn(base, np.array([[0.0]], dtype=np.float32), 3, "l2")
    assert got.tolist() == [[1, 0, 2]]


def test_recall_counts_set_overlap_and_ignores_padding():
    truth = np.array([[1, 2, 3, 4], [5, 6, 7, 8]])
    found = [[4, 3, 9, -1], [5, 5, 6]]  # order is free, duplicates count once, rows may be short
    assert measure.recall_at_k(found, truth) == pytest.approx((2 + 2) / 8)
    with pytest.raises(ValueError):
        measure.recall_at_k(found[:1], truth)


@pytest.mark.parametrize("target,want,how", [
    (0.90, 1000.0, "interp"),      # halfway between (0.85, 1200) and (0.95, 800)
    (0.95, 800.0, "exact"),
    (0.80, 1200.0, ">="),         # below every point: the fastest point bounds it
    (0.995, None, "unreached"),
])
def test_qps_at_recall_uses_the_frontier(target, want, how):
    # (0.90, 500) is dominated by (0.95, 800) and must not pull the interpolation down.
    points = [(0.85, 1200.0), (0.90, 500.0), (0.95, 800.0), (0.99, 100.0)]
    got, got_how = measure.qps_at_recall(points, target)
    assert got_how == how
    assert got == (None if want is None else pytest.approx(want))


def test_filter_columns_hit_their_selectivity(monkeypatch):
    n = 200_000
    monkeypatch.setattr(job.datasets, "fashion_labels", lambda n: np.arange(n) % 10)
    cols = job.filter_columns(n)
    wanted = [0.10, 0.01, 0.001, 0.05, 0.5, 0.1, 0.01, 0.05]
    for (name, where, pick), share in zip(job.FILTERS, wanted):
        assert abs(pick(cols).mean() - share) < 0.1 * share + 0.002, name
    md = job.metadatas_for(5)
    assert [m["bucket"] for m in md] == [0, 1, 2, 3, 4]
    assert [m["price"] for m in md] == job.filter_columns(5)["price"].tolist()


def _sweep(lib, threads, pts, **spec):
    return {"spec": {"job": "sweep", "lib": lib, "key": "fashion-l2", "threads": threads,
                     **spec},
            "result": {"ok": True, "dataset": "d", "nq": 10, "affinity": threads,
                       "points": [{"ef": i, "recall": r, "qps": q}
                                  for i, (r, q) in enumerate(pts)]}}


def test_goals_compare_the_right_curves():
    jobs = [_sweep("dralm", 1, [(0.9, 3000), (1.0, 1000)]),
            _sweep("hnswlib", 1, [(0.9, 2000), (1.0, 1000)]),
            _sweep("dralm", 2, [(0.9, 5000), (1.0, 2000)]),
            _sweep("dralm", 1, [(0.9, 1000), (1.0, 500)], sq8=True)]
    goals = {g["figure"]: g for g in report.goals({"jobs": jobs})}
    vs_hnsw = goals["1-thread QPS @ recall 0.95, fashion-mnist L2, vs hnswlib"]
    assert vs_hnsw["ratio"] == pytest.approx(2000 / 1500) and vs_hnsw["met"]
    threads = goals["search_many QPS @ 0.95, 2 threads / 1 thread, fashion-mnist L2"]
    assert threads["ratio"] == pytest.approx(3500 / 2000) and threads["met"] is False
    sq8 = goals["SQ8 traversal QPS / float traversal QPS @ recall 0.95"]
    assert sq8["ratio"] == pytest.approx(750 / 2000) and sq8["met"] is False
    faiss = goals["1-thread QPS @ recall 0.95, fashion-mnist L2, vs faiss HNSW"]
    assert faiss["ratio"] is None and faiss["met"] is None


def test_build_goal_needs_equal_recall():
    def rec(job, lib, key, threads, **result):
        return {"spec": {"job": job, "lib": lib, "key": key, "threads": threads},
                "result": {"ok": True, "dataset": "d", "nq": 10, **result}}

    def run(dralm_recall):
        jobs = [rec("build", "dralm", "synthetic", 2, vectors_per_s=300.0),
                rec("build", "hnswlib", "synthetic", 2, vectors_per_s=100.0),
                rec("sweep", "dralm", "synthetic", 2,
                    points=[{"ef": 40, "recall": dralm_recall, "qps": 1.0}]),
                rec("sweep", "hnswlib", "synthetic", 2,
                    points=[{"ef": 40, "recall": 0.99, "qps": 1.0}])]
        return next(g for g in report.goals({"jobs": jobs}) if g["figure"].startswith("build"))

    assert run(0.985)["met"] and run(0.985)["ratio"] == pytest.approx(3.0)
    fast_but_lost = run(0.10)
    assert fast_but_lost["ratio"] == pytest.approx(3.0) and fast_but_lost["met"] is False


@pytest.mark.parametrize("pool_threads", [1, 3])  # 3: parts of unequal length
@pytest.mark.parametrize("lib", ["hnswlib", "dralm"])
def test_per_query_search_answers_like_one_batch_in_query_order(lib, pool_threads, tmp_path):
    pytest.importorskip("_dralm" if lib == "dralm" else lib)
    from concurrent.futures import ThreadPoolExecutor

    from engine import affinity
    from libraries import engine

    rng = np.random.default_rng(5)
    base = rng.normal(size=(600, 16)).astype(np.float32)
    queries = rng.normal(size=(41, 16)).astype(np.float32)
    eng = engine(lib, 16, "l2", affinity())
    eng.build_at(tmp_path / "index", base)
    eng.set_ef(50)
    batch = eng.to_ids(eng.search_raw(queries, 10), 10)
    with ThreadPoolExecutor(pool_threads) as pool:
        each = eng.to_ids(job.per_query_search(pool, pool_threads, eng, queries, 10), 10)
    np.testing.assert_array_equal(each, batch)
    assert measure.recall_at_k(each, datasets.exact_knn(base, queries, 10, "l2")) > 0.9


def test_in_process_sweep_switches_one_database_between_traversals(tmp_path):
    pytest.importorskip("_dralm")
    from engine import affinity

    rng = np.random.default_rng(9)
    base = rng.normal(size=(500, 16)).astype(np.float32)
    queries = rng.normal(size=(20, 16)).astype(np.float32)
    ds = datasets.Dataset("tiny", "l2", base, queries, datasets.exact_knn(base, queries, 10, "l2"))
    path = str(tmp_path / "dralm")
    members = [{"lib": "dralm", "index_path": path}, {"lib": "dralm", "sq8": True,
               "index_path": path}, {"lib": "dralm", "sq4": True, "index_path": path}]
    spec = {"k": 10, "reps": 1, "threads": affinity(), "members": members, "efs": [10, 40],
            "dralm_in_process": True}
    out = job.job_sweep(spec, ds)["members"]
    assert {name: res["stats"]["quantized_search_bits"] for name, res in out.items()} == \
        {"dralm": 0, "dralm+sq8": 8, "dralm+sq4": 4}
    for res in out.values():
        assert res["dralm_build"]["reopen"] == "ok" and res["points"][-1]["recall"] > 0.9
        assert "open_s" not in res  # never opened from the saved files


def test_memory_now_sees_an_anonymous_allocation_grow():
    import memory

    before = memory.memory_now()
    block = np.ones(64 << 20, dtype=np.uint8)  # 64 MiB, every page written
    after = memory.memory_now()
    assert after["rss"] == after["anon"] + after["file"]
    assert after["anon"] - before["anon"] >= 60 << 20
    del block
