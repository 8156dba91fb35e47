// The saved files: exact bytes and sizes, round trips through load_index, and the
// loader's answer to damaged files (always an Io error, never a crash).
#include "store/persistence.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "db/database.h"
#include "quantize/sq8.h"
#include "support/bytes.h"
#include "support/files.h"
#include "support/graph_check.h"
#include "support/temp_dir.h"
#include "util/utf8.h"

namespace dralm {
namespace {

namespace fs = std::filesystem;

using testing::index_params;
using testing::put_u32;
using testing::read_file;
using testing::stored_vectors;
using testing::TempDir;
using testing::write_file;

void put_f32(std::string& out, float f) {
  uint32_t bits;
  std::memcpy(&bits, &f, 4);
  put_u32(out, bits);
}

// An independent encoder of graph.dralm, so the tests can build any file, well-formed
// or damaged, without going through the code under test.
struct GraphSpec {
  uint32_t magic = 0x48535747;
  uint32_t version = 2;
  uint32_t dim = 2;
  uint8_t metric = 1;
  uint32_t m = 2;
  uint32_t ef = 10;
  uint32_t entry = 0;
  uint32_t max_level = 1;
  std::vector<uint32_t> deleted;
  std::vector<std::vector<std::vector<uint32_t>>> nodes;  // node -> layer -> list
  uint32_t metadata_magic = 0x4D455441;
  struct Entry {
    uint32_t slot;
    std::string id;
    std::string text;
  };
  std::vector<Entry> entries;
  // Counts written instead of the true ones (to fake oversized counts).
  std::optional<uint32_t> node_count, deleted_count, entry_count;

