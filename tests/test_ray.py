"""The sharded database on Ray behaves like one Database: same contents, same search
results, same errors, across save and reopen, and after a shard's actor is killed.

A local Ray cluster (2 CPUs, no dashboard, loopback addresses only, no usage
statistics) is started once for the module.
"""

import gc
import json
import os
import random
import subprocess
import sys
import time
import warnings

import numpy as np
import pytest

import _dralm

if os.environ.get("CI"):
    import ray  # the test command installs Ray; CI must run these tests
else:
    ray = pytest.importorskip("ray")

from dralm.ray import MANIFEST_NAME, ShardedDatabase, ShardUnavailableError  # noqa: E402

DIM = 4
# Two open three-shard databases must fit on the two-CPU test cluster.
SHARD_CPUS = 0.25


@pytest.fixture(scope="module", autouse=True)
def local_cluster():
    # No usage report; and Ray otherwise advertises the machine's outward address,
    # while this keeps every listener of the test cluster on the loopback interface.
    settings = {"RAY_USAGE_STATS_ENABLED": "0", "RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER": "0"}
    saved = {name: os.environ.get(name) for name in settings}
    os.environ.update(settings)
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False,
             configure_logging=False)
    yield
    ray.shutdown()
    for name, value in saved.items():
        if value is None:
            del os.environ[name]
        else:
            os.environ[name] = value


def sharded(path, **kwargs):
    """The tests pass pathlib paths: ShardedDatabase takes any os.PathLike."""
    kwargs.setdefault("cpus_per_shard", SHARD_CPUS)
    return ShardedDatabase(path, **kwargs)


def outcome(call):
    """What a call did: its value, or its exception's type and message."""
    try:
        return ("ok", call())
    except (ValueError, TypeError, OverflowError) as error:
        return (type(error).__name__, str(error))


class Hits:
    """Search hits compared by id, metadata and distance; the exact scan's distance of
    one row may differ in the last bit with the row's place in its block."""

    def __init__(self, found):
        self.found = [(h.id, h.metadata, h.distance) for h in found]

    def __eq__(self, other):
        return ([f[:2] for f in self.found] == [f[:2] for f in other.found]
                and [f[2] for f in self.found] == pytest.approx([f[2] for f in other.found],
                                                                rel=1e-6, abs=1e-6))

    def __repr__(self):
        return repr(self.found)


def hits(found):
    return Hits(found)


def random_vector(rng):
    return [rng.uniform(-1, 1) for _ in range(DIM)]


def random_metadata(rng):
    if rng.random() < 0.2:
        return None
    return {"c": rng.choice("abc"), "n": rng.randrange(10)}


def random_write(rng, pool):
    """One of the seven writes with random arguments; ids drawn from a small pool so
    that adds collide and updates miss."""
    kind = rng.choice(["add", "upsert", "update", "delete", "add_many", "upsert_many",
                       "delete_many"])
    if kind in ("add", "upsert"):
        return kind, (rng.choice(pool), random_vector(rng), random_metadata(rng))
    if kind == "update":
        vector = random_vector(rng) if rng.random() < 0.6 else None
        metadata = random_metadata(rng) if rng.random() < 0.6 else None
        return kind, (rng.choice(pool), vector, metadata)
    if kind == "delete":
        return kind, (rng.choice(pool),)
    size = rng.randrange(0, 8)
    ids = [rng.choice(pool) for _ in range(size)]
    if kind == "delete_many":
        return kind, (ids,)
    if kind == "add_many" and rng.random() < 0.7:
        ids = list(dict.fromkeys(ids))  # mostly without repeats, so some batches succeed
    vectors = np.array([random_vector(rng) for _ in ids], dtype=np.float32).reshape(-1, DIM)
    metadatas = [random_metadata(rng) for _ in ids] if rng.random() < 0.7 else None
    return kind, (ids, vectors, metadatas)


