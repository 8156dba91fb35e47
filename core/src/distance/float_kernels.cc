#include "distance/float_kernels.h"

#include <immintrin.h>

#include <cmath>

namespace dralm {

float cosine_from_sums(double ab, double aa, double bb) {
  if (aa == 0 && bb == 0) return 0.0f;
  if (ab == 0) return 1.0f;
  const double d = 1.0 - ab / std::sqrt(aa * bb);
  if (d < 0) return 0.0f;
  if (d > 2) return 2.0f;
  return static_cast<float>(d);  // NaN passes through both tests
}

namespace {

// ---- Portable: four partial sums, which compilers vectorise at the baseline ISA.

float cosine_portable(const float* a, const float* b, size_t n) {
  float ab[4] = {}, aa[4] = {}, bb[4] = {};
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    for (size_t k = 0; k < 4; ++k) {
      ab[k] += a[i + k] * b[i + k];
      aa[k] += a[i + k] * a[i + k];
      bb[k] += b[i + k] * b[i + k];
    }
  }
  for (; i < n; ++i) {
    ab[0] += a[i] * b[i];
    aa[0] += a[i] * a[i];
    bb[0] += b[i] * b[i];
  }
  return cosine_from_sums((ab[0] + ab[1]) + (ab[2] + ab[3]), (aa[0] + aa[1]) + (aa[2] + aa[3]),
                          (bb[0] + bb[1]) + (bb[2] + bb[3]));
}

float euclidean_portable(const float* a, const float* b, size_t n) {
  float s[4] = {};
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    for (size_t k = 0; k < 4; ++k) {
      const float d = a[i + k] - b[i + k];
      s[k] += d * d;
    }
  }
  for (; i < n; ++i) s[0] += (a[i] - b[i]) * (a[i] - b[i]);
  return (s[0] + s[1]) + (s[2] + s[3]);
}

float dot_portable(const float* a, const float* b, size_t n) {
  float s[4] = {};
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    for (size_t k = 0; k < 4; ++k) s[k] += a[i + k] * b[i + k];
  }
  for (; i < n; ++i) s[0] += a[i] * b[i];
  return -((s[0] + s[1]) + (s[2] + s[3]));
}

// ---- AVX2 with FMA: 8 floats a register, four accumulators a sum, scalar tail.

#define DRALM_AVX2 __attribute__((target("avx2,fma")))

DRALM_AVX2 inline float sum8(__m256 v) {
  const __m128 x = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  const __m128 y = _mm_add_ps(x, _mm_movehl_ps(x, x));
  return _mm_cvtss_f32(_mm_add_ss(y, _mm_shuffle_ps(y, y, 1)));
}

DRALM_AVX2 float euclidean_avx2(const float* a, const float* b, size_t n) {
  __m256 s0 = _mm256_setzero_ps(), s1 = s0, s2 = s0, s3 = s0;
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const __m256 d0 = _mm256_sub_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i));
    const __m256 d1 = _mm256_sub_ps(_mm256_loadu_ps(a + i + 8), _mm256_loadu_ps(b + i + 8));
    const __m256 d2 = _mm256_sub_ps(_mm256_loadu_ps(a + i + 16), _mm256_loadu_ps(b + i + 16));
    const __m256 d3 = _mm256_sub_ps(_mm256_loadu_ps(a + i + 24), _mm256_loadu_ps(b + i + 24));
    s0 = _mm256_fmadd_ps(d0, d0, s0);
    s1 = _mm256_fmadd_ps(d1, d1, s1);
    s2 = _mm256_fmadd_ps(d2, d2, s2);
    s3 = _mm256_fmadd_ps(d3, d3, s3);
  }
  for (; i + 8 <= n; i += 8) {
    const __m256 d = _mm256_sub_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i));
    s0 = _mm256_fmadd_ps(d, d, s0);
  }
  float sum = sum8(_mm256_add_ps(_mm256_add_ps(s0, s1), _mm256_add_ps(s2, s3)));
  for (; i < n; ++i) sum += (a[i] - b[i]) * (a[i] - b[i]);
  return sum;
}

