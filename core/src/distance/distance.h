// Distance kernels. Every distance is a float where smaller is closer:
// cosine 1 - cos, squared euclidean, negated dot product.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "distance/metric.h"

namespace dralm {

// The per-pair distance. Equal lengths go to the kernel the graph walk, linking and
// re-ranking use (metric_kernels.h); unequal lengths take a scalar double loop over
// a's length (b must be at least as long). Allocation-free, thread-safe.
float distance(std::span<const float> a, std::span<const float> b, Metric metric);

// Fast path for equal-length pointers (no span construction on the hot path).
float distance_n(const float* a, const float* b, size_t n, Metric metric);

// Dot product of `query` with each of `count` rows of `dim` floats in `data`, through
// the same dot-product kernel as the per-pair distance when the lengths are equal.
std::vector<float> batch_dot(std::span<const float> query, const float* data, size_t dim,
                             size_t count);

// Distance of `query` to every whole row of `data` using precomputed `norms`.
std::vector<float> batch_distances(std::span<const float> query, std::span<const float> data,
                                   size_t dim, std::span<const float> norms, Metric metric);

// The same distances for `count` rows starting at `data`, written to `out` (room for
// `count` floats); `norms` holds the rows' norms. The scan feeds it one small block at
// a time, so it never holds a distance for every row at once.
void batch_distances_into(std::span<const float> query, const float* data, size_t dim, size_t count,
                          const float* norms, Metric metric, float* out);

// sqrt of the single-precision sum of squares, in index order.
float vector_norm(std::span<const float> v);

// Prints the three-line brute-force notice to stderr once per process; prints nothing in
// a build with a BLAS (blas_gemm.h).
void brute_force_notice();

// Chooses the float kernels for this processor and fills SimSIMD's dispatch cache; call
// once at module init, before any thread runs.
void init_distance_kernels();

}  // namespace dralm
