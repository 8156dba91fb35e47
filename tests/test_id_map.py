"""The id map under insert / delete / lookup sequences against a dict: growth from empty
through many doublings, deletion-heavy runs, ids with long shared prefixes, and the
same answers after save + reopen, after replaying the log, and after compact."""

import os

from hypothesis import HealthCheck, given, settings, strategies as st

from _dralm import Database

# Ids with long shared prefixes reach the last byte of every comparison; "" is an id.
ID_SPACE = [""] + [("p" * 30 if n % 3 == 0 else "") + f"id-{n}" for n in range(1, 400)]

OPERATION = st.one_of(
    # Insert a run of ids (add_many skips the live ones through upsert_many).
    st.tuples(st.just("insert"), st.integers(0, len(ID_SPACE) - 1), st.integers(1, 120)),
    # Delete a run of ids, live or not.
    st.tuples(st.just("delete"), st.integers(0, len(ID_SPACE) - 1), st.integers(1, 120)),
    # Delete one id.
    st.tuples(st.just("delete_one"), st.integers(0, len(ID_SPACE) - 1), st.just(1)),
)


def vector_of(i, round_):
    return [float(i), float(round_)]


def check(db, model):
    assert len(db) == len(model)
    assert sorted(db.ids()) == sorted(model)
    for ident in ID_SPACE:
        assert (ident in db) == (ident in model), ident
    for ident, vector in model.items():
        assert db.get(ident) == (vector, {"id": ident})


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(operations=st.lists(OPERATION, min_size=1, max_size=25))
def test_id_map_agrees_with_a_dict(tmp_path_factory, operations):
    path = str(tmp_path_factory.mktemp("ids") / "db")
    db = Database(path, dim=2, metric="l2")
    db.save()  # the log written below is replayed on top of saved files
    model = {}
    for round_, (kind, start, length) in enumerate(operations):
        ids = [ID_SPACE[(start + k) % len(ID_SPACE)] for k in range(length)]
        ids = list(dict.fromkeys(ids))
        if kind == "insert":
            vectors = [vector_of(ID_SPACE.index(i), round_) for i in ids]
            db.upsert_many(ids, vectors, [{"id": i} for i in ids])
            model.update(zip(ids, vectors))
        elif kind == "delete":
            removed = db.delete_many(ids)
            assert removed == sum(i in model for i in ids)
            for i in ids:
                model.pop(i, None)
        else:
            assert db.delete(ids[0]) == (ids[0] in model)
            model.pop(ids[0], None)
    check(db, model)
    slots = (db.total_slots, db.deleted_count)

    del db
    replayed = Database(path)  # the saved (empty) files plus the whole log
    check(replayed, model)
    assert (replayed.total_slots, replayed.deleted_count) == slots
    replayed.save()
    del replayed
    reopened = Database(path)  # from the saved files alone
    assert not os.path.exists(os.path.join(path, "wal.dralm"))
    check(reopened, model)
    assert (reopened.total_slots, reopened.deleted_count) == slots
    if model:
        # Every id still finds its own vector through the slot it maps to.
        some = sorted(model)[:5]
        for ident in some:
            assert reopened.search(model[ident], k=1)[0].distance == 0.0
    reopened.compact()
    check(reopened, model)
    assert reopened.total_slots == len(model)
