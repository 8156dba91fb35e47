// Replacing a slot's vector in place: unlink the node from the lists it pointed into,
// then link it again at its old level. Runs with the index held exclusive: no search
// reads the rows while they change.
#include <algorithm>
#include <cassert>
#include <cstring>
#include <vector>

#include "distance/distance.h"
#include "hnsw/graph.h"
#include "hnsw/hnsw_index.h"
#include "hnsw/in_links.h"

namespace dralm {

void HnswIndex::update_vector(Slot slot, std::span<const float> vector) {
  assert(slot < graph_->node_count() && vector.size() == dim());
  const size_t d = dim();
  // The new vector may be read from the row it replaces: copy it first.
  const std::vector<float> copy(vector.begin(), vector.end());
  float* stored = reinterpret_cast<float*>(vectors_.mutable_row(slot));
  std::memcpy(stored, copy.data(), d * sizeof(float));
  const float norm = vector_norm({stored, d});
  std::memcpy(norms_.mutable_row(slot), &norm, sizeof(float));
  if (quantized_.rows != nullptr) {
    encode_row(quantized_.quantizer, quantized_.format, stored,
               reinterpret_cast<uint8_t*>(quantized_.rows->mutable_row(slot)));
  }
  if (graph_->node_count() == 1) return;

  const GraphView g = graph_->writer_view();
  const uint64_t level = g.level(slot);
  std::vector<Slot> former, former0;
  for (size_t layer = 0; layer <= level; ++layer) {
    {
      LockedList own(g, slot, layer);
      former.assign(own.slots(), own.slots() + own.length());
      own.replace(nullptr, 0);
    }
    if (layer == 0) {
      former0 = former;
      for (const Slot x : former) detail::uncount_in_link(g, x);
    }
    for (const Slot x : former) {
      if (!g.has_layer(x, layer)) continue;
      LockedList list(g, x, layer);
      std::vector<Slot> kept(list.slots(), list.slots() + list.length());
      // A list that names only the moved node keeps it: emptied, it would leave its owner
      // no way on, and the owner's only way in may have been the moved node's list too
      // (an outlier linked to nothing else). Through the kept link the search that looks
      // for the owner below still reaches the graph, and a node near it adopts it.
      if (kept.size() == 1 && kept[0] == slot) continue;
      if (std::erase(kept, slot) > 0 && layer == 0) detail::uncount_in_link(g, slot);
      list.replace(kept.data(), static_cast<uint32_t>(kept.size()));
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
    for (Slot s = 0; s < g.node_count(); ++s) {
      if (s != slot && (ep == kNoEntry || g.level(s) > g.level(ep))) ep = s;
    }
    ep_level = g.level(ep);
  }
  // A node the old list linked to may have lost its only link, or the one from its
  // neighbourhood: the linking checks that a search still finds it.
  // Nodes whose home it was have none until a nearer node lists them.
  std::vector<Slot> at_risk;
  if (detail::keeps_last_links(metric())) {
    for (const Slot x : former0) {
      const bool was_home = detail::home_of(g, x) == slot;
      if (was_home) detail::forget_home(g, x);
      if (was_home || detail::in_link_count(g, x) <= 1) at_risk.push_back(x);
    }
  }
  detail::forget_home(g, slot);
  link_node(slot, level, ep, ep_level, true, true);
  // The node itself and the nodes at risk are checked once the node is linked again,
  // from the entry a search starts at (the linking of the entry itself descends from
  // another node). Moving a node that routes the descents of searches everywhere is
  // followed by a look for every node: the search for a vector far from both of its
  // places may now end where its beam cannot leave.
  at_risk.push_back(slot);
  if (routes_descents(level)) {
    make_findable();
  } else {
    keep_findable(at_risk);
    note_unchecked(1);
  }
}

}  // namespace dralm
