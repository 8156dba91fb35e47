// The aliasing check of the writes that take a caller's vector: a vector read from the
// store itself (even from the mapping that make_owned releases) must be copied before
// the store is made owned, grows or is overwritten.
#pragma once

#include <cstddef>

namespace dralm::detail {

// True when [p, p + n) overlaps [base, base + count).
inline bool overlaps(const float* p, size_t n, const float* base, size_t count) {
  return count != 0 && p < base + count && base < p + n;
}

}  // namespace dralm::detail
