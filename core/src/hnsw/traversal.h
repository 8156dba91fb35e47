// The two one-layer walks shared by search, insertion and re-linking: the greedy walk
// (`greedy_closest`) and the beam search (`search_layer`), written once as templates
// over the distance (full precision per metric, or 8- or 4-bit codes).
//
// Locking: no walk takes a list lock. A search runs beside the one writer's staging, and
// the parallel link phase of a batch walks while other threads edit lists; every walk
// loads slots with acquire and stops at the first empty one (graph.h, "Lists under
// concurrent readers"). A list read while its writer rewrites it may show an old link
// beside a new one, or lose a link emptied behind the reader: the walk then misses or
// revisits a node, as if it had read the list a moment earlier or later (the visited
// marks skip a repeat). A back-link is stored with release after the linking thread
// wrote the new node's own lists, so a walk that follows it finds those lists complete.
// A link at or above the count of nodes a search's view holds names a node staged after
// the search began; follow_late_link decides whether it can be followed.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "distance/metric_kernels.h"
#include "hnsw/graph.h"
#include "hnsw/hnsw_index.h"
#include "quantize/sq4_distance.h"
#include "quantize/sq8.h"
#include "quantize/sq8_distance.h"
#include "quantize/sq8_rows.h"

namespace dralm::detail {

// Orders distances with NaN after every number: a strict weak ordering even with NaN.
inline bool closer(float a, float b) { return a < b || (b != b && a == a); }

// Max-heap order on hits (the farthest on top; as a sort, ascending) and min-heap order
// (the nearest on top).
struct FartherOnTop {
  bool operator()(const Hit& a, const Hit& b) const { return closer(a.distance, b.distance); }
};
struct NearerOnTop {
  bool operator()(const Hit& a, const Hit& b) const { return closer(b.distance, a.distance); }
};

// Per-thread visited marks with an epoch: starting a search bumps the epoch instead of
// clearing the array, so a query costs nothing proportional to the node count.
class VisitedMarks {
 public:
  void start(size_t node_count) {
    if (marks_.size() < node_count) marks_.resize(node_count, 0);
    if (++epoch_ == 0) {  // wrapped: old marks could collide with the new epoch
      std::fill(marks_.begin(), marks_.end(), 0);
      epoch_ = 1;
    }
  }
  // Marks `s`; returns whether it was already marked in this search.
  bool test_and_set(Slot s) {
    uint16_t& mark = marks_[s];
    if (mark == epoch_) return true;
    mark = epoch_;
    return false;
  }
  void prefetch(Slot s) const { __builtin_prefetch(marks_.data() + s); }
  // Makes room for a mark of `s` (a node beyond the count the search started with).
  void cover(Slot s) {
    if (s < marks_.size()) return;
    marks_.resize(std::max<size_t>(size_t(s) + 1, marks_.size() * 5 / 4), 0);
  }

