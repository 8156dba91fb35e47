// Database: the engine record behind one Python Database object, and every engine
// operation the binding calls. No Python here; every fallible call returns a
// Status / Result carrying a DbError whose message() is what Python sees.
//
// Lock order (the only one; never take an earlier lock while holding a later one):
//   write, id_to_slot, index, metadata.
// - write (a mutex) is held for the whole run of every operation that changes the
//   record or its files: the writes, compact, save, the quantized-search switches and
//   replay. So writers take turns, the log (guarded by it) receives records in the
//   order their changes reach memory, and the index has one writer at a time. Searches
//   and lookups never take it.
// - id_to_slot guards the live-id side of the id table; index guards the index and the
//   slot side of the id table (slot -> id); metadata guards the metadata and its index.
//   Readers hold them shared. A writer stages new slots with index held SHARED, beside
//   the searches, and holds id_to_slot, index and metadata exclusive only for the short
//   step that publishes ids, metadata and slots together; deletes, in-place updates,
//   compaction's swap and the quantized-search switch are the other short exclusive
//   sections. save writes its files with everything held shared.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "db/id_table.h"
#include "db/vector_batch.h"
#include "filter/filter.h"
#include "filter/metadata_index.h"
#include "hnsw/hnsw_index.h"
#include "json/json.h"
#include "json/metadata_slots.h"
#include "store/wal_record.h"
#include "util/directory_lock.h"
#include "util/error.h"
#include "util/locks.h"
#include "util/thread_annotations.h"

namespace dralm {

struct OpenOptions {
  std::string path;
  std::optional<uint64_t> dim;
  std::optional<std::string> metric;
  std::optional<uint64_t> m;
  std::optional<uint64_t> ef_construction;
  bool quantize = false;
  // Open a saved database without the writer's lock, never changing the directory;
  // every write, save and compact is refused (read_only.cc).
  bool read_only = false;
};

// One item of add_many / upsert_many.
struct WriteBatch {
  std::vector<std::string> ids;
  VectorBatch vectors;
  std::vector<std::optional<JsonValue>> metadatas;  // empty = no metadata for any item
};

// A search hit with its id and its metadata as compact JSON text (none if absent).
struct QueryHit {
  std::string id;
  std::optional<std::string> metadata_json;
  float distance;
};

struct GetResult {
  std::vector<float> vector;
  std::optional<std::string> metadata_json;
};

// The metadata of each id read by get_many, in the order asked; the vectors go to a
// buffer the caller provides.
struct ManyResult {
  std::vector<std::optional<std::string>> metadata_json;
};

// One chunk of an export: the live items of a run of slots, in slot order.
struct ExportChunk {
  std::vector<std::string> ids;
  std::vector<float> vectors;  // ids.size() * dim floats, one row per id
  std::vector<std::optional<std::string>> metadata_json;
  uint64_t next_slot = 0;   // where the next chunk starts
  bool done = false;        // no slot at or after next_slot exists
  bool renumbered = false;  // compaction ran since the export began: nothing was read
};

struct Stats {
  uint64_t num_vectors = 0;
  uint64_t num_deleted = 0;
  uint64_t num_layers = 0;
  double avg_degree_layer0 = 0.0;
  uint64_t max_degree_layer0 = 0;
  uint64_t min_degree_layer0 = 0;
  uint64_t memory_vectors_bytes = 0;
  uint64_t memory_graph_bytes = 0;
  uint64_t memory_quantized_bytes = 0;
  bool uses_brute_force = true;
  bool uses_quantized_search = false;
  uint64_t quantized_search_bits = 0;  // 8, 4, or 0 when quantized search is off
};

struct SearchOptions {
  uint64_t k = 10;
  std::optional<uint64_t> ef_search;
  const FilterExpr* filter = nullptr;  // borrowed for the call
  std::optional<float> max_distance;
};

class Database;
struct MetadataEntry;  // persistence.h

class Database {
 public:
  // Opens (loads + replays the log) or creates. An error's message is the exact text of
  // the ValueError the constructor raises; with no dim every failure becomes
  // "database not found — specify dim to create a new one".
  static Result<std::unique_ptr<Database>> open(const OpenOptions& options);
  // The index parameters an open with `options.dim` set would create the database with:
  // the metric found by name and every creation parameter checked (the defaults of
  // IndexParams standing in for those not given), with open's messages. Touches no file.
  static Result<IndexParams> creation_parameters(const OpenOptions& options);
  ~Database();

