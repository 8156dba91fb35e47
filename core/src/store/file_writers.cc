// Writers of the three data files. Each file is written to its temporary sibling
// through the 8 KiB buffered writer and synced before it is renamed over its target, so
// the target is always either the old complete file or the new complete one, also
// after a power cut.
#include <cassert>
#include <limits>
#include <string>

#include "quantize/sq8.h"
#include "store/file_names.h"
#include "store/persistence.h"
#include "util/file_io.h"
#include "util/little_endian.h"

namespace dralm {
namespace {

// The formats store 64-bit in-memory values (dim, m, ef_construction, max_level) as
// their low 32 bits.
uint32_t low32(uint64_t value) { return static_cast<uint32_t>(value); }

Status write_u32(BufferedFileWriter& writer, uint32_t value) {
  char bytes[4];
  store_u32_le(bytes, value);
  return writer.write(bytes, 4);
}

// Runs `fill` on a fresh temporary sibling of `path`, then syncs and closes it.
template <typename Fill>
Status write_temporary(const std::string& path, Fill&& fill) {
  const std::string temporary = temporary_path(path);
  Result<BufferedFileWriter> opened =
      BufferedFileWriter::open(temporary, BufferedFileWriter::Mode::Truncate);
  if (!opened.ok()) return opened.error();
  BufferedFileWriter& writer = opened.value();
  if (Status filled = fill(writer); !filled.ok()) return filled;
  if (Status synced = writer.sync(); !synced.ok()) return synced;
  if (Status closed = writer.close(); !closed.ok()) return closed;
  return Status::success();
}

}  // namespace

Status write_vectors_file(const HnswIndex& index, const std::string& path) {
  return write_temporary(path, [&](BufferedFileWriter& writer) -> Status {
    // Only whole slots, run by run (rows are contiguous within a chunk): every vector,
    // then every norm.
    Status status = Status::success();
    const size_t dim = index.dim();
    index.for_each_run([&](size_t, size_t rows, const float* vectors, const float*) {
      if (status.ok()) status = writer.write(vectors, rows * dim * sizeof(float));
    });
    if (!status.ok()) return status;
    index.for_each_run([&](size_t, size_t rows, const float*, const float* norms) {
      if (status.ok()) status = writer.write(norms, rows * sizeof(float));
    });
    return status;
  });
}

Status write_sq8_file(const HnswIndex& index, const std::string& path) {
  const uint64_t dim = index.dim();
  const size_t count = index.node_count();
  auto row = [&index](size_t slot) { return index.vector(static_cast<Slot>(slot)).data(); };
  // Trained on the live vectors, as enable_quantization is; deleted slots are coded.
  Sq8Quantizer quantizer = train_rows(count, dim, row, [&index](size_t slot) {
    return !index.is_deleted(static_cast<Slot>(slot));
  });
  if (count == 0) {
    // No vectors to learn from: parameters that decode every code to a finite value,
    // whatever train() makes of an empty input.
    quantizer.mins.assign(dim, 0.0f);
    quantizer.scales.assign(dim, 1.0f);
    quantizer.dim = dim;
  }
  std::string parameters;
  write_parameters(quantizer, parameters);
  Status written = write_temporary(path, [&](BufferedFileWriter& writer) -> Status {
    if (Status s = writer.write(parameters.data(), parameters.size()); !s.ok()) return s;
    std::vector<uint8_t> codes(dim);
    for (size_t slot = 0; slot < count; ++slot) {
      encode(quantizer, row(slot), codes.data());
      if (Status s = writer.write(codes.data(), codes.size()); !s.ok()) return s;
    }
    return Status::success();
  });
  if (!written.ok()) return written;
  return commit_file(path);
}

Status write_graph_file(const HnswIndex& index, std::span<const MetadataEntryView> entries,
                        const std::string& path) {
  return write_temporary(path, [&](BufferedFileWriter& writer) -> Status {
    const size_t node_count = index.node_count();
    std::string header;
    header.reserve(kGraphHeaderSize);
    append_u32_le(header, kGraphMagic);
    append_u32_le(header, kGraphVersion);
    append_u32_le(header, low32(index.dim()));
    header.push_back(static_cast<char>(index.metric()));
    append_u32_le(header, low32(index.m()));
    append_u32_le(header, low32(index.ef_construction()));
    append_u32_le(header, index.entry_point());
    append_u32_le(header, low32(index.max_level()));
    append_u32_le(header, static_cast<uint32_t>(node_count));
    append_u32_le(header, static_cast<uint32_t>(index.deleted().size()));
    assert(header.size() == kGraphHeaderSize);
    if (Status s = writer.write(header.data(), header.size()); !s.ok()) return s;

    for (Slot slot : index.deleted()) {
      if (Status s = write_u32(writer, slot); !s.ok()) return s;
    }

    for (size_t slot = 0; slot < node_count; ++slot) {
      const size_t layers = index.layer_count(static_cast<Slot>(slot));
      if (Status s = write_u32(writer, static_cast<uint32_t>(layers)); !s.ok()) return s;
      for (size_t layer = 0; layer < layers; ++layer) {
        // One copy per list, taken under that list's lock alone.
        const std::vector<Slot> list = index.neighbours(static_cast<Slot>(slot), layer);
        if (Status s = write_u32(writer, static_cast<uint32_t>(list.size())); !s.ok()) return s;
        if (list.empty()) continue;
        if (Status s = writer.write(list.data(), list.size() * sizeof(Slot)); !s.ok()) return s;
      }
    }

    std::string block;
    append_u32_le(block, kMetadataMagic);
    append_u32_le(block, static_cast<uint32_t>(entries.size()));
    std::string text;
    for (const MetadataEntryView& entry : entries) {
      if (entry.id.size() > std::numeric_limits<uint32_t>::max()) {
        return DbError::io("an id of " + std::to_string(entry.id.size()) +
                           " bytes is too long to save");
      }
      text.clear();
      if (entry.metadata != nullptr) entry.metadata->serialise_to(text);
      // A text too long for its length field is saved as no metadata.
      if (text.size() > std::numeric_limits<uint32_t>::max()) text.clear();
      append_u32_le(block, entry.slot);
      append_u32_le(block, static_cast<uint32_t>(entry.id.size()));
      block.append(entry.id);
      append_u32_le(block, static_cast<uint32_t>(text.size()));
      block.append(text);
      // Hand over whole 8 KiB-ish blocks rather than many tiny writes.
      if (block.size() >= 8192) {
        if (Status s = writer.write(block.data(), block.size()); !s.ok()) return s;
        block.clear();
      }
    }
    return writer.write(block.data(), block.size());
  });
}

Status commit_file(const std::string& path) { return rename_file(temporary_path(path), path); }

Status settle_pending_graph(const std::string& graph_path, const std::string& vectors_path) {
  const std::string pending = temporary_path(graph_path);
  if (!file_exists(pending)) return Status::success();
  Status settled =
      graph_is_pending(graph_path, vectors_path) ? commit_file(graph_path) : remove_file(pending);
  if (!settled.ok()) return settled;
  return sync_directory(parent_directory(graph_path));
}

}  // namespace dralm
