#include "quantize/sq8_rows.h"

#include <algorithm>
#include <cassert>
#include <cfloat>
#include <cmath>
#include <cstring>

#include "quantize/sq4_rows.h"

namespace dralm {

namespace {

// Magnitudes (times sqrt(dim)) inside which data keeps its own units: sums of squares
// of such values stay far inside the float range, above and below.
constexpr double kKeepUnitsAbove = 1.0 / 1073741824.0;  // 2^-30
constexpr double kKeepUnitsBelow = 1073741824.0;        // 2^30

// A power of two p with x p in [0.5, 1); 1 for zero.
double power_of_two_below(double x) {
  if (!(x > 0)) return 1.0;
  int exponent = 0;
  std::frexp(x, &exponent);  // x = m 2^exponent with m in [0.5, 1)
  return std::ldexp(1.0, -exponent);
}

}  // namespace

Sq8RowFormat make_row_format(const Sq8Quantizer& q, Metric metric, int bits) {
  assert(bits == 8 || bits == 4);
  const size_t dim = q.dim;
  Sq8RowFormat format;
  format.metric = metric;
  format.bits = bits;
  format.dim = dim;
  format.row_bytes = bits == 4 ? sq4_row_bytes(dim) : sq8_row_bytes(dim);
  format.steps.resize(dim);
  format.mins.resize(dim);
  double ordinary_step = 0;
  for (size_t j = 0; j < dim; ++j) {
    if (q.scales[j] < kOverflowStep) ordinary_step = std::max(ordinary_step, double(q.scales[j]));
  }
  if (ordinary_step == 0) ordinary_step = 1;
  double largest = 0;
  for (size_t j = 0; j < dim; ++j) {
    double step = q.scales[j], min = q.mins[j];
    if (q.scales[j] >= kOverflowStep) {
      step = ordinary_step;
      min = -127.5 * step;
    }
    format.steps[j] = step;
    format.mins[j] = min;
    largest = std::max({largest, std::abs(min), std::abs(min + 255.0 * step)});
  }
  const double reach = largest * std::sqrt(double(dim));
  if (reach > 0 && (reach < kKeepUnitsAbove || reach > kKeepUnitsBelow)) {
    format.scale = power_of_two_below(reach);
    for (double& x : format.steps) x *= format.scale;
    for (double& x : format.mins) x *= format.scale;
  }
  for (size_t j = 0; j < dim; ++j) {
    const double min = format.mins[j], top = min + 255.0 * format.steps[j];
    format.largest_decoded = std::max({format.largest_decoded, std::abs(min), std::abs(top)});
  }
  return format;
}

float constant_of_codes(const Sq8RowFormat& format, const uint8_t* codes) {
  const size_t dim = format.dim;
  double sum = 0;
  for (size_t j = 0; j < dim; ++j) {
    const double c = codes[j];
    if (format.metric == Metric::Euclidean) {
      sum += (format.steps[j] * c) * (format.steps[j] * c);
    } else if (format.metric == Metric::Cosine) {
      const double x = format.mins[j] + format.steps[j] * c;
      sum += x * x;
    }
  }
  float constant = 0;
  if (format.metric == Metric::Euclidean) {
    constant = static_cast<float>(sum);
  } else if (format.metric == Metric::Cosine && sum > 0) {
    constant = static_cast<float>(std::min(1.0 / std::sqrt(sum), double(FLT_MAX)));
  }
  return constant;
}

void row_from_codes(const Sq8RowFormat& format, const uint8_t* codes, uint8_t* row) {
  assert(format.bits == 8);
  const size_t dim = format.dim;
  std::copy(codes, codes + dim, row);
  std::fill(row + dim, row + format.row_bytes, uint8_t{0});
  const float constant = constant_of_codes(format, row);
  std::memcpy(row + format.row_bytes - sizeof(float), &constant, sizeof(float));
}

void encode_row(const Sq8Quantizer& q, const Sq8RowFormat& format, const float* v, uint8_t* row) {
  assert(q.dim == format.dim);
  if (format.bits == 4) {
    encode_sq4_row(q, format, v, row);
    return;
  }
  encode(q, v, row);
  row_from_codes(format, row, row);
}

float row_constant(const Sq8RowFormat& format, const uint8_t* row) {
  float constant;
  std::memcpy(&constant, row + format.row_bytes - sizeof(float), sizeof(float));
  return constant;
}

void QuantizedState::append(const float* v) {
  rows.resize(rows.size() + format.row_bytes);
  encode_row(quantizer, format, v, rows.data() + rows.size() - format.row_bytes);
}

QuantizedState encode_state(Sq8Quantizer q, Metric metric, std::span<const float> data) {
  QuantizedState state;
  state.format = make_row_format(q, metric);
  state.quantizer = std::move(q);
  const size_t dim = state.quantizer.dim, count = data.size() / dim;
  state.rows.resize(count * state.format.row_bytes);
  for (size_t i = 0; i < count; ++i) {
    encode_row(state.quantizer, state.format, data.data() + i * dim, state.row(i));
  }
  return state;
}

QuantizedState state_from_codes(Sq8Quantizer q, Metric metric, std::span<const uint8_t> codes) {
  QuantizedState state;
  state.format = make_row_format(q, metric);
  state.quantizer = std::move(q);
  const size_t dim = state.quantizer.dim, count = codes.size() / dim;
  state.rows.resize(count * state.format.row_bytes);
  for (size_t i = 0; i < count; ++i)
    row_from_codes(state.format, codes.data() + i * dim, state.row(i));
  return state;
}

}  // namespace dralm
