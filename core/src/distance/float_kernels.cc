#include "distance/float_kernels.h"

#include <immintrin.h>

#include <cmath>
#include <vector>

#include "distance/cpu_features.h"

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

// Partial sums of the euclidean and dot kernels, and of each cosine sum (header).
constexpr size_t kLanes = 64;
constexpr size_t kCosineLanes = 32;

// ---- Portable: the partial sums as arrays, std::fma for the fused multiply-add (one
// instruction where the processor has it, an exact library routine elsewhere).

template <size_t kWidth>
float halve_to_one(float* sums) {
  for (size_t width = kWidth; width > 1; width /= 2) {
    for (size_t k = 0; k < width / 2; ++k) sums[k] += sums[k + width / 2];
  }
  return sums[0];
}

float cosine_portable(const float* a, const float* b, size_t n) {
  float ab[kCosineLanes] = {}, aa[kCosineLanes] = {}, bb[kCosineLanes] = {};
  for (size_t i = 0; i < n; ++i) {
    const size_t k = i % kCosineLanes;
    ab[k] = std::fma(a[i], b[i], ab[k]);
    aa[k] = std::fma(a[i], a[i], aa[k]);
    bb[k] = std::fma(b[i], b[i], bb[k]);
  }
  return cosine_from_sums(halve_to_one<kCosineLanes>(ab), halve_to_one<kCosineLanes>(aa),
                          halve_to_one<kCosineLanes>(bb));
}

float euclidean_portable(const float* a, const float* b, size_t n) {
  float s[kLanes] = {};
  for (size_t i = 0; i < n; ++i) {
    const float d = a[i] - b[i];
    s[i % kLanes] = std::fma(d, d, s[i % kLanes]);
  }
  return halve_to_one<kLanes>(s);
}

float dot_portable(const float* a, const float* b, size_t n) {
  float s[kLanes] = {};
  for (size_t i = 0; i < n; ++i) s[i % kLanes] = std::fma(a[i], b[i], s[i % kLanes]);
  return -halve_to_one<kLanes>(s);
}

// ---- AVX2 with FMA: 8 lanes a register, so 8 registers hold the 64 partial sums (4
// the 32 of a cosine sum); the tail loads under a mask into the registers its elements
// belong to.

#define DRALM_AVX2 __attribute__((target("avx2,fma")))

// The last step of the halving, from 8 lanes to one.
DRALM_AVX2 inline float halve8(__m256 v) {
  const __m128 x = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  const __m128 y = _mm_add_ps(x, _mm_movehl_ps(x, x));
  return _mm_cvtss_f32(_mm_add_ss(y, _mm_shuffle_ps(y, y, 1)));
}

DRALM_AVX2 inline float halve64(const __m256* s) {
  const __m256 h0 = _mm256_add_ps(s[0], s[4]), h1 = _mm256_add_ps(s[1], s[5]);
  const __m256 h2 = _mm256_add_ps(s[2], s[6]), h3 = _mm256_add_ps(s[3], s[7]);
  return halve8(_mm256_add_ps(_mm256_add_ps(h0, h2), _mm256_add_ps(h1, h3)));
}

DRALM_AVX2 inline float halve32(const __m256* s) {
  return halve8(_mm256_add_ps(_mm256_add_ps(s[0], s[2]), _mm256_add_ps(s[1], s[3])));
}

// A load of the first `count` (0 to 8) floats at p, zeros in the other lanes.
DRALM_AVX2 inline __m256 load_first(const float* p, size_t count) {
  static const int32_t kMaskSource[16] = {-1, -1, -1, -1, -1, -1, -1, -1, 0, 0, 0, 0, 0, 0, 0, 0};
  const __m256i mask =
      _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kMaskSource + 8 - count));
  return _mm256_maskload_ps(p, mask);
}