  std::string bytes() const {
    std::string out;
    put_u32(out, magic);
    put_u32(out, version);
    put_u32(out, dim);
    out.push_back(static_cast<char>(metric));
    put_u32(out, m);
    put_u32(out, ef);
    put_u32(out, entry);
    put_u32(out, max_level);
    put_u32(out, node_count.value_or(static_cast<uint32_t>(nodes.size())));
    put_u32(out, deleted_count.value_or(static_cast<uint32_t>(deleted.size())));
    for (uint32_t d : deleted) put_u32(out, d);
    for (const auto& node : nodes) {
      put_u32(out, static_cast<uint32_t>(node.size()));
      for (const auto& list : node) {
        put_u32(out, static_cast<uint32_t>(list.size()));
        for (uint32_t s : list) put_u32(out, s);
      }
    }
    put_u32(out, metadata_magic);
    put_u32(out, entry_count.value_or(static_cast<uint32_t>(entries.size())));
    for (const Entry& e : entries) {
      put_u32(out, e.slot);
      put_u32(out, static_cast<uint32_t>(e.id.size()));
      out += e.id;
      put_u32(out, static_cast<uint32_t>(e.text.size()));
      out += e.text;
    }
    return out;
  }
};

// Four nodes of dimension 2 with m 2 (caps 4 and 2); node 0 (level 1) is the entry,
// slot 2 is deleted, and three ids carry metadata of each kind.
GraphSpec sample_graph() {
  GraphSpec g;
  g.nodes = {{{1, 2}, {3}}, {{0, 2, 3}}, {{0, 1}}, {{0}, {0}}};
  g.deleted = {2};
  g.entries = {{0, "a", R"({"k":1})"}, {1, "b\xc3\xa9", ""}, {3, "c", R"({"x":"y"})"}};
  return g;
}

std::vector<float> sample_vectors() { return {1, 0, 0, 1, 3, 4, -1, -1}; }

std::string vectors_bytes(const std::vector<float>& floats, uint32_t dim) {
  std::string out;
  for (float f : floats) put_f32(out, f);
  for (size_t s = 0; s * dim < floats.size(); ++s) {
    float sum = 0;
    for (uint32_t j = 0; j < dim; ++j) sum += floats[s * dim + j] * floats[s * dim + j];
    put_f32(out, std::sqrt(sum));
  }
  return out;
}

class PersistLoad : public ::testing::Test {
 protected:
  void write(const GraphSpec& graph) { write_file(dir_.file("graph.dralm"), graph.bytes()); }
  void write_vectors(const std::string& bytes) { write_file(dir_.file("vectors.bin"), bytes); }
  void write_sample() {
    write(sample_graph());
    write_vectors(vectors_bytes(sample_vectors(), 2));
  }
  Result<LoadedIndex> load() {
    return load_index(dir_.file("graph.dralm"), dir_.file("vectors.bin"), dir_.file("vectors.sq8"));
  }
  // The load must fail with an Io error; returns its message.
  std::string load_error() {
    Result<LoadedIndex> loaded = load();
    EXPECT_FALSE(loaded.ok());
    if (loaded.ok()) return "";
    EXPECT_EQ(loaded.error().kind(), DbError::Kind::Io);
    return loaded.error().message();
  }
  TempDir dir_;
};

TEST_F(PersistLoad, SampleLoadsWithEveryField) {
  write_sample();
  Result<LoadedIndex> loaded = load();
  ASSERT_TRUE(loaded.ok()) << loaded.error().message();
  const HnswIndex& index = *loaded.value().index;
  EXPECT_EQ(index.dim(), 2u);
  EXPECT_EQ(index.metric(), Metric::Euclidean);
  EXPECT_EQ(index.m(), 2u);
  EXPECT_EQ(index.m_max0(), 4u);
  EXPECT_EQ(index.ef_construction(), 10u);
  EXPECT_EQ(index.entry_point(), 0u);
  EXPECT_EQ(index.max_level(), 1u);
  ASSERT_EQ(index.node_count(), 4u);
  EXPECT_EQ(index.live_count(), 3u);
  EXPECT_TRUE(index.is_deleted(2));
  EXPECT_FALSE(index.quantized().has_value());
  EXPECT_TRUE(index.vectors_mapped());
  const GraphSpec spec = sample_graph();
  for (Slot s = 0; s < 4; ++s) {
    ASSERT_EQ(index.layer_count(s), spec.nodes[s].size());
    for (size_t l = 0; l < spec.nodes[s].size(); ++l) {
      EXPECT_EQ(index.neighbours(s, l), spec.nodes[s][l]) << "slot " << s << " layer " << l;
    }
  }
  const std::vector<float> v = sample_vectors();
  for (Slot s = 0; s < 4; ++s) {
    EXPECT_EQ(index.vector(s)[0], v[2 * s]);
    EXPECT_EQ(index.vector(s)[1], v[2 * s + 1]);
  }
  EXPECT_FLOAT_EQ(index.norms()[2], 5.0f);
  const auto& entries = loaded.value().entries;
  const auto& metadata = loaded.value().metadata;
  ASSERT_EQ(entries.size(), 3u);
  ASSERT_EQ(metadata.size(), 4u);
  EXPECT_EQ(entries[0].slot, 0u);
  EXPECT_EQ(entries[0].id, "a");
  ASSERT_NE(metadata[0], nullptr);
  EXPECT_EQ(metadata[0]->serialise(), R"({"k":1})");
  EXPECT_EQ(entries[1].id, "b\xc3\xa9");
  EXPECT_EQ(metadata[entries[1].slot], nullptr);
  EXPECT_EQ(metadata[2], nullptr);  // deleted: no entry
  EXPECT_EQ(entries[2].slot, 3u);
  EXPECT_EQ(metadata[3]->serialise(), R"({"x":"y"})");
}

TEST_F(PersistLoad, TextThatIsNotJsonGivesNoMetadataButKeepsTheId) {
  GraphSpec g = sample_graph();
  g.entries[0].text = "{oops";
  g.entries[2].text = R"({"x":1} trailing)";
  write(g);
  write_vectors(vectors_bytes(sample_vectors(), 2));
  Result<LoadedIndex> loaded = load();
  ASSERT_TRUE(loaded.ok()) << loaded.error().message();
  const auto& entries = loaded.value().entries;
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].id, "a");
  EXPECT_EQ(entries[0].slot, 0u);
  EXPECT_EQ(loaded.value().metadata[entries[0].slot], nullptr);
  EXPECT_EQ(entries[2].id, "c");
  EXPECT_EQ(loaded.value().metadata[entries[2].slot], nullptr);
}

TEST_F(PersistLoad, BytesAfterTheLastEntryAreIgnored) {
  write_file(dir_.file("graph.dralm"), sample_graph().bytes() + "trailing junk");
  write_vectors(vectors_bytes(sample_vectors(), 2));
  Result<LoadedIndex> loaded = load();
  ASSERT_TRUE(loaded.ok()) << loaded.error().message();
  EXPECT_EQ(loaded.value().entries.size(), 3u);
}

