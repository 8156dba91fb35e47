// Which kind of error each refusal carries: caller faults are InvalidArgument with
// their text as the whole message, never "io error".
#include <string>
#include <vector>

#include "json/json.h"
#include "support/db_test_support.h"
#include "util/error.h"

namespace dralm::testing {
namespace {

TEST(ErrorKindsTest, InvalidArgumentMessageIsItsText) {
  const DbError error = DbError::invalid_argument("m must be at least 2, got 1");
  EXPECT_EQ(error.kind(), DbError::Kind::InvalidArgument);
  EXPECT_EQ(error.message(), "m must be at least 2, got 1");
  EXPECT_EQ(error.detail(), error.message());
}

TEST(ErrorKindsTest, StatusCarriesTheErrorItWasGiven) {
  const Status failed = DbError::not_found("a");
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().kind(), DbError::Kind::NotFound);
  EXPECT_TRUE(Status::success().ok());
  EXPECT_TRUE(Status().ok());
}

struct OpenRefusal {
  const char* name;
  OpenOptions options;
  DbError::Kind kind;
};

class OpenRefusalTest : public ::testing::TestWithParam<OpenRefusal> {};

TEST_P(OpenRefusalTest, CarriesItsKind) {
  TempDir dir;
  OpenOptions options = GetParam().options;
  if (!options.path.empty()) options.path = dir.file(options.path);
  Result<std::unique_ptr<Database>> opened = Database::open(options);
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(opened.error().kind(), GetParam().kind) << opened.error().message();
}

OpenOptions options_with(std::string path, std::optional<uint64_t> dim,
                         std::optional<std::string> metric = std::nullopt,
                         std::optional<uint64_t> m = std::nullopt) {
  OpenOptions options;
  options.path = std::move(path);
  options.dim = dim;
  options.metric = std::move(metric);
  options.m = m;
  return options;
}

INSTANTIATE_TEST_SUITE_P(
    Open, OpenRefusalTest,
    ::testing::Values(OpenRefusal{"EmptyPath", options_with("", 4), DbError::Kind::InvalidArgument},
                      OpenRefusal{"UnknownMetric", options_with("db", 4, "L2"),
                                  DbError::Kind::InvalidArgument},
                      OpenRefusal{"DimZero", options_with("db", 0), DbError::Kind::InvalidArgument},
                      OpenRefusal{"MBelowTwo", options_with("db", 4, std::nullopt, 1),
                                  DbError::Kind::InvalidArgument},
                      OpenRefusal{"NothingSavedWithoutDim", options_with("db", std::nullopt),
                                  DbError::Kind::InvalidArgument}),
    [](const ::testing::TestParamInfo<OpenRefusal>& info) { return std::string(info.param.name); });

TEST(ErrorKindsTest, BatchWhosePartsDisagreeIsInvalidArgumentAndChangesNothing) {
  TempDir dir;
  std::unique_ptr<Database> db = open_new(dir.path(), 2);
  ASSERT_TRUE(db);
  WriteBatch batch;
  batch.ids = {"a", "b"};
  batch.vectors.add_row(std::vector<float>{1, 2});
  const Status status = db->add_many(std::move(batch));
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().kind(), DbError::Kind::InvalidArgument);
  EXPECT_EQ(status.error().message(), "batch holds 2 ids but 1 vectors");
  EXPECT_FALSE(db->contains("a"));
}

TEST(ErrorKindsTest, JsonSyntaxFaultIsInvalidArgumentWithItsPosition) {
  Result<JsonValue> parsed = parse_json("{\"a\": }");
  ASSERT_FALSE(parsed.ok());
  EXPECT_EQ(parsed.error().kind(), DbError::Kind::InvalidArgument);
  EXPECT_EQ(parsed.error().message(), "expected value at line 1 column 7");
}

}  // namespace
}  // namespace dralm::testing
