// Compaction through the Database API: renumbering, carried ids and metadata, the
// quantizer, the mapped store, and writers racing a rebuild.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <thread>

#include "store/persistence.h"
#include "support/db_test_support.h"

namespace dralm::testing {
namespace {

using Vec = std::vector<float>;

GetResult get_or_fail(const Database& db, const std::string& id) {
  Result<GetResult> got = db.get(id);
  EXPECT_TRUE(got.ok()) << id << ": " << error_message(got);
  return got.ok() ? got.value() : GetResult{};
}

// The saved metadata entries by id, read back through the loader.
std::map<std::string, Slot> saved_slots(Database& db, const TempDir& dir) {
  EXPECT_TRUE(db.save().ok());
  Result<LoadedIndex> loaded =
      load_index(dir.file("graph.dralm"), dir.file("vectors.bin"), dir.file("vectors.sq8"));
  EXPECT_TRUE(loaded.ok()) << error_message(loaded);
  std::map<std::string, Slot> slots;
  if (loaded.ok()) {
    for (const MetadataEntry& e : loaded.value().entries) slots[std::string(e.id)] = e.slot;
  }
  return slots;
}

TEST(PersistCompaction, WithoutDeletionsNothingChanges) {
  TempDir dir;
  auto db = open_new(dir.path(), 3);
  std::mt19937 rng(1);
  for (int i = 0; i < 40; ++i) {
    ASSERT_OK(db->add("v" + std::to_string(i), random_vector(rng, 3), meta(R"({"a":1})")));
  }
  ASSERT_TRUE(db->enable_quantized_search().ok());
  ASSERT_OK(db->save());
  const std::string graph = read_file(dir.file("graph.dralm"));
  const Stats before = db->stats();
  ASSERT_OK(db->compact());
  ASSERT_OK(db->save());
  EXPECT_EQ(read_file(dir.file("graph.dralm")), graph);  // same slots, same lists
  const Stats after = db->stats();
  EXPECT_EQ(after.memory_quantized_bytes, before.memory_quantized_bytes);
  EXPECT_EQ(db->total_slots(), 40u);
}

TEST(PersistCompaction, LiveSlotsAreRenumberedInTheirOldOrder) {
  TempDir dir;
  auto db = open_new(dir.path(), 2);
  ASSERT_OK(db->add("a", Vec{1, 2}, meta(R"({"n":"a"})")));
  ASSERT_OK(db->add("b", Vec{3, 4}, meta(R"({"n":"b"})")));
  ASSERT_OK(db->add("c", Vec{5, 6}, std::nullopt));
  ASSERT_OK(db->add("d", Vec{7, 8}, meta(R"({"n":"d"})")));
  ASSERT_OK(db->remove("a"));
  ASSERT_OK(db->remove("c"));
  const GetResult b = get_or_fail(*db, "b"), d = get_or_fail(*db, "d");

  ASSERT_OK(db->compact());
  EXPECT_EQ(db->total_slots(), 2u);
  EXPECT_EQ(db->deleted_count(), 0u);
  EXPECT_EQ(db->live_count(), 2u);
  EXPECT_INVARIANTS(*db);
  EXPECT_EQ(get_or_fail(*db, "b").vector, b.vector);
  EXPECT_EQ(get_or_fail(*db, "b").metadata_json, R"({"n":"b"})");
  EXPECT_EQ(get_or_fail(*db, "d").vector, d.vector);
  EXPECT_EQ(get_or_fail(*db, "d").metadata_json, d.metadata_json);
  EXPECT_FALSE(db->contains("a"));
  EXPECT_FALSE(db->get("c").ok());
  EXPECT_EQ(saved_slots(*db, dir), (std::map<std::string, Slot>{{"b", 0}, {"d", 1}}));

  // The metadata index was rebuilt for the new numbers.
  FilterExpr only_d = FilterExpr::eq("n", json(R"("d")"));
  EXPECT_EQ(db->count(&only_d), 1u);
  auto hits = db->search(Vec{7, 8}, search_options(1, &only_d));
  ASSERT_TRUE(hits.ok());
  ASSERT_EQ(hits.value().size(), 1u);
  EXPECT_EQ(hits.value()[0].id, "d");
}

TEST(PersistCompaction, DeletingEverythingLeavesAnEmptyIndex) {
  TempDir dir;
  auto db = open_new(dir.path(), 2);
  for (int i = 0; i < 5; ++i) ASSERT_OK(db->add(std::to_string(i), Vec{float(i), 1}, std::nullopt));
  ASSERT_TRUE(db->enable_quantized_search().ok());
  for (int i = 0; i < 5; ++i) ASSERT_OK(db->remove(std::to_string(i)));
  ASSERT_OK(db->compact());
  EXPECT_EQ(db->total_slots(), 0u);
  EXPECT_EQ(db->deleted_count(), 0u);
  EXPECT_FALSE(db->quantized_search());
  EXPECT_TRUE(db->ids().empty());
  EXPECT_INVARIANTS(*db);
  ASSERT_OK(db->save());
  const std::string graph = read_file(dir.file("graph.dralm"));
  ASSERT_EQ(graph.size(), kGraphHeaderSize + kMetadataHeaderSize);
  EXPECT_EQ(graph.substr(21, 4), std::string(4, '\xff'));  // no entry point
  // Still usable afterwards.
  ASSERT_OK(db->add("x", Vec{1, 1}, std::nullopt));
  EXPECT_EQ(db->total_slots(), 1u);
}

TEST(PersistCompaction, QuantizerIsRetrainedOverTheLiveVectors) {
  TempDir dir;
  auto db = open_new(dir.path(), 4);
  std::mt19937 rng(3);
  for (int i = 0; i < 30; ++i)
    ASSERT_OK(db->add(std::to_string(i), random_vector(rng, 4), std::nullopt));
  ASSERT_TRUE(db->enable_quantized_search().ok());
  for (int i = 0; i < 10; ++i) ASSERT_OK(db->remove(std::to_string(i)));
  ASSERT_OK(db->compact());
  EXPECT_TRUE(db->quantized_search());
  const Stats stats = db->stats();
  EXPECT_EQ(stats.memory_quantized_bytes, 4u * 8 + 20 * 4);
  EXPECT_EQ(stats.num_deleted, 0u);
  EXPECT_EQ(stats.num_vectors, 20u);
}

// Overwrites vectors.bin in place (same inode, same length): a store still mapped
// would see the new bytes, an owned one keeps its copy.
void zero_file_in_place(const std::string& path) {
  const std::string zeros(file_length(path), '\0');
  const int fd = ::open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, zeros.data(), zeros.size(), 0), static_cast<ssize_t>(zeros.size()));
  ::close(fd);
}

