// What one distance of the graph walk costs per kernel, with the rows where the walk
// finds them: scattered over a matrix larger than the caches, a few rows fetched ahead
// (as visit_fresh_neighbours does), and, for comparison, hot in L1. Answers whether a
// cheaper cosine traversal (one dot product on stored unit vectors instead of the
// three sums of the cosine kernel) would pay: when the scattered figures of the cosine
// and dot kernels are close, the walk waits on memory and the two extra sums are free.
//
// Usage: taskset -c 0 walk_kernel_bench [rows=60000] [dim=784] [distances=2000000]
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "distance/float_kernels.h"

namespace {

// Thread CPU time: on a shared machine the wall clock also counts other processes.
double cpu_ns() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

constexpr size_t kAhead = 8;  // rows fetched ahead, as the walk does
constexpr size_t kLines = 8;  // cache lines fetched of each

double ns_per_distance(dralm::FloatDistanceFn kernel, const std::vector<float>& rows, size_t dim,
                       const std::vector<uint32_t>& order, const float* query, float& sink) {
  const double start = cpu_ns();
  for (size_t i = 0; i < order.size(); ++i) {
    if (i + kAhead < order.size()) {
      const char* p = reinterpret_cast<const char*>(rows.data() + size_t{order[i + kAhead]} * dim);
      for (size_t line = 0; line < kLines && line * 16 < dim; ++line)
        __builtin_prefetch(p + 64 * line);
    }
    sink += kernel(query, rows.data() + size_t{order[i]} * dim, dim);
  }
  return (cpu_ns() - start) / static_cast<double>(order.size());
}

}  // namespace

int main(int argc, char** argv) {
  const size_t n = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 60000;
  const size_t dim = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 784;
  const size_t count = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 2000000;
  std::mt19937 rng(5);
  std::normal_distribution<float> normal;
  std::vector<float> rows(n * dim), query(dim);
  for (float& x : rows) x = normal(rng);
  for (float& x : query) x = normal(rng);
  std::uniform_int_distribution<uint32_t> pick(0, static_cast<uint32_t>(n - 1));
  std::vector<uint32_t> scattered(count), hot(count);
  for (uint32_t& s : scattered) s = pick(rng);
  for (size_t i = 0; i < count; ++i) hot[i] = static_cast<uint32_t>(i % 4);

  const dralm::FloatKernels& k = dralm::float_kernels();
  const struct {
    const char* name;
    dralm::FloatDistanceFn fn;
  } kernels[] = {{"cosine", k.cosine}, {"euclidean", k.euclidean}, {"dot", k.dot_product}};
  float sink = 0;
  std::printf("%zu rows x %zu dims, %zu distances each, thread CPU time per distance\n", n, dim,
              count);
  for (int round = 0; round < 2; ++round) {
    for (const auto& kernel : kernels) {
      const double far = ns_per_distance(kernel.fn, rows, dim, scattered, query.data(), sink);
      const double near = ns_per_distance(kernel.fn, rows, dim, hot, query.data(), sink);
      std::printf("%-10s scattered %7.1f ns   hot %6.1f ns\n", kernel.name, far, near);
    }
  }
  return sink == 12345.0f ? 1 : 0;  // keeps the distances from being optimised away
}
