"""Conversion of Python arguments into engine values: vectors from sequences and
buffers, batches, ids, metadata through the json module, and the batch checks."""

import array
import collections
import json
import math
import os
import pickle
import warnings

import pytest
from hypothesis import HealthCheck, example, given, settings, strategies as st

import _dralm

np = pytest.importorskip("numpy")

NOT_CONTIGUOUS = "The given array is not contiguous"


def stored(db, vector):
    """The floats `vector` is stored as, read back through get()."""
    db.upsert("probe", vector)
    return db.get("probe")[0]


def f32(values):
    """What narrowing each value to the nearest 32-bit float gives, as Python floats."""
    with np.errstate(over="ignore"):
        return [float(v) for v in np.asarray(values, dtype=np.float64).astype(np.float32)]


# ---- One vector.


@pytest.mark.parametrize(
    "vector,expected",
    [
        ([1, 2, 3], [1.0, 2.0, 3.0]),
        ((1.5, True, 0), [1.5, 1.0, 0.0]),
        (b"\x01\x02\xff", [1.0, 2.0, 255.0]),
        (bytearray(b"\x07\x00\x01"), [7.0, 0.0, 1.0]),
        (range(3), [0.0, 1.0, 2.0]),
        ([0.1, 1e-50, 3.4e38], f32([0.1, 1e-50, 3.4e38])),
        ([np.float64(0.1), np.int32(-4), np.float32(2.5)], f32([0.1, -4, 2.5])),
        (collections.deque([1, 2, 3]), [1.0, 2.0, 3.0]),
    ],
    ids=["list", "tuple-with-bool", "bytes", "bytearray", "range", "narrowing", "numpy-scalars",
         "deque"],
)
def test_sequences_are_converted_item_by_item(make_db, vector, expected):
    assert stored(make_db(), vector) == expected


class Fraction:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Index:
    def __index__(self):
        return 4


def test_items_with_float_or_index_conversions(make_db):
    assert stored(make_db(), [Fraction(0.25), Index(), 1]) == [0.25, 4.0, 1.0]


@pytest.mark.parametrize(
    "dtype", [np.float32, np.float64, np.float16, np.int64, np.uint8, ">f4", "<f8", np.bool_]
)
def test_one_dimensional_arrays_of_any_numeric_type(make_db, dtype):
    values = np.array([0.1, 3.0, 200.7]).astype(dtype)
    assert stored(make_db(), values) == [float(np.float32(v)) for v in values]


@pytest.mark.parametrize(
    "make",
    [
        lambda a: a[::2],  # strided view
        lambda a: a[::-1],  # negative stride
        lambda a: memoryview(a),
        lambda a: memoryview(a)[::2],
        lambda a: array.array("f", a.tolist()),
        lambda a: array.array("d", a.astype(np.float64).tolist()),
        lambda a: np.asfortranarray(a),
        lambda a: np.ascontiguousarray(np.stack([a, a])[1]),
    ],
    ids=["strided", "reversed", "memoryview", "memoryview-strided", "array-f", "array-d",
         "fortran", "row-of-2d"],
)
def test_buffer_copies_equal_item_conversion(make_db, make):
    source = np.array([0.1, -2.5, 3e-8, 7.0, 1e30, -0.0], dtype=np.float32)
    value = make(source)
    expected = [float(np.float32(float(x))) for x in list(value)]
    assert stored(make_db(dim=len(expected)), value) == expected


@given(st.lists(st.floats(min_value=-1e30, max_value=1e30), min_size=4, max_size=4))
@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
def test_array_and_list_forms_store_the_same_floats(make_db_shared, values):
    db = make_db_shared
    for form in (values, np.array(values), np.array(values, dtype=np.float32),
                 np.array(values, dtype=np.float32).tolist()):
        assert stored(db, form) == f32(values)


@pytest.fixture(scope="module")
def make_db_shared(tmp_path_factory):
    import _dralm

    return _dralm.Database(str(tmp_path_factory.mktemp("shared")), dim=4)


