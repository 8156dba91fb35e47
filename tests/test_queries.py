"""search, search_many and the quantized-search switches from Python: exact answers
on small databases (brute force), the filter and distance-bound rules, batch/single
agreement, concurrency, and recall of the graph path on a database above ten
million live floats."""

import math
import os
import struct
import tempfile
import threading

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from _dralm import Database

METRICS = ["cosine", "euclidean", "dot_product"]


def numpy_distances(metric, data, query):
    data = data.astype(np.float64)
    query = np.asarray(query, dtype=np.float64)
    if metric == "euclidean":
        return ((data - query) ** 2).sum(axis=1)
    if metric == "dot_product":
        return -(data @ query)
    norms = np.linalg.norm(data, axis=1) * np.linalg.norm(query)
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.where(norms == 0, 1.0, 1.0 - (data @ query) / norms)


def ids_of(hits):
    return [h.id for h in hits]


def same_hits(a, b):
    return [(h.id, h.distance, h.metadata) for h in a] == [(h.id, h.distance, h.metadata) for h in b]


@pytest.fixture
def line(db_path):
    """Points (i, 0) for i in 0..19 under l2, so squared distances are exact."""
    db = Database(db_path, dim=2, metric="l2")
    db.add_many([f"p{i}" for i in range(20)], [[i, 0] for i in range(20)],
                [{"parity": i % 2, "i": i} for i in range(20)])
    return db


@pytest.mark.parametrize("metric", METRICS)
def test_small_database_answers_exactly(make_db, metric):
    rng = np.random.default_rng(3)
    data = rng.normal(size=(300, 12)).astype(np.float32)
    db = make_db(dim=12, metric=metric)
    db.add_many([str(i) for i in range(300)], data)
    for query in rng.normal(size=(5, 12)).astype(np.float32):
        hits = db.search(query, k=7)
        truth = numpy_distances(metric, data, query)
        order = np.argsort(truth, kind="stable")[:7]
        assert ids_of(hits) == [str(i) for i in order]
        np.testing.assert_allclose([h.distance for h in hits], truth[order], rtol=1e-4, atol=1e-5)


def test_default_k_is_ten_and_results_carry_metadata(line):
    hits = line.search([5.25, 0])
    assert len(hits) == 10
    assert ids_of(hits[:3]) == ["p5", "p6", "p4"]
    assert [h.distance for h in hits[:3]] == [0.0625, 0.5625, 1.5625]
    assert hits[0].metadata == {"i": 5, "parity": 1}


@pytest.mark.parametrize("k,expected", [(0, 0), (1, 1), (20, 20), (10**6, 20)])
def test_k_bounds_the_number_of_hits(line, k, expected):
    assert len(line.search([3, 0], k=k)) == expected
    assert len(line.search([3, 0], k=k, ef_search=1)) == expected


def test_max_distance_keeps_a_hit_at_the_bound(line):
    # distances from (0, 0): 0, 1, 4, 9, ... ; the bound equals the second one
    assert ids_of(line.search([0, 0], k=3, max_distance=1.0)) == ["p0", "p1"]
    assert len(line.search([0, 0], k=2, max_distance=1e9)) == 2, "a bound never widens"
    assert line.search([0, 0], k=5, max_distance=-0.5) == []
    assert ids_of(line.search([0, 0], k=2, max_distance=float("inf"))) == ["p0", "p1"]


@pytest.mark.parametrize("nan", [float("nan"), np.float32("nan"), np.float64("-nan")])
@pytest.mark.parametrize("call", [
    lambda db, bound: db.search([0, 0], max_distance=bound),
    lambda db, bound: db.search([0, 0], 3, 50, {"parity": 1}, bound),
    lambda db, bound: db.search_many([[0, 0], [1, 0]], max_distance=bound),
    lambda db, bound: db.search_many([[0, 0]], where_filter={"i": {"$lt": 3}}, max_distance=bound),
], ids=["search", "filtered search", "search_many", "filtered search_many"])
def test_a_nan_bound_is_refused(line, call, nan):
    """No distance compares below NaN, so such a bound used to find nothing, silently."""
    with pytest.raises(ValueError) as info:
        call(line, nan)
    assert info.value.args == ("max_distance must not be NaN",)