def assert_same(model, db, rng):
    assert sorted(db.ids()) == sorted(model.ids())
    assert len(db) == len(model) and bool(db) == bool(model)
    assert db.count() == model.count()
    for filter_ in ({"c": "a"}, {"n": {"$gte": 5}}, {"c": {"$ne": "b"}}, {}):
        assert db.count(filter_) == model.count(filter_)
    for id in model.ids():
        assert db.get(id) == model.get(id)
        assert id in db
    queries = np.array([random_vector(rng) for _ in range(5)], dtype=np.float32)
    for k in (1, 3, 50):
        for query in queries[:2]:
            assert hits(db.search(query, k=k)) == hits(model.search(query, k=k))
        assert ([hits(q) for q in db.search_many(queries, k=k)]
                == [hits(q) for q in model.search_many(queries, k=k)])
    options = {"k": 4, "where_filter": {"c": {"$in": ["a", "c"]}}, "max_distance": 0.5}
    assert hits(db.search(queries[0], **options)) == hits(model.search(queries[0], **options))
    stats, expected = db.stats(), model.stats()
    assert stats["num_vectors"] == expected["num_vectors"] == len(model)
    assert stats["num_deleted"] == sum(s["num_deleted"] for s in stats["shards"])
    assert stats["memory_vectors_bytes"] == DIM * 4 * db.total_slots
    assert len(stats["shards"]) == db.shards


@pytest.mark.parametrize("metric", ["l2", "cosine"])
def test_model_three_shards_match_one_database(tmp_path, metric):
    rng = random.Random(1600 + len(metric))
    pool = [f"id{i}" for i in range(40)] + ["", "é€"]
    model = _dralm.Database(str(tmp_path / "model"), dim=DIM, metric=metric)
    db = sharded(tmp_path / "sharded", dim=DIM, metric=metric, shards=3)
    assert db.metric == model.metric and db.dim == DIM
    for step in range(160):
        kind, args = random_write(rng, pool)
        expected = outcome(lambda: getattr(model, kind)(*args))
        assert outcome(lambda: getattr(db, kind)(*args)) == expected, (step, kind, args)
        if step % 40 == 39:
            assert_same(model, db, rng)
    assert_same(model, db, rng)

    # Both save; the sharded one is closed and reopened from its manifest alone.
    model.save()
    db.save()
    db.close()
    with pytest.raises(ValueError, match="closed"):
        len(db)
    del model
    model = _dralm.Database(str(tmp_path / "model"))
    db = sharded(tmp_path / "sharded")
    assert db.shards == 3 and db.metric == model.metric
    assert_same(model, db, rng)

    # Writes after the reopen go to the logs; compact rebuilds every shard.
    for _ in range(40):
        kind, args = random_write(rng, pool)
        expected = outcome(lambda: getattr(model, kind)(*args))
        assert outcome(lambda: getattr(db, kind)(*args)) == expected
    model.compact()
    db.compact()
    assert db.deleted_count == model.deleted_count == 0
    assert db.total_slots == model.total_slots
    assert_same(model, db, rng)
    db.close()


def test_unsaved_writes_survive_close_and_reopen(tmp_path):
    db = sharded(tmp_path, dim=DIM, shards=2)
    db.add_many([f"v{i}" for i in range(20)], np.eye(20, DIM, dtype=np.float32))
    db.close()  # no save: every shard replays its log on open
    db = sharded(tmp_path)
    assert sorted(db.ids()) == sorted(f"v{i}" for i in range(20))
    db.close()


def nan_at(row, rows, value=np.nan):
    vectors = np.ones((rows, DIM), dtype=np.float32)
    vectors[row, 2] = value
    return vectors


