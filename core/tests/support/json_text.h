// JSON values written as text in tests.
#pragma once

#include <gtest/gtest.h>

#include <string_view>

#include "json/json.h"

namespace dralm::testing {

// The value `text` parses to; a parse failure fails the calling test.
inline JsonValue json(std::string_view text) {
  Result<JsonValue> parsed = parse_json(text);
  EXPECT_TRUE(parsed.ok()) << parsed.error().detail() << " in " << text;
  return parsed.value();
}

}  // namespace dralm::testing