def test_filters(line):
    assert ids_of(line.search([0, 0], k=3, where_filter={"parity": 1})) == ["p1", "p3", "p5"]
    assert ids_of(line.search([0, 0], where_filter={"i": {"$gte": 17}})) == ["p17", "p18", "p19"]
    both = {"parity": 0, "i": {"$lt": 5}}
    assert ids_of(line.search([9, 0], where_filter=both)) == ["p4", "p2", "p0"]
    assert ids_of(line.search([0, 0], k=2, where_filter={"i": {"$in": [7, 3, 99]}})) == ["p3", "p7"]
    assert line.search([0, 0], where_filter={"parity": 2}) == []
    assert line.search([0, 0], where_filter={}) == []
    assert line.search_many([[0, 0], [5, 0]], where_filter={}) == [[], []]


def test_deleted_ids_are_never_returned(line):
    line.delete_many(["p0", "p1"])
    assert ids_of(line.search([0, 0], k=3)) == ["p2", "p3", "p4"]
    assert ids_of(line.search([0, 0], k=1, where_filter={"parity": 1})) == ["p3"]
    line.add("p0", [0, 0])
    assert ids_of(line.search([0, 0], k=1)) == ["p0"]
    assert line.search([0, 0], k=1)[0].metadata is None


def test_dimension_mismatch_for_search_and_any_query_of_search_many(make_db):
    db = make_db(dim=4)
    db.add("a", [1, 2, 3, 4])
    message = ("dimension mismatch: expected 4, got 3",)
    with pytest.raises(ValueError) as info:
        db.search([1, 2, 3])
    assert info.value.args == message
    with pytest.raises(ValueError) as info:
        db.search_many([[1, 2, 3, 4], [1, 2, 3], [1, 2, 3, 4, 5]])
    assert info.value.args == message


def test_empty_database_and_empty_batches(make_db):
    db = make_db(dim=3)
    assert db.search([1, 2, 3]) == []
    assert db.search_many([[1, 2, 3], [3, 2, 1]]) == [[], []]
    assert db.search_many([]) == []
    db.add("a", [1, 2, 3])
    assert db.search_many(np.zeros((0, 3), dtype=np.float32)) == []


def test_quantized_switches(make_db):
    db = make_db(dim=4, metric="l2")
    db.enable_quantized_search()
    assert db.quantized_search is False, "nothing to train on"
    rng = np.random.default_rng(1)
    db.add_many([str(i) for i in range(50)], rng.normal(size=(50, 4)).astype(np.float32))
    exact = db.search([0.1, 0.2, 0.3, 0.4], k=5)
    db.enable_quantized_search()
    assert db.quantized_search is True
    db.add("late", [50, 50, 50, 50])  # inserted while on: codes follow new vectors
    # Reported distances are full precision whatever the traversal used.
    assert same_hits(db.search([0.1, 0.2, 0.3, 0.4], k=5), exact)
    db.disable_quantized_search()
    db.disable_quantized_search()
    assert db.quantized_search is False


# ---- search_many agrees with search (property)

FILTERS = [None, {}, {"c": 0}, {"c": {"$ne": 1}}, {"v": {"$lt": 0.0}}, {"c": {"$in": [0, 2]}, "v": {"$gte": -0.5}}]


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    n=st.integers(0, 40),
    dim=st.integers(1, 6),
    k=st.integers(0, 12),
    metric=st.sampled_from(METRICS),
    where=st.sampled_from(FILTERS),
    bound=st.one_of(st.none(), st.floats(-2, 4, width=32)),
    seed=st.integers(0, 2**32 - 1),
    deletes=st.integers(0, 10),
)
def test_search_many_equals_search_per_query(n, dim, k, metric, where, bound, seed, deletes):
    rng = np.random.default_rng(seed)
    with tempfile.TemporaryDirectory() as tmp:
        db = Database(os.path.join(tmp, "db"), dim=dim, metric=metric)
        if n:
            db.add_many([f"v{i}" for i in range(n)], rng.normal(size=(n, dim)).astype(np.float32),
                        [{"c": i % 3, "v": float(rng.normal())} if i % 4 else None for i in range(n)])
            db.delete_many([f"v{i}" for i in rng.integers(0, n, size=deletes)])
        queries = rng.normal(size=(5, dim)).astype(np.float32)
        many = db.search_many(queries, k=k, where_filter=where, max_distance=bound)
        assert len(many) == len(queries)
        for query, batch in zip(queries, many):
            single = db.search(query, k=k, where_filter=where, max_distance=bound)
            assert same_hits(batch, single)
            distances = [h.distance for h in single]
            assert distances == sorted(distances), "hits must come nearest first"
            assert len(single) <= k
            if bound is not None:
                assert all(d <= bound for d in distances)
            if where == {}:
                assert single == []


