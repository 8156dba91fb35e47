// FilterExpr construction and evaluation. matches() runs once per candidate slot
// inside searches and counts, so it allocates nothing: field lookups go through the
// object's transparent comparator and numbers are compared as doubles in place.
#include "db/filter.h"

#include <cassert>

namespace dralm {

FilterExpr FilterExpr::eq(std::string field, JsonValue value) {
  FilterExpr f;
  f.kind = Kind::Eq;
  f.field = std::move(field);
  f.value = std::move(value);
  return f;
}

FilterExpr FilterExpr::ne(std::string field, JsonValue value) {
  FilterExpr f;
  f.kind = Kind::Ne;
  f.field = std::move(field);
  f.value = std::move(value);
  return f;
}

FilterExpr FilterExpr::in(std::string field, std::vector<JsonValue> values) {
  FilterExpr f;
  f.kind = Kind::In;
  f.field = std::move(field);
  f.values = std::move(values);
  return f;
}

FilterExpr FilterExpr::range(Kind kind, std::string field, double bound) {
  assert(kind == Kind::Gt || kind == Kind::Gte || kind == Kind::Lt || kind == Kind::Lte);
  FilterExpr f;
  f.kind = kind;
  f.field = std::move(field);
  f.bound = bound;
  return f;
}

FilterExpr FilterExpr::all_of(std::vector<FilterExpr> members) {
  FilterExpr f;
  f.kind = Kind::AllOf;
  f.members = std::move(members);
  return f;
}

namespace {

// Evaluation against an object, so the absent / non-object check is made once.
bool holds(const FilterExpr& f, const JsonObject& object) {
  if (f.kind == FilterExpr::Kind::AllOf) {
    for (const FilterExpr& member : f.members) {
      if (!holds(member, object)) return false;
    }
    return true;
  }
  auto it = object.find(f.field);
  const JsonValue* v = it == object.end() ? nullptr : &it->second;
  switch (f.kind) {
    case FilterExpr::Kind::Eq:
      return v != nullptr && *v == f.value;
    case FilterExpr::Kind::Ne:
      return v == nullptr || !(*v == f.value);
    case FilterExpr::Kind::In:
      if (v == nullptr) return false;
      for (const JsonValue& candidate : f.values) {
        if (*v == candidate) return true;
      }
      return false;
    case FilterExpr::Kind::Gt:
    case FilterExpr::Kind::Gte:
    case FilterExpr::Kind::Lt:
    case FilterExpr::Kind::Lte:
      break;
    case FilterExpr::Kind::AllOf:
      assert(false);
      return false;
  }
  if (v == nullptr || !v->is_number()) return false;
  // Every comparison with a NaN bound is false, so a NaN bound never holds.
  double x = v->as_double();
  switch (f.kind) {
    case FilterExpr::Kind::Gt:
      return x > f.bound;
    case FilterExpr::Kind::Gte:
      return x >= f.bound;
    case FilterExpr::Kind::Lt:
      return x < f.bound;
    case FilterExpr::Kind::Lte:
      return x <= f.bound;
    default:
      assert(false);
      return false;
  }
}

}  // namespace

bool matches(const FilterExpr& filter, const std::optional<JsonValue>& metadata) {
  if (!metadata.has_value()) return false;
  const JsonObject* object = metadata->as_object();
  if (object == nullptr) return false;
  return holds(filter, *object);
}

}  // namespace dralm
