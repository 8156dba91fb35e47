"""Kill loop: start kill_writer.py, SIGKILL it after a random 20-500 ms, reopen the
directory with dim (in a separate process, so a crash on open is counted rather than
fatal) and check that every acknowledged write is there with its exact vector and
metadata, and that nothing appears that no write in flight could have produced.

    python killloop.py --kills 1000 --seed 1

Prints one JSON summary line; exits 1 when a write was lost or a reopen failed.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DIM = 8
THREADS = 3

CHECK = r"""
import json, sys, _dralm
db = _dralm.Database(sys.argv[1], dim=int(sys.argv[2]), metric="euclidean")
rows = {i: db.get(i) for i in db.ids()}
print(json.dumps({"rows": rows, "len": len(db)}))
"""


def f32(values):
    import struct

    return list(struct.unpack(f"<{len(values)}f", struct.pack(f"<{len(values)}f", *values)))


def read_disk(path: str) -> tuple[dict | None, str]:
    """The state a fresh process sees when it opens `path` with dim, or the failure."""
    proc = subprocess.run([sys.executable, "-c", CHECK, path, str(DIM)],
                          capture_output=True, text=True, timeout=300)
    if proc.returncode != 0:
        return None, f"reopen failed (exit {proc.returncode}): {proc.stderr.strip()[-600:]}"
    out = json.loads(proc.stdout)
    rows = {k: (v[0], v[1]) for k, v in out["rows"].items()}
    if out["len"] != len(rows):
        return None, f"len(db) {out['len']} differs from the {len(rows)} ids listed"
    return rows, ""


def apply(rows: dict, eff: list) -> None:
    kind, id_ = eff[0], eff[1]
    if kind == "set":
        rows[id_] = (f32(eff[2]), eff[3])
    elif kind == "del":
        rows.pop(id_, None)
    elif kind == "upd" and id_ in rows:
        vec, meta = rows[id_]
        if eff[2] is not None:
            vec = f32(eff[2])
        if eff[3]:
            meta = eff[4]
        rows[id_] = (vec, meta)


def parse_acks(ackfile: str) -> tuple[dict, list, list]:
    """Per-thread ops in order as [begin-line, acknowledged?], plus error lines and the
    maintenance operation (save/compact) in flight at the kill, if any."""
    ops: dict = {}
    errors, maint = [], {}
    with open(ackfile) as fh:
        for line in fh:
            if not line.endswith("\n"):
                break  # the writer died inside os.write: cannot happen for one write
            rec = json.loads(line)
            if rec["ph"] == "E":
                errors.append(rec)
            if rec["t"] == "m":
                if rec["ph"] == "B":
                    maint[rec["s"]] = rec["op"]
                else:
                    maint.pop(rec["s"], None)
                continue
            per = ops.setdefault(rec["t"], {})
            if rec["ph"] == "B":
                per[rec["s"]] = [rec, False]
            elif rec["ph"] == "A":
                per[rec["s"]][1] = True
    return ops, errors, list(maint.values())


def verify(before: dict, after: dict, ops: dict) -> list[str]:
    """Faults: acknowledged writes missing or altered, or states no prefix of the
    in-flight writes explains."""
    faults = []
    acked = {k: (list(v[0]), v[1]) for k, v in before.items()}
    inflight = []
    for t, per in ops.items():
        seqs = sorted(per)
        for s in seqs:
            rec, done = per[s]
            if done:
                for eff in rec["eff"]:
                    apply(acked, eff)
            elif s != seqs[-1]:
                faults.append(f"thread {t} op {s} neither acknowledged nor last")
            else:
                inflight.append(rec)
    touched: dict = {}
    for rec in inflight:
        # Any prefix of an in-flight batch's records may have reached the log (one
        # frame per item, in order), so each item may or may not show, but an item
        # may show only if every earlier item whose effect is visible shows too.
        shown = []
        for eff in rec["eff"]:
            old = acked.get(eff[1])
            state = {eff[1]: old} if old is not None else {}
            apply(state, eff)
            new = state.get(eff[1])
            touched[eff[1]] = [old, new]
            if new != old and after.get(eff[1]) in (old, new):
                shown.append(after.get(eff[1]) == new)
        if any(shown[j] and not shown[i] for i in range(len(shown))
               for j in range(i + 1, len(shown))):
            faults.append(f"{rec['op']} in flight left a non-prefix of its records: {shown}")
    for id_ in set(acked) | set(after) | set(touched):
        got = after.get(id_)
        allowed = touched.get(id_, [acked.get(id_)])
        if got not in allowed:
            want = acked.get(id_)
            if want is not None and got is None:
                faults.append(f"lost acknowledged id {id_!r}")
            elif want is None and got is not None and id_ not in touched:
                faults.append(f"id {id_!r} appeared that no write produced")
            else:
                faults.append(f"id {id_!r} holds {got!r}, expected one of {allowed!r}")
    return faults


def run(kills: int, seed: int, workdir: str, log=print) -> dict:
    rng = random.Random(seed)
    path = os.path.join(workdir, "db")
    shutil.rmtree(path, ignore_errors=True)
    state: dict = {}
    summary = {"kills": 0, "lost_or_wrong": 0, "failed_reopens": 0, "writer_errors": 0,
               "acked_writes": 0, "killed_during": {}, "faults": []}
    started = time.time()
    for k in range(kills):
        ackfile = os.path.join(workdir, "acks")
        if os.path.exists(ackfile):
            os.unlink(ackfile)
        writer = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "kill_writer.py"), path, str(DIM),
             str(rng.randrange(1 << 30)), ackfile, str(THREADS)],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = writer.stdout.readline()
        if line.strip() != "READY":
            writer.kill()
            err = writer.stderr.read()[-800:]
            writer.wait()
            summary["failed_reopens"] += 1
            summary["faults"].append(f"kill {k}: writer could not open: {err}")
            break
        time.sleep(rng.uniform(0.02, 0.5))
        writer.send_signal(signal.SIGKILL)
        _, err = writer.communicate()
        ops, errors, maint = parse_acks(ackfile)
        summary["kills"] += 1
        for m in maint or ["write"]:
            summary["killed_during"][m] = summary["killed_during"].get(m, 0) + 1
        if errors or writer.returncode != -signal.SIGKILL:
            summary["writer_errors"] += 1
            summary["faults"].append(f"kill {k}: writer failed: {errors[:2]} {err[-600:]}")
        summary["acked_writes"] += sum(1 for per in ops.values() for _, d in per.values() if d)
        after, why = read_disk(path)
        if after is None:
            summary["failed_reopens"] += 1
            summary["faults"].append(f"kill {k} (during {maint or 'writes'}): {why}")
            keep = os.path.join(workdir, f"failed-reopen-{k}")
            shutil.copytree(path, keep, dirs_exist_ok=True)
            shutil.rmtree(path)
            state = {}
            continue
        faults = verify(state, after, ops)
        if faults:
            summary["lost_or_wrong"] += len(faults)
            summary["faults"].extend(f"kill {k} (during {maint or 'writes'}): {f}"
                                     for f in faults[:5])
        state = after
        if (k + 1) % 50 == 0:
            log(f"{k + 1} kills, {summary['lost_or_wrong']} faults, "
                f"{summary['failed_reopens']} failed reopens, {len(state)} live ids")
    summary["seconds"] = round(time.time() - started, 1)
    summary["faults"] = summary["faults"][:40]
    return summary


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--kills", type=int, default=1000)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--keep", help="directory to work in and keep (failed reopens are copied)")
    args = ap.parse_args()
    if args.keep:
        os.makedirs(args.keep, exist_ok=True)
        summary = run(args.kills, args.seed, args.keep, log=lambda m: print(m, file=sys.stderr))
    else:
        with tempfile.TemporaryDirectory(prefix="killloop-") as tmp:
            summary = run(args.kills, args.seed, tmp, log=lambda m: print(m, file=sys.stderr))
    print(json.dumps(summary))
    sys.exit(1 if summary["lost_or_wrong"] or summary["failed_reopens"]
             or summary["writer_errors"] else 0)


if __name__ == "__main__":
    main()
