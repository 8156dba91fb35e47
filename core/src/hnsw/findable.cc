// The findability checks after a batch, an insert and an update: nodes are searched for
// as a search would (from the entry, a narrow beam first, the check beam for those it
// misses) and a node the search misses is adopted by the nearest node found
// (hnsw/in_links.h).
//
// The in-link counts keep every node linked and the homes keep each listed by the
// nearest node its linking found, but a batch can still leave a node whose links all
// come from nodes a search for it never expands: its true nearest neighbour arrived
// later and did not find it, it was linked while the graph was sparse, or the walk
// towards it closes its beam one region short. Its count of incoming links says little
// about it (such nodes were found with five or six), so after a batch of at least an
// eighth of the graph (a build, a compaction's rebuild among them) every live node is
// looked for; the linkings of such a batch check nothing themselves. After a smaller
// batch or an insert, the new nodes are looked for once all of them are linked
// (look_for_new): a far node's neighbours may all leave it out of their lists, and a
// later linking of the batch may cut off a node found right after its own. Such a
// node joins the descents through the upper layers only at the next pass (route_unrouted
// names it there first): where a descent ends decides which nodes its beam can reach, and
// only a look for every node finds those a re-routed descent leaves unfound.
//
// An adoption edits one list: the adopter gains the orphan and may give up another node
// (displaced), and nodes checked beside it in parallel may have walked through the list
// before the edit. So the orphans and the displaced nodes are looked for again, one
// thread, round after round, until a round adopts nothing. The edit also changes the
// walk of every node whose search read that list, wherever it lies: a node found early
// in the pass can be missed after a later adoption (the added link pulls a narrow beam
// elsewhere, the displaced one cut its path), so a pass that adopted anything is
// followed by another, until one adopts nothing: over every node after many adoptions,
// over the nodes near the edited lists after a few (nodes_near).
#include <algorithm>
#include <atomic>
#include <span>
#include <utility>
#include <vector>

#include "distance/distance.h"
#include "hnsw/graph.h"
#include "hnsw/hnsw_index.h"
#include "hnsw/in_links.h"
#include "hnsw/traversal.h"
#include "util/worker_pool.h"