 private:
  std::vector<uint16_t> marks_;
  uint16_t epoch_ = 0;
};

// Reused buffers of one thread's searches. A search never starts another search on the
// same thread while it runs, so one set per thread is enough.
struct SearchScratch {
  VisitedMarks visited;
  std::vector<Hit> candidates;    // refused nodes still to walk through, a min-heap
  std::vector<Hit> results;       // the beam (CandidatePool), ascending, at most ef
  std::vector<uint8_t> expanded;  // the beam's expanded marks, entry by entry
  std::vector<Slot> fresh;        // unvisited neighbours of the node being expanded
  std::vector<Hit> pool;          // a full list plus its new link, nearest first
  std::vector<Slot> kept;         // a re-chosen list before it is written back
  Sq8Query sq8_query;             // the query prepared for SQ8 traversal
  Sq4Query sq4_query;             // the query prepared for 4-bit traversal
  // A linked node's chosen neighbours, one list per layer.
  std::vector<std::vector<Slot>> chosen;
  // A full list and its new link as (distance, list position).
  std::vector<std::pair<float, uint32_t>> pruning;
};
SearchScratch& thread_scratch();

// How many cache lines of a row the walk asks for ahead of use. The first lines of
// the next few rows overlap their memory latency with the current distance; the
// hardware prefetcher follows a row once it is being read, and asking for whole long
// rows only crowds out the lines that are needed first.
inline constexpr size_t kPrefetchLines = 8;

// Asks for the first `bytes` of a row, one cache line at a time.
inline void prefetch_row(const void* row, size_t bytes) {
  const char* p = static_cast<const char*>(row);
  for (size_t offset = 0; offset < bytes; offset += 64) __builtin_prefetch(p + offset);
}

// Full-precision distance from a fixed query to stored slots, through the kernel
// chosen once for the whole search.
template <Metric kMetric>
class ExactDistance {
 public:
  ExactDistance(const ChunkedRows::View& rows, size_t dim, const float* query)
      : kernel_(metric_kernel<kMetric>()), rows_(rows), dim_(dim), query_(query),
        prefetch_bytes_(std::min(kPrefetchLines * 64, dim * sizeof(float))) {}
  float operator()(Slot s) const { return kernel_(query_, row(s), dim_); }
  void prefetch(Slot s) const { prefetch_row(row(s), prefetch_bytes_); }

 private:
  const float* row(Slot s) const { return row_as<float>(rows_, s); }
  FloatDistanceFn kernel_;
  ChunkedRows::View rows_;
  size_t dim_;
  const float* query_;
  size_t prefetch_bytes_;
};

// Traversal distance on quantized code rows through an integer kernel and a query
// prepared once into `prepared` (the thread's scratch); approximate values in the
// metric's form. Used for the descent and the layer-0 beam only; hits are re-ranked with
// exact distances. Two instances: SQ8 rows (quantize/sq8_rows.h, sq8_distance.h) and
// 4-bit rows (quantize/sq4_rows.h, sq4_distance.h), half an SQ8 row, so fewer of their
// lines are asked for ahead.
template <typename Query,
          void (*kPrepare)(const Sq8Quantizer&, const Sq8RowFormat&, const float*, Query&),
          float (*kDistance)(const Query&, const uint8_t*)>
class CodeDistance {
 public:
  CodeDistance(const Sq8Quantizer& quantizer, const Sq8RowFormat& format,
               const ChunkedRows::View& rows, const float* query, Query& prepared)
      : query_(prepared), rows_(rows),
        prefetch_bytes_(std::min(kPrefetchLines * 64, format.row_bytes)) {
    kPrepare(quantizer, format, query, prepared);
  }
  float operator()(Slot s) const { return kDistance(query_, row(s)); }
  void prefetch(Slot s) const { prefetch_row(row(s), prefetch_bytes_); }

