// Appending frames to the log, cutting it back, and deleting it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "util/error.h"
#include "util/file_io.h"

namespace dralm {

class WalWriter {
 public:
  // Writes frame `index` of a batch (a whole frame: see begin_frame) into `frame`,
  // which is empty on entry.
  using FrameEncoder = std::function<Status(size_t index, std::string& frame)>;

  explicit WalWriter(std::string path);

  const std::string& path() const { return path_; }

  // Appends `count` frames, one flush per frame; the frames are encoded one at a time
  // into a reused buffer, so a large batch never holds a second copy of all its data.
  // On any failure (of the encoder too) the file is cut back to its length before the
  // call, so no frame of the batch stays; if even that cut fails, later appends retry
  // it first and fail until it succeeds, so no acknowledged frame ever lands behind a
  // torn one.
  // Requires: the database's wal mutex held.
  Status append(size_t count, const FrameEncoder& encode);

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
  pid_t owner_;                         // the process that made this writer
  std::optional<std::string> refused_;  // set by refuse_writes
};

}  // namespace dralm
