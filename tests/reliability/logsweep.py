"""Log corruption sweep: build a real log through the module, then cut it at byte
offsets and flip single bits, open each damaged copy with `dim` and check the
recovered state is exactly the state after the intact prefix of records.

    python logsweep.py --full                 # every cut and every bit flip
    python logsweep.py --sample 400 --seed 1  # a random sample (what the fast test runs)

Cases run in chunked worker subprocesses, so a crash is caught, counted and
attributed to its case instead of ending the sweep. Prints one JSON summary line.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import walmodel as wm  # noqa: E402

SMALL_DIM = 4
LARGE_DIM = 2500  # 10 kB vectors: frames larger than an 8 KiB I/O buffer


def _vec(rng: random.Random, dim: int) -> list[float]:
    # Values exact in float32, so what the module logs is what the model expects.
    return [rng.randint(-4096, 4096) / 64.0 for _ in range(dim)]


def build_log(workdir: str, dim: int, seed: int, base_writes: int = 0) -> dict:
    """Performs ~100 writes of every kind through the module and returns the log, the
    state the saved files hold (empty unless base_writes > 0) and the saved files."""
    import _dralm

    rng = random.Random(seed)
    path = os.path.join(workdir, "build")
    shutil.rmtree(path, ignore_errors=True)
    db = _dralm.Database(path, dim=dim, metric="euclidean")
    live: list[str] = []
    counter = 0

    def new_id() -> str:
        nonlocal counter
        counter += 1
        pick = counter % 7
        if pick == 0:
            return f"é-{counter}-ü"  # multi-byte UTF-8
        if pick == 3:
            return f"id with spaces {counter}"
        return f"v{counter}"

    def meta():
        roll = rng.random()
        if roll < 0.25:
            return None
        if roll < 0.5:
            return {"cat": rng.choice("abc"), "n": rng.randint(-5, 5)}
        if roll < 0.75:
            return {"price": rng.randint(0, 999) / 8.0, "tags": ["x", "y"][: rng.randint(0, 2)]}
        return {"nested": {"k": rng.choice([True, False, None]), "s": "ünï"}, "z": 1}

    for _ in range(base_writes):
        i = new_id()
        db.add(i, _vec(rng, dim), meta())
        live.append(i)
    saved = {}
    if base_writes:
        db.delete(live.pop(0))  # a tombstone in the saved files
        db.save()
        for name in ("graph.dralm", "vectors.bin", "vectors.sq8"):
            p = os.path.join(path, name)
            if os.path.exists(p):
                with open(p, "rb") as fh:
                    saved[name] = fh.read()
    base = wm.read_state(db)

    steps = 0
    target = 100 if dim <= 64 else 8
    while steps < target:
        op = rng.random()
        if op < 0.25 or len(live) < 3:
            i = new_id()
            db.add(i, _vec(rng, dim), meta())
            live.append(i)
        elif op < 0.35:
            # upsert of a live id (replace) or of a new one (insert)
            i = rng.choice(live) if rng.random() < 0.6 else new_id()
            db.upsert(i, _vec(rng, dim), meta())
            if i not in live:
                live.append(i)
        elif op < 0.55:
            i = rng.choice(live)
            how = rng.randrange(4)
            vec = _vec(rng, dim) if how in (0, 2) else None
            md = meta() if how in (1, 2) else None
            if how == 1 and md is None:
                md = {"only": "meta"}
            db.update(i, vec, md)
        elif op < 0.70:
            i = rng.choice(live)
            db.delete(i)
            live.remove(i)
        elif op < 0.80:
            n = rng.randint(2, 4)
            ids = [new_id() for _ in range(n)]
            db.add_many(ids, [_vec(rng, dim) for _ in ids], [meta() for _ in ids])
            live.extend(ids)
            steps += n - 1
        elif op < 0.90:
            ids = rng.sample(live, 2) + [new_id()]
            db.upsert_many(ids, [_vec(rng, dim) for _ in ids], None)
            live.append(ids[-1])
            steps += 2
        else:
            ids = rng.sample(live, min(2, len(live))) + ["never-there"]
            db.delete_many(ids)
            for i in ids[:-1]:
                live.remove(i)
            steps += 1
        steps += 1
    final_state = wm.read_state(db)
    del db
    with open(os.path.join(path, "wal.dralm"), "rb") as fh:
        log = fh.read()
    frames, end = wm.parse_log(log)
    if end != len(log) or any(fr.record is None for fr in frames):
        raise AssertionError("the module wrote a log that does not parse as whole frames")
    replayed = wm.prefix_states(base, frames, dim)[-1]
    if replayed.rows != final_state.rows:
        raise AssertionError(
            "replaying the module's own log in the model does not give the state it "
            "reported: " + wm.describe_difference(replayed, final_state)
        )
    if dim <= 64:
        log = _splice_odd_frames(log, frames, dim, rng)
    return {"log": log, "base": base, "saved": saved, "dim": dim}


def _splice_odd_frames(log: bytes, frames, dim: int, rng: random.Random) -> bytes:
    """Adds intact frames the module never writes itself: wrong-length vectors (large,
    spanning read buffers), an unknown kind, an undecodable payload, an update of an
    unknown id. Replay must skip each and carry on with the following frames."""
    extra = [
        wm.insert_frame("big-1", _vec(rng, 3000), {"big": True}),
        wm.frame(9, b"unknown kind with a valid checksum"),
        wm.frame(wm.INSERT, b"\x05\x00\x00\x00\xff\xfe\xfd\xfc\xfb"),  # id is not UTF-8
        wm.update_frame("nobody", _vec(rng, dim), True, {"a": 1}),
        wm.insert_frame("big-2", _vec(rng, 2100), None),
        wm.frame(wm.UPDATE, wm._string(frames[0].record.id)),  # no flag bytes
        wm.frame(wm.INSERT,
                 wm._string("bad-json") + wm._vector(_vec(rng, dim)) + b"\x03\x00\x00\x00{x}"),
    ]
    cuts = sorted(rng.sample(range(1, len(frames)), len(extra)))
    out, prev = bytearray(), 0
    for cut, fr in zip(cuts, extra):
        out += log[prev : frames[cut].start] + fr
        prev = frames[cut].start
    out += log[prev:]
    return bytes(out)


# ---- one damaged case ---------------------------------------------------------------


def damaged(log: bytes, case: tuple[str, int]) -> bytes:
    mode, n = case
    if mode == "cut":
        return log[:n]
    buf = bytearray(log)
    buf[n // 8] ^= 1 << (n % 8)
    return bytes(buf)


def expected_for(frames, case) -> tuple[int, int]:
    """(number of frames the recovered state must reflect, length the log must be cut
    back to). A cut keeps the frames that end before it; a flipped bit fails the
    checksum of its frame, which ends the log there."""
    mode, n = case
    if mode == "cut":
        k = sum(1 for fr in frames if fr.end <= n)
        return k, frames[k - 1].end if k else 0
    byte = n // 8
    k = next(i for i, fr in enumerate(frames) if fr.end > byte)
    return k, frames[k].start


def run_case(dbdir: str, spec: dict, frames, states, case) -> str | None:
    """Returns None when the case recovers exactly, else a description of the fault."""
    import _dralm

    os.makedirs(dbdir, exist_ok=True)
    for name in os.listdir(dbdir):
        os.unlink(os.path.join(dbdir, name))
    for name, data in spec["saved"].items():
        with open(os.path.join(dbdir, name), "wb") as fh:
            fh.write(data)
    data = damaged(spec["log"], case)
    with open(os.path.join(dbdir, "wal.dralm"), "wb") as fh:
        fh.write(data)
    want_k, want_len = expected_for(frames, case)
    try:
        db = _dralm.Database(dbdir, dim=spec["dim"], metric="euclidean")
    except Exception as exc:  # noqa: BLE001 - any refusal to open is the fault
        return f"{case}: open failed: {type(exc).__name__}: {exc}"
    try:
        got = wm.read_state(db)
    finally:
        del db
    if got.rows != states[want_k].rows:
        others = [i for i, s in enumerate(states) if s.rows == got.rows]
        return (
            f"{case}: recovered state is not the prefix of {want_k} frames "
            f"(matches prefixes {others[:5]}); {wm.describe_difference(got, states[want_k])}"
        )
    size = os.path.getsize(os.path.join(dbdir, "wal.dralm")) if os.path.exists(
        os.path.join(dbdir, "wal.dralm")) else 0
    if size != want_len:
        return f"{case}: log left at {size} bytes, the intact part ends at {want_len}"
    return None


# ---- driver -------------------------------------------------------------------------


def _worker(spec_path: str, cases: list, progress: str) -> None:
    import pickle

    with open(spec_path, "rb") as fh:
        spec = pickle.load(fh)
    frames, _ = wm.parse_log(spec["log"])
    states = wm.prefix_states(spec["base"], frames, spec["dim"])
    dbdir = tempfile.mkdtemp(prefix="sweep-", dir=spec["tmp"])
    out = []
    with open(progress, "w") as prog:
        for case in cases:
            prog.seek(0)
            prog.write(json.dumps(case) + "\n")
            prog.flush()
            fault = run_case(dbdir, spec, frames, states, tuple(case))
            out.append(fault)
    print(json.dumps(out))


def run_cases(spec: dict, cases: list, tmp: str, chunk: int = 2000) -> dict:
    """Runs `cases` in worker subprocesses; a worker that dies is charged to the case it
    was on, and the rest of its chunk runs in a new worker."""
    import pickle

    spec = dict(spec, tmp=tmp)
    spec_path = os.path.join(tmp, "spec.pickle")
    with open(spec_path, "wb") as fh:
        pickle.dump(spec, fh)
    faults, crashes = [], []
    pending = [list(c) for c in cases]
    while pending:
        todo, pending = pending[:chunk], pending[chunk:]
        progress = os.path.join(tmp, "progress")
        cases_path = os.path.join(tmp, "cases.json")
        with open(cases_path, "w") as fh:
            json.dump(todo, fh)
        proc = subprocess.run(
            [sys.executable, __file__, "--worker", spec_path, cases_path, progress],
            capture_output=True, text=True,
        )
        if proc.returncode == 0:
            faults += [f for f in json.loads(proc.stdout.strip().splitlines()[-1]) if f]
            continue
        with open(progress) as fh:
            at = json.loads(fh.readline())
        crashes.append({"case": at, "returncode": proc.returncode, "stderr": proc.stderr[-2000:]})
        idx = todo.index(at)
        pending = todo[idx + 1 :] + pending
        # cases before the crash are re-run: the worker's results were lost with it
        pending = todo[:idx] + pending
    return {"faults": faults, "crashes": crashes}


def make_spec(kind: str, seed: int, tmp: str) -> dict:
    if kind == "small":
        return build_log(tmp, SMALL_DIM, seed)
    if kind == "saved":
        return build_log(tmp, SMALL_DIM, seed, base_writes=20)
    return build_log(tmp, LARGE_DIM, seed)


def all_cases(log: bytes, bits_per_byte: int = 8) -> list:
    """Every cut; every bit flip, or with bits_per_byte 1 one flip per byte (rotating
    through the bit positions) for logs too large to flip every bit in a session."""
    flips = [8 * i + b for i in range(len(log)) for b in range(8)] if bits_per_byte == 8 \
        else [8 * i + i % 8 for i in range(len(log))]
    return [("cut", n) for n in range(len(log))] + [("flip", b) for b in flips]


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--worker":
        with open(sys.argv[3]) as fh:
            cases = json.load(fh)
        _worker(sys.argv[2], cases, sys.argv[4])
        return
    ap = argparse.ArgumentParser()
    ap.add_argument("--full", action="store_true")
    ap.add_argument("--sample", type=int, default=300)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--kinds", default="small,saved,large")
    ap.add_argument("--large-bits-per-byte", type=int, default=8, choices=[1, 8])
    args = ap.parse_args()
    report = {}
    started = time.time()
    with tempfile.TemporaryDirectory(prefix="logsweep-") as tmp:
        for kind in args.kinds.split(","):
            spec = make_spec(kind, args.seed, tmp)
            cases = all_cases(spec["log"], args.large_bits_per_byte if kind == "large" else 8)
            if not args.full:
                rng = random.Random(args.seed)
                frames, _ = wm.parse_log(spec["log"])
                # cuts around every frame boundary and through the first header,
                # plus a random sample of all cuts and flips
                edge = {("cut", n) for n in range(min(frames[0].end, 48))}
                for fr in frames:
                    edge |= {("cut", n) for n in (fr.end - 1, fr.end, fr.end + 1)}
                edge = sorted(c for c in edge if c[1] < len(spec["log"]))
                cases = edge + rng.sample(cases, min(args.sample, len(cases)))
            result = run_cases(spec, cases, tmp)
            cuts = sum(1 for c in cases if c[0] == "cut")
            report[kind] = {
                "log_bytes": len(spec["log"]),
                "frames": len(wm.parse_log(spec["log"])[0]),
                "cuts": cuts,
                "flips": len(cases) - cuts,
                "faults": len(result["faults"]),
                "crashes": len(result["crashes"]),
                "first_faults": result["faults"][:10],
                "first_crashes": result["crashes"][:3],
            }
    report["seconds"] = round(time.time() - started, 1)
    print(json.dumps(report))


if __name__ == "__main__":
    main()
