"""What a Python user sees of the module and of the Database class: attributes,
signatures and docstrings, the constructor, properties, protocols, the context manager,
argument binding and error mapping."""

import importlib
import os
import subprocess
import sys
import textwrap
import threading

import pytest

import _dralm
from _dralm import Database, SearchResult

METHOD_DOCS = {
    "add": ("($self, id, vector, metadata=None)", None),
    "upsert": ("($self, id, vector, metadata=None)", "Add or update a vector."),
    "add_many": ("($self, ids, vectors, metadatas=None)", None),
    "upsert_many": (
        "($self, ids, vectors, metadatas=None)",
        "Batch upsert \u2014 inserts new vectors, updates existing ones.",
    ),
    "update": ("($self, id, vector=None, metadata=None)", None),
    "delete": ("($self, id)", None),
    "delete_many": ("($self, ids)", None),
    "search": (
        "($self, vector, k=10, ef_search=None, where_filter=None, max_distance=None)",
        "Search for the k nearest neighbors.\n"
        "Returns list of SearchResult objects with .id, .distance, .metadata attributes.\n"
        '`where_filter`: optional dict like {"field": "value"} or {"field": {"$ne": "value"}}\n'
        "`max_distance`: optional float \u2014 discard results beyond this distance.",
    ),
    "search_many": (
        "($self, vectors, k=10, ef_search=None, where_filter=None, max_distance=None)",
        "Search multiple queries in parallel. Returns list of list of SearchResult.\n"
        "`where_filter`: optional metadata filter (same syntax as search).\n"
        "`max_distance`: optional float \u2014 discard results beyond this distance.",
    ),
    "get": ("($self, id)", None),
    "ids": ("($self)", None),
    "count": (
        "($self, where_filter=None)",
        "Count vectors matching a filter, or all vectors if no filter.",
    ),
    "save": ("($self)", None),
    "compact": (
        "($self)",
        "Rebuild the index with only live vectors, reclaiming deleted slots.\n"
        "Call this after many deletes to reduce memory usage and disk size.",
    ),
    "refresh": (
        "($self)",
        "Re-read a database opened with read_only=True: the state its writer has saved since,\n"
        "and the writer's log on top, replace this object's view all at once. Raises\n"
        "ValueError on a writable database, which already holds its own changes.",
    ),
    "stats": (
        "($self)",
        "Get graph-level statistics for diagnostics.\n"
        "Returns a dict with keys: num_vectors, num_deleted, num_layers, avg_degree_layer0,\n"
        "max_degree_layer0, min_degree_layer0, memory_vectors_bytes, memory_graph_bytes,\n"
        "memory_quantized_bytes, uses_brute_force, uses_quantized_search,\n"
        "quantized_search_bits.",
    ),
    "enable_quantized_search": (
        "($self, bits=8)",
        "Enable quantized search: uses SQ8 quantized vectors for faster HNSW traversal\n"
        "with full-precision re-ranking. Automatically enabled when quantize=True is set.\n"
        "bits=4 traverses on 4-bit codes instead (half the bytes of SQ8, faster still);\n"
        "results are re-ranked exactly either way. Raises ValueError for any other bits.\n"
        "The property quantized_search_bits and stats() report the bits in use.",
    ),
    "disable_quantized_search": ("($self)", "Disable quantized search."),
    "__enter__": ("($self)", "Context manager: auto-save on exit."),
    "__exit__": ("($self, _exc_type=None, _exc_val=None, _exc_tb=None)", None),
}

PROPERTY_DOCS = {
    "dim": None,
    "metric": None,
    "quantized_search": "Whether quantized search is currently enabled.",
    "quantized_search_bits": "Bits per code of quantized search: 8 (SQ8) or 4, or 0 while it is off.",
    "deleted_count": "Number of deleted slots that haven't been reclaimed.",
    "total_slots": "Total allocated slots (active + deleted).",
}

NOT_FOUND = "database not found \u2014 specify dim to create a new one"
BAD_METRIC = "metric must be 'cosine', 'euclidean'/'l2', or 'dot'/'dot_product'"


# ---- Module and classes.


