#include "db/load_utf8.h"

#include <cstdint>

namespace dralm {
namespace {

bool is_continuation(uint8_t byte) { return (byte & 0xC0) == 0x80; }

// Allowed range of the second byte after a lead byte; narrower than 80..BF where the
// lead alone would allow overlongs (E0, F0), surrogates (ED) or code points above
// U+10FFFF (F4).
bool second_byte_ok(uint8_t lead, uint8_t second) {
  switch (lead) {
    case 0xE0: return second >= 0xA0 && second <= 0xBF;
    case 0xED: return second >= 0x80 && second <= 0x9F;
    case 0xF0: return second >= 0x90 && second <= 0xBF;
    case 0xF4: return second >= 0x80 && second <= 0x8F;
    default: return is_continuation(second);
  }
}

// Length of the character a lead byte starts; 0 for bytes that cannot start one
// (continuations, C0/C1 which only make overlongs, F5 and above).
size_t sequence_length(uint8_t lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

std::string invalid(size_t bytes, size_t index) {
  return "invalid utf-8 sequence of " + std::to_string(bytes) + " bytes from index " +
         std::to_string(index);
}

std::string incomplete(size_t index) {
  return "incomplete utf-8 byte sequence from index " + std::to_string(index);
}

}  // namespace

std::optional<std::string> utf8_error(std::string_view text) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const size_t size = text.size();
  size_t i = 0;
  while (i < size) {
    const uint8_t lead = bytes[i];
    const size_t length = sequence_length(lead);
    if (length == 1) {
      ++i;
      continue;
    }
    if (length == 0) return invalid(1, i);
    // Walk the continuation bytes: the first bad one ends the broken prefix, running out
    // of text leaves the character incomplete.
    for (size_t k = 1; k < length; ++k) {
      if (i + k >= size) return incomplete(i);
      const bool ok = k == 1 ? second_byte_ok(lead, bytes[i + 1]) : is_continuation(bytes[i + k]);
      if (!ok) return invalid(k, i);
    }
    i += length;
  }
  return std::nullopt;
}

}  // namespace dralm
