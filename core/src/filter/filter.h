// FilterExpr: a parsed where_filter, and its evaluation against one slot's metadata.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "filter/filter_number.h"
#include "json/json.h"

namespace dralm {

// The deepest nesting of $and / $or lists a where_filter may have; evaluation recurses
// once per level.
inline constexpr int kMaxFilterDepth = 32;

struct FilterExpr {
  enum class Kind : uint8_t { Eq, Ne, In, Nin, Gt, Gte, Lt, Lte, AllOf, AnyOf };

  Kind kind = Kind::AllOf;
  std::string field;                // all kinds but AllOf and AnyOf
  JsonValue value;                  // Eq, Ne
  std::vector<JsonValue> values;    // In, Nin
  RangeBound bound;                 // Gt, Gte, Lt, Lte
  std::vector<FilterExpr> members;  // AllOf, AnyOf

  static FilterExpr eq(std::string field, JsonValue value);
  static FilterExpr ne(std::string field, JsonValue value);
  static FilterExpr in(std::string field, std::vector<JsonValue> values);
  // Holds when the field is missing or equals none of `values`.
  static FilterExpr nin(std::string field, std::vector<JsonValue> values);
  static FilterExpr range(Kind kind, std::string field, RangeBound bound);
  // Every member holds; an empty list holds for any object.
  static FilterExpr all_of(std::vector<FilterExpr> members);
  // Some member holds; an empty list holds for nothing.
  static FilterExpr any_of(std::vector<FilterExpr> members);
};

// The value a filter's field name selects in `object`, or nullptr. A name is first a
// whole top-level key ("a.b" finds the key "a.b"); only when the object has no such key
// is a name with dots a path through nested objects split at every dot ("a.b" then finds
// object["a"]["b"]). Every step of a path must be an object; arrays are not entered.
const JsonValue* find_field(const JsonObject& object, std::string_view field);

// Whether `filter` holds for `metadata` (absent allowed). Never holds for absent
// or non-object metadata, including Ne, Nin and an empty AllOf.
bool matches(const FilterExpr& filter, const JsonValue* metadata);  // null: no metadata
inline bool matches(const FilterExpr& filter, const std::optional<JsonValue>& metadata) {
  return matches(filter, metadata ? &*metadata : nullptr);
}

}  // namespace dralm
