"""SearchResult objects and the other converted results: get tuples, stats dicts,
id lists and nested search_many lists."""

import json

import pytest

from _dralm import SearchResult


@pytest.fixture
def hit(make_db):
    db = make_db(metric="l2")
    db.add("doc1", [0.5, 0.0, 0.0], {"cat": "a", "tags": [1, 2], "nested": {"x": None}})
    db.add("plain", [3.0, 0.0, 0.0])
    return db.search([0.0, 0.0, 0.0], k=2)


def test_fields_and_indexing_agree(hit):
    first, second = hit
    assert isinstance(first, SearchResult)
    assert (first.id, first.distance) == ("doc1", 0.25)
    assert first.metadata == {"cat": "a", "tags": [1, 2], "nested": {"x": None}}
    assert (first[0], first[1], first[2]) == (first.id, first.distance, first.metadata)
    assert type(first.id) is str and type(first.distance) is float
    assert (second.id, second.distance, second.metadata, second[2]) == ("plain", 9.0, None, None)


def test_metadata_is_parsed_again_on_every_read(hit):
    result = hit[0]
    assert result.metadata is not result.metadata
    assert result.metadata == result.metadata
    result.metadata["cat"] = "changed"
    assert result[2]["cat"] == "a"


def test_distance_is_the_stored_float_widened_exactly(make_db):
    db = make_db(metric="l2")
    db.add("a", [0.1, 0.0, 0.0])
    distance = db.search([0.0, 0.0, 0.0], k=1)[0].distance
    assert distance != 0.1 ** 2  # computed in single precision, not in double
    import struct

    assert distance == struct.unpack("f", struct.pack("f", distance))[0]


@pytest.mark.parametrize(
    "key,error,message",
    [
        (3, ValueError, "index out of range"),
        (2**70, OverflowError, None),
        (-1, OverflowError, None),
        (-4, OverflowError, None),
        ("0", TypeError, None),
        (1.0, TypeError, None),
        (slice(0, 2), TypeError, None),
    ],
)
def test_bad_indices(hit, key, error, message):
    with pytest.raises(error) as info:
        hit[0][key]
    if message is not None:
        assert info.value.args == (message,)


def test_bool_and_index_objects_are_indices(hit):
    np = pytest.importorskip("numpy")
    assert hit[0][True] == hit[0].distance
    assert hit[0][np.int64(0)] == "doc1"


def test_attributes_are_read_only_and_there_is_no_iteration(hit):
    for name in ("id", "distance", "metadata"):
        with pytest.raises(AttributeError):
            setattr(hit[0], name, None)
        assert getattr(SearchResult, name).__doc__ is None
    with pytest.raises(TypeError):
        iter(hit[0])


def test_identity_semantics(make_db):
    db = make_db()
    db.add("a", [1, 2, 3])
    one, other = db.search([1, 2, 3], k=1)[0], db.search([1, 2, 3], k=1)[0]
    assert one != other and one == one
    assert len({one, other}) == 2


def test_results_are_snapshots(make_db):
    db = make_db()
    db.add("a", [1, 2, 3], {"v": 1})
    result = db.search([1, 2, 3], k=1)[0]
    db.upsert("a", [3, 2, 1], {"v": 2})
    db.delete("a")
    assert (result.id, result.metadata) == ("a", {"v": 1})


