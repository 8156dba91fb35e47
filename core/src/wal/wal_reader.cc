// Reading the log back: frames in file order, ending quietly at a torn tail or a bad
// checksum, skipping intact frames that do not decode.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "util/little_endian.h"
#include "wal/wal.h"
#include "wal/wal_format.h"

namespace dralm {
namespace {

using wal_format::kHeaderSize;
using wal_format::kTrailerSize;

enum class ReadOutcome { kFilled, kEndOfFile, kError };

// Sequential reads through an 8 KiB buffer; requests larger than the buffer go straight
// into the caller's memory so a big payload is not copied twice.
class SequentialReader {
 public:
  explicit SequentialReader(int fd) : fd_(fd), buffer_(kBufferSize) {}
  ~SequentialReader() { ::close(fd_); }
  SequentialReader(const SequentialReader&) = delete;
  SequentialReader& operator=(const SequentialReader&) = delete;

  // Fills `out` with exactly `length` bytes, or reports the end of the file (some bytes
  // may have been consumed) or a read error (then `error()` holds errno).
  ReadOutcome read_exact(uint8_t* out, size_t length) {
    size_t from_buffer = std::min(length, end_ - begin_);
    // memcpy with a null pointer is undefined even for 0 bytes, and `out` is null
    // when the caller reads an empty payload into an empty vector.
    if (from_buffer > 0) std::memcpy(out, buffer_.data() + begin_, from_buffer);
    begin_ += from_buffer;
    out += from_buffer;
    length -= from_buffer;
    while (length > 0) {
      if (length >= kBufferSize) {
        ssize_t got = read_some(out, length);
        if (got < 0) return ReadOutcome::kError;
        if (got == 0) return ReadOutcome::kEndOfFile;
        out += got;
        length -= static_cast<size_t>(got);
        continue;
      }
      ssize_t got = read_some(buffer_.data(), kBufferSize);
      if (got < 0) return ReadOutcome::kError;
      if (got == 0) return ReadOutcome::kEndOfFile;
      begin_ = 0;
      end_ = static_cast<size_t>(got);
      size_t take = std::min(length, end_);
      std::memcpy(out, buffer_.data(), take);
      begin_ = take;
      out += take;
      length -= take;
    }
    return ReadOutcome::kFilled;
  }

  int error() const { return error_; }

 private:
  static constexpr size_t kBufferSize = 8192;

  ssize_t read_some(uint8_t* out, size_t length) {
    for (;;) {
      ssize_t got = ::read(fd_, out, length);
      if (got >= 0) return got;
      if (errno != EINTR) {
        error_ = errno;
        return -1;
      }
    }
  }

  int fd_;
  std::vector<uint8_t> buffer_;
  size_t begin_ = 0;
  size_t end_ = 0;
  int error_ = 0;
};

}  // namespace

Result<WalContents> WalWriter::read_records() const {
  WalContents contents;
  int fd;
  do {
    fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    // No log yet is an empty log; any other failure to open it is a real error, so a
    // log we cannot read is never mistaken for one that holds nothing.
    if (errno == ENOENT || errno == ENOTDIR) return contents;
    return DbError::os(errno);
  }
  SequentialReader reader(fd);
  struct stat st;
  if (::fstat(fd, &st) != 0) return DbError::os(errno);
  contents.file_length = static_cast<uint64_t>(st.st_size);
  if (contents.file_length == 0) return contents;

  std::vector<uint8_t> payload;
  uint64_t offset = 0;
  for (;;) {
    uint8_t header[kHeaderSize];
    ReadOutcome outcome = reader.read_exact(header, 1);
    if (outcome == ReadOutcome::kEndOfFile) break;
    if (outcome == ReadOutcome::kFilled) outcome = reader.read_exact(header + 1, kHeaderSize - 1);
    if (outcome == ReadOutcome::kError) return DbError::os(reader.error());
    if (outcome == ReadOutcome::kEndOfFile) break;
    const uint32_t payload_length = load_u32_le(header + 1);
    // The length is not yet checksummed: one that claims more than the file holds is
    // what a torn write looks like, and must not size an allocation.
    uint64_t remaining = contents.file_length - std::min(contents.file_length, offset + kHeaderSize);
    if (uint64_t{payload_length} + kTrailerSize > remaining) break;
    payload.resize(payload_length);
    uint8_t trailer[kTrailerSize];
    outcome = reader.read_exact(payload.data(), payload_length);
    if (outcome == ReadOutcome::kFilled) outcome = reader.read_exact(trailer, kTrailerSize);
    if (outcome == ReadOutcome::kError) return DbError::os(reader.error());
    if (outcome == ReadOutcome::kEndOfFile) break;

    uint32_t crc = crc32(header, 1);
    crc = crc32(payload.data(), payload.size(), crc);
    if (crc != load_u32_le(trailer)) break;
    offset += kHeaderSize + payload_length + kTrailerSize;
    // An intact frame counts as read even when it does not decode: cutting the log back
    // must keep it and everything before it.
    contents.valid_length = offset;
    std::optional<WalRecord> record =
        wal_format::decode_payload(header[0], payload.data(), payload.size());
    if (record) contents.records.push_back(std::move(*record));
  }
  return contents;
}

}  // namespace dralm
