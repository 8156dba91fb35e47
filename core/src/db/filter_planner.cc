// The filtered-search planner (see filter_planner.h for the cost model).
#include "db/filter_planner.h"

#include <algorithm>
#include <cassert>
#include <cmath>

#include "distance/distance.h"

namespace dralm {

const FilterCosts& FilterCosts::measured() {
  // `taskset -c 0 filter_plan_bench 3000000 200` on the development machine (AMD EPYC,
  // AVX-512 kernels), 20,000 to 187,500 clustered vectors of 16 to 784 floats, m = 16:
  // the exact scan of a sorted 10 % subset, the unfiltered walk at ef 100, and filtered
  // walks at shares 0.5, 0.1 and 0.01, whose time grew as share^-0.85 of the unfiltered
  // walk's (1.3-1.4x, 4-9x and 36-50x). The machine was shared with other builds, so
  // every figure is several times the quiet one; they were taken together, and only
  // their ratios decide.
  static const FilterCosts costs{
      .exact_fixed_ns = 9.7,
      .exact_per_dim_ns = 0.89,
      .walk_fixed_ns = 3215,
      .walk_per_dim_ns = 9.41,
      .tests_per_ef = 2.5,
      .share_exponent = 0.85,
      .match_ns = 300,
      .bit_ns = 7.5,
  };
  return costs;
}

namespace {

// A fixed pseudo-random sequence (SplitMix64), so a plan never depends on the time or
// the thread, and periodic metadata (every 100th slot, say) is not sampled in step.
uint64_t mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

void set_bit(std::vector<uint64_t>& bits, Slot s) { bits[s >> 6] |= uint64_t(1) << (s & 63); }
bool test_bit(const std::vector<uint64_t>& bits, Slot s) { return (bits[s >> 6] >> (s & 63)) & 1; }

}  // namespace

FilteredSearch::FilteredSearch(const HnswIndex& index, const FilterExpr& filter,
                               std::optional<SlotSet> candidates, const MetadataSlots& metadata,
                               uint64_t k, uint64_t ef, size_t query_count,
                               const FilterCosts& costs)
    : index_(index), filter_(filter), metadata_(metadata), k_(k), ef_(ef) {
  plan(std::move(candidates), std::max<size_t>(query_count, 1), costs);
}

bool FilteredSearch::index_answers_exactly(const FilterExpr& filter) {
  switch (filter.kind) {
    case FilterExpr::Kind::Eq:
    case FilterExpr::Kind::In:
      // A dotted name's entries mix the top-level key of that name with the nested path,
      // and a slot holding both is selected by the key alone: such sets are supersets.
      return filter.field.find('.') == std::string::npos;
    case FilterExpr::Kind::AllOf:
      // An empty list answers the empty set; otherwise every member must be answered.
      return std::all_of(filter.members.begin(), filter.members.end(),
                         [](const FilterExpr& m) { return index_answers_exactly(m); });
    case FilterExpr::Kind::AnyOf:
      // The union of exact sets is exact. An empty all-of member holds for every object
      // but gives no set, and an empty any-of holds for nothing and answers nothing.
      return std::all_of(filter.members.begin(), filter.members.end(), [](const FilterExpr& m) {
        return !(m.kind == FilterExpr::Kind::AllOf && m.members.empty()) &&
               index_answers_exactly(m);
      });
    default:
      return false;
  }
}

double FilteredSearch::sample_share() {
  const size_t n = index_.node_count();
  size_t live = 0;
  size_t matched = 0;
  if (n <= kFilterSampleSize) {
    for (Slot s = 0; s < n; ++s) {
      if (index_.is_deleted(s)) continue;
      ++live;
      const bool match = matches(filter_, metadata_[s]);
      matched += match;
      if (match && seeds_.size() < kWalkSeeds) seeds_.push_back(s);
    }
  } else {
    for (uint64_t j = 0; j < kFilterSampleSize; ++j) {
      const Slot s = static_cast<Slot>(mix(j) % n);
      if (index_.is_deleted(s)) continue;
      ++live;
      const bool match = matches(filter_, metadata_[s]);
      matched += match;
      if (match && seeds_.size() < kWalkSeeds) seeds_.push_back(s);
    }
  }
  if (live == 0) return 0.0;
  // No match in the sample still leaves a share of up to about 1/live to fear: take half
  // a match, so the estimate stays small but positive.
  return (matched == 0 ? 0.5 : double(matched)) / double(live);
}

void FilteredSearch::plan(std::optional<SlotSet> candidates, size_t query_count,
                          const FilterCosts& costs) {
  const double live = double(index_.live_count());
  const double nodes = double(index_.node_count());
  const double q = double(query_count);
  const double dim = double(index_.dim());
  const bool exact_answer = candidates && index_answers_exactly(filter_);
  check_filter_ = !exact_answer;

  if (index_.entry_point() == kNoEntry || live == 0) {
    path_ = FilterPath::kExact;  // nothing to find
    return;
  }
  if (candidates) {
    share_ = std::min(1.0, double(candidates->size()) / live);
  } else if (index_.uses_brute_force()) {
    // The index scans every slot with the filter anyway; no estimate needed.
    path_ = FilterPath::kScan;
    return;
  } else {
    share_ = sample_share();
  }
  if (index_.uses_brute_force()) {
    // Below the threshold the index scans every slot exactly; the candidate set is a
    // subset of those slots, so scanning only it gives the same answer sooner.
    path_ = FilterPath::kExact;
    collect_matches(candidates);
    return;
  }

  const double matching = share_ * live;
  const double per_exact = costs.exact_fixed_ns + costs.exact_per_dim_ns * dim;
  // The walk gathers ef accepted slots and passes up to 1/share nodes for each: it costs
  // about an unfiltered walk of width ef * share^-exponent, and cannot test more nodes
  // than exist.
  const double width = std::min(double(std::max<uint64_t>({ef_, k_, 1})) *
                                    std::pow(std::max(share_, 1.0 / live), -costs.share_exponent),
                                nodes / costs.tests_per_ef);
  const double walk = width * (costs.walk_fixed_ns + costs.walk_per_dim_ns * dim);
  const double visits = width * costs.tests_per_ef;

  // Collecting the matches once per call: from the candidate set (then sorted), or by
  // evaluating the filter on every slot.
  double exact_setup;
  if (candidates) {
    const double c = double(candidates->size());
    exact_setup = c * (costs.bit_ns + (exact_answer ? 0 : costs.match_ns)) +
                  c * std::log2(c + 2) * costs.bit_ns;
  } else {
    exact_setup = nodes * costs.match_ns;
  }
  const double exact_total = exact_setup + q * matching * per_exact;

  // The walk's acceptance test: a bit per candidate, the filter itself on the slots
  // whose bit is set (unless the index answered exactly); without a candidate set,
  // either the filter on every visited node or a bitmap made once for the call.
  double graph_total;
  bool graph_bitmap_of_all = false;
  if (candidates) {
    const double per_accept = costs.bit_ns + (exact_answer ? 0 : share_ * costs.match_ns);
    graph_total = double(candidates->size()) * costs.bit_ns + q * (walk + visits * per_accept);
  } else {
    const double lazy = q * (walk + visits * costs.match_ns);
    const double bitmap = nodes * costs.match_ns + q * (walk + visits * costs.bit_ns);
    graph_bitmap_of_all = bitmap < lazy;
    graph_total = std::min(lazy, bitmap);
  }

  if (exact_total <= graph_total) {
    path_ = FilterPath::kExact;
    collect_matches(candidates);
    return;
  }
  path_ = FilterPath::kGraph;
  if (candidates) {
    // When the index could not answer every member, the filter is evaluated on the
    // candidates once for the call if the walks would evaluate it more often than that.
    const bool evaluate = check_filter_ && q * visits * share_ > double(candidates->size());
    build_bitmap(candidates, evaluate);
    if (evaluate) check_filter_ = false;
    for (const uint32_t s : *candidates) {
      if (seeds_.size() == kWalkSeeds) break;
      if (s < index_.node_count() && !index_.is_deleted(s) && accepts(s)) seeds_.push_back(s);
    }
  } else if (graph_bitmap_of_all) {
    build_bitmap(std::nullopt, true);
    check_filter_ = false;
  }
}

void FilteredSearch::collect_matches(const std::optional<SlotSet>& candidates) {
  slots_.clear();
  if (candidates) {
    slots_.reserve(candidates->size());
    for (const uint32_t s : *candidates) {
      if (s >= index_.node_count() || index_.is_deleted(s)) continue;
      if (check_filter_ && !matches(filter_, metadata_[s])) continue;
      slots_.push_back(s);
    }
    // Ascending slots read the vectors front to back.
    std::sort(slots_.begin(), slots_.end());
  } else {
    const size_t n = index_.node_count();
    for (Slot s = 0; s < n; ++s) {
      if (index_.is_deleted(s) || !matches(filter_, metadata_[s])) continue;
      slots_.push_back(s);
    }
  }
}

void FilteredSearch::build_bitmap(const std::optional<SlotSet>& candidates, bool evaluate) {
  const size_t n = index_.node_count();
  use_bits_ = true;
  bits_.assign((n + 63) / 64, 0);
  if (candidates) {
    for (const uint32_t s : *candidates) {
      if (s < n && (!evaluate || matches(filter_, metadata_[s]))) set_bit(bits_, s);
    }
    return;
  }
  assert(evaluate);
  for (Slot s = 0; s < n; ++s) {
    if (evaluate && matches(filter_, metadata_[s])) set_bit(bits_, s);
  }
}

bool FilteredSearch::accepts(Slot slot) const {
  if (use_bits_ && !test_bit(bits_, slot)) return false;
  return !check_filter_ || (slot < metadata_.size() && matches(filter_, metadata_[slot]));
}

std::vector<Hit> FilteredSearch::search(std::span<const float> query) const {
  switch (path_) {
    case FilterPath::kExact:
      if (index_.uses_brute_force() && index_.entry_point() != kNoEntry) brute_force_notice();
      return index_.search_slots(query, k_, slots_);
    case FilterPath::kGraph:
    case FilterPath::kScan:
      break;
  }
  const AcceptFn accept = [this](Slot slot) { return accepts(slot); };
  // The walk over matching slots tests many more slots than it computes distances for,
  // so it runs only when the test is a bit; and only for a minority of matches, where it
  // saves most (a broad filter costs the walk through everything little more than an
  // unfiltered walk, and that walk's recall is the higher).
  if (path_ == FilterPath::kGraph && use_bits_ && !check_filter_ && share_ <= kWithinMaxShare) {
    std::vector<Hit> hits = index_.search_within(query, k_, ef_, accept, seeds_);
    if (hits.size() >= k_) return hits;
    // The matching slots reachable over matches and one rejected hop ran out: walk
    // through everything instead.
  }
  return index_.search_filtered(query, k_, ef_, accept);
}

}  // namespace dralm