def test_a_float32_buffer_that_is_not_a_sequence(make_db):
    db = make_db()
    contiguous = np.array([1.5, 2.5, 3.5], dtype=np.float32)
    assert stored(db, pickle.PickleBuffer(contiguous)) == [1.5, 2.5, 3.5]
    # Any layout is copied element by element, as the sequence form would.
    assert stored(db, pickle.PickleBuffer(np.arange(6, dtype=np.float32)[::2])) == [0, 2, 4]
    assert stored(db, pickle.PickleBuffer(np.arange(3, dtype=np.float32)[::-1])) == [2, 1, 0]


@pytest.mark.parametrize(
    "vector,fragments",
    [
        ("abc", ["str", "buffer"]),
        ((x for x in [1.0, 2.0, 3.0]), ["generator", "not a sequence"]),
        ({1.0, 2.0, 3.0}, ["set"]),
        ({"a": 1}, ["dict"]),
        (5.0, ["float"]),
        ([1.0, "2", 3.0], ["item 1", "str"]),
        ([[1.0, 2.0, 3.0]], ["item 0", "list"]),
        ([1.0, None, 3.0], ["item 1", "NoneType"]),
        (pickle.PickleBuffer(np.zeros(3)), ["float32", "'d'"]),
        (pickle.PickleBuffer(np.zeros((1, 3), dtype=np.float32)), ["1 dimension, got 2"]),
    ],
    ids=["str", "generator", "set", "dict", "scalar", "str-item", "nested", "none-item",
         "float64-buffer", "2d-buffer"],
)
def test_refused_vectors_list_why_each_form_failed(make_db, vector, fragments):
    db = make_db()
    with pytest.raises(TypeError) as info:
        db.add("x", vector)
    message = str(info.value)
    assert message.startswith("add() argument 'vector' must be")
    assert "as a sequence:" in message and "as an array:" in message
    for fragment in fragments:
        assert fragment in message
    assert len(db) == 0


def test_conversion_propagates_interrupts_unchanged(make_db):
    class Interrupting:
        def __float__(self):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        make_db().add("x", [1.0, Interrupting(), 2.0])


def test_a_too_large_int_is_refused(make_db):
    with pytest.raises(TypeError, match="too large"):
        make_db().add("x", [1, 2, 10**400])


# ---- Batches.


def batch_rows(db, vectors, n):
    db.upsert_many([f"r{i}" for i in range(n)], vectors)
    return [db.get(f"r{i}")[0] for i in range(n)]


@pytest.mark.parametrize(
    "make",
    [
        lambda a: a,
        lambda a: np.asfortranarray(a),
        lambda a: np.ascontiguousarray(a.T).T,
        lambda a: a.astype(np.float64),
        lambda a: np.asfortranarray(a.astype(np.float64)),
        lambda a: a.astype(np.float64)[:, ::1][::1],
        lambda a: a.astype(">f4"),
        lambda a: a.tolist(),
        lambda a: [tuple(row) for row in a.tolist()],
        lambda a: list(a),
        lambda a: tuple(np.asfortranarray(a)),
    ],
    ids=["c-f32", "fortran-f32", "transposed-f32", "c-f64", "fortran-f64", "f64-view",
         "big-endian", "lists", "tuples", "list-of-arrays", "tuple-of-fortran-rows"],
)
def test_batches_give_one_vector_per_row(make_db, make):
    source = np.array([[0.1, 0.2, 0.3], [4.0, -5.5, 1e-9]], dtype=np.float32)
    expected = [[float(np.float32(v)) for v in row] for row in source.astype(np.float64)]
    assert batch_rows(make_db(), make(source), 2) == expected


def test_fortran_float64_batch_narrows_like_rows(make_db):
    source = np.asfortranarray(np.array([[0.1, 0.2, 0.3], [1 / 3, 2 / 3, 1e-40]]))
    expected = [f32(row) for row in source.tolist()]
    assert batch_rows(make_db(), source, 2) == expected


