// Build throughput, then queries per second and recall@10 of the graph search at
// several beam widths, with full-precision and SQ8 traversal, on synthetic clustered
// data. Threads: the worker pool follows the process's CPU affinity, so
// `taskset -c 0 hnsw_bench` measures one thread.
//
// Usage: hnsw_bench [--outliers N] [--batch N] [count=100000] [dim=128] [clusters=100] [spread=1.5]
//                   [queries=1000] [m=16] [ef_construction=200] [metric=euclidean]
//                   [base.f32 queries.f32]
// With the two files (raw little-endian float32 rows of `dim`), the data and queries come
// from them instead (count and queries then cap how many rows are read).
// --batch N inserts the data in batches of N (a graph grown in small steps); one batch
// otherwise.
// --outliers N adds N vectors after the data, one batch, drawn around the data's mean with
// four times its standard deviation in every coordinate: points far from every other,
// which the pruning of full lists is most likely to leave without an incoming link.
//
// Reachability: after the build, the nodes a walk over layer-0 links from the entry never
// reaches, and self-recall@1 (every vector searched for with k 1 at the default beam of a
// one-result search, 200; found when the top hit is the vector itself or one at the same distance).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "distance/distance.h"
#include "hnsw/hnsw_index.h"
#include "hnsw/index_internals.h"
#include "support/graph_check.h"
#include "util/worker_pool.h"

namespace {

using dralm::Hit;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// CPU seconds used by the whole process: on a shared machine, wall time includes time
// spent waiting for a processor, so figures are also given per CPU second.
double process_cpu_seconds() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

std::vector<std::vector<dralm::Slot>> ground_truth(const dralm::HnswIndex& index,
                                                   const std::vector<float>& queries, size_t k) {
  const size_t dim = index.dim();
  const size_t nq = queries.size() / dim;
  std::vector<std::vector<dralm::Slot>> truth(nq);
  dralm::parallel_for(nq, [&](size_t q) {
    const std::vector<Hit> hits =
        dralm::IndexInternals::scan(index, {queries.data() + q * dim, dim}, k);
    for (const Hit& h : hits) truth[q].push_back(h.slot);
  });
  return truth;
}

// search_batch as it runs above the brute-force threshold, whatever the data size:
// one graph search per query on the worker pool.
std::vector<std::vector<Hit>> graph_batch(const dralm::HnswIndex& index,
                                          const std::vector<float>& queries, size_t k,
                                          uint64_t ef) {
  const size_t dim = index.dim();
  std::vector<std::vector<Hit>> results(queries.size() / dim);
  dralm::parallel_for(results.size(), [&](size_t q) {
    results[q] = dralm::IndexInternals::graph_search(index, {queries.data() + q * dim, dim}, k, ef);
  });
  return results;
}

double recall(const std::vector<std::vector<Hit>>& found,
              const std::vector<std::vector<dralm::Slot>>& truth) {
  size_t hit = 0, total = 0;
  for (size_t q = 0; q < truth.size(); ++q) {
    const std::set<dralm::Slot> want(truth[q].begin(), truth[q].end());
    for (const Hit& h : found[q]) hit += want.count(h.slot);
    total += truth[q].size();
  }
  return total == 0 ? 1.0 : double(hit) / double(total);
}

// Up to `most` rows of `dim` floats from a raw float32 file.
std::vector<float> read_rows(const char* path, size_t dim, size_t most) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path);
    std::exit(2);
  }
  std::vector<float> rows(dim * most);
  in.read(reinterpret_cast<char*>(rows.data()), std::streamsize(rows.size() * sizeof(float)));
  rows.resize(size_t(in.gcount()) / sizeof(float) / dim * dim);
  return rows;
}

}  // namespace

