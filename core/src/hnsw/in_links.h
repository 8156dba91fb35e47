// Incoming layer-0 links: a count per node of the lists that name it, so that pruning a
// full list never takes away a node's last way in, and adoption, which gives a node that
// a search for its own vector misses a link from the nearest node that search found.
//
// A search reaches a node on layer 0 only through a list that names it. The diverse
// selection drops a candidate whenever a kept neighbour lies nearer to it, whatever else
// links to it; left alone, it strands nodes that every neighbour judged covered (an
// outlier, whose neighbours all lie nearer to each other than to it, most of all).
//
// The count (NodeInfo::in_links0) changes only together with an edit of a layer-0 list,
// under that list's lock, and through std::atomic_ref, because the lists of different
// owners are edited by several threads at once. Taking a link back is a compare-and-swap
// that refuses to go below one, so of two threads pruning a node's last two links at the
// same time, one keeps its link. Searches never read the count.
//
// One incoming link keeps a node reachable but not always findable: the one left may
// come from a node far away (linked while the graph was sparse), while a search for the
// node's own vector ends among its nearest neighbours, none of which lists it. Nodes
// left with one link are therefore noted (at_risk_slots) and searched for by the linking
// that left them so (insert.cc); after a large batch every node is (findable.cc).
#pragma once

#include <algorithm>
#include <atomic>
#include <bit>
#include <cassert>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "hnsw/graph.h"
#include "hnsw/hnsw_index.h"
#include "hnsw/traversal.h"

