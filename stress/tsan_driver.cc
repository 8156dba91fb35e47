// Concurrency stress driver for ThreadSanitizer, in two parts.
//
// First, graph walks racing the index's writer (a quarter of the time, at most 15 s):
// one writer stages batches (large ones link in parallel), publishes them, updates
// and deletes, while searching threads walk the graph with the exact, SQ8, filtered
// and filter-aware walks, holding a reader-writer lock the way the database holds
// `index` (shared to search and to stage, exclusive to publish, update and delete).
// Each hit must be a published, live slot, and an unfiltered walk must return k hits
// whenever k slots are live.
//
// Then the database: searching threads (which also get, count and list ids),
// single-item writers, batch writers, and a maintenance thread calling save and
// compact, all on one engine Database. Each writer owns its ids, so at the end every
// id's content is known; the driver checks it, saves, reopens and checks again. A
// search must never return an empty id. Exits non-zero on a wrong answer (TSan
// reports races on its own).
//
//   tsan_driver <directory> [seconds=60] [seed=1]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "db/database.h"
#include "hnsw/index_internals.h"
#include "json/json.h"
#include "util/locks.h"

namespace {

constexpr uint64_t kDim = 16;
constexpr int kSearchers = 3;
constexpr int kWriters = 2;
constexpr int kBatchWriters = 2;

struct Row {
  std::vector<float> vector;
  std::optional<std::string> metadata_json;
};
using Model = std::map<std::string, Row>;

std::atomic<bool> g_stop{false};
std::atomic<uint64_t> g_failures{0};
std::mutex g_print;

void report(const std::string& what) {
  g_failures.fetch_add(1);
  std::lock_guard<std::mutex> lock(g_print);
  std::fprintf(stderr, "tsan_driver: %s\n", what.c_str());
}

std::vector<float> random_vector(std::mt19937_64& rng) {
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> v(kDim);
  for (float& x : v) x = dist(rng);
  return v;
}

std::optional<dralm::JsonValue> random_meta(std::mt19937_64& rng) {
  if (rng() % 4 == 0) return std::nullopt;
  dralm::JsonObject object;
  object.emplace("cat", dralm::JsonValue::string(std::string(1, char('a' + rng() % 3))));
  object.emplace("n", dralm::JsonValue::unsigned_int(rng() % 1000));
  return dralm::JsonValue::object(std::move(object));
}

std::optional<std::string> text(const std::optional<dralm::JsonValue>& meta) {
  if (!meta) return std::nullopt;
  return meta->serialise();
}

void check(const dralm::Status& status, const char* what) {
  if (!status.ok()) report(std::string(what) + ": " + status.error().message());
}

// Single-item writes of every kind over the ids "w<t>-<n>".
void writer(dralm::Database& db, int t, uint64_t seed, Model& model) {
  std::mt19937_64 rng(seed);
  uint64_t next = 0;
  std::vector<std::string> live;
  while (!g_stop.load()) {
    const uint64_t pick = rng() % 10;
    if (pick < 3 || live.size() < 4) {
      std::string id = "w" + std::to_string(t) + "-" + std::to_string(next++);
      auto v = random_vector(rng);
      auto m = random_meta(rng);
      check(db.add(id, v, m), "add");
      model[id] = Row{v, text(m)};
      live.push_back(id);
    } else if (pick < 5) {
      const std::string& id = live[rng() % live.size()];
      auto v = random_vector(rng);
      auto m = random_meta(rng);
      check(db.upsert(id, v, m), "upsert");
      model[id] = Row{v, text(m)};
    } else if (pick < 7) {
      const std::string& id = live[rng() % live.size()];
      auto v = random_vector(rng);
      auto m = random_meta(rng);
      const bool with_vector = rng() % 2;
      std::optional<std::span<const float>> vec;
      if (with_vector) vec = std::span<const float>(v);
      check(db.update(id, vec, m), "update");
      if (with_vector) model[id].vector = v;
      if (m) model[id].metadata_json = text(m);
    } else {
      size_t at = rng() % live.size();
      auto removed = db.remove(live[at]);
      if (!removed.ok() || !removed.value()) report("delete of a live id: " + live[at]);
      model.erase(live[at]);
      live.erase(live.begin() + static_cast<long>(at));
    }
  }
}

// add_many (over 128 items now and then, so the parallel insert phase runs),
// upsert_many and remove_many over the ids "b<t>-<n>".
void batch_writer(dralm::Database& db, int t, uint64_t seed, Model& model) {
  std::mt19937_64 rng(seed);
  uint64_t next = 0;
  std::vector<std::string> live;
  while (!g_stop.load()) {
    const uint64_t pick = rng() % 3;
    if (pick == 0 || live.size() < 10) {
      const size_t n = rng() % 4 == 0 ? 150 + rng() % 100 : 2 + rng() % 20;
      dralm::WriteBatch batch;
      for (size_t i = 0; i < n; ++i) {
        batch.ids.push_back("b" + std::to_string(t) + "-" + std::to_string(next++));
        auto v = random_vector(rng);
        batch.vectors.add_row(v);
        batch.metadatas.push_back(random_meta(rng));
      }
      Model added;
      for (size_t i = 0; i < n; ++i) {
        auto row = batch.vectors.row(i);
        added[batch.ids[i]] = Row{{row.begin(), row.end()}, text(batch.metadatas[i])};
      }
      std::vector<std::string> ids = batch.ids;
      check(db.add_many(std::move(batch)), "add_many");
      for (auto& [id, row] : added) model[id] = row;
      live.insert(live.end(), ids.begin(), ids.end());
    } else if (pick == 1) {
      dralm::WriteBatch batch;
      for (int i = 0; i < 5; ++i) batch.ids.push_back(live[rng() % live.size()]);
      const std::string fresh = "b" + std::to_string(t) + "-" + std::to_string(next++);
      batch.ids.push_back(fresh);
      std::sort(batch.ids.begin(), batch.ids.end());
      batch.ids.erase(std::unique(batch.ids.begin(), batch.ids.end()), batch.ids.end());
      Model changed;
      for (const std::string& id : batch.ids) {
        auto v = random_vector(rng);
        batch.vectors.add_row(v);
        changed[id] = Row{v, std::nullopt};
      }
      check(db.upsert_many(std::move(batch)), "upsert_many");
      for (auto& [id, row] : changed) model[id] = row;
      live.push_back(fresh);
    } else {
      std::vector<std::string> ids;
      for (int i = 0; i < 4 && !live.empty(); ++i) {
        size_t at = rng() % live.size();
        ids.push_back(live[at]);
        live.erase(live.begin() + static_cast<long>(at));
      }
      ids.push_back("never-stored");
      auto removed = db.remove_many(ids);
      if (!removed.ok() || removed.value() != ids.size() - 1) report("remove_many count");
      for (const std::string& id : ids) model.erase(id);
    }
  }
}

void searcher(const dralm::Database& db, uint64_t seed) {
  std::mt19937_64 rng(seed);
  dralm::FilterExpr* no_filter = nullptr;
  while (!g_stop.load()) {
    dralm::SearchOptions options;
    options.k = 1 + rng() % 20;
    options.filter = no_filter;
    auto query = random_vector(rng);
    if (rng() % 5 == 0) {
      dralm::VectorBatch queries;
      for (int i = 0; i < 8; ++i) queries.add_row(random_vector(rng));
      auto hits = db.search_many(queries, options);
      if (!hits.ok()) report("search_many: " + hits.error().message());
      continue;
    }
    auto hits = db.search(query, options);
    if (!hits.ok()) {
      report("search: " + hits.error().message());
      continue;
    }
    for (size_t i = 1; i < hits.value().size(); ++i) {
      if (hits.value()[i].distance < hits.value()[i - 1].distance) report("unsorted hits");
    }
    for (const auto& hit : hits.value()) {
      if (hit.id.empty()) report("search returned an empty id");
    }
    for (const auto& id : db.ids()) {
      if (rng() % 64 != 0) continue;
      (void)db.get(id);  // may race with a delete: NotFound is fine, a crash is not
    }
    (void)db.count(nullptr);
    (void)db.stats();
  }
}

// ---- Graph walks racing the index's writer.

struct IndexRace {
  dralm::HnswIndex index{dralm::IndexParams{kDim, dralm::Metric::Euclidean, 8, 48}};
  mutable dralm::RwLock lock;
  std::atomic<bool> stop{false};
};

void index_writer(IndexRace& race, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<dralm::Slot> live;
  while (!race.stop.load() && live.size() < 60000) {
    const uint64_t pick = rng() % 10;
    if (pick < 7 || live.size() < 50) {
      // Staged beside the searches, published alone.
      const size_t n = rng() % 4 == 0 ? 150 + rng() % 200 : 1 + rng() % 30;
      std::vector<float> flat;
      for (size_t i = 0; i < n; ++i) {
        const std::vector<float> v = random_vector(rng);
        flat.insert(flat.end(), v.begin(), v.end());
      }
      std::vector<dralm::Slot> slots;
      {
        dralm::SharedGuard shared(race.lock);
        slots = race.index.stage_batch(flat);
      }
      dralm::ExclusiveGuard exclusive(race.lock);
      race.index.publish();
      live.insert(live.end(), slots.begin(), slots.end());
    } else if (pick < 8) {
      const std::vector<float> v = random_vector(rng);
      dralm::ExclusiveGuard exclusive(race.lock);
      race.index.update_vector(live[rng() % live.size()], v);
    } else if (pick < 9 && live.size() > 5000) {
      // Deletes start late, so the searchers check k hits over the first thousands.
      const size_t at = rng() % live.size();
      dralm::ExclusiveGuard exclusive(race.lock);
      race.index.mark_deleted(live[at]);
      live.erase(live.begin() + static_cast<long>(at));
    } else if (pick == 9) {
      dralm::QuantizedRows codes;
      if (rng() % 2 == 0) {
        dralm::SharedGuard shared(race.lock);
        codes = race.index.train_quantized();
      }
      dralm::ExclusiveGuard exclusive(race.lock);
      if (codes.rows != nullptr) {
        race.index.install_quantized(std::move(codes));
      } else {
        race.index.disable_quantization();
      }
    }
  }
}

void index_searcher(const IndexRace& race, uint64_t seed) {
  std::mt19937_64 rng(seed);
  const dralm::AcceptFn even = [](dralm::Slot s) { return s % 2 == 0; };
  while (!race.stop.load()) {
    const std::vector<float> query = random_vector(rng);
    const uint64_t k = 1 + rng() % 20;
    dralm::SharedGuard shared(race.lock);
    const dralm::HnswIndex& index = race.index;
    const size_t published = index.node_count();
    std::vector<dralm::Hit> hits;
    const uint64_t pick = rng() % 4;
    if (pick == 0) {
      hits = dralm::IndexInternals::graph_search(index, query, k, 32, &even);
    } else if (pick == 1) {
      const std::vector<dralm::Slot> seeds = {0};
      hits = dralm::IndexInternals::graph_search_within(index, query, k, 32, even, seeds);
    } else {
      hits = dralm::IndexInternals::graph_search(index, query, k, 32);
    }
    for (const dralm::Hit& hit : hits) {
      if (hit.slot >= published) report("index race: unpublished slot in a result");
      if (index.is_deleted(hit.slot)) report("index race: deleted slot in a result");
      if (pick <= 1 && hit.slot % 2 != 0) report("index race: rejected slot in a result");
    }
    // The walk's beam (32) is far wider than the deleted share of any neighbourhood
    // here, so an unfiltered walk finds k live slots whenever k are live.
    if (pick >= 2 && index.entry_point() != dralm::kNoEntry && index.deleted().empty() &&
        hits.size() < std::min<uint64_t>(k, index.live_count())) {
      report("index race: " + std::to_string(hits.size()) + " hits of " + std::to_string(k));
    }
  }
}

void run_index_race(int seconds, uint64_t seed) {
  IndexRace race;
  std::vector<std::thread> threads;
  threads.emplace_back(index_writer, std::ref(race), seed * 100 + 40);
  for (int t = 0; t < kSearchers; ++t) {
    threads.emplace_back(index_searcher, std::cref(race), seed * 100 + 50 + t);
  }
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  race.stop.store(true);
  for (auto& th : threads) th.join();
  std::printf("tsan_driver: index race: %zu slots\n", race.index.node_count());
}

void maintenance(dralm::Database& db, uint64_t seed) {
  std::mt19937_64 rng(seed);
  while (!g_stop.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50 + rng() % 200));
    switch (rng() % 4) {
      case 0:
        if (!db.compact().ok()) std::abort();
        break;
      case 1:
        db.enable_quantized_search();
        break;
      case 2:
        db.disable_quantized_search();
        break;
      default:
        check(db.save(), "save");
    }
  }
}