@pytest.mark.parametrize(
    "make",
    [lambda a: a[:, ::2], lambda a: a[::2], lambda a: a[::-1], lambda a: a.T[::2].T],
    ids=["column-stride", "row-stride", "reversed", "fortran-strided"],
)
@pytest.mark.parametrize("method", ["add_many", "upsert_many", "search_many"])
def test_non_contiguous_2d_float32_arrays_are_taken_row_by_row(make_db, make, method):
    # Accepted like the same array as float64 (which goes through the row form).
    array2d = make(np.arange(24, dtype=np.float32).reshape(4, 6)[:, :4])
    assert not (array2d.flags.c_contiguous or array2d.flags.f_contiguous)
    db = make_db(dim=array2d.shape[1], metric="l2")
    ids = [f"r{i}" for i in range(len(array2d))]
    if method == "search_many":
        db.add_many(ids, array2d.astype(np.float64))
        hits = db.search_many(array2d, k=1)
        assert [h[0].id for h in hits] == ids and all(h[0].distance == 0 for h in hits)
    else:
        getattr(db, method)(ids, array2d)
        assert [db.get(i)[0] for i in ids] == array2d.tolist()


def _overcommits_always():
    try:
        with open("/proc/sys/vm/overcommit_memory") as f:
            return f.read().strip() == "1"
    except OSError:
        return False


# Under AddressSanitizer a failed operator new reports and aborts instead of throwing.
_UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


@pytest.mark.skipif(_overcommits_always(), reason="every allocation succeeds here")
@pytest.mark.skipif(_UNDER_ASAN, reason="AddressSanitizer aborts on a failed allocation")
@pytest.mark.parametrize("method", ["add_many", "search_many"])
def test_a_batch_too_large_to_hold_says_what_it_could_not_copy(make_db, method):
    # 2**40 empty rows still need an offset each: 8 TiB.
    db = make_db(dim=2)
    huge = np.zeros((2**40, 0), dtype=np.float32)
    with pytest.raises(MemoryError) as info:
        db.search_many(huge) if method == "search_many" else db.add_many(["a"], huge)
    assert info.value.args == ("cannot allocate memory to copy 1099511627776 vectors of 0 floats",)


@pytest.mark.skipif(_UNDER_ASAN, reason="AddressSanitizer aborts on a failed allocation")
def test_a_batch_beyond_the_address_space_is_a_memory_error(make_db):
    # A broadcast view of 2**60 floats (4 EiB): no system can map that much, so the
    # allocation fails whatever the overcommit policy.
    db = make_db(dim=2**30)
    huge = np.broadcast_to(np.float32(0), (2**30, 2**30))
    with pytest.raises(MemoryError) as info:
        db.search_many(huge)
    assert info.value.args == ("cannot allocate memory to copy 1073741824 vectors of 1073741824 floats",)


def test_empty_batches(make_db):
    db = make_db()
    assert db.search_many([]) == []
    assert db.search_many(np.zeros((0, 3), dtype=np.float32)) == []
    db.add_many([], [])
    db.upsert_many([], np.zeros((0, 3), dtype=np.float32))
    assert db.delete_many([]) == 0 and len(db) == 0


@pytest.mark.parametrize(
    "vectors,fragments",
    [
        ("abc", ["str"]),
        ([[1, 2, 3], "abc"], ["item 1", "str"]),
        ([[1, 2, 3], 4], ["item 1", "int"]),
        ([pickle.PickleBuffer(np.zeros(3, dtype=np.float32))], ["item 0", "PickleBuffer"]),
        (np.zeros(3, dtype=np.float32), ["2 dimensions, got 1", "item 0"]),
        ((row for row in [[1, 2, 3]]), ["generator"]),
    ],
    ids=["str", "str-row", "scalar-row", "buffer-row", "1d-array", "generator"],
)
def test_refused_batches_list_why_each_form_failed(make_db, vectors, fragments):
    with pytest.raises(TypeError) as info:
        make_db().add_many(["a"], vectors)
    message = str(info.value)
    assert message.startswith("add_many() argument 'vectors' must be")
    for fragment in fragments:
        assert fragment in message


@pytest.mark.parametrize("method", ["add_many", "upsert_many"])
def test_batch_length_checks(make_db, method):
    db = make_db()
    write = getattr(db, method)
    with pytest.raises(ValueError) as info:
        write(["a", "b"], np.zeros((3, 3), dtype=np.float32))
    assert info.value.args == ("ids length (2) != vectors length (3)",)
    with pytest.raises(ValueError) as info:
        write(["a"], [[1, 2, 3]], [{"x": 1}, {"y": 2}])
    assert info.value.args == ("metadatas length (2) != ids length (1)",)
    with pytest.raises(ValueError) as info:
        write(["a", "b"], [[1, 2, 3], [4, 5, 6]], [None, 5])
    assert info.value.args == ("metadatas must be list of dicts or None",)
    with pytest.raises(ValueError) as info:
        write(["a", "b"], [[1, 2, 3], [4, 5, 6]], [{"x": float("nan")}, "no"])
    assert str(info.value).startswith("invalid metadata: ")  # the first bad item wins
    assert len(db) == 0 and db.total_slots == 0


