"""Per-slot metadata through every path that reads or moves it (get, filters, filtered
search, updates, deletes, compaction, save and reopen, a read-only reader), for databases
where no item, a few items or every item carries metadata: the stored values always
match a plain model of the writes."""

from __future__ import annotations

import numpy as np
import pytest

from _dralm import Database


def check(db, model):
    assert sorted(db.ids()) == sorted(model)
    for ident, (vector, metadata) in model.items():
        got_vector, got_metadata = db.get(ident)
        np.testing.assert_array_equal(got_vector, vector)
        assert got_metadata == metadata, ident
    for group in range(3):
        matching = sorted(i for i, (_, m) in model.items() if m is not None and m["g"] == group)
        assert sorted(db.ids_matching({"g": group})) == matching
        assert db.count({"g": group}) == len(matching)
        hits = db.search([0.0] * 4, k=len(model) or 1, where_filter={"g": group})
        assert sorted(h.id for h in hits) == matching
        for h in hits:
            assert h.metadata == model[h.id][1]


@pytest.mark.parametrize("every", [0, 7, 1], ids=["none", "one-in-seven", "all"])
def test_metadata_follows_every_write_and_survives_compaction_and_reopen(db_path, every):
    rng = np.random.default_rng(every)
    db = Database(db_path, dim=4, metric="l2", m=4)
    model = {}

    def metadata_for(i):
        return {"g": i % 3, "i": i} if every and i % every == 0 else None

    ids = [f"id{i}" for i in range(120)]
    vectors = rng.standard_normal((120, 4)).astype(np.float32)
    db.add_many(ids[:100], vectors[:100], [metadata_for(i) for i in range(100)])
    for i in range(100):
        model[ids[i]] = (vectors[i].tolist(), metadata_for(i))
    for i in range(100, 120):
        db.add(ids[i], vectors[i], metadata_for(i))
        model[ids[i]] = (vectors[i].tolist(), metadata_for(i))
    check(db, model)

    # Metadata set on items that had none, replaced, and cleared; vectors moved alone.
    for i in range(0, 120, 5):
        db.update(ids[i], metadata={"g": (i + 1) % 3, "u": i})
        model[ids[i]] = (model[ids[i]][0], {"g": (i + 1) % 3, "u": i})
    for i in range(1, 120, 9):
        db.upsert(ids[i], vectors[i])
        model[ids[i]] = (vectors[i].tolist(), None)
    for i in range(2, 120, 11):
        db.update(ids[i], [1.0, 2.0, 3.0, 4.0])
        model[ids[i]] = ([1.0, 2.0, 3.0, 4.0], model[ids[i]][1])
    for i in range(3, 120, 4):
        db.delete(ids[i])
        del model[ids[i]]
    check(db, model)

    db.save()
    check(Database(db_path, read_only=True), model)
    db.compact()
    check(db, model)
    db.add("late", [0.5] * 4, {"g": 2, "late": True})
    model["late"] = ([0.5] * 4, {"g": 2, "late": True})
    check(db, model)
    db.save()
    del db
    check(Database(db_path), model)