uint64_t verify(const dralm::Database& db, const Model& model, const char* when) {
  uint64_t before = g_failures.load();
  if (db.live_count() != model.size()) {
    report(std::string(when) + ": live count " + std::to_string(db.live_count()) +
           " != " + std::to_string(model.size()));
  }
  for (const auto& [id, row] : model) {
    auto got = db.get(id);
    if (!got.ok()) {
      report(std::string(when) + ": lost " + id);
      continue;
    }
    if (got.value().vector != row.vector || got.value().metadata_json != row.metadata_json) {
      report(std::string(when) + ": wrong content for " + id);
    }
  }
  return g_failures.load() - before;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: tsan_driver <directory> [seconds] [seed]\n");
    return 2;
  }
  const std::string dir = argv[1];
  const int seconds = argc > 2 ? std::atoi(argv[2]) : 60;
  const uint64_t seed = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 1;
  std::filesystem::remove_all(dir);

  run_index_race(std::min(15, std::max(1, seconds / 4)), seed);

  dralm::OpenOptions options;
  options.path = dir;
  options.dim = kDim;
  options.metric = "cosine";
  options.m = 8;
  options.ef_construction = 64;
  auto opened = dralm::Database::open(options);
  if (!opened.ok()) {
    std::fprintf(stderr, "open failed: %s\n", opened.error().message().c_str());
    return 1;
  }
  dralm::Database& db = *opened.value();

  std::vector<Model> models(kWriters + kBatchWriters);
  std::vector<std::thread> threads;
  for (int t = 0; t < kWriters; ++t) {
    threads.emplace_back(writer, std::ref(db), t, seed * 100 + t, std::ref(models[t]));
  }
  for (int t = 0; t < kBatchWriters; ++t) {
    threads.emplace_back(batch_writer, std::ref(db), t, seed * 100 + 10 + t,
                         std::ref(models[kWriters + t]));
  }
  for (int t = 0; t < kSearchers; ++t) {
    threads.emplace_back(searcher, std::cref(db), seed * 100 + 20 + t);
  }
  threads.emplace_back(maintenance, std::ref(db), seed * 100 + 30);

  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  g_stop.store(true);
  for (auto& th : threads) th.join();

  Model all;
  for (const Model& m : models) all.insert(m.begin(), m.end());
  verify(db, all, "in memory");
  check(db.save(), "final save");
  opened.value().reset();

  options.dim.reset();
  auto reopened = dralm::Database::open(options);
  if (!reopened.ok()) {
    report("reopen failed: " + reopened.error().message());
  } else {
    verify(*reopened.value(), all, "after reopen");
  }
  std::printf("tsan_driver: %zu live ids, %llu failures\n", all.size(),
              static_cast<unsigned long long>(g_failures.load()));
  return g_failures.load() == 0 ? 0 : 1;
}
