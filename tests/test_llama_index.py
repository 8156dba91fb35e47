"""The LlamaIndex store: queries with metadata filters (AND / OR and each comparison
operator), node reads, deletion by document, by id and by filter, clearing, and a
whole index built with llama-index-core's mock embedding, persisted and reopened."""

import pytest

pytest.importorskip("llama_index.core", reason="llama-index-core is not installed")

from llama_index.core import Document, StorageContext, VectorStoreIndex  # noqa: E402
from llama_index.core.embeddings import MockEmbedding  # noqa: E402
from llama_index.core.schema import NodeRelationship, RelatedNodeInfo, TextNode  # noqa: E402
from llama_index.core.vector_stores.types import (  # noqa: E402
    FilterCondition,
    FilterOperator,
    MetadataFilter,
    MetadataFilters,
    VectorStoreQuery,
    VectorStoreQueryMode,
)

import dralm  # noqa: E402
from dralm.llama_index import DralmVectorStore, filters_to_where  # noqa: E402

F = MetadataFilter
OP = FilterOperator


def _node(i, doc, **metadata):
    node = TextNode(id_=f"n{i}", text=f"text {i}", metadata=metadata,
                    embedding=[1.0 if d == i else 0.1 for d in range(4)])
    node.relationships[NodeRelationship.SOURCE] = RelatedNodeInfo(node_id=doc)
    return node


@pytest.fixture
def store(tmp_path):
    store = DralmVectorStore(tmp_path / "store")
    store.add([_node(0, "d1", n=0, tag="a"), _node(1, "d1", n=1, tag="b"),
               _node(2, "d2", n=2, tag="a"), _node(3, "d2", n=3, tag="c")])
    yield store
    store.close()


def _engine_accepts(where):
    import tempfile

    with tempfile.TemporaryDirectory() as scratch:
        db = dralm.Database(scratch + "/probe", dim=1)
        try:
            db.count(where)
            return True
        except ValueError:
            return False
        finally:
            db.close()


@pytest.mark.parametrize("filters, expected", [
    (MetadataFilters(filters=[F(key="tag", value="a")]), ["n0", "n2"]),
    (MetadataFilters(filters=[F(key="tag", value="a", operator=OP.NE)]), ["n1", "n3"]),
    (MetadataFilters(filters=[F(key="n", value=1, operator=OP.GT)]), ["n2", "n3"]),
    (MetadataFilters(filters=[F(key="n", value=1, operator=OP.GTE)]), ["n1", "n2", "n3"]),
    (MetadataFilters(filters=[F(key="n", value=1, operator=OP.LT)]), ["n0"]),
    (MetadataFilters(filters=[F(key="n", value=1, operator=OP.LTE)]), ["n0", "n1"]),
    (MetadataFilters(filters=[F(key="tag", value=["b", "c"], operator=OP.IN)]), ["n1", "n3"]),
    (MetadataFilters(filters=[F(key="tag", value=["a", "b"], operator=OP.NIN)]), ["n3"]),
    (MetadataFilters(filters=[F(key="tag", value="a"), F(key="n", value=0, operator=OP.GT)]),
     ["n2"]),
    (MetadataFilters(filters=[F(key="tag", value="b"), F(key="n", value=3)],
                     condition=FilterCondition.OR), ["n1", "n3"]),
    (MetadataFilters(filters=[
        F(key="tag", value="a"),
        MetadataFilters(filters=[F(key="n", value=0), F(key="n", value=3)],
                        condition=FilterCondition.OR)]), ["n0"]),
])
def test_query_filters(store, filters, expected):
    where = filters_to_where(filters)
    if not _engine_accepts(where):
        pytest.skip(f"this build's dralm filters do not accept {where}")
    result = store.query(VectorStoreQuery(query_embedding=[1.0, 0, 0, 0], similarity_top_k=10,
                                          filters=filters))
    assert sorted(result.ids) == expected
    assert [node.node_id for node in result.nodes] == result.ids
    assert store.get_nodes(filters=filters) and sorted(
        n.node_id for n in store.get_nodes(filters=filters)) == expected


