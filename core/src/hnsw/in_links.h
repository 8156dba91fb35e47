// Incoming layer-0 links: a count per node of the lists that name it, so that pruning a
// full list never takes away a node's last incoming link.
//
// A search reaches a node on layer 0 only through a list that names it. The diverse
// selection drops a candidate whenever a kept neighbour lies nearer to it, whatever else
// links to it; left alone, it strands nodes that every neighbour judged covered (an
// outlier, whose neighbours all lie nearer to each other than to it, most of all). The
// count is changed only together with an edit of a layer-0 list, under that list's lock,
// and through std::atomic_ref, because the lists of different owners are edited at the
// same time. Taking a link back is a compare-and-swap that refuses to go below one, so of
// two threads pruning a node's last two links concurrently, one keeps its link.
//
// One incoming link keeps a node reachable, but not always findable: the one left may
// come from a node far away (linked when the graph was sparse), while a search for the
// node's own vector ends among its nearest neighbours, none of which lists it. So each
// node that pruning leaves with one link is searched for, and if the search misses it,
// the nearest node the search found takes it (adopt_orphan).
//
// Neither guarantees a path from the entry: a group of nodes linked only among
// themselves stays cut off. HnswIndex::reconnect() finds and links such nodes after a
// batch.
#pragma once

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "hnsw/graph.h"
#include "hnsw/hnsw_index.h"
#include "hnsw/traversal.h"

namespace dralm::detail {

// A layer-0 list gained `s`.
inline void count_in_link(HnswIndex::Graph& g, Slot s) {
  std::atomic_ref<uint32_t>(g.in_links0[s]).fetch_add(1, std::memory_order_relaxed);
}

// A layer-0 list lost `s` unconditionally (its owner's list is written anew, or `s` is
// unlinked); the count may reach zero, and the caller then links `s` again.
inline void uncount_in_link(HnswIndex::Graph& g, Slot s) {
  std::atomic_ref<uint32_t>(g.in_links0[s]).fetch_sub(1, std::memory_order_relaxed);
}

// Under the dot product a vector's "nearest" are the longest vectors in its direction,
// not its neighbours: keeping every short vector's last link there filled the lists of
// long ones with links a walk never wants (recall@10 0.95 -> 0.87 on well-separated
// clusters), so that metric keeps the diversity rule alone.
constexpr bool keeps_last_links(Metric metric) { return metric != Metric::DotProduct; }

// The nodes left with a single incoming layer-0 link (or none) on this thread since the
// last check: those whose count a release brought down to one, those a release was
// refused for, and those an update unlinked. The linking of a node ends by checking
// each (keep_findable in insert.cc); every other caller that can add to it empties it
// before returning, so it never carries slots of one index into another's linking.
inline std::vector<Slot>& at_risk_slots() {
  thread_local std::vector<Slot> at_risk;
  return at_risk;
}

// A layer-0 list may drop `s` only if another list still names it: takes one link off
// `s`'s count and returns true, or returns false and leaves the count when this link is
// its last (the caller then keeps `s` listed). Either way, a node left with one link is
// noted in at_risk_slots().
inline bool release_in_link(HnswIndex::Graph& g, Slot s) {
  std::atomic_ref<uint32_t> count(g.in_links0[s]);
  uint32_t seen = count.load(std::memory_order_relaxed);
  while (seen > 1) {
    if (count.compare_exchange_weak(seen, seen - 1, std::memory_order_relaxed)) {
      if (seen == 2) at_risk_slots().push_back(s);
      return true;
    }
  }
  at_risk_slots().push_back(s);
  return false;
}

inline uint32_t in_link_count(const HnswIndex::Graph& g, Slot s) {
  return std::atomic_ref<uint32_t>(const_cast<uint32_t&>(g.in_links0[s]))
      .load(std::memory_order_relaxed);
}

inline bool listed(const std::vector<Slot>& list, Slot s) {
  return std::find(list.begin(), list.end(), s) != list.end();
}

// After the diverse selection of a full layer-0 list: every listed node the selection
// dropped gives up this link, unless it is that node's last incoming one. Such a node
// stays, in place of the farthest kept links that can be given up (`added`, not yet
// counted, always can). `pool` holds the old links and `added`, nearest first; `kept`
// the selection, nearest first, at most `cap`. Counts `added` when it stays listed.
inline void keep_last_in_links(HnswIndex::Graph& g, std::span<const Hit> pool, Slot added,
                               size_t cap, std::vector<Slot>& kept) {
  thread_local std::vector<Slot> pinned;
  pinned.clear();
  for (const Hit& h : pool) {
    if (h.slot != added && !listed(kept, h.slot) && !release_in_link(g, h.slot)) {
      pinned.push_back(h.slot);
    }
  }
  // kept and pinned are disjoint parts of the old list and `added`, so if every old link
  // in kept is also some node's last, kept + pinned are old links only and fit the cap.
  size_t excess = kept.size() + pinned.size() > cap ? kept.size() + pinned.size() - cap : 0;
  for (size_t i = kept.size(); i-- > 0 && excess > 0;) {
    if (kept[i] == added || release_in_link(g, kept[i])) {
      kept.erase(kept.begin() + ptrdiff_t(i));
      --excess;
    }
  }
  assert(excess == 0);
  kept.insert(kept.end(), pinned.begin(), pinned.end());
  if (listed(kept, added)) count_in_link(g, added);
}

// Gives `orphan` an incoming layer-0 link from the first of `near` (nearest first) that
// can take it: appended to a list with room, otherwise in place of the listed node
// farthest from the list's owner that has another incoming link. Returns false when no list of
// `near` could take it (every link of each is some node's last).
template <Metric kMetric>
bool adopt_orphan(HnswIndex::Graph& g, const float* vectors, size_t dim, Slot orphan,
                  std::span<const Slot> near) {
  std::vector<std::pair<float, uint32_t>> order;
  for (const Slot n : near) {
    if (n == orphan) continue;
    uint32_t* block = g.block(n, 0);
    ListLock lock(block);
    Slot* slots = list_slots(block);
    const uint32_t count = block[0];
    if (std::find(slots, slots + count, orphan) != slots + count) return true;
    if (count < g.cap(0)) {
      slots[count] = orphan;
      block[0] = count + 1;
      count_in_link(g, orphan);
      return true;
    }
    const float* owner = vectors + size_t(n) * dim;
    order.clear();
    for (uint32_t i = 0; i < count; ++i) {
      order.emplace_back(metric_distance<kMetric>(owner, vectors + size_t(slots[i]) * dim, dim), i);
    }
    std::sort(order.begin(), order.end(), [](const auto& a, const auto& b) {
      if (closer(b.first, a.first)) return true;
      if (closer(a.first, b.first)) return false;
      return a.second > b.second;
    });
    for (const auto& [d, i] : order) {
      if (release_in_link(g, slots[i])) {
        slots[i] = orphan;
        count_in_link(g, orphan);
        return true;
      }
    }
  }
  return false;
}

}  // namespace dralm::detail
