// MetadataIndex: the equality index (field, value) -> slots, used to narrow Eq / In
// filters, and the $or / $and combinations of them, to candidate slots.
//
// Fields are the top-level keys of object metadata, indexed by their whole value
// (objects and arrays included), and the dotted paths to the scalars of nested objects
// down to kMaxIndexedPathDepth keys ({"a": {"b": 1}} is indexed as a = {"b": 1} and as
// a.b = 1), so that a dotted filter name is answered whether it names a top-level key
// or a nested path.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "filter/filter.h"
#include "json/json.h"
#include "json/metadata_slots.h"

namespace dralm {

using SlotSet = std::unordered_set<uint32_t>;

// The most keys in a nested path the index holds: "a.b.c" has three. Filters on longer
// paths are evaluated per slot. The bound keeps a deeply nested object from costing an
// index entry per level.
inline constexpr size_t kMaxIndexedPathDepth = 8;

class MetadataIndex {
 public:
  // Requires: the database's metadata_index lock held exclusive.
  // Null `metadata` is none.
  void index_add(uint32_t slot, const JsonValue* metadata);
  void index_add(uint32_t slot, const std::optional<JsonValue>& metadata) {
    index_add(slot, metadata ? &*metadata : nullptr);
  }
  // `metadata` must be what was last added for `slot`. Missing entries are skipped.
  void index_remove(uint32_t slot, const JsonValue* metadata);
  void index_remove(uint32_t slot, const std::optional<JsonValue>& metadata) {
    index_remove(slot, metadata ? &*metadata : nullptr);
  }
  // Clears, then adds every slot in ascending order that is not in `deleted`.
  void rebuild_index(const MetadataSlots& metadata, const std::unordered_set<uint32_t>& deleted);
  void clear() { fields_.clear(); }

  // Requires: lock held shared. nullopt means "cannot narrow"; otherwise a superset of
  // the live slots the filter holds for (an empty AllOf answers the empty set). An AnyOf
  // is answered only when every member is, by the union of their sets.
  std::optional<SlotSet> candidates(const FilterExpr& filter) const;

  // For tests: number of indexed fields (top-level keys and nested paths).
  size_t field_count() const { return fields_.size(); }
  // For tests: number of (field, value) entries over all fields.
  size_t value_count() const;
  // For tests: the slots under (field, value), or nullptr.
  const SlotSet* find(const std::string& field, const JsonValue& value) const;

 private:
  using ValueMap = std::unordered_map<JsonValue, SlotSet, JsonValueHash>;

  // Calls visit(field, value) for every entry `object` gives the index.
  template <typename Visit>
  static void for_each_entry(const JsonObject& object, Visit&& visit);
  // Whether the index holds every slot where `field` selects a value equal to `value`.
  static bool can_answer(const std::string& field, const JsonValue& value);

  // The answer of candidates() without copying sets it can borrow: false means no
  // answer; otherwise the set is *borrowed when that is set, else `owned`.
  bool answer(const FilterExpr& filter, const SlotSet*& borrowed, SlotSet& owned) const;
  bool answer_all_of(const std::vector<FilterExpr>& members, SlotSet& owned) const;
  bool answer_any_of(const std::vector<FilterExpr>& members, const SlotSet*& borrowed,
                     SlotSet& owned) const;

  std::unordered_map<std::string, ValueMap> fields_;
};

}  // namespace dralm
