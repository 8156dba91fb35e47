// DirectoryLock: holders inside one process share the one flock, which stays until the
// last of them is released. A probe through a fresh open file description sees what
// another process would: flock conflicts between descriptions even in one process.
#include "util/directory_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <utility>

#include "support/db_test_support.h"
#include "util/file_io.h"

namespace dralm::testing {
namespace {

// Whether another process could take the directory's lock right now.
bool lockable_elsewhere(const TempDir& dir) {
  const int fd = ::open(dir.file("LOCK").c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return true;  // no lock file, nothing held
  const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  ::close(fd);  // drops the probe's own lock, if it got one
  return free;
}

DirectoryLock take(const TempDir& dir) {
  Result<LockAttempt> attempt = lock_directory(dir.path());
  EXPECT_TRUE(attempt.ok());
  EXPECT_FALSE(attempt.value().busy);
  EXPECT_TRUE(attempt.value().lock.held());
  return std::move(attempt.value().lock);
}

TEST(DirectoryLockTest, HoldersInOneProcessShareTheLockUntilTheLastGoes) {
  TempDir dir;
  DirectoryLock first = take(dir);
  EXPECT_FALSE(lockable_elsewhere(dir));
  DirectoryLock second = take(dir);
  first.release();
  EXPECT_FALSE(first.held());
  EXPECT_FALSE(lockable_elsewhere(dir));
  // Moving hands the share over without releasing it.
  DirectoryLock moved = std::move(second);
  EXPECT_FALSE(second.held());
  EXPECT_FALSE(lockable_elsewhere(dir));
  moved = DirectoryLock();
  EXPECT_TRUE(lockable_elsewhere(dir));
  // And it can be taken again afterwards.
  DirectoryLock again = take(dir);
  EXPECT_FALSE(lockable_elsewhere(dir));
}

TEST(DirectoryLockTest, HeldByAnotherDescriptionIsBusyAndChangesNothing) {
  TempDir dir;
  const int other = ::open(dir.file("LOCK").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(other, 0);
  ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
  Result<LockAttempt> attempt = lock_directory(dir.path());
  ASSERT_TRUE(attempt.ok());
  EXPECT_TRUE(attempt.value().busy);
  EXPECT_FALSE(attempt.value().lock.held());
  ::close(other);
  DirectoryLock now = take(dir);
  EXPECT_TRUE(now.held());
}

TEST(DirectoryLockTest, DatabaseHoldsTheLockForItsLife) {
  TempDir dir;
  auto db = open_new(dir.path(), 2);
  ASSERT_TRUE(db);
  EXPECT_FALSE(lockable_elsewhere(dir));
  Result<std::unique_ptr<Database>> refused = [&] {
    const int other_fd = ::open(dir.file("LOCK").c_str(), O_RDWR | O_CLOEXEC);
    db.reset();
    // Another process now holds it: the open is refused with the documented text.
    EXPECT_EQ(::flock(other_fd, LOCK_EX | LOCK_NB), 0);
    Result<std::unique_ptr<Database>> outcome = Database::open(create_options(dir.path(), 2));
    ::close(other_fd);
    return outcome;
  }();
  EXPECT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().message(),
            "database at '" + dir.path() +
                "' is in use by another process (it holds the lock on '" + dir.file("LOCK") + "')");
}

// Readers share the directory itself: they neither block the writer's LOCK nor each
// other, create nothing, and are visible to an exclusive probe of the directory.
TEST(DirectoryLockTest, ReaderSharesNeitherBlockNorAreBlockedByTheWriter) {
  TempDir dir;
  DirectoryLock writer = take(dir);
  Result<LockAttempt> first = share_directory(dir.path());
  Result<LockAttempt> second = share_directory(dir.path());
  ASSERT_TRUE(first.ok() && second.ok());
  EXPECT_TRUE(first.value().lock.held() && !first.value().busy);
  EXPECT_TRUE(second.value().lock.held() && !second.value().busy);
  auto directory_lockable = [&] {
    const int fd = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return free;
  };
  EXPECT_FALSE(directory_lockable());
  writer.release();
  EXPECT_TRUE(lockable_elsewhere(dir));  // the readers hold nothing of LOCK
  first.value().lock.release();
  EXPECT_FALSE(directory_lockable());
  second.value().lock.release();
  EXPECT_TRUE(directory_lockable());
  EXPECT_FALSE(share_directory(dir.file("missing")).ok());
}

TEST(DirectoryLockTest, ExistingOnlyCreatesNoLockFileButSeesAHolder) {
  TempDir dir;
  Result<LockAttempt> probe = lock_directory(dir.path(), LockFile::ExistingOnly);
  ASSERT_TRUE(probe.ok());
  EXPECT_FALSE(probe.value().busy || probe.value().lock.held());
  EXPECT_FALSE(file_exists(dir.file("LOCK")));
  const int other = ::open(dir.file("LOCK").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
  probe = lock_directory(dir.path(), LockFile::ExistingOnly);
  ASSERT_TRUE(probe.ok());
  EXPECT_TRUE(probe.value().busy);
  ::close(other);
}

}  // namespace
}  // namespace dralm::testing
