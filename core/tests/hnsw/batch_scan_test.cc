// The exact scan of a batch of queries: with a BLAS it runs through matrix products, and
// must still give, for every query, the very list of the per-query scan (the same slots,
// the same distance bits, ties in slot order). Without one, search_batch is the per-query
// scan and the same checks hold.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "distance/distance.h"
#include "hnsw/hnsw_index.h"
#include "hnsw/nearest_k.h"
#include "support/graph_check.h"

namespace dralm {
namespace {

constexpr size_t kDim = 24;
constexpr size_t kRows = 2600;  // more than two row tiles of the batch scan

// Small integer components, so many distances tie exactly; rows copied with one
// component moved by one ulp, so some differ only in the last bits; zero rows; rows too
// long or not finite for the batch scan's bound, which it must re-rank rather than trust.
std::vector<float> tricky_rows(Metric metric) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> small(0, 2);
  std::vector<float> rows(kRows * kDim);
  for (float& x : rows) x = float(small(rng));
  for (size_t r = 100; r < 400; r += 3) {
    std::copy_n(rows.begin() + (r - 1) * kDim, kDim, rows.begin() + r * kDim);
    float& x = rows[r * kDim + r % kDim];
    x = std::nextafter(x, 3.0f);
  }
  for (size_t r = 500; r < 520; ++r) std::fill_n(rows.begin() + r * kDim, kDim, 0.0f);
  rows[600 * kDim] = 1e20f;
  // A NaN row sorts last; with the dot product it would also be last for the scan.
  if (metric != Metric::DotProduct) rows[700 * kDim + 3] = NAN;
  return rows;
}

std::vector<float> tricky_queries(const std::vector<float>& rows) {
  std::vector<float> queries;
  for (size_t r : {0, 101, 102, 250, 333, 512, 1500, 2599}) {  // stored rows, one zero
    queries.insert(queries.end(), rows.begin() + r * kDim, rows.begin() + (r + 1) * kDim);
  }
  std::mt19937 rng(8);
  std::normal_distribution<float> normal(1.0f, 1.0f);
  for (size_t i = 0; i < 24 * kDim; ++i) queries.push_back(normal(rng));
  return queries;
}

// The per-query scan's own distance for every slot, then the live slots ordered by
// (distance, slot): what any exact scan must return, independently of the selection.
std::vector<Hit> oracle(const HnswIndex& index, std::span<const float> query, uint64_t k,
                        const std::vector<bool>& deleted) {
  const size_t n = index.node_count();
  std::vector<float> dist;
  if (std::find(deleted.begin(), deleted.end(), true) == deleted.end()) {
    const std::vector<float> vectors = testing::stored_vectors(index);
    dist = batch_distances(query, vectors, kDim, index.norms(), index.metric());
  } else {
    for (size_t s = 0; s < n; ++s) {
      dist.push_back(distance(query, index.vector(Slot(s)), index.metric()));
    }
  }
  std::vector<Hit> all;
  for (size_t s = 0; s < n; ++s) {
    if (!deleted[s]) all.push_back({Slot(s), dist[s]});
  }
  std::sort(all.begin(), all.end(), detail::scan_before);
  all.resize(std::min<size_t>(all.size(), k));
  return all;
}

void expect_same_list(const std::vector<Hit>& got, const std::vector<Hit>& want,
                      const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(got[i].slot, want[i].slot) << what << " position " << i;
    EXPECT_EQ(std::bit_cast<uint32_t>(got[i].distance), std::bit_cast<uint32_t>(want[i].distance))
        << what << " position " << i << ": " << got[i].distance << " vs " << want[i].distance;
  }
}

class BatchScanTest : public ::testing::TestWithParam<std::tuple<Metric, bool>> {};

TEST_P(BatchScanTest, EqualsPerQueryScanWithTiesInSlotOrder) {
  const auto [metric, with_deletions] = GetParam();
  HnswIndex index({kDim, metric, 8, 20});
  const std::vector<float> rows = tricky_rows(metric);
  index.insert_batch(rows);
  ASSERT_TRUE(index.uses_brute_force());
  std::vector<bool> deleted(kRows, false);
  if (with_deletions) {
    for (Slot s : {0u, 101u, 103u, 1024u, 2000u, 2599u}) {
      index.mark_deleted(s);
      deleted[s] = true;
    }
  }
  const std::vector<float> queries = tricky_queries(rows);
  const size_t query_count = queries.size() / kDim;
  for (uint64_t k : {1, 10, 150}) {
    const auto batch = index.search_batch(queries, k, 10);
    ASSERT_EQ(batch.size(), query_count);
    for (size_t q = 0; q < query_count; ++q) {
      const std::span<const float> query(queries.data() + q * kDim, kDim);
      const std::string what = "k " + std::to_string(k) + " query " + std::to_string(q);
      const std::vector<Hit> single = index.search(query, k, 10);
      expect_same_list(batch[q], single, what + " (batch vs single)");
      expect_same_list(single, oracle(index, query, k, deleted), what + " (single vs oracle)");
    }
  }
}

INSTANTIATE_TEST_SUITE_P(MetricsAndDeletions, BatchScanTest,
                         ::testing::Combine(::testing::Values(Metric::Cosine, Metric::Euclidean,
                                                              Metric::DotProduct),
                                            ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(metric_name(std::get<0>(info.param))) +
                                  (std::get<1>(info.param) ? "_deletions" : "");
                         });

}  // namespace
}  // namespace dralm
