"""Filtered search on a database that walks its graph: the exact path of selective filters
equals a NumPy brute force (every operator kind, deletions, max_distance, search and
search_many), a broad filter walks the graph, and matches far from the query are found.

The database has 101,000 vectors of 100 floats, about 100,850 of them live (just above
ten million live floats, so it walks its graph), built with a small m and beam so the
module stays cheap.
"""

import numpy as np
import pytest

from _dralm import Database

N, DIM = 101_000, 100


@pytest.fixture(scope="module")
def graph_db(tmp_path_factory):
    rng = np.random.default_rng(14)
    # Points of a 12-d latent space projected into 100-d, as embeddings tend to be (i.i.d.
    # noise in 100-d has no meaningful neighbours), in two halves apart: side 0 around
    # -0.75, side 1 around +0.75 in every latent coordinate (apart, but overlapping enough
    # that a graph this sparse still links them).
    side = (np.arange(N) >= N // 2).astype(np.int64)
    projection = rng.normal(size=(12, DIM)) / np.sqrt(12)

    def embed(latent):
        return (latent @ projection + 0.01 * rng.normal(size=(len(latent), DIM))).astype(np.float32)

    data = embed(rng.normal(size=(N, 12)) + np.where(side[:, None] == 1, 0.75, -0.75))
    price = rng.random(N)
    metadatas = [{"g": i % 2000, "side": int(side[i]), "price": float(price[i]),
                  "c": "b" if i % 1000 == 7 else "a", "n": {"g": i % 2000}} for i in range(N)]
    db = Database(str(tmp_path_factory.mktemp("filtered") / "db"), dim=DIM, metric="l2", m=8,
                  ef_construction=32)
    db.add_many([str(i) for i in range(N)], data, metadatas)
    # Deleted slots among every filter's matches: 0, 2000, 4000, ... carry g = 0.
    deleted = list(range(0, N, 997)) + list(range(0, N, 2000))
    db.delete_many([str(i) for i in sorted(set(deleted))])
    assert db.stats()["uses_brute_force"] is False
    live = np.ones(N, dtype=bool)
    live[sorted(set(deleted))] = False
    queries = embed(rng.normal(size=(8, 12)) - 0.75)
    return db, data, live, metadatas, queries


def brute_force(data, live, keep, query, k, bound=None):
    d = ((data.astype(np.float64) - query.astype(np.float64)) ** 2).sum(1)
    d[~(live & keep)] = np.inf
    order = np.argsort(d, kind="stable")[:k]
    return [str(i) for i in order if np.isfinite(d[i]) and (bound is None or d[i] <= bound)]


def ids(hits):
    return [h.id for h in hits]


# Selective filters of every operator kind (each matches at most a few hundred slots),
# with the beam they are searched with. Equality and $in come from the metadata index as
# candidate sets: with ef 1 a graph walk would miss most of the true neighbours, so
# exact answers show the exact path. Range and $ne filters are evaluated on every slot
# before an exact scan, which pays only against a walk of a real beam: the default.
SELECTIVE = [
    ("eq", {"g": 7}, lambda m: m["g"] == 7, 1),
    ("in", {"g": {"$in": [0, 11, 1999]}}, lambda m: m["g"] in (0, 11, 1999), 1),
    ("range", {"price": {"$lt": 0.004}}, lambda m: m["price"] < 0.004, None),
    ("range-pair", {"price": {"$gte": 0.5, "$lte": 0.503}},
     lambda m: 0.5 <= m["price"] <= 0.503, None),
    ("ne", {"c": {"$ne": "a"}}, lambda m: m["c"] != "a", None),
    ("and", {"g": {"$in": [1, 2, 3, 4]}, "price": {"$gt": 0.3}},
     lambda m: m["g"] in (1, 2, 3, 4) and m["price"] > 0.3, 1),
    # $or of equalities and $in is the union of their candidate sets, a nested path is
    # indexed like a top-level field, and $and intersects: all exact at ef 1.
    ("or", {"$or": [{"g": 7}, {"g": {"$in": [11, 1999]}}, {"n.g": 13}]},
     lambda m: m["g"] in (7, 11, 13, 1999), 1),
    ("nested", {"n.g": 17}, lambda m: m["n"]["g"] == 17, 1),
    ("and-list", {"$and": [{"$or": [{"g": 1}, {"g": 2}]}, {"price": {"$gt": 0.3}}]},
     lambda m: m["g"] in (1, 2) and m["price"] > 0.3, 1),
    # $nin, and an $or with a range, are evaluated per vector.
    ("nin", {"c": {"$nin": ["a"]}}, lambda m: m["c"] != "a", None),
    ("or-range", {"$or": [{"g": 5}, {"price": {"$lt": 0.002}}]},
     lambda m: m["g"] == 5 or m["price"] < 0.002, None),
]


@pytest.mark.parametrize("name,where,predicate,ef", SELECTIVE, ids=[s[0] for s in SELECTIVE])
def test_selective_filters_are_answered_exactly(graph_db, name, where, predicate, ef):
    db, data, live, metadatas, queries = graph_db
    keep = np.array([predicate(m) for m in metadatas])
    assert 10 < (keep & live).sum() < 1000
    many = db.search_many(queries, k=10, ef_search=ef, where_filter=where)
    for query, batch in zip(queries, many):
        truth = brute_force(data, live, keep, query, 10)
        single = db.search(query, k=10, ef_search=ef, where_filter=where)
        assert ids(single) == truth
        assert ids(batch) == truth
        assert [h.distance for h in single] == [h.distance for h in batch]
        # A bound at the fifth distance keeps exactly the first five.
        bound = single[4].distance
        bounded = db.search(query, k=10, ef_search=ef, where_filter=where, max_distance=bound)
        assert ids(bounded) == truth[:5]


def test_fifty_matches_among_a_hundred_thousand_take_the_exact_path(graph_db):
    db, data, live, metadatas, queries = graph_db
    keep = np.array([m["g"] == 1234 for m in metadatas])
    assert (keep & live).sum() == 50
    for query in queries:
        assert ids(db.search(query, k=50, ef_search=1, where_filter={"g": 1234})) == \
            brute_force(data, live, keep, query, 50)


def test_a_broad_filter_walks_the_graph(graph_db):
    db, data, live, metadatas, queries = graph_db
    # Half of all slots match. At ef 1 the walk's beam is k = 10 wide: it still returns
    # ten matches, but not always the exact ten an exact scan would give.
    keep = np.array([m["price"] < 0.5 for m in metadatas])
    exact = 0
    for query in queries:
        hits = db.search(query, k=10, ef_search=1, where_filter={"price": {"$lt": 0.5}})
        assert len(hits) == 10 and all(h.metadata["price"] < 0.5 for h in hits)
        exact += ids(hits) == brute_force(data, live, keep, query, 10)
    assert exact < len(queries)
    # The default beam finds them.
    found = db.search_many(queries, k=10, where_filter={"price": {"$lt": 0.5}})
    recall = np.mean([len(set(ids(h)) & set(brute_force(data, live, keep, q, 10))) / 10
                      for q, h in zip(queries, found)])
    assert recall >= 0.9


def test_matches_on_the_far_side_are_found(graph_db):
    db, data, live, metadatas, queries = graph_db
    # The queries lie in side 0; side 1 (half of all slots) is far away. A beam filtered
    # after the walk held no match at all; the filter-aware walk crosses over.
    keep = np.array([m["side"] == 1 for m in metadatas])
    for k in (1, 10, 50):
        for hits, query in zip(db.search_many(queries, k=k, where_filter={"side": 1}), queries):
            assert len(hits) == k
            assert all(h.metadata["side"] == 1 for h in hits)
        hits = db.search(queries[0], k=k, where_filter={"side": 1})
        assert len(set(ids(hits)) & set(brute_force(data, live, keep, queries[0], k))) >= 0.8 * k


@pytest.mark.parametrize("where", [{"g": 5000}, {"price": {"$gt": 2}}, {"g": {"$in": []}}, {},
                                   {"$or": [{"g": 5000}, {"n.g": "x"}]}])
def test_filters_matching_nothing_return_empty_lists(graph_db, where):
    db, _, _, _, queries = graph_db
    assert db.search(queries[0], k=10, where_filter=where) == []
    assert db.search_many(queries[:3], k=10, where_filter=where) == [[], [], []]
