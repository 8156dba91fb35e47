// The index's data model: empty state, level draws, the two store modes, restoring
// a saved graph, and tombstones.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <thread>
#include <vector>

#include "distance/blas_gemm.h"
#include "distance/distance.h"
#include "hnsw/hnsw_index.h"
#include "support/graph_check.h"
#include "support/temp_dir.h"
#include "util/random.h"

namespace dralm {
namespace {

using testing::index_params;

TEST(HnswModelTest, EmptyIndexHasNoEntryAndAnswersNothing) {
  HnswIndex index(index_params(3, Metric::Cosine, 8, 50));
  EXPECT_EQ(index.entry_point(), kNoEntry);
  EXPECT_EQ(index.max_level(), 0u);
  EXPECT_EQ(index.node_count(), 0u);
  EXPECT_EQ(index.live_count(), 0u);
  EXPECT_EQ(index.m_max0(), 16u);
  EXPECT_FALSE(index.quantized().has_value());
  EXPECT_EQ(testing::check_graph(index), "");
  const std::vector<float> query{1, 2, 3};
  EXPECT_TRUE(index.search(query, 5, 10).empty());
  const std::vector<float> queries{1, 2, 3, 4, 5, 6};
  const auto batch = index.search_batch(queries, 5, 10);
  ASSERT_EQ(batch.size(), 2u);
  EXPECT_TRUE(batch[0].empty() && batch[1].empty());
  index.enable_quantization();  // nothing stored: stays off
  EXPECT_FALSE(index.quantized().has_value());
}

// Searches a never-used index, marks stderr, then prints the notice, which must still
// be the process's first; exits 0 when the searches found nothing.
[[noreturn]] void search_unused_index_then_notice() {
  HnswIndex index(index_params(2));
  const std::vector<float> query{1, 2};
  const bool empty = index.search(query, 3, 10).empty() &&
                     index.search_filtered(query, 3, 10, [](Slot) { return true; }).empty();
  std::fputs("MARK\n", stderr);
  brute_force_notice();
  std::exit(empty ? 0 : 1);
}

TEST(HnswModelTest, NeverUsedIndexPrintsNoNotice) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // A build with a BLAS never prints the notice at all.
  EXPECT_EXIT(search_unused_index_then_notice(), ::testing::ExitedWithCode(0),
              kHaveBlas ? "^MARK\n$" : "^MARK\ndralm: brute-force");
}

TEST(HnswModelTest, LevelsFollowTheGeometricDistribution) {
  HnswIndex index(index_params(4, Metric::Euclidean, 16));
  constexpr int kDraws = 400000;
  double layers = 0;
  int at_least_1 = 0, at_least_2 = 0;
  for (int i = 0; i < kDraws; ++i) {
    const uint64_t level = index.random_level();
    layers += static_cast<double>(level) + 1;
    at_least_1 += level >= 1;
    at_least_2 += level >= 2;
  }
  // Mean layers 16/15; the level's standard deviation is about 0.27, so five standard
  // errors over 400k draws is about 0.002.
  EXPECT_NEAR(layers / kDraws, 16.0 / 15.0, 0.0025);
  // P(level >= 1) = 1/16, P(level >= 2) = 1/256; binomial bounds of five sigma.
  EXPECT_NEAR(at_least_1 / double(kDraws), 1.0 / 16, 5 * std::sqrt(1.0 / 16 / kDraws));
  EXPECT_NEAR(at_least_2 / double(kDraws), 1.0 / 256, 5 * std::sqrt(1.0 / 256 / kDraws));
}

TEST(HnswModelTest, LevelDrawSaturates) {
  const double mult16 = 1.0 / std::log(16.0);
  EXPECT_EQ(level_from_draw(0, mult16), UINT64_MAX);  // u = 0: -ln(0) is infinite
  EXPECT_EQ(level_from_draw(UINT64_MAX, mult16), 0u);
  EXPECT_EQ(level_from_draw(uint64_t(1) << 11, mult16), 13u);   // u = 2^-53
  EXPECT_EQ(level_from_draw(uint64_t(12345) << 20, -1.0), 0u);  // negative becomes 0
  EXPECT_EQ(level_from_draw(uint64_t(12345) << 20, NAN), 0u);
  EXPECT_EQ(level_from_draw(uint64_t(12345) << 20, INFINITY), UINT64_MAX);
  // Different threads draw from different generators.
  uint64_t a = 0, b = 0;
  std::thread([&] { a = thread_random_u64(); }).join();
  std::thread([&] { b = thread_random_u64(); }).join();
  EXPECT_NE(a, b);
}

TEST(HnswModelTest, SeedingRepeatsTheDrawsOfTheCallingThreadOnly) {
  auto draws = [] {
    std::vector<uint64_t> out(4);
    for (uint64_t& x : out) x = thread_random_u64();
    return out;
  };
  seed_thread_random(7);
  const std::vector<uint64_t> first = draws();
  seed_thread_random(7);
  EXPECT_EQ(draws(), first);
  seed_thread_random(8);
  EXPECT_NE(draws(), first);
  // Another thread is untouched by this thread's seed.
  seed_thread_random(7);
  std::vector<uint64_t> other;
  std::thread([&] { other = draws(); }).join();
  EXPECT_NE(other, first);
}

TEST(HnswModelTest, MappedStoreIsReadUntilTheFirstWriteThenOwned) {
  const size_t dim = 3, n = 4;
  std::vector<float> floats{1, 2, 3, 4, 5, 6, 7, 8, 9, -1, -2, -3};
  std::vector<float> norms;
  for (size_t i = 0; i < n; ++i) norms.push_back(vector_norm({floats.data() + i * dim, dim}));
  testing::TempDir dir;
  const std::string file = dir.file("vectors.bin");
  {
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(floats.data()), floats.size() * sizeof(float));
    // The norms behind the vectors are not part of the store.
    out.write(reinterpret_cast<const char*>(norms.data()), norms.size() * sizeof(float));
  }
  Result<MappedFile> mapped = MappedFile::map_readonly(file);
  ASSERT_TRUE(mapped.ok()) << mapped.error().message();
  const uint32_t layer_counts[n] = {1, 2, 1, 1};
  auto index =
      HnswIndex::restore(index_params(dim), VectorStore(std::move(mapped).value(), n * dim), norms,
                         layer_counts, 1, 1, {2});
  ASSERT_TRUE(index->vectors_mapped());
  EXPECT_EQ(index->node_count(), n);
  EXPECT_EQ(index->live_count(), 3u);
  EXPECT_TRUE(index->is_deleted(2));
  EXPECT_FALSE(index->is_deleted(1));
  const std::vector<Slot> layer0[n] = {{1, 3}, {0, 2, 3}, {1}, {0, 1}};
  for (Slot s = 0; s < n; ++s) index->set_neighbours(s, 0, layer0[s]);
  index->set_neighbours(1, 1, std::vector<Slot>{});
  EXPECT_EQ(testing::check_graph(*index), "");
  EXPECT_EQ(index->neighbours(1, 0), layer0[1]);
  EXPECT_EQ(index->layer_count(1), 2u);
  EXPECT_EQ(index->neighbours(0, 1), std::vector<Slot>{});  // no layer 1: no list

