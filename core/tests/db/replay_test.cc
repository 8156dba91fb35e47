// Log replay at open: every record kind, skipped records, torn and damaged tails.
// Logs are written frame by frame with encode_frame and replayed by opening the
// directory with dim (a never-saved database replays its log).
#include <map>

#include "store/persistence.h"
#include "store/wal_record.h"
#include "support/db_test_support.h"
#include "support/log_frames.h"

namespace dralm::testing {
namespace {

using Vec = std::vector<float>;

class LogBuilder {
 public:
  LogBuilder& insert(std::string_view id, Vec v, std::optional<JsonValue> m = std::nullopt) {
    return add(WalRecordView::insert(id, v, m ? &*m : nullptr));
  }
  LogBuilder& remove(std::string_view id) { return add(WalRecordView::remove(id)); }
  LogBuilder& update(std::string_view id, std::optional<Vec> v, bool metadata_changed,
                     std::optional<JsonValue> m = std::nullopt) {
    std::span<const float> view;
    if (v) view = *v;
    return add(WalRecordView::update(id, v ? &view : nullptr, metadata_changed, m ? &*m : nullptr));
  }
  // A frame of any kind code with a correct checksum.
  LogBuilder& raw(uint8_t kind, const std::string& payload) {
    bytes_ += frame_of(kind, payload);
    return *this;
  }
  const std::string& bytes() const { return bytes_; }
  std::string& bytes() { return bytes_; }