@pytest.mark.parametrize(
    "metric,stored,query,text",
    [
        ("l2", [0.5, 0.0], [0.0, 0.0], "0.2500"),
        ("l2", [2.0 ** 0.5, 0.0], [0.0, 0.0], "2.0000"),
        ("l2", [0.0003, 0.0], [0.0, 0.0], "0.0000"),  # about 1e-7
        ("l2", [100.0, 0.0], [0.0, 0.0], "10000.0000"),
        ("dot", [1.5, 0.0], [1.0, 0.0], "-1.5000"),
        ("l2", [3e38, 0.0], [-3e38, 0.0], "inf"),
        # Non-finite vectors are refused; finite ones whose products overflow still
        # give the special values.
        ("dot", [3e38, 0.0], [3e38, 0.0], "-inf"),
        ("dot", [3e38, 3e38], [3e38, -3e38], "NaN"),  # inf + -inf in float32
    ],
)
def test_repr(make_db, metric, stored, query, text):
    db = make_db(dim=2, metric=metric)
    db.add("doc1", stored)
    assert repr(db.search(query, k=1)[0]) == f"SearchResult(id='doc1', distance={text})"


def test_repr_inserts_the_id_as_it_is(make_db):
    db = make_db(dim=1)
    db.add("it's \u00e9\n", [1.0])
    assert repr(db.search([1.0])[0]) == "SearchResult(id='it's \u00e9\n', distance=0.0000)"


def test_metadata_read_failure_is_an_internal_fault(hit, monkeypatch):
    def broken(text):
        raise ValueError("no")

    monkeypatch.setattr(json, "loads", broken)
    with pytest.raises(BaseException) as info:
        try:
            hit[0].metadata
        except Exception:  # an internal fault must get past ordinary handlers
            pytest.fail("caught by `except Exception`")
    assert "internal fault" in str(info.value)
    import _dralm

    assert type(info.value).__name__ not in vars(_dralm)
    monkeypatch.undo()
    assert hit[0].metadata["cat"] == "a"


# ---- Other results.


def test_get_returns_a_tuple_of_widened_floats_and_metadata(make_db):
    db = make_db(dim=2)
    db.add("a", [0.1, 0.2], {"k": [1.5, "x"]})
    db.add("b", [1, 2])
    vector, metadata = result = db.get("a")
    assert type(result) is tuple and len(result) == 2
    assert vector[0] == 0.10000000149011612 and type(vector) is list
    assert metadata == {"k": [1.5, "x"]}
    assert db.get("b") == ([1.0, 2.0], None)


STATS_KEYS = [
    "num_vectors", "num_deleted", "num_layers", "avg_degree_layer0", "max_degree_layer0",
    "min_degree_layer0", "memory_vectors_bytes", "memory_graph_bytes", "memory_quantized_bytes",
    "uses_brute_force", "uses_quantized_search", "quantized_search_bits",
]


def test_stats_keys_order_and_types(make_db):
    db = make_db()
    empty = db.stats()
    assert list(empty) == STATS_KEYS
    assert empty["uses_brute_force"] is True and empty["uses_quantized_search"] is False
    assert all(empty[k] == 0 for k in STATS_KEYS[:9]) and empty["quantized_search_bits"] == 0
    db.add_many(["a", "b", "c"], [[1, 0, 0], [0, 1, 0], [0, 0, 1]])
    db.delete("b")
    stats = db.stats()
    for key in STATS_KEYS:
        expected = float if key == "avg_degree_layer0" else (
            bool if key.startswith("uses_") else int)
        assert type(stats[key]) is expected, key
    assert (stats["num_vectors"], stats["num_deleted"]) == (2, 1)
    assert stats["memory_vectors_bytes"] == 3 * 3 * 4


def test_ids_and_search_many_shapes(make_db):
    db = make_db(metric="l2")
    db.add_many(["a", "b", "\u00e9"], [[0, 0, 0], [1, 0, 0], [5, 0, 0]])
    assert sorted(db.ids()) == ["a", "b", "\u00e9"] and all(type(i) is str for i in db.ids())
    lists = db.search_many([[0, 0, 0], [5, 0, 0]], k=2)
    assert [[r.id for r in hits] for hits in lists] == [["a", "b"], ["\u00e9", "b"]]
    assert [[r.id for r in hits] for hits in db.search_many([[0, 0, 0]] * 2, k=0)] == [[], []]
    assert db.search([0, 0, 0], max_distance=-1.0) == []
