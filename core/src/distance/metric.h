// The three metrics, their one-byte codes and their names.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "util/error.h"

namespace dralm {

enum class Metric : uint8_t { Cosine = 0, Euclidean = 1, DotProduct = 2 };

// Every name metric_from_name accepts.
inline constexpr std::string_view kMetricNames[] = {"cosine", "euclidean", "l2", "dot",
                                                    "dot_product"};

// Exact, case-sensitive: "cosine", "euclidean"/"l2", "dot"/"dot_product".
std::optional<Metric> metric_from_name(std::string_view name);
// "cosine", "euclidean" or "dot_product".
std::string_view metric_name(Metric metric);
// Codes 0..2; a larger code fails with io "unknown metric: <code>".
Result<Metric> metric_from_code(uint8_t code);

}  // namespace dralm
