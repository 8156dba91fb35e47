#include "util/file_io.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "support/bytes.h"
#include "support/temp_dir.h"

namespace dralm {
namespace {

class FileIoTest : public ::testing::Test {
 protected:
  std::string path(const std::string& name) const { return join_path(dir_.path(), name); }

  testing::TempDir dir_;
};

using testing::bytes_of;

TEST(PathTest, JoinAndParent) {
  EXPECT_EQ(join_path("a", "b"), "a/b");
  EXPECT_EQ(join_path("a/", "b"), "a/b");
  EXPECT_EQ(join_path("", "b"), "b");
  EXPECT_EQ(parent_directory("a/b"), "a");
  EXPECT_EQ(parent_directory("b"), "");
  EXPECT_EQ(parent_directory("/x/y/z"), "/x/y");
  EXPECT_EQ(parent_directory("/x"), "/");
  EXPECT_EQ(parent_directory("a/b/"), "a");
}

TEST_F(FileIoTest, MissingFileErrorsCarryTheOsText) {
  EXPECT_FALSE(file_exists(path("none")));
  auto read = read_whole_file(path("none"));
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.error().message(), "io error: No such file or directory (os error 2)");
  EXPECT_FALSE(file_size(path("none")).ok());
  EXPECT_FALSE(remove_file(path("none")).ok());
  EXPECT_FALSE(MappedFile::map_readonly(path("none")).ok());
}

TEST_F(FileIoTest, BufferedWritesOfEverySizeReadBackInOrder) {
  // Sizes straddle the 8 KiB buffer: small pieces, exactly a buffer, and larger than one.
  std::vector<uint8_t> expected;
  auto writer = BufferedFileWriter::open(path("f"), BufferedFileWriter::Mode::Truncate);
  ASSERT_TRUE(writer.ok());
  uint8_t next = 0;
  for (size_t size : {1u, 100u, 8191u, 8192u, 8193u, 3u, 20000u, 0u, 7u}) {
    std::vector<uint8_t> piece(size);
    for (auto& b : piece) b = next++;
    ASSERT_TRUE(writer.value().write(piece.data(), piece.size()).ok());
    expected.insert(expected.end(), piece.begin(), piece.end());
    EXPECT_EQ(writer.value().position(), expected.size());
  }
  ASSERT_TRUE(writer.value().sync().ok());
  ASSERT_TRUE(writer.value().close().ok());
  EXPECT_FALSE(writer.value().is_open());
  auto read = read_whole_file(path("f"));
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(read.value(), expected);
}

TEST_F(FileIoTest, AppendModeContinuesAndTruncateModeStartsOver) {
  {
    auto w = BufferedFileWriter::open(path("f"), BufferedFileWriter::Mode::Truncate);
    ASSERT_TRUE(w.ok());
    ASSERT_TRUE(w.value().write("abc", 3).ok());
  }  // destruction flushes
  {
    auto w = BufferedFileWriter::open(path("f"), BufferedFileWriter::Mode::Append);
    ASSERT_TRUE(w.ok());
    EXPECT_EQ(w.value().position(), 3u);
    ASSERT_TRUE(w.value().write("de", 2).ok());
    BufferedFileWriter moved = std::move(w.value());
    ASSERT_TRUE(moved.flush().ok());
    EXPECT_EQ(moved.position(), 5u);
  }
  EXPECT_EQ(read_whole_file(path("f")).value(), bytes_of("abcde"));
  {
    auto w = BufferedFileWriter::open(path("f"), BufferedFileWriter::Mode::Truncate);
    ASSERT_TRUE(w.ok());
    ASSERT_TRUE(w.value().write("z", 1).ok());
  }
  EXPECT_EQ(read_whole_file(path("f")).value(), bytes_of("z"));
}

TEST_F(FileIoTest, FlushFailureIsAnOsErrorAndDoesNotRewriteTheBuffer) {
  if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "/dev/full not available";
  auto w = BufferedFileWriter::open("/dev/full", BufferedFileWriter::Mode::Append);
  ASSERT_TRUE(w.ok());
  ASSERT_TRUE(w.value().write("abc", 3).ok());
  Status flushed = w.value().flush();
  ASSERT_FALSE(flushed.ok());
  EXPECT_EQ(flushed.error().message(), "io error: No space left on device (os error 28)");
  EXPECT_EQ(w.value().position(), 0u);
  // The failed bytes are gone from the buffer: a second flush has nothing to write.
  EXPECT_TRUE(w.value().flush().ok());
}

TEST_F(FileIoTest, MappingSeesTheFileAndAnEmptyFileMapsToNothing) {
  {
    auto w = BufferedFileWriter::open(path("full"), BufferedFileWriter::Mode::Truncate);
    ASSERT_TRUE(w.ok());
    ASSERT_TRUE(w.value().write("hello", 5).ok());
    auto e = BufferedFileWriter::open(path("empty"), BufferedFileWriter::Mode::Truncate);
    ASSERT_TRUE(e.ok());
  }
  auto mapped = MappedFile::map_readonly(path("full"));
  ASSERT_TRUE(mapped.ok());
  MappedFile held = std::move(mapped.value());
  ASSERT_EQ(held.size(), 5u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(held.data()), 5), "hello");
  held.release();
  EXPECT_EQ(held.data(), nullptr);

  auto empty = MappedFile::map_readonly(path("empty"));
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(empty.value().data(), nullptr);
  EXPECT_EQ(empty.value().size(), 0u);
}

TEST_F(FileIoTest, DirectoryAndFileOperations) {
  std::string deep = path("x/y/z");
  ASSERT_TRUE(create_directories(deep).ok());
  ASSERT_TRUE(create_directories(deep).ok());  // already there is fine
  struct stat st;
  ASSERT_EQ(::stat(deep.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_TRUE(sync_directory(deep).ok());

  std::string tmp = join_path(deep, "f.tmp");
  std::string target = join_path(deep, "f");
  {
    auto w = BufferedFileWriter::open(tmp, BufferedFileWriter::Mode::Truncate);
    ASSERT_TRUE(w.ok());
    ASSERT_TRUE(w.value().write("0123456789", 10).ok());
  }
  {
    auto w = BufferedFileWriter::open(target, BufferedFileWriter::Mode::Truncate);
    ASSERT_TRUE(w.ok());
    ASSERT_TRUE(w.value().write("old", 3).ok());
  }
  ASSERT_TRUE(rename_file(tmp, target).ok());
  EXPECT_FALSE(file_exists(tmp));
  EXPECT_EQ(file_size(target).value(), 10u);
  ASSERT_TRUE(truncate_file(target, 4).ok());
  EXPECT_EQ(read_whole_file(target).value(), bytes_of("0123"));
  // A regular file in the way of a directory is an error, not a silent success.
  EXPECT_FALSE(create_directories(join_path(target, "sub")).ok());
  EXPECT_FALSE(sync_directory(target).ok());
  ASSERT_TRUE(remove_file(target).ok());
  EXPECT_FALSE(file_exists(target));
}

}  // namespace
}  // namespace dralm
