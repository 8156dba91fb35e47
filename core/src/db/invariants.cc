// Database::check_invariants: the invariants every completed write leaves behind.
#include <string>

#include "db/database.h"

namespace dralm {
namespace {

DbError broken(const std::string& what) { return DbError::corrupt("invariant broken: " + what); }

}  // namespace

Status Database::check_invariants() const {
  SharedGuard ids(id_to_slot_lock_);
  SharedGuard index_guard(index_lock_);
  SharedGuard metadata_guard(metadata_lock_);

  const size_t node_count = index_->node_count();
  if (index_->dim() != dim_) return broken("index dim differs from the database dim");
  if (ids_.slot_count() != node_count || metadata_.size() != node_count) {
    return broken("slot_to_id has " + std::to_string(ids_.slot_count()) + " and metadata " +
                  std::to_string(metadata_.size()) + " entries for " + std::to_string(node_count) +
                  " slots");
  }
  for (Slot slot : index_->deleted()) {
    if (slot >= node_count) return broken("deleted slot " + std::to_string(slot) + " out of range");
    if (!ids_.id_of(slot).empty() || metadata_[slot]) {
      return broken("deleted slot " + std::to_string(slot) + " keeps an id or metadata");
    }
  }
  if (index_->live_count() != node_count - index_->deleted().size()) {
    return broken("live_count differs from slots minus deleted");
  }
  if (ids_.size() != index_->live_count()) {
    return broken(std::to_string(ids_.size()) + " live ids for " +
                  std::to_string(index_->live_count()) + " live slots");
  }
  std::optional<std::string> bad_id;
  // Not analysed (the analysis cannot follow a lambda called from a template): it runs
  // inside for_each, under the guards above.
  ids_.for_each([&](std::string_view id, Slot slot) NO_THREAD_SAFETY_ANALYSIS {
    if (bad_id) return;
    if (slot >= node_count || index_->is_deleted(slot) || ids_.id_of(slot) != id ||
        ids_.find(id) != slot) {
      bad_id = "id '" + std::string(id) + "' maps to slot " + std::to_string(slot) +
               " which is not a live slot holding that id";
    }
  });
  if (bad_id) return broken(*bad_id);

  // metadata_index must answer exactly what a fresh index over the live metadata does.
  MetadataIndex fresh;
  fresh.rebuild_index(metadata_, index_->deleted());
  if (fresh.field_count() != metadata_index_.field_count()) {
    return broken("metadata_index indexes " + std::to_string(metadata_index_.field_count()) +
                  " fields, the live metadata " + std::to_string(fresh.field_count()));
  }
  for (Slot slot = 0; slot < node_count; ++slot) {
    if (!metadata_[slot] || !metadata_[slot]->is_object()) continue;
    for (const auto& [field, value] : *metadata_[slot]->as_object()) {
      const SlotSet* want = fresh.find(field, value);
      const SlotSet* have = metadata_index_.find(field, value);
      if ((want == nullptr) != (have == nullptr) || (want != nullptr && *want != *have)) {
        return broken("metadata_index entry for field '" + field + "' differs at slot " +
                      std::to_string(slot));
      }
    }
  }
  return Status::success();
}

}  // namespace dralm
