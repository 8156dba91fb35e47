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
#include <span>
#include <vector>

#include "distance/metric.h"
#include "quantize/sq8.h"

namespace dralm {

// A query prepared for one quantizer and metric. Holds copies: it stays valid while
// the quantizer changes, but then measures against the old one.
//
// Values keep the data's own units while every sum stays far inside the float range.
// Beyond that (values near 1e9 / sqrt(dim) and above, up to the ends of the float range)
// the quantizer's values and the query are scaled by powers of two, which keeps every
// sum finite and the codes in their order; `unit` then says how the kernel's value
// relates to the distance of the decoded vector. A dimension with the overflow step
// (kOverflowStep) is measured with the largest ordinary step instead (see
// prepare_sq8_query), so it cannot swamp the others.
struct Sq8Query {
  Metric metric = Metric::Euclidean;
  std::vector<float> values;  // euclidean: (q - min) e; dot: q f step e; cosine: q f
  std::vector<float> steps;   // step e
  std::vector<float> mins;    // min e
  float offset = 0;           // dot: sum of q f min e
  float query_sq = 0;         // cosine: sum of (q f)^2
  // Kernel value = decoded distance * unit (euclidean e^2, dot e f, cosine 1).
  double unit = 1;
  std::vector<double> scratch_steps, scratch_mins, scratch_query;  // reused by prepare
};

// Prepares `query` (q.dim floats) into `out`, reusing its storage.
void prepare_sq8_query(const Sq8Quantizer& q, Metric metric, const float* query, Sq8Query& out);

using Sq8DistanceFn = float (*)(const Sq8Query& query, const uint8_t* codes, size_t dim);

// One implementation of the three kernels, named for tests ("avx512", "avx2", "portable").
struct Sq8KernelVariant {
  const char* name;
  Sq8DistanceFn cosine;
  Sq8DistanceFn euclidean;
  Sq8DistanceFn dot_product;
  Sq8DistanceFn for_metric(Metric metric) const {
    return metric == Metric::Cosine      ? cosine
           : metric == Metric::Euclidean ? euclidean
                                         : dot_product;
  }
};

// Every variant this build holds that this processor runs, fastest first, portable last.
std::span<const Sq8KernelVariant> sq8_kernel_variants();
// The kernel for `metric`, chosen once for this processor: the first variant's.
Sq8DistanceFn sq8_distance_fn(Metric metric);

}  // namespace dralm
