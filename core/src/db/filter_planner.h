// The filtered-search planner: for one search, or one batch of searches sharing a
// filter, it chooses between an exact scan of the matching slots and the filter-aware
// graph walk, and prepares what the chosen path reads (the list of matching slots, or
// the acceptance test of the walk).
//
// The choice compares estimated costs. The exact scan costs one distance per matching
// slot; the walk costs about what an unfiltered walk with a wider beam costs, growing
// as the share of live slots the filter accepts shrinks (the walk passes rejected
// nodes between the accepted ones it keeps). The share is known from the size of the candidate
// set when the metadata index answers, and estimated from a fixed sample of slots when
// it does not. Work done once per call (collecting the matches, building a bitmap) is
// spread over the queries of the call.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "filter/filter.h"
#include "filter/metadata_index.h"
#include "hnsw/hnsw_index.h"
#include "json/json.h"
#include "json/metadata_slots.h"

namespace dralm {

// Time of the steps the planner weighs, in nanoseconds, measured on one core of the
// development machine with bench/cpp/filter_plan_bench (see its header for how). Only
// the ratios matter: they decide where the exact scan stops paying, for any dimension.
struct FilterCosts {
  // One slot of the exact scan: a fixed part plus a part per dimension.
  double exact_fixed_ns = 0;
  double exact_per_dim_ns = 0;
  // The unfiltered graph walk (descent and layer 0), per unit of beam width.
  double walk_fixed_ns = 0;
  double walk_per_dim_ns = 0;
  // Nodes whose acceptance a filtered walk tests, per unit of beam width.
  double tests_per_ef = 0;
  // A walk filtered to a share s of the slots costs an unfiltered walk of width
  // ef * s^-share_exponent (1 would be the plain 1/s; matches near each other make the
  // walk cheaper than that).
  double share_exponent = 1;
  // One evaluation of a filter against a slot's metadata, and one bit test.
  double match_ns = 0;
  double bit_ns = 0;

  static const FilterCosts& measured();
};

// How many slots the planner evaluates the filter on when the index cannot narrow it.
inline constexpr size_t kFilterSampleSize = 256;
// How many matching slots seed a filtered walk.
inline constexpr size_t kWalkSeeds = 16;
// The largest share of matching slots for which the graph path walks over matching
// slots only (HnswIndex::search_within); above it the walk passes through everything.
inline constexpr double kWithinMaxShare = 0.2;

enum class FilterPath : uint8_t {
  kExact,  // exact distances to every live matching slot
  kGraph,  // the filter-aware graph walk
  kScan,   // the index below its brute-force threshold: its own filtered scan
};

// One filtered search plan, made once per search / search_many call and then run for
// every query of the call, possibly on several threads at once.
//
// Requires: the database's index and metadata locks held shared for the whole life of
// the object; `filter`, `index` and `metadata` outlive it.
class FilteredSearch {
 public:
  FilteredSearch(const HnswIndex& index, const FilterExpr& filter,
                 std::optional<SlotSet> candidates, const MetadataSlots& metadata, uint64_t k,
                 uint64_t ef, size_t query_count,
                 const FilterCosts& costs = FilterCosts::measured());

  FilterPath path() const { return path_; }
  // The estimated share of live slots the filter accepts, in [0, 1].
  double estimated_share() const { return share_; }

  // The k nearest accepted live slots of `query` (query.size() == index.dim()).
  // Thread-safe: reads only.
  std::vector<Hit> search(std::span<const float> query) const;

 private:
  // Whether every slot in the candidate set that is live also matches, so that the
  // per-slot filter evaluation can be skipped.
  static bool index_answers_exactly(const FilterExpr& filter);
  // The share of live slots among a fixed pseudo-random sample that match.
  double sample_share();
  void plan(std::optional<SlotSet> candidates, size_t query_count, const FilterCosts& costs);
  void collect_matches(const std::optional<SlotSet>& candidates);
  // One bit per candidate (per slot without candidates); `evaluate`: only those the
  // filter holds for.
  void build_bitmap(const std::optional<SlotSet>& candidates, bool evaluate);
  bool accepts(Slot slot) const;

  const HnswIndex& index_;
  const FilterExpr& filter_;
  const MetadataSlots& metadata_;
  uint64_t k_;
  uint64_t ef_;
  FilterPath path_ = FilterPath::kScan;
  double share_ = 0;
  // kExact: the live matching slots, ascending.
  std::vector<Slot> slots_;
  // kGraph: a few live matching slots spread over the collection, where the walk over
  // matching slots starts besides the end of the descent.
  std::vector<Slot> seeds_;
  // kGraph and kScan: one bit per slot that may be accepted; when `check_filter_` the
  // filter is still evaluated on the slots whose bit is set. Empty `bits_` (and
  // !use_bits_) means every slot passes the bit test.
  bool use_bits_ = false;
  std::vector<uint64_t> bits_;
  bool check_filter_ = true;
};

}  // namespace dralm
