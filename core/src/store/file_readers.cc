// load_index: parses graph.dralm straight from a read-only mapping, maps vectors.bin
// and installs vectors.sq8. Nothing read from a file is trusted: every count is
// compared with the bytes left before anything is reserved, and every slot with the
// node count before the index sees it, so a damaged file is an Io error, never a crash.
#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <optional>
#include <unordered_set>
#include <utility>

#include "store/file_names.h"
#include "store/persistence.h"
#include "util/file_io.h"
#include "util/little_endian.h"
#include "util/utf8.h"

namespace dralm {
namespace {

static_assert(std::endian::native == std::endian::little,
              "the file formats are little-endian and read by plain copies");

DbError truncated() { return DbError::io("failed to fill whole buffer"); }

struct GraphHeader {
  uint32_t dim = 0;
  Metric metric = Metric::Cosine;
  uint32_t m = 0;
  uint32_t ef_construction = 0;
  uint32_t entry_point = 0;
  uint32_t max_level = 0;
  uint32_t node_count = 0;
  uint32_t deleted_count = 0;
};

// Magic, then version, then metric: each is judged as soon as it is read, so a file
// that is not a graph file is named as such before anything else is looked at.
Result<GraphHeader> parse_header(ByteReader& reader) {
  GraphHeader header;
  uint32_t magic = 0;
  if (!reader.read_u32(magic)) return truncated();
  if (magic != kGraphMagic) return DbError::io("bad graph magic");
  uint32_t version = 0;
  if (!reader.read_u32(version)) return truncated();
  if (version != kGraphVersion) {
    return DbError::io("unsupported graph version: " + std::to_string(version));
  }
  if (!reader.read_u32(header.dim)) return truncated();
  uint8_t metric_code = 0;
  if (!reader.read_u8(metric_code)) return truncated();
  Result<Metric> metric = metric_from_code(metric_code);
  if (!metric.ok()) return metric.error();
  header.metric = metric.value();
  if (!reader.read_u32(header.m) || !reader.read_u32(header.ef_construction) ||
      !reader.read_u32(header.entry_point) || !reader.read_u32(header.max_level) ||
      !reader.read_u32(header.node_count) || !reader.read_u32(header.deleted_count)) {
    return truncated();
  }
  if (header.dim == 0) return DbError::io("graph file has dimension 0");
  // No database is created with a beam of width 0, and the linking assumes at least 1.
  if (header.ef_construction == 0) return DbError::io("graph file has ef_construction 0");
  if (header.m < 2) {
    return DbError::io("graph file has m = " + std::to_string(header.m) + ", below 2");
  }
  // Each node gets a fixed block of 2m + 1 layer-0 slots, so a damaged m could ask for
  // far more memory than the file describes; no database is created with more.
  if (header.m > kMaxM) {
    return DbError::io("graph file has m = " + std::to_string(header.m) + ", above " +
                       std::to_string(kMaxM));
  }
  return header;
}

// First pass: checks every layer count, list length and neighbour slot, and records
// the layer counts restore() needs; the lists themselves are copied in the second pass.
// Requires: the bytes left hold at least 8 per node (so layer_counts is bounded).
Result<std::vector<uint32_t>> scan_nodes(ByteReader& reader, const GraphHeader& header) {
  std::vector<uint32_t> layer_counts(header.node_count);
  const uint64_t cap0 = 2 * uint64_t{header.m};
  for (uint32_t slot = 0; slot < header.node_count; ++slot) {
    uint32_t layers = 0;
    if (!reader.read_u32(layers)) return truncated();
    if (layers == 0 || layers > kMaxLayerCount) {
      return DbError::io("node " + std::to_string(slot) + " has " + std::to_string(layers) +
                         " layers (1 to " + std::to_string(kMaxLayerCount) + " allowed)");
    }
    layer_counts[slot] = layers;
    for (uint32_t layer = 0; layer < layers; ++layer) {
      uint32_t count = 0;
      if (!reader.read_u32(count)) return truncated();
      const uint64_t cap = layer == 0 ? cap0 : header.m;
      if (count > cap) {
        return DbError::io("node " + std::to_string(slot) + " layer " + std::to_string(layer) +
                           " has " + std::to_string(count) + " neighbours, above its cap of " +
                           std::to_string(cap));
      }
      const uint8_t* list = reader.take(size_t{count} * 4);
      if (list == nullptr) return truncated();
      for (uint32_t i = 0; i < count; ++i) {
        const uint32_t neighbour = load_u32_le(list + size_t{i} * 4);
        if (neighbour >= header.node_count) {
          return DbError::io("node " + std::to_string(slot) + " links to slot " +
                             std::to_string(neighbour) + " beyond the node count " +
                             std::to_string(header.node_count));
        }
      }
    }
  }
  return layer_counts;
}

// Second pass over records already checked by scan_nodes: copies every list into the
// index through one reused buffer (the file's slots are not 4-byte aligned).
void fill_neighbours(HnswIndex& index, const uint8_t* records,
                     std::span<const uint32_t> layer_counts) {
  std::vector<Slot> scratch;
  const uint8_t* at = records;
  for (size_t slot = 0; slot < layer_counts.size(); ++slot) {
    at += 4;  // layer count, known
    for (uint32_t layer = 0; layer < layer_counts[slot]; ++layer) {
      const uint32_t count = load_u32_le(at);
      at += 4;
      if (count == 0) continue;
      scratch.resize(count);
      std::memcpy(scratch.data(), at, size_t{count} * 4);
      at += size_t{count} * 4;
      index.set_neighbours(static_cast<Slot>(slot), layer, scratch);
    }
  }
}

// The empty graph has no entry; otherwise the entry is a node whose level is max_level
// (every descent starts there and walks max_level layers of it).
Status check_entry_point(const GraphHeader& header, std::span<const uint32_t> layer_counts) {
  if (header.node_count == 0) {
    if (header.entry_point != kNoEntry) {
      return DbError::io("graph file has an entry point but no nodes");
    }
    return Status::success();
  }
  if (header.entry_point >= header.node_count) {
    return DbError::io("entry point " + std::to_string(header.entry_point) +
                       " is beyond the node count " + std::to_string(header.node_count));
  }
  const uint64_t entry_level = layer_counts[header.entry_point] - 1;
  if (header.max_level != entry_level) {
    return DbError::io("max level " + std::to_string(header.max_level) +
                       " differs from the entry node's level " + std::to_string(entry_level));
  }
  return Status::success();
}

// vectors.bin is exactly node_count vectors followed by node_count norms.
Status check_vectors_size(const GraphHeader& header, size_t file_size) {
  const unsigned __int128 expected =
      static_cast<unsigned __int128>(header.node_count) * (uint64_t{header.dim} + 1) * 4;
  if (expected != file_size) {
    return DbError::io("vectors.bin holds " + std::to_string(file_size) + " bytes, expected " +
                       std::to_string(static_cast<uint64_t>(header.node_count)) + " x (" +
                       std::to_string(header.dim) + " + 1) floats");
  }
  return Status::success();
}

Result<std::optional<QuantizedState>> load_quantized(const std::string& sq8_path,
                                                     const GraphHeader& header) {
  if (!file_exists(sq8_path)) return std::optional<QuantizedState>();
  Result<std::vector<uint8_t>> bytes = read_whole_file(sq8_path);
  if (!bytes.ok()) return bytes.error();
  // Compare the dimension before the parameters are parsed, so a damaged dim never
  // sizes an allocation.
  const std::vector<uint8_t>& data = bytes.value();
  if (data.size() >= 4) {
    const uint32_t file_dim = load_u32_le(data.data());
    if (file_dim != header.dim) {
      return DbError::io("vectors.sq8 has dimension " + std::to_string(file_dim) +
                         ", the index has " + std::to_string(header.dim));
    }
  }
  Result<Sq8File> state = read_quantizer(data);
  if (!state.ok()) return state.error();
  const uint64_t expected = uint64_t{header.node_count} * header.dim;
  if (state.value().codes.size() != expected || state.value().quantizer.dim != header.dim ||
      state.value().quantizer.mins.size() != header.dim ||
      state.value().quantizer.scales.size() != header.dim) {
    return DbError::io("vectors.sq8 holds " + std::to_string(state.value().codes.size()) +
                       " code bytes, expected " + std::to_string(expected));
  }
  Sq8File& file = state.value();
  return std::optional<QuantizedState>(
      state_from_codes(std::move(file.quantizer), header.metric, file.codes));
}

// Slot marks for the metadata checks: each slot is named by at most one id, and
// never a deleted one.
enum : uint8_t { kFree = 0, kDeleted = 1, kNamed = 2 };

// Each entry's metadata goes straight to its slot in `metadata` (node_count long), the
// array the database keeps, so nothing per entry is moved a second time.
Result<std::vector<MetadataEntry>> parse_metadata(ByteReader& reader, const GraphHeader& header,
                                                  std::vector<uint8_t>& marks,
                                                  MetadataSlots& metadata) {
  uint32_t magic = 0;
  if (!reader.read_u32(magic)) return truncated();
  if (magic != kMetadataMagic) return DbError::io("bad metadata section magic");
  uint32_t entry_count = 0;
  if (!reader.read_u32(entry_count)) return truncated();
  std::vector<MetadataEntry> entries;
  // An entry takes at least 12 bytes: reserve no more than the file can describe.
  entries.reserve(std::min<size_t>(entry_count, reader.remaining() / 12));
  for (uint32_t i = 0; i < entry_count; ++i) {
    uint32_t slot = 0;
    if (!reader.read_u32(slot)) return truncated();
    if (slot >= header.node_count) {
      return DbError::io("metadata entry " + std::to_string(i) + " names slot " +
                         std::to_string(slot) + " beyond the node count " +
                         std::to_string(header.node_count));
    }
    if (marks[slot] == kDeleted) {
      return DbError::io("metadata entry " + std::to_string(i) + " names deleted slot " +
                         std::to_string(slot));
    }
    if (marks[slot] == kNamed) {
      return DbError::io("metadata entries name slot " + std::to_string(slot) + " twice");
    }
    marks[slot] = kNamed;
    uint32_t id_length = 0;
    if (!reader.read_u32(id_length)) return truncated();
    const uint8_t* id = reader.take(id_length);
    if (id == nullptr) return truncated();
    std::string_view id_text(reinterpret_cast<const char*>(id), id_length);
    if (std::optional<std::string> fault = utf8_error(id_text)) return DbError::io(*fault);
    uint32_t metadata_length = 0;
    if (!reader.read_u32(metadata_length)) return truncated();
    const uint8_t* text = reader.take(metadata_length);
    if (text == nullptr) return truncated();
    if (metadata_length > 0) {
      // Text that is not JSON loses its metadata but keeps its id.
      Result<JsonValue> parsed =
          parse_json(std::string_view(reinterpret_cast<const char*>(text), metadata_length));
      if (parsed.ok()) metadata.set(slot, std::move(parsed.value()));
    }
    entries.push_back(MetadataEntry{slot, id_text});
  }
  return entries;
}

// One attempt at loading a graph file with the data files. `skip_sq8` is set when the
// graph comes from an interrupted save: its vectors.sq8 may be the old save's or the new
// one, and stale codes of the right size cannot be told apart, so quantized search
// stays off (the file still sets the quantize flag, and the next save rewrites it).
Result<LoadedIndex> load_files(const std::string& graph_path, const std::string& vectors_path,
                               const std::string& sq8_path, bool skip_sq8) {
  // The graph file is read through a mapping of its own: every byte is visited once in
  // each pass and nothing from it outlives this call.
  Result<MappedFile> graph = MappedFile::map_readonly(graph_path);
  if (!graph.ok()) return graph.error();
  Result<MappedFile> vectors = MappedFile::map_readonly(vectors_path);
  if (!vectors.ok()) return vectors.error();

  ByteReader reader(graph.value().data(), graph.value().size());
  Result<GraphHeader> parsed_header = parse_header(reader);
  if (!parsed_header.ok()) return parsed_header.error();
  const GraphHeader header = parsed_header.value();

  // Nothing is sized by a count before the file is known to hold what the counts
  // promise: 4 bytes per deleted slot, at least 8 per node record, the metadata header.
  const uint64_t least_bytes =
      uint64_t{header.deleted_count} * 4 + uint64_t{header.node_count} * 8 + kMetadataHeaderSize;
  if (reader.remaining() < least_bytes) return truncated();
  std::vector<uint8_t> marks(header.node_count, kFree);
  std::unordered_set<Slot> deleted;
  deleted.reserve(std::min(header.deleted_count, header.node_count));
  for (uint32_t i = 0; i < header.deleted_count; ++i) {
    uint32_t slot = 0;
    if (!reader.read_u32(slot)) return truncated();
    if (slot >= header.node_count) {
      return DbError::io("deleted slot " + std::to_string(slot) + " is beyond the node count " +
                         std::to_string(header.node_count));
    }
    marks[slot] = kDeleted;
    deleted.insert(slot);
  }

  const size_t records_begin = graph.value().size() - reader.remaining();
  Result<std::vector<uint32_t>> layer_counts = scan_nodes(reader, header);
  if (!layer_counts.ok()) return layer_counts.error();
  Status entry_ok = check_entry_point(header, layer_counts.value());
  if (!entry_ok.ok()) return entry_ok.error();
  Status size_ok = check_vectors_size(header, vectors.value().size());
  if (!size_ok.ok()) return size_ok.error();
  Result<std::optional<QuantizedState>> quantized =
      skip_sq8 ? std::optional<QuantizedState>() : load_quantized(sq8_path, header);
  if (!quantized.ok()) return quantized.error();

  MetadataSlots metadata(header.node_count);
  Result<std::vector<MetadataEntry>> entries = parse_metadata(reader, header, marks, metadata);
  if (!entries.ok()) return entries.error();
  // A live slot that no entry names lost its id to damage: a smaller entry count drops
  // the last entries and leaves no other trace. Left live, searches would return it
  // under the empty id, which is a real id of its own; as a tombstone the graph still
  // walks through it and it is never reported.
  for (Slot slot = 0; slot < header.node_count; ++slot) {
    if (marks[slot] == kFree) deleted.insert(slot);
  }

  // Everything is checked: build the index. Norms are copied (they are written in
  // place later); the vector floats stay in the mapping until the first vector write.
  const size_t vector_floats = size_t{header.node_count} * header.dim;
  std::vector<float> norms(header.node_count);
  load_f32s_le(vectors.value().data() + vector_floats * 4, header.node_count, norms.data());
  IndexParams params;
  params.dim = header.dim;
  params.metric = header.metric;
  params.m = header.m;
  params.ef_construction = header.ef_construction;
  std::unique_ptr<HnswIndex> index = HnswIndex::restore(
      params, VectorStore(std::move(vectors).value(), vector_floats), std::move(norms),
      layer_counts.value(), header.entry_point, header.max_level, std::move(deleted));
  fill_neighbours(*index, graph.value().data() + records_begin, layer_counts.value());
  if (quantized.value().has_value()) index->set_quantized(std::move(quantized).value());

  LoadedIndex loaded;
  loaded.index = std::move(index);
  loaded.entries = std::move(entries).value();
  loaded.metadata = std::move(metadata);
  loaded.graph_file = std::move(graph).value();
  return loaded;
}

}  // namespace

namespace {

// The size vectors.bin must have for the graph file's header, if the header is readable.
std::optional<uint64_t> expected_vectors_size(const std::string& graph_path) {
  Result<MappedFile> graph = MappedFile::map_readonly(graph_path);
  if (!graph.ok()) return std::nullopt;
  ByteReader reader(graph.value().data(), graph.value().size());
  Result<GraphHeader> header = parse_header(reader);
  if (!header.ok()) return std::nullopt;
  return uint64_t{header.value().node_count} * (uint64_t{header.value().dim} + 1) * 4;
}

}  // namespace

bool graph_is_pending(const std::string& graph_path, const std::string& vectors_path) {
  const std::string pending = temporary_path(graph_path);
  if (!file_exists(pending)) return false;
  const std::optional<uint64_t> expected = expected_vectors_size(pending);
  if (!expected.has_value()) return false;
  Result<uint64_t> vectors = file_size(vectors_path);
  if (!vectors.ok() || vectors.value() != *expected) return false;
  // vectors.tmp of exactly that size: the rename of vectors.bin has not happened yet.
  Result<uint64_t> unrenamed = file_size(temporary_path(vectors_path));
  return !(unrenamed.ok() && unrenamed.value() == *expected);
}

Result<LoadedIndex> load_index(const std::string& graph_path, const std::string& vectors_path,
                               const std::string& sq8_path) {
  const std::string pending = temporary_path(graph_path);
  const bool prefer_pending = graph_is_pending(graph_path, vectors_path);
  if (prefer_pending) {
    Result<LoadedIndex> rolled_forward = load_files(pending, vectors_path, sq8_path, true);
    if (rolled_forward.ok()) return rolled_forward;
  }
  Result<LoadedIndex> loaded = load_files(graph_path, vectors_path, sq8_path, false);
  if (loaded.ok() || prefer_pending || !file_exists(pending)) return loaded;
  // Where the sizes cannot tell (a tiny vectors.tmp that is being reused for
  // vectors.sq8), a graph.tmp that fits when graph.dralm does not is the better guess.
  Result<LoadedIndex> rolled_forward = load_files(pending, vectors_path, sq8_path, true);
  return rolled_forward.ok() ? std::move(rolled_forward) : std::move(loaded);
}

}  // namespace dralm
