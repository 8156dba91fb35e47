#include "filter/metadata_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "filter/filter.h"
#include "json/json.h"
#include "support/json_text.h"

namespace dralm {
namespace {

using Kind = FilterExpr::Kind;
using testing::json;
using Slots = std::set<uint32_t>;

MetadataSlots slots_of(const std::vector<std::optional<JsonValue>>& metadata) {
  MetadataSlots slots(metadata.size());
  for (size_t s = 0; s < metadata.size(); ++s) slots.set(s, metadata[s]);
  return slots;
}

Slots sorted(const SlotSet& set) { return Slots(set.begin(), set.end()); }

std::optional<Slots> sorted(const std::optional<SlotSet>& set) {
  if (!set) return std::nullopt;
  return sorted(*set);
}

// Slots 0..8 of a small database: two reds that differ only in the number type,
// nested values, no metadata, non-object metadata, an empty object and both zeros.
const char* const kFixture[] = {
    R"({"color":"red","n":1})",
    R"({"color":"red","n":1.0})",
    R"({"color":"blue","nested":{"b":1},"tags":["a","b"]})",
    nullptr,
    "[1]",
    "{}",
    R"("text")",
    R"({"z":-0.0})",
    R"({"z":0.0})",
};

class MetadataIndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (uint32_t slot = 0; slot < std::size(kFixture); ++slot) {
      std::optional<JsonValue> m;
      if (kFixture[slot] != nullptr) m = json(kFixture[slot]);
      index.index_add(slot, m);
      metadata.push_back(m);
    }
  }

  MetadataIndex index;
  std::vector<std::optional<JsonValue>> metadata;
};

TEST_F(MetadataIndexTest, IndexesTopLevelFieldsByWholeValueAndNestedScalarsByPath) {
  EXPECT_EQ(sorted(*index.find("color", json(R"("red")"))), (Slots{0, 1}));
  EXPECT_EQ(sorted(*index.find("color", json(R"("blue")"))), (Slots{2}));
  EXPECT_EQ(sorted(*index.find("n", json("1"))), (Slots{0}));
  EXPECT_EQ(sorted(*index.find("n", json("1.0"))), (Slots{1}));
  EXPECT_EQ(sorted(*index.find("nested", json(R"({"b":1})"))), (Slots{2}));
  EXPECT_EQ(sorted(*index.find("tags", json(R"(["a","b"])"))), (Slots{2}));
  EXPECT_EQ(sorted(*index.find("z", json("0.0"))), (Slots{7, 8}));
  EXPECT_EQ(index.find("b", json("1")), nullptr);
  EXPECT_EQ(index.find("tags", json(R"("a")")), nullptr);
  EXPECT_EQ(sorted(*index.find("nested.b", json("1"))), (Slots{2}));
  // color, n, nested, nested.b, tags, z; red, blue, 1, 1.0, {"b":1}, 1, ["a","b"], 0.0.
  EXPECT_EQ(index.field_count(), 6u);
  EXPECT_EQ(index.value_count(), 8u);
}

struct CandidateCase {
  std::string name;
  FilterExpr filter;
  std::optional<Slots> expected;  // nullopt: the index cannot narrow the filter
};

std::ostream& operator<<(std::ostream& os, const CandidateCase& c) { return os << c.name; }

class Candidates : public MetadataIndexTest, public ::testing::WithParamInterface<CandidateCase> {};

TEST_P(Candidates, AnswerEqualityAndInFromTheIndex) {
  EXPECT_EQ(sorted(index.candidates(GetParam().filter)), GetParam().expected);
}

const FilterExpr kRed = FilterExpr::eq("color", JsonValue::string("red"));
const FilterExpr kGt = FilterExpr::range(Kind::Gt, "n", 0.0);
const FilterExpr kNe = FilterExpr::ne("color", JsonValue::string("red"));

