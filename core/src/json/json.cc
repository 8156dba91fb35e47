// JsonValue construction, type-strict equality and the hash that agrees with it.
#include "json/json.h"

#include <bit>
#include <cassert>
#include <cmath>
#include <cstring>

namespace dralm {

JsonValue::JsonValue(Storage value) : value_(std::move(value)) {
  if (const int64_t* i = std::get_if<int64_t>(&value_); i != nullptr && *i >= 0) {
    value_ = static_cast<uint64_t>(*i);
  } else if (const double* d = std::get_if<double>(&value_); d != nullptr && !std::isfinite(*d)) {
    value_ = Null{};
  }
}

JsonValue JsonValue::integer(int64_t i) { return JsonValue(Storage(i)); }

JsonValue JsonValue::number(double d) { return JsonValue(Storage(d)); }

bool JsonValue::is_number() const {
  return std::holds_alternative<uint64_t>(value_) || std::holds_alternative<int64_t>(value_) ||
         std::holds_alternative<double>(value_);
}

double JsonValue::as_double() const {
  assert(is_number());
  // Integer to double conversion rounds to nearest under the default rounding mode.
  if (const uint64_t* u = std::get_if<uint64_t>(&value_)) return static_cast<double>(*u);
  if (const int64_t* i = std::get_if<int64_t>(&value_)) return static_cast<double>(*i);
  return std::get<double>(value_);
}

bool operator==(const JsonValue& a, const JsonValue& b) {
  if (a.value_.index() != b.value_.index()) return false;
  switch (a.value_.index()) {
    case 0:
      return true;
    case 1:
      return std::get<bool>(a.value_) == std::get<bool>(b.value_);
    case 2:
      return std::get<uint64_t>(a.value_) == std::get<uint64_t>(b.value_);
    case 3:
      return std::get<int64_t>(a.value_) == std::get<int64_t>(b.value_);
    case 4:
      // IEEE comparison: 0.0 == -0.0. NaN never gets stored, so == is reflexive here.
      return std::get<double>(a.value_) == std::get<double>(b.value_);
    case 5:
      return std::get<std::string>(a.value_) == std::get<std::string>(b.value_);
    case 6:
      return std::get<JsonArray>(a.value_) == std::get<JsonArray>(b.value_);
    case 7:
      // Both maps are ordered by key, so pairwise comparison checks the key set and
      // the value under each key.
      return std::get<JsonObject>(a.value_) == std::get<JsonObject>(b.value_);
  }
  assert(false && "unknown JsonValue alternative");
  return false;
}

namespace {

constexpr uint64_t kMul = 0x9E3779B97F4A7C15ull;

// Final avalanche (the 64-bit finaliser of MurmurHash3): every input bit affects
// every output bit, so unordered_map's low-bit bucketing sees well-spread values.
uint64_t finalise(uint64_t h) {
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  h ^= h >> 33;
  h *= 0xC4CEB9F53FE1A85Full;
  h ^= h >> 33;
  return h;
}

uint64_t combine(uint64_t h, uint64_t word) { return std::rotl((h ^ word) * kMul, 29); }

uint64_t hash_bytes(uint64_t h, const char* data, size_t length) {
  h = combine(h, length);
  while (length >= 8) {
    uint64_t word;
    std::memcpy(&word, data, 8);
    h = combine(h, word);
    data += 8;
    length -= 8;
  }
  if (length > 0) {
    uint64_t word = 0;
    std::memcpy(&word, data, length);
    h = combine(h, word);
  }
  return h;
}

uint64_t hash_value(const JsonValue& value, uint64_t h) {
  const JsonValue::Storage& s = value.storage();
  h = combine(h, s.index() + 1);
  switch (s.index()) {
    case 0:
      return h;
    case 1:
      return combine(h, std::get<bool>(s) ? 1 : 0);
    case 2:
      return combine(h, std::get<uint64_t>(s));
    case 3:
      return combine(h, static_cast<uint64_t>(std::get<int64_t>(s)));
    case 4: {
      double d = std::get<double>(s);
      // -0.0 == 0.0, so both must hash alike; adding 0.0 maps -0.0 to +0.0.
      return combine(h, std::bit_cast<uint64_t>(d + 0.0));
    }
    case 5: {
      const std::string& str = std::get<std::string>(s);
      return hash_bytes(h, str.data(), str.size());
    }
    case 6: {
      const JsonArray& array = std::get<JsonArray>(s);
      h = combine(h, array.size());
      for (const JsonValue& element : array) h = hash_value(element, h);
      return h;
    }
    case 7: {
      const JsonObject& object = std::get<JsonObject>(s);
      h = combine(h, object.size());
      for (const auto& [key, element] : object) {
        h = hash_bytes(h, key.data(), key.size());
        h = hash_value(element, h);
      }
      return h;
    }
  }
  assert(false && "unknown JsonValue alternative");
  return h;
}

}  // namespace

size_t JsonValue::hash() const { return static_cast<size_t>(finalise(hash_value(*this, 0))); }

}  // namespace dralm
