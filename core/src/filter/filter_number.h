// RangeBound: the number a range condition ($gt, $gte, $lt, $lte) compares with, and
// the exact order between it and a metadata number. Integers are never rounded through
// a double: a nanosecond timestamp such as 1700000000000000001 differs from its
// neighbours although all three share one nearest double.
#pragma once

#include <compare>
#include <cstdint>
#include <variant>

#include "json/json.h"

namespace dralm {

struct RangeBound {
  // Non-negative integers are unsigned and negative ones signed, as in JsonValue; a
  // float may be NaN or infinite.
  std::variant<uint64_t, int64_t, double> number = 0.0;
  // For an integer too wide for 64 bits `number` is its nearest double, and `excess`
  // the sign (-1, 0 or +1) of integer - number, so the order stays exact. 0 otherwise.
  int8_t excess = 0;

  RangeBound() = default;
  // Implicit, so a range over a plain double reads naturally.
  RangeBound(double d) : number(d) {}
  static RangeBound integer(int64_t i);
  static RangeBound unsigned_integer(uint64_t u);
  // An integer outside the 64-bit range: its nearest double and the rounding's sign.
  static RangeBound wide_integer(double nearest, int excess);

  friend bool operator==(const RangeBound&, const RangeBound&) = default;
};

// The exact order of `value` relative to `bound`: less when value < bound. Unordered when
// `value` is not a number or the bound is NaN.
std::partial_ordering compare_to_bound(const JsonValue& value, const RangeBound& bound);

// The exact orders of an integer and a double (unordered for a NaN double).
std::partial_ordering compare_exact(uint64_t a, double b);
std::partial_ordering compare_exact(int64_t a, double b);

}  // namespace dralm
