"""Type stubs of the compiled extension module."""

from collections.abc import Mapping, Sequence
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
Filter = Mapping[str, Any]

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
        path: str,
        dim: int | None = None,
        metric: Literal["cosine", "euclidean", "l2", "dot", "dot_product"] | None = None,
        m: int | None = None,
        ef_construction: int | None = None,
        quantize: bool = False,
    ) -> None: ...
    @property
    def dim(self) -> int: ...
    @property
    def metric(self) -> Literal["cosine", "euclidean", "dot_product"]: ...
    @property
    def quantized_search(self) -> bool: ...
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
    def get(self, id: str) -> tuple[list[float], dict[str, Any] | None]: ...
    def ids(self) -> list[str]: ...
    def count(self, where_filter: Filter | None = None) -> int: ...
    def save(self) -> None: ...
    def compact(self) -> None: ...
    def stats(self) -> Stats: ...
    def enable_quantized_search(self) -> None: ...
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
