"""Type stubs of the compiled extension module."""

import os
from collections.abc import Iterator, Mapping, Sequence
from types import TracebackType
from typing import Any, Literal, SupportsFloat, SupportsIndex, TypedDict

import numpy as np
import numpy.typing as npt

_Number = SupportsFloat | SupportsIndex
# One vector: a sequence of numbers, or a 1-D float32 NumPy array.
Vector = Sequence[_Number] | npt.NDArray[np.floating[Any]] | bytes
# Many vectors: a 2-D float32 NumPy array, or a sequence of vectors.
Vectors = npt.NDArray[np.floating[Any]] | Sequence[Vector]
Metadata = Mapping[str, Any]
# A where_filter: field names (dotted names also reach into nested objects) mapped to a
# value or to a dict of operators ("$ne", "$in", "$nin", "$gt", "$gte", "$lt", "$lte"),
# and "$or" / "$and" mapped to a non-empty list of such filters.
Filter = Mapping[str, Any]
Path = str | bytes | os.PathLike[str] | os.PathLike[bytes]
# One chunk of Database.export(): ids, a float32 (len(ids), dim) array, metadata.
ExportChunk = tuple[list[str], npt.NDArray[np.float32], list[dict[str, Any] | None]]

class Stats(TypedDict):
    num_vectors: int
    num_deleted: int
    num_layers: int
    avg_degree_layer0: float
    max_degree_layer0: int
    min_degree_layer0: int
    memory_vectors_bytes: int
    memory_graph_bytes: int
    memory_quantized_bytes: int
    uses_brute_force: bool
    uses_quantized_search: bool
    quantized_search_bits: Literal[0, 4, 8]

class SearchResult:
    @property
    def id(self) -> str: ...
    @property
    def distance(self) -> float: ...
    @property
    def metadata(self) -> dict[str, Any] | None: ...
    def __getitem__(self, index: int) -> str | float | dict[str, Any] | None: ...

