// Reads beside batch writes: a search, get, membership test or count running while
// add_many stages and publishes batches sees only published items, each with its id.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "support/db_test_support.h"
#include "support/graph_check.h"

namespace dralm {
namespace {

TEST(ConcurrentReadsTest, SearchesRacingAddManySeeOnlyPublishedIdsAndKOfThem) {
  testing::TempDir dir;
  const size_t dim = 8;
  const size_t total = 3000;
  std::unique_ptr<Database> db = testing::open_or_die(testing::create_options(dir.path(), dim));
  ASSERT_NE(db, nullptr);
  const std::vector<float> data = testing::clustered_data(total, dim, 8, 811);
  std::atomic<bool> writing{true};
  std::thread writer([&] {
    const size_t sizes[] = {1, 50, 300};
    for (size_t start = 0, round = 0; start < total; ++round) {
      const size_t n = std::min(sizes[round % 3], total - start);
      WriteBatch batch;
      for (size_t i = start; i < start + n; ++i) {
        batch.ids.push_back("v" + std::to_string(i));
        batch.vectors.add_row(std::span<const float>(data).subspan(i * dim, dim));
      }
      EXPECT_TRUE(db->add_many(std::move(batch)).ok());
      start += n;
    }
    writing.store(false);
  });

  size_t rounds = 0;
  for (bool last = false; !last; ++rounds) {
    last = !writing.load();  // one more round after the writer is done
    const size_t live_before = db->live_count();
    SearchOptions options;
    options.k = 10;
    const std::span<const float> query =
        std::span<const float>(data).subspan((rounds * 37 % total) * dim, dim);
    Result<std::vector<QueryHit>> hits = db->search(query, options);
    ASSERT_TRUE(hits.ok());
    // Nothing is deleted, so every item live before the search is searched.
    ASSERT_GE(hits.value().size(), std::min<size_t>(10, live_before));
    for (const QueryHit& hit : hits.value()) {
      ASSERT_FALSE(hit.id.empty());
      ASSERT_TRUE(db->contains(hit.id)) << hit.id;
      ASSERT_TRUE(db->get(hit.id).ok()) << hit.id;
    }
    ASSERT_GE(db->count(nullptr), live_before);
  }
  writer.join();
  EXPECT_GE(rounds, 2u);
  EXPECT_EQ(db->live_count(), total);
  EXPECT_TRUE(db->check_invariants().ok());
}

}  // namespace
}  // namespace dralm