  uint64_t dim() const { return dim_; }
  bool quantize() const { return quantize_; }
  bool read_only() const { return read_only_; }

  // ---- Writes (run with the GIL released).
  Status add(std::string_view id, std::span<const float> vector, std::optional<JsonValue> metadata);
  Status upsert(std::string_view id, std::span<const float> vector,
                std::optional<JsonValue> metadata);
  // A vector or metadata of nullopt keeps what is stored.
  Status update(std::string_view id, std::optional<std::span<const float>> vector,
                std::optional<JsonValue> metadata);
  // True if the id was live and is now deleted.
  Result<bool> remove(std::string_view id);
  Status add_many(WriteBatch batch);
  Status upsert_many(WriteBatch batch);
  Result<uint64_t> remove_many(std::span<const std::string> ids);

  // ---- Queries (GIL released).
  Result<std::vector<QueryHit>> search(std::span<const float> query,
                                       const SearchOptions& options) const;
  Result<std::vector<std::vector<QueryHit>>> search_many(const VectorBatch& queries,
                                                         const SearchOptions& options) const;
  // Trains codes of `bits` bits a dimension (8 or 4; anything else is refused) and
  // traverses on them from then on; replaces codes of the other width.
  Status enable_quantized_search(int bits = 8);
  void disable_quantized_search();
  bool quantized_search() const;
  // 8 or 4 while quantized search is on, else 0.
  int quantized_search_bits() const;

  // ---- Lookups (GIL held).
  Result<GetResult> get(std::string_view id) const;
  std::vector<std::string> ids() const;
  uint64_t count(const FilterExpr* filter) const;
  // Every live id whose metadata matches `filter`, exactly (the slots count() would
  // count), in slot order.
  std::vector<std::string> ids_matching(const FilterExpr& filter) const;
  bool contains(std::string_view id) const;
  uint64_t live_count() const;

  // ---- Bulk reads (GIL released: they only copy, under shared locks).
  // Copies the vector of ids[i] into out[i * dim, (i + 1) * dim) and returns each id's
  // metadata. Fails with NotFound naming the first id that is not live, having written
  // nothing that the caller may use. Requires: out.size() == ids.size() * dim.
  Result<ManyResult> get_many(std::span<const std::string> ids, std::span<float> out) const;
  // Reads up to `max_items` live items from the slots at and after `begin_slot`.
  // `compactions` is compaction_count() when the export began: slot numbers only mean
  // the same thing while it is unchanged, so a mismatch returns a chunk marked
  // renumbered instead of items. Requires: max_items > 0.
  ExportChunk export_chunk(uint64_t begin_slot, uint64_t max_items, uint64_t compactions) const;
  // How many compactions have renumbered the slots since open.
  uint64_t compaction_count() const;

  // ---- Save, compaction, statistics.
  Status save();
  Status compact();
  Stats stats() const;
  std::string_view metric_name() const;
  uint64_t deleted_count() const;
  uint64_t total_slots() const;

  // Read-only databases only: loads what the directory holds now (the saved files and
  // the log, as a new read-only open would) and replaces the whole in-memory state with
  // it at once; readers see either the old state or the new one. Quantized search stays
  // on or off as it was. A writable database is refused (InvalidArgument): it already
  // holds every change made through it. (read_only.cc)
  Status refresh();

  // Default beam width: max(200, k + floor(10 * sqrt(k))), saturating at 2^64 - 1.
  static uint64_t default_ef(uint64_t k);

