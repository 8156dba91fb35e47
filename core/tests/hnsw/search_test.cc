// Search: recall of the graph walk, the exact scan and its two forms, the method
// choice at ten million live floats, deletions, filters, widths, batches, SQ8
// traversal and NaN distances.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <set>
#include <vector>

#include "distance/blas_gemm.h"
#include "distance/distance.h"
#include "hnsw/hnsw_index.h"
#include "hnsw/index_internals.h"
#include "quantize/sq8.h"
#include "support/graph_check.h"

namespace dralm {
namespace {

constexpr Metric kAllMetrics[] = {Metric::Cosine, Metric::Euclidean, Metric::DotProduct};

// Graph checks with every node reachable on layer 0. Under the dot product a node is
// "near" the vectors that are long in its direction, not its neighbours, so most short
// vectors are nobody's link (pruning keeps no last links there): reachability says
// nothing there, recall does.
testing::GraphCheckOptions reachable_graph(Metric metric) {
  return {.max_unreachable_fraction = metric == Metric::DotProduct ? 1.0 : 0.0};
}

std::string metric_label(const ::testing::TestParamInfo<Metric>& info) {
  return std::string(metric_name(info.param));
}

void expect_ascending(const std::vector<Hit>& hits) {
  for (size_t i = 1; i < hits.size(); ++i) {
    EXPECT_FALSE(hits[i].distance < hits[i - 1].distance) << "position " << i;
  }
}

// One clustered index per metric, built once for the suite (the build dominates).
class GraphRecallTest : public ::testing::TestWithParam<Metric> {
 protected:
  static constexpr size_t kDim = 32, kCount = 20000, kQueries = 200;

