"""Saving and reopening: the files a save leaves (exact layout and sizes, read back by
an independent parser here), the log's removal, the mapped vectors, the context
manager, and a model-checked mix of writes, saves and reopens."""

from __future__ import annotations

import json
import os
import struct
from dataclasses import dataclass, field

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

from _dralm import Database

GRAPH_MAGIC = 0x48535747
META_MAGIC = 0x4D455441
NO_ENTRY = 0xFFFFFFFF


# ---- An independent reader and writer of graph.dralm (also used by the other
# persistence test files).


@dataclass
class Graph:
    dim: int
    metric: int
    m: int
    ef: int
    entry: int
    max_level: int
    deleted: list[int]
    nodes: list[list[list[int]]]  # node -> layer -> neighbour slots
    entries: list[tuple[int, bytes, bytes]] = field(default_factory=list)  # slot, id, text
    magic: int = GRAPH_MAGIC
    version: int = 2
    meta_magic: int = META_MAGIC

    def encode(self) -> bytes:
        out = bytearray(struct.pack("<III", self.magic, self.version, self.dim))
        out += bytes([self.metric])
        out += struct.pack("<IIIIII", self.m, self.ef, self.entry, self.max_level,
                           len(self.nodes), len(self.deleted))
        out += struct.pack(f"<{len(self.deleted)}I", *self.deleted)
        for layers in self.nodes:
            out += struct.pack("<I", len(layers))
            for lst in layers:
                out += struct.pack(f"<I{len(lst)}I", len(lst), *lst)
        out += struct.pack("<II", self.meta_magic, len(self.entries))
        for slot, ident, text in self.entries:
            out += struct.pack("<II", slot, len(ident)) + ident
            out += struct.pack("<I", len(text)) + text
        return bytes(out)


def parse_graph(data: bytes) -> Graph:
    magic, version, dim = struct.unpack_from("<III", data, 0)
    metric = data[12]
    m, ef, entry, max_level, node_count, deleted_count = struct.unpack_from("<6I", data, 13)
    pos = 37
    deleted = list(struct.unpack_from(f"<{deleted_count}I", data, pos))
    pos += 4 * deleted_count
    nodes = []
    for _ in range(node_count):
        (layer_count,) = struct.unpack_from("<I", data, pos)
        pos += 4
        layers = []
        for _ in range(layer_count):
            (count,) = struct.unpack_from("<I", data, pos)
            layers.append(list(struct.unpack_from(f"<{count}I", data, pos + 4)))
            pos += 4 + 4 * count
        nodes.append(layers)
    meta_magic, entry_count = struct.unpack_from("<II", data, pos)
    pos += 8
    entries = []
    for _ in range(entry_count):
        slot, id_length = struct.unpack_from("<II", data, pos)
        ident = data[pos + 8:pos + 8 + id_length]
        pos += 8 + id_length
        (text_length,) = struct.unpack_from("<I", data, pos)
        entries.append((slot, ident, data[pos + 4:pos + 4 + text_length]))
        pos += 4 + text_length
    assert pos == len(data), "bytes after the last entry"
    return Graph(dim, metric, m, ef, entry, max_level, deleted, nodes, entries, magic, version,
                 meta_magic)


def read_graph(path) -> Graph:
    with open(os.path.join(path, "graph.dralm"), "rb") as f:
        return parse_graph(f.read())


def read_vectors(path, dim):
    floats = np.fromfile(os.path.join(path, "vectors.bin"), dtype="<f4")
    n = len(floats) // (dim + 1)
    assert len(floats) == n * (dim + 1)
    return floats[: n * dim].reshape(n, dim), floats[n * dim:]


def expected_graph_size(g: Graph) -> int:
    size = 37 + 4 * len(g.deleted) + 8
    size += sum(4 + sum(4 + 4 * len(lst) for lst in layers) for layers in g.nodes)
    size += sum(12 + len(ident) + len(text) for _, ident, text in g.entries)
    return size


