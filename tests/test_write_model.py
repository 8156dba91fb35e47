"""Random sequences of the seven write operations against a Python dict model,
with reopens in between: the log replays to exactly the state the writes built."""

import os
import shutil
import tempfile

import pytest
from hypothesis import settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

from _dralm import Database

DIM = 3
IDS = st.sampled_from(["a", "b", "c", "d", "", "\u00e9t\u00e9", "x y"])
# Small integers are exact in single precision, so the model compares with ==.
VECTORS = st.lists(st.integers(-8, 8), min_size=DIM, max_size=DIM).map(lambda v: [float(x) for x in v])
METADATA = st.one_of(
    st.none(),
    st.fixed_dictionaries({"c": st.integers(0, 2)}),
    st.fixed_dictionaries({"c": st.integers(0, 2), "tag": st.sampled_from(["u", "v"])}),
)


class WriteModel(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.dir = tempfile.mkdtemp(prefix="dralm-model-")
        self.path = os.path.join(self.dir, "db")
        self.db = Database(self.path, dim=DIM, metric="l2")
        self.model = {}     # id -> (vector, metadata)
        self.tombstones = 0  # slots of deleted ids

    def teardown(self):
        self.db = None
        shutil.rmtree(self.dir, ignore_errors=True)

    def refused(self, call, message):
        with pytest.raises(ValueError) as info:
            call()
        assert info.value.args == (message,)

    @rule(id=IDS, vector=VECTORS, metadata=METADATA)
    def add(self, id, vector, metadata):
        if id in self.model:
            self.refused(lambda: self.db.add(id, vector, metadata),
                         f"id '{id}' already exists, use upsert instead")
        else:
            self.db.add(id, vector, metadata)
            self.model[id] = (vector, metadata)

    @rule(id=IDS, vector=VECTORS, metadata=METADATA)
    def upsert(self, id, vector, metadata):
        self.db.upsert(id, vector, metadata)
        self.model[id] = (vector, metadata)

    @rule(id=IDS, vector=st.one_of(st.none(), VECTORS), metadata=METADATA)
    def update(self, id, vector, metadata):
        if id not in self.model:
            self.refused(lambda: self.db.update(id, vector, metadata), f"id '{id}' not found")
            return
        self.db.update(id, vector, metadata)
        old_vector, old_metadata = self.model[id]
        self.model[id] = (vector if vector is not None else old_vector,
                          metadata if metadata is not None else old_metadata)

    @rule(id=IDS)
    def delete(self, id):
        assert self.db.delete(id) is (id in self.model)
        if self.model.pop(id, None) is not None:
            self.tombstones += 1

    @rule(items=st.lists(st.tuples(IDS, VECTORS, METADATA), max_size=4), with_meta=st.booleans())
    def add_many(self, items, with_meta):
        ids = [i for i, _, _ in items]
        metadatas = [m for _, _, m in items] if with_meta else None
        clash = next((i for n, i in enumerate(ids) if i in self.model or i in ids[:n]), None)
        call = lambda: self.db.add_many(ids, [v for _, v, _ in items], metadatas)  # noqa: E731
        if clash is not None:
            self.refused(call, f"id '{clash}' already exists, use upsert instead")
            return
        call()
        for n, (i, v, _) in enumerate(items):
            self.model[i] = (v, metadatas[n] if with_meta else None)

    @rule(items=st.lists(st.tuples(IDS, VECTORS, METADATA), max_size=4), with_meta=st.booleans())
    def upsert_many(self, items, with_meta):
        self.db.upsert_many([i for i, _, _ in items], [v for _, v, _ in items],
                            [m for _, _, m in items] if with_meta else None)
        for i, v, m in items:
            self.model[i] = (v, m if with_meta else None)

    @rule(ids=st.lists(IDS, max_size=4))
    def delete_many(self, ids):
        live = {i for i in ids if i in self.model}
        assert self.db.delete_many(ids) == len(live)
        for i in live:
            del self.model[i]
        self.tombstones += len(live)

    @rule()
    def reopen(self):
        self.db = None  # drops the log handle; nothing is saved
        self.db = Database(self.path, dim=DIM, metric="l2")
        self.check_everything()

    @precondition(lambda self: len(self.model) > 0)
    @rule(data=st.data())
    def nearest_is_itself(self, data):
        id = data.draw(st.sampled_from(sorted(self.model)))
        vector, metadata = self.model[id]
        hits = self.db.search(vector, k=len(self.model))
        assert hits[0].distance == 0.0
        assert id in {h.id for h in hits if h.distance == 0.0}
        assert {h.id for h in hits} == set(self.model)

    @invariant()
    def sizes_match(self):
        assert len(self.db) == len(self.model)
        assert self.db.deleted_count == self.tombstones
        assert self.db.total_slots == len(self.model) + self.tombstones

    def check_everything(self):
        assert sorted(self.db.ids()) == sorted(self.model)
        for id, (vector, metadata) in self.model.items():
            assert self.db.get(id) == (vector, metadata), id
        for c in range(3):
            want = sum(1 for _, m in self.model.values() if m is not None and m["c"] == c)
            assert self.db.count({"c": c}) == want


WriteModel.TestCase.settings = settings(max_examples=60, stateful_step_count=30, deadline=None)
TestWriteModel = WriteModel.TestCase