  static const HnswIndex& index_for(Metric metric) {
    static std::unique_ptr<HnswIndex> built[3];
    auto& slot = built[static_cast<int>(metric)];
    if (!slot) {
      slot = std::make_unique<HnswIndex>(IndexParams{kDim, metric, 16, 100});
      slot->insert_batch(testing::clustered_data(kCount, kDim, 40, 21));
    }
    return *slot;
  }
};

TEST_P(GraphRecallTest, RecallAtTenIsAtLeast95PercentAtEf200) {
  const HnswIndex& index = index_for(GetParam());
  ASSERT_EQ(testing::check_graph(index, reachable_graph(GetParam())), "");
  const std::vector<float> queries = testing::clustered_data(kQueries, kDim, 40, 22);
  double total = 0;
  for (size_t q = 0; q < kQueries; ++q) {
    const std::span<const float> query(queries.data() + q * kDim, kDim);
    const std::vector<Hit> hits = IndexInternals::graph_search(index, query, 10, 200);
    ASSERT_EQ(hits.size(), 10u);
    expect_ascending(hits);
    for (const Hit& hit : hits) {
      ASSERT_EQ(hit.distance, distance(query, index.vector(hit.slot), index.metric()));
    }
    total += testing::recall(hits, testing::exact_knn(index, query, 10));
  }
  EXPECT_GE(total / kQueries, 0.95);
}

// Tight clusters far apart: links to the nearest candidates only would stay inside
// each cluster and leave a walk stranded in the one it starts in.
TEST_P(GraphRecallTest, WellSeparatedClustersAreFoundAtEf100) {
  const Metric metric = GetParam();
  constexpr size_t kSeparatedCount = 10000, kClusters = 100, kDimSmall = 16;
  constexpr float kSpread = 0.05f;
  HnswIndex index({kDimSmall, metric, 16, 100});
  index.insert_batch(testing::clustered_data(kSeparatedCount, kDimSmall, kClusters, 121, kSpread));
  EXPECT_EQ(testing::check_graph(index, reachable_graph(metric)), "");
  const std::vector<float> queries =
      testing::clustered_data(kQueries, kDimSmall, kClusters, 122, kSpread);
  double total = 0;
  for (size_t q = 0; q < kQueries; ++q) {
    const std::span<const float> query(queries.data() + q * kDimSmall, kDimSmall);
    total += testing::recall(IndexInternals::graph_search(index, query, 10, 100),
                             testing::exact_knn(index, query, 10));
  }
  EXPECT_GE(total / kQueries, 0.95);
}

TEST_P(GraphRecallTest, QuantizedTraversalReportsExactDistances) {
  const Metric metric = GetParam();
  HnswIndex index({kDim, metric, 8, 40});
  index.insert_batch(testing::clustered_data(3000, kDim, 20, 31));
  index.enable_quantization();
  ASSERT_TRUE(index.quantized().has_value());
  ASSERT_EQ(index.quantized()->row_count(), 3000u);
  // Inserts after training are encoded with the trained parameters.
  const std::vector<float> extra = testing::clustered_data(200, kDim, 20, 32);
  index.insert_batch(extra);
  index.insert(std::span<const float>(extra).first(kDim));
  ASSERT_EQ(testing::check_graph(index, {.max_unreachable_fraction = 1.0}), "");
  std::vector<uint8_t> expected(kDim);
  encode(index.quantized()->quantizer, index.vector(3100).data(), expected.data());
  // quantized() returns a copy: keep it alive while its codes are read.
  const std::optional<QuantizedState> state = index.quantized();
  const std::span<const uint8_t> stored = state->codes(3100);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), stored.begin()));

  const std::vector<float> queries = testing::clustered_data(50, kDim, 20, 33);
  auto mean_recall = [&] {
    double total = 0;
    for (size_t q = 0; q < 50; ++q) {
      const std::span<const float> query(queries.data() + q * kDim, kDim);
      const std::vector<Hit> hits = IndexInternals::graph_search(index, query, 10, 100);
      EXPECT_EQ(hits.size(), 10u);
      expect_ascending(hits);
      for (const Hit& hit : hits) {
        EXPECT_EQ(hit.distance, distance(query, index.vector(hit.slot), metric));
      }
      total += testing::recall(hits, testing::exact_knn(index, query, 10));
      const AcceptFn even = [](Slot s) { return s % 2 == 0; };
      const std::vector<Hit> filtered = IndexInternals::graph_search(index, query, 5, 20, &even);
      EXPECT_EQ(filtered.size(), 5u);
      expect_ascending(filtered);
      for (const Hit& hit : filtered) {
        EXPECT_EQ(hit.slot % 2, 0u);
        EXPECT_EQ(hit.distance, distance(query, index.vector(hit.slot), metric));
      }
    }
    return total / 50;
  };
  const double quantized_recall = mean_recall();
  index.disable_quantization();
  EXPECT_FALSE(index.quantized().has_value());
  // Walking codes loses little against walking floats on the same graph.
  EXPECT_GE(quantized_recall, mean_recall() - 0.05);
}

// Two vectors at +3e38 and -3e38 in one dimension give it the overflow step; before,
// every code distance in it was infinite and quantized self-recall fell to 0.18.
TEST_P(GraphRecallTest, QuantizedSelfRecallSurvivesAnOverflowingDimension) {
  const Metric metric = GetParam();
  if (metric == Metric::DotProduct) GTEST_SKIP() << "a vector is not its own nearest by dot";
  constexpr size_t kCount = 2000, kSmallDim = 16;
  std::vector<float> data = testing::clustered_data(kCount, kSmallDim, 20, 51);
  data[0] = 3e38f;
  data[kSmallDim] = -3e38f;
  HnswIndex index({kSmallDim, metric, 16, 100});
  index.insert_batch(data);
  index.enable_quantization();
  ASSERT_EQ(index.quantized()->quantizer.scales[0], kOverflowStep);
  size_t found = 0, asked = 0;
  for (Slot s = 0; s < kCount; ++s) {
    // The outliers' own cosine is NaN in single precision (their squares overflow).
    if (metric == Metric::Cosine && s < 2) continue;
    ++asked;
    const std::vector<Hit> hits = IndexInternals::graph_search(index, index.vector(s), 1, 64);
    found += !hits.empty() && hits[0].slot == s;
  }
  EXPECT_GE(double(found) / double(asked), 0.99);
}

