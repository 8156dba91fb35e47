"""The filtered-search table: every filter of job.FILTERS, per library, from one or more
results.json files of `scripts/bench.sh --stages filtered` (runs of different libraries may
be given separately).

Usage: python bench/filtered_report.py RESULTS.json [RESULTS.json ...] > filtered.md
       python bench/filtered_report.py --plot OUT.png RESULTS.json [...]   (needs matplotlib)
"""

from __future__ import annotations

import json
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import measure  # noqa: E402

TARGET = 0.98  # recall@10 at which QPS are compared
DEFAULT_EF = 200  # dralm's default beam for k = 10


def collect(paths: list[str]) -> dict[str, dict[str, list[dict]]]:
    """lib -> filter name -> points (ef, recall, qps, short, fraction)."""
    out: dict[str, dict[str, list[dict]]] = {}
    for path in paths:
        results = json.loads(Path(path).read_text())
        for job in results["jobs"]:
            if job["spec"]["job"] != "filtered" or not job["result"].get("ok"):
                continue
            lib = job["spec"]["lib"]
            for r in job["result"]["results"]:
                out.setdefault(lib, {}).setdefault(r["filter"], []).append(r)
    return out


def qps_at(points: list[dict], target: float, key: str = "qps") -> tuple[float | None, str]:
    """QPS (key "qps", wall clock) or queries per CPU second ("qps_cpu") at `target` recall;
    None when the points lack the figure."""
    if not points or any(key not in p for p in points):
        return None, "unreached"
    return measure.qps_at_recall([(p["recall"], p[key]) for p in points], target)


def fmt(value: float | None, how: str = "") -> str:
    if value is None:
        return "–"
    return (">= " if how == ">=" else "") + f"{value:,.0f}"


def ratio(a: float | None, b: float | None) -> str:
    return "–" if a is None or b is None or b == 0 else f"{a / b:.2f}"


def table(data: dict[str, dict[str, list[dict]]], key: str) -> list[str]:
    ours = data.get("dralm", {})
    filters = list(ours) or list(next(iter(data.values())))
    base = ours.get("unfiltered", [])
    lines = [f"| filter | share | dralm recall@10 at ef {DEFAULT_EF} | its QPS | short | "
             f"dralm @ {TARGET} | / unfiltered dralm @ {TARGET} | hnswlib @ {TARGET} | "
             f"dralm / hnswlib | faiss @ {TARGET} | dralm / faiss |",
             "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    unfiltered_q, _ = qps_at(base, TARGET, key)
    for name in filters:
        pts = ours.get(name, [])
        default = next((p for p in pts if p["ef"] == DEFAULT_EF), None)
        if default is None:
            lines.append(f"| {name} | – |")
            continue
        q, how = qps_at(pts, TARGET, key)
        hq, hhow = qps_at(data.get("hnswlib", {}).get(name, []), TARGET, key)
        fq, fhow = qps_at(data.get("faiss-hnsw", {}).get(name, []), TARGET, key)
        lines.append(
            f"| {name} | {default['fraction']:.3f} | {default['recall']:.4f} | "
            f"{default.get(key, 0):,.0f} | {default.get('short', '–')} | {fmt(q, how)} | "
            f"{ratio(q, unfiltered_q) if name != 'unfiltered' else '1'} | {fmt(hq, hhow)} | "
            f"{ratio(q, hq)} | {fmt(fq, fhow)} | {ratio(q, fq)} |")
    return lines


def points(data: dict[str, dict[str, list[dict]]]) -> list[str]:
    lines = ["| library | filter | ef | recall@10 | QPS | per CPU s | short |",
             "|---|---|---:|---:|---:|---:|---:|"]
    for lib, by_filter in data.items():
        for name, pts in by_filter.items():
            for p in pts:
                cpu = f"{p['qps_cpu']:,.0f}" if "qps_cpu" in p else "–"
                lines.append(f"| {lib} | {name} | {p['ef']} | {p['recall']:.4f} | "
                             f"{p['qps']:,.0f} | {cpu} | {p.get('short', '–')} |")
    return lines


def plot(data: dict[str, dict[str, list[dict]]], out: str) -> None:
    """One panel per filter: recall@10 against queries per CPU second (wall-clock QPS,
    dashed, for a library whose run has no CPU times)."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = list(data.get("dralm") or next(iter(data.values())))
    cols = 3
    rows = (len(names) + cols - 1) // cols
    fig, axes = plt.subplots(rows, cols, figsize=(5 * cols, 3.6 * rows), squeeze=False)
    for ax, name in zip(axes.flat, names):
        for lib, by_filter in sorted(data.items()):
            pts = by_filter.get(name, [])
            if not pts:
                continue
            cpu = all("qps_cpu" in p for p in pts)
            ax.plot([p["recall"] for p in pts], [p["qps_cpu" if cpu else "qps"] for p in pts],
                    "o-" if cpu else "o--", label=lib + ("" if cpu else " (wall)"))
        ax.set_title(name, fontsize=9)
        ax.set_yscale("log")
        ax.set_xlabel("recall@10")
        ax.set_ylabel("queries per CPU s")
        ax.grid(True, alpha=0.3)
        ax.legend(fontsize=7)
    for ax in list(axes.flat)[len(names):]:
        ax.set_visible(False)
    fig.tight_layout()
    fig.savefig(out, dpi=110)


def main() -> int:
    args = sys.argv[1:]
    if args[:1] == ["--plot"]:
        plot(collect(args[2:]), args[1])
        return 0
    data = collect(args)
    print("\n".join(["## Summary, wall clock (QPS)", ""] + table(data, "qps") +
                    ["", "## Summary, queries per CPU second", ""] + table(data, "qps_cpu") +
                    ["", "## Every point", ""] + points(data)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