INSTANTIATE_TEST_SUITE_P(
    MetadataIndex, Candidates,
    ::testing::Values(
        CandidateCase{"eq", kRed, Slots{0, 1}},
        CandidateCase{"eq_other_value", FilterExpr::eq("color", JsonValue::string("green")),
                      Slots{}},
        CandidateCase{"eq_missing_field", FilterExpr::eq("size", JsonValue::unsigned_int(1)),
                      Slots{}},
        CandidateCase{"eq_type_strict", FilterExpr::eq("n", JsonValue::unsigned_int(1)), Slots{0}},
        CandidateCase{"eq_negative_zero", FilterExpr::eq("z", JsonValue::number(-0.0)),
                      Slots{7, 8}},
        CandidateCase{"in_union",
                      FilterExpr::in("color", {JsonValue::string("red"), JsonValue::string("blue"),
                                               JsonValue::string("red")}),
                      Slots{0, 1, 2}},
        CandidateCase{"in_type_strict",
                      FilterExpr::in("n", {JsonValue::number(1.0), JsonValue::string("x")}),
                      Slots{1}},
        CandidateCase{"in_empty", FilterExpr::in("color", {}), Slots{}},
        CandidateCase{"in_missing_field", FilterExpr::in("size", {JsonValue::null()}), Slots{}},
        CandidateCase{"ne", kNe, std::nullopt}, CandidateCase{"gt", kGt, std::nullopt},
        CandidateCase{"lte", FilterExpr::range(Kind::Lte, "n", 5.0), std::nullopt},
        CandidateCase{"all_empty", FilterExpr::all_of({}), Slots{}},
        CandidateCase{"all_unanswerable", FilterExpr::all_of({kGt, kNe}), std::nullopt},
        CandidateCase{"all_skips_ranges", FilterExpr::all_of({kGt, kRed}), Slots{0, 1}},
        CandidateCase{"all_intersects",
                      FilterExpr::all_of({kRed, FilterExpr::eq("n", JsonValue::number(1.0))}),
                      Slots{1}},
        CandidateCase{"all_in_and_eq",
                      FilterExpr::all_of({FilterExpr::in("color", {JsonValue::string("red"),
                                                                   JsonValue::string("blue")}),
                                          FilterExpr::eq("tags", json(R"(["a","b"])"))}),
                      Slots{2}},
        CandidateCase{
            "all_disjoint",
            FilterExpr::all_of({kRed, FilterExpr::eq("color", JsonValue::string("blue"))}),
            Slots{}},
        CandidateCase{"all_empty_member_wins",
                      FilterExpr::all_of({kNe, FilterExpr::in("color", {}), kRed}), Slots{}},
        CandidateCase{"all_nested_empty", FilterExpr::all_of({FilterExpr::all_of({}), kRed}),
                      Slots{}},
        CandidateCase{"all_nested_unanswerable",
                      FilterExpr::all_of({FilterExpr::all_of({kGt}), kRed}), Slots{0, 1}},
        // Dotted names: the nested path's scalars are indexed, objects and arrays on a
        // path are not (nor would a where_filter give such an operand).
        CandidateCase{"path", FilterExpr::eq("nested.b", JsonValue::unsigned_int(1)), Slots{2}},
        CandidateCase{
            "path_in",
            FilterExpr::in("nested.b", {JsonValue::unsigned_int(2), JsonValue::unsigned_int(1)}),
            Slots{2}},
        CandidateCase{"path_missing", FilterExpr::eq("nested.c", JsonValue::null()), Slots{}},
        CandidateCase{"path_object_operand", FilterExpr::eq("a.b", json(R"({"c":1})")),
                      std::nullopt},
        CandidateCase{"path_too_deep", FilterExpr::eq("a.b.c.d.e.f.g.h.i", JsonValue::null()),
                      std::nullopt},
        CandidateCase{"nin", FilterExpr::nin("color", {JsonValue::string("red")}), std::nullopt},
        // AnyOf: the union when every member is answered.
        CandidateCase{"any_union", FilterExpr::any_of({kRed, FilterExpr::eq("z", json("0.0"))}),
                      Slots{0, 1, 7, 8}},
        CandidateCase{"any_one_member", FilterExpr::any_of({kRed}), Slots{0, 1}},
        CandidateCase{"any_empty_members",
                      FilterExpr::any_of({FilterExpr::in("color", {}), kRed,
                                          FilterExpr::eq("size", JsonValue::null())}),
                      Slots{0, 1}},
        CandidateCase{"any_unanswerable_member", FilterExpr::any_of({kRed, kGt}), std::nullopt},
        CandidateCase{"any_empty_all_member", FilterExpr::any_of({kRed, FilterExpr::all_of({})}),
                      std::nullopt},
        CandidateCase{"any_empty", FilterExpr::any_of({}), Slots{}},
        CandidateCase{"any_of_alls",
                      FilterExpr::any_of({FilterExpr::all_of({kRed, kGt}),
                                          FilterExpr::eq("nested.b", JsonValue::unsigned_int(1))}),
                      Slots{0, 1, 2}},
        CandidateCase{"all_of_anys",
                      FilterExpr::all_of(
                          {FilterExpr::any_of({kRed, FilterExpr::eq("color", json(R"("blue")"))}),
                           FilterExpr::any_of({FilterExpr::eq("n", json("1.0")),
                                               FilterExpr::eq("nested.b", json("1"))})}),
                      Slots{1, 2}}),
    [](const ::testing::TestParamInfo<CandidateCase>& info) { return info.param.name; });

