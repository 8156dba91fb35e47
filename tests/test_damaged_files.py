"""Damaged saved files: every damage is a clear ValueError (the I/O message when `dim`
is given, the not-found message without it), never a crash. Each batch of damaged
directories is opened in a child process, so a crash shows as a signal instead of
taking the test run down."""

from __future__ import annotations

import json
import os
import random
import shutil
import struct
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_persistence import Graph, parse_graph  # noqa: E402

from _dralm import Database  # noqa: E402

NOT_FOUND = "database not found \u2014 specify dim to create a new one"
EOF_TEXT = "io error: failed to fill whole buffer"
DIM = 3

# Opens every directory named on stdin twice (with and without dim); when the open with
# dim works, uses the database in every way that reads the loaded structures.
CHILD = r"""
import json, sys, _dralm
out = []
for path in json.load(sys.stdin):
    row = {}
    for with_dim in (True, False):
        try:
            db = _dralm.Database(path, dim=3) if with_dim else _dralm.Database(path)
        except ValueError as e:
            row["dim" if with_dim else "bare"] = str(e)
            continue
        row["dim" if with_dim else "bare"] = None
        if not with_dim:
            continue
        ids = db.ids()
        row["got"] = {i: db.get(i) for i in ids}
        db.search([0.5, -0.5, 1.0], k=5)
        db.search([0.5, -0.5, 1.0], k=5, where_filter={"n": 1})
        db.enable_quantized_search()
        db.search([0.5, -0.5, 1.0], k=5)
        row["stats"] = db.stats()
        db.add("fresh", [1.0, 2.0, 3.0])
        for i in ids[:3]:
            db.update(i, [0.0, 0.0, 1.0])
            db.delete(i)
        db.compact()
        db.save()
        row["after"] = len(_dralm.Database(path))
    out.append(row)
print(json.dumps(out))
"""


