"""A damaged log (cut anywhere, or one bit flipped anywhere) must reopen to exactly the
state after its intact prefix of records, and must never crash the process. This is
the sampled sweep; scripts/reliability.sh runs every cut and every flip."""

import json
import os
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "reliability"))
import walmodel as wm  # noqa: E402

SWEEP = os.path.join(HERE, "reliability", "logsweep.py")

import _dralm  # noqa: E402


@pytest.mark.parametrize(
    "kind,sample",
    [("small", 300), ("saved", 150), ("large", 40)],
    ids=["never-saved", "on-saved-files", "10kB-vectors"],
)
def test_sampled_cuts_and_flips_recover_the_intact_prefix(kind, sample):
    proc = subprocess.run(
        [sys.executable, SWEEP, "--kinds", kind, "--sample", str(sample), "--seed", "7"],
        capture_output=True, text=True, timeout=600,
    )
    assert proc.returncode == 0, proc.stderr[-3000:]
    report = json.loads(proc.stdout.strip().splitlines()[-1])[kind]
    assert report["cuts"] > 0 and report["flips"] > 0
    assert report["crashes"] == 0, json.dumps(report["first_crashes"], indent=1)
    assert report["faults"] == 0, "\n".join(report["first_faults"])


def _write_some(path, dim=3):
    db = _dralm.Database(path, dim=dim, metric="euclidean")
    db.add("a", [1.0, 2.0, 3.0], {"k": 1})
    db.add("b", [4.0, 5.0, 6.0])
    db.update("a", None, {"k": 2})
    db.add("c", [7.0, 8.0, 9.0], {"k": 3})
    del db
    with open(os.path.join(path, "wal.dralm"), "rb") as fh:
        return fh.read()


@pytest.mark.parametrize("saved_first", [False, True], ids=["never-saved", "saved"])
@pytest.mark.parametrize("into_last", [1, 5, 9, -4, -1])
def test_writes_after_a_torn_tail_survive_the_next_open(tmp_path, saved_first, into_last):
    """A crash leaves half a frame; the next session appends after it. Those appends
    must not hide behind the torn frame at the following open."""
    path = str(tmp_path / "db")
    if saved_first:
        db = _dralm.Database(path, dim=3, metric="euclidean")
        db.add("base", [0.5, 0.5, 0.5])
        db.save()
        del db
    log = _write_some(path)
    frames, _ = wm.parse_log(log)
    last = frames[-1]
    cut = last.start + into_last if into_last > 0 else last.end + into_last
    with open(os.path.join(path, "wal.dralm"), "wb") as fh:
        fh.write(log[:cut])

    db = _dralm.Database(path, dim=3, metric="euclidean")
    assert "c" not in db
    db.add("d", [1.5, 2.5, 3.5], {"after": "crash"})
    db.upsert("b", [9.0, 9.0, 9.0], {"b": 2})
    del db

    db = _dralm.Database(path, dim=3, metric="euclidean")
    want = {"a": ([1.0, 2.0, 3.0], {"k": 2}), "b": ([9.0, 9.0, 9.0], {"b": 2}),
            "d": ([1.5, 2.5, 3.5], {"after": "crash"})}
    if saved_first:
        want["base"] = ([0.5, 0.5, 0.5], None)
    assert sorted(db.ids()) == sorted(want)
    for id_, (vec, meta) in want.items():
        assert db.get(id_) == (vec, meta), id_