TEST_F(MetadataIndexTest, RemovingTheLastHolderDropsTheEntryAndTheField) {
  // An update from {"k":"v"} to {"k":"w"} while another slot still carries "v".
  index.index_add(10, json(R"({"k":"v"})"));
  index.index_add(11, json(R"({"k":"v","m":1})"));
  index.index_remove(10, json(R"({"k":"v"})"));
  index.index_add(10, json(R"({"k":"w"})"));
  EXPECT_EQ(sorted(*index.find("k", json(R"("v")"))), (Slots{11}));
  EXPECT_EQ(sorted(*index.find("k", json(R"("w")"))), (Slots{10}));

  index.index_remove(11, json(R"({"k":"v","m":1})"));
  EXPECT_EQ(index.find("k", json(R"("v")")), nullptr);
  EXPECT_EQ(index.find("m", json("1")), nullptr);
  EXPECT_EQ(sorted(index.candidates(FilterExpr::eq("k", JsonValue::string("v")))), Slots{});
  EXPECT_EQ(index.field_count(), 7u);  // the fixture's six and k
  EXPECT_EQ(index.value_count(), 9u);

  index.index_remove(10, json(R"({"k":"w"})"));
  EXPECT_EQ(index.field_count(), 6u);
  EXPECT_EQ(index.value_count(), 8u);
}

TEST_F(MetadataIndexTest, RemovingWhatIsNotThereChangesNothing) {
  index.index_remove(0, json(R"({"color":"green","other":1,"n":1.0})"));
  index.index_remove(0, std::nullopt);
  index.index_remove(0, json(R"(["color"])"));
  index.index_remove(99, json(R"({"color":"red"})"));
  EXPECT_EQ(sorted(*index.find("color", json(R"("red")"))), (Slots{0, 1}));
  EXPECT_EQ(sorted(*index.find("n", json("1"))), (Slots{0}));
  EXPECT_EQ(index.field_count(), 6u);
  EXPECT_EQ(index.value_count(), 8u);
}

TEST_F(MetadataIndexTest, RebuildClearsAndSkipsDeletedSlots) {
  index.index_add(50, json(R"({"stale":true})"));
  index.rebuild_index(slots_of(metadata), {0, 2, 8});
  EXPECT_EQ(index.find("stale", json("true")), nullptr);
  EXPECT_EQ(sorted(*index.find("color", json(R"("red")"))), (Slots{1}));
  EXPECT_EQ(index.find("color", json(R"("blue")")), nullptr);
  EXPECT_EQ(sorted(*index.find("z", json("0.0"))), (Slots{7}));
  EXPECT_EQ(index.field_count(), 3u);  // color, n, z
  EXPECT_EQ(index.value_count(), 3u);

  index.rebuild_index({}, {});
  EXPECT_EQ(index.field_count(), 0u);
}

// ---------------------------------------------------------------- against a model

