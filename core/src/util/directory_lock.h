// DirectoryLock: one process at a time per database directory.
//
// The lock is flock(2) LOCK_EX on the file LOCK in the directory, taken without
// waiting. flock rather than fcntl(F_SETLK): a POSIX record lock belongs to the
// process and is dropped when the process closes ANY descriptor of the file, so a
// second Database on the same directory in the same process would silently release
// the first one's lock when it went away. A flock belongs to the open file
// description, survives other descriptors of the file being closed, and the kernel
// drops it when the last descriptor goes, also when the process is killed (SIGKILL
// included), so no stale lock is ever left to clean up by hand. (Linux OFD locks have
// the same semantics but exist on Linux only.)
//
// Because a flock taken through a second open file description conflicts even inside
// one process, the process keeps a registry of the directories it holds, keyed by the
// LOCK file's device and inode: a second Database on a held directory in the same
// process shares the one lock, which goes when the last holder is destroyed. Inside
// one process nothing stops two Database objects on one directory; that stays as it
// always was.
//
// The LOCK file is empty, is never deleted (unlinking a lock file races with a process
// that has opened it but not yet locked it) and is not a data file.
//
// Storage that cannot hold a lock file at all (a read-only mount, a directory the user
// may not write to, a file system without flock support) gives an unheld lock rather
// than an error: nothing this process could write there can hurt another process.
#pragma once

#include <sys/types.h>

#include <string>

#include "util/error.h"

namespace dralm {

inline constexpr char kLockFileName[] = "LOCK";

struct LockAttempt;

class DirectoryLock {
 public:
  DirectoryLock() = default;
  DirectoryLock(DirectoryLock&& other) noexcept;
  DirectoryLock& operator=(DirectoryLock&& other) noexcept;
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;
  ~DirectoryLock() { release(); }

  // Whether this object holds (a share of) the directory's lock.
  bool held() const { return held_; }
  void release();

 private:
  friend Result<LockAttempt> lock_directory(const std::string& directory);
  dev_t device_ = 0;
  ino_t inode_ = 0;
  bool held_ = false;
};

struct LockAttempt {
  DirectoryLock lock;
  // Another process holds the directory; nothing was changed on disk.
  bool busy = false;
};

// Takes the lock of an existing directory: creates `directory`/LOCK if it is missing,
// then locks it without waiting. Fails with an Io error only for an unexpected
// operating-system failure. Thread-safe.
Result<LockAttempt> lock_directory(const std::string& directory);

// The ValueError text for a directory another process holds.
std::string directory_busy_message(const std::string& directory);

}  // namespace dralm
