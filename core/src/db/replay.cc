// Log replay: re-applies every intact record of wal.dralm on top of the loaded (or
// new, empty) state, through the same apply_* helpers that the writes use.
#include <mutex>

#include "db/database.h"
#include "db/slot_limit.h"

namespace dralm {

Status Database::replay() {
  Result<WalContents> read = [&] {
    std::lock_guard wal(wal_lock_);
    return wal_->read_records();
  }();
  if (!read.ok()) return read.error();
  WalContents& contents = read.value();
  for (const WalRecord& record : contents.records) {
    if (Status applied = apply_record(record); !applied.ok()) return applied;
  }
  // A torn or damaged frame ends the log. Cut it off before anything is appended, or
  // every record written after it would be hidden behind it at the next open.
  if (contents.valid_length < contents.file_length) {
    std::lock_guard wal(wal_lock_);
    if (Status cut = wal_->truncate_to(contents.valid_length); !cut.ok()) return cut;
  }
  return Status::success();
}

Status Database::apply_record(const WalRecord& record) {
  // Replay runs alone, but the helpers expect id_to_slot held as a writer holds it.
  ExclusiveGuard ids(id_to_slot_lock_);
  const std::optional<Slot> found = ids_.find(record.id);
  const bool live = found.has_value();
  const bool vector_fits = record.vector && record.vector->size() == dim_;
  switch (record.kind) {
    case WalKind::Insert:
      if (!vector_fits) return Status::success();
      if (live) {
        apply_replace(*found, std::span<const float>(*record.vector), true, record.metadata);
        return Status::success();
      }
      if (Status room = check_slot_room(1); !room.ok()) return room;
      apply_insert(record.id, *record.vector, record.metadata);
      return Status::success();
    case WalKind::Delete: {
      const std::string_view one[] = {record.id};
      apply_delete(one);
      return Status::success();
    }
    case WalKind::Update:
      if (!live) return Status::success();
      // A vector of the wrong length is ignored; the metadata part still applies.
      apply_replace(*found,
                    vector_fits ? std::optional(std::span<const float>(*record.vector))
                                : std::nullopt,
                    record.metadata_changed, record.metadata);
      return Status::success();
  }
  return Status::success();  // kinds are checked when the record is decoded
}

}  // namespace dralm
