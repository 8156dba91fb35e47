"""compact(): tombstones are reclaimed, live slots renumbered in their old order with
their ids and metadata, the quantizer retrained, the log left valid, and writers on
other threads lose nothing while it rebuilds."""

from __future__ import annotations

import os
import sys
import threading

import numpy as np
import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_persistence import read_graph, read_vectors  # noqa: E402

from _dralm import Database  # noqa: E402


def test_without_deletions_nothing_changes(db_path):
    db = Database(db_path, dim=4, m=4)
    rng = np.random.default_rng(0)
    db.add_many([str(i) for i in range(50)], rng.standard_normal((50, 4)).astype(np.float32))
    db.enable_quantized_search()
    db.save()
    with open(os.path.join(db_path, "graph.dralm"), "rb") as f:
        before = f.read()
    stats = db.stats()
    db.compact()
    assert db.stats() == stats
    db.save()
    with open(os.path.join(db_path, "graph.dralm"), "rb") as f:
        assert f.read() == before  # same slots, same lists


def test_live_slots_take_new_numbers_in_their_old_order(db_path):
    db = Database(db_path, dim=2)
    db.add("a", [1, 2], {"n": "a"})
    db.add("b", [3, 4], {"n": "b"})
    db.add("c", [5, 6])
    before = {i: db.get(i) for i in ("b", "c")}
    db.delete("a")
    db.compact()
    assert (db.total_slots, db.deleted_count, len(db)) == (2, 0, 2)
    assert {i: db.get(i) for i in ("b", "c")} == before
    assert "a" not in db
    with pytest.raises(ValueError, match="^id 'a' not found$"):
        db.get("a")
    assert db.count({"n": "b"}) == 1 and db.count({"n": "a"}) == 0
    assert [r.id for r in db.search([3, 4], k=1, where_filter={"n": "b"})] == ["b"]
    db.save()
    g = read_graph(db_path)
    assert sorted((ident, slot) for slot, ident, _ in g.entries) == [(b"b", 0), (b"c", 1)]
    assert g.deleted == [] and len(g.nodes) == 2
    vectors, _ = read_vectors(db_path, 2)
    np.testing.assert_array_equal(vectors, [[3, 4], [5, 6]])


def test_deleting_everything_leaves_an_empty_index(db_path):
    db = Database(db_path, dim=3)
    for i in range(4):
        db.add(str(i), [i, 1, 2])
    db.enable_quantized_search()
    db.delete_many([str(i) for i in range(4)])
    db.compact()
    assert (db.total_slots, db.deleted_count, len(db)) == (0, 0, 0)
    assert db.quantized_search is False
    assert db.ids() == [] and db.search([1, 1, 1]) == []
    db.save()
    g = read_graph(db_path)
    assert (g.entry, g.max_level, g.nodes, g.entries) == (0xFFFFFFFF, 0, [], [])
    db.add("again", [1, 2, 3])
    assert db.get("again") == ([1.0, 2.0, 3.0], None)


def test_quantizer_is_retrained_and_stays_on(db_path):
    db = Database(db_path, dim=4)
    rng = np.random.default_rng(1)
    db.add_many([str(i) for i in range(40)], rng.standard_normal((40, 4)).astype(np.float32))
    db.enable_quantized_search()
    db.delete_many([str(i) for i in range(10)])
    db.compact()
    assert db.quantized_search
    assert db.stats()["memory_quantized_bytes"] == 4 * 8 + 30 * 4


def test_opened_database_is_copied_out_of_the_mapping(db_path):
    db = Database(db_path, dim=2)
    db.add("gone", [9, 9])
    db.add("kept", [1, 2])
    db.save()
    reopened = Database(db_path)
    reopened.delete("gone")
    reopened.compact()
    with open(os.path.join(db_path, "vectors.bin"), "r+b") as f:
        f.write(b"\0" * 24)  # in place: a mapping would see the zeros
    assert reopened.get("kept") == ([1.0, 2.0], None)


