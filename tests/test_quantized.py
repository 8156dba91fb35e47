"""The SQ8 file written by save and read at open: its parameters are trained afresh over
the live vectors (deleted ones do not count), its codes cover every slot, and a
database reopened with it searches on codes and still reports exact distances."""

from __future__ import annotations

import os
import struct

import numpy as np
import pytest

from _dralm import Database


def read_sq8(path):
    with open(os.path.join(path, "vectors.sq8"), "rb") as f:
        data = f.read()
    (dim,) = struct.unpack_from("<I", data)
    mins = np.frombuffer(data, "<f4", dim, 4)
    scales = np.frombuffer(data, "<f4", dim, 4 + 4 * dim)
    codes = np.frombuffer(data, np.uint8, offset=4 + 8 * dim)
    return dim, mins, scales, codes.reshape(-1, dim) if dim else codes


def reference_train(data):
    data = np.asarray(data, dtype=np.float32)
    mins, maxs = data.min(axis=0), data.max(axis=0)
    r = maxs - mins
    scales = np.where(r != 0, r / np.float32(255), np.float32(1)).astype(np.float32)
    return mins, scales


def reference_encode(data, mins, scales):
    t = np.clip((np.asarray(data, dtype=np.float32) - mins) / scales, 0, 255)
    whole = np.trunc(t)
    return (whole + (t - whole >= 0.5)).astype(np.uint8)  # halves away from zero


def test_worked_example(db_path):
    db = Database(db_path, dim=2, quantize=True)
    db.add("lo", [0, 0])
    db.add("hi", [510, 255])
    db.add("mid", [101, 7.6])
    db.add("half", [5, 2.5])
    db.delete("half")  # still coded, no longer trained on (its values lie inside anyway)
    db.save()
    dim, mins, scales, codes = read_sq8(db_path)
    assert dim == 2
    assert mins.tolist() == [0.0, 0.0] and scales.tolist() == [2.0, 1.0]
    assert codes.tolist() == [[0, 0], [255, 255], [51, 8], [3, 3]]
    assert (codes[2] * scales + mins).tolist() == [102.0, 8.0]


def test_parameters_and_codes_follow_the_training_rules(db_path):
    rng = np.random.default_rng(3)
    data = rng.normal(0, 5, (120, 9)).astype(np.float32)
    data[:, 4] = 1.25  # a constant dimension
    db = Database(db_path, dim=9, quantize=True)
    db.add_many([str(i) for i in range(120)], data)
    db.delete_many([str(i) for i in range(0, 120, 4)])
    db.save()
    assert os.path.getsize(os.path.join(db_path, "vectors.sq8")) == 4 + 8 * 9 + 120 * 9
    dim, mins, scales, codes = read_sq8(db_path)
    want_mins, want_scales = reference_train(np.delete(data, range(0, 120, 4), axis=0))
    np.testing.assert_array_equal(mins, want_mins)
    np.testing.assert_array_equal(scales, want_scales)
    assert scales[4] == 1.0 and (codes[:, 4] == 0).all()
    assert (codes[:, 4] * scales[4] + mins[4] == np.float32(1.25)).all()
    np.testing.assert_array_equal(codes, reference_encode(data, want_mins, want_scales))


def test_empty_database_writes_finite_parameters(db_path):
    db = Database(db_path, dim=3, quantize=True)
    db.save()
    dim, mins, scales, codes = read_sq8(db_path)
    assert (dim, mins.tolist(), scales.tolist(), codes.size) == (3, [0.0] * 3, [1.0] * 3, 0)
    reopened = Database(db_path)
    assert reopened.quantized_search
    reopened.add("a", [1, 2, 3])
    hits = reopened.search([1, 2, 3])
    assert [h.id for h in hits] == ["a"] and abs(hits[0].distance) < 1e-6  # cosine


def test_the_flag_decides_the_file_and_reopening_switches_search_on(db_path):
    db = Database(db_path, dim=4, metric="l2", quantize=True)
    assert db.quantized_search is False  # quantize only governs what save writes
    rng = np.random.default_rng(4)
    data = rng.standard_normal((60, 4)).astype(np.float32)
    db.add_many([f"v{i}" for i in range(60)], data)
    db.save()
    reopened = Database(db_path)
    assert reopened.quantized_search
    stats = reopened.stats()
    assert stats["uses_quantized_search"] and stats["memory_quantized_bytes"] == 4 * 8 + 60 * 4
    query = rng.standard_normal(4).astype(np.float32)
    hits = reopened.search(query, k=5)
    exact = ((data - query) ** 2).sum(axis=1)
    assert [h.id for h in hits] == [f"v{i}" for i in np.argsort(exact)[:5]]
    np.testing.assert_allclose([h.distance for h in hits], np.sort(exact)[:5], rtol=1e-5)

    # Search switched off, the file is still written (the flag follows the file).
    reopened.disable_quantized_search()
    reopened.add("late", [9, 9, 9, 9])
    reopened.save()
    assert read_sq8(db_path)[3].shape == (61, 4)
    assert Database(db_path).quantized_search


@pytest.mark.parametrize("reopen_with_quantize", [False, True])
def test_a_later_save_without_the_flag_drops_the_file(tmp_path, reopen_with_quantize):
    path = str(tmp_path / "db")
    with Database(path, dim=2, quantize=True) as db:
        db.add("a", [1, 2])
    os.remove(os.path.join(path, "vectors.sq8"))  # e.g. by another copy's save
    db = Database(path, dim=2, quantize=reopen_with_quantize)
    db.save()
    assert os.path.exists(os.path.join(path, "vectors.sq8")) == reopen_with_quantize
    assert Database(path).quantized_search == reopen_with_quantize


def test_quantizer_held_by_the_index_is_not_changed_by_save(db_path):
    db = Database(db_path, dim=2, metric="l2", quantize=True)
    db.add_many(["a", "b"], [[0, 0], [1, 1]])
    db.enable_quantized_search()  # trained on a range of 1
    db.add("far", [100, 100])  # coded with the old parameters, clamped to 255
    before = db.stats()["memory_quantized_bytes"]
    db.save()  # trains its own quantizer over the range of 100
    _, mins, scales, codes = read_sq8(db_path)
    np.testing.assert_array_equal(scales, [np.float32(100) / np.float32(255)] * 2)
    assert db.stats()["memory_quantized_bytes"] == before
    assert [r.id for r in db.search([99, 99], k=1)] == ["far"]


def test_a_deleted_outlier_no_longer_shapes_the_saved_parameters(db_path):
    # 3e38 and -3e38 in one dimension: a range no float holds. Once deleted, the
    # outlier must stop spoiling the codes (before: an infinite step, NaN decodes).
    rng = np.random.default_rng(5)
    data = rng.normal(0, 1, (50, 4)).astype(np.float32)
    db = Database(db_path, dim=4, metric="l2", quantize=True)
    db.add_many([str(i) for i in range(50)], data)
    db.add_many(["hi", "lo"], [[3e38, 0, 0, 0], [-3e38, 0, 0, 0]])
    db.save()
    _, mins, scales, _ = read_sq8(db_path)
    assert np.isfinite(scales).all() and np.isfinite(mins).all()
    db.delete_many(["hi", "lo"])
    db.save()
    _, mins, scales, codes = read_sq8(db_path)
    want_mins, want_scales = reference_train(data)
    np.testing.assert_array_equal(mins, want_mins)
    np.testing.assert_array_equal(scales, want_scales)
    assert codes.shape == (52, 4)