  // Checks the record's invariants (one id, metadata entry and slot_to_id entry per
  // slot; every live id maps to a live slot holding that id; tombstones are empty;
  // metadata_index agrees with the live metadata). Returns Corrupt naming the first
  // broken one. Takes every field lock shared, in lock order; for tests and debugging.
  Status check_invariants() const;

 private:
  Database() = default;

  // A new id with its vector and metadata, for apply_insert_batch.
  struct NewItem {
    std::string id;
    std::span<const float> vector;
    std::optional<JsonValue> metadata;
  };

  // ---- Open (open.cc). Fill the fields from the saved files; `dim` is the
  // loaded index's. Fails with the loader's Io error, or Io for a damaged
  // metadata section (slot out of range, an id or a slot listed twice). Called by open
  // before the record is shared, which stands in for holding the locks named below.
  Status load_saved_state() REQUIRES(id_to_slot_lock_, index_lock_, metadata_lock_);
  // Fills ids_ from the metadata section's entries. Fails on an id listed twice.
  Status fill_ids(std::span<const MetadataEntry> entries, size_t node_count)
      REQUIRES(id_to_slot_lock_, index_lock_);

  // ---- Read-only databases (read_only.cc).
  // Opens `directory` (absolute) read-only: takes a reader's share of the directory's
  // lock and loads a consistent state (read_consistent_state).
  static Result<std::unique_ptr<Database>> open_read_only(const std::string& directory);
  // Loads the saved files and replays the log of `directory` into a new read-only
  // record without its lock, retrying while a writer's save changes the files under it.
  static Result<std::unique_ptr<Database>> read_consistent_state(const std::string& directory);
  // One attempt of read_consistent_state.
  static Result<std::unique_ptr<Database>> load_read_only(const std::string& directory);
  // The refusal of every write, save and compact on a read-only database; success on a
  // writable one. The first thing each of them checks.
  Status refuse_if_read_only() const;

  // ---- Replay (replay.cc). Applies every intact record of wal.dralm in file order,
  // then cuts a torn or damaged tail off the file so later appends are replayed too
  // (keeping a damaged log aside first, see settle_log_tail in log_tail.h). A read-only
  // database reads the same records and leaves the file as it is.
  // Runs before the record is visible to another thread.
  Status replay() EXCLUDES(write_lock_);
  // Applies one logged change to memory the way the write that logged it did.
  // Records that cannot apply (unknown id, wrong vector length) are skipped.
  Status apply_record(const WalRecord& record) REQUIRES(write_lock_);
  // Applies the run of new-id Insert records starting at `begin` with one batch insert,
  // with the ids, slots, vectors and metadata that applying them one by one would give
  // (their ids and metadata are moved out). Returns the index after the run, or `begin`
  // when no run of two or more starts there.
  Result<size_t> replay_insert_run(std::vector<WalRecord>& records, size_t begin)
      REQUIRES(write_lock_);

  // ---- Applying changes to memory (apply.cc): the one code path shared by the
  // write operations and by replay. Nothing here logs. Each takes the id_to_slot,
  // index and metadata locks it needs, in lock order, and holds them exclusive only
  // for its publishing step. All require the write lock: the caller is the one writer.
  //
  // Requires: `id` not live; vector.size() == dim; a slot number is free
  // (check_slot_room).
  void apply_insert(std::string_view id, std::span<const float> vector,
                    std::optional<JsonValue> metadata) REQUIRES(write_lock_)
      EXCLUDES(id_to_slot_lock_, index_lock_, metadata_lock_);
  // Inserts all items with one index.stage_batch, slots in item order, and publishes
  // them at once. Requires: ids distinct and not live; each vector has dim floats;
  // enough slot numbers free.
  void apply_insert_batch(std::vector<NewItem> items) REQUIRES(write_lock_)
      EXCLUDES(id_to_slot_lock_, index_lock_, metadata_lock_);
  // Replaces the vector (when given) and the metadata (when metadata_changed; nullopt
  // clears it) of a live slot in place. Requires: vector->size() == dim.
  void apply_replace(Slot slot, std::optional<std::span<const float>> vector, bool metadata_changed,
                     std::optional<JsonValue> metadata) REQUIRES(write_lock_)
      EXCLUDES(index_lock_, metadata_lock_);
  // Removes each live id from id_to_slot and tombstones its slot; ids that are not
  // live are skipped. All tombstones appear at once to readers. Returns how many
  // were removed.
  uint64_t apply_delete(std::span<const std::string_view> ids) REQUIRES(write_lock_)
      EXCLUDES(id_to_slot_lock_, index_lock_, metadata_lock_);
  // Fails when adding `count` slots would need slot number kNoEntry or beyond.
  Status check_slot_room(uint64_t count) const REQUIRES(write_lock_) EXCLUDES(index_lock_);
  // Whether `id` is live now (the writer's check before it logs).
  bool id_is_live(std::string_view id) const REQUIRES(write_lock_) EXCLUDES(id_to_slot_lock_);
  std::optional<Slot> live_slot(std::string_view id) const REQUIRES(write_lock_)
      EXCLUDES(id_to_slot_lock_);