INSTANTIATE_TEST_SUITE_P(AllMetrics, GraphRecallTest, ::testing::ValuesIn(kAllMetrics),
                         metric_label);

class ScanTest : public ::testing::TestWithParam<Metric> {};

TEST_P(ScanTest, SmallIndexScansExactlyWithAndWithoutDeletions) {
  const Metric metric = GetParam();
  const size_t dim = 6;
  HnswIndex index({dim, metric, 4, 20});
  index.insert_batch(testing::clustered_data(400, dim, 5, 41));
  ASSERT_TRUE(index.uses_brute_force());
  const std::vector<float> query = testing::clustered_data(1, dim, 5, 42);
  for (int round = 0; round < 2; ++round) {
    const std::vector<Hit> hits = index.search(query, 15, 1);
    const std::vector<Hit> truth = testing::exact_knn(index, query, 15);
    ASSERT_EQ(hits.size(), 15u);
    expect_ascending(hits);
    EXPECT_EQ(testing::recall(hits, truth), 1.0);
    for (const Hit& hit : hits) EXPECT_FALSE(index.is_deleted(hit.slot));
    // Second round: delete the five nearest, including the entry point.
    for (size_t i = 0; i < 5; ++i) index.mark_deleted(hits[i].slot);
    index.mark_deleted(index.entry_point());
  }
  // k beyond the live slots returns every live slot; k = 0 returns nothing.
  EXPECT_EQ(index.search(query, 1000, 10).size(), index.live_count());
  EXPECT_TRUE(index.search(query, 0, 10).empty());
}

TEST_P(ScanTest, FilteredScanFindsEveryAcceptedSlot) {
  const Metric metric = GetParam();
  HnswIndex index({4, metric, 4, 20});
  index.insert_batch(testing::clustered_data(300, 4, 3, 43));
  const std::vector<float> query = testing::clustered_data(1, 4, 3, 44);
  const std::set<Slot> accepted{3, 77, 150, 299};
  const AcceptFn accept = [&](Slot s) { return accepted.count(s) != 0; };
  const std::vector<Hit> hits = index.search_filtered(query, 10, 10, accept);
  ASSERT_EQ(hits.size(), 4u);
  expect_ascending(hits);
  for (const Hit& hit : hits) EXPECT_EQ(accepted.count(hit.slot), 1u);
  index.mark_deleted(77);
  EXPECT_EQ(index.search_filtered(query, 10, 10, accept).size(), 3u);
  EXPECT_TRUE(index.search_filtered(query, 10, 10, [](Slot) { return false; }).empty());
}

TEST_P(ScanTest, UnfilteredScanReturnsTheKSmallestBatchDistances) {
  // 1,000 rows: several blocks of the scan and a partial last one.
  const Metric metric = GetParam();
  const size_t dim = 5, n = 1000;
  HnswIndex index({dim, metric, 4, 20});
  index.insert_batch(testing::clustered_data(n, dim, 6, 45));
  const std::vector<float> query = testing::clustered_data(1, dim, 6, 46);
  const std::vector<float> all =
      batch_distances(query, testing::stored_vectors(index), dim, index.norms(), metric);
  std::vector<float> smallest = all;
  std::sort(smallest.begin(), smallest.end());
  for (const uint64_t k : {1u, 37u, 999u, 1000u, 5000u}) {
    const std::vector<Hit> hits = index.search(query, k, 10);
    ASSERT_EQ(hits.size(), std::min<uint64_t>(k, n));
    std::set<Slot> slots;
    for (size_t i = 0; i < hits.size(); ++i) {
      EXPECT_EQ(hits[i].distance, all[hits[i].slot]) << "k " << k << " slot " << hits[i].slot;
      EXPECT_EQ(hits[i].distance, smallest[i]) << "k " << k << " position " << i;
      slots.insert(hits[i].slot);
    }
    EXPECT_EQ(slots.size(), hits.size()) << "a slot reported twice, k " << k;
  }
}