def open_in_child(paths):
    proc = subprocess.run([sys.executable, "-c", CHILD], input=json.dumps(paths),
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, f"child exited {proc.returncode}: {proc.stderr[-2000:]}"
    return json.loads(proc.stdout.strip().splitlines()[-1])


@pytest.fixture(scope="module")
def base(tmp_path_factory):
    """A small saved database: five slots over two layers, one deleted, metadata and a
    non-ASCII id, saved with quantize so that vectors.sq8 exists."""
    path = str(tmp_path_factory.mktemp("base") / "db")
    db = Database(path, dim=DIM, metric="l2", m=2, ef_construction=8, quantize=True)
    for i in range(5):
        db.add(f"id{i}" if i != 3 else "\u00e9t\u00e9", [float(i), float(-i), 1.0],
               {"n": i % 2})
    db.delete("id1")
    db.save()
    return path


def read(path, name):
    with open(os.path.join(path, name), "rb") as f:
        return f.read()


class Cases:
    """Damaged copies of the base directory, one per case."""

    def __init__(self, base, root):
        self.base, self.root, self.names, self.paths = base, root, [], []

    def add(self, name, **files):
        path = os.path.join(self.root, f"case{len(self.paths)}")
        shutil.copytree(self.base, path)
        for file_name, data in files.items():
            target = os.path.join(path, file_name.replace("_", "."))
            if data is None:
                os.remove(target)
            else:
                with open(target, "wb") as f:
                    f.write(data)
        self.names.append(name)
        self.paths.append(path)

    def run(self):
        return dict(zip(self.names, open_in_child(self.paths)))


def assert_refused(result, name, message=None):
    assert result["bare"] == NOT_FOUND, name
    assert result["dim"] is not None, f"{name}: damaged files were accepted"
    assert result["dim"].startswith("io error: "), f"{name}: {result['dim']}"
    if message is not None:
        assert result["dim"] == message, name


def test_graph_cut_at_every_byte(base, tmp_path):
    graph = read(base, "graph.dralm")
    cases = Cases(base, str(tmp_path))
    for cut in range(len(graph)):
        cases.add(f"cut {cut}", graph_dralm=graph[:cut])
    for name, result in cases.run().items():
        assert_refused(result, name, EOF_TEXT)


def test_every_header_byte_flipped(base, tmp_path):
    graph = read(base, "graph.dralm")
    cases = Cases(base, str(tmp_path))
    for i in range(37):
        cases.add(i, graph_dralm=graph[:i] + bytes([graph[i] ^ 0xFF]) + graph[i + 1:])
    results = cases.run()
    for i, result in results.items():
        if 17 <= i < 21:  # ef_construction: every value is a setting, not damage
            assert result["dim"] is None and result["after"] == 2
        elif 13 <= i < 17 and result["dim"] is None:  # a larger m that still fits
            assert result["after"] == 2
        else:
            assert_refused(result, f"byte {i}")
    assert results[0]["dim"] == "io error: bad graph magic"
    assert results[4]["dim"] == "io error: unsupported graph version: 253"
    assert results[12]["dim"] == "io error: unknown metric: 254"
    assert results[13]["dim"] is None  # m 253


def test_format_messages(base, tmp_path):
    g = parse_graph(read(base, "graph.dralm"))
    cases = Cases(base, str(tmp_path))

    def variant(name, **changes):
        h = Graph(**{**g.__dict__, **changes})
        cases.add(name, graph_dralm=h.encode())

    variant("magic", magic=0, version=7)
    variant("version", version=1)
    variant("metric", metric=3)
    variant("meta magic", meta_magic=0x12345678)
    variant("bad utf-8", entries=[(0, b"a\xffb", b"")] + g.entries[1:])
    variant("cut utf-8", entries=[(0, b"ab\xe2\x82", b"")] + g.entries[1:])
    results = cases.run()
    assert_refused(results["magic"], "magic", "io error: bad graph magic")
    assert_refused(results["version"], "version", "io error: unsupported graph version: 1")
    assert_refused(results["metric"], "metric", "io error: unknown metric: 3")
    assert_refused(results["meta magic"], "meta magic", "io error: bad metadata section magic")
    assert_refused(results["bad utf-8"], "bad utf-8",
                   "io error: invalid utf-8 sequence of 1 bytes from index 1")
    assert_refused(results["cut utf-8"], "cut utf-8",
                   "io error: incomplete utf-8 byte sequence from index 2")


def test_slots_and_counts_out_of_range(base, tmp_path):
    g = parse_graph(read(base, "graph.dralm"))
    n = len(g.nodes)
    cases = Cases(base, str(tmp_path))

    def variant(name, **changes):
        cases.add(name, graph_dralm=Graph(**{**g.__dict__, **changes}).encode())

    def with_list(node, layer, lst):
        nodes = [[list(x) for x in layers] for layers in g.nodes]
        nodes[node][layer] = lst
        return nodes

    variant("entry point", entry=n)
    variant("no entry point", entry=0xFFFFFFFF)
    variant("max level", max_level=g.max_level + 1)
    variant("deleted slot", deleted=[n])
    variant("neighbour slot", nodes=with_list(0, 0, [n]))
    variant("list over cap", nodes=with_list(0, 0, [1, 2, 3, 4, 1]))
    variant("entry slot", entries=[(n, b"x", b"")] + g.entries[1:])
    variant("entry on deleted slot", entries=[(g.deleted[0], b"x", b"")] + g.entries[1:])
    variant("no layers", nodes=[[]] + g.nodes[1:])
    variant("m below 2", m=1)
    variant("dim 0", dim=0)
    graph = g.encode()
    for name, offset in [("node count", 29), ("deleted count", 33)]:
        cases.add(name, graph_dralm=graph[:offset] + b"\xff" * 4 + graph[offset + 4:])
    meta_at = len(graph) - sum(12 + len(i) + len(t) for _, i, t in g.entries) - 8
    cases.add("entry count", graph_dralm=graph[:meta_at + 4] + b"\xff" * 4 + graph[meta_at + 8:])
    cases.add("id length", graph_dralm=graph[:meta_at + 12] + b"\xff" * 4 + graph[meta_at + 16:])
    for name, result in cases.run().items():
        assert_refused(result, name)


def test_data_files_of_the_wrong_size(base, tmp_path):
    vectors = read(base, "vectors.bin")
    sq8 = read(base, "vectors.sq8")
    cases = Cases(base, str(tmp_path))
    for delta in (-4, 4, -1, 1, 4 * (DIM + 1)):
        cases.add(f"vectors {delta}",
                  vectors_bin=vectors[:delta] if delta < 0 else vectors + b"\0" * delta)
    cases.add("vectors empty", vectors_bin=b"")
    cases.add("sq8 3 bytes", vectors_sq8=sq8[:3])
    cases.add("sq8 parameters cut", vectors_sq8=sq8[:4 + 8 * DIM - 1])
    cases.add("sq8 other dim", vectors_sq8=struct.pack("<I", DIM + 1) + sq8[4:])
    cases.add("sq8 code short", vectors_sq8=sq8[:-1])
    cases.add("sq8 code long", vectors_sq8=sq8 + b"\0")
    results = cases.run()
    for name, result in results.items():
        assert_refused(result, name)
    assert results["sq8 3 bytes"]["dim"] == EOF_TEXT
    assert results["sq8 parameters cut"]["dim"] == EOF_TEXT


def test_metadata_that_is_not_json_loads_as_none(base, tmp_path):
    g = parse_graph(read(base, "graph.dralm"))
    entries = [(slot, ident, b"{not json" if ident == b"id0" else text)
               for slot, ident, text in g.entries]
    cases = Cases(base, str(tmp_path))
    cases.add("text", graph_dralm=Graph(**{**g.__dict__, "entries": entries}).encode())
    result = cases.run()["text"]
    assert result["dim"] is None
    assert result["got"]["id0"] == [[0.0, 0.0, 1.0], None]
    assert result["got"]["id2"] == [[2.0, -2.0, 1.0], {"n": 0}]


def test_live_slot_whose_entry_is_lost_is_dropped_not_returned(base, tmp_path):
    # A smaller entry count (one flipped bit) drops the last entry without any other
    # sign of damage. The slot it named must not come back from a search under no id,
    # nor under the empty id, which is a valid id of its own.
    g = parse_graph(read(base, "graph.dralm"))
    lost_slot, lost_id, _ = g.entries[-1]
    path = str(tmp_path / "db")
    shutil.copytree(base, path)
    with open(os.path.join(path, "graph.dralm"), "wb") as f:
        f.write(Graph(**{**g.__dict__, "entries": g.entries[:-1]}).encode())
    db = Database(path, dim=DIM)
    kept = {ident.decode() for _, ident, _ in g.entries[:-1]}
    assert set(db.ids()) == kept and len(db) == len(kept)
    assert (db.total_slots, db.deleted_count) == (5, 2)
    db.add("", [float(lost_slot), float(-lost_slot), 1.0])
    hits = db.search([float(lost_slot), float(-lost_slot), 1.0], k=10)
    assert sorted(h.id for h in hits) == sorted(kept | {""})
    assert db.get("")[0] == [float(lost_slot), float(-lost_slot), 1.0]
    assert lost_id.decode() not in db
    db.compact()
    assert db.total_slots == len(kept) + 1


def test_quantizer_of_an_empty_database_has_no_codes(tmp_path):
    path = str(tmp_path / "db")
    with Database(path, dim=DIM, quantize=True):
        pass
    assert os.path.getsize(os.path.join(path, "vectors.sq8")) == 4 + 8 * DIM
    db = Database(path)
    assert db.quantized_search and len(db) == 0 and db.search([1, 2, 3]) == []


# ---- Random damage.


def mutate(rng, data):
    data = bytearray(data)
    kind = rng.randrange(4)
    if not data or kind == 0:
        return bytes(data[:rng.randrange(len(data) + 1)])
    if kind == 1:
        for _ in range(rng.randint(1, 4)):
            data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
    elif kind == 2:
        at = rng.randrange(len(data))
        data[at:at + 4] = struct.pack("<I", rng.choice([0, 1, 0xFFFFFFFF, 0x7FFFFFFF,
                                                        rng.getrandbits(32)]))
    else:
        at = rng.randrange(len(data))
        data[at:at] = bytes(rng.getrandbits(8) for _ in range(rng.randint(1, 8)))
    return bytes(data)


# One seed runs in the fast suite; the rest are long.
@pytest.mark.parametrize("seed", [0] + [pytest.param(s, marks=pytest.mark.slow)
                                        for s in range(1, 12)])
def test_random_damage_never_crashes(base, tmp_path, seed):
    rng = random.Random(seed)
    names = ["graph.dralm", "vectors.bin", "vectors.sq8"]
    originals = {name: read(base, name) for name in names}
    cases = Cases(base, str(tmp_path))
    for i in range(150):
        damaged = rng.sample(names, rng.randint(1, 2))
        cases.add(i, **{name.replace(".", "_"): mutate(rng, originals[name])
                        for name in damaged})
    for i, result in cases.run().items():
        if result["dim"] is not None:
            assert result["dim"].startswith("io error: "), result["dim"]
            assert result["bare"] == NOT_FOUND
