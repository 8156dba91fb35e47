"""Database.close() and the accepted path types: close releases the directory at once,
keeps every write (in the log), makes every later call fail with one message, and a
second close does nothing; paths may be str, bytes or os.PathLike."""

import os
import pathlib
import subprocess
import sys
import threading

import pytest

from _dralm import Database

CLOSED = "database is closed"


@pytest.mark.parametrize("as_path", [str, pathlib.Path, os.fsencode,
                                     lambda p: type("P", (), {"__fspath__": lambda s: p})()],
                         ids=["str", "Path", "bytes", "PathLike"])
def test_paths_of_every_kind_open_the_same_database(tmp_path, as_path):
    path = str(tmp_path / "db")
    db = Database(as_path(path), dim=2)
    db.add("a", [1, 2])
    db.close()
    assert Database(path, dim=2).get("a")[0] == [1.0, 2.0]


@pytest.mark.parametrize("path", [3, None, ["p"]])
def test_other_path_types_are_refused(path):
    with pytest.raises(TypeError, match="argument 'path' must be str, bytes or os.PathLike"):
        Database(path, dim=2)


@pytest.mark.parametrize("as_path", [str, pathlib.Path, os.fsencode])
def test_a_nul_byte_is_refused_in_every_form(tmp_path, as_path):
    with pytest.raises(ValueError, match="^path must not contain a NUL character$"):
        Database(as_path(str(tmp_path / "a\0b")), dim=2)


def test_close_keeps_writes_and_releases_the_directory(db_path):
    db = Database(db_path, dim=2)
    db.add("a", [1, 2])
    db.close()
    # Another process can open the directory now, and finds the write in the log.
    code = (f"from _dralm import Database; db = Database({db_path!r}, dim=2); "
            "print(db.get('a')[0])")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=60, env=os.environ)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "[1.0, 2.0]"


CALLS = {
    "add": lambda db: db.add("b", [1, 2]),
    "search": lambda db: db.search([1, 2]),
    "search_arrays": lambda db: db.search_arrays([[1, 2]]),
    "get": lambda db: db.get("a"),
    "get_many": lambda db: db.get_many(["a"]),
    "export": lambda db: db.export(),
    "to_arrow": lambda db: db.to_arrow(),
    "save": lambda db: db.save(),
    "count": lambda db: db.count(),
    "dim": lambda db: db.dim,
    "len": len,
    "bool": bool,
    "in": lambda db: "a" in db,
    "enter": lambda db: db.__enter__(),
    "exit": lambda db: db.__exit__(None, None, None),
}


@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
def test_every_call_after_close_raises(db_path, call):
    db = Database(db_path, dim=2)
    db.add("a", [1, 2])
    db.close()
    db.close()  # twice: nothing
    with pytest.raises(ValueError, match=f"^{CLOSED}$"):
        call(db)


def test_an_open_export_fails_after_close(db_path):
    db = Database(db_path, dim=2)
    db.add_many(["a", "b"], [[1, 2], [3, 4]])
    chunks = db.export(1)
    next(chunks)
    db.close()
    with pytest.raises(ValueError, match=CLOSED):
        next(chunks)


def test_the_with_block_still_saves(db_path):
    with Database(db_path, dim=2) as db:
        db.add("a", [1, 2])
    assert "graph.dralm" in os.listdir(db_path) and "wal.dralm" not in os.listdir(db_path)
    db.close()
    assert Database(db_path).get("a")[0] == [1.0, 2.0]


def test_close_waits_for_calls_running_in_other_threads(db_path):
    np = pytest.importorskip("numpy")
    db = Database(db_path, dim=16)
    db.add_many([str(i) for i in range(2000)], np.random.default_rng(0).random((2000, 16)))
    queries = np.random.default_rng(1).random((400, 16), dtype=np.float32)
    outcomes = []
    started = threading.Event()

    def search():
        started.set()
        for _ in range(20):
            try:
                outcomes.append(len(db.search_many(queries, k=5)))
            except ValueError as error:
                outcomes.append(str(error))

    worker = threading.Thread(target=search)
    worker.start()
    started.wait()
    db.close()
    worker.join()
    # Each search either ran to the end on the open database or was refused.
    assert set(outcomes) <= {400, CLOSED} and outcomes[-1] == CLOSED
