// Opening a database directory: load the saved files and replay the log, or create
// a new empty database.
#include <cassert>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <utility>

#include "db/database.h"
#include "store/file_names.h"
#include "store/file_set.h"
#include "store/persistence.h"
#include "store/sq4_file.h"
#include "util/absolute_path.h"
#include "util/file_io.h"

namespace dralm {
namespace {

constexpr char kMetricMessage[] =
    "metric must be 'cosine', 'euclidean'/'l2', or 'dot'/'dot_product'";
// U+2014 EM DASH, spelled as its UTF-8 bytes.
constexpr char kNotFoundMessage[] =
    "database not found \xE2\x80\x94 specify dim to create a new one";

// Creation parameters that would break the index later: dim 0 divides by zero in
// every scan, m < 2 makes the level multiplier 1 / ln(m) infinite or negative, an m
// above kMaxM could not be loaded again, a beam of width 0 cannot even return the
// entry point it starts from, and a dim or ef_construction of 2^32 or more cannot be
// saved.
Status check_creation_parameters(uint64_t dim, uint64_t m, uint64_t ef_construction) {
  auto refuse = [](std::string text) { return DbError::invalid_argument(std::move(text)); };
  if (dim == 0) return refuse("dim must be at least 1, got 0");
  if (m < 2) return refuse("m must be at least 2, got " + std::to_string(m));
  if (m > kMaxM) {
    return refuse("m must be at most " + std::to_string(kMaxM) + ", got " + std::to_string(m));
  }
  if (ef_construction == 0) return refuse("ef_construction must be at least 1, got 0");
  // graph.dralm stores both as 32-bit numbers: a larger value would come back truncated.
  constexpr uint64_t kMaxStored = std::numeric_limits<uint32_t>::max();
  if (dim > kMaxStored) {
    return refuse("dim must be at most " + std::to_string(kMaxStored) + ", got " +
                  std::to_string(dim));
  }
  if (ef_construction > kMaxStored) {
    return refuse("ef_construction must be at most " + std::to_string(kMaxStored) + ", got " +
                  std::to_string(ef_construction));
  }
  return Status::success();
}

// A path the operating system would read differently from the caller: an empty path
// would put the database in the current directory, and the C library stops a path at
// its first NUL byte, which would open or create a different directory.
Status check_path(const std::string& path) {
  if (path.empty()) return DbError::invalid_argument("path must not be empty");
  if (path.find('\0') != std::string::npos) {
    return DbError::invalid_argument("path must not contain a NUL character");
  }
  return Status::success();
}

// The directory's lock, refused when another process holds it (or when it cannot be
// taken for an unexpected reason).
Result<DirectoryLock> take_directory_lock(const std::string& path, bool creating,
                                          LockFile lock_file) {
  Result<LockAttempt> attempt = lock_directory(path, lock_file);
  if (!attempt.ok()) {
    if (creating) return attempt.error();
    return DbError::invalid_argument(kNotFoundMessage);
  }
  if (attempt.value().busy) return DbError::invalid_argument(directory_busy_message(path));
  return std::move(attempt.value().lock);
}

}  // namespace

Database::~Database() = default;

Result<IndexParams> Database::creation_parameters(const OpenOptions& options) {
  assert(options.dim.has_value());
  IndexParams params;
  const std::optional<Metric> metric =
      metric_from_name(options.metric.value_or(std::string(dralm::metric_name(params.metric))));
  if (!metric) return DbError::invalid_argument(kMetricMessage);
  params.dim = *options.dim;
  params.metric = *metric;
  params.m = options.m.value_or(params.m);
  params.ef_construction = options.ef_construction.value_or(params.ef_construction);
  if (Status bad = check_creation_parameters(params.dim, params.m, params.ef_construction);
      !bad.ok()) {
    return bad.error();
  }
  return params;
}

Status Database::fill_ids(std::span<const MetadataEntry> entries, size_t node_count) {
  // Sized once: the arena gets every id's bytes, copied straight from the graph file.
  size_t id_bytes = 0;
  for (const MetadataEntry& entry : entries) id_bytes += entry.id.size();
  ids_.reserve(entries.size(), node_count, id_bytes);
  ids_.resize_slots(node_count);
  // Every id lands in a random bucket: hash them all first, then insert while the
  // buckets of the ids a few places ahead are already on their way into the cache.
  std::vector<uint64_t> hashes(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) hashes[i] = IdTable::hash_of(entries[i].id);
  constexpr size_t kAhead = 16;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (i + kAhead < entries.size()) ids_.prefetch(hashes[i + kAhead]);
    // The loader names every live slot exactly once and no deleted one; only an id
    // listed twice is left to catch, which would break the one-id-per-live-slot rule.
    if (!ids_.insert(entries[i].id, entries[i].slot, hashes[i])) {
      return DbError::io("id '" + std::string(entries[i].id) +
                         "' listed twice in the metadata section");
    }
  }
  return Status::success();
}

