// Full-precision per-pair distance kernels of the three metrics, chosen once for this
// processor (AVX-512, AVX2 with FMA, or portable C++). Every per-pair distance in the
// engine goes through them: the graph walk, linking, re-ranking and distance().
//
// Each kernel keeps several independent partial sums, so a long vector is not one
// chain of dependent additions: at 784 floats that chain, not memory, would bound how
// fast a row already in cache is reduced.
#pragma once

#include <cstddef>

#include "distance/metric.h"

namespace dralm {

// Distance between two vectors of n floats in the metric's units (1 - cos, squared
// euclidean, negated dot product). Pure, allocation-free, thread-safe.
using FloatDistanceFn = float (*)(const float* a, const float* b, size_t n);

struct FloatKernels {
  FloatDistanceFn cosine;
  FloatDistanceFn euclidean;
  FloatDistanceFn dot_product;

  FloatDistanceFn for_metric(Metric metric) const {
    switch (metric) {
      case Metric::Cosine:
        return cosine;
      case Metric::Euclidean:
        return euclidean;
      case Metric::DotProduct:
        break;
    }
    return dot_product;  // any code past Euclidean is the dot product
  }
};

// The kernels for this processor, chosen on the first call.
const FloatKernels& float_kernels();
// The portable kernels, for comparison in tests.
const FloatKernels& float_kernels_portable();

// Turns the three sums of a cosine into 1 - ab / (|a| |b|), computed in double and kept
// in [0, 2], which rounding can leave by a few ulps. Two zero vectors are at 0, a zero
// vector and any other at 1; NaN sums give NaN (ordered last), never a match.
float cosine_from_sums(double ab, double aa, double bb);

}  // namespace dralm