 private:
  const uint8_t* row(Slot s) const { return row_as<uint8_t>(rows_, s); }
  const Query& query_;
  ChunkedRows::View rows_;
  size_t prefetch_bytes_;
};
using QuantizedDistance = CodeDistance<Sq8Query, prepare_sq8_query, sq8_distance>;
using Sq4Distance = CodeDistance<Sq4Query, prepare_sq4_query, sq4_distance>;

// Whether a search may follow the link at `at`, which it read as `e` at or above
// g.count: a node staged after the search loaded its count. A batch that began since
// may have replaced every link of an old node by links to its own nodes, so skipping
// them could leave the walk at a dead end. The link's writer stored the traversable
// count covering it before storing the link (with release); reading the link again
// with acquire therefore makes that count, and the node's rows, visible. `e` becomes
// the value read again. Writers' views hold every node and never get here with a link
// they may follow.
inline bool follow_late_link(const GraphView& g, const Slot* at, Slot& e, SearchScratch& scratch) {
  if (g.traversable == nullptr) return false;
  e = __atomic_load_n(at, __ATOMIC_ACQUIRE);
  if (e >= g.count && e >= g.traversable->load(std::memory_order_acquire)) return false;
  scratch.visited.cover(e);
  return true;
}

// Greedy walk on one layer: move to the strictly nearest listed slot until none is
// nearer. Among equal distances the earliest listed slot wins.
template <class Dist>
Slot greedy_closest(const GraphView& g, const Dist& dist, Slot start, size_t layer,
                    SearchScratch& scratch) {
  Slot cur = start;
  float best = dist(cur);
  for (;;) {
    if (!g.has_layer(cur, layer)) return cur;
    const Slot* list = g.list(cur, layer);
    const uint32_t bound = g.cap(layer);
    std::vector<Slot>& near = scratch.fresh;
    near.clear();
    for (uint32_t i = 0; i < bound; ++i) {
      Slot e = load_slot(list + i);
      if (e == kEmptySlot) break;
      if (e >= g.count && !follow_late_link(g, list + i, e, scratch)) continue;
      dist.prefetch(e);
      near.push_back(e);
    }
    const Slot scanned = cur;
    for (size_t i = 0; i < near.size(); ++i) {
      const float d = dist(near[i]);
      if (closer(d, best)) {
        best = d;
        cur = near[i];
      }
    }
    if (cur == scanned) return cur;
  }
}

// The greedy descent from `entry` through layers `top` .. `above` + 1: where the walk on
// layer `above` starts (layer 0 for a search, the new node's top layer for a linking).
template <class Dist>
Slot descend(const GraphView& g, const Dist& dist, Slot entry, uint64_t top, SearchScratch& scratch,
             uint64_t above = 0) {
  Slot ep = entry;
  for (uint64_t layer = top; layer > above; --layer) {
    ep = greedy_closest(g, dist, ep, layer, scratch);
  }
  return ep;
}

// How many neighbours ahead of the distance being computed their vectors are fetched.
inline constexpr size_t kPrefetchAhead = 8;

// Calls visit(slot, distance) for each neighbour of `node` on `layer` not visited
// before, marking it visited. The unvisited neighbours are collected first, then
// measured while a few vectors ahead are prefetched, so memory loads overlap the
// arithmetic without flooding the miss buffers.
template <class Dist, class Visit>
inline void visit_fresh_neighbours(const GraphView& g, const Dist& dist, Slot node, size_t layer,
                                   SearchScratch& scratch, Visit&& visit) {
  const Slot* list = g.list(node, layer);
  const uint32_t bound = g.cap(layer);
  std::vector<Slot>& fresh = scratch.fresh;
  fresh.clear();
  // The marks lie anywhere in an array of one per node: ask for all of them before the
  // first test, so their loads overlap. This pass also finds where the list ends; a slot
  // a writer empties before the pass below reads it is skipped there like any link
  // that cannot be followed.
  uint32_t count = 0;
  for (; count < bound; ++count) {
    const Slot e = load_slot(list + count);
    if (e == kEmptySlot) break;
    if (e < g.count) scratch.visited.prefetch(e);
  }
  for (uint32_t i = 0; i < count; ++i) {
    Slot e = load_slot(list + i);
    if (e >= g.count && !follow_late_link(g, list + i, e, scratch)) continue;
    if (scratch.visited.test_and_set(e)) continue;
    if (fresh.size() < kPrefetchAhead) dist.prefetch(e);
    fresh.push_back(e);
  }
  for (size_t i = 0; i < fresh.size(); ++i) {
    if (i + kPrefetchAhead < fresh.size()) dist.prefetch(fresh[i + kPrefetchAhead]);
    visit(fresh[i], dist(fresh[i]));
  }
}

// Measures every hit of `hits` again with `exact`, fetching rows a few ahead as the walk
// does, and sorts them nearest first; equal distances keep their order. A walk on codes
// finds its hits in nearly the exact order, so the insertion sort moves few of them.
template <class Exact>
void measure_exactly(std::vector<Hit>& hits, const Exact& exact) {
  for (size_t i = 0; i < std::min(kPrefetchAhead, hits.size()); ++i) exact.prefetch(hits[i].slot);
  for (size_t i = 0; i < hits.size(); ++i) {
    if (i + kPrefetchAhead < hits.size()) exact.prefetch(hits[i + kPrefetchAhead].slot);
    hits[i].distance = exact(hits[i].slot);
  }
  for (size_t i = 1; i < hits.size(); ++i) {
    const Hit h = hits[i];
    size_t j = i;
    for (; j > 0 && closer(h.distance, hits[j - 1].distance); --j) hits[j] = hits[j - 1];
    hits[j] = h;
  }
}

// The beam of a walk: at most `capacity` hits sorted by distance (NaN last, equal
// distances in the order they came), each marked once its list has been expanded, and a
// cursor at the nearest entry not yet expanded (every entry before it is expanded). The
// hits and marks live in the thread's scratch, so a walk allocates nothing once the
// buffers have grown; after the walk the hits are the beam's result, nearest first.
//
// Why one sorted array rather than a candidate heap beside a result heap: an insertion
// is a binary search and one short move of a few cache lines, the next entry to expand
// is found by stepping the cursor, and the result comes out sorted; the heaps pay two
// heap updates per insertion and a sort at the end.
class CandidatePool {
 public:
  CandidatePool(std::vector<Hit>& hits, std::vector<uint8_t>& expanded, size_t capacity)
      : hits_(hits), expanded_(expanded), capacity_(capacity) {
    hits_.clear();
    expanded_.clear();
    // One spare entry: an insertion into a full pool shifts before it drops the farthest.
    hits_.reserve(capacity + 1);
    expanded_.reserve(capacity + 1);
  }

