#include "util/utf8.h"

#include <cassert>
#include <cstdint>

namespace dralm {
namespace {

bool is_continuation(uint8_t byte) { return (byte & 0xC0) == 0x80; }

// Allowed range of the second byte after a lead byte; narrower than 80..BF where the
// lead alone would allow overlongs (E0, F0), surrogates (ED) or code points above
// U+10FFFF (F4).
bool second_byte_ok(uint8_t lead, uint8_t second) {
  switch (lead) {
    case 0xE0:
      return second >= 0xA0 && second <= 0xBF;
    case 0xED:
      return second >= 0x80 && second <= 0x9F;
    case 0xF0:
      return second >= 0x90 && second <= 0xBF;
    case 0xF4:
      return second >= 0x80 && second <= 0x8F;
    default:
      return is_continuation(second);
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

}  // namespace

Utf8Char utf8_char_at(std::string_view text, size_t at) {
  assert(at < text.size());
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data()) + at;
  const size_t available = text.size() - at;
  const uint8_t lead = bytes[0];
  const size_t length = sequence_length(lead);
  if (length == 0) return {0, 1, false};
  // Walk the continuation bytes: the first bad one ends the broken prefix, running out
  // of text leaves the character incomplete.
  for (size_t k = 1; k < length; ++k) {
    if (k >= available) return {0, 0, true};
    const bool ok = k == 1 ? second_byte_ok(lead, bytes[1]) : is_continuation(bytes[k]);
    if (!ok) return {0, k, false};
  }
  return {length, 0, false};
}

bool is_valid_utf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    if (static_cast<uint8_t>(text[i]) < 0x80) {
      ++i;
      continue;
    }
    const Utf8Char c = utf8_char_at(text, i);
    if (c.length == 0) return false;
    i += c.length;
  }
  return true;
}

std::optional<std::string> utf8_error(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const Utf8Char c = utf8_char_at(text, i);
    if (c.truncated) return "incomplete utf-8 byte sequence from index " + std::to_string(i);
    if (c.length == 0) {
      return "invalid utf-8 sequence of " + std::to_string(c.broken_prefix) + " bytes from index " +
             std::to_string(i);
    }
    i += c.length;
  }
  return std::nullopt;
}

}  // namespace dralm
