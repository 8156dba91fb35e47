#include "distance/metric.h"

#include <string>

namespace dralm {

std::optional<Metric> metric_from_name(std::string_view name) {
  if (name == "cosine") return Metric::Cosine;
  if (name == "euclidean" || name == "l2") return Metric::Euclidean;
  if (name == "dot" || name == "dot_product") return Metric::DotProduct;
  return std::nullopt;
}

std::string_view metric_name(Metric metric) {
  switch (metric) {
    case Metric::Cosine:
      return "cosine";
    case Metric::Euclidean:
      return "euclidean";
    case Metric::DotProduct:
      break;
  }
  return "dot_product";
}

Result<Metric> metric_from_code(uint8_t code) {
  if (code <= static_cast<uint8_t>(Metric::DotProduct)) return static_cast<Metric>(code);
  return DbError::io("unknown metric: " + std::to_string(code));
}

}  // namespace dralm
