#include "util/file_io.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace dralm {
namespace {

// Opens with O_CLOEXEC always, retrying interrupted opens.
int open_retrying(const std::string& path, int flags, mode_t mode = 0644) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Closes and reports the first error; EINTR from close must not be retried on Linux
// (the descriptor is already gone), so it counts as success.
Status close_fd(int fd) {
  if (::close(fd) != 0 && errno != EINTR) return DbError::os(errno);
  return Status::success();
}

// Writes all of `data`, continuing after short writes and interrupted calls.
Status write_all(int fd, const uint8_t* data, size_t length) {
  while (length > 0) {
    ssize_t written = ::write(fd, data, length);
    if (written < 0) {
      if (errno == EINTR) continue;
      return DbError::os(errno);
    }
    if (written == 0) return DbError::os(EIO);  // no progress: never spin forever
    data += written;
    length -= static_cast<size_t>(written);
  }
  return Status::success();
}

}  // namespace

bool file_exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

Result<uint64_t> file_size(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return DbError::os(errno);
  return static_cast<uint64_t>(st.st_size);
}

Result<std::vector<uint8_t>> read_whole_file(const std::string& path) {
  int fd = open_retrying(path, O_RDONLY);
  if (fd < 0) return DbError::os(errno);
  struct stat st;
  size_t expected = 0;
  if (::fstat(fd, &st) == 0 && st.st_size > 0) expected = static_cast<size_t>(st.st_size);
  // Read straight into the result until EOF rather than trusting the size: the file may
  // grow or shrink meanwhile. One spare byte lets the first pass see EOF without regrowing.
  std::vector<uint8_t> bytes(expected + 1);
  size_t filled = 0;
  for (;;) {
    if (filled == bytes.size()) bytes.resize(bytes.size() * 2);
    ssize_t got = ::read(fd, bytes.data() + filled, bytes.size() - filled);
    if (got < 0) {
      if (errno == EINTR) continue;
      int saved = errno;
      ::close(fd);
      return DbError::os(saved);
    }
    if (got == 0) break;
    filled += static_cast<size_t>(got);
  }
  bytes.resize(filled);
  Status closed = close_fd(fd);
  if (!closed.ok()) return closed.error();
  return bytes;
}

Status create_directories(const std::string& path) {
  if (path.empty()) return Status::success();
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return Status::success();
    return DbError::os(ENOTDIR);
  }
  std::string parent = parent_directory(path);
  if (!parent.empty() && parent != path) {
    Status made = create_directories(parent);
    if (!made.ok()) return made;
  }
  // Another process may have created it between the stat and here: that is fine.
  if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) return DbError::os(errno);
  if (::stat(path.c_str(), &st) != 0) return DbError::os(errno);
  if (!S_ISDIR(st.st_mode)) return DbError::os(ENOTDIR);
  return Status::success();
}

Status rename_file(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return DbError::os(errno);
  return Status::success();
}

Status remove_file(const std::string& path) {
  if (::unlink(path.c_str()) != 0) return DbError::os(errno);
  return Status::success();
}

Status remove_file_if_present(const std::string& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return DbError::os(errno);
  return Status::success();
}

Status truncate_file(const std::string& path, uint64_t length) {
  int result;
  do {
    result = ::truncate(path.c_str(), static_cast<off_t>(length));
  } while (result != 0 && errno == EINTR);
  if (result != 0) return DbError::os(errno);
  return Status::success();
}

Status sync_directory(const std::string& path) {
  int fd = open_retrying(path.empty() ? std::string(".") : path, O_RDONLY | O_DIRECTORY);
  if (fd < 0) return DbError::os(errno);
  if (::fsync(fd) != 0) {
    int saved = errno;
    ::close(fd);
    return DbError::os(saved);
  }
  return close_fd(fd);
}

