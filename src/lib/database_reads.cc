// The query and lookup methods: search and search_many release the interpreter lock
// for the engine; get, ids and count are quick reads that keep it.
#include <array>
#include <cmath>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "args.h"
#include "convert.h"
#include "database_methods.h"
#include "database_object.h"
#include "filter_parse.h"
#include "results.h"
#include "search_result.h"
#include "vector_input.h"

namespace dralm::py {
namespace {

// The arguments the two searches share, after the query itself.
struct SearchArguments {
  SearchOptions options;
  std::optional<FilterExpr> filter;  // options.filter points here when set
};

bool to_search_arguments(const std::array<PyObject*, 5>& arguments, const char* method,
                         SearchArguments& out) {
  if (arguments[1] != nullptr && !to_u64(arguments[1], {method, "k"}, out.options.k)) {
    return false;
  }
  if (!to_optional_u64(arguments[2], {method, "ef_search"}, out.options.ef_search) ||
      !to_filter(arguments[3], {method, "where_filter"}, out.filter) ||
      !to_optional_f32(arguments[4], {method, "max_distance"}, out.options.max_distance)) {
    return false;
  }
  // No distance compares below a NaN bound, so it would silently find nothing.
  if (out.options.max_distance && std::isnan(*out.options.max_distance)) {
    PyErr_SetString(PyExc_ValueError, "max_distance must not be NaN");
    return false;
  }
  out.options.filter = out.filter ? &*out.filter : nullptr;
  return true;
}

}  // namespace

PyObject* database_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return run_method(self, [&](Database& database) -> PyObject* {
    std::array<PyObject*, 5> arguments;
    if (!parse_arguments(kSearch, args, nargs, kwnames, arguments)) return nullptr;
    std::vector<float> query;
    SearchArguments search;
    if (!to_vector(arguments[0], {"search", "vector"}, query) ||
        !to_search_arguments(arguments, "search", search)) {
      return nullptr;
    }
    Result<std::vector<QueryHit>> hits =
        without_gil([&] { return database.search(query, search.options); });
    if (!hits.ok()) return raise_db_error(hits.error());
    return hits_to_list(hits.value());
  });
}

PyObject* database_search_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return run_method(self, [&](Database& database) -> PyObject* {
    std::array<PyObject*, 5> arguments;
    if (!parse_arguments(kSearchMany, args, nargs, kwnames, arguments)) return nullptr;
    VectorBatch queries;
    if (!to_vector_batch(arguments[0], {"search_many", "vectors"}, queries)) return nullptr;
    SearchArguments search;
    if (!to_search_arguments(arguments, "search_many", search)) return nullptr;
    Result<std::vector<std::vector<QueryHit>>> lists =
        without_gil([&] { return database.search_many(queries, search.options); });
    if (!lists.ok()) return raise_db_error(lists.error());
    return hit_lists_to_list(lists.value());
  });
}

PyObject* database_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_method(self, [&](Database& database) -> PyObject* {
    std::array<PyObject*, 1> arguments;
    if (!parse_arguments(kGet, args, nargs, kwnames, arguments)) return nullptr;
    std::string id;
    if (!to_string(arguments[0], {"get", "id"}, id)) return nullptr;
    const Result<GetResult> result = database.get(id);
    if (!result.ok()) return raise_db_error(result.error());
    return get_result_to_python(result.value());
  });
}

PyObject* database_ids(PyObject* self, PyObject*) {
  return run_method(
      self, [&](Database& database) -> PyObject* { return strings_to_list(database.ids()); });
}

PyObject* database_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return run_method(self, [&](Database& database) -> PyObject* {
    std::array<PyObject*, 1> arguments;
    if (!parse_arguments(kCount, args, nargs, kwnames, arguments)) return nullptr;
    std::optional<FilterExpr> filter;
    if (!to_filter(arguments[0], {"count", "where_filter"}, filter)) return nullptr;
    return PyLong_FromUnsignedLongLong(database.count(filter ? &*filter : nullptr));
  });
}

}  // namespace dralm::py