TEST_F(PersistLoad, DuplicateDeletedSlotsCollapse) {
  GraphSpec g = sample_graph();
  g.deleted = {2, 2, 2};
  write(g);
  write_vectors(vectors_bytes(sample_vectors(), 2));
  Result<LoadedIndex> loaded = load();
  ASSERT_TRUE(loaded.ok()) << loaded.error().message();
  EXPECT_EQ(loaded.value().index->deleted().size(), 1u);
  EXPECT_EQ(loaded.value().index->live_count(), 3u);
}

TEST_F(PersistLoad, EmptyGraphLoads) {
  GraphSpec g;
  g.entry = kNoEntry;
  g.max_level = 0;
  write(g);
  write_vectors("");
  Result<LoadedIndex> loaded = load();
  ASSERT_TRUE(loaded.ok()) << loaded.error().message();
  EXPECT_EQ(loaded.value().index->node_count(), 0u);
  EXPECT_EQ(loaded.value().index->entry_point(), kNoEntry);
  EXPECT_TRUE(loaded.value().entries.empty());
}

// ---- Damaged files.

TEST_F(PersistLoad, CutAnywhereFailsWithEndOfData) {
  const std::string full = sample_graph().bytes();
  write_vectors(vectors_bytes(sample_vectors(), 2));
  for (size_t cut = 0; cut < full.size(); ++cut) {
    write_file(dir_.file("graph.dralm"), full.substr(0, cut));
    EXPECT_EQ(load_error(), "io error: failed to fill whole buffer") << "cut at " << cut;
  }
}

TEST_F(PersistLoad, EveryFlippedHeaderByteIsCaughtOrHarmless) {
  const std::string full = sample_graph().bytes();
  write_vectors(vectors_bytes(sample_vectors(), 2));
  for (size_t i = 0; i < kGraphHeaderSize; ++i) {
    std::string damaged = full;
    damaged[i] = static_cast<char>(damaged[i] ^ 0xFF);
    write_file(dir_.file("graph.dralm"), damaged);
    Result<LoadedIndex> loaded = load();
    uint32_t m, ef;
    std::memcpy(&m, damaged.data() + 13, 4);
    std::memcpy(&ef, damaged.data() + 17, 4);
    if (i >= 13 && i < 17 && m <= kMaxM) {
      // Any m a database can be created with is a valid setting.
      ASSERT_TRUE(loaded.ok()) << "byte " << i << ": " << loaded.error().message();
      EXPECT_EQ(loaded.value().index->m(), m);
    } else if (i >= 17 && i < 21) {
      // Any ef_construction is a valid setting.
      ASSERT_TRUE(loaded.ok()) << "byte " << i << ": " << loaded.error().message();
      EXPECT_EQ(loaded.value().index->ef_construction(), ef);
    } else {
      ASSERT_FALSE(loaded.ok()) << "byte " << i << " flipped still loads";
      EXPECT_EQ(loaded.error().kind(), DbError::Kind::Io);
    }
  }
}

struct MessageCase {
  const char* name;
  std::function<void(GraphSpec&)> damage;
  std::string message;  // full message
};

class PersistLoadMessages : public PersistLoad,
                            public ::testing::WithParamInterface<MessageCase> {};

