// UTF-8 validation of ids read from graph.dralm, with the loader's error texts.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace dralm {

// nullopt when `text` is valid UTF-8 (no overlongs, no surrogates, nothing above
// U+10FFFF). Otherwise the fault at the first bad character, which starts at byte i:
// "invalid utf-8 sequence of n bytes from index i", n being how many bytes (1 to 3)
// form the broken prefix, or "incomplete utf-8 byte sequence from index i" when the
// text ends inside a character that was valid so far.
std::optional<std::string> utf8_error(std::string_view text);

}  // namespace dralm
