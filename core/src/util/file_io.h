// File helpers: whole-file reads, a read-only mapping, an 8 KiB buffered writer,
// and the directory operations save and the log need. Errors are Io DbErrors with
// the operating system's text ("<message> (os error N)").
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "util/error.h"

namespace dralm {

bool file_exists(const std::string& path);
Result<uint64_t> file_size(const std::string& path);
Result<std::vector<uint8_t>> read_whole_file(const std::string& path);
Status create_directories(const std::string& path);
// Replaces `to` with `from` in one step.
Status rename_file(const std::string& from, const std::string& to);
Status remove_file(const std::string& path);
// As remove_file, but a file that is not there is no error.
Status remove_file_if_present(const std::string& path);
Status truncate_file(const std::string& path, uint64_t length);
// Forces a directory's entries (renames, unlinks) to stable storage.
Status sync_directory(const std::string& path);
std::string join_path(const std::string& dir, const std::string& name);
std::string parent_directory(const std::string& path);

// A read-only mapping of a whole file. Move-only; unmaps on destruction.
// An empty file maps to data() == nullptr, size() == 0.
class MappedFile {
 public:
  MappedFile() = default;
  static Result<MappedFile> map_readonly(const std::string& path);
  MappedFile(MappedFile&& other) noexcept;
  MappedFile& operator=(MappedFile&& other) noexcept;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile();

  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  void release();
  // Drops this process's page-table entries for the whole mapping (MADV_DONTNEED). The
  // mapping is read-only and shared, so its pages stay in the page cache and a later
  // read, from any thread, faults the same bytes back in; only the process's resident
  // size shrinks. Advice only: a failure changes nothing and is ignored.
  void drop_resident_pages() const;

 private:
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

// A file opened for writing through an 8 KiB buffer. Move-only; destruction flushes
// (ignoring errors) and closes.
class BufferedFileWriter {
 public:
  enum class Mode { Truncate, Append };
  BufferedFileWriter() = default;
  static Result<BufferedFileWriter> open(const std::string& path, Mode mode);
  BufferedFileWriter(BufferedFileWriter&& other) noexcept;
  BufferedFileWriter& operator=(BufferedFileWriter&& other) noexcept;
  BufferedFileWriter(const BufferedFileWriter&) = delete;
  BufferedFileWriter& operator=(const BufferedFileWriter&) = delete;
  ~BufferedFileWriter();

  bool is_open() const { return fd_ >= 0; }
  // Buffers; whatever does not fit is written through to the file.
  Status write(const void* data, size_t length);
  // Writes the buffer out (retrying interrupted writes).
  Status flush();
  // Flushes, then fsyncs the file.
  Status sync();
  // Flushes and closes; the writer is closed even when the flush fails.
  Status close();
  // Bytes in the file plus bytes still buffered.
  uint64_t position() const { return file_position_ + buffered_; }

 private:
  static constexpr size_t kBufferSize = 8192;
  Status write_through(const uint8_t* data, size_t length);

  int fd_ = -1;
  std::vector<uint8_t> buffer_;
  size_t buffered_ = 0;
  uint64_t file_position_ = 0;
};

// A file read front to back through an 8 KiB buffer; requests larger than the buffer
// go straight into the caller's memory so a big record is not copied twice. Move-only;
// closes on destruction.
class SequentialFileReader {
 public:
  // nullopt when there is no file at `path` (ENOENT, ENOTDIR); any other failure to
  // open it is an error, so a file that cannot be read is never mistaken for a missing
  // one.
  static Result<std::optional<SequentialFileReader>> open_if_present(const std::string& path);
  SequentialFileReader(SequentialFileReader&& other) noexcept;
  SequentialFileReader& operator=(SequentialFileReader&& other) noexcept;
  SequentialFileReader(const SequentialFileReader&) = delete;
  SequentialFileReader& operator=(const SequentialFileReader&) = delete;
  ~SequentialFileReader();

  // The file's length when it was opened.
  uint64_t size() const { return size_; }
  // Fills `out` with exactly `length` bytes (true), or reaches the end of the file first
  // (false; some bytes may have been consumed).
  Result<bool> read_exact(uint8_t* out, size_t length);

 private:
  static constexpr size_t kBufferSize = 8192;
  SequentialFileReader(int fd, uint64_t size) : fd_(fd), size_(size), buffer_(kBufferSize) {}
  // Bytes read into `out`, 0 at the end of the file.
  Result<size_t> read_some(uint8_t* out, size_t length);

  int fd_ = -1;
  uint64_t size_ = 0;
  std::vector<uint8_t> buffer_;
  size_t begin_ = 0;
  size_t end_ = 0;
};

}  // namespace dralm
