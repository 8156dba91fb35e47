// Entry points shared by the libFuzzer harnesses (fuzz/*_fuzz.cc) and the regression
// replay test (core/tests/db/fuzz_regression_test.cc): each takes the bytes of one file of
// a database directory, opens a database over it the way a user would, and then uses
// what was loaded. A damaged file may be refused with an error; it may never crash,
// read out of bounds, or leave a database whose own answers contradict each other.
// Such a contradiction aborts, so the fuzzer and the replay test both see it.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "db/database.h"
#include "json/json.h"
#include "quantize/sq8.h"
#include "store/wal_record.h"

namespace dralm_fuzz {

using Bytes = std::vector<uint8_t>;

// Dimensions above this are loadable but too costly to write vectors into per input.
inline constexpr uint64_t kMaxExerciseDim = 1024;
inline constexpr uint64_t kSeedDim = 8;

[[noreturn]] inline void fail(const char* what, const std::string& detail = "") {
  std::fprintf(stderr, "dralm fuzz invariant broken: %s %s\n", what, detail.c_str());
  std::abort();
}

// A per-process directory; tmpfs when there is one, so each input costs no disk I/O.
inline std::string scratch_dir(const char* name) {
  static const std::string base = [] {
    std::error_code ec;
    std::string root = std::filesystem::is_directory("/dev/shm", ec) ? "/dev/shm" : "/tmp";
    // The directories live in memory: remove them when the process ends normally.
    std::atexit([] {
      std::error_code ignored;
      const std::string mine = "dralm-fuzz-" + std::to_string(::getpid()) + "-";
      for (const char* root : {"/dev/shm", "/tmp"}) {
        for (const auto& entry : std::filesystem::directory_iterator(root, ignored)) {
          if (entry.path().filename().string().rfind(mine, 0) == 0) {
            std::filesystem::remove_all(entry.path(), ignored);
          }
        }
      }
    });
    return root + "/dralm-fuzz-" + std::to_string(::getpid()) + "-";
  }();
  std::string path = base + name;
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  if (ec) fail("cannot create scratch directory", path);
  return path;
}

inline void clear_dir(const std::string& dir) {
  std::error_code ec;
  for (const char* f :
       {"graph.dralm", "vectors.bin", "vectors.sq8", "wal.dralm", "graph.tmp", "vectors.tmp"}) {
    std::filesystem::remove(dir + "/" + f, ec);
  }
  // Copies that open keeps of a log damaged in the middle (wal.dralm.damaged, .1, ...):
  // left to pile up, every input would add one and each open would step over them all.
  std::vector<std::filesystem::path> copies;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    if (entry.path().filename().string().rfind("wal.dralm.damaged", 0) == 0) {
      copies.push_back(entry.path());
    }
  }
  for (const auto& copy : copies) std::filesystem::remove(copy, ec);
}

inline void write_file(const std::string& path, const uint8_t* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  if (!out) fail("cannot write scratch file", path);
}

inline Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline std::unique_ptr<dralm::Database> open_db(const std::string& dir, uint64_t dim,
                                                bool quantize = false) {
  dralm::OpenOptions options;
  options.path = dir;
  options.dim = dim;
  options.metric = "euclidean";
  options.quantize = quantize;
  dralm::Result<std::unique_ptr<dralm::Database>> outcome = dralm::Database::open(options);
  if (!outcome.ok() && outcome.error().message().rfind("io error: ", 0) != 0) {
    // With dim given, every refusal of a damaged directory is an I/O error.
    fail("open refused with a non-io message:", outcome.error().message());
  }
  if (!outcome.ok()) return nullptr;
  return std::move(outcome.value());
}

inline dralm::JsonValue small_object(uint64_t n) {
  dralm::JsonObject object;
  object.emplace("n", dralm::JsonValue::unsigned_int(n));
  object.emplace("s", dralm::JsonValue::string("é" + std::to_string(n % 3)));
  return dralm::JsonValue::object(std::move(object));
}

// The real files of a small saved database: 40 vectors of kSeedDim floats with
// metadata, three of them deleted, saved with SQ8 codes.
struct SeedFiles {
  Bytes graph, vectors, sq8;
};

inline const SeedFiles& seed_files() {
  static SeedFiles seeds = [] {
    std::string dir = scratch_dir("seed");
    clear_dir(dir);
    auto db = open_db(dir, kSeedDim, /*quantize=*/true);
    if (!db) fail("cannot create the seed database");
    for (uint64_t i = 0; i < 40; ++i) {
      std::vector<float> v(kSeedDim);
      for (uint64_t j = 0; j < kSeedDim; ++j) v[j] = float((i * 7 + j * 3) % 11) - 5.0f;
      if (!db->add("id" + std::to_string(i), v, small_object(i)).ok()) fail("seed add");
    }
    for (const char* id : {"id3", "id17", "id39"}) (void)db->remove(id);
    if (!db->save().ok()) fail("seed save");
    db.reset();
    SeedFiles files{read_file(dir + "/graph.dralm"), read_file(dir + "/vectors.bin"),
                    read_file(dir + "/vectors.sq8")};
    clear_dir(dir);
    return files;
  }();
  return seeds;
}

