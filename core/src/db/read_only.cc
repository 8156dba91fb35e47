// Read-only databases: opening a saved directory beside its writer (or beside nobody)
// without changing a byte of it, refreshing that view later, and the refusal that every
// write, save and compact of such a database returns.
//
// A read-only open takes no part in the writer's lock (directory_lock.h): it can run
// while another process writes, saves or opens the directory. The writer never changes
// a data file in place (save writes temporary files and renames them over the old
// ones, and deletes the log last), so what a reader maps or reads stays valid; what it
// must avoid is reading graph.dralm of one save with vectors.bin of the next. So a
// reader notes which files the directory holds before and after it loads (their inode,
// size and modification time) and loads again when anything it depends on changed in
// between. An unchanged directory is one the loader reads as it would read it after a
// crash at that moment, and the loader recovers from every such moment: the state it
// yields is a complete save plus the log written after it.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include "db/database.h"
#include "store/file_names.h"
#include "store/file_set.h"
#include "store/persistence.h"
#include "util/file_io.h"

namespace dralm {
namespace {

// How often a load is retried while a writer keeps changing the directory, and how long
// the reader waits before each retry (doubling up to the cap): long enough to let a save
// of a large database finish.
constexpr int kLoadAttempts = 40;
constexpr std::chrono::milliseconds kFirstWait{2};
constexpr std::chrono::milliseconds kLongestWait{500};

// What a load depends on of one file: whether it exists and which version it is. A
// rename gives a new inode, a write a new size or modification time.
struct FileVersion {
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  int64_t modified_ns = 0;
  bool operator==(const FileVersion&) const = default;
};

FileVersion version_of(const std::string& path, bool contents_matter) {
  FileVersion version;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return version;
  version.exists = true;
  version.device = st.st_dev;
  version.inode = st.st_ino;
  if (contents_matter) {
    version.size = st.st_size;
    version.modified_ns = int64_t{st.st_mtim.tv_sec} * 1'000'000'000 + st.st_mtim.tv_nsec;
  }
  return version;
}

// The files a load reads, or consults to choose between graph.dralm and graph.tmp.
// The log counts by identity only: a writer appending to it while the reader reads
// leaves a prefix of whole frames and perhaps a torn one, which replay reads as the log
// at that moment; only its replacement (a save deleting it) makes the read stale.
// vectors.tmp also counts by identity only: it grows while a save writes it, but the
// loader looks at its size only while graph.tmp exists, which a save creates after
// vectors.tmp is complete.
struct DirectoryVersion {
  FileVersion graph, vectors, sq8, sq4, graph_pending, vectors_pending, wal;
  bool operator==(const DirectoryVersion&) const = default;
};

DirectoryVersion version_of_directory(const std::string& directory) {
  const std::string graph = graph_file(directory);
  const std::string vectors = vectors_file(directory);
  DirectoryVersion version;
  version.graph = version_of(graph, true);
  version.vectors = version_of(vectors, true);
  version.sq8 = version_of(sq8_file(directory), true);
  version.sq4 = version_of(sq4_file(directory), true);
  version.graph_pending = version_of(temporary_path(graph), true);
  version.vectors_pending = version_of(temporary_path(vectors), false);
  version.wal = version_of(wal_file(directory), false);
  return version;
}

std::string read_only_message(const std::string& directory) {
  return "database at '" + directory + "' is open read-only";
}

DbError nothing_saved(const std::string& directory) {
  return DbError::invalid_argument(
      "database not found at '" + directory +
      "': a read-only open needs a database that has been saved (save() it from its writer)");
}

}  // namespace

Status Database::refuse_if_read_only() const {
  if (!read_only_) return Status::success();
  return DbError::io(read_only_message(directory_));
}

// Not analysed: fills the fields of a record no other thread can reach yet, as open does.
Result<std::unique_ptr<Database>> Database::load_read_only(const std::string& directory)
    NO_THREAD_SAFETY_ANALYSIS {
  std::unique_ptr<Database> db(new Database());
  db->read_only_ = true;
  db->directory_ = directory;
  db->graph_path_ = graph_file(directory);
  db->vectors_path_ = vectors_file(directory);
  db->sq8_path_ = sq8_file(directory);
  db->sq4_path_ = sq4_file(directory);
  Result<bool> saved = saved_files_present(db->graph_path_, db->vectors_path_, db->sq8_path_);
  if (!saved.ok()) return saved.error();
  if (!saved.value()) return nothing_saved(directory);
  if (Status loaded = db->load_saved_state(); !loaded.ok()) return loaded.error();
  db->quantize_ = file_exists(db->sq8_path_);
  db->wal_ = std::make_unique<WalWriter>(wal_file(directory));
  // Nothing reaches the log through this record; the writes refuse before they get
  // here, and this keeps it so should one ever be added that forgets to.
  db->wal_->refuse_writes(read_only_message(directory));
  if (Status replayed = db->replay(); !replayed.ok()) return replayed.error();
  return db;
}

Result<std::unique_ptr<Database>> Database::read_consistent_state(const std::string& directory) {
  std::chrono::milliseconds wait = kFirstWait;
  for (int attempt = 0; attempt < kLoadAttempts; ++attempt) {
    const DirectoryVersion before = version_of_directory(directory);
    Result<std::unique_ptr<Database>> loaded = load_read_only(directory);
    // A failure is believed only when the directory held still: a load that raced a
    // save can fail (graph.tmp half-written, files of two saves) without any damage.
    if (version_of_directory(directory) == before) return loaded;
    std::this_thread::sleep_for(wait);
    wait = std::min(wait * 2, kLongestWait);
  }
  return DbError::io("database at '" + directory + "' changed while it was being read, " +
                     std::to_string(kLoadAttempts) + " times in a row; open it again");
}

// Not analysed: moves the lock into a record no other thread can reach yet.
Result<std::unique_ptr<Database>> Database::open_read_only(const std::string& directory)
    NO_THREAD_SAFETY_ANALYSIS {
  struct stat st;
  if (::stat(directory.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return nothing_saved(directory);
    return DbError::os(errno);
  }
  if (!S_ISDIR(st.st_mode)) return nothing_saved(directory);
  Result<LockAttempt> share = share_directory(directory);
  if (!share.ok()) return share.error();
  if (share.value().busy) {
    return DbError::invalid_argument("database at '" + directory +
                                     "' is locked exclusively by another process (it holds "
                                     "the lock on the directory itself)");
  }
  Result<std::unique_ptr<Database>> db = read_consistent_state(directory);
  if (!db.ok()) return db.error();
  db.value()->directory_lock_ = std::move(share.value().lock);
  return db;
}

Status Database::refresh() {
  if (!read_only_) {
    return DbError::invalid_argument(
        "refresh() re-reads the directory of a database opened with read_only=True; the "
        "database at '" +
        directory_ + "' is open for writing and already holds every change made through it");
  }
  // Held throughout: one refresh at a time, and the quantized-search switch (which takes
  // the write lock too) cannot change between reading it and carrying it over.
  MutexGuard write(write_lock_);
  Result<std::unique_ptr<Database>> loaded = read_consistent_state(directory_);
  if (!loaded.ok()) return loaded.error();
  // The fresh record is this thread's alone: its fields move out without its locks.
  IdTable ids;
  std::unique_ptr<WalWriter> wal;
  std::unique_ptr<HnswIndex> index;
  MetadataSlots metadata;
  MetadataIndex metadata_index;
  [&, &fresh = *loaded.value()]() NO_THREAD_SAFETY_ANALYSIS {
    ids = std::move(fresh.ids_);
    wal = std::move(fresh.wal_);
    index = std::move(fresh.index_);
    metadata = std::move(fresh.metadata_);
    metadata_index = std::move(fresh.metadata_index_);
  }();
  if (index->dim() != dim_) {
    return DbError::io("database at '" + directory_ + "' now holds vectors of dimension " +
                       std::to_string(index->dim()) + ", not " + std::to_string(dim_) +
                       " as when it was opened; open it again");
  }
  int bits = 0;  // the mode in use, kept across the refresh
  {
    SharedGuard index_guard(index_lock_);
    bits = index_->quantized_bits();
  }
  if (bits != 0 && index->quantized_bits() != bits) {
    index->enable_quantization(bits);
  } else if (bits == 0 && index->is_quantized()) {
    index->disable_quantization();
  }
  {
    // Compaction's install, in lock order: readers see all old fields or all new ones.
    ExclusiveGuard ids_guard(id_to_slot_lock_);
    ExclusiveGuard index_guard(index_lock_);
    ExclusiveGuard metadata_guard(metadata_lock_);
    std::swap(ids_, ids);
    wal_.swap(wal);
    index_.swap(index);
    metadata_.swap(metadata);
    std::swap(metadata_index_, metadata_index);
    // The slots are numbered anew, as after a compaction: an export in progress must
    // start again rather than read other vectors under the old numbers.
    ++compactions_;
  }
  // The old state, now in the locals, is freed here with no lock of this record held.
  return Status::success();
}

}  // namespace dralm
