// The log through real files: round trips, torn tails, damaged frames, failed appends,
// cutting back and clearing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "json/json.h"
#include "store/wal_record.h"
#include "support/files.h"
#include "support/json_text.h"
#include "support/log_frames.h"
#include "support/temp_dir.h"
#include "util/file_io.h"

namespace dralm {
namespace {

using testing::frame_of;
using testing::json;
using testing::read_file;
using testing::write_file;

// A record as the test means it, comparable with what comes back.
struct Expected {
  WalKind kind;
  std::string id;
  std::optional<std::vector<float>> vector;
  bool metadata_changed;
  std::optional<JsonValue> metadata;
};

void expect_record(const WalRecord& got, const Expected& want) {
  EXPECT_EQ(got.kind, want.kind) << want.id;
  EXPECT_EQ(got.id, want.id);
  EXPECT_EQ(got.vector, want.vector) << want.id;
  EXPECT_EQ(got.metadata_changed, want.metadata_changed) << want.id;
  EXPECT_EQ(got.metadata.has_value(), want.metadata.has_value()) << want.id;
  if (got.metadata && want.metadata) {
    EXPECT_EQ(*got.metadata, *want.metadata) << want.id;
  }
}

std::string delete_frame(const std::string& id) {
  std::string frame;
  EXPECT_TRUE(encode_frame(WalRecordView::remove(id), frame).ok());
  return frame;
}

std::vector<std::string> ids_of(const WalContents& contents) {
  std::vector<std::string> ids;
  for (const WalRecord& r : contents.records) ids.push_back(r.id);
  return ids;
}

class WalLogTest : public ::testing::Test {
 protected:
  void SetUp() override { path_ = join_path(dir_.path(), "wal.dralm"); }

  WalContents read_ok(const WalWriter& log) {
    Result<WalContents> contents = read_records(log.path());
    EXPECT_TRUE(contents.ok()) << (contents.ok() ? "" : contents.error().message());
    return contents.ok() ? std::move(contents.value()) : WalContents{};
  }

  // Writes deletes of the given ids and returns the file length after each one.
  std::vector<uint64_t> append_deletes(WalWriter& log, std::initializer_list<const char*> ids) {
    std::vector<uint64_t> ends;
    for (const char* id : ids) {
      EXPECT_TRUE(append_records(log, WalRecordView::remove(id)).ok());
      ends.push_back(file_size(path_).value());
    }
    return ends;
  }

