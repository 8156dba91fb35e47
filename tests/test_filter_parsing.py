"""Translation of where_filter dicts: the error messages and their order, and how
each Python operand type is taken (checked through count and the searches)."""

import collections
import math

import pytest

DOCS = [
    {"x": None},
    {"x": 1},
    {"x": 1.0},
    {"x": True},
    {"x": "a"},
    {"x": -(2**63)},
    {"x": 2**63},
    {"x": 2**64 - 1},
    {"x": 2.5},
    {"$gt": 5},
    {"a.b": 1},
    {"a": {"b": 1}},
    {"y": 3},
]


@pytest.fixture(scope="module")
def db(tmp_path_factory):
    import _dralm

    database = _dralm.Database(str(tmp_path_factory.mktemp("filters")), dim=2)
    database.add_many([f"d{i}" for i in range(len(DOCS))],
                      [[1.0, float(i)] for i in range(len(DOCS))], DOCS)
    database.add("bare", [0.0, 1.0])  # no metadata: no condition holds for it
    return database


def matching(db, where_filter):
    """The documents a filter selects, by count and by search, which must agree."""
    found = sorted(r.id for r in db.search([1.0, 0.0], k=100, where_filter=where_filter))
    assert db.count(where_filter) == len(found)
    return [DOCS[int(i[1:])] if i != "bare" else None for i in found]


def expect(db, where_filter, expected):
    got = matching(db, where_filter)
    assert sorted(map(repr, got)) == sorted(map(repr, expected))


# ---- Errors.

ERRORS = [
    ({"x": {"$in": "a"}}, "$in value must be a list"),
    ({"x": {"$in": ("a",)}}, "$in value must be a list"),
    ({"x": {"$gt": "a"}}, "$gt value must be a number"),
    ({"x": {"$gte": None}}, "$gte value must be a number"),
    ({"x": {"$lt": [1]}}, "$lt value must be a number"),
    ({"x": {"$lte": 10**400}}, "$lte value must be a number"),
    ({"x": {"$eq": 1}}, "unknown operator: $eq"),
    ({"x": {"$or": []}}, "unknown operator: $or"),
    ({"x": {"gt": 1}}, "unknown operator: gt"),
    ({"x": {"": 1}}, "unknown operator: "),
    ({"x": [1, 2]}, "unsupported filter value type"),
    ({"tags": ["a"]}, "unsupported filter value type"),
    ({"x": (1,)}, "unsupported filter value type"),
    ({"x": b"a"}, "unsupported filter value type"),
    ({"x": object()}, "unsupported filter value type"),
    ({"x": 10**400}, "unsupported filter value type"),
    ({"x": {"$ne": [1]}}, "unsupported filter value type"),
    ({"x": {"$ne": {"a": 1}}}, "unsupported filter value type"),
    ({"x": {"$in": ["a", {1}]}}, "unsupported filter value type"),
    # The first fault in dict order wins, between fields and inside an operator dict.
    ({"a": {"$in": "x"}, "b": {"$gt": "y"}}, "$in value must be a list"),
    ({"b": {"$gt": "y"}, "a": {"$in": "x"}}, "$gt value must be a number"),
    ({"x": {"$bad": 1, "$in": "z"}}, "unknown operator: $bad"),
    ({"ok": 1, "x": {"$lt": 1, "$in": 5}, "y": []}, "$in value must be a list"),
    # $nin, and the lists of $or / $and (top-level keys only; inside an operator dict
    # they stay unknown operators).
    ({"x": {"$nin": "a"}}, "$nin value must be a list"),
    ({"x": {"$nin": None}}, "$nin value must be a list"),
    ({"x": {"$nin": [[1]]}}, "unsupported filter value type"),
    ({"$or": {"x": 1}}, "$or value must be a list"),
    ({"$and": ({"x": 1},)}, "$and value must be a list"),
    ({"$or": []}, "$or value must be a non-empty list"),
    ({"$and": []}, "$and value must be a non-empty list"),
    ({"$or": [{"x": 1}, 1]}, "$or list elements must be dicts"),
    ({"$and": [[("x", 1)]]}, "$and list elements must be dicts"),
    ({"$or": [{}]}, "$or list elements must not be empty filters"),
    ({"$and": [{"x": 1}, {"y": {}}]}, "$and list elements must not be empty filters"),
    ({"$or": [{"$and": [{"x": {"$in": 1}}]}]}, "$in value must be a list"),
    ({"x": {"$and": [{"x": 1}]}}, "unknown operator: $and"),
    ({"$or": [{"a": {"$gt": "y"}}], "b": {"$in": 1}}, "$gt value must be a number"),
    ({"b": {"$in": 1}, "$or": [{"a": {"$gt": "y"}}]}, "$in value must be a list"),
]


