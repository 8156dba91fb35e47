"""SIGKILL a process writing from several threads (with save and compact running in
between) at random moments; every acknowledged write must survive the reopen, and the
reopen must never fail. scripts/reliability.sh runs the same loop for 1000 kills."""

import os
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "reliability"))
import killloop  # noqa: E402

import _dralm  # noqa: E402


def _assert_clean(summary):
    detail = "\n".join(summary["faults"])
    assert summary["failed_reopens"] == 0, detail
    assert summary["writer_errors"] == 0, detail
    assert summary["lost_or_wrong"] == 0, detail


@pytest.mark.parametrize("seed", [11, 12])
def test_a_handful_of_kills_lose_no_acknowledged_write(tmp_path, seed):
    summary = killloop.run(kills=4, seed=seed, workdir=str(tmp_path))
    _assert_clean(summary)
    # the loop really ran writes to completion between the kills
    assert summary["kills"] == 4 and summary["acked_writes"] > 0


@pytest.mark.slow
def test_fifty_kills(tmp_path):
    summary = killloop.run(kills=50, seed=5, workdir=str(tmp_path))
    _assert_clean(summary)


def test_verifier_catches_a_lost_write():
    """The checker itself must fail when an acknowledged write is missing or altered,
    or a batch shows a non-prefix of its records; otherwise the loop proves nothing."""
    v = [1.0] * killloop.DIM
    w = [2.0] * killloop.DIM
    begin = {"t": 0, "s": 1, "ph": "B", "op": "add", "eff": [["set", "t0-1", v, {"a": 1}]]}
    ops = {0: {1: [begin, True]}}
    assert killloop.verify({}, {"t0-1": (v, {"a": 1})}, ops) == []
    assert any("lost" in f for f in killloop.verify({}, {}, ops))
    assert killloop.verify({}, {"t0-1": (w, {"a": 1})}, ops)
    assert any("appeared" in f for f in killloop.verify({}, {"t0-1": (v, {"a": 1}),
                                                            "zz": (w, None)}, ops))
    batch = {"t": 0, "s": 2, "ph": "B", "op": "add_many",
             "eff": [["set", f"t0-{i}", v, None] for i in (2, 3, 4)]}
    ops[0][2] = [batch, False]
    base = {"t0-1": (v, {"a": 1})}
    assert killloop.verify({}, dict(base, **{"t0-2": (v, None)}), ops) == []
    assert any("non-prefix" in f for f in
               killloop.verify({}, dict(base, **{"t0-3": (v, None)}), ops))


import iosweep  # noqa: E402


@pytest.mark.skipif(not iosweep.available(), reason="strace is not installed")
@pytest.mark.parametrize("crash", iosweep.CRASHES, ids=[c[0] for c in iosweep.CRASHES])
def test_kill_at_exact_points_of_appends_and_saves(tmp_path, crash):
    """Deterministic crash points: killed on entering the n-th write, rename, unlink or
    fsync on the database's files (a save interrupted between its renames, say), the
    directory must reopen with every acknowledged step."""
    # the first calls, and the last ones of the third save (which follows a compaction)
    points = {"write": (1, 2, 6), "rename": (1, 2, 6), "unlink": (1, 3), "fsync": (1, 16)}
    for n in points[crash[1]] if crash[0] != "crash-at-log-write" else (1, 2, 17):
        result = iosweep.run_crash(str(tmp_path), crash, n, quantize=(n == 2))
        assert result["faults"] == []
        assert result["hit"], f"{crash[0]}: the scenario makes fewer than {n} such calls"


def test_save_interrupted_between_renames_after_compaction(tmp_path):
    """Compaction renumbers slots without changing their count here, so a save stopped
    after replacing vectors.bin but before graph.dralm leaves files whose sizes agree
    while their slots do not. Save writes graph.tmp in full before it replaces
    vectors.bin, so that is the state a crash leaves: the old graph, the new vectors,
    the finished graph.tmp and the log. Reopening must not pair ids with other ids'
    vectors."""
    path = str(tmp_path / "db")
    db = _dralm.Database(path, dim=2, metric="euclidean")
    for i, name in enumerate("abc"):
        db.add(name, [float(i), float(i)])
    db.save()
    with open(os.path.join(path, "graph.dralm"), "rb") as fh:
        old_graph = fh.read()
    db.delete("a")
    db.add("d", [9.0, 9.0])
    db.compact()
    with open(os.path.join(path, "wal.dralm"), "rb") as fh:
        log = fh.read()
    db.save()
    del db
    with open(os.path.join(path, "graph.dralm"), "rb") as fh:
        new_graph = fh.read()
    with open(os.path.join(path, "graph.tmp"), "wb") as fh:
        fh.write(new_graph)
    with open(os.path.join(path, "graph.dralm"), "wb") as fh:
        fh.write(old_graph)
    with open(os.path.join(path, "wal.dralm"), "wb") as fh:
        fh.write(log)
    db = _dralm.Database(path, dim=2)
    got = {i: db.get(i)[0] for i in db.ids()}
    assert got == {"b": [1.0, 1.0], "c": [2.0, 2.0], "d": [9.0, 9.0]}
