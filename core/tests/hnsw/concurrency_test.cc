// Searches under the shared index lock while one writer inserts batches (with their
// parallel link phase), updates and deletes under the exclusive lock; and searches
// beside a writer that stages slots under the shared lock and publishes them alone.
#include <gtest/gtest.h>

#include <atomic>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "distance/distance.h"
#include "hnsw/hnsw_index.h"
#include "hnsw/index_internals.h"
#include "support/graph_check.h"
#include "util/locks.h"

namespace dralm {
namespace {

TEST(HnswConcurrencyTest, SearchesRunBesideABatchWriter) {
  const size_t dim = 12;
  HnswIndex index({dim, Metric::Euclidean, 8, 40});
  std::shared_mutex lock;
  const std::vector<float> data = testing::clustered_data(3000, dim, 10, 301);
  index.insert_batch(std::span<const float>(data).first(500 * dim));

  std::atomic<bool> writing{true};
  std::atomic<size_t> searches{0}, failures{0};
  auto reader = [&](size_t id) {
    const std::vector<float> queries = testing::clustered_data(20, dim, 10, 400 + id);
    size_t round = 0;
    while (writing.load() || round < 3) {
      // The pause lets the writer in: a reader-preferring lock with readers back to
      // back would starve it.
      if (round > 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
      std::shared_lock<std::shared_mutex> hold(lock);
      const std::span<const float> query(queries.data() + (round % 20) * dim, dim);
      const std::vector<Hit> graph = IndexInternals::graph_search(index, query, 10, 40);
      const auto batch = index.search_batch(queries, 5, 30);
      const size_t n = index.node_count();
      bool ok = graph.size() == 10 && batch.size() == 20;
      for (size_t i = 0; ok && i < graph.size(); ++i) {
        ok = graph[i].slot < n && !index.is_deleted(graph[i].slot) &&
             graph[i].distance == distance(query, index.vector(graph[i].slot), index.metric()) &&
             (i == 0 || !(graph[i].distance < graph[i - 1].distance));
      }
      for (const auto& hits : batch) ok = ok && hits.size() == 5 && hits[0].slot < n;
      if (!ok) failures.fetch_add(1);
      searches.fetch_add(1);
      ++round;
    }
  };
  std::vector<std::thread> readers;
  for (size_t id = 0; id < 3; ++id) readers.emplace_back(reader, id);

  for (size_t start = 500; start < 3000; start += 500) {
    std::unique_lock<std::shared_mutex> hold(lock);
    index.insert_batch(std::span<const float>(data).subspan(start * dim, 500 * dim));
    index.update_vector(static_cast<Slot>(start / 2), std::span<const float>(data).first(dim));
    index.mark_deleted(static_cast<Slot>(start / 3));
  }
  writing.store(false);
  for (std::thread& t : readers) t.join();

  EXPECT_EQ(failures.load(), 0u);
  EXPECT_GE(searches.load(), 9u);
  EXPECT_EQ(index.node_count(), 3000u);
  EXPECT_EQ(testing::check_graph(index, {.max_unreachable_fraction = 1.0}), "");
}

TEST(HnswConcurrencyTest, ParallelLinkPhaseKeepsEveryInvariant) {
  // Several rounds: the parallel phase's outcome depends on thread timing.
  for (int round = 0; round < 3; ++round) {
    const size_t dim = 4;
    HnswIndex index({dim, Metric::Cosine, 4, 16});
    index.insert_batch(testing::clustered_data(129, dim, 3, 500 + round));
    EXPECT_EQ(testing::check_graph(index, {.max_unreachable_fraction = 1.0}), "");
    index.insert_batch(testing::clustered_data(2000, dim, 3, 510 + round));
    EXPECT_EQ(index.node_count(), 2129u);
    EXPECT_EQ(testing::check_graph(index, {.max_unreachable_fraction = 1.0}), "");
  }
}

TEST(HnswConcurrencyTest, StagedSlotsStayInvisibleUntilPublished) {
  const size_t dim = 8;
  HnswIndex index({dim, Metric::Euclidean, 8, 40});
  const std::vector<float> data = testing::clustered_data(600, dim, 6, 611);
  index.insert_batch(std::span<const float>(data).first(300 * dim));
  const std::vector<Slot> staged =
      index.stage_batch(std::span<const float>(data).subspan(300 * dim));
  ASSERT_EQ(staged.front(), 300u);
  EXPECT_EQ(index.node_count(), 300u);
  EXPECT_EQ(index.live_count(), 300u);
  for (const Slot s : {Slot{300}, Slot{450}, Slot{599}}) {
    const std::span<const float> query = std::span<const float>(data).subspan(s * dim, dim);
    for (const std::vector<Hit>& hits :
         {IndexInternals::graph_search(index, query, 5, 40), index.search(query, 5, 40)}) {
      ASSERT_EQ(hits.size(), 5u);
      for (const Hit& hit : hits) EXPECT_LT(hit.slot, 300u);
    }
  }
  index.publish();
  EXPECT_EQ(index.node_count(), 600u);
  EXPECT_EQ(index.live_count(), 600u);
  const std::span<const float> query = std::span<const float>(data).subspan(450 * dim, dim);
  const std::vector<Hit> hits = IndexInternals::graph_search(index, query, 1, 40);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].distance, 0.0f);
  EXPECT_EQ(testing::check_graph(index, {.max_unreachable_fraction = 1.0}), "");
}

TEST(HnswConcurrencyTest, WalksBesideStagingReturnOnlyPublishedSlotsAndKOfThem) {
  const size_t dim = 8;
  const size_t total = 4000;
  HnswIndex index({dim, Metric::Euclidean, 8, 40});
  RwLock lock;  // held as the database holds `index`
  const std::vector<float> data = testing::clustered_data(total, dim, 10, 621);
  std::atomic<bool> writing{true};
  std::atomic<size_t> searches{0}, failures{0};
  auto reader = [&](size_t id) {
    const std::vector<float> queries = testing::clustered_data(16, dim, 10, 700 + id);
    for (size_t round = 0; writing.load() || round < 3; ++round) {
      const std::span<const float> query(queries.data() + (round % 16) * dim, dim);
      const uint64_t k = 1 + round % 12;
      SharedGuard hold(lock);
      const std::vector<Hit> hits = IndexInternals::graph_search(index, query, k, 32);
      const size_t n = index.node_count();
      bool ok = hits.size() == std::min<size_t>(k, n);
      for (size_t i = 0; ok && i < hits.size(); ++i) {
        ok = hits[i].slot < n && (i == 0 || !(hits[i].distance < hits[i - 1].distance));
      }
      if (!ok) failures.fetch_add(1);
      searches.fetch_add(1);
    }
  };
  std::vector<std::thread> readers;
  for (size_t id = 0; id < 2; ++id) readers.emplace_back(reader, id);
  // Batches of 1, 100 and 300 (the last links in parallel), each staged beside the
  // readers and then published alone.
  const size_t sizes[] = {1, 100, 300};
  for (size_t start = 0, round = 0; start < total; ++round) {
    const size_t n = std::min(sizes[round % 3], total - start);
    {
      SharedGuard hold(lock);
      index.stage_batch(std::span<const float>(data).subspan(start * dim, n * dim));
    }
    ExclusiveGuard hold(lock);
    index.publish();
    start += n;
  }
  writing.store(false);
  for (std::thread& t : readers) t.join();

  EXPECT_EQ(failures.load(), 0u);
  EXPECT_GE(searches.load(), 6u);
  EXPECT_EQ(index.node_count(), total);
  EXPECT_EQ(testing::check_graph(index, {.max_unreachable_fraction = 1.0}), "");
}

}  // namespace
}  // namespace dralm
