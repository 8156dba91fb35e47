#include "quantize/sq8.h"

#include <cassert>
#include <cfloat>
#include <cmath>

#include "util/little_endian.h"

namespace dralm {

namespace {

// A step for a dimension whose finite values span more than the largest float: the
// plain (max - min) / 255 would be infinite and decode every code to NaN. The step is
// the largest one whose 255 multiples stay finite, centred on the middle of the
// values; the extremes clamp to the ends of that range, so every code decodes to a
// finite value and codes still order the values.
void fit_overflowing_range(float min, float max, float& out_min, float& out_scale) {
  out_scale = kOverflowStep;  // FLT_MAX / 256, a power-of-two division: exact
  const float middle = min / 2.0f + max / 2.0f;
  out_min = middle - 127.5f * out_scale;
}

}  // namespace

Sq8Quantizer train(std::span<const float> data, uint64_t dim,
                   const std::function<bool(size_t)>& use_vector) {
  assert(dim >= 1);
  return train_rows(
      data.size() / dim, dim, [&](size_t i) { return data.data() + i * dim; }, use_vector);
}

Sq8Quantizer train_rows(size_t count, uint64_t dim, const std::function<const float*(size_t)>& row,
                        const std::function<bool(size_t)>& use_vector) {
  assert(dim >= 1);
  Sq8Quantizer q;
  q.dim = dim;
  q.mins.assign(dim, FLT_MAX);
  std::vector<float> maxs(dim, -FLT_MAX);
  const size_t n = count;
  size_t used = 0;
  for (size_t i = 0; i < n; ++i) used += use_vector(i) ? 1 : 0;
  for (size_t i = 0; i < n; ++i) {
    // With no vector selected, all of them shape the parameters.
    if (used > 0 && !use_vector(i)) continue;
    const float* v = row(i);
    for (size_t j = 0; j < dim; ++j) {
      const float x = v[j];
      // NaN and the infinities never move a bound (they clamp when encoded): one of
      // them would make the range, and so every decoded value, non-finite.
      if (!std::isfinite(x)) continue;
      if (x < q.mins[j]) q.mins[j] = x;
      if (x > maxs[j]) maxs[j] = x;
    }
  }
  q.scales.resize(dim);
  for (size_t j = 0; j < dim; ++j) {
    if (q.mins[j] > maxs[j]) {
      // No finite number was seen in this dimension (no vectors at all, or none but
      // NaN and infinities): the identity step keeps every decoded value finite.
      q.mins[j] = 0.0f;
      q.scales[j] = 1.0f;
      continue;
    }
    const float range = maxs[j] - q.mins[j];
    if (!std::isfinite(range)) {
      fit_overflowing_range(q.mins[j], maxs[j], q.mins[j], q.scales[j]);
      continue;
    }
    q.scales[j] = range != 0.0f ? range / 255.0f : 1.0f;
  }
  return q;
}

Sq8Quantizer train(std::span<const float> data, uint64_t dim) {
  return train(data, dim, [](size_t) { return true; });
}

void encode(const Sq8Quantizer& q, const float* v, uint8_t* out) {
  for (size_t j = 0; j < q.dim; ++j) {
    float t = (v[j] - q.mins[j]) / q.scales[j];
    if (!(t > 0.0f)) {  // also NaN
      out[j] = 0;
      continue;
    }
    if (t > 255.0f) t = 255.0f;
    // Round half away from zero: t is in (0, 255], so the fraction after truncation
    // is exact and comparing it with one half decides the rounding.
    const unsigned whole = static_cast<unsigned>(t);
    const float fraction = t - static_cast<float>(whole);
    out[j] = static_cast<uint8_t>(whole + (fraction >= 0.5f ? 1u : 0u));
  }
}

std::vector<uint8_t> encode_all(const Sq8Quantizer& q, std::span<const float> data, uint64_t dim) {
  assert(dim >= 1 && dim == q.dim);
  const size_t n = data.size() / dim;
  std::vector<uint8_t> codes(n * dim);
  for (size_t i = 0; i < n; ++i) encode(q, data.data() + i * dim, codes.data() + i * dim);
  return codes;
}

void decode(const Sq8Quantizer& q, const uint8_t* codes, float* out) {
  // A product and then a sum, rounded separately: the build never contracts them into
  // a fused multiply-add (ISO mode turns contraction off).
  for (size_t j = 0; j < q.dim; ++j) {
    out[j] = static_cast<float>(codes[j]) * q.scales[j] + q.mins[j];
  }
}

void write_parameters(const Sq8Quantizer& q, std::string& out) {
  assert(q.mins.size() == q.dim && q.scales.size() == q.dim);
  append_u32_le(out, static_cast<uint32_t>(q.dim));
  append_f32s_le(out, q.mins);
  append_f32s_le(out, q.scales);
}

Result<Sq8File> read_quantizer(std::span<const uint8_t> bytes) {
  static constexpr char kShort[] = "failed to fill whole buffer";
  if (bytes.size() < 4) return DbError::io(kShort);
  const uint64_t dim = load_u32_le(bytes.data());
  // 64-bit arithmetic: a dim near 2^32 cannot wrap, and nothing is allocated before
  // the bytes are known to be there.
  const uint64_t header = 4 + 8 * dim;
  if (bytes.size() < header) return DbError::io(kShort);
  Sq8File state;
  state.quantizer.dim = dim;
  state.quantizer.mins.resize(dim);
  state.quantizer.scales.resize(dim);
  load_f32s_le(bytes.data() + 4, dim, state.quantizer.mins.data());
  load_f32s_le(bytes.data() + 4 + 4 * dim, dim, state.quantizer.scales.data());
  state.codes.assign(bytes.begin() + header, bytes.end());
  return state;
}

}  // namespace dralm
