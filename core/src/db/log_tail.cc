#include "db/log_tail.h"

#include <cassert>
#include <cstdio>
#include <string>

#include "util/file_io.h"

namespace dralm {
namespace {

// The first of "<log>.damaged", "<log>.damaged.1", ... that does not exist yet: an
// earlier copy is never overwritten.
std::string free_aside_name(const std::string& log_path) {
  const std::string base = log_path + ".damaged";
  std::string name = base;
  for (int n = 1; file_exists(name); ++n) name = base + "." + std::to_string(n);
  return name;
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
      !log.ok() ||
      intact_frame_after(std::span(log.value().data(), log.value().size()), contents.valid_length);
  if (!intact_follow) {
    // A torn tail: the last frame was cut short by a crash. Nothing after it to keep.
    cut_or_defer(wal, contents.valid_length);
    return;
  }

  const std::string at = std::to_string(contents.valid_length);
  const std::string aside = free_aside_name(path);
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