INSTANTIATE_TEST_SUITE_P(AllMetrics, ScanTest, ::testing::ValuesIn(kAllMetrics), metric_label);

TEST(ScanFormTest, DeletionsSwitchTheScanToPerSlotDistances) {
  // The batch form expands |q|^2 + |v|^2 - 2 q.v, which for q == v is rarely exactly 0;
  // the per-slot form subtracts coordinates and gives exactly 0.
  const size_t dim = 16;
  HnswIndex index({dim, Metric::Euclidean, 4, 20});
  index.insert_batch(testing::clustered_data(200, dim, 4, 51));
  Slot probe = kNoEntry;
  for (Slot s = 0; s < 200 && probe == kNoEntry; ++s) {
    const std::vector<float> own = batch_distances(index.vector(s), testing::stored_vectors(index),
                                                   dim, index.norms(), Metric::Euclidean);
    if (own[s] != 0.0f) probe = s;
  }
  ASSERT_NE(probe, kNoEntry) << "no vector whose expanded self-distance is inexact";
  const std::vector<float> query(index.vector(probe).begin(), index.vector(probe).end());
  const std::vector<float> expanded =
      batch_distances(query, testing::stored_vectors(index), dim, index.norms(), Metric::Euclidean);
  std::vector<Hit> hits = index.search(query, 1, 10);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].distance, *std::min_element(expanded.begin(), expanded.end()));
  EXPECT_NE(hits[0].distance, 0.0f);
  index.mark_deleted(probe == 0 ? 1 : 0);
  hits = index.search(query, 1, 10);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].slot, probe);
  EXPECT_EQ(hits[0].distance, 0.0f);
}

TEST(ScanFormTest, IndexWhoseNodesAreAllDeletedReturnsNothing) {
  HnswIndex index({3, Metric::Cosine, 4, 20});
  index.insert_batch(testing::clustered_data(20, 3, 2, 52));
  for (Slot s = 0; s < 20; ++s) index.mark_deleted(s);
  EXPECT_EQ(index.live_count(), 0u);
  EXPECT_TRUE(index.uses_brute_force());
  const std::vector<float> query{1, 0, 0};
  EXPECT_TRUE(index.search(query, 5, 10).empty());
  EXPECT_TRUE(IndexInternals::graph_search(index, query, 5, 10).empty());
  EXPECT_TRUE(index.search_batch(std::vector<float>{1, 0, 0, 0, 1, 0}, 3, 10)[1].empty());
}

TEST(GraphSearchTest, DeletedSlotsAndADeletedEntryAreNeverReturned) {
  const size_t dim = 8;
  HnswIndex index({dim, Metric::Euclidean, 8, 40});
  index.insert_batch(testing::clustered_data(1500, dim, 6, 61));
  const Slot entry = index.entry_point();
  index.mark_deleted(entry);
  for (Slot s = 0; s < 1500; s += 3) index.mark_deleted(s);
  EXPECT_EQ(index.entry_point(), entry);
  const std::vector<float> entry_vector(index.vector(entry).begin(), index.vector(entry).end());
  const std::vector<float> queries = testing::clustered_data(30, dim, 6, 62);
  for (size_t q = 0; q <= 30; ++q) {
    const std::span<const float> query =
        q < 30 ? std::span<const float>(queries.data() + q * dim, dim) : entry_vector;
    const std::vector<Hit> hits = IndexInternals::graph_search(index, query, 10, 50);
    EXPECT_EQ(hits.size(), 10u);
    for (const Hit& hit : hits) {
      EXPECT_FALSE(index.is_deleted(hit.slot));
      EXPECT_NE(hit.slot % 3, 0u);
    }
    EXPECT_GE(testing::recall(hits, testing::exact_knn(index, query, 10)), 0.7);
  }
}