class Database:
    def __init__(
        self,
        path: Path,
        dim: int | None = None,
        metric: Literal["cosine", "euclidean", "l2", "dot", "dot_product"] | None = None,
        m: int | None = None,
        ef_construction: int | None = None,
        quantize: bool = False,
        *,
        read_only: bool = False,
    ) -> None:
        """Open the database in directory `path`, or create it there when `dim` is given.

        `metric`, `m`, `ef_construction` and `quantize` apply only when a database is
        created. `read_only=True` opens a saved database without the writer's lock, so
        many processes can read one directory while one process writes it: the object
        sees the state as of its open (and `refresh()` re-reads what was saved since),
        refuses every write, `save()` and `compact()` with
        `ValueError("io error: database at '<path>' is open read-only")`, and never
        changes a byte of the directory. A directory that was never saved cannot be
        opened read-only.
        """
    @property
    def dim(self) -> int: ...
    @property
    def metric(self) -> Literal["cosine", "euclidean", "dot_product"]: ...
    @property
    def quantized_search(self) -> bool: ...
    @property
    def quantized_search_bits(self) -> Literal[0, 4, 8]:
        """Bits per code of quantized search: 8 (SQ8) or 4, or 0 while it is off."""
    @property
    def deleted_count(self) -> int: ...
    @property
    def total_slots(self) -> int: ...
    def add(self, id: str, vector: Vector, metadata: Metadata | None = None) -> None: ...
    def upsert(self, id: str, vector: Vector, metadata: Metadata | None = None) -> None: ...
    def add_many(
        self,
        ids: Sequence[str],
        vectors: Vectors,
        metadatas: list[dict[str, Any] | None] | None = None,
    ) -> None: ...
    def upsert_many(
        self,
        ids: Sequence[str],
        vectors: Vectors,
        metadatas: list[dict[str, Any] | None] | None = None,
    ) -> None: ...
    def update(
        self, id: str, vector: Vector | None = None, metadata: Metadata | None = None
    ) -> None: ...
    def delete(self, id: str) -> bool: ...
    def delete_many(self, ids: Sequence[str]) -> int: ...
    # max_distance: None (or inf) is no bound; NaN raises ValueError.
    def search(
        self,
        vector: Vector,
        k: int = 10,
        ef_search: int | None = None,
        where_filter: Filter | None = None,
        max_distance: float | None = None,
    ) -> list[SearchResult]: ...
    def search_many(
        self,
        vectors: Vectors,
        k: int = 10,
        ef_search: int | None = None,
        where_filter: Filter | None = None,
        max_distance: float | None = None,
    ) -> list[list[SearchResult]]: ...
    def search_arrays(
        self,
        vectors: Vectors,
        k: int = 10,
        ef_search: int | None = None,
        where_filter: Filter | None = None,
        max_distance: float | None = None,
    ) -> tuple[npt.NDArray[np.object_], npt.NDArray[np.float32]]: ...
    def get(self, id: str) -> tuple[list[float], dict[str, Any] | None]: ...
    def get_many(
        self, ids: Sequence[str]
    ) -> tuple[npt.NDArray[np.float32], list[dict[str, Any] | None]]: ...
    def ids(self) -> list[str]: ...
    def ids_matching(self, where_filter: Filter | None) -> list[str]: ...
    def count(self, where_filter: Filter | None = None) -> int: ...
    def export(self, batch_size: int = 1024) -> Iterator[ExportChunk]: ...
    def to_arrow(self) -> Any: ...
    def close(self) -> None: ...
    def save(self) -> None: ...
    def compact(self) -> None: ...
    def refresh(self) -> None:
        """Re-read a database opened with `read_only=True` (saved state and log).

        Raises ValueError on a writable database."""
    def stats(self) -> Stats: ...
    def enable_quantized_search(self, bits: Literal[8, 4] = 8) -> None:
        """Traverse the graph on 8-bit (SQ8) or 4-bit codes, re-ranking exactly.

        Raises ValueError for any other `bits`."""
    def disable_quantized_search(self) -> None: ...
    def __len__(self) -> int: ...
    def __contains__(self, id: object) -> bool: ...
    def __enter__(self) -> Database: ...
    def __exit__(
        self,
        _exc_type: type[BaseException] | None = None,
        _exc_val: BaseException | None = None,
        _exc_tb: TracebackType | None = None,
    ) -> Literal[False]: ...

# ---- Private: Database's own argument conversions, run without a database (the sharded
# database refuses a bad call in the caller's process with Database's messages). `method`
# is the name the messages give the call, as in "add_many() argument 'ids' ...".

# The creation defaults of m and ef_construction.
_DEFAULT_M: int
_DEFAULT_EF_CONSTRUCTION: int
# Every name Database(metric=...) takes, mapped to the metric's own name.
_METRICS: dict[str, str]

def _creation_parameters(
    dim: int, metric: str | None, m: int | None, ef_construction: int | None, quantize: bool, /
) -> tuple[int, str, int, int, bool]:
    """(dim, metric's own name, m, ef_construction, quantize) of the database that
    Database(path, dim, metric, m, ef_construction, quantize) creates, defaults filled
    in; its TypeError or ValueError when it refuses them. Touches no file."""
def _id_bytes(method: str, id: object, /) -> bytes:
    """The UTF-8 bytes of an id, refused as method(id) refuses it."""
def _ids(method: str, ids: object, /) -> list[str]:
    """The ids of method(ids), refused as that call refuses them."""
def _vectors(
    method: str, vectors: object, /
) -> npt.NDArray[np.float32] | list[npt.NDArray[np.float32]]:
    """The vectors of method(vectors) as float32: one 2-D array when there are rows and
    all have one length, else a list of 1-D arrays. The lengths are not checked."""
def _write_batch(
    method: str, ids: object, vectors: object, metadatas: object, /
) -> tuple[
    list[str],
    npt.NDArray[np.float32] | list[npt.NDArray[np.float32]],
    list[dict[str, Any] | None] | None,
]:
    """The arguments of method(ids, vectors, metadatas) (add_many, upsert_many) checked in
    that method's order and with its messages: the ids, the vectors as _vectors gives
    them, and a copy of the metadatas list (or None). The lengths of rows are not
    checked."""
