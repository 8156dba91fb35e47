#include "support/graph_check.h"

#include <algorithm>
#include <cmath>
#include <random>
#include <set>
#include <sstream>

#include "distance/distance.h"
#include "hnsw/index_internals.h"
#include "util/worker_pool.h"

namespace dralm::testing {

std::vector<float> stored_vectors(const HnswIndex& index) {
  std::vector<float> out;
  out.reserve(index.node_count() * index.dim());
  for (Slot s = 0; s < index.node_count(); ++s) {
    out.insert(out.end(), index.vector(s).begin(), index.vector(s).end());
  }
  return out;
}

std::string check_graph(const HnswIndex& index, const GraphCheckOptions& options) {
  std::ostringstream out;
  const size_t n = index.node_count();
  if (index.live_count() != n - index.deleted().size()) return "live_count != nodes - deleted";
  for (const Slot s : index.deleted()) {
    if (s >= n) return "deleted slot beyond node count";
    if (!index.is_deleted(s)) return "deleted set and is_deleted disagree";
  }
  if (const std::optional<QuantizedState> q = index.quantized(); q && q->row_count() != n) {
    return "quantized rows are not one per slot";
  }
  if (n == 0) {
    if (index.entry_point() != kNoEntry || index.max_level() != 0)
      return "empty index has an entry";
    return "";
  }
  if (index.entry_point() >= n) return "entry point missing or out of range";
  if (index.layer_count(index.entry_point()) - 1 != index.max_level()) {
    out << "entry level " << index.layer_count(index.entry_point()) - 1 << " != max_level "
        << index.max_level();
    return out.str();
  }
  for (Slot s = 0; s < n; ++s) {
    const float norm = vector_norm(index.vector(s));
    if (!(index.norm(s) == norm) && !(std::isnan(norm) && std::isnan(index.norm(s)))) {
      out << "norm of slot " << s << " is stale";
      return out.str();
    }
    const size_t layers = index.layer_count(s);
    if (layers < 1 || layers - 1 > index.max_level()) {
      out << "slot " << s << " has " << layers << " layers, max_level " << index.max_level();
      return out.str();
    }
    for (size_t layer = 0; layer < layers; ++layer) {
      const std::vector<Slot> list = index.neighbours(s, layer);
      const size_t cap = layer == 0 ? index.m_max0() : index.m();
      if (list.size() > cap || index.neighbour_count(s, layer) != list.size()) {
        out << "slot " << s << " layer " << layer << " holds " << list.size() << " > cap " << cap;
        return out.str();
      }
      std::set<Slot> seen;
      for (const Slot x : list) {
        if (x >= n) {
          out << "slot " << s << " layer " << layer << " lists " << x << " >= node count";
          return out.str();
        }
        if (!options.allow_self_links && (x == s || !seen.insert(x).second)) {
          out << "slot " << s << " layer " << layer << " lists itself or a duplicate " << x;
          return out.str();
        }
      }
    }
  }
  if (options.max_unreachable_fraction < 1.0) {
    const size_t unreachable = unreachable_count(index);
    if (static_cast<double>(unreachable) >
        options.max_unreachable_fraction * static_cast<double>(n)) {
      out << unreachable << " of " << n << " nodes unreachable on layer 0";
      return out.str();
    }
  }
  return "";
}

size_t unreachable_count(const HnswIndex& index) {
  const size_t n = index.node_count();
  if (n == 0) return 0;
  std::vector<bool> reached(n, false);
  std::vector<Slot> stack{index.entry_point()};
  reached[index.entry_point()] = true;
  size_t count = 1;
  while (!stack.empty()) {
    const Slot s = stack.back();
    stack.pop_back();
    for (const Slot x : index.neighbours(s, 0)) {
      if (!reached[x]) {
        reached[x] = true;
        ++count;
        stack.push_back(x);
      }
    }
  }
  return n - count;
}

std::vector<float> clustered_data(size_t count, size_t dim, size_t clusters, uint64_t seed,
                                  float spread, uint64_t centre_seed) {
  std::mt19937_64 centre_rng(centre_seed);
  std::normal_distribution<float> unit(0.0f, 1.0f);
  std::vector<float> centres(clusters * dim);
  for (float& c : centres) c = unit(centre_rng);
  std::mt19937_64 rng(seed);
  std::normal_distribution<float> noise(0.0f, spread);
  std::uniform_int_distribution<size_t> pick(0, clusters - 1);
  std::vector<float> data(count * dim);
  for (size_t i = 0; i < count; ++i) {
    const float* centre = centres.data() + pick(rng) * dim;
    for (size_t j = 0; j < dim; ++j) data[i * dim + j] = centre[j] + noise(rng);
  }
  return data;
}

std::vector<float> far_outliers(std::span<const float> data, size_t dim, size_t count,
                                uint64_t seed) {
  const size_t n = data.size() / dim;
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> unit(0.0, 1.0);
  std::vector<float> out(count * dim);
  for (size_t j = 0; j < dim; ++j) {
    double sum = 0, squares = 0;
    for (size_t i = 0; i < n; ++i) {
      sum += data[i * dim + j];
      squares += double(data[i * dim + j]) * data[i * dim + j];
    }
    const double mean = sum / double(n);
    const double sd = std::sqrt(std::max(0.0, squares / double(n) - mean * mean));
    for (size_t i = 0; i < count; ++i) out[i * dim + j] = float(mean + 4.0 * sd * unit(rng));
  }
  return out;
}

std::vector<Slot> self_search_misses(const HnswIndex& index, uint64_t ef) {
  const size_t n = index.node_count();
  std::vector<char> missed(n, 0);
  parallel_for(n, [&](size_t i) {
    const Slot s = static_cast<Slot>(i);
    if (index.is_deleted(s)) return;
    const std::span<const float> own = index.vector(s);
    const std::vector<Hit> hits = IndexInternals::graph_search(index, own, 1, ef);
    missed[i] = hits.empty() ||
                (hits[0].slot != s && hits[0].distance > distance(own, own, index.metric()));
  });
  std::vector<Slot> out;
  for (size_t i = 0; i < n; ++i) {
    if (missed[i]) out.push_back(static_cast<Slot>(i));
  }
  return out;
}

std::vector<Hit> exact_knn(const HnswIndex& index, std::span<const float> query, size_t k) {
  std::vector<Hit> all;
  for (Slot s = 0; s < index.node_count(); ++s) {
    if (index.is_deleted(s)) continue;
    all.push_back({s, distance(query, index.vector(s), index.metric())});
  }
  const size_t keep = std::min(k, all.size());
  std::partial_sort(all.begin(), all.begin() + keep, all.end(),
                    [](const Hit& a, const Hit& b) { return a.distance < b.distance; });
  all.resize(keep);
  return all;
}

double recall(const std::vector<Hit>& found, const std::vector<Hit>& truth) {
  if (truth.empty()) return 1.0;
  std::set<Slot> want;
  for (const Hit& h : truth) want.insert(h.slot);
  size_t hit = 0;
  for (const Hit& h : found) hit += want.count(h.slot);
  return static_cast<double>(hit) / static_cast<double>(truth.size());
}

}  // namespace dralm::testing