def compact_json(value) -> bytes:
    return json.dumps(value, separators=(",", ":"), sort_keys=True, ensure_ascii=False).encode()


def files(path):
    """The data files of a database directory (the LOCK file that keeps other processes
    out is not one)."""
    return sorted(name for name in os.listdir(path) if name != "LOCK")


# ---- What save writes.


def test_empty_database_saves_bare_headers(db_path):
    db = Database(db_path, dim=4, metric="euclidean", m=8, ef_construction=50)
    db.save()
    assert files(db_path) == ["graph.dralm", "vectors.bin"]
    with open(os.path.join(db_path, "graph.dralm"), "rb") as f:
        data = f.read()
    assert data == (b"GWSH" + struct.pack("<II", 2, 4) + b"\x01"
                    + struct.pack("<6I", 8, 50, NO_ENTRY, 0, 0, 0) + b"ATEM" + b"\0" * 4)
    assert os.path.getsize(os.path.join(db_path, "vectors.bin")) == 0
    reopened = Database(db_path)
    assert (len(reopened), reopened.total_slots, reopened.metric) == (0, 0, "euclidean")


@pytest.mark.parametrize("metric,code", [("cosine", 0), ("l2", 1), ("dot", 2)])
def test_saved_files_hold_every_slot_and_id(db_path, metric, code):
    rng = np.random.default_rng(5)
    vectors = rng.standard_normal((30, 5)).astype(np.float32)
    db = Database(db_path, dim=5, metric=metric, m=4, ef_construction=20)
    meta = {}
    for i, v in enumerate(vectors):
        meta[f"id{i}"] = {"i": i, "tag": "é\n\"x"} if i % 3 else None
        db.add(f"id{i}", v, meta[f"id{i}"])
    for i in range(0, 30, 4):
        db.delete(f"id{i}")
    db.save()
    assert files(db_path) == ["graph.dralm", "vectors.bin"]  # log gone, no .tmp left

    g = read_graph(db_path)
    assert (g.dim, g.metric, g.m, g.ef) == (5, code, 4, 20)
    assert os.path.getsize(os.path.join(db_path, "graph.dralm")) == expected_graph_size(g)
    assert len(g.nodes) == 30 and sorted(g.deleted) == list(range(0, 30, 4))
    assert g.entry < 30 and g.max_level == len(g.nodes[g.entry]) - 1
    for layers in g.nodes:
        assert len(layers[0]) <= 8 and all(len(lst) <= 4 for lst in layers[1:])
        assert all(0 <= s < 30 for lst in layers for s in lst)
    by_id = {ident.decode(): (slot, text) for slot, ident, text in g.entries}
    assert set(by_id) == {f"id{i}" for i in range(30) if i % 4}
    for ident, (slot, text) in by_id.items():
        assert slot == int(ident[2:])  # slots follow insertion order
        assert text == (b"" if meta[ident] is None else compact_json(meta[ident]))

    stored, norms = read_vectors(db_path, 5)
    assert os.path.getsize(os.path.join(db_path, "vectors.bin")) == 4 * 30 * 6
    np.testing.assert_array_equal(stored, vectors)  # deleted slots keep their vectors
    np.testing.assert_allclose(norms, np.linalg.norm(vectors, axis=1), rtol=1e-6)


def test_deleted_slots_survive_reopening(db_path):
    db = Database(db_path, dim=2)
    for i in range(6):
        db.add(str(i), [i, 1.0])
    db.delete("1")
    db.delete("4")
    db.save()
    reopened = Database(db_path)
    assert (reopened.total_slots, reopened.deleted_count, len(reopened)) == (6, 2, 4)
    assert sorted(reopened.ids()) == ["0", "2", "3", "5"]
    assert "1" not in reopened


