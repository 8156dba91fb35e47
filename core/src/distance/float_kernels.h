// Full-precision per-pair distance kernels of the three metrics, chosen once for this
// processor (AVX-512, AVX2 with FMA, or portable C++). Every per-pair distance in the
// engine goes through them: the graph walk, linking, re-ranking and distance().
//
// Every variant computes the same value, bit for bit, so an answer never depends on
// the processor that ran it (an overflow gives NaN or infinity the same way
// everywhere). They share one arithmetic:
//   - Euclidean and dot product keep 64 partial sums, cosine 32 per sum. Element i
//     goes to partial sum i mod 64 (or 32), each step a fused multiply-add, in the
//     order of i. Partial sums start at +0 and never become -0, so a lane a variant
//     feeds with zeros (a masked tail) is left unchanged.
//   - The partial sums are then halved repeatedly, adding sum k + width/2 into sum k,
//     until one is left.
// Many independent sums also keep a long vector from being one chain of dependent
// additions: at 784 floats that chain, not memory, would bound how fast a row already
// in cache is reduced.
#pragma once

#include <cstddef>
#include <span>

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

// One implementation of the kernels, named for tests and benchmarks ("avx512", "avx2",
// "portable").
struct FloatKernelVariant {
  const char* name;
  FloatKernels kernels;
};

// The kernels for this processor, chosen on the first call: the first of
// float_kernel_variants().
const FloatKernels& float_kernels();
// Every variant this build holds that this processor can run, fastest first; the
// portable one is always there and always last. A build configured with
// -DDRALM_AVX512=OFF holds no AVX-512 variant.
std::span<const FloatKernelVariant> float_kernel_variants();

// Turns the three sums of a cosine into 1 - ab / (|a| |b|), computed in double and kept
// in [0, 2], which rounding can leave by a few ulps. Two zero vectors are at 0, a zero
// vector and any other at 1; NaN sums give NaN (ordered last), never a match.
float cosine_from_sums(double ab, double aa, double bb);

}  // namespace dralm
