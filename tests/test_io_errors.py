"""I/O errors during log appends and saves: the call raises ValueError "io error: ...",
the database stays usable, and neither it nor a fresh open of its directory loses an
acknowledged write or shows a failed one. Errors come from a tiny tmpfs that fills up
(needs root to mount) and from strace fault injection (needs strace)."""

import contextlib
import os
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "reliability"))
import iosweep  # noqa: E402

import _dralm  # noqa: E402

DIM = 64
ENOSPC_TEXT = "(os error 28)"


@contextlib.contextmanager
def tiny_tmpfs(where, size_kb):
    os.makedirs(where)
    proc = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size_kb}k", "tmpfs", where],
                          capture_output=True, text=True)
    if proc.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {proc.stderr.strip()}")
    try:
        yield where
    finally:
        subprocess.run(["umount", "-l", where], check=False)


def vec(i):
    return [float((i * 31 + j) % 97) / 8.0 for j in range(DIM)]


def state_of(db):
    return {i: db.get(i) for i in db.ids()}


def reopened_state(path):
    db = _dralm.Database(path, dim=DIM, metric="euclidean")
    try:
        return state_of(db)
    finally:
        del db


def fill_until_full(db, model, start):
    """Adds until the disk is full; returns the error message and the next index."""
    i = start
    while True:
        try:
            db.add(f"v{i}", vec(i), {"i": i})
        except ValueError as exc:
            return str(exc), i
        model[f"v{i}"] = (vec(i), {"i": i})
        i += 1
        assert i < start + 100000, "the tiny file system never filled up"


@pytest.mark.parametrize("saved_first", [False, True], ids=["log-only", "saved"])
def test_log_appends_on_a_full_disk(tmp_path, saved_first):
    with tiny_tmpfs(str(tmp_path / "mnt"), 192) as mnt:
        path = os.path.join(mnt, "db")
        db = _dralm.Database(path, dim=DIM, metric="euclidean")
        model = {}
        if saved_first:
            for i in range(20):
                db.add(f"s{i}", vec(i), None)
                model[f"s{i}"] = (vec(i), None)
            db.save()
        message, at = fill_until_full(db, model, 0)
        assert message.startswith("io error: ") and ENOSPC_TEXT in message, message
        # the failed write left nothing behind, in memory or for a later open
        assert f"v{at}" not in db
        assert state_of(db) == {k: tuple(v) for k, v in model.items()}
        # a batch on the full disk fails as a whole
        with pytest.raises(ValueError, match="^io error: "):
            db.add_many([f"b{i}" for i in range(30)], [vec(i) for i in range(30)])
        assert not any(f"b{i}" in db for i in range(30))
        # small records may still fit in the last page; whatever does not fit must
        # fail cleanly and change nothing
        victim, other = list(model)[:2]
        try:
            db.delete(victim)
            del model[victim]
        except ValueError as exc:
            assert str(exc).startswith("io error: ")
            assert db.get(victim) == tuple(model[victim])
        try:
            db.upsert(other, vec(999), {"changed": True})
            model[other] = (vec(999), {"changed": True})
        except ValueError as exc:
            assert str(exc).startswith("io error: ")
        assert state_of(db) == {k: tuple(v) for k, v in model.items()}
        del db
        assert reopened_state(path) == {k: tuple(v) for k, v in model.items()}


def test_save_on_a_full_disk_keeps_the_last_good_state(tmp_path):
    with tiny_tmpfs(str(tmp_path / "mnt"), 256) as mnt:
        path = os.path.join(mnt, "db")
        db = _dralm.Database(path, dim=DIM, metric="euclidean")
        model = {}
        for i in range(40):
            db.add(f"a{i}", vec(i), {"i": i})
            model[f"a{i}"] = (vec(i), {"i": i})
        db.save()
        for i in range(40, 200):
            db.add(f"a{i}", vec(i), None)
            model[f"a{i}"] = (vec(i), None)
        db.delete("a0")
        del model["a0"]
        # leave room for the log but not for a second copy of the data files
        ballast = os.path.join(mnt, "ballast")
        free = os.statvfs(mnt).f_bavail * os.statvfs(mnt).f_frsize
        with open(ballast, "wb") as fh:
            fh.write(b"\0" * max(0, free - 16 * 1024))
        with pytest.raises(ValueError, match="^io error: "):
            db.save()
        assert state_of(db) == {k: tuple(v) for k, v in model.items()}
        del db
        assert reopened_state(path) == {k: tuple(v) for k, v in model.items()}
        # once there is room again, saving works and the state is unchanged
        os.unlink(ballast)
        db = _dralm.Database(path, dim=DIM, metric="euclidean")
        db.save()
        del db
        assert not os.path.exists(os.path.join(path, "wal.dralm"))
        assert not os.path.exists(os.path.join(path, "graph.tmp"))
        assert reopened_state(path) == {k: tuple(v) for k, v in model.items()}


needs_strace = pytest.mark.skipif(not iosweep.available(), reason="strace is not installed")


@needs_strace
@pytest.mark.parametrize("injection", iosweep.INJECTIONS, ids=[i[0] for i in iosweep.INJECTIONS])
def test_injected_errors_raise_io_and_lose_nothing(tmp_path, injection):
    hits = 0
    for n in (1, 2):
        result = iosweep.run_one(str(tmp_path), injection, n, quantize=(n == 2))
        assert result["faults"] == []
        hits += result["hit"]
    if injection[1] in ("write", "openat", "rename", "unlink"):
        # these calls are certainly made by the first save or append
        assert hits >= 1, f"{injection[0]}: no injected error reached the caller"
