// The log's byte format: checksum, frame layout, payload decoding rules and size limits.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "json/json.h"
#include "store/wal_record.h"
#include "support/bytes.h"
#include "support/json_text.h"
#include "util/utf8.h"
#include "wal/wal_format.h"

namespace dralm {
namespace {

using testing::bytes_of;
using testing::json;
using testing::put_u32;

// Bit-at-a-time CRC-32, the definition the table-driven one must agree with.
uint32_t reference_crc(const uint8_t* data, size_t length) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < length; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
  }
  return ~crc;
}

TEST(WalCrcTest, StandardCheckValue) {
  EXPECT_EQ(crc32("123456789", 9), 0xCBF43926u);
  EXPECT_EQ(crc32("", 0), 0u);
}

TEST(WalCrcTest, AgreesWithBitwiseDefinitionAtEveryLengthAndAlignment) {
  std::mt19937 rng(7);
  std::vector<uint8_t> data(300);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  for (size_t offset = 0; offset < 8; ++offset) {
    for (size_t length = 0; length + offset <= 100; ++length) {
      ASSERT_EQ(crc32(data.data() + offset, length), reference_crc(data.data() + offset, length))
          << "offset " << offset << " length " << length;
    }
  }
  // Piecewise computation continues where the previous piece stopped.
  for (size_t split : {0u, 1u, 7u, 8u, 9u, 150u, 300u}) {
    uint32_t crc = crc32(data.data(), split);
    EXPECT_EQ(crc32(data.data() + split, data.size() - split, crc),
              reference_crc(data.data(), data.size()));
  }
}

TEST(WalFrameTest, DeleteOfAbIsTheDocumentedFifteenBytes) {
  std::string out = "prefix";
  ASSERT_TRUE(encode_frame(WalRecordView::remove("ab"), out).ok());
  const std::vector<uint8_t> expected = {0x02, 0x06, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00,
                                         0x00, 0x61, 0x62, 0xCE, 0x35, 0x61, 0x98};
  ASSERT_EQ(out.size(), 6 + expected.size());
  EXPECT_EQ(out.substr(0, 6), "prefix");  // appended, not overwritten
  EXPECT_EQ(std::vector<uint8_t>(out.begin() + 6, out.end()), expected);
}

TEST(WalFrameTest, InsertAndUpdatePayloadLayout) {
  const float one = 1.0f;
  JsonValue meta = json("{ \"b\": [true, null], \"a\": 1 }");
  std::string out;
  ASSERT_TRUE(encode_frame(WalRecordView::insert("x", std::span(&one, 1), &meta), out).ok());
  std::vector<uint8_t> payload = {1, 0, 0, 0, 'x', 1, 0, 0, 0, 0x00, 0x00, 0x80, 0x3F};
  const std::string compact = "{\"a\":1,\"b\":[true,null]}";
  put_u32(payload, static_cast<uint32_t>(compact.size()));
  payload.insert(payload.end(), compact.begin(), compact.end());
  std::vector<uint8_t> frame = {1};
  put_u32(frame, static_cast<uint32_t>(payload.size()));
  frame.insert(frame.end(), payload.begin(), payload.end());
  std::vector<uint8_t> covered = {1};
  covered.insert(covered.end(), payload.begin(), payload.end());
  put_u32(frame, reference_crc(covered.data(), covered.size()));
  EXPECT_EQ(bytes_of(out), frame);

  // Update that clears metadata and keeps the vector: id, flag 0, flag 1, length 0.
  out.clear();
  ASSERT_TRUE(encode_frame(WalRecordView::update("y", nullptr, true, nullptr), out).ok());
  const std::vector<uint8_t> update_payload = {1, 0, 0, 0, 'y', 0, 1, 0, 0, 0, 0};
  EXPECT_EQ(std::vector<uint8_t>(out.begin() + 5, out.end() - 4), update_payload);
  EXPECT_EQ(static_cast<uint8_t>(out[1]), update_payload.size());
}

// ---- payload decoding ----

struct DecodeCase {
  const char* name;
  uint8_t kind;
  std::vector<uint8_t> payload;
  bool decodes;
};

std::vector<uint8_t> id_field(const std::string& id) {
  std::vector<uint8_t> out;
  put_u32(out, static_cast<uint32_t>(id.size()));
  for (char c : id) out.push_back(static_cast<uint8_t>(c));
  return out;
}

std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

std::vector<uint8_t> text_field(const std::string& text) { return id_field(text); }

const std::vector<uint8_t> kNoVector = {0, 0, 0, 0};

class WalDecodeTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(WalDecodeTest, DecodesOrRejects) {
  const DecodeCase& c = GetParam();
  auto record = decode_payload(c.kind, c.payload.data(), c.payload.size());
  EXPECT_EQ(record.has_value(), c.decodes);
}

INSTANTIATE_TEST_SUITE_P(
    WalPayloads, WalDecodeTest,
    ::testing::Values(
        DecodeCase{"DeleteMinimal", 2, id_field("ab"), true},
        DecodeCase{"LeftoverBytesIgnored", 2, concat({id_field("ab"), {9, 9, 9}}), true},
        DecodeCase{"EmptyPayload", 2, {}, false},
        DecodeCase{"IdLengthPastEnd", 2, concat({{5, 0, 0, 0}, bytes_of("abcd")}), false},
        DecodeCase{"IdOverlongUtf8", 2, id_field("\xC0\x80"), false},
        DecodeCase{"IdSurrogate", 2, id_field("\xED\xA0\x80"), false},
        DecodeCase{"IdCutCharacter", 2, id_field("a\xE2\x82"), false},
        DecodeCase{"UnknownKind", 9, id_field("ab"), false},
        DecodeCase{"KindZero", 0, id_field("ab"), false},
        DecodeCase{"InsertNoMetadataField", 1, concat({id_field("a"), kNoVector}), false},
        DecodeCase{"InsertVectorPastEnd", 1, concat({id_field("a"), {2, 0, 0, 0, 1, 2, 3, 4}}),
                   false},
        DecodeCase{"InsertHugeCountPastEnd", 1,
                   concat({id_field("a"), {0xFF, 0xFF, 0xFF, 0xFF}, {0, 0, 0, 0}}), false},
        DecodeCase{"InsertJsonWithSpaces", 1,
                   concat({id_field("a"), kNoVector, text_field(" {\"k\": 1} ")}), true},
        DecodeCase{"InsertJsonNullIsAValue", 1,
                   concat({id_field("a"), kNoVector, text_field("null")}), true},
        DecodeCase{"InsertBadJson", 1, concat({id_field("a"), kNoVector, text_field("{")}), false},
        DecodeCase{"InsertTwoJsonValues", 1, concat({id_field("a"), kNoVector, text_field("1 2")}),
                   false},
        DecodeCase{"UpdateOnlyId", 3, id_field("a"), false},
        DecodeCase{"UpdateMissingSecondFlag", 3, concat({id_field("a"), {0}}), false},
        DecodeCase{"UpdateMissingFlagAfterVector", 3,
                   concat({id_field("a"), {1}, {1, 0, 0, 0, 0, 0, 0x80, 0x3F}}), false},
        DecodeCase{"UpdateFlagsAbsent", 3, concat({id_field("a"), {0, 0}}), true},
        DecodeCase{"UpdateMetadataFieldMissing", 3, concat({id_field("a"), {0, 1}}), false}),
    [](const ::testing::TestParamInfo<DecodeCase>& info) { return info.param.name; });

TEST(WalDecodeFieldsTest, FlagBytesOtherThanOneMeanAbsent) {
  // Flag 2 for the vector (absent: no vector field follows), flag 1 for metadata.
  std::vector<uint8_t> payload = concat({id_field("id"), {2}, {1}, text_field("{\"a\":2}")});
  auto record = decode_payload(3, payload.data(), payload.size());
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->kind, WalKind::Update);
  EXPECT_EQ(record->id, "id");
  EXPECT_FALSE(record->vector.has_value());
  EXPECT_TRUE(record->metadata_changed);
  ASSERT_TRUE(record->metadata.has_value());
  EXPECT_EQ(*record->metadata, json("{\"a\":2}"));

  // Both flags 0xFF: nothing changes, and no field follows either flag.
  payload = concat({id_field("id"), {0xFF, 0xFF}});
  record = decode_payload(3, payload.data(), payload.size());
  ASSERT_TRUE(record.has_value());
  EXPECT_FALSE(record->vector.has_value());
  EXPECT_FALSE(record->metadata_changed);
}

struct Utf8Case {
  const char* text;
  bool valid;
};

