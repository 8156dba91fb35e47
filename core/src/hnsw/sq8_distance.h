// Traversal distances straight from SQ8 codes: each code is decoded (code * scale, then
// + min, rounded separately) inside the metric's arithmetic instead of into a scratch
// array first. The values equal distance() on the decoded vector up to the order of
// float additions, which only traversal sees: reported distances are always exact.
#pragma once

#include <cstddef>
#include <cstdint>

#include "distance/metric.h"

namespace dralm {

// `query_norm_sq` is the sum of the query's squares (used by Cosine only).
using Sq8DistanceFn = float (*)(const float* query, const uint8_t* codes, const float* mins,
                                const float* scales, size_t dim, float query_norm_sq);

// The kernel for `metric`, chosen once for this processor (AVX-512, AVX2 or portable).
Sq8DistanceFn sq8_distance_fn(Metric metric);
// The portable kernel, for comparison in tests.
Sq8DistanceFn sq8_distance_fn_portable(Metric metric);

}  // namespace dralm
