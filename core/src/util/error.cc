#include "util/error.h"

#include <cstring>

namespace dralm {

DbError DbError::dimension_mismatch(uint64_t expected, uint64_t got) {
  return DbError(Kind::DimensionMismatch, "", expected, got);
}
DbError DbError::already_exists(std::string id) {
  return DbError(Kind::AlreadyExists, std::move(id));
}
DbError DbError::not_found(std::string id) { return DbError(Kind::NotFound, std::move(id)); }
DbError DbError::database_not_found(std::string path) {
  return DbError(Kind::DatabaseNotFound, std::move(path));
}
DbError DbError::io(std::string text) { return DbError(Kind::Io, std::move(text)); }
DbError DbError::os(int error_number) { return io(os_error_text(error_number)); }
DbError DbError::invalid_metric(std::string name) {
  return DbError(Kind::InvalidMetric, std::move(name));
}
DbError DbError::corrupt(std::string text) { return DbError(Kind::Corrupt, std::move(text)); }
DbError DbError::invalid_filter(std::string text) {
  return DbError(Kind::InvalidFilter, std::move(text));
}
DbError DbError::invalid_vector(std::string text) {
  return DbError(Kind::InvalidVector, std::move(text));
}
DbError DbError::invalid_argument(std::string text) {
  return DbError(Kind::InvalidArgument, std::move(text));
}

std::string DbError::message() const {
  switch (kind_) {
    case Kind::DimensionMismatch:
      return "dimension mismatch: expected " + std::to_string(expected_) + ", got " +
             std::to_string(got_);
    case Kind::AlreadyExists:
      return "id '" + detail_ + "' already exists, use upsert instead";
    case Kind::NotFound:
      return "id '" + detail_ + "' not found";
    case Kind::DatabaseNotFound:
      return "database not found at '" + detail_ + "'";
    case Kind::Io:
      return "io error: " + detail_;
    case Kind::InvalidMetric:
      return "invalid metric '" + detail_ +
             "': use 'cosine', 'euclidean'/'l2', or 'dot'/'dot_product'";
    case Kind::Corrupt:
      return "corrupt data: " + detail_;
    case Kind::InvalidFilter:
      return "invalid filter: " + detail_;
    case Kind::InvalidVector:
      return "invalid vector: " + detail_;
    case Kind::InvalidArgument:
      break;
  }
  return detail_;
}

std::string os_error_text(int error_number) {
  char buffer[256];
  // GNU strerror_r may return a static string instead of filling the buffer.
  const char* text = strerror_r(error_number, buffer, sizeof buffer);
  return std::string(text) + " (os error " + std::to_string(error_number) + ")";
}

}  // namespace dralm
