// Strict UTF-8 validation, shared by every reader of text from a user or a file (JSON
// strings, ids in the log and in graph.dralm): no overlong forms, no surrogates,
// nothing above U+10FFFF.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace dralm {

// What the bytes from `text[at]` on hold. A well-formed character has `length` 1 to 4.
// Otherwise `length` is 0 and either `truncated` (the text ends inside a character that
// was valid so far) or `broken_prefix` bytes (1 to 3) start a sequence that cannot go on.
struct Utf8Char {
  size_t length = 0;
  size_t broken_prefix = 0;
  bool truncated = false;
};
// Requires: at < text.size().
Utf8Char utf8_char_at(std::string_view text, size_t at);

bool is_valid_utf8(std::string_view text);

// nullopt when `text` is valid UTF-8. Otherwise the fault at the first bad character,
// which starts at byte i: "invalid utf-8 sequence of n bytes from index i", n being the
// broken prefix, or "incomplete utf-8 byte sequence from index i" when the text ends
// inside a character that was valid so far.
std::optional<std::string> utf8_error(std::string_view text);

}  // namespace dralm
