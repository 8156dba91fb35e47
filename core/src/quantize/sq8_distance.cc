#include "quantize/sq8_distance.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>

#include "distance/cpu_features.h"
#include "distance/float_kernels.h"

namespace dralm {

namespace {

// A power of two p with |x| p in [0.5, 1) (1 for zero or non-finite x): scaling by it is
// exact, so it changes no ordering.
double power_of_two_below(double x) {
  if (!(x > 0) || !std::isfinite(x)) return 1.0;
  int exponent = 0;
  std::frexp(x, &exponent);  // x = m 2^exponent with m in [0.5, 1)
  return std::ldexp(1.0, -exponent);
}

// Magnitudes (times the square root of dim) up to which values keep their own units:
// their squares, summed, stay far inside the float range.
constexpr double kKeepUnitsBelow = 1073741824.0;  // 2^30

// The scale for values up to `largest` in dim dimensions: 1, or a power of two that
// brings largest * sqrt(dim) below 1.
double scale_for(double largest, size_t dim) {
  const double reach = largest * std::sqrt(double(dim));
  return reach <= kKeepUnitsBelow ? 1.0 : power_of_two_below(reach);
}

}  // namespace

void prepare_sq8_query(const Sq8Quantizer& q, Metric metric, const float* query, Sq8Query& out) {
  const size_t dim = q.dim;
  // A dimension with the overflow step holds values near both ends of the float range;
  // its codes 127 and 128 sit half a step (about 7e35) from the values they stand for,
  // which would swamp every other dimension of the decoded distance. Traversal measures
  // such a dimension with the largest ordinary step instead, centred on zero (the
  // quantizer's own centre is only known to within about 1e31), and places the query
  // by its position in code units there. Its codes keep their order and their
  // spacing, now on the scale of the data.
  double tamed_step = 0;
  for (size_t j = 0; j < dim; ++j) {
    if (q.scales[j] < kOverflowStep) tamed_step = std::max(tamed_step, double(q.scales[j]));
  }
  if (tamed_step == 0) tamed_step = 1;
  std::vector<double>& steps = out.scratch_steps;
  std::vector<double>& mins = out.scratch_mins;
  std::vector<double>& placed = out.scratch_query;
  steps.resize(dim);
  mins.resize(dim);
  placed.resize(dim);
  double largest = 0, query_largest = 0;
  for (size_t j = 0; j < dim; ++j) {
    const double step = q.scales[j], min = q.mins[j], x = query[j];
    if (q.scales[j] < kOverflowStep) {
      steps[j] = step;
      mins[j] = min;
      placed[j] = x;
    } else {
      steps[j] = tamed_step;
      mins[j] = -127.5 * tamed_step;
      // Code units, bounded 2^16 codes beyond either end (also for an infinite query).
      const double t = std::clamp((x - min) / step, -65536.0, 65536.0 + 255.0);
      placed[j] = mins[j] + t * tamed_step;
    }
    largest = std::max({largest, std::abs(mins[j]), std::abs(mins[j] + 255.0 * steps[j])});
    if (std::isfinite(placed[j])) query_largest = std::max(query_largest, std::abs(placed[j]));
  }
  const double e = scale_for(largest, dim), f = scale_for(query_largest, dim);
  // A euclidean query far outside the data in one dimension is ordered by that
  // dimension alone; bounding it 2^16 times beyond the decoded values keeps that order
  // and every square finite.
  const double bound = 65536.0 * std::max(1.0, largest * e);
  out.metric = metric;
  out.values.resize(dim);
  out.steps.resize(dim);
  out.mins.resize(dim);
  double offset = 0, query_sq = 0;
  for (size_t j = 0; j < dim; ++j) {
    const double step = steps[j] * e, min = mins[j] * e, x = placed[j];
    out.steps[j] = static_cast<float>(step);
    out.mins[j] = static_cast<float>(min);
    switch (metric) {
      case Metric::Euclidean:
        out.values[j] = static_cast<float>(std::clamp(x * e - min, -bound, bound));
        break;
      case Metric::Cosine:
        out.values[j] = static_cast<float>(x * f);
        query_sq += (x * f) * (x * f);
        break;
      case Metric::DotProduct:
        out.values[j] = static_cast<float>(x * f * step);
        offset += x * f * min;
        break;
    }
  }
  out.offset = static_cast<float>(offset);
  out.query_sq = static_cast<float>(query_sq);
  out.unit = metric == Metric::Euclidean ? e * e : metric == Metric::DotProduct ? e * f : 1.0;
}

namespace {

// ---- Portable.

float euclidean_portable(const Sq8Query& query, const uint8_t* c, size_t dim) {
  const float* v = query.values.data();
  [[maybe_unused]] const float* s = query.steps.data();
  [[maybe_unused]] const float* mins = query.mins.data();
  float sum = 0;
  for (size_t j = 0; j < dim; ++j) {
    const float diff = v[j] - static_cast<float>(c[j]) * s[j];
    sum += diff * diff;
  }
  return sum;
}

float dot_portable(const Sq8Query& query, const uint8_t* c, size_t dim) {
  const float* v = query.values.data();
  [[maybe_unused]] const float* s = query.steps.data();
  [[maybe_unused]] const float* mins = query.mins.data();
  float sum = 0;
  for (size_t j = 0; j < dim; ++j) sum += v[j] * static_cast<float>(c[j]);
  return -(sum + query.offset);
}

float cosine_portable(const Sq8Query& query, const uint8_t* c, size_t dim) {
  const float* v = query.values.data();
  [[maybe_unused]] const float* s = query.steps.data();
  [[maybe_unused]] const float* mins = query.mins.data();
  float ab = 0, xx = 0;
  for (size_t j = 0; j < dim; ++j) {
    const float x = static_cast<float>(c[j]) * s[j] + mins[j];
    ab += v[j] * x;
    xx += x * x;
  }
  return cosine_from_sums(ab, query.query_sq, xx);
}

#if !defined(DRALM_NO_AVX512)
// ---- AVX-512: 16 codes a step, two sets of sums for alternate steps, a masked tail
// (masked-off lanes load zeros everywhere, so they add nothing to any sum).

#define DRALM_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl")))
// GCC 12's AVX-512 conversion intrinsics pass an "undefined" placeholder register that
// its own flow analysis then reports as maybe-uninitialized; the value is never read.
#pragma GCC diagnostic push
#if !defined(__clang__)  // a GCC-only warning
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#pragma GCC diagnostic ignored "-Wuninitialized"

DRALM_AVX512 inline __m512 codes16(const uint8_t* c) {
  return _mm512_cvtepi32_ps(
      _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(c))));
}
DRALM_AVX512 inline __m512 codes16(const uint8_t* c, __mmask16 m) {
  return _mm512_cvtepi32_ps(_mm512_cvtepu8_epi32(_mm_maskz_loadu_epi8(m, c)));
}

