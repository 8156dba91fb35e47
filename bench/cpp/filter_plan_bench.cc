// Measures the step costs the filtered-search planner weighs (db/filter_planner.h), and
// checks its model of the filtered walk, on synthetic clustered data, one thread:
//
//   - exact scan: time per slot of HnswIndex::search_slots over a sorted random subset,
//     per dimension; fitted as fixed + per_dim * dim;
//   - walk: time of the unfiltered graph walk per unit of beam width, per dimension,
//     fitted the same way, and the nodes the walk tests per unit of beam width;
//   - the filtered walk at shares 50 %, 10 % and 1 %: measured time against the model
//     (unfiltered time / share), and its recall against the exact answer;
//   - one filter evaluation (matches) on a small metadata object, and one bit test.
//
// Usage: taskset -c 0 filter_plan_bench [floats=8000000] [queries=300]
// Each dimension gets floats / dim vectors (at least 20,000), so the vectors outgrow the
// caches at every dimension, as they do above the brute-force threshold.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>
#include <vector>

#include "distance/distance.h"
#include "filter/filter.h"
#include "hnsw/hnsw_index.h"
#include "hnsw/index_internals.h"
#include "json/json.h"
#include "support/graph_check.h"

namespace {

using dralm::Hit;
using dralm::Slot;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Least-squares line y = a + b x.
std::pair<double, double> fit(const std::vector<double>& x, const std::vector<double>& y) {
  const double n = double(x.size());
  double sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    sx += x[i];
    sy += y[i];
    sxx += x[i] * x[i];
    sxy += x[i] * y[i];
  }
  const double b = (n * sxy - sx * sy) / (n * sxx - sx * sx);
  return {(sy - b * sx) / n, b};
}

size_t sink = 0;  // printed at the end, so no work is optimised away

}  // namespace

