"""Checks and converts the arguments of `dralm.ray.ShardedDatabase` as `Database` does.

A sharded write must be refused whole before any shard writes, so its arguments are
converted in the caller's process, by the extension module's own converters: the
checks, their order and their messages are those of `Database` itself.
"""

from __future__ import annotations

from typing import Any

import numpy as np

import dralm  # noqa: F401  (loads the extension module and the libraries it links)
import _dralm  # noqa: E402


def creation_parameters(dim: int, metric: str | None, m: int | None,
                        ef_construction: int | None,
                        quantize: bool) -> tuple[int, str, int, int, bool]:
    """(dim, the metric's own name, m, ef_construction, quantize) of the database
    `Database(path, dim, metric, m, ef_construction, quantize)` would create, refused
    with the same error when it would refuse them."""
    return _dralm._creation_parameters(dim, metric, m, ef_construction, quantize)


def id_bytes(method: str, id: object) -> bytes:
    """The UTF-8 bytes of one id, refused as `Database` refuses it."""
    return _dralm._id_bytes(method, id)


def id_list(method: str, ids: object) -> list[str]:
    return _dralm._ids(method, ids)


def vectors(method: str, vectors: object, dim: int) -> np.ndarray | list[np.ndarray]:
    """A batch of vectors converted as `Database` converts it: a 2-D float32 array, or
    (when the rows differ in length) a list of 1-D float32 arrays. Lengths are not
    checked."""
    return _as_rows(_dralm._vectors(method, vectors), dim)


def batch(
    method: str, ids: object, vectors: object, metadatas: object, dim: int,
) -> tuple[list[str], np.ndarray, list[dict[str, Any] | None] | None]:
    """The checks of a batch write, in the order `Database` makes them, the rows'
    lengths last."""
    id_list, rows, meta_list = _dralm._write_batch(method, ids, vectors, metadatas)
    return id_list, _check_dimensions(_as_rows(rows, dim), dim), meta_list


def _as_rows(rows: np.ndarray | list[np.ndarray], dim: int) -> np.ndarray | list[np.ndarray]:
    if isinstance(rows, list) and not rows:
        return np.empty((0, dim), dtype=np.float32)
    return rows


def _check_dimensions(rows: np.ndarray | list[np.ndarray], dim: int) -> np.ndarray:
    for row in rows:
        if len(row) != dim:
            raise ValueError(f"dimension mismatch: expected {dim}, got {len(row)}")
    assert isinstance(rows, np.ndarray)
    return rows
