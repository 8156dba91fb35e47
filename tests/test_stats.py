"""stats(): the eleven figures, checked against the graph as saved on disk (read by an
independent parser), and the brute-force threshold search uses."""

from __future__ import annotations

import os
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_persistence import read_graph  # noqa: E402

from _dralm import Database  # noqa: E402

KEYS = ["num_vectors", "num_deleted", "num_layers", "avg_degree_layer0", "max_degree_layer0",
        "min_degree_layer0", "memory_vectors_bytes", "memory_graph_bytes",
        "memory_quantized_bytes", "uses_brute_force", "uses_quantized_search",
        "quantized_search_bits"]


def figures_from_file(path, dim, bits):
    """What stats() must say, computed from the saved graph."""
    g = read_graph(path)
    deleted = set(g.deleted)
    live = [layers for slot, layers in enumerate(g.nodes) if slot not in deleted]
    degrees = [len(layers[0]) for layers in live]
    n = len(g.nodes)
    if n == 0:
        return dict(zip(KEYS, [0, len(deleted), 0, 0.0, 0, 0, 0, 0, 0, True, bits > 0, bits]))
    return {
        "num_vectors": len(live),
        "num_deleted": len(deleted),
        "num_layers": g.max_level + 1,
        "avg_degree_layer0": sum(degrees) / len(live) if live else 0.0,
        "max_degree_layer0": max(degrees, default=0),
        "min_degree_layer0": min(degrees, default=0),
        "memory_vectors_bytes": 4 * n * dim,
        "memory_graph_bytes": 4 * sum(len(lst) for layers in g.nodes for lst in layers),
        # Parameters, then a byte a code, or two 4-bit codes a byte.
        "memory_quantized_bytes": dim * 8 + n * ((dim * bits + 7) // 8) if bits else 0,
        "uses_brute_force": len(live) * dim < 10_000_000,
        "uses_quantized_search": bits > 0,
        "quantized_search_bits": bits,
    }


def test_empty_database(make_db):
    stats = make_db(dim=7).stats()
    assert list(stats) == KEYS
    assert stats == dict(zip(KEYS, [0, 0, 0, 0.0, 0, 0, 0, 0, 0, True, False, 0]))
    assert [type(v) for v in stats.values()] == [int] * 3 + [float] + [int] * 5 + [bool] * 2 + [int]


@pytest.mark.parametrize("bits", [0, 8, 4])
@pytest.mark.parametrize("m", [2, 5, 16])
def test_figures_match_the_saved_graph(db_path, m, bits):
    dim = 6
    rng = np.random.default_rng(m)
    db = Database(db_path, dim=dim, m=m, ef_construction=40)
    db.add_many([str(i) for i in range(400)], rng.standard_normal((400, dim)).astype(np.float32))
    for i in range(0, 400, 5):
        db.delete(str(i))
    if bits:
        db.enable_quantized_search(bits=bits)
    stats = db.stats()
    db.save()
    assert stats == figures_from_file(db_path, dim, bits)
    assert stats["num_vectors"] + stats["num_deleted"] == db.total_slots
    assert stats["max_degree_layer0"] <= 2 * m
    assert Database(db_path).stats()["memory_graph_bytes"] == stats["memory_graph_bytes"]


def test_deleted_slots_count_until_compaction(make_db):
    db = make_db(dim=4)
    db.add_many([str(i) for i in range(30)], np.ones((30, 4), dtype=np.float32))
    full = db.stats()
    db.delete_many([str(i) for i in range(10)])
    stats = db.stats()
    assert (stats["num_vectors"], stats["num_deleted"]) == (20, 10)
    assert stats["memory_vectors_bytes"] == full["memory_vectors_bytes"] == 30 * 4 * 4
    assert stats["memory_graph_bytes"] == full["memory_graph_bytes"]
    db.compact()
    stats = db.stats()
    assert (stats["num_deleted"], stats["memory_vectors_bytes"]) == (0, 20 * 4 * 4)


def test_every_vector_deleted(db_path):
    db = Database(db_path, dim=2)
    db.add_many(["a", "b", "c"], [[1, 0], [0, 1], [1, 1]])
    db.delete_many(["a", "b", "c"])
    stats = db.stats()
    assert stats["num_vectors"] == 0 and stats["num_deleted"] == 3
    assert (stats["avg_degree_layer0"], stats["max_degree_layer0"],
            stats["min_degree_layer0"]) == (0.0, 0, 0)
    assert stats["num_layers"] >= 1 and stats["memory_vectors_bytes"] == 24
    db.save()
    assert stats == figures_from_file(db_path, 2, 0)


def test_brute_force_until_ten_million_live_floats(make_db):
    # 1,000 x 10,000 = 10,000,000 live floats: not below the limit, so the graph is used.
    dim, count = 10_000, 1_000
    db = make_db(dim=dim, m=2, ef_construction=2)
    data = np.zeros((count, dim), dtype=np.float32)
    data[np.arange(count), np.arange(count)] = 1.0
    db.add_many([str(i) for i in range(count)], data)
    stats = db.stats()
    assert stats["uses_brute_force"] is False and stats["num_vectors"] == count
    db.delete("0")
    assert db.stats()["uses_brute_force"] is True


@pytest.mark.parametrize("metric", ["l2", "cosine"])
@pytest.mark.parametrize("batch", [False, True], ids=["single", "batch"])
@pytest.mark.parametrize("m", [2, 3])
def test_lists_stay_within_their_cap_and_reopen(db_path, m, batch, metric):
    # Tight clusters of uneven spread make hubs: nodes that are the nearest known
    # neighbour of many others and the last way in for some. Their lists must still
    # hold at most 2 m links, or the saved graph would be refused at the next open.
    rng = np.random.default_rng(m)
    dim, n = 16, 2000
    centres = 5 * rng.standard_normal((20, dim))
    spread = rng.uniform(0.01, 1.0, (n, 1))
    data = (centres[rng.integers(0, 20, n)] + spread * rng.standard_normal((n, dim)))
    data = data.astype(np.float32)
    ids = [str(i) for i in range(n)]
    db = Database(db_path, dim=dim, metric=metric, m=m, ef_construction=16)
    if batch:
        db.add_many(ids, data)
    else:
        for i in range(n):
            db.add(ids[i], data[i])
    assert db.stats()["max_degree_layer0"] <= 2 * m
    db.save()
    db.close()
    assert len(Database(db_path, read_only=True)) == n