namespace dralm::detail {

// The narrowest beam a findability check uses (see check_ef).
inline constexpr uint64_t kCheckEf = 64;

// Under the dot product a vector's "nearest" are the longest vectors in its direction,
// not its neighbours, and a vector is usually not the best match of its own query:
// keeping every short vector's last link filled the lists of long ones with links a walk
// never wants (recall@10 0.95 -> 0.87 on well-separated clusters), so that metric keeps
// the diversity rule alone.
constexpr bool keeps_last_links(Metric metric) { return metric != Metric::DotProduct; }

// A layer-0 list gained `s`.
inline void count_in_link(const GraphView& g, Slot s) {
  g.in_links(s).fetch_add(1, std::memory_order_relaxed);
}

// A layer-0 list lost `s` unconditionally (its owner's list is written anew, or `s` is
// unlinked by an update, which then checks the node).
inline void uncount_in_link(const GraphView& g, Slot s) {
  g.in_links(s).fetch_sub(1, std::memory_order_relaxed);
}

inline uint32_t in_link_count(const GraphView& g, Slot s) {
  return g.in_links(s).load(std::memory_order_relaxed);
}

// The nodes this thread left with a single incoming layer-0 link (or none) since they
// were last checked. Whoever adds to it checks and empties it before returning, so it
// never carries slots of one index into another's linking.
inline std::vector<Slot>& at_risk_slots() {
  thread_local std::vector<Slot> at_risk;
  return at_risk;
}

// A layer-0 list may drop `s` only if another list still names it: takes one link off
// `s`'s count and returns true, or returns false and leaves the count when this link is
// its last (the caller then keeps `s` listed). Either way a node left with one link is
// noted in at_risk_slots().
inline bool release_in_link(const GraphView& g, Slot s) {
  std::atomic_ref<uint32_t> count = g.in_links(s);
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

inline bool listed(std::span<const Slot> list, Slot s) {
  return std::find(list.begin(), list.end(), s) != list.end();
}

// A node's home: the nearest node known to list it, with that node's distance. A search
// for a node's own vector ends among its nearest neighbours, so the nearest of them must
// list it; the diverse selection would keep that link (nothing lies nearer to the node
// than its nearest), but a full list of a hub drops it for the cap's sake. Pruning never
// drops a node from its home's list. The home is offered by each linking that lists
// the node (insert.cc) and changes only to a nearer node.
inline Slot home_of(const GraphView& g, Slot s) {
  return static_cast<Slot>(g.home(s).load(std::memory_order_relaxed));
}

inline uint64_t pack_home(Slot home, float distance) {
  return (uint64_t{std::bit_cast<uint32_t>(distance)} << 32) | home;
}

// Makes `home` the home of `s` if it lies nearer to `s` than its present home.
inline void offer_home(const GraphView& g, Slot s, Slot home, float distance) {
  std::atomic_ref<uint64_t> word = g.home(s);
  uint64_t seen = word.load(std::memory_order_relaxed);
  while (closer(distance, std::bit_cast<float>(static_cast<uint32_t>(seen >> 32)))) {
    if (word.compare_exchange_weak(seen, pack_home(home, distance), std::memory_order_relaxed)) {
      return;
    }
  }
}

inline float home_distance(const GraphView& g, Slot s) {
  return std::bit_cast<float>(
      static_cast<uint32_t>(g.home(s).load(std::memory_order_relaxed) >> 32));
}

// A new node's list: the diverse selection `selected` from `nearest` (hits from the node,
// nearest first), then every candidate to which the node lies nearer than its home, in
// place of the farthest selected links that are not such candidates, while they fit.
inline void take_homes(const GraphView& g, std::span<const Hit> nearest, size_t cap,
                       std::vector<Slot>& selected) {
  thread_local std::vector<Slot> homed;
  homed.clear();
  for (const Hit& h : nearest) {
    if (closer(h.distance, home_distance(g, h.slot))) homed.push_back(h.slot);
  }
  for (const Slot x : homed) {
    if (listed(selected, x)) continue;
    if (selected.size() >= cap) {
      size_t i = selected.size();
      while (i-- > 0 && listed(homed, selected[i])) {
      }
      if (i >= selected.size()) break;  // every selected link is homed here
      selected.erase(selected.begin() + ptrdiff_t(i));
    }
    selected.push_back(x);
  }
}

inline void forget_home(const GraphView& g, Slot s) {
  g.home(s).store(kNoHome, std::memory_order_relaxed);
}

// After the diverse selection of `owner`'s full layer-0 list: a listed node the
// selection dropped stays when `owner` is its home or this link is its last incoming
// one (otherwise it gives up this link), and so does `added` when `owner` is its home.
// Those kept this way take the place of the farthest selected links that can be given
// up; should they not fit, homes give way (farthest first; the node loses its home, not
// its way in, and is looked for again), last links never. Last links are old links, at
// most the cap, so the list always fits: `added`, which no count holds yet, gives way
// before any of them. `pool` holds the old links and `added`, nearest first; `kept` the
// selection, nearest first, at most `cap`. Counts `added` when it stays.
inline void keep_protected_links(const GraphView& g, Slot owner, std::span<const Hit> pool,
                                 Slot added, size_t cap, std::vector<Slot>& kept) {
  struct Pinned {
    Slot slot;
    bool last;  // this link is the node's last incoming one
  };
  thread_local std::vector<Pinned> pinned;
  pinned.clear();
  for (const Hit& h : pool) {
    if (listed(kept, h.slot)) continue;
    if (home_of(g, h.slot) == owner) {
      pinned.push_back({h.slot, false});
    } else if (h.slot != added && !release_in_link(g, h.slot)) {
      pinned.push_back({h.slot, true});
    }
  }
  // Farthest first: a selected link that is neither another node's last nor at home.
  for (size_t i = kept.size(); i-- > 0 && kept.size() + pinned.size() > cap;) {
    const Slot x = kept[i];
    if (home_of(g, x) == owner) continue;
    if (x == added || release_in_link(g, x)) kept.erase(kept.begin() + ptrdiff_t(i));
  }
  // A home gives way unless the link is also its last.
  auto gives_up_home = [&](Slot x) {
    if (x != added && !release_in_link(g, x)) return false;
    if (home_of(g, x) == owner) forget_home(g, x);
    at_risk_slots().push_back(x);
    return true;
  };
  for (size_t i = pinned.size(); i-- > 0 && kept.size() + pinned.size() > cap;) {
    if (!pinned[i].last && gives_up_home(pinned[i].slot)) {
      pinned.erase(pinned.begin() + ptrdiff_t(i));
    }
  }
  for (size_t i = kept.size(); i-- > 0 && kept.size() + pinned.size() > cap;) {
    if (gives_up_home(kept[i])) kept.erase(kept.begin() + ptrdiff_t(i));
  }
  assert(kept.size() + pinned.size() <= cap);
  for (const Pinned& p : pinned) kept.push_back(p.slot);
  if (listed(kept, added)) count_in_link(g, added);
}

// Gives `orphan` an incoming layer-0 link from the first node of `near` (hits from the
// orphan's vector, nearest first) that can take one: appended to a list with room,
// otherwise in place of the listed node farthest from the list's owner that has another
// incoming link (that node is stored in `*displaced`, kNoEntry otherwise). The adopter
// becomes the orphan's home: a search for the orphan's vector expands it (it was the
// nearest node such a search found), so pruning must not take that link back, whatever
// nearer node lists the orphan unseen. Returns false when no list of `near` could take
// it (every link of each is some node's last or home link).
// Each list is edited under its lock and written slot by slot, so a search reading it
// beside sees at each position the old link or the new one.
template <Metric kMetric>
bool adopt(const GraphView& g, const ChunkedRows::View& vectors, size_t dim, Slot orphan,
           std::span<const Hit> near, SearchScratch& scratch, Slot* displaced) {
  *displaced = kNoEntry;
  auto& order = scratch.pruning;
  for (const Hit& h : near) {
    const Slot n = h.slot;
    if (n == orphan) continue;
    LockedList list(g, n, 0);
    const Slot* slots = list.slots();
    const uint32_t count = list.length();
    bool linked = list.lists(orphan);
    if (!linked && count < list.cap()) {
      list.append(orphan);
      count_in_link(g, orphan);
      linked = true;
    }
    if (!linked) {
      const float* owner = row_as<float>(vectors, n);
      order.clear();
      for (uint32_t i = 0; i < count; ++i) {
        order.emplace_back(metric_distance<kMetric>(owner, row_as<float>(vectors, slots[i]), dim),
                           i);
      }
      // Farthest first; NaN counts as farthest.
      std::sort(order.begin(), order.end(), [](const auto& a, const auto& b) {
        if (closer(b.first, a.first)) return true;
        if (closer(a.first, b.first)) return false;
        return a.second > b.second;
      });
      for (const auto& [d, i] : order) {
        if (home_of(g, slots[i]) != n && release_in_link(g, slots[i])) {
          *displaced = slots[i];
          list.set(i, orphan);
          count_in_link(g, orphan);
          linked = true;
          break;
        }
      }
    }
    if (linked) {
      g.home(orphan).store(pack_home(n, h.distance), std::memory_order_relaxed);
      return true;
    }
  }
  return false;
}

// The beam of the findability checks: a node a search at this width reaches is reached
// by a search's wider default beam, and a check costs a fraction of a linking.
inline uint64_t check_ef(const GraphView& g) { return std::max<uint64_t>(g.cap(0), kCheckEf); }

// The narrowest beam of a database's searches (Database::default_ef): a pass that looks
// again at nodes found before adopts only those a search at this width misses.
inline constexpr uint64_t kSearchEf = 200;

// The beams of the looks for a node, each only while the narrower missed it: a greedy
// walk (beam 1) first, which finds most nodes at a few lists' cost, then kScreenEf, four
// times that, the narrowest check beam, and only then the check's own width (a wider one
// when a later pass looks again at the search's default beam). The descent through the
// upper layers is shared by all of them. A node the first pass found at kCheckEf is thus
// looked for again at that width, not at the default beam's three times its cost.
inline constexpr uint64_t kScreenEf = 8;
inline constexpr uint64_t kLookWidths[] = {1, kScreenEf, 4 * kScreenEf, kCheckEf, UINT64_MAX};

// What a node's last check learned, for its next one: where its descent ends
// (adoptions edit layer-0 lists only, so while nothing else links, it ends there again;
// kNoEntry before the first check), and which look found it (an index into
// kLookWidths). A node that needed a wide beam once mostly needs it again, so the next
// check starts at that width instead of repeating the narrower looks that missed.
struct LastCheck {
  Slot start = kNoEntry;
  uint8_t look = 0;
};

// Whether a layer-0 walk of width `width` from `start` (not `slot`) towards `slot`'s own
// vector returns `slot`. The walk ends as soon as the node it is about to expand lists
// `slot`: the full walk would take `slot` into its beam there, nearer to its own vector
// than any other node, and keep it to the end, so the rest of the walk (about a third
// of a look's distances) cannot change the answer. Only nodes as near to the vector as
// `slot` itself (duplicates) could crowd it out of a full beam, and a search then
// returns one of them at the same distance. A walk that does not reach `slot` runs to
// its end and leaves its beam in scratch.results, nearest first, as search_layer does.
template <class Dist>
bool walk_reaches(const GraphView& g, const Dist& dist, Slot start, uint64_t width, Slot slot,
                  SearchScratch& scratch) {
  const auto lists_slot = [&g, slot](Slot node) {
    const Slot* list = g.list(node, 0);
    for (uint32_t i = 0; i < g.cap0; ++i) {
      const Slot e = load_slot(list + i);
      if (e == slot) return true;
      if (e == kEmptySlot) return false;
    }
    return false;
  };
  return beam_search(
      g, dist, start, width, 0, [](Slot) { return true; }, scratch, lists_slot);
}

// Searches for `slot`'s own vector as a search does (the greedy descent from `entry`,
// then layer-0 beams of kLookWidths, the last `ef` wide, each only while the narrower
// missed it): true when a beam returns it and a layer-0 list names it. On a miss the
// last beam is left in scratch.results, nearest first. `last`, when given, is read and
// updated.
template <Metric kMetric>
bool search_finds(const GraphView& g, const ChunkedRows::View& vectors, size_t dim, Slot entry,
                  uint64_t max_level, uint64_t ef, Slot slot, SearchScratch& scratch,
                  LastCheck* last = nullptr) {
  if (slot == entry) return true;
  const ExactDistance<kMetric> dist(vectors, dim, row_as<float>(vectors, slot));
  Slot ep = last != nullptr ? last->start : kNoEntry;
  if (ep == kNoEntry) {
    ep = descend(g, dist, entry, max_level, scratch);
    if (last != nullptr) last->start = ep;
  }
  // A node no layer-0 list names is found only through its upper lists, and the walks
  // that start on layer 0 elsewhere (the filtered ones) never reach it: it counts as
  // missed, and a greedy walk leaves the nodes nearest to it for its adoption.
  if (in_link_count(g, slot) == 0) {
    search_layer(g, dist, ep, std::min(kLookWidths[0], ef), 0, scratch);
    return false;
  }
  // A descent that ends at the node itself starts every beam with it.
  if (ep == slot) return true;
  const uint8_t first_look = last != nullptr ? last->look : 0;
  for (uint8_t look = first_look; look < std::size(kLookWidths); ++look) {
    const uint64_t width = std::min(kLookWidths[look], ef);
    if (walk_reaches(g, dist, ep, width, slot, scratch)) {
      if (last != nullptr) last->look = look;
      return true;
    }
    if (width == ef) break;
  }
  return false;
}

// What a findability check did.
enum class Found {
  kYes,       // a search for the node's own vector returns it
  kAdopted,   // it did not; the nearest node that search found now lists it
  kStranded,  // it did not, and no node near it could take another link
};

// search_finds, and if the search misses the node, the nearest node it found adopts it
// (`*displaced`: the node that gave up that link, or kNoEntry).
template <Metric kMetric>
Found find_or_adopt(const GraphView& g, const ChunkedRows::View& vectors, size_t dim, Slot entry,
                    uint64_t max_level, uint64_t ef, Slot slot, SearchScratch& scratch,
                    Slot* displaced, LastCheck* last = nullptr) {
  *displaced = kNoEntry;
  if (search_finds<kMetric>(g, vectors, dim, entry, max_level, ef, slot, scratch, last)) {
    return Found::kYes;
  }
  // adopt's list edits leave the beam alone.
  return adopt<kMetric>(g, vectors, dim, slot, scratch.results, scratch, displaced)
             ? Found::kAdopted
             : Found::kStranded;
}

// Checks each node in at_risk_slots() with find_or_adopt and empties it. An adoption
// can leave another node with one link, which is then checked in turn, up to a bound
// that keeps one linking's work small (a node left unchecked is still reachable).
template <Metric kMetric>
void check_at_risk(const GraphView& g, const ChunkedRows::View& vectors, size_t dim, Slot entry,
                   uint64_t max_level, uint64_t ef, SearchScratch& scratch) {
  constexpr size_t kMostChecked = 64;
  std::vector<Slot>& at_risk = at_risk_slots();
  for (size_t i = 0; i < at_risk.size() && i < kMostChecked; ++i) {
    const Slot r = at_risk[i];
    if (std::find(at_risk.begin(), at_risk.begin() + ptrdiff_t(i), r) ==
        at_risk.begin() + ptrdiff_t(i)) {
      Slot displaced;
      find_or_adopt<kMetric>(g, vectors, dim, entry, max_level, ef, r, scratch, &displaced);
    }
  }
  at_risk.clear();
}

}  // namespace dralm::detail
