# Throwaway check kept with its output (direct-check.txt): run from the repository root with
# taskset -c 0 build/bench-venv/bin/python bench/results/graph/final2/direct_check.py after a
# bench.sh run has saved the Fashion-MNIST indexes in bench/data/indexes/.
import sys, time, numpy as np
sys.path.insert(0, 'bench')
import datasets, hnswlib, dralm
EF = 20
for metric, key, space in [("l2", "fashion-l2", "l2"), ("cosine", "fashion-cos", "cosine")]:
    ds = datasets.fashion_mnist(metric, None, 2000)
    q = np.ascontiguousarray(ds.queries, dtype=np.float32); gt = ds.gt[:, :10]
    h = hnswlib.Index(space=space, dim=784); h.load_index(f"bench/data/indexes/{key}/hnswlib.index"); h.set_num_threads(1); h.set_ef(EF)
    db = dralm.Database(f"bench/data/indexes/{key}/dralm", read_only=True)
    def rec(ids): return np.mean([len(set(map(int, a)) & set(b)) / 10 for a, b in zip(ids, gt)])
    res = {}
    for rnd in range(5):
        for name in ["hnswlib", "float", "sq8", "sq4"]:
            if name == "hnswlib":
                t = time.perf_counter(); l, _ = h.knn_query(q, k=10); dt = time.perf_counter() - t; ids = l
            else:
                if name == "float":
                    if db.quantized_search: db.disable_quantized_search()
                else: db.enable_quantized_search(bits=8 if name == "sq8" else 4)
                t = time.perf_counter(); r = db.search_many(q, k=10, ef_search=EF); dt = time.perf_counter() - t
                ids = [[x.id for x in row] for row in r]
            res.setdefault(name, []).append((len(q) / dt, rec(ids)))
    base = np.median([a for a, _ in res["hnswlib"]])
    for k, v in res.items():
        med = np.median([a for a, _ in v])
        print(f"{metric:6s} ef {EF} {k:8s} median {med:8,.0f} QPS  ({med/base:.2f}x hnswlib)  recall {v[0][1]:.4f}  passes {[f'{a:,.0f}' for a, _ in v]}")