def test_module_holds_exactly_the_two_classes():
    public = {name for name in vars(_dralm) if not name.startswith("_")}
    assert public == {"Database", "SearchResult"}
    dunders = {name for name in vars(_dralm) if name.startswith("__")}
    assert dunders <= {"__doc__", "__file__", "__loader__", "__name__", "__package__", "__spec__"}
    assert Database.__module__ == "builtins" and SearchResult.__module__ == "builtins"


def test_repeated_initialisation_returns_the_same_module():
    first = sys.modules.pop("_dralm")
    try:
        assert importlib.import_module("_dralm") is first
    finally:
        sys.modules["_dralm"] = first


def test_second_interpreter_gets_import_error():
    # In a child process: a failing sub-interpreter import must not disturb this one.
    script = textwrap.dedent(
        f"""
        import sys
        sys.path[:0] = {[os.path.dirname(_dralm.__file__)]!r}
        import _dralm
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            print("SKIP"); raise SystemExit
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import sys; sys.path[:0] = %r; import _dralm"
                                    % (sys.path[:1],))
            print("IMPORTED")
        except interpreters.RunFailedError as error:
            print("FAILED", error)
        """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         timeout=60)
    assert out.returncode == 0, out.stderr
    if out.stdout.startswith("SKIP"):
        pytest.skip("no sub-interpreter support in this Python")
    assert out.stdout.startswith("FAILED") and "ImportError" in out.stdout


def test_class_docstring_is_only_the_signature():
    assert Database.__text_signature__ == (
        "(path, dim=None, metric=None, m=None, ef_construction=None, quantize=False, *, "
        "read_only=False)"
    )
    assert not Database.__doc__


