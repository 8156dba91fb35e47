"""The filter language against a Python evaluator of it: $or, $and, $nin, dotted names
into nested objects and exact integer ranges, on random metadata, through count, search
and search_many, after incremental index updates and after a reopen rebuilt the index."""

import math
import random

import pytest

from _dralm import Database

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings, strategies as st  # noqa: E402

MISSING = object()
T = 1_700_000_000_000_000_000  # a nanosecond timestamp: T, T + 1 and T + 2 share a double


# ---- The evaluator.


def lookup(obj, name):
    """The value a field name selects: the whole top-level key first, else the path split
    at every dot, through objects only."""
    if name in obj:
        return obj[name]
    if "." not in name:
        return MISSING
    for part in name.split("."):
        if not isinstance(obj, dict) or part not in obj:
            return MISSING
        obj = obj[part]
    return obj


def kind(v):
    if isinstance(v, bool):
        return "bool"
    if isinstance(v, int):
        return "uint" if v >= 0 else "int"
    return type(v).__name__


def operand(v):
    """A filter operand as the database stores it: NaN and infinities mean None, an int
    beyond 64 bits is a float."""
    if isinstance(v, float) and not math.isfinite(v):
        return None
    if isinstance(v, int) and not isinstance(v, bool) and not -(2**63) <= v < 2**64:
        return float(v)
    return v


def same(a, b):
    """Type-strict equality: 1 is not 1.0 and True is not 1."""
    if kind(a) != kind(b):
        return False
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    return a == b


def is_number(v):
    return kind(v) in ("uint", "int", "float")


RANGES = {"$gt": lambda v, x: v > x, "$gte": lambda v, x: v >= x,
          "$lt": lambda v, x: v < x, "$lte": lambda v, x: v <= x}


def operator_holds(op, v, x):
    if op == "$ne":
        return v is MISSING or not same(v, operand(x))
    if op == "$in":
        return v is not MISSING and any(same(v, operand(e)) for e in x)
    if op == "$nin":
        return v is MISSING or not any(same(v, operand(e)) for e in x)
    # Python compares ints with floats by exact value, as the database must.
    return v is not MISSING and is_number(v) and not math.isnan(x) and RANGES[op](v, x)


def conditions(f, obj):
    out = []
    for key, value in f.items():
        if key in ("$or", "$and"):
            results = [holds(member, obj) for member in value]
            out.append(any(results) if key == "$or" else all(results))
        elif isinstance(value, dict):
            v = lookup(obj, key)
            out.extend(operator_holds(op, v, x) for op, x in value.items())
        else:
            v = lookup(obj, key)
            out.append(v is not MISSING and same(v, operand(value)))
    return out


def holds(f, obj):
    return all(conditions(f, obj))


def model_matches(f, metadata):
    # A vector without metadata matches nothing; so does a filter without conditions.
    if not isinstance(metadata, dict):
        return False
    found = conditions(f, metadata)
    return bool(found) and all(found)


# ---- Random metadata.

SCALARS = [0, 1, 2, 3, -1, 1.0, 2.5, -0.5, True, False, None, "x", "y",
           T, T + 1, T + 2, float(T), 2**53, 2**53 + 1, float(2**53), 2**63, 2**64 - 1,
           -(2**63), 1e300]
KEYS = ["a", "b", "c", "a.b", "t"]
NAMES = ["a", "b", "c", "t", "a.b", "a.c", "b.c", "a.b.c", "a.t"]


def random_value(rng, depth):
    roll = rng.random()
    if depth < 2 and roll < 0.25:
        return random_object(rng, depth + 1)
    if roll < 0.3:
        return [rng.choice(SCALARS)]
    return rng.choice(SCALARS)


def random_object(rng, depth=0):
    return {rng.choice(KEYS): random_value(rng, depth) for _ in range(rng.randrange(4))}


def random_metadata(rng):
    return None if rng.random() < 0.05 else random_object(rng)


