"""A damaged log (cut anywhere, or one bit flipped anywhere) must reopen to exactly the
state after its intact prefix of records, and must never crash the process. This is
the sampled sweep; scripts/reliability.sh runs every cut and every flip."""

import contextlib
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


def _flip_in_frame(path, log, frame_index, offset_in_frame=7):
    frames, _ = wm.parse_log(log)
    damaged = bytearray(log)
    damaged[frames[frame_index].start + offset_in_frame] ^= 0x10
    with open(os.path.join(path, "wal.dralm"), "wb") as fh:
        fh.write(damaged)
    return frames, bytes(damaged)


@pytest.mark.parametrize("frame_index", [0, 1, 2])
def test_intact_records_after_damage_are_kept_aside(tmp_path, capfd, frame_index):
    """One flipped bit in an early record stops replay there; the intact records after
    it must not be destroyed when the log is cut back."""
    path = str(tmp_path / "db")
    log = _write_some(path)
    frames, damaged = _flip_in_frame(path, log, frame_index)
    db = _dralm.Database(path, dim=3, metric="euclidean")
    aside = os.path.join(path, "wal.dralm.damaged")
    with open(aside, "rb") as fh:
        assert fh.read() == damaged
    assert os.path.getsize(os.path.join(path, "wal.dralm")) == frames[frame_index].start
    err = capfd.readouterr().err
    assert aside in err and f"damaged at byte {frames[frame_index].start}" in err
    # The database goes on from the intact prefix, and a second damage gets its own copy.
    db.add("e", [0.0, 0.0, 1.0])
    del db
    log = open(os.path.join(path, "wal.dralm"), "rb").read() + log[frames[frame_index].start:]
    _flip_in_frame(path, log, 0)
    _dralm.Database(path, dim=3, metric="euclidean")
    assert os.path.exists(aside + ".1")
    with open(aside, "rb") as fh:
        assert fh.read() == damaged


@pytest.mark.parametrize("into_last", [1, 5, -1])
def test_a_torn_tail_is_cut_without_a_copy(tmp_path, capfd, into_last):
    path = str(tmp_path / "db")
    log = _write_some(path)
    frames, _ = wm.parse_log(log)
    cut = frames[-1].start + into_last if into_last > 0 else frames[-1].end + into_last
    with open(os.path.join(path, "wal.dralm"), "wb") as fh:
        fh.write(log[:cut])
    _dralm.Database(path, dim=3, metric="euclidean")
    # No copy beside the log; LOCK is the open's directory lock, not a data file.
    assert sorted(os.listdir(path)) == ["LOCK", "wal.dralm"]
    assert os.path.getsize(os.path.join(path, "wal.dralm")) == frames[-1].start
    assert "dralm:" not in capfd.readouterr().err


@contextlib.contextmanager
def read_only_mount(where):
    """A tmpfs at `where`; yields a function that remounts it read-only."""
    os.makedirs(where)
    proc = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4096k", "tmpfs", where],
                          capture_output=True, text=True)
    if proc.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {proc.stderr.strip()}")
    try:
        yield lambda: subprocess.run(["mount", "-o", "remount,ro", where], check=True)
    finally:
        subprocess.run(["umount", "-l", where], check=False)


@pytest.mark.parametrize("damage", ["torn-tail", "damaged-middle"])
@pytest.mark.parametrize("saved_first", [False, True], ids=["never-saved", "saved"])
def test_a_crashed_database_opens_from_read_only_storage(tmp_path, damage, saved_first):
    with read_only_mount(str(tmp_path / "mnt")) as make_read_only:
        path = str(tmp_path / "mnt" / "db")
        if saved_first:
            db = _dralm.Database(path, dim=3, metric="euclidean")
            db.add("base", [0.5, 0.5, 0.5])
            db.save()
            del db
        log = _write_some(path)
        frames, _ = wm.parse_log(log)
        if damage == "torn-tail":
            with open(os.path.join(path, "wal.dralm"), "wb") as fh:
                fh.write(log[: frames[-1].end - 1])
            want = ["a", "b"]
        else:
            _flip_in_frame(path, log, 2)
            want = ["a", "b"]
        if saved_first:
            want = ["base"] + want
        make_read_only()
        before = {n: open(os.path.join(path, n), "rb").read() for n in os.listdir(path)}
        opened = [_dralm.Database(path, dim=3, metric="euclidean")]
        if saved_first:
            opened.append(_dralm.Database(path))
        for db in opened:
            assert sorted(db.ids()) == sorted(want)
            assert db.get("a") == ([1.0, 2.0, 3.0], {"k": 1 if damage != "torn-tail" else 2})
            assert [r.id for r in db.search([4, 5, 6], k=1)] == ["b"]
            for write in (lambda: db.add("x", [1, 1, 1]), db.save):
                with pytest.raises(ValueError) as info:
                    write()
                assert info.value.args[0].startswith("io error: ")
        after = {n: open(os.path.join(path, n), "rb").read() for n in os.listdir(path)}
        assert after == before


@contextlib.contextmanager
def unwritable_file(path):
    """Makes the file `path` unwritable while its directory stays writable: a read-only
    bind mount over it as root (who may write any file), its mode bits otherwise."""
    if os.geteuid() != 0:
        os.chmod(path, 0o444)
        try:
            yield
        finally:
            os.chmod(path, 0o644)
        return
    proc = subprocess.run(["mount", "--bind", path, path], capture_output=True, text=True)
    if proc.returncode != 0:
        pytest.skip(f"cannot bind-mount a file here: {proc.stderr.strip()}")
    try:
        subprocess.run(["mount", "-o", "remount,ro,bind", path], check=True)
        yield
    finally:
        subprocess.run(["umount", "-l", path], check=False)


def test_a_log_that_cannot_be_cut_is_kept_aside_once(tmp_path, capfd):
    """An opener that may write the directory but not the log cannot cut the damage off,
    so every open meets the same damaged log: it is copied aside once, not per open."""
    path = str(tmp_path / "db")
    log = _write_some(path)
    _, damaged = _flip_in_frame(path, log, 0)
    wal = os.path.join(path, "wal.dralm")
    aside = wal + ".damaged"
    with unwritable_file(wal):
        for _ in range(4):
            db = _dralm.Database(path, dim=3, metric="euclidean")
            assert db.ids() == []
            del db
        assert sorted(n for n in os.listdir(path) if ".damaged" in n) == ["wal.dralm.damaged"]
        assert open(aside, "rb").read() == damaged
        assert open(wal, "rb").read() == damaged
        err = capfd.readouterr().err
        assert err.count(f"was kept as {aside}") == 1 and err.count(f"already kept as {aside}") == 3