def test_query_ranks_and_limits_by_node_and_document(store):
    result = store.query(VectorStoreQuery(query_embedding=[0.1, 0.1, 1.0, 0.1],
                                          similarity_top_k=2))
    assert result.ids[0] == "n2" and result.nodes[0].get_content() == "text 2"
    assert result.similarities[0] == pytest.approx(1.0)
    assert result.similarities[0] > result.similarities[1]
    limited = store.query(VectorStoreQuery(query_embedding=[0, 0, 1.0, 0], similarity_top_k=4,
                                           node_ids=["n0", "n3"]))
    assert sorted(limited.ids) == ["n0", "n3"]
    by_doc = store.query(VectorStoreQuery(query_embedding=[0, 0, 1.0, 0], similarity_top_k=4,
                                          doc_ids=["d1"]))
    assert sorted(by_doc.ids) == ["n0", "n1"]
    mmr = store.query(VectorStoreQuery(query_embedding=[0, 0, 1.0, 0], similarity_top_k=2,
                                       mode=VectorStoreQueryMode.MMR))
    assert mmr.ids[0] == "n2" and len(mmr.ids) == 2


@pytest.mark.parametrize("filters, message", [
    (MetadataFilters(filters=[F(key="tag", value="a", operator=OP.TEXT_MATCH)]),
     "unsupported filter operator: TEXT_MATCH"),
    (MetadataFilters(filters=[F(key="tag", value="a")], condition=FilterCondition.NOT),
     "unsupported filter condition: not"),
])
def test_unsupported_filters_are_refused_by_name(store, filters, message):
    with pytest.raises(ValueError, match=message):
        store.query(VectorStoreQuery(query_embedding=[1.0, 0, 0, 0], filters=filters))


def test_reads_and_deletions(store):
    nodes = store.get_nodes(node_ids=["n3", "missing", "n1"])
    assert [n.node_id for n in nodes] == ["n3", "n1"]
    assert nodes[0].metadata == {"n": 3, "tag": "c"} and nodes[0].embedding[3] == 1.0
    assert nodes[0].ref_doc_id == "d2"
    store.delete("d1")
    assert sorted(n.node_id for n in store.get_nodes()) == ["n2", "n3"]
    store.delete_nodes(node_ids=["n2", "n3"],
                       filters=MetadataFilters(filters=[F(key="tag", value="c")]))
    assert [n.node_id for n in store.get_nodes()] == ["n2"]
    store.clear()
    assert store.get_nodes() == [] and store.client.total_slots == 0


def test_an_index_with_the_mock_embedding_persists_and_reopens(tmp_path):
    path = tmp_path / "store"
    embed = MockEmbedding(embed_dim=8)
    store = DralmVectorStore(path, metric="l2")
    context = StorageContext.from_defaults(vector_store=store)
    documents = [Document(text="alpha", doc_id="a", metadata={"lang": "en"}),
                 Document(text="beta", doc_id="b", metadata={"lang": "fr"})]
    index = VectorStoreIndex.from_documents(documents, storage_context=context,
                                            embed_model=embed)
    retriever = index.as_retriever(
        similarity_top_k=5, filters=MetadataFilters(filters=[F(key="lang", value="fr")]))
    assert [hit.node.get_content() for hit in retriever.retrieve("anything")] == ["beta"]
    context.persist(persist_dir=str(tmp_path / "context"))
    store.close()

    reopened = DralmVectorStore(path)
    assert reopened.metric == "euclidean"
    index = VectorStoreIndex.from_vector_store(reopened, embed_model=embed)
    found = index.as_retriever(similarity_top_k=5).retrieve("anything")
    assert sorted(hit.node.get_content() for hit in found) == ["alpha", "beta"]
    reopened.close()