TEST(PersistCompaction, StoreOfAnOpenedDatabaseBecomesOwned) {
  for (const bool compact : {false, true}) {
    TempDir dir;
    {
      auto db = open_new(dir.path(), 2);
      ASSERT_OK(db->add("gone", Vec{9, 9}, std::nullopt));
      ASSERT_OK(db->add("kept", Vec{1, 2}, std::nullopt));
      ASSERT_OK(db->save());
    }
    auto db = open_or_die(create_options(dir.path(), 2));
    ASSERT_OK(db->remove("gone"));  // a tombstone writes no vector: still mapped
    if (compact) ASSERT_OK(db->compact());
    zero_file_in_place(dir.file("vectors.bin"));
    const Vec seen = get_or_fail(*db, "kept").vector;
    if (compact) {
      EXPECT_EQ(seen, (Vec{1, 2})) << "compaction must leave an owned copy";
    } else {
      EXPECT_EQ(seen, (Vec{0, 0})) << "control: the opened store reads the mapping";
    }
  }
}

// Writers, deleters and searchers run while compaction rebuilds again and again;
// afterwards every write is there with its own vector and metadata.
TEST(PersistCompaction, ConcurrentWritesAreNeverLost) {
  TempDir dir;
  auto db = open_new(dir.path(), 4);
  constexpr int kThreads = 3, kPerThread = 150;
  std::atomic<bool> writing{true};
  std::atomic<int> search_failures{0};
  auto vector_of = [](int t, int i) { return Vec{float(t), float(i), float(t * i % 7), 1}; };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        const std::string id = std::to_string(t) + ":" + std::to_string(i);
        EXPECT_TRUE(db->add(id, vector_of(t, i), meta(R"({"t":)" + std::to_string(t) + "}")).ok());
        if (i % 3 == 0) {
          EXPECT_TRUE(db->remove(id).ok());
        }
        if (i % 3 != 0 && i % 5 == 1) {
          EXPECT_TRUE(db->update(id, Vec{-1, float(i), 0, float(t)}, std::nullopt).ok());
        }
      }
    });
  }
  std::thread searcher([&] {
    while (writing.load()) {
      auto hits = db->search(Vec{1, 1, 1, 1}, search_options(5));
      if (!hits.ok()) search_failures++;
    }
  });
  for (int round = 0; round < 20; ++round) ASSERT_OK(db->compact());
  for (auto& thread : threads) thread.join();
  writing = false;
  searcher.join();
  ASSERT_OK(db->compact());

  EXPECT_EQ(search_failures.load(), 0);
  EXPECT_EQ(db->deleted_count(), 0u);
  EXPECT_INVARIANTS(*db);
  uint64_t live = 0;
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kPerThread; ++i) {
      const std::string id = std::to_string(t) + ":" + std::to_string(i);
      if (i % 3 == 0) {
        EXPECT_FALSE(db->contains(id)) << id;
        continue;
      }
      ++live;
      const GetResult got = get_or_fail(*db, id);
      const Vec expected = i % 5 == 1 ? Vec{-1, float(i), 0, float(t)} : vector_of(t, i);
      EXPECT_EQ(got.vector, expected) << id;
      EXPECT_EQ(got.metadata_json, R"({"t":)" + std::to_string(t) + "}") << id;
    }
  }
  EXPECT_EQ(db->live_count(), live);
  EXPECT_EQ(db->total_slots(), live);
}

}  // namespace
}  // namespace dralm::testing
