// Findability on layer 0: pruning full lists never leaves a node without a way in, and a
// search for each stored vector returns it. Clustered data with outliers far from every
// cluster, tight clusters far apart, l2 and cosine, at the default and at small m /
// ef_construction, one node at a time and in parallel batches; then after deletions,
// updates and a rebuild from the live vectors (what compaction does).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "distance/distance.h"
#include "hnsw/hnsw_index.h"
#include "hnsw/index_internals.h"
#include "support/graph_check.h"

namespace dralm {
namespace {

constexpr size_t kDim = 16, kCount = 3000, kClusters = 12, kOutliers = 20;
// The beam of a one-result search in a database (Database::default_ef(1)).
constexpr uint64_t kDefaultEf = 200;

// The live slots a one-result search for their own vector at the default beam misses, as
// "slot, slot, ... (n in all)"; empty when every one is found.
std::string missed_by_self_search(const HnswIndex& index) {
  const std::vector<Slot> misses = testing::self_search_misses(index, kDefaultEf);
  std::ostringstream missed;
  for (size_t i = 0; i < misses.size() && i < 10; ++i) missed << misses[i] << ", ";
  if (!misses.empty()) missed << "(" << misses.size() << " in all)";
  return missed.str();
}

// How the clustered data goes in: one insert at a time, one insert_batch (parallel
// tail, then the pass over every node), or batches of 100 (each below an eighth of the
// graph once it holds 800, so they rely on the passes counted over many batches).
enum class Build { kSingle, kOneBatch, kBatchesOf100 };

struct ReachCase {
  const char* name;
  Metric metric;
  uint64_t m;
  uint64_t ef_construction;
  Build build;
  float spread;  // of the clusters (clustered_data)
};

class ReachabilityTest : public ::testing::TestWithParam<ReachCase> {
 protected:
  // The clustered data, then the outliers one at a time, as late additions come.
  std::unique_ptr<HnswIndex> build(std::vector<float>& data) const {
    const ReachCase c = GetParam();
    data = testing::clustered_data(kCount, kDim, kClusters, 41, c.spread);
    auto index =
        std::make_unique<HnswIndex>(testing::index_params(kDim, c.metric, c.m, c.ef_construction));
    switch (c.build) {
      case Build::kSingle:
        for (size_t i = 0; i < kCount; ++i) index->insert({data.data() + i * kDim, kDim});
        break;
      case Build::kOneBatch:
        index->insert_batch(data);
        break;
      case Build::kBatchesOf100:
        for (size_t i = 0; i < kCount; i += 100) {
          index->insert_batch({data.data() + i * kDim, std::min<size_t>(100, kCount - i) * kDim});
        }
        break;
    }
    const std::vector<float> outliers = testing::far_outliers(data, kDim, kOutliers, 42);
    data.insert(data.end(), outliers.begin(), outliers.end());
    for (size_t i = kCount; i < kCount + kOutliers; ++i) {
      index->insert({data.data() + i * kDim, kDim});
    }
    return index;
  }
};

TEST_P(ReachabilityTest, EveryVectorIsFoundBySearchingForItself) {
  std::vector<float> data;
  const auto index = build(data);
  EXPECT_EQ(testing::check_graph(*index), "");
  EXPECT_EQ(missed_by_self_search(*index), "");
  // Deleted nodes stay in the graph and are walked through: every live node behind them
  // is still found.
  for (Slot s = 0; s < index->node_count(); s += 7) index->mark_deleted(s);
  EXPECT_EQ(missed_by_self_search(*index), "");
  // The rebuild from the live vectors that compaction runs.
  std::vector<float> live;
  for (Slot s = 0; s < index->node_count(); ++s) {
    if (!index->is_deleted(s))
      live.insert(live.end(), data.begin() + s * kDim, data.begin() + (s + 1) * kDim);
  }
  HnswIndex rebuilt(index->params());
  rebuilt.insert_batch(live);
  EXPECT_EQ(testing::check_graph(rebuilt), "");
  EXPECT_EQ(missed_by_self_search(rebuilt), "");
}

// A batch large enough that, after a first pass adopting a few nodes, the next pass
// looks only at the nodes near the lists those adoptions edited (at 3,000 nodes every
// pass looks at all of them): every vector is still found.
TEST(ReachabilityLargeBatchTest, APassNearTheEditsLeavesEveryVectorFindable) {
  constexpr size_t kLarge = 20000;
  const std::vector<float> data = testing::clustered_data(kLarge, kDim, 50, 41, 0.5f);
  HnswIndex index(testing::index_params(kDim, Metric::Euclidean, 12, 48));
  index.insert_batch(data);
  EXPECT_EQ(testing::check_graph(index), "");
  EXPECT_EQ(missed_by_self_search(index), "");
}

// Far outliers added in one small batch after a build: their neighbours may all leave
// them out of their lists, and a later outlier's linking may cut off one found right
// after its own. An outlier high in the graph also lies nearer to most vectors than the
// nodes their descents pass, so once it routes descents, the searches for a whole
// region of a cluster can end beside it, where their beams cannot reach the cluster.
// Each run misses vectors only now and then (about one build in sixteen before the
// batch's nodes were looked for at its end), so many builds run.
TEST(ReachabilitySmallBatchTest, EveryVectorIsFoundAfterASmallBatchOfOutliers) {
  constexpr size_t kRuns = 80;
  std::ostringstream missed;
  for (size_t run = 0; run < kRuns; ++run) {
    const std::vector<float> data =
        testing::clustered_data(kCount, kDim, kClusters, 100 + run, 0.5f);
    HnswIndex index(testing::index_params(kDim, Metric::Cosine, 6, 24));
    index.insert_batch(data);
    index.insert_batch(testing::far_outliers(data, kDim, kOutliers, 200 + run));
    for (const Slot s : testing::self_search_misses(index, kDefaultEf)) {
      missed << "run " << run << (s >= kCount ? ": outlier " : ": vector ")
             << (s >= kCount ? s - kCount : s) << "; ";
    }
  }
  EXPECT_EQ(missed.str(), "");
}

// An update unlinks the node from its old neighbourhood and links it again: the nodes
// only it linked to, or whose nearest known neighbour it was, are still found, and so
// is the moved node.
void update_and_check(HnswIndex& index) {
  std::mt19937_64 rng(43);
  const std::vector<float> moved = testing::clustered_data(100, kDim, kClusters, 44, 1.0f);
  for (size_t i = 0; i < 100; ++i) {
    index.update_vector(Slot(rng() % index.node_count()), {moved.data() + i * kDim, kDim});
  }
  EXPECT_EQ(testing::check_graph(index), "");
  EXPECT_EQ(missed_by_self_search(index), "");
}

TEST_P(ReachabilityTest, UpdatesKeepEveryVectorFindable) {
  std::vector<float> data;
  update_and_check(*build(data));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReachabilityTest,
    ::testing::Values(
        ReachCase{"Default", Metric::Euclidean, 16, 200, Build::kSingle, 1.0f},
        ReachCase{"DefaultBatch", Metric::Euclidean, 16, 200, Build::kOneBatch, 1.0f},
        ReachCase{"SmallBeam", Metric::Euclidean, 12, 48, Build::kSingle, 1.0f},
        ReachCase{"SmallBeamBatch", Metric::Euclidean, 12, 48, Build::kOneBatch, 1.0f},
        ReachCase{"CosineSmallBeamBatch", Metric::Cosine, 12, 48, Build::kOneBatch, 1.0f},
        ReachCase{"CosineDefault", Metric::Cosine, 16, 200, Build::kSingle, 1.0f},
        ReachCase{"M4", Metric::Euclidean, 4, 48, Build::kSingle, 1.0f},
        ReachCase{"M4Batch", Metric::Euclidean, 4, 48, Build::kOneBatch, 1.0f},
        ReachCase{"TightClusters", Metric::Euclidean, 8, 48, Build::kSingle, 0.05f},
        // Misses here had several incoming links each: the walk towards them closed its
        // beam a region short.
        ReachCase{"M6Batch", Metric::Euclidean, 6, 24, Build::kOneBatch, 0.5f},
        ReachCase{"CosineM6Batch", Metric::Cosine, 6, 24, Build::kOneBatch, 0.5f},
        // Grown in batches of 100 into tight clusters: only the nodes a linking left with
        // one link were looked for, while nodes with several were missed the same way.
        ReachCase{"M6TightBatchesOf100", Metric::Euclidean, 6, 24, Build::kBatchesOf100, 0.2f},
        // Grown in small steps: a new node on the top layer, or the one below, sent the
        // descents for nodes far from it elsewhere (two here, one in each cosine case),
        // each listed only by its nearest neighbour. And in M6Single an update emptied
        // the list of an outlier that listed, and was listed by, only the moved node: no
        // search could reach it to adopt it.
        ReachCase{"M6Single", Metric::Euclidean, 6, 24, Build::kSingle, 0.5f},
        ReachCase{"CosineM6BatchesOf100", Metric::Cosine, 6, 24, Build::kBatchesOf100, 0.5f},
        ReachCase{"CosineM6TightBatchesOf100", Metric::Cosine, 6, 24, Build::kBatchesOf100, 0.2f}),
    [](const ::testing::TestParamInfo<ReachCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace dralm
