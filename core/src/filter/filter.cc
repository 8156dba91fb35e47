// FilterExpr construction and evaluation. matches() runs once per candidate slot
// inside searches and counts, so it allocates nothing: field lookups go through the
// object's transparent comparator and numbers are compared in place, exactly.
#include "filter/filter.h"

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
  FilterExpr f = eq(std::move(field), std::move(value));
  f.kind = Kind::Ne;
  return f;
}

FilterExpr FilterExpr::in(std::string field, std::vector<JsonValue> values) {
  FilterExpr f;
  f.kind = Kind::In;
  f.field = std::move(field);
  f.values = std::move(values);
  return f;
}

FilterExpr FilterExpr::nin(std::string field, std::vector<JsonValue> values) {
  FilterExpr f = in(std::move(field), std::move(values));
  f.kind = Kind::Nin;
  return f;
}

FilterExpr FilterExpr::range(Kind kind, std::string field, RangeBound bound) {
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

FilterExpr FilterExpr::any_of(std::vector<FilterExpr> members) {
  FilterExpr f;
  f.kind = Kind::AnyOf;
  f.members = std::move(members);
  return f;
}

const JsonValue* find_field(const JsonObject& object, std::string_view field) {
  if (auto it = object.find(field); it != object.end()) return &it->second;
  size_t dot = field.find('.');
  if (dot == std::string_view::npos) return nullptr;
  const JsonObject* current = &object;
  for (size_t start = 0;;) {
    auto it = current->find(field.substr(start, dot - start));
    if (it == current->end()) return nullptr;
    if (dot == std::string_view::npos) return &it->second;
    current = it->second.as_object();
    if (current == nullptr) return nullptr;
    start = dot + 1;
    dot = field.find('.', start);
  }
}

namespace {

bool equals_one_of(const JsonValue& v, const std::vector<JsonValue>& values) {
  for (const JsonValue& candidate : values) {
    if (v == candidate) return true;
  }
  return false;
}

// Evaluation against an object, so the absent / non-object check is made once.
bool holds(const FilterExpr& f, const JsonObject& object) {
  switch (f.kind) {
    case FilterExpr::Kind::AllOf:
      for (const FilterExpr& member : f.members) {
        if (!holds(member, object)) return false;
      }
      return true;
    case FilterExpr::Kind::AnyOf:
      for (const FilterExpr& member : f.members) {
        if (holds(member, object)) return true;
      }
      return false;
    default:
      break;
  }
  const JsonValue* v = find_field(object, f.field);
  switch (f.kind) {
    case FilterExpr::Kind::Eq:
      return v != nullptr && *v == f.value;
    case FilterExpr::Kind::Ne:
      return v == nullptr || !(*v == f.value);
    case FilterExpr::Kind::In:
      return v != nullptr && equals_one_of(*v, f.values);
    case FilterExpr::Kind::Nin:
      return v == nullptr || !equals_one_of(*v, f.values);
    case FilterExpr::Kind::Gt:
    case FilterExpr::Kind::Gte:
    case FilterExpr::Kind::Lt:
    case FilterExpr::Kind::Lte:
      break;
    case FilterExpr::Kind::AllOf:
    case FilterExpr::Kind::AnyOf:
      assert(false);
      return false;
  }
  if (v == nullptr) return false;
  // Not a number or a NaN bound: unordered, so no range holds.
  const std::partial_ordering order = compare_to_bound(*v, f.bound);
  switch (f.kind) {
    case FilterExpr::Kind::Gt:
      return order > 0;
    case FilterExpr::Kind::Gte:
      return order >= 0;
    case FilterExpr::Kind::Lt:
      return order < 0;
    case FilterExpr::Kind::Lte:
      return order <= 0;
    default:
      assert(false);
      return false;
  }
}

}  // namespace

bool matches(const FilterExpr& filter, const JsonValue* metadata) {
  if (metadata == nullptr) return false;
  const JsonObject* object = metadata->as_object();
  if (object == nullptr) return false;
  return holds(filter, *object);
}

}  // namespace dralm
