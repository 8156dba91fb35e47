"""The database across process boundaries: a program that ends while threads are
inside a call, and a process forked from one that holds an open database."""

import os
import subprocess
import sys
import textwrap

import pytest

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
