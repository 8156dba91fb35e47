// Queries and lookups through the Database API.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <thread>

#include "support/db_test_support.h"

namespace dralm::testing {
namespace {

using Vec = std::vector<float>;

TEST(DbDefaultEfTest, FollowsTheFormula) {
  EXPECT_EQ(Database::default_ef(0), 200u);
  EXPECT_EQ(Database::default_ef(10), 200u);
  EXPECT_EQ(Database::default_ef(100), 200u);
  EXPECT_EQ(Database::default_ef(101), 201u);
  EXPECT_EQ(Database::default_ef(1000), 1316u);
  const uint64_t max = std::numeric_limits<uint64_t>::max();
  EXPECT_EQ(Database::default_ef(max), max) << "must saturate, not wrap";
  EXPECT_EQ(Database::default_ef(max - 5), max);
}

// Points on a line (euclidean): the squared distance from (q, 0) to (i, 0) is exact.
class DbQueriesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = open_new(dir_.path(), 2);
    for (int i = 0; i < 20; ++i) {
      const std::string m =
          "{\"parity\":" + std::to_string(i % 2) + ",\"i\":" + std::to_string(i) + "}";
      ASSERT_OK(db_->add("p" + std::to_string(i), Vec{float(i), 0}, meta(m)));
    }
  }
  std::vector<QueryHit> search(Vec q, SearchOptions options = {}) {
    auto result = db_->search(q, options);
    EXPECT_TRUE(result.ok()) << error_message(result);
    return result.ok() ? result.value() : std::vector<QueryHit>{};
  }
  static std::vector<std::string> ids_of(const std::vector<QueryHit>& hits) {
    std::vector<std::string> ids;
    for (const QueryHit& hit : hits) ids.push_back(hit.id);
    return ids;
  }

  TempDir dir_;
  std::unique_ptr<Database> db_;
};

TEST_F(DbQueriesTest, NearestFirstWithExactDistancesAndMetadata) {
  auto hits = search({5.25f, 0}, search_options(3));
  ASSERT_EQ(hits.size(), 3u);
  EXPECT_EQ(ids_of(hits), (std::vector<std::string>{"p5", "p6", "p4"}));
  EXPECT_FLOAT_EQ(hits[0].distance, 0.0625f);
  EXPECT_FLOAT_EQ(hits[1].distance, 0.5625f);
  EXPECT_FLOAT_EQ(hits[2].distance, 1.5625f);
  EXPECT_EQ(hits[0].metadata_json, R"({"i":5,"parity":1})");
}

TEST_F(DbQueriesTest, DefaultKIsTen) { EXPECT_EQ(search({0, 0}).size(), 10u); }

TEST_F(DbQueriesTest, KZeroAndLargeKBehave) {
  EXPECT_TRUE(search({0, 0}, search_options(0)).empty());
  auto all = search({0, 0}, search_options(1000));
  EXPECT_EQ(all.size(), 20u);
  EXPECT_TRUE(std::is_sorted(all.begin(), all.end(), [](const QueryHit& a, const QueryHit& b) {
    return a.distance < b.distance;
  }));
}

TEST_F(DbQueriesTest, MaxDistanceKeepsTheBoundAndNeverWidens) {
  // Distances from (0, 0): 0, 1, 4, 9, ...
  auto hits = search({0, 0}, search_options(3, nullptr, 1.0f));
  EXPECT_EQ(ids_of(hits), (std::vector<std::string>{"p0", "p1"}));
  EXPECT_EQ(search({0, 0}, search_options(2, nullptr, 100.0f)).size(), 2u);
  EXPECT_TRUE(search({0, 0}, search_options(5, nullptr, -0.5f)).empty());
  const float nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_TRUE(search({0, 0}, search_options(5, nullptr, nan)).empty());
}

TEST_F(DbQueriesTest, FiltersSelectByMetadata) {
  FilterExpr odd = FilterExpr::eq("parity", json("1"));
  auto hits = search({0, 0}, search_options(3, &odd));
  EXPECT_EQ(ids_of(hits), (std::vector<std::string>{"p1", "p3", "p5"}));
  // A range filter cannot be narrowed by the index; every slot is tested.
  FilterExpr big = FilterExpr::range(FilterExpr::Kind::Gte, "i", 17);
  EXPECT_EQ(ids_of(search({0, 0}, search_options(10, &big))),
            (std::vector<std::string>{"p17", "p18", "p19"}));
  FilterExpr both = FilterExpr::all_of(
      {FilterExpr::eq("parity", json("0")), FilterExpr::range(FilterExpr::Kind::Lt, "i", 5)});
  EXPECT_EQ(ids_of(search({9, 0}, search_options(10, &both))),
            (std::vector<std::string>{"p4", "p2", "p0"}));
  FilterExpr nothing = FilterExpr::all_of({});
  EXPECT_TRUE(search({0, 0}, search_options(10, &nothing)).empty());
  EXPECT_EQ(db_->count(&nothing), 0u);
}

