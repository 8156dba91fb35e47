"""Every stored vector is returned by a search for itself: a database that walks its graph
(just above ten million live floats) finds each of its vectors at the default beam,
outliers added later far from every cluster among them, at the default and at small
construction parameters, and again after deletions and after a compaction rebuilds the
graph.

The data: 10,000 points of a 12-d latent space with 25 clusters projected into 1024-d
(as embeddings tend to be), then 24 outliers drawn around the mean with four times the
data's spread in every coordinate, added in a batch of their own.
"""

from __future__ import annotations

import numpy as np
import pytest

from _dralm import Database

N, DIM, OUTLIERS, LATENT = 10_000, 1024, 24, 12


def data() -> np.ndarray:
    rng = np.random.default_rng(24)
    centres = rng.normal(size=(25, LATENT))
    latent = centres[rng.integers(0, 25, size=N)] + 0.4 * rng.normal(size=(N, LATENT))
    projection = rng.normal(size=(LATENT, DIM)) / np.sqrt(LATENT)
    points = latent @ projection + 0.01 * rng.normal(size=(N, DIM))
    far = points.mean(0) + 4 * points.std(0) * rng.normal(size=(OUTLIERS, DIM))
    return np.vstack([points, far]).astype(np.float32)


def missed(db: Database, ids: list[str], vectors: np.ndarray) -> list[str]:
    """The ids that a one-result search for their own vector (default beam) does not
    return (the data holds no two vectors at distance 0)."""
    found = db.search_many(vectors, k=1)
    return [i for i, hits in zip(ids, found) if not hits or hits[0].id != i]


# (16, 200) are a new database's defaults; m 12 / ef_construction 48 left 2 of 20
# outliers that no search found, whatever its beam, and under cosine one of 10,024.
@pytest.mark.parametrize(
    "metric, m, ef_construction",
    [("l2", 16, 200), ("l2", 12, 48), ("cosine", 12, 48)],
)
def test_every_vector_finds_itself_after_deletes_and_compaction(tmp_path, metric, m,
                                                                ef_construction):
    vectors = data()
    ids = [f"v{i}" for i in range(len(vectors))]
    db = Database(str(tmp_path / "db"), dim=DIM, metric=metric, m=m,
                  ef_construction=ef_construction)
    db.add_many(ids[:N], vectors[:N])
    db.add_many(ids[N:], vectors[N:])
    assert db.stats()["uses_brute_force"] is False
    assert missed(db, ids, vectors) == []

    # Deleted vectors stay in the graph until a compaction rebuilds it without them; the
    # live ones are found either way (still above the exact-scan threshold).
    gone = set(range(0, N, 500))
    assert db.delete_many([ids[i] for i in sorted(gone)]) == len(gone)
    live = [i for i in range(len(vectors)) if i not in gone]
    live_ids = [ids[i] for i in live]
    assert missed(db, live_ids, vectors[live]) == []
    db.compact()
    assert db.stats()["uses_brute_force"] is False
    assert missed(db, live_ids, vectors[live]) == []
