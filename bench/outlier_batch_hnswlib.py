"""hnswlib on the data of `reach_sweep --outlier-batch`: the vectors its own search misses.

    python bench/outlier_batch_hnswlib.py --runs 80 --m 12 --ef-construction 48

Each run draws a new set the way the C++ sweep does (20,000 x 64, 50 clusters with
centres from a standard normal and spread 0.3, cosine), builds it with one `add_items`,
then adds 20 far outliers (per dimension: the mean plus 4 standard deviations times a
standard normal) with another. A vector counts as missed when a k=1 search for it at
ef 200 returns another vector at a nonzero distance. Prints the runs that miss any
vector, before and after the outliers, and a summary.
"""

from __future__ import annotations

import argparse

import hnswlib
import numpy as np

ROWS, DIM, CLUSTERS, OUTLIERS, SEARCH_EF = 20000, 64, 50, 20, 200


def misses(index: hnswlib.Index, vectors: np.ndarray, first_label: int) -> int:
    labels, distances = index.knn_query(vectors, k=1)
    own = np.arange(first_label, first_label + len(vectors))
    return int(np.sum((labels[:, 0] != own) & (distances[:, 0] > 1e-6)))


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--runs", type=int, default=40)
    ap.add_argument("--m", type=int, default=12)
    ap.add_argument("--ef-construction", type=int, default=48)
    args = ap.parse_args()
    runs_missing = runs_outliers_added = 0
    missed_before = []
    for run in range(args.runs):
        rng = np.random.default_rng(1000 + run)
        centres = rng.standard_normal((CLUSTERS, DIM))
        data = centres[rng.integers(0, CLUSTERS, ROWS)] + rng.normal(0, 0.3, (ROWS, DIM))
        data = data.astype(np.float32)
        mean, sd = data.mean(axis=0), data.std(axis=0)
        outliers = (mean + 4 * sd * rng.standard_normal((OUTLIERS, DIM))).astype(np.float32)
        index = hnswlib.Index(space="cosine", dim=DIM)
        index.init_index(max_elements=ROWS + OUTLIERS, M=args.m,
                         ef_construction=args.ef_construction, random_seed=run)
        index.add_items(data, np.arange(ROWS))
        index.set_ef(SEARCH_EF)
        before = misses(index, data, 0)
        index.add_items(outliers, np.arange(ROWS, ROWS + OUTLIERS))
        after = misses(index, data, 0) + misses(index, outliers, ROWS)
        missed_before.append(before)
        runs_missing += before > 0 or after > 0
        runs_outliers_added += after > before
        if before or after:
            print(f"run {run}: {before} missed before the outliers, {after} after", flush=True)
    print(f"hnswlib m {args.m}, ef_construction {args.ef_construction}: {runs_missing} of "
          f"{args.runs} runs miss vectors; missed before the outliers: "
          f"{min(missed_before)}-{max(missed_before)} (mean {np.mean(missed_before):.1f}); "
          f"the outliers added misses in {runs_outliers_added} runs")


if __name__ == "__main__":
    main()
