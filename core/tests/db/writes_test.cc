// The seven write operations: their checks, messages, tombstones and the log.
#include <filesystem>
#include <map>
#include <thread>

#include "support/db_test_support.h"

namespace dralm::testing {
namespace {

namespace fs = std::filesystem;

using Vec = std::vector<float>;

WriteBatch batch_of(std::vector<std::string> ids, std::vector<Vec> vectors,
                    std::vector<std::optional<JsonValue>> metadatas = {}) {
  WriteBatch batch;
  batch.ids = std::move(ids);
  for (const Vec& v : vectors) batch.vectors.add_row(v);
  batch.metadatas = std::move(metadatas);
  return batch;
}

class DbWritesTest : public ::testing::Test {
 protected:
  void SetUp() override { db_ = open_new(dir_.path(), 2); }
  uint64_t log_length() const { return file_length(dir_.file("wal.dralm")); }
  std::optional<std::string> metadata_of(const std::string& id) {
    return db_->get(id).value().metadata_json;
  }

  TempDir dir_;
  std::unique_ptr<Database> db_;
};

TEST_F(DbWritesTest, AddChecksDimensionThenExistence) {
  EXPECT_EQ(error_message(db_->add("a", Vec{1, 2, 3}, std::nullopt)),
            "dimension mismatch: expected 2, got 3");
  EXPECT_EQ(log_length(), 0u);
  ASSERT_OK(db_->add("a", Vec{1, 2}, meta(R"({"x":1})")));
  const uint64_t logged = log_length();
  EXPECT_GT(logged, 0u);
  EXPECT_EQ(error_message(db_->add("a", Vec{5, 5}, std::nullopt)),
            "id 'a' already exists, use upsert instead");
  EXPECT_EQ(log_length(), logged) << "a refused add must log nothing";
  EXPECT_EQ(db_->get("a").value().vector, (Vec{1, 2}));
  EXPECT_EQ(metadata_of("a"), R"({"x":1})");
  EXPECT_INVARIANTS(*db_);
}

TEST_F(DbWritesTest, DeletedIdComesBackOnANewSlot) {
  ASSERT_OK(db_->add("a", Vec{1, 2}, meta(R"({"x":1})")));
  ASSERT_TRUE(db_->remove("a").value());
  EXPECT_EQ(db_->total_slots(), 1u);
  EXPECT_EQ(db_->deleted_count(), 1u);
  ASSERT_OK(db_->add("a", Vec{3, 4}, std::nullopt));
  EXPECT_EQ(db_->total_slots(), 2u);
  EXPECT_EQ(db_->deleted_count(), 1u);
  EXPECT_EQ(db_->get("a").value().vector, (Vec{3, 4}));
  EXPECT_EQ(metadata_of("a"), std::nullopt);
  EXPECT_INVARIANTS(*db_);
}

TEST_F(DbWritesTest, UpsertReplacesLiveInPlaceAndClearsMetadata) {
  ASSERT_OK(db_->upsert("a", Vec{1, 1}, meta(R"({"x":1})")));
  ASSERT_OK(db_->upsert("a", Vec{2, 2}, std::nullopt));
  EXPECT_EQ(db_->total_slots(), 1u);
  EXPECT_EQ(db_->get("a").value().vector, (Vec{2, 2}));
  EXPECT_EQ(metadata_of("a"), std::nullopt);
  EXPECT_EQ(db_->count(nullptr), 1u);
  FilterExpr old_value = FilterExpr::eq("x", json("1"));
  EXPECT_EQ(db_->count(&old_value), 0u) << "stale metadata_index entry";
  EXPECT_INVARIANTS(*db_);
}

TEST_F(DbWritesTest, UpsertOfADeletedIdAddsASlotAndKeepsTheTombstone) {
  ASSERT_OK(db_->add("a", Vec{1, 1}, std::nullopt));
  ASSERT_TRUE(db_->remove("a").value());
  ASSERT_OK(db_->upsert("a", Vec{2, 2}, std::nullopt));
  EXPECT_EQ(db_->total_slots(), 2u);
  EXPECT_EQ(db_->deleted_count(), 1u);
  EXPECT_INVARIANTS(*db_);
}

TEST_F(DbWritesTest, UpdateReplacesWholeMetadataAndKeepsWhatIsNotGiven) {
  ASSERT_OK(db_->add("a", Vec{1, 1}, meta(R"({"x":1,"y":2})")));
  ASSERT_OK(db_->update("a", std::nullopt, json(R"({"z":3})")));
  EXPECT_EQ(metadata_of("a"), R"({"z":3})");
  EXPECT_EQ(db_->get("a").value().vector, (Vec{1, 1}));
  ASSERT_OK(db_->update("a", Vec{5, 6}, std::nullopt));
  EXPECT_EQ(db_->get("a").value().vector, (Vec{5, 6}));
  EXPECT_EQ(metadata_of("a"), R"({"z":3})");
  FilterExpr gone = FilterExpr::eq("x", json("1"));
  EXPECT_EQ(db_->count(&gone), 0u);
  EXPECT_INVARIANTS(*db_);
}

TEST_F(DbWritesTest, UpdateWithNothingStillLogsOneRecord) {
  ASSERT_OK(db_->add("a", Vec{1, 1}, meta(R"({"x":1})")));
  const uint64_t before = log_length();
  ASSERT_OK(db_->update("a", std::nullopt, std::nullopt));
  EXPECT_GT(log_length(), before);
  EXPECT_EQ(db_->get("a").value().vector, (Vec{1, 1}));
  EXPECT_EQ(metadata_of("a"), R"({"x":1})");
}

TEST_F(DbWritesTest, UpdateOfUnknownIdIsNotFoundEvenWithAWrongLength) {
  EXPECT_EQ(error_message(db_->update("nope", Vec{1, 2, 3}, std::nullopt)), "id 'nope' not found");
  ASSERT_OK(db_->add("a", Vec{1, 1}, std::nullopt));
  const uint64_t before = log_length();
  EXPECT_EQ(error_message(db_->update("a", Vec{1, 2, 3}, std::nullopt)),
            "dimension mismatch: expected 2, got 3");
  EXPECT_EQ(log_length(), before);
}

TEST_F(DbWritesTest, DeleteReportsWhetherTheIdWasLive) {
  EXPECT_FALSE(db_->remove("a").value());
  EXPECT_EQ(log_length(), 0u) << "deleting an unknown id logs nothing";
  ASSERT_OK(db_->add("a", Vec{1, 1}, meta(R"({"k":"v"})")));
  EXPECT_TRUE(db_->remove("a").value());
  EXPECT_FALSE(db_->remove("a").value());
  EXPECT_FALSE(db_->contains("a"));
  EXPECT_EQ(db_->get("a").error().message(), "id 'a' not found");
  FilterExpr k = FilterExpr::eq("k", json(R"("v")"));
  EXPECT_EQ(db_->count(&k), 0u);
  EXPECT_INVARIANTS(*db_);
}

TEST_F(DbWritesTest, DeleteManyCountsEachLiveIdOnce) {
  ASSERT_OK(db_->add("a", Vec{1, 1}, std::nullopt));
  ASSERT_OK(db_->add("b", Vec{2, 2}, std::nullopt));
  const std::vector<std::string> ids = {"a", "a", "zz"};
  EXPECT_EQ(db_->remove_many(ids).value(), 1u);
  EXPECT_EQ(db_->remove_many(std::vector<std::string>{}).value(), 0u);
  EXPECT_TRUE(db_->contains("b"));
  EXPECT_EQ(db_->deleted_count(), 1u);
  EXPECT_INVARIANTS(*db_);
}

TEST_F(DbWritesTest, EmptyBatchesChangeNothing) {
  ASSERT_OK(db_->add_many(WriteBatch{}));
  ASSERT_OK(db_->upsert_many(WriteBatch{}));
  EXPECT_EQ(db_->total_slots(), 0u);
  EXPECT_EQ(log_length(), 0u);
}

struct RefusedBatch {
  const char* name;
  std::vector<std::string> ids;
  std::vector<Vec> vectors;
  const char* message;
};

class DbAddManyRefusedTest : public ::testing::TestWithParam<RefusedBatch> {};

TEST_P(DbAddManyRefusedTest, NothingIsAddedOrLogged) {
  TempDir dir;
  auto db = open_new(dir.path(), 2);
  ASSERT_OK(db->add("live", Vec{0, 0}, std::nullopt));
  const uint64_t before = file_length(dir.file("wal.dralm"));
  const RefusedBatch& c = GetParam();
  EXPECT_EQ(error_message(db->add_many(batch_of(c.ids, c.vectors))), c.message);
  EXPECT_EQ(db->total_slots(), 1u);
  EXPECT_EQ(file_length(dir.file("wal.dralm")), before);
  for (const std::string& id : c.ids) {
    if (id != "live") {
      EXPECT_FALSE(db->contains(id)) << id;
    }
  }
  EXPECT_INVARIANTS(*db);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DbAddManyRefusedTest,
    ::testing::Values(RefusedBatch{"ExistingLast",
                                   {"n1", "n2", "live"},
                                   {{1, 1}, {2, 2}, {3, 3}},
                                   "id 'live' already exists, use upsert instead"},
                      RefusedBatch{"RepeatedInBatch",
                                   {"n1", "n2", "n1"},
                                   {{1, 1}, {2, 2}, {3, 3}},
                                   "id 'n1' already exists, use upsert instead"},
                      RefusedBatch{"WrongLengthMiddle",
                                   {"n1", "n2", "n3"},
                                   {{1, 1}, {2, 2, 2}, {3}},
                                   "dimension mismatch: expected 2, got 3"},
                      // The dimension scan runs before the id checks.
                      RefusedBatch{"WrongLengthAndExisting",
                                   {"live", "n2"},
                                   {{1, 1}, {2}},
                                   "dimension mismatch: expected 2, got 1"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DbWritesTest, AddManyStoresEveryItemInOrder) {
  ASSERT_OK(db_->add_many(batch_of({"a", "b", "c"}, {{1, 0}, {0, 1}, {1, 1}},
                                   {meta(R"({"n":1})"), std::nullopt, meta(R"({"n":3})")})));
  EXPECT_EQ(db_->total_slots(), 3u);
  EXPECT_EQ(db_->get("b").value().vector, (Vec{0, 1}));
  EXPECT_EQ(metadata_of("b"), std::nullopt);
  EXPECT_EQ(metadata_of("c"), R"({"n":3})");
  EXPECT_INVARIANTS(*db_);
}

TEST_F(DbWritesTest, UpsertManyReplacesLiveAndAppendsNewInOrder) {
  ASSERT_OK(db_->add("live", Vec{0, 0}, meta(R"({"old":true})")));
  ASSERT_OK(db_->upsert_many(batch_of({"n1", "live", "n2"}, {{1, 1}, {5, 5}, {2, 2}})));
  EXPECT_EQ(db_->total_slots(), 3u);
  EXPECT_EQ(db_->get("live").value().vector, (Vec{5, 5}));
  EXPECT_EQ(metadata_of("live"), std::nullopt);
  // New ids take the slots after the existing one, in input order: the nearest
  // neighbour of (1, 1) and of (2, 2) tell which is which.
  auto first = db_->search(Vec{1, 1}, search_options(1));
  ASSERT_OK(first);
  EXPECT_EQ(first.value()[0].id, "n1");
  EXPECT_INVARIANTS(*db_);
}

TEST_F(DbWritesTest, UpsertManyRepeatedNewIdMakesOneSlotAndLastWins) {
  ASSERT_OK(db_->upsert_many(batch_of({"a", "b", "a"}, {{1, 1}, {2, 2}, {3, 3}},
                                      {meta(R"({"v":1})"), std::nullopt, meta(R"({"v":3})")})));
  EXPECT_EQ(db_->total_slots(), 2u);
  EXPECT_EQ(db_->live_count(), 2u);
  EXPECT_EQ(db_->get("a").value().vector, (Vec{3, 3}));
  EXPECT_EQ(metadata_of("a"), R"({"v":3})");
  EXPECT_INVARIANTS(*db_);
  // Replaying the batch's three records gives the same state.
  db_.reset();
  auto reopened = open_new(dir_.path(), 2);
  EXPECT_EQ(reopened->total_slots(), 2u);
  EXPECT_EQ(reopened->get("a").value().vector, (Vec{3, 3}));
  EXPECT_EQ(reopened->get("a").value().metadata_json, R"({"v":3})");
  EXPECT_INVARIANTS(*reopened);
}

TEST_F(DbWritesTest, UpsertManyRepeatedLiveIdLastWins) {
  ASSERT_OK(db_->add("a", Vec{0, 0}, std::nullopt));
  ASSERT_OK(
      db_->upsert_many(batch_of({"a", "a"}, {{1, 1}, {2, 2}}, {meta(R"({"v":1})"), std::nullopt})));
  EXPECT_EQ(db_->total_slots(), 1u);
  EXPECT_EQ(db_->get("a").value().vector, (Vec{2, 2}));
  EXPECT_EQ(metadata_of("a"), std::nullopt);
  EXPECT_INVARIANTS(*db_);
}

TEST_F(DbWritesTest, EmptyStringIsAnId) {
  ASSERT_OK(db_->add("", Vec{1, 2}, meta(R"({"e":1})")));
  EXPECT_TRUE(db_->contains(""));
  EXPECT_EQ(db_->get("").value().vector, (Vec{1, 2}));
  auto hits = db_->search(Vec{1, 2}, SearchOptions{});
  ASSERT_OK(hits);
  ASSERT_EQ(hits.value().size(), 1u);
  EXPECT_EQ(hits.value()[0].id, "");
  EXPECT_INVARIANTS(*db_);
  EXPECT_TRUE(db_->remove("").value());
  EXPECT_FALSE(db_->contains(""));
  EXPECT_INVARIANTS(*db_);
}

// A log that cannot be written: the first append opens /dev/full, whose writes fail.
class DbFailingLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "needs /dev/full";
    {
      auto db = open_new(dir_.path(), 2);
      ASSERT_OK(db->add("kept", Vec{1, 1}, meta(R"({"k":1})")));
    }
    db_ = open_new(dir_.path(), 2);  // replays "kept"; no log handle is open yet
    fs::remove(dir_.file("wal.dralm"));
    fs::create_symlink("/dev/full", dir_.file("wal.dralm"));
  }
  void expect_unchanged() {
    EXPECT_EQ(db_->total_slots(), 1u);
    EXPECT_EQ(db_->deleted_count(), 0u);
    EXPECT_TRUE(db_->contains("kept"));
    EXPECT_EQ(db_->get("kept").value().vector, (Vec{1, 1}));
    EXPECT_EQ(db_->get("kept").value().metadata_json, R"({"k":1})");
    EXPECT_INVARIANTS(*db_);
  }
  static void expect_io(const std::string& message) {
    EXPECT_EQ(message.rfind("io error: ", 0), 0u) << message;
  }

  TempDir dir_;
  std::unique_ptr<Database> db_;
};

TEST_F(DbFailingLogTest, EveryWriteFailsWithIoAndChangesNothing) {
  expect_io(error_message(db_->add("new", Vec{2, 2}, std::nullopt)));
  expect_unchanged();
  expect_io(error_message(db_->upsert("kept", Vec{2, 2}, std::nullopt)));
  expect_unchanged();
  expect_io(error_message(db_->upsert("new", Vec{2, 2}, std::nullopt)));
  expect_unchanged();
  expect_io(error_message(db_->update("kept", Vec{3, 3}, json("{}"))));
  expect_unchanged();
  expect_io(error_message(db_->remove("kept")));
  expect_unchanged();
  expect_io(error_message(db_->add_many(batch_of({"x", "y"}, {{1, 1}, {2, 2}}))));
  expect_unchanged();
  expect_io(error_message(db_->upsert_many(batch_of({"kept", "y"}, {{1, 1}, {2, 2}}))));
  expect_unchanged();
  const std::vector<std::string> ids = {"kept"};
  expect_io(error_message(db_->remove_many(ids)));
  expect_unchanged();
}

// Many threads add the same new id: exactly one wins, only the winner is logged, and
// the log replays to the winner's vector.
TEST(DbWritesRaceTest, ConcurrentAddsOfOneIdLogOnlyTheWinner) {
  TempDir dir;
  auto db = open_new(dir.path(), 2);
  constexpr int kThreads = 8;
  std::vector<std::thread> threads;
  std::vector<int> won(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] { won[t] = db->add("same", Vec{float(t), 0}, std::nullopt).ok(); });
  }
  for (auto& thread : threads) thread.join();
  int winners = 0;
  int winner = -1;
  for (int t = 0; t < kThreads; ++t) {
    winners += won[t];
    if (won[t]) winner = t;
  }
  ASSERT_EQ(winners, 1);
  EXPECT_EQ(db->total_slots(), 1u);
  db.reset();
  auto reopened = open_new(dir.path(), 2);
  EXPECT_EQ(reopened->get("same").value().vector, (Vec{float(winner), 0}));
  EXPECT_EQ(reopened->total_slots(), 1u);
}

