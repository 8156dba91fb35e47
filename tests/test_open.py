"""Opening a database directory: what is loaded, what is replayed, what is created,
and the messages of every way it can fail."""

import os
import struct

import pytest

from _dralm import Database

NOT_FOUND = "database not found \u2014 specify dim to create a new one"


def saved(path, dim=4, metric="dot", rows=3):
    db = Database(str(path), dim=dim, metric=metric)
    for i in range(rows):
        db.add(f"v{i}", [float(i + j) for j in range(dim)], {"i": i})
    db.save()
    return db


def test_saved_database_keeps_its_own_parameters(tmp_path):
    saved(tmp_path / "db", dim=4, metric="dot")
    db = Database(str(tmp_path / "db"), dim=8, metric="cosine", m=4, ef_construction=10)
    assert (db.dim, db.metric, len(db)) == (4, "dot_product", 3)
    assert db.get("v1") == ([1.0, 2.0, 3.0, 4.0], {"i": 1})


@pytest.mark.parametrize("kwargs,stored", [({}, (16, 200)), ({"m": 5, "ef_construction": 33}, (5, 33))])
def test_m_and_ef_construction_reach_the_saved_header(db_path, kwargs, stored):
    db = Database(db_path, dim=2, metric="l2", **kwargs)
    db.add("a", [1, 2])
    db.save()
    with open(os.path.join(db_path, "graph.dralm"), "rb") as f:
        header = f.read(37)
    # m at offset 13 and ef_construction at 17, little-endian u32
    assert struct.unpack_from("<II", header, 13) == stored


def test_without_dim_the_metric_is_not_even_looked_at(tmp_path):
    saved(tmp_path / "db")
    db = Database(str(tmp_path / "db"), metric="No Such Metric", m=0, ef_construction=0)
    assert (db.dim, db.metric, len(db)) == (4, "dot_product", 3)


def test_saved_state_and_log_are_combined(tmp_path):
    path = str(tmp_path / "db")
    db = saved(tmp_path / "db")
    db.upsert("v0", [9, 9, 9, 9], {"new": True})
    db.delete("v1")
    db.add("late", [1, 1, 1, 1])
    del db
    for reopened in (Database(path), Database(path, dim=4)):
        assert sorted(reopened.ids()) == ["late", "v0", "v2"]
        assert reopened.get("v0") == ([9.0] * 4, {"new": True})
        assert (reopened.total_slots, reopened.deleted_count) == (4, 1)


@pytest.mark.parametrize("kwargs,message", [
    ({"dim": 0}, "dim must be at least 1, got 0"),
    ({"dim": 3, "m": 1}, "m must be at least 2, got 1"),
    ({"dim": 3, "m": 0}, "m must be at least 2, got 0"),
    ({"dim": 3, "m": 257}, "m must be at most 256, got 257"),
    ({"dim": 3, "ef_construction": 0}, "ef_construction must be at least 1, got 0"),
    # graph.dralm stores these in 32 bits: 2**32 + 4 would reopen as 4, 2**32 as 0
    ({"dim": 2**32 + 4}, "dim must be at most 4294967295, got 4294967300"),
    ({"dim": 3, "ef_construction": 2**32}, "ef_construction must be at most 4294967295, got 4294967296"),
])
def test_unusable_parameters_name_the_argument(db_path, kwargs, message):
    with pytest.raises(ValueError) as info:
        Database(db_path, **kwargs)
    assert info.value.args == (message,)
    assert not os.path.exists(db_path)


@pytest.mark.parametrize("dim", [3, None])
def test_paths_the_system_would_misread_are_refused(tmp_path, monkeypatch, dim):
    # A NUL byte would cut the path short and an empty path would mean the current
    # directory: either way a database would live somewhere the caller did not name.
    saved(tmp_path / "a")
    monkeypatch.chdir(tmp_path)
    for path, message in ((str(tmp_path / "a\0b"), "path must not contain a NUL character"),
                          ("", "path must not be empty")):
        before = sorted(os.listdir(tmp_path))
        with pytest.raises(ValueError) as info:
            Database(path, dim=dim)
        assert info.value.args == (message,)
        assert sorted(os.listdir(tmp_path)) == before


def test_smallest_usable_parameters_build_a_working_index(db_path):
    db = Database(db_path, dim=1, metric="l2", m=2, ef_construction=1)
    db.add_many([str(i) for i in range(64)], [[float(i)] for i in range(64)])
    assert db.search([40.2], k=1)[0].id == "40"