namespace dralm {
namespace {

// Marks every node a walk over layer-0 links from `start` reaches that `reached` does
// not mark yet.
void mark_reached(const GraphView& g, Slot start, std::vector<char>& reached) {
  if (reached[start]) return;
  std::vector<Slot> stack{start};
  reached[start] = 1;
  while (!stack.empty()) {
    const Slot* list = g.list(stack.back(), 0);
    stack.pop_back();
    const uint32_t count = list_length(list, g.cap0);
    for (uint32_t i = 0; i < count; ++i) {
      const Slot x = load_slot(list + i);
      if (!reached[x]) {
        reached[x] = 1;
        stack.push_back(x);
      }
    }
  }
}

// A search for the stored vector of `s` from the entry, as a search of width `ef` walks:
// the hits are left in scratch.results, nearest first.
template <Metric kMetric>
void search_for_node(const GraphView& g, const ChunkedRows::View& vectors, size_t dim, Slot entry,
                     uint64_t max_level, uint64_t ef, Slot s, detail::SearchScratch& scratch) {
  const detail::ExactDistance<kMetric> dist(vectors, dim, row_as<float>(vectors, s));
  const Slot ep = detail::descend(g, dist, entry, max_level, scratch);
  detail::search_layer(g, dist, ep, ef, 0, scratch);
}

// A search finds a node through the upper layers too, but the walks that start on layer
// 0 from other nodes (the filtered ones) need a layer-0 path from the entry to every live
// node. Rarely, a few nodes link only among themselves; each such node is adopted by the
// nearest node a search for it finds that the entry does reach. Returns how many.
// `edited` gains every node adopted and every node displaced.
template <Metric kMetric, class Live>
size_t join_unreached(const GraphView& g, const ChunkedRows::View& vectors, size_t dim, Slot entry,
                      uint64_t max_level, uint64_t ef, const Live& live,
                      std::vector<Slot>& edited) {
  std::vector<char> reached(g.node_count(), 0);
  mark_reached(g, entry, reached);
  detail::SearchScratch& scratch = detail::thread_scratch();
  std::vector<Hit> near;
  size_t joined = 0;
  for (Slot s = 0; s < g.node_count(); ++s) {
    if (reached[s] || !live(s)) continue;
    search_for_node<kMetric>(g, vectors, dim, entry, max_level, ef, s, scratch);
    near.clear();
    for (const Hit& h : scratch.results) {
      if (reached[h.slot]) near.push_back(h);
    }
    Slot displaced;
    if (detail::adopt<kMetric>(g, vectors, dim, s, near, scratch, &displaced)) {
      ++joined;
      mark_reached(g, s, reached);
      edited.push_back(s);
      if (displaced != kNoEntry) edited.push_back(displaced);
    }
  }
  detail::at_risk_slots().clear();
  return joined;
}

// Rounds of checks on one thread: each looks for the nodes of `pending` (and the nodes
// the adoptions leave with one link) and gathers the adopted and the displaced ones for
// the next. A node still missed after the last round stays reachable through its links.
// Deleted nodes (`live` false) need no way in and are skipped.
// `checks` (empty, or one per node): what each node's last check learned.
// `edited`, when given, gains every node adopted and every node displaced.
template <Metric kMetric, class Live>
size_t settle(const GraphView& g, const ChunkedRows::View& vectors, size_t dim, Slot entry,
              uint64_t max_level, uint64_t ef, std::vector<Slot> pending, const Live& live,
              std::span<detail::LastCheck> checks = {}, std::vector<Slot>* edited = nullptr) {
  constexpr int kRounds = 4;
  detail::SearchScratch& scratch = detail::thread_scratch();
  std::vector<Slot>& at_risk = detail::at_risk_slots();
  std::vector<Slot> next;
  size_t adopted = 0;
  for (int round = 0; round < kRounds && !pending.empty(); ++round) {
    std::sort(pending.begin(), pending.end());
    pending.erase(std::unique(pending.begin(), pending.end()), pending.end());
    next.clear();
    for (const Slot s : pending) {
      if (!live(s)) continue;
      Slot displaced;
      if (detail::find_or_adopt<kMetric>(g, vectors, dim, entry, max_level, ef, s, scratch,
                                         &displaced, checks.empty() ? nullptr : &checks[s]) !=
          detail::Found::kAdopted) {
        continue;
      }
      ++adopted;
      next.push_back(s);
      if (displaced != kNoEntry) next.push_back(displaced);
      if (edited != nullptr) {
        edited->push_back(s);
        if (displaced != kNoEntry) edited->push_back(displaced);
      }
    }
    next.insert(next.end(), at_risk.begin(), at_risk.end());
    at_risk.clear();
    std::swap(pending, next);
  }
  at_risk.clear();
  return adopted;
}

// Sorts `slots` by where each one's descent ends (`checks`), then by slot.
void sort_by_start(std::vector<Slot>& slots, std::span<const detail::LastCheck> checks) {
  std::vector<uint64_t> keyed;
  keyed.reserve(slots.size());
  for (const Slot s : slots) keyed.push_back(uint64_t{checks[s].start} << 32 | s);
  std::sort(keyed.begin(), keyed.end());
  for (size_t i = 0; i < slots.size(); ++i) slots[i] = static_cast<Slot>(keyed[i]);
}

// Every live node in the order the passes look at them. The descent of each towards its
// own vector is taken first (into `checks`), and the nodes are grouped by where it ends:
// looks one after another then walk the same region of layer 0 and find its lists and
// rows still in cache, and a look over every node of a 1M graph takes an eighth less
// time than in slot order.
template <Metric kMetric, class Live>
std::vector<Slot> nodes_by_start(const GraphView& g, const ChunkedRows::View& vectors, size_t dim,
                                 Slot entry, uint64_t max_level, const Live& live,
                                 std::span<detail::LastCheck> checks) {
  parallel_for(g.node_count(), [&](size_t i) {
    const Slot s = static_cast<Slot>(i);
    if (!live(s)) return;
    const detail::ExactDistance<kMetric> dist(vectors, dim, row_as<float>(vectors, s));
    checks[s].start = detail::descend(g, dist, entry, max_level, detail::thread_scratch());
  });
  std::vector<Slot> nodes;
  for (Slot s = 0; s < g.node_count(); ++s) {
    if (live(s)) nodes.push_back(s);
  }
  sort_by_start(nodes, checks);
  return nodes;
}

// The slots marked in `marks` (one flag per node), ascending; clears the marks.
std::vector<Slot> take_marked(std::vector<uint8_t>& marks) {
  std::vector<Slot> marked;
  for (size_t s = 0; s < marks.size(); ++s) {
    if (marks[s]) marked.push_back(static_cast<Slot>(s));
  }
  std::fill(marks.begin(), marks.end(), uint8_t{0});
  return marked;
}

// The nodes whose own search may walk through a list that an adoption edited: the
// edits (an adopter gains the orphan, perhaps giving up a displaced node) change lists
// beside the orphans and the displaced, the adopter being the nearest node a search for
// the orphan found, and a search for a vector expands the nodes of the region around
// it. So the nodes a beam of width `reach` around each of `edited` returns stand for
// those whose search can change. Ascending; `marks` (one per node, zero) is left zero.
template <Metric kMetric>
std::vector<Slot> nodes_near(const GraphView& g, const ChunkedRows::View& vectors, size_t dim,
                             Slot entry, uint64_t max_level, uint64_t reach,
                             std::span<const Slot> edited, std::vector<uint8_t>& marks) {
  auto mark = [&](Slot s) {
    std::atomic_ref<uint8_t>(marks[s]).store(1, std::memory_order_relaxed);
  };
  parallel_for(edited.size(), [&](size_t i) {
    const Slot centre = edited[i];
    mark(centre);
    detail::SearchScratch& scratch = detail::thread_scratch();
    search_for_node<kMetric>(g, vectors, dim, entry, max_level, reach, centre, scratch);
    for (const Hit& h : scratch.results) mark(h.slot);
  });
  return take_marked(marks);
}

// A pass after one that edited few lists looks at the nodes near the edits only
// (nodes_near, a beam of twice the pass's width around each) when those beams together
// hold at most 1 / kLocalShare of the graph; otherwise at every node. On a 1M build the
// first pass adopts a few tens of thousands of nodes, so the second looks at every node,
// but the second adopts about ten, and a third pass over all of them (a sixth of the
// build) would only look again near those ten.
constexpr size_t kLocalShare = 4;

// The passes over every node at most: each one after the first looks again at nodes an
// adoption of the pass before may have cut off. The second pass adopts a node of tens of
// thousands in about a third of the builds, the third almost never one.
constexpr int kMostPasses = 3;

// Nodes linked since the last pass that call for a new one: an eighth of the graph, the
// share of a batch whose linkings are checked by a pass alone (insert.cc).
constexpr size_t kUncheckedShare = 8;

}  // namespace

size_t HnswIndex::make_findable() {
  unchecked_ = 0;
  route_unrouted();
  if (!detail::keeps_last_links(metric()) || entry_point_ == kNoEntry) return 0;
  const GraphView g = graph_->writer_view();
  const ChunkedRows::View vectors = vectors_.view();
  const size_t d = dim();
  const Slot entry = entry_point_;
  const uint64_t max_level = max_level_;
  // The first pass adopts every node its check beam misses; the later ones, which look
  // again at nodes found before, only those a search's default beam misses, so that
  // adoptions a wider beam does not need do not call for yet another pass.
  const uint64_t first_ef = detail::check_ef(g);
  const uint64_t later_ef = std::max(first_ef, detail::kSearchEf);
  // Nodes to look for again (orphans adopted in the parallel pass and the nodes they
  // displaced), marked by several threads at once.
  std::vector<uint8_t> again(g.node_count(), 0);
  // What each node's last check learned: no upper list changes during the passes.
  std::vector<detail::LastCheck> checks(g.node_count());
  std::atomic<size_t> adopted{0};
  size_t settled = 0;
  const auto live = [this](Slot s) { return !deleted_bit(s); };
  with_metric(metric(), [&](auto metric_constant) {
    constexpr Metric kMetric = decltype(metric_constant)::value;
    auto mark = [&](Slot s) {
      std::atomic_ref<uint8_t>(again[s]).store(1, std::memory_order_relaxed);
    };
    uint64_t ef = first_ef;
    auto check = [&](Slot s) {
      detail::SearchScratch& scratch = detail::thread_scratch();
      Slot displaced;
      if (detail::find_or_adopt<kMetric>(g, vectors, d, entry, max_level, ef, s, scratch,
                                         &displaced, &checks[s]) == detail::Found::kAdopted) {
        adopted.fetch_add(1, std::memory_order_relaxed);
        mark(s);
        if (displaced != kNoEntry) mark(displaced);
      }
      // Nodes an adoption left with one link are looked for again with the displaced.
      for (const Slot r : detail::at_risk_slots()) mark(r);
      detail::at_risk_slots().clear();
    };
    const std::vector<Slot> every_node =
        nodes_by_start<kMetric>(g, vectors, d, entry, max_level, live, checks);
    // The nodes the pass looks at (every node, or those near the last pass's edits), and
    // the nodes the last pass adopted, displaced or left at risk.
    std::span<const Slot> looked_at = every_node;
    std::vector<Slot> near_edits, edited;
    for (int pass = 0; pass < kMostPasses; ++pass) {
      const size_t before = adopted.load(std::memory_order_relaxed) + settled;
      parallel_for(looked_at.size(), [&](size_t i) {
        const Slot s = looked_at[i];
        if (!live(s)) return;  // a deleted node needs no way in
        if (pass > 0) {
          // Misses are rare now: the threads only look (no list changes) and the nodes
          // they miss are adopted on one thread below.
          if (!detail::search_finds<kMetric>(g, vectors, d, entry, max_level, ef, s,
                                             detail::thread_scratch(), &checks[s])) {
            mark(s);
          }
        } else {
          check(s);
        }
      });
      std::vector<Slot> pending = take_marked(again);
      edited = pending;
      settled += settle<kMetric>(g, vectors, d, entry, max_level, ef, std::move(pending), live,
                                 checks, &edited);
      settled += join_unreached<kMetric>(g, vectors, d, entry, max_level, ef, live, edited);
      // A pass that adopted nothing edited no list: every node it found stays found.
      if (adopted.load(std::memory_order_relaxed) + settled == before) break;
      ef = later_ef;
      const uint64_t reach = 2 * later_ef;
      looked_at = every_node;
      if (edited.size() * reach * kLocalShare <= g.node_count()) {
        near_edits = nodes_near<kMetric>(g, vectors, d, entry, max_level, reach, edited, again);
        sort_by_start(near_edits, checks);
        looked_at = near_edits;
      }
    }
  });
  return adopted.load(std::memory_order_relaxed) + settled;
}

// Each pass looks at all n nodes after n / 8 new ones, about nine looks per node added
// as the graph grows (a build's pass looks once): what keeps a graph grown by single
// adds as findable as one built at once.
void HnswIndex::note_unchecked(size_t linked) {
  unchecked_ += linked;
  if (unchecked_ * kUncheckedShare >= graph_->node_count()) make_findable();
}

void HnswIndex::look_for_new(Slot first, size_t count) {
  if (!detail::keeps_last_links(metric()) || entry_point_ == kNoEntry) return;
  const GraphView g = graph_->writer_view();
  const ChunkedRows::View vectors = vectors_.view();
  std::vector<uint8_t> missed(count, 0);
  with_metric(metric(), [&](auto metric_constant) {
    constexpr Metric kMetric = decltype(metric_constant)::value;
    parallel_for(count, [&](size_t i) {
      missed[i] = !detail::search_finds<kMetric>(g, vectors, dim(), entry_point_, max_level_,
                                                 detail::check_ef(g), static_cast<Slot>(first + i),
                                                 detail::thread_scratch());
    });
  });
  std::vector<Slot> lost;
  for (size_t i = 0; i < count; ++i) {
    if (missed[i]) lost.push_back(static_cast<Slot>(first + i));
  }
  keep_findable(lost);
}

void HnswIndex::keep_findable(std::span<const Slot> slots) {
  if (!detail::keeps_last_links(metric()) || entry_point_ == kNoEntry) return;
  const GraphView g = graph_->writer_view();
  const ChunkedRows::View vectors = vectors_.view();
  const auto live = [this](Slot s) { return !deleted_bit(s); };
  with_metric(metric(), [&](auto metric_constant) {
    constexpr Metric kMetric = decltype(metric_constant)::value;
    settle<kMetric>(g, vectors, dim(), entry_point_, max_level_, detail::check_ef(g),
                    std::vector<Slot>(slots.begin(), slots.end()), live);
  });
}

}  // namespace dralm