DRALM_AVX512 float euclidean_avx512(const Sq8Query& query, const uint8_t* c, size_t dim) {
  const float* v = query.values.data();
  [[maybe_unused]] const float* s = query.steps.data();
  [[maybe_unused]] const float* mins = query.mins.data();
  __m512 acc0 = _mm512_setzero_ps(), acc1 = _mm512_setzero_ps();
  size_t j = 0;
  for (; j + 32 <= dim; j += 32) {
    const __m512 d0 =
        _mm512_fnmadd_ps(codes16(c + j), _mm512_loadu_ps(s + j), _mm512_loadu_ps(v + j));
    const __m512 d1 = _mm512_fnmadd_ps(codes16(c + j + 16), _mm512_loadu_ps(s + j + 16),
                                       _mm512_loadu_ps(v + j + 16));
    acc0 = _mm512_fmadd_ps(d0, d0, acc0);
    acc1 = _mm512_fmadd_ps(d1, d1, acc1);
  }
  for (; j < dim; j += 16) {
    const __mmask16 m = dim - j >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << (dim - j)) - 1);
    const __m512 d = _mm512_fnmadd_ps(codes16(c + j, m), _mm512_maskz_loadu_ps(m, s + j),
                                      _mm512_maskz_loadu_ps(m, v + j));
    acc0 = _mm512_fmadd_ps(d, d, acc0);
  }
  return _mm512_reduce_add_ps(_mm512_add_ps(acc0, acc1));
}

