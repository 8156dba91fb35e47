// The equality index over top-level metadata fields and the candidate sets it
// gives Eq / In filters, alone or inside an AllOf.
#include "db/metadata_index.h"

#include <algorithm>
#include <cassert>

namespace dralm {

void MetadataIndex::index_add(uint32_t slot, const std::optional<JsonValue>& metadata) {
  if (!metadata.has_value()) return;
  const JsonObject* object = metadata->as_object();
  if (object == nullptr) return;
  for (const auto& [key, value] : *object) {
    ValueMap& values = fields_[key];
    auto it = values.find(value);
    if (it == values.end()) it = values.emplace(value, SlotSet{}).first;
    it->second.insert(slot);
  }
}

void MetadataIndex::index_remove(uint32_t slot, const std::optional<JsonValue>& metadata) {
  if (!metadata.has_value()) return;
  const JsonObject* object = metadata->as_object();
  if (object == nullptr) return;
  for (const auto& [key, value] : *object) {
    auto field = fields_.find(key);
    if (field == fields_.end()) continue;
    auto entry = field->second.find(value);
    if (entry == field->second.end()) continue;
    entry->second.erase(slot);
    // No empty set and no empty inner map may stay behind.
    if (entry->second.empty()) field->second.erase(entry);
    if (field->second.empty()) fields_.erase(field);
  }
}

void MetadataIndex::rebuild_index(const std::vector<std::optional<JsonValue>>& metadata,
                                  const std::unordered_set<uint32_t>& deleted) {
  assert(metadata.size() <= UINT32_MAX);
  clear();
  for (uint32_t slot = 0; slot < metadata.size(); ++slot) {
    // Most slots of most databases carry no metadata: skip those before the set lookup.
    if (!metadata[slot] || deleted.count(slot) != 0) continue;
    index_add(slot, metadata[slot]);
  }
}

size_t MetadataIndex::value_count() const {
  size_t total = 0;
  for (const auto& [field, values] : fields_) total += values.size();
  return total;
}

const SlotSet* MetadataIndex::find(const std::string& field, const JsonValue& value) const {
  auto it = fields_.find(field);
  if (it == fields_.end()) return nullptr;
  auto entry = it->second.find(value);
  return entry == it->second.end() ? nullptr : &entry->second;
}

bool MetadataIndex::answer(const FilterExpr& filter, const SlotSet*& borrowed,
                           SlotSet& owned) const {
  borrowed = nullptr;
  switch (filter.kind) {
    case FilterExpr::Kind::Eq:
      // A missing field or value answers with the empty `owned`.
      borrowed = find(filter.field, filter.value);
      return true;
    case FilterExpr::Kind::In: {
      auto it = fields_.find(filter.field);
      if (it == fields_.end()) return true;
      for (const JsonValue& value : filter.values) {
        auto entry = it->second.find(value);
        if (entry != it->second.end()) owned.insert(entry->second.begin(), entry->second.end());
      }
      return true;
    }
    case FilterExpr::Kind::AllOf:
      return answer_all_of(filter.members, owned);
    case FilterExpr::Kind::Ne:
    case FilterExpr::Kind::Gt:
    case FilterExpr::Kind::Gte:
    case FilterExpr::Kind::Lt:
    case FilterExpr::Kind::Lte:
      return false;
  }
  assert(false && "unknown filter kind");
  return false;
}

bool MetadataIndex::answer_all_of(const std::vector<FilterExpr>& members, SlotSet& owned) const {
  // Sets computed for members live here; reserved up front so pointers stay valid.
  std::vector<SlotSet> computed;
  computed.reserve(members.size());
  std::vector<const SlotSet*> sets;
  sets.reserve(members.size());
  bool skipped = false;
  for (const FilterExpr& member : members) {
    const SlotSet* borrowed;
    SlotSet member_owned;
    if (!answer(member, borrowed, member_owned)) {
      skipped = true;
      continue;
    }
    if (borrowed == nullptr) {
      computed.push_back(std::move(member_owned));
      borrowed = &computed.back();
    }
    // One empty answer empties the intersection, whatever the other members say.
    if (borrowed->empty()) return true;
    sets.push_back(borrowed);
  }
  // No member answered: an empty list answers the empty set (so {} matches nothing),
  // a list of members the index cannot use has no answer.
  if (sets.empty()) return !skipped;

  // Walk the smallest set and keep the slots every other set holds.
  auto smallest =
      std::min_element(sets.begin(), sets.end(),
                       [](const SlotSet* a, const SlotSet* b) { return a->size() < b->size(); });
  std::swap(*smallest, sets.front());
  for (uint32_t slot : *sets.front()) {
    bool everywhere = true;
    for (size_t i = 1; i < sets.size() && everywhere; ++i) everywhere = sets[i]->count(slot) != 0;
    if (everywhere) owned.insert(slot);
  }
  return true;
}

std::optional<SlotSet> MetadataIndex::candidates(const FilterExpr& filter) const {
  const SlotSet* borrowed;
  SlotSet owned;
  if (!answer(filter, borrowed, owned)) return std::nullopt;
  if (borrowed != nullptr) return *borrowed;
  return owned;
}

}  // namespace dralm
