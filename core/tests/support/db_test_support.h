// Shared helpers of the database engine tests: opening a database that must open,
// metadata from JSON text, search options and checks of results and invariants. It
// brings in the scratch directory and the whole-file helpers the same tests use.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "db/database.h"
#include "json/json.h"
#include "support/files.h"
#include "support/json_text.h"
#include "support/temp_dir.h"

namespace dralm::testing {

inline OpenOptions create_options(const std::string& path, uint64_t dim,
                                  const char* metric = "euclidean") {
  OpenOptions options;
  options.path = path;
  options.dim = dim;
  options.metric = metric;
  return options;
}

// Opens or fails the calling test.
inline std::unique_ptr<Database> open_or_die(const OpenOptions& options) {
  Result<std::unique_ptr<Database>> outcome = Database::open(options);
  EXPECT_TRUE(outcome.ok()) << outcome.error().message();
  if (!outcome.ok()) return nullptr;
  return std::move(outcome.value());
}

inline std::unique_ptr<Database> open_new(const std::string& path, uint64_t dim,
                                          const char* metric = "euclidean") {
  return open_or_die(create_options(path, dim, metric));
}

inline std::optional<JsonValue> meta(std::string_view text) { return json(text); }

inline std::vector<float> random_vector(std::mt19937& rng, size_t dim) {
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  std::vector<float> v(dim);
  for (float& x : v) x = uniform(rng);
  return v;
}

inline SearchOptions search_options(uint64_t k, const FilterExpr* filter = nullptr,
                                    std::optional<float> max_distance = std::nullopt) {
  SearchOptions options;
  options.k = k;
  options.filter = filter;
  options.max_distance = max_distance;
  return options;
}

// Fails the test when the record's invariants do not hold.
#define EXPECT_INVARIANTS(db)                                 \
  do {                                                        \
    ::dralm::Status checked_ = (db).check_invariants();       \
    EXPECT_TRUE(checked_.ok()) << checked_.error().message(); \
  } while (0)

#define ASSERT_OK(expr)                                     \
  do {                                                      \
    auto result_ = (expr);                                  \
    ASSERT_TRUE(result_.ok()) << result_.error().message(); \
  } while (0)

// The message of a failed Status or Result, or "" if it succeeded.
template <typename R>
std::string error_message(const R& result) {
  return result.ok() ? std::string() : result.error().message();
}

}  // namespace dralm::testing