TEST(GraphSearchTest, WidthIsAtLeastKAndAFilteredBeamHoldsOnlyAcceptedSlots) {
  const size_t dim = 4;
  HnswIndex index({dim, Metric::Euclidean, 8, 40});
  index.insert_batch(testing::clustered_data(2000, dim, 4, 71));
  const std::vector<float> query = testing::clustered_data(1, dim, 4, 72);
  // A beam of width 2 could not hold 50 hits: the width became k.
  EXPECT_EQ(IndexInternals::graph_search(index, query, 50, 2).size(), 50u);
  // Filtered: the beam of width k = 10 fills with accepted slots (a quarter of all), so
  // all ten come back; filtering a beam of ten after the walk would leave about three.
  const AcceptFn quarter = [](Slot s) { return s % 4 == 0; };
  const std::vector<Hit> filtered = IndexInternals::graph_search(index, query, 10, 1, &quarter);
  EXPECT_EQ(filtered.size(), 10u);
  for (const Hit& hit : filtered) EXPECT_EQ(hit.slot % 4, 0u);
  // Zero widths and k are guarded: the beam keeps at least its start.
  EXPECT_TRUE(IndexInternals::graph_search(index, query, 0, 0).empty());
  EXPECT_EQ(IndexInternals::graph_search(index, query, 1, 0).size(), 1u);
  // A width beyond the node count is the whole graph.
  EXPECT_EQ(IndexInternals::graph_search(index, query, 5, uint64_t(1) << 60).size(), 5u);
}

// The filter-aware walk: rejected and deleted nodes are walked through, so matches far
// from the query are reached; only live accepted slots are returned.
class FilteredWalkTest : public ::testing::TestWithParam<bool> {
 protected:
  static constexpr size_t kDim = 16, kCount = 8000;
  void SetUp() override {
    index_ = std::make_unique<HnswIndex>(IndexParams{kDim, Metric::Euclidean, 16, 100});
    index_->insert_batch(testing::clustered_data(kCount, kDim, 30, 41));
    if (GetParam()) index_->enable_quantization();
  }
  // The slots farther from `query` than all but the `share` farthest.
  std::vector<char> farthest(std::span<const float> query, double share) const {
    std::vector<float> d(kCount);
    for (Slot s = 0; s < kCount; ++s) d[s] = distance(query, index_->vector(s), Metric::Euclidean);
    std::vector<float> sorted = d;
    const size_t cut = kCount - size_t(share * kCount);
    std::nth_element(sorted.begin(), sorted.begin() + cut, sorted.end());
    std::vector<char> out(kCount);
    for (Slot s = 0; s < kCount; ++s) out[s] = d[s] >= sorted[cut];
    return out;
  }
  std::vector<Hit> exact_accepted(std::span<const float> query, const std::vector<char>& ok,
                                  size_t k) const {
    std::vector<Slot> slots;
    for (Slot s = 0; s < kCount; ++s) {
      if (ok[s] && !index_->is_deleted(s)) slots.push_back(s);
    }
    return index_->search_slots(query, k, slots);
  }
  std::unique_ptr<HnswIndex> index_;
};

TEST_P(FilteredWalkTest, MatchesFarFromTheQueryAreFound) {
  const std::vector<float> queries = testing::clustered_data(20, kDim, 30, 42);
  double total = 0;
  for (size_t q = 0; q < 20; ++q) {
    const std::span<const float> query(queries.data() + q * kDim, kDim);
    // Only the 5 % farthest slots match: a beam of 40 near the query holds none. SQ8
    // distances are approximate, so that walk keeps 40 to re-rank; the float walk 10.
    const std::vector<char> ok = farthest(query, 0.05);
    const AcceptFn accept = [&ok](Slot s) { return ok[s] != 0; };
    const uint64_t ef = GetParam() ? 40 : 10;
    const std::vector<Hit> hits = IndexInternals::graph_search(*index_, query, 10, ef, &accept);
    ASSERT_EQ(hits.size(), 10u) << "query " << q;
    expect_ascending(hits);
    for (const Hit& hit : hits) {
      EXPECT_TRUE(ok[hit.slot]);
      EXPECT_EQ(hit.distance, distance(query, index_->vector(hit.slot), Metric::Euclidean));
    }
    total += testing::recall(hits, exact_accepted(query, ok, 10));
  }
  EXPECT_GE(total / 20, 0.9);
}

