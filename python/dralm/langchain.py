"""A LangChain `VectorStore` backed by a dralm database directory.

    pip install 'dralm[langchain]'

Each document is one dralm vector under the document's id (a new UUID4 when it has
none); its metadata is the document's metadata plus its text under the reserved key
``TEXT_KEY``. Writes go to the database's log at once, so they survive a crash or a
restart without `save()`; `save()` folds the log into the saved files.

Scores. `similarity_search_with_score` returns dralm's distance for the database's
metric (smaller is closer): ``1 - cosine similarity`` for "cosine", the squared
Euclidean distance for "euclidean", the negated dot product for "dot_product".
`similarity_search_with_relevance_scores` maps it to [0, 1], larger is closer:

- cosine: ``1 - distance / 2``, i.e. ``(1 + cosine similarity) / 2``;
- euclidean: ``1 / (1 + distance)``;
- dot_product: ``(1 - distance) / 2``, i.e. ``(1 + dot product) / 2``, exact for
  unit-length embeddings and clipped to [0, 1] for others.

Pass ``relevance_score_fn`` to choose another mapping.

Filters (``filter=``) are Mongo-style dicts: ``{"field": value}``, ``{"field": {"$eq"
| "$ne" | "$gt" | "$gte" | "$lt" | "$lte" | "$in" | "$nin": operand}}``, ``{"$and":
[...]}``, ``{"$or": [...]}``, dotted fields for nested metadata. An empty dict is no
filter. Equality is type-strict, as in dralm: 1 does not match 1.0.

Importing this module imports langchain-core; ``import dralm`` alone never does.
"""

from __future__ import annotations

import os
import shutil
import tempfile
import threading
import uuid
from collections.abc import Callable, Iterable, Mapping, Sequence
from types import TracebackType
from typing import Any, Literal

import numpy as np
from langchain_core.documents import Document
from langchain_core.embeddings import Embeddings
from langchain_core.vectorstores import VectorStore
from langchain_core.vectorstores.utils import maximal_marginal_relevance

import dralm
from dralm._filters import translate_filter

__all__ = ["TEXT_KEY", "DralmVectorStore"]

#: The metadata key under which each document's text is stored.
TEXT_KEY = "_text"

Metric = Literal["cosine", "euclidean", "l2", "dot", "dot_product"]


def _cosine_relevance(distance: float) -> float:
    return min(1.0, max(0.0, 1.0 - distance / 2.0))


def _euclidean_relevance(distance: float) -> float:
    return 1.0 / (1.0 + max(0.0, distance))


def _dot_product_relevance(distance: float) -> float:
    return min(1.0, max(0.0, (1.0 - distance) / 2.0))


_RELEVANCE = {
    "cosine": _cosine_relevance,
    "euclidean": _euclidean_relevance,
    "dot_product": _dot_product_relevance,
}
_CANONICAL_METRIC: dict[str, Literal["cosine", "euclidean", "dot_product"]] = {"cosine": "cosine", "euclidean": "euclidean", "l2": "euclidean",
                     "dot": "dot_product", "dot_product": "dot_product"}


