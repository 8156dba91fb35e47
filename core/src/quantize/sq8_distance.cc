#include "quantize/sq8_distance.h"

#include <immintrin.h>

#include "distance/float_kernels.h"

namespace dralm {

void prepare_sq8_query(const Sq8Quantizer& q, Metric metric, const float* query, Sq8Query& out) {
  const size_t dim = q.dim;
  out.metric = metric;
  out.values.resize(dim);
  out.offset = 0;
  out.query_sq = 0;
  for (size_t j = 0; j < dim; ++j) {
    switch (metric) {
      case Metric::Euclidean:
        out.values[j] = query[j] - q.mins[j];
        break;
      case Metric::Cosine:
        out.values[j] = query[j];
        out.query_sq += query[j] * query[j];
        break;
      case Metric::DotProduct:
        out.values[j] = query[j] * q.scales[j];
        out.offset += query[j] * q.mins[j];
        break;
    }
  }
}

namespace {

// ---- Portable.

float euclidean_portable(const Sq8Query& query, const uint8_t* c, const float*, const float* scales,
                         size_t dim) {
  const float* v = query.values.data();
  float sum = 0;
  for (size_t j = 0; j < dim; ++j) {
    const float diff = v[j] - static_cast<float>(c[j]) * scales[j];
    sum += diff * diff;
  }
  return sum;
}

float dot_portable(const Sq8Query& query, const uint8_t* c, const float*, const float*,
                   size_t dim) {
  const float* v = query.values.data();
  float sum = 0;
  for (size_t j = 0; j < dim; ++j) sum += v[j] * static_cast<float>(c[j]);
  return -(sum + query.offset);
}

float cosine_portable(const Sq8Query& query, const uint8_t* c, const float* mins,
                      const float* scales, size_t dim) {
  const float* v = query.values.data();
  float ab = 0, xx = 0;
  for (size_t j = 0; j < dim; ++j) {
    const float x = static_cast<float>(c[j]) * scales[j] + mins[j];
    ab += v[j] * x;
    xx += x * x;
  }
  return cosine_from_sums(ab, query.query_sq, xx);
}

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

DRALM_AVX512 float euclidean_avx512(const Sq8Query& query, const uint8_t* c, const float*,
                                    const float* s, size_t dim) {
  const float* v = query.values.data();
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

DRALM_AVX512 float dot_avx512(const Sq8Query& query, const uint8_t* c, const float*, const float*,
                              size_t dim) {
  const float* v = query.values.data();
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

DRALM_AVX512 float cosine_avx512(const Sq8Query& query, const uint8_t* c, const float* mins,
                                 const float* s, size_t dim) {
  const float* v = query.values.data();
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

DRALM_AVX2 float euclidean_avx2(const Sq8Query& query, const uint8_t* c, const float*,
                                const float* s, size_t dim) {
  const float* v = query.values.data();
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

DRALM_AVX2 float dot_avx2(const Sq8Query& query, const uint8_t* c, const float*, const float*,
                          size_t dim) {
  const float* v = query.values.data();
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

DRALM_AVX2 float cosine_avx2(const Sq8Query& query, const uint8_t* c, const float* mins,
                             const float* s, size_t dim) {
  const float* v = query.values.data();
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
  return pick(metric, cosine_portable, euclidean_portable, dot_portable);
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
  if (level == 2) return pick(metric, cosine_avx512, euclidean_avx512, dot_avx512);
  if (level == 1) return pick(metric, cosine_avx2, euclidean_avx2, dot_avx2);
  return sq8_distance_fn_portable(metric);
}

}  // namespace dralm