# ---- exact batches over many row blocks, with ties

@pytest.mark.parametrize("deleted", [False, True])
@pytest.mark.parametrize("metric", METRICS)
def test_exact_search_many_matches_numpy_with_ties_in_insertion_order(make_db, metric, deleted):
    # Small integers: many exact ties. Dot products are exact in float32, and so are the
    # per-pair squared differences the scan uses once something is deleted; there the
    # oracle's order (distance, then insertion order) is the engine's exactly.
    rng = np.random.default_rng(11)
    data = rng.integers(0, 3, size=(2600, 16)).astype(np.float32)
    data[1000:1010] = data[5]  # duplicates of one row
    db = make_db(dim=16, metric=metric)
    db.add_many([str(i) for i in range(len(data))], data)
    live = np.ones(len(data), dtype=bool)
    if deleted:
        gone = rng.choice(len(data), size=50, replace=False)
        db.delete_many([str(i) for i in gone])
        live[gone] = False
    queries = np.concatenate([data[[5, 17, 2599]], rng.integers(0, 3, size=(29, 16))]).astype(np.float32)
    many = db.search_many(queries, k=25)
    for query, batch in zip(queries, many):
        assert same_hits(batch, db.search(query, k=25))
        truth = numpy_distances(metric, data, query)
        truth[~live] = np.inf
        if metric == "cosine" or (metric == "euclidean" and not deleted):
            # Rounded (cosine; the expansion through the stored norms): distances only.
            np.testing.assert_allclose([h.distance for h in batch], np.sort(truth)[:25],
                                       rtol=1e-5, atol=1e-4)
        else:
            order = np.lexsort((np.arange(len(data)), truth))[:25]
            assert ids_of(batch) == [str(i) for i in order]
            assert [h.distance for h in batch] == truth[order].tolist()


# ---- threads

def test_two_threads_search_while_a_third_writes(make_db):
    db = make_db(dim=16, metric="l2")
    rng = np.random.default_rng(5)
    db.add_many([f"base{i}" for i in range(2000)], rng.normal(size=(2000, 16)).astype(np.float32),
                [{"g": i % 4} for i in range(2000)])
    errors = []
    stop = threading.Event()
    searches = [0, 0]

    def searcher(slot):
        local = np.random.default_rng(slot)
        try:
            while not stop.is_set():
                query = local.normal(size=16).astype(np.float32)
                hits = db.search(query, k=5, where_filter={"g": slot})
                assert len(hits) == 5 and all(h.metadata == {"g": slot} for h in hits)
                batch = db.search_many(local.normal(size=(4, 16)).astype(np.float32), k=3)
                assert [len(b) for b in batch] == [3, 3, 3, 3]
                searches[slot] += 1
        except Exception as error:  # reported below, in the main thread
            errors.append(error)

    def writer():
        try:
            for i in range(20):
                db.add(f"w{i}", rng.normal(size=16).astype(np.float32), {"g": 9})
                if i % 2 == 0:
                    db.delete(f"base{i}")
                if i % 10 == 0:
                    db.upsert_many([f"w{i}", f"x{i}"], rng.normal(size=(2, 16)).astype(np.float32))
        except Exception as error:
            errors.append(error)
        finally:
            stop.set()

    threads = [threading.Thread(target=searcher, args=(s,)) for s in (0, 1)]
    threads.append(threading.Thread(target=writer))
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not errors, errors
    assert all(searches), "both searchers ran"
    assert len(db) == 2000 + 20 + 2 - 10


