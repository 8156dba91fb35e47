// Reading the log back: frames in file order, ending quietly at a torn tail or a bad
// checksum.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "util/error.h"
#include "util/file_io.h"

namespace dralm {

// One frame whose checksum matched. `kind` is the header's byte as read: the reader
// does not judge it. `payload` stays valid until the next read.
struct WalFrame {
  uint8_t kind = 0;
  std::span<const uint8_t> payload;
};

class WalReader {
 public:
  // A missing file reads as an empty log; a file that cannot be opened is an error.
  static Result<WalReader> open(const std::string& path);

  // The next intact frame, or nullopt where the log ends: at the end of the file, at a
  // frame cut short, or at a checksum that does not match. A read error is an error.
  Result<std::optional<WalFrame>> next();

  // Bytes up to the end of the last frame next() returned; the log should be cut back
  // to this before appending.
  uint64_t valid_length() const { return valid_length_; }
  uint64_t file_length() const { return file_ ? file_->size() : 0; }

 private:
  explicit WalReader(std::optional<SequentialFileReader> file) : file_(std::move(file)) {}

  std::optional<SequentialFileReader> file_;  // empty for a missing log
  std::vector<uint8_t> payload_;
  uint64_t valid_length_ = 0;
  bool ended_ = false;
};

}  // namespace dralm
