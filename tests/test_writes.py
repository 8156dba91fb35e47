"""The seven write operations from Python: checks, messages, slots and tombstones,
and what each one leaves in the log (observed by reopening the directory)."""

import os

import numpy as np
import pytest

from _dralm import Database


@pytest.fixture
def db(db_path):
    return Database(db_path, dim=2, metric="l2")


def log_size(db_path):
    path = os.path.join(db_path, "wal.dralm")
    return os.path.getsize(path) if os.path.exists(path) else 0


def state(db):
    return {i: db.get(i) for i in db.ids()}


def reopened(db_path):
    return Database(db_path, dim=2, metric="l2")


# ---- add


def test_add_of_a_live_id_fails_and_changes_nothing(db, db_path):
    db.add("a", [1, 2], {"x": 1})
    before = log_size(db_path)
    with pytest.raises(ValueError) as info:
        db.add("a", [3, 4])
    assert info.value.args == ("id 'a' already exists, use upsert instead",)
    assert log_size(db_path) == before
    assert db.get("a") == ([1.0, 2.0], {"x": 1}) and db.total_slots == 1


@pytest.mark.parametrize("method", ["add", "upsert"])
@pytest.mark.parametrize("vector,got", [([1, 2, 3], 3), ([1], 1), ([], 0)])
def test_wrong_length_is_refused_before_logging(db, db_path, method, vector, got):
    with pytest.raises(ValueError) as info:
        getattr(db, method)("a", vector)
    assert info.value.args == (f"dimension mismatch: expected 2, got {got}",)
    assert log_size(db_path) == 0 and len(db) == 0


def test_add_after_delete_takes_a_new_slot(db):
    db.add("a", [1, 2], {"x": 1})
    assert db.delete("a") is True
    db.add("a", [5, 6])
    assert (db.total_slots, db.deleted_count, len(db)) == (2, 1, 1)
    assert db.get("a") == ([5.0, 6.0], None)


# ---- upsert


def test_upsert_of_a_live_id_keeps_its_slot(db):
    db.upsert("a", [1, 2], {"x": 1})
    db.upsert("a", [3, 4], {"y": 2})
    assert db.total_slots == 1
    assert db.get("a") == ([3.0, 4.0], {"y": 2})
    assert db.count({"x": 1}) == 0 and db.count({"y": 2}) == 1


def test_upsert_without_metadata_clears_it(db):
    db.add("a", [1, 2], {"x": 1})
    db.upsert("a", [1, 2])
    assert db.get("a") == ([1.0, 2.0], None)
    assert db.count({"x": 1}) == 0


def test_upsert_of_a_deleted_id_adds_a_slot_and_keeps_the_tombstone(db):
    db.add("a", [1, 2])
    db.delete("a")
    db.upsert("a", [3, 4])
    assert (db.total_slots, db.deleted_count, len(db)) == (2, 1, 1)


# ---- update


def test_update_replaces_the_whole_metadata_object(db):
    db.add("a", [1, 2], {"x": 1, "y": 2})
    db.update("a", metadata={"z": 3})
    assert db.get("a") == ([1.0, 2.0], {"z": 3})
    assert db.count({"x": 1}) == 0 and db.count({"z": 3}) == 1


def test_update_with_nothing_logs_a_record_and_changes_nothing(db, db_path):
    db.add("a", [1, 2], {"x": 1})
    before = log_size(db_path)
    assert db.update("a") is None
    # An Update frame: 9 bytes of framing, 4 + 1 bytes of id, two absent flags.
    assert log_size(db_path) == before + 9 + 5 + 2
    assert db.get("a") == ([1.0, 2.0], {"x": 1})


def test_update_of_an_unknown_id_is_not_found_even_with_a_wrong_length(db, db_path):
    with pytest.raises(ValueError) as info:
        db.update("ghost", [1, 2, 3])
    assert info.value.args == ("id 'ghost' not found",)
    db.add("a", [1, 2])
    before = log_size(db_path)
    with pytest.raises(ValueError) as info:
        db.update("a", [1, 2, 3])
    assert info.value.args == ("dimension mismatch: expected 2, got 3",)
    assert log_size(db_path) == before


def test_update_vector_only_keeps_metadata(db):
    db.add("a", [1, 2], {"x": 1})
    db.update("a", [7, 8])
    assert db.get("a") == ([7.0, 8.0], {"x": 1})
    assert db.search([7, 8], k=1)[0].id == "a"


# ---- delete and delete_many


def test_delete_reports_liveness_and_logs_only_real_deletes(db, db_path):
    assert db.delete("a") is False
    assert log_size(db_path) == 0
    db.add("a", [1, 2], {"k": "v"})
    assert db.delete("a") is True
    assert db.delete("a") is False
    assert "a" not in db and db.count({"k": "v"}) == 0
    with pytest.raises(ValueError, match="^id 'a' not found$"):
        db.get("a")


def test_delete_many_counts_each_live_id_once(db):
    db.add_many(["a", "b"], [[1, 1], [2, 2]])
    assert db.delete_many(["a", "a", "zz"]) == 1
    assert db.delete_many([]) == 0
    assert db.ids() == ["b"] and db.deleted_count == 1


