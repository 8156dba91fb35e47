"""Writer subprocess of the kill loop.

    python kill_writer.py DIR DIM SEED ACKFILE THREADS

Opens DIR with DIM, prints READY, then runs THREADS writer threads (each owning the
ids prefixed "t<n>-", so the order of one id's changes is its thread's order), a
maintenance thread calling save and compact, and a searching thread, until it is
killed. Every write is announced in ACKFILE before the call ("B", with its effect on
each id) and acknowledged after it returns ("A"), one line per os.write on an
O_APPEND descriptor, so a SIGKILL never loses a line that was written.

Effects: ["set", id, vector, meta] | ["upd", id, vector|None, meta_changed, meta]
       | ["del", id]
"""

from __future__ import annotations

import json
import os
import random
import sys
import threading
import time

import _dralm


def main() -> None:
    path, dim, seed, ackfile, nthreads = sys.argv[1:6]
    dim, seed, nthreads = int(dim), int(seed), int(nthreads)
    db = _dralm.Database(path, dim=dim, metric="euclidean")
    ack = os.open(ackfile, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)

    def emit(obj) -> None:
        os.write(ack, (json.dumps(obj, separators=(",", ":")) + "\n").encode())

    live: list[set[str]] = [set() for _ in range(nthreads)]
    for id_ in db.ids():
        t = int(id_.split("-", 1)[0][1:])
        live[t].add(id_)
    stop = threading.Event()

    def writer(t: int) -> None:
        rng = random.Random(seed * 1000 + t)
        mine = live[t]
        seq = 0
        next_n = rng.randrange(1 << 30)

        def vec():
            return [rng.randint(-2048, 2048) / 64.0 for _ in range(dim)]

        def meta():
            r = rng.random()
            if r < 0.3:
                return None
            return {"t": t, "r": rng.randint(0, 10**6), "s": rng.choice(["x", "ÿ", ""])}

        def new_id():
            nonlocal next_n
            next_n += 1
            return f"t{t}-{next_n}"

        while not stop.is_set():
            seq += 1
            r = rng.random()
            if len(mine) > 60:
                r = 0.5 + r * 0.1  # shrink: deletes only
            if r < 0.22 or len(mine) < 4:
                i, v, m = new_id(), vec(), meta()
                op, call, eff = "add", lambda: db.add(i, v, m), [["set", i, v, m]]
                mine.add(i)
            elif r < 0.34:
                i = rng.choice(sorted(mine)) if rng.random() < 0.7 else new_id()
                v, m = vec(), meta()
                op, call, eff = "upsert", lambda: db.upsert(i, v, m), [["set", i, v, m]]
                mine.add(i)
            elif r < 0.50:
                i = rng.choice(sorted(mine))
                v = vec() if rng.random() < 0.6 else None
                changed = rng.random() < 0.6
                m = (meta() or {"u": 1}) if changed else None
                op, call = "update", lambda: db.update(i, v, m)
                eff = [["upd", i, v, changed, m]]
            elif r < 0.60:
                i = rng.choice(sorted(mine))
                op, call, eff = "delete", lambda: db.delete(i), [["del", i]]
                mine.discard(i)
            elif r < 0.72:
                ids = [new_id() for _ in range(rng.randint(2, 40))]
                vs, ms = [vec() for _ in ids], [meta() for _ in ids]
                op, call = "add_many", lambda: db.add_many(ids, vs, ms)
                eff = [["set", i, v, m] for i, v, m in zip(ids, vs, ms)]
                mine.update(ids)
            elif r < 0.84:
                ids = rng.sample(sorted(mine), min(3, len(mine))) + [
                    new_id() for _ in range(rng.randint(1, 30))]
                vs = [vec() for _ in ids]
                ms = [meta() for _ in ids] if rng.random() < 0.5 else None
                op, call = "upsert_many", lambda: db.upsert_many(ids, vs, ms)
                eff = [["set", i, v, ms[k] if ms else None] for k, (i, v) in
                       enumerate(zip(ids, vs))]
                mine.update(ids)
            else:
                ids = rng.sample(sorted(mine), min(rng.randint(1, 5), len(mine)))
                ids.append(new_id())  # not live: must be ignored
                op, call, eff = "delete_many", lambda: db.delete_many(ids), [
                    ["del", i] for i in ids]
                mine.difference_update(ids)
            emit({"t": t, "s": seq, "ph": "B", "op": op, "eff": eff})
            try:
                call()
            except Exception as exc:  # noqa: BLE001 - reported to the parent
                emit({"t": t, "s": seq, "ph": "E", "err": f"{type(exc).__name__}: {exc}"})
                os._exit(3)
            emit({"t": t, "s": seq, "ph": "A"})

    def maintenance() -> None:
        rng = random.Random(seed * 1000 + 999)
        seq = 0
        while not stop.is_set():
            time.sleep(rng.uniform(0.01, 0.12))
            seq += 1
            op = "save" if rng.random() < 0.6 else "compact"
            emit({"t": "m", "s": seq, "ph": "B", "op": op})
            try:
                db.save() if op == "save" else db.compact()
            except Exception as exc:  # noqa: BLE001
                emit({"t": "m", "s": seq, "ph": "E", "err": f"{type(exc).__name__}: {exc}"})
                os._exit(3)
            emit({"t": "m", "s": seq, "ph": "A"})

    def searcher() -> None:
        rng = random.Random(seed)
        while not stop.is_set():
            db.search([rng.uniform(-30, 30) for _ in range(dim)], k=5)

    threads = [threading.Thread(target=writer, args=(t,), daemon=True)
               for t in range(nthreads)]
    threads += [threading.Thread(target=maintenance, daemon=True),
                threading.Thread(target=searcher, daemon=True)]
    print("READY", flush=True)
    for th in threads:
        th.start()
    time.sleep(60)  # the parent kills long before this
    stop.set()
    for th in threads:
        th.join()


if __name__ == "__main__":
    main()
