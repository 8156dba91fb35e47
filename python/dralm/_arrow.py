"""`Database.to_arrow()`: the whole database as a pyarrow Table, read through
`Database.export()` one chunk at a time (the table itself holds every vector)."""

from __future__ import annotations

import importlib
import json
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from _dralm import Database

# Chunk size of the export behind the table: one Arrow record batch per chunk.
BATCH_SIZE = 4096


def to_arrow(database: Database) -> Any:
    """The table with the columns ``id`` (string), ``vector`` (fixed-size list of
    float32, one entry per dimension) and ``metadata`` (the metadata as compact JSON
    text, null when there is none), in insertion order."""
    try:
        pa = importlib.import_module("pyarrow")
    except ImportError as error:
        raise ImportError(
            "Database.to_arrow() needs pyarrow: pip install 'dralm[arrow]'") from error
    dim = database.dim
    schema = pa.schema([
        pa.field("id", pa.string(), nullable=False),
        pa.field("vector", pa.list_(pa.float32(), dim), nullable=False),
        pa.field("metadata", pa.string()),
    ])
    batches = []
    for ids, vectors, metadatas in database.export(BATCH_SIZE):
        flat = pa.array(vectors.reshape(-1), type=pa.float32())
        batches.append(pa.record_batch([
            pa.array(ids, type=pa.string()),
            pa.FixedSizeListArray.from_arrays(flat, dim),
            pa.array([_json_text(m) for m in metadatas], type=pa.string()),
        ], schema=schema))
    return pa.Table.from_batches(batches, schema=schema)


def _json_text(metadata: dict[str, Any] | None) -> str | None:
    if metadata is None:
        return None
    return json.dumps(metadata, separators=(",", ":"), sort_keys=True, ensure_ascii=False)
