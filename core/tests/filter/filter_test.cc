#include "filter/filter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <compare>
#include <optional>
#include <random>
#include <string>

#include "json/json.h"

namespace dralm {
namespace {

using Kind = FilterExpr::Kind;

JsonValue u(uint64_t v) { return JsonValue::unsigned_int(v); }
JsonValue s(std::string v) { return JsonValue::string(std::move(v)); }

struct MatchCase {
  std::string name;
  FilterExpr filter;
  std::optional<std::string> metadata;  // JSON text, or absent
  bool expected;
};

std::ostream& operator<<(std::ostream& os, const MatchCase& c) {
  return os << c.name << " on " << c.metadata.value_or("<absent>");
}

class Matches : public ::testing::TestWithParam<MatchCase> {};

TEST_P(Matches, EvaluatesAgainstOneSlot) {
  const MatchCase& c = GetParam();
  std::optional<JsonValue> metadata;
  if (c.metadata) {
    Result<JsonValue> r = parse_json(*c.metadata);
    ASSERT_TRUE(r.ok()) << r.error().detail();
    metadata = r.value();
  }
  EXPECT_EQ(matches(c.filter, metadata), c.expected);
}

const FilterExpr kColorRed = FilterExpr::eq("color", s("red"));
const FilterExpr kNeX5 = FilterExpr::ne("x", u(5));
const FilterExpr kGtX2 = FilterExpr::range(Kind::Gt, "x", 2.0);
const FilterExpr kBetween1And3 = FilterExpr::all_of(
    {FilterExpr::range(Kind::Gte, "x", 1.0), FilterExpr::range(Kind::Lte, "x", 3.0)});
const FilterExpr kInAOr1 = FilterExpr::in("x", {s("a"), u(1)});
const FilterExpr kNinAOr1 = FilterExpr::nin("x", {s("a"), u(1)});
const FilterExpr kRedOrNear2 =
    FilterExpr::any_of({kColorRed, FilterExpr::all_of({FilterExpr::range(Kind::Gt, "x", 2.0),
                                                       FilterExpr::range(Kind::Lt, "x", 3.0)})});
// A nanosecond timestamp: t, t + 1 and t + 2 share one nearest double.
RangeBound t_plus(uint64_t d) { return RangeBound::unsigned_integer(1700000000000000000 + d); }
const FilterExpr kGtT = FilterExpr::range(Kind::Gt, "t", t_plus(0));
const RangeBound kTwoTo64PlusOne = RangeBound::wide_integer(18446744073709551616.0, 1);

INSTANTIATE_TEST_SUITE_P(
    Filter, Matches,
    ::testing::Values(
        // Equality holds only for the same variant and value under that exact key.
        MatchCase{"eq", kColorRed, R"({"color":"red","n":1})", true},
        MatchCase{"eq", kColorRed, R"({"color":"blue"})", false},
        MatchCase{"eq", kColorRed, R"({"n":1})", false},
        MatchCase{"eq", kColorRed, std::nullopt, false},
        MatchCase{"eq", kColorRed, R"(["color","red"])", false},
        MatchCase{"eq", kColorRed, R"("red")", false},
        MatchCase{"int vs float", FilterExpr::eq("n", u(1)), R"({"n":1.0})", false},
        MatchCase{"float vs int", FilterExpr::eq("n", JsonValue::number(1.0)), R"({"n":1})", false},
        MatchCase{"float", FilterExpr::eq("n", JsonValue::number(1.0)), R"({"n":1.0})", true},
        MatchCase{"zero signs", FilterExpr::eq("n", JsonValue::number(-0.0)), R"({"n":0.0})", true},
        MatchCase{"negative", FilterExpr::eq("n", JsonValue::integer(-2)), R"({"n":-2})", true},
        MatchCase{"negative vs float", FilterExpr::eq("n", JsonValue::integer(-2)), R"({"n":-2.0})",
                  false},
        MatchCase{"bool", FilterExpr::eq("flag", JsonValue::boolean(true)), R"({"flag":true})",
                  true},
        MatchCase{"bool vs int", FilterExpr::eq("flag", JsonValue::boolean(true)), R"({"flag":1})",
                  false},
        MatchCase{"null", FilterExpr::eq("x", JsonValue::null()), R"({"x":null})", true},
        MatchCase{"null missing", FilterExpr::eq("x", JsonValue::null()), R"({})", false},
        MatchCase{"array value", FilterExpr::eq("tags", JsonValue::array({s("a")})),
                  R"({"tags":["a"]})", true},
        // A dotted name: the whole key first, else the path through nested objects.
        MatchCase{"dotted path", FilterExpr::eq("a.b", u(1)), R"({"a":{"b":1}})", true},
        MatchCase{"dotted key", FilterExpr::eq("a.b", u(1)), R"({"a.b":1})", true},
        MatchCase{"dotted key first", FilterExpr::eq("a.b", u(1)), R"({"a.b":2,"a":{"b":1}})",
                  false},
        MatchCase{"dotted key first", FilterExpr::eq("a.b", u(2)), R"({"a.b":2,"a":{"b":1}})",
                  true},
        MatchCase{"deep path", FilterExpr::eq("a.b.c", u(1)), R"({"a":{"b":{"c":1}}})", true},
        MatchCase{"path splits at every dot", FilterExpr::eq("a.b.c", u(1)), R"({"a":{"b.c":1}})",
                  false},
        MatchCase{"path through a scalar", FilterExpr::eq("a.b", u(1)), R"({"a":1})", false},
        MatchCase{"path through an array", FilterExpr::eq("a.0", u(1)), R"({"a":[1]})", false},
        MatchCase{"path to an object", FilterExpr::eq("a.b", JsonValue::object({{"c", u(1)}})),
                  R"({"a":{"b":{"c":1}}})", true},
        MatchCase{"empty segment", FilterExpr::eq("a..b", u(1)), R"({"a":{"":{"b":1}}})", true},
        MatchCase{"ne on a missing path", FilterExpr::ne("a.b", u(1)), R"({"a":{"c":1}})", true},
        MatchCase{"range on a path", FilterExpr::range(Kind::Gt, "a.b", 0.5), R"({"a":{"b":1}})",
                  true},
        MatchCase{"dollar field", FilterExpr::eq("$or", u(1)), R"({"$or":1})", true},
        // Ne holds for a missing field but never without an object.
        MatchCase{"ne", kNeX5, R"({"x":4})", true}, MatchCase{"ne", kNeX5, R"({"y":5})", true},
        MatchCase{"ne", kNeX5, R"({"x":5})", false}, MatchCase{"ne", kNeX5, R"({"x":5.0})", true},
        MatchCase{"ne", kNeX5, std::nullopt, false}, MatchCase{"ne", kNeX5, "5", false},
        // Ranges need a number; booleans and strings are not numbers.
        MatchCase{"gt", kGtX2, R"({"x":3})", true}, MatchCase{"gt", kGtX2, R"({"x":2.5})", true},
        MatchCase{"gt", kGtX2, R"({"x":2})", false}, MatchCase{"gt", kGtX2, R"({"x":"3"})", false},
        MatchCase{"gt", kGtX2, R"({"x":null})", false},
        MatchCase{"gt", kGtX2, R"({"x":true})", false},
        MatchCase{"gt", kGtX2, R"({"x":[3]})", false}, MatchCase{"gt", kGtX2, R"({"y":3})", false},
        MatchCase{"gte", FilterExpr::range(Kind::Gte, "x", 2.0), R"({"x":2})", true},
        MatchCase{"lt", FilterExpr::range(Kind::Lt, "x", -4.0), R"({"x":-5})", true},
        MatchCase{"lt", FilterExpr::range(Kind::Lt, "x", -4.0), R"({"x":-4})", false},
        MatchCase{"lte", FilterExpr::range(Kind::Lte, "x", -4.0), R"({"x":-4.0})", true},
        MatchCase{"huge", FilterExpr::range(Kind::Gt, "x", 1.8e19), R"({"x":18446744073709551615})",
                  true},
        MatchCase{"nan bound", FilterExpr::range(Kind::Gt, "x", NAN), R"({"x":1})", false},
        MatchCase{"nan bound", FilterExpr::range(Kind::Lte, "x", NAN), R"({"x":1})", false},
        MatchCase{"between", kBetween1And3, R"({"x":1})", true},
        MatchCase{"between", kBetween1And3, R"({"x":3.0})", true},
        MatchCase{"between", kBetween1And3, R"({"x":2.5})", true},
        MatchCase{"between", kBetween1And3, R"({"x":0})", false},
        MatchCase{"between", kBetween1And3, R"({"x":4})", false},
        // In: some element equal, type-strict; the empty list never holds.
        MatchCase{"in", kInAOr1, R"({"x":"a"})", true},
        MatchCase{"in", kInAOr1, R"({"x":1})", true},
        MatchCase{"in", kInAOr1, R"({"x":1.0})", false},
        MatchCase{"in", kInAOr1, R"({"x":"b"})", false},
        MatchCase{"in", kInAOr1, R"({"y":"a"})", false},
        MatchCase{"in empty", FilterExpr::in("x", {}), R"({"x":"a"})", false},
        // AllOf: every member; the empty list holds for any object only.
        MatchCase{"empty all", FilterExpr::all_of({}), R"({})", true},
        MatchCase{"empty all", FilterExpr::all_of({}), std::nullopt, false},
        MatchCase{"empty all", FilterExpr::all_of({}), "[]", false},
        MatchCase{"all", FilterExpr::all_of({kColorRed, kNeX5}), R"({"color":"red","x":4})", true},
        MatchCase{"all", FilterExpr::all_of({kColorRed, kNeX5}), R"({"color":"red","x":5})", false},
        MatchCase{"nested all",
                  FilterExpr::all_of({FilterExpr::all_of({kColorRed}), kBetween1And3}),
                  R"({"color":"red","x":2})", true},
        MatchCase{"nested all",
                  FilterExpr::all_of({FilterExpr::all_of({kColorRed}), kBetween1And3}),
                  R"({"color":"blue","x":2})", false},
        // Nin: like Ne, a missing field holds; type-strict; the empty list always holds.
        MatchCase{"nin", kNinAOr1, R"({"x":"b"})", true},
        MatchCase{"nin", kNinAOr1, R"({"x":1.0})", true},
        MatchCase{"nin", kNinAOr1, R"({"x":"a"})", false},
        MatchCase{"nin", kNinAOr1, R"({"x":1})", false},
        MatchCase{"nin", kNinAOr1, R"({"y":"a"})", true},
        MatchCase{"nin", kNinAOr1, std::nullopt, false},
        MatchCase{"nin empty", FilterExpr::nin("x", {}), R"({"x":"a"})", true},
        // AnyOf: some member; the empty list holds for nothing.
        MatchCase{"any", kRedOrNear2, R"({"color":"red"})", true},
        MatchCase{"any", kRedOrNear2, R"({"x":2.5})", true},
        MatchCase{"any", kRedOrNear2, R"({"color":"blue","x":0})", false},
        MatchCase{"any", kRedOrNear2, std::nullopt, false},
        MatchCase{"empty any", FilterExpr::any_of({}), R"({})", false},
        MatchCase{"any of all",
                  FilterExpr::any_of({FilterExpr::all_of({kColorRed, kNeX5}), kInAOr1}),
                  R"({"color":"red","x":5})", false},
        MatchCase{"any of all",
                  FilterExpr::any_of({FilterExpr::all_of({kColorRed, kNeX5}), kInAOr1}),
                  R"({"color":"blue","x":1})", true},
        // Ranges compare integers exactly, also above 2^53 where doubles are 2 apart.
        MatchCase{"gt big", kGtT, R"({"t":1700000000000000001})", true},
        MatchCase{"gt big", kGtT, R"({"t":1700000000000000000})", false},
        MatchCase{"gte big", FilterExpr::range(Kind::Gte, "t", t_plus(1)),
                  R"({"t":1700000000000000000})", false},
        MatchCase{"lt big", FilterExpr::range(Kind::Lt, "t", t_plus(1)),
                  R"({"t":1700000000000000000})", true},
        MatchCase{"lte big", FilterExpr::range(Kind::Lte, "t", t_plus(0)),
                  R"({"t":1700000000000000001})", false},
        MatchCase{"int vs float bound", FilterExpr::range(Kind::Gt, "x", 9007199254740992.0),
                  R"({"x":9007199254740993})", true},
        MatchCase{"float vs int bound",
                  FilterExpr::range(Kind::Lt, "x", RangeBound::unsigned_integer(9007199254740993)),
                  R"({"x":9007199254740992.0})", true},
        MatchCase{"signed", FilterExpr::range(Kind::Lt, "x", RangeBound::integer(INT64_MIN + 1)),
                  R"({"x":-9223372036854775808})", true},
        MatchCase{"unsigned max",
                  FilterExpr::range(Kind::Gte, "x", RangeBound::unsigned_integer(UINT64_MAX)),
                  R"({"x":18446744073709551615})", true},
        MatchCase{"unsigned max", FilterExpr::range(Kind::Lt, "x", 18446744073709551616.0),
                  R"({"x":18446744073709551615})", true},
        // 2^64 + 1 rounds to the double 2^64, which lies below it.
        MatchCase{"wide bound", FilterExpr::range(Kind::Lt, "x", kTwoTo64PlusOne),
                  R"({"x":18446744073709551616.0})", true},
        MatchCase{"wide bound", FilterExpr::range(Kind::Gte, "x", kTwoTo64PlusOne),
                  R"({"x":18446744073709551616.0})", false},
        MatchCase{"infinite bound", FilterExpr::range(Kind::Lt, "x", INFINITY),
                  R"({"x":18446744073709551615})", true},
        MatchCase{"bool bound is an integer",
                  FilterExpr::range(Kind::Gte, "x", RangeBound::integer(1)), R"({"x":true})",
                  false}));

// The exact order of an integer and a double, against long double arithmetic (64 mantissa
// bits hold every 64-bit integer and every double), on integers next to doubles.
TEST(CompareExact, AgreesWithLongDoubleOnNeighbours) {
  std::mt19937_64 rng(24);
  auto expected = [](long double a, long double b) {
    return a < b   ? std::partial_ordering::less
           : a > b ? std::partial_ordering::greater
                   : std::partial_ordering::equivalent;
  };
  for (int i = 0; i < 200000; ++i) {
    // A double of random magnitude up to 2^66 and sign, and integers around it.
    const int exponent = static_cast<int>(rng() % 67);
    double b = std::ldexp(double(rng() >> 11) / double(uint64_t(1) << 53), exponent);
    if (rng() % 3 == 0) b = std::trunc(b);
    if (rng() % 2 == 0) b = -b;
    for (int step = -2; step <= 2; ++step) {
      const long double near = std::truncl(static_cast<long double>(b)) + step;
      if (near >= 0 && near < 18446744073709551616.0L) {
        const uint64_t a = static_cast<uint64_t>(near);
        ASSERT_EQ(compare_exact(a, b), expected(a, b)) << a << " vs " << b;
      }
      if (near >= -9223372036854775808.0L && near < 9223372036854775808.0L) {
        const int64_t a = static_cast<int64_t>(near);
        ASSERT_EQ(compare_exact(a, b), expected(a, b)) << a << " vs " << b;
      }
    }
  }
  EXPECT_EQ(compare_exact(uint64_t(0), -0.0), std::partial_ordering::equivalent);
  EXPECT_EQ(compare_exact(int64_t(INT64_MIN), -9223372036854775808.0),
            std::partial_ordering::equivalent);
  EXPECT_EQ(compare_exact(uint64_t(UINT64_MAX), 18446744073709551616.0),
            std::partial_ordering::less);
  EXPECT_EQ(compare_exact(int64_t(-1), NAN), std::partial_ordering::unordered);
  EXPECT_EQ(compare_exact(uint64_t(1), -INFINITY), std::partial_ordering::greater);
}

}  // namespace
}  // namespace dralm
