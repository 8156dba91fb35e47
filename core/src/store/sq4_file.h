// vectors.sq4: the 4-bit traversal codes of a database saved with 4-bit search on.
//
// The codes are derived data: every one of them can be computed again from the vectors.
// The file spares the reopen that work (and paging in every vector of a mapped
// vectors.bin); a file that is missing, cut, damaged or of another state is never an
// error: the loader reports it unusable and the caller trains the codes afresh.
//
// Layout (little-endian):
//   8 bytes            magic "DRALMSQ4"
//   4                  format version (1)
//   4                  dim
//   8                  slot count n
//   4 x dim            mins of the quantizer the codes derive from (quantize/sq8.h)
//   4 x dim            scales (steps) of that quantizer
//   n x code bytes     each slot's code blocks (quantize/sq4_rows.h), slot order
//   4                  CRC-32 of every byte before it
// The row constants are not stored; they follow from the codes.
#pragma once

#include <string>

#include "hnsw/hnsw_index.h"
#include "util/error.h"

namespace dralm {

// Writes the index's 4-bit codes (index.quantized_bits() == 4) to a temporary sibling
// ("vectors.sq4.tmp"), syncs it and renames it over `path`.
// Requires: the index held shared.
Status write_sq4_file(const HnswIndex& index, const std::string& path);

// Installs the codes of the file at `path` on `index` and returns true when the file is
// whole and was written for an index of this dimension and slot count; otherwise leaves
// the index as it was and returns false.
bool load_sq4_file(HnswIndex& index, const std::string& path);

}  // namespace dralm