TEST_P(FilteredWalkTest, DeletedAndRejectedNodesAreWalkedThroughNeverReturned) {
  const std::vector<float> queries = testing::clustered_data(20, kDim, 30, 43);
  // Delete the quarter of slots nearest the first query, entry point included.
  const std::span<const float> first(queries.data(), kDim);
  const std::vector<char> far = farthest(first, 0.75);
  for (Slot s = 0; s < kCount; ++s) {
    if (!far[s]) index_->mark_deleted(s);
  }
  if (!index_->is_deleted(index_->entry_point())) index_->mark_deleted(index_->entry_point());
  const std::vector<char> odd = [] {
    std::vector<char> out(kCount);
    for (Slot s = 0; s < kCount; ++s) out[s] = s % 2;
    return out;
  }();
  const AcceptFn accept = [](Slot s) { return s % 2 == 1; };
  double total = 0;
  for (size_t q = 0; q < 20; ++q) {
    const std::span<const float> query(queries.data() + q * kDim, kDim);
    const std::vector<Hit> hits = IndexInternals::graph_search(*index_, query, 10, 40, &accept);
    ASSERT_EQ(hits.size(), 10u);
    for (const Hit& hit : hits) {
      EXPECT_FALSE(index_->is_deleted(hit.slot));
      EXPECT_EQ(hit.slot % 2, 1u);
    }
    total += testing::recall(hits, exact_accepted(query, odd, 10));
  }
  EXPECT_GE(total / 20, 0.9);
}

TEST_P(FilteredWalkTest, AFewAcceptedSlotsAreAllFoundAndNothingIsInvented) {
  const std::vector<float> query = testing::clustered_data(1, kDim, 30, 44);
  // Three accepted slots: the walk spends its whole frontier and returns the three.
  const AcceptFn three = [](Slot s) { return s == 5 || s == 4000 || s == 7999; };
  const std::vector<Hit> hits = IndexInternals::graph_search(*index_, query, 10, 10, &three);
  std::set<Slot> got;
  for (const Hit& hit : hits) got.insert(hit.slot);
  EXPECT_EQ(got, (std::set<Slot>{5, 4000, 7999}));
  const AcceptFn none = [](Slot) { return false; };
  EXPECT_TRUE(IndexInternals::graph_search(*index_, query, 10, 10, &none).empty());
}

TEST_P(FilteredWalkTest, WalkOverMatchesFromSeedsFindsFarMatches) {
  const std::vector<float> queries = testing::clustered_data(20, kDim, 30, 47);
  // Half the slots near the first query are deleted, the entry point among them.
  for (Slot s = 0; s < kCount; s += 2) index_->mark_deleted(s);
  double total = 0;
  for (size_t q = 0; q < 20; ++q) {
    const std::span<const float> query(queries.data() + q * kDim, kDim);
    // The 5 % farthest slots match (a shell around the query, the hardest shape for a
    // walk that stays on matches); a few of them seed the walk; beam 100.
    const std::vector<char> ok = farthest(query, 0.05);
    std::vector<Slot> seeds;
    for (Slot s = 1; s < kCount && seeds.size() < 8; s += 2) {
      if (ok[s]) seeds.push_back(s);
    }
    const AcceptFn accept = [&ok](Slot s) { return ok[s] != 0; };
    const std::vector<Hit> hits =
        IndexInternals::graph_search_within(*index_, query, 10, 100, accept, seeds);
    ASSERT_EQ(hits.size(), 10u) << "query " << q;
    expect_ascending(hits);
    for (const Hit& hit : hits) {
      EXPECT_TRUE(ok[hit.slot]);
      EXPECT_FALSE(index_->is_deleted(hit.slot));
      EXPECT_EQ(hit.distance, distance(query, index_->vector(hit.slot), Metric::Euclidean));
    }
    total += testing::recall(hits, exact_accepted(query, ok, 10));
  }
  EXPECT_GE(total / 20, 0.8);
  // Nothing accepted: nothing returned, seeds or not.
  const AcceptFn none = [](Slot) { return false; };
  const std::vector<Slot> seeds = {1, 3};
  const std::span<const float> first(queries.data(), kDim);
  EXPECT_TRUE(IndexInternals::graph_search_within(*index_, first, 10, 40, none, seeds).empty());
}