class WalUtf8Test : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(WalUtf8Test, StrictValidation) {
  EXPECT_EQ(is_valid_utf8(GetParam().text), GetParam().valid) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    WalSequences, WalUtf8Test,
    ::testing::Values(Utf8Case{"", true}, Utf8Case{"plain", true}, Utf8Case{"\xC3\xA9", true},
                      Utf8Case{"\xE2\x82\xAC", true}, Utf8Case{"\xF0\x9D\x84\x9E", true},
                      Utf8Case{"\xF4\x8F\xBF\xBF", true},  // U+10FFFF
                      Utf8Case{"\xED\x9F\xBF", true},      // U+D7FF, just below surrogates
                      Utf8Case{"\xEE\x80\x80", true},      // U+E000, just above them
                      Utf8Case{"\xC2\x80", true},          // smallest two-byte form
                      Utf8Case{"\x80", false}, Utf8Case{"\xFF", false},
                      Utf8Case{"\xC1\xBF", false},          // overlong
                      Utf8Case{"\xE0\x9F\xBF", false},      // overlong three-byte
                      Utf8Case{"\xF0\x8F\xBF\xBF", false},  // overlong four-byte
                      Utf8Case{"\xED\xA0\x80", false},      // surrogate
                      Utf8Case{"\xF4\x90\x80\x80", false},  // above U+10FFFF
                      Utf8Case{"\xF5\x80\x80\x80", false}, Utf8Case{"\xC3", false},
                      Utf8Case{"\xE2\x28\xA1", false},  // bad continuation
                      Utf8Case{"ab\xF0\x9D\x84", false}));

// ---- limits of the u32 fields ----

// Address space that is never touched: the encoder must refuse before reading it.
class Reservation {
 public:
  explicit Reservation(size_t size) : size_(size) {
    void* p = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    data_ = p == MAP_FAILED ? nullptr : p;
  }
  ~Reservation() {
    if (data_ != nullptr) ::munmap(data_, size_);
  }
  const char* chars() const { return static_cast<const char*>(data_); }
  const float* floats() const { return static_cast<const float*>(data_); }
  bool ok() const { return data_ != nullptr; }

 private:
  void* data_;
  size_t size_;
};

TEST(WalLimitTest, FieldsAndPayloadsOfFourGigabytesAreRefusedAndLeaveOutputUnchanged) {
  constexpr size_t k4G = size_t{1} << 32;
  Reservation memory(k4G * 4);
  if (!memory.ok()) GTEST_SKIP() << "cannot reserve address space";
  const std::string kept = "earlier frames";

  std::string out = kept;
  Status status = encode_frame(WalRecordView::remove(std::string_view(memory.chars(), k4G)), out);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().kind(), DbError::Kind::Io);
  EXPECT_NE(status.error().message().find("id of 4294967296 bytes"), std::string::npos)
      << status.error().message();
  EXPECT_EQ(out, kept);

  std::span<const float> huge_vector(memory.floats(), k4G);
  status = encode_frame(WalRecordView::insert("a", huge_vector, nullptr), out);
  ASSERT_FALSE(status.ok());
  EXPECT_NE(status.error().message().find("vector of 4294967296 elements"), std::string::npos);
  EXPECT_EQ(out, kept);

  // Each field fits, the sum does not: 4 + 2^31 + 4 + 2^31 + 4 bytes.
  std::string_view half_id(memory.chars(), k4G / 2);
  std::span<const float> half_vector(memory.floats(), k4G / 8);
  status = encode_frame(WalRecordView::insert(half_id, half_vector, nullptr), out);
  ASSERT_FALSE(status.ok());
  EXPECT_NE(status.error().message().find("payload of 4294967308 bytes"), std::string::npos)
      << status.error().message();
  EXPECT_EQ(out, kept);
}

// Telling a torn tail from damage with intact frames behind it, at every position of
// the damage: a flipped bit anywhere in frame i of a log of three frames is followed
// by an intact frame exactly when i is not the last; a cut inside the last frame never is.
TEST(WalScanTest, FindsIntactFramesOnlyBehindDamageInsideTheLog) {
  std::string log;
  std::vector<size_t> starts;
  const float values[3] = {1.5f, -2.0f, 3.25f};
  for (const char* id : {"first", "second", "third"}) {
    starts.push_back(log.size());
    ASSERT_TRUE(encode_frame(WalRecordView::insert(id, std::span(values, 3), nullptr), log).ok());
  }
  starts.push_back(log.size());
  auto bytes = [](const std::string& s) {
    return std::span(reinterpret_cast<const uint8_t*>(s.data()), s.size());
  };
  for (size_t frame = 0; frame < 3; ++frame) {
    for (size_t at = starts[frame]; at < starts[frame + 1]; ++at) {
      std::string damaged = log;
      damaged[at] = static_cast<char>(damaged[at] ^ 0x04);
      EXPECT_EQ(intact_frame_after(bytes(damaged), starts[frame], kWalKinds), frame < 2)
          << "frame " << frame << ", byte " << at;
    }
  }
  for (size_t cut = starts[2]; cut < log.size(); ++cut) {
    EXPECT_FALSE(intact_frame_after(bytes(log.substr(0, cut)), starts[2], kWalKinds)) << cut;
  }
}

}  // namespace
}  // namespace dralm