int main(int argc, char** argv) {
  const size_t floats = argc > 1 ? size_t(std::atof(argv[1])) : 8'000'000;
  const size_t nq = argc > 2 ? size_t(std::atof(argv[2])) : 300;
  dralm::init_distance_kernels();
  const uint64_t ef = 100;
  const size_t k = 10;

  std::vector<double> dims, exact_ns, walk_ns_per_ef, tests_per_ef;
  std::printf(
      "| dim | n | exact ns/slot | walk ns/ef | tests/ef | share | model ns | "
      "filtered ns | recall@10 |\n|---|---|---|---|---|---|---|---|---|\n");
  for (const size_t dim : {16, 64, 256, 784}) {
    const size_t n = std::max<size_t>(20'000, floats / dim);
    const std::vector<float> data = dralm::testing::clustered_data(n, dim, 50, 1, 1.0f, 77);
    const std::vector<float> queries = dralm::testing::clustered_data(nq, dim, 50, 2, 1.0f, 77);
    dralm::HnswIndex index({dim, dralm::Metric::Euclidean, 16, 100});
    index.insert_batch(data);

    // Exact scan over a sorted random 10 % subset.
    std::mt19937 rng(5);
    std::vector<Slot> subset;
    for (Slot s = 0; s < n; ++s) {
      if (rng() % 10 == 0) subset.push_back(s);
    }
    auto start = Clock::now();
    for (size_t q = 0; q < nq; ++q) {
      sink += index.search_slots({queries.data() + q * dim, dim}, k, subset).size();
    }
    const double exact = seconds_since(start) * 1e9 / double(nq * subset.size());

    // Unfiltered walk, and the nodes a filtered walk that accepts everything tests.
    start = Clock::now();
    for (size_t q = 0; q < nq; ++q) {
      sink +=
          dralm::IndexInternals::graph_search(index, {queries.data() + q * dim, dim}, k, ef).size();
    }
    const double walk = seconds_since(start) * 1e9 / double(nq);
    size_t tests = 0;
    const dralm::AcceptFn count_all = [&tests](Slot) { return ++tests, true; };
    for (size_t q = 0; q < nq; ++q) {
      sink += dralm::IndexInternals::graph_search(index, {queries.data() + q * dim, dim}, k, ef,
                                                  &count_all)
                  .size();
    }
    dims.push_back(double(dim));
    exact_ns.push_back(exact);
    walk_ns_per_ef.push_back(walk / double(ef));
    tests_per_ef.push_back(double(tests) / double(nq * ef));

    for (const size_t per : {2, 10, 100}) {
      const dralm::AcceptFn accept = [per](Slot s) { return s % per == 0; };
      std::vector<Slot> allowed;
      for (Slot s = 0; s < n; s += Slot(per)) allowed.push_back(s);
      double found = 0;
      start = Clock::now();
      std::vector<std::vector<Hit>> got(nq);
      for (size_t q = 0; q < nq; ++q) {
        got[q] = dralm::IndexInternals::graph_search(index, {queries.data() + q * dim, dim}, k, ef,
                                                     &accept);
      }
      const double filtered = seconds_since(start) * 1e9 / double(nq);
      for (size_t q = 0; q < nq; ++q) {
        const std::vector<Hit> truth =
            index.search_slots({queries.data() + q * dim, dim}, k, allowed);
        std::set<Slot> want;
        for (const Hit& h : truth) want.insert(h.slot);
        for (const Hit& h : got[q]) found += double(want.count(h.slot));
      }
      std::printf("| %zu | %zu | %.1f | %.1f | %.2f | %.0f %% | %.0f | %.0f | %.4f |\n", dim, n,
                  exact, walk / double(ef), tests_per_ef.back(), 100.0 / double(per),
                  walk * double(per), filtered, found / double(nq * k));
    }
  }
  const auto [exact_fixed, exact_per_dim] = fit(dims, exact_ns);
  const auto [walk_fixed, walk_per_dim] = fit(dims, walk_ns_per_ef);
  double tests = 0;
  for (double t : tests_per_ef) tests += t;
  std::printf("\nexact scan per slot: %.1f + %.4f * dim ns\n", exact_fixed, exact_per_dim);
  std::printf("walk per unit of ef: %.1f + %.4f * dim ns; %.2f nodes tested per unit of ef\n",
              walk_fixed, walk_per_dim, tests / double(tests_per_ef.size()));

  // One filter evaluation on a five-field object like the benchmark's metadata.
  std::vector<std::optional<dralm::JsonValue>> metadata;
  std::mt19937 rng(9);
  for (size_t i = 0; i < 100'000; ++i) {
    metadata.push_back(dralm::parse_json("{\"bucket\":" + std::to_string(i % 100) +
                                         ",\"label\":" + std::to_string(rng() % 10) +
                                         ",\"price\":" + std::to_string((rng() % 1000) / 1000.0) +
                                         ",\"shard\":" + std::to_string(i % 1000) +
                                         ",\"tag\":\"x\"}")
                           .value());
  }
  const dralm::FilterExpr range =
      dralm::FilterExpr::range(dralm::FilterExpr::Kind::Lt, "price", 0.1);
  auto start = Clock::now();
  size_t hits = 0;
  for (int rep = 0; rep < 5; ++rep) {
    for (const auto& m : metadata) hits += dralm::matches(range, m);
  }
  const double match = seconds_since(start) * 1e9 / double(5 * metadata.size());
  std::vector<uint64_t> bits((metadata.size() + 63) / 64, 0x5555);
  start = Clock::now();
  for (int rep = 0; rep < 50; ++rep) {
    for (size_t i = 0; i < metadata.size(); ++i) {
      hits += (bits[(i * 7919 % metadata.size()) >> 6] >> (i & 63)) & 1;
    }
  }
  const double bit = seconds_since(start) * 1e9 / double(50 * metadata.size());
  sink += hits;
  std::printf("matches (range on a 5-field object): %.1f ns; bit test: %.2f ns (checksum %zu)\n",
              match, bit, sink);
  return 0;
}
