// Bytes for tests that build file and log contents by hand, apart from the engine's
// own encoders.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace dralm::testing {

// Appends v least significant byte first, to a byte string or a byte vector.
template <typename Bytes>
void put_u32(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<typename Bytes::value_type>(v >> (8 * i)));
}

inline std::vector<uint8_t> bytes_of(std::string_view text) { return {text.begin(), text.end()}; }

}  // namespace dralm::testing
