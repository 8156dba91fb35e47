"""A sharded database on a local Ray cluster, with type annotations; `mypy --strict`
checks it. Run it with `python examples/sharded_usage.py` (needs `pip install dralm[ray]`)."""

from __future__ import annotations

import os
import tempfile

import numpy as np
import ray

from dralm.ray import SearchResult, ShardedDatabase, ShardedStats


def main() -> None:
    # A cluster of this machine alone, listening on loopback only. On a real cluster
    # call ray.init(address="auto") and give a path every node can reach.
    os.environ.setdefault("RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER", "0")
    ray.init(num_cpus=2, include_dashboard=False)
    path = tempfile.mkdtemp()
    rng = np.random.default_rng(0)
    vectors = rng.random((1000, 32), dtype=np.float32)
    with ShardedDatabase(path, dim=32, metric="l2", shards=2) as db:
        db.add_many([f"v{i}" for i in range(1000)], vectors,
                    [{"even": i % 2 == 0} for i in range(1000)])
        db.upsert("extra", vectors[0], {"even": True})
        db.update("v1", metadata={"even": False, "seen": 1})
        removed: bool = db.delete("extra")
        gone: int = db.delete_many(["v2", "v3", "missing"])
        hits: list[SearchResult] = db.search(vectors[10], k=5, where_filter={"even": True})
        batches: list[list[SearchResult]] = db.search_many(vectors[:256], k=10)
        vector, metadata = db.get("v10")
        stats: ShardedStats = db.stats()
        print(hits[0].id, hits[0].distance, len(batches), len(vector), metadata,
              removed, gone, len(db), db.count({"even": True}), stats["num_vectors"],
              [shard["num_vectors"] for shard in stats["shards"]])
    db.close()
    # Reopening needs only the path: the manifest holds the shard count and parameters.
    again = ShardedDatabase(path)
    assert again.shards == 2 and "v10" in again
    again.close()
    ray.shutdown()


if __name__ == "__main__":
    main()
