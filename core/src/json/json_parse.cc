// A strict RFC 8259 parser into JsonValue. Input comes from users and from files
// that may be damaged, so every fault is an error with its position, nesting is
// bounded (the recursion is at most kMaxJsonDepth containers deep) and nothing is
// read past the end of the text.
#include <cassert>
#include <charconv>
#include <cstdint>
#include <string>

#include "json/json.h"
#include "util/utf8.h"

namespace dralm {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(uint32_t cp, std::string& out) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// from_chars reports result_out_of_range both when a literal overflows a double and
// when it underflows below the smallest subnormal. Tells the two apart from the
// decimal exponent of the first significant digit of a grammar-checked literal.
bool magnitude_overflows(const char* p, const char* end) {
  if (*p == '-') ++p;
  int64_t first_digit_exponent = 0;
  bool found = false;
  int64_t int_digits = 0;
  while (p < end && is_digit(*p)) {
    if (!found && *p != '0') {
      found = true;
      first_digit_exponent = -int_digits;  // fixed up with the digit count below
    }
    ++int_digits;
    ++p;
  }
  if (found) first_digit_exponent += int_digits - 1;
  if (p < end && *p == '.') {
    ++p;
    int64_t position = 0;
    while (p < end && is_digit(*p)) {
      ++position;
      if (!found && *p != '0') {
        found = true;
        first_digit_exponent = -position;
      }
      ++p;
    }
  }
  int64_t exponent = 0;
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    // Saturate: anything past a billion is out of range either way.
    while (p < end && is_digit(*p)) {
      if (exponent < 1000000000) exponent = exponent * 10 + (*p - '0');
      ++p;
    }
    if (negative) exponent = -exponent;
  }
  return first_digit_exponent + exponent > 0;
}

