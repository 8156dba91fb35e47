// Findability of graphs grown in small steps, over several seeds: for each seed, metric
// (l2, cosine), way in (one add at a time, batches of 100) and cluster spread (0.5, 0.2),
// 3,000 clustered 16-d vectors and then 20 far outliers one at a time, and the vectors a
// k 1 search for their own vector at the default beam (200) misses.
//
// Usage: reach_sweep [m=6] [ef_construction=24] [seeds=6]
// Prints one line per build that misses any vector, then how many of the builds did.
//
// reach_sweep --outlier-batch [runs=40] [m=12] [ef_construction=48]: for each run a new
// data set (20,000 × 64, 50 clusters of spread 0.3, cosine) built in one batch, then 20
// far outliers in one batch; the vectors missed before and after the outliers, which
// outliers joined the upper layers, how many layer-0 lists the outliers made drop a
// link, and how many of the missed vectors' descents from the entry now end farther
// from them than before (at an outlier, or in another region). The levels are drawn
// from seed 7000 + run; under `taskset -c 0` (one worker) each run's build repeats
// exactly, so two builds of the engine compare run by run.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "hnsw/graph.h"
#include "hnsw/hnsw_index.h"
#include "hnsw/in_links.h"
#include "hnsw/index_internals.h"
#include "hnsw/traversal.h"
#include "support/graph_check.h"
#include "util/random.h"

namespace {

constexpr size_t kDim = 16, kCount = 3000, kClusters = 12, kOutliers = 20, kBatch = 100;

using Lists = std::vector<std::vector<dralm::Slot>>;

// Every node's layer-0 list.
Lists layer0_lists(const dralm::HnswIndex::Snapshot& snap) {
  Lists lists(snap.graph.node_count());
  for (dralm::Slot s = 0; s < lists.size(); ++s) {
    const dralm::Slot* list = snap.graph.list(s, 0);
    lists[s].assign(list, list + dralm::list_length(list, snap.graph.cap0));
  }
  return lists;
}

// Where the greedy descent from the entry for node s's own vector reaches layer 0, and
// how far that node lies from s.
dralm::Hit descent_end(const dralm::HnswIndex::Snapshot& snap, size_t dim, dralm::Slot s) {
  const dralm::detail::ExactDistance<dralm::Metric::Cosine> dist(
      snap.vectors, dim, dralm::row_as<float>(snap.vectors, s));
  const dralm::Slot end = dralm::detail::descend(snap.graph, dist, snap.entry, snap.max_level,
                                                 dralm::detail::thread_scratch());
  return {end, dist(end)};
}

int outlier_batches(int argc, char** argv) {
  const uint64_t runs = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 40;
  const uint64_t m = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 12;
  const uint64_t ef_construction = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 48;
  constexpr size_t kRows = 20000, kWide = 64;
  size_t missing_runs = 0;
  for (uint64_t run = 0; run < runs; ++run) {
    const std::vector<float> data =
        dralm::testing::clustered_data(kRows, kWide, 50, 1000 + run, 0.3f);
    dralm::seed_thread_random(7000 + run);  // the same levels in every repeat of the run
    dralm::HnswIndex index(
        dralm::testing::index_params(kWide, dralm::Metric::Cosine, m, ef_construction));
    index.insert_batch(data);
    const size_t before = dralm::testing::self_search_misses(index, 200).size();
    const dralm::HnswIndex::Snapshot built = dralm::IndexInternals::snapshot(index);
    const Lists lists_before = layer0_lists(built);
    std::vector<dralm::Hit> ends_before(kRows);
    for (dralm::Slot s = 0; s < kRows; ++s) ends_before[s] = descent_end(built, kWide, s);
    index.insert_batch(dralm::testing::far_outliers(data, kWide, kOutliers, 4242 + run));
    const std::vector<dralm::Slot> after = dralm::testing::self_search_misses(index, 200);
    if (before == 0 && after.empty()) continue;
    ++missing_runs;
    const size_t outliers_missed =
        size_t(std::count_if(after.begin(), after.end(), [](dralm::Slot s) { return s >= kRows; }));
    std::printf(
        "run %llu: %zu missed before the outliers, %zu after (%zu outliers); "
        "outliers above layer 0:",
        (unsigned long long)run, before, after.size(), outliers_missed);
    const dralm::HnswIndex::Snapshot snap = dralm::IndexInternals::snapshot(index);
    for (size_t i = 0; i < kOutliers; ++i) {
      const uint64_t level = snap.graph.level(static_cast<dralm::Slot>(kRows + i));
      if (level > 0) std::printf(" %zu (level %llu)", i, (unsigned long long)level);
    }
    std::printf(" of %llu levels\n", (unsigned long long)index.max_level() + 1);
    const Lists lists_after = layer0_lists(snap);
    size_t dropping = 0;
    for (dralm::Slot s = 0; s < kRows; ++s) {
      dropping += std::any_of(lists_before[s].begin(), lists_before[s].end(), [&](dralm::Slot x) {
        return !dralm::detail::listed(lists_after[s], x);
      });
    }
    size_t diverted = 0, at_outlier = 0;
    for (const dralm::Slot s : after) {
      if (s >= kRows) continue;
      const dralm::Hit end = descent_end(snap, kWide, s);
      diverted += end.distance > ends_before[s].distance;
      at_outlier += end.slot >= kRows;
    }
    std::printf(
        "  lists that dropped a link: %zu; descents of missed vectors ending farther than "
        "before: %zu of %zu (at an outlier: %zu)\n",
        dropping, diverted, after.size() - outliers_missed, at_outlier);
  }
  std::printf("m %llu, ef_construction %llu: %zu of %llu runs miss vectors\n",
              (unsigned long long)m, (unsigned long long)ef_construction, missing_runs,
              (unsigned long long)runs);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--outlier-batch") return outlier_batches(argc, argv);
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