DRALM_AVX512 float dot_avx512(const Sq8Query& query, const uint8_t* c, size_t dim) {
  const float* v = query.values.data();
  [[maybe_unused]] const float* s = query.steps.data();
  [[maybe_unused]] const float* mins = query.mins.data();
  __m512 acc0 = _mm512_setzero_ps(), acc1 = _mm512_setzero_ps();
  size_t j = 0;
  for (; j + 32 <= dim; j += 32) {
    acc0 = _mm512_fmadd_ps(codes16(c + j), _mm512_loadu_ps(v + j), acc0);
    acc1 = _mm512_fmadd_ps(codes16(c + j + 16), _mm512_loadu_ps(v + j + 16), acc1);
  }
  for (; j < dim; j += 16) {
    const __mmask16 m = dim - j >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << (dim - j)) - 1);
    acc0 = _mm512_fmadd_ps(codes16(c + j, m), _mm512_maskz_loadu_ps(m, v + j), acc0);
  }
  return -(_mm512_reduce_add_ps(_mm512_add_ps(acc0, acc1)) + query.offset);
}

DRALM_AVX512 float cosine_avx512(const Sq8Query& query, const uint8_t* c, size_t dim) {
  const float* v = query.values.data();
  [[maybe_unused]] const float* s = query.steps.data();
  [[maybe_unused]] const float* mins = query.mins.data();
  __m512 ab0 = _mm512_setzero_ps(), ab1 = ab0, xx0 = ab0, xx1 = ab0;
  size_t j = 0;
  for (; j + 32 <= dim; j += 32) {
    const __m512 x0 =
        _mm512_fmadd_ps(codes16(c + j), _mm512_loadu_ps(s + j), _mm512_loadu_ps(mins + j));
    const __m512 x1 = _mm512_fmadd_ps(codes16(c + j + 16), _mm512_loadu_ps(s + j + 16),
                                      _mm512_loadu_ps(mins + j + 16));
    ab0 = _mm512_fmadd_ps(_mm512_loadu_ps(v + j), x0, ab0);
    ab1 = _mm512_fmadd_ps(_mm512_loadu_ps(v + j + 16), x1, ab1);
    xx0 = _mm512_fmadd_ps(x0, x0, xx0);
    xx1 = _mm512_fmadd_ps(x1, x1, xx1);
  }
  for (; j < dim; j += 16) {
    const __mmask16 m = dim - j >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << (dim - j)) - 1);
    const __m512 x = _mm512_fmadd_ps(codes16(c + j, m), _mm512_maskz_loadu_ps(m, s + j),
                                     _mm512_maskz_loadu_ps(m, mins + j));
    ab0 = _mm512_fmadd_ps(_mm512_maskz_loadu_ps(m, v + j), x, ab0);
    xx0 = _mm512_fmadd_ps(x, x, xx0);
  }
  return cosine_from_sums(_mm512_reduce_add_ps(_mm512_add_ps(ab0, ab1)), query.query_sq,
                          _mm512_reduce_add_ps(_mm512_add_ps(xx0, xx1)));
}

#pragma GCC diagnostic pop
#undef DRALM_AVX512
#endif  // !DRALM_NO_AVX512

// ---- AVX2 with FMA: 8 codes a step, a scalar tail.

#define DRALM_AVX2 __attribute__((target("avx2,fma")))

DRALM_AVX2 inline __m256 codes8(const uint8_t* c) {
  return _mm256_cvtepi32_ps(
      _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(c))));
}

DRALM_AVX2 inline float sum8(__m256 v) {
  const __m128 x = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  const __m128 y = _mm_add_ps(x, _mm_movehl_ps(x, x));
  return _mm_cvtss_f32(_mm_add_ss(y, _mm_shuffle_ps(y, y, 1)));
}

