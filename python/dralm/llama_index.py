"""A LlamaIndex vector store backed by a dralm database directory.

    pip install 'dralm[llama-index]'

Each node is one dralm vector under the node's id. Its metadata is the node's own
metadata (so filters reach it) plus LlamaIndex's usual fields: the serialised node
(``_node_content``, text included), ``_node_type``, ``document_id``, ``doc_id`` and
``ref_doc_id``, and ``_node_id``. Writes go to the database's log at once; `persist()`
(called by ``StorageContext.persist``) folds the log into the saved files of the
database directory, and a new store on the same path finds every node again.

Similarities in query results are larger-is-closer: the cosine similarity for
"cosine", the dot product for "dot_product", and ``1 / (1 + squared distance)`` for
"euclidean".

Filters: `MetadataFilters` with AND / OR conditions (nested), and the operators EQ,
NE, GT, GTE, LT, LTE, IN, NIN; the others raise ValueError. Equality is type-strict, as
in dralm: 1 does not match 1.0.

Importing this module imports llama-index-core; ``import dralm`` alone never does.
"""

from __future__ import annotations

import os
import threading
from collections.abc import Sequence
from typing import Any, Literal

import numpy as np
from llama_index.core.bridge.pydantic import PrivateAttr
from llama_index.core.indices.query.embedding_utils import get_top_k_mmr_embeddings
from llama_index.core.schema import BaseNode
from llama_index.core.vector_stores.types import (
    BasePydanticVectorStore,
    FilterCondition,
    FilterOperator,
    MetadataFilter,
    MetadataFilters,
    VectorStoreQuery,
    VectorStoreQueryMode,
    VectorStoreQueryResult,
)
from llama_index.core.vector_stores.utils import metadata_dict_to_node, node_to_metadata_dict

import dralm
from dralm._filters import all_of

__all__ = ["NODE_ID_KEY", "DralmVectorStore", "filters_to_where"]

#: The metadata key holding each node's id, so that queries can be limited to ids.
NODE_ID_KEY = "_node_id"

_OPERATORS = {
    FilterOperator.NE: "$ne",
    FilterOperator.GT: "$gt",
    FilterOperator.GTE: "$gte",
    FilterOperator.LT: "$lt",
    FilterOperator.LTE: "$lte",
    FilterOperator.IN: "$in",
    FilterOperator.NIN: "$nin",
}
_CANONICAL_METRIC: dict[str, Literal["cosine", "euclidean", "dot_product"]] = {"cosine": "cosine", "euclidean": "euclidean", "l2": "euclidean",
                     "dot": "dot_product", "dot_product": "dot_product"}


def filters_to_where(filters: MetadataFilters | None) -> dict[str, Any] | None:
    """The dralm `where_filter` for LlamaIndex `MetadataFilters` (None: no filter)."""
    if filters is None or not filters.filters:
        return None
    terms = [filters_to_where(f) if isinstance(f, MetadataFilters) else _condition(f)
             for f in filters.filters]
    present = [term for term in terms if term is not None]
    if not present:
        return None
    condition = filters.condition or FilterCondition.AND
    if condition == FilterCondition.AND:
        return all_of(present)
    if condition == FilterCondition.OR:
        return present[0] if len(present) == 1 else {"$or": present}
    raise ValueError(f"unsupported filter condition: {condition.value}")


def _condition(f: MetadataFilter) -> dict[str, Any]:
    operator = getattr(f, "operator", FilterOperator.EQ)  # ExactMatchFilter has none
    if operator == FilterOperator.EQ:
        return {f.key: f.value}
    if operator not in _OPERATORS:
        raise ValueError(f"unsupported filter operator: {operator.name}")
    value: Any = f.value
    if operator in (FilterOperator.IN, FilterOperator.NIN) and not isinstance(value, list):
        value = [value]
    return {f.key: {_OPERATORS[operator]: value}}


