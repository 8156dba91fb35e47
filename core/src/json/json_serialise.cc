// The compact text form of a JsonValue: no whitespace, keys in byte order, minimal
// string escapes and shortest round-trip doubles that always read back as doubles.
#include <array>
#include <cassert>
#include <charconv>
#include <cmath>
#include <cstring>

#include "json/json.h"

namespace dralm {
namespace {

// For each byte: 0 = copied as is, otherwise the character after the backslash
// ('u' for the \u00XX form).
constexpr std::array<char, 256> make_escape_table() {
  std::array<char, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = 'u';
  table['\b'] = 'b';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\f'] = 'f';
  table['\r'] = 'r';
  table['"'] = '"';
  table['\\'] = '\\';
  return table;
}

constexpr std::array<char, 256> kEscape = make_escape_table();

void write_string(const std::string& s, std::string& out) {
  out.push_back('"');
  const char* p = s.data();
  const char* end = p + s.size();
  while (p < end) {
    // Copy the longest run that needs no escape in one append.
    const char* run = p;
    while (p < end && kEscape[static_cast<unsigned char>(*p)] == 0) ++p;
    out.append(run, p);
    if (p == end) break;
    unsigned char c = static_cast<unsigned char>(*p++);
    char e = kEscape[c];
    out.push_back('\\');
    if (e == 'u') {
      static constexpr char kHex[] = "0123456789abcdef";
      const char code[] = {'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
      out.append(code, sizeof(code));
    } else {
      out.push_back(e);
    }
  }
  out.push_back('"');
}

template <typename T>
void write_integer(T v, std::string& out) {
  char buffer[24];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof(buffer), v);
  assert(ec == std::errc());
  out.append(buffer, end);
}

void write_double(double d, std::string& out) {
  // The constructor turns non-finite doubles into null, so none reaches here.
  assert(std::isfinite(d));
  char buffer[40];
  // Without a format, to_chars gives the shortest text that reads back as d.
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof(buffer), d);
  assert(ec == std::errc());
  // "1" or "-0" would read back as integers; keep them doubles.
  if (std::memchr(buffer, '.', end - buffer) == nullptr &&
      std::memchr(buffer, 'e', end - buffer) == nullptr &&
      std::memchr(buffer, 'E', end - buffer) == nullptr) {
    *end++ = '.';
    *end++ = '0';
  }
  out.append(buffer, end);
}

}  // namespace

void JsonValue::serialise_to(std::string& out) const {
  switch (value_.index()) {
    case 0:
      out.append("null");
      return;
    case 1:
      out.append(std::get<bool>(value_) ? "true" : "false");
      return;
    case 2:
      write_integer(std::get<uint64_t>(value_), out);
      return;
    case 3:
      write_integer(std::get<int64_t>(value_), out);
      return;
    case 4:
      write_double(std::get<double>(value_), out);
      return;
    case 5:
      write_string(std::get<std::string>(value_), out);
      return;
    case 6: {
      out.push_back('[');
      bool first = true;
      for (const JsonValue& element : std::get<JsonArray>(value_)) {
        if (!first) out.push_back(',');
        first = false;
        element.serialise_to(out);
      }
      out.push_back(']');
      return;
    }
    case 7: {
      out.push_back('{');
      bool first = true;
      for (const auto& [key, element] : std::get<JsonObject>(value_)) {
        if (!first) out.push_back(',');
        first = false;
        write_string(key, out);
        out.push_back(':');
        element.serialise_to(out);
      }
      out.push_back('}');
      return;
    }
  }
  assert(false && "unknown JsonValue alternative");
}

std::string JsonValue::serialise() const {
  std::string out;
  serialise_to(out);
  return out;
}

}  // namespace dralm