def test_batch_checks_come_in_a_fixed_order(make_db):
    db = make_db()
    strided = np.zeros((2, 6), dtype=np.float32)[:, ::2]
    with pytest.raises(TypeError, match="'metadatas'"):  # argument types before layout
        db.add_many(["a", "b"], strided, (None, None))
    with pytest.raises(ValueError, match="ids length"):  # ids/vectors before metadatas
        db.add_many(["a"], [[1, 2, 3]] * 2, [None, None])


def test_batch_metadatas_are_stored_per_item(make_db):
    db = make_db()
    db.add_many(["a", "b", "c"], [[1, 0, 0], [0, 1, 0], [0, 0, 1]],
                [{"n": 1}, None, collections.OrderedDict(z=1, a=[2])])
    assert [db.get(i)[1] for i in "abc"] == [{"n": 1}, None, {"a": [2], "z": 1}]


# ---- Ids.


@pytest.mark.parametrize("ids", [("a", "b"), ["a", "b"], collections.deque(["a", "b"])])
def test_ids_from_any_sequence_of_str(make_db, ids):
    db = make_db()
    db.add_many(ids, [[1, 2, 3], [4, 5, 6]])
    assert sorted(db.ids()) == ["a", "b"]
    assert db.delete_many(ids) == 2


@pytest.mark.parametrize("identifier", ["", "é\u4e2d\U0001f600", "nul\x00inside", "x" * 5000])
def test_ids_keep_every_character(make_db, identifier):
    db = make_db()
    db.add(identifier, [1, 2, 3])
    assert db.ids() == [identifier] and identifier in db
    assert db.search([1, 2, 3], k=1)[0].id == identifier


def test_an_id_that_is_not_utf8_encodable_is_refused(make_db):
    db = make_db()
    with pytest.raises(UnicodeEncodeError):
        db.add("bad\ud800", [1, 2, 3])
    with pytest.raises(UnicodeEncodeError):
        db.add_many(["ok", "bad\udfff"], [[1, 2, 3]] * 2)
    assert len(db) == 0


# ---- Metadata.


def test_non_standard_json_is_refused(make_db):
    db = make_db()
    for value in (float("nan"), float("inf"), -float("inf")):
        with pytest.raises(ValueError) as info:
            db.add("a", [1, 2, 3], {"x": [1, value]})
        assert str(info.value).startswith("invalid metadata: ")
    assert len(db) == 0


def test_json_module_conversions_apply(make_db):
    db = make_db()
    db.add("a", [1, 2, 3], {1: "one", False: "f", None: "n", 2.5: ("x", "y")})
    assert db.get("a")[1] == {"1": "one", "false": "f", "null": "n", "2.5": ["x", "y"]}


def test_dumps_failures_propagate_unchanged(make_db):
    db = make_db()
    with pytest.raises(TypeError, match="set is not JSON serializable"):
        db.add("a", [1, 2, 3], {"x": {1, 2}})
    with pytest.raises(TypeError, match="keys must be"):
        db.upsert("a", [1, 2, 3], {(1, 2): 0})
    assert len(db) == 0


def test_metadata_goes_through_the_json_module_at_call_time(make_db, monkeypatch):
    db = make_db()
    monkeypatch.setattr(json, "dumps", lambda d: '{"patched": true}')
    db.add("a", [1, 2, 3], {"x": 1})
    monkeypatch.setattr(json, "dumps", lambda d: "[1, 2]")
    with pytest.raises(ValueError, match="invalid metadata"):
        db.add("b", [1, 2, 3], {"x": 1})
    monkeypatch.undo()
    assert db.get("a")[1] == {"patched": True}


