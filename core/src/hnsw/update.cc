// Replacing a slot's vector in place: unlink the node from the lists it pointed into,
// then link it again at its old level.
#include <algorithm>
#include <cassert>
#include <vector>

#include "distance/distance.h"
#include "hnsw/aliasing.h"
#include "hnsw/graph.h"
#include "hnsw/hnsw_index.h"
#include "hnsw/in_links.h"

namespace dralm {

void HnswIndex::update_vector(Slot slot, std::span<const float> vector) {
  assert(slot < node_count() && vector.size() == dim());
  const size_t d = dim();
  // The new vector may be read from the store itself: take a copy first in that case.
  std::vector<float> copy;
  if (detail::overlaps(vector.data(), d, store_.data(), store_.float_count())) {
    copy.assign(vector.begin(), vector.end());
    vector = copy;
  }
  make_owned();
  float* stored = store_.owned().data() + size_t(slot) * d;
  std::copy(vector.begin(), vector.end(), stored);
  norms_[slot] = vector_norm({stored, d});
  if (quantized_)
    encode(quantized_->quantizer, stored, quantized_->codes.data() + size_t(slot) * d);
  if (node_count() == 1) return;

  Graph& g = *graph_;
  const uint64_t level = g.levels[slot];
  std::vector<Slot> former, former0;
  for (size_t layer = 0; layer <= level; ++layer) {
    {
      uint32_t* own = g.block(slot, layer);
      ListLock lock(own);
      former.assign(list_slots(own), list_slots(own) + own[0]);
      own[0] = 0;
    }
    if (layer == 0) {
      former0 = former;
      for (const Slot x : former) detail::uncount_in_link(g, x);
    }
    for (const Slot x : former) {
      if (!g.has_layer(x, layer)) continue;
      uint32_t* block = g.block(x, layer);
      ListLock lock(block);
      Slot* slots = list_slots(block);
      Slot* end = std::remove(slots, slots + block[0], slot);
      if (layer == 0 && end != slots + block[0]) detail::uncount_in_link(g, slot);
      block[0] = static_cast<uint32_t>(end - slots);
    }
  }

  // Where the re-linking descent starts. Any node but the entry starts from the entry,
  // as an insertion does. The entry keeps its role, but its own descent must start from
  // another node: the highest other node (the lowest slot among equals) has every layer
  // the entry shares with any other node, so the entry is linked again on each of them.
  // Starting lower would leave the entry's upper lists empty and the top of the graph cut
  // off from the rest.
  Slot ep = entry_point_;
  uint64_t ep_level = max_level_;
  if (slot == entry_point_) {
    ep = kNoEntry;
    for (Slot s = 0; s < node_count(); ++s) {
      if (s != slot && (ep == kNoEntry || g.levels[s] > g.levels[ep])) ep = s;
    }
    ep_level = g.levels[ep];
  }
  // A node the old list linked to may have lost its only link, or the one from its
  // neighbourhood: the linking checks that a search still finds it.
  for (const Slot x : former0) {
    if (detail::in_link_count(g, x) <= 1) detail::at_risk_slots().push_back(x);
  }
  link_node(slot, level, ep, ep_level, false);
}

}  // namespace dralm