  testing::TempDir dir_;
  std::string path_;
};

TEST_F(WalLogTest, MissingOrEmptyLogHasNoRecords) {
  WalWriter log(path_);
  WalContents contents = read_ok(log);
  EXPECT_TRUE(contents.records.empty());
  EXPECT_EQ(contents.file_length, 0u);
  EXPECT_FALSE(file_exists(path_));  // reading never creates the file

  write_file(path_, "");
  contents = read_ok(log);
  EXPECT_TRUE(contents.records.empty());
  EXPECT_EQ(contents.valid_length, 0u);
}

TEST_F(WalLogTest, EveryKindAndUpdateCombinationRoundTrips) {
  std::vector<float> small = {1.5f, -2.0f, 0.0f, 3.25e-8f};
  std::vector<float> big(5000);  // one frame larger than the 8 KiB buffer
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<float>(i) * 0.5f - 7.0f;
  std::vector<float> empty_vector;
  JsonValue meta = json("{\"z\":[1,-2,3.5],\"a\":{\"b\":\"\\u00e9\"}}");
  JsonValue other = json("{\"k\":true}");
  std::span<const float> small_span(small);
  std::span<const float> big_span(big);

  std::vector<WalRecordView> views = {
      WalRecordView::insert("plain", small, nullptr),
      WalRecordView::insert("with meta \xC3\xA9", small, &meta),
      WalRecordView::insert("big", big, &other),
      WalRecordView::insert("", empty_vector, nullptr),
      WalRecordView::remove("gone"),
      WalRecordView::update("u-none", nullptr, false, nullptr),
      WalRecordView::update("u-vec", &small_span, false, nullptr),
      WalRecordView::update("u-meta", nullptr, true, &other),
      WalRecordView::update("u-clear", nullptr, true, nullptr),
      WalRecordView::update("u-both", &big_span, true, &meta),
  };
  std::vector<Expected> expected = {
      {WalKind::Insert, "plain", small, true, std::nullopt},
      {WalKind::Insert, "with meta \xC3\xA9", small, true, meta},
      {WalKind::Insert, "big", big, true, other},
      {WalKind::Insert, "", empty_vector, true, std::nullopt},
      {WalKind::Delete, "gone", std::nullopt, false, std::nullopt},
      {WalKind::Update, "u-none", std::nullopt, false, std::nullopt},
      {WalKind::Update, "u-vec", small, false, std::nullopt},
      {WalKind::Update, "u-meta", std::nullopt, true, other},
      {WalKind::Update, "u-clear", std::nullopt, true, std::nullopt},
      {WalKind::Update, "u-both", big, true, meta},
  };
  WalWriter log(path_);
  // Split over two appends: the second continues the same open file.
  ASSERT_TRUE(append_records(log, std::span(views).first(3)).ok());
  ASSERT_TRUE(append_records(log, std::span(views).subspan(3)).ok());

  WalContents contents = read_ok(WalWriter(path_));
  ASSERT_EQ(contents.records.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) expect_record(contents.records[i], expected[i]);
  EXPECT_EQ(contents.valid_length, contents.file_length);
  EXPECT_EQ(contents.file_length, file_size(path_).value());
}

TEST_F(WalLogTest, EachAppendReachesTheFileBeforeItReturns) {
  WalWriter log(path_);
  std::vector<uint64_t> ends = append_deletes(log, {"a", "b"});
  // A second reader sees both without the writer being closed or flushed again.
  EXPECT_EQ(ends, (std::vector<uint64_t>{14, 28}));
  EXPECT_EQ(ids_of(read_ok(WalWriter(path_))), (std::vector<std::string>{"a", "b"}));
}

TEST_F(WalLogTest, LastFrameCutAtEveryOffsetKeepsTheEarlierRecords) {
  std::vector<float> v = {1, 2, 3};
  JsonValue meta = json("{\"m\":1}");
  uint64_t two_frames;
  {
    WalWriter log(path_);
    ASSERT_TRUE(append_records(log, WalRecordView::remove("first")).ok());
    ASSERT_TRUE(append_records(log, WalRecordView::insert("second", v, nullptr)).ok());
    two_frames = file_size(path_).value();
    ASSERT_TRUE(append_records(log, WalRecordView::insert("third", v, &meta)).ok());
  }
  const std::string whole = read_file(path_);
  for (uint64_t cut = two_frames; cut < whole.size(); ++cut) {
    write_file(path_, whole.substr(0, cut));
    WalWriter log(path_);
    WalContents contents = read_ok(log);
    ASSERT_EQ(ids_of(contents), (std::vector<std::string>{"first", "second"})) << "cut " << cut;
    EXPECT_EQ(contents.valid_length, two_frames);
    EXPECT_EQ(contents.file_length, cut);

    // Appending straight after torn bytes hides the new record behind them...
    ASSERT_TRUE(append_records(log, WalRecordView::remove("after")).ok());
    EXPECT_EQ(read_ok(log).records.size(), cut == two_frames ? 3u : 2u) << "cut " << cut;
    // ...cutting back to the valid length first makes it readable.
    write_file(path_, whole.substr(0, cut));
    ASSERT_TRUE(log.truncate_to(contents.valid_length).ok());
    ASSERT_TRUE(append_records(log, WalRecordView::remove("after")).ok());
    EXPECT_EQ(ids_of(read_ok(log)), (std::vector<std::string>{"first", "second", "after"}));
  }
}

TEST_F(WalLogTest, AnyFlippedBitInAFrameEndsTheLogAtThatFrame) {
  const std::string first = delete_frame("one");
  const float one = 1.0f;
  const JsonValue meta = json("{\"a\":1}");
  std::string second;
  ASSERT_TRUE(encode_frame(WalRecordView::insert("two", std::span(&one, 1), &meta), second).ok());
  const std::string third = delete_frame("three");
  const std::string clean = first + second + third;
  write_file(path_, clean);
  ASSERT_EQ(read_ok(WalWriter(path_)).records.size(), 3u);

  // Every bit of the middle frame: kind, length, payload and checksum, flipped in place.
  int fd = ::open(path_.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  for (size_t byte = first.size(); byte < first.size() + second.size(); ++byte) {
    for (int bit = 0; bit < 8; ++bit) {
      char damaged = static_cast<char>(clean[byte] ^ (1 << bit));
      ASSERT_EQ(::pwrite(fd, &damaged, 1, static_cast<off_t>(byte)), 1);
      WalContents contents = read_ok(WalWriter(path_));
      ASSERT_EQ(ids_of(contents), std::vector<std::string>{"one"})
          << "byte " << byte << " bit " << bit;
      EXPECT_EQ(contents.valid_length, first.size());
    }
    ASSERT_EQ(::pwrite(fd, &clean[byte], 1, static_cast<off_t>(byte)), 1);
  }
  ::close(fd);
  EXPECT_EQ(read_file(path_), clean);
}

TEST_F(WalLogTest, IntactButUndecodableFramesAreSkippedAndCountAsRead) {
  const std::string frames[] = {
      delete_frame("a"),
      frame_of(9, std::string("\x01\0\0\0x", 5)),                      // unknown kind
      frame_of(2, std::string("\x02\0\0\0\xC3\x28", 6)),               // id not UTF-8
      frame_of(1, std::string("\x01\0\0\0x\0\0\0\0\x01\0\0\0{", 14)),  // metadata not JSON
      frame_of(3, std::string("\x01\0\0\0x\0", 6)),                    // Update, no 2nd flag
      frame_of(2, std::string("\x09\0\0\0x", 5)),                      // id past the payload
      delete_frame("b"),
  };
  std::string all;
  for (const std::string& f : frames) all += f;
  write_file(path_, all);
  WalContents contents = read_ok(WalWriter(path_));
  EXPECT_EQ(ids_of(contents), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(contents.valid_length, all.size());

  // A skipped frame at the very end still counts: cutting back must not drop it and
  // nothing after it is torn.
  write_file(path_, frames[0] + frames[1]);
  contents = read_ok(WalWriter(path_));
  EXPECT_EQ(contents.records.size(), 1u);
  EXPECT_EQ(contents.valid_length, frames[0].size() + frames[1].size());
}

// An allocation of the claimed length would be 4 GiB; a cap on the address space turns
// it into a failure instead of a silent waste.
class AddressSpaceCap {
 public:
  explicit AddressSpaceCap(uint64_t headroom) {
    ::getrlimit(RLIMIT_AS, &saved_);
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    rlimit capped = saved_;
    capped.rlim_cur = static_cast<rlim_t>(pages) * ::sysconf(_SC_PAGESIZE) + headroom;
    if (saved_.rlim_cur != RLIM_INFINITY && saved_.rlim_cur < capped.rlim_cur) return;
    active_ = pages > 0 && ::setrlimit(RLIMIT_AS, &capped) == 0;
  }
  ~AddressSpaceCap() {
    if (active_) ::setrlimit(RLIMIT_AS, &saved_);
  }
  bool active() const { return active_; }

 private:
  rlimit saved_{};
  bool active_ = false;
};

TEST_F(WalLogTest, LengthBeyondTheFileIsATornEndNotAnAllocation) {
  const std::string good = delete_frame("kept");
  for (uint32_t claimed : {0xFFFFFFFFu, 0x80000000u, 7u}) {
    // Seven bytes of payload follow, so a claim of 7 lacks only the checksum.
    std::string damaged = std::string(1, '\x02') + std::string(4, '\0') + "1234567";
    for (int i = 0; i < 4; ++i) damaged[1 + i] = static_cast<char>(claimed >> (8 * i));
    write_file(path_, good + damaged + good);
    WalContents contents;
    {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
      AddressSpaceCap cap(uint64_t{256} << 20);
#endif
      Result<WalContents> read = read_records(path_);
      ASSERT_TRUE(read.ok());
      contents = std::move(read.value());
    }
    EXPECT_EQ(ids_of(contents), std::vector<std::string>{"kept"}) << claimed;
    EXPECT_EQ(contents.valid_length, good.size());
  }
}

TEST_F(WalLogTest, ReadErrorOtherThanEndOfFileIsIo) {
  ASSERT_TRUE(create_directories(path_).ok());  // a directory where the log should be
  Result<WalContents> read = read_records(path_);
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.error().kind(), DbError::Kind::Io);
  EXPECT_EQ(read.error().message(), "io error: Is a directory (os error 21)");
}

// Makes writes past `limit` bytes fail with EFBIG instead of killing the process.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(uint64_t limit) {
    previous_handler_ = std::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    rlimit capped = saved_;
    capped.rlim_cur = static_cast<rlim_t>(limit);
    active_ = ::setrlimit(RLIMIT_FSIZE, &capped) == 0;
  }
  ~FileSizeLimit() {
    if (active_) ::setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, previous_handler_);
  }
  bool active() const { return active_; }

