"""Vectors and queries holding NaN or an infinity are refused with a ValueError by
every write and every search, whatever form the vector arrives in, and nothing is
logged or stored. (Under cosine a stored NaN vector used to come out at distance 0,
ranked first as an exact match.)"""

import math
import os

import numpy as np
import pytest

from _dralm import Database

BAD = [(math.nan, "nan"), (math.inf, "inf"), (-math.inf, "-inf")]
WHY = " (vectors and queries must hold finite numbers only)"


def message(name, row=None):
    where = "" if row is None else f"vector {row}, "
    return f"invalid vector: {where}element 1 is {name}{WHY}"


@pytest.fixture
def db(db_path):
    db = Database(db_path, dim=3, metric="cosine")
    db.add("a", [1, 0, 0], {"k": 1})
    db.add("gone", [0, 1, 0])
    db.delete("gone")  # a tombstone: searches compute per-pair distances
    return db


def log_size(db_path):
    path = os.path.join(db_path, "wal.dralm")
    return os.path.getsize(path) if os.path.exists(path) else 0


FORMS = {
    "list": lambda v: list(v),
    "float32": lambda v: np.array(v, dtype=np.float32),
    "float64": lambda v: np.array(v, dtype=np.float64),
}

WRITES = {
    "add": lambda db, v, rows: db.add("n", v),
    "upsert new": lambda db, v, rows: db.upsert("n", v),
    "upsert live": lambda db, v, rows: db.upsert("a", v),
    "update": lambda db, v, rows: db.update("a", v, {"k": 2}),
    "add_many": lambda db, v, rows: db.add_many(["n1", "n2"], rows),
    "upsert_many": lambda db, v, rows: db.upsert_many(["a", "n2"], rows),
}


@pytest.mark.parametrize("bad,name", BAD)
@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("write", WRITES)
def test_every_write_refuses_non_finite_vectors(db, db_path, bad, name, form, write):
    vector = FORMS[form]([0.5, bad, 1.0])
    rows = FORMS[form]([[0, 0, 1], [0.5, bad, 1.0]])
    before = log_size(db_path)
    with pytest.raises(ValueError) as info:
        WRITES[write](db, vector, rows)
    row = 1 if write.endswith("_many") else None
    assert info.value.args == (message(name, row),)
    assert log_size(db_path) == before
    assert db.ids() == ["a"] and db.get("a") == ([1.0, 0.0, 0.0], {"k": 1})


SEARCHES = {
    "search": lambda db, v, rows: db.search(v, k=1),
    "filtered search": lambda db, v, rows: db.search(v, k=1, where_filter={"k": 1}),
    "search_many": lambda db, v, rows: db.search_many(rows, k=1),
    "filtered search_many": lambda db, v, rows: db.search_many(rows, k=1, where_filter={"k": 1}),
}


@pytest.mark.parametrize("bad,name", BAD)
@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("search", SEARCHES)
def test_every_search_refuses_non_finite_queries(db, bad, name, form, search):
    vector = FORMS[form]([0.5, bad, 1.0])
    rows = FORMS[form]([[0, 0, 1], [0.5, bad, 1.0]])
    with pytest.raises(ValueError) as info:
        SEARCHES[search](db, vector, rows)
    row = 1 if search.endswith("_many") else None
    assert info.value.args == (message(name, row),)


def test_extreme_finite_values_are_still_accepted(db):
    big = float(np.finfo(np.float32).max)
    db.add("big", [big, -big, 1.0])
    assert db.get("big")[0] == [big, -big, 1.0]
    assert [r.id for r in db.search([1, 0, 0], k=1)] == ["a"]


def test_a_float_that_overflows_float32_is_refused_as_inf(db):
    with pytest.raises(ValueError) as info:
        db.add("n", [0.5, 1e39, 1.0])
    assert info.value.args == (message("inf"),)