  std::vector<float> before;
  for (Slot s = 0; s < n; ++s) {
    before.insert(before.end(), index->vector(s).begin(), index->vector(s).end());
  }
  EXPECT_EQ(before, floats);
  // Inserting a stored vector: it is read from the mapping, whose chunk the insert
  // copies to owned memory before appending to it (the mapping itself stays).
  const Slot added = index->insert(index->vector(3));
  EXPECT_FALSE(index->vectors_mapped());
  EXPECT_EQ(added, 4u);
  for (Slot s = 0; s < n; ++s) {
    EXPECT_TRUE(
        std::equal(index->vector(s).begin(), index->vector(s).end(), floats.begin() + s * dim));
  }
  EXPECT_TRUE(std::equal(index->vector(4).begin(), index->vector(4).end(), floats.begin() + 9));
  EXPECT_EQ(testing::check_graph(*index), "");
}

TEST(HnswModelTest, DeletionIsATombstone) {
  HnswIndex index(index_params(2, Metric::Euclidean, 4, 20));
  const std::vector<float> data = testing::clustered_data(50, 2, 3, 11);
  index.insert_batch(data);
  const std::vector<Slot> links = index.neighbours(7, 0);
  index.mark_deleted(7);
  index.mark_deleted(7);
  index.mark_deleted(50);  // beyond the node count: ignored
  EXPECT_EQ(index.live_count(), 49u);
  EXPECT_EQ(index.node_count(), 50u);
  EXPECT_EQ(index.deleted().size(), 1u);
  EXPECT_TRUE(index.is_deleted(7));
  EXPECT_EQ(index.neighbours(7, 0), links);
  EXPECT_EQ(testing::check_graph(index, {.max_unreachable_fraction = 1.0}), "");
}

}  // namespace
}  // namespace dralm