# ---- add_many and upsert_many


def test_empty_batches_change_nothing(db, db_path):
    assert db.add_many([], []) is None
    assert db.upsert_many([], []) is None
    assert db.total_slots == 0 and log_size(db_path) == 0


@pytest.mark.parametrize("ids,vectors,message", [
    (["n1", "n2", "live"], [[1, 1], [2, 2], [3, 3]], "id 'live' already exists, use upsert instead"),
    (["n1", "n2", "n1"], [[1, 1], [2, 2], [3, 3]], "id 'n1' already exists, use upsert instead"),
    (["n1", "n2", "n3"], [[1, 1], [2, 2, 2], [3]], "dimension mismatch: expected 2, got 3"),
    (["live", "n2"], [[1, 1], [2]], "dimension mismatch: expected 2, got 1"),
], ids=["existing", "repeated", "wrong-length", "length-before-existence"])
def test_refused_add_many_adds_and_logs_nothing(db, db_path, ids, vectors, message):
    db.add("live", [0, 0])
    before = log_size(db_path)
    with pytest.raises(ValueError) as info:
        db.add_many(ids, vectors)
    assert info.value.args == (message,)
    assert db.ids() == ["live"] and db.total_slots == 1
    assert log_size(db_path) == before


def test_add_many_from_a_numpy_array_with_metadata(db, db_path):
    vectors = np.arange(10, dtype=np.float32).reshape(5, 2)
    db.add_many([f"r{i}" for i in range(5)], vectors, [{"i": i} for i in range(5)])
    assert db.total_slots == 5
    assert db.get("r3") == ([6.0, 7.0], {"i": 3})
    assert state(reopened(db_path)) == state(db)


def test_upsert_many_replaces_live_ids_and_appends_new_ones_in_order(db):
    db.add("live", [0, 0], {"old": True})
    db.upsert_many(["n1", "live", "n2"], [[10, 0], [5, 5], [20, 0]])
    assert db.total_slots == 3
    assert db.get("live") == ([5.0, 5.0], None)
    # The live id took its new vector in place; the new ids are searchable.
    assert [h.id for h in db.search([10, 0], k=3)] == ["n1", "live", "n2"]


def test_upsert_many_with_a_repeated_new_id_keeps_one_slot(db, db_path):
    db.upsert_many(["a", "b", "a"], [[1, 1], [2, 2], [3, 3]], [{"v": 1}, None, {"v": 3}])
    assert (db.total_slots, len(db)) == (2, 2)
    assert db.get("a") == ([3.0, 3.0], {"v": 3})
    assert [h.id for h in db.search([3, 3], k=5)] == ["a", "b"]
    again = reopened(db_path)
    assert again.total_slots == 2 and state(again) == state(db)


def test_upsert_many_with_a_repeated_live_id_applies_the_last(db):
    db.add("a", [0, 0], {"v": 0})
    db.upsert_many(["a", "a"], [[1, 1], [2, 2]], [{"v": 1}, None])
    assert db.total_slots == 1
    assert db.get("a") == ([2.0, 2.0], None)


# ---- ids, mapped vectors, the log


def test_the_empty_string_is_an_id(db):
    db.add("", [1, 2], {"e": 1})
    assert "" in db and db.get("") == ([1.0, 2.0], {"e": 1})
    assert [h.id for h in db.search([1, 2])] == [""]
    assert db.delete("") is True and "" not in db and len(db) == 0


def test_writes_to_a_memory_mapped_database(db_path):
    db = Database(db_path, dim=2, metric="l2")
    db.add_many(["a", "b", "c"], [[1, 1], [2, 2], [3, 3]])
    db.save()
    del db
    db = Database(db_path)  # vectors.bin is mapped
    db.add("d", [4, 4])
    db.upsert("a", [9, 9], {"m": 1})
    db.update("b", [8, 8])
    db.update("c", metadata={"c": 1})
    assert db.get("a") == ([9.0, 9.0], {"m": 1})
    assert db.get("b") == ([8.0, 8.0], None)
    assert db.get("c") == ([3.0, 3.0], {"c": 1})
    assert [h.id for h in db.search([8.1, 8.1], k=2)] == ["b", "a"]
    assert state(Database(db_path)) == state(db)


def test_every_write_survives_a_reopen(db, db_path):
    db.add("a", [1, 2], {"x": 1})
    db.add_many(["b", "c", "d"], [[3, 4], [5, 6], [7, 8]], [{"b": 1}, None, {"d": [1, 2]}])
    db.upsert("a", [1, 1])
    db.upsert_many(["b", "e"], [[0, 0], [9, 9]], [None, {"e": "x"}])
    db.update("c", [6, 5], {"c": {"nested": True}})
    db.delete("d")
    db.delete_many(["e", "nope"])
    expected = state(db)
    assert expected == {
        "a": ([1.0, 1.0], None),
        "b": ([0.0, 0.0], None),
        "c": ([6.0, 5.0], {"c": {"nested": True}}),
    }
    again = reopened(db_path)
    assert state(again) == expected
    assert (again.total_slots, again.deleted_count) == (db.total_slots, db.deleted_count)