// Writes the harness's own saved files (the ones run_vectors and run_sq8 pair their
// inputs with) into `dir` as seeds, when the fuzzer is started with
// DRALM_FUZZ_SEED_DIR=<corpus dir>.
inline void write_own_seed(const char* loader) {
  const char* dir = std::getenv("DRALM_FUZZ_SEED_DIR");
  if (dir == nullptr) return;
  const SeedFiles& seeds = seed_files();
  const std::string name = loader;
  const Bytes& bytes = name == "vectors" ? seeds.vectors : name == "sq8" ? seeds.sq8 : seeds.graph;
  std::filesystem::create_directories(dir);
  write_file(std::string(dir) + "/harness-seed", bytes.data(), bytes.size());
}

// Uses a database the way a program would after opening it and checks that its
// answers agree with each other: every listed id can be fetched with dim floats, the
// length equals the number of ids, and writes, compaction and save work on it.
inline void exercise(dralm::Database& db) {
  const uint64_t dim = db.dim();
  std::vector<std::string> ids = db.ids();
  if (ids.size() != db.live_count()) {
    fail("ids() and the live count disagree:",
         std::to_string(ids.size()) + " vs " + std::to_string(db.live_count()));
  }
  for (const std::string& id : ids) {
    auto got = db.get(id);
    if (!got.ok()) fail("a listed id cannot be fetched:", got.error().message());
    if (got.value().vector.size() != dim) fail("fetched vector has the wrong length");
  }
  if (dim == 0 || dim > kMaxExerciseDim) return;
  std::vector<float> query(dim, 0.25f);
  dralm::SearchOptions options;
  options.k = 5;
  auto hits = db.search(query, options);
  if (!hits.ok()) fail("search failed:", hits.error().message());
  for (const auto& hit : hits.value()) {
    if (!db.contains(hit.id)) fail("search returned an id that is not live:", hit.id);
  }
  // Inserting walks the loaded graph from its entry point through every layer.
  std::vector<float> a(dim, 1.5f), b(dim, -2.0f);
  if (!db.add("fuzz-a", a, small_object(1)).ok() && !db.contains("fuzz-a")) {
    fail("add to a loaded database failed");
  }
  const std::string& victim = ids.empty() ? std::string("fuzz-a") : ids.front();
  if (!db.upsert(victim, b, std::nullopt).ok()) fail("upsert of a live id failed");
  if (!db.update(victim, a, small_object(2)).ok()) fail("update of a live id failed");
  auto removed = db.remove(victim);
  if (!removed.ok() || !removed.value()) fail("delete of a live id failed");
  if (!db.enable_quantized_search().ok()) fail("enabling quantized search failed");
  if (!db.search(query, options).ok()) fail("quantized search failed");
  if (!db.compact().ok()) fail("compaction failed");
  if (db.deleted_count() != 0) fail("compaction left deleted slots");
  if (db.ids().size() != db.live_count()) fail("ids and live count disagree after compact");
  (void)db.stats();
}

// ---- graph.dralm ----------------------------------------------------------------

inline uint32_t read_u32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// vectors.bin of exactly the size the header asks for (when that size is modest), so
// inputs get past the size check and exercise the graph and metadata parsing.
inline Bytes vectors_for_header(const uint8_t* data, size_t size) {
  if (size < 37) return seed_files().vectors;
  const uint64_t dim = read_u32(data + 8);
  const uint64_t nodes = read_u32(data + 29);
  const uint64_t floats = nodes * (dim + 1);
  if (dim == 0 || floats > (1u << 18)) return seed_files().vectors;
  Bytes out(floats * 4);
  for (uint64_t i = 0; i < floats; ++i) {
    float f = float(i % 13) * 0.5f - 3.0f;
    std::memcpy(out.data() + i * 4, &f, 4);
  }
  return out;
}

inline int run_graph(const uint8_t* data, size_t size) {
  const std::string dir = scratch_dir("graph");
  clear_dir(dir);
  write_file(dir + "/graph.dralm", data, size);
  Bytes vectors = vectors_for_header(data, size);
  write_file(dir + "/vectors.bin", vectors.data(), vectors.size());
  if (auto db = open_db(dir, kSeedDim)) exercise(*db);
  return 0;
}

// ---- vectors.bin ----------------------------------------------------------------

inline int run_vectors(const uint8_t* data, size_t size) {
  const SeedFiles& seeds = seed_files();
  const std::string dir = scratch_dir("vectors");
  clear_dir(dir);
  write_file(dir + "/graph.dralm", seeds.graph.data(), seeds.graph.size());
  write_file(dir + "/vectors.bin", data, size);
  if (auto db = open_db(dir, kSeedDim)) exercise(*db);
  return 0;
}

