// Saves through the Database: what reopening sees, and how a save cut short between
// its renames is recovered from the graph it left in graph.tmp.
#include <filesystem>
#include <map>
#include <tuple>

#include "store/persistence.h"
#include "support/db_test_support.h"

namespace dralm::testing {
namespace {

namespace fs = std::filesystem;
using Vec = std::vector<float>;

// For helpers that return a value: fails the test and returns an empty value.
#define OK_OR_RETURN(expr)                                          \
  do {                                                              \
    auto checked_ = (expr);                                         \
    if (!checked_.ok()) {                                           \
      ADD_FAILURE() << #expr << ": " << checked_.error().message(); \
      return {};                                                    \
    }                                                               \
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

// Where a save was cut short.
enum class Cut {
  BeforeVectorsRename,  // vectors.tmp and graph.tmp complete, nothing replaced
  AfterVectorsRename,   // vectors.bin (and vectors.sq8) replaced, graph.tmp waiting
  BeforeSq8Rename,      // vectors.bin replaced, vectors.sq8 still the old one
};

// Lays out the files a save leaves when it is cut at `cut`, from the files of a save
// that completed: the old graph.dralm, the new and old data files as the cut leaves
// them, and the log of the writes since the old save. The writes include a compaction,
// so slots are renumbered while the slot count stays 3: vectors.bin has the same size
// before and after. Returns the state the open database held.
std::map<std::string, std::pair<Vec, std::optional<std::string>>> interrupted_save(
    const TempDir& dir, bool quantize, Cut cut) {
  OpenOptions options = create_options(dir.path(), 2);
  options.quantize = quantize;
  auto db = open_or_die(options);
  if (!db) return {};
  OK_OR_RETURN(db->add("a", Vec{1, 2}, meta(R"({"v":1})")));
  OK_OR_RETURN(db->add("b", Vec{3, 4}, std::nullopt));
  OK_OR_RETURN(db->add("c", Vec{5, 6}, meta(R"({"v":3})")));
  OK_OR_RETURN(db->save());
  const std::string old_graph = read_file(dir.file("graph.dralm"));
  const std::string old_vectors = read_file(dir.file("vectors.bin"));
  const std::string old_codes = quantize ? read_file(dir.file("vectors.sq8")) : "";
  OK_OR_RETURN(db->remove("a"));
  OK_OR_RETURN(db->compact());  // b and c move to slots 0 and 1
  OK_OR_RETURN(db->add("d", Vec{7, 8}, std::nullopt));
  OK_OR_RETURN(db->upsert("c", Vec{-5, -6}, meta(R"({"v":4})")));
  const std::string log = read_file(dir.file("wal.dralm"));
  OK_OR_RETURN(db->save());
  EXPECT_EQ(read_file(dir.file("vectors.bin")).size(), old_vectors.size());
  fs::rename(dir.file("graph.dralm"), dir.file("graph.tmp"));
  write_file(dir.file("graph.dralm"), old_graph);
  write_file(dir.file("wal.dralm"), log);
  if (cut == Cut::BeforeVectorsRename) {
    fs::rename(dir.file("vectors.bin"), dir.file("vectors.tmp"));
    write_file(dir.file("vectors.bin"), old_vectors);
  }
  if (quantize && cut != Cut::AfterVectorsRename) write_file(dir.file("vectors.sq8"), old_codes);
  return state_of(*db);
}

OpenOptions reopen_options(const TempDir& dir) {
  OpenOptions options;
  options.path = dir.path();
  return options;
}

class PersistInterruptedSave : public ::testing::TestWithParam<std::tuple<Cut, bool>> {};

TEST_P(PersistInterruptedSave, ReopensWithEveryAcknowledgedWrite) {
  const auto [cut, quantize] = GetParam();
  TempDir dir;
  const auto expected = interrupted_save(dir, quantize, cut);
  ASSERT_EQ(expected.size(), 3u);
  EXPECT_EQ(graph_is_pending(dir.file("graph.dralm"), dir.file("vectors.bin")),
            cut != Cut::BeforeVectorsRename);
  auto back = open_or_die(reopen_options(dir));
  ASSERT_TRUE(back);
  EXPECT_EQ(state_of(*back), expected);
  EXPECT_INVARIANTS(*back);
  // After vectors.bin was replaced, vectors.sq8 may belong to either save: not used.
  EXPECT_EQ(back->quantized_search(), quantize && cut == Cut::BeforeVectorsRename);

  // The next save settles graph.tmp first, then writes a complete new set.
  ASSERT_OK(back->save());
  EXPECT_FALSE(fs::exists(dir.file("graph.tmp")));
  EXPECT_FALSE(fs::exists(dir.file("vectors.tmp")));
  auto again = open_or_die(reopen_options(dir));
  ASSERT_TRUE(again);
  EXPECT_EQ(state_of(*again), expected);
  EXPECT_EQ(again->quantized_search(), quantize);
}

INSTANTIATE_TEST_SUITE_P(Cuts, PersistInterruptedSave,
                         ::testing::Combine(::testing::Values(Cut::BeforeVectorsRename,
                                                              Cut::AfterVectorsRename,
                                                              Cut::BeforeSq8Rename),
                                            ::testing::Bool()));

TEST(PersistSaveDatabase, SettlingCommitsAPendingGraphBeforeItIsOverwritten) {
  TempDir dir;
  auto expected = interrupted_save(dir, false, Cut::AfterVectorsRename);
  auto back = open_or_die(reopen_options(dir));
  ASSERT_TRUE(back);
  ASSERT_OK(back->add("e", Vec{0, 1}, std::nullopt));
  expected["e"] = {Vec{0, 1}, std::nullopt};
  // This save fails at its first write: had it not committed the pending graph first,
  // graph.dralm would still be the old one beside the new vectors.bin.
  fs::create_directory(dir.file("vectors.tmp"));
  EXPECT_FALSE(back->save().ok());
  fs::remove(dir.file("vectors.tmp"));
  EXPECT_FALSE(fs::exists(dir.file("graph.tmp")));
  EXPECT_FALSE(graph_is_pending(dir.file("graph.dralm"), dir.file("vectors.bin")));
  auto again = open_or_die(reopen_options(dir));
  ASSERT_TRUE(again);
  EXPECT_EQ(state_of(*again), expected);
}

TEST(PersistSaveDatabase, StaleGraphTmpIsRemovedNotCommitted) {
  TempDir dir;
  auto db = open_new(dir.path(), 2);
  ASSERT_OK(db->add("a", Vec{1, 2}, std::nullopt));
  ASSERT_OK(db->save());
  const std::string graph = read_file(dir.file("graph.dralm"));
  // A graph.tmp of a save that never replaced vectors.bin: vectors.tmp still holds the
  // vectors it was written with.
  ASSERT_OK(db->add("b", Vec{3, 4}, std::nullopt));
  ASSERT_OK(db->save());
  fs::rename(dir.file("graph.dralm"), dir.file("graph.tmp"));
  fs::copy_file(dir.file("vectors.bin"), dir.file("vectors.tmp"));
  write_file(dir.file("graph.dralm"), graph);
  write_file(dir.file("vectors.bin"), std::string(12, '\0'));  // 1 slot of dim 2
  EXPECT_FALSE(graph_is_pending(dir.file("graph.dralm"), dir.file("vectors.bin")));
  ASSERT_TRUE(settle_pending_graph(dir.file("graph.dralm"), dir.file("vectors.bin")).ok());
  EXPECT_FALSE(fs::exists(dir.file("graph.tmp")));
  EXPECT_EQ(read_file(dir.file("graph.dralm")), graph);

  // Real damage beside a graph.tmp that does not fit either: the original error.
  write_file(dir.file("graph.tmp"), "half-written");
  write_file(dir.file("vectors.bin"), std::string(16, '\0'));
  Result<LoadedIndex> loaded =
      load_index(dir.file("graph.dralm"), dir.file("vectors.bin"), dir.file("vectors.sq8"));
  ASSERT_FALSE(loaded.ok());
  EXPECT_NE(loaded.error().message().find("vectors.bin holds"), std::string::npos);
}

}  // namespace
}  // namespace dralm::testing