TEST_P(PersistLoadMessages, FailsWithTheFormatMessage) {
  GraphSpec g = sample_graph();
  GetParam().damage(g);
  write(g);
  write_vectors(vectors_bytes(sample_vectors(), 2));
  EXPECT_EQ(load_error(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Format, PersistLoadMessages,
    ::testing::Values(
        MessageCase{"Magic", [](GraphSpec& g) { g.magic = 0x58535747; },
                    "io error: bad graph magic"},
        MessageCase{"MagicBeforeVersion",
                    [](GraphSpec& g) {
                      g.magic = 0;
                      g.version = 9;
                      g.metric = 7;
                    },
                    "io error: bad graph magic"},
        MessageCase{"Version", [](GraphSpec& g) { g.version = 3; },
                    "io error: unsupported graph version: 3"},
        MessageCase{"VersionBeforeMetric",
                    [](GraphSpec& g) {
                      g.version = 1;
                      g.metric = 9;
                    },
                    "io error: unsupported graph version: 1"},
        MessageCase{"Metric3", [](GraphSpec& g) { g.metric = 3; }, "io error: unknown metric: 3"},
        MessageCase{"Metric255", [](GraphSpec& g) { g.metric = 255; },
                    "io error: unknown metric: 255"},
        MessageCase{"MetadataMagic", [](GraphSpec& g) { g.metadata_magic = 0x4D455442; },
                    "io error: bad metadata section magic"},
        MessageCase{"InvalidLead", [](GraphSpec& g) { g.entries[0].id = "x\xff"; },
                    "io error: invalid utf-8 sequence of 1 bytes from index 1"},
        MessageCase{"BrokenThirdByte", [](GraphSpec& g) { g.entries[2].id = "\xe2\x82z"; },
                    "io error: invalid utf-8 sequence of 2 bytes from index 0"},
        MessageCase{"IdEndsInsideACharacter",
                    [](GraphSpec& g) { g.entries[1].id = "ab\xf0\x9f\x98"; },
                    "io error: incomplete utf-8 byte sequence from index 2"},
        MessageCase{"HugeNodeCount", [](GraphSpec& g) { g.node_count = 0xFFFFFFFF; },
                    "io error: failed to fill whole buffer"},
        MessageCase{"HugeDeletedCount", [](GraphSpec& g) { g.deleted_count = 0xFFFFFFFF; },
                    "io error: failed to fill whole buffer"},
        MessageCase{"HugeEntryCount", [](GraphSpec& g) { g.entry_count = 0xFFFFFFFF; },
                    "io error: failed to fill whole buffer"}),
    [](const auto& info) { return std::string(info.param.name); });

// Damage the format itself would let through; each must be an Io error, whatever its
// wording, and never reach the index.
class PersistLoadStructure : public PersistLoad,
                             public ::testing::WithParamInterface<MessageCase> {};

TEST_P(PersistLoadStructure, IsRejected) {
  GraphSpec g = sample_graph();
  GetParam().damage(g);
  write(g);
  write_vectors(vectors_bytes(sample_vectors(), 2));
  const std::string message = load_error();
  EXPECT_EQ(message.rfind("io error: ", 0), 0u) << message;
  EXPECT_NE(message.find(GetParam().message), std::string::npos) << message;
}

INSTANTIATE_TEST_SUITE_P(
    Slots, PersistLoadStructure,
    ::testing::Values(
        MessageCase{"DeletedSlotPastEnd", [](GraphSpec& g) { g.deleted = {4}; }, "deleted slot 4"},
        MessageCase{"NeighbourPastEnd", [](GraphSpec& g) { g.nodes[1][0][1] = 4; }, "slot 4"},
        MessageCase{"UpperNeighbourPastEnd", [](GraphSpec& g) { g.nodes[3][1][0] = 0xFFFFFFFF; },
                    "slot 4294967295"},
        MessageCase{"EntryPastEnd", [](GraphSpec& g) { g.entry = 4; }, "entry point"},
        MessageCase{"NoEntryWithNodes", [](GraphSpec& g) { g.entry = kNoEntry; }, "entry point"},
        MessageCase{"EntryWithoutNodes",
                    [](GraphSpec& g) {
                      g.nodes.clear();
                      g.deleted.clear();
                      g.entries.clear();
                    },
                    "entry point"},
        MessageCase{"MaxLevelAboveEntryLevel", [](GraphSpec& g) { g.max_level = 2; }, "max level"},
        MessageCase{"EntryOnLowerNode", [](GraphSpec& g) { g.entry = 1; }, "max level"},
        MessageCase{"Layer0OverCap",
                    [](GraphSpec& g) {
                      g.nodes[1][0] = {0, 2, 3, 0, 2};
                    },
                    "cap of 4"},
        MessageCase{"UpperLayerOverCap",
                    [](GraphSpec& g) {
                      g.nodes[0][1] = {1, 2, 3};
                    },
                    "cap of 2"},
        MessageCase{"NoLayers", [](GraphSpec& g) { g.nodes[2].clear(); }, "0 layers"},
        MessageCase{"TooManyLayers", [](GraphSpec& g) { g.nodes[2].resize(kMaxLayerCount + 1); },
                    "65 layers"},
        MessageCase{"MBelowTwo", [](GraphSpec& g) { g.m = 1; }, "m = 1"},
        MessageCase{"HugeM", [](GraphSpec& g) { g.m = 0x10000000; }, "m = 268435456, above 256"},
        MessageCase{"MAboveTheLargestCreatable", [](GraphSpec& g) { g.m = 257; },
                    "m = 257, above 256"},
        MessageCase{"DimZero", [](GraphSpec& g) { g.dim = 0; }, "dimension 0"},
        MessageCase{"EfConstructionZero", [](GraphSpec& g) { g.ef = 0; }, "ef_construction 0"},
        MessageCase{"EntrySlotPastEnd", [](GraphSpec& g) { g.entries[1].slot = 4; }, "slot 4"},
        MessageCase{"EntryOnDeletedSlot", [](GraphSpec& g) { g.entries[1].slot = 2; },
                    "deleted slot 2"},
        MessageCase{"TwoEntriesOneSlot", [](GraphSpec& g) { g.entries[2].slot = 0; }, "twice"}),
    [](const auto& info) { return std::string(info.param.name); });

class PersistLoadVectorsSize : public PersistLoad, public ::testing::WithParamInterface<int> {};

TEST_P(PersistLoadVectorsSize, OtherThanNodesTimesDimPlusOneFloatsIsRejected) {
  write(sample_graph());
  std::string bytes = vectors_bytes(sample_vectors(), 2);
  const int delta = GetParam();
  if (delta < 0) {
    bytes.resize(bytes.size() - static_cast<size_t>(-delta));
  } else {
    bytes.append(static_cast<size_t>(delta), '\0');
  }
  write_vectors(bytes);
  EXPECT_NE(load_error().find("vectors.bin"), std::string::npos);
}

// A float short or long, a stray byte, one whole slot more, nothing at all.
INSTANTIATE_TEST_SUITE_P(Deltas, PersistLoadVectorsSize, ::testing::Values(-4, 4, -1, 1, 12, -48));

std::string sq8_bytes(uint32_t dim, size_t code_bytes) {
  std::string out;
  put_u32(out, dim);
  for (uint32_t j = 0; j < dim; ++j) put_f32(out, -1.0f);
  for (uint32_t j = 0; j < dim; ++j) put_f32(out, 0.5f);
  for (size_t i = 0; i < code_bytes; ++i) out.push_back(static_cast<char>(i * 37));
  return out;
}

TEST_F(PersistLoad, QuantizerFileIsInstalled) {
  write_sample();
  write_file(dir_.file("vectors.sq8"), sq8_bytes(2, 8));
  Result<LoadedIndex> loaded = load();
  ASSERT_TRUE(loaded.ok()) << loaded.error().message();
  const auto& q = loaded.value().index->quantized();
  ASSERT_TRUE(q.has_value());
  EXPECT_EQ(q->quantizer.dim, 2u);
  EXPECT_EQ(q->quantizer.mins, std::vector<float>({-1.0f, -1.0f}));
  EXPECT_EQ(q->quantizer.scales, std::vector<float>({0.5f, 0.5f}));
  ASSERT_EQ(q->row_count(), 4u);
  EXPECT_EQ(q->codes(1)[1], static_cast<uint8_t>(3 * 37));
}

struct Sq8Case {
  const char* name;
  std::string bytes;
  std::string message;  // substring
};

class PersistLoadSq8 : public PersistLoad, public ::testing::WithParamInterface<Sq8Case> {};

TEST_P(PersistLoadSq8, DamagedQuantizerFileFailsTheLoad) {
  write_sample();
  write_file(dir_.file("vectors.sq8"), GetParam().bytes);
  const std::string message = load_error();
  EXPECT_NE(message.find(GetParam().message), std::string::npos) << message;
}

INSTANTIATE_TEST_SUITE_P(
    Files, PersistLoadSq8,
    ::testing::Values(Sq8Case{"ThreeBytes", "\x02\x00\x00",
                              "io error: failed to fill whole buffer"},
                      Sq8Case{"ParametersCut", sq8_bytes(2, 0).substr(0, 15),
                              "io error: failed to fill whole buffer"},
                      Sq8Case{"OtherDim", sq8_bytes(4, 16), "dimension 4"},
                      Sq8Case{"HugeDim", sq8_bytes(2, 8).replace(0, 4, "\xff\xff\xff\xff"),
                              "dimension 4294967295"},
                      Sq8Case{"CodesShort", sq8_bytes(2, 7), "code bytes"},
                      Sq8Case{"CodesLong", sq8_bytes(2, 9), "code bytes"},
                      Sq8Case{"NoCodes", sq8_bytes(2, 0), "code bytes"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PersistLoad, ParametersWithoutCodesLoadForAnEmptyGraph) {
  GraphSpec g;
  g.entry = kNoEntry;
  g.max_level = 0;
  write(g);
  write_vectors("");
  write_file(dir_.file("vectors.sq8"), sq8_bytes(2, 0));
  Result<LoadedIndex> loaded = load();
  ASSERT_TRUE(loaded.ok()) << loaded.error().message();
  ASSERT_TRUE(loaded.value().index->quantized().has_value());
  EXPECT_EQ(loaded.value().index->quantized()->row_count(), 0u);
}

TEST_F(PersistLoad, MissingFilesAreOperatingSystemErrors) {
  write(sample_graph());
  const std::string message = load_error();
  EXPECT_NE(message.find("(os error 2)"), std::string::npos) << message;
}

// ---- UTF-8 faults: the position and length of the first broken character.

struct Utf8Case {
  std::string text;
  std::optional<std::string> fault;
};

class PersistUtf8 : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(PersistUtf8, NamesTheFirstBrokenCharacter) {
  EXPECT_EQ(utf8_error(GetParam().text), GetParam().fault);
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, PersistUtf8,
    ::testing::Values(
        Utf8Case{"", std::nullopt}, Utf8Case{"plain", std::nullopt},
        Utf8Case{"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf", std::nullopt},
        Utf8Case{"\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
        Utf8Case{"ab\xc0\x80", "invalid utf-8 sequence of 1 bytes from index 2"},  // overlong
        Utf8Case{"\xc3(", "invalid utf-8 sequence of 1 bytes from index 0"},
        Utf8Case{"\xe0\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},  // overlong
        Utf8Case{"\xed\xa0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},  // surrogate
        Utf8Case{"\xf4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
        Utf8Case{"\xf5\x80\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
        Utf8Case{"\xe2\x82(", "invalid utf-8 sequence of 2 bytes from index 0"},
        Utf8Case{"a\xf0\x9f\x98(", "invalid utf-8 sequence of 3 bytes from index 1"},
        Utf8Case{"\xc3", "incomplete utf-8 byte sequence from index 0"},
        Utf8Case{"xy\xe2\x82", "incomplete utf-8 byte sequence from index 2"},
        Utf8Case{"\xf0\x9f\x98", "incomplete utf-8 byte sequence from index 0"},
        Utf8Case{"\xe0\x80", "invalid utf-8 sequence of 1 bytes from index 0"}));

// ---- Writing.

TEST(PersistSave, TemporaryNameReplacesTheExtension) {
  EXPECT_EQ(temporary_path("/d/vectors.bin"), "/d/vectors.tmp");
  EXPECT_EQ(temporary_path("/d/vectors.sq8"), "/d/vectors.tmp");
  EXPECT_EQ(temporary_path("rel/graph.dralm"), "rel/graph.tmp");
  EXPECT_EQ(temporary_path("a.b/graph"), "a.b/graph.tmp");
}

TEST(PersistSave, EmptyIndexWritesTheBareHeaders) {
  TempDir dir;
  HnswIndex index(index_params(4, Metric::DotProduct, 16, 200));
  ASSERT_TRUE(write_graph_file(index, {}, dir.file("graph.dralm")).ok());
  EXPECT_TRUE(fs::exists(dir.file("graph.tmp")));  // written, not yet committed
  EXPECT_FALSE(fs::exists(dir.file("graph.dralm")));
  ASSERT_TRUE(commit_file(dir.file("graph.dralm")).ok());
  ASSERT_TRUE(write_vectors_file(index, dir.file("vectors.bin")).ok());
  ASSERT_TRUE(commit_file(dir.file("vectors.bin")).ok());
  GraphSpec expected;
  expected.dim = 4;
  expected.metric = 2;
  expected.m = 16;
  expected.ef = 200;
  expected.entry = 0xFFFFFFFF;
  expected.max_level = 0;
  const std::string bytes = read_file(dir.file("graph.dralm"));
  EXPECT_EQ(bytes.size(), kGraphHeaderSize + kMetadataHeaderSize);
  EXPECT_EQ(bytes, expected.bytes());
  EXPECT_EQ(bytes.substr(0, 4), "GWSH");
  EXPECT_EQ(bytes[12], 2);
  EXPECT_EQ(bytes.substr(37, 4), "ATEM");
  EXPECT_EQ(read_file(dir.file("vectors.bin")), "");
  EXPECT_FALSE(fs::exists(dir.file("graph.tmp")));
  EXPECT_FALSE(fs::exists(dir.file("vectors.tmp")));
}

// The index the sample file describes, built through restore.
std::unique_ptr<HnswIndex> sample_index() {
  const GraphSpec spec = sample_graph();
  VectorStore store;
  store.owned() = sample_vectors();
  std::vector<float> norms = {1, 1, 5, std::sqrt(2.0f)};
  std::vector<uint32_t> layers = {2, 1, 1, 2};
  auto index = HnswIndex::restore(index_params(2, Metric::Euclidean, 2, 10), std::move(store),
                                  std::move(norms), layers, 0, 1, {2});
  for (Slot s = 0; s < 4; ++s) {
    for (size_t l = 0; l < spec.nodes[s].size(); ++l) index->set_neighbours(s, l, spec.nodes[s][l]);
  }
  return index;
}

TEST(PersistSave, GraphFileHasTheExactBytes) {
  TempDir dir;
  auto index = sample_index();
  const GraphSpec spec = sample_graph();
  std::vector<std::optional<JsonValue>> metadata;
  std::vector<MetadataEntryView> entries;
  metadata.reserve(spec.entries.size());
  for (const auto& e : spec.entries) {
    metadata.push_back(e.text.empty() ? std::nullopt
                                      : std::optional<JsonValue>(parse_json(e.text).value()));
  }
  for (size_t i = 0; i < spec.entries.size(); ++i) {
    entries.push_back(
        {spec.entries[i].slot, spec.entries[i].id, metadata[i] ? &*metadata[i] : nullptr});
  }
  ASSERT_TRUE(write_graph_file(*index, entries, dir.file("graph.dralm")).ok());
  ASSERT_TRUE(commit_file(dir.file("graph.dralm")).ok());
  EXPECT_EQ(read_file(dir.file("graph.dralm")), spec.bytes());
  ASSERT_TRUE(write_vectors_file(*index, dir.file("vectors.bin")).ok());
  ASSERT_TRUE(commit_file(dir.file("vectors.bin")).ok());
  const std::string vectors = read_file(dir.file("vectors.bin"));
  ASSERT_EQ(vectors.size(), 4u * 4 * (2 + 1));
  EXPECT_EQ(vectors.substr(0, 32), vectors_bytes(sample_vectors(), 2).substr(0, 32));
}

TEST(PersistSave, QuantizerOfNoVectorsDecodesToFiniteValues) {
  TempDir dir;
  HnswIndex index(index_params(3, Metric::Cosine));
  ASSERT_TRUE(write_sq8_file(index, dir.file("vectors.sq8")).ok());
  const std::string bytes = read_file(dir.file("vectors.sq8"));
  ASSERT_EQ(bytes.size(), 4u + 8 * 3);
  Result<Sq8File> state =
      read_quantizer({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
  ASSERT_TRUE(state.ok());
  EXPECT_EQ(state.value().quantizer.mins, std::vector<float>(3, 0.0f));
  EXPECT_EQ(state.value().quantizer.scales, std::vector<float>(3, 1.0f));
}

// ---- Round trips of indexes built by insertion, with deletions and metadata.

struct RoundTripCase {
  uint64_t dim;
  Metric metric;
  size_t count;
  bool quantize;
};

class PersistRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(PersistRoundTrip, FilesMatchTheFormulaAndLoadBackEqual) {
  const RoundTripCase c = GetParam();
  TempDir dir;
  HnswIndex index(index_params(c.dim, c.metric, 4, 32));
  std::mt19937 rng(7);
  std::normal_distribution<float> normal;
  std::vector<float> vector(c.dim);
  for (size_t i = 0; i < c.count; ++i) {
    for (float& x : vector) x = normal(rng);
    index.insert(vector);
  }
  for (size_t i = 0; i < c.count; i += 3) index.mark_deleted(static_cast<Slot>(i));

  std::vector<std::string> ids;
  std::vector<std::optional<JsonValue>> metadata(c.count);
  std::vector<MetadataEntryView> entries;
  ids.reserve(c.count);
  for (size_t i = 0; i < c.count; ++i) ids.push_back("id-" + std::to_string(i) + "\xc3\xa9");
  for (size_t i = 0; i < c.count; ++i) {
    if (i % 3 == 0) continue;  // deleted: no entry
    if (i % 2 == 0) metadata[i] = parse_json(R"({"i":)" + std::to_string(i) + "}").value();
    entries.push_back({static_cast<Slot>(i), ids[i], metadata[i] ? &*metadata[i] : nullptr});
  }
  ASSERT_TRUE(write_vectors_file(index, dir.file("vectors.bin")).ok());
  ASSERT_TRUE(commit_file(dir.file("vectors.bin")).ok());
  if (c.quantize) {
    ASSERT_TRUE(write_sq8_file(index, dir.file("vectors.sq8")).ok());
  }
  ASSERT_TRUE(write_graph_file(index, entries, dir.file("graph.dralm")).ok());
  ASSERT_TRUE(commit_file(dir.file("graph.dralm")).ok());

  uint64_t graph_size = 37 + 4 * index.deleted().size() + 8;
  for (Slot s = 0; s < c.count; ++s) {
    graph_size += 4;
    for (size_t l = 0; l < index.layer_count(s); ++l) {
      graph_size += 4 + 4 * index.neighbour_count(s, l);
    }
  }
  for (const auto& e : entries) {
    graph_size += 12 + e.id.size();
    if (e.metadata != nullptr) graph_size += e.metadata->serialise().size();
  }
  EXPECT_EQ(fs::file_size(dir.file("graph.dralm")), graph_size);
  EXPECT_EQ(fs::file_size(dir.file("vectors.bin")), 4 * c.count * (c.dim + 1));
  if (c.quantize) {
    EXPECT_EQ(fs::file_size(dir.file("vectors.sq8")), 4 + 8 * c.dim + c.count * c.dim);
  }

  Result<LoadedIndex> loaded =
      load_index(dir.file("graph.dralm"), dir.file("vectors.bin"), dir.file("vectors.sq8"));
  ASSERT_TRUE(loaded.ok()) << loaded.error().message();
  const HnswIndex& back = *loaded.value().index;
  EXPECT_EQ(back.metric(), c.metric);
  EXPECT_EQ(back.m(), 4u);
  EXPECT_EQ(back.ef_construction(), 32u);
  EXPECT_EQ(back.entry_point(), index.entry_point());
  EXPECT_EQ(back.max_level(), index.max_level());
  EXPECT_EQ(back.deleted(), index.deleted());
  EXPECT_EQ(back.live_count(), index.live_count());
  ASSERT_EQ(back.node_count(), c.count);
  for (Slot s = 0; s < c.count; ++s) {
    ASSERT_EQ(back.layer_count(s), index.layer_count(s));
    for (size_t l = 0; l < index.layer_count(s); ++l) {
      EXPECT_EQ(back.neighbours(s, l), index.neighbours(s, l));
    }
    EXPECT_TRUE(std::equal(back.vector(s).begin(), back.vector(s).end(), index.vector(s).begin()));
    EXPECT_EQ(back.norms()[s], index.norms()[s]);
  }
  ASSERT_EQ(loaded.value().entries.size(), entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    const MetadataEntry& e = loaded.value().entries[i];
    EXPECT_EQ(e.slot, entries[i].slot);
    EXPECT_EQ(e.id, entries[i].id);
    const JsonValue* got = loaded.value().metadata[e.slot];
    ASSERT_EQ(got != nullptr, entries[i].metadata != nullptr);
    if (got != nullptr) {
      EXPECT_EQ(*got, *entries[i].metadata);
    }
  }
  EXPECT_EQ(back.quantized().has_value(), c.quantize);
  if (c.quantize) {
    // Trained afresh over the live slots; every slot, deleted ones included, is coded.
    const std::vector<float> all = stored_vectors(index);
    const Sq8Quantizer expected =
        train(all, c.dim, [&](size_t slot) { return !index.is_deleted(static_cast<Slot>(slot)); });
    EXPECT_EQ(back.quantized()->quantizer.mins, expected.mins);
    EXPECT_EQ(back.quantized()->quantizer.scales, expected.scales);
    EXPECT_EQ(back.quantized()->rows, encode_state(expected, back.metric(), all).rows);
  }
  // The loaded index answers like the one that was saved.
  if (c.count > 0) {
    for (float& x : vector) x = normal(rng);
    const auto a = index.search(vector, 5, 50);
    const auto b = back.search(vector, 5, 50);
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i) {
      EXPECT_EQ(a[i].slot, b[i].slot);
      EXPECT_EQ(a[i].distance, b[i].distance);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, PersistRoundTrip,
                         ::testing::Values(RoundTripCase{3, Metric::Cosine, 0, true},
                                           RoundTripCase{1, Metric::Euclidean, 1, false},
                                           RoundTripCase{5, Metric::DotProduct, 40, true},
                                           RoundTripCase{16, Metric::Euclidean, 300, false},
                                           RoundTripCase{8, Metric::Cosine, 300, true}));

}  // namespace
}  // namespace dralm
