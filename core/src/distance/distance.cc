#include "distance/distance.h"

#include <simsimd/simsimd.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cmath>
#include <cstdio>
#include <mutex>

#include "distance/blas_gemm.h"
#include "distance/metric_kernels.h"

namespace dralm {

float distance_n(const float* a, const float* b, size_t n, Metric metric) {
  return with_metric(metric, [&](auto metric_constant) {
    return metric_distance<metric_constant.value>(a, b, n);
  });
}

namespace {

// Lengths differ: a double-precision loop over a's length (b is at least as long).
float scalar_distance(std::span<const float> a, std::span<const float> b, Metric metric) {
  assert(b.size() >= a.size());
  double dot = 0, aa = 0, bb = 0, l2 = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    const double x = a[i], y = b[i];
    dot += x * y;
    aa += x * x;
    bb += y * y;
    l2 += (x - y) * (x - y);
  }
  switch (metric) {
    case Metric::Cosine: {
      const double c = std::sqrt(aa) * std::sqrt(bb);
      return c == 0 ? 1.0f : static_cast<float>(1.0 - dot / c);
    }
    case Metric::Euclidean:
      return static_cast<float>(l2);
    case Metric::DotProduct:
      break;
  }
  return static_cast<float>(-dot);
}

}  // namespace

float distance(std::span<const float> a, std::span<const float> b, Metric metric) {
  if (a.size() == b.size()) return distance_n(a.data(), b.data(), a.size(), metric);
  return scalar_distance(a, b, metric);
}

namespace {

void batch_dot_into(std::span<const float> query, const float* data, size_t dim, size_t count,
                    float* out) {
  if (query.size() == dim) {
    const FloatDistanceFn negated_dot = metric_kernel<Metric::DotProduct>();
    for (size_t i = 0; i < count; ++i) out[i] = -negated_dot(query.data(), data + i * dim, dim);
    return;
  }
  assert(query.size() <= dim);
  for (size_t i = 0; i < count; ++i) {
    const float* row = data + i * dim;
    double dot = 0;
    for (size_t j = 0; j < query.size(); ++j) dot += double(query[j]) * double(row[j]);
    out[i] = static_cast<float>(dot);
  }
}

}  // namespace

std::vector<float> batch_dot(std::span<const float> query, const float* data, size_t dim,
                             size_t count) {
  std::vector<float> out(count);
  batch_dot_into(query, data, dim, count, out.data());
  return out;
}

void batch_distances_into(std::span<const float> query, const float* data, size_t dim, size_t count,
                          const float* norms, Metric metric, float* out) {
  assert(dim >= 1);
  batch_dot_into(query, data, dim, count, out);  // `out` holds the dot products first
  if (metric != Metric::Cosine && metric != Metric::Euclidean) {
    for (size_t i = 0; i < count; ++i) out[i] = -out[i];
    return;
  }
  float qn2 = 0;
  for (float x : query) qn2 += x * x;
  if (metric == Metric::Euclidean) {
    for (size_t i = 0; i < count; ++i) out[i] = (qn2 + norms[i] * norms[i]) - 2.0f * out[i];
    return;
  }
  if (qn2 == 0) {
    std::fill(out, out + count, 1.0f);
    return;
  }
  const float qn = std::sqrt(qn2);
  for (size_t i = 0; i < count; ++i) {
    // Rounding can leave [0, 2] by a few ulps (parallel vectors at -1e-7).
    out[i] = norms[i] == 0 ? 1.0f : std::clamp(1.0f - out[i] / (qn * norms[i]), 0.0f, 2.0f);
  }
}

std::vector<float> batch_distances(std::span<const float> query, std::span<const float> data,
                                   size_t dim, std::span<const float> norms, Metric metric) {
  assert(dim >= 1);
  const size_t count = data.size() / dim;
  assert(norms.size() >= count);
  std::vector<float> out(count);
  batch_distances_into(query, data.data(), dim, count, norms.data(), metric, out.data());
  return out;
}

float vector_norm(std::span<const float> v) {
  float sum = 0;
  for (float x : v) sum += x * x;
  return std::sqrt(sum);
}

void brute_force_notice() {
  // Built with a BLAS, batches of exact queries already run as matrix products.
  if constexpr (kHaveBlas) return;
  static std::atomic<bool> printed{false};
  if (printed.exchange(true)) return;
  static constexpr char kNotice[] =
      "dralm: brute-force search would be ~5x faster with BLAS. Install OpenBLAS:\n"
      "  conda install -c conda-forge openblas   # or via vcpkg\n"
      "  Then rebuild: pip install --force-reinstall dralm\n";
  std::fwrite(kNotice, 1, sizeof(kNotice) - 1, stderr);
  std::fflush(stderr);
}

void init_distance_kernels() {
  float_kernels();
  // The engine's own distances run the float kernels, but the module also exports
  // SimSIMD's entry points, which fill their capability cache and kernel pointers on
  // first use without synchronisation. Doing that once, here, before any thread can
  // call them, keeps those first uses from racing.
  static std::once_flag once;
  std::call_once(once, [] {
    simsimd_capabilities();
    const float a[2] = {1.0f, 0.0f}, b[2] = {0.0f, 1.0f};
    simsimd_distance_t r = 0;
    simsimd_cos_f32(a, b, 2, &r);
    simsimd_l2sq_f32(a, b, 2, &r);
    simsimd_dot_f32(a, b, 2, &r);
  });
}

}  // namespace dralm
