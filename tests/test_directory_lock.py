"""One process per database directory: a second process is refused at once and changes
nothing; the lock goes with the Database object or with its process (even SIGKILL);
inside one process the directory can still be opened twice."""

import os
import signal
import subprocess
import sys
import textwrap

import pytest

from _dralm import Database

NOT_FOUND = "database not found \u2014 specify dim to create a new one"

# Opens the directory given as argv[1] (with dim when argv[2] is not "-") and prints
# "opened" or the ValueError's message.
OPENER = textwrap.dedent('''
    import sys
    from _dralm import Database
    path, dim = sys.argv[1], sys.argv[2]
    try:
        db = Database(path) if dim == "-" else Database(path, dim=int(dim))
    except ValueError as error:
        print("refused:", error.args[0])
    else:
        print("opened", len(db))
''')


def open_elsewhere(path, dim=None):
    proc = subprocess.run([sys.executable, "-c", OPENER, str(path), "-" if dim is None else str(dim)],
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.strip()


def busy(path):
    return (f"refused: database at '{path}' is in use by another process "
            f"(it holds the lock on '{os.path.join(path, 'LOCK')}')")


def snapshot(path):
    """Every file of the directory with its bytes and modification time."""
    out = {}
    for name in sorted(os.listdir(path)):
        full = os.path.join(path, name)
        with open(full, "rb") as f:
            out[name] = (f.read(), os.stat(full).st_mtime_ns)
    return out


def data_files(path):
    return sorted(name for name in os.listdir(path) if name != "LOCK")


@pytest.mark.parametrize("saved", [True, False], ids=["saved", "log-only"])
@pytest.mark.parametrize("dim", [2, None], ids=["with-dim", "without-dim"])
def test_second_process_is_refused_and_changes_nothing(db_path, saved, dim):
    holder = Database(db_path, dim=2)
    holder.add("a", [1, 2], {"k": 1})
    if saved:
        holder.save()
    holder.add("b", [3, 4])
    # A frame cut short, as a write of the holder in progress leaves it: an open that
    # replayed the log would cut it off under the holder's feet.
    with open(os.path.join(db_path, "wal.dralm"), "ab") as wal:
        wal.write(b"\x01\x40\x00\x00\x00ab")
    before = snapshot(db_path)
    # Also without dim on a directory holding only a log: the holder's refusal comes
    # before "not found", which would tell the caller nothing of what goes on.
    assert open_elsewhere(db_path, dim) == busy(db_path)
    assert snapshot(db_path) == before
    assert sorted(holder.ids()) == ["a", "b"]


def test_lock_goes_with_the_last_object_of_the_process(db_path):
    first = Database(db_path, dim=2)
    first.add("a", [1, 2])
    first.save()
    # A re-run notebook cell: the same directory again while the first object lives.
    second = Database(db_path)
    assert second.ids() == ["a"]
    second.add("b", [3, 4])
    del first
    # The second object still holds the directory: closing the first one's descriptor
    # must not have released the lock.
    assert open_elsewhere(db_path) == busy(db_path)
    assert sorted(second.ids()) == ["a", "b"]
    del second
    assert open_elsewhere(db_path) == "opened 2"


def test_lock_dies_with_a_killed_process_and_acknowledged_writes_survive(db_path):
    writer = textwrap.dedent('''
        import sys
        from _dralm import Database
        db = Database(sys.argv[1], dim=3, metric="l2")
        for i in range(1_000_000):
            db.add(f"id{i}", [float(i), 1.0, -1.0], {"i": i})
            if i == 50:
                db.save()
            print(i, flush=True)
    ''')
    child = subprocess.Popen([sys.executable, "-c", writer, db_path], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True)
    try:
        acknowledged = [int(child.stdout.readline()) for _ in range(200)]
        assert open_elsewhere(db_path, 3) == busy(db_path)
    finally:
        child.send_signal(signal.SIGKILL)
        child.wait()
    db = Database(db_path, dim=3)
    for i in acknowledged:
        assert db.get(f"id{i}") == ([float(i), 1.0, -1.0], {"i": i})


def test_lock_file_is_not_a_data_file(db_path, tmp_path):
    db = Database(db_path, dim=2)
    assert os.listdir(db_path) == ["LOCK"]
    db.add("a", [1, 2])
    db.save()
    assert data_files(db_path) == ["graph.dralm", "vectors.bin"]
    del db
    assert Database(db_path).ids() == ["a"]
    # A directory holding only the LOCK file of an earlier process holds no database.
    empty = tmp_path / "only-lock"
    empty.mkdir()
    (empty / "LOCK").write_bytes(b"")
    with pytest.raises(ValueError) as info:
        Database(str(empty))
    assert info.value.args == (NOT_FOUND,)
    assert len(Database(str(empty), dim=2)) == 0


def test_open_without_dim_of_a_directory_without_database_leaves_no_lock_file(tmp_path):
    with pytest.raises(ValueError):
        Database(str(tmp_path))
    assert os.listdir(tmp_path) == []
