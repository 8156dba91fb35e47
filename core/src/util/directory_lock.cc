#include "util/directory_lock.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <tuple>
#include <utility>

#include "util/file_io.h"

namespace dralm {
namespace {

// The directories this process holds: one locked descriptor each, shared by every
// DirectoryLock of the process on that directory. Keyed by process as well: a forked
// child inherits the parent's entries, which must not make the child a holder.
struct HeldDirectory {
  int fd = -1;
  size_t holders = 0;
};

using HeldKey = std::tuple<dev_t, ino_t, pid_t>;

struct Registry {
  std::mutex mutex;
  std::map<HeldKey, HeldDirectory> held;  // guarded by mutex
};

Registry& registry();

Registry* make_registry() {
  Registry* made = new Registry();
  // A fork while another thread holds the mutex would leave it locked forever in the
  // child, whose next open would hang: the fork waits for the mutex instead, and both
  // sides let go of it afterwards.
  ::pthread_atfork([] { registry().mutex.lock(); }, [] { registry().mutex.unlock(); },
                   [] { registry().mutex.unlock(); });
  return made;
}

Registry& registry() {
  // Never destroyed: a Database released during interpreter shutdown may still need it.
  static Registry* instance = make_registry();
  return *instance;
}

int open_lock_file(const std::string& path, LockFile lock_file) {
  const int create = lock_file == LockFile::CreateIfMissing ? O_CREAT : 0;
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDWR | create | O_CLOEXEC, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0 || (errno != EROFS && errno != EACCES && errno != EPERM)) return fd;
  // Read-only storage or a directory we may not write to: an existing LOCK file can
  // still be locked through a read-only descriptor.
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Errors that mean "this storage cannot hold a lock", not "something broke".
bool lock_unsupported(int error) {
  return error == EROFS || error == EACCES || error == EPERM || error == ENOENT ||
         error == ENOLCK || error == EOPNOTSUPP || error == EINVAL;
}

// flock without waiting, retried when a signal interrupts it.
int flock_now(int fd, int operation) {
  int locked;
  do {
    locked = ::flock(fd, operation | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  return locked;
}

// Takes `operation` on `fd` without waiting. Returns true when taken; otherwise closes
// `fd` and returns false with `attempt` saying why (busy, or left unheld on storage
// without flock support), or fails with the operating-system error.
Result<bool> take_flock(int fd, int operation, LockAttempt& attempt) {
  if (flock_now(fd, operation) == 0) return true;
  const int error = errno;
  ::close(fd);
  if (error == EWOULDBLOCK) {
    attempt.busy = true;
    return false;
  }
  if (lock_unsupported(error)) return false;
  return DbError::os(error);
}

}  // namespace

DirectoryLock::DirectoryLock(DirectoryLock&& other) noexcept
    : device_(other.device_), inode_(other.inode_), owner_(other.owner_),
      shared_fd_(std::exchange(other.shared_fd_, -1)), held_(std::exchange(other.held_, false)) {}

DirectoryLock& DirectoryLock::operator=(DirectoryLock&& other) noexcept {
  if (this != &other) {
    release();
    device_ = other.device_;
    inode_ = other.inode_;
    owner_ = other.owner_;
    shared_fd_ = std::exchange(other.shared_fd_, -1);
    held_ = std::exchange(other.held_, false);
  }
  return *this;
}

void DirectoryLock::release() {
  if (!held_) return;
  held_ = false;
  if (shared_fd_ >= 0) {
    ::close(std::exchange(shared_fd_, -1));
    return;
  }
  Registry& r = registry();
  std::lock_guard guard(r.mutex);
  auto it = r.held.find({device_, inode_, owner_});
  if (it == r.held.end() || --it->second.holders > 0) return;
  // Closed under the registry mutex: a concurrent lock_directory of this directory
  // must not find the entry gone while the old descriptor still holds the flock.
  ::close(it->second.fd);
  r.held.erase(it);
}

Result<LockAttempt> lock_directory(const std::string& directory, LockFile lock_file) {
  LockAttempt attempt;
  const int fd = open_lock_file(join_path(directory, kLockFileName), lock_file);
  if (fd < 0) {
    if (lock_unsupported(errno)) return attempt;
    return DbError::os(errno);
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    const int error = errno;
    ::close(fd);
    return DbError::os(error);
  }
  const pid_t self = ::getpid();
  Registry& r = registry();
  std::lock_guard guard(r.mutex);
  auto it = r.held.find({st.st_dev, st.st_ino, self});
  if (it != r.held.end()) {
    // Held by this process already: share it. Closing this second descriptor leaves
    // the flock alone, since it lives on the first one's open file description.
    ::close(fd);
    ++it->second.holders;
  } else {
    Result<bool> taken = take_flock(fd, LOCK_EX, attempt);
    if (!taken.ok()) return taken.error();
    if (!taken.value()) return attempt;
    r.held.emplace(HeldKey{st.st_dev, st.st_ino, self}, HeldDirectory{fd, 1});
  }
  attempt.lock.device_ = st.st_dev;
  attempt.lock.inode_ = st.st_ino;
  attempt.lock.owner_ = self;
  attempt.lock.held_ = true;
  return attempt;
}

Result<LockAttempt> share_directory(const std::string& directory) {
  LockAttempt attempt;
  int fd;
  do {
    fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return DbError::os(errno);
  Result<bool> taken = take_flock(fd, LOCK_SH, attempt);
  if (!taken.ok()) return taken.error();
  if (!taken.value()) return attempt;
  attempt.lock.shared_fd_ = fd;
  attempt.lock.held_ = true;
  return attempt;
}

std::string directory_busy_message(const std::string& directory) {
  return "database at '" + directory + "' is in use by another process (it holds the lock on '" +
         join_path(directory, kLockFileName) + "')";
}

}  // namespace dralm