BAD_CALLS = [
    ("add", ("fresh", [1.0, 2.0])),
    ("add", ("a", [1.0, 2.0, 3.0, 4.0])),
    ("add", (5, [1.0, 2.0, 3.0, 4.0])),
    ("add", ("fresh", "abcd")),
    ("add", ("fresh", [1.0, 2.0, 3.0, 4.0], {"x": float("nan")})),
    ("add", ("fresh", [1.0, 2.0, 3.0, 4.0], {"x": {1, 2}})),
    ("upsert", ("a", [1.0])),
    ("update", ("missing", [1.0])),
    ("update", ("a", [1.0])),
    ("update", ("a", None, {"x": float("inf")})),
    ("get", ("missing",)),
    ("get", (5,)),
    ("delete", (None,)),
    ("search", ([1.0, 2.0, 3.0],)),
    ("search", ([1.0, 2.0, 3.0, 4.0], -1)),
    ("search", ([1.0, 2.0, 3.0, 4.0], 3, None, {"x": {"$foo": 1}})),
    ("search", ([1.0, 2.0, 3.0, 4.0], 3, None, {"x": {"$in": 5}})),
    ("search", ([1.0, 2.0, 3.0, 4.0], "3")),
    ("search_many", ([[1.0, 2.0, 3.0, 4.0], [1.0, 2.0, 3.0]],)),
    ("search_many", ([[1.0, 2.0, 3.0, 4.0], [1.0, "x", 3.0, 4.0]],)),
    ("search_many", (np.zeros((2, 3), dtype=np.float32),)),
    ("count", ({"x": {"$gt": "text"}},)),
    ("add_many", (["b", "c"], np.zeros((3, DIM), dtype=np.float32))),
    ("add_many", (["b"], np.zeros((1, DIM), dtype=np.float32), [{}, {}])),
    ("add_many", (["b", "c"], np.zeros((2, DIM), dtype=np.float32), [{}, 5])),
    ("add_many", (["b", "c"], np.zeros((2, DIM), dtype=np.float32), ({}, {}))),
    ("add_many", (["b", "c"], np.zeros((2, DIM), dtype=np.float32),
                  [{}, {"x": float("nan")}])),
    ("add_many", (["b", "c"], [[1.0, 2.0, 3.0, 4.0], [1.0, 2.0]])),
    ("add_many", (["b", "c"], np.zeros((2, DIM + 1), dtype=np.float32))),
    ("add_many", ("bc", np.zeros((2, DIM), dtype=np.float32))),
    ("add_many", (["b", 7], np.zeros((2, DIM), dtype=np.float32))),
    ("add_many", (["b", "c"], "vectors")),
    # An id taken on one shard refuses the whole batch, on every shard.
    ("add_many", ([f"n{i}" for i in range(12)] + ["a"], np.ones((13, DIM), np.float32))),
    ("add_many", ([f"n{i}" for i in range(12)] + ["n3"], np.ones((13, DIM), np.float32))),
    ("upsert_many", (["a", "b"], [[1.0, 2.0, 3.0, 4.0], [1.0]])),
    ("upsert_many", (["a", "b"], np.zeros((2, DIM), dtype=np.float32), [None, "x"])),
    ("delete_many", ("ab",)),
    ("delete_many", ([1, 2],)),
    # A batch one shard refuses (a NaN or infinite row) is refused before any shard
    # writes, naming the row of the caller's batch.
    ("add_many", ([f"n{i}" for i in range(12)], nan_at(9, rows=12))),
    ("add_many", ([f"n{i}" for i in range(12)],
                  [[1.0, 2.0, 3.0, 4.0]] * 5 + [[1.0, -1e39, 0.0, 0.0]] + [[1.0] * DIM] * 6)),
    ("upsert_many", (["a"] + [f"n{i}" for i in range(11)], nan_at(4, rows=12, value=np.inf))),
    ("search", ([1.0, 2.0, 3.0, 4.0], 3, None, None, float("nan"))),
    ("search_many", ([[1.0, 2.0, 3.0, 4.0]], 3, None, {"x": 1}, float("nan"))),
]


@pytest.fixture(scope="module")
def error_pair(tmp_path_factory):
    """A one-vector Database and a three-shard database with the same content."""
    root = tmp_path_factory.mktemp("errors")
    model = _dralm.Database(str(root / "model"), dim=DIM)
    db = sharded(root / "sharded", dim=DIM, shards=3)
    for target in (model, db):
        target.add("a", [1.0, 2.0, 3.0, 4.0], {"x": 1})
    yield model, db
    db.close()


@pytest.mark.parametrize("method,args", BAD_CALLS,
                         ids=[f"{m}-{i}" for i, (m, _) in enumerate(BAD_CALLS)])
