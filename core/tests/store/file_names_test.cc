// The names of a directory's files: no two files share a name, and the damaged copies
// of the log are numbered apart from each other and from the log itself.
#include "store/file_names.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace dralm {
namespace {

TEST(FileNames, EveryFileOfADirectoryHasItsOwnNameInsideIt) {
  const std::string dir = "/d/db";
  const std::string graph = graph_file(dir);
  const std::string vectors = vectors_file(dir);
  const std::string names[] = {graph,
                               vectors,
                               sq8_file(dir),
                               sq4_file(dir),
                               wal_file(dir),
                               temporary_path(graph),
                               temporary_path(vectors),
                               sq4_temporary_path(sq4_file(dir))};
  for (const std::string& name : names) EXPECT_EQ(name.rfind(dir + "/", 0), 0u) << name;
  EXPECT_EQ(std::set<std::string>(std::begin(names), std::end(names)).size(), std::size(names));
  // The SQ8 codes reuse the vectors' temporary: a save writes them one after the other.
  EXPECT_EQ(temporary_path(sq8_file(dir)), temporary_path(vectors));
}

TEST(FileNames, DamagedLogCopiesAreNumberedApart) {
  const std::string log = wal_file("/d");
  std::set<std::string> copies{log};
  for (int n = 0; n < 4; ++n) {
    const std::string copy = damaged_log_copy(log, n);
    EXPECT_EQ(copy.rfind(log + ".damaged", 0), 0u) << copy;
    EXPECT_TRUE(copies.insert(copy).second) << copy;
  }
  EXPECT_EQ(damaged_log_copy(log, 0), "/d/wal.dralm.damaged");
  EXPECT_EQ(damaged_log_copy(log, 2), "/d/wal.dralm.damaged.2");
}

}  // namespace
}  // namespace dralm
