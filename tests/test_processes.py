"""The database across process boundaries: a program that ends while threads are
inside a call, and a process forked from one that holds an open database."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

from _dralm import Database

# Four daemon threads loop on one operation; the main thread ends after 0.3 s while
# they are (almost certainly) inside a call with the interpreter lock released.
BUSY_AT_EXIT = textwrap.dedent('''
    import sys, tempfile, threading, time
    import numpy as np
    import _dralm

    op = sys.argv[1]
    db = _dralm.Database(tempfile.mkdtemp(), dim=32)
    rng = np.random.default_rng(0)
    db.add_many([str(i) for i in range(2000)], rng.random((2000, 32), dtype=np.float32))

    def loop(t):
        q = rng.random(32, dtype=np.float32)
        n = 0
        while True:
            n += 1
            if op == "search":
                db.search(q, k=10)
            elif op == "search_many":
                db.search_many(np.tile(q, (64, 1)), k=5)
            elif op == "upsert":
                db.upsert(f"t{t}-{n % 50}", q)
            elif op == "add_many":
                db.add_many([f"a{t}-{n}-{i}" for i in range(200)], np.tile(q, (200, 1)))
            elif op == "save":
                db.save()

    for t in range(4):
        threading.Thread(target=loop, args=(t,), daemon=True).start()
    time.sleep(0.3)
''')


@pytest.mark.parametrize("op", ["search", "search_many", "upsert", "add_many", "save"])
def test_exit_with_daemon_threads_inside_calls_is_clean(op):
    proc = subprocess.run([sys.executable, "-c", BUSY_AT_EXIT, op], capture_output=True,
                          text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert "terminate called" not in proc.stderr


# The parent builds its worker pool (search_many) and opens its log (add), then forks.
# The child searches (on a pool of its own: the parent's workers did not survive the
# fork), compacts (batch insertion on the pool), and tries every kind of write.
FORKED = textwrap.dedent('''
    import json, os, sys
    import numpy as np
    import _dralm

    path = sys.argv[1]
    rng = np.random.default_rng(1)
    db = _dralm.Database(path, dim=8, metric="l2")
    data = rng.random((400, 8), dtype=np.float32)
    db.add_many([str(i) for i in range(400)], data)
    db.search_many(data[:50], k=3)
    db.add("parent", [0.0] * 8)
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read)
        report = {}
        hits = db.search_many(data[:50], k=1)
        report["search_many"] = [h[0].id for h in hits] == [str(i) for i in range(50)]
        report["get"] = db.get("7")[0] == data[7].tolist()
        attempts = {
            "add": lambda: db.add("child", [1.0] * 8),
            "upsert": lambda: db.upsert("1", [1.0] * 8),
            "update": lambda: db.update("1", None, {"c": 1}),
            "delete": lambda: db.delete("1"),
            "add_many": lambda: db.add_many(["c1", "c2"], np.ones((2, 8), np.float32)),
            "delete_many": lambda: db.delete_many(["2", "3"]),
            "save": db.save,
        }
        for name, attempt in attempts.items():
            try:
                attempt()
                report[name] = "accepted"
            except ValueError as exc:
                report[name] = str(exc)
        db.compact()
        report["compact"] = len(db) == 401 and db.search(data[9], k=1)[0].id == "9"
        os.write(write, json.dumps(report).encode())
        os._exit(0)
    os.close(write)
    chunks = []
    while chunk := os.read(read, 65536):
        chunks.append(chunk)
    _, status = os.waitpid(pid, 0)
    db.add("parent-after", [2.0] * 8)
    print(json.dumps({"status": status, "child": json.loads(b"".join(chunks) or b"{}"),
                      "parent_pid": os.getpid(), "child_pid": pid}))
''')


def test_a_forked_child_reads_and_searches_but_cannot_write(tmp_path):
    path = str(tmp_path / "db")
    proc = subprocess.run([sys.executable, "-c", FORKED, path], capture_output=True,
                          text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr[-2000:]
    out = json.loads(proc.stdout.strip().splitlines()[-1])
    assert out["status"] == 0
    child = out["child"]
    assert child["search_many"] and child["get"] and child["compact"]
    refusal = (f"io error: this database was opened by process {out['parent_pid']}; process "
               f"{out['child_pid']}, forked from it, can read and search it but not write to it")
    for write in ("add", "upsert", "update", "delete", "add_many", "delete_many", "save"):
        assert child[write] == refusal, write
    # Only the parent's writes reached the log: nothing of the child's, nothing lost.
    db = Database(path, dim=8)
    assert len(db) == 402 and "parent-after" in db and "child" not in db
    assert db.get("1")[1] is None


# The parent holds the directory and forks; the child tries to open it again by path,
# (after dropping its inherited handle, when argv[2] says so), writable and read-only.
FORK_REOPEN = textwrap.dedent('''
    import gc, json, os, sys
    import _dralm

    path, drop = sys.argv[1], sys.argv[2] == "drop"
    db = _dralm.Database(path, dim=4)
    db.add("saved", [1.0, 0.0, 0.0, 0.0])
    db.save()
    db.add("logged", [0.0, 1.0, 0.0, 0.0])
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read)
        if drop:
            del db
            gc.collect()
        report = {}
        for name, kwargs in (("with-dim", {"dim": 4}), ("without-dim", {})):
            try:
                _dralm.Database(path, **kwargs).add("child", [0.0, 0.0, 1.0, 0.0])
                report[name] = "accepted"
            except ValueError as exc:
                report[name] = str(exc)
        report["read-only"] = sorted(_dralm.Database(path, read_only=True).ids())
        os.write(write, json.dumps(report).encode())
        os._exit(0)
    os.close(write)
    chunks = []
    while chunk := os.read(read, 65536):
        chunks.append(chunk)
    _, status = os.waitpid(pid, 0)
    db.add("parent-after", [0.0, 0.0, 0.0, 1.0])
    db.save()
    print(json.dumps({"status": status, "child": json.loads(b"".join(chunks) or b"{}")}))
''')


@pytest.mark.parametrize("drop", ["keep", "drop"], ids=["child-keeps-handle", "child-drops-it"])
def test_a_forked_child_cannot_reopen_its_parents_directory_for_writing(tmp_path, drop):
    path = str(tmp_path / "db")
    proc = subprocess.run([sys.executable, "-c", FORK_REOPEN, path, drop], capture_output=True,
                          text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr[-2000:]
    out = json.loads(proc.stdout.strip().splitlines()[-1])
    assert out["status"] == 0
    busy = (f"database at '{path}' is in use by another process "
            f"(it holds the lock on '{os.path.join(path, 'LOCK')}')")
    assert out["child"]["with-dim"] == busy
    assert out["child"]["without-dim"] == busy
    assert out["child"]["read-only"] == ["logged", "saved"]
    # The parent's save kept everything it wrote, and nothing of the child's exists.
    assert sorted(Database(path).ids()) == ["logged", "parent-after", "saved"]