@pytest.fixture(scope="module", params=["incremental", "reopened"])
def filtered(request, tmp_path_factory):
    """A database of random metadata changed by upserts, updates and deletes, and the
    model of what it holds; "reopened" rebuilds the index from the saved files."""
    rng = random.Random(23)
    path = str(tmp_path_factory.mktemp("logic") / "db")
    db = Database(path, dim=2)
    model = {}
    n = 400
    docs = [random_metadata(rng) for _ in range(n)]
    db.add_many([f"d{i}" for i in range(n)], [[1.0, float(i)] for i in range(n)], docs)
    model.update({f"d{i}": docs[i] for i in range(n)})
    for i in rng.sample(range(n), 60):
        model[f"d{i}"] = random_metadata(rng)
        db.upsert(f"d{i}", [1.0, float(i)], model[f"d{i}"])
    for i in rng.sample(range(n), 40):
        model[f"d{i}"] = random_object(rng)
        db.update(f"d{i}", metadata=model[f"d{i}"])
    for i in rng.sample(range(n), 40):
        if db.delete(f"d{i}"):
            del model[f"d{i}"]
    if request.param == "reopened":
        db.save()
        del db
        db = Database(path)
    return db, model


def check(db, model, where_filter):
    expected = sorted(i for i, m in model.items() if model_matches(where_filter, m))
    assert db.count(where_filter) == len(expected)
    found = db.search([1.0, 0.0], k=len(model), where_filter=where_filter)
    assert sorted(h.id for h in found) == expected
    (batch,) = db.search_many([[1.0, 0.0]], k=len(model), where_filter=where_filter)
    assert sorted(h.id for h in batch) == expected
    return expected


# ---- Generated filters.

# Half of the operands from the most common stored values, so filters select something.
operands = st.one_of(st.sampled_from([0, 1, 2, "x", True, None, T]),
                     st.sampled_from(SCALARS + [math.nan, 2**64, 0.0, -0.0]))
bounds = st.sampled_from([0, 1, 2, -1, 0.5, 2.5, T, T + 1, T - 1, float(T), 2**53, 2**53 + 1,
                          float(2**53), 2**64 - 1, 2**64, 2**64 + 1, -(2**63), -(2**63) - 1,
                          math.inf, -math.inf, math.nan, True, 1e300])
names = st.one_of(st.sampled_from(["a", "b", "a.b"]), st.sampled_from(NAMES))


def operator_dicts():
    one = st.one_of(
        st.tuples(st.just("$ne"), operands),
        st.tuples(st.sampled_from(["$in", "$nin"]), st.lists(operands, max_size=3)),
        st.tuples(st.sampled_from(list(RANGES)), bounds))
    return st.lists(one, min_size=1, max_size=2).map(dict)


def filter_dicts(members):
    condition = st.one_of(
        st.tuples(names, operands),
        st.tuples(names, operator_dicts()),
        st.tuples(st.just("$or"), st.lists(members, min_size=1, max_size=4)),
        st.tuples(st.just("$and"), st.lists(members, min_size=1, max_size=2)))
    return st.lists(condition, min_size=1, max_size=2).map(dict)


filters = st.recursive(filter_dicts(st.nothing()).filter(bool), filter_dicts, max_leaves=8)


@settings(max_examples=250, deadline=None, derandomize=True)
@given(where_filter=filters)
def test_random_filters_agree_with_the_model(filtered, where_filter):
    db, model = filtered
    check(db, model, where_filter)


# ---- Named cases, readable on failure.

DOCS = {
    "flat": {"a": 1, "t": T, "tag": "x"},
    "later": {"a": 2, "t": T + 1, "tag": "y"},
    "nested": {"a": {"b": 1, "c": {"d": "deep"}}, "t": -(2**63)},
    "dotted": {"a.b": 1, "tag": "x"},
    "both": {"a.b": 2, "a": {"b": 1}},
    "array": {"a": [{"b": 1}], "tag": None},
    "floaty": {"t": float(T), "a": 1.0},
    "empty": {},
    "bare": None,
}