@pytest.mark.parametrize("where_filter,message", ERRORS)
@pytest.mark.parametrize("method", ["count", "search", "search_many"])
def test_parse_errors(db, method, where_filter, message):
    call = {
        "count": lambda: db.count(where_filter),
        "search": lambda: db.search([1.0, 0.0], where_filter=where_filter),
        "search_many": lambda: db.search_many([[1.0, 0.0]], where_filter=where_filter),
    }[method]
    with pytest.raises(ValueError) as info:
        call()
    assert info.value.args == (message,)


@pytest.mark.parametrize("where_filter", [{1: "a"}, {"x": {1: 2}}, {None: 1}])
def test_keys_must_be_str(db, where_filter):
    with pytest.raises(TypeError) as info:
        db.count(where_filter)
    assert "count()" in str(info.value) and "'where_filter'" in str(info.value)


def test_interrupts_in_operands_propagate(db):
    class Interrupting:
        def __float__(self):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        db.count({"x": {"$gt": Interrupting()}})


def test_a_filter_changed_while_it_is_parsed(db):
    where_filter = {}

    class Shrinking:
        def __index__(self):
            where_filter.clear()
            return 1

    where_filter.update(a=Shrinking(), b=2)
    with pytest.raises(RuntimeError, match="changed size"):
        db.count(where_filter)


# ---- Operand types.


def test_equality_is_type_strict(db):
    expect(db, {"x": 1}, [{"x": 1}])
    expect(db, {"x": 1.0}, [{"x": 1.0}])
    expect(db, {"x": True}, [{"x": True}])
    expect(db, {"x": "a"}, [{"x": "a"}])
    expect(db, {"x": 2.5}, [{"x": 2.5}])


@pytest.mark.parametrize("operand", [None, math.nan, math.inf, -math.inf])
def test_none_nan_and_infinities_mean_null(db, operand):
    expect(db, {"x": operand}, [{"x": None}])
    expect(db, {"x": {"$in": [operand]}}, [{"x": None}])


def test_64_bit_integers_keep_their_kind(db):
    expect(db, {"x": -(2**63)}, [{"x": -(2**63)}])
    expect(db, {"x": 2**63}, [{"x": 2**63}])
    expect(db, {"x": 2**64 - 1}, [{"x": 2**64 - 1}])
    expect(db, {"x": 2**64}, [])  # a float 2^64 equals no stored integer
    expect(db, {"x": {"$in": [2**63, -(2**63)]}}, [{"x": 2**63}, {"x": -(2**63)}])


def test_numpy_and_index_operands(db):
    np = pytest.importorskip("numpy")
    expect(db, {"x": np.int64(1)}, [{"x": 1}])
    expect(db, {"x": np.uint64(2**64 - 1)}, [{"x": 2**64 - 1}])
    expect(db, {"x": np.float64(2.5)}, [{"x": 2.5}])
    expect(db, {"x": np.float32(1.0)}, [{"x": 1.0}])


def test_names_are_top_level_keys_then_paths(db):
    expect(db, {"$gt": 5}, [{"$gt": 5}])
    expect(db, {"$gt": {"$gt": 4}}, [{"$gt": 5}])
    # A dotted name finds the key of that name, and where there is none, the nested path.
    expect(db, {"a.b": 1}, [{"a.b": 1}, {"a": {"b": 1}}])


class Number:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


@pytest.mark.parametrize(
    "where_filter,expected_x",
    [
        ({"x": {"$gt": 2}}, [2**63, 2**64 - 1, 2.5]),
        ({"x": {"$gte": True}}, [1, 1.0, 2**63, 2**64 - 1, 2.5]),
        ({"x": {"$lt": Number(1.5)}}, [1, 1.0, -(2**63)]),
        ({"x": {"$lte": 1, "$gte": 1}}, [1, 1.0]),
        ({"x": {"$gt": math.nan}}, []),
        ({"x": {"$ne": 1}}, [None, 1.0, True, "a", -(2**63), 2**63, 2**64 - 1, 2.5]
         + ["missing"] * 4),
    ],
)
def test_range_and_negation_operands(db, where_filter, expected_x):
    got = matching(db, where_filter)
    xs = [d["x"] if "x" in d else "missing" for d in got]
    assert sorted(map(repr, xs)) == sorted(map(repr, expected_x))


def test_empty_filters(db):
    assert db.count({}) == 0 and db.search([1.0, 0.0], where_filter={}) == []
    assert db.count({"x": {}}) == 0  # an operator dict without operators: an empty all-of
    expect(db, {"x": 1, "y": {}}, [{"x": 1}])
    expect(db, {"x": {"$in": []}}, [])


def test_dict_and_list_subclasses(db):
    class Tags(list):
        pass

    where_filter = collections.OrderedDict([("x", {"$in": Tags(["a", 1])})])
    expect(db, where_filter, [{"x": "a"}, {"x": 1}])
    expect(db, collections.defaultdict(int, x={"$lt": 0}), [{"x": -(2**63)}])
