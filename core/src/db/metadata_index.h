// MetadataIndex: the equality index (field, value) -> slots over top-level
// metadata fields, used to narrow Eq / In filters to candidate slots.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "db/filter.h"
#include "json/json.h"

namespace dralm {

using SlotSet = std::unordered_set<uint32_t>;

class MetadataIndex {
 public:
  // Requires: the database's metadata_index lock held exclusive.
  void index_add(uint32_t slot, const std::optional<JsonValue>& metadata);
  // `metadata` must be what was last added for `slot`. Missing entries are skipped.
  void index_remove(uint32_t slot, const std::optional<JsonValue>& metadata);
  // Clears, then adds every slot in ascending order that is not in `deleted`.
  void rebuild_index(const std::vector<std::optional<JsonValue>>& metadata,
                     const std::unordered_set<uint32_t>& deleted);
  void clear() { fields_.clear(); }

  // Requires: lock held shared. nullopt means "cannot narrow"; otherwise a superset of
  // the live slots the filter holds for (an empty AllOf answers the empty set).
  std::optional<SlotSet> candidates(const FilterExpr& filter) const;

  // For tests: number of indexed fields.
  size_t field_count() const { return fields_.size(); }
  // For tests: number of (field, value) entries over all fields.
  size_t value_count() const;
  // For tests: the slots under (field, value), or nullptr.
  const SlotSet* find(const std::string& field, const JsonValue& value) const;

 private:
  using ValueMap = std::unordered_map<JsonValue, SlotSet, JsonValueHash>;

  // The answer of candidates() without copying sets it can borrow: false means no
  // answer; otherwise the set is *borrowed when that is set, else `owned`.
  bool answer(const FilterExpr& filter, const SlotSet*& borrowed, SlotSet& owned) const;
  bool answer_all_of(const std::vector<FilterExpr>& members, SlotSet& owned) const;

  std::unordered_map<std::string, ValueMap> fields_;
};

}  // namespace dralm