DRALM_AVX2 float dot_avx2(const float* a, const float* b, size_t n) {
  __m256 s0 = _mm256_setzero_ps(), s1 = s0, s2 = s0, s3 = s0;
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    s0 = _mm256_fmadd_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i), s0);
    s1 = _mm256_fmadd_ps(_mm256_loadu_ps(a + i + 8), _mm256_loadu_ps(b + i + 8), s1);
    s2 = _mm256_fmadd_ps(_mm256_loadu_ps(a + i + 16), _mm256_loadu_ps(b + i + 16), s2);
    s3 = _mm256_fmadd_ps(_mm256_loadu_ps(a + i + 24), _mm256_loadu_ps(b + i + 24), s3);
  }
  for (; i + 8 <= n; i += 8) {
    s0 = _mm256_fmadd_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i), s0);
  }
  float sum = sum8(_mm256_add_ps(_mm256_add_ps(s0, s1), _mm256_add_ps(s2, s3)));
  for (; i < n; ++i) sum += a[i] * b[i];
  return -sum;
}

DRALM_AVX2 float cosine_avx2(const float* a, const float* b, size_t n) {
  __m256 ab0 = _mm256_setzero_ps(), ab1 = ab0, aa0 = ab0, aa1 = ab0, bb0 = ab0, bb1 = ab0;
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m256 x0 = _mm256_loadu_ps(a + i), y0 = _mm256_loadu_ps(b + i);
    const __m256 x1 = _mm256_loadu_ps(a + i + 8), y1 = _mm256_loadu_ps(b + i + 8);
    ab0 = _mm256_fmadd_ps(x0, y0, ab0);
    ab1 = _mm256_fmadd_ps(x1, y1, ab1);
    aa0 = _mm256_fmadd_ps(x0, x0, aa0);
    aa1 = _mm256_fmadd_ps(x1, x1, aa1);
    bb0 = _mm256_fmadd_ps(y0, y0, bb0);
    bb1 = _mm256_fmadd_ps(y1, y1, bb1);
  }
  for (; i + 8 <= n; i += 8) {
    const __m256 x = _mm256_loadu_ps(a + i), y = _mm256_loadu_ps(b + i);
    ab0 = _mm256_fmadd_ps(x, y, ab0);
    aa0 = _mm256_fmadd_ps(x, x, aa0);
    bb0 = _mm256_fmadd_ps(y, y, bb0);
  }
  float ab = sum8(_mm256_add_ps(ab0, ab1)), aa = sum8(_mm256_add_ps(aa0, aa1)),
        bb = sum8(_mm256_add_ps(bb0, bb1));
  for (; i < n; ++i) {
    ab += a[i] * b[i];
    aa += a[i] * a[i];
    bb += b[i] * b[i];
  }
  return cosine_from_sums(ab, aa, bb);
}

// ---- AVX-512: 16 floats a register, four accumulators a sum, a masked tail.

#define DRALM_AVX512 __attribute__((target("avx512f")))
// GCC 12's AVX-512 reduction intrinsics pass an "undefined" placeholder register that its
// own flow analysis then reports as uninitialised; the value is never read.
#pragma GCC diagnostic push
#if !defined(__clang__)  // a GCC-only warning
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#pragma GCC diagnostic ignored "-Wuninitialized"

DRALM_AVX512 inline __mmask16 tail_mask(size_t remaining) {
  return static_cast<__mmask16>((1u << remaining) - 1u);
}

DRALM_AVX512 float euclidean_avx512(const float* a, const float* b, size_t n) {
  __m512 s0 = _mm512_setzero_ps(), s1 = s0, s2 = s0, s3 = s0;
  size_t i = 0;
  for (; i + 64 <= n; i += 64) {
    const __m512 d0 = _mm512_sub_ps(_mm512_loadu_ps(a + i), _mm512_loadu_ps(b + i));
    const __m512 d1 = _mm512_sub_ps(_mm512_loadu_ps(a + i + 16), _mm512_loadu_ps(b + i + 16));
    const __m512 d2 = _mm512_sub_ps(_mm512_loadu_ps(a + i + 32), _mm512_loadu_ps(b + i + 32));
    const __m512 d3 = _mm512_sub_ps(_mm512_loadu_ps(a + i + 48), _mm512_loadu_ps(b + i + 48));
    s0 = _mm512_fmadd_ps(d0, d0, s0);
    s1 = _mm512_fmadd_ps(d1, d1, s1);
    s2 = _mm512_fmadd_ps(d2, d2, s2);
    s3 = _mm512_fmadd_ps(d3, d3, s3);
  }
  for (; i + 16 <= n; i += 16) {
    const __m512 d = _mm512_sub_ps(_mm512_loadu_ps(a + i), _mm512_loadu_ps(b + i));
    s1 = _mm512_fmadd_ps(d, d, s1);
  }
  if (i < n) {
    const __mmask16 m = tail_mask(n - i);
    const __m512 d =
        _mm512_sub_ps(_mm512_maskz_loadu_ps(m, a + i), _mm512_maskz_loadu_ps(m, b + i));
    s2 = _mm512_fmadd_ps(d, d, s2);
  }
  return _mm512_reduce_add_ps(_mm512_add_ps(_mm512_add_ps(s0, s1), _mm512_add_ps(s2, s3)));
}

