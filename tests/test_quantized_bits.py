"""4-bit traversal codes: the bits argument, and the mode surviving saves, reopens,
writes, compaction and a damaged vectors.sq4 (codes are derived data: a file that does
not fit is trained again, and nothing stored is lost)."""

from __future__ import annotations

import os

import numpy as np
import pytest

from _dralm import Database


def filled(path, n=300, dim=37, metric="l2", **kwargs):
    rng = np.random.default_rng(5)
    data = rng.normal(size=(n, dim)).astype(np.float32)
    db = Database(path, dim=dim, metric=metric, **kwargs)
    db.add_many([str(i) for i in range(n)], data, [{"i": i} for i in range(n)])
    return db, data


def answers(db, queries):
    return [[(r.id, r.distance) for r in hits] for hits in db.search_many(queries, k=5)]


@pytest.mark.parametrize("bits, error", [
    (5, ValueError), (0, ValueError), (16, ValueError), (-4, ValueError), (2**70, ValueError),
    ("4", TypeError), (4.0, TypeError), (None, TypeError),
])
def test_bits_other_than_8_or_4_are_refused_and_change_nothing(db_path, bits, error):
    db, _ = filled(db_path, n=20)
    db.enable_quantized_search(bits=4)
    with pytest.raises(error, match="bits"):
        db.enable_quantized_search(bits=bits)
    assert (db.quantized_search, db.quantized_search_bits) == (True, 4)
    empty = Database(db_path + "-empty", dim=3)
    empty.enable_quantized_search(bits=4)  # nothing to train on: stays off, as with 8
    assert (empty.quantized_search, empty.quantized_search_bits) == (False, 0)


@pytest.mark.parametrize("metric", ["l2", "cosine", "dot"])
def test_saved_with_4_bits_reopens_with_them_through_writes_and_compaction(db_path, metric):
    db, data = filled(db_path, metric=metric)
    db.enable_quantized_search(bits=4)
    db.save()
    assert os.path.exists(os.path.join(db_path, "vectors.sq4"))
    assert not os.path.exists(os.path.join(db_path, "vectors.sq8"))  # quantize=False
    before = answers(db, data[:8])
    del db

    reader = Database(db_path, read_only=True)
    assert reader.quantized_search_bits == 4
    assert answers(reader, data[:8]) == before
    del reader

    db = Database(db_path)
    assert db.quantized_search_bits == 4
    assert answers(db, data[:8]) == before
    db.add("new", data[0] * 2)
    db.delete_many([str(i) for i in range(0, 300, 3)])
    db.compact()
    assert db.quantized_search_bits == 4
    assert len(db) == 201 and db.get("new")[1] is None
    db.save()
    assert Database(db_path).quantized_search_bits == 4


@pytest.mark.parametrize("quantize", [False, True])
def test_a_save_without_4_bits_drops_the_file(db_path, quantize):
    db, _ = filled(db_path, quantize=quantize)
    db.enable_quantized_search(bits=4)
    db.save()
    db.enable_quantized_search(bits=8)
    db.save()
    assert not os.path.exists(os.path.join(db_path, "vectors.sq4"))
    # vectors.sq8 (written with quantize=True) brings SQ8 search back; without it, none.
    assert Database(db_path).quantized_search_bits == (8 if quantize else 0)


def damage(path, how):
    sq4 = os.path.join(path, "vectors.sq4")
    raw = bytearray(open(sq4, "rb").read())
    if how == "cut":
        raw = raw[: len(raw) // 2]
    elif how == "flipped code":
        raw[len(raw) - 40] ^= 0x10
    open(sq4, "wb").write(bytes(raw))


# Every kind of damage the loader refuses is in the engine's tests (sq4_file_test.cc);
# here, that a refused file costs the database nothing.
@pytest.mark.parametrize("how", ["cut", "flipped code"])
def test_a_damaged_file_is_trained_again_and_loses_nothing(db_path, how):
    db, data = filled(db_path)
    db.enable_quantized_search(bits=4)
    db.save()
    before = answers(db, data[:8])
    del db
    damage(db_path, how)
    db = Database(db_path)
    assert db.quantized_search_bits == 4
    assert len(db) == 300
    assert answers(db, data[:8]) == before
    vector, metadata = db.get("17")
    np.testing.assert_array_equal(vector, data[17])
    assert metadata == {"i": 17}