 private:
  rlimit saved_{};
  void (*previous_handler_)(int) = nullptr;
  bool active_ = false;
};

TEST_F(WalLogTest, FailedBatchIsCutBackAndLaterAppendsStayReadable) {
  WalWriter log(path_);
  std::vector<uint64_t> ends = append_deletes(log, {"a", "b"});
  std::vector<WalRecordView> batch = {WalRecordView::remove("c"), WalRecordView::remove("d"),
                                      WalRecordView::remove("e")};
  Status status;
  {
    // Room for "c" and half of "d": the batch fails in the middle of a frame.
    FileSizeLimit limit(ends.back() + 15 + 7);
    if (!limit.active()) GTEST_SKIP() << "cannot lower RLIMIT_FSIZE";
    status = append_records(log, batch);
  }
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().message(), "io error: File too large (os error 27)");
  // Neither the acknowledged "c" of the failed batch nor the torn "d" stays behind.
  EXPECT_EQ(file_size(path_).value(), ends.back());
  EXPECT_EQ(ids_of(read_ok(log)), (std::vector<std::string>{"a", "b"}));

  ASSERT_TRUE(append_records(log, WalRecordView::remove("f")).ok());
  EXPECT_EQ(ids_of(read_ok(log)), (std::vector<std::string>{"a", "b", "f"}));
}

