#include "json/json.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "support/json_text.h"

namespace dralm {
namespace {

using Storage = JsonValue::Storage;

using testing::json;

// ---------------------------------------------------------------- numbers and scalars

struct ScalarCase {
  std::string text;
  JsonValue expected;
  size_t alternative;  // index into Storage
};

std::ostream& operator<<(std::ostream& os, const ScalarCase& c) { return os << c.text; }

class ParseScalar : public ::testing::TestWithParam<ScalarCase> {};

TEST_P(ParseScalar, ReadsTheRightAlternativeAndValue) {
  const ScalarCase& c = GetParam();
  Result<JsonValue> r = parse_json(c.text);
  ASSERT_TRUE(r.ok()) << r.error().detail();
  EXPECT_EQ(r.value().storage().index(), c.alternative);
  EXPECT_EQ(r.value(), c.expected);
}

constexpr size_t kNull = 0, kBool = 1, kUnsigned = 2, kSigned = 3, kDouble = 4, kString = 5;

INSTANTIATE_TEST_SUITE_P(
    Json, ParseScalar,
    ::testing::Values(
        ScalarCase{"0", JsonValue::unsigned_int(0), kUnsigned},
        ScalarCase{"-0", JsonValue::unsigned_int(0), kUnsigned},
        ScalarCase{"42", JsonValue::unsigned_int(42), kUnsigned},
        ScalarCase{"18446744073709551615", JsonValue::unsigned_int(UINT64_MAX), kUnsigned},
        ScalarCase{"18446744073709551616", JsonValue::number(18446744073709551616.0), kDouble},
        ScalarCase{"-1", JsonValue::integer(-1), kSigned},
        ScalarCase{"-9223372036854775808", JsonValue::integer(INT64_MIN), kSigned},
        ScalarCase{"-9223372036854775809", JsonValue::number(-9223372036854775808.0), kDouble},
        ScalarCase{"100000000000000000000000000000", JsonValue::number(1e29), kDouble},
        ScalarCase{"1.0", JsonValue::number(1.0), kDouble},
        ScalarCase{"1e2", JsonValue::number(100.0), kDouble},
        ScalarCase{"1E+2", JsonValue::number(100.0), kDouble},
        ScalarCase{"-2.5e-3", JsonValue::number(-0.0025), kDouble},
        ScalarCase{"5e-324", JsonValue::number(5e-324), kDouble},
        ScalarCase{"1.7976931348623157e308", JsonValue::number(1.7976931348623157e308), kDouble},
        ScalarCase{"1e-400", JsonValue::number(0.0), kDouble},
        ScalarCase{"0." + std::string(400, '0') + "1", JsonValue::number(0.0), kDouble},
        ScalarCase{"true", JsonValue::boolean(true), kBool},
        ScalarCase{"false", JsonValue::boolean(false), kBool},
        ScalarCase{" \t\r\nnull \n", JsonValue::null(), kNull},
        ScalarCase{"\"\"", JsonValue::string(""), kString}));

TEST(JsonParse, NegativeZeroDoubleKeepsItsSign) {
  for (const char* text : {"-0.0", "-0e0", "-1e-400"}) {
    JsonValue v = json(text);
    ASSERT_EQ(v.storage().index(), kDouble) << text;
    EXPECT_TRUE(std::signbit(std::get<double>(v.storage()))) << text;
  }
}

TEST(JsonParse, DuplicateKeysKeepTheLastValue) {
  JsonValue v = json(R"({"b":1,"a":2,"b":"last"})");
  ASSERT_TRUE(v.is_object());
  EXPECT_EQ(v.as_object()->size(), 2u);
  EXPECT_EQ(v.as_object()->at("b"), JsonValue::string("last"));
  EXPECT_EQ(v.serialise(), R"({"a":2,"b":"last"})");
}

TEST(JsonParse, ReadsPythonDumpsLayout) {
  // json.dumps separates with ", " and ": ", keeps insertion order and escapes
  // every non-ASCII character.
  JsonValue v = json(R"({"z": [1, 2.5, "x"], "caf\u00e9": {"n": null}, "a": -3})");
  EXPECT_EQ(v.serialise(), "{\"a\":-3,\"caf\xC3\xA9\":{\"n\":null},\"z\":[1,2.5,\"x\"]}");
}

// ---------------------------------------------------------------- strings

struct StringCase {
  std::string text;
  std::string expected;
};

std::ostream& operator<<(std::ostream& os, const StringCase& c) { return os << c.text; }

class ParseString : public ::testing::TestWithParam<StringCase> {};

TEST_P(ParseString, DecodesEscapesAndKeepsUtf8) {
  JsonValue v = json(GetParam().text);
  ASSERT_NE(v.as_string(), nullptr);
  EXPECT_EQ(*v.as_string(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Json, ParseString,
    ::testing::Values(StringCase{R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
                      StringCase{R"("\u0041\u00e9\u20AC")", "A\xC3\xA9\xE2\x82\xAC"},
                      StringCase{R"("\ud83d\ude00")", "\xF0\x9F\x98\x80"},
                      StringCase{R"("\uDBFF\uDFFF")", "\xF4\x8F\xBF\xBF"},
                      StringCase{R"("a\u0000b")", std::string("a\0b", 3)},
                      StringCase{"\"\x7F\xC3\xA9\xF0\x9F\x98\x80\"",
                                 "\x7F\xC3\xA9\xF0\x9F\x98\x80"},
                      StringCase{"\"\xEF\xBF\xBF\xED\x9F\xBF\"", "\xEF\xBF\xBF\xED\x9F\xBF"}));

// ---------------------------------------------------------------- malformed input

struct ErrorCase {
  std::string text;
  std::string error;
};

std::ostream& operator<<(std::ostream& os, const ErrorCase& c) { return os << c.text; }

class ParseError : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ParseError, ReportsTheFaultAndItsPosition) {
  Result<JsonValue> r = parse_json(GetParam().text);
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.error().detail(), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Json, ParseError,
    ::testing::Values(
        ErrorCase{"", "EOF while parsing a value at line 1 column 1"},
        ErrorCase{"   ", "EOF while parsing a value at line 1 column 4"},
        ErrorCase{R"({"a": NaN})", "expected value at line 1 column 7"},
        ErrorCase{"Infinity", "expected value at line 1 column 1"},
        ErrorCase{"-Infinity", "invalid number at line 1 column 2"},
        ErrorCase{"+1", "expected value at line 1 column 1"},
        ErrorCase{".5", "expected value at line 1 column 1"},
        ErrorCase{"01", "invalid number: leading zero at line 1 column 1"},
        ErrorCase{"[-012]", "invalid number: leading zero at line 1 column 3"},
        ErrorCase{"1.", "invalid number at line 1 column 3"},
        ErrorCase{"1.e5", "invalid number at line 1 column 3"},
        ErrorCase{"1e", "invalid number at line 1 column 3"},
        ErrorCase{"1e+", "invalid number at line 1 column 4"},
        ErrorCase{"1e400", "number out of range at line 1 column 1"},
        ErrorCase{"[-1e400]", "number out of range at line 1 column 2"},
        ErrorCase{"1" + std::string(400, '0') + ".0", "number out of range at line 1 column 1"},
        ErrorCase{"[1,]", "trailing comma at line 1 column 4"},
        ErrorCase{R"({"a":1,})", "trailing comma at line 1 column 8"},
        ErrorCase{"[1 2]", "expected ',' or ']' at line 1 column 4"},
        ErrorCase{"[,1]", "expected value at line 1 column 2"},
        ErrorCase{"{1:2}", "key must be a string at line 1 column 2"},
        ErrorCase{R"({"a" 1})", "expected ':' at line 1 column 6"},
        ErrorCase{R"({"a":1 "b":2})", "expected ',' or '}' at line 1 column 8"},
        ErrorCase{"[1,\n  2,\n  x]", "expected value at line 3 column 3"},
        ErrorCase{"\"\xC3\xA9\" x", "trailing characters at line 1 column 5"},
        ErrorCase{"{} {}", "trailing characters at line 1 column 4"},
        ErrorCase{"tru", "invalid literal at line 1 column 1"},
        ErrorCase{"[nul]", "invalid literal at line 1 column 2"},
        ErrorCase{"nulls", "trailing characters at line 1 column 5"},
        ErrorCase{"\"abc", "EOF while parsing a string at line 1 column 5"},
        ErrorCase{"\"ab\\", "EOF while parsing a string at line 1 column 5"},
        ErrorCase{"\"\\u12", "EOF while parsing a string at line 1 column 6"},
        ErrorCase{"[", "EOF while parsing an array at line 1 column 2"},
        ErrorCase{"[1", "EOF while parsing an array at line 1 column 3"},
        ErrorCase{"{", "EOF while parsing an object at line 1 column 2"},
        ErrorCase{R"({"a")", "EOF while parsing an object at line 1 column 5"},
        ErrorCase{R"({"a":)", "EOF while parsing a value at line 1 column 6"},
        ErrorCase{R"("\x")", "invalid escape at line 1 column 2"},
        ErrorCase{R"("\U0041")", "invalid escape at line 1 column 2"},
        ErrorCase{R"("\u12G4")", "invalid unicode escape at line 1 column 6"},
        ErrorCase{R"("ab\ud800")", "unpaired surrogate in unicode escape at line 1 column 4"},
        ErrorCase{R"("\udc00")", "unpaired surrogate in unicode escape at line 1 column 2"},
        ErrorCase{R"("\ud800x")", "unpaired surrogate in unicode escape at line 1 column 2"},
        ErrorCase{R"("\ud800\u0041")", "unpaired surrogate in unicode escape at line 1 column 2"},
        ErrorCase{R"("\ud800\ud800")", "unpaired surrogate in unicode escape at line 1 column 2"},
        ErrorCase{"\"a\tb\"", "control character in string at line 1 column 3"},
        ErrorCase{std::string("\"a\0\"", 4), "control character in string at line 1 column 3"},
        ErrorCase{"\"\xFF\"", "invalid UTF-8 in string at line 1 column 2"},
        ErrorCase{"\"\x80\"", "invalid UTF-8 in string at line 1 column 2"},
        ErrorCase{"\"\xC0\xAF\"", "invalid UTF-8 in string at line 1 column 2"},
        ErrorCase{"\"\xE0\x80\xAF\"", "invalid UTF-8 in string at line 1 column 2"},
        ErrorCase{"\"\xED\xA0\x80\"", "invalid UTF-8 in string at line 1 column 2"},
        ErrorCase{"\"\xF4\x90\x80\x80\"", "invalid UTF-8 in string at line 1 column 2"},
        ErrorCase{"\"\xE2\x82\"", "invalid UTF-8 in string at line 1 column 2"},
        ErrorCase{"\"\xE2\x82", "invalid UTF-8 in string at line 1 column 2"},
        ErrorCase{"\xEF\xBB\xBF{}", "expected value at line 1 column 1"}));

TEST(JsonParse, NestingIsLimitedTo512Levels) {
  auto nested = [](int depth, char open, char close) {
    return std::string(depth, open) + std::string(depth, close);
  };
  EXPECT_TRUE(parse_json(nested(kMaxJsonDepth, '[', ']')).ok());
  Result<JsonValue> deep = parse_json(nested(kMaxJsonDepth + 1, '[', ']'));
  EXPECT_FALSE(deep.ok());
  EXPECT_EQ(deep.error().detail(), "nesting deeper than 512 levels at line 1 column 513");

  std::string objects;
  for (int i = 0; i < kMaxJsonDepth; ++i) objects += "{\"k\":";
  EXPECT_TRUE(parse_json(objects + "1" + std::string(kMaxJsonDepth, '}')).ok());
  EXPECT_FALSE(parse_json("[" + objects + "1" + std::string(kMaxJsonDepth, '}') + "]").ok());

  // Hostile input far beyond the limit fails without exhausting the stack.
  EXPECT_FALSE(parse_json(std::string(1'000'000, '[')).ok());
  EXPECT_FALSE(parse_json(std::string(1'000'000, '{')).ok());
}

// ---------------------------------------------------------------- serialisation

TEST(JsonSerialise, EscapesEveryControlCharacter) {
  for (int c = 0; c < 0x20; ++c) {
    // Five have short escapes, the rest the \u00XX form with lower-case hex.
    const std::string named[] = {"\\b", "\\t", "\\n", "", "\\f", "\\r"};
    char buffer[8];
    std::snprintf(buffer, sizeof(buffer), "\\u%04x", c);
    std::string expected = c >= 8 && c <= 13 && c != 11 ? named[c - 8] : buffer;
    std::string s = "a" + std::string(1, static_cast<char>(c)) + "b";
    std::string text = JsonValue::string(s).serialise();
    EXPECT_EQ(text, "\"a" + expected + "b\"") << "character " << c;
    EXPECT_EQ(json(text), JsonValue::string(s)) << "character " << c;
  }
}

TEST(JsonSerialise, WritesOtherCharactersAsTheirBytes) {
  EXPECT_EQ(JsonValue::string("q\"b\\s/").serialise(), R"("q\"b\\s/")");
  EXPECT_EQ(JsonValue::string("\x7F \xC3\xA9 \xF0\x9F\x98\x80").serialise(),
            "\"\x7F \xC3\xA9 \xF0\x9F\x98\x80\"");
  EXPECT_EQ(JsonValue::string("\x1F").serialise(), "\"\\u001f\"");
}

struct DoubleCase {
  double value;
  std::string text;
};

std::ostream& operator<<(std::ostream& os, const DoubleCase& c) { return os << c.text; }

class SerialiseDouble : public ::testing::TestWithParam<DoubleCase> {};

TEST_P(SerialiseDouble, ShortestFormThatReadsBackAsADouble) {
  const DoubleCase& c = GetParam();
  JsonValue v = JsonValue::number(c.value);
  EXPECT_EQ(v.serialise(), c.text);
  JsonValue back = json(c.text);
  ASSERT_EQ(back.storage().index(), kDouble);
  EXPECT_EQ(std::bit_cast<uint64_t>(std::get<double>(back.storage())),
            std::bit_cast<uint64_t>(c.value));
}

INSTANTIATE_TEST_SUITE_P(
    Json, SerialiseDouble,
    ::testing::Values(DoubleCase{0.1, "0.1"}, DoubleCase{1e300, "1e+300"}, DoubleCase{-0.0, "-0.0"},
                      DoubleCase{0.0, "0.0"}, DoubleCase{5e-324, "5e-324"}, DoubleCase{1.0, "1.0"},
                      DoubleCase{-100.0, "-100.0"}, DoubleCase{1e16, "1e+16"},
                      DoubleCase{2.5, "2.5"},
                      DoubleCase{1.7976931348623157e308, "1.7976931348623157e+308"},
                      DoubleCase{1.0 / 3.0, "0.3333333333333333"}));

TEST(JsonSerialise, IntegersAndLiterals) {
  EXPECT_EQ(JsonValue::unsigned_int(UINT64_MAX).serialise(), "18446744073709551615");
  EXPECT_EQ(JsonValue::integer(INT64_MIN).serialise(), "-9223372036854775808");
  EXPECT_EQ(JsonValue::integer(-7).serialise(), "-7");
  EXPECT_EQ(JsonValue::null().serialise(), "null");
  EXPECT_EQ(JsonValue::boolean(false).serialise(), "false");
}

TEST(JsonSerialise, CompactWithKeysInByteOrder) {
  JsonObject inner;
  inner.emplace("b", JsonValue::null());
  JsonObject o;
  for (const char* key : {"b", "a", "B", "\xC3\xA9", "z", ""}) {
    o.emplace(key, JsonValue::unsigned_int(1));
  }
  o.insert_or_assign("a", JsonValue::array({JsonValue::integer(-1), JsonValue::object(inner),
                                            JsonValue::array({})}));
  EXPECT_EQ(JsonValue::object(o).serialise(),
            "{\"\":1,\"B\":1,\"a\":[-1,{\"b\":null},[]],\"b\":1,\"z\":1,\"\xC3\xA9\":1}");
  std::string appended = "x";
  JsonValue::object({}).serialise_to(appended);
  EXPECT_EQ(appended, "x{}");
}

// ---------------------------------------------------------------- equality and hash

TEST(JsonValueTest, ConstructionKeepsNumberInvariants) {
  EXPECT_EQ(JsonValue::integer(5).storage().index(), kUnsigned);
  EXPECT_EQ(JsonValue(Storage(int64_t{0})).storage().index(), kUnsigned);
  EXPECT_EQ(JsonValue(Storage(int64_t{-3})).storage().index(), kSigned);
  EXPECT_TRUE(JsonValue::number(std::nan("")).is_null());
  EXPECT_TRUE(JsonValue::number(-std::numeric_limits<double>::infinity()).is_null());
  EXPECT_TRUE(JsonValue(Storage(std::numeric_limits<double>::infinity())).is_null());
  EXPECT_DOUBLE_EQ(JsonValue::unsigned_int(UINT64_MAX).as_double(), 18446744073709551616.0);
  EXPECT_DOUBLE_EQ(JsonValue::integer(-4).as_double(), -4.0);
  EXPECT_FALSE(JsonValue::string("1").is_number());
  EXPECT_FALSE(JsonValue::boolean(true).is_number());
}

struct EqualityCase {
  std::string a;
  std::string b;
  bool equal;
};

std::ostream& operator<<(std::ostream& os, const EqualityCase& c) {
  return os << c.a << " vs " << c.b;
}

class Equality : public ::testing::TestWithParam<EqualityCase> {};

TEST_P(Equality, IsTypeStrictAndAgreesWithTheHash) {
  JsonValue a = json(GetParam().a);
  JsonValue b = json(GetParam().b);
  EXPECT_EQ(a == b, GetParam().equal);
  EXPECT_EQ(b == a, GetParam().equal);
  if (GetParam().equal) {
    EXPECT_EQ(a.hash(), b.hash());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Json, Equality,
    ::testing::Values(EqualityCase{"1", "1.0", false}, EqualityCase{"-1", "-1.0", false},
                      EqualityCase{"1", "1", true}, EqualityCase{"-0", "0", true},
                      EqualityCase{"0.0", "-0.0", true}, EqualityCase{"1e2", "100.0", true},
                      EqualityCase{"true", "1", false}, EqualityCase{"false", "null", false},
                      EqualityCase{"\"\"", "null", false}, EqualityCase{"\"1\"", "1", false},
                      EqualityCase{"\"a\"", "\"a\"", true}, EqualityCase{"\"a\"", "\"b\"", false},
                      EqualityCase{"[1,2]", "[1, 2]", true}, EqualityCase{"[1,2]", "[2,1]", false},
                      EqualityCase{"[1]", "[1,1]", false}, EqualityCase{"[]", "{}", false},
                      EqualityCase{R"({"a":1,"b":[0.0]})", R"({"b":[-0.0],"a":1})", true},
                      EqualityCase{R"({"a":1})", R"({"a":1,"b":2})", false},
                      EqualityCase{R"({"a":1})", R"({"b":1})", false},
                      EqualityCase{R"({"a":{"x":null}})", R"({"a":{"x":false}})", false}));

TEST(JsonValueTest, DistinctValuesHashApart) {
  // Not a requirement of correctness, but a hash that collides on simple keys would
  // turn the index into linear lists.
  std::vector<JsonValue> values;
  for (int i = 0; i < 500; ++i) {
    values.push_back(JsonValue::unsigned_int(i));
    values.push_back(JsonValue::integer(-i - 1));
    values.push_back(JsonValue::number(i + 0.5));
    values.push_back(JsonValue::string("k" + std::to_string(i)));
    values.push_back(JsonValue::array({JsonValue::unsigned_int(i)}));
    JsonObject o;
    o.emplace("k", JsonValue::unsigned_int(i));
    values.push_back(JsonValue::object(std::move(o)));
  }
  values.push_back(JsonValue::null());
  values.push_back(JsonValue::boolean(false));
  values.push_back(JsonValue::boolean(true));
  values.push_back(JsonValue::string(""));
  values.push_back(JsonValue::array({}));
  values.push_back(JsonValue::object({}));
  std::set<size_t> hashes;
  for (const JsonValue& v : values) hashes.insert(v.hash());
  EXPECT_EQ(hashes.size(), values.size());
}

// ---------------------------------------------------------------- round-trip properties

void append_utf8(uint32_t cp, std::string& s) {
  if (cp < 0x80) {
    s += static_cast<char>(cp);
  } else if (cp < 0x800) {
    s += static_cast<char>(0xC0 | (cp >> 6));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    s += static_cast<char>(0xE0 | (cp >> 12));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    s += static_cast<char>(0xF0 | (cp >> 18));
    s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

class RandomJson {
 public:
  explicit RandomJson(uint64_t seed) : rng_(seed) {}

  JsonValue value(int depth) {
    int kinds = depth >= 4 ? 6 : 8;
    switch (below(kinds)) {
      case 0:
        return JsonValue::null();
      case 1:
        return JsonValue::boolean(below(2) == 1);
      case 2:
        return JsonValue::unsigned_int(below(2) ? below(100) : rng_());
      case 3:
        return JsonValue::integer(below(2) ? -1 - static_cast<int64_t>(below(100))
                                           : static_cast<int64_t>(rng_() | (1ull << 63)));
      case 4:
        return JsonValue::number(real());
      case 5:
        return JsonValue::string(text());
      case 6: {
        JsonArray a;
        for (uint64_t n = below(5); n > 0; --n) a.push_back(value(depth + 1));
        return JsonValue::array(std::move(a));
      }
      default: {
        JsonObject o;
        for (uint64_t n = below(5); n > 0; --n) o.insert_or_assign(text(), value(depth + 1));
        return JsonValue::object(std::move(o));
      }
    }
  }

  uint64_t below(uint64_t n) { return rng_() % n; }
  std::mt19937_64& rng() { return rng_; }

 private:
  double real() {
    static const double kSpecial[] = {0.0, -0.0, 1.0, 0.1, 1e300, 5e-324, -2.5, 1e16, 1e-7};
    if (below(3) == 0) return kSpecial[below(std::size(kSpecial))];
    for (;;) {
      double d = std::bit_cast<double>(rng_());
      if (std::isfinite(d)) return d;
    }
  }

  // Code points from every UTF-8 length, the escaped characters and controls.
  std::string text() {
    std::string s;
    for (uint64_t n = below(8); n > 0; --n) {
      uint32_t cp;
      switch (below(6)) {
        case 0:
          cp = static_cast<uint32_t>(below(0x20));
          break;
        case 1:
          cp = below(2) ? '"' : '\\';
          break;
        case 2:
          cp = 0x20 + static_cast<uint32_t>(below(0x60));
          break;
        case 3:
          cp = 0x80 + static_cast<uint32_t>(below(0x780));
          break;
        case 4:
          do cp = 0x800 + static_cast<uint32_t>(below(0xF800));
          while (cp >= 0xD800 && cp <= 0xDFFF);
          break;
        default:
          cp = 0x10000 + static_cast<uint32_t>(below(0x100000));
          break;
      }
      append_utf8(cp, s);
    }
    return s;
  }

 private:
  std::mt19937_64 rng_;
};

// Writes v the way Python's json.dumps does: ", " and ": " separators, keys in a
// shuffled order, every non-ASCII character as \u escapes (surrogate pairs above
// U+FFFF). Independent of JsonValue::serialise except for numbers and literals.
void write_like_dumps(const JsonValue& v, std::mt19937_64& rng, std::string& out) {
  auto write_string = [&out](const std::string& s) {
    out += '"';
    for (size_t i = 0; i < s.size();) {
      unsigned char c = static_cast<unsigned char>(s[i]);
      uint32_t cp;
      size_t n;
      if (c < 0x80) {
        cp = c;
        n = 1;
      } else if (c < 0xE0) {
        cp = c & 0x1F;
        n = 2;
      } else if (c < 0xF0) {
        cp = c & 0x0F;
        n = 3;
      } else {
        cp = c & 0x07;
        n = 4;
      }
      for (size_t k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
      i += n;
      char buffer[16];
      if (cp == '"' || cp == '\\') {
        out += '\\';
        out += static_cast<char>(cp);
      } else if (cp < 0x20 || cp >= 0x7F) {
        if (cp >= 0x10000) {
          uint32_t high = 0xD800 + ((cp - 0x10000) >> 10), low = 0xDC00 + ((cp - 0x10000) & 0x3FF);
          std::snprintf(buffer, sizeof(buffer), "\\u%04x\\u%04x", high, low);
        } else {
          std::snprintf(buffer, sizeof(buffer), "\\u%04x", cp);
        }
        out += buffer;
      } else {
        out += static_cast<char>(cp);
      }
    }
    out += '"';
  };
  if (const JsonArray* a = v.as_array()) {
    out += '[';
    for (size_t i = 0; i < a->size(); ++i) {
      if (i > 0) out += ", ";
      write_like_dumps((*a)[i], rng, out);
    }
    out += ']';
  } else if (const JsonObject* o = v.as_object()) {
    std::vector<const std::pair<const std::string, JsonValue>*> entries;
    for (const auto& entry : *o) entries.push_back(&entry);
    std::shuffle(entries.begin(), entries.end(), rng);
    out += '{';
    for (size_t i = 0; i < entries.size(); ++i) {
      if (i > 0) out += ", ";
      write_string(entries[i]->first);
      out += ": ";
      write_like_dumps(entries[i]->second, rng, out);
    }
    out += '}';
  } else if (const std::string* s = v.as_string()) {
    write_string(*s);
  } else {
    v.serialise_to(out);
  }
}

TEST(JsonProperty, RandomValuesRoundTrip) {
  RandomJson gen(20240611);
  for (int i = 0; i < 3000; ++i) {
    JsonValue v = gen.value(0);
    std::string text = v.serialise();
    Result<JsonValue> back = parse_json(text);
    ASSERT_TRUE(back.ok()) << text << ": " << back.error().detail();
    ASSERT_EQ(back.value(), v) << text;
    // Text equality also catches a lost sign of -0.0, which == cannot see.
    ASSERT_EQ(back.value().serialise(), text);
    ASSERT_EQ(back.value().hash(), v.hash()) << text;

    std::string dumped;
    write_like_dumps(v, gen.rng(), dumped);
    Result<JsonValue> from_dumps = parse_json(dumped);
    ASSERT_TRUE(from_dumps.ok()) << dumped << ": " << from_dumps.error().detail();
    ASSERT_EQ(from_dumps.value().serialise(), text) << dumped;
  }
}

TEST(JsonProperty, DamagedTextNeverCrashesAndWhatParsesRoundTrips) {
  RandomJson gen(7);
  static const char kBytes[] = "{}[]\",:\\u0e-+.9 \n\x80\xC3\xFF";
  int accepted = 0;
  for (int i = 0; i < 4000; ++i) {
    std::string text = gen.value(0).serialise();
    for (uint64_t edits = 1 + gen.below(3); edits > 0; --edits) {
      size_t at = text.empty() ? 0 : gen.below(text.size());
      char byte = kBytes[gen.below(sizeof(kBytes) - 1)];
      switch (gen.below(3)) {
        case 0:
          if (!text.empty()) text[at] = byte;
          break;
        case 1:
          if (!text.empty()) text.erase(at, 1);
          break;
        default:
          text.insert(at, 1, byte);
          break;
      }
    }
    Result<JsonValue> r = parse_json(text);
    if (!r.ok()) {
      EXPECT_NE(r.error().detail().find(" at line "), std::string::npos) << r.error().detail();
      continue;
    }
    ++accepted;
    Result<JsonValue> again = parse_json(r.value().serialise());
    ASSERT_TRUE(again.ok()) << text;
    EXPECT_EQ(again.value(), r.value()) << text;
  }
  // The edits must leave both outcomes common, or the test exercises one path only.
  EXPECT_GT(accepted, 100);
  EXPECT_LT(accepted, 3900);
}

}  // namespace
}  // namespace dralm
