// The beam search's candidate pool: its order and bounds against a plain model, and the
// walks built on it against a two-heap beam search (the textbook form, kept here as the
// reference) on the same graph: the same hits in the same order, float and SQ8
// distances, L2 and cosine, with and without an admission test. The look for a node's
// own vector that ends once it reaches the node, against the walk run to its end.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "hnsw/graph.h"
#include "hnsw/hnsw_index.h"
#include "hnsw/in_links.h"
#include "hnsw/index_internals.h"
#include "hnsw/traversal.h"
#include "support/graph_check.h"

namespace dralm {
namespace {

using detail::closer;

// ---- The pool against a model: a stable sort of everything accepted, cut to capacity.

struct PoolCase {
  size_t capacity;
  int distinct_values;  // few values: many ties
  double nan_share;
};

class CandidatePoolTest : public ::testing::TestWithParam<PoolCase> {};

TEST_P(CandidatePoolTest, MatchesAStableSortedModelAndExpandsNearestFirst) {
  const PoolCase& pc = GetParam();
  std::mt19937_64 rng(pc.capacity * 1000 + pc.distinct_values);
  std::uniform_int_distribution<int> value(0, pc.distinct_values - 1);
  std::bernoulli_distribution nan(pc.nan_share), take(0.3);
  std::vector<Hit> hits;
  std::vector<uint8_t> expanded;
  detail::CandidatePool pool(hits, expanded, pc.capacity);
  struct Entry {
    Hit hit;
    bool expanded;
  };
  std::vector<Entry> model;  // ascending, equal distances in arrival order
  for (Slot s = 0; s < 400 + 2 * pc.capacity; ++s) {
    if (take(rng)) {
      auto next =
          std::find_if(model.begin(), model.end(), [](const Entry& e) { return !e.expanded; });
      ASSERT_EQ(pool.has_next(), next != model.end());
      if (next == model.end()) continue;
      const Hit got = pool.take();
      EXPECT_EQ(got.slot, next->hit.slot);
      next->expanded = true;
      continue;
    }
    const float d = nan(rng) ? std::nanf("") : static_cast<float>(value(rng));
    const bool room = model.size() < pc.capacity;
    ASSERT_EQ(pool.accepts(d), room || closer(d, model.back().hit.distance)) << "slot " << s;
    if (!pool.accepts(d)) continue;
    pool.insert(s, d);
    auto at = std::find_if(model.begin(), model.end(),
                           [d](const Entry& e) { return closer(d, e.hit.distance); });
    model.insert(at, Entry{{s, d}, false});
    if (model.size() > pc.capacity) model.pop_back();
    ASSERT_EQ(hits.size(), model.size());
    for (size_t i = 0; i < model.size(); ++i) {
      ASSERT_EQ(hits[i].slot, model[i].hit.slot) << "position " << i << " after slot " << s;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, CandidatePoolTest,
                         ::testing::Values(PoolCase{1, 50, 0.0}, PoolCase{3, 4, 0.1},
                                           PoolCase{16, 1000, 0.0}, PoolCase{16, 6, 0.2},
                                           PoolCase{64, 30, 0.05}, PoolCase{700, 40, 0.05},
                                           PoolCase{700, 100000, 0.0}));

// Hits found on codes, measured again: the exact distances, ascending, NaN last, equal
// distances in the order the walk found them.
TEST(MeasureExactlyTest, MatchesAStableSortOfTheExactDistances) {
  std::mt19937_64 rng(7);
  std::uniform_int_distribution<int> value(0, 9);
  std::bernoulli_distribution nan(0.1);
  std::vector<float> exact_of(300);
  for (float& d : exact_of) d = nan(rng) ? std::nanf("") : static_cast<float>(value(rng));
  struct Exact {
    const std::vector<float>& table;
    float operator()(Slot s) const { return table[s]; }
    void prefetch(Slot) const {}
  };
  std::vector<Hit> hits;
  for (Slot s = 0; s < exact_of.size(); ++s) hits.push_back({s, static_cast<float>(s)});
  std::shuffle(hits.begin(), hits.end(), rng);
  std::vector<Hit> model = hits;
  for (Hit& h : model) h.distance = exact_of[h.slot];
  std::stable_sort(model.begin(), model.end(),
                   [](const Hit& a, const Hit& b) { return closer(a.distance, b.distance); });
  detail::measure_exactly(hits, Exact{exact_of});
  for (size_t i = 0; i < hits.size(); ++i) ASSERT_EQ(hits[i].slot, model[i].slot) << i;
}

// ---- The reference: the two-heap beam search the pool replaced.

// Candidates in a min-heap, admitted results in a max-heap of at most `ef`.
struct TwoHeaps {
  explicit TwoHeaps(size_t width) : ef(width) {}

  size_t ef;
  std::vector<Hit> candidates, results;

  bool full() const { return results.size() >= ef; }
  void offer(Slot e, float d, bool admitted) {
    candidates.push_back({e, d});
    std::push_heap(candidates.begin(), candidates.end(), detail::NearerOnTop());
    if (!admitted) return;
    results.push_back({e, d});
    std::push_heap(results.begin(), results.end(), detail::FartherOnTop());
    if (results.size() > ef) {
      std::pop_heap(results.begin(), results.end(), detail::FartherOnTop());
      results.pop_back();
    }
  }
};

// The two-heap walk; refused nodes are walked through. Returns the results ascending.
template <class Dist, class Admit>
std::vector<Hit> heap_beam(const GraphView& g, const Dist& dist, Slot start, size_t ef,
                           const Admit& admit, detail::SearchScratch& scratch) {
  scratch.visited.start(g.node_count());
  TwoHeaps heaps(ef);
  std::vector<Hit>& candidates = heaps.candidates;
  std::vector<Hit>& results = heaps.results;
  candidates.push_back({start, dist(start)});
  if (admit(start)) results.push_back(candidates.front());
  scratch.visited.test_and_set(start);
  while (!candidates.empty()) {
    std::pop_heap(candidates.begin(), candidates.end(), detail::NearerOnTop());
    const Hit c = candidates.back();
    candidates.pop_back();
    if (heaps.full() && closer(results.front().distance, c.distance)) break;
    detail::visit_fresh_neighbours(g, dist, c.slot, 0, scratch, [&](Slot e, float d) {
      if (heaps.full() && !closer(d, results.front().distance)) return;
      heaps.offer(e, d, admit(e));
    });
  }
  std::sort_heap(results.begin(), results.end(), detail::FartherOnTop());
  return results;
}

// The same reference for the walk over admitted slots only (search_layer_within).
template <class Dist, class Admit>
std::vector<Hit> heap_within(const GraphView& g, const Dist& dist, std::span<const Slot> starts,
                             size_t ef, size_t fanout, const Admit& admit,
                             detail::SearchScratch& scratch) {
  scratch.visited.start(g.node_count());
  TwoHeaps heaps(ef);
  std::vector<Hit>& candidates = heaps.candidates;
  std::vector<Hit>& results = heaps.results;
  for (const Slot s : starts) {
    if (!scratch.visited.test_and_set(s)) heaps.offer(s, dist(s), admit(s));
  }
  while (!candidates.empty()) {
    std::pop_heap(candidates.begin(), candidates.end(), detail::NearerOnTop());
    const Hit c = candidates.back();
    candidates.pop_back();
    if (heaps.full() && closer(results.front().distance, c.distance)) break;
    const Slot* list = g.list(c.slot, 0);
    const uint32_t count = list_length(list, g.cap0);
    std::vector<Slot> fresh;
    auto take = [&](Slot e) {
      if (fresh.size() < fanout && e < g.count && admit(e) && !scratch.visited.test_and_set(e)) {
        fresh.push_back(e);
      }
    };
    for (uint32_t i = 0; i < count; ++i) take(load_slot(list + i));
    for (uint32_t i = 0; i < count && fresh.size() < fanout; ++i) {
      const Slot e = load_slot(list + i);
      if (e >= g.count || admit(e) || scratch.visited.test_and_set(e)) continue;
      const Slot* second = g.list(e, 0);
      const uint32_t second_count = list_length(second, g.cap0);
      for (uint32_t j = 0; j < second_count; ++j) take(load_slot(second + j));
    }
    for (const Slot e : fresh) {
      const float d = dist(e);
      if (!heaps.full() || closer(d, results.front().distance)) heaps.offer(e, d, true);
    }
  }
  std::sort_heap(results.begin(), results.end(), detail::FartherOnTop());
  return results;
}

// ---- The walks against the reference on one graph per metric.

enum class Walk { Plain, Admitting, Within };
struct WalkCase {
  Metric metric;
  bool sq8;
  Walk walk;
};

std::string walk_label(const ::testing::TestParamInfo<WalkCase>& info) {
  static const char* const kWalks[] = {"Plain", "Admitting", "Within"};
  return std::string(metric_name(info.param.metric)) + (info.param.sq8 ? "Sq8" : "Float") +
         kWalks[static_cast<int>(info.param.walk)];
}

class WalkEquivalenceTest : public ::testing::TestWithParam<WalkCase> {
 protected:
  static constexpr size_t kDim = 24, kCount = 6000, kQueries = 60;

  // Built once per metric and quantization (the build dominates), from fixed seeds.
  static const HnswIndex& index_for(Metric metric, bool sq8) {
    static std::unique_ptr<HnswIndex> built[3][2];
    auto& slot = built[static_cast<int>(metric)][sq8];
    if (!slot) {
      slot = std::make_unique<HnswIndex>(IndexParams{kDim, metric, 12, 80});
      slot->insert_batch(testing::clustered_data(kCount, kDim, 30, 41));
      if (sq8) slot->enable_quantization();
    }
    return *slot;
  }
};

TEST_P(WalkEquivalenceTest, SameHitsInTheSameOrderAsTheTwoHeapWalk) {
  const WalkCase& wc = GetParam();
  const HnswIndex& index = index_for(wc.metric, wc.sq8);
  const HnswIndex::Snapshot snap = IndexInternals::snapshot(index);
  const GraphView& g = snap.graph;
  const std::vector<float> queries = testing::clustered_data(kQueries, kDim, 30, 42);
  // Every third slot by a hash of the slot: admitted nodes scattered over the clusters.
  const auto admit = [](Slot s) { return (s * 2654435761u >> 7) % 3 == 0; };
  const auto admit_all = [](Slot) { return true; };
  detail::SearchScratch reference_scratch;
  detail::SearchScratch& scratch = detail::thread_scratch();
  size_t compared = 0;

  const auto compare = [&](const auto& dist, size_t q) {
    // A start far from most queries, so the walks have ground to cover.
    const Slot start = static_cast<Slot>((q * 97) % kCount);
    // The last width exceeds every node: the beam then holds all it reaches.
    for (const size_t ef : {size_t{1}, size_t{10}, size_t{48}, size_t{1} << 40}) {
      std::vector<Hit> expected;
      switch (wc.walk) {
        case Walk::Plain:
          expected = heap_beam(g, dist, start, ef, admit_all, reference_scratch);
          detail::search_layer(g, dist, start, ef, 0, scratch);
          break;
        case Walk::Admitting:
          expected = heap_beam(g, dist, start, ef, admit, reference_scratch);
          detail::search_layer_admitting(g, dist, start, ef, admit, scratch);
          break;
        case Walk::Within: {
          const Slot starts[] = {start, static_cast<Slot>((start + 1) % kCount), 3};
          expected = heap_within(g, dist, starts, ef, 32, admit, reference_scratch);
          detail::search_layer_within(g, dist, starts, ef, 32, admit, scratch);
          break;
        }
      }
      const std::vector<Hit>& got = scratch.results;
      ASSERT_EQ(got.size(), expected.size()) << "query " << q << " ef " << ef;
      ASSERT_FALSE(got.empty());
      // The same distances position by position and the same slots; among equal
      // distances the heaps' order is unspecified, so a run of ties is compared as a set.
      for (size_t run = 0; run < got.size();) {
        size_t end = run + 1;
        while (end < got.size() && got[end].distance == got[run].distance) ++end;
        std::vector<Slot> a, b;
        for (size_t i = run; i < end; ++i) {
          ASSERT_EQ(got[i].distance, expected[i].distance) << "query " << q << " at " << i;
          a.push_back(got[i].slot);
          b.push_back(expected[i].slot);
        }
        std::sort(a.begin(), a.end());
        std::sort(b.begin(), b.end());
        ASSERT_EQ(a, b) << "query " << q << " ef " << ef << " at " << run;
        run = end;
      }
      ++compared;
    }
  };
  with_metric(wc.metric, [&](auto metric_constant) {
    constexpr Metric kMetric = decltype(metric_constant)::value;
    for (size_t q = 0; q < kQueries; ++q) {
      const float* query = queries.data() + q * kDim;
      if (wc.sq8) {
        const QuantizedRows& rows = IndexInternals::quantized_rows(index);
        ASSERT_NE(rows.rows, nullptr);
        Sq8Query prepared;
        compare(
            detail::QuantizedDistance(rows.quantizer, rows.format, snap.sq8_rows, query, prepared),
            q);
      } else {
        compare(detail::ExactDistance<kMetric>(snap.vectors, kDim, query), q);
      }
    }
  });
  EXPECT_EQ(compared, kQueries * 4);
}

INSTANTIATE_TEST_SUITE_P(Walks, WalkEquivalenceTest,
                         ::testing::Values(WalkCase{Metric::Euclidean, false, Walk::Plain},
                                           WalkCase{Metric::Euclidean, true, Walk::Plain},
                                           WalkCase{Metric::Cosine, false, Walk::Plain},
                                           WalkCase{Metric::Cosine, true, Walk::Plain},
                                           WalkCase{Metric::Euclidean, false, Walk::Admitting},
                                           WalkCase{Metric::Cosine, true, Walk::Admitting},
                                           WalkCase{Metric::Euclidean, true, Walk::Within},
                                           WalkCase{Metric::Cosine, false, Walk::Within}),
                         walk_label);

// ---- A look for a node's own vector that ends where the walk reaches the node.

class WalkReachesTest : public ::testing::TestWithParam<Metric> {};

// For every node, from a start far from it, at widths narrow enough to miss: the same
// answer as whether the full walk returns the node, and on a miss the same beam (the
// node's adoption picks from it).
TEST_P(WalkReachesTest, AnswersAsTheFullWalkDoes) {
  constexpr size_t kDim = 24, kCount = 2000;
  HnswIndex index(IndexParams{kDim, GetParam(), 8, 40});
  index.insert_batch(testing::clustered_data(kCount, kDim, 20, 43));
  const HnswIndex::Snapshot snap = IndexInternals::snapshot(index);
  detail::SearchScratch& scratch = detail::thread_scratch();
  size_t reached = 0, missed = 0;
  with_metric(GetParam(), [&](auto metric_constant) {
    constexpr Metric kMetric = decltype(metric_constant)::value;
    for (Slot s = 0; s < kCount; ++s) {
      const detail::ExactDistance<kMetric> dist(snap.vectors, kDim, row_as<float>(snap.vectors, s));
      const Slot start = static_cast<Slot>((s * 97 + 1) % kCount);
      for (const size_t width : {1, 4, 16}) {
        detail::search_layer(snap.graph, dist, start, width, 0, scratch);
        const std::vector<Hit> full = scratch.results;
        const bool returned =
            std::any_of(full.begin(), full.end(), [s](const Hit& h) { return h.slot == s; });
        const bool answer = detail::walk_reaches(snap.graph, dist, start, width, s, scratch);
        ASSERT_EQ(answer, returned) << "node " << s << " width " << width;
        if (answer) {
          ++reached;
          continue;
        }
        ++missed;
        ASSERT_EQ(scratch.results.size(), full.size());
        for (size_t i = 0; i < full.size(); ++i) ASSERT_EQ(scratch.results[i].slot, full[i].slot);
      }
    }
  });
  EXPECT_GT(reached, 0u);
  EXPECT_GT(missed, 0u);
}

INSTANTIATE_TEST_SUITE_P(Metrics, WalkReachesTest,
                         ::testing::Values(Metric::Euclidean, Metric::Cosine),
                         [](const auto& info) { return std::string(metric_name(info.param)); });

}  // namespace
}  // namespace dralm
