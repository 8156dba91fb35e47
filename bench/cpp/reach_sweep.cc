// Findability of graphs grown in small steps, over several seeds: for each seed, metric
// (l2, cosine), way in (one add at a time, batches of 100) and cluster spread (0.5, 0.2),
// 3,000 clustered 16-d vectors and then 20 far outliers one at a time, and the vectors a
// k 1 search for their own vector at the default beam (200) misses.
//
// Usage: reach_sweep [m=6] [ef_construction=24] [seeds=6]
// Prints one line per build that misses any vector, then how many of the builds did.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "hnsw/hnsw_index.h"
#include "support/graph_check.h"

namespace {

constexpr size_t kDim = 16, kCount = 3000, kClusters = 12, kOutliers = 20, kBatch = 100;

}  // namespace

int main(int argc, char** argv) {
  const uint64_t m = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 6;
  const uint64_t ef_construction = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 24;
  const uint64_t seeds = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 6;
  size_t builds = 0, missing_builds = 0, missed = 0;
  for (uint64_t seed = 1; seed <= seeds; ++seed) {
    for (const dralm::Metric metric : {dralm::Metric::Euclidean, dralm::Metric::Cosine}) {
      for (const bool single : {true, false}) {
        for (const float spread : {0.5f, 0.2f}) {
          std::vector<float> data =
              dralm::testing::clustered_data(kCount, kDim, kClusters, seed * 100, spread);
          dralm::HnswIndex index(dralm::testing::index_params(kDim, metric, m, ef_construction));
          for (size_t i = 0; i < kCount; i += single ? 1 : kBatch) {
            if (single) {
              index.insert({data.data() + i * kDim, kDim});
            } else {
              index.insert_batch({data.data() + i * kDim, kBatch * kDim});
            }
          }
          const std::vector<float> outliers =
              dralm::testing::far_outliers(data, kDim, kOutliers, seed);
          for (size_t i = 0; i < kOutliers; ++i) index.insert({outliers.data() + i * kDim, kDim});
          const std::vector<dralm::Slot> misses = dralm::testing::self_search_misses(index, 200);
          ++builds;
          if (misses.empty()) continue;
          ++missing_builds;
          missed += misses.size();
          std::printf("seed %llu, %s, %s, spread %.1f: %zu missed (", (unsigned long long)seed,
                      metric == dralm::Metric::Cosine ? "cosine" : "l2",
                      single ? "single adds" : "batches of 100", spread, misses.size());
          for (size_t i = 0; i < misses.size(); ++i) std::printf(i ? ", %u" : "%u", misses[i]);
          std::printf(")\n");
        }
      }
    }
  }
  std::printf("m %llu, ef_construction %llu: %zu of %zu builds miss vectors, %zu in all\n",
              (unsigned long long)m, (unsigned long long)ef_construction, missing_builds, builds,
              missed);
  return 0;
}
