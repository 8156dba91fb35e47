// The write methods: add, upsert, update, delete and their batch forms. Every
// argument is converted and checked before the engine is called, so a conversion
// failure changes nothing.
#include <array>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "args.h"
#include "convert.h"
#include "database_methods.h"
#include "database_object.h"
#include "vector_input.h"
#include "write_batch_input.h"

namespace dralm::py {
namespace {

using SingleWrite = Status (Database::*)(std::string_view, std::span<const float>,
                                         std::optional<JsonValue>);
using BatchWrite = Status (Database::*)(WriteBatch);

PyObject* status_to_none(const Status& status) {
  if (!status.ok()) return raise_db_error(status.error());
  Py_RETURN_NONE;
}

// add and upsert: (id, vector, metadata=None).
PyObject* write_one(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    const MethodSignature<3>& signature, SingleWrite write) {
  const char* method = signature.name;
  return run_method(self, [&](Database& database) -> PyObject* {
    std::array<PyObject*, 3> arguments;
    if (!parse_arguments(signature, args, nargs, kwnames, arguments)) return nullptr;
    std::string id;
    std::vector<float> vector;
    std::optional<JsonValue> metadata;
    if (!to_string(arguments[0], {method, "id"}, id) ||
        !to_vector(arguments[1], {method, "vector"}, vector) ||
        !to_metadata(arguments[2], {method, "metadata"}, metadata)) {
      return nullptr;
    }
    const Status status =
        without_gil([&] { return (database.*write)(id, vector, std::move(metadata)); });
    return status_to_none(status);
  });
}

// add_many and upsert_many: (ids, vectors, metadatas=None).
PyObject* write_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      const MethodSignature<3>& signature, BatchWrite write) {
  return run_method(self, [&](Database& database) -> PyObject* {
    std::array<PyObject*, 3> arguments;
    if (!parse_arguments(signature, args, nargs, kwnames, arguments)) return nullptr;
    WriteBatch batch;
    if (!to_write_batch(signature.name, arguments[0], arguments[1], arguments[2], batch)) {
      return nullptr;
    }
    const Status status = without_gil([&] { return (database.*write)(std::move(batch)); });
    return status_to_none(status);
  });
}

}  // namespace

PyObject* database_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return write_one(self, args, nargs, kwnames, kAdd, &Database::add);
}

PyObject* database_upsert(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return write_one(self, args, nargs, kwnames, kUpsert, &Database::upsert);
}

PyObject* database_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return run_method(self, [&](Database& database) -> PyObject* {
    std::array<PyObject*, 3> arguments;
    if (!parse_arguments(kUpdate, args, nargs, kwnames, arguments)) return nullptr;
    std::string id;
    if (!to_string(arguments[0], {"update", "id"}, id)) return nullptr;
    std::vector<float> vector;
    const bool has_vector = arguments[1] != nullptr && arguments[1] != Py_None;
    if (has_vector && !to_vector(arguments[1], {"update", "vector"}, vector)) return nullptr;
    std::optional<JsonValue> metadata;
    if (!to_metadata(arguments[2], {"update", "metadata"}, metadata)) return nullptr;
    std::optional<std::span<const float>> new_vector;
    if (has_vector) new_vector = std::span<const float>(vector);
    const Status status =
        without_gil([&] { return database.update(id, new_vector, std::move(metadata)); });
    return status_to_none(status);
  });
}

PyObject* database_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return run_method(self, [&](Database& database) -> PyObject* {
    std::array<PyObject*, 1> arguments;
    if (!parse_arguments(kDelete, args, nargs, kwnames, arguments)) return nullptr;
    std::string id;
    if (!to_string(arguments[0], {"delete", "id"}, id)) return nullptr;
    const Result<bool> removed = without_gil([&] { return database.remove(id); });
    if (!removed.ok()) return raise_db_error(removed.error());
    return PyBool_FromLong(removed.value());
  });
}

PyObject* database_add_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return write_batch(self, args, nargs, kwnames, kAddMany, &Database::add_many);
}

PyObject* database_upsert_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return write_batch(self, args, nargs, kwnames, kUpsertMany, &Database::upsert_many);
}

PyObject* database_delete_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return run_method(self, [&](Database& database) -> PyObject* {
    std::array<PyObject*, 1> arguments;
    if (!parse_arguments(kDeleteMany, args, nargs, kwnames, arguments)) return nullptr;
    std::vector<std::string> ids;
    if (!to_ids(arguments[0], {"delete_many", "ids"}, ids)) return nullptr;
    const Result<uint64_t> removed = without_gil([&] { return database.remove_many(ids); });
    if (!removed.ok()) return raise_db_error(removed.error());
    return PyLong_FromUnsignedLongLong(removed.value());
  });
}

}  // namespace dralm::py
