"""Runs the whole comparison: dralm against hnswlib, faiss (HNSW) and usearch, in one run.

    python bench/run.py            # the full run, results in bench/results/
    python bench/run.py --quick    # subsets and 2 repetitions, results in bench/data/quick/

Every measurement is a job (job.py) in a fresh process; one-thread jobs run under
`taskset -c 0`. results.json is rewritten after every job, so an interrupted run keeps what it
measured; report.py then writes results.md and the plots.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import subprocess
import sys
import tempfile
import time
from importlib import metadata
from pathlib import Path

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
sys.path.insert(0, str(BENCH))

import report  # noqa: E402

LIBS = ["dralm", "hnswlib", "faiss-hnsw", "usearch"]
EFS = [10, 20, 40, 80, 120, 200, 400, 800]
# Beams past 160 so that the 1M synthetic set, where recall 0.95 needs a wider beam, is covered;
# the steps between 20 and 160 are close, so that the QPS read at recall 0.95 for every library
# comes from nearby points rather than a long chord of the curve.
SYNTHETIC_EFS = [10, 20, 30, 40, 50, 60, 80, 100, 120, 160, 320, 640]
K = 10
# dralm scans exactly below ten million live floats: the scan set is the largest 128-d one.
SCAN_N = 10_000_000 // 128 - 1

PROFILES = {
    # Subsets stay above the exact-scan threshold so that dralm walks its graph here too.
    "quick": {"fashion_n": 15_000, "fashion_q": 500, "synthetic_n": 80_000, "synthetic_q": 200,
              "scan_q": 50, "filter_q": 200, "reps": 2, "open_reps": 3, "bandwidth_mb": 256},
    "full": {"fashion_n": None, "fashion_q": None, "synthetic_n": 200_000, "synthetic_q": 1000,
             "scan_q": 300, "filter_q": 1000, "reps": 5, "open_reps": 5, "bandwidth_mb": 512},
}


def lscpu_model() -> str:
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
        for line in out.splitlines():
            if line.startswith("Model name:"):
                return line.split(":", 1)[1].strip()
    except (OSError, subprocess.CalledProcessError):
        pass
    return "unknown CPU"


def versions() -> dict:
    out = {}
    for dist in ["numpy", "hnswlib", "faiss-cpu", "usearch", "dralm"]:
        try:
            out[dist] = metadata.version(dist)
        except metadata.PackageNotFoundError:
            out[dist] = None
    if os.environ.get("BENCH_DRALM_COMMIT"):  # scripts/bench.sh built this commit
        out["dralm_commit"] = os.environ["BENCH_DRALM_COMMIT"]
        return out
    try:
        out["dralm_commit"] = subprocess.run(
            ["git", "-C", str(ROOT), "describe", "--always", "--dirty"],
            capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        out["dralm_commit"] = None
    return out


def dralm_available() -> str | None:
    """None when `import _dralm` works in a child process, else the reason it does not."""
    probe = subprocess.run([sys.executable, "-c", "import _dralm; _dralm.Database"],
                           capture_output=True, text=True)
    return None if probe.returncode == 0 else (probe.stderr.strip().splitlines() or ["?"])[-1]


def _member_label(member: dict) -> str:
    """The name job.py gives a sweep member (a library, "+sq8" / "+sq4" for quantized
    traversal on 8- or 4-bit codes)."""
    return member["lib"] + ("+sq8" if member.get("sq8") else "+sq4" if member.get("sq4") else "")


class Runner:
    def __init__(self, out_dir: Path, work_dir: Path, results: dict, timeout: float):
        self.out_dir, self.work_dir, self.results, self.timeout = (
            out_dir, work_dir, results, timeout)

    def run(self, spec: dict) -> dict:
        threads = spec["threads"]
        cmd = [sys.executable, str(BENCH / "job.py")]
        if threads == 1:
            # BENCH_CPU picks another CPU, so that two runs can share a machine side by side.
            cmd = ["taskset", "-c", os.environ.get("BENCH_CPU", "0")] + cmd
        env = dict(os.environ, OMP_NUM_THREADS=str(threads))
        label = f"{spec['job']} {spec['lib']} {spec['key']} t={threads}"
        print(f"== {label}", file=sys.stderr, flush=True)
        with tempfile.TemporaryDirectory() as tmp:
            spec_path, out_path = Path(tmp) / "spec.json", Path(tmp) / "out.json"
            spec_path.write_text(json.dumps(spec))
            load_before = os.getloadavg()[0]
            start = time.time()
            try:
                proc = subprocess.run(cmd + [str(spec_path), str(out_path)], env=env,
                                      timeout=self.timeout)
                result = (json.loads(out_path.read_text()) if out_path.exists() else
                          {"ok": False, "error": f"job exited {proc.returncode} with no result"})
            except subprocess.TimeoutExpired:
                result = {"ok": False, "error": f"timed out after {self.timeout:.0f} s"}
        result["wall_s"] = time.time() - start
        result["loadavg_before"] = load_before
        result["loadavg_after"] = os.getloadavg()[0]
        if not result["ok"]:
            print(f"   FAILED: {result['error']}", file=sys.stderr, flush=True)
        members = spec.get("members") or []
        if len(members) > 1 and not result["ok"]:
            # One library took the shared process down: measure each one on its own instead.
            for m in members:
                self.run(dict(spec, lib=_member_label(m), members=[m]))
            return result
        if members and result["ok"]:
            for m in members:
                name = _member_label(m)
                one = dict(spec, lib=m["lib"], sq8=bool(m.get("sq8")), sq4=bool(m.get("sq4")),
                           index_path=m["index_path"], members=None)
                extra = {f: result[f] for f in ("affinity", "dataset", "wall_s",
                                                "loadavg_before", "loadavg_after")}
                self.results["jobs"].append(
                    {"spec": one, "result": {"ok": True, **extra, **result["members"][name]}})
        else:
            self.results["jobs"].append({"spec": spec, "result": result})
        self.save()
        return result

    def save(self) -> None:
        self.out_dir.mkdir(parents=True, exist_ok=True)
        tmp = self.out_dir / "results.json.tmp"
        tmp.write_text(json.dumps(self.results, indent=1, default=float))
        tmp.replace(self.out_dir / "results.json")


def plan(profile: dict, libs: list[str], work: Path, stages: set[str],
         in_process: bool = False) -> list[dict]:
    """The jobs in the order that puts the goals' figures first (a cut-short run keeps them).

    With `in_process`, the synthetic sweeps build dralm's database in their own process
    instead of opening the saved one."""
    p = profile
    fashion = {m: {"kind": "fashion", "metric": m, "n": p["fashion_n"], "q": p["fashion_q"]}
               for m in ("l2", "cosine")}
    synthetic = {"kind": "synthetic", "n": p["synthetic_n"], "q": p["synthetic_q"]}
    scan = {"kind": "synthetic", "n": SCAN_N, "q": p["scan_q"]}
    filt = dict(fashion["l2"], q=p["filter_q"])

    def path(key, lib):
        return str(work / "indexes" / key / (lib if lib == "dralm" else f"{lib}.index"))

    def job(kind, lib, key, ds, threads, **extra):
        return {"job": kind, "lib": lib, "key": key, "dataset": ds, "threads": threads,
                "k": K, "reps": p["reps"], "index_path": path(key, lib), **extra}

    def sweep(key, ds, threads, members, **extra):
        members = [dict(m, index_path=path(key, m["lib"])) for m in members]
        spec = job("sweep", ",".join(_member_label(m) for m in members), key, ds, threads,
                   members=members, efs=EFS, stop_recall=0.999, open_reps=p["open_reps"])
        spec.update(extra)
        return spec

    everyone = [{"lib": lib} for lib in libs]
    sq8 = [{"lib": "dralm", "sq8": True}] if "sq8" in stages and "dralm" in libs else []
    if "sq4" in stages and "dralm" in libs:
        sq8.append({"lib": "dralm", "sq4": True})
    jobs: list[dict] = []
    if "fashion" in stages:
        jobs += [job("build", lib, "fashion-l2", fashion["l2"], 2) for lib in libs]
        jobs.append(sweep("fashion-l2", fashion["l2"], 1, everyone + sq8))
    if "synthetic" in stages:
        jobs += [job("build", lib, "synthetic", synthetic, 2) for lib in libs]
        jobs.append(sweep("synthetic", synthetic, 2, everyone + sq8, efs=SYNTHETIC_EFS,
                          dralm_in_process=in_process))
    if "synthetic-build" in stages:
        # The synthetic stage's builds alone (build speed and memory, no sweep).
        jobs += [job("build", lib, "synthetic", synthetic, 2) for lib in libs]
    if "synthetic-sweep" in stages:
        # The synthetic stage's sweep alone, on the indexes it saved in an earlier run (same
        # --work and --synthetic-n).
        jobs.append(sweep("synthetic", synthetic, 2, everyone + sq8, efs=SYNTHETIC_EFS,
                          dralm_in_process=in_process))
    if "perquery" in stages:
        # The same sweep with every query its own call.
        jobs.append(sweep("synthetic", synthetic, 2, everyone + sq8, efs=SYNTHETIC_EFS,
                          per_query=True, dralm_in_process=in_process))
    if "scan" in stages:
        if "dralm" in libs:
            jobs.append(job("build", "dralm", "scan", dict(scan, gt=False), 2))
            jobs.append(job("scan", "dralm", "scan", scan, 1, bandwidth_mb=p["bandwidth_mb"]))
        jobs.append(job("scan", "faiss-flat", "scan", scan, 1, bandwidth_mb=p["bandwidth_mb"]))
    if "fashion" in stages:
        jobs.append(sweep("fashion-l2", fashion["l2"], 2, everyone))
    if "filtered" in stages:
        # dralm's default beam for k = 10 is 200; a pass slower than budget_s ends a curve.
        filter_job = {"efs": [10, 40, 100, 200, 400], "budget_s": 20, "reps": 2}
        if "dralm" in libs:
            jobs.append(job("build", "dralm", "fashion-l2-meta", fashion["l2"], 2, metadata=True))
            jobs.append(job("filtered", "dralm", "fashion-l2-meta", filt, 1, **filter_job))
        for lib in ("hnswlib", "faiss-hnsw"):
            if lib in libs:
                if "fashion" not in stages:
                    jobs.append(job("build", lib, "fashion-l2", fashion["l2"], 2))
                jobs.append(job("filtered", lib, "fashion-l2", filt, 1, **filter_job))
    if "cosine" in stages:
        jobs += [job("build", lib, "fashion-cos", fashion["cosine"], 2) for lib in libs]
        jobs.append(sweep("fashion-cos", fashion["cosine"], 1, everyone + sq8))
    return jobs


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="subsets and fewer repetitions")
    ap.add_argument("--libs", default=",".join(LIBS), help="comma-separated libraries")
    ap.add_argument("--stages", default="fashion,synthetic,scan,sq8,sq4,filtered,cosine")
    ap.add_argument("--out", type=Path, help="results directory")
    ap.add_argument("--work", type=Path, default=BENCH / "data", help="indexes and caches")
    ap.add_argument("--timeout", type=float, default=3600.0, help="seconds per job")
    ap.add_argument("--queries", type=int, help="use only the first N Fashion-MNIST queries")
    ap.add_argument("--synthetic-n", type=int, help="size of the synthetic build set")
    ap.add_argument("--reps", type=int, help="timed passes per point (5 or more for results)")
    ap.add_argument("--dralm-in-process", action="store_true",
                    help="synthetic sweeps build dralm's database in their own process instead "
                         "of opening the saved one")
    args = ap.parse_args()

    mode = "quick" if args.quick else "full"
    out_dir = args.out or (BENCH / "data" / "quick" if args.quick else BENCH / "results")
    libs = [x for x in args.libs.split(",") if x]
    unknown = set(libs) - set(LIBS)
    if unknown:
        ap.error(f"unknown libraries: {sorted(unknown)}")
    skipped = {}
    if "dralm" in libs:
        reason = dralm_available()
        if reason:
            print(f"dralm is not importable ({reason}): measuring the peers only",
                  file=sys.stderr)
            skipped["dralm"] = reason
            libs.remove("dralm")

    results = {
        "mode": mode, "started": datetime.datetime.now(datetime.timezone.utc).isoformat(),
        "machine": {"cpu": lscpu_model(), "cpus": os.cpu_count(),
                    "affinity": len(os.sched_getaffinity(0)), "kernel": platform.release(),
                    "python": platform.python_version()},
        "versions": versions(), "profile": PROFILES[mode], "k": K, "efs": EFS,
        "libs": libs, "skipped": skipped, "jobs": [],
    }
    if os.environ.get("BENCH_DRALM_EF_CONSTRUCTION"):  # dralm built with its own beam
        results["dralm_ef_construction"] = int(os.environ["BENCH_DRALM_EF_CONSTRUCTION"])
    profile = dict(PROFILES[mode])
    for arg, field in [("queries", "fashion_q"), ("synthetic_n", "synthetic_n"),
                       ("reps", "reps")]:
        if getattr(args, arg) is not None:
            profile[field] = getattr(args, arg)
    if profile["synthetic_n"] * 128 < 10_000_000:
        ap.error("the synthetic set must hold at least ten million floats (graph search)")
    stages = set(args.stages.split(","))
    if len(stages & {"synthetic", "synthetic-sweep", "perquery"}) > 1:
        ap.error("run synthetic, synthetic-sweep and perquery with an --out each: their "
                 "curves would take each other's place in the report")
    results["profile"] = profile
    runner = Runner(out_dir, args.work, results, args.timeout)
    for spec in plan(profile, libs, args.work, stages, args.dralm_in_process):
        runner.run(spec)
    results["finished"] = datetime.datetime.now(datetime.timezone.utc).isoformat()
    runner.save()
    report.write(results, out_dir)
    print(f"results in {out_dir}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