TEST_F(DbQueriesTest, DeletedIdsAreNeverReturned) {
  ASSERT_OK(db_->remove("p0"));
  ASSERT_OK(db_->remove("p1"));
  auto hits = search({0, 0}, search_options(3));
  EXPECT_EQ(ids_of(hits), (std::vector<std::string>{"p2", "p3", "p4"}));
  FilterExpr odd = FilterExpr::eq("parity", json("1"));
  EXPECT_EQ(ids_of(search({0, 0}, search_options(1, &odd))), (std::vector<std::string>{"p3"}));
}

TEST_F(DbQueriesTest, DimensionIsCheckedForEveryQuery) {
  EXPECT_EQ(error_message(db_->search(Vec{1, 2, 3}, SearchOptions{})),
            "dimension mismatch: expected 2, got 3");
  VectorBatch queries;
  queries.add_row(Vec{1, 2});
  queries.add_row(Vec{1});
  queries.add_row(Vec{1, 2, 3, 4});
  EXPECT_EQ(error_message(db_->search_many(queries, SearchOptions{})),
            "dimension mismatch: expected 2, got 1");
}

TEST_F(DbQueriesTest, SearchManyEqualsSearchPerQuery) {
  std::mt19937 rng(7);
  VectorBatch queries;
  for (int i = 0; i < 9; ++i) queries.add_row(Vec{float(rng() % 200) / 10.0f, float(rng() % 3)});
  FilterExpr even = FilterExpr::eq("parity", json("0"));
  for (const FilterExpr* filter : std::vector<const FilterExpr*>{nullptr, &even}) {
    const SearchOptions options = search_options(4, filter, 30.0f);
    auto many = db_->search_many(queries, options);
    ASSERT_OK(many);
    ASSERT_EQ(many.value().size(), queries.size());
    for (size_t i = 0; i < queries.size(); ++i) {
      auto one = search(Vec(queries.row(i).begin(), queries.row(i).end()), options);
      ASSERT_EQ(many.value()[i].size(), one.size()) << i;
      for (size_t j = 0; j < one.size(); ++j) {
        EXPECT_EQ(many.value()[i][j].id, one[j].id);
        EXPECT_EQ(many.value()[i][j].distance, one[j].distance);
        EXPECT_EQ(many.value()[i][j].metadata_json, one[j].metadata_json);
      }
    }
  }
  auto none = db_->search_many(VectorBatch{}, SearchOptions{});
  ASSERT_OK(none);
  EXPECT_TRUE(none.value().empty());
}

TEST_F(DbQueriesTest, QuantizedSearchReportsExactDistances) {
  EXPECT_FALSE(db_->quantized_search());
  auto exact = search({3.3f, 0}, search_options(5));
  ASSERT_TRUE(db_->enable_quantized_search().ok());
  EXPECT_TRUE(db_->quantized_search());
  auto quantized = search({3.3f, 0}, search_options(5));
  for (const QueryHit& hit : quantized) {
    auto same =
        std::find_if(exact.begin(), exact.end(), [&](const QueryHit& e) { return e.id == hit.id; });
    if (same != exact.end()) {
      EXPECT_EQ(same->distance, hit.distance) << hit.id;
    }
  }
  db_->disable_quantized_search();
  EXPECT_FALSE(db_->quantized_search());
}

TEST(DbQueriesEmptyTest, EmptyDatabaseAnswersEmpty) {
  TempDir dir;
  auto db = open_new(dir.path(), 3, "cosine");
  auto hits = db->search(Vec{1, 2, 3}, SearchOptions{});
  ASSERT_OK(hits);
  EXPECT_TRUE(hits.value().empty());
  VectorBatch two;
  two.add_row(Vec{1, 2, 3});
  two.add_row(Vec{3, 2, 1});
  auto many = db->search_many(two, SearchOptions{});
  ASSERT_OK(many);
  ASSERT_EQ(many.value().size(), 2u);
  EXPECT_TRUE(many.value()[0].empty());
  EXPECT_TRUE(many.value()[1].empty());
  ASSERT_TRUE(db->enable_quantized_search().ok());
  EXPECT_FALSE(db->quantized_search()) << "nothing to train on";
  EXPECT_TRUE(db->ids().empty());
  EXPECT_EQ(db->count(nullptr), 0u);
}

// ---- Lookups.

TEST_F(DbQueriesTest, GetReturnsStoredFloatsAndMetadata) {
  ASSERT_OK(db_->add("tenth", Vec{0.1f, -2.5f}, std::nullopt));
  auto got = db_->get("tenth");
  ASSERT_OK(got);
  EXPECT_EQ(got.value().vector, (Vec{0.1f, -2.5f}));
  EXPECT_EQ(double(got.value().vector[0]), 0.10000000149011612);
  EXPECT_EQ(got.value().metadata_json, std::nullopt);
  EXPECT_EQ(error_message(db_->get("missing")), "id 'missing' not found");
}