def test_large_integers_and_special_floats(make_db):
    db = make_db()
    metadata = {"big": 2**64 - 1, "small": -(2**63), "huge": 2**70, "neg_zero": -0.0,
                "tiny": 5e-324, "one": 1.0}
    db.add("a", [1, 2, 3], metadata)
    back = db.get("a")[1]
    assert back["big"] == 2**64 - 1 and type(back["big"]) is int
    assert back["small"] == -(2**63) and type(back["small"]) is int
    assert back["huge"] == float(2**70) and type(back["huge"]) is float  # beyond 64 bits
    assert math.copysign(1.0, back["neg_zero"]) == -1.0
    assert back["tiny"] == 5e-324 and back["one"] == 1.0 and type(back["one"]) is float


json_scalars = (st.none() | st.booleans() | st.integers(min_value=-(2**63), max_value=2**64 - 1)
                | st.floats(allow_nan=False, allow_infinity=False) | st.text(max_size=8))
json_values = st.recursive(
    json_scalars,
    lambda children: st.lists(children, max_size=4)
    | st.dictionaries(st.text(max_size=6), children, max_size=4),
    max_leaves=12,
)


def same_json(a, b):
    """Equality that also tells 1 from 1.0 and 0.0 from -0.0."""
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same_json(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(same_json(x, y) for x, y in zip(a, b))
    if isinstance(a, float):
        return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)
    return a == b


@pytest.fixture(scope="module")
def metadata_db(tmp_path_factory):
    import _dralm

    return _dralm.Database(str(tmp_path_factory.mktemp("metadata")), dim=4)


@given(metadata=st.dictionaries(st.text(max_size=6), json_values, max_size=5))
@example(metadata={"neg_zero": -0.0, "big": 1e300, "ints": [2**64 - 1, -(2**63), 0],
                   "nested": {"a": {"b": ["\u00e9", "\u4e2d\U0001f600", "\x00\x1f\"\\"]}},
                   "": [], "\u00e9": {}})
@settings(max_examples=150, deadline=None)
def test_metadata_round_trips_through_add_and_get(metadata_db, metadata):
    db = metadata_db
    db.upsert("m", [1, 2, 3, 4], metadata)
    assert same_json(db.get("m")[1], json.loads(json.dumps(metadata)))
    hit = db.search([1, 2, 3, 4], k=1, where_filter=None)[0]
    assert same_json(hit.metadata, db.get("m")[1])


# ---- Other scalars.


def test_max_distance_takes_any_number(make_db):
    db = make_db(metric="l2")
    db.add_many(["a", "b"], [[0, 0, 0], [3, 0, 0]])
    for bound in (9, 9.0, np.float32(9), np.int8(9), True):
        expected = ["a", "b"] if bound != 1 else ["a"]
        assert [r.id for r in db.search([0, 0, 0], max_distance=bound)] == expected
    assert [r.id for r in db.search([0, 0, 0], max_distance=8.999)] == ["a"]


def test_update_with_none_keeps_each_part(make_db):
    db = make_db()
    db.add("a", [1, 2, 3], {"k": 1})
    db.update("a", None, {"k": 2})
    assert db.get("a") == ([1.0, 2.0, 3.0], {"k": 2})
    db.update("a", np.array([4, 5, 6], dtype=np.float32))
    assert db.get("a") == ([4.0, 5.0, 6.0], {"k": 2})
    db.update(id="a", vector=None, metadata=None)
    assert db.get("a") == ([4.0, 5.0, 6.0], {"k": 2})


# ---- The module's private checks: Database's conversions without a database.


def outcome(call, *args):
    """What a call did: ("ok", value), or its exception's type and message."""
    try:
        return ("ok", call(*args))
    except Exception as error:  # noqa: BLE001 - every kind is compared
        return (type(error).__name__, str(error))