DRALM_AVX2 float euclidean_avx2(const Sq8Query& query, const uint8_t* c, size_t dim) {
  const float* v = query.values.data();
  [[maybe_unused]] const float* s = query.steps.data();
  [[maybe_unused]] const float* mins = query.mins.data();
  __m256 acc0 = _mm256_setzero_ps(), acc1 = _mm256_setzero_ps();
  size_t j = 0;
  for (; j + 16 <= dim; j += 16) {
    const __m256 d0 =
        _mm256_fnmadd_ps(codes8(c + j), _mm256_loadu_ps(s + j), _mm256_loadu_ps(v + j));
    const __m256 d1 =
        _mm256_fnmadd_ps(codes8(c + j + 8), _mm256_loadu_ps(s + j + 8), _mm256_loadu_ps(v + j + 8));
    acc0 = _mm256_fmadd_ps(d0, d0, acc0);
    acc1 = _mm256_fmadd_ps(d1, d1, acc1);
  }
  float sum = sum8(_mm256_add_ps(acc0, acc1));
  for (; j < dim; ++j) {
    const float diff = v[j] - static_cast<float>(c[j]) * s[j];
    sum += diff * diff;
  }
  return sum;
}

DRALM_AVX2 float dot_avx2(const Sq8Query& query, const uint8_t* c, size_t dim) {
  const float* v = query.values.data();
  [[maybe_unused]] const float* s = query.steps.data();
  [[maybe_unused]] const float* mins = query.mins.data();
  __m256 acc0 = _mm256_setzero_ps(), acc1 = _mm256_setzero_ps();
  size_t j = 0;
  for (; j + 16 <= dim; j += 16) {
    acc0 = _mm256_fmadd_ps(codes8(c + j), _mm256_loadu_ps(v + j), acc0);
    acc1 = _mm256_fmadd_ps(codes8(c + j + 8), _mm256_loadu_ps(v + j + 8), acc1);
  }
  float sum = sum8(_mm256_add_ps(acc0, acc1));
  for (; j < dim; ++j) sum += v[j] * static_cast<float>(c[j]);
  return -(sum + query.offset);
}

DRALM_AVX2 float cosine_avx2(const Sq8Query& query, const uint8_t* c, size_t dim) {
  const float* v = query.values.data();
  [[maybe_unused]] const float* s = query.steps.data();
  [[maybe_unused]] const float* mins = query.mins.data();
  __m256 ab = _mm256_setzero_ps(), xx = _mm256_setzero_ps();
  size_t j = 0;
  for (; j + 8 <= dim; j += 8) {
    const __m256 x =
        _mm256_fmadd_ps(codes8(c + j), _mm256_loadu_ps(s + j), _mm256_loadu_ps(mins + j));
    ab = _mm256_fmadd_ps(_mm256_loadu_ps(v + j), x, ab);
    xx = _mm256_fmadd_ps(x, x, xx);
  }
  float ab_sum = sum8(ab), xx_sum = sum8(xx);
  for (; j < dim; ++j) {
    const float x = static_cast<float>(c[j]) * s[j] + mins[j];
    ab_sum += v[j] * x;
    xx_sum += x * x;
  }
  return cosine_from_sums(ab_sum, query.query_sq, xx_sum);
}

#undef DRALM_AVX2

}  // namespace

std::span<const Sq8KernelVariant> sq8_kernel_variants() {
  static const std::vector<Sq8KernelVariant> variants = [] {
    std::vector<Sq8KernelVariant> v;
#if !defined(DRALM_NO_AVX512)
    if (cpu_runs_avx512()) v.push_back({"avx512", cosine_avx512, euclidean_avx512, dot_avx512});
#endif
    if (cpu_runs_avx2_fma()) v.push_back({"avx2", cosine_avx2, euclidean_avx2, dot_avx2});
    v.push_back({"portable", cosine_portable, euclidean_portable, dot_portable});
    return v;
  }();
  return variants;
}

Sq8DistanceFn sq8_distance_fn(Metric metric) {
  static const Sq8KernelVariant chosen = sq8_kernel_variants().front();
  return chosen.for_metric(metric);
}

}  // namespace dralm
