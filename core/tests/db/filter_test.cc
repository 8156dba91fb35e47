#include "db/filter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
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
        MatchCase{"dotted", FilterExpr::eq("a.b", u(1)), R"({"a":{"b":1}})", false},
        MatchCase{"dotted", FilterExpr::eq("a.b", u(1)), R"({"a.b":1})", true},
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
                  R"({"color":"blue","x":2})", false}));

}  // namespace
}  // namespace dralm
