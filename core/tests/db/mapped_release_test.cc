// The process lets go of its resident pages of the mapped vectors.bin after a pass that
// read every row (a save, training the codes). Searches and reads running beside those
// releases fault the rows back in and see exactly what they saw before, and rows a write
// copied to owned memory keep the written values.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "support/db_test_support.h"
#include "support/graph_check.h"

namespace dralm {
namespace {

struct Answers {
  std::vector<std::vector<QueryHit>> hits;  // per query
  std::vector<std::vector<float>> vectors;  // per sampled id
};

bool same_hits(const std::vector<QueryHit>& a, const std::vector<QueryHit>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].id != b[i].id || a[i].distance != b[i].distance) return false;
  }
  return true;
}

class MappedReleaseTest : public ::testing::TestWithParam<int> {};  // code bits, 0 for none

TEST_P(MappedReleaseTest, ReadersBesideReleasesSeeWhatTheySawBefore) {
  const int bits = GetParam();
  testing::TempDir dir;
  const size_t dim = 16, count = 3000, queries = 12;
  const std::vector<float> data = testing::clustered_data(count + queries, dim, 6, 57);
  auto row = [&](size_t i) { return std::span<const float>(data).subspan(i * dim, dim); };
  {
    std::unique_ptr<Database> db = testing::open_new(dir.path(), dim);
    ASSERT_NE(db, nullptr);
    WriteBatch batch;
    for (size_t i = 0; i < count; ++i) {
      batch.ids.push_back("v" + std::to_string(i));
      batch.vectors.add_row(row(i));
    }
    ASSERT_TRUE(db->add_many(std::move(batch)).ok());
    ASSERT_TRUE(db->save().ok());
  }
  OpenOptions options;
  options.path = dir.path();
  std::unique_ptr<Database> db = testing::open_or_die(options);  // vectors.bin mapped
  ASSERT_NE(db, nullptr);
  // A write into a mapped chunk copies the chunk to owned memory; a release must not
  // touch that copy.
  const std::vector<float> written(dim, 0.25f);
  ASSERT_TRUE(db->update("v1", written, std::nullopt).ok());
  if (bits != 0) {
    ASSERT_TRUE(db->enable_quantized_search(bits).ok());
  }

  auto answer = [&](const Database& from) {
    Answers out;
    for (size_t q = 0; q < queries; ++q) {
      Result<std::vector<QueryHit>> hits = from.search(row(count + q), testing::search_options(10));
      EXPECT_TRUE(hits.ok());
      out.hits.push_back(hits.ok() ? hits.value() : std::vector<QueryHit>{});
    }
    for (size_t i = 0; i < count; i += 97) {
      Result<GetResult> got = from.get("v" + std::to_string(i));
      EXPECT_TRUE(got.ok());
      out.vectors.push_back(got.ok() ? got.value().vector : std::vector<float>{});
    }
    return out;
  };
  auto same = [](const Answers& a, const Answers& b) {
    if (a.hits.size() != b.hits.size() || a.vectors != b.vectors) return false;
    for (size_t q = 0; q < a.hits.size(); ++q) {
      if (!same_hits(a.hits[q], b.hits[q])) return false;
    }
    return true;
  };
  const Answers expected = answer(*db);
  ASSERT_EQ(expected.vectors[0], std::vector<float>(row(0).begin(), row(0).end()));
  EXPECT_EQ(db->get("v1").value().vector, written);

  std::atomic<bool> stop{false};
  std::atomic<size_t> rounds{0}, mismatches{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 2; ++t) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        if (!same(answer(*db), expected)) mismatches.fetch_add(1);
        rounds.fetch_add(1);
      }
    });
  }
  for (int i = 0; i < 4; ++i) {
    EXPECT_TRUE(db->save().ok());
    if (bits != 0) {
      EXPECT_TRUE(db->enable_quantized_search(bits).ok());
    }
  }
  // At least one round per reader after the last release.
  const size_t seen = rounds.load();
  while (rounds.load() < seen + 2) std::this_thread::yield();
  stop.store(true);
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(mismatches.load(), 0u);
  EXPECT_EQ(db->get("v1").value().vector, written);

  // A reader process's view: the saved files, mapped again.
  OpenOptions reader_options = options;
  reader_options.read_only = true;
  std::unique_ptr<Database> reader = testing::open_or_die(reader_options);
  ASSERT_NE(reader, nullptr);
  EXPECT_TRUE(same(answer(*reader), expected));
}

INSTANTIATE_TEST_SUITE_P(Bits, MappedReleaseTest, ::testing::Values(0, 8, 4));

}  // namespace
}  // namespace dralm
