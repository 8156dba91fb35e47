// Database::compact(): rebuilds the index from the live slots, renumbered densely in
// their old order, and carries ids and metadata over to the new numbers.
//
// The write lock is held for the whole run, so no write (nor a switch of quantized
// search, which takes it too) can change the fields between the snapshot and the
// install, nor apply a slot number looked up before the renumbering. Searches and
// lookups keep using the old fields while the new ones are built, and see either all
// old or all new fields: the install swaps them under their exclusive locks.
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "db/database.h"

namespace dralm {
namespace {

// What the rebuild needs from the old fields, copied so the old ones stay untouched
// and searchable.
struct LiveSnapshot {
  IndexParams params;
  int quantized_bits = 0;      // 8, 4, or 0 when not quantized
  std::vector<float> vectors;  // live vectors, new slot order
  IdTable ids;                 // live ids at their new slots
  MetadataSlots metadata;      // by new slot
};

}  // namespace

Status Database::compact() {
  if (Status refused = refuse_if_read_only(); !refused.ok()) return refused;
  MutexGuard write(write_lock_);

  LiveSnapshot live;
  {
    SharedGuard ids_guard(id_to_slot_lock_);
    SharedGuard index_guard(index_lock_);
    SharedGuard metadata_guard(metadata_lock_);
    const HnswIndex& old = *index_;
    if (old.deleted().empty()) return Status::success();

    live.params = old.params();
    live.quantized_bits = old.quantized_bits();
    const size_t node_count = old.node_count();
    const size_t dim = old.dim();
    std::vector<Slot> new_slot(node_count, kNoEntry);
    live.vectors.reserve(size_t(old.live_count()) * dim);
    Slot next = 0;
    for (size_t slot = 0; slot < node_count; ++slot) {
      if (old.is_deleted(static_cast<Slot>(slot))) continue;
      new_slot[slot] = next++;
      std::span<const float> vector = old.vector(static_cast<Slot>(slot));
      live.vectors.insert(live.vectors.end(), vector.begin(), vector.end());
    }
    live.metadata.resize(next);
    live.ids.reserve(ids_.size(), next, 0);
    // Not analysed (the analysis cannot follow a lambda called from a template): it
    // runs inside for_each, under the metadata guard above.
    ids_.for_each([&](std::string_view id, Slot slot) NO_THREAD_SAFETY_ANALYSIS {
      if (slot >= node_count || new_slot[slot] == kNoEntry) return;
      const Slot renumbered = new_slot[slot];
      live.ids.insert(id, renumbered);
      if (slot < metadata_.size() && metadata_[slot] != nullptr) {
        live.metadata.set(renumbered, *metadata_[slot]);
      }
    });
    live.ids.resize_slots(next);
  }

  // Build the replacement fields with no lock held but the gate.
  auto index = std::make_unique<HnswIndex>(live.params);
  [[maybe_unused]] const size_t live_slots = live.metadata.size();
  if (!live.vectors.empty()) {
    [[maybe_unused]] const std::vector<Slot> slots = index->insert_batch(live.vectors);
    assert(slots.size() == live_slots && (slots.empty() || slots.front() == 0));
  }
  std::vector<float>().swap(live.vectors);
  if (live.quantized_bits != 0) index->enable_quantization(live.quantized_bits);

  MetadataIndex metadata_index;
  metadata_index.rebuild_index(live.metadata, {});

  {
    ExclusiveGuard ids_guard(id_to_slot_lock_);
    ExclusiveGuard index_guard(index_lock_);
    ExclusiveGuard metadata_guard(metadata_lock_);
    std::swap(ids_, live.ids);
    index_.swap(index);
    ++compactions_;
    metadata_.swap(live.metadata);
    std::swap(metadata_index_, metadata_index);
  }
  // The old fields, now in the locals, are freed here, after the locks are released
  // (dropping the old index also releases a mapping of vectors.bin).
  return Status::success();
}

}  // namespace dralm
