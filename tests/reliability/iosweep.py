"""Injected I/O errors: run io_scenario.py under strace, failing the N-th call of one
system call on the database's files (write, openat, rename, unlink, fsync, with
ENOSPC or EIO), for N = 1, 2, ... until the scenario no longer makes that call. For
each N: the failing step must raise "io error: ...", the steps after it must work,
the open database must hold exactly the acknowledged steps, and a fresh open of the
directory must too.

    python iosweep.py             # every N of every injection (the long command)
    python iosweep.py --max-n 3   # the first three calls of each (the fast test)

A tiny tmpfs that runs out of space is covered by tests/test_io_errors.py.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SCENARIO = os.path.join(HERE, "io_scenario.py")
DATA_TMP = ["vectors.tmp", "graph.tmp"]
DATA = ["vectors.bin", "vectors.sq8", "graph.dralm"]

# (name, system call, files it must touch, errno)
INJECTIONS = [
    ("log-write-ENOSPC", "write", ["wal.dralm"], "ENOSPC"),
    ("log-write-EIO", "write", ["wal.dralm"], "EIO"),
    ("log-open-EIO", "openat", ["wal.dralm"], "EIO"),
    ("save-write-ENOSPC", "write", DATA_TMP, "ENOSPC"),
    ("save-open-EACCES", "openat", DATA_TMP, "EACCES"),
    ("save-rename-EIO", "rename", DATA_TMP, "EIO"),
    ("save-unlink-log-EIO", "unlink", ["wal.dralm"], "EIO"),
    ("save-fsync-EIO", "fsync", DATA_TMP + DATA + ["."], "EIO"),
]

# Crash points: the process is killed on entering the N-th such call (the call itself
# is not made), as a power cut or SIGKILL at that instant would leave the directory.
CRASHES = [
    ("crash-at-log-write", "write", ["wal.dralm"]),
    ("crash-at-save-write", "write", DATA_TMP),
    ("crash-at-save-rename", "rename", DATA_TMP + DATA),
    ("crash-at-save-unlink", "unlink", ["wal.dralm", "vectors.sq8"]),
    ("crash-at-save-fsync", "fsync", DATA_TMP + DATA + ["."]),
]

REOPEN = r"""
import json, sys, _dralm
db = _dralm.Database(sys.argv[1], dim=4, metric="euclidean")
print(json.dumps({i: db.get(i) for i in db.ids()}))
"""


def available() -> bool:
    return shutil.which("strace") is not None


def run_one(workdir: str, injection, n: int, quantize: bool) -> dict:
    """Runs the scenario with the n-th matching call failing. Returns {"hit": bool,
    "faults": [...]}; hit is False when the scenario made fewer than n such calls."""
    name, syscall, files, err = injection
    path = os.path.join(workdir, "db")
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    cmd = ["strace", "-f", "-qq", "-o", "/dev/null"]
    for f in files:
        cmd += ["-P", os.path.normpath(os.path.join(path, f))]
    cmd += ["-e", f"trace={syscall}", "-e", f"inject={syscall}:error={err}:when={n}",
            sys.executable, SCENARIO, path, "1" if quantize else "0"]
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
    proc = subprocess.run(cmd, capture_output=True, text=True, timeout=300, env=env)
    label = f"{name} call {n}{' quantize' if quantize else ''}"
    if proc.returncode != 0:
        return {"hit": True, "faults": [f"{label}: scenario exited {proc.returncode}: "
                                        f"{proc.stderr.strip()[-800:]}"]}
    out = json.loads(proc.stdout.strip().splitlines()[-1])
    faults = []
    failed = [o for o in out["outcomes"] if o[1] in ("io", "bad")]
    for op, kind, msg in failed:
        if kind == "bad":
            faults.append(f"{label}: {op} failed without an io error: {msg}")
    model = {k: list(v) for k, v in out["model"].items()}
    held = {k: list(v) for k, v in out["held"].items()}
    if held != model:
        faults.append(f"{label}: the open database differs from the acknowledged steps: "
                      f"{_diff(held, model)}")
    proc = subprocess.run([sys.executable, "-c", REOPEN, path], capture_output=True,
                          text=True, timeout=120)
    if proc.returncode != 0:
        faults.append(f"{label}: reopen failed: {proc.stderr.strip()[-600:]}")
    else:
        disk = {k: list(v) for k, v in json.loads(proc.stdout).items()}
        if disk != model:
            faults.append(f"{label}: reopened state differs from the acknowledged steps: "
                          f"{_diff(disk, model)}")
    return {"hit": bool(failed), "faults": faults,
            "failed_steps": [o[0] for o in failed]}


def run_crash(workdir: str, crash, n: int, quantize: bool) -> dict:
    """Kills the scenario at the n-th matching call, reopens, and checks the state is
    the acknowledged steps plus, per id, maybe the step in flight. Returns {"hit":
    bool (the process was killed), "faults": [...]}."""
    import io_scenario

    name, syscall, files = crash
    path = os.path.join(workdir, "db")
    ackfile = os.path.join(workdir, "acks")
    shutil.rmtree(path, ignore_errors=True)
    if os.path.exists(ackfile):
        os.unlink(ackfile)
    os.makedirs(path)
    cmd = ["strace", "-f", "-qq", "-o", "/dev/null"]
    for f in files:
        cmd += ["-P", os.path.normpath(os.path.join(path, f))]
    cmd += ["-e", f"trace={syscall}",
            "-e", f"inject={syscall}:error=EIO:signal=SIGKILL:when={n}",
            sys.executable, SCENARIO, path, "1" if quantize else "0", ackfile]
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
    proc = subprocess.run(cmd, capture_output=True, text=True, timeout=300, env=env)
    label = f"{name} call {n}{' quantize' if quantize else ''}"
    killed = proc.returncode != 0
    if killed and proc.returncode not in (-9, 137):
        return {"hit": True, "faults": [f"{label}: scenario exited {proc.returncode}: "
                                        f"{proc.stderr.strip()[-600:]}"]}
    steps = io_scenario.steps()
    acked, begun = set(), []
    with open(ackfile) as fh:
        for line in fh:
            kind, index = line.split()
            (acked.add if kind == "A" else begun.append)(int(index))
    model: dict = {}
    for i in sorted(acked):
        io_scenario.apply(model, steps[i])
    allowed = {k: [list(v)] for k, v in model.items()}
    for i in begun:
        if i not in acked:  # the step in flight: each id it touches may show either way
            after = {k: v for k, v in model.items()}
            io_scenario.apply(after, steps[i])
            for k in set(after) | set(model):
                if after.get(k) != model.get(k):
                    allowed.setdefault(k, [list(model[k])] if k in model else [None])
                    allowed[k].append(list(after[k]) if k in after else None)
    faults = []
    proc = subprocess.run([sys.executable, "-c", REOPEN, path], capture_output=True,
                          text=True, timeout=120)
    if proc.returncode != 0:
        faults.append(f"{label}: reopen failed: {proc.stderr.strip()[-600:]}")
    else:
        disk = {k: list(v) for k, v in json.loads(proc.stdout).items()}
        for k in set(disk) | set(allowed):
            if disk.get(k) not in allowed.get(k, [None]):
                faults.append(f"{label}: id {k!r} reopened as {disk.get(k)!r}, "
                              f"acknowledged {allowed.get(k, [None])!r}")
    return {"hit": killed, "faults": faults}


def _diff(got: dict, want: dict) -> str:
    missing = sorted(set(want) - set(got))
    extra = sorted(set(got) - set(want))
    changed = sorted(k for k in want if k in got and got[k] != want[k])
    return f"missing={missing} extra={extra} changed={changed}"


def sweep(workdir: str, max_n: int | None = None, quantize_too: bool = True) -> dict:
    report = {}
    for injection in INJECTIONS:
        for quantize in ([False, True] if quantize_too else [False]):
            key = injection[0] + ("+sq8" if quantize else "")
            entry = {"injected": 0, "raised_io": 0, "faults": []}
            n = 1
            while max_n is None or n <= max_n:
                result = run_one(workdir, injection, n, quantize)
                if not result["hit"] and not result["faults"]:
                    break  # no n-th call: every call of this kind has been failed once
                entry["injected"] += 1
                entry["raised_io"] += 1 if result["hit"] else 0
                entry["faults"] += result["faults"]
                n += 1
            report[key] = entry
    for crash in CRASHES:
        for quantize in ([False, True] if quantize_too else [False]):
            key = crash[0] + ("+sq8" if quantize else "")
            entry = {"crash_points": 0, "faults": []}
            n = 1
            while max_n is None or n <= max_n:
                result = run_crash(workdir, crash, n, quantize)
                if not result["hit"] and not result["faults"]:
                    break
                entry["crash_points"] += 1
                entry["faults"] += result["faults"]
                n += 1
            report[key] = entry
    return report


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--max-n", type=int, default=None)
    args = ap.parse_args()
    if not available():
        print(json.dumps({"skipped": "strace is not installed"}))
        return
    with tempfile.TemporaryDirectory(prefix="iosweep-") as tmp:
        report = sweep(tmp, args.max_n)
    print(json.dumps(report))
    sys.exit(1 if any(e["faults"] for e in report.values()) else 0)


if __name__ == "__main__":
    main()
