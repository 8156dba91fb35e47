"""A fixed sequence of writes and saves, for running under injected I/O errors.

    python io_scenario.py DIR QUANTIZE(0|1) [ACKFILE]

Each step runs whatever happens; a step that fails must fail with ValueError
"io error: ..." and change nothing, and the database must stay usable for the steps
after it. With ACKFILE, "B <step>" and "A <step>" lines are appended around each step,
so a run killed part-way still tells which steps were acknowledged. Prints one JSON
line: every step's outcome, the model of what the acknowledged steps hold, and what
the open database itself holds at the end.
"""

from __future__ import annotations

import json
import os
import sys

import _dralm


def steps():
    v = lambda *x: [float(i) for i in x]  # noqa: E731
    return [
        ("add", "a", v(1, 2, 3, 4), {"k": "a"}),
        ("add", "b", v(2, 3, 4, 5), None),
        ("add", "c", v(3, 4, 5, 6), {"k": "c", "n": [1, 2]}),
        ("save",),
        ("upsert", "b", v(9, 9, 9, 9), {"k": "b2"}),
        ("update", "a", None, {"k": "a2"}),
        ("delete", "c"),
        ("add_many", ["d", "e", "f"], [v(4, 4, 4, 4), v(5, 5, 5, 5), v(6, 6, 6, 6)],
         [{"i": 4}, None, {"i": 6}]),
        ("add", "g", v(7, 0, 7, 0), {"g": True}),
        ("save",),
        ("add", "h", v(8, 1, 8, 1), None),
        ("delete_many", ["d", "zz"]),
        ("upsert_many", ["a", "i"], [v(1, 1, 1, 1), v(0, 1, 0, 1)], [None, {"i": "new"}]),
        ("update", "e", v(5, 6, 7, 8), None),
        ("compact",),
        ("save",),
        ("add", "j", v(0, 0, 0, 1), {"last": 1}),
        ("delete", "b"),
    ]


def apply(model: dict, step) -> None:
    op = step[0]
    if op in ("add", "upsert"):
        model[step[1]] = (step[2], step[3])
    elif op == "update":
        vec, meta = model[step[1]]
        model[step[1]] = (step[2] if step[2] is not None else vec,
                          step[3] if step[3] is not None else meta)
    elif op == "delete":
        model.pop(step[1], None)
    elif op in ("add_many", "upsert_many"):
        for i, vec, meta in zip(step[1], step[2], step[3]):
            model[i] = (vec, meta)
    elif op == "delete_many":
        for i in step[1]:
            model.pop(i, None)


def main() -> None:
    path, quantize = sys.argv[1], sys.argv[2] == "1"
    ack = None
    if len(sys.argv) > 3:
        ack = os.open(sys.argv[3], os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)

    def mark(text):
        if ack is not None:
            os.write(ack, text.encode() + b"\n")
    db = _dralm.Database(path, dim=4, metric="euclidean", quantize=quantize)
    model: dict = {}
    outcomes = []
    for index, step in enumerate(steps()):
        op = step[0]
        mark(f"B {index}")
        if op == "update" and step[1] not in model:
            # an earlier step that creates this id failed on purpose: NotFound is right
            try:
                db.update(*step[1:])
                outcomes.append([op, "bad", "update of an id never stored succeeded"])
            except ValueError as exc:
                ok = str(exc) == f"id '{step[1]}' not found"
                outcomes.append([op, "skipped" if ok else "bad", str(exc)])
            continue
        try:
            if op in ("save", "compact"):
                getattr(db, op)()
            elif op == "delete_many":
                db.delete_many(step[1])
            elif op == "delete":
                db.delete(step[1])
            else:
                getattr(db, op)(*step[1:])
        except ValueError as exc:
            outcomes.append([op, "io" if str(exc).startswith("io error: ") else "bad", str(exc)])
            continue
        except Exception as exc:  # noqa: BLE001 - anything else is a fault
            outcomes.append([op, "bad", f"{type(exc).__name__}: {exc}"])
            continue
        outcomes.append([op, "ok", ""])
        apply(model, step)
        mark(f"A {index}")
    held = {i: db.get(i) for i in db.ids()}
    print(json.dumps({"outcomes": outcomes, "model": model, "held": held}))


if __name__ == "__main__":
    main()
