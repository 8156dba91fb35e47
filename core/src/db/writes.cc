// The seven write operations. Each one validates, appends its log record(s) and only
// then changes memory, through the apply_* helpers that replay also uses.
//
// Locking, beyond the one lock order of database.h: every write holds the write lock
// for its whole run, across the check, the append and the change. So a write that
// fails its check logs nothing, a logged write is always applied (two adds of one id
// cannot both log), compaction never rebuilds under a writer, and the order of records
// in the log is the order in which the changes reached memory: replaying the log
// rebuilds the same state even when writers race. Readers take none of this: the
// apply_* helpers hold their reader-visible locks exclusive only to publish.
#include <cassert>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "db/database.h"
#include "db/finite_check.h"

namespace dralm {
namespace {

const JsonValue* pointer_to(const std::optional<JsonValue>& metadata) {
  return metadata ? &*metadata : nullptr;
}

// The first row of `vectors` whose length is not `dim`, as the error to report.
Status check_dimensions(const VectorBatch& vectors, uint64_t dim) {
  for (size_t i = 0; i < vectors.size(); ++i) {
    if (vectors.row(i).size() != dim)
      return DbError::dimension_mismatch(dim, vectors.row(i).size());
  }
  return Status::success();
}

// The binding checks the lengths of a batch before calling; a mismatch here is a
// caller fault, refused rather than read past the end.
Status check_batch_shape(const WriteBatch& batch) {
  auto mismatch = [&](size_t other, const char* what) {
    return DbError::invalid_argument("batch holds " + std::to_string(batch.ids.size()) +
                                     " ids but " + std::to_string(other) + " " + what);
  };
  if (batch.vectors.size() != batch.ids.size()) return mismatch(batch.vectors.size(), "vectors");
  if (!batch.metadatas.empty() && batch.metadatas.size() != batch.ids.size()) {
    return mismatch(batch.metadatas.size(), "metadatas");
  }
  return Status::success();
}

std::optional<JsonValue> batch_metadata(const WriteBatch& batch, size_t i) {
  if (batch.metadatas.empty()) return std::nullopt;
  return batch.metadatas[i];
}

std::vector<WalRecordView> insert_records(const WriteBatch& batch) {
  std::vector<WalRecordView> records;
  records.reserve(batch.ids.size());
  for (size_t i = 0; i < batch.ids.size(); ++i) {
    const JsonValue* metadata = batch.metadatas.empty() ? nullptr : pointer_to(batch.metadatas[i]);
    records.push_back(WalRecordView::insert(batch.ids[i], batch.vectors.row(i), metadata));
  }
  return records;
}

}  // namespace

Status Database::add(std::string_view id, std::span<const float> vector,
                     std::optional<JsonValue> metadata) {
  if (Status refused = refuse_if_read_only(); !refused.ok()) return refused.error();
  if (vector.size() != dim_) return DbError::dimension_mismatch(dim_, vector.size());
  if (Status finite = check_finite(vector); !finite.ok()) return finite;
  MutexGuard write(write_lock_);
  if (id_is_live(id)) return DbError::already_exists(std::string(id));
  if (Status room = check_slot_room(1); !room.ok()) return room;
  if (Status logged =
          append_records(*wal_, WalRecordView::insert(id, vector, pointer_to(metadata)));
      !logged.ok()) {
    return logged;
  }
  apply_insert(id, vector, std::move(metadata));
  return Status::success();
}

Status Database::upsert(std::string_view id, std::span<const float> vector,
                        std::optional<JsonValue> metadata) {
  if (Status refused = refuse_if_read_only(); !refused.ok()) return refused.error();
  if (vector.size() != dim_) return DbError::dimension_mismatch(dim_, vector.size());
  if (Status finite = check_finite(vector); !finite.ok()) return finite;
  MutexGuard write(write_lock_);
  // A live id is replaced in place, a new one inserted.
  const std::optional<Slot> live = live_slot(id);
  if (!live) {
    if (Status room = check_slot_room(1); !room.ok()) return room;
  }
  if (Status logged =
          append_records(*wal_, WalRecordView::insert(id, vector, pointer_to(metadata)));
      !logged.ok()) {
    return logged;
  }
  if (live) {
    apply_replace(*live, vector, true, std::move(metadata));
  } else {
    apply_insert(id, vector, std::move(metadata));
  }
  return Status::success();
}

Status Database::update(std::string_view id, std::optional<std::span<const float>> vector,
                        std::optional<JsonValue> metadata) {
  if (Status refused = refuse_if_read_only(); !refused.ok()) return refused.error();
  MutexGuard write(write_lock_);
  const std::optional<Slot> found = live_slot(id);
  if (!found) return DbError::not_found(std::string(id));
  if (vector && vector->size() != dim_) return DbError::dimension_mismatch(dim_, vector->size());
  if (vector) {
    if (Status finite = check_finite(*vector); !finite.ok()) return finite;
  }
  const Slot slot = *found;
  const std::span<const float>* vector_view = vector ? &*vector : nullptr;
  if (Status logged = append_records(
          *wal_,
          WalRecordView::update(id, vector_view, metadata.has_value(), pointer_to(metadata)));
      !logged.ok()) {
    return logged;
  }
  const bool metadata_changed = metadata.has_value();
  apply_replace(slot, vector, metadata_changed, std::move(metadata));
  return Status::success();
}

Result<bool> Database::remove(std::string_view id) {
  if (Status refused = refuse_if_read_only(); !refused.ok()) return refused.error();
  MutexGuard write(write_lock_);
  if (!id_is_live(id)) return false;
  // Logged before anything is removed: a failed append leaves the id as it was.
  if (Status logged = append_records(*wal_, WalRecordView::remove(id)); !logged.ok())
    return logged.error();
  const std::string_view one[] = {id};
  const uint64_t removed = apply_delete(one);
  assert(removed == 1);
  return removed == 1;
}

Status Database::add_many(WriteBatch batch) {
  if (Status refused = refuse_if_read_only(); !refused.ok()) return refused.error();
  if (Status shape = check_batch_shape(batch); !shape.ok()) return shape;
  if (Status dims = check_dimensions(batch.vectors, dim_); !dims.ok()) return dims;
  if (Status finite = check_finite(batch.vectors); !finite.ok()) return finite;
  if (batch.ids.empty()) return Status::success();
  MutexGuard write(write_lock_);
  {
    // An id already live, or repeated within the batch, is refused before anything is
    // logged: inserting both copies would leave a live slot that no id maps to.
    SharedGuard ids(id_to_slot_lock_);
    std::unordered_set<std::string_view, IdHash> seen;
    seen.reserve(batch.ids.size());
    for (const std::string& id : batch.ids) {
      if (ids_.contains(id) || !seen.insert(id).second) {
        return DbError::already_exists(id);
      }
    }
  }
  if (Status room = check_slot_room(batch.ids.size()); !room.ok()) return room;
  if (Status logged = append_records(*wal_, insert_records(batch)); !logged.ok()) return logged;
  std::vector<NewItem> items;
  items.reserve(batch.ids.size());
  for (size_t i = 0; i < batch.ids.size(); ++i) {
    items.push_back(
        NewItem{std::move(batch.ids[i]), batch.vectors.row(i), batch_metadata(batch, i)});
  }
  apply_insert_batch(std::move(items));
  return Status::success();
}

Status Database::upsert_many(WriteBatch batch) {
  if (Status refused = refuse_if_read_only(); !refused.ok()) return refused.error();
  if (Status shape = check_batch_shape(batch); !shape.ok()) return shape;
  if (Status dims = check_dimensions(batch.vectors, dim_); !dims.ok()) return dims;
  if (Status finite = check_finite(batch.vectors); !finite.ok()) return finite;
  if (batch.ids.empty()) return Status::success();
  MutexGuard write(write_lock_);

  // Repeats of one id collapse to one change carrying the last occurrence's vector and
  // metadata, placed at the first occurrence: replaying the batch's records (insert,
  // then replace in place) gives that same state, slot numbers included.
  std::vector<size_t> last_of;  // per distinct id, in first-occurrence order
  {
    std::unordered_map<std::string_view, size_t, IdHash> position;
    position.reserve(batch.ids.size());
    for (size_t i = 0; i < batch.ids.size(); ++i) {
      auto [it, inserted] = position.emplace(batch.ids[i], last_of.size());
      if (inserted) {
        last_of.push_back(i);
      } else {
        last_of[it->second] = i;
      }
    }
  }
  // The live ids are replaced in place, the others inserted after them.
  std::vector<std::pair<size_t, Slot>> replaced;
  std::vector<size_t> fresh;
  {
    SharedGuard ids(id_to_slot_lock_);
    for (size_t i : last_of) {
      if (const std::optional<Slot> live = ids_.find(batch.ids[i])) {
        replaced.emplace_back(i, *live);
      } else {
        fresh.push_back(i);
      }
    }
  }
  if (!fresh.empty()) {
    if (Status room = check_slot_room(fresh.size()); !room.ok()) return room;
  }
  if (Status logged = append_records(*wal_, insert_records(batch)); !logged.ok()) return logged;
  for (const auto& [i, slot] : replaced) {
    apply_replace(slot, batch.vectors.row(i), true, batch_metadata(batch, i));
  }
  std::vector<NewItem> items;
  items.reserve(fresh.size());
  for (size_t i : fresh) {
    items.push_back(NewItem{batch.ids[i], batch.vectors.row(i), batch_metadata(batch, i)});
  }
  apply_insert_batch(std::move(items));
  return Status::success();
}

Result<uint64_t> Database::remove_many(std::span<const std::string> ids) {
  if (Status refused = refuse_if_read_only(); !refused.ok()) return refused.error();
  MutexGuard write(write_lock_);
  // Only live ids are logged, each once: a repeat is no longer live the second time.
  std::vector<std::string_view> live;
  {
    SharedGuard id_guard(id_to_slot_lock_);
    std::unordered_set<std::string_view, IdHash> seen;
    for (const std::string& id : ids) {
      if (ids_.contains(id) && seen.insert(id).second) live.push_back(id);
    }
  }
  if (live.empty()) return uint64_t{0};
  std::vector<WalRecordView> records;
  records.reserve(live.size());
  for (std::string_view id : live) records.push_back(WalRecordView::remove(id));
  // The batch is logged whole or not at all, so a failure deletes nothing.
  if (Status logged = append_records(*wal_, records); !logged.ok()) return logged.error();
  return apply_delete(live);
}

}  // namespace dralm
