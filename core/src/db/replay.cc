// Log replay: re-applies every intact record of wal.dralm on top of the loaded (or
// new, empty) state, through the same apply_* helpers that the writes use.
#include <mutex>
#include <unordered_set>

#include "db/database.h"
#include "db/slot_limit.h"
#include "store/log_tail.h"

namespace dralm {

Status Database::replay() {
  // Replay runs before the record is shared, but it applies changes the way a writer
  // does, holding the write lock.
  MutexGuard write(write_lock_);
  Result<WalContents> read = read_records(wal_->path());
  if (!read.ok()) return read.error();
  WalContents& contents = read.value();
  std::vector<WalRecord>& records = contents.records;
  for (size_t next = 0; next < records.size();) {
    Result<size_t> after_run = replay_insert_run(records, next);
    if (!after_run.ok()) return after_run.error();
    if (after_run.value() > next) {
      next = after_run.value();
      continue;
    }
    if (Status applied = apply_record(records[next]); !applied.ok()) return applied;
    ++next;
  }
  // A torn or damaged frame ends the log. Cut it off before anything is appended, or
  // every record written after it would be hidden behind it at the next open; intact
  // records behind damage are kept aside first (settle_log_tail). A read-only database
  // changes nothing: its writer (or the next writable open) settles the tail.
  if (!read_only_ && contents.valid_length < contents.file_length) {
    settle_log_tail(*wal_, contents);
  }
  return Status::success();
}

Result<size_t> Database::replay_insert_run(std::vector<WalRecord>& records, size_t begin) {
  // A run: consecutive Insert records of ids that are neither live nor repeated within
  // the run. Inserted one by one, they would take consecutive slots in record order,
  // which is what one insert_batch gives them too, so ids, slots, vectors and metadata
  // come out the same; the batch links the nodes in parallel. Records of another
  // dimension are skipped inside a run exactly as apply_record skips them.
  std::unordered_set<std::string_view, IdHash> in_run;
  size_t end = begin;
  size_t fitting = 0;
  {
    SharedGuard ids(id_to_slot_lock_);
    for (; end < records.size() && records[end].kind == WalKind::Insert; ++end) {
      const WalRecord& record = records[end];
      if (!record.vector || record.vector->size() != dim_) continue;
      if (ids_.contains(record.id) || !in_run.insert(record.id).second) break;
      ++fitting;
    }
  }
  // A run of one gains nothing from a batch; apply_record handles it.
  if (fitting < 2) return begin;
  if (Status room = check_slot_room(fitting); !room.ok()) return room.error();
  std::vector<NewItem> items;
  items.reserve(fitting);
  for (size_t i = begin; i < end; ++i) {
    WalRecord& record = records[i];
    if (!record.vector || record.vector->size() != dim_) continue;
    items.push_back(NewItem{std::move(record.id), *record.vector, std::move(record.metadata)});
  }
  apply_insert_batch(std::move(items));
  return end;
}

Status Database::apply_record(const WalRecord& record) {
  const std::optional<Slot> found = live_slot(record.id);
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
      apply_replace(
          *found,
          vector_fits ? std::optional(std::span<const float>(*record.vector)) : std::nullopt,
          record.metadata_changed, record.metadata);
      return Status::success();
  }
  return Status::success();  // kinds are checked when the record is decoded
}

}  // namespace dralm