def test_save_deletes_the_log_and_later_writes_start_a_new_one(db_path):
    db = Database(db_path, dim=2)
    db.add("a", [1, 2])
    assert "wal.dralm" in files(db_path)
    db.save()
    assert "wal.dralm" not in files(db_path)
    db.add("b", [3, 4])
    assert "wal.dralm" in files(db_path)
    del db
    assert sorted(Database(db_path).ids()) == ["a", "b"]


def test_reopened_database_answers_the_same(db_path):
    rng = np.random.default_rng(11)
    data = rng.standard_normal((300, 16)).astype(np.float32)
    db = Database(db_path, dim=16, metric="cosine")
    db.add_many([f"v{i}" for i in range(300)], data, [{"even": i % 2 == 0} for i in range(300)])
    for i in range(0, 300, 7):
        db.delete(f"v{i}")
    queries = rng.standard_normal((10, 16)).astype(np.float32)

    def answers(d):
        return [[(r.id, r.distance, r.metadata) for r in d.search(q, k=8)] for q in queries] + [
            [(r.id, r.distance) for r in d.search(q, k=5, where_filter={"even": True})]
            for q in queries]

    before = answers(db)
    db.save()
    assert answers(Database(db_path)) == before
    assert answers(Database(db_path, dim=16)) == before


def _overwrite_in_place(path, floats):
    # Same file, same length: a mapping of it sees the new bytes.
    with open(path, "r+b") as f:
        f.write(np.asarray(floats, dtype="<f4").tobytes())


def test_opened_vectors_are_mapped_until_the_first_vector_write(db_path):
    db = Database(db_path, dim=2)
    db.add("a", [1, 2])
    db.add("b", [3, 4])
    db.save()
    reopened = Database(db_path)
    vectors_bin = os.path.join(db_path, "vectors.bin")
    _overwrite_in_place(vectors_bin, [5, 6, 7, 8])
    assert reopened.get("a")[0] == [5.0, 6.0]  # read from the mapping
    reopened.delete("b")  # a tombstone writes no vector
    _overwrite_in_place(vectors_bin, [9, 9])
    assert reopened.get("a")[0] == [9.0, 9.0]
    reopened.add("c", [0, 1])  # the first vector write copies the mapping
    _overwrite_in_place(vectors_bin, [0, 0, 0, 0])
    assert reopened.get("a")[0] == [9.0, 9.0]
    assert reopened.get("c")[0] == [0.0, 1.0]


def test_save_without_quantize_removes_a_stale_quantizer_file(db_path):
    db = Database(db_path, dim=3)
    db.add("a", [1, 2, 3])
    with open(os.path.join(db_path, "vectors.sq8"), "wb") as f:
        f.write(struct.pack("<I", 3) + b"\0" * 24 + b"\7" * 3)
    db.save()
    assert files(db_path) == ["graph.dralm", "vectors.bin"]
    assert Database(db_path).quantized_search is False


def test_context_manager_saves_on_success_and_on_error(db_path):
    with Database(db_path, dim=2) as db:
        db.add("a", [1, 2], {"k": 1})
    assert files(db_path) == ["graph.dralm", "vectors.bin"]
    with pytest.raises(RuntimeError, match="boom"):
        with Database(db_path) as db:
            db.add("b", [3, 4])
            db.delete("a")
            raise RuntimeError("boom")
    assert files(db_path) == ["graph.dralm", "vectors.bin"]  # saved: no log left
    reopened = Database(db_path)
    assert reopened.ids() == ["b"] and reopened.deleted_count == 1


def test_save_into_a_removed_directory_recreates_it(tmp_path):
    path = tmp_path / "gone" / "db"
    db = Database(str(path), dim=2)
    db.add("a", [1, 2])
    os.remove(path / "wal.dralm")
    os.remove(path / "LOCK")
    os.rmdir(path)
    db.save()
    assert Database(str(path)).get("a") == ([1.0, 2.0], None)