class Parser {
 public:
  explicit Parser(std::string_view text)
      : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()) {}

  Result<JsonValue> run() {
    Result<JsonValue> result = JsonValue();
    skip_whitespace();
    if (!parse_value(result.value())) return failure();
    skip_whitespace();
    if (p_ != end_) {
      fail(p_, "trailing characters");
      return failure();
    }
    return result;
  }

 private:
  bool fail(const char* at, const char* what) {
    error_at_ = at;
    error_ = what;
    return false;
  }

  // "<what> at line L column C": lines split at '\n', columns count characters
  // (UTF-8 lead bytes), both from 1.
  DbError failure() const {
    assert(error_ != nullptr);
    uint64_t line = 1;
    const char* line_start = begin_;
    for (const char* q = begin_; q < error_at_; ++q) {
      if (*q == '\n') {
        ++line;
        line_start = q + 1;
      }
    }
    uint64_t column = 1;
    for (const char* q = line_start; q < error_at_; ++q) {
      if ((static_cast<unsigned char>(*q) & 0xC0) != 0x80) ++column;
    }
    return DbError::invalid_argument(std::string(error_) + " at line " + std::to_string(line) +
                                     " column " + std::to_string(column));
  }

  void skip_whitespace() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  }

  bool parse_value(JsonValue& out) {
    if (p_ == end_) return fail(p_, "EOF while parsing a value");
    switch (*p_) {
      case '{':
        return parse_object(out);
      case '[':
        return parse_array(out);
      case '"': {
        std::string s;
        if (!parse_string(s)) return false;
        out = JsonValue::string(std::move(s));
        return true;
      }
      case 't':
        return parse_literal("true", JsonValue::boolean(true), out);
      case 'f':
        return parse_literal("false", JsonValue::boolean(false), out);
      case 'n':
        return parse_literal("null", JsonValue::null(), out);
      default:
        if (*p_ == '-' || is_digit(*p_)) return parse_number(out);
        return fail(p_, "expected value");
    }
  }

  bool parse_literal(std::string_view word, JsonValue value, JsonValue& out) {
    if (static_cast<size_t>(end_ - p_) < word.size() || std::string_view(p_, word.size()) != word) {
      return fail(p_, "invalid literal");
    }
    p_ += word.size();
    out = std::move(value);
    return true;
  }

  bool enter(const char* at) {
    if (++depth_ > kMaxJsonDepth) return fail(at, "nesting deeper than 512 levels");
    return true;
  }

  bool parse_array(JsonValue& out) {
    if (!enter(p_)) return false;
    ++p_;  // '['
    skip_whitespace();
    JsonArray array;
    if (p_ < end_ && *p_ == ']') {
      ++p_;
    } else {
      for (;;) {
        if (p_ == end_) return fail(p_, "EOF while parsing an array");
        JsonValue element;
        if (!parse_value(element)) return false;
        array.push_back(std::move(element));
        skip_whitespace();
        if (p_ == end_) return fail(p_, "EOF while parsing an array");
        if (*p_ == ']') {
          ++p_;
          break;
        }
        if (*p_ != ',') return fail(p_, "expected ',' or ']'");
        ++p_;
        skip_whitespace();
        if (p_ < end_ && *p_ == ']') return fail(p_, "trailing comma");
      }
    }
    --depth_;
    out = JsonValue::array(std::move(array));
    return true;
  }

  bool parse_object(JsonValue& out) {
    if (!enter(p_)) return false;
    ++p_;  // '{'
    skip_whitespace();
    JsonObject object;
    if (p_ < end_ && *p_ == '}') {
      ++p_;
    } else {
      for (;;) {
        if (p_ == end_) return fail(p_, "EOF while parsing an object");
        if (*p_ != '"') return fail(p_, "key must be a string");
        std::string key;
        if (!parse_string(key)) return false;
        skip_whitespace();
        if (p_ == end_) return fail(p_, "EOF while parsing an object");
        if (*p_ != ':') return fail(p_, "expected ':'");
        ++p_;
        skip_whitespace();
        JsonValue value;
        if (!parse_value(value)) return false;
        // Last duplicate wins. Our own output is key-ordered, so the end hint makes
        // re-reading it linear.
        object.insert_or_assign(object.end(), std::move(key), std::move(value));
        skip_whitespace();
        if (p_ == end_) return fail(p_, "EOF while parsing an object");
        if (*p_ == '}') {
          ++p_;
          break;
        }
        if (*p_ != ',') return fail(p_, "expected ',' or '}'");
        ++p_;
        skip_whitespace();
        if (p_ < end_ && *p_ == '}') return fail(p_, "trailing comma");
      }
    }
    --depth_;
    out = JsonValue::object(std::move(object));
    return true;
  }

  bool parse_string(std::string& out) {
    ++p_;  // opening quote
    for (;;) {
      const char* run = p_;
      while (p_ < end_) {
        unsigned char c = static_cast<unsigned char>(*p_);
        if (c < 0x20 || c == '"' || c == '\\' || c >= 0x80) break;
        ++p_;
      }
      out.append(run, p_);
      if (p_ == end_) return fail(p_, "EOF while parsing a string");
      unsigned char c = static_cast<unsigned char>(*p_);
      if (c == '"') {
        ++p_;
        return true;
      }
      if (c == '\\') {
        if (!parse_escape(out)) return false;
      } else if (c < 0x20) {
        return fail(p_, "control character in string");
      } else {
        size_t n = utf8_char_at(std::string_view(p_, static_cast<size_t>(end_ - p_)), 0).length;
        if (n == 0) return fail(p_, "invalid UTF-8 in string");
        out.append(p_, n);
        p_ += n;
      }
    }
  }

  // Reads the four hex digits after "\u".
  bool parse_hex4(uint32_t& code) {
    code = 0;
    for (int i = 0; i < 4; ++i) {
      if (p_ == end_) return fail(p_, "EOF while parsing a string");
      int v = hex_value(*p_);
      if (v < 0) return fail(p_, "invalid unicode escape");
      code = code * 16 + static_cast<uint32_t>(v);
      ++p_;
    }
    return true;
  }

  bool parse_escape(std::string& out) {
    const char* backslash = p_++;
    if (p_ == end_) return fail(p_, "EOF while parsing a string");
    char c = *p_++;
    switch (c) {
      case '"':
      case '\\':
      case '/':
        out.push_back(c);
        return true;
      case 'b':
        out.push_back('\b');
        return true;
      case 'f':
        out.push_back('\f');
        return true;
      case 'n':
        out.push_back('\n');
        return true;
      case 'r':
        out.push_back('\r');
        return true;
      case 't':
        out.push_back('\t');
        return true;
      case 'u':
        break;
      default:
        return fail(backslash, "invalid escape");
    }
    uint32_t code;
    if (!parse_hex4(code)) return false;
    if (code >= 0xDC00 && code <= 0xDFFF) {
      return fail(backslash, "unpaired surrogate in unicode escape");
    }
    if (code >= 0xD800 && code <= 0xDBFF) {
      // A high surrogate must be followed at once by an escaped low surrogate;
      // anything else cannot be written as UTF-8.
      if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') {
        return fail(backslash, "unpaired surrogate in unicode escape");
      }
      p_ += 2;
      uint32_t low;
      if (!parse_hex4(low)) return false;
      if (low < 0xDC00 || low > 0xDFFF) {
        return fail(backslash, "unpaired surrogate in unicode escape");
      }
      code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
    }
    append_utf8(code, out);
    return true;
  }

  bool parse_number(JsonValue& out) {
    const char* start = p_;
    bool negative = *p_ == '-';
    if (negative) ++p_;
    if (p_ == end_ || !is_digit(*p_)) return fail(p_, "invalid number");
    if (*p_ == '0') {
      ++p_;
      if (p_ < end_ && is_digit(*p_)) return fail(p_ - 1, "invalid number: leading zero");
    } else {
      while (p_ < end_ && is_digit(*p_)) ++p_;
    }
    bool integral = true;
    if (p_ < end_ && *p_ == '.') {
      integral = false;
      ++p_;
      if (p_ == end_ || !is_digit(*p_)) return fail(p_, "invalid number");
      while (p_ < end_ && is_digit(*p_)) ++p_;
    }
    if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
      integral = false;
      ++p_;
      if (p_ < end_ && (*p_ == '+' || *p_ == '-')) ++p_;
      if (p_ == end_ || !is_digit(*p_)) return fail(p_, "invalid number");
      while (p_ < end_ && is_digit(*p_)) ++p_;
    }

    if (integral) {
      // "-0" reads as signed 0, which the constructor stores as unsigned 0.
      if (negative) {
        int64_t i;
        auto [ptr, ec] = std::from_chars(start, p_, i);
        if (ec == std::errc()) {
          assert(ptr == p_);
          out = JsonValue::integer(i);
          return true;
        }
      } else {
        uint64_t u;
        auto [ptr, ec] = std::from_chars(start, p_, u);
        if (ec == std::errc()) {
          assert(ptr == p_);
          out = JsonValue::unsigned_int(u);
          return true;
        }
      }
      // Outside 64 bits: fall through and read it as a double.
    }
    double d;
    auto [ptr, ec] = std::from_chars(start, p_, d);
    if (ec == std::errc::result_out_of_range) {
      if (magnitude_overflows(start, p_)) return fail(start, "number out of range");
      d = negative ? -0.0 : 0.0;
    } else if (ec != std::errc() || ptr != p_) {
      return fail(start, "invalid number");
    }
    out = JsonValue::number(d);
    return true;
  }

  const char* begin_;
  const char* p_;
  const char* end_;
  int depth_ = 0;
  const char* error_at_ = nullptr;
  const char* error_ = nullptr;
};

}  // namespace

Result<JsonValue> parse_json(std::string_view text) { return Parser(text).run(); }

}  // namespace dralm
