// The engine's error value and the Result type every fallible operation returns.
#pragma once

#include <cassert>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace dralm {

// One error of the engine. `message()` is the exact text the Python caller sees.
class DbError {
 public:
  enum class Kind : uint8_t {
    DimensionMismatch = 0,
    AlreadyExists = 1,
    NotFound = 2,
    DatabaseNotFound = 3,
    Io = 4,
    InvalidMetric = 5,
    Corrupt = 6,
    InvalidFilter = 7,
    // A vector or query holding NaN or an infinity.
    InvalidVector = 8,
    // A caller's input refused before anything changed; the text is the whole message
    // (open's refusals, which are the constructor's exact ValueError texts, a batch
    // whose parts disagree in length, a JSON syntax fault).
    InvalidArgument = 9,
  };

  static DbError dimension_mismatch(uint64_t expected, uint64_t got);
  static DbError already_exists(std::string id);
  static DbError not_found(std::string id);
  static DbError database_not_found(std::string path);
  // `text` is the I/O error's own text (os() builds it for OS errors).
  static DbError io(std::string text);
  // An operating-system error: "<strerror> (os error <code>)".
  static DbError os(int error_number);
  static DbError invalid_metric(std::string name);
  static DbError corrupt(std::string text);
  static DbError invalid_filter(std::string text);
  static DbError invalid_vector(std::string text);
  static DbError invalid_argument(std::string text);

  Kind kind() const { return kind_; }
  // The payload as given (id, path or inner message); empty for DimensionMismatch.
  const std::string& detail() const { return detail_; }
  std::string message() const;

 private:
  DbError(Kind kind, std::string detail, uint64_t expected = 0, uint64_t got = 0)
      : kind_(kind), detail_(std::move(detail)), expected_(expected), got_(got) {}

  Kind kind_;
  std::string detail_;
  uint64_t expected_;
  uint64_t got_;
};

// The text of an operating-system error: the system's message, then " (os error N)".
std::string os_error_text(int error_number);

// A value or a DbError. Small and explicit on purpose: check ok() before value().
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::move(value)) {}
  Result(DbError error) : state_(std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & {
    assert(ok());
    return std::get<0>(state_);
  }
  const T& value() const& {
    assert(ok());
    return std::get<0>(state_);
  }
  T&& value() && {
    assert(ok());
    return std::get<0>(std::move(state_));
  }
  const DbError& error() const {
    assert(!ok());
    return std::get<1>(state_);
  }

 private:
  std::variant<T, DbError> state_;
};

// Result of an operation with no value on success. A success holds no error at all.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(DbError error) : error_(std::move(error)) {}
  static Status success() { return Status(); }

  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }
  const DbError& error() const {
    assert(error_.has_value());
    return *error_;
  }

 private:
  std::optional<DbError> error_;
};

}  // namespace dralm