std::string join_path(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  if (dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

std::string parent_directory(const std::string& path) {
  // Trailing separators name the same entry ("a/b/" is "a/b").
  size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;
  size_t slash = path.rfind('/', end - 1);
  if (end == 0 || slash == std::string::npos) return "";
  if (slash == 0) return "/";
  // Collapse a run of separators ("a//b" has parent "a").
  size_t stop = slash;
  while (stop > 1 && path[stop - 1] == '/') --stop;
  return path.substr(0, stop);
}

// ---- MappedFile ----

Result<MappedFile> MappedFile::map_readonly(const std::string& path) {
  int fd = open_retrying(path, O_RDONLY);
  if (fd < 0) return DbError::os(errno);
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    int saved = errno;
    ::close(fd);
    return DbError::os(saved);
  }
  MappedFile mapped;
  if (st.st_size > 0) {
    void* address = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
    if (address == MAP_FAILED) {
      int saved = errno;
      ::close(fd);
      return DbError::os(saved);
    }
    mapped.data_ = static_cast<uint8_t*>(address);
    mapped.size_ = static_cast<size_t>(st.st_size);
  }
  // The mapping keeps its own reference to the file; the descriptor is not needed.
  ::close(fd);
  return mapped;
}

MappedFile::MappedFile(MappedFile&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

MappedFile::~MappedFile() { release(); }

void MappedFile::drop_resident_pages() const {
  if (data_ != nullptr) (void)::madvise(data_, size_, MADV_DONTNEED);
}

void MappedFile::release() {
  if (data_ != nullptr) ::munmap(data_, size_);
  data_ = nullptr;
  size_ = 0;
}

// ---- BufferedFileWriter ----

Result<BufferedFileWriter> BufferedFileWriter::open(const std::string& path, Mode mode) {
  int flags = O_WRONLY | O_CREAT | (mode == Mode::Truncate ? O_TRUNC : O_APPEND);
  int fd = open_retrying(path, flags);
  if (fd < 0) return DbError::os(errno);
  uint64_t start = 0;
  if (mode == Mode::Append) {
    struct stat st;
    if (::fstat(fd, &st) != 0) {
      int saved = errno;
      ::close(fd);
      return DbError::os(saved);
    }
    start = static_cast<uint64_t>(st.st_size);
  }
  BufferedFileWriter writer;
  writer.fd_ = fd;
  writer.buffer_.resize(kBufferSize);
  writer.file_position_ = start;
  return writer;
}

BufferedFileWriter::BufferedFileWriter(BufferedFileWriter&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), buffer_(std::move(other.buffer_)),
      buffered_(std::exchange(other.buffered_, 0)),
      file_position_(std::exchange(other.file_position_, 0)) {}

BufferedFileWriter& BufferedFileWriter::operator=(BufferedFileWriter&& other) noexcept {
  if (this != &other) {
    (void)close();
    fd_ = std::exchange(other.fd_, -1);
    buffer_ = std::move(other.buffer_);
    buffered_ = std::exchange(other.buffered_, 0);
    file_position_ = std::exchange(other.file_position_, 0);
  }
  return *this;
}

BufferedFileWriter::~BufferedFileWriter() { (void)close(); }

Status BufferedFileWriter::write(const void* data, size_t length) {
  if (fd_ < 0) return DbError::os(EBADF);
  if (length == 0) return Status::success();  // `data` may then be null
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  if (buffered_ + length <= kBufferSize) {
    std::memcpy(buffer_.data() + buffered_, bytes, length);
    buffered_ += length;
    return Status::success();
  }
  // Too big for what is left: empty the buffer, then either buffer the data or, when it
  // alone fills a buffer, write it straight through and skip the copy.
  Status flushed = flush();
  if (!flushed.ok()) return flushed;
  if (length < kBufferSize) {
    std::memcpy(buffer_.data(), bytes, length);
    buffered_ = length;
    return Status::success();
  }
  return write_through(bytes, length);
}

Status BufferedFileWriter::flush() {
  if (fd_ < 0) return DbError::os(EBADF);
  if (buffered_ == 0) return Status::success();
  size_t pending = buffered_;
  // Drop the buffered bytes even on failure: a later flush must not write them a second
  // time after the caller has cut the file back.
  buffered_ = 0;
  return write_through(buffer_.data(), pending);
}

Status BufferedFileWriter::write_through(const uint8_t* data, size_t length) {
  Status written = write_all(fd_, data, length);
  // On failure the file may hold part of the data; the position stays at the last point
  // known to be good so a caller can truncate back to it.
  if (written.ok()) file_position_ += length;
  return written;
}

Status BufferedFileWriter::sync() {
  Status flushed = flush();
  if (!flushed.ok()) return flushed;
  int result;
  do {
    result = ::fsync(fd_);
  } while (result != 0 && errno == EINTR);
  if (result != 0) return DbError::os(errno);
  return Status::success();
}

Status BufferedFileWriter::close() {
  if (fd_ < 0) return Status::success();
  Status flushed = flush();
  int fd = std::exchange(fd_, -1);
  buffered_ = 0;
  Status closed = close_fd(fd);
  if (!flushed.ok()) return flushed;
  return closed;
}

Result<std::optional<SequentialFileReader>> SequentialFileReader::open_if_present(
    const std::string& path) {
  const int fd = open_retrying(path, O_RDONLY);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return std::optional<SequentialFileReader>();
    return DbError::os(errno);
  }
  SequentialFileReader reader(fd, 0);
  struct stat st;
  if (::fstat(fd, &st) != 0) return DbError::os(errno);
  reader.size_ = static_cast<uint64_t>(st.st_size);
  return std::optional<SequentialFileReader>(std::move(reader));
}

SequentialFileReader::SequentialFileReader(SequentialFileReader&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), size_(other.size_), buffer_(std::move(other.buffer_)),
      begin_(other.begin_), end_(other.end_) {}

SequentialFileReader& SequentialFileReader::operator=(SequentialFileReader&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    size_ = other.size_;
    buffer_ = std::move(other.buffer_);
    begin_ = other.begin_;
    end_ = other.end_;
  }
  return *this;
}

SequentialFileReader::~SequentialFileReader() {
  if (fd_ >= 0) ::close(fd_);
}

Result<size_t> SequentialFileReader::read_some(uint8_t* out, size_t length) {
  for (;;) {
    const ssize_t got = ::read(fd_, out, length);
    if (got >= 0) return static_cast<size_t>(got);
    if (errno != EINTR) return DbError::os(errno);
  }
}

Result<bool> SequentialFileReader::read_exact(uint8_t* out, size_t length) {
  const size_t from_buffer = std::min(length, end_ - begin_);
  // memcpy with a null pointer is undefined even for 0 bytes, and `out` is null when
  // the caller reads an empty record into an empty vector.
  if (from_buffer > 0) std::memcpy(out, buffer_.data() + begin_, from_buffer);
  begin_ += from_buffer;
  out += from_buffer;
  length -= from_buffer;
  while (length > 0) {
    if (length >= kBufferSize) {
      Result<size_t> got = read_some(out, length);
      if (!got.ok()) return got.error();
      if (got.value() == 0) return false;
      out += got.value();
      length -= got.value();
      continue;
    }
    Result<size_t> got = read_some(buffer_.data(), kBufferSize);
    if (!got.ok()) return got.error();
    if (got.value() == 0) return false;
    end_ = got.value();
    const size_t take = std::min(length, end_);
    std::memcpy(out, buffer_.data(), take);
    begin_ = take;
    out += take;
    length -= take;
  }
  return true;
}

}  // namespace dralm