def test_failed_save_keeps_the_log(db_path):
    db = Database(db_path, dim=2)
    db.save()
    db.add("a", [1, 2])
    os.mkdir(os.path.join(db_path, "graph.tmp"))  # the graph step cannot create its file
    with pytest.raises(ValueError, match=r"^io error: .*\(os error 21\)$"):
        db.save()
    os.rmdir(os.path.join(db_path, "graph.tmp"))
    assert "wal.dralm" in files(db_path)
    assert Database(db_path).ids() == ["a"]  # the old graph plus the replayed log


# ---- Saves, reopens and writes in any order agree with a dict model.

DIM = 3
ids_st = st.sampled_from(["a", "b", "c", "d", "é", "x y"])
vec_st = st.lists(st.integers(-4, 4).map(float), min_size=DIM, max_size=DIM)
meta_st = st.one_of(st.none(), st.fixed_dictionaries({"n": st.integers(0, 3)}))


class SaveReopenMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        import tempfile

        self.dir = tempfile.mkdtemp(prefix="dralm-model-")
        self.path = os.path.join(self.dir, "db")
        self.db = Database(self.path, dim=DIM, metric="l2")
        self.model: dict[str, tuple[list[float], object]] = {}
        self.saved_once = False

    @rule(ident=ids_st, vec=vec_st, meta=meta_st)
    def upsert(self, ident, vec, meta):
        self.db.upsert(ident, vec, meta)
        self.model[ident] = (vec, meta)

    @rule(ident=ids_st, vec=vec_st, meta=meta_st)
    def add(self, ident, vec, meta):
        if ident in self.model:
            with pytest.raises(ValueError, match="already exists"):
                self.db.add(ident, vec, meta)
        else:
            self.db.add(ident, vec, meta)
            self.model[ident] = (vec, meta)

    @rule(ident=ids_st, vec=vec_st)
    def update_vector(self, ident, vec):
        if ident in self.model:
            self.db.update(ident, vec)
            self.model[ident] = (vec, self.model[ident][1])
        else:
            with pytest.raises(ValueError, match="not found"):
                self.db.update(ident, vec)

    @rule(ident=ids_st)
    def delete(self, ident):
        assert self.db.delete(ident) == (ident in self.model)
        self.model.pop(ident, None)

    @rule()
    def save(self):
        self.db.save()
        self.saved_once = True

    @rule()
    def compact(self):
        self.db.compact()
        assert self.db.deleted_count == 0

    @precondition(lambda self: self.saved_once)
    @rule(with_dim=st.booleans())
    def reopen(self, with_dim):
        del self.db
        self.db = Database(self.path, dim=DIM) if with_dim else Database(self.path)

    @invariant()
    def matches_model(self):
        assert sorted(self.db.ids()) == sorted(self.model)
        assert len(self.db) == len(self.model)
        for ident, (vec, meta) in self.model.items():
            assert self.db.get(ident) == (vec, meta)
        assert self.db.total_slots == len(self.db) + self.db.deleted_count

    def teardown(self):
        import shutil

        shutil.rmtree(self.dir, ignore_errors=True)


SaveReopenMachine.TestCase.settings = settings(
    max_examples=40, stateful_step_count=25, deadline=None,
    suppress_health_check=[HealthCheck.too_slow])
test_saves_reopens_and_writes_agree_with_a_model = SaveReopenMachine.TestCase


@settings(max_examples=25, deadline=None)
@given(st.lists(st.tuples(ids_st, vec_st, meta_st), max_size=12), st.integers(0, 12))
def test_saved_state_plus_log_equals_memory(tmp_path_factory, writes, split):
    path = str(tmp_path_factory.mktemp("db") / "db")
    db = Database(path, dim=DIM)
    for ident, vec, meta in writes[:split]:
        db.upsert(ident, vec, meta)
    db.save()
    for ident, vec, meta in writes[split:]:
        db.upsert(ident, vec, meta)
    if writes:
        db.delete(writes[0][0])
    state = {i: db.get(i) for i in db.ids()}
    del db
    reopened = Database(path)
    assert {i: reopened.get(i) for i in reopened.ids()} == state