TEST_F(WalLogTest, FailedSingleAppendOnAFullDeviceReportsTheOsError) {
  if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "/dev/full not available";
  ASSERT_EQ(::symlink("/dev/full", path_.c_str()), 0);
  WalWriter log(path_);
  Status status = append_records(log, WalRecordView::remove("x"));
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().message(), "io error: No space left on device (os error 28)");
  // The writer was dropped: the next append opens afresh and fails the same way.
  status = append_records(log, WalRecordView::remove("y"));
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().kind(), DbError::Kind::Io);
}

// The append-only attribute lets O_APPEND writes through but refuses truncation, even to
// root: the one way to make cutting back fail in a test.
bool set_append_only(const std::string& path, bool on) {
  int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  int flags = 0;
  bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  if (ok) {
    flags = on ? (flags | FS_APPEND_FL) : (flags & ~FS_APPEND_FL);
    ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  }
  ::close(fd);
  return ok;
}

TEST_F(WalLogTest, CutThatFailsIsRetriedBeforeAnyFurtherAppend) {
  WalWriter log(path_);
  std::vector<uint64_t> ends = append_deletes(log, {"a"});
  if (!set_append_only(path_, true)) GTEST_SKIP() << "file system lacks the append-only flag";
  Status status;
  {
    FileSizeLimit limit(ends.back() + 4);
    if (!limit.active()) {
      set_append_only(path_, false);
      GTEST_SKIP() << "cannot lower RLIMIT_FSIZE";
    }
    status = append_records(log, WalRecordView::remove("torn"));
  }
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(file_size(path_).value(), ends.back() + 4);  // the torn bytes could not go

  // Appending now would bury the record behind the torn frame: refused instead.
  status = append_records(log, WalRecordView::remove("b"));
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().message(), "io error: Operation not permitted (os error 1)");
  EXPECT_EQ(file_size(path_).value(), ends.back() + 4);

  ASSERT_TRUE(set_append_only(path_, false));
  ASSERT_TRUE(append_records(log, WalRecordView::remove("b")).ok());
  WalContents contents = read_ok(log);
  EXPECT_EQ(ids_of(contents), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(contents.valid_length, contents.file_length);
}

