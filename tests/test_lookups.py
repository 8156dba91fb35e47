"""get, ids, count, membership and len from Python, and the size properties."""

import pytest

from _dralm import Database


@pytest.fixture
def db(db_path):
    return Database(db_path, dim=3, metric="l2")


def test_empty_database(db):
    assert db.ids() == [] and db.count() == 0 and len(db) == 0
    assert db.count({"a": 1}) == 0 and "x" not in db
    assert (db.total_slots, db.deleted_count) == (0, 0)


def test_after_add_add_delete(db):
    db.add("a", [1, 2, 3])
    db.add("b", [4, 5, 6])
    db.delete("a")
    assert db.ids() == ["b"] and db.count() == 1 and len(db) == 1
    assert "a" not in db and "b" in db
    assert (db.total_slots, db.deleted_count) == (2, 1)
    with pytest.raises(ValueError) as info:
        db.get("a")
    assert info.value.args == ("id 'a' not found",)


def test_ids_lists_every_live_id_once(db):
    names = [f"id-{i}" for i in range(200)]
    db.add_many(names, [[i, 0, 0] for i in range(200)])
    db.delete_many(names[::3])
    listed = db.ids()
    assert len(listed) == len(set(listed)) == len(db)
    assert set(listed) == set(names) - set(names[::3])
    assert all(type(i) is str for i in listed)


def test_get_returns_the_stored_single_precision_floats(db):
    db.add("a", [0.1, -2.5, 1e-40])
    vector, metadata = db.get("a")
    assert vector[0] == 0.10000000149011612 and vector[1] == -2.5
    assert vector[2] == pytest.approx(1e-40, rel=1e-3)  # a subnormal float survives
    assert metadata is None
    assert all(type(x) is float for x in vector)


def test_get_returns_fresh_metadata_objects(db):
    db.add("a", [1, 2, 3], {"tags": ["x"], "n": {"deep": 1}})
    first = db.get("a")[1]
    first["tags"].append("mutated")
    assert db.get("a")[1] == {"n": {"deep": 1}, "tags": ["x"]}


@pytest.mark.parametrize("where,expected", [
    ({"cat": "a", "price": {"$lt": 10}}, 1),
    ({"cat": "a"}, 2),
    ({"cat": {"$in": ["a", "b"]}}, 3),
    ({"price": {"$gte": 5}}, 3),
    ({"x": {"$ne": 1}}, 3),          # vectors without metadata never count
    ({"cat": {"$ne": "a"}}, 1),
    ({}, 0),
    ({"cat": "zzz"}, 0),
])
def test_count_with_filters(db, where, expected):
    db.add("cheap", [0, 0, 0], {"cat": "a", "price": 5})
    db.add("dear", [1, 0, 0], {"cat": "a", "price": 50})
    db.add("other", [2, 0, 0], {"cat": "b", "price": 7})
    db.add("bare", [3, 0, 0])
    assert db.count(where) == expected
    assert db.count() == 4


def test_count_follows_upserts_and_deletes(db):
    db.add("a", [0, 0, 0], {"cat": "a"})
    db.add("b", [0, 0, 1], {"cat": "a"})
    db.upsert("a", [0, 0, 0], {"cat": "b"})
    assert (db.count({"cat": "a"}), db.count({"cat": "b"})) == (1, 1)
    db.delete("b")
    assert (db.count({"cat": "a"}), db.count({"cat": "b"})) == (0, 1)
    db.update("a", metadata={"cat": "c"})
    assert db.count({"cat": {"$in": ["a", "b"]}}) == 0 and db.count({"cat": "c"}) == 1


def test_bad_filter_reads_nothing(db):
    db.add("a", [0, 0, 0], {"n": 1})
    with pytest.raises(ValueError) as info:
        db.count({"n": {"$regex": "x"}})
    assert info.value.args == ("unknown operator: $regex",)


def test_lookups_after_a_reopen(db_path):
    db = Database(db_path, dim=3, metric="l2")
    db.add_many(["a", "b", "c"], [[1, 1, 1], [2, 2, 2], [3, 3, 3]], [{"k": 1}, None, {"k": 1}])
    db.delete("b")
    db.save()
    db.add("d", [4, 4, 4], {"k": 2})
    del db
    again = Database(db_path)
    assert sorted(again.ids()) == ["a", "c", "d"]
    assert again.count({"k": 1}) == 2 and again.count({"k": 2}) == 1
    assert again.get("c") == ([3.0, 3.0, 3.0], {"k": 1})
    assert (again.total_slots, again.deleted_count, len(again)) == (4, 1, 3)
