#include "db/finite_check.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

namespace dralm {
namespace {

constexpr uint32_t kExponentMask = 0x7f800000u;  // all ones: an infinity or a NaN

// Whether any element is NaN or infinite. One pass over the bits that the compiler
// vectorises; the position is searched for only when something was found.
bool any_non_finite(std::span<const float> vector) {
  uint32_t found = 0;
  for (const float x : vector) {
    uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    found |= static_cast<uint32_t>((bits & kExponentMask) == kExponentMask);
  }
  return found != 0;
}

std::string describe_first(std::span<const float> vector) {
  for (size_t i = 0; i < vector.size(); ++i) {
    const float x = vector[i];
    if (std::isfinite(x)) continue;
    const char* what = std::isnan(x) ? "nan" : (x > 0 ? "inf" : "-inf");
    return "element " + std::to_string(i) + " is " + what;
  }
  return std::string();
}

constexpr char kWhy[] = " (vectors and queries must hold finite numbers only)";

}  // namespace

Status check_finite(std::span<const float> vector) {
  if (!any_non_finite(vector)) return Status::success();
  return DbError::invalid_vector(describe_first(vector) + kWhy);
}

Status check_finite(const VectorBatch& vectors) {
  if (!any_non_finite(vectors.data)) return Status::success();
  for (size_t row = 0; row < vectors.size(); ++row) {
    if (!any_non_finite(vectors.row(row))) continue;
    return DbError::invalid_vector("vector " + std::to_string(row) + ", " +
                                   describe_first(vectors.row(row)) + kWhy);
  }
  return Status::success();  // the non-finite floats lie outside every row
}

}  // namespace dralm
