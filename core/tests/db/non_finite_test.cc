// Vectors and queries holding NaN or an infinity are refused by every write and every
// query, before anything is logged, stored or searched.
#include <cmath>
#include <functional>
#include <limits>

#include "support/db_test_support.h"

namespace dralm::testing {
namespace {

using Vec = std::vector<float>;

struct BadValue {
  float value;
  const char* name;
};

class NonFiniteTest : public ::testing::TestWithParam<BadValue> {
 protected:
  void SetUp() override {
    db_ = open_new(dir_.path(), 3, "cosine");
    ASSERT_OK(db_->add("a", Vec{1, 0, 0}, std::nullopt));
    // Something deleted makes searches compute per-pair distances, where a stored NaN
    // vector used to come out at cosine distance 0.
    ASSERT_OK(db_->add("gone", Vec{0, 1, 0}, std::nullopt));
    ASSERT_OK(db_->remove("gone"));
    log_before_ = file_length(dir_.file("wal.dralm"));
  }

  Vec bad_vector() const { return Vec{0.5f, GetParam().value, 1.0f}; }
  std::string expected_message(const std::string& where) const {
    return "invalid vector: " + where + "element 1 is " + GetParam().name +
           " (vectors and queries must hold finite numbers only)";
  }
  VectorBatch batch_with_bad_second_row() const {
    VectorBatch batch;
    batch.add_row(Vec{0, 0, 1});
    batch.add_row(bad_vector());
    return batch;
  }
  WriteBatch write_batch() const {
    WriteBatch batch;
    batch.ids = {"n1", "n2"};
    batch.vectors = batch_with_bad_second_row();
    return batch;
  }

  TempDir dir_;
  std::unique_ptr<Database> db_;
  uint64_t log_before_ = 0;
};

TEST_P(NonFiniteTest, EveryWriteRefusesAndChangesNothing) {
  const std::vector<std::pair<std::string, std::function<Status()>>> writes = {
      {"", [&] { return db_->add("n", bad_vector(), std::nullopt); }},
      {"", [&] { return db_->upsert("a", bad_vector(), std::nullopt); }},
      {"", [&] { return db_->upsert("n", bad_vector(), std::nullopt); }},
      {"",
       [&] {
         const Vec v = bad_vector();
         return db_->update("a", std::span<const float>(v), std::nullopt);
       }},
      {"vector 1, ", [&] { return db_->add_many(write_batch()); }},
      {"vector 1, ", [&] { return db_->upsert_many(write_batch()); }},
  };
  for (const auto& [where, write] : writes) {
    EXPECT_EQ(error_message(write()), expected_message(where));
  }
  EXPECT_EQ(file_length(dir_.file("wal.dralm")), log_before_);
  EXPECT_EQ(db_->live_count(), 1u);
  EXPECT_EQ(db_->get("a").value().vector, (Vec{1, 0, 0}));
  EXPECT_INVARIANTS(*db_);
}

TEST_P(NonFiniteTest, EveryQueryRefuses) {
  EXPECT_EQ(error_message(db_->search(bad_vector(), search_options(1))), expected_message(""));
  EXPECT_EQ(error_message(db_->search_many(batch_with_bad_second_row(), search_options(1))),
            expected_message("vector 1, "));
  const FilterExpr filter = FilterExpr::all_of({});
  EXPECT_EQ(error_message(db_->search(bad_vector(), search_options(1, &filter))),
            expected_message(""));
}

INSTANTIATE_TEST_SUITE_P(Values, NonFiniteTest,
                         ::testing::Values(BadValue{std::nanf(""), "nan"},
                                           BadValue{std::numeric_limits<float>::infinity(), "inf"},
                                           BadValue{-std::numeric_limits<float>::infinity(),
                                                    "-inf"}),
                         [](const auto& info) {
                           return std::string(info.param.name[0] == '-' ? "minus_inf"
                                                                        : info.param.name);
                         });

TEST(NonFinite, LargestFiniteValuesAreAccepted) {
  TempDir dir;
  auto db = open_new(dir.path(), 2);
  const float big = std::numeric_limits<float>::max();
  ASSERT_OK(db->add("big", Vec{big, -big}, std::nullopt));
  ASSERT_OK(db->search(Vec{-big, big}, search_options(1)));
}

}  // namespace
}  // namespace dralm::testing
