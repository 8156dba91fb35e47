// Appending to the log, cutting it back, and deleting it.
#include "wal/wal_writer.h"

#include <unistd.h>

#include <string>

namespace dralm {
namespace {

// Shortens the file at `path` to `length`; a missing or already short file is left alone
// (never extended: zero padding would read back as a damaged frame).
Status cut_file(const std::string& path, uint64_t length) {
  Result<uint64_t> size = file_size(path);
  if (!size.ok()) {
    if (!file_exists(path)) return Status::success();
    return size.error();
  }
  if (size.value() <= length) return Status::success();
  return truncate_file(path, length);
}

}  // namespace

WalWriter::WalWriter(std::string path) : path_(std::move(path)), owner_(::getpid()) {}

Status WalWriter::check_writable() const {
  if (const pid_t self = ::getpid(); self != owner_) {
    return DbError::io("this database was opened by process " + std::to_string(owner_) +
                       "; process " + std::to_string(self) +
                       ", forked from it, can read and search it but not write to it");
  }
  if (refused_) return DbError::io(*refused_);
  return Status::success();
}

Status WalWriter::append(size_t count, const FrameEncoder& encode) {
  if (count == 0) return Status::success();
  if (Status writable = check_writable(); !writable.ok()) return writable;
  if (pending_cut_) {
    Status cut = cut_file(path_, *pending_cut_);
    if (!cut.ok()) return cut;
    pending_cut_.reset();
  }
  if (!writer_.is_open()) {
    Result<BufferedFileWriter> opened =
        BufferedFileWriter::open(path_, BufferedFileWriter::Mode::Append);
    if (!opened.ok()) return opened.error();
    writer_ = std::move(opened.value());
  }
  // Every earlier append flushed, so this is the file's length: everything before it is
  // acknowledged, everything after it belongs to this batch.
  const uint64_t start = writer_.position();
  std::string frame;
  for (size_t i = 0; i < count; ++i) {
    frame.clear();
    Status status = encode(i, frame);
    if (status.ok()) status = writer_.write(frame.data(), frame.size());
    if (status.ok()) status = writer_.flush();
    if (!status.ok()) {
      roll_back_to(start);
      return status;
    }
  }
  return Status::success();
}

void WalWriter::drop_writer() {
  (void)writer_.close();
  writer_ = BufferedFileWriter();
}

void WalWriter::roll_back_to(uint64_t length) {
  // The handle may have a half-written frame behind it; the next append reopens the
  // file and learns its length afresh.
  drop_writer();
  Status cut = cut_file(path_, length);
  if (!cut.ok()) pending_cut_ = length;
}

Status WalWriter::truncate_to(uint64_t length) {
  drop_writer();
  Status cut = cut_file(path_, length);
  if (!cut.ok()) return cut;
  if (pending_cut_ && *pending_cut_ >= length) pending_cut_.reset();
  return Status::success();
}

Status WalWriter::clear() {
  if (Status writable = check_writable(); !writable.ok()) return writable;
  drop_writer();
  if (Status removed = remove_file_if_present(path_); !removed.ok()) return removed;
  // Whatever a failed append left behind went with the file.
  pending_cut_.reset();
  return Status::success();
}

}  // namespace dralm
