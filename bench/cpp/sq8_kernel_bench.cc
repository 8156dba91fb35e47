// Time per distance of the SQ8 integer kernel (every variant this processor runs)
// against the float kernels, on rows that stay in cache and on rows scattered over a
// large array, as the graph walk reads them.
//
// Usage: sq8_kernel_bench [dim=784] [rows=60000] [metric=euclidean]
// Pin it to one core (taskset -c 0) on a shared machine.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "distance/float_kernels.h"
#include "distance/metric.h"
#include "quantize/sq8.h"
#include "quantize/sq8_distance.h"
#include "quantize/sq8_rows.h"

namespace {

using Clock = std::chrono::steady_clock;

// Nanoseconds per call of f(i) over the visiting order, best of 40 short passes (a shared machine
// preempts long ones).
template <class F>
double ns_per_call(const std::vector<uint32_t>& order, F&& f) {
  double best = 1e30;
  volatile float sink = 0;
  for (int pass = 0; pass < 40; ++pass) {
    float sum = 0;
    const auto start = Clock::now();
    for (const uint32_t i : order) sum += f(i);
    const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
    sink = sink + sum;
    best = std::min(best, ns / double(order.size()));
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t dim = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 784;
  const size_t rows = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 60000;
  const std::string metric_name = argc > 3 ? argv[3] : "euclidean";
  const dralm::Metric metric =
      dralm::metric_from_name(metric_name).value_or(dralm::Metric::Euclidean);
  std::mt19937 rng(1);
  std::uniform_real_distribution<float> pixel(0.0f, 255.0f);
  std::vector<float> data(dim * rows), query(dim);
  for (float& x : data) x = pixel(rng);
  for (float& x : query) x = pixel(rng);
  const dralm::QuantizedState state = dralm::encode_state(dralm::train(data, dim), metric, data);
  dralm::Sq8Query prepared;
  dralm::prepare_sq8_query(state.quantizer, state.format, query.data(), prepared);

  std::vector<uint32_t> hot(20000), scattered(20000);
  for (uint32_t& i : hot) i = rng() % 512;
  for (uint32_t& i : scattered) i = rng() % rows;
  std::printf("dim %zu, %zu rows (%zu row bytes, %zu float bytes), %s\n", dim, rows,
              state.format.row_bytes, dim * 4, metric_name.c_str());
  std::printf("| kernel | in cache, ns | scattered, ns |\n|---|---|---|\n");
  for (const dralm::FloatKernelVariant& v : dralm::float_kernel_variants()) {
    const dralm::FloatDistanceFn fn = v.kernels.for_metric(metric);
    auto call = [&](uint32_t i) { return fn(query.data(), data.data() + size_t(i) * dim, dim); };
    std::printf("| float %s | %.1f | %.1f |\n", v.name, ns_per_call(hot, call),
                ns_per_call(scattered, call));
  }
  for (const dralm::Sq8DotVariant& v : dralm::sq8_dot_variants()) {
    prepared.dot = v.dot;
    auto call = [&](uint32_t i) { return dralm::sq8_distance(prepared, state.row(i)); };
    std::printf("| sq8 int %s | %.1f | %.1f |\n", v.name, ns_per_call(hot, call),
                ns_per_call(scattered, call));
  }
  return 0;
}
