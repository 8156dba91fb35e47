// Reachability on layer 0: pruning full lists never leaves a node without a way in, so
// every node is reached from the entry and a search for each stored vector returns it.
// Clustered data with outliers far from every cluster, tight clusters far apart, at the
// default and at small m / ef_construction, one node at a time and in parallel batches;
// then after deletions and updates.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "hnsw/hnsw_index.h"
#include "hnsw/index_internals.h"
#include "support/graph_check.h"

namespace dralm {
namespace {

constexpr size_t kDim = 16, kCount = 3000, kClusters = 12;
// The beam of a one-result search in a database (Database::default_ef(1)).
constexpr uint64_t kDefaultEf = 200;

// Appends `count` vectors drawn around the data's mean with four times its standard
// deviation in every coordinate: each lies far from every cluster and from the others.
void add_outliers(std::vector<float>& data, size_t dim, size_t count, uint64_t seed) {
  const size_t n = data.size() / dim;
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> unit(0.0, 1.0);
  std::vector<float> out(count * dim);
  for (size_t j = 0; j < dim; ++j) {
    double sum = 0, squares = 0;
    for (size_t i = 0; i < n; ++i) {
      sum += data[i * dim + j];
      squares += double(data[i * dim + j]) * data[i * dim + j];
    }
    const double mean = sum / double(n);
    const double sd = std::sqrt(squares / double(n) - mean * mean);
    for (size_t i = 0; i < count; ++i) out[i * dim + j] = float(mean + 4.0 * sd * unit(rng));
  }
  data.insert(data.end(), out.begin(), out.end());
}

// The live slots that a one-result search for their own vector at the default beam does
// not return, as "slot, slot, ..." (empty when every one is found).
std::string missed_by_self_search(const HnswIndex& index) {
  std::ostringstream missed;
  size_t count = 0;
  for (Slot s = 0; s < index.node_count(); ++s) {
    if (index.is_deleted(s)) continue;
    const std::vector<Hit> hits =
        IndexInternals::graph_search(index, index.vector(s), 1, kDefaultEf);
    if (hits.empty() || hits[0].slot != s) {
      if (count++ < 10) missed << s << ", ";
    }
  }
  if (count > 0) missed << "(" << count << " in all)";
  return missed.str();
}

struct ReachCase {
  const char* name;
  uint64_t m;
  uint64_t ef_construction;
  bool batch;       // one insert_batch (parallel tail) instead of single inserts
  float spread;     // of the clusters (clustered_data)
  size_t outliers;  // inserted after the clustered data
};

class ReachabilityTest : public ::testing::TestWithParam<ReachCase> {
 protected:
  std::unique_ptr<HnswIndex> build() const {
    const ReachCase c = GetParam();
    std::vector<float> data = testing::clustered_data(kCount, kDim, kClusters, 41, c.spread);
    auto index =
        std::make_unique<HnswIndex>(IndexParams{kDim, Metric::Euclidean, c.m, c.ef_construction});
    if (c.batch) {
      index->insert_batch(data);
    } else {
      for (size_t i = 0; i < kCount; ++i) index->insert({data.data() + i * kDim, kDim});
    }
    // The outliers come after the clusters, one at a time, as late additions do.
    add_outliers(data, kDim, c.outliers, 42);
    for (size_t i = kCount; i < kCount + c.outliers; ++i) {
      index->insert({data.data() + i * kDim, kDim});
    }
    return index;
  }
};

TEST_P(ReachabilityTest, EveryNodeIsReachableAndFoundBySearchingForItself) {
  const auto index = build();
  EXPECT_EQ(testing::check_graph(*index), "");
  EXPECT_EQ(testing::unreachable_count(*index), 0u);
  EXPECT_EQ(missed_by_self_search(*index), "");
  // Deleted nodes stay in the graph and are walked through: every live node behind them
  // is still found.
  for (Slot s = 0; s < index->node_count(); s += 7) index->mark_deleted(s);
  EXPECT_EQ(missed_by_self_search(*index), "");
}

// An update unlinks the node from its old neighbourhood and links it again: the nodes
// only it linked to, and the node itself, keep a way in.
TEST_P(ReachabilityTest, UpdatesKeepEveryNodeReachable) {
  const auto index = build();
  std::mt19937_64 rng(43);
  const std::vector<float> moved = testing::clustered_data(100, kDim, kClusters, 44, 1.0f);
  for (size_t i = 0; i < 100; ++i) {
    index->update_vector(Slot(rng() % index->node_count()), {moved.data() + i * kDim, kDim});
  }
  EXPECT_EQ(testing::check_graph(*index), "");
  EXPECT_EQ(testing::unreachable_count(*index), 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, ReachabilityTest,
                         ::testing::Values(ReachCase{"Default", 16, 200, false, 1.0f, 20},
                                           ReachCase{"DefaultBatch", 16, 200, true, 1.0f, 20},
                                           ReachCase{"SmallBeam", 12, 48, false, 1.0f, 20},
                                           ReachCase{"SmallBeamBatch", 12, 48, true, 1.0f, 20},
                                           ReachCase{"M4", 4, 48, false, 1.0f, 20},
                                           ReachCase{"M4Batch", 4, 48, true, 1.0f, 20},
                                           ReachCase{"TightClusters", 8, 48, false, 0.05f, 20}),
                         [](const ::testing::TestParamInfo<ReachCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace dralm