INSTANTIATE_TEST_SUITE_P(FloatAndSq8, FilteredWalkTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "sq8" : "float"; });

TEST(SearchSlotsTest, ExactNearestAmongTheListedSlots) {
  const size_t dim = 12;
  HnswIndex index({dim, Metric::Cosine, 8, 40});
  index.insert_batch(testing::clustered_data(3000, dim, 6, 45));
  const std::vector<float> query = testing::clustered_data(1, dim, 6, 46);
  std::vector<Slot> listed;
  for (Slot s = 7; s < 3000; s += 13) listed.push_back(s);
  std::vector<Hit> truth;
  for (Slot s : listed) truth.push_back({s, distance(query, index.vector(s), Metric::Cosine)});
  std::sort(truth.begin(), truth.end(),
            [](const Hit& a, const Hit& b) { return a.distance < b.distance; });
  const std::vector<Hit> hits = index.search_slots(query, 15, listed);
  ASSERT_EQ(hits.size(), 15u);
  for (size_t i = 0; i < hits.size(); ++i) {
    EXPECT_EQ(hits[i].slot, truth[i].slot);
    EXPECT_EQ(hits[i].distance, truth[i].distance);
  }
  EXPECT_EQ(index.search_slots(query, 1000, listed).size(), listed.size());
  EXPECT_TRUE(index.search_slots(query, 0, listed).empty());
  EXPECT_TRUE(index.search_slots(query, 10, {}).empty());
}

TEST(GraphSearchTest, MethodSwitchesAtTenMillionLiveFloats) {
  // 4000 vectors of 2500 floats: exactly ten million, so the graph is used; one
  // deletion moves the index back to the scan.
  const size_t dim = 2500, n = 4000;
  HnswIndex index({dim, Metric::Euclidean, 4, 8});
  index.insert_batch(testing::clustered_data(n, dim, 8, 81, 0.5f));
  EXPECT_FALSE(index.uses_brute_force());
  const std::vector<float> queries = testing::clustered_data(6, dim, 8, 82, 0.5f);
  // search and search_batch give the graph's answer, in query order. The graph reports
  // per-pair distances; a scan (no deletions) would report the expanded batch form,
  // which differs from them in the last bits.
  const auto batch = index.search_batch(queries, 5, 1);
  ASSERT_EQ(batch.size(), 6u);
  size_t differs_from_expanded = 0;
  for (size_t q = 0; q < 6; ++q) {
    const std::span<const float> query(queries.data() + q * dim, dim);
    const std::vector<Hit> graph = IndexInternals::graph_search(index, query, 5, 1);
    const std::vector<Hit> single = index.search(query, 5, 1);
    const std::vector<float> expanded = batch_distances(query, testing::stored_vectors(index), dim,
                                                        index.norms(), Metric::Euclidean);
    ASSERT_EQ(single.size(), 5u);
    ASSERT_EQ(graph.size(), 5u);
    ASSERT_EQ(batch[q].size(), 5u);
    for (size_t i = 0; i < graph.size(); ++i) {
      EXPECT_EQ(single[i].slot, graph[i].slot);
      EXPECT_EQ(batch[q][i].slot, graph[i].slot);
      EXPECT_EQ(single[i].distance,
                distance(query, index.vector(single[i].slot), Metric::Euclidean));
      EXPECT_EQ(batch[q][i].distance, single[i].distance);
      differs_from_expanded += expanded[single[i].slot] != single[i].distance;
    }
  }
  EXPECT_GT(differs_from_expanded, 0u);
  index.mark_deleted(17);
  EXPECT_TRUE(index.uses_brute_force());
  const std::span<const float> query(queries.data(), dim);
  EXPECT_EQ(testing::recall(index.search(query, 5, 1), testing::exact_knn(index, query, 5)), 1.0);
}

