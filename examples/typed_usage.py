"""Uses every method of dralm with type annotations; `mypy --strict` checks it."""

from __future__ import annotations

import pathlib
import tempfile

import numpy as np

import dralm


def main() -> None:
    path = tempfile.mkdtemp()
    db = dralm.Database(path, dim=3, metric="l2", m=16, ef_construction=200, quantize=True)
    db.add("a", [1.0, 2.0, 3.0], {"tag": "x"})
    db.upsert("b", np.array([3.0, 2.0, 1.0], dtype=np.float32))
    db.add_many(["c", "d"], np.ones((2, 3), dtype=np.float32), [{"n": 1}, None])
    db.upsert_many(["d", "e"], [[0.0, 0.0, 1.0], [1.0, 0.0, 0.0]])
    db.update("a", metadata={"tag": "y"})
    removed: bool = db.delete("e")
    count: int = db.delete_many(["d", "zz"])
    hits: list[dralm.SearchResult] = db.search([1.0, 2.0, 3.0], k=2, where_filter={"tag": "y"})
    batches = db.search_many(np.zeros((2, 3), dtype=np.float32), k=1, max_distance=100.0)
    best: str = hits[0].id
    distance: float = hits[0].distance
    vector, metadata = db.get("a")
    ids: list[str] = db.ids()
    matching: int = db.count({"tag": {"$in": ["x", "y"]}})
    found: list[str] = db.ids_matching({"tag": "y"})
    hit_ids, hit_distances = db.search_arrays(np.zeros((2, 3), dtype=np.float32), k=2)
    nearest: object = hit_ids[0, 0]
    rows, metadatas = db.get_many(["a", "b"])
    width: int = rows.shape[1]
    exported = sum(len(ids) for ids, _, _ in db.export(batch_size=2))
    db.enable_quantized_search()
    quantized: bool = db.quantized_search
    db.disable_quantized_search()
    stats = db.stats()
    layers: int = stats["num_layers"]
    db.compact()
    db.save()
    db.close()
    with dralm.Database(pathlib.Path(path)) as reopened:
        print(len(reopened), "a" in reopened, reopened.dim, reopened.metric,
              reopened.deleted_count, reopened.total_slots)
    print(removed, count, best, distance, len(batches), vector, metadata, ids, matching,
          quantized, layers, dralm.__version__, found, nearest, float(hit_distances[0, 0]),
          width, metadatas, exported)


if __name__ == "__main__":
    main()