// ---- vectors.sq8 ----------------------------------------------------------------

inline int run_sq8(const uint8_t* data, size_t size) {
  auto parsed = dralm::read_quantizer(std::span<const uint8_t>(data, size));
  if (parsed.ok()) {
    const dralm::Sq8File& q = parsed.value();
    const uint64_t dim = q.quantizer.dim;
    if (q.quantizer.mins.size() != dim || q.quantizer.scales.size() != dim) {
      fail("read_quantizer returned parameters of the wrong length");
    }
    if (q.quantizer.dim > 0 && q.quantizer.dim <= kMaxExerciseDim) {
      std::vector<float> out(q.quantizer.dim);
      for (size_t at = 0; at + q.quantizer.dim <= q.codes.size(); at += q.quantizer.dim) {
        dralm::decode(q.quantizer, q.codes.data() + at, out.data());
      }
    }
  }
  const SeedFiles& seeds = seed_files();
  const std::string dir = scratch_dir("sq8");
  clear_dir(dir);
  write_file(dir + "/graph.dralm", seeds.graph.data(), seeds.graph.size());
  write_file(dir + "/vectors.bin", seeds.vectors.data(), seeds.vectors.size());
  write_file(dir + "/vectors.sq8", data, size);
  if (auto db = open_db(dir, kSeedDim)) {
    dralm::SearchOptions options;
    std::vector<float> query(kSeedDim, 0.5f);
    if (!db->search(query, options).ok()) fail("search over loaded codes failed");
    exercise(*db);
  }
  return 0;
}

// ---- wal.dralm ------------------------------------------------------------------

inline bool same_record(const dralm::WalRecord& a, const dralm::WalRecord& b) {
  if (a.kind != b.kind || a.id != b.id || a.metadata_changed != b.metadata_changed) return false;
  if (a.vector.has_value() != b.vector.has_value() || a.metadata != b.metadata) return false;
  return !a.vector ||
         (a.vector->size() == b.vector->size() &&
          std::memcmp(a.vector->data(), b.vector->data(), a.vector->size() * sizeof(float)) == 0);
}

// Every record read back, encoded again and re-read, must come back the same.
inline void check_reencoding(const std::string& dir, const dralm::WalContents& contents) {
  std::string frames;
  for (const dralm::WalRecord& r : contents.records) {
    std::span<const float> vec;
    if (r.vector) vec = std::span<const float>(*r.vector);
    const dralm::JsonValue* meta = r.metadata ? &*r.metadata : nullptr;
    dralm::WalRecordView view;
    if (r.kind == dralm::WalKind::Insert) {
      view = dralm::WalRecordView::insert(r.id, vec, meta);
    } else if (r.kind == dralm::WalKind::Delete) {
      view = dralm::WalRecordView::remove(r.id);
    } else {
      view =
          dralm::WalRecordView::update(r.id, r.vector ? &vec : nullptr, r.metadata_changed, meta);
    }
    if (!dralm::encode_frame(view, frames).ok()) fail("a record read back cannot be encoded");
  }
  std::string path = dir + "/reencoded.dralm";
  write_file(path, reinterpret_cast<const uint8_t*>(frames.data()), frames.size());
  auto again = dralm::read_records(path);
  std::error_code ec;
  std::filesystem::remove(path, ec);
  if (!again.ok()) fail("re-encoded log unreadable:", again.error().message());
  if (again.value().records.size() != contents.records.size()) {
    fail("re-encoded log holds a different number of records");
  }
  for (size_t i = 0; i < contents.records.size(); ++i) {
    if (!same_record(again.value().records[i], contents.records[i])) {
      fail("record changed through encode and re-read, index", std::to_string(i));
    }
  }
  if (again.value().valid_length != frames.size()) fail("re-encoded log is not all valid");
}

inline int run_wal(const uint8_t* data, size_t size) {
  const std::string dir = scratch_dir("wal");
  clear_dir(dir);
  write_file(dir + "/wal.dralm", data, size);
  auto contents = dralm::read_records(dir + "/wal.dralm");
  if (!contents.ok()) fail("reading a regular log file failed:", contents.error().message());
  if (contents.value().valid_length > size || contents.value().file_length != size) {
    fail("log lengths out of range");
  }
  check_reencoding(dir, contents.value());

  // Replayed onto a new database (never saved) and onto saved files.
  if (auto db = open_db(dir, kSeedDim)) {
    exercise(*db);
  } else {
    fail("a log alone made open fail");
  }
  const SeedFiles& seeds = seed_files();
  clear_dir(dir);
  write_file(dir + "/graph.dralm", seeds.graph.data(), seeds.graph.size());
  write_file(dir + "/vectors.bin", seeds.vectors.data(), seeds.vectors.size());
  write_file(dir + "/wal.dralm", data, size);
  if (auto db = open_db(dir, kSeedDim)) {
    exercise(*db);
  } else {
    fail("a log over good saved files made open fail");
  }
  return 0;
}

}  // namespace dralm_fuzz