def test_the_log_stays_valid_across_compaction(db_path):
    db = Database(db_path, dim=2)
    for i in range(6):
        db.add(str(i), [i, i], {"i": i})
    db.save()
    db.delete("0")
    db.delete("3")
    db.compact()
    db.upsert("4", [40, 40])
    db.add("6", [6, 6])
    state = {i: db.get(i) for i in db.ids()}
    del db  # no save: the log holds ids, not slots, so replay rebuilds the same state
    reopened = Database(db_path)
    assert {i: reopened.get(i) for i in reopened.ids()} == state


def test_saved_files_shrink_after_compaction(db_path):
    db = Database(db_path, dim=8, quantize=True)
    db.add_many([str(i) for i in range(100)], np.ones((100, 8), dtype=np.float32))
    db.delete_many([str(i) for i in range(60)])
    db.compact()
    db.save()
    assert os.path.getsize(os.path.join(db_path, "vectors.bin")) == 4 * 40 * 9
    assert os.path.getsize(os.path.join(db_path, "vectors.sq8")) == 4 + 8 * 8 + 40 * 8


def test_exact_search_answers_the_same_after_compaction(db_path):
    rng = np.random.default_rng(2)
    data = rng.standard_normal((200, 6)).astype(np.float32)
    db = Database(db_path, dim=6, metric="cosine")
    db.add_many([f"v{i}" for i in range(200)], data)
    db.delete_many([f"v{i}" for i in range(0, 200, 3)])
    queries = rng.standard_normal((5, 6)).astype(np.float32)
    before = [db.search(q, k=10) for q in queries]
    db.compact()
    after = [db.search(q, k=10) for q in queries]
    assert [[r.id for r in hits] for hits in after] == [[r.id for r in hits] for hits in before]
    # The batch kernel may round a row differently at another position in the store.
    np.testing.assert_allclose([[r.distance for r in hits] for hits in after],
                               [[r.distance for r in hits] for hits in before], rtol=1e-5)


def test_writers_on_other_threads_lose_nothing(db_path):
    db = Database(db_path, dim=4)
    db.add_many([f"seed{i}" for i in range(200)], np.zeros((200, 4), dtype=np.float32))
    db.delete_many([f"seed{i}" for i in range(0, 200, 2)])
    expected = {f"seed{i}": ([0.0] * 4, None) for i in range(1, 200, 2)}
    lock = threading.Lock()
    errors = []

    def writer(t):
        try:
            for i in range(120):
                ident = f"w{t}-{i}"
                vec = [float(t), float(i), 1.0, -1.0]
                db.add(ident, vec, {"t": t})
                if i % 4 == 0:
                    db.delete(ident)
                    continue
                if i % 4 == 1:
                    vec = [float(i), 0.0, 0.0, float(t)]
                    db.update(ident, vec)
                with lock:
                    expected[ident] = (vec, {"t": t})
            batch = [f"b{t}-{i}" for i in range(50)]
            db.upsert_many(batch, np.full((50, 4), t, dtype=np.float32))
            with lock:
                expected.update({b: ([float(t)] * 4, None) for b in batch})
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    def searcher(stop):
        while not stop.is_set():
            hits = db.search([1, 1, 1, 1], k=5)
            assert all(h.distance <= hits[-1].distance for h in hits)

    threads = [threading.Thread(target=writer, args=(t,)) for t in range(3)]
    stop = threading.Event()
    reader = threading.Thread(target=searcher, args=(stop,))
    for th in threads + [reader]:
        th.start()
    compactions = 0
    while any(th.is_alive() for th in threads):
        db.compact()
        compactions += 1
    for th in threads:
        th.join()
    stop.set()
    reader.join()
    db.compact()
    assert errors == [] and compactions > 0
    assert db.deleted_count == 0 and db.total_slots == len(expected)
    assert {i: db.get(i) for i in db.ids()} == expected
    db.save()
    reopened = Database(db_path)
    assert {i: reopened.get(i) for i in reopened.ids()} == expected
