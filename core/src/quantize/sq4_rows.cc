#include "quantize/sq4_rows.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <vector>

namespace dralm {

namespace {

// Per-thread buffers of one row's codes: encoding runs on the writer and on the
// threads of a parallel batch, never twice at once on one thread.
std::vector<uint8_t>& code_scratch() {
  thread_local std::vector<uint8_t> codes;
  return codes;
}

void store_constant(const Sq8RowFormat& format, uint8_t* row, const uint8_t* sq8_codes) {
  const float constant = constant_of_codes(format, sq8_codes);
  std::memcpy(row + format.row_bytes - sizeof(float), &constant, sizeof(float));
}

}  // namespace

void sq4_row_from_codes(const Sq8RowFormat& format, const uint8_t* codes, uint8_t* row) {
  assert(format.bits == 4);
  const size_t dim = format.dim;
  std::fill(row, row + format.row_bytes, uint8_t{0});
  std::vector<uint8_t>& spread = code_scratch();
  spread.resize(dim);
  for (size_t j = 0; j < dim; ++j) {
    assert(codes[j] < 16);
    const size_t at = j / kSq4BlockDims * 16 + j % 16;
    row[at] |= (j % kSq4BlockDims) < 16 ? codes[j] : uint8_t(codes[j] << 4);
    spread[j] = static_cast<uint8_t>(codes[j] * kSq4Spacing);
  }
  store_constant(format, row, spread.data());
}

void sq4_row_from_blocks(const Sq8RowFormat& format, const uint8_t* blocks, uint8_t* row) {
  assert(format.bits == 4);
  const size_t dim = format.dim, code_bytes = sq4_code_bytes(dim);
  std::copy(blocks, blocks + code_bytes, row);
  std::fill(row + code_bytes, row + format.row_bytes, uint8_t{0});
  std::vector<uint8_t>& spread = code_scratch();
  spread.resize(dim);
  for (size_t j = 0; j < dim; ++j) {
    spread[j] = static_cast<uint8_t>(sq4_code_at(row, j) * kSq4Spacing);
  }
  store_constant(format, row, spread.data());
}

void encode_sq4_row(const Sq8Quantizer& q, const Sq8RowFormat& format, const float* v,
                    uint8_t* row) {
  assert(q.dim == format.dim && format.bits == 4);
  // SQ8 codes first (they clamp, round and handle overflowing dimensions), then the
  // nearest of every 17th level.
  thread_local std::vector<uint8_t> codes;
  codes.resize(format.dim);
  encode(q, v, codes.data());
  for (uint8_t& c : codes) c = sq4_code_of(c);
  sq4_row_from_codes(format, codes.data(), row);
}

}  // namespace dralm