  size_t size() const { return hits_.size(); }
  bool full() const { return hits_.size() >= capacity_; }
  // The farthest hit held; the pool must not be empty.
  float worst() const { return hits_.back().distance; }
  // Whether a hit at distance `d` enters: the pool has room, or `d` is nearer than the
  // farthest hit held.
  bool accepts(float d) const { return !full() || closer(d, worst()); }

  // Inserts (s, d), which accepts(d) allowed, after every entry at an equal distance;
  // a full pool drops its farthest hit.
  void insert(Slot s, float d) {
    const size_t pos = insertion_point(d);
    hits_.insert(hits_.begin() + static_cast<std::ptrdiff_t>(pos), Hit{s, d});
    expanded_.insert(expanded_.begin() + static_cast<std::ptrdiff_t>(pos), 0);
    if (hits_.size() > capacity_) {
      hits_.pop_back();
      expanded_.pop_back();
    }
    if (pos < cursor_) cursor_ = pos;
  }

  // Whether an entry is still to be expanded; moves the cursor onto the nearest one.
  bool has_next() {
    while (cursor_ < hits_.size() && expanded_[cursor_] != 0) ++cursor_;
    return cursor_ < hits_.size();
  }
  // The nearest unexpanded entry (has_next() held).
  const Hit& peek() const { return hits_[cursor_]; }
  // Marks the nearest unexpanded entry expanded and returns it (has_next() held).
  Hit take() {
    expanded_[cursor_] = 1;
    return hits_[cursor_++];
  }
  // The entry after the one just taken that is not expanded yet, if any: its list is
  // worth fetching while the current one is expanded.
  const Hit* following() const {
    for (size_t i = cursor_; i < hits_.size(); ++i) {
      if (expanded_[i] == 0) return &hits_[i];
    }
    return nullptr;
  }

 private:
  // Where a hit at `d` goes: after every entry not farther than it (NaN last). Counting
  // those entries is a loop without branches, which the compiler vectorises; a binary
  // search's branches are unpredictable and cost more over a beam of a few hundred hits.
  // A wider beam is first halved down to that size.
  size_t insertion_point(float d) const {
    if (d != d) return hits_.size();
    constexpr size_t kCountedRun = 256;
    size_t low = 0, high = hits_.size();
    while (high - low > kCountedRun) {
      const size_t mid = low + (high - low) / 2;
      if (hits_[mid].distance <= d) {
        low = mid + 1;
      } else {
        high = mid;
      }
    }
    uint32_t count = 0;
    for (size_t i = low; i < high; ++i) count += hits_[i].distance <= d;
    return low + count;
  }