DRALM_AVX2 float euclidean_avx2(const float* a, const float* b, size_t n) {
  __m256 s[8];
  for (__m256& x : s) x = _mm256_setzero_ps();
  size_t i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    for (size_t r = 0; r < 8; ++r) {
      const __m256 d =
          _mm256_sub_ps(_mm256_loadu_ps(a + i + 8 * r), _mm256_loadu_ps(b + i + 8 * r));
      s[r] = _mm256_fmadd_ps(d, d, s[r]);
    }
  }
  for (size_t r = 0; i < n; ++r, i += 8) {
    const size_t count = n - i < 8 ? n - i : 8;
    const __m256 d = _mm256_sub_ps(load_first(a + i, count), load_first(b + i, count));
    s[r] = _mm256_fmadd_ps(d, d, s[r]);
  }
  return halve64(s);
}

DRALM_AVX2 float dot_avx2(const float* a, const float* b, size_t n) {
  __m256 s[8];
  for (__m256& x : s) x = _mm256_setzero_ps();
  size_t i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    for (size_t r = 0; r < 8; ++r) {
      s[r] = _mm256_fmadd_ps(_mm256_loadu_ps(a + i + 8 * r), _mm256_loadu_ps(b + i + 8 * r), s[r]);
    }
  }
  for (size_t r = 0; i < n; ++r, i += 8) {
    const size_t count = n - i < 8 ? n - i : 8;
    s[r] = _mm256_fmadd_ps(load_first(a + i, count), load_first(b + i, count), s[r]);
  }
  return -halve64(s);
}

DRALM_AVX2 float cosine_avx2(const float* a, const float* b, size_t n) {
  __m256 ab[4], aa[4], bb[4];
  for (size_t r = 0; r < 4; ++r) ab[r] = aa[r] = bb[r] = _mm256_setzero_ps();
  size_t i = 0;
  for (; i + kCosineLanes <= n; i += kCosineLanes) {
    for (size_t r = 0; r < 4; ++r) {
      const __m256 x = _mm256_loadu_ps(a + i + 8 * r), y = _mm256_loadu_ps(b + i + 8 * r);
      ab[r] = _mm256_fmadd_ps(x, y, ab[r]);
      aa[r] = _mm256_fmadd_ps(x, x, aa[r]);
      bb[r] = _mm256_fmadd_ps(y, y, bb[r]);
    }
  }
  for (size_t r = 0; i < n; ++r, i += 8) {
    const size_t count = n - i < 8 ? n - i : 8;
    const __m256 x = load_first(a + i, count), y = load_first(b + i, count);
    ab[r] = _mm256_fmadd_ps(x, y, ab[r]);
    aa[r] = _mm256_fmadd_ps(x, x, aa[r]);
    bb[r] = _mm256_fmadd_ps(y, y, bb[r]);
  }
  return cosine_from_sums(halve32(ab), halve32(aa), halve32(bb));
}

#undef DRALM_AVX2

#if !defined(DRALM_NO_AVX512)
// ---- AVX-512: 16 lanes a register, 4 registers for the 64 partial sums (2 for the 32
// of a cosine sum), a masked tail.

#define DRALM_AVX512 __attribute__((target("avx512f,avx2,fma")))
// GCC 12's AVX-512 extraction and reduction intrinsics pass an "undefined" placeholder
// register that its own flow analysis then reports as uninitialised; it is never read.
#pragma GCC diagnostic push
#if !defined(__clang__)  // a GCC-only warning
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#pragma GCC diagnostic ignored "-Wuninitialized"

DRALM_AVX512 inline __mmask16 first_lanes(size_t count) {
  return count >= 16 ? static_cast<__mmask16>(0xFFFF) : static_cast<__mmask16>((1u << count) - 1u);
}

// From 16 lanes to one: the upper 8 onto the lower, then as AVX2 does.
DRALM_AVX512 inline float halve16(__m512 v) {
  const __m256 high = _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(v), 1));
  return halve8(_mm256_add_ps(_mm512_castps512_ps256(v), high));
}