TEST_F(WalLogTest, TruncateToCutsOnlyWhatIsThereAndAppendsFollowTheCut) {
  WalWriter log(path_);
  ASSERT_TRUE(log.truncate_to(0).ok());  // no file yet: nothing to do, nothing created
  EXPECT_FALSE(file_exists(path_));
  std::vector<uint64_t> ends = append_deletes(log, {"a", "b"});
  ASSERT_TRUE(log.truncate_to(ends.back() + 100).ok());  // never extends
  EXPECT_EQ(file_size(path_).value(), ends.back());
  ASSERT_TRUE(log.truncate_to(ends.front()).ok());
  ASSERT_TRUE(append_records(log, WalRecordView::remove("c")).ok());
  EXPECT_EQ(ids_of(read_ok(log)), (std::vector<std::string>{"a", "c"}));
}

TEST_F(WalLogTest, ClearDeletesTheFileAndTheNextAppendStartsAFreshOne) {
  WalWriter log(path_);
  ASSERT_TRUE(log.clear().ok());  // nothing there yet
  append_deletes(log, {"a", "b", "c"});
  ASSERT_TRUE(log.clear().ok());
  EXPECT_FALSE(file_exists(path_));
  ASSERT_TRUE(append_records(log, WalRecordView::remove("ab")).ok());
  EXPECT_EQ(read_file(path_), delete_frame("ab"));  // exactly one frame
}

TEST_F(WalLogTest, ClearThatCannotDeleteIsIo) {
  ASSERT_TRUE(create_directories(join_path(path_, "inside")).ok());
  WalWriter log(path_);
  Status status = log.clear();
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().message(), "io error: Is a directory (os error 21)");
}

TEST_F(WalLogTest, OversizedRecordInABatchLeavesTheFileUntouched) {
  WalWriter log(path_);
  std::vector<uint64_t> ends = append_deletes(log, {"a"});
  // Four gigabytes of reserved, never-touched id: the size check comes first.
  const size_t huge = size_t{1} << 32;
  void* reserved =
      ::mmap(nullptr, huge, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (reserved == MAP_FAILED) GTEST_SKIP() << "cannot reserve address space";
  std::string_view huge_id(static_cast<const char*>(reserved), huge);
  std::vector<WalRecordView> batch = {WalRecordView::remove("b"), WalRecordView::remove(huge_id)};
  Status status = append_records(log, batch);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().kind(), DbError::Kind::Io);
  EXPECT_EQ(file_size(path_).value(), ends.back());
  ::munmap(reserved, huge);
}

}  // namespace
}  // namespace dralm