@pytest.mark.parametrize("name", sorted(METHOD_DOCS))
def test_method_signature_and_docstring(name):
    signature, doc = METHOD_DOCS[name]
    method = getattr(Database, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc


@pytest.mark.parametrize("name", sorted(PROPERTY_DOCS))
def test_properties_are_documented_and_read_only(make_db, name):
    assert getattr(Database, name).__doc__ == PROPERTY_DOCS[name]
    db = make_db()
    before = getattr(db, name)
    with pytest.raises(AttributeError):
        setattr(db, name, before)
    assert getattr(db, name) == before


def test_search_result_cannot_be_created_from_python():
    with pytest.raises(TypeError):
        SearchResult()
    with pytest.raises(TypeError):
        SearchResult.__new__(SearchResult)


# ---- Constructor.


def test_creating_makes_the_directory_and_writes_only_the_lock_file(tmp_path):
    path = tmp_path / "a" / "b" / "db"
    db = Database(str(path), dim=4, metric="l2")
    assert path.is_dir() and os.listdir(path) == ["LOCK"]
    assert (path / "LOCK").stat().st_size == 0
    assert (db.dim, db.metric, db.total_slots, db.deleted_count, len(db)) == (
        4, "euclidean", 0, 0, 0)
    assert db.quantized_search is False


@pytest.mark.parametrize("make_dir", [False, True], ids=["missing", "empty"])
def test_opening_without_dim_needs_saved_files(tmp_path, make_dir):
    path = tmp_path / "db"
    if make_dir:
        path.mkdir()
    with pytest.raises(ValueError) as info:
        Database(str(path))
    assert info.value.args == (NOT_FOUND,)
    assert path.exists() == make_dir


@pytest.mark.parametrize(
    "given,canonical",
    [(None, "cosine"), ("cosine", "cosine"), ("l2", "euclidean"), ("euclidean", "euclidean"),
     ("dot", "dot_product"), ("dot_product", "dot_product")],
)
def test_metric_names(make_db, given, canonical):
    assert make_db(metric=given).metric == canonical


@pytest.mark.parametrize("name", ["L2", "Cosine", "manhattan", ""])
def test_unknown_metric_is_refused_before_touching_disk(db_path, name):
    with pytest.raises(ValueError) as info:
        Database(db_path, dim=3, metric=name)
    assert info.value.args == (BAD_METRIC,)
    assert not os.path.exists(db_path)


def test_all_constructor_arguments_by_position_and_keyword(tmp_path):
    a = Database(str(tmp_path / "a"), 5, "dot", 8, 40, True)
    b = Database(path=str(tmp_path / "b"), dim=5, metric="dot", m=8, ef_construction=40,
                 quantize=True)
    assert (a.dim, a.metric) == (b.dim, b.metric) == (5, "dot_product")


@pytest.mark.parametrize(
    "kwargs,error,argument",
    [
        ({"path": 5}, TypeError, "path"),
        ({"dim": "3"}, TypeError, "dim"),
        ({"dim": 3.0}, TypeError, "dim"),
        ({"metric": 2}, TypeError, "metric"),
        ({"m": 1.5}, TypeError, "m"),
        ({"ef_construction": "x"}, TypeError, "ef_construction"),
        ({"quantize": 1}, TypeError, "quantize"),
        ({"quantize": None}, TypeError, "quantize"),
        ({"dim": -1}, OverflowError, "dim"),
        ({"m": -2}, OverflowError, "m"),
        ({"dim": 2**64}, OverflowError, "dim"),
    ],
)
def test_constructor_argument_types(db_path, kwargs, error, argument):
    arguments = {"path": db_path, "dim": 3, **kwargs}
    with pytest.raises(error) as info:
        Database(**arguments)
    assert "Database()" in str(info.value) and f"'{argument}'" in str(info.value)
    assert not os.path.exists(db_path)


@pytest.mark.parametrize("kwargs", [{"dim": 0}, {"m": 1}, {"m": 0}, {"ef_construction": 0}])
def test_degenerate_parameters_are_refused(db_path, kwargs):
    with pytest.raises(ValueError):
        Database(db_path, **{"dim": 3, **kwargs})
    assert not os.path.exists(db_path)


def test_constructor_binding_errors(db_path):
    with pytest.raises(TypeError, match=r"Database\(\) missing required argument 'path'"):
        Database()
    with pytest.raises(TypeError, match="Database"):
        Database(db_path, 3, None, None, None, False, 7)
    with pytest.raises(TypeError, match="size"):
        Database(db_path, size=3)


# ---- Protocols, properties and the context manager.


def test_length_truth_and_membership_follow_writes(make_db):
    db = make_db()
    assert len(db) == 0 and not db and "a" not in db
    db.add("a", [1, 0, 0])
    db.add("b", [0, 1, 0])
    assert len(db) == 2 and db and "a" in db
    assert db.delete("a") is True and db.delete("a") is False
    assert "a" not in db and "b" in db and len(db) == 1
    assert (db.total_slots, db.deleted_count) == (2, 1)
    db.compact()
    assert (db.total_slots, db.deleted_count, len(db)) == (1, 0, 1)


@pytest.mark.parametrize("key", [5, None, b"a", ("a",)])
def test_membership_needs_a_str(make_db, key):
    db = make_db()
    db.add("a", [1, 2, 3])
    with pytest.raises(TypeError, match="__contains__"):
        key in db


def test_context_manager_saves_and_lets_the_exception_through(db_path):
    with pytest.raises(KeyError):
        with Database(db_path, dim=3) as db:
            assert isinstance(db, Database)
            db.add("a", [1, 2, 3], {"k": "v"})
            raise KeyError("inside")
    assert sorted(os.listdir(db_path)) == ["LOCK", "graph.dralm", "vectors.bin"]
    reopened = Database(db_path)
    assert reopened.get("a") == ([1.0, 2.0, 3.0], {"k": "v"})


def test_exit_returns_false_and_takes_its_arguments_by_keyword(make_db):
    db = make_db()
    assert db.__enter__() is db
    assert db.__exit__() is False
    assert db.__exit__(None, None, None) is False
    assert db.__exit__(_exc_type=ValueError, _exc_val=None, _exc_tb=None) is False


def test_nothing_is_saved_when_the_object_goes_away(db_path):
    db = Database(db_path, dim=2)
    db.add("a", [1, 2])
    del db
    assert sorted(os.listdir(db_path)) == ["LOCK", "wal.dralm"]


# ---- Argument binding and error mapping.


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda db: db.add("a"), r"add\(\) missing required argument 'vector' \(pos 2\)"),
        (lambda db: db.search([1, 2, 3], bogus=1),
         r"search\(\) got an unexpected keyword argument 'bogus'"),
        (lambda db: db.get("a", id="a"),
         r"argument for get\(\) given by name \('id'\) and position \(1\)"),
        (lambda db: db.search([1, 2, 3], 1, None, None, None, 6),
         r"search\(\) takes at most 5 arguments \(6 given\)"),
        (lambda db: db.ids(1), r"ids\(\) takes no arguments"),
        (lambda db: db.__exit__(1, 2, 3, 4), r"__exit__\(\) takes at most 3 arguments"),
    ],
)
def test_argument_binding_errors(make_db, call, message):
    with pytest.raises(TypeError, match=message):
        call(make_db())


