// Shared helpers of the database engine tests: a temporary directory, opening a
// database that must open, metadata from JSON text, and file-level helpers for logs.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "db/database.h"
#include "json/json.h"

namespace dralm::testing {

// A fresh directory under the system temp dir, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "dralm-db-XXXXXX").string();
    char* made = mkdtemp(pattern.data());
    EXPECT_NE(made, nullptr);
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

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

inline JsonValue json(std::string_view text) {
  Result<JsonValue> parsed = parse_json(text);
  EXPECT_TRUE(parsed.ok()) << parsed.error().detail() << " in " << text;
  return parsed.value();
}

inline std::optional<JsonValue> meta(std::string_view text) { return json(text); }

inline std::vector<float> random_vector(std::mt19937& rng, size_t dim) {
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  std::vector<float> v(dim);
  for (float& x : v) x = uniform(rng);
  return v;
}

inline uint64_t file_length(const std::string& path) {
  std::error_code error;
  const auto size = std::filesystem::file_size(path, error);
  return error ? 0 : size;
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
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
#define EXPECT_INVARIANTS(db)                                          \
  do {                                                                 \
    ::dralm::Status checked_ = (db).check_invariants();                \
    EXPECT_TRUE(checked_.ok()) << checked_.error().message();          \
  } while (0)

#define ASSERT_OK(expr)                                                \
  do {                                                                 \
    auto result_ = (expr);                                             \
    ASSERT_TRUE(result_.ok()) << result_.error().message();            \
  } while (0)

// The message of a failed Status or Result, or "" if it succeeded.
template <typename R>
std::string error_message(const R& result) {
  return result.ok() ? std::string() : result.error().message();
}

}  // namespace dralm::testing
