"""Reads of many vectors at once: search results as NumPy arrays, get_many, the
chunked export (and its refusal to go on after a compaction renumbered the slots),
ids_matching and to_arrow."""

import json
import math

import pytest

np = pytest.importorskip("numpy")

from _dralm import Database  # noqa: E402


@pytest.fixture
def db(make_db):
    db = make_db(dim=3, metric="l2")
    db.add_many([f"v{i}" for i in range(5)],
                np.arange(15, dtype=np.float32).reshape(5, 3),
                [{"i": i, "even": i % 2 == 0} if i != 4 else None for i in range(5)])
    db.delete("v1")
    return db


@pytest.mark.parametrize("k, where", [(2, None), (6, None), (3, {"even": True}), (0, None)])
def test_search_arrays_matches_search_many_padded(db, k, where):
    queries = np.array([[0, 1, 2], [12, 13, 14], [6, 6, 6]], dtype=np.float32)
    ids, distances = db.search_arrays(queries, k=k, where_filter=where)
    assert ids.shape == distances.shape == (3, k)
    assert ids.dtype == object and distances.dtype == np.float32
    for row, hits in enumerate(db.search_many(queries, k=k, where_filter=where)):
        assert list(ids[row]) == [h.id for h in hits] + [None] * (k - len(hits))
        expected = [h.distance for h in hits] + [math.inf] * (k - len(hits))
        assert distances[row].tolist() == expected


def test_search_arrays_checks_like_search_many(db):
    ids, distances = db.search_arrays(np.zeros((0, 3), dtype=np.float32), k=4)
    assert ids.shape == distances.shape == (0, 4)
    with pytest.raises(ValueError, match="dimension mismatch"):
        db.search_arrays([[1.0, 2.0]])
    ids, distances = db.search_arrays([[0, 1, 2]], k=3, max_distance=110.0)
    assert list(ids[0]) == ["v0", "v2", None] and distances[0, 2] == math.inf


def test_get_many_returns_rows_in_the_order_asked(db):
    vectors, metadatas = db.get_many(["v3", "v0", "v4", "v3"])
    assert vectors.dtype == np.float32 and vectors.shape == (4, 3)
    assert vectors.tolist() == [[9, 10, 11], [0, 1, 2], [12, 13, 14], [9, 10, 11]]
    assert metadatas == [{"i": 3, "even": False}, {"i": 0, "even": True}, None,
                         {"i": 3, "even": False}]
    empty, none = db.get_many([])
    assert empty.shape == (0, 3) and none == []


@pytest.mark.parametrize("ids, error, message", [
    (["v0", "v1"], ValueError, "id 'v1' not found"),  # deleted: as get does
    (["nope"], ValueError, "id 'nope' not found"),
    ("v0", TypeError, "get_many"),
    ([1], TypeError, "item 0 must be str"),
])
def test_get_many_refuses_what_get_refuses(db, ids, error, message):
    with pytest.raises(error, match=message):
        db.get_many(ids)


@pytest.mark.parametrize("batch_size", [1, 2, 4, 1024])
def test_export_yields_every_live_item_once_in_insertion_order(db, batch_size):
    chunks = list(db.export(batch_size))
    assert all(0 < len(ids) <= batch_size for ids, _, _ in chunks)
    ids = [i for chunk in chunks for i in chunk[0]]
    assert ids == ["v0", "v2", "v3", "v4"]
    vectors = np.concatenate([chunk[1] for chunk in chunks])
    assert vectors.dtype == np.float32
    assert vectors.tolist() == db.get_many(ids)[0].tolist()
    assert [m for chunk in chunks for m in chunk[2]] == db.get_many(ids)[1]


def test_export_of_an_empty_database_and_bad_sizes(make_db):
    assert list(make_db().export()) == []
    with pytest.raises(ValueError, match="batch_size must be at least 1"):
        make_db().export(0)


def test_export_after_a_compaction_is_refused_not_wrong(db):
    chunks = db.export(2)
    next(chunks)
    db.compact()  # renumbers the slots the export counts on
    with pytest.raises(RuntimeError, match="compacted during export"):
        next(chunks)
    assert list(chunks) == []
    assert [i for ids, _, _ in db.export(2) for i in ids] == ["v0", "v2", "v3", "v4"]


def test_export_sees_writes_after_its_cursor(db):
    chunks = db.export(1)
    assert next(chunks)[0] == ["v0"]
    db.add("late", [1, 1, 1])
    db.delete("v2")
    assert [i for ids, _, _ in chunks for i in ids] == ["v3", "v4", "late"]


@pytest.mark.parametrize("where, expected", [
    ({"even": True}, ["v0", "v2"]),
    ({"i": {"$gt": 0}}, ["v2", "v3"]),
    ({}, []),
    (None, None),  # every live id
])
def test_ids_matching_is_exact_and_agrees_with_count(db, where, expected):
    found = db.ids_matching(where)
    if expected is None:
        assert sorted(found) == sorted(db.ids())
    else:
        assert found == expected and len(found) == db.count(where)


def test_to_arrow_holds_every_item(db):
    pa = pytest.importorskip("pyarrow", reason="pyarrow is not installed")
    table = db.to_arrow()
    assert table.schema.field("vector").type == pa.list_(pa.float32(), 3)
    assert table.column("id").to_pylist() == ["v0", "v2", "v3", "v4"]
    assert table.column("vector").to_pylist()[1] == [6, 7, 8]
    metadata = [None if m is None else json.loads(m) for m in table.column("metadata").to_pylist()]
    assert metadata == db.get_many(["v0", "v2", "v3", "v4"])[1]


def test_bulk_reads_release_the_interpreter_lock(db):
    """Threads reading at once all finish with the same answers."""
    import threading

    queries = np.random.default_rng(1).random((50, 3), dtype=np.float32) * 14
    expected = db.search_arrays(queries, k=3)[0].tolist()
    results, errors = [], []

    def read():
        try:
            results.append(db.search_arrays(queries, k=3)[0].tolist())
            db.get_many(["v0", "v3"] * 100)
        except Exception as error:  # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=read) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors and results == [expected] * 4


def test_to_arrow_without_pyarrow_says_what_to_install(db, monkeypatch):
    import sys

    monkeypatch.setitem(sys.modules, "pyarrow", None)  # as if not installed
    with pytest.raises(ImportError, match=r"pip install 'dralm\[arrow\]'"):
        db.to_arrow()
