#include "store/log_tail.h"

#include <cassert>
#include <cstdio>
#include <cstring>
#include <optional>
#include <span>
#include <string>

#include "store/file_names.h"
#include "util/file_io.h"

namespace dralm {
namespace {

// The copies of a log kept aside (damaged_log_copy) are made in order of their number
// and never overwritten.
struct AsideNames {
  std::optional<std::string> newest;  // the last existing copy, if any
  std::string free;                   // the first name not taken
};

AsideNames aside_names(const std::string& log_path) {
  AsideNames names;
  names.free = damaged_log_copy(log_path, 0);
  for (int n = 1; file_exists(names.free); ++n) {
    names.newest = names.free;
    names.free = damaged_log_copy(log_path, n);
  }
  return names;
}

// Whether the file at `path` holds exactly `bytes`.
bool holds_exactly(const std::string& path, std::span<const uint8_t> bytes) {
  Result<MappedFile> file = MappedFile::map_readonly(path);
  if (!file.ok() || file.value().size() != bytes.size()) return false;
  return bytes.empty() || std::memcmp(file.value().data(), bytes.data(), bytes.size()) == 0;
}

// Writes `bytes` to `path` and makes file and entry durable before the original is cut.
Status write_copy(const std::string& path, const uint8_t* bytes, size_t length) {
  Result<BufferedFileWriter> opened =
      BufferedFileWriter::open(path, BufferedFileWriter::Mode::Truncate);
  if (!opened.ok()) return opened.error();
  BufferedFileWriter& writer = opened.value();
  if (length > 0) {
    if (Status s = writer.write(bytes, length); !s.ok()) return s;
  }
  if (Status s = writer.sync(); !s.ok()) return s;
  if (Status s = writer.close(); !s.ok()) return s;
  return sync_directory(parent_directory(path));
}

void cut_or_defer(WalWriter& wal, uint64_t length) {
  if (!wal.truncate_to(length).ok()) wal.defer_cut(length);
}

}  // namespace

void settle_log_tail(WalWriter& wal, const WalContents& contents) {
  assert(contents.valid_length < contents.file_length);
  const std::string& path = wal.path();
  Result<MappedFile> log = MappedFile::map_readonly(path);
  // A log that cannot be read back again is treated as holding intact records: the
  // copy below then fails too, and the log is kept as it is.
  const bool intact_follow =
      !log.ok() || intact_frame_after(std::span(log.value().data(), log.value().size()),
                                      contents.valid_length, kWalKinds);
  if (!intact_follow) {
    // A torn tail: the last frame was cut short by a crash. Nothing after it to keep.
    cut_or_defer(wal, contents.valid_length);
    return;
  }

  const std::string at = std::to_string(contents.valid_length);
  const AsideNames names = aside_names(path);
  // A log that could not be cut last time (it may not be written here) is the same
  // damaged log at every open: one copy of it is enough.
  if (log.ok() && names.newest &&
      holds_exactly(*names.newest, std::span(log.value().data(), log.value().size()))) {
    cut_or_defer(wal, contents.valid_length);
    std::fprintf(stderr,
                 "dralm: %s is damaged at byte %s and intact records follow the damage; "
                 "replay stopped there. The whole log is already kept as %s.\n",
                 path.c_str(), at.c_str(), names.newest->c_str());
    return;
  }
  const std::string& aside = names.free;
  Status copied =
      log.ok() ? write_copy(aside, log.value().data(), log.value().size()) : Status(log.error());
  if (copied.ok()) {
    cut_or_defer(wal, contents.valid_length);
    std::fprintf(stderr,
                 "dralm: %s is damaged at byte %s and intact records follow the damage; "
                 "replay stopped there. The whole log was kept as %s, and %s was cut back to "
                 "its first %s bytes.\n",
                 path.c_str(), at.c_str(), aside.c_str(), path.c_str(), at.c_str());
    return;
  }
  (void)remove_file(aside);  // whatever part of the copy was written
  const std::string reason = path + " is damaged at byte " + at +
                             " and intact records follow the damage, but it could not be "
                             "copied aside (" +
                             copied.error().message() +
                             "); writes are refused so that nothing is written behind it or "
                             "deleted, until it is opened again where it can be copied";
  wal.refuse_writes(reason);
  std::fprintf(stderr, "dralm: %s; replay stopped at the damage.\n", reason.c_str());
}

}  // namespace dralm
