// The equality index over metadata fields and nested paths, and the candidate sets it
// gives Eq / In filters, alone or combined by AllOf and AnyOf.
#include "filter/metadata_index.h"

#include <algorithm>
#include <cassert>

namespace dralm {

namespace {

// Visits the scalars of the nested object `object` under `path` (the dotted path of
// `object` itself, `depth` keys long), as "path.key" entries; deeper objects recurse
// while their scalars' paths stay within kMaxIndexedPathDepth keys. Arrays are skipped.
template <typename Visit>
void for_each_nested(const JsonObject& object, std::string& path, size_t depth, Visit& visit) {
  for (const auto& [key, value] : object) {
    const size_t prefix = path.size();
    path += '.';
    path += key;
    if (const JsonObject* inner = value.as_object()) {
      if (depth + 1 < kMaxIndexedPathDepth) for_each_nested(*inner, path, depth + 1, visit);
    } else if (value.as_array() == nullptr) {
      visit(path, value);
    }
    path.resize(prefix);
  }
}

size_t path_depth(const std::string& field) {
  return 1 + static_cast<size_t>(std::count(field.begin(), field.end(), '.'));
}

}  // namespace

template <typename Visit>
void MetadataIndex::for_each_entry(const JsonObject& object, Visit&& visit) {
  std::string path;
  for (const auto& [key, value] : object) {
    visit(key, value);
    if (const JsonObject* inner = value.as_object()) {
      path = key;
      for_each_nested(*inner, path, 1, visit);
    }
  }
}

void MetadataIndex::index_add(uint32_t slot, const JsonValue* metadata) {
  if (metadata == nullptr) return;
  const JsonObject* object = metadata->as_object();
  if (object == nullptr) return;
  for_each_entry(*object, [&](const std::string& field, const JsonValue& value) {
    ValueMap& values = fields_[field];
    auto it = values.find(value);
    if (it == values.end()) it = values.emplace(value, SlotSet{}).first;
    it->second.insert(slot);
  });
}

void MetadataIndex::index_remove(uint32_t slot, const JsonValue* metadata) {
  if (metadata == nullptr) return;
  const JsonObject* object = metadata->as_object();
  if (object == nullptr) return;
  // A slot may reach one entry twice (the key "a.b" and the path a.b to an equal value):
  // the second visit finds it gone and skips it.
  for_each_entry(*object, [&](const std::string& name, const JsonValue& value) {
    auto field = fields_.find(name);
    if (field == fields_.end()) return;
    auto entry = field->second.find(value);
    if (entry == field->second.end()) return;
    entry->second.erase(slot);
    // No empty set and no empty inner map may stay behind.
    if (entry->second.empty()) field->second.erase(entry);
    if (field->second.empty()) fields_.erase(field);
  });
}

void MetadataIndex::rebuild_index(const MetadataSlots& metadata,
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

bool MetadataIndex::can_answer(const std::string& field, const JsonValue& value) {
  // A name without a dot is a top-level key only, indexed with every value. A dotted name
  // may also be a nested path, indexed down to a depth and for scalars only.
  if (field.find('.') == std::string::npos) return true;
  return path_depth(field) <= kMaxIndexedPathDepth && value.as_object() == nullptr &&
         value.as_array() == nullptr;
}

bool MetadataIndex::answer(const FilterExpr& filter, const SlotSet*& borrowed,
                           SlotSet& owned) const {
  borrowed = nullptr;
  switch (filter.kind) {
    case FilterExpr::Kind::Eq:
      if (!can_answer(filter.field, filter.value)) return false;
      // A missing field or value answers with the empty `owned`.
      borrowed = find(filter.field, filter.value);
      return true;
    case FilterExpr::Kind::In: {
      for (const JsonValue& value : filter.values) {
        if (!can_answer(filter.field, value)) return false;
      }
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
    case FilterExpr::Kind::AnyOf:
      return answer_any_of(filter.members, borrowed, owned);
    case FilterExpr::Kind::Ne:
    case FilterExpr::Kind::Nin:
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

bool MetadataIndex::answer_any_of(const std::vector<FilterExpr>& members, const SlotSet*& borrowed,
                                  SlotSet& owned) const {
  // The union must hold every slot any member holds for, so one member the index cannot
  // narrow leaves the whole list without an answer. An empty all-of member holds for
  // every object although it answers the empty set: no answer either.
  std::vector<SlotSet> computed(members.size());
  std::vector<const SlotSet*> sets;  // the non-empty answers
  SlotSet* last_computed = nullptr;  // the last of them when computed here
  for (size_t i = 0; i < members.size(); ++i) {
    const FilterExpr& member = members[i];
    if (member.kind == FilterExpr::Kind::AllOf && member.members.empty()) return false;
    const SlotSet* member_borrowed;
    if (!answer(member, member_borrowed, computed[i])) return false;
    const SlotSet* set = member_borrowed != nullptr ? member_borrowed : &computed[i];
    if (set->empty()) continue;
    sets.push_back(set);
    last_computed = member_borrowed != nullptr ? nullptr : &computed[i];
  }
  if (sets.size() == 1) {
    // The union of one set is that set: borrowed from the index, or moved out.
    if (last_computed != nullptr) {
      owned = std::move(*last_computed);
    } else {
      borrowed = sets.front();
    }
    return true;
  }
  size_t total = 0;
  for (const SlotSet* set : sets) total += set->size();
  owned.reserve(total);
  for (const SlotSet* set : sets) owned.insert(set->begin(), set->end());
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