Status Database::load_saved_state() {
  Result<LoadedIndex> loaded = load_index(graph_path_, vectors_path_, sq8_path_);
  if (!loaded.ok()) return loaded.error();
  index_ = std::move(loaded.value().index);
  dim_ = index_->dim();
  const size_t node_count = index_->node_count();
  if (Status ids = fill_ids(loaded.value().entries, node_count); !ids.ok()) return ids;
  metadata_ = std::move(loaded.value().metadata);
  assert(metadata_.size() == node_count);
  // 4-bit search was on at the save: its codes replace the SQ8 ones. Codes are derived
  // data, so a file that does not fit this state is trained again from the vectors.
  if (file_exists(sq4_path_) && !load_sq4_file(*index_, sq4_path_)) {
    index_->enable_quantization(4);
  }
  metadata_index_.rebuild_index(metadata_, index_->deleted());
  return Status::success();
}

// Not analysed: open fills the fields of a record that no other thread can reach
// before it returns, so those writes need no lock (replay, called here, takes its own).
Result<std::unique_ptr<Database>> Database::open(const OpenOptions& given)
    NO_THREAD_SAFETY_ANALYSIS {
  if (Status path = check_path(given.path); !path.ok()) return path.error();
  // Anchored now: a later chdir must not send save() or the log somewhere else.
  OpenOptions options = given;
  options.path = absolute_path(given.path);
  // The creation arguments mean nothing to an open that can never create.
  if (options.read_only) return open_read_only(options.path);
  const bool creating = options.dim.has_value();
  std::optional<IndexParams> params;
  if (creating) {
    // Checked before the disk is touched; without dim these arguments are ignored.
    Result<IndexParams> checked = creation_parameters(options);
    if (!checked.ok()) return checked.error();
    params = checked.value();
    if (Status made = create_directories(options.path); !made.ok()) return made.error();
  }

  std::unique_ptr<Database> db(new Database());
  db->directory_ = options.path;
  db->graph_path_ = graph_file(options.path);
  db->vectors_path_ = vectors_file(options.path);
  db->sq8_path_ = sq8_file(options.path);
  db->sq4_path_ = sq4_file(options.path);
  const std::string wal_path = wal_file(options.path);
  auto fail = [&](const DbError& error) -> DbError {
    // Without dim every failure reads the same: the caller can only open, not create.
    return creating ? error : DbError::invalid_argument(kNotFoundMessage);
  };

  // Only file names are looked at here, so an incomplete set of data files is refused
  // with the directory exactly as it was, without even a LOCK file.
  Result<bool> saved = saved_files_present(db->graph_path_, db->vectors_path_, db->sq8_path_);
  // The lock comes before anything in the directory is read or written (a replay may
  // cut the log), so a refused open changes nothing, and before any other refusal: what
  // another process holds may be half-written, and "in use" is the answer that tells
  // the caller what is going on. An open that will go no further (a directory holding
  // no saved database, without dim, or an incomplete one) only looks whether a LOCK
  // file is held and never creates one.
  const bool will_open = saved.ok() && (creating || saved.value());
  Result<DirectoryLock> lock = take_directory_lock(
      options.path, creating, will_open ? LockFile::CreateIfMissing : LockFile::ExistingOnly);
  if (!lock.ok()) return lock.error();
  db->directory_lock_ = std::move(lock.value());
  if (!saved.ok()) return fail(saved.error());
  if (saved.value()) {
    if (Status loaded = db->load_saved_state(); !loaded.ok()) return fail(loaded.error());
    const bool sq8_saved = file_exists(db->sq8_path_);
    db->quantize_ = creating ? (options.quantize || sq8_saved) : sq8_saved;
    db->wal_ = std::make_unique<WalWriter>(wal_path);
    if (Status replayed = db->replay(); !replayed.ok()) return fail(replayed.error());
    return db;
  }

  if (!creating) return fail(DbError::database_not_found(options.path));
  db->dim_ = *options.dim;
  db->quantize_ = options.quantize;
  db->index_ = std::make_unique<HnswIndex>(*params);
  db->wal_ = std::make_unique<WalWriter>(wal_path);
  // A database that was written but never saved has only its log: replay it, or a
  // crash before the first save would lose everything.
  if (file_exists(wal_path)) {
    if (Status replayed = db->replay(); !replayed.ok()) return fail(replayed.error());
  }
  return db;
}

}  // namespace dralm
