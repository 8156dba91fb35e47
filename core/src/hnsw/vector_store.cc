#include <cassert>

#include "hnsw/hnsw_index.h"

namespace dralm {

VectorStore::VectorStore(MappedFile file, size_t float_count)
    : mapped_(std::move(file)), mapped_count_(float_count) {
  assert(float_count * sizeof(float) <= mapped_.size());
}

}  // namespace dralm