class DralmVectorStore(BasePydanticVectorStore):
    """LlamaIndex vector store over one dralm database directory.

    Args:
        path: the database directory (str or os.PathLike). An existing database is
            opened; otherwise it is created at the first `add`, with the dimension
            of the first node's embedding.
        metric: "cosine" (default), "euclidean"/"l2" or "dot"/"dot_product", for a
            new database (an existing one keeps its own).
        **database_options: `m`, `ef_construction`, `quantize` for a new database.
    """

    stores_text: bool = True
    flat_metadata: bool = False
    path: str
    metric: str = "cosine"

    _database: dralm.Database | None = PrivateAttr(default=None)
    _options: dict[str, Any] = PrivateAttr(default_factory=dict)
    _lock: threading.Lock = PrivateAttr(default_factory=threading.Lock)

    def __init__(self, path: str | os.PathLike[str], metric: str = "cosine",
                 **database_options: Any) -> None:
        if metric not in _CANONICAL_METRIC:
            raise ValueError(f"unknown metric {metric!r}: use one of {sorted(_CANONICAL_METRIC)}")
        super().__init__(path=os.fspath(path), metric=metric)  # type: ignore[call-arg]
        self._options = database_options
        try:
            self._database = dralm.Database(self.path)
        except ValueError as error:
            if not str(error).startswith("database not found"):
                raise
        if self._database is not None:
            self.metric = self._database.metric

    @classmethod
    def class_name(cls) -> str:
        return "DralmVectorStore"

    @property
    def client(self) -> dralm.Database | None:
        """The underlying `dralm.Database`, None until the first `add` creates it."""
        return self._database

    def _database_for(self, dim: int) -> dralm.Database:
        with self._lock:
            if self._database is None:
                database = dralm.Database(self.path, dim=dim,
                                          metric=_CANONICAL_METRIC[self.metric],
                                          **self._options)
                # Saved while empty so that a later open finds the saved files and
                # needs no dimension (the writes themselves are in the log).
                database.save()
                self._database = database
                self.metric = self._database.metric
            return self._database

    # ---- Writes.

    def add(self, nodes: Sequence[BaseNode], **kwargs: Any) -> list[str]:
        """Store the nodes (each needs its embedding); a stored id is replaced."""
        if not nodes:
            return []
        ids = [node.node_id for node in nodes]
        vectors = np.asarray([node.get_embedding() for node in nodes], dtype=np.float32)
        metadatas: list[dict[str, Any] | None] = []
        for node in nodes:
            metadata = node_to_metadata_dict(node, remove_text=False,
                                             flat_metadata=self.flat_metadata)
            metadata[NODE_ID_KEY] = node.node_id
            metadatas.append(metadata)
        self._database_for(vectors.shape[1]).upsert_many(ids, vectors, metadatas)
        return ids

    def delete(self, ref_doc_id: str, **delete_kwargs: Any) -> None:
        """Delete every node of the document `ref_doc_id`."""
        if self._database is not None:
            self._database.delete_many(self._database.ids_matching({"ref_doc_id": ref_doc_id}))

    def delete_nodes(self, node_ids: list[str] | None = None,
                     filters: MetadataFilters | None = None, **delete_kwargs: Any) -> None:
        """Delete the nodes with these ids that match `filters` (either may be None)."""
        if self._database is not None:
            self._database.delete_many(self._select(node_ids, filters))

    def clear(self) -> None:
        """Delete every node and reclaim the space."""
        if self._database is not None:
            self._database.delete_many(self._database.ids())
            self._database.compact()

    def persist(self, persist_path: str = "", fs: Any = None) -> None:
        """Save the database in its own directory (the data never lives elsewhere,
        so `persist_path` is not used)."""
        if self._database is not None:
            self._database.save()

    def close(self) -> None:
        """Close the database now (see `dralm.Database.close`)."""
        if self._database is not None:
            self._database.close()

    # ---- Reads.

    def _select(self, node_ids: list[str] | None, filters: MetadataFilters | None) -> list[str]:
        database = self._database
        if database is None:
            return []
        where = filters_to_where(filters)
        if node_ids is None:
            return database.ids() if where is None else database.ids_matching(where)
        if where is not None:
            where = all_of([where, {NODE_ID_KEY: {"$in": list(node_ids)}}])
            return database.ids_matching(where)
        return [i for i in dict.fromkeys(node_ids) if i in database]

    def get_nodes(self, node_ids: list[str] | None = None,
                  filters: MetadataFilters | None = None) -> list[BaseNode]:
        """The stored nodes with these ids (unknown ids left out) that match
        `filters`, each with its embedding; all nodes when both are None."""
        database = self._database
        if database is None:
            return []
        ids = self._select(node_ids, filters)
        vectors, metadatas = database.get_many(ids)
        nodes = []
        for vector, metadata in zip(vectors, metadatas):
            node = metadata_dict_to_node(metadata or {})
            node.embedding = vector.tolist()
            nodes.append(node)
        return nodes

    def query(self, query: VectorStoreQuery, **kwargs: Any) -> VectorStoreQueryResult:
        """The `similarity_top_k` nearest nodes, limited by `filters`, `node_ids`
        and `doc_ids` (an empty list is no limit). Modes: default and MMR (``mmr_threshold`` as for the
        in-memory store)."""
        database = self._database
        if query.query_embedding is None:
            raise ValueError("DralmVectorStore.query needs query.query_embedding")
        if database is None or query.similarity_top_k <= 0:
            return VectorStoreQueryResult(nodes=[], similarities=[], ids=[])
        terms = [t for t in [filters_to_where(query.filters)] if t is not None]
        # An empty list is no limit: the index's retriever sends node_ids=[] when the
        # store keeps the nodes itself.
        if query.node_ids:
            terms.append({NODE_ID_KEY: {"$in": list(query.node_ids)}})
        if query.doc_ids:
            terms.append({"ref_doc_id": {"$in": list(query.doc_ids)}})
        where = all_of(terms) if terms else None
        embedding = np.asarray(query.query_embedding, dtype=np.float32)
        if query.mode == VectorStoreQueryMode.MMR:
            return self._query_mmr(database, embedding, query, where, kwargs)
        if query.mode != VectorStoreQueryMode.DEFAULT:
            raise ValueError(f"unsupported query mode: {query.mode.value}")
        hits = database.search(embedding, k=query.similarity_top_k, where_filter=where)
        return VectorStoreQueryResult(
            nodes=[metadata_dict_to_node(hit.metadata or {}) for hit in hits],
            similarities=[self._similarity(hit.distance) for hit in hits],
            ids=[hit.id for hit in hits])

    def _query_mmr(self, database: dralm.Database, embedding: np.ndarray,
                   query: VectorStoreQuery, where: dict[str, Any] | None,
                   kwargs: dict[str, Any]) -> VectorStoreQueryResult:
        fetch_k = max(query.similarity_top_k, int(kwargs.get("mmr_prefetch_k", 0)),
                      query.similarity_top_k * int(kwargs.get("mmr_prefetch_factor", 4)))
        hits = [hit for hit in database.search(embedding, k=fetch_k, where_filter=where)
                if hit.id in database]
        if not hits:
            return VectorStoreQueryResult(nodes=[], similarities=[], ids=[])
        vectors, _ = database.get_many([hit.id for hit in hits])
        similarities, ids = get_top_k_mmr_embeddings(
            embedding.tolist(), vectors.tolist(), similarity_top_k=query.similarity_top_k,
            embedding_ids=[hit.id for hit in hits],
            mmr_threshold=kwargs.get("mmr_threshold", query.mmr_threshold))
        by_id = {hit.id: hit for hit in hits}
        return VectorStoreQueryResult(
            nodes=[metadata_dict_to_node(by_id[i].metadata or {}) for i in ids],
            similarities=list(similarities), ids=list(ids))

    def _similarity(self, distance: float) -> float:
        if self.metric == "cosine":
            return 1.0 - distance
        if self.metric == "dot_product":
            return -distance
        return 1.0 / (1.0 + distance)