class DralmVectorStore(VectorStore):
    """LangChain vector store over one dralm database directory.

    Args:
        embedding: the embedding model for texts and queries.
        path: the database directory (str or os.PathLike). An existing database is
            opened; otherwise it is created at the first write, with the dimension
            of the first embeddings. None: a temporary directory removed by
            `close()`.
        metric: "cosine" (default), "euclidean"/"l2" or "dot"/"dot_product"; used
            when the database is created (an existing one keeps its own).
        relevance_score_fn: maps a distance to a relevance score, replacing the
            per-metric default described in the module's docstring.
        **database_options: `m`, `ef_construction`, `quantize` for a new database.
    """

    def __init__(
        self,
        embedding: Embeddings,
        path: str | os.PathLike[str] | None = None,
        *,
        metric: Metric = "cosine",
        relevance_score_fn: Callable[[float], float] | None = None,
        **database_options: Any,
    ) -> None:
        if metric not in _CANONICAL_METRIC:
            raise ValueError(f"unknown metric {metric!r}: use one of {sorted(_CANONICAL_METRIC)}")
        self._embedding = embedding
        self._temporary = tempfile.mkdtemp(prefix="dralm-") if path is None else None
        self._path = os.fspath(path) if path is not None else os.path.join(self._temporary or "", "db")
        self._metric = metric
        self._relevance_score_fn = relevance_score_fn
        self._database_options = database_options
        self._lock = threading.Lock()
        self._database: dralm.Database | None = None
        try:
            self._database = dralm.Database(self._path)
        except ValueError as error:
            if not str(error).startswith("database not found"):
                raise

    # ---- The database.

    @property
    def embeddings(self) -> Embeddings:
        return self._embedding

    @property
    def database(self) -> dralm.Database | None:
        """The underlying `dralm.Database`, None until the first write creates it."""
        return self._database

    @property
    def path(self) -> str:
        return self._path

    def _database_for(self, dim: int) -> dralm.Database:
        with self._lock:
            if self._database is None:
                database = dralm.Database(self._path, dim=dim,
                                          metric=_CANONICAL_METRIC[self._metric],
                                          **self._database_options)
                # Saved while empty so that a later open finds the saved files and
                # needs no dimension (the writes themselves are in the log).
                database.save()
                self._database = database
            return self._database

    def save(self) -> None:
        """Fold the log into the saved files (writes are durable without it)."""
        if self._database is not None:
            self._database.save()

    def close(self) -> None:
        """Close the database now (see `dralm.Database.close`) and remove the
        temporary directory of a store made without a path."""
        if self._database is not None:
            self._database.close()
        if self._temporary is not None:
            shutil.rmtree(self._temporary, ignore_errors=True)
            self._temporary = None

    def __enter__(self) -> DralmVectorStore:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    # ---- Writes.

    def add_texts(
        self,
        texts: Iterable[str],
        metadatas: list[dict[str, Any]] | None = None,
        *,
        ids: list[str] | None = None,
        **kwargs: Any,
    ) -> list[str]:
        """Embed and store the texts; an id that is already stored is replaced.
        Missing ids (None, or no list) get a new UUID4. Returns the ids in order."""
        texts = list(texts)
        if metadatas is not None and len(metadatas) != len(texts):
            raise ValueError(f"got {len(metadatas)} metadatas for {len(texts)} texts")
        if ids is not None and len(ids) != len(texts):
            raise ValueError(f"got {len(ids)} ids for {len(texts)} texts")
        if not texts:
            return []
        final_ids = [str(i) if i is not None else str(uuid.uuid4())
                     for i in (ids if ids is not None else [None] * len(texts))]
        stored: list[dict[str, Any] | None] = []
        for text, metadata in zip(texts, metadatas or [{}] * len(texts)):
            if TEXT_KEY in (metadata or {}):
                raise ValueError(f"the metadata key {TEXT_KEY!r} is reserved for the text")
            stored.append({**(metadata or {}), TEXT_KEY: text})
        vectors = np.asarray(self._embedding.embed_documents(texts), dtype=np.float32)
        if vectors.ndim != 2 or vectors.shape[0] != len(texts):
            raise ValueError(f"the embedding model returned {vectors.shape} for {len(texts)} texts")
        self._database_for(vectors.shape[1]).upsert_many(final_ids, vectors, stored)
        return final_ids

    def delete(self, ids: list[str] | None = None, **kwargs: Any) -> bool | None:
        """Delete these ids (unknown ones are skipped); None deletes everything."""
        database = self._database
        if database is None:
            return True
        database.delete_many(database.ids() if ids is None else list(ids))
        return True

    # ---- Reads.

    def get_by_ids(self, ids: Sequence[str], /) -> list[Document]:
        """The stored documents of these ids, in order; unknown and repeated ids are
        left out."""
        database = self._database
        if database is None:
            return []
        wanted = list(dict.fromkeys(i for i in ids if i in database))
        try:
            _, metadatas = database.get_many(wanted)
        except ValueError:  # deleted by another thread in between: read one by one
            found = [(i, database.get(i)[1]) for i in wanted if i in database]
            wanted, metadatas = [i for i, _ in found], [m for _, m in found]
        return [self._document(i, m) for i, m in zip(wanted, metadatas)]

    def similarity_search(self, query: str, k: int = 4, filter: Mapping[str, Any] | None = None,
                          **kwargs: Any) -> list[Document]:
        return [doc for doc, _ in self.similarity_search_with_score(query, k, filter, **kwargs)]

    def similarity_search_with_score(
        self, query: str, k: int = 4, filter: Mapping[str, Any] | None = None, **kwargs: Any
    ) -> list[tuple[Document, float]]:
        """Documents with their distance (smaller is closer; see the module's
        docstring for each metric)."""
        if self._database is None:
            return []
        return self.similarity_search_by_vector_with_score(
            self._embedding.embed_query(query), k, filter, **kwargs)

    def similarity_search_by_vector(self, embedding: list[float], k: int = 4,
                                    filter: Mapping[str, Any] | None = None,
                                    **kwargs: Any) -> list[Document]:
        return [doc for doc, _ in
                self.similarity_search_by_vector_with_score(embedding, k, filter, **kwargs)]

    def similarity_search_by_vector_with_score(
        self, embedding: Sequence[float], k: int = 4, filter: Mapping[str, Any] | None = None,
        **kwargs: Any
    ) -> list[tuple[Document, float]]:
        """As `similarity_search_with_score` for an embedding. ``ef_search`` and
        ``max_distance`` are passed to `dralm.Database.search`."""
        database = self._database
        if database is None or k <= 0:
            return []
        hits = database.search(np.asarray(embedding, dtype=np.float32), k=k,
                               ef_search=kwargs.get("ef_search"),
                               where_filter=translate_filter(filter),
                               max_distance=kwargs.get("max_distance"))
        return [(self._document(hit.id, hit.metadata), hit.distance) for hit in hits]

    def _select_relevance_score_fn(self) -> Callable[[float], float]:
        if self._relevance_score_fn is not None:
            return self._relevance_score_fn
        metric = self._database.metric if self._database is not None else \
            _CANONICAL_METRIC[self._metric]
        return _RELEVANCE[metric]

    def max_marginal_relevance_search(
        self, query: str, k: int = 4, fetch_k: int = 20, lambda_mult: float = 0.5,
        filter: Mapping[str, Any] | None = None, **kwargs: Any
    ) -> list[Document]:
        if self._database is None:
            return []
        return self.max_marginal_relevance_search_by_vector(
            self._embedding.embed_query(query), k, fetch_k, lambda_mult, filter, **kwargs)

    def max_marginal_relevance_search_by_vector(
        self, embedding: list[float], k: int = 4, fetch_k: int = 20, lambda_mult: float = 0.5,
        filter: Mapping[str, Any] | None = None, **kwargs: Any
    ) -> list[Document]:
        """The `fetch_k` nearest documents, of which `k` are chosen by maximal
        marginal relevance (`lambda_mult` 1: nearest only, 0: most diverse)."""
        database = self._database
        if database is None or k <= 0:
            return []
        query = np.asarray(embedding, dtype=np.float32)
        hits = database.search(query, k=max(k, fetch_k), where_filter=translate_filter(filter),
                               ef_search=kwargs.get("ef_search"),
                               max_distance=kwargs.get("max_distance"))
        hits = [hit for hit in hits if hit.id in database]
        if not hits:
            return []
        vectors, _ = database.get_many([hit.id for hit in hits])
        chosen = maximal_marginal_relevance(query, list(vectors), lambda_mult=lambda_mult, k=k)
        return [self._document(hits[i].id, hits[i].metadata) for i in chosen]

    @staticmethod
    def _document(id: str, metadata: dict[str, Any] | None) -> Document:
        fields = dict(metadata or {})
        text = fields.pop(TEXT_KEY, "")
        return Document(id=id, page_content=text, metadata=fields)

    # ---- Construction from texts.

    @classmethod
    def from_texts(
        cls,
        texts: list[str],
        embedding: Embeddings,
        metadatas: list[dict[str, Any]] | None = None,
        *,
        ids: list[str] | None = None,
        path: str | os.PathLike[str] | None = None,
        metric: Metric = "cosine",
        **kwargs: Any,
    ) -> DralmVectorStore:
        """A store at `path` (None: a temporary directory) holding the texts."""
        store = cls(embedding, path, metric=metric, **kwargs)
        store.add_texts(texts, metadatas, ids=ids)
        return store