# ---- the graph path (slow: builds 12,000 x 1000 = 12M floats)

N, DIM, CLUSTERS, LATENT = 12_000, 1000, 40, 24


@pytest.fixture(scope="module")
def big(tmp_path_factory):
    """Overlapping clusters of low intrinsic dimension (a 24-d latent space projected
    into 1000-d), as embeddings tend to be. I.i.d. noise in 1000-d would make all
    points of a cluster almost equally near (no meaningful neighbours), and clusters
    far apart would leave islands that a graph without a diversity heuristic in its
    neighbour selection cannot cross."""
    rng = np.random.default_rng(2024)
    projection = rng.normal(size=(LATENT, DIM)) / np.sqrt(LATENT)
    centers = rng.normal(size=(CLUSTERS, LATENT))

    def sample(labels):
        latent = centers[labels] + rng.normal(size=(len(labels), LATENT))
        return (latent @ projection + 0.01 * rng.normal(size=(len(labels), DIM))).astype(np.float32)

    labels = rng.integers(0, CLUSTERS, size=N)
    data = sample(labels)
    path = str(tmp_path_factory.mktemp("big") / "db")
    db = Database(path, dim=DIM, metric="l2")
    db.add_many([f"n{i}" for i in range(N)], data,
                [{"cluster": int(c), "parity": i % 2} for i, c in enumerate(labels)])
    return db, path, data, sample(rng.integers(0, CLUSTERS, size=100))


def exact_top(data, queries, k, keep=None):
    d = (queries.astype(np.float64) ** 2).sum(1)[:, None] - 2 * queries.astype(np.float64) @ \
        data.astype(np.float64).T + (data.astype(np.float64) ** 2).sum(1)[None, :]
    if keep is not None:
        d[:, ~keep] = np.inf
    return np.argsort(d, axis=1)[:, :k]


@pytest.mark.slow
def test_graph_recall_at_default_ef(big):
    db, _, data, queries = big
    assert db.stats()["uses_brute_force"] is False
    truth = exact_top(data, queries, 10)
    found = db.search_many(queries, k=10)
    recall = np.mean([len({int(h.id[1:]) for h in hits} & set(row)) / 10
                      for hits, row in zip(found, truth)])
    assert recall >= 0.9, recall
    for query, batch in zip(queries[:10], found[:10]):
        assert same_hits(db.search(query, k=10), batch)


@pytest.mark.slow
def test_graph_filtered_search_and_quantized_distances(big):
    db, _, data, queries = big
    # Half of all slots pass, so the beam of 200 holds far more than k accepted ones.
    hits = db.search(queries[0], k=10, where_filter={"parity": 1})
    assert len(hits) == 10 and all(h.metadata["parity"] == 1 for h in hits)
    keep = np.arange(N) % 2 == 1
    truth = set(exact_top(data, queries[:1], 10, keep)[0])
    assert len({int(h.id[1:]) for h in hits} & truth) >= 8
    exact = {h.id: h.distance for h in db.search(queries[1], k=10)}
    db.enable_quantized_search()
    try:
        quantized = db.search(queries[1], k=10)
        shared = [h for h in quantized if h.id in exact]
        assert len(shared) >= 5
        assert all(h.distance == exact[h.id] for h in shared), "distances are always exact"
    finally:
        db.disable_quantized_search()


@pytest.mark.slow
def test_graph_never_returns_a_deleted_entry_point(big):
    db, path, data, _ = big
    db.save()
    with open(os.path.join(path, "graph.dralm"), "rb") as f:
        header = f.read(37)
    entry = struct.unpack_from("<I", header, 21)[0]
    neighbours = exact_top(data, data[entry:entry + 1], 30)[0]
    victims = [f"n{i}" for i in neighbours]
    assert f"n{entry}" in victims
    assert db.delete_many(victims) == 30
    assert db.stats()["uses_brute_force"] is False
    for hits in db.search_many(data[neighbours[:5]], k=20):
        assert len(hits) == 20 and not set(ids_of(hits)) & set(victims)
    assert not set(ids_of(db.search(data[entry], k=50, ef_search=400))) & set(victims)
