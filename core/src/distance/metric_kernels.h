// The per-pair kernel of a metric known at compile time, and the switch that turns a
// run-time metric into such a constant. The graph walk, linking, re-ranking, the scan
// and distance() all reach the float kernels through here, so one set of kernels is
// both what runs and what the distance tests check.
#pragma once

#include <cstddef>
#include <type_traits>

#include "distance/float_kernels.h"
#include "distance/metric.h"

namespace dralm {

template <Metric kMetric>
inline FloatDistanceFn metric_kernel() {
  const FloatKernels& kernels = float_kernels();
  if constexpr (kMetric == Metric::Cosine) {
    return kernels.cosine;
  } else if constexpr (kMetric == Metric::Euclidean) {
    return kernels.euclidean;
  } else {
    return kernels.dot_product;
  }
}

template <Metric kMetric>
inline float metric_distance(const float* a, const float* b, size_t n) {
  return metric_kernel<kMetric>()(a, b, n);
}

// Calls f with the metric as a compile-time constant, so the hot loops are compiled
// once per metric with the kernel call resolved.
template <class F>
decltype(auto) with_metric(Metric metric, F&& f) {
  switch (metric) {
    case Metric::Cosine:
      return f(std::integral_constant<Metric, Metric::Cosine>{});
    case Metric::Euclidean:
      return f(std::integral_constant<Metric, Metric::Euclidean>{});
    case Metric::DotProduct:
      break;
  }
  return f(std::integral_constant<Metric, Metric::DotProduct>{});
}

}  // namespace dralm