def test_errors_match_database(error_pair, method, args):
    model, db = error_pair
    expected = outcome(lambda: getattr(model, method)(*args))
    assert expected[0] != "ok", "the call must be a bad one"
    got = outcome(lambda: getattr(db, method)(*args))
    if expected[0] == "TypeError":
        assert got[0] == "TypeError"  # the wording of type errors is free
    else:
        assert got == expected
    assert sorted(db.ids()) == sorted(model.ids()) == ["a"]  # nothing was written
    assert db.get("a") == model.get("a")


@pytest.mark.parametrize("method", ["add_many", "upsert_many"])
def test_a_list_row_beyond_float32_is_refused_without_a_warning(error_pair, method):
    model, db = error_pair
    call = (method, (["n1", "n2"], [[1.0, 2.0, 3.0, 4.0], [1.0, 1e39, 0.0, 0.0]]))
    expected = outcome(lambda: getattr(model, call[0])(*call[1]))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        got = outcome(lambda: getattr(db, call[0])(*call[1]))
    assert got == expected and expected[0] == "ValueError"
    assert sorted(db.ids()) == ["a"]


def test_membership_needs_a_str(error_pair):
    _, db = error_pair
    with pytest.raises(TypeError):
        5 in db  # noqa: B015
    assert "a" in db and "b" not in db


def test_reopen_with_other_parameters_is_refused(tmp_path):
    sharded(tmp_path, dim=DIM, metric="l2", shards=3).close()
    for reopen, message in [({"shards": 2}, "has shards=3, not 2"),
                            ({"dim": DIM + 1}, f"has dim={DIM}, not {DIM + 1}"),
                            ({"metric": "dot"}, "has metric='euclidean', not 'dot'"),
                            ({"m": 8}, "has m=16, not 8")]:
        with pytest.raises(ValueError, match=message):
            sharded(tmp_path, **reopen)
    db = sharded(tmp_path, dim=DIM, metric="euclidean", shards=3)  # matching: accepted
    assert db.shards == 3
    db.close()


@pytest.mark.parametrize("kwargs,error,message", [
    ({}, ValueError, "database not found — specify dim to create a new one"),
    ({"dim": DIM}, ValueError, "shards must be given"),
    ({"dim": DIM, "shards": 0}, ValueError, "shards must be at least 1"),
    ({"dim": DIM, "shards": 2, "metric": "L2"}, ValueError,
     "metric must be 'cosine', 'euclidean'/'l2', or 'dot'/'dot_product'"),
    ({"dim": DIM, "shards": 2, "cpus_per_shard": 2}, ValueError, "need 4 CPUs"),
])
def test_bad_creation_is_refused_before_anything_is_written(tmp_path, kwargs, error, message):
    path = tmp_path / "db"
    with pytest.raises(error, match=message):
        sharded(path, **kwargs)
    assert not (path / MANIFEST_NAME).exists()


@pytest.mark.parametrize("saved", [True, False], ids=["saved", "only logged"])
def test_a_plain_database_directory_is_refused(tmp_path, saved):
    plain = _dralm.Database(str(tmp_path), dim=DIM)
    plain.add("a", [1.0, 2.0, 3.0, 4.0])
    if saved:
        plain.save()
    del plain
    before = sorted(os.listdir(tmp_path))
    for kwargs in ({}, {"dim": DIM, "shards": 2}):
        with pytest.raises(ValueError, match="holds a dralm.Database .*, not a sharded"):
            sharded(tmp_path, **kwargs)
    assert sorted(os.listdir(tmp_path)) == before  # no manifest, no shard directories
    assert _dralm.Database(str(tmp_path), dim=DIM).ids() == ["a"]


def drop_last_handle(path, how):
    """Opens a two-shard database, writes to it, and lets it go in the way `how` names.
    Returns its actors' handles, and what must stay alive while they are checked."""
    db = sharded(path, dim=DIM, shards=2)
    db.add_many(["a", "b", "c", "d"], np.eye(4, DIM, dtype=np.float32))
    handles = list(db._actors)
    kept = None
    if how == "del":
        del db
    elif how == "cycle, gc":
        db.me = db
        del db
        gc.collect()
    elif how == "error kept":
        try:
            db.add("a", [1.0, 2.0, 3.0, 4.0])
        except ValueError as error:
            kept = error  # its traceback passed through the database's methods
        del db
    elif how == "with":
        with db:
            db.add("e", [1.0, 1.0, 1.0, 1.0])
        kept = db  # still referenced, yet leaving the block released it
        with pytest.raises(ValueError, match="is closed"):
            len(db)
    return handles, kept