  std::vector<Hit>& hits_;
  std::vector<uint8_t>& expanded_;
  size_t capacity_;
  size_t cursor_ = 0;
};

// Reached nodes that the admission test refused: walked through but never results, a
// min-heap (NearerOnTop) beside the pool. Empty, and never touched, on a plain walk.
// A walk expands the nearer of the pool's next entry and this heap's top; a refused node
// farther than a full pool's farthest hit is never expanded (the bound only tightens),
// so the whole heap is dropped once its top is.
struct RefusedQueue {
  std::vector<Hit>& heap;
  void push(Hit h) {
    heap.push_back(h);
    std::push_heap(heap.begin(), heap.end(), NearerOnTop());
  }
  Hit pop() {
    std::pop_heap(heap.begin(), heap.end(), NearerOnTop());
    const Hit h = heap.back();
    heap.pop_back();
    return h;
  }
};

// The capacity of a walk's pool for beam width `ef`: at least 1, and at most the nodes
// the walk can reach. A wider pool could never fill, so the bound changes no result; it
// keeps a huge width (ef_construction is a stored parameter) from sizing the buffers.
inline size_t pool_capacity(size_t ef, const GraphView& g) {
  return std::clamp<size_t>(ef, 1, std::max<size_t>(g.node_count(), 1));
}

// The next node to expand: the pool's nearest unexpanded entry or the nearest refused
// node, whichever is nearer (the pool's on a tie); false when the walk is over.
inline bool next_to_expand(CandidatePool& pool, RefusedQueue& refused, Hit& next) {
  const bool in_pool = pool.has_next();
  if (!refused.heap.empty()) {
    const float top = refused.heap.front().distance;
    if (pool.full() && closer(pool.worst(), top)) {
      refused.heap.clear();
    } else if (!in_pool || closer(top, pool.peek().distance)) {
      next = refused.pop();
      return true;
    }
  }
  if (!in_pool) return false;
  next = pool.take();
  return true;
}

// Beam search on one layer from `start` with width `ef` (at least 1) whose result set
// admits only slots for which `admit(slot)` holds. Every reached node is walked through,
// admitted or not, so a selective filter cannot cut the walk off from the matches; the
// beam is bounded by the admitted results only, and the walk goes on until it holds
// `ef` of them and no candidate is nearer than the farthest, or until every reachable
// node is spent. Leaves the admitted hits in scratch.results sorted ascending (NaN
// last), possibly empty. With every slot admitted (search_layer) this is the plain beam
// search, and the admission test compiles away.
//
// `stop(node)`, asked before each expansion, ends the walk there when it holds (the beam
// is then left as it stands); returns whether it did. The default never stops and
// compiles away.
struct NeverStop {
  bool operator()(Slot) const { return false; }
};
template <class Dist, class Admit, class Stop = NeverStop>
bool beam_search(const GraphView& g, const Dist& dist, Slot start, size_t ef, size_t layer,
                 const Admit& admit, SearchScratch& scratch, const Stop& stop = {}) {
  ef = pool_capacity(ef, g);
  CandidatePool pool(scratch.results, scratch.expanded, ef);
  RefusedQueue refused{scratch.candidates};
  refused.heap.clear();
  scratch.visited.start(g.node_count());

  const Hit first{start, dist(start)};
  if (admit(start)) {
    pool.insert(first.slot, first.distance);
  } else {
    refused.push(first);
  }
  scratch.visited.test_and_set(start);

  Hit c;
  while (next_to_expand(pool, refused, c)) {
    if (const Hit* after = pool.following(); after != nullptr && g.has_layer(after->slot, layer)) {
      prefetch_row(g.list(after->slot, layer), g.cap(layer) * sizeof(Slot));
    }
    if (!g.has_layer(c.slot, layer)) continue;
    if (stop(c.slot)) return true;

    visit_fresh_neighbours(g, dist, c.slot, layer, scratch, [&](Slot e, float d) {
      if (!pool.accepts(d)) return;
      if (admit(e)) {
        pool.insert(e, d);
      } else {
        refused.push({e, d});
      }
    });
  }
  return false;
}

// The plain beam search on one layer: every slot admitted, so the result set is never
// empty.
template <class Dist>
void search_layer(const GraphView& g, const Dist& dist, Slot start, size_t ef, size_t layer,
                  SearchScratch& scratch) {
  beam_search(
      g, dist, start, ef, layer, [](Slot) { return true; }, scratch);
}

// The beam search on layer 0 of a filtered search (the caller folds deletion into
// `admit`).
template <class Dist, class Admit>
void search_layer_admitting(const GraphView& g, const Dist& dist, Slot start, size_t ef,
                            const Admit& admit, SearchScratch& scratch) {
  beam_search(g, dist, start, ef, 0, admit, scratch);
}

// Beam search on layer 0 over the admitted slots only: a node is admitted when
// `admit(slot)` holds. Only admitted nodes get a distance and enter the pool; a rejected
// neighbour is not entered but its own list is read, so admitted nodes two hops away are
// reached through it (the subgraph of the admitted nodes alone would fall apart when
// they are few). At most `fanout` new nodes are taken per expansion. The walk starts from
// every slot of `starts` (admitted or not; a rejected start only seeds the walk) and
// leaves the admitted hits in scratch.results sorted ascending, at most ef, possibly
// fewer when the admitted nodes reachable this way run out.
//
// Distances are computed for admitted nodes only, so a selective filter costs about
// what an unfiltered walk costs, however far apart the admitted nodes lie in the full
// graph.
template <class Dist, class Admit>
void search_layer_within(const GraphView& g, const Dist& dist, std::span<const Slot> starts,
                         size_t ef, size_t fanout, const Admit& admit, SearchScratch& scratch) {
  ef = pool_capacity(ef, g);
  CandidatePool pool(scratch.results, scratch.expanded, ef);
  RefusedQueue refused{scratch.candidates};
  refused.heap.clear();
  std::vector<Slot>& fresh = scratch.fresh;
  scratch.visited.start(g.node_count());
  for (const Slot s : starts) {
    if (scratch.visited.test_and_set(s)) continue;
    const float d = dist(s);
    if (!admit(s)) {
      refused.push({s, d});
    } else if (pool.accepts(d)) {
      pool.insert(s, d);
    }
  }

  Hit c;
  while (next_to_expand(pool, refused, c)) {
    const Slot* list = g.list(c.slot, 0);
    const uint32_t count = list_length(list, g.cap0);
    fresh.clear();
    // Admitted neighbours first, then admitted neighbours of rejected ones.
    for (uint32_t i = 0; i < count && fresh.size() < fanout; ++i) {
      Slot e = load_slot(list + i);
      if (e >= g.count && !follow_late_link(g, list + i, e, scratch)) continue;
      if (!admit(e) || scratch.visited.test_and_set(e)) continue;
      dist.prefetch(e);
      fresh.push_back(e);
    }
    for (uint32_t i = 0; i < count && fresh.size() < fanout; ++i) {
      Slot e = load_slot(list + i);
      if (e >= g.count && !follow_late_link(g, list + i, e, scratch)) continue;
      if (admit(e) || scratch.visited.test_and_set(e)) continue;
      const Slot* second = g.list(e, 0);
      const uint32_t second_count = list_length(second, g.cap0);
      for (uint32_t j = 0; j < second_count && fresh.size() < fanout; ++j) {
        Slot e2 = load_slot(second + j);
        if (e2 >= g.count && !follow_late_link(g, second + j, e2, scratch)) continue;
        if (!admit(e2) || scratch.visited.test_and_set(e2)) continue;
        dist.prefetch(e2);
        fresh.push_back(e2);
      }
    }
    for (size_t i = 0; i < fresh.size(); ++i) {
      const Slot e = fresh[i];
      const float d = dist(e);
      if (pool.accepts(d)) pool.insert(e, d);
    }
  }
}

}  // namespace dralm::detail
