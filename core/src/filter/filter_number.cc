// Exact comparison of integers with doubles: no operand is converted in a way that
// rounds. A double in the integer type's range is split into its integral part, which
// converts exactly, and its fraction, which decides ties.
#include "filter/filter_number.h"

#include <cmath>

namespace dralm {

namespace {

// 2^63 and 2^64 are exact doubles; every double below them in magnitude truncates to an
// integer that the 64-bit types hold.
constexpr double kTwoTo63 = 9223372036854775808.0;
constexpr double kTwoTo64 = 18446744073709551616.0;

// Once the integral parts are equal, the fraction of b decides: a < b when b has a
// positive fraction (b > trunc(b)), a > b when it has a negative one.
std::partial_ordering by_fraction(double b, double integral) {
  if (b > integral) return std::partial_ordering::less;
  if (b < integral) return std::partial_ordering::greater;
  return std::partial_ordering::equivalent;
}

}  // namespace

RangeBound RangeBound::integer(int64_t i) {
  RangeBound b;
  if (i >= 0) {
    b.number = static_cast<uint64_t>(i);
  } else {
    b.number = i;
  }
  return b;
}

RangeBound RangeBound::unsigned_integer(uint64_t u) {
  RangeBound b;
  b.number = u;
  return b;
}

RangeBound RangeBound::wide_integer(double nearest, int excess) {
  RangeBound b(nearest);
  b.excess = static_cast<int8_t>(excess > 0 ? 1 : excess < 0 ? -1 : 0);
  return b;
}

std::partial_ordering compare_exact(uint64_t a, double b) {
  if (std::isnan(b)) return std::partial_ordering::unordered;
  if (b < 0) return std::partial_ordering::greater;
  if (b >= kTwoTo64) return std::partial_ordering::less;
  const double integral = std::trunc(b);
  const uint64_t whole = static_cast<uint64_t>(integral);
  if (a != whole) return a < whole ? std::partial_ordering::less : std::partial_ordering::greater;
  return by_fraction(b, integral);
}

std::partial_ordering compare_exact(int64_t a, double b) {
  if (std::isnan(b)) return std::partial_ordering::unordered;
  if (b >= kTwoTo63) return std::partial_ordering::less;
  if (b < -kTwoTo63) return std::partial_ordering::greater;
  const double integral = std::trunc(b);
  const int64_t whole = static_cast<int64_t>(integral);
  if (a != whole) return a < whole ? std::partial_ordering::less : std::partial_ordering::greater;
  return by_fraction(b, integral);
}

namespace {

std::partial_ordering flip(std::partial_ordering o) {
  if (o == std::partial_ordering::less) return std::partial_ordering::greater;
  if (o == std::partial_ordering::greater) return std::partial_ordering::less;
  return o;
}

// Value against a bound of one of the three kinds; each pair without a rounding step.
struct Compare {
  std::partial_ordering operator()(uint64_t a, uint64_t b) const { return a <=> b; }
  std::partial_ordering operator()(int64_t a, int64_t b) const { return a <=> b; }
  std::partial_ordering operator()(uint64_t a, int64_t b) const {
    return b < 0 ? std::partial_ordering::greater : a <=> static_cast<uint64_t>(b);
  }
  std::partial_ordering operator()(int64_t a, uint64_t b) const { return flip((*this)(b, a)); }
  std::partial_ordering operator()(uint64_t a, double b) const { return compare_exact(a, b); }
  std::partial_ordering operator()(int64_t a, double b) const { return compare_exact(a, b); }
  std::partial_ordering operator()(double a, uint64_t b) const { return flip(compare_exact(b, a)); }
  std::partial_ordering operator()(double a, int64_t b) const { return flip(compare_exact(b, a)); }
  std::partial_ordering operator()(double a, double b) const { return a <=> b; }
};

}  // namespace

std::partial_ordering compare_to_bound(const JsonValue& value, const RangeBound& bound) {
  const JsonValue::Storage& storage = value.storage();
  std::partial_ordering order = std::partial_ordering::unordered;
  if (const uint64_t* u = std::get_if<uint64_t>(&storage)) {
    order = std::visit([&](auto b) { return Compare{}(*u, b); }, bound.number);
  } else if (const int64_t* i = std::get_if<int64_t>(&storage)) {
    order = std::visit([&](auto b) { return Compare{}(*i, b); }, bound.number);
  } else if (const double* d = std::get_if<double>(&storage)) {
    order = std::visit([&](auto b) { return Compare{}(*d, b); }, bound.number);
  } else {
    return std::partial_ordering::unordered;
  }
  // A wide integer bound lies just beside its double: a value equal to the double is
  // on the other side of the bound.
  if (order == std::partial_ordering::equivalent && bound.excess != 0) {
    return bound.excess > 0 ? std::partial_ordering::less : std::partial_ordering::greater;
  }
  return order;
}

}  // namespace dralm