@pytest.mark.parametrize("how", ["del", "cycle, gc", "error kept", "with"])
def test_dropping_the_database_stops_its_actors(tmp_path, how):
    handles, kept = drop_last_handle(tmp_path, how)
    # The shard directories are free at once: no old actor still holds one open.
    held = {shard: _dralm.Database(str(tmp_path / f"shard-{shard}"), dim=DIM).ids()
            for shard in range(2)}
    assert sorted(held[0] + held[1]) == ["a", "b", "c", "d"] + (["e"] if how == "with" else [])
    for handle in handles:
        wait_until_dead(handle)  # and so its CPUs are free
    del kept  # held until here on purpose


def test_manifest_records_the_layout(tmp_path):
    sharded(tmp_path, dim=DIM, metric="dot", shards=2, m=8).close()
    manifest = json.loads((tmp_path / MANIFEST_NAME).read_text())
    assert manifest["shards"] == 2 and manifest["dim"] == DIM and manifest["m"] == 8
    assert manifest["metric"] == "dot_product"
    assert not (tmp_path / (MANIFEST_NAME + ".tmp")).exists()


def test_every_id_lives_where_another_process_routes_it(tmp_path):
    """Routing does not depend on Python's per-process string hashing."""
    ids = [f"doc-{i}" for i in range(60)] + ["ünïcode", ""]
    db = sharded(tmp_path, dim=DIM, shards=3)
    db.add_many(ids, np.ones((len(ids), DIM), dtype=np.float32))
    db.close()
    held = {i: sorted(_dralm.Database(str(tmp_path / f"shard-{i}"), dim=DIM).ids())
            for i in range(3)}
    assert all(held.values()) and sum(map(len, held.values())) == len(ids)
    script = ("import json, sys, zlib; from dralm._shard import shard_of; "
              "print(json.dumps({i: shard_of(i.encode(), 3) for i in json.load(sys.stdin)}))")
    for seed in ("1", "2"):
        done = subprocess.run([sys.executable, "-c", script], input=json.dumps(ids),
                              capture_output=True, text=True, check=True,
                              env=dict(os.environ, PYTHONHASHSEED=seed))
        routed = json.loads(done.stdout)
        assert {i: sorted(k for k, s in routed.items() if s == i) for i in range(3)} == held


def test_context_manager_saves_every_shard(tmp_path):
    with sharded(tmp_path, dim=DIM, shards=2) as db:
        db.add_many(["a", "b", "c", "d"], np.eye(4, DIM, dtype=np.float32))
    for shard in range(2):
        files = set(os.listdir(tmp_path / f"shard-{shard}"))
        assert {"graph.dralm", "vectors.bin"} <= files and "wal.dralm" not in files
    db.close()


def test_search_results_behave_like_database_results(error_pair):
    model, db = error_pair
    (mine,), (theirs,) = db.search([1, 2, 3, 4], k=1), model.search([1, 2, 3, 4], k=1)
    assert repr(mine) == repr(theirs)
    assert (mine[0], mine[1], mine[2]) == (theirs[0], theirs[1], theirs[2])
    assert mine.metadata == {"x": 1} and mine.metadata is not mine.metadata
    for index, error in ((3, ValueError), (-1, OverflowError), ("0", TypeError)):
        with pytest.raises(error):
            mine[index]
    assert db.search_many(np.zeros((0, DIM), dtype=np.float32)) == []
    assert db.search([1, 2, 3, 4], k=0) == []


def test_quantized_search_switches_on_every_shard(tmp_path):
    db = sharded(tmp_path, dim=DIM, shards=2)
    db.add_many([f"q{i}" for i in range(16)],
                np.random.default_rng(3).random((16, DIM), dtype=np.float32))
    assert not db.quantized_search
    db.enable_quantized_search()
    assert db.quantized_search and db.stats()["uses_quantized_search"]
    db.disable_quantized_search()
    assert not db.quantized_search
    db.close()