@pytest.mark.parametrize("method", ["add_many", "upsert_many"])
@pytest.mark.parametrize(
    "ids,vectors,metadatas",
    [
        ("ab", [[1, 2, 3]] * 2, None),
        (["a", 7], [[1, 2, 3]] * 2, None),
        (["a", "\ud800"], [[1, 2, 3]] * 2, None),
        (["a"], "vectors", None),
        (["a"], [[1, "x", 3]], None),
        (["a"], np.zeros((1, 3), dtype=np.float32)[:, ::2], ({},)),
        (["a", "b"], np.zeros((3, 3), dtype=np.float32), None),
        (["a"], [[1, 2, 3]], [{}, {}]),
        (["a", "b"], [[1, 2, 3]] * 2, [{}, 5]),
        (["a", "b"], [[1, 2, 3]] * 2, [{"x": float("nan")}, None]),
        (["a", "b"], [[1, 2, 3]] * 2, [None, {"x": {1, 2}}]),
    ],
    ids=["str-ids", "int-id", "surrogate-id", "str-vectors", "str-item", "tuple-metadatas",
         "ids-vs-vectors", "metadatas-vs-ids", "int-metadata", "nan-metadata", "set-metadata"],
)
def test_write_batch_check_refuses_as_the_method_does(make_db, method, ids, vectors, metadatas):
    db = make_db()
    expected = outcome(getattr(db, method), ids, vectors, metadatas)
    assert expected[0] != "ok"
    assert outcome(_dralm._write_batch, method, ids, vectors, metadatas) == expected


@pytest.mark.parametrize(
    "vectors",
    [
        [[1, 2, 3], [4.5, 1e-50, 3.4e38]],
        np.arange(12, dtype=np.float64).reshape(2, 6)[:, ::2],
        np.asfortranarray(np.arange(6, dtype=np.float32).reshape(2, 3)),
        [np.array([1, 2, 3], dtype=np.int8), (0.1, 0.2, 0.3)],
    ],
    ids=["lists", "strided-float64-rows", "fortran-float32", "mixed-rows"],
)
def test_write_batch_check_gives_the_floats_the_method_stores(make_db, vectors):
    db = make_db()
    metadatas = [{"n": 1}, None]
    ids, rows, checked = _dralm._write_batch("add_many", ("a", "b"), vectors, metadatas)
    assert ids == ["a", "b"] and checked == metadatas and checked is not metadatas
    assert rows.dtype == np.float32 and rows.shape == (2, 3)
    db.add_many(ids, vectors, metadatas)
    stored_rows, _ = db.get_many(ids)
    assert rows.tobytes() == stored_rows.tobytes()


def test_vectors_check_keeps_ragged_rows_and_narrows_without_a_warning(make_db):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        rows = _dralm._vectors("search_many", [[1.0, 1e39], [-1e39], []])
    assert [row.tolist() for row in rows] == [[1.0, math.inf], [-math.inf], []]
    assert all(row.dtype == np.float32 for row in rows)
    assert _dralm._vectors("search_many", []) == []
    expected = outcome(make_db().search_many, "abc")
    assert outcome(_dralm._vectors, "search_many", "abc") == expected


@pytest.mark.parametrize(
    "kwargs",
    [
        {"dim": 4},
        {"dim": 4, "metric": "l2", "m": 8, "ef_construction": 50, "quantize": True},
        {"dim": 2, "metric": "dot"},
        {"dim": 0},
        {"dim": 4, "metric": "L2"},
        {"dim": 4, "m": 1},
        {"dim": 4, "ef_construction": 0},
        {"dim": 2**32},
        {"dim": "4"},
        {"dim": -1},
        {"dim": 4, "metric": 5},
        {"dim": 4, "quantize": 1},
    ],
)
def test_creation_check_agrees_with_the_constructor(tmp_path, kwargs):
    full = {"metric": None, "m": None, "ef_construction": None, "quantize": False, **kwargs}
    got = outcome(_dralm._creation_parameters, *full.values())
    expected = outcome(_dralm.Database, str(tmp_path / "db"), *full.values())
    if expected[0] != "ok":
        assert got == expected
        assert not (tmp_path / "db").exists() or os.listdir(tmp_path / "db") == []
        return
    db = expected[1]
    assert got == ("ok", (db.dim, db.metric, full["m"] or 16, full["ef_construction"] or 200,
                          full["quantize"]))


def test_metric_names_and_defaults_are_the_constructors(tmp_path):
    assert (_dralm._DEFAULT_M, _dralm._DEFAULT_EF_CONSTRUCTION) == (16, 200)
    for name, canonical in _dralm._METRICS.items():
        assert _dralm.Database(str(tmp_path / name), dim=2, metric=name).metric == canonical
    assert set(_dralm._METRICS.values()) == {"cosine", "euclidean", "dot_product"}
