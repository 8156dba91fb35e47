// Traversal on 8- and 4-bit codes: what either width must keep (exact reported
// distances, codes of later writes in step with the trained quantizer, recall) on the
// same graph.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "distance/distance.h"
#include "hnsw/hnsw_index.h"
#include "hnsw/index_internals.h"
#include "quantize/sq8_rows.h"
#include "support/graph_check.h"

namespace dralm {
namespace {

using MetricAndBits = std::tuple<Metric, int>;

class QuantizedBitsTest : public ::testing::TestWithParam<MetricAndBits> {};

TEST_P(QuantizedBitsTest, WritesStayEncodedAndTheBestRecallOfAnEfSweepIsNearExact) {
  const auto [metric, bits] = GetParam();
  constexpr size_t kDim = 40, kCount = 4000, kClusters = 25, kQueries = 60;  // a block tail
  HnswIndex index({kDim, metric, 16, 100});
  index.insert_batch(testing::clustered_data(kCount, kDim, kClusters, 61));
  index.enable_quantization(bits);
  ASSERT_EQ(index.quantized_bits(), bits);
  // Writes after training: a batch, one insert and an update, encoded with the trained
  // quantizer in the index's row layout.
  const std::vector<float> extra = testing::clustered_data(201, kDim, kClusters, 62);
  index.insert_batch(std::span<const float>(extra).first(200 * kDim));
  index.insert(std::span<const float>(extra).last(kDim));
  index.update_vector(7, std::span<const float>(extra).first(kDim));
  const std::optional<QuantizedState> state = index.quantized();
  ASSERT_TRUE(state.has_value());
  ASSERT_EQ(state->row_count(), kCount + 201);
  EXPECT_EQ(state->format.bits, bits);
  std::vector<uint8_t> expected(state->format.row_bytes);
  for (const Slot s : {Slot{7}, Slot{kCount}, Slot{kCount + 200}}) {
    encode_row(state->quantizer, state->format, index.vector(s).data(), expected.data());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), state->row(s))) << "slot " << s;
  }

  const std::vector<float> queries = testing::clustered_data(kQueries, kDim, kClusters, 63);
  double best = 0;
  for (const uint64_t ef : {20u, 60u, 200u}) {
    double total = 0;
    for (size_t q = 0; q < kQueries; ++q) {
      const std::span<const float> query(queries.data() + q * kDim, kDim);
      const std::vector<Hit> hits = IndexInternals::graph_search(index, query, 10, ef);
      ASSERT_EQ(hits.size(), 10u);
      for (size_t i = 0; i < hits.size(); ++i) {
        EXPECT_EQ(hits[i].distance, distance(query, index.vector(hits[i].slot), metric));
        if (i > 0) {
          EXPECT_LE(hits[i - 1].distance, hits[i].distance);
        }
      }
      total += testing::recall(hits, testing::exact_knn(index, query, 10));
    }
    best = std::max(best, total / kQueries);
  }
  EXPECT_GE(best, 0.995);
}

// A beam that holds every vector leaves only the re-ranking between the codes and the
// answer: it measures a few candidates past the k-th, as far as the codes' error reaches,
// and never counts a deleted one (each query's own nearest vectors are deleted here).
TEST_P(QuantizedBitsTest, AWideBeamReRanksFarEnoughPastDeletedVectors) {
  const auto [metric, bits] = GetParam();
  constexpr size_t kDim = 24, kCount = 3000, kClusters = 30, kQueries = 40, kK = 10;
  HnswIndex index({kDim, metric, 12, 60});
  index.insert_batch(testing::clustered_data(kCount, kDim, kClusters, 71));
  index.enable_quantization(bits);
  const std::vector<float> queries = testing::clustered_data(kQueries, kDim, kClusters, 72);
  const auto query = [&](size_t q) {
    return std::span<const float>(queries).subspan(q * kDim, kDim);
  };
  for (size_t q = 0; q < kQueries; ++q) {
    for (const Hit& hit : testing::exact_knn(index, query(q), 2)) index.mark_deleted(hit.slot);
  }
  double total = 0;
  for (size_t q = 0; q < kQueries; ++q) {
    const std::vector<Hit> hits = IndexInternals::graph_search(index, query(q), kK, kCount);
    ASSERT_EQ(hits.size(), kK);
    for (const Hit& hit : hits) EXPECT_FALSE(index.is_deleted(hit.slot)) << "slot " << hit.slot;
    total += testing::recall(hits, testing::exact_knn(index, query(q), kK));
  }
  EXPECT_GE(total / kQueries, 0.995);
}

INSTANTIATE_TEST_SUITE_P(MetricsAndWidths, QuantizedBitsTest,
                         ::testing::Combine(::testing::Values(Metric::Cosine, Metric::Euclidean,
                                                              Metric::DotProduct),
                                            ::testing::Values(8, 4)),
                         [](const auto& info) {
                           return std::string(metric_name(std::get<0>(info.param))) + "_" +
                                  std::to_string(std::get<1>(info.param)) + "bit";
                         });

}  // namespace
}  // namespace dralm