int main(int argc, char** argv) {
  size_t outlier_count = 0, batch = 0;
  while (argc > 2 && (std::string(argv[1]) == "--outliers" || std::string(argv[1]) == "--batch")) {
    (std::string(argv[1]) == "--outliers" ? outlier_count : batch) =
        static_cast<size_t>(std::atof(argv[2]));
    argv[2] = argv[0];
    argv += 2;
    argc -= 2;
  }
  auto arg = [&](int i, double fallback) { return argc > i ? std::atof(argv[i]) : fallback; };
  const size_t count = static_cast<size_t>(arg(1, 100000));
  const size_t dim = static_cast<size_t>(arg(2, 128));
  const size_t clusters = static_cast<size_t>(arg(3, 100));
  const float spread = static_cast<float>(arg(4, 1.5));
  const size_t nq = static_cast<size_t>(arg(5, 1000));
  const uint64_t m = static_cast<uint64_t>(arg(6, 16));
  const uint64_t ef_construction = static_cast<uint64_t>(arg(7, 200));
  const std::string metric_text = argc > 8 ? argv[8] : "euclidean";
  const auto metric = dralm::metric_from_name(metric_text);
  if (!metric) {
    std::fprintf(stderr, "unknown metric %s\n", metric_text.c_str());
    return 2;
  }
  dralm::init_distance_kernels();

  std::vector<float> data, queries;
  if (argc > 10) {
    data = read_rows(argv[9], dim, count);
    queries = read_rows(argv[10], dim, nq);
    std::printf("data: %s, %zu x %zu; queries: %s, %zu\n", argv[9], data.size() / dim, dim,
                argv[10], queries.size() / dim);
  } else {
    // Data and queries share their cluster centres (centre seed 1234).
    data = dralm::testing::clustered_data(count, dim, clusters, 1, spread, 1234);
    queries = dralm::testing::clustered_data(nq, dim, clusters, 2, spread, 1234);
    std::printf("data: synthetic clustered %zu x %zu (%zu clusters, spread %.2f)\n", count, dim,
                clusters, spread);
  }
  std::printf("%s, m %llu, ef_construction %llu, threads %zu\n", metric_text.c_str(),
              (unsigned long long)m, (unsigned long long)ef_construction, dralm::worker_count());

  dralm::HnswIndex index({dim, *metric, m, ef_construction});
  const auto build_start = Clock::now();
  const double build_cpu_start = process_cpu_seconds();
  if (batch == 0) batch = count;
  for (size_t first = 0; first < data.size(); first += batch * dim) {
    index.insert_batch({data.data() + first, std::min(batch * dim, data.size() - first)});
  }
  const double build = seconds_since(build_start);
  const double build_cpu = process_cpu_seconds() - build_cpu_start;
  const size_t built = index.node_count();
  std::printf("build: %.2f s wall, %.0f vectors/s; %.2f CPU s, %.0f vectors per CPU s\n", build,
              built / build, build_cpu, built / build_cpu);
  if (outlier_count > 0) {
    index.insert_batch(dralm::testing::far_outliers(data, dim, outlier_count, 4242));
    std::printf("outliers: %zu added at 4x the data's spread (slots %zu..)\n", outlier_count,
                built);
  }
  const size_t total = index.node_count();
  const size_t unreachable = dralm::testing::unreachable_count(index);
  std::printf("unreachable from the entry on layer 0: %zu of %zu (%.3f %%)\n", unreachable, total,
              100.0 * double(unreachable) / double(total));
  const std::vector<dralm::Slot> misses = dralm::testing::self_search_misses(index, 200);
  const size_t outlier_misses = size_t(
      std::count_if(misses.begin(), misses.end(), [&](dralm::Slot s) { return s >= built; }));
  std::printf("self-recall@1 at ef 200: %.5f (%zu of %zu missed, %zu of them outliers)\n",
              1.0 - double(misses.size()) / double(total), misses.size(), total, outlier_misses);

  const auto truth = ground_truth(index, queries, 10);
  std::printf(
      "\n| traversal | ef  | recall@10 | QPS (wall) | queries per CPU s |\n"
      "|---|---|---|---|---|\n");
  for (const int bits : {0, 8, 4}) {  // float, SQ8, 4-bit codes
    if (bits != 0) {
      const auto train_start = Clock::now();
      index.enable_quantization(bits);
      std::printf("(%d-bit training + encoding: %.2f s)\n", bits, seconds_since(train_start));
    }
    for (const uint64_t ef : {10, 20, 50, 100, 200}) {
      // Warm-up pass, then the best of three timed passes.
      auto results = graph_batch(index, queries, 10, ef);
      double best = 1e30, best_cpu = 1e30;
      for (int rep = 0; rep < 3; ++rep) {
        const auto start = Clock::now();
        const double cpu_start = process_cpu_seconds();
        results = graph_batch(index, queries, 10, ef);
        best = std::min(best, seconds_since(start));
        best_cpu = std::min(best_cpu, process_cpu_seconds() - cpu_start);
      }
      std::printf("| %-9s | %3llu | %.4f    | %10.0f | %17.0f |\n",
                  bits == 0   ? "float"
                  : bits == 8 ? "sq8"
                              : "sq4",
                  (unsigned long long)ef, recall(results, truth), truth.size() / best,
                  truth.size() / best_cpu);
    }
  }
  return 0;
}
