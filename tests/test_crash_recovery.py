"""SIGKILL a writer process after it acknowledged some writes, reopen the directory
with dim, and find every acknowledged write there. The reopened state must be the
state after at least the acknowledged operations, plus at most a prefix of the log
records of the one operation the kill interrupted (a batch logs one record per item):
nothing lost, nothing reordered, nothing out of thin air."""

import os
import random
import signal
import subprocess
import sys
import textwrap

import pytest

from _dralm import Database

# Shared by the writer process and this test: the operation sequence and a dict model.
OPERATIONS = textwrap.dedent('''
    import random

    DIM = 4
    KINDS = ["add", "upsert", "update", "delete", "add_many", "upsert_many", "delete_many"]

    def operations(seed, count):
        rng = random.Random(seed)
        ids = [f"k{i}" for i in range(20)]
        vec = lambda: [float(rng.randint(-9, 9)) for _ in range(4)]
        meta = lambda n: rng.choice([None, {"n": n}, {"n": n, "s": "x" * rng.randint(0, 3)}])
        for n in range(count):
            kind = rng.choice(KINDS)
            if kind in ("add", "upsert"):
                args = (rng.choice(ids), vec(), meta(n))
            elif kind == "update":
                args = (rng.choice(ids), rng.choice([None, vec()]), rng.choice([None, {"u": n}]))
            elif kind == "delete":
                args = (rng.choice(ids),)
            elif kind == "delete_many":
                args = ([rng.choice(ids) for _ in range(rng.randint(0, 4))],)
            else:
                size = rng.randint(1, 5)
                args = ([rng.choice(ids) for _ in range(size)], [vec() for _ in range(size)],
                        rng.choice([None, [meta(n) for _ in range(size)]]))
            yield kind, args

    def records(model, kind, args):
        """The changes `kind` logs against `model`, one per log record, in log order.
        A batch logs one record per item, so a crash inside it may leave any prefix."""
        if kind == "add":
            return [("put",) + args] if args[0] not in model else []
        if kind == "upsert":
            return [("put",) + args]
        if kind == "update":
            return [("update",) + args] if args[0] in model else []
        if kind == "delete":
            return [("drop", args[0])] if args[0] in model else []
        if kind == "delete_many":
            live = []
            for id in args[0]:
                if id in model and id not in live:
                    live.append(id)
            return [("drop", id) for id in live]
        ids, vectors, metadatas = args
        metadatas = metadatas or [None] * len(ids)
        if kind == "add_many" and (len(set(ids)) < len(ids) or any(i in model for i in ids)):
            return []
        return [("put", i, v, m) for i, v, m in zip(ids, vectors, metadatas)]

    def replay(model, record):
        if record[0] == "put":
            model[record[1]] = (record[2], record[3])
        elif record[0] == "drop":
            del model[record[1]]
        else:
            _, id, vector, metadata = record
            old = model[id]
            model[id] = (old[0] if vector is None else vector, old[1] if metadata is None else metadata)

    def apply(model, kind, args):
        for record in records(model, kind, args):
            replay(model, record)
''')

WRITER = OPERATIONS + textwrap.dedent('''
    import sys, time
    import _dralm
    path, seed, count, save_after = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
    db = _dralm.Database(path, dim=DIM, metric="l2")
    for n, (kind, args) in enumerate(operations(seed, count), start=1):
        try:
            getattr(db, kind)(*args)
        except ValueError:
            pass  # refused adds are part of the sequence too
        if n == save_after:
            db.save()
        print(n, flush=True)  # the acknowledgement: op n has returned
    time.sleep(60)
''')

namespace = {}
exec(OPERATIONS, namespace)
DIM, operations, apply = namespace["DIM"], namespace["operations"], namespace["apply"]
records, replay = namespace["records"], namespace["replay"]
# Far more operations than are acknowledged before the kill, so the kill lands while
# the writer is still busy (or blocked on a full pipe), never after it finished.
COUNT = 4000


def kill_after(path, seed, acknowledged, save_after):
    """Runs the writer until it has acknowledged `acknowledged` operations, then kills it."""
    child = subprocess.Popen([sys.executable, "-c", WRITER, path, str(seed), str(COUNT), str(save_after)],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        seen = 0
        while seen < acknowledged:
            line = child.stdout.readline()
            assert line, "writer ended early"
            seen = int(line)
    finally:
        child.send_signal(signal.SIGKILL)
        child.wait()
    return seen


def recovered_state(path):
    db = Database(path, dim=DIM, metric="l2")
    return {id: (db.get(id)[0], db.get(id)[1]) for id in db.ids()}


def matching_prefix(seed, state, at_least, start=None):
    """The operation counts n >= at_least such that `state` equals the model after the
    first n operations plus a prefix of the records of operation n + 1 (the one a kill
    may have interrupted). `start` is the state before the first operation."""
    model, found = dict(start or {}), []
    for n, (kind, args) in enumerate(operations(seed, COUNT)):
        if n >= at_least and model == state:
            found.append(n)
        for record in records(model, kind, args):
            replay(model, record)
            if n >= at_least and model == state:
                found.append(n)
    return found


@pytest.mark.parametrize("seed,save_after", [(1, 0), (2, 0), (3, 15), (4, 150)],
                         ids=["never-saved-1", "never-saved-2", "saved-early", "saved-late"])
def test_acknowledged_writes_survive_a_kill(tmp_path, seed, save_after):
    rng = random.Random(seed)
    path = str(tmp_path / "db")
    acknowledged = kill_after(path, seed, rng.randint(20, 400), save_after)
    found = matching_prefix(seed, recovered_state(path), acknowledged)
    assert found, f"state after the kill is no prefix of >= {acknowledged} operations"
    assert found[0] < COUNT - 1, "the writer had finished: the kill tested nothing"


def test_writes_after_a_recovery_survive_the_next_kill(tmp_path):
    """Recover, write more in a new process, kill again: the log keeps growing
    correctly across recoveries (the first reopen must not hide later records)."""
    path = str(tmp_path / "db")
    kill_after(path, 7, 60, 0)
    before = recovered_state(path)
    acknowledged = kill_after(path, 8, 50, 0)  # a second writer continues the same log
    after = recovered_state(path)
    # The second writer's operations start from what the first reopen found.
    assert matching_prefix(8, after, acknowledged, start=before)


def test_the_checker_notices_a_lost_or_altered_write():
    """matching_prefix must reject a state that lost or changed an acknowledged write,
    or the tests above would prove nothing."""
    model = {}
    for kind, args in operations(1, 50):
        apply(model, kind, args)
    assert 50 in matching_prefix(1, model, 50)
    lost = dict(model)
    lost.pop(sorted(lost)[0])
    assert matching_prefix(1, lost, 50) == []
    altered = dict(model)
    first = sorted(altered)[0]
    altered[first] = ([99.0] * DIM, altered[first][1])
    assert matching_prefix(1, altered, 50) == []


@pytest.mark.slow
@pytest.mark.parametrize("seed", range(10, 30))
def test_many_kills(tmp_path, seed):
    rng = random.Random(seed)
    path = str(tmp_path / "db")
    save_after = rng.choice([0, rng.randint(1, 1500)])
    acknowledged = kill_after(path, seed, rng.randint(1, 2000), save_after)
    assert matching_prefix(seed, recovered_state(path), acknowledged)
