// The saved files of a database directory: graph.dralm (graph section + metadata
// section), vectors.bin (vectors then norms, mapped at load) and vectors.sq8.
//
// graph.dralm, little-endian throughout:
//   header (37 bytes, unpadded): magic u32 "GWSH", version u32 = 2, dim u32, metric u8,
//     m u32, ef_construction u32, entry_point u32, max_level u32, node_count u32,
//     deleted_count u32
//   deleted slots: deleted_count x u32
//   node records, slot 0 first: layer_count u32, then per layer: count u32, count x u32
//   metadata section: magic u32 "ATEM", entry_count u32, then per entry:
//     slot u32, id_length u32, id bytes (UTF-8), metadata_length u32, compact JSON text
// vectors.bin: node_count x dim floats, then node_count norms; no header.
// vectors.sq8: u32 dim, dim float mins, dim float scales, then dim code bytes per slot.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "hnsw/hnsw_index.h"
#include "json/json.h"
#include "json/metadata_slots.h"
#include "store/file_names.h"
#include "util/error.h"

namespace dralm {

inline constexpr uint32_t kGraphMagic = 0x48535747u;  // bytes "GWSH"
inline constexpr uint32_t kGraphVersion = 2;
inline constexpr uint32_t kMetadataMagic = 0x4D455441u;  // bytes "ATEM"
inline constexpr size_t kGraphHeaderSize = 37;
inline constexpr size_t kMetadataHeaderSize = 8;
// Far above any level a node can draw (m >= 2 gives levels below 54); a larger
// layer count in a file is damage, not a tall graph.
inline constexpr uint32_t kMaxLayerCount = 64;

// One id of the metadata section. The id points into LoadedIndex::graph_file, so an
// open copies each id once, straight into the database's id arena; its metadata is in
// LoadedIndex::metadata at `slot`.
struct MetadataEntry {
  Slot slot;
  std::string_view id;
};

// Live slots that no metadata entry names (the entries were lost to damage) come back
// deleted, so every live slot of the index has exactly one entry.
struct LoadedIndex {
  std::unique_ptr<HnswIndex> index;
  std::vector<MetadataEntry> entries;  // file order; every slot < index->node_count()
  // By slot, node_count long: the metadata of each named slot (none if its entry had no
  // metadata or text that is not JSON), none for every other slot.
  MetadataSlots metadata;
  MappedFile graph_file;  // the bytes the entries' ids point into
};

// Parses graph.dralm (through a read-only mapping), maps vectors.bin, installs
// vectors.sq8 when it exists.
// Every count, length and slot is checked against what the files can hold; a damaged
// file is an Io error ("bad graph magic", "failed to fill whole buffer", ...), never a
// crash or an oversized allocation. Besides the checks the format implies, the loader
// rejects: an entry point that is not a node (or is set in an empty graph), a
// max_level other than the entry node's level, deleted, neighbour or entry slots at
// or above node_count, a list longer than its layer's cap, a layer count of 0 or above
// kMaxLayerCount, m < 2 or above kMaxM, dim 0, ef_construction 0, two entries naming
// one slot or an entry on a deleted slot, a vectors.bin that is not exactly node_count x
// (dim + 1) floats, and a vectors.sq8 whose dim differs from the index's or whose codes
// are not exactly node_count x dim bytes.
//
// A save cut short (a failure or a power cut) after it replaced vectors.bin but before
// it renamed graph.tmp over graph.dralm leaves the complete new graph in graph.tmp; the
// load then takes graph.tmp, without vectors.sq8 (it may be either save's), see
// graph_is_pending.
Result<LoadedIndex> load_index(const std::string& graph_path, const std::string& vectors_path,
                               const std::string& sq8_path);

// Whether graph.tmp is the graph of a save that replaced vectors.bin but not yet
// graph.dralm. save writes vectors.tmp completely, then graph.tmp, and only then renames
// vectors.tmp over vectors.bin; so graph.tmp is pending when it is readable, fits
// vectors.bin, and vectors.tmp does not still hold the vectors it was written with.
bool graph_is_pending(const std::string& graph_path, const std::string& vectors_path);

// ---- Writing the files (save). Each writes `path`'s temporary sibling (the extension
// replaced by "tmp") through the buffered writer and syncs it; commit_file renames it
// over `path`. The order of the steps is Database::save's.
// Requires: the index held shared (nothing mutates it while these run).

// One id of the metadata section, borrowed from the database's fields for the write.
struct MetadataEntryView {
  Slot slot;
  std::string_view id;
  const JsonValue* metadata;  // null for none
};

Status write_vectors_file(const HnswIndex& index, const std::string& path);
Status write_graph_file(const HnswIndex& index, std::span<const MetadataEntryView> entries,
                        const std::string& path);
// Trains a fresh quantizer over the live vectors (all of them when none is live),
// writes it with the codes of all slots, deleted ones included, and commits the file; the index's
// own quantizer is not used.
Status write_sq8_file(const HnswIndex& index, const std::string& path);
// Renames the temporary sibling over `path`.
Status commit_file(const std::string& path);
// Before a save reuses graph.tmp: commits it when it is pending (the last save was cut
// short after replacing vectors.bin), otherwise removes it, and syncs the directory, so
// no graph.tmp of an older save can later be taken for this save's.
Status settle_pending_graph(const std::string& graph_path, const std::string& vectors_path);

}  // namespace dralm