  // ---- Lookups (lookups.cc).
  template <typename Visit>
  void for_each_match(const FilterExpr& filter, Visit&& visit) const
      EXCLUDES(index_lock_, metadata_lock_);

  // ---- Queries (queries.cc).
  // The slot side of ids_ (id_of, slot_count) for a reader holding index but not
  // id_to_slot: every change to that side holds both locks exclusive (id_table.h), so
  // either lock held shared keeps it still. The analysis knows one guard per field, so
  // this accessor is where it is told about the second.
  const IdTable& slot_ids() const REQUIRES_SHARED(index_lock_) NO_THREAD_SAFETY_ANALYSIS {
    return ids_;
  }
  // Requires: index and metadata held shared.
  std::vector<QueryHit> to_query_hits(const std::vector<Hit>& hits,
                                      std::optional<float> max_distance) const
      REQUIRES_SHARED(index_lock_, metadata_lock_);

  // Held for the record's whole life and declared first, so it is released last, after
  // the log's handle has been flushed and closed.
  DirectoryLock directory_lock_;

  // Paths, fixed at open.
  std::string directory_;
  std::string graph_path_;
  std::string vectors_path_;
  std::string sq8_path_;
  std::string sq4_path_;  // 4-bit traversal codes (sq4_file.h)

  uint64_t dim_ = 0;
  bool quantize_ = false;
  bool read_only_ = false;  // fixed at open

  // Fields and their locks, in lock order (each lock ACQUIRED_AFTER the one before it,
  // which clang's analysis checks; see thread_annotations.h).
  mutable Mutex write_lock_;
  std::unique_ptr<WalWriter> wal_ GUARDED_BY(write_lock_) PT_GUARDED_BY(write_lock_);
  // ids_ is both id_to_slot (its hash side: live ids only) and slot_to_id (its slot
  // side: one id per slot, empty for a tombstone); id_to_slot guards the first side and
  // index the second, as described in id_table.h. The analysis knows ids_ as guarded by
  // id_to_slot, the lock held for every access but the slot-side reads of a search
  // (slot_ids()); that a change to the slot side also holds index exclusive it does not
  // check.
  mutable RwLock id_to_slot_lock_ ACQUIRED_AFTER(write_lock_);
  IdTable ids_ GUARDED_BY(id_to_slot_lock_);
  mutable RwLock index_lock_ ACQUIRED_AFTER(id_to_slot_lock_);
  std::unique_ptr<HnswIndex> index_ GUARDED_BY(index_lock_) PT_GUARDED_BY(index_lock_);
  // Bumped by compact and refresh when they install a renumbered index (export_chunk's
  // cursor).
  uint64_t compactions_ GUARDED_BY(index_lock_) = 0;
  mutable RwLock metadata_lock_ ACQUIRED_AFTER(index_lock_);
  MetadataSlots metadata_ GUARDED_BY(metadata_lock_);
  MetadataIndex metadata_index_ GUARDED_BY(metadata_lock_);
};

}  // namespace dralm
