// JsonValue: the metadata value type, with type-strict numbers, objects ordered by
// key bytes, a strict RFC 8259 parser and the compact serialisation.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "util/error.h"

namespace dralm {

class JsonValue;
using JsonArray = std::vector<JsonValue>;
// std::map<std::string, ...> orders keys by std::string's operator<, which compares
// bytes as unsigned char (char_traits<char>::lt), i.e. byte order.
using JsonObject = std::map<std::string, JsonValue, std::less<>>;

class JsonValue {
 public:
  struct Null {};
  // Alternatives in this order; the index is the variant tag used by the hash.
  using Storage =
      std::variant<Null, bool, uint64_t, int64_t, double, std::string, JsonArray, JsonObject>;

  JsonValue() : value_(Null{}) {}
  // Keeps the number invariants whatever the caller stores: a non-negative signed
  // integer becomes unsigned and a non-finite double becomes null, so equal numbers
  // always share one alternative and every stored value can be written as JSON.
  JsonValue(Storage value);
  static JsonValue null() { return JsonValue(); }
  static JsonValue boolean(bool b) { return JsonValue(Storage(b)); }
  static JsonValue unsigned_int(uint64_t u) { return JsonValue(Storage(u)); }
  // Negative integers only; a non-negative value is stored as unsigned.
  static JsonValue integer(int64_t i);
  // A non-finite double becomes null.
  static JsonValue number(double d);
  static JsonValue string(std::string s) { return JsonValue(Storage(std::move(s))); }
  static JsonValue array(JsonArray a) { return JsonValue(Storage(std::move(a))); }
  static JsonValue object(JsonObject o) { return JsonValue(Storage(std::move(o))); }

  bool is_null() const { return std::holds_alternative<Null>(value_); }
  bool is_object() const { return std::holds_alternative<JsonObject>(value_); }
  bool is_number() const;
  // The number as a double (integers rounded to nearest); requires is_number().
  double as_double() const;
  const JsonObject* as_object() const { return std::get_if<JsonObject>(&value_); }
  const JsonArray* as_array() const { return std::get_if<JsonArray>(&value_); }
  const std::string* as_string() const { return std::get_if<std::string>(&value_); }
  const Storage& storage() const { return value_; }

  // Structural, type-strict equality: 1 != 1.0, unsigned != signed, 0.0 == -0.0.
  friend bool operator==(const JsonValue& a, const JsonValue& b);

  // A hash consistent with ==.
  size_t hash() const;

  // Compact JSON: no whitespace, keys in byte order, shortest round-trip doubles
  // always with a fraction or exponent.
  std::string serialise() const;
  void serialise_to(std::string& out) const;

 private:
  Storage value_;
};

struct JsonValueHash {
  size_t operator()(const JsonValue& v) const { return v.hash(); }
};

// Deepest nesting of arrays and objects parse_json accepts.
inline constexpr int kMaxJsonDepth = 512;

// Parses exactly one JSON value (RFC 8259), whitespace allowed around it, nothing after
// it. Strings must be valid UTF-8 and their \u escapes must not leave a surrogate
// unpaired. Nesting deeper than kMaxJsonDepth levels is an error. Integers without
// fraction or exponent become unsigned (non-negative, "-0" included) or signed
// (negative) when they fit in 64 bits, doubles otherwise; a number whose magnitude
// overflows a double is an error, one that underflows reads as zero. Duplicate keys:
// the last one wins. Never crashes and never recurses deeper than the depth limit.
// A fault is an InvalidArgument error whose text says what went wrong and where, e.g.
// "expected value at line 1 column 7": lines split at '\n', columns count characters
// (UTF-8 sequences), both from 1.
Result<JsonValue> parse_json(std::string_view text);

}  // namespace dralm