DRALM_AVX512 float euclidean_avx512(const float* a, const float* b, size_t n) {
  __m512 s[4];
  for (__m512& x : s) x = _mm512_setzero_ps();
  size_t i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    for (size_t r = 0; r < 4; ++r) {
      const __m512 d =
          _mm512_sub_ps(_mm512_loadu_ps(a + i + 16 * r), _mm512_loadu_ps(b + i + 16 * r));
      s[r] = _mm512_fmadd_ps(d, d, s[r]);
    }
  }
  for (size_t r = 0; i < n; ++r, i += 16) {
    const __mmask16 m = first_lanes(n - i);
    const __m512 d =
        _mm512_sub_ps(_mm512_maskz_loadu_ps(m, a + i), _mm512_maskz_loadu_ps(m, b + i));
    s[r] = _mm512_fmadd_ps(d, d, s[r]);
  }
  return halve16(_mm512_add_ps(_mm512_add_ps(s[0], s[2]), _mm512_add_ps(s[1], s[3])));
}

DRALM_AVX512 float dot_avx512(const float* a, const float* b, size_t n) {
  __m512 s[4];
  for (__m512& x : s) x = _mm512_setzero_ps();
  size_t i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    for (size_t r = 0; r < 4; ++r) {
      s[r] =
          _mm512_fmadd_ps(_mm512_loadu_ps(a + i + 16 * r), _mm512_loadu_ps(b + i + 16 * r), s[r]);
    }
  }
  for (size_t r = 0; i < n; ++r, i += 16) {
    const __mmask16 m = first_lanes(n - i);
    s[r] = _mm512_fmadd_ps(_mm512_maskz_loadu_ps(m, a + i), _mm512_maskz_loadu_ps(m, b + i), s[r]);
  }
  return -halve16(_mm512_add_ps(_mm512_add_ps(s[0], s[2]), _mm512_add_ps(s[1], s[3])));
}

DRALM_AVX512 float cosine_avx512(const float* a, const float* b, size_t n) {
  __m512 ab[2], aa[2], bb[2];
  for (size_t r = 0; r < 2; ++r) ab[r] = aa[r] = bb[r] = _mm512_setzero_ps();
  size_t i = 0;
  for (; i + kCosineLanes <= n; i += kCosineLanes) {
    for (size_t r = 0; r < 2; ++r) {
      const __m512 x = _mm512_loadu_ps(a + i + 16 * r), y = _mm512_loadu_ps(b + i + 16 * r);
      ab[r] = _mm512_fmadd_ps(x, y, ab[r]);
      aa[r] = _mm512_fmadd_ps(x, x, aa[r]);
      bb[r] = _mm512_fmadd_ps(y, y, bb[r]);
    }
  }
  for (size_t r = 0; i < n; ++r, i += 16) {
    const __mmask16 m = first_lanes(n - i);
    const __m512 x = _mm512_maskz_loadu_ps(m, a + i), y = _mm512_maskz_loadu_ps(m, b + i);
    ab[r] = _mm512_fmadd_ps(x, y, ab[r]);
    aa[r] = _mm512_fmadd_ps(x, x, aa[r]);
    bb[r] = _mm512_fmadd_ps(y, y, bb[r]);
  }
  return cosine_from_sums(halve16(_mm512_add_ps(ab[0], ab[1])),
                          halve16(_mm512_add_ps(aa[0], aa[1])),
                          halve16(_mm512_add_ps(bb[0], bb[1])));
}

#pragma GCC diagnostic pop
#undef DRALM_AVX512
#endif  // !DRALM_NO_AVX512

std::vector<FloatKernelVariant> runnable_variants() {
  std::vector<FloatKernelVariant> variants;
#if !defined(DRALM_NO_AVX512)
  if (cpu_runs_avx512()) {
    variants.push_back({"avx512", {cosine_avx512, euclidean_avx512, dot_avx512}});
  }
#endif
  if (cpu_runs_avx2_fma()) variants.push_back({"avx2", {cosine_avx2, euclidean_avx2, dot_avx2}});
  variants.push_back({"portable", {cosine_portable, euclidean_portable, dot_portable}});
  return variants;
}

}  // namespace

std::span<const FloatKernelVariant> float_kernel_variants() {
  static const std::vector<FloatKernelVariant> variants = runnable_variants();
  return variants;
}

const FloatKernels& float_kernels() {
  static const FloatKernels chosen = float_kernel_variants().front().kernels;
  return chosen;
}

}  // namespace dralm