@pytest.fixture(scope="module")
def named(tmp_path_factory):
    db = Database(str(tmp_path_factory.mktemp("named") / "db"), dim=2)
    for i, (name, metadata) in enumerate(DOCS.items()):
        db.add(name, [1.0, float(i)], metadata)
    return db


NAMED = [
    # Exact integer ranges (above 2^53 they used to compare as doubles).
    ({"t": {"$gt": T}}, ["later"]),
    ({"t": {"$gte": T + 1}}, ["later"]),
    ({"t": {"$lt": T + 1}}, ["flat", "floaty", "nested"]),
    ({"t": {"$lte": T - 1}}, ["nested"]),
    ({"t": {"$gt": float(T)}}, ["later"]),
    ({"t": {"$gte": T, "$lte": T}}, ["flat", "floaty"]),
    ({"t": {"$lt": -(2**63) + 1}}, ["nested"]),
    ({"t": {"$lt": -(2**63) - 1}}, []),
    ({"t": T}, ["flat"]),
    # $or / $and / $nin.
    ({"$or": [{"tag": "x"}, {"a": 2}]}, ["dotted", "flat", "later"]),
    ({"$or": [{"tag": "x"}], "a": 1}, ["flat"]),
    ({"$and": [{"tag": "x"}, {"a": {"$ne": 1}}]}, ["dotted"]),
    ({"$or": [{"$and": [{"a": 1}, {"t": {"$gt": 0}}]}, {"a.c.d": "deep"}]}, ["flat", "nested"]),
    ({"$or": [{"tag": {"$in": []}}, {"tag": "y"}]}, ["later"]),
    ({"tag": {"$nin": ["x", None]}}, ["both", "empty", "floaty", "later", "nested"]),
    ({"tag": {"$nin": []}}, ["array", "both", "dotted", "empty", "flat", "floaty", "later",
                             "nested"]),
    ({"$or": [{"a": 1}, {"a": 1.0}], "tag": {"$nin": ["x"]}}, ["floaty"]),
    # Dotted names: the top-level key first, then the nested path; arrays are not entered.
    ({"a.b": 1}, ["dotted", "nested"]),
    ({"a.b": 2}, ["both"]),
    ({"a.b": {"$ne": 1}}, ["array", "both", "empty", "flat", "floaty", "later"]),
    ({"a.c.d": "deep"}, ["nested"]),
    ({"a.c": {"$in": ["deep"]}}, []),
    ({"a.0.b": 1}, []),
    ({"$or": [{"a.b": 1}, {"a.b": 2}]}, ["both", "dotted", "nested"]),
]


@pytest.mark.parametrize("where_filter,expected", NAMED, ids=[repr(c[0]) for c in NAMED])
def test_named_cases(named, where_filter, expected):
    model = {name: metadata for name, metadata in DOCS.items()}
    assert check(named, model, where_filter) == expected


def test_exact_integer_bounds_from_numpy(named):
    np = pytest.importorskip("numpy")
    assert named.count({"t": {"$gt": np.int64(T)}}) == 1
    assert named.count({"t": {"$lt": np.uint64(T + 1)}}) == 3
    assert named.count({"t": {"$gt": np.float64(T)}}) == 1


def test_nesting_depth(named):
    where_filter = {"tag": "y"}
    for _ in range(32):
        where_filter = {"$or": [where_filter]}
    assert named.count(where_filter) == 1
    with pytest.raises(ValueError) as info:
        named.count({"$and": [where_filter]})
    assert info.value.args == ("filter nested too deeply (at most 32 levels of $and / $or)",)
    looped = []
    looped.append({"$or": looped})
    with pytest.raises(ValueError, match="nested too deeply"):
        named.count({"$or": looped})
