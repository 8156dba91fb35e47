// Saves through the Database: what reopening sees, and how a save cut short between
// its renames is recovered from the graph it left in graph.tmp.
#include <filesystem>
#include <map>

#include "db/persistence.h"
#include "db_test_support.h"

namespace dralm::testing {
namespace {

namespace fs = std::filesystem;
using Vec = std::vector<float>;

// For helpers that return a value: fails the test and returns an empty value.
#define OK_OR_RETURN(expr)                                  \
  do {                                                      \
    auto checked_ = (expr);                                 \
    if (!checked_.ok()) {                                   \
      ADD_FAILURE() << #expr << ": " << checked_.error().message(); \
      return {};                                            \
    }                                                       \
  } while (0)

std::map<std::string, std::pair<Vec, std::optional<std::string>>> state_of(const Database& db) {
  std::map<std::string, std::pair<Vec, std::optional<std::string>>> state;
  for (const std::string& id : db.ids()) {
    Result<GetResult> got = db.get(id);
    EXPECT_TRUE(got.ok());
    if (got.ok()) state[id] = {got.value().vector, got.value().metadata_json};
  }
  return state;
}

TEST(PersistSaveDatabase, ReopenedStateEqualsTheSavedOneAndTheLogIsGone) {
  TempDir dir;
  auto db = open_new(dir.path(), 3);
  std::mt19937 rng(4);
  for (int i = 0; i < 50; ++i) {
    ASSERT_OK(db->add("k" + std::to_string(i), random_vector(rng, 3),
                      i % 2 ? meta(R"({"odd":true})") : std::nullopt));
  }
  ASSERT_OK(db->remove("k7"));
  ASSERT_TRUE(fs::exists(dir.file("wal.dralm")));
  ASSERT_OK(db->save());
  EXPECT_FALSE(fs::exists(dir.file("wal.dralm")));
  EXPECT_FALSE(fs::exists(dir.file("graph.tmp")));
  EXPECT_FALSE(fs::exists(dir.file("vectors.tmp")));
  EXPECT_FALSE(fs::exists(dir.file("vectors.sq8")));
  EXPECT_EQ(file_length(dir.file("vectors.bin")), 50u * 4 * 4);

  OpenOptions reopen;
  reopen.path = dir.path();
  auto back = open_or_die(reopen);
  ASSERT_TRUE(back);
  EXPECT_EQ(state_of(*back), state_of(*db));
  EXPECT_EQ(back->total_slots(), 50u);
  EXPECT_EQ(back->deleted_count(), 1u);
  const Stats a = db->stats(), b = back->stats();
  EXPECT_EQ(a.memory_graph_bytes, b.memory_graph_bytes);
  EXPECT_EQ(a.avg_degree_layer0, b.avg_degree_layer0);
  EXPECT_INVARIANTS(*back);
}

// Lays out the files a save leaves when it stops after replacing vectors.bin (and
// vectors.sq8) but before renaming graph.tmp over graph.dralm: the new graph in
// graph.tmp, the new data files, the old graph, and the log of the writes since the old
// save. Returns the state the open database held.
std::map<std::string, std::pair<Vec, std::optional<std::string>>> interrupted_save(
    const TempDir& dir, bool quantize, bool old_sq8 = false) {
  TempDir scratch;
  OpenOptions options = create_options(dir.path(), 2);
  options.quantize = quantize;
  auto db = open_or_die(options);
  if (!db) return {};
  OK_OR_RETURN(db->add("a", Vec{1, 2}, meta(R"({"v":1})")));
  OK_OR_RETURN(db->add("b", Vec{3, 4}, std::nullopt));
  OK_OR_RETURN(db->save());
  const std::string old_graph = read_file(dir.file("graph.dralm"));
  const std::string old_codes = quantize ? read_file(dir.file("vectors.sq8")) : "";
  OK_OR_RETURN(db->add("c", Vec{5, 6}, std::nullopt));
  OK_OR_RETURN(db->upsert("a", Vec{7, 8}, meta(R"({"v":2})")));
  OK_OR_RETURN(db->remove("b"));
  const std::string log = read_file(dir.file("wal.dralm"));
  OK_OR_RETURN(db->save());
  fs::rename(dir.file("graph.dralm"), dir.file("graph.tmp"));
  write_file(dir.file("graph.dralm"), old_graph);
  write_file(dir.file("wal.dralm"), log);
  // Cut before the quantizer file was replaced too.
  if (old_sq8) write_file(dir.file("vectors.sq8"), old_codes);
  return state_of(*db);
}

TEST(PersistSaveDatabase, SaveCutBetweenItsRenamesStillOpens) {
  for (const bool quantize : {false, true}) {
    TempDir dir;
    const auto expected = interrupted_save(dir, quantize);
    ASSERT_EQ(expected.size(), 2u);
    ASSERT_FALSE(graph_matches_vectors(dir.file("graph.dralm"), dir.file("vectors.bin")));
    OpenOptions reopen;
    reopen.path = dir.path();
    auto back = open_or_die(reopen);
    ASSERT_TRUE(back);
    EXPECT_EQ(state_of(*back), expected) << "quantize " << quantize;
    EXPECT_EQ(back->quantized_search(), quantize);
    EXPECT_INVARIANTS(*back);

    // The next save commits the waiting graph before reusing graph.tmp.
    ASSERT_TRUE(finish_interrupted_save(dir.file("graph.dralm"), dir.file("vectors.bin")).ok());
    EXPECT_FALSE(fs::exists(dir.file("graph.tmp")));
    EXPECT_TRUE(graph_matches_vectors(dir.file("graph.dralm"), dir.file("vectors.bin")));
    ASSERT_OK(back->save());
    auto again = open_or_die(reopen);
    ASSERT_TRUE(again);
    EXPECT_EQ(state_of(*again), expected);
  }
}

TEST(PersistSaveDatabase, QuantizerFileOfTheOldSaveIsLeftUnused) {
  TempDir dir;
  const auto expected = interrupted_save(dir, true, /*old_sq8=*/true);
  OpenOptions reopen;
  reopen.path = dir.path();
  auto back = open_or_die(reopen);
  ASSERT_TRUE(back);
  EXPECT_EQ(state_of(*back), expected);
  EXPECT_FALSE(back->quantized_search());
  ASSERT_OK(back->save());  // quantize is on (the file exists): rewritten to fit
  auto again = open_or_die(reopen);
  ASSERT_TRUE(again);
  EXPECT_TRUE(again->quantized_search());
  EXPECT_EQ(state_of(*again), expected);
}

TEST(PersistSaveDatabase, SaveCompletesAnInterruptedOneBeforeWritingItsOwnGraph) {
  TempDir dir;
  auto expected = interrupted_save(dir, false);
  OpenOptions reopen;
  reopen.path = dir.path();
  auto back = open_or_die(reopen);
  ASSERT_TRUE(back);
  ASSERT_OK(back->add("d", Vec{0, 1}, std::nullopt));
  expected["d"] = {Vec{0, 1}, std::nullopt};
  // This save overwrites graph.tmp with a graph of four nodes and then fails at the
  // vectors: had it not committed the pending graph first, no graph would fit
  // vectors.bin any more.
  fs::create_directory(dir.file("vectors.tmp"));
  EXPECT_FALSE(back->save().ok());
  fs::remove(dir.file("vectors.tmp"));
  EXPECT_TRUE(graph_matches_vectors(dir.file("graph.dralm"), dir.file("vectors.bin")));
  auto again = open_or_die(reopen);
  ASSERT_TRUE(again);
  EXPECT_EQ(state_of(*again), expected);
}

TEST(PersistSaveDatabase, StaleGraphTmpIsNotTakenForAPendingGraph) {
  TempDir dir;
  auto db = open_new(dir.path(), 2);
  ASSERT_OK(db->add("a", Vec{1, 2}, std::nullopt));
  ASSERT_OK(db->save());
  write_file(dir.file("graph.tmp"), "half-written");
  // graph.dralm fits vectors.bin: nothing to finish, the stale file is just overwritten.
  ASSERT_TRUE(finish_interrupted_save(dir.file("graph.dralm"), dir.file("vectors.bin")).ok());
  EXPECT_EQ(read_file(dir.file("graph.tmp")), "half-written");
  ASSERT_OK(db->add("b", Vec{3, 4}, std::nullopt));
  ASSERT_OK(db->save());
  EXPECT_FALSE(fs::exists(dir.file("graph.tmp")));

  // Real damage with a stale graph.tmp that does not fit either: the original error.
  write_file(dir.file("graph.tmp"), "half-written");
  write_file(dir.file("vectors.bin"), read_file(dir.file("vectors.bin")) + "xxxx");
  Result<LoadedIndex> loaded =
      load_index(dir.file("graph.dralm"), dir.file("vectors.bin"), dir.file("vectors.sq8"));
  ASSERT_FALSE(loaded.ok());
  EXPECT_NE(loaded.error().message().find("vectors.bin holds"), std::string::npos);
}

}  // namespace
}  // namespace dralm::testing
