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
// LOCK file's device and inode and by the process id: a second Database on a held
// directory in the same process shares the one lock, which goes when the last holder
// is destroyed. Inside one process nothing stops two Database objects on one
// directory; that stays as it always was. A forked child inherits the registry and the
// locked descriptor, but its entries carry the parent's id, so the child's own open
// takes a fresh open file description, which the parent's flock refuses: the child
// cannot write behind the parent's back (a read-only open is still allowed).
//
// Read-only opens (share_directory) take no part in this: each takes flock(2) LOCK_SH
// on the directory itself (its own descriptor, no registry), never touches LOCK, and
// so neither waits for nor refuses the writer, and the writer neither waits for nor
// refuses them. Locking the directory rather than a file of its own means a read-only
// open creates nothing. Nothing in dralm takes the directory's lock exclusively; it
// is there so that other programs can see that readers have the directory open
// (`flock --nonblock --exclusive <dir> true` fails while any does), for instance
// before they move or delete it.
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

// Whether lock_directory may create a missing LOCK file.
enum class LockFile { CreateIfMissing, ExistingOnly };

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
  friend Result<LockAttempt> lock_directory(const std::string& directory, LockFile lock_file);
  friend Result<LockAttempt> share_directory(const std::string& directory);
  dev_t device_ = 0;
  ino_t inode_ = 0;
  pid_t owner_ = 0;     // the process whose registry entry this is a share of
  int shared_fd_ = -1;  // a read-only open's own descriptor of the directory, or -1
  bool held_ = false;
};

struct LockAttempt {
  DirectoryLock lock;
  // Another process holds the directory; nothing was changed on disk.
  bool busy = false;
};

// Takes the writer's lock of an existing directory: creates `directory`/LOCK if it is
// missing (unless ExistingOnly: then a missing LOCK file gives an unheld lock, which
// is how an open that will not write learns whether another process holds the
// directory without leaving a file behind), then locks it without waiting. Fails with
// an Io error only for an unexpected operating-system failure. Thread-safe.
Result<LockAttempt> lock_directory(const std::string& directory,
                                   LockFile lock_file = LockFile::CreateIfMissing);

// Takes a reader's shared lock of an existing directory (LOCK_SH on the directory
// itself), without waiting and without creating anything. Busy only while some other
// program holds the directory's lock exclusively. Storage without flock support gives
// an unheld lock. Fails with an Io error for a directory that cannot be opened.
// Thread-safe.
Result<LockAttempt> share_directory(const std::string& directory);

// The ValueError text for a directory another process holds (its writer's LOCK file).
std::string directory_busy_message(const std::string& directory);

}  // namespace dralm
