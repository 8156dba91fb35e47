// Every Database method that takes arguments is declared once here: its name, its
// parameters in order (the first `required` of them mandatory) and the docstring Python
// shows. The argument parser and the method table both read these declarations; the
// docstring's first line is the text signature that inspect.signature reads, and the
// compiler checks that it names the same parameters in the same order (a test holds the
// type stubs to those text signatures).
#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>

namespace dralm::py {

template <size_t N>
struct MethodSignature {
  const char* name;
  const char* parameters[N];
  size_t required;
  const char* doc;
};

// True when `doc` starts with "name($self" followed by ", parameter" for each
// parameter in order (each optionally followed by a default "=..."), then ")\n--\n\n".
template <size_t N>
constexpr bool text_signature_matches(const MethodSignature<N>& method) {
  std::string_view doc(method.doc);
  const auto take = [&doc](std::string_view expected) {
    if (!doc.starts_with(expected)) return false;
    doc.remove_prefix(expected.size());
    return true;
  };
  if (!take(method.name) || !take("($self")) return false;
  for (const char* parameter : method.parameters) {
    if (!take(", ") || !take(parameter)) return false;
    if (doc.starts_with("=")) doc.remove_prefix(std::min(doc.find_first_of(",)"), doc.size()));
  }
  return take(")\n--\n\n");
}

// Declares a method, its parameter count taken from the list. A declaration whose
// docstring does not match its parameters fails to compile.
template <size_t N>
consteval MethodSignature<N> declare(const char* name, const char* const (&parameters)[N],
                                     size_t required, const char* doc) {
  MethodSignature<N> method{name, {}, required, doc};
  std::copy(parameters, parameters + N, method.parameters);
  if (required > N || !text_signature_matches(method)) {
    throw "the docstring's text signature must list the method's parameters";
  }
  return method;
}

inline constexpr auto kAdd = declare("add", {"id", "vector", "metadata"}, 2,
                                     "add($self, id, vector, metadata=None)\n--\n\n");
inline constexpr auto kUpsert =
    declare("upsert", {"id", "vector", "metadata"}, 2,
            "upsert($self, id, vector, metadata=None)\n--\n\nAdd or update a vector.");
inline constexpr auto kAddMany = declare("add_many", {"ids", "vectors", "metadatas"}, 2,
                                         "add_many($self, ids, vectors, metadatas=None)\n--\n\n");
inline constexpr auto kUpsertMany =
    declare("upsert_many", {"ids", "vectors", "metadatas"}, 2,
            "upsert_many($self, ids, vectors, metadatas=None)\n--\n\n"
            "Batch upsert \u2014 inserts new vectors, updates existing ones.");
inline constexpr auto kUpdate = declare("update", {"id", "vector", "metadata"}, 1,
                                        "update($self, id, vector=None, metadata=None)\n--\n\n");
inline constexpr auto kDelete = declare("delete", {"id"}, 1, "delete($self, id)\n--\n\n");
inline constexpr auto kDeleteMany =
    declare("delete_many", {"ids"}, 1, "delete_many($self, ids)\n--\n\n");
inline constexpr auto kSearch = declare(
    "search", {"vector", "k", "ef_search", "where_filter", "max_distance"}, 1,
    "search($self, vector, k=10, ef_search=None, where_filter=None, max_distance=None)\n--\n\n"
    "Search for the k nearest neighbors.\n"
    "Returns list of SearchResult objects with .id, .distance, .metadata attributes.\n"
    "`where_filter`: optional dict like {\"field\": \"value\"} or "
    "{\"field\": {\"$ne\": \"value\"}}\n"
    "`max_distance`: optional float \u2014 discard results beyond this distance.");
inline constexpr auto kSearchMany =
    declare("search_many", {"vectors", "k", "ef_search", "where_filter", "max_distance"}, 1,
            "search_many($self, vectors, k=10, ef_search=None, where_filter=None, "
            "max_distance=None)\n--\n\n"
            "Search multiple queries in parallel. Returns list of list of SearchResult.\n"
            "`where_filter`: optional metadata filter (same syntax as search).\n"
            "`max_distance`: optional float \u2014 discard results beyond this distance.");
inline constexpr auto kGet = declare("get", {"id"}, 1, "get($self, id)\n--\n\n");
inline constexpr auto kCount =
    declare("count", {"where_filter"}, 0,
            "count($self, where_filter=None)\n--\n\n"
            "Count vectors matching a filter, or all vectors if no filter.");
inline constexpr auto kSearchArrays =
    declare("search_arrays", {"vectors", "k", "ef_search", "where_filter", "max_distance"}, 1,
            "search_arrays($self, vectors, k=10, ef_search=None, where_filter=None, "
            "max_distance=None)\n--\n\n"
            "Search like search_many and return NumPy arrays (ids, distances), both of\n"
            "shape (len(vectors), k): ids an object array of str, distances float32.\n"
            "Rows with fewer than k hits are padded with None and inf.");
inline constexpr auto kGetMany =
    declare("get_many", {"ids"}, 1,
            "get_many($self, ids)\n--\n\n"
            "Read many vectors at once. Returns (vectors, metadatas): a float32 array of\n"
            "shape (len(ids), dim) in the order of ids, and a list of dicts or None.\n"
            "Raises ValueError naming the first id that is not stored, like get.");
inline constexpr auto kIdsMatching =
    declare("ids_matching", {"where_filter"}, 1,
            "ids_matching($self, where_filter)\n--\n\n"
            "List the ids of every vector whose metadata matches the filter (the vectors\n"
            "count(where_filter) counts), in insertion order. Exact at any size.");
inline constexpr auto kExport =
    declare("export", {"batch_size"}, 0,
            "export($self, batch_size=1024)\n--\n\n"
            "Iterate over every stored vector in chunks of at most batch_size, for backup\n"
            "or migration. Each chunk is (ids, vectors, metadatas): a list of str, a\n"
            "float32 array of shape (len(ids), dim) and a list of dicts or None. Items\n"
            "come in insertion order; only one chunk is held in memory at a time.");
inline constexpr auto kEnableQuantizedSearch =
    declare("enable_quantized_search", {"bits"}, 0,
            "enable_quantized_search($self, bits=8)\n--\n\n"
            "Enable quantized search: uses SQ8 quantized vectors for faster HNSW traversal\n"
            "with full-precision re-ranking. Automatically enabled when quantize=True is set.\n"
            "bits=4 traverses on 4-bit codes instead (half the bytes of SQ8, faster still);\n"
            "results are re-ranked exactly either way. Raises ValueError for any other bits.\n"
            "The property quantized_search_bits and stats() report the bits in use.");
inline constexpr auto kExit =
    declare("__exit__", {"_exc_type", "_exc_val", "_exc_tb"}, 0,
            "__exit__($self, _exc_type=None, _exc_val=None, _exc_tb=None)\n--\n\n");

}  // namespace dralm::py
