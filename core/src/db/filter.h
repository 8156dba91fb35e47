// FilterExpr: a parsed where_filter, and its evaluation against one slot's metadata.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "json/json.h"

namespace dralm {

struct FilterExpr {
  enum class Kind : uint8_t { Eq, Ne, In, Gt, Gte, Lt, Lte, AllOf };

  Kind kind = Kind::AllOf;
  std::string field;                // all kinds but AllOf
  JsonValue value;                  // Eq, Ne
  std::vector<JsonValue> values;    // In
  double bound = 0.0;               // Gt, Gte, Lt, Lte
  std::vector<FilterExpr> members;  // AllOf

  static FilterExpr eq(std::string field, JsonValue value);
  static FilterExpr ne(std::string field, JsonValue value);
  static FilterExpr in(std::string field, std::vector<JsonValue> values);
  static FilterExpr range(Kind kind, std::string field, double bound);
  static FilterExpr all_of(std::vector<FilterExpr> members);
};

// Whether `filter` holds for `metadata` (absent allowed). Never holds for absent
// or non-object metadata, including Ne and an empty AllOf.
bool matches(const FilterExpr& filter, const std::optional<JsonValue>& metadata);

}  // namespace dralm