 private:
  LogBuilder& add(const WalRecordView& record) {
    Status encoded = encode_frame(record, bytes_);
    EXPECT_TRUE(encoded.ok());
    return *this;
  }
  std::string bytes_;
};

class DbReplayTest : public ::testing::Test {
 protected:
  std::unique_ptr<Database> replay(const std::string& log) {
    write_file(dir_.file("wal.dralm"), log);
    auto db = open_new(dir_.path(), 2);
    if (db) EXPECT_INVARIANTS(*db);
    return db;
  }
  static std::optional<std::string> metadata(Database& db, std::string_view id) {
    return db.get(id).value().metadata_json;
  }
  TempDir dir_;
};

TEST_F(DbReplayTest, MissingOrEmptyLogReplaysNothing) {
  auto db = replay("");
  EXPECT_EQ(db->total_slots(), 0u);
  EXPECT_EQ(file_length(dir_.file("wal.dralm")), 0u);
}

TEST_F(DbReplayTest, InsertOfAKnownIdReplacesIt) {
  auto db = replay(LogBuilder()
                       .insert("a", {1, 1}, meta(R"({"v":1})"))
                       .insert("a", {2, 2}, meta(R"({"v":2})"))
                       .bytes());
  EXPECT_EQ(db->total_slots(), 1u);
  EXPECT_EQ(db->get("a").value().vector, (Vec{2, 2}));
  EXPECT_EQ(metadata(*db, "a"), R"({"v":2})");
}

TEST_F(DbReplayTest, DeleteTombstonesAndUnknownDeleteIsIgnored) {
  auto db =
      replay(LogBuilder().remove("ghost").insert("a", {1, 1}).remove("a").remove("a").bytes());
  EXPECT_FALSE(db->contains("a"));
  EXPECT_EQ(db->total_slots(), 1u);
  EXPECT_EQ(db->deleted_count(), 1u);
  EXPECT_EQ(db->live_count(), 0u);
}

struct UpdateCase {
  const char* name;
  std::optional<Vec> vector;
  bool metadata_changed;
  std::optional<const char*> metadata;
  Vec want_vector;
  std::optional<std::string> want_metadata;
};

class DbReplayUpdateTest : public DbReplayTest, public ::testing::WithParamInterface<UpdateCase> {};

TEST_P(DbReplayUpdateTest, FlagCombinations) {
  const UpdateCase& c = GetParam();
  std::optional<JsonValue> m;
  if (c.metadata) m = json(*c.metadata);
  auto db = replay(LogBuilder()
                       .insert("a", {1, 1}, meta(R"({"old":1})"))
                       .update("a", c.vector, c.metadata_changed, m)
                       .update("ghost", Vec{9, 9}, true, json(R"({"g":1})"))
                       .bytes());
  EXPECT_EQ(db->get("a").value().vector, c.want_vector);
  EXPECT_EQ(metadata(*db, "a"), c.want_metadata);
  EXPECT_FALSE(db->contains("ghost"));
  EXPECT_EQ(db->total_slots(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Flags, DbReplayUpdateTest,
    ::testing::Values(
        UpdateCase{"Nothing", std::nullopt, false, std::nullopt, {1, 1}, R"({"old":1})"},
        UpdateCase{"VectorOnly", Vec{3, 4}, false, std::nullopt, {3, 4}, R"({"old":1})"},
        UpdateCase{"MetadataOnly", std::nullopt, true, R"({"new":2})", {1, 1}, R"({"new":2})"},
        UpdateCase{"ClearMetadata", std::nullopt, true, std::nullopt, {1, 1}, std::nullopt},
        UpdateCase{"Both", Vec{5, 6}, true, R"({"n":[1,2]})", {5, 6}, R"({"n":[1,2]})"},
        // A vector of the wrong length is ignored; its metadata still applies.
        UpdateCase{"WrongLengthVector", Vec{1, 2, 3}, true, R"({"m":1})", {1, 1}, R"({"m":1})"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DbReplayTest, RecordsOfAnotherDimensionAreSkipped) {
  auto db = replay(LogBuilder()
                       .insert("short", {1})
                       .insert("a", {1, 1})
                       .insert("a", {7, 7, 7}, meta(R"({"x":1})"))
                       .bytes());
  EXPECT_FALSE(db->contains("short"));
  EXPECT_EQ(db->get("a").value().vector, (Vec{1, 1}));
  EXPECT_EQ(metadata(*db, "a"), std::nullopt);
}

TEST_F(DbReplayTest, UnknownKindIsSkippedAndLaterRecordsApply) {
  LogBuilder log;
  log.insert("a", {1, 1}).raw(9, "whatever").insert("b", {2, 2});
  auto db = replay(log.bytes());
  EXPECT_TRUE(db->contains("a"));
  EXPECT_TRUE(db->contains("b"));
  // An intact frame is part of the log: nothing is cut.
  EXPECT_EQ(file_length(dir_.file("wal.dralm")), log.bytes().size());
}

// Cutting the last frame at every byte: earlier records apply, the cut frame does
// not, the file is cut back to whole frames, and a record written afterwards is
// replayed at the next open.
TEST_F(DbReplayTest, TornTailIsCutSoLaterRecordsReplay) {
  LogBuilder whole;
  whole.insert("a", {1, 1}).remove("ghost");
  const size_t kept = whole.bytes().size();
  LogBuilder last;
  last.insert("torn", {5, 5}, meta(R"({"t":1})"));
  for (size_t cut = 1; cut < last.bytes().size(); ++cut) {
    SCOPED_TRACE("cut after " + std::to_string(cut) + " bytes");
    {
      auto db = replay(whole.bytes() + last.bytes().substr(0, cut));
      ASSERT_TRUE(db);
      EXPECT_TRUE(db->contains("a"));
      EXPECT_FALSE(db->contains("torn"));
      EXPECT_EQ(file_length(dir_.file("wal.dralm")), kept);
      ASSERT_OK(db->add("after", Vec{3, 3}, std::nullopt));
    }
    auto reopened = open_new(dir_.path(), 2);
    EXPECT_TRUE(reopened->contains("a"));
    EXPECT_TRUE(reopened->contains("after"));
    EXPECT_FALSE(reopened->contains("torn"));
  }
}

TEST_F(DbReplayTest, DamagedFrameEndsTheLogAndIsCut) {
  LogBuilder first;
  first.insert("a", {1, 1});
  LogBuilder rest;
  rest.insert("b", {2, 2}).insert("c", {3, 3});
  std::string log = first.bytes() + rest.bytes();
  log[first.bytes().size() + 7] ^= 0x01;  // a payload bit of b's frame
  {
    auto db = replay(log);
    EXPECT_TRUE(db->contains("a"));
    EXPECT_FALSE(db->contains("b"));
    EXPECT_FALSE(db->contains("c"));
    EXPECT_EQ(file_length(dir_.file("wal.dralm")), first.bytes().size());
    ASSERT_OK(db->add("d", Vec{4, 4}, std::nullopt));
  }
  auto reopened = open_new(dir_.path(), 2);
  EXPECT_TRUE(reopened->contains("d"));
  EXPECT_EQ(reopened->live_count(), 2u);
}

TEST_F(DbReplayTest, HugeLengthIsATornEndNotAnAllocation) {
  LogBuilder log;
  log.insert("a", {1, 1});
  std::string bytes = log.bytes();
  bytes += std::string("\x01\xff\xff\xff\xff", 5);
  auto db = replay(bytes);
  EXPECT_TRUE(db->contains("a"));
  EXPECT_EQ(file_length(dir_.file("wal.dralm")), log.bytes().size());
}

// Runs of inserts replay as batches; the outcome must be what one record at a time
// gives: a new id takes the next slot in record order, a repeated or live id replaces,
// a record of another dimension is skipped. Slots are read back from a save.
TEST_F(DbReplayTest, InsertRunsGiveTheSlotsOfOneByOneReplay) {
  LogBuilder log;
  std::vector<std::string> slot_ids;  // expected id of each slot
  std::map<std::string, std::pair<Vec, std::optional<std::string>>> expected;
  auto put = [&](const std::string& id, Vec v, std::optional<std::string> m) {
    log.insert(id, v, m ? meta(*m) : std::nullopt);
    if (expected.find(id) == expected.end()) slot_ids.push_back(id);
    expected[id] = {v, m};
  };
  for (int i = 0; i < 300; ++i) {  // past the size at which batches link in parallel
    put("r" + std::to_string(i), {float(i), 1},
        i % 2 ? std::optional("{\"i\":" + std::to_string(i) + "}") : std::nullopt);
  }
  put("x", {1, 2}, std::nullopt);
  log.insert("bad", {1, 2, 3});  // wrong dimension inside a run: skipped
  put("y", {3, 4}, R"({"y":1})");
  put("x", {5, 6}, R"({"again":1})");  // repeated within the run: replaces x
  put("z", {7, 8}, std::nullopt);
  put("r7", {9, 9}, std::nullopt);  // live id: replaces in place
  log.remove("r8");
  expected.erase("r8");
  put("r8", {10, 10}, std::nullopt);  // deleted id comes back at a new slot
  put("w", {11, 11}, std::nullopt);
  auto db = replay(log.bytes());
  ASSERT_TRUE(db);
  EXPECT_EQ(db->total_slots(), slot_ids.size());
  EXPECT_EQ(db->deleted_count(), 1u);
  EXPECT_FALSE(db->contains("bad"));
  for (const auto& [id, want] : expected) {
    Result<GetResult> got = db->get(id);
    ASSERT_TRUE(got.ok()) << id;
    EXPECT_EQ(got.value().vector, want.first) << id;
    EXPECT_EQ(got.value().metadata_json, want.second) << id;
  }
  ASSERT_OK(db->save());
  db.reset();
  Result<LoadedIndex> loaded =
      load_index(dir_.file("graph.dralm"), dir_.file("vectors.bin"), dir_.file("vectors.sq8"));
  ASSERT_TRUE(loaded.ok()) << loaded.error().message();
  std::map<Slot, std::string> slots;
  for (const MetadataEntry& entry : loaded.value().entries) slots[entry.slot] = entry.id;
  EXPECT_EQ(slots.size(), expected.size());
  for (const auto& [slot, id] : slots) {
    ASSERT_LT(slot, slot_ids.size());
    EXPECT_EQ(id, slot_ids[slot]) << "slot " << slot;
  }
}

// Random operations through the API, then a reopen: the replayed state equals the
// state the writes built, id by id.
class DbReplayModelTest : public ::testing::TestWithParam<unsigned> {};

TEST_P(DbReplayModelTest, ReplayRebuildsWhatTheWritesBuilt) {
  TempDir dir;
  std::mt19937 rng(GetParam());
  auto db = open_new(dir.path(), 3);
  auto pick_id = [&] { return "id" + std::to_string(rng() % 12); };
  auto pick_meta = [&]() -> std::optional<JsonValue> {
    if (rng() % 3 == 0) return std::nullopt;
    return meta("{\"c\":" + std::to_string(rng() % 3) + "}");
  };
  for (int step = 0; step < 150; ++step) {
    const std::string id = pick_id();
    switch (rng() % 7) {
      case 0:
        (void)db->add(id, random_vector(rng, 3), pick_meta());
        break;
      case 1:
        ASSERT_OK(db->upsert(id, random_vector(rng, 3), pick_meta()));
        break;
      case 2: {
        std::optional<Vec> v;
        if (rng() % 2) v = random_vector(rng, 3);
        (void)db->update(id, v, rng() % 2 ? pick_meta() : std::nullopt);
        break;
      }
      case 3:
        ASSERT_OK(db->remove(id));
        break;
      case 4: {
        WriteBatch batch;
        for (int i = 0; i < 3; ++i) {
          batch.ids.push_back(pick_id());
          batch.vectors.add_row(random_vector(rng, 3));
        }
        if (rng() % 2) {
          (void)db->add_many(std::move(batch));
        } else {
          ASSERT_OK(db->upsert_many(std::move(batch)));
        }
        break;
      }
      case 5: {
        const std::vector<std::string> ids = {pick_id(), pick_id()};
        ASSERT_OK(db->remove_many(ids));
        break;
      }
      default: {
        FilterExpr f = FilterExpr::eq("c", json("1"));
        (void)db->count(&f);
        break;
      }
    }
    ASSERT_TRUE(db->check_invariants().ok()) << db->check_invariants().error().message();
  }
  std::map<std::string, std::pair<Vec, std::optional<std::string>>> before;
  for (const std::string& id : db->ids()) {
    auto got = db->get(id).value();
    before[id] = {got.vector, got.metadata_json};
  }
  const uint64_t slots = db->total_slots();
  db.reset();
  auto reopened = open_new(dir.path(), 3);
  EXPECT_INVARIANTS(*reopened);
  EXPECT_EQ(reopened->total_slots(), slots);
  std::map<std::string, std::pair<Vec, std::optional<std::string>>> after;
  for (const std::string& id : reopened->ids()) {
    auto got = reopened->get(id).value();
    after[id] = {got.vector, got.metadata_json};
  }
  EXPECT_EQ(before, after);
}

INSTANTIATE_TEST_SUITE_P(Seeds, DbReplayModelTest, ::testing::Values(1u, 2u, 3u, 4u, 5u));

}  // namespace
}  // namespace dralm::testing
