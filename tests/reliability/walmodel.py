"""An independent model of the write-ahead log: frame parsing and encoding, and the
replay rules applied to a plain dict, so tests can say which state a damaged log
must recover to without trusting the engine's own reader."""

from __future__ import annotations

import json
import struct
import zlib
from dataclasses import dataclass, field

INSERT, DELETE, UPDATE = 1, 2, 3


@dataclass
class Frame:
    start: int  # offset of the kind byte
    end: int  # offset just past the CRC
    kind: int
    payload: bytes
    record: "Record | None"  # None when intact but undecodable or of unknown kind


@dataclass
class Record:
    kind: int
    id: str
    vector: tuple[float, ...] | None = None
    meta_changed: bool = False
    meta: object = None  # parsed JSON (dict) or None when absent


@dataclass
class State:
    """What a database holds: id -> (vector as float32 values, metadata or None)."""

    rows: dict[str, tuple[tuple[float, ...], object]] = field(default_factory=dict)

    def copy(self) -> "State":
        return State(dict(self.rows))


def f32(values) -> tuple[float, ...]:
    """Rounds Python floats to the 32-bit floats the engine stores."""
    values = list(values)
    return struct.unpack(f"<{len(values)}f", struct.pack(f"<{len(values)}f", *values))


# ---- encoding -----------------------------------------------------------------------


def _string(text: str) -> bytes:
    raw = text.encode("utf-8")
    return struct.pack("<I", len(raw)) + raw


def _vector(vec) -> bytes:
    return struct.pack("<I", len(vec)) + struct.pack(f"<{len(vec)}f", *vec)


def _meta(meta) -> bytes:
    if meta is None:
        return struct.pack("<I", 0)
    raw = json.dumps(meta, separators=(",", ":"), sort_keys=True, ensure_ascii=False)
    raw = raw.encode("utf-8")
    return struct.pack("<I", len(raw)) + raw


def frame(kind: int, payload: bytes) -> bytes:
    head = bytes([kind]) + payload
    return bytes([kind]) + struct.pack("<I", len(payload)) + payload + struct.pack(
        "<I", zlib.crc32(head) & 0xFFFFFFFF
    )


def insert_frame(id_: str, vec, meta=None) -> bytes:
    return frame(INSERT, _string(id_) + _vector(vec) + _meta(meta))


def delete_frame(id_: str) -> bytes:
    return frame(DELETE, _string(id_))


def update_frame(id_: str, vec=None, meta_changed=False, meta=None) -> bytes:
    body = _string(id_)
    body += b"\x01" + _vector(vec) if vec is not None else b"\x00"
    body += b"\x01" + _meta(meta) if meta_changed else b"\x00"
    return frame(UPDATE, body)


# ---- parsing ------------------------------------------------------------------------


class _Short(Exception):
    pass


class _Reader:
    def __init__(self, data: bytes):
        self.data, self.pos = data, 0

    def take(self, n: int) -> bytes:
        if self.pos + n > len(self.data):
            raise _Short()
        out = self.data[self.pos : self.pos + n]
        self.pos += n
        return out

    def u32(self) -> int:
        return struct.unpack("<I", self.take(4))[0]

    def string(self) -> str:
        return self.take(self.u32()).decode("utf-8")

    def vector(self) -> tuple[float, ...]:
        n = self.u32()
        return struct.unpack(f"<{n}f", self.take(4 * n))

    def meta(self):
        raw = self.take(self.u32())
        return None if not raw else json.loads(raw.decode("utf-8"))


def decode_payload(kind: int, payload: bytes) -> Record | None:
    r = _Reader(payload)
    try:
        if kind == INSERT:
            id_ = r.string()
            vec = r.vector()
            return Record(INSERT, id_, vec, True, r.meta())
        if kind == DELETE:
            return Record(DELETE, r.string())
        if kind == UPDATE:
            id_ = r.string()
            vec = r.vector() if r.take(1) == b"\x01" else None
            changed = r.take(1) == b"\x01"
            meta = r.meta() if changed else None
            return Record(UPDATE, id_, vec, changed, meta)
    except (_Short, UnicodeDecodeError, ValueError):
        return None
    return None


def parse_log(data: bytes) -> tuple[list[Frame], int]:
    """Frames up to the first torn or checksum-failing one, and the offset where the
    intact part ends (what the engine must cut the file back to)."""
    frames: list[Frame] = []
    pos = 0
    while pos + 5 <= len(data):
        kind = data[pos]
        length = struct.unpack_from("<I", data, pos + 1)[0]
        end = pos + 5 + length + 4
        if end > len(data):
            break
        payload = data[pos + 5 : pos + 5 + length]
        crc = struct.unpack_from("<I", data, end - 4)[0]
        if zlib.crc32(bytes([kind]) + payload) & 0xFFFFFFFF != crc:
            break
        frames.append(Frame(pos, end, kind, payload, decode_payload(kind, payload)))
        pos = end
    return frames, pos


# ---- replay -------------------------------------------------------------------------


def apply(state: State, rec: Record | None, dim: int) -> None:
    """One record replayed onto `state` the way the engine replays it."""
    if rec is None:
        return
    rows = state.rows
    if rec.kind == INSERT:
        if len(rec.vector) == dim:
            rows[rec.id] = (f32(rec.vector), rec.meta)
    elif rec.kind == DELETE:
        rows.pop(rec.id, None)
    elif rec.kind == UPDATE and rec.id in rows:
        vec, meta = rows[rec.id]
        if rec.vector is not None and len(rec.vector) == dim:
            vec = f32(rec.vector)
        if rec.meta_changed:
            meta = rec.meta
        rows[rec.id] = (vec, meta)


def prefix_states(base: State, frames: list[Frame], dim: int) -> list[State]:
    """states[i] is the state after replaying the first i frames onto `base`."""
    states = [base.copy()]
    for fr in frames:
        nxt = states[-1].copy()
        apply(nxt, fr.record, dim)
        states.append(nxt)
    return states


def read_state(db) -> State:
    """The whole content of an open database, read through the public methods."""
    rows = {}
    for id_ in db.ids():
        vec, meta = db.get(id_)
        rows[id_] = (tuple(vec), meta)
    return State(rows)


def describe_difference(got: State, want: State) -> str:
    missing = sorted(set(want.rows) - set(got.rows))[:5]
    extra = sorted(set(got.rows) - set(want.rows))[:5]
    changed = [k for k in want.rows if k in got.rows and got.rows[k] != want.rows[k]][:5]
    return f"missing={missing} extra={extra} changed={changed}"
