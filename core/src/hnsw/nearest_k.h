// The selection of the exact scans: the k nearest of the hits offered, in a bounded
// max-heap, so a scan needs memory for k hits, not one per slot; and the k smallest of
// plain distances, whose largest is the bar a later one must pass.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include "hnsw/hnsw_index.h"
#include "hnsw/traversal.h"

namespace dralm::detail {

// Nearer first (NaN after every number); equal distances by ascending slot. A total order
// on distinct slots, so what a scan keeps does not depend on the order rows are offered
// in: the per-query scan and the blocked batch scan give the same lists.
inline bool scan_before(const Hit& a, const Hit& b) {
  if (closer(a.distance, b.distance)) return true;
  if (closer(b.distance, a.distance)) return false;
  return a.slot < b.slot;
}

class NearestK {
 public:
  NearestK(uint64_t k, size_t most) : k_(k) { heap_.reserve(std::min<uint64_t>(k, most)); }

  void offer(const Hit& hit) {
    if (heap_.size() < k_) {
      heap_.push_back(hit);
      std::push_heap(heap_.begin(), heap_.end(), scan_before);
    } else if (k_ > 0 && scan_before(hit, heap_.front())) {
      std::pop_heap(heap_.begin(), heap_.end(), scan_before);
      heap_.back() = hit;
      std::push_heap(heap_.begin(), heap_.end(), scan_before);
    }
  }

  // The kept hits in scan order.
  std::vector<Hit> take_sorted() {
    std::sort_heap(heap_.begin(), heap_.end(), scan_before);
    return std::move(heap_);
  }

 private:
  uint64_t k_;
  std::vector<Hit> heap_;  // max-heap under scan_before: the last kept hit on top
};

// The k smallest values offered (a bounded max-heap): kth() is the k-th smallest, or
// infinity while fewer than k were offered.
class SmallestK {
 public:
  explicit SmallestK(uint64_t k = 0) { reset(k); }

  void reset(uint64_t k) {
    k_ = k;
    heap_.clear();
    heap_.reserve(k);
  }
  void offer(float value) {
    if (heap_.size() < k_) {
      heap_.push_back(value);
      std::push_heap(heap_.begin(), heap_.end());
    } else if (k_ > 0 && value < heap_.front()) {
      std::pop_heap(heap_.begin(), heap_.end());
      heap_.back() = value;
      std::push_heap(heap_.begin(), heap_.end());
    }
  }
  float kth() const {
    return k_ == 0 || heap_.size() < k_ ? std::numeric_limits<float>::infinity() : heap_.front();
  }

 private:
  uint64_t k_ = 0;
  std::vector<float> heap_;
};

}  // namespace dralm::detail
