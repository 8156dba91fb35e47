// The filtered-search planner: which path it takes for filters of each kind and share,
// and that its exact path is the exact answer (deletions included) on an index that
// walks the graph.
#include "db/filter_planner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "distance/distance.h"
#include "filter/metadata_index.h"
#include "hnsw/hnsw_index.h"
#include "json/json.h"
#include "support/graph_check.h"
#include "support/json_text.h"

namespace dralm {
namespace {

using testing::json;

// 10,100 vectors of 1,000 floats, 40 of them deleted: more than ten million live floats,
// so the index walks its graph.
// Metadata: g = i % 200 (0.5 % per value), p uniform in [0, 1), c = "b" on every 100th
// slot and "a" elsewhere, and n = {"g": g} nested. Slots 0 .. 199 (step 5) are deleted.
class PlannerTest : public ::testing::Test {
 protected:
  static constexpr size_t kDim = 1000, kCount = 10100;

  static void SetUpTestSuite() {
    init_distance_kernels();
    index_ = new HnswIndex({kDim, Metric::Euclidean, 8, 40});
    index_->insert_batch(testing::clustered_data(kCount, kDim, 20, 91));
    metadata_ = new MetadataSlots(kCount);
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> uniform(0, 1);
    for (size_t i = 0; i < kCount; ++i) {
      metadata_->set(
          i, json("{\"g\":" + std::to_string(i % 200) + ",\"p\":" + std::to_string(uniform(rng)) +
                  ",\"c\":\"" + (i % 100 == 0 ? "b" : "a") +
                  "\",\"n\":{\"g\":" + std::to_string(i % 200) + "}}"));
    }
    std::unordered_set<uint32_t> deleted;
    for (Slot s = 0; s < 200; s += 5) {
      index_->mark_deleted(s);
      metadata_->reset(s);
      deleted.insert(s);
    }
    metadata_index_ = new MetadataIndex();
    metadata_index_->rebuild_index(*metadata_, deleted);
  }
  static void TearDownTestSuite() {
    delete index_;
    delete metadata_;
    delete metadata_index_;
  }

  static FilteredSearch plan(const FilterExpr& filter, uint64_t ef, size_t queries = 1) {
    return FilteredSearch(*index_, filter, metadata_index_->candidates(filter), *metadata_, 10, ef,
                          queries);
  }

  // The k nearest live matching slots by brute force.
  static std::vector<Hit> brute_force(const FilterExpr& filter, std::span<const float> query,
                                      size_t k) {
    std::vector<Hit> all;
    for (Slot s = 0; s < kCount; ++s) {
      if (index_->is_deleted(s) || !matches(filter, (*metadata_)[s])) continue;
      all.push_back({s, distance(query, index_->vector(s), Metric::Euclidean)});
    }
    std::sort(all.begin(), all.end(),
              [](const Hit& a, const Hit& b) { return a.distance < b.distance; });
    if (all.size() > k) all.resize(k);
    return all;
  }