DRALM_AVX512 float dot_avx512(const float* a, const float* b, size_t n) {
  __m512 s0 = _mm512_setzero_ps(), s1 = s0, s2 = s0, s3 = s0;
  size_t i = 0;
  for (; i + 64 <= n; i += 64) {
    s0 = _mm512_fmadd_ps(_mm512_loadu_ps(a + i), _mm512_loadu_ps(b + i), s0);
    s1 = _mm512_fmadd_ps(_mm512_loadu_ps(a + i + 16), _mm512_loadu_ps(b + i + 16), s1);
    s2 = _mm512_fmadd_ps(_mm512_loadu_ps(a + i + 32), _mm512_loadu_ps(b + i + 32), s2);
    s3 = _mm512_fmadd_ps(_mm512_loadu_ps(a + i + 48), _mm512_loadu_ps(b + i + 48), s3);
  }
  for (; i + 16 <= n; i += 16) {
    s1 = _mm512_fmadd_ps(_mm512_loadu_ps(a + i), _mm512_loadu_ps(b + i), s1);
  }
  if (i < n) {
    const __mmask16 m = tail_mask(n - i);
    s2 = _mm512_fmadd_ps(_mm512_maskz_loadu_ps(m, a + i), _mm512_maskz_loadu_ps(m, b + i), s2);
  }
  return -_mm512_reduce_add_ps(_mm512_add_ps(_mm512_add_ps(s0, s1), _mm512_add_ps(s2, s3)));
}

DRALM_AVX512 float cosine_avx512(const float* a, const float* b, size_t n) {
  __m512 ab0 = _mm512_setzero_ps(), ab1 = ab0, aa0 = ab0, aa1 = ab0, bb0 = ab0, bb1 = ab0;
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const __m512 x0 = _mm512_loadu_ps(a + i), y0 = _mm512_loadu_ps(b + i);
    const __m512 x1 = _mm512_loadu_ps(a + i + 16), y1 = _mm512_loadu_ps(b + i + 16);
    ab0 = _mm512_fmadd_ps(x0, y0, ab0);
    ab1 = _mm512_fmadd_ps(x1, y1, ab1);
    aa0 = _mm512_fmadd_ps(x0, x0, aa0);
    aa1 = _mm512_fmadd_ps(x1, x1, aa1);
    bb0 = _mm512_fmadd_ps(y0, y0, bb0);
    bb1 = _mm512_fmadd_ps(y1, y1, bb1);
  }
  for (; i < n; i += 16) {
    const __mmask16 m = n - i >= 16 ? static_cast<__mmask16>(0xFFFF) : tail_mask(n - i);
    const __m512 x = _mm512_maskz_loadu_ps(m, a + i), y = _mm512_maskz_loadu_ps(m, b + i);
    ab0 = _mm512_fmadd_ps(x, y, ab0);
    aa0 = _mm512_fmadd_ps(x, x, aa0);
    bb0 = _mm512_fmadd_ps(y, y, bb0);
  }
  return cosine_from_sums(_mm512_reduce_add_ps(_mm512_add_ps(ab0, ab1)),
                          _mm512_reduce_add_ps(_mm512_add_ps(aa0, aa1)),
                          _mm512_reduce_add_ps(_mm512_add_ps(bb0, bb1)));
}

#pragma GCC diagnostic pop

FloatKernels choose_kernels() {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) {
    return {cosine_avx512, euclidean_avx512, dot_avx512};
  }
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
    return {cosine_avx2, euclidean_avx2, dot_avx2};
  }
  return {cosine_portable, euclidean_portable, dot_portable};
}

}  // namespace

const FloatKernels& float_kernels() {
  static const FloatKernels chosen = choose_kernels();
  return chosen;
}

const FloatKernels& float_kernels_portable() {
  static const FloatKernels portable = {cosine_portable, euclidean_portable, dot_portable};
  return portable;
}

}  // namespace dralm
