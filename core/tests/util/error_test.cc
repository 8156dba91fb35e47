#include "util/error.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace dralm {
namespace {

TEST(DbErrorTest, MessagesHaveTheirFixedFormats) {
  EXPECT_EQ(DbError::dimension_mismatch(4, 3).message(), "dimension mismatch: expected 4, got 3");
  EXPECT_EQ(DbError::already_exists("a").message(), "id 'a' already exists, use upsert instead");
  EXPECT_EQ(DbError::not_found("x y").message(), "id 'x y' not found");
  EXPECT_EQ(DbError::database_not_found("/p").message(), "database not found at '/p'");
  EXPECT_EQ(DbError::io("bad graph magic").message(), "io error: bad graph magic");
  EXPECT_EQ(DbError::invalid_metric("L2").message(),
            "invalid metric 'L2': use 'cosine', 'euclidean'/'l2', or 'dot'/'dot_product'");
  EXPECT_EQ(DbError::corrupt("vector slot missing").message(), "corrupt data: vector slot missing");
  EXPECT_EQ(DbError::invalid_filter("x").message(), "invalid filter: x");
}

TEST(DbErrorTest, OsErrorsCarryTheSystemTextAndCode) {
  EXPECT_EQ(DbError::os(ENOENT).message(), "io error: No such file or directory (os error 2)");
}

TEST(ResultTest, HoldsValueOrError) {
  Result<int> good(5);
  ASSERT_TRUE(good.ok());
  EXPECT_EQ(good.value(), 5);
  Result<int> bad(DbError::not_found("q"));
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().kind(), DbError::Kind::NotFound);
  Status fine;
  EXPECT_TRUE(fine.ok());
  Status failed(DbError::io("x"));
  EXPECT_FALSE(failed.ok());
}

}  // namespace
}  // namespace dralm
