"""Checks and converts the arguments of `dralm.ray.ShardedDatabase` as `Database` does.

A sharded write must be refused whole before any shard writes, so its arguments are
converted in the caller's process. An empty local `Database` of the same dimension,
which is never written, does the conversions whose messages come from the engine
(vectors, metadata); the simpler checks are made here with the same texts.
"""

from __future__ import annotations

import os
import shutil
import tempfile
import weakref
from collections.abc import Sequence
from typing import Any

import numpy as np

import dralm

# An id the checker never holds: updating it converts the metadata exactly as every
# write does and then fails with "not found", writing nothing.
_PROBE_ID = "dralm.ray metadata probe"
_PROBE_MISSING = f"id '{_PROBE_ID}' not found"


class ArgumentChecker:
    """Converts ids, vectors and metadata of one sharded database's calls."""

    def __init__(self, dim: int, metric: str) -> None:
        self._dim = dim
        scratch = tempfile.mkdtemp(prefix="dralm-ray-")
        self.close = weakref.finalize(self, shutil.rmtree, scratch, True)
        self._db = dralm.Database(
            os.path.join(scratch, "db"), dim, metric)  # type: ignore[arg-type]

    def utf8(self, method: str, id: object) -> bytes:
        """The UTF-8 bytes of one id, refused as `Database` refuses it."""
        if not isinstance(id, str):
            raise TypeError(f"{method}() argument 'id' must be str, not {type(id).__name__}")
        try:
            return id.encode("utf-8")
        except UnicodeEncodeError:
            self._db.get(id)  # raises the binding's own error for such a str
            raise

    def id_list(self, method: str, ids: object) -> list[str]:
        if isinstance(ids, str) or not isinstance(ids, Sequence):
            raise TypeError(f"{method}() argument 'ids' must be a sequence of str, "
                            f"not {type(ids).__name__}")
        out = list(ids)
        for position, id in enumerate(out):
            if not isinstance(id, str):
                raise TypeError(f"{method}() argument 'ids' item {position} must be str, "
                                f"not {type(id).__name__}")
        return out

    def vectors(self, method: str, vectors: object) -> np.ndarray | list[np.ndarray]:
        """Converts a batch of vectors as `Database` does: a 2-D float32 array, or (when the
        rows differ in length) a list of 1-D float32 arrays. Lengths are not checked."""
        if (isinstance(vectors, np.ndarray) and vectors.ndim == 2
                and vectors.dtype == np.float32):
            return np.ascontiguousarray(vectors)
        try:
            self._db.search_many(vectors, 0)  # type: ignore[arg-type]
        except TypeError as error:
            message = str(error)
            if message.startswith("search_many()"):
                message = f"{method}()" + message[len("search_many()"):]
            raise TypeError(message) from None
        except ValueError:
            pass  # converted; a row of the wrong length is reported where Database does
        assert isinstance(vectors, Sequence) or isinstance(vectors, np.ndarray)
        rows = [_row(v) for v in vectors]
        if rows and all(len(r) == len(rows[0]) for r in rows):
            return np.stack(rows)
        if not rows:
            return np.empty((0, self._dim), dtype=np.float32)
        return rows

    def metadata_list(self, method: str, metadatas: object,
                      count: int) -> list[dict[str, Any] | None] | None:
        if metadatas is None:
            return None
        if not isinstance(metadatas, list):
            raise TypeError(f"{method}() argument 'metadatas' must be list or None, "
                            f"not {type(metadatas).__name__}")
        if len(metadatas) != count:
            raise ValueError(f"metadatas length ({len(metadatas)}) != ids length ({count})")
        for item in metadatas:
            if item is None:
                continue
            if not isinstance(item, dict):
                raise ValueError("metadatas must be list of dicts or None")
            try:
                self._db.update(_PROBE_ID, None, item)
            except ValueError as error:
                if str(error) != _PROBE_MISSING:
                    raise
        return list(metadatas)

    def check_dimensions(self, vectors: np.ndarray | list[np.ndarray]) -> np.ndarray:
        for row in vectors:
            if len(row) != self._dim:
                raise ValueError(f"dimension mismatch: expected {self._dim}, got {len(row)}")
        assert isinstance(vectors, np.ndarray)
        return vectors

    def batch(
        self, method: str, ids: object, vectors: object, metadatas: object,
    ) -> tuple[list[str], np.ndarray, list[dict[str, Any] | None] | None]:
        """The checks of a batch write, in the order `Database` makes them."""
        id_list = self.id_list(method, ids)
        if metadatas is not None and not isinstance(metadatas, list):
            raise TypeError(f"{method}() argument 'metadatas' must be list or None, "
                            f"not {type(metadatas).__name__}")
        rows = self.vectors(method, vectors)
        if len(id_list) != len(rows):
            raise ValueError(f"ids length ({len(id_list)}) != vectors length ({len(rows)})")
        meta_list = self.metadata_list(method, metadatas, len(id_list))
        return id_list, self.check_dimensions(rows), meta_list


def _row(vector: object) -> np.ndarray:
    """One vector as float32: each item's Python float value narrowed to 32 bits."""
    if isinstance(vector, np.ndarray) and vector.ndim == 1:
        return vector.astype(np.float32)
    try:
        return np.array(vector, dtype=np.float64).astype(np.float32)
    except (TypeError, ValueError):
        items = list(vector)  # type: ignore[call-overload]
        return np.fromiter(map(float, items), dtype=np.float64, count=len(items)).astype(
            np.float32)
