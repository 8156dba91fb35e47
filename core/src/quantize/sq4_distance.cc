#include "quantize/sq4_distance.h"

#include <immintrin.h>

#include <cassert>
#include <vector>

#include "distance/cpu_features.h"

namespace dralm {

namespace {

// ---- Portable: the two nibbles of each byte against their two weights.

int32_t dot_portable(const int16_t* w, const uint8_t* c, size_t blocks) {
  int32_t sum = 0;
  for (size_t b = 0; b < blocks; ++b, w += kSq4BlockDims, c += 16) {
    for (size_t i = 0; i < 16; ++i) {
      sum += int32_t{w[i]} * int32_t{c[i] & 0x0F} + int32_t{w[i + 16]} * int32_t{c[i] >> 4};
    }
  }
  return sum;
}

// ---- AVX2: a block's low and high nibbles widened to 16 bits, multiplied and added in
// pairs with the block's two halves of weights.

#define DRALM_AVX2 __attribute__((target("avx2")))

DRALM_AVX2 inline int32_t sum8(__m256i v) {
  __m128i x = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  x = _mm_add_epi32(x, _mm_shuffle_epi32(x, 0x4E));
  x = _mm_add_epi32(x, _mm_shuffle_epi32(x, 0xB1));
  return _mm_cvtsi128_si32(x);
}

DRALM_AVX2 int32_t dot_avx2(const int16_t* w, const uint8_t* c, size_t blocks) {
  const __m128i low_nibbles = _mm_set1_epi8(0x0F);
  __m256i acc0 = _mm256_setzero_si256(), acc1 = _mm256_setzero_si256();
  for (size_t b = 0; b < blocks; ++b, w += kSq4BlockDims, c += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c));
    const __m128i low = _mm_and_si128(bytes, low_nibbles);
    const __m128i high = _mm_and_si128(_mm_srli_epi16(bytes, 4), low_nibbles);
    acc0 = _mm256_add_epi32(
        acc0, _mm256_madd_epi16(_mm256_cvtepu8_epi16(low),
                                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w))));
    acc1 = _mm256_add_epi32(
        acc1, _mm256_madd_epi16(_mm256_cvtepu8_epi16(high),
                                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + 16))));
  }
  return sum8(_mm256_add_epi32(acc0, acc1));
}

#undef DRALM_AVX2

#if !defined(DRALM_NO_AVX512)
// ---- AVX-512 (BW): two blocks a step; each block's low and high nibbles become one
// 32-lane vector in dimension order.

#define DRALM_AVX512 __attribute__((target("avx512f,avx512bw,avx2")))
// See sq8_distance.cc: GCC 12's AVX-512 reductions trip its own uninitialised warnings.
#pragma GCC diagnostic push
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#pragma GCC diagnostic ignored "-Wuninitialized"

DRALM_AVX512 int32_t dot_avx512(const int16_t* w, const uint8_t* c, size_t blocks) {
  const __m256i low_nibbles = _mm256_set1_epi8(0x0F);
  __m512i acc0 = _mm512_setzero_si512(), acc1 = _mm512_setzero_si512();
  size_t b = 0;
  for (; b + 2 <= blocks; b += 2, w += 2 * kSq4BlockDims, c += 32) {
    const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(c));
    const __m256i low = _mm256_and_si256(bytes, low_nibbles);
    const __m256i high = _mm256_and_si256(_mm256_srli_epi16(bytes, 4), low_nibbles);
    const __m256i first = _mm256_permute2x128_si256(low, high, 0x20);   // block b
    const __m256i second = _mm256_permute2x128_si256(low, high, 0x31);  // block b + 1
    acc0 = _mm512_add_epi32(acc0,
                            _mm512_madd_epi16(_mm512_cvtepu8_epi16(first), _mm512_loadu_si512(w)));
    acc1 = _mm512_add_epi32(acc1, _mm512_madd_epi16(_mm512_cvtepu8_epi16(second),
                                                    _mm512_loadu_si512(w + kSq4BlockDims)));
  }
  if (b < blocks) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c));
    const __m128i low = _mm_and_si128(bytes, _mm256_castsi256_si128(low_nibbles));
    const __m128i high =
        _mm_and_si128(_mm_srli_epi16(bytes, 4), _mm256_castsi256_si128(low_nibbles));
    const __m256i block = _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
    acc0 = _mm512_add_epi32(acc0,
                            _mm512_madd_epi16(_mm512_cvtepu8_epi16(block), _mm512_loadu_si512(w)));
  }
  return _mm512_reduce_add_epi32(_mm512_add_epi32(acc0, acc1));
}

#pragma GCC diagnostic pop
#undef DRALM_AVX512
#endif  // !DRALM_NO_AVX512

}  // namespace

std::span<const Sq4DotVariant> sq4_dot_variants() {
  static const std::vector<Sq4DotVariant> variants =
      runnable_variants<Sq4DotVariant>(DRALM_AVX512_KERNEL(dot_avx512), dot_avx2, dot_portable);
  return variants;
}

void prepare_sq4_query(const Sq8Quantizer& q, const Sq8RowFormat& format, const float* query,
                       Sq4Query& out) {
  assert(format.bits == 4);
  out.blocks = sq4_block_count(format.dim);
  out.row_bytes = format.row_bytes;
  out.dot = sq4_dot_variants().front().dot;
  prepare_integer_query(q, format, query, out.blocks * kSq4BlockDims, out.integer);
}

}  // namespace dralm
