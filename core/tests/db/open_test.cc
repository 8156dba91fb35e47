// Opening and creating a database directory.
#include <filesystem>
#include <map>

#include "support/db_test_support.h"

namespace dralm::testing {
namespace {

namespace fs = std::filesystem;

constexpr char kNotFound[] = "database not found \xE2\x80\x94 specify dim to create a new one";
constexpr char kBadMetric[] = "metric must be 'cosine', 'euclidean'/'l2', or 'dot'/'dot_product'";

TEST(DbOpenTest, CreatesMissingParentsAndWritesNoDataFile) {
  TempDir dir;
  const std::string path = dir.file("a/b/c");
  auto db = open_new(path, 4);
  ASSERT_TRUE(db);
  EXPECT_TRUE(fs::is_directory(path));
  // Only the (empty) lock file that keeps other processes out.
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(path)) names.push_back(entry.path().filename());
  EXPECT_EQ(names, std::vector<std::string>{"LOCK"});
  EXPECT_EQ(fs::file_size(path + "/LOCK"), 0u);
  EXPECT_EQ(db->dim(), 4u);
  EXPECT_EQ(db->total_slots(), 0u);
  EXPECT_EQ(db->live_count(), 0u);
  ASSERT_OK(db->add("x", std::vector<float>{1, 2, 3, 4}, std::nullopt));
  EXPECT_TRUE(fs::exists(path + "/wal.dralm"));
}

TEST(DbOpenTest, WithoutDimMissingDirectoryFailsAndCreatesNothing) {
  TempDir dir;
  OpenOptions options;
  options.path = dir.file("missing");
  options.metric = "not-a-metric";  // ignored without dim
  Result<std::unique_ptr<Database>> outcome = Database::open(options);
  EXPECT_FALSE(outcome.ok());
  EXPECT_EQ(outcome.error().message(), kNotFound);
  EXPECT_FALSE(fs::exists(options.path));
}

TEST(DbOpenTest, WithoutDimALogAloneIsNotADatabase) {
  TempDir dir;
  {
    auto db = open_new(dir.path(), 2);
    ASSERT_OK(db->add("x", std::vector<float>{1, 2}, std::nullopt));
  }
  OpenOptions options;
  options.path = dir.path();
  Result<std::unique_ptr<Database>> outcome = Database::open(options);
  EXPECT_FALSE(outcome.ok());
  EXPECT_EQ(outcome.error().message(), kNotFound);
}

struct MetricCase {
  const char* given;
  const char* canonical;  // nullptr: rejected
};

class DbOpenMetricTest : public ::testing::TestWithParam<MetricCase> {};

TEST_P(DbOpenMetricTest, NamesAreExactAndCaseSensitive) {
  TempDir dir;
  const std::string path = dir.file("db");
  Result<std::unique_ptr<Database>> outcome =
      Database::open(create_options(path, 3, GetParam().given));
  if (GetParam().canonical == nullptr) {
    EXPECT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error().message(), kBadMetric);
    EXPECT_FALSE(fs::exists(path)) << "a bad metric must not touch the disk";
  } else {
    ASSERT_TRUE(outcome.ok()) << outcome.error().message();
    EXPECT_EQ(outcome.value()->metric_name(), GetParam().canonical);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Names, DbOpenMetricTest,
    ::testing::Values(MetricCase{"cosine", "cosine"}, MetricCase{"euclidean", "euclidean"},
                      MetricCase{"l2", "euclidean"}, MetricCase{"dot", "dot_product"},
                      MetricCase{"dot_product", "dot_product"}, MetricCase{"L2", nullptr},
                      MetricCase{"Cosine", nullptr}, MetricCase{"", nullptr},
                      MetricCase{"manhattan", nullptr}));

TEST(DbOpenTest, MetricDefaultsToCosine) {
  TempDir dir;
  OpenOptions options;
  options.path = dir.path();
  options.dim = 2;
  auto db = open_or_die(options);
  EXPECT_EQ(db->metric_name(), "cosine");
}

struct BadParameters {
  uint64_t dim;
  std::optional<uint64_t> m;
  std::optional<uint64_t> ef_construction;
  const char* message;
};

class DbOpenParametersTest : public ::testing::TestWithParam<BadParameters> {};

TEST_P(DbOpenParametersTest, RefusedBeforeTheDiskIsTouched) {
  TempDir dir;
  OpenOptions options = create_options(dir.file("db"), GetParam().dim);
  options.m = GetParam().m;
  options.ef_construction = GetParam().ef_construction;
  Result<std::unique_ptr<Database>> outcome = Database::open(options);
  EXPECT_FALSE(outcome.ok());
  EXPECT_EQ(outcome.error().message(), GetParam().message);
  EXPECT_FALSE(fs::exists(options.path));
}

INSTANTIATE_TEST_SUITE_P(
    Limits, DbOpenParametersTest,
    ::testing::Values(BadParameters{0, std::nullopt, std::nullopt, "dim must be at least 1, got 0"},
                      BadParameters{4, 0, std::nullopt, "m must be at least 2, got 0"},
                      BadParameters{4, 1, std::nullopt, "m must be at least 2, got 1"},
                      BadParameters{4, std::nullopt, 0,
                                    "ef_construction must be at least 1, got 0"}));

TEST(DbOpenTest, SmallestValidParametersWork) {
  TempDir dir;
  OpenOptions options = create_options(dir.path(), 1);
  options.m = 2;
  options.ef_construction = 1;
  auto db = open_or_die(options);
  for (int i = 0; i < 50; ++i) {
    ASSERT_OK(db->add(std::to_string(i), std::vector<float>{float(i)}, std::nullopt));
  }
  auto hits = db->search(std::vector<float>{7.2f}, search_options(1));
  ASSERT_OK(hits);
  ASSERT_EQ(hits.value().size(), 1u);
  EXPECT_EQ(hits.value()[0].id, "7");
  EXPECT_INVARIANTS(*db);
}

TEST(DbOpenTest, DirectoryThatCannotBeCreatedIsAnIoError) {
  TempDir dir;
  write_file(dir.file("plain"), "x");  // a file where a directory is needed
  Result<std::unique_ptr<Database>> outcome =
      Database::open(create_options(dir.file("plain/db"), 4));
  EXPECT_FALSE(outcome.ok());
  EXPECT_EQ(outcome.error().message().rfind("io error: ", 0), 0u) << outcome.error().message();
}

// Some of the data files of a saved database, but not a loadable set: opening with dim
// must not create a new database there (its first save would overwrite the survivors).
struct PartialCase {
  const char* name;
  std::vector<std::string> kept;  // data files left in the directory
  const char* error;              // the io error's text after the directory name
};

class DbOpenPartialTest : public ::testing::TestWithParam<PartialCase> {};

TEST_P(DbOpenPartialTest, FailsNamingTheMissingFileAndTouchesNothing) {
  TempDir saved_dir;
  {
    auto db = open_new(saved_dir.path(), 2);
    ASSERT_OK(db->add("a", std::vector<float>{1, 2}, std::nullopt));
    ASSERT_OK(db->save());
    ASSERT_OK(db->add("b", std::vector<float>{3, 4}, std::nullopt));  // a log beside them
  }
  // vectors.sq8 made by hand: only its presence matters here.
  write_file(saved_dir.file("vectors.sq8"), "codes");
  TempDir dir;
  std::map<std::string, std::string> before;
  for (const std::string& name : GetParam().kept) {
    before[name] = read_file(saved_dir.file(name));
    write_file(dir.file(name), before[name]);
  }
  before["wal.dralm"] = read_file(saved_dir.file("wal.dralm"));
  write_file(dir.file("wal.dralm"), before["wal.dralm"]);

  Result<std::unique_ptr<Database>> outcome = Database::open(create_options(dir.path(), 2));
  EXPECT_FALSE(outcome.ok());
  EXPECT_EQ(outcome.error().message(), "io error: incomplete database in '" + dir.path() +
                                           "': " + GetParam().error +
                                           "; restore the missing file, or move the others away to "
                                           "create a new database here");
  OpenOptions without_dim;
  without_dim.path = dir.path();
  EXPECT_EQ(Database::open(without_dim).error().message(), kNotFound);
  std::map<std::string, std::string> after;
  for (const auto& entry : fs::directory_iterator(dir.path())) {
    after[entry.path().filename().string()] = read_file(entry.path().string());
  }
  EXPECT_EQ(after, before);
}

INSTANTIATE_TEST_SUITE_P(
    DataFiles, DbOpenPartialTest,
    ::testing::Values(
        PartialCase{"vectors", {"vectors.bin"}, "vectors.bin exists but graph.dralm is missing"},
        PartialCase{"graph", {"graph.dralm"}, "graph.dralm exists but vectors.bin is missing"},
        PartialCase{"sq8",
                    {"vectors.sq8"},
                    "vectors.sq8 exists but graph.dralm and vectors.bin are missing"},
        PartialCase{"vectors_sq8",
                    {"vectors.bin", "vectors.sq8"},
                    "vectors.bin and vectors.sq8 exist but graph.dralm is missing"},
        PartialCase{"graph_sq8",
                    {"graph.dralm", "vectors.sq8"},
                    "graph.dralm and vectors.sq8 exist but vectors.bin is missing"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DbOpenTest, OnlyLogTemporaryAndLockFilesStillCreate) {
  TempDir dir;
  write_file(dir.file("LOCK"), "");
  write_file(dir.file("graph.tmp"), "half a graph");
  write_file(dir.file("vectors.tmp"), "half the vectors");
  auto db = open_new(dir.path(), 3);
  ASSERT_TRUE(db);
  EXPECT_EQ(db->total_slots(), 0u);
}

TEST(DbOpenTest, FirstSaveCutShortAfterTheVectorsRenameLoadsItsGraph) {
  TempDir dir;
  {
    auto db = open_new(dir.path(), 2);
    ASSERT_OK(db->add("a", std::vector<float>{1, 2}, std::nullopt));
    ASSERT_OK(db->save());
  }
  // What the first save leaves when it stops before its last rename.
  fs::rename(dir.file("graph.dralm"), dir.file("graph.tmp"));
  auto db = open_new(dir.path(), 2);
  ASSERT_TRUE(db);
  EXPECT_TRUE(db->contains("a"));
}

TEST(DbOpenTest, NeverSavedLogIsReplayedWhenDimIsGiven) {
  TempDir dir;
  {
    auto db = open_new(dir.path(), 2);
    ASSERT_OK(db->add("a", std::vector<float>{1, 0}, meta(R"({"k":1})")));
    ASSERT_OK(db->add("b", std::vector<float>{0, 1}, std::nullopt));
    ASSERT_OK(db->remove("a"));
    ASSERT_OK(db->add("c", std::vector<float>{1, 1}, meta(R"({"k":2})")));
  }
  auto db = open_new(dir.path(), 2);
  EXPECT_FALSE(db->contains("a"));
  EXPECT_TRUE(db->contains("b"));
  auto c = db->get("c");
  ASSERT_OK(c);
  EXPECT_EQ(c.value().vector, (std::vector<float>{1, 1}));
  EXPECT_EQ(c.value().metadata_json, R"({"k":2})");
  // Replay repeats the writes: the deleted id's slot is a tombstone again.
  EXPECT_EQ(db->total_slots(), 3u);
  EXPECT_EQ(db->deleted_count(), 1u);
  EXPECT_INVARIANTS(*db);
}

TEST(DbOpenTest, LogOfAnotherDimensionReplaysNothing) {
  TempDir dir;
  {
    auto db = open_new(dir.path(), 2);
    ASSERT_OK(db->add("a", std::vector<float>{1, 0}, std::nullopt));
  }
  auto db = open_new(dir.path(), 3);
  EXPECT_EQ(db->dim(), 3u);
  EXPECT_EQ(db->live_count(), 0u);
  EXPECT_INVARIANTS(*db);
}

// Saved-state tests need save(); they check what open makes of saved files.
TEST(DbOpenTest, SavedDatabaseIgnoresGivenParameters) {
  TempDir dir;
  {
    auto db = open_new(dir.path(), 4, "dot");
    ASSERT_OK(db->add("a", std::vector<float>{1, 2, 3, 4}, meta(R"({"c":"x"})")));
    ASSERT_OK(db->save());
  }
  auto db = open_new(dir.path(), 8, "cosine");
  EXPECT_EQ(db->dim(), 4u);
  EXPECT_EQ(db->metric_name(), "dot_product");
  EXPECT_TRUE(db->contains("a"));

  OpenOptions without_dim;
  without_dim.path = dir.path();
  without_dim.metric = "bogus";
  Result<std::unique_ptr<Database>> reopened = Database::open(without_dim);
  ASSERT_TRUE(reopened.ok()) << reopened.error().message();
  EXPECT_EQ(reopened.value()->dim(), 4u);
  EXPECT_INVARIANTS(*reopened.value());
}

TEST(DbOpenTest, SavedStatePlusLogIsReplayed) {
  TempDir dir;
  {
    auto db = open_new(dir.path(), 2);
    ASSERT_OK(db->add("a", std::vector<float>{1, 0}, meta(R"({"v":1})")));
    ASSERT_OK(db->add("b", std::vector<float>{0, 1}, std::nullopt));
    ASSERT_OK(db->save());
    ASSERT_OK(db->upsert("a", std::vector<float>{2, 0}, meta(R"({"v":2})")));
    ASSERT_OK(db->remove("b"));
    ASSERT_OK(db->add("c", std::vector<float>{3, 3}, std::nullopt));
  }
  OpenOptions without_dim;
  without_dim.path = dir.path();
  Result<std::unique_ptr<Database>> outcome = Database::open(without_dim);
  ASSERT_TRUE(outcome.ok()) << outcome.error().message();
  Database& db = *outcome.value();
  EXPECT_EQ(db.get("a").value().vector, (std::vector<float>{2, 0}));
  EXPECT_EQ(db.get("a").value().metadata_json, R"({"v":2})");
  EXPECT_FALSE(db.contains("b"));
  EXPECT_TRUE(db.contains("c"));
  EXPECT_EQ(db.total_slots(), 3u);
  EXPECT_EQ(db.deleted_count(), 1u);
  EXPECT_INVARIANTS(db);
}

TEST(DbOpenTest, DamagedSavedFilesFailWithTheRightMessage) {
  TempDir dir;
  {
    auto db = open_new(dir.path(), 2);
    ASSERT_OK(db->add("a", std::vector<float>{1, 0}, std::nullopt));
    ASSERT_OK(db->save());
  }
  std::string graph = read_file(dir.file("graph.dralm"));
  graph[0] ^= 0x55;  // break the magic
  write_file(dir.file("graph.dralm"), graph);
  OpenOptions without_dim;
  without_dim.path = dir.path();
  EXPECT_EQ(Database::open(without_dim).error().message(), kNotFound);
  Result<std::unique_ptr<Database>> with_dim = Database::open(create_options(dir.path(), 2));
  EXPECT_FALSE(with_dim.ok());
  EXPECT_EQ(with_dim.error().message().rfind("io error: ", 0), 0u) << with_dim.error().message();
}

}  // namespace
}  // namespace dralm::testing
