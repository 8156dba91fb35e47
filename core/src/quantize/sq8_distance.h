// Traversal distances straight from SQ8 codes. A query is prepared once per search for
// the quantizer (Sq8Query), folding the per-dimension mins and steps into it where the
// metric allows, so the fused kernel reads the codes and at most two float arrays and
// spends one or two multiply-adds per dimension:
//   euclidean  Σ ((q - min) - code * step)²
//   dot        -(Σ (q * step) * code + Σ q * min)
//   cosine     1 - q·x / (|q| |x|) with x = code * step + min decoded in the kernel
// The values equal distance() on the decoded vector up to float rounding, which only
// traversal sees: reported distances are always exact.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "distance/metric.h"
#include "quantize/sq8.h"

namespace dralm {

// A query prepared for one quantizer and metric. Holds copies: it stays valid while
// the quantizer changes, but then measures against the old one.
struct Sq8Query {
  Metric metric = Metric::Euclidean;
  std::vector<float> values;  // euclidean: q - min; dot: q * step; cosine: q
  float offset = 0;           // dot: Σ q * min
  float query_sq = 0;         // cosine: Σ q²
};

// Prepares `query` (q.dim floats) into `out`, reusing its storage.
void prepare_sq8_query(const Sq8Quantizer& q, Metric metric, const float* query, Sq8Query& out);

using Sq8DistanceFn = float (*)(const Sq8Query& query, const uint8_t* codes, const float* mins,
                                const float* scales, size_t dim);

// The kernel for `metric`, chosen once for this processor (AVX-512, AVX2 or portable).
Sq8DistanceFn sq8_distance_fn(Metric metric);
// The portable kernel, for comparison in tests.
Sq8DistanceFn sq8_distance_fn_portable(Metric metric);

}  // namespace dralm
