// The statistics figures, computed from indexes whose every list is known.
#include "db/stats.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "support/graph_check.h"

namespace dralm {
namespace {

using testing::index_params;

// Four nodes of dimension 2; node 2 is deleted. Layer-0 degrees of the live nodes
// 0, 1, 3 are 2, 3 and 1; all lists together hold 10 entries.
std::unique_ptr<HnswIndex> known_index() {
  const std::vector<std::vector<std::vector<Slot>>> lists = {
      {{1, 2}, {3}}, {{0, 2, 3}}, {{0, 1}}, {{0}, {0}}};
  VectorStore store;
  store.owned() = {1, 0, 0, 1, 3, 4, -1, -1};
  std::vector<uint32_t> layers = {2, 1, 1, 2};
  auto index = HnswIndex::restore(index_params(2, Metric::Euclidean, 2, 10), std::move(store),
                                  {1, 1, 5, std::sqrt(2.0f)}, layers, 0, 1, {2});
  for (Slot s = 0; s < 4; ++s) {
    for (size_t l = 0; l < lists[s].size(); ++l) index->set_neighbours(s, l, lists[s][l]);
  }
  return index;
}

TEST(PersistStats, FiguresOfAKnownGraph) {
  const Stats stats = index_stats(*known_index());
  EXPECT_EQ(stats.num_vectors, 3u);
  EXPECT_EQ(stats.num_deleted, 1u);
  EXPECT_EQ(stats.num_layers, 2u);
  EXPECT_DOUBLE_EQ(stats.avg_degree_layer0, 2.0);
  EXPECT_EQ(stats.max_degree_layer0, 3u);
  EXPECT_EQ(stats.min_degree_layer0, 1u);
  EXPECT_EQ(stats.memory_vectors_bytes, 32u);
  EXPECT_EQ(stats.memory_graph_bytes, 40u);  // deleted node 2's list counts too
  EXPECT_EQ(stats.memory_quantized_bytes, 0u);
  EXPECT_TRUE(stats.uses_brute_force);
  EXPECT_FALSE(stats.uses_quantized_search);
}

TEST(PersistStats, DeletedNodesLeaveTheDegreeFigures) {
  auto index = known_index();
  index->mark_deleted(1);  // the node of degree 3
  Stats stats = index_stats(*index);
  EXPECT_EQ(stats.num_vectors, 2u);
  EXPECT_DOUBLE_EQ(stats.avg_degree_layer0, 1.5);
  EXPECT_EQ(stats.max_degree_layer0, 2u);
  EXPECT_EQ(stats.min_degree_layer0, 1u);
  EXPECT_EQ(stats.num_vectors + stats.num_deleted, index->node_count());
  EXPECT_EQ(stats.memory_graph_bytes, 40u);

  index->mark_deleted(0);
  index->mark_deleted(3);
  stats = index_stats(*index);
  EXPECT_EQ(stats.num_vectors, 0u);
  EXPECT_EQ(stats.num_deleted, 4u);
  EXPECT_EQ(stats.num_layers, 2u);
  EXPECT_DOUBLE_EQ(stats.avg_degree_layer0, 0.0);
  EXPECT_EQ(stats.max_degree_layer0, 0u);
  EXPECT_EQ(stats.min_degree_layer0, 0u);
  EXPECT_EQ(stats.memory_vectors_bytes, 32u);
  EXPECT_EQ(stats.memory_graph_bytes, 40u);
}

TEST(PersistStats, QuantizedStateCountsParametersAndCodes) {
  auto index = known_index();
  index->enable_quantization();
  const Stats stats = index_stats(*index);
  EXPECT_TRUE(stats.uses_quantized_search);
  EXPECT_EQ(stats.memory_quantized_bytes, 2u * 8 + 4 * 2);
}

TEST(PersistStats, EmptyIndexReportsZeros) {
  HnswIndex index(index_params(3, Metric::Euclidean, 2, 10));
  Stats stats = index_stats(index);
  EXPECT_EQ(stats.num_vectors, 0u);
  EXPECT_EQ(stats.num_deleted, 0u);
  EXPECT_EQ(stats.num_layers, 0u);
  EXPECT_EQ(stats.avg_degree_layer0, 0.0);
  EXPECT_EQ(stats.max_degree_layer0, 0u);
  EXPECT_EQ(stats.min_degree_layer0, 0u);
  EXPECT_EQ(stats.memory_vectors_bytes, 0u);
  EXPECT_EQ(stats.memory_graph_bytes, 0u);
  EXPECT_EQ(stats.memory_quantized_bytes, 0u);
  EXPECT_TRUE(stats.uses_brute_force);
  EXPECT_FALSE(stats.uses_quantized_search);

  // A quantizer over no slots (loaded from a file of parameters only) is reported,
  // but an index without nodes has no memory figures.
  Sq8Quantizer quantizer;
  quantizer.dim = 3;
  quantizer.mins.assign(3, 0.0f);
  quantizer.scales.assign(3, 1.0f);
  index.set_quantized(encode_state(quantizer, index.metric(), {}));
  stats = index_stats(index);
  EXPECT_TRUE(stats.uses_quantized_search);
  EXPECT_EQ(stats.memory_quantized_bytes, 0u);
}

// The brute-force figure changes exactly where live_count x dim reaches 10,000,000.
TEST(PersistStats, BruteForceUntilTenMillionLiveFloats) {
  const size_t dim = 10'000, count = 1'000;
  VectorStore store;
  store.owned().assign(dim * count, 0.5f);
  std::vector<uint32_t> layers(count, 1);
  auto index = HnswIndex::restore(index_params(dim, Metric::Euclidean, 2, 10), std::move(store),
                                  std::vector<float>(count, 50.0f), layers, 0, 0, {});
  EXPECT_FALSE(index_stats(*index).uses_brute_force);
  EXPECT_EQ(index_stats(*index).uses_brute_force, index->uses_brute_force());
  index->mark_deleted(500);
  EXPECT_TRUE(index_stats(*index).uses_brute_force);
  EXPECT_EQ(index_stats(*index).memory_vectors_bytes, uint64_t{dim} * count * 4);
}

}  // namespace
}  // namespace dralm