// A small value domain so that random slots share fields and values, with the
// type-strict near-misses (1 / 1.0, 0.0 / -0.0) that a careless hash would merge.
class RandomMetadata {
 public:
  explicit RandomMetadata(uint64_t seed) : rng_(seed) {
    for (const char* text : {"0", "1", "1.0", "-0.0", "0.0", "-1", R"("x")", R"("y")", "true",
                             "null", R"(["x"])", R"({"b":1})"}) {
      values_.push_back(json(text));
    }
  }

  uint64_t below(uint64_t n) { return rng_() % n; }

  const JsonValue& value() { return values_[below(values_.size())]; }
  const char* key() { return kKeys[below(std::size(kKeys))]; }

  std::optional<JsonValue> metadata() {
    uint64_t roll = below(20);
    if (roll < 2) return std::nullopt;
    if (roll == 2) return JsonValue::array({value()});
    if (roll == 3) return value();
    return object(0);
  }

  // Keys of one level, some of them nested objects, so that the literal key "a.b" and
  // the path a.b (and b.c, a.b.c) meet in one slot.
  JsonValue object(int depth) {
    JsonObject o;
    for (uint64_t n = below(4); n > 0; --n) {
      o.insert_or_assign(key(), depth < 2 && below(4) == 0 ? object(depth + 1) : value());
    }
    return JsonValue::object(std::move(o));
  }

  // Filters on top-level keys and dotted names, combined by all-of (non-empty below the
  // top) and any-of up to two levels deep.
  FilterExpr filter(int depth = 0) {
    switch (below(depth < 2 ? 7 : 5)) {
      case 0:
        return FilterExpr::eq(name(), value());
      case 1: {
        std::vector<JsonValue> values;
        for (uint64_t n = below(3); n > 0; --n) values.push_back(value());
        return below(2) == 0 ? FilterExpr::in(name(), std::move(values))
                             : FilterExpr::nin(name(), std::move(values));
      }
      case 2:
        return FilterExpr::ne(name(), value());
      case 3:
        return FilterExpr::range(Kind::Gte, name(), 0.5);
      case 4:
        return FilterExpr::eq(name(), value());
      default: {
        std::vector<FilterExpr> members;
        for (uint64_t n = below(4) + (depth > 0); n > 0; --n) members.push_back(filter(depth + 1));
        return below(2) == 0 ? FilterExpr::all_of(std::move(members))
                             : FilterExpr::any_of(std::move(members));
      }
    }
  }

 private:
  const char* name() { return kNames[below(std::size(kNames))]; }

  static constexpr const char* kKeys[] = {"a", "b", "c", "a.b"};
  static constexpr const char* kNames[] = {"a", "b", "c", "a.b", "b.c", "a.b.c", "a.c"};
  std::mt19937_64 rng_;
  std::vector<JsonValue> values_;
};

// Whether candidates() must answer exactly: only Eq and In on undotted names and
// all-ofs and any-ofs built from them (at least one member, recursively) are fully
// decided by the index.
bool index_decides(const FilterExpr& f) {
  if (f.kind == Kind::Eq || f.kind == Kind::In) return f.field.find('.') == std::string::npos;
  if ((f.kind != Kind::AllOf && f.kind != Kind::AnyOf) || f.members.empty()) return false;
  for (const FilterExpr& m : f.members) {
    if (!index_decides(m)) return false;
  }
  return true;
}

struct Model {
  std::vector<std::optional<JsonValue>> metadata;
  std::unordered_set<uint32_t> deleted;

  bool live(uint32_t slot) const { return deleted.count(slot) == 0; }
};