def test_largest_m_with_the_narrowest_beam_saves_and_reopens(db_path):
    # Lists far emptier than their cap: the loader must not mistake them for damage.
    db = Database(db_path, dim=2, metric="l2", m=256, ef_construction=1)
    db.add_many([str(i) for i in range(300)], [[float(i), 1.0] for i in range(300)])
    db.save()
    reopened = Database(db_path)
    assert len(reopened) == 300
    assert reopened.get("123") == ([123.0, 1.0], None)


def test_never_saved_log_is_replayed_only_with_dim(db_path):
    db = Database(db_path, dim=2, metric="l2")
    db.add("a", [1, 2], {"k": "v"})
    db.add_many(["b", "c"], [[3, 4], [5, 6]])
    db.delete("b")
    db.update("c", metadata={"x": 1})
    del db
    assert sorted(os.listdir(db_path)) == ["LOCK", "wal.dralm"]
    with pytest.raises(ValueError) as info:
        Database(db_path)
    assert info.value.args == (NOT_FOUND,)
    db = Database(db_path, dim=2)
    assert sorted(db.ids()) == ["a", "c"]
    assert db.get("a") == ([1.0, 2.0], {"k": "v"})
    assert db.get("c") == ([5.0, 6.0], {"x": 1})
    assert (db.total_slots, db.deleted_count) == (3, 1)
    # The log was written for l2; the reopened database is whatever dim/metric says.
    assert db.metric == "cosine"


def test_log_of_another_dimension_is_skipped(db_path):
    db = Database(db_path, dim=2)
    db.add("a", [1, 2])
    del db
    db = Database(db_path, dim=3)
    assert len(db) == 0 and db.total_slots == 0
    db.add("b", [1, 2, 3])
    del db
    assert Database(db_path, dim=3).ids() == ["b"]


@pytest.mark.parametrize("lost", ["graph.dralm", "vectors.bin"])
def test_a_directory_missing_a_data_file_is_refused_and_left_alone(tmp_path, lost):
    path = str(tmp_path / "db")
    saved(tmp_path / "db", rows=100)
    os.remove(os.path.join(path, lost))
    before = {name: open(os.path.join(path, name), "rb").read() for name in os.listdir(path)}
    with pytest.raises(ValueError) as info:
        Database(path)
    assert info.value.args == (NOT_FOUND,)
    with pytest.raises(ValueError) as info:
        Database(path, dim=4)
    kept = "graph.dralm" if lost == "vectors.bin" else "vectors.bin"
    assert info.value.args == (
        f"io error: incomplete database in '{path}': {kept} exists but {lost} is missing; "
        "restore the missing file, or move the others away to create a new database here",)
    after = {name: open(os.path.join(path, name), "rb").read() for name in os.listdir(path)}
    assert after == before


def test_a_relative_path_is_anchored_when_the_database_opens(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    db = Database("rel", dim=2)
    db.add("a", [1, 2])
    os.mkdir("elsewhere")
    monkeypatch.chdir("elsewhere")
    db.add("b", [3, 4])
    db.save()
    assert not os.path.exists("rel")
    assert sorted(Database(str(tmp_path / "rel")).ids()) == ["a", "b"]


@pytest.mark.parametrize("damage", ["truncate", "magic"])
def test_damaged_saved_files(tmp_path, damage):
    path = tmp_path / "db"
    saved(path)
    graph = path / "graph.dralm"
    data = graph.read_bytes()
    graph.write_bytes(data[: len(data) // 2] if damage == "truncate" else b"XXXX" + data[4:])
    with pytest.raises(ValueError) as info:
        Database(str(path))
    assert info.value.args == (NOT_FOUND,)
    with pytest.raises(ValueError) as info:
        Database(str(path), dim=4)
    assert info.value.args[0].startswith("io error: ")


def test_directory_that_cannot_be_created(tmp_path):
    (tmp_path / "file").write_text("x")
    with pytest.raises(ValueError) as info:
        Database(str(tmp_path / "file" / "db"), dim=2)
    assert info.value.args[0].startswith("io error: ")
    assert "(os error " in info.value.args[0]


def test_path_with_trailing_separator(tmp_path):
    path = str(tmp_path / "db") + os.sep
    Database(path, dim=2).add("a", [1, 2])
    assert sorted(os.listdir(path)) == ["LOCK", "wal.dralm"]
    assert Database(path, dim=2).ids() == ["a"]
