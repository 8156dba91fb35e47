#include <cassert>

#include "hnsw/hnsw_index.h"

namespace dralm {

VectorStore::VectorStore(MappedFile file, size_t float_count)
    : mapped_(std::move(file)), mapped_count_(float_count) {
  assert(float_count * sizeof(float) <= mapped_.size());
}

void VectorStore::make_owned() {
  if (!is_mapped()) return;
  const float* floats = mapped_floats();
  owned_.assign(floats, floats + mapped_count_);
  mapped_.release();
  mapped_count_ = 0;
}

}  // namespace dralm
