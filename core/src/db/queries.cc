// Nearest-neighbour queries at the database level and the quantized-search switches.
//
// Both query forms hold index and metadata shared (in that order) for the whole search
// and mapping, so every hit's id and metadata belong to the state the index was
// searched in: slots are published together with their ids and metadata, and a writer
// staging new slots holds index shared too, so searches run beside it. The planner
// (filter_planner.h) picks the exact scan of the matching slots or the filter-aware
// graph walk.
#include <algorithm>
#include <cassert>
#include <cmath>
#include <limits>
#include <mutex>
#include <string>
#include <utility>

#include "db/database.h"
#include "db/filter_planner.h"
#include "db/finite_check.h"
#include "util/worker_pool.h"

namespace dralm {

uint64_t Database::default_ef(uint64_t k) {
  const double extra = std::floor(10.0 * std::sqrt(static_cast<double>(k)));
  // extra < 2^33 for every 64-bit k, so the conversion is exact enough and safe.
  const uint64_t widen = static_cast<uint64_t>(extra);
  if (k > std::numeric_limits<uint64_t>::max() - widen) return std::numeric_limits<uint64_t>::max();
  return std::max<uint64_t>(200, k + widen);
}

std::vector<QueryHit> Database::to_query_hits(const std::vector<Hit>& hits,
                                              std::optional<float> max_distance) const {
  std::vector<QueryHit> out;
  out.reserve(hits.size());
  for (const Hit& hit : hits) {
    // Written as "not <=" so that a NaN distance or a NaN bound drops the hit.
    if (max_distance && !(hit.distance <= *max_distance)) continue;
    assert(hit.slot < slot_ids().slot_count() && hit.slot < metadata_.size());
    const JsonValue* metadata = metadata_[hit.slot];
    out.push_back(QueryHit{std::string(slot_ids().id_of(hit.slot)),
                           metadata ? std::optional(metadata->serialise()) : std::nullopt,
                           hit.distance});
  }
  return out;
}

Result<std::vector<QueryHit>> Database::search(std::span<const float> query,
                                               const SearchOptions& options) const {
  if (query.size() != dim_) return DbError::dimension_mismatch(dim_, query.size());
  if (Status finite = check_finite(query); !finite.ok()) return finite.error();
  SharedGuard index_guard(index_lock_);
  SharedGuard metadata_guard(metadata_lock_);
  const uint64_t ef = options.ef_search.value_or(default_ef(options.k));
  if (options.filter == nullptr) {
    return to_query_hits(index_->search(query, options.k, ef), options.max_distance);
  }
  std::optional<SlotSet> candidates = metadata_index_.candidates(*options.filter);
  const FilteredSearch planned(*index_, *options.filter, std::move(candidates), metadata_,
                               options.k, ef, 1);
  return to_query_hits(planned.search(query), options.max_distance);
}

Result<std::vector<std::vector<QueryHit>>> Database::search_many(
    const VectorBatch& queries, const SearchOptions& options) const {
  // Every query is checked before anything is searched.
  for (size_t i = 0; i < queries.size(); ++i) {
    if (queries.row(i).size() != dim_) {
      return DbError::dimension_mismatch(dim_, queries.row(i).size());
    }
  }
  if (Status finite = check_finite(queries); !finite.ok()) return finite.error();
  std::vector<std::vector<QueryHit>> results(queries.size());
  if (queries.empty()) return results;
  SharedGuard index_guard(index_lock_);
  SharedGuard metadata_guard(metadata_lock_);
  const uint64_t ef = options.ef_search.value_or(default_ef(options.k));

  if (options.filter == nullptr) {
    // All rows have dim floats, so the batch's storage is one query after another.
    const std::span<const float> flat(queries.data.data() + queries.offsets[0],
                                      queries.size() * dim_);
    std::vector<std::vector<Hit>> lists = index_->search_batch(flat, options.k, ef);
    assert(lists.size() == queries.size());
    for (size_t i = 0; i < lists.size(); ++i) {
      results[i] = to_query_hits(lists[i], options.max_distance);
    }
    return results;
  }

  std::optional<SlotSet> candidates = metadata_index_.candidates(*options.filter);
  // One plan for the whole batch: the matches or the acceptance bitmap are made once.
  const FilteredSearch planned(*index_, *options.filter, std::move(candidates), metadata_,
                               options.k, ef, queries.size());
  // The workers read the index, the maps and the plan under the locks this thread
  // holds; each writes only its own result position.
  parallel_for(queries.size(), [&](size_t i) REQUIRES_SHARED(index_lock_, metadata_lock_) {
    results[i] = to_query_hits(planned.search(queries.row(i)), options.max_distance);
  });
  return results;
}

// The switches are writes: they hold the write lock, so compaction (which decides from
// the quantized state whether to retrain) never has the state switched under it, and
// the codes are trained beside the searches, with only their installation exclusive.
Status Database::enable_quantized_search(int bits) {
  if (bits != 8 && bits != 4) {
    return DbError::invalid_argument("bits must be 8 or 4, got " + std::to_string(bits));
  }
  MutexGuard write(write_lock_);
  QuantizedRows rows;
  {
    SharedGuard index_guard(index_lock_);
    if (index_->node_count() == 0) return Status::success();
    rows = index_->train_quantized(bits);
  }
  ExclusiveGuard index_guard(index_lock_);
  index_->install_quantized(std::move(rows));
  return Status::success();
}

void Database::disable_quantized_search() {
  MutexGuard write(write_lock_);
  ExclusiveGuard index_guard(index_lock_);
  index_->disable_quantization();
}

bool Database::quantized_search() const {
  SharedGuard index_guard(index_lock_);
  return index_->is_quantized();
}

int Database::quantized_search_bits() const {
  SharedGuard index_guard(index_lock_);
  return index_->quantized_bits();
}

}  // namespace dralm
