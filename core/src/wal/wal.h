// The write-ahead log: checksummed frames  kind(1) | payload length(4) | payload | crc32(4).
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "json/json.h"
#include "util/error.h"
#include "util/file_io.h"

namespace dralm {

enum class WalKind : uint8_t { Insert = 1, Delete = 2, Update = 3 };

// A change to append. Views into the caller's memory; valid for the append call only.
struct WalRecordView {
  WalKind kind = WalKind::Insert;
  std::string_view id;
  // Insert: always present. Update: present when has_vector.
  std::span<const float> vector;
  bool has_vector = false;
  // Insert: metadata or nullptr. Update: metadata_changed says whether the record
  // replaces the metadata; then nullptr clears it.
  const JsonValue* metadata = nullptr;
  bool metadata_changed = false;

  static WalRecordView insert(std::string_view id, std::span<const float> vector,
                              const JsonValue* metadata);
  static WalRecordView remove(std::string_view id);
  static WalRecordView update(std::string_view id, const std::span<const float>* vector,
                              bool metadata_changed, const JsonValue* metadata);
};

// A decoded record read back from the log.
struct WalRecord {
  WalKind kind = WalKind::Insert;
  std::string id;
  std::optional<std::vector<float>> vector;
  bool metadata_changed = false;   // always true for Insert
  std::optional<JsonValue> metadata;
};

// Appends the full frame of `record` to `out`. Fails (Io) if a field or the payload
// would need 2^32 bytes or more; `out` is then unchanged.
Status encode_frame(const WalRecordView& record, std::string& out);

uint32_t crc32(const void* data, size_t length, uint32_t crc = 0);

struct WalContents {
  std::vector<WalRecord> records;
  // Bytes up to the end of the last whole frame with a good checksum (undecodable
  // but intact frames count); the log should be cut back to this before appending.
  uint64_t valid_length = 0;
  uint64_t file_length = 0;
};

// Whether a complete frame with a matching checksum starts anywhere after byte `from`
// of `log` (the start of the frame where reading stopped). When the search would cost
// too much it answers true: keeping a log that held nothing more is the safe mistake.
bool intact_frame_after(std::span<const uint8_t> log, uint64_t from);

class WalWriter {
 public:
  explicit WalWriter(std::string path) : path_(std::move(path)), owner_(::getpid()) {}

  const std::string& path() const { return path_; }

  // Appends the records (one frame each, one flush per record). On any failure the
  // file is cut back to its length before the call, so no record of the batch stays;
  // if even that cut fails, later appends retry it first and fail until it succeeds,
  // so no acknowledged record ever lands behind a torn frame. A record too large for
  // the format fails (Io) before the file is touched.
  // Requires: the database's wal mutex held.
  Status append(std::span<const WalRecordView> records);
  Status append(const WalRecordView& record) { return append(std::span(&record, 1)); }

  // Reads every intact record in file order; a missing file is an empty log.
  Result<WalContents> read_records() const;

  // Cuts the file to `length` bytes (drops a torn tail) and forgets the open writer.
  // A file already no longer than `length`, or a missing one, is left as it is.
  // Requires: the database's wal mutex held (or the database not yet shared).
  Status truncate_to(uint64_t length);

  // Flushes (ignoring errors) and drops the writer, then deletes the file if present.
  // Refused like append (check_writable).
  // Requires: the database's wal mutex held.
  Status clear();

  // Whether append and clear may change the file: not in a process forked after this
  // writer was made (the child shares the parent's handle, and its records would
  // interleave with the parent's and describe changes the parent never made), and not
  // after refuse_writes. save asks before it writes anything.
  Status check_writable() const;
  // Leaves a torn tail that could not be cut now (read-only storage) for the next
  // append, which cuts it first and fails while it cannot.
  // Requires: the database's wal mutex held (or the database not yet shared).
  void defer_cut(uint64_t length) { pending_cut_ = length; }
  // Makes every later append and clear fail with the Io error `reason`: the file holds
  // bytes that must be neither written behind nor deleted.
  // Requires: the database's wal mutex held (or the database not yet shared).
  void refuse_writes(std::string reason) { refused_ = std::move(reason); }

 private:
  // Closes the handle; a flush failure is of no interest because every append flushes.
  void drop_writer();
  // Undoes a failed append: cuts the file back to `length` and remembers the cut when it
  // fails, so it is retried before anything else is written.
  void roll_back_to(uint64_t length);

  std::string path_;
  BufferedFileWriter writer_;
  // Length the file must be cut back to before the next append: set while a failed
  // append's torn bytes could not be removed.
  std::optional<uint64_t> pending_cut_;
  pid_t owner_;                          // the process that made this writer
  std::optional<std::string> refused_;  // set by refuse_writes
};

}  // namespace dralm
