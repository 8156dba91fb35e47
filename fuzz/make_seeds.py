"""Seed corpora for the fuzzers, taken from real files written by the module's save
and by its log appends (never hand-made), one directory per loader:

    python fuzz/make_seeds.py OUTDIR     # OUTDIR/graph, /vectors, /sq8, /wal

The harnesses pair graph.dralm and vectors.sq8 inputs with their own saved files of
dimension 8, so most seeds use dimension 8; a few other shapes widen the graph seeds.
"""

import os
import random
import shutil
import sys
import tempfile

import _dralm


def _db_files(tmp, name, dim, count, deletes, quantize, metric, m=16):
    rng = random.Random(hash((name, dim, count)) & 0xFFFF)
    path = os.path.join(tmp, name)
    db = _dralm.Database(path, dim=dim, metric=metric, m=m, quantize=quantize)
    ids = [f"id{i}-é" if i % 5 == 0 else f"id{i}" for i in range(count)]
    if ids:
        db.add_many(ids, [[rng.uniform(-3, 3) for _ in range(dim)] for _ in ids],
                    [None if i % 3 == 0 else {"i": i, "tag": ["a", "b"][i % 2], "x": i / 7}
                     for i in range(count)])
    for i in ids[:deletes]:
        db.delete(i)
    db.save()
    # a log on top of the save: every record kind, with and without metadata
    if count - deletes >= 3:
        db.add("late", [0.5] * dim, {"late": True})
        db.update(ids[-1], [1.0] * dim, None)
        db.update(ids[-1], None, {"new": [1, 2, 3]})
        db.upsert("late", [0.25] * dim)
        db.delete(ids[-2])
        db.delete_many([ids[-3], "absent"])
    del db
    out = {}
    for f in ("graph.dralm", "vectors.bin", "vectors.sq8", "wal.dralm"):
        p = os.path.join(path, f)
        if os.path.exists(p):
            with open(p, "rb") as fh:
                out[f] = fh.read()
    return out


def main():
    outdir = sys.argv[1]
    shapes = [  # name, dim, count, deletes, quantize, metric
        ("d8-small", 8, 5, 1, True, "euclidean"),
        ("d8-mid", 8, 60, 7, True, "cosine"),
        ("d8-batch", 8, 300, 20, True, "dot"),  # past the sequential first 128
        ("d8-empty", 8, 0, 0, True, "euclidean"),
        ("d8-all-deleted", 8, 4, 4, True, "euclidean"),
        ("d1", 1, 30, 2, False, "euclidean"),
        ("d3-m2", 3, 40, 3, False, "cosine"),
    ]
    for loader in ("graph", "vectors", "sq8", "wal"):
        os.makedirs(os.path.join(outdir, loader), exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        for name, dim, count, deletes, quantize, metric in shapes:
            files = _db_files(tmp, name, dim, count, deletes, quantize, metric,
                              m=2 if name.endswith("m2") else 16)
            for f, loader in (("graph.dralm", "graph"), ("vectors.bin", "vectors"),
                              ("vectors.sq8", "sq8"), ("wal.dralm", "wal")):
                if f in files and (dim == 8 or loader in ("graph", "wal")):
                    with open(os.path.join(outdir, loader, name), "wb") as fh:
                        fh.write(files[f])
    print("seeds written to", outdir)


if __name__ == "__main__":
    main()