def wait_for(predicate, seconds=60.0):
    deadline = time.monotonic() + seconds
    while True:
        try:
            return predicate()
        except ShardUnavailableError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.2)


def wait_until_dead(actor, seconds=30.0):
    """Returns once calls to `actor` fail as to a dead actor. A kill travels through
    Ray's control store while calls go straight to the actor, so a call sent right
    after the kill may still be served."""
    deadline = time.monotonic() + seconds
    while True:
        try:
            ray.get(actor.length.remote(), timeout=seconds)
        except ray.exceptions.RayActorError:
            return
        except ray.exceptions.RayTaskError:
            pass  # alive, its database closed
        assert time.monotonic() < deadline, "the actor is still alive"
        time.sleep(0.1)


def test_killed_shard_restarts_with_every_acknowledged_write(tmp_path):
    db = sharded(tmp_path, dim=DIM, shards=2)
    rng = np.random.default_rng(16)
    ids = [f"k{i}" for i in range(50)]
    vectors = rng.random((50, DIM), dtype=np.float32)
    db.add_many(ids[:30], vectors[:30])
    db.save()
    db.add_many(ids[30:], vectors[30:], [{"late": True}] * 20)  # only in the logs
    db.delete("k3")
    db.update("k4", metadata={"changed": 1})
    expected = {id: db.get(id) for id in db.ids()}
    victim = db._actors[1]
    ray.kill(victim, no_restart=False)
    # Until Ray has restarted it, a call reaching the shard fails and names it.
    try:
        len(db)
    except ShardUnavailableError as error:
        assert error.shard == 1 and "shard 1 " in str(error) and str(tmp_path) in str(error)
    assert wait_for(lambda: {id: db.get(id) for id in db.ids()}) == expected
    db.add("after", [1, 2, 3, 4])
    assert len(db) == 50
    db.close()


def test_damaged_shard_fails_the_open_as_database_does(tmp_path):
    db = sharded(tmp_path, dim=DIM, shards=2)
    db.add_many([f"d{i}" for i in range(10)], np.ones((10, DIM), dtype=np.float32))
    db.save()
    db.close()
    with open(tmp_path / "shard-1" / "graph.dralm", "r+b") as graph:
        graph.write(b"garbage!")
    expected = outcome(lambda: _dralm.Database(str(tmp_path / "shard-1"), dim=DIM))
    assert expected[0] == "ValueError"
    assert outcome(lambda: sharded(tmp_path)) == expected


def test_shard_that_cannot_be_placed_fails_the_open(tmp_path):
    with pytest.raises(ShardUnavailableError, match="did not start within 1 s"):
        sharded(tmp_path, dim=DIM, shards=2, actor_options={"num_cpus": 3}, start_timeout=1)
    # Its actors are gone: a database using the whole cluster still starts.
    sharded(tmp_path / "next", dim=DIM, shards=1, cpus_per_shard=1).close()


def test_dead_shard_fails_every_call_naming_it(tmp_path):
    db = sharded(tmp_path, dim=DIM, shards=2)
    db.add_many(["a", "b", "c"], np.ones((3, DIM), dtype=np.float32))
    ray.kill(db._actors[0], no_restart=True)
    wait_until_dead(db._actors[0])
    for call in (lambda: len(db), lambda: db.search([1, 2, 3, 4]), db.ids):
        with pytest.raises(ShardUnavailableError, match="shard 0 of the sharded database"):
            call()
    db.close()


def test_import_dralm_does_not_import_ray():
    done = subprocess.run(
        [sys.executable, "-c", "import sys, dralm; print('ray' in sys.modules)"],
        capture_output=True, text=True, check=True)
    assert done.stdout.strip() == "False"


def test_mypy_strict_accepts_the_sharded_example(tmp_path):
    pytest.importorskip("mypy")
    example = os.path.join(os.path.dirname(__file__), "..", "examples", "sharded_usage.py")
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
         "--cache-dir", str(tmp_path), example],
        capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
