// The query and lookup methods: search, search_many and search_arrays release the
// interpreter lock for the engine; get, ids and count are quick reads that keep it.
#include <algorithm>
#include <array>
#include <cassert>
#include <cmath>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "args.h"
#include "convert.h"
#include "database_methods.h"
#include "database_object.h"
#include "filter_parse.h"
#include "numpy_arrays.h"
#include "py_ref.h"
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

namespace {

// The hit lists as two (n, width) arrays: ids (object: str, None past a short row's
// end) and distances (float32, inf past the end).
PyObject* hit_lists_to_arrays(const std::vector<std::vector<QueryHit>>& lists, size_t width) {
  const size_t rows = lists.size();
  PyRef distances = new_float32_array(rows, width);
  if (!distances) return nullptr;
  PyRef flat_ids = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(rows * width)));
  if (!flat_ids) return nullptr;
  {
    FloatBuffer buffer;
    if (!buffer.acquire(distances.get())) return nullptr;
    const std::span<float> out = buffer.floats();
    std::fill(out.begin(), out.end(), std::numeric_limits<float>::infinity());
    for (size_t row = 0; row < rows; ++row) {
      const std::vector<QueryHit>& hits = lists[row];
      assert(hits.size() <= width);
      for (size_t column = 0; column < width; ++column) {
        const size_t at = row * width + column;
        PyObject* id = Py_NewRef(Py_None);
        if (column < hits.size()) {
          Py_DECREF(id);
          id = PyUnicode_DecodeUTF8(hits[column].id.data(),
                                    static_cast<Py_ssize_t>(hits[column].id.size()), "strict");
          if (id == nullptr) return nullptr;
          out[at] = hits[column].distance;
        }
        PyList_SET_ITEM(flat_ids.get(), static_cast<Py_ssize_t>(at), id);
      }
    }
  }
  PyRef ids = list_to_object_array(flat_ids.get(), rows, width);
  if (!ids) return nullptr;
  return PyTuple_Pack(2, ids.get(), distances.get());
}

}  // namespace

PyObject* database_search_arrays(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return run_method(self, [&](Database& database) -> PyObject* {
    std::array<PyObject*, 5> arguments;
    if (!parse_arguments(kSearchArrays, args, nargs, kwnames, arguments)) return nullptr;
    VectorBatch queries;
    if (!to_vector_batch(arguments[0], {"search_arrays", "vectors"}, queries)) return nullptr;
    SearchArguments search;
    if (!to_search_arguments(arguments, "search_arrays", search)) return nullptr;
    // Fail on a shape NumPy cannot hold (or without NumPy) before searching.
    if (!new_float32_array(queries.size(), search.options.k)) return nullptr;
    Result<std::vector<std::vector<QueryHit>>> lists =
        without_gil([&] { return database.search_many(queries, search.options); });
    if (!lists.ok()) return raise_db_error(lists.error());
    return hit_lists_to_arrays(lists.value(), search.options.k);
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

PyObject* database_ids_matching(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return run_method(self, [&](Database& database) -> PyObject* {
    std::array<PyObject*, 1> arguments;
    if (!parse_arguments(kIdsMatching, args, nargs, kwnames, arguments)) return nullptr;
    std::optional<FilterExpr> filter;
    if (!to_filter(arguments[0], {"ids_matching", "where_filter"}, filter)) return nullptr;
    if (!filter) return strings_to_list(database.ids());
    const std::vector<std::string> ids =
        without_gil([&] { return database.ids_matching(*filter); });
    return strings_to_list(ids);
  });
}

}  // namespace dralm::py
