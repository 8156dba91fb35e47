// Searches under the shared index lock while one writer inserts batches (with their
// parallel link phase), updates and deletes under the exclusive lock; and searches
// beside a writer that stages slots under the shared lock and publishes them alone.
#include <gtest/gtest.h>

#include <atomic>
#include <shared_mutex>
#include <string>
#include <thread>
#include <tuple>
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

// A search that loaded its state before a batch was staged meets an old node whose
// lists the batch rewrote to hold only its own slots (as pruning does when the batch's
// nodes are nearer). Here the entry point is that node: skipping every link it lists
// would leave the walk at the entry with one hit. The walk must pass through the staged
// slots to the published ones, and still return published slots only.
enum class WalkKind { kPlain, kFiltered, kWithin };

class LateLinkTest : public ::testing::TestWithParam<std::tuple<WalkKind, bool>> {};

TEST_P(LateLinkTest, SearchFollowsLinksIntoABatchStagedAfterItStarted) {
  const auto [kind, quantized] = GetParam();
  const size_t dim = 8, published = 400, k = 10;
  HnswIndex index({dim, Metric::Euclidean, 8, 40});
  const std::vector<float> data = testing::clustered_data(published + 60, dim, 6, 811);
  index.insert_batch(std::span<const float>(data).first(published * dim));
  if (quantized) index.enable_quantization();

  const HnswIndex::Snapshot snap = IndexInternals::snapshot(index);
  const std::vector<Slot> staged =
      index.stage_batch(std::span<const float>(data).subspan(published * dim));
  const Slot entry = index.entry_point();
  ASSERT_LT(entry, published);
  for (size_t layer = 1; layer < index.layer_count(entry); ++layer) {
    index.set_neighbours(entry, layer, {});
  }
  const size_t cap = index.m_max0();
  index.set_neighbours(entry, 0, std::span<const Slot>(staged).first(cap));

  const AcceptFn even = [](Slot s) { return s % 2 == 0; };
  // No seeds: the walk over matches starts where the descent ends, at the entry.
  const std::span<const Slot> seed_span;
  const AcceptFn* accept = kind == WalkKind::kPlain ? nullptr : &even;
  for (size_t q = 0; q < 8; ++q) {
    const std::vector<float> query = testing::clustered_data(1, dim, 6, 900 + q);
    const std::vector<Hit> hits = IndexInternals::graph_search_in(
        index, snap, query, k, 64, accept, kind == WalkKind::kWithin ? &seed_span : nullptr);
    ASSERT_EQ(hits.size(), k) << "query " << q;
    std::vector<Hit> truth;
    for (const Hit& hit : testing::exact_knn(index, query, published)) {
      if (truth.size() < k && (accept == nullptr || (*accept)(hit.slot))) truth.push_back(hit);
    }
    for (const Hit& hit : hits) {
      EXPECT_LT(hit.slot, published);
      EXPECT_TRUE(accept == nullptr || (*accept)(hit.slot)) << "slot " << hit.slot;
    }
    EXPECT_GE(testing::recall(hits, truth), 0.7) << "query " << q;
  }
}

std::string late_link_case_name(const ::testing::TestParamInfo<std::tuple<WalkKind, bool>>& info) {
  static const char* const kKinds[] = {"plain", "filtered", "within"};
  return std::string(kKinds[static_cast<int>(std::get<0>(info.param))]) +
         (std::get<1>(info.param) ? "_sq8" : "_exact");
}

INSTANTIATE_TEST_SUITE_P(Walks, LateLinkTest,
                         ::testing::Combine(::testing::Values(WalkKind::kPlain, WalkKind::kFiltered,
                                                              WalkKind::kWithin),
                                            ::testing::Bool()),
                         late_link_case_name);

}  // namespace
}  // namespace dralm