TEST(SearchBatchTest, EqualsSearchPerQueryInOrder) {
  const size_t dim = 5;
  HnswIndex index({dim, Metric::Cosine, 6, 30});
  index.insert_batch(testing::clustered_data(500, dim, 5, 91));
  index.mark_deleted(4);
  std::vector<float> queries = testing::clustered_data(40, dim, 5, 92);
  // Two identical queries give two equal lists.
  queries.insert(queries.end(), queries.begin(), queries.begin() + dim);
  const auto batch = index.search_batch(queries, 7, 20);
  ASSERT_EQ(batch.size(), 41u);
  for (size_t q = 0; q < 41; ++q) {
    const std::vector<Hit> one = index.search({queries.data() + q * dim, dim}, 7, 20);
    ASSERT_EQ(batch[q].size(), one.size());
    for (size_t i = 0; i < one.size(); ++i) {
      EXPECT_EQ(batch[q][i].slot, one[i].slot);
      EXPECT_EQ(batch[q][i].distance, one[i].distance);
    }
  }
  for (size_t i = 0; i < batch[0].size(); ++i) EXPECT_EQ(batch[0][i].slot, batch[40][i].slot);
}

TEST(NanTest, NanDistancesNeitherCrashNorDisplaceNumbers) {
  const size_t dim = 4;
  HnswIndex index({dim, Metric::Euclidean, 4, 20});
  std::vector<float> data = testing::clustered_data(600, dim, 3, 101);
  for (size_t i = 0; i < 600; i += 5) data[i * dim + 1] = NAN;
  index.insert_batch(data);
  EXPECT_EQ(testing::check_graph(index, {.max_unreachable_fraction = 1.0}), "");
  std::vector<float> query = testing::clustered_data(1, dim, 3, 102);
  for (const bool graph : {true, false}) {
    const std::vector<Hit> hits =
        graph ? IndexInternals::graph_search(index, query, 20, 40) : index.search(query, 20, 40);
    ASSERT_EQ(hits.size(), 20u);
    bool seen_nan = false;
    for (const Hit& hit : hits) {
      if (std::isnan(hit.distance))
        seen_nan = true;
      else
        EXPECT_FALSE(seen_nan) << "a number after NaN";
    }
    EXPECT_FALSE(seen_nan);  // 480 slots have numeric distances
  }
  // A NaN query: every distance is NaN; still no crash and k hits.
  query[0] = NAN;
  EXPECT_EQ(IndexInternals::graph_search(index, query, 10, 20).size(), 10u);
  EXPECT_EQ(index.search(query, 10, 20).size(), 10u);
}

// Runs 64 scans on the worker pool at once, then marks stderr; exits 0 when every
// query was answered.
[[noreturn]] void scan_batch_then_mark() {
  HnswIndex index({3, Metric::Euclidean, 4, 10});
  index.insert_batch(testing::clustered_data(50, 3, 2, 111));
  const auto results = index.search_batch(testing::clustered_data(64, 3, 2, 112), 3, 10);
  std::fputs("END\n", stderr);
  std::exit(results.size() == 64 && results[63].size() == 3 ? 0 : 1);
}

TEST(NoticeTest, PrintedOnceWhenManyScansStartTogether) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // With a BLAS the batch runs as matrix products and nothing is printed.
  EXPECT_EXIT(
      scan_batch_then_mark(), ::testing::ExitedWithCode(0),
      kHaveBlas ? "^END\n$"
                : "^dralm: brute-force search would be ~5x faster with BLAS\\. Install OpenBLAS:\n"
                  "  conda install -c conda-forge openblas   # or via vcpkg\n"
                  "  Then rebuild: pip install --force-reinstall dralm\nEND\n$");
}

}  // namespace
}  // namespace dralm