  static inline HnswIndex* index_ = nullptr;
  static inline MetadataSlots* metadata_ = nullptr;
  static inline MetadataIndex* metadata_index_ = nullptr;
};

struct PlanCase {
  const char* name;
  FilterExpr filter;
  uint64_t ef;
  FilterPath path;
};

std::vector<PlanCase> plan_cases() {
  using K = FilterExpr::Kind;
  std::vector<JsonValue> half, fifteen_percent, two;
  for (uint64_t v = 0; v < 100; ++v) half.push_back(JsonValue::unsigned_int(v));
  for (uint64_t v = 0; v < 30; ++v) fifteen_percent.push_back(JsonValue::unsigned_int(v));
  two = {JsonValue::unsigned_int(3), JsonValue::unsigned_int(150)};
  return {
      // Candidate sets from the index: 50 and 100 slots are scanned, half of all walked.
      {"Eq", FilterExpr::eq("g", JsonValue::unsigned_int(7)), 1, FilterPath::kExact},
      {"InTwoValues", FilterExpr::in("g", two), 1, FilterPath::kExact},
      {"InHalf", FilterExpr::in("g", half), 10, FilterPath::kGraph},
      // A minority of matches: the walk over matching slots only.
      {"InFifteenPercent", FilterExpr::in("g", fifteen_percent), 10, FilterPath::kGraph},
      // No answer from the index: the sample decides. Evaluating the filter on every slot
      // costs more than one walk of beam 1, so the selective ones use the default beam.
      {"RangeOnePercent", FilterExpr::range(K::Lt, "p", 0.01), 200, FilterPath::kExact},
      {"RangeHalf", FilterExpr::range(K::Gte, "p", 0.5), 10, FilterPath::kGraph},
      {"NeRare", FilterExpr::ne("c", JsonValue::string("a")), 200, FilterPath::kExact},
      {"NeCommon", FilterExpr::ne("c", JsonValue::string("b")), 10, FilterPath::kGraph},
      // An all-of with an answered member narrows to that member's set first.
      {"AllOfEqAndRange",
       FilterExpr::all_of(
           {FilterExpr::eq("g", JsonValue::unsigned_int(9)), FilterExpr::range(K::Lt, "p", 0.7)}),
       1, FilterPath::kExact},
      {"AllOfTwoRanges",
       FilterExpr::all_of(
           {FilterExpr::range(K::Gte, "p", 0.2), FilterExpr::range(K::Lt, "p", 0.9)}),
       10, FilterPath::kGraph},
      // An any-of of equalities is the union of their sets: as selective as its terms.
      {"AnyOfTwoEq",
       FilterExpr::any_of({FilterExpr::eq("g", JsonValue::unsigned_int(7)),
                           FilterExpr::eq("c", JsonValue::string("b"))}),
       1, FilterPath::kExact},
      {"AnyOfEqAndIn",
       FilterExpr::any_of({FilterExpr::eq("g", JsonValue::unsigned_int(7)),
                           FilterExpr::in("g", two),
                           FilterExpr::eq("n.g", JsonValue::unsigned_int(9))}),
       1, FilterPath::kExact},
      {"AnyOfHalf",
       FilterExpr::any_of({FilterExpr::in("g", half), FilterExpr::eq("c", JsonValue::string("b"))}),
       10, FilterPath::kGraph},
      // One term the index cannot narrow: the sample decides, as for a range alone.
      {"AnyOfEqOrRareRange",
       FilterExpr::any_of(
           {FilterExpr::eq("g", JsonValue::unsigned_int(7)), FilterExpr::range(K::Lt, "p", 0.005)}),
       200, FilterPath::kExact},
      {"AnyOfEqOrBroadRange",
       FilterExpr::any_of(
           {FilterExpr::eq("g", JsonValue::unsigned_int(7)), FilterExpr::range(K::Lt, "p", 0.5)}),
       10, FilterPath::kGraph},
      // A dotted path into nested metadata is narrowed like a top-level field.
      {"NestedEq", FilterExpr::eq("n.g", JsonValue::unsigned_int(11)), 1, FilterPath::kExact},
      {"NinRare", FilterExpr::nin("c", {JsonValue::string("a")}), 200, FilterPath::kExact},
      {"NinCommon", FilterExpr::nin("g", two), 10, FilterPath::kGraph},
  };
}

class PlanChoiceTest : public PlannerTest, public ::testing::WithParamInterface<PlanCase> {};

TEST_P(PlanChoiceTest, TakesThePathItsShareCallsForAndFindsTheMatches) {
  const PlanCase& c = GetParam();
  const FilteredSearch planned = plan(c.filter, c.ef);
  EXPECT_EQ(planned.path(), c.path) << "estimated share " << planned.estimated_share();
  const std::vector<float> queries = testing::clustered_data(20, kDim, 20, 92);
  double found = 0, wanted = 0;
  for (size_t q = 0; q < 20; ++q) {
    const std::span<const float> query(queries.data() + q * kDim, kDim);
    const std::vector<Hit> hits = planned.search(query);
    const std::vector<Hit> truth = brute_force(c.filter, query, 10);
    for (const Hit& hit : hits) {
      EXPECT_FALSE(index_->is_deleted(hit.slot));
      EXPECT_TRUE(matches(c.filter, (*metadata_)[hit.slot]));
    }
    // Every path returns k hits when k matches exist.
    ASSERT_EQ(hits.size(), truth.size());
    if (c.path == FilterPath::kExact) {
      // The exact path is the brute-force answer, distances included.
      for (size_t i = 0; i < hits.size(); ++i) {
        EXPECT_EQ(hits[i].slot, truth[i].slot) << "query " << q << " position " << i;
        EXPECT_EQ(hits[i].distance, truth[i].distance);
      }
    }
    found += testing::recall(hits, truth) * double(truth.size());
    wanted += double(truth.size());
  }
  // A beam of 10 on i.i.d. 1000-d noise is a rough walk; it still finds matches near
  // the query.
  EXPECT_GE(found / wanted, c.path == FilterPath::kExact ? 1.0 : 0.4);
}

INSTANTIATE_TEST_SUITE_P(Filters, PlanChoiceTest, ::testing::ValuesIn(plan_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PlannerTest, SampledShareIsCloseToTheTrueShare) {
  using K = FilterExpr::Kind;
  for (const double bound : {0.02, 0.1, 0.5, 0.9}) {
    const FilteredSearch planned = plan(FilterExpr::range(K::Lt, "p", bound), 200);
    EXPECT_NEAR(planned.estimated_share(), bound, 0.06) << "bound " << bound;
  }
  // Nothing in the sample matches: a small positive share, and an exact scan that finds
  // the few matches outside the sample.
  const FilterExpr none = FilterExpr::range(K::Gt, "p", 2.0);
  const FilteredSearch planned = plan(none, 200);
  EXPECT_GT(planned.estimated_share(), 0.0);
  EXPECT_LT(planned.estimated_share(), 0.01);
  EXPECT_EQ(planned.path(), FilterPath::kExact);
  EXPECT_TRUE(planned.search(index_->vector(300)).empty());
}

TEST_F(PlannerTest, WiderBeamsAndBiggerBatchesShiftTheChoiceAsTheCostsSay) {
  // Half of all slots: a narrow beam walks; a beam as wide as the collection costs more
  // than scanning the 5,000 matches.
  using K = FilterExpr::Kind;
  const FilterExpr half = FilterExpr::range(K::Lt, "p", 0.5);
  EXPECT_EQ(plan(half, 10).path(), FilterPath::kGraph);
  EXPECT_EQ(plan(half, 5000).path(), FilterPath::kExact);
  // A twentieth of all slots with a range filter, beam 10: for one query the evaluation
  // of the filter on every slot costs more than one walk; a batch of queries shares it.
  const FilterExpr twentieth = FilterExpr::range(K::Lt, "p", 0.05);
  EXPECT_EQ(plan(twentieth, 10, 1).path(), FilterPath::kGraph);
  EXPECT_EQ(plan(twentieth, 10, 10000).path(), FilterPath::kExact);
}

TEST_F(PlannerTest, EmptyCandidateSetsFindNothing) {
  const std::vector<JsonValue> none;
  for (const FilterExpr& filter :
       {FilterExpr::all_of({}), FilterExpr::eq("g", JsonValue::string("no such value")),
        FilterExpr::in("g", none)}) {
    const FilteredSearch planned = plan(filter, 200);
    EXPECT_EQ(planned.path(), FilterPath::kExact);
    EXPECT_TRUE(planned.search(index_->vector(300)).empty());
  }
}

TEST(PlannerSmallIndexTest, BelowTheThresholdEveryPathIsTheExactScan) {
  const size_t dim = 8, n = 3000;
  HnswIndex index({dim, Metric::Cosine, 8, 40});
  index.insert_batch(testing::clustered_data(n, dim, 5, 93));
  ASSERT_TRUE(index.uses_brute_force());
  MetadataSlots metadata(n);
  for (size_t i = 0; i < n; ++i) {
    metadata.set(i, json("{\"g\":" + std::to_string(i % 2) + ",\"x\":" + std::to_string(i) + "}"));
  }
  for (Slot s = 0; s < 100; ++s) {
    index.mark_deleted(s);
    metadata.reset(s);
  }
  MetadataIndex metadata_index;
  metadata_index.rebuild_index(metadata, index.deleted());
  const std::vector<float> query = testing::clustered_data(1, dim, 5, 94);
  for (const FilterExpr& filter : {FilterExpr::eq("g", JsonValue::unsigned_int(1)),
                                   FilterExpr::range(FilterExpr::Kind::Gte, "x", 1500.0)}) {
    const std::optional<SlotSet> candidates = metadata_index.candidates(filter);
    const FilteredSearch planned(index, filter, candidates, metadata, 50, 1, 1);
    EXPECT_EQ(planned.path(), candidates ? FilterPath::kExact : FilterPath::kScan);
    const AcceptFn accept = [&](Slot s) { return matches(filter, metadata[s]); };
    const std::vector<Hit> scanned = index.search_filtered(query, 50, 1, accept);
    const std::vector<Hit> hits = planned.search(query);
    ASSERT_EQ(hits.size(), 50u);
    for (size_t i = 0; i < hits.size(); ++i) {
      EXPECT_EQ(hits[i].slot, scanned[i].slot);
      EXPECT_EQ(hits[i].distance, scanned[i].distance);
    }
  }
}

}  // namespace
}  // namespace dralm