// Compares every (field, value) entry of `index` with the brute-force expectation.
void expect_index_matches(const MetadataIndex& index, const Model& model) {
  struct Entry {
    std::string field;
    JsonValue value;
    Slots slots;
  };
  std::vector<Entry> expected;
  std::set<std::string> fields;
  auto expect_entry = [&](uint32_t slot, const std::string& field, const JsonValue& value) {
    fields.insert(field);
    auto it = std::find_if(expected.begin(), expected.end(),
                           [&](const Entry& e) { return e.field == field && e.value == value; });
    if (it == expected.end()) {
      expected.push_back({field, value, {}});
      it = expected.end() - 1;
    }
    it->slots.insert(slot);
  };
  // Nested scalars under their dotted paths (the generator nests two levels, within the
  // index's depth).
  std::function<void(uint32_t, const std::string&, const JsonObject&)> nested =
      [&](uint32_t slot, const std::string& path, const JsonObject& object) {
        for (const auto& [key, value] : object) {
          if (value.is_object()) {
            nested(slot, path + "." + key, *value.as_object());
          } else if (value.as_array() == nullptr) {
            expect_entry(slot, path + "." + key, value);
          }
        }
      };
  for (uint32_t slot = 0; slot < model.metadata.size(); ++slot) {
    if (!model.live(slot) || !model.metadata[slot] || !model.metadata[slot]->is_object()) continue;
    for (const auto& [field, value] : *model.metadata[slot]->as_object()) {
      expect_entry(slot, field, value);
      if (value.is_object()) nested(slot, field, *value.as_object());
    }
  }
  ASSERT_EQ(index.field_count(), fields.size());
  ASSERT_EQ(index.value_count(), expected.size());
  for (const Entry& e : expected) {
    const SlotSet* found = index.find(e.field, e.value);
    ASSERT_NE(found, nullptr) << e.field << " = " << e.value.serialise();
    ASSERT_EQ(sorted(*found), e.slots) << e.field << " = " << e.value.serialise();
  }
}

TEST(MetadataIndexProperty, RandomWritesKeepTheIndexEqualToBruteForce) {
  RandomMetadata gen(4242);
  Model model;
  MetadataIndex index;
  for (int step = 0; step < 3000; ++step) {
    uint64_t op = gen.below(10);
    std::vector<uint32_t> live;
    for (uint32_t s = 0; s < model.metadata.size(); ++s) {
      if (model.live(s)) live.push_back(s);
    }
    if (op < 4 || live.empty()) {
      // New slot, as add / upsert of a new id / replay do.
      uint32_t slot = static_cast<uint32_t>(model.metadata.size());
      model.metadata.push_back(gen.metadata());
      index.index_add(slot, model.metadata[slot]);
    } else if (op < 8) {
      // Replace the metadata of a live slot, as upsert / update do.
      uint32_t slot = live[gen.below(live.size())];
      index.index_remove(slot, model.metadata[slot]);
      model.metadata[slot] = gen.metadata();
      index.index_add(slot, model.metadata[slot]);
    } else {
      // Delete. The model keeps the stale metadata so the rebuild below has to
      // honour the deleted set on its own.
      uint32_t slot = live[gen.below(live.size())];
      index.index_remove(slot, model.metadata[slot]);
      model.deleted.insert(slot);
    }
    if (step % 50 == 0) {
      ASSERT_NO_FATAL_FAILURE(expect_index_matches(index, model));
    }

    FilterExpr f = gen.filter();
    std::optional<SlotSet> candidates = index.candidates(f);
    Slots holds;
    for (uint32_t s = 0; s < model.metadata.size(); ++s) {
      if (model.live(s) && matches(f, model.metadata[s])) holds.insert(s);
    }
    if (f.kind == Kind::AllOf && f.members.empty()) {
      // The one exception to "a superset of what holds": {} selects nothing.
      ASSERT_TRUE(candidates.has_value());
      ASSERT_TRUE(candidates->empty());
    } else if (index_decides(f)) {
      ASSERT_TRUE(candidates.has_value());
      ASSERT_EQ(sorted(*candidates), holds);
    } else if (candidates.has_value()) {
      for (uint32_t s : holds) ASSERT_EQ(candidates->count(s), 1u) << "slot " << s;
    }
  }
  ASSERT_NO_FATAL_FAILURE(expect_index_matches(index, model));

  MetadataIndex rebuilt;
  rebuilt.rebuild_index(slots_of(model.metadata), model.deleted);
  expect_index_matches(rebuilt, model);
}

}  // namespace
}  // namespace dralm
