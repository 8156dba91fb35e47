// Database::save(): writes graph.dralm, vectors.bin and vectors.sq8 (or removes a stale
// one), makes them durable, and only then empties the log.
#include <mutex>
#include <vector>

#include "db/database.h"
#include "db/persistence.h"
#include "util/file_io.h"

namespace dralm {

Status Database::save() {
  // Lock order: id_to_slot, wal, index, metadata. The wal mutex is held from the start
  // so no writer can log a change that the files written below would miss and the
  // final clear() would then delete.
  SharedGuard ids_guard(id_to_slot_lock_);
  std::lock_guard<std::mutex> wal_guard(wal_lock_);
  SharedGuard index_guard(index_lock_);
  SharedGuard metadata_guard(metadata_lock_);

  static const std::optional<JsonValue> kNoMetadata;
  std::vector<MetadataEntryView> entries;
  entries.reserve(id_to_slot_.size());
  for (const auto& [id, slot] : id_to_slot_) {
    assert(slot < metadata_.size());
    const std::optional<JsonValue>* metadata =
        slot < metadata_.size() ? &metadata_[slot] : &kNoMetadata;
    entries.push_back(MetadataEntryView{slot, id, metadata});
  }

  const std::string directory = parent_directory(graph_path_);
  if (!directory.empty()) {
    if (Status made = create_directories(directory); !made.ok()) return made;
  }
  // A graph.tmp left by a save cut short between its renames may be the only graph that
  // fits vectors.bin: commit it before it is overwritten.
  if (Status s = finish_interrupted_save(graph_path_, vectors_path_); !s.ok()) return s;
  // The graph is written first and renamed last: from the moment vectors.bin is
  // replaced until graph.dralm is, the complete new graph waits in graph.tmp, so a
  // failure or power cut in between leaves files the loader can still open. Each
  // directory sync orders the steps on disk as they are ordered here.
  if (Status s = write_graph_file(*index_, entries, graph_path_); !s.ok()) return s;
  if (Status s = sync_directory(directory); !s.ok()) return s;
  if (Status s = write_vectors_file(*index_, vectors_path_); !s.ok()) return s;
  if (quantize_) {
    if (Status s = write_sq8_file(*index_, sq8_path_); !s.ok()) return s;
  } else if (file_exists(sq8_path_)) {
    // A stale file from a save with quantize on would be loaded with codes that no
    // longer match; failing to remove it is not worth failing the save over.
    (void)remove_file(sq8_path_);
  }
  if (Status s = sync_directory(directory); !s.ok()) return s;
  if (Status s = commit_graph_file(graph_path_); !s.ok()) return s;

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
