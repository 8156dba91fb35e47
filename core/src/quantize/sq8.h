// SQ8 scalar quantizer: one byte per dimension, per-dimension min and step.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "util/error.h"

namespace dralm {

struct Sq8Quantizer {
  std::vector<float> mins;
  std::vector<float> scales;
  uint64_t dim = 0;
};

struct QuantizedState {
  Sq8Quantizer quantizer;
  std::vector<uint8_t> codes;  // dim bytes per slot, slot order
};

// Trains over the whole vectors of `data` (floats after the last whole vector are
// ignored). With no vectors, mins are 0 and scales 1 so codes decode to finite values.
Sq8Quantizer train(std::span<const float> data, uint64_t dim);
void encode(const Sq8Quantizer& q, const float* v, uint8_t* out);
std::vector<uint8_t> encode_all(const Sq8Quantizer& q, std::span<const float> data, uint64_t dim);
void decode(const Sq8Quantizer& q, const uint8_t* codes, float* out);

// vectors.sq8 layout: u32 dim, dim float mins, dim float scales, then codes.
void write_parameters(const Sq8Quantizer& q, std::string& out);
// Fails with io "failed to fill whole buffer" when the parameter block is cut.
Result<QuantizedState> read_quantizer(std::span<const uint8_t> bytes);

}  // namespace dralm
