// SQ8 scalar quantizer: one byte per dimension, per-dimension min and step.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "util/error.h"

namespace dralm {

// The step of a dimension whose finite values span more than the largest float (see
// train): the largest step whose 255 multiples stay finite.
inline constexpr float kOverflowStep = 3.40282347e+38f / 256.0f;

struct Sq8Quantizer {
  std::vector<float> mins;
  std::vector<float> scales;
  uint64_t dim = 0;
};

// The contents of vectors.sq8: the parameters and dim code bytes per slot, slot order.
// (In memory the index holds rows derived from the codes: QuantizedState, sq8_rows.h.)
struct Sq8File {
  Sq8Quantizer quantizer;
  std::vector<uint8_t> codes;
};

// Trains over the whole vectors of `data` (floats after the last whole vector are
// ignored). Only finite values set the bounds; a dimension without any gets min 0 and
// step 1, and one whose range overflows a float gets the finite step described in
// sq8.cc, so every code always decodes to a finite value.
Sq8Quantizer train(std::span<const float> data, uint64_t dim);
// The same over the vectors i for which use_vector(i) holds (the live slots of an
// index), or over all of them when it holds for none.
Sq8Quantizer train(std::span<const float> data, uint64_t dim,
                   const std::function<bool(size_t)>& use_vector);
// The same over `count` vectors reached one at a time through row(i) (vectors in
// row storage).
Sq8Quantizer train_rows(size_t count, uint64_t dim, const std::function<const float*(size_t)>& row,
                        const std::function<bool(size_t)>& use_vector);
void encode(const Sq8Quantizer& q, const float* v, uint8_t* out);
std::vector<uint8_t> encode_all(const Sq8Quantizer& q, std::span<const float> data, uint64_t dim);
void decode(const Sq8Quantizer& q, const uint8_t* codes, float* out);

// vectors.sq8 layout: u32 dim, dim float mins, dim float scales, then codes.
void write_parameters(const Sq8Quantizer& q, std::string& out);
// Fails with io "failed to fill whole buffer" when the parameter block is cut.
Result<Sq8File> read_quantizer(std::span<const uint8_t> bytes);

}  // namespace dralm