// Concurrent upserts of one id end in one slot, and memory equals what replay builds.
TEST(DbWritesRaceTest, ConcurrentUpsertsAgreeWithTheirLog) {
  TempDir dir;
  auto db = open_new(dir.path(), 2);
  constexpr int kThreads = 6;
  constexpr int kRounds = 40;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int r = 0; r < kRounds; ++r) {
        const std::string id = "k" + std::to_string(r % 5);
        const std::optional<JsonValue> m = meta("{\"t\":" + std::to_string(t) + "}");
        EXPECT_TRUE(db->upsert(id, Vec{float(t), float(r)}, m).ok());
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(db->total_slots(), 5u);
  EXPECT_INVARIANTS(*db);
  std::map<std::string, std::pair<Vec, std::optional<std::string>>> in_memory;
  for (const std::string& id : db->ids()) {
    auto got = db->get(id).value();
    in_memory[id] = {got.vector, got.metadata_json};
  }
  db.reset();
  auto reopened = open_new(dir.path(), 2);
  EXPECT_EQ(reopened->total_slots(), 5u);
  for (const auto& [id, value] : in_memory) {
    auto got = reopened->get(id).value();
    EXPECT_EQ(got.vector, value.first) << id;
    EXPECT_EQ(got.metadata_json, value.second) << id;
  }
}

}  // namespace
}  // namespace dralm::testing
