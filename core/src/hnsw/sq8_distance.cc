#include "hnsw/sq8_distance.h"

#include <immintrin.h>

#include <cmath>

namespace dralm {
namespace {

// Shapes the three sums like the full-precision kernels do.
float finish(Metric metric, float l2, float dot, float decoded_sq, float query_sq) {
  switch (metric) {
    case Metric::Euclidean:
      return l2;
    case Metric::Cosine:
      if (query_sq == 0 && decoded_sq == 0) return 0.0f;
      if (dot == 0) return 1.0f;
      return 1.0f - dot / std::sqrt(query_sq * decoded_sq);
    case Metric::DotProduct:
      break;
  }
  return -dot;
}

template <Metric kMetric>
float portable(const float* q, const uint8_t* c, const float* mins, const float* scales,
               size_t dim, float query_sq) {
  float l2 = 0, dot = 0, dd = 0;
  for (size_t j = 0; j < dim; ++j) {
    const float product = static_cast<float>(c[j]) * scales[j];
    const float x = product + mins[j];
    if constexpr (kMetric == Metric::Euclidean) {
      const float diff = q[j] - x;
      l2 += diff * diff;
    } else {
      dot += q[j] * x;
      if constexpr (kMetric == Metric::Cosine) dd += x * x;
    }
  }
  return finish(kMetric, l2, dot, dd, query_sq);
}

#define DRALM_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl")))
// GCC 12's AVX-512 conversion intrinsics pass an "undefined" placeholder register that
// its own flow analysis then reports as maybe-uninitialized; the value is never read.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

template <Metric kMetric>
DRALM_AVX512 inline void avx512_step(__m512 query, __m128i bytes, __m512 scale, __m512 min,
                                     __m512& acc_a, __m512& acc_b) {
  const __m512 codes = _mm512_cvtepi32_ps(_mm512_cvtepu8_epi32(bytes));
  const __m512 x = _mm512_add_ps(_mm512_mul_ps(codes, scale), min);
  if constexpr (kMetric == Metric::Euclidean) {
    const __m512 diff = _mm512_sub_ps(query, x);
    acc_a = _mm512_fmadd_ps(diff, diff, acc_a);
  } else {
    acc_a = _mm512_fmadd_ps(query, x, acc_a);
    if constexpr (kMetric == Metric::Cosine) acc_b = _mm512_fmadd_ps(x, x, acc_b);
  }
}

template <Metric kMetric>
DRALM_AVX512 float avx512(const float* q, const uint8_t* c, const float* mins,
                          const float* scales, size_t dim, float query_sq) {
  __m512 acc_a = _mm512_setzero_ps(), acc_b = _mm512_setzero_ps();
  // A second pair of sums for odd steps, so consecutive steps do not wait on each other.
  __m512 acc_c = _mm512_setzero_ps(), acc_d = _mm512_setzero_ps();
  size_t j = 0;
  for (; j + 32 <= dim; j += 32) {
    avx512_step<kMetric>(_mm512_loadu_ps(q + j),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(c + j)),
                         _mm512_loadu_ps(scales + j), _mm512_loadu_ps(mins + j), acc_a, acc_b);
    avx512_step<kMetric>(_mm512_loadu_ps(q + j + 16),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(c + j + 16)),
                         _mm512_loadu_ps(scales + j + 16), _mm512_loadu_ps(mins + j + 16), acc_c,
                         acc_d);
  }
  acc_a = _mm512_add_ps(acc_a, acc_c);
  acc_b = _mm512_add_ps(acc_b, acc_d);
  for (; j + 16 <= dim; j += 16) {
    avx512_step<kMetric>(_mm512_loadu_ps(q + j),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(c + j)),
                         _mm512_loadu_ps(scales + j), _mm512_loadu_ps(mins + j), acc_a, acc_b);
  }
  if (j < dim) {
    // Masked-off lanes load zeros everywhere, so they add nothing to any sum.
    const __mmask16 mask = static_cast<__mmask16>((1u << (dim - j)) - 1);
    avx512_step<kMetric>(_mm512_maskz_loadu_ps(mask, q + j), _mm_maskz_loadu_epi8(mask, c + j),
                         _mm512_maskz_loadu_ps(mask, scales + j),
                         _mm512_maskz_loadu_ps(mask, mins + j), acc_a, acc_b);
  }
  const float a = _mm512_reduce_add_ps(acc_a);
  const float b = _mm512_reduce_add_ps(acc_b);
  return finish(kMetric, a, a, b, query_sq);
}

#pragma GCC diagnostic pop
#undef DRALM_AVX512

template <Metric kMetric>
__attribute__((target("avx2,fma"))) float avx2(const float* q, const uint8_t* c,
                                                const float* mins, const float* scales,
                                                size_t dim, float query_sq) {
  __m256 acc_a = _mm256_setzero_ps(), acc_b = _mm256_setzero_ps();
  size_t j = 0;
  for (; j + 8 <= dim; j += 8) {
    const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(c + j));
    const __m256 codes = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(bytes));
    const __m256 x =
        _mm256_add_ps(_mm256_mul_ps(codes, _mm256_loadu_ps(scales + j)), _mm256_loadu_ps(mins + j));
    const __m256 query = _mm256_loadu_ps(q + j);
    if constexpr (kMetric == Metric::Euclidean) {
      const __m256 diff = _mm256_sub_ps(query, x);
      acc_a = _mm256_fmadd_ps(diff, diff, acc_a);
    } else {
      acc_a = _mm256_fmadd_ps(query, x, acc_a);
      if constexpr (kMetric == Metric::Cosine) acc_b = _mm256_fmadd_ps(x, x, acc_b);
    }
  }
  alignas(32) float lanes_a[8], lanes_b[8];
  _mm256_store_ps(lanes_a, acc_a);
  _mm256_store_ps(lanes_b, acc_b);
  float a = 0, b = 0;
  for (int i = 0; i < 8; ++i) {
    a += lanes_a[i];
    b += lanes_b[i];
  }
  for (; j < dim; ++j) {
    const float x = static_cast<float>(c[j]) * scales[j] + mins[j];
    if constexpr (kMetric == Metric::Euclidean) {
      a += (q[j] - x) * (q[j] - x);
    } else {
      a += q[j] * x;
      if constexpr (kMetric == Metric::Cosine) b += x * x;
    }
  }
  return finish(kMetric, a, a, b, query_sq);
}

Sq8DistanceFn pick(Metric metric, Sq8DistanceFn cos, Sq8DistanceFn l2, Sq8DistanceFn dot) {
  switch (metric) {
    case Metric::Cosine:
      return cos;
    case Metric::Euclidean:
      return l2;
    case Metric::DotProduct:
      break;
  }
  return dot;
}

}  // namespace

Sq8DistanceFn sq8_distance_fn_portable(Metric metric) {
  return pick(metric, portable<Metric::Cosine>, portable<Metric::Euclidean>,
              portable<Metric::DotProduct>);
}

Sq8DistanceFn sq8_distance_fn(Metric metric) {
  static const int level = [] {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl")) {
      return 2;
    }
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return 1;
    return 0;
  }();
  if (level == 2) {
    return pick(metric, avx512<Metric::Cosine>, avx512<Metric::Euclidean>,
                avx512<Metric::DotProduct>);
  }
  if (level == 1) {
    return pick(metric, avx2<Metric::Cosine>, avx2<Metric::Euclidean>, avx2<Metric::DotProduct>);
  }
  return sq8_distance_fn_portable(metric);
}

}  // namespace dralm
