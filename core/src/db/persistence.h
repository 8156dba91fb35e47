// The saved files of a database directory: graph.dralm (graph section + metadata
// section), vectors.bin (vectors then norms, mapped at load) and vectors.sq8.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "db/json.h"
#include "hnsw/hnsw_index.h"
#include "util/error.h"

namespace dralm {

// One id of the metadata section.
struct MetadataEntry {
  Slot slot;
  std::string id;
  std::optional<JsonValue> metadata;
};

struct LoadedIndex {
  std::unique_ptr<HnswIndex> index;
  std::vector<MetadataEntry> entries;  // file order; every slot < index->node_count()
};

// Reads graph.dralm whole, maps vectors.bin, installs vectors.sq8 when it exists.
// Every count, length and slot is checked against what the files can hold; a damaged
// file is an Io error ("bad graph magic", "failed to fill whole buffer", ...), never a
// crash or an oversized allocation.
Result<LoadedIndex> load_index(const std::string& graph_path, const std::string& vectors_path,
                               const std::string& sq8_path);

}  // namespace dralm