TEST_F(DbQueriesTest, IdsCountContainsAfterDeletes) {
  ASSERT_OK(db_->remove("p3"));
  std::vector<std::string> ids = db_->ids();
  std::sort(ids.begin(), ids.end());
  std::vector<std::string> want;
  for (int i = 0; i < 20; ++i) {
    if (i != 3) want.push_back("p" + std::to_string(i));
  }
  std::sort(want.begin(), want.end());
  EXPECT_EQ(ids, want);
  EXPECT_EQ(db_->count(nullptr), 19u);
  EXPECT_EQ(db_->live_count(), 19u);
  EXPECT_EQ(db_->total_slots(), 20u);
  EXPECT_FALSE(db_->contains("p3"));
  EXPECT_TRUE(db_->contains("p4"));
  FilterExpr odd = FilterExpr::eq("parity", json("1"));
  EXPECT_EQ(db_->count(&odd), 9u);
  FilterExpr low = FilterExpr::range(FilterExpr::Kind::Lt, "i", 5);
  EXPECT_EQ(db_->count(&low), 4u);
}

TEST_F(DbQueriesTest, NeDoesNotCountVectorsWithoutMetadata) {
  ASSERT_OK(db_->add("bare", Vec{1, 1}, std::nullopt));
  FilterExpr ne = FilterExpr::ne("x", json("1"));
  EXPECT_EQ(db_->count(&ne), 20u);
}

TEST_F(DbQueriesTest, CountFollowsUpsertedMetadata) {
  ASSERT_OK(db_->upsert("p1", Vec{1, 0}, meta(R"({"parity":0})")));
  FilterExpr odd = FilterExpr::eq("parity", json("1"));
  FilterExpr even = FilterExpr::eq("parity", json("0"));
  EXPECT_EQ(db_->count(&odd), 9u);
  EXPECT_EQ(db_->count(&even), 11u);
}

}  // namespace
}  // namespace dralm::testing

namespace dralm::testing {
namespace {

// Searches, lookups and writes from several threads at once: every call succeeds,
// every hit is a live id whose metadata matches the filter, and the record's
// invariants hold afterwards. Run under the thread sanitizer it checks the locking.
TEST(DbConcurrencyTest, SearchesAndLookupsBesideAWriter) {
  TempDir dir;
  auto db = open_new(dir.path(), 8);
  std::mt19937 rng(11);
  WriteBatch base;
  for (int i = 0; i < 400; ++i) {
    base.ids.push_back("b" + std::to_string(i));
    base.vectors.add_row(random_vector(rng, 8));
    base.metadatas.push_back(meta("{\"g\":" + std::to_string(i % 4) + "}"));
  }
  ASSERT_OK(db->add_many(std::move(base)));
  // Readers do a fixed amount of work and the writer goes on while they run: the
  // duration is bounded by the readers, however the locks favour them.
  constexpr int kRounds = 120;
  std::atomic<int> readers_left{3};
  std::atomic<int> failures{0};
  auto searcher = [&](unsigned seed) {
    std::mt19937 local(seed);
    FilterExpr g1 = FilterExpr::eq("g", json("1"));
    for (int round = 0; round < kRounds; ++round) {
      auto hits = db->search(random_vector(local, 8), search_options(5, &g1));
      if (!hits.ok()) ++failures;
      for (const QueryHit& hit : hits.value()) {
        if (hit.metadata_json != R"({"g":1})") ++failures;
      }
      VectorBatch queries;
      for (int q = 0; q < 3; ++q) queries.add_row(random_vector(local, 8));
      auto many = db->search_many(queries, search_options(4, seed % 2 ? &g1 : nullptr));
      if (!many.ok() || many.value().size() != 3) ++failures;
    }
    --readers_left;
  };
  auto reader = [&] {
    FilterExpr g2 = FilterExpr::eq("g", json("2"));
    for (int round = 0; round < kRounds / 4; ++round) {
      for (const std::string& id : db->ids()) (void)db->get(id);  // may race a delete
      if (db->count(&g2) > db->live_count()) ++failures;
    }
    --readers_left;
  };
  std::vector<std::thread> threads;
  threads.emplace_back(searcher, 1u);
  threads.emplace_back(searcher, 2u);
  threads.emplace_back(reader);
  int writes = 0;
  for (int i = 0; i < 150 && (readers_left > 0 || i < 10); ++i, writes += 4) {
    const std::string id = "w" + std::to_string(i);
    // EXPECT, not ASSERT: the threads must be joined whatever happens.
    EXPECT_TRUE(db->add(id, random_vector(rng, 8), meta(R"({"g":1})")).ok());
    EXPECT_TRUE(db->update(id, std::nullopt, json(R"({"g":3})")).ok());
    EXPECT_TRUE(db->remove("b" + std::to_string(i)).ok());
    EXPECT_TRUE(
        db->upsert("w" + std::to_string(i / 2), random_vector(rng, 8), meta(R"({"g":1})")).ok());
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_GE(writes, 40);
  EXPECT_EQ(db->live_count(), 400u);  // each round adds one id and deletes one
  EXPECT_INVARIANTS(*db);
}

}  // namespace
}  // namespace dralm::testing