@pytest.mark.parametrize(
    "method,kwargs,argument",
    [
        ("add", {"id": 1, "vector": [1, 2, 3]}, "id"),
        ("upsert", {"id": "a", "vector": "abc"}, "vector"),
        ("update", {"id": "a", "metadata": [1]}, "metadata"),
        ("delete", {"id": None}, "id"),
        ("add_many", {"ids": "ab", "vectors": [[1, 2, 3]] * 2}, "ids"),
        ("add_many", {"ids": ["a"], "vectors": 5}, "vectors"),
        ("add_many", {"ids": ["a"], "vectors": [[1, 2, 3]], "metadatas": (None,)},
         "metadatas"),
        ("upsert_many", {"ids": [1], "vectors": [[1, 2, 3]]}, "ids"),
        ("delete_many", {"ids": [3]}, "ids"),
        ("search", {"vector": [1, 2, 3], "k": "1"}, "k"),
        ("search", {"vector": [1, 2, 3], "k": None}, "k"),
        ("search", {"vector": [1, 2, 3], "ef_search": 1.5}, "ef_search"),
        ("search", {"vector": [1, 2, 3], "where_filter": [("a", 1)]}, "where_filter"),
        ("search", {"vector": [1, 2, 3], "max_distance": "far"}, "max_distance"),
        ("search_many", {"vectors": "abc"}, "vectors"),
        ("get", {"id": b"a"}, "id"),
        ("count", {"where_filter": 5}, "where_filter"),
    ],
)
def test_type_errors_name_the_method_and_the_argument(make_db, method, kwargs, argument):
    db = make_db()
    db.add("a", [1, 2, 3])
    with pytest.raises(TypeError) as info:
        getattr(db, method)(**kwargs)
    assert f"{method}()" in str(info.value) and f"'{argument}'" in str(info.value)
    assert db.ids() == ["a"] and db.get("a") == ([1.0, 2.0, 3.0], None)


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda db: db.get("zz"), "id 'zz' not found"),
        (lambda db: db.add("a", [0, 0, 1]), "id 'a' already exists, use upsert instead"),
        (lambda db: db.search([1, 2]), "dimension mismatch: expected 3, got 2"),
        (lambda db: db.update("zz", [1, 2, 3]), "id 'zz' not found"),
    ],
)
def test_engine_errors_are_value_errors_carrying_the_message(make_db, call, message):
    db = make_db()
    db.add("a", [1, 2, 3])
    with pytest.raises(ValueError) as info:
        call(db)
    assert info.value.args == (message,)


def test_unsigned_arguments_take_index_objects_and_refuse_negatives(make_db):
    np = pytest.importorskip("numpy")
    db = make_db()
    db.add_many(["a", "b", "c"], [[1, 0, 0], [0, 1, 0], [0, 0, 1]])
    assert len(db.search([1, 0, 0], k=np.int64(2), ef_search=np.uint8(50))) == 2
    assert len(db.search([1, 0, 0], k=True)) == 1  # bool is an int
    for argument in ("k", "ef_search"):
        with pytest.raises(OverflowError, match=f"'{argument}'"):
            db.search([1, 0, 0], **{argument: -1})


def test_two_threads_search_one_database_at_once(make_db):
    db = make_db(dim=8)
    db.add_many([f"v{i}" for i in range(200)],
                [[float((i * 7 + j) % 13) for j in range(8)] for i in range(200)])
    expected = [r.id for r in db.search([1.0] * 8, k=5)]
    barrier = threading.Barrier(2)
    results, errors = [], []

    def worker():
        try:
            barrier.wait()
            for _ in range(50):
                results.append([r.id for r in db.search([1.0] * 8, k=5)])
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=worker) for _ in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == [] and len(results) == 100
    assert all(ids == expected for ids in results)
