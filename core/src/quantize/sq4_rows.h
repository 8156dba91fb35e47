// 4-bit traversal codes: the rows a quantized index keeps when it walks on 4 bits a
// dimension, half the bytes of SQ8 rows.
//
// The measure is the SQ8 one (sq8_rows.h): the same trained quantizer and the same row
// format, whose 256 SQ8 levels per dimension are thinned to 16. The 4-bit code c of a
// dimension stands for SQ8 code 17 c (255 = 15 x 17, so code 15 is still the trained
// maximum); a 4-bit row is thus an SQ8 row on a coarser grid, and its distance is the
// SQ8 distance of that row. Deriving the codes from the SQ8 quantizer needs no second
// training pass, keeps the SQ8 handling of empty, constant and overflowing dimensions,
// and lets the query be prepared exactly as for SQ8 (sq4_distance.h).
//
// Row layout (row_bytes = sq4_row_bytes(dim), a multiple of 16):
//   bytes [0, sq4_code_bytes(dim))  blocks of 16 bytes, one per 32 dimensions: byte i of
//       block b holds the code of dimension 32 b + i in its low nibble and that of
//       dimension 32 b + 16 + i in its high nibble; codes past dim are zero
//   bytes up to row_bytes - 4         zero
//   bytes [row_bytes - 4, row_bytes)  the row constant of sq8_rows.h, computed from the
//       SQ8 codes 17 c
// A kernel unpacks a block's low nibbles into 16 consecutive dimensions and its high
// nibbles into the next 16, so the query's weights stay in dimension order.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quantize/sq8.h"
#include "quantize/sq8_rows.h"

namespace dralm {

// Dimensions per 16-byte block of codes.
inline constexpr size_t kSq4BlockDims = 32;
// The SQ8 code that the 4-bit code c stands for is kSq4Spacing * c.
inline constexpr uint32_t kSq4Spacing = 17;

constexpr size_t sq4_block_count(uint64_t dim) {
  return (size_t(dim) + kSq4BlockDims - 1) / kSq4BlockDims;
}
constexpr size_t sq4_code_bytes(uint64_t dim) { return sq4_block_count(dim) * 16; }
// Bytes of one row: the code blocks and the 4-byte constant, rounded up to 16.
constexpr size_t sq4_row_bytes(uint64_t dim) { return (sq4_code_bytes(dim) + 4 + 15) / 16 * 16; }

// The nearest 4-bit level to an SQ8 code.
constexpr uint8_t sq4_code_of(uint8_t sq8_code) {
  return static_cast<uint8_t>((uint32_t{sq8_code} + kSq4Spacing / 2) / kSq4Spacing);
}

// The 4-bit code of dimension j in a row.
inline uint8_t sq4_code_at(const uint8_t* row, size_t j) {
  const uint8_t byte = row[j / kSq4BlockDims * 16 + j % 16];
  return (j % kSq4BlockDims) < 16 ? byte & 0x0F : byte >> 4;
}

// Writes the 4-bit row of the vector `v` (q.dim floats) to `row` (format.row_bytes
// bytes); `format` has bits = 4. encode_row (sq8_rows.h) calls it for such formats.
void encode_sq4_row(const Sq8Quantizer& q, const Sq8RowFormat& format, const float* v,
                    uint8_t* row);
// Writes the row holding the dim 4-bit codes `codes` (one a byte, each below 16).
void sq4_row_from_codes(const Sq8RowFormat& format, const uint8_t* codes, uint8_t* row);
// The same from the code blocks of a row (sq4_code_bytes(dim) bytes, as a saved file
// keeps them): copies them and fills in the padding and the constant.
void sq4_row_from_blocks(const Sq8RowFormat& format, const uint8_t* blocks, uint8_t* row);

}  // namespace dralm
