// VectorBatch: many vectors in one flat array, each row with its own length, so a
// 2-D array arrives with one copy and lists of unequal length are still checkable.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace dralm {

struct VectorBatch {
  std::vector<float> data;
  std::vector<size_t> offsets{0};  // row i is data[offsets[i], offsets[i + 1])

  size_t size() const { return offsets.size() - 1; }
  bool empty() const { return size() == 0; }
  std::span<const float> row(size_t i) const {
    return {data.data() + offsets[i], offsets[i + 1] - offsets[i]};
  }
  void add_row(std::span<const float> row) {
    data.insert(data.end(), row.begin(), row.end());
    offsets.push_back(data.size());
  }
  // Every row has the same length `rows * length == data.size()`.
  static VectorBatch uniform(std::vector<float> flat, size_t rows, size_t length) {
    VectorBatch batch;
    batch.data = std::move(flat);
    batch.offsets.resize(rows + 1);
    for (size_t i = 0; i <= rows; ++i) batch.offsets[i] = i * length;
    return batch;
  }
};

}  // namespace dralm
