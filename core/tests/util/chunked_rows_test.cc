// Views of a ChunkedRows read rows appended after they were taken: through chunks
// allocated in place, a table grown by copy, and a borrowed chunk copied on write.
#include "util/chunked_rows.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace dralm {
namespace {

struct RowsCase {
  const char* name;
  size_t row_bytes;  // sets the rows per chunk (2 MiB chunks)
  size_t borrowed;   // rows borrowed from read-only memory first
  size_t before;     // rows appended before the view is taken
  size_t after;      // rows appended after it
};

class ChunkedRowsViewTest : public ::testing::TestWithParam<RowsCase> {};

// Row i's first word.
uint64_t stamp(size_t i) { return 0x9E3779B97F4A7C15ull * (i + 1); }

TEST_P(ChunkedRowsViewTest, AnEarlierViewReadsEveryRowAppendedLater) {
  const RowsCase& c = GetParam();
  ChunkedRows rows(c.row_bytes);
  std::vector<std::byte> file(c.borrowed * c.row_bytes);
  for (size_t i = 0; i < c.borrowed; ++i) {
    const uint64_t v = stamp(i);
    std::memcpy(file.data() + i * c.row_bytes, &v, sizeof v);
  }
  if (c.borrowed > 0) rows.borrow(file.data(), c.borrowed);
  auto append_rows = [&](size_t n) {
    for (size_t k = 0; k < n; ++k) {
      const uint64_t v = stamp(rows.size());
      std::memcpy(rows.append(), &v, sizeof v);
    }
  };
  append_rows(c.before);
  const ChunkedRows::View early = rows.view();
  append_rows(c.after);
  const ChunkedRows::View late = rows.view();
  ASSERT_EQ(rows.size(), c.borrowed + c.before + c.after);
  for (size_t i = 0; i < rows.size(); ++i) {
    uint64_t from_early, from_late;
    std::memcpy(&from_early, early.row(i), sizeof from_early);
    std::memcpy(&from_late, late.row(i), sizeof from_late);
    ASSERT_EQ(from_early, stamp(i)) << "row " << i;
    ASSERT_EQ(from_late, stamp(i)) << "row " << i;
  }
  // The borrowed bytes were never written: appending copied their chunk.
  for (size_t i = 0; i < c.borrowed; ++i) {
    uint64_t v;
    std::memcpy(&v, file.data() + i * c.row_bytes, sizeof v);
    ASSERT_EQ(v, stamp(i));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Growth, ChunkedRowsViewTest,
    ::testing::Values(
        // 4 rows per chunk: the table (8 entries at first) is copied twice.
        RowsCase{"table_grows", 300 << 10, 0, 3, 40},
        // 65,536 rows per chunk: the next rows land in a chunk allocated in place.
        RowsCase{"chunk_in_place", 32, 0, 65530, 20},
        // A borrowed chunk with room left: the next append copies it.
        RowsCase{"borrowed_copied", 300 << 10, 6, 0, 30}, RowsCase{"empty_at_view", 64, 0, 0, 10}),
    [](const ::testing::TestParamInfo<RowsCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace dralm
