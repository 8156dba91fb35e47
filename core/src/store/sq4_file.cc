#include "store/sq4_file.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "quantize/sq4_rows.h"
#include "quantize/sq8_rows.h"
#include "store/file_names.h"
#include "util/file_io.h"
#include "util/little_endian.h"
#include "wal/wal_format.h"

namespace dralm {

namespace {

constexpr char kMagic[8] = {'D', 'R', 'A', 'L', 'M', 'S', 'Q', '4'};
constexpr uint32_t kVersion = 1;

// Writes `length` bytes and folds them into the running checksum.
Status write_summed(BufferedFileWriter& writer, const void* data, size_t length, uint32_t& crc) {
  crc = crc32(data, length, crc);
  return writer.write(data, length);
}

Status write_contents(const HnswIndex& index, BufferedFileWriter& writer) {
  const QuantizedRows& quantized = index.quantized_rows();
  const uint64_t dim = index.dim();
  const size_t count = index.node_count();
  std::string header(kMagic, sizeof kMagic);
  append_u32_le(header, kVersion);
  append_u32_le(header, static_cast<uint32_t>(dim));
  append_u32_le(header, static_cast<uint32_t>(uint64_t(count)));
  append_u32_le(header, static_cast<uint32_t>(uint64_t(count) >> 32));
  append_f32s_le(header, quantized.quantizer.mins);
  append_f32s_le(header, quantized.quantizer.scales);
  uint32_t crc = 0;
  if (Status s = write_summed(writer, header.data(), header.size(), crc); !s.ok()) return s;
  const ChunkedRows::View rows = quantized.rows->view();
  const size_t code_bytes = sq4_code_bytes(dim);
  for (size_t slot = 0; slot < count; ++slot) {
    if (Status s = write_summed(writer, rows.row(slot), code_bytes, crc); !s.ok()) return s;
  }
  std::string trailer;
  append_u32_le(trailer, crc);
  return writer.write(trailer.data(), trailer.size());
}

}  // namespace

Status write_sq4_file(const HnswIndex& index, const std::string& path) {
  const std::string temporary = sq4_temporary_path(path);
  Result<BufferedFileWriter> opened =
      BufferedFileWriter::open(temporary, BufferedFileWriter::Mode::Truncate);
  if (!opened.ok()) return opened.error();
  BufferedFileWriter& writer = opened.value();
  if (Status s = write_contents(index, writer); !s.ok()) return s;
  if (Status s = writer.sync(); !s.ok()) return s;
  if (Status s = writer.close(); !s.ok()) return s;
  return rename_file(temporary, path);
}

bool load_sq4_file(HnswIndex& index, const std::string& path) {
  Result<std::vector<uint8_t>> read = read_whole_file(path);
  if (!read.ok()) return false;
  const std::vector<uint8_t>& bytes = read.value();
  const uint64_t dim = index.dim();
  const size_t count = index.node_count();
  const size_t code_bytes = sq4_code_bytes(dim);
  const size_t header_bytes = sizeof kMagic + 16 + 8 * size_t(dim);
  // The size first: it bounds every read below.
  if (count == 0 || bytes.size() != header_bytes + count * code_bytes + 4) return false;
  if (std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) return false;
  const uint8_t* p = bytes.data() + sizeof kMagic;
  if (load_u32_le(p) != kVersion || load_u32_le(p + 4) != dim || load_u64_le(p + 8) != count) {
    return false;
  }
  const size_t summed = bytes.size() - 4;
  if (crc32(bytes.data(), summed) != load_u32_le(bytes.data() + summed)) return false;

  Sq8Quantizer quantizer;
  quantizer.dim = dim;
  quantizer.mins.resize(dim);
  quantizer.scales.resize(dim);
  load_f32s_le(p + 16, dim, quantizer.mins.data());
  load_f32s_le(p + 16 + 4 * dim, dim, quantizer.scales.data());
  // What training can produce: finite minima and positive finite steps.
  for (size_t j = 0; j < dim; ++j) {
    if (!std::isfinite(quantizer.mins[j]) || !std::isfinite(quantizer.scales[j]) ||
        !(quantizer.scales[j] > 0)) {
      return false;
    }
  }
  QuantizedState state;
  state.format = make_row_format(quantizer, index.metric(), 4);
  state.quantizer = std::move(quantizer);
  state.rows.resize(count * state.format.row_bytes);
  const uint8_t* blocks = bytes.data() + header_bytes;
  for (size_t slot = 0; slot < count; ++slot) {
    sq4_row_from_blocks(state.format, blocks + slot * code_bytes, state.row(slot));
  }
  index.set_quantized(std::move(state));
  return true;
}

}  // namespace dralm
