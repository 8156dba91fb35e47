// Database::save(): writes graph.dralm, vectors.bin and vectors.sq8 (or removes a stale
// one), makes them durable, and only then empties the log.
#include <mutex>
#include <vector>

#include "db/database.h"
#include "store/persistence.h"
#include "store/sq4_file.h"
#include "util/file_io.h"

namespace dralm {

Status Database::save() {
  if (Status refused = refuse_if_read_only(); !refused.ok()) return refused;
  // The write lock is held from the start so no writer can log a change that the files
  // written below would miss and the final clear() would then delete. The fields are
  // only read, with shared locks: searches and lookups go on while the files are
  // written.
  MutexGuard write(write_lock_);
  SharedGuard ids_guard(id_to_slot_lock_);
  SharedGuard index_guard(index_lock_);
  SharedGuard metadata_guard(metadata_lock_);
  // A save ends by deleting the log: not from a forked process, nor over a damaged log
  // that could not be kept aside.
  if (wal_ != nullptr) {
    if (Status writable = wal_->check_writable(); !writable.ok()) return writable;
  }

  std::vector<MetadataEntryView> entries;
  entries.reserve(ids_.size());
  // In slot order (the live slots are exactly the ones not deleted), so the next open
  // fills its per-slot arrays front to back instead of at random places.
  const size_t node_count = index_->node_count();
  assert(ids_.slot_count() == node_count);
  for (Slot slot = 0; slot < node_count; ++slot) {
    if (index_->is_deleted(slot)) continue;
    const JsonValue* metadata = slot < metadata_.size() ? metadata_[slot] : nullptr;
    entries.push_back(MetadataEntryView{slot, ids_.id_of(slot), metadata});
  }
  assert(entries.size() == ids_.size());

  const std::string directory = parent_directory(graph_path_);
  if (!directory.empty()) {
    if (Status made = create_directories(directory); !made.ok()) return made;
  }
  // The steps are ordered so that whatever step fails, and whenever the power goes,
  // the directory holds either the old files or a complete set of new ones the loader
  // recognises (graph_is_pending): vectors.tmp is written in full before graph.tmp,
  // both before vectors.bin is replaced, and graph.tmp is renamed last. Directory syncs
  // keep that order on disk.
  if (Status s = settle_pending_graph(graph_path_, vectors_path_); !s.ok()) return s;
  if (Status s = write_vectors_file(*index_, vectors_path_); !s.ok()) return s;
  if (Status s = write_graph_file(*index_, entries, graph_path_); !s.ok()) return s;
  if (Status s = sync_directory(directory); !s.ok()) return s;
  if (Status s = commit_file(vectors_path_); !s.ok()) return s;
  if (quantize_) {
    if (Status s = write_sq8_file(*index_, sq8_path_); !s.ok()) return s;
  } else if (file_exists(sq8_path_)) {
    // A stale file from a save with quantize on would be loaded with codes that no
    // longer match; failing to remove it is not worth failing the save over.
    (void)remove_file(sq8_path_);
  }
  // The 4-bit codes in use, or no file: a stale one would bring 4-bit search back on
  // the next open. Failing to remove it is not worth failing the save over.
  if (index_->quantized_bits() == 4) {
    if (Status s = write_sq4_file(*index_, sq4_path_); !s.ok()) return s;
  } else {
    (void)remove_file_if_present(sq4_path_);
  }
  if (Status s = sync_directory(directory); !s.ok()) return s;
  if (Status s = commit_file(graph_path_); !s.ok()) return s;
  // Writing the files read every mapped row once.
  index_->release_mapped_vectors();

  // The renamed files must be on disk before the log goes: otherwise a power cut could
  // leave empty data files and no log.
  if (Status s = sync_directory(directory); !s.ok()) return s;
  if (wal_ != nullptr) {
    if (Status s = wal_->clear(); !s.ok()) return s;
    // Make the log's removal durable too, so its records are not replayed a second time
    // over files that already hold them.
    if (Status s = sync_directory(directory); !s.ok()) return s;
  }
  return Status::success();
}

}  // namespace dralm
