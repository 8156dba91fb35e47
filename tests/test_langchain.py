"""The LangChain store: the standard suite of langchain-tests (sync tests, and the
async ones through the base class's defaults), then what that suite does not cover:
filters, scores, maximal marginal relevance, reopening and from_texts."""

import math

import pytest

pytest.importorskip("langchain_core", reason="langchain-core is not installed")
integration = pytest.importorskip("langchain_tests.integration_tests",
                                  reason="langchain-tests is not installed")

from langchain_core.documents import Document  # noqa: E402
from langchain_core.embeddings import Embeddings  # noqa: E402

import dralm  # noqa: E402
from dralm.langchain import TEXT_KEY, DralmVectorStore  # noqa: E402


class TestStandardSuite(integration.VectorStoreIntegrationTests):
    @pytest.fixture
    def vectorstore(self, tmp_path):
        store = DralmVectorStore(self.get_embeddings(), tmp_path / "store")
        yield store
        store.close()


class AxisEmbeddings(Embeddings):
    """Texts "e0".."e3" embed as the unit axes of 4 dimensions; any other text as
    the axis its first character's code selects."""

    def embed_documents(self, texts):
        return [self.embed_query(text) for text in texts]

    def embed_query(self, text):
        axis = int(text[1:]) if text[:1] == "e" and text[1:].isdigit() else ord(text[0]) % 4
        return [1.0 if i == axis else 0.0 for i in range(4)]


def _filter_supported(where):
    """Whether this build's dralm accepts the filter form (the adapter emits $and,
    $or, $nin and dotted fields whatever the engine's version); a dotted field must
    also reach into the nested object."""
    import tempfile

    with tempfile.TemporaryDirectory() as scratch:
        db = dralm.Database(scratch + "/probe", dim=1)
        db.add("x", [1.0], {"deep": {"x": 1}})
        try:
            return db.count(where) == 1 or "deep.x" not in where
        except ValueError:
            return False
        finally:
            db.close()


@pytest.fixture
def store(tmp_path):
    store = DralmVectorStore(AxisEmbeddings(), tmp_path / "store")
    store.add_texts(["e0", "e1", "e2", "e3"],
                    [{"n": 0, "tag": "a"}, {"n": 1, "tag": "b"}, {"n": 2, "tag": "a"},
                     {"n": 3, "tag": "c", "deep": {"x": 1}}], ids=["0", "1", "2", "3"])
    yield store
    store.close()


@pytest.mark.parametrize("filter, expected", [
    ({}, ["0", "1", "2", "3"]),
    ({"tag": "a"}, ["0", "2"]),
    ({"tag": {"$eq": "a"}}, ["0", "2"]),
    ({"n": {"$gte": 1, "$lt": 3}}, ["1", "2"]),
    ({"tag": {"$in": ["b", "c"]}}, ["1", "3"]),
    ({"tag": {"$ne": "a"}}, ["1", "3"]),
    ({"tag": "a", "n": {"$gt": 0}}, ["2"]),
    ({"n": {"$eq": 1, "$lte": 1}}, ["1"]),
    ({"$or": [{"tag": "b"}, {"n": 3}]}, ["1", "3"]),
    ({"$and": [{"tag": "a"}, {"n": {"$gt": 0}}]}, ["2"]),
    ({"tag": {"$nin": ["a", "b"]}}, ["3"]),
    ({"deep.x": 1}, ["3"]),
])
def test_filters_select_the_matching_documents(store, filter, expected):
    from dralm._filters import translate_filter

    where = translate_filter(filter)
    if where is not None and not _filter_supported(where):
        pytest.skip(f"this build's dralm filters do not accept {where}")
    found = store.similarity_search("e0", k=10, filter=filter)
    assert sorted(doc.id for doc in found) == expected


@pytest.mark.parametrize("filter, message", [
    ({"n": {"$exists": True}}, "unsupported filter operator: \\$exists"),
    ({"$not": {"n": 1}}, "unsupported filter operator: \\$not"),
    ({"$or": []}, "\\$or needs a non-empty list"),
])
def test_filters_dralm_lacks_are_refused_by_name(store, filter, message):
    with pytest.raises(ValueError, match=message):
        store.similarity_search("e0", filter=filter)


@pytest.mark.parametrize("metric, distance, relevance", [
    ("cosine", 0.0, 1.0), ("cosine", 1.0, 0.5), ("cosine", 2.0, 0.0),
    ("l2", 0.0, 1.0), ("l2", 2.0, 1 / 3),
    ("dot", -1.0, 1.0), ("dot", 0.0, 0.5), ("dot", 1.0, 0.0),
])
def test_relevance_scores_follow_the_metric(tmp_path, metric, distance, relevance):
    store = DralmVectorStore(AxisEmbeddings(), tmp_path / "s", metric=metric)
    assert math.isclose(store._select_relevance_score_fn()(distance), relevance)
    store.add_texts(["e0", "e1"])
    scored = store.similarity_search_with_relevance_scores("e0", k=2)
    assert scored[0][1] == pytest.approx(1.0) and 0.0 <= scored[1][1] < 1.0
    store.close()


def test_scores_are_distances_and_text_and_metadata_round_trip(store):
    (doc, distance), (_, far) = store.similarity_search_with_score("e3", k=2)
    assert doc == Document(id="3", page_content="e3", metadata={"n": 3, "tag": "c",
                                                                 "deep": {"x": 1}})
    assert distance == pytest.approx(0.0) and far == pytest.approx(1.0)  # 1 - cosine
    assert store.database.get("3")[1][TEXT_KEY] == "e3"
    with pytest.raises(ValueError, match="reserved"):
        store.add_texts(["e0"], [{TEXT_KEY: "x"}])


def test_max_marginal_relevance_prefers_diverse_documents(tmp_path):
    store = DralmVectorStore(AxisEmbeddings(), tmp_path / "s")
    # Two copies of axis 0 and one of axis 1: MMR with low lambda picks one of each.
    store.add_texts(["e0", "e0", "e1"], ids=["a", "b", "c"])
    picked = store.max_marginal_relevance_search("e0", k=2, fetch_k=3, lambda_mult=0.1)
    assert {doc.id for doc in picked} in ({"a", "c"}, {"b", "c"})
    assert [d.id for d in store.max_marginal_relevance_search("e0", k=2, filter={"x": 1})] == []
    store.close()


def test_from_texts_persists_and_reopens_without_a_dimension(tmp_path):
    path = tmp_path / "s"
    store = DralmVectorStore.from_texts(["e1", "e2"], AxisEmbeddings(), [{"k": 1}, {"k": 2}],
                                        ids=["x", "y"], path=path, metric="l2")
    store.close()  # not saved: the log holds the writes
    reopened = DralmVectorStore(AxisEmbeddings(), path)
    assert reopened.database.metric == "euclidean"
    assert [d.id for d in reopened.get_by_ids(["y", "nope", "x", "y"])] == ["y", "x"]
    reopened.delete()
    assert reopened.similarity_search("e1") == []
    reopened.close()


def test_a_store_without_a_path_removes_its_directory():
    import os

    store = DralmVectorStore.from_texts(["e0"], AxisEmbeddings())
    assert os.path.isdir(store.path)
    store.close()
    assert not os.path.exists(store.path)
