// The Database class itself: construction, destruction, properties, len / in /
// truth value, save, compact, statistics, the quantized-search switch and the context
// manager, plus the method table with the docstrings Python shows.
#include "database_type.h"

#include <array>
#include <cassert>
#include <chrono>
#include <climits>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "args.h"
#include "convert.h"
#include "database_bulk.h"
#include "database_methods.h"
#include "database_object.h"
#include "results.h"

namespace dralm::py {
namespace {

PyTypeObject g_database_type{};  // filled by init_database_type

// ---- Construction and destruction.

// Database(path, dim=None, metric=None, m=None, ef_construction=None, quantize=False, *,
// read_only=False). Opening runs with the interpreter lock held: no other thread can see
// the object yet.
PyObject* database_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"path",     "dim",       "metric", "m", "ef_construction",
                                   "quantize", "read_only", nullptr};
  PyObject* path = nullptr;
  PyObject* dim = nullptr;
  PyObject* metric = nullptr;
  PyObject* m = nullptr;
  PyObject* ef_construction = nullptr;
  PyObject* quantize = nullptr;
  PyObject* read_only = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOOO$O:Database", const_cast<char**>(keywords),
                                   &path, &dim, &metric, &m, &ef_construction, &quantize,
                                   &read_only)) {
    return nullptr;
  }
  try {
    OpenOptions options;
    if (!to_path(path, {"Database", "path"}, options.path) ||
        !to_optional_u64(dim, {"Database", "dim"}, options.dim) ||
        !to_optional_string(metric, {"Database", "metric"}, options.metric) ||
        !to_optional_u64(m, {"Database", "m"}, options.m) ||
        !to_optional_u64(ef_construction, {"Database", "ef_construction"},
                         options.ef_construction) ||
        (quantize != nullptr && !to_bool(quantize, {"Database", "quantize"}, options.quantize)) ||
        (read_only != nullptr &&
         !to_bool(read_only, {"Database", "read_only"}, options.read_only))) {
      return nullptr;
    }
    Result<std::unique_ptr<Database>> outcome = Database::open(options);
    if (!outcome.ok()) return raise_db_error(outcome.error());
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    DatabaseObject* object = as_database(self);
    new (&object->database) std::unique_ptr<Database>(std::move(outcome.value()));
    new (&object->borrows) std::atomic<uint64_t>(0);
    return self;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& error) {
    return raise_internal_error(error.what());
  }
}

// Nothing is saved: the log file stays for the next open. A closed object has no
// record left to destroy.
void database_dealloc(PyObject* self) {
  DatabaseObject* object = as_database(self);
  assert(object->borrows.load() == 0);
  object->database.~unique_ptr();
  object->borrows.~atomic();
  Py_TYPE(self)->tp_free(self);
}

// ---- Properties (interpreter lock held).

template <typename Read>
PyObject* read_property(PyObject* self, Read&& read) {
  return run_method(self, [&](Database& database) -> PyObject* { return read(database); });
}

PyObject* get_dim(PyObject* self, void*) {
  return read_property(self, [](Database& d) { return PyLong_FromUnsignedLongLong(d.dim()); });
}

PyObject* get_metric(PyObject* self, void*) {
  return read_property(self, [](Database& d) {
    const std::string_view name = d.metric_name();
    return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
  });
}

PyObject* get_quantized_search(PyObject* self, void*) {
  return read_property(self, [](Database& d) { return PyBool_FromLong(d.quantized_search()); });
}

PyObject* get_quantized_search_bits(PyObject* self, void*) {
  return read_property(self,
                       [](Database& d) { return PyLong_FromLong(d.quantized_search_bits()); });
}

PyObject* get_deleted_count(PyObject* self, void*) {
  return read_property(self,
                       [](Database& d) { return PyLong_FromUnsignedLongLong(d.deleted_count()); });
}

PyObject* get_total_slots(PyObject* self, void*) {
  return read_property(self,
                       [](Database& d) { return PyLong_FromUnsignedLongLong(d.total_slots()); });
}

PyGetSetDef g_getset[] = {
    {"dim", get_dim, nullptr, nullptr, nullptr},
    {"metric", get_metric, nullptr, nullptr, nullptr},
    {"quantized_search", get_quantized_search, nullptr,
     "Whether quantized search is currently enabled.", nullptr},
    {"quantized_search_bits", get_quantized_search_bits, nullptr,
     "Bits per code of quantized search: 8 (SQ8) or 4, or 0 while it is off.", nullptr},
    {"deleted_count", get_deleted_count, nullptr,
     "Number of deleted slots that haven't been reclaimed.", nullptr},
    {"total_slots", get_total_slots, nullptr, "Total allocated slots (active + deleted).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- len(db), `id in db`; the truth value follows len.

Py_ssize_t database_length(PyObject* self) {
  DatabaseObject* object = as_database(self);
  if (!object->database) {
    raise_closed();
    return -1;
  }
  BorrowGuard borrow(object);
  const uint64_t live = object->database->live_count();
  if (live > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
    PyErr_SetString(PyExc_OverflowError, "the live count does not fit in a Py_ssize_t");
    return -1;
  }
  return static_cast<Py_ssize_t>(live);
}

int database_contains(PyObject* self, PyObject* key) {
  DatabaseObject* object = as_database(self);
  if (!object->database) {
    raise_closed();
    return -1;
  }
  BorrowGuard borrow(object);
  std::string id;
  try {
    if (!to_string(key, {"__contains__", "id"}, id)) return -1;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return -1;
  }
  return object->database->contains(id) ? 1 : 0;
}

PySequenceMethods g_sequence = {
    database_length,    // sq_length
    nullptr,            // sq_concat
    nullptr,            // sq_repeat
    nullptr,            // sq_item
    nullptr,            // was_sq_slice
    nullptr,            // sq_ass_item
    nullptr,            // was_sq_ass_slice
    database_contains,  // sq_contains
    nullptr,            // sq_inplace_concat
    nullptr,            // sq_inplace_repeat
};

// ---- Methods without arguments, and the context manager.

PyObject* database_save(PyObject* self, PyObject*) {
  return run_method(self, [](Database& database) -> PyObject* {
    const Status status = without_gil([&] { return database.save(); });
    if (!status.ok()) return raise_db_error(status.error());
    Py_RETURN_NONE;
  });
}

PyObject* database_compact(PyObject* self, PyObject*) {
  return run_method(self, [](Database& database) -> PyObject* {
    const Status status = without_gil([&] { return database.compact(); });
    if (!status.ok()) return raise_db_error(status.error());
    Py_RETURN_NONE;
  });
}

PyObject* database_refresh(PyObject* self, PyObject*) {
  return run_method(self, [](Database& database) -> PyObject* {
    const Status status = without_gil([&] { return database.refresh(); });
    if (!status.ok()) return raise_db_error(status.error());
    Py_RETURN_NONE;
  });
}

PyObject* database_stats(PyObject* self, PyObject*) {
  return run_method(self, [](Database& database) { return stats_to_dict(database.stats()); });
}

PyObject* database_enable_quantized_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) {
  return run_method(self, [&](Database& database) -> PyObject* {
    std::array<PyObject*, 1> arguments;
    if (!parse_arguments(kEnableQuantizedSearch, args, nargs, kwnames, arguments)) {
      return nullptr;
    }
    long long bits = 8;
    if (PyObject* given = arguments[0]; given != nullptr) {
      if (!PyLong_Check(given)) {
        raise_arg_type_error({"enable_quantized_search", "bits"}, "int", given);
        return nullptr;
      }
      int overflow = 0;
      bits = PyLong_AsLongLongAndOverflow(given, &overflow);
      if (bits == -1 && PyErr_Occurred()) return nullptr;
      if (overflow != 0 || bits < INT_MIN || bits > INT_MAX) {
        PyErr_Format(PyExc_ValueError, "bits must be 8 or 4, got %R", given);
        return nullptr;
      }
    }
    const Status status = database.enable_quantized_search(static_cast<int>(bits));
    if (!status.ok()) return raise_db_error(status.error());
    Py_RETURN_NONE;
  });
}

PyObject* database_disable_quantized_search(PyObject* self, PyObject*) {
  return run_method(self, [](Database& database) -> PyObject* {
    database.disable_quantized_search();
    Py_RETURN_NONE;
  });
}

PyObject* database_enter(PyObject* self, PyObject*) {
  if (!as_database(self)->database) return raise_closed();
  return Py_NewRef(self);
}

// Flushes and closes the log and releases the directory lock now, without saving
// (the log keeps every write for the next open). Calls running in other threads
// finish first: the record leaves the object at once, so no new call can start, and
// it is destroyed once the borrows of those calls have ended. A second close does
// nothing.
PyObject* database_close(PyObject* self, PyObject*) {
  DatabaseObject* object = as_database(self);
  if (!object->database) Py_RETURN_NONE;
  std::unique_ptr<Database> database = std::move(object->database);
  without_gil([&] {
    // The calls still borrowing need the interpreter lock to finish, which this
    // thread does not hold while it waits.
    while (object->borrows.load(std::memory_order_acquire) != 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    database.reset();
  });
  Py_RETURN_NONE;
}

// Saves whatever happened in the block, with the interpreter lock held, and returns
// False so that an exception raised in the block still propagates.
PyObject* database_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return run_method(self, [&](Database& database) -> PyObject* {
    std::array<PyObject*, 3> arguments;
    if (!parse_arguments(kExit, args, nargs, kwnames, arguments)) return nullptr;
    // A read-only database has nothing to save and may not save: leaving the block
    // just ends it.
    if (database.read_only()) Py_RETURN_FALSE;
    const Status status = database.save();
    if (!status.ok()) return raise_db_error(status.error());
    Py_RETURN_FALSE;
  });
}

// ---- The method table. Each docstring starts with the text signature, then
// "\n--\n\n", then the description (absent for most methods, so __doc__ is None).
// Methods with arguments take name and docstring from method_signatures.h.

using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <size_t N>
PyMethodDef with_arguments(const MethodSignature<N>& method, FastCall function) {
  return {method.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)),
          METH_FASTCALL | METH_KEYWORDS, method.doc};
}

PyMethodDef g_methods[] = {
    with_arguments(kAdd, database_add),
    with_arguments(kUpsert, database_upsert),
    with_arguments(kAddMany, database_add_many),
    with_arguments(kUpsertMany, database_upsert_many),
    with_arguments(kUpdate, database_update),
    with_arguments(kDelete, database_delete),
    with_arguments(kDeleteMany, database_delete_many),
    with_arguments(kSearch, database_search),
    with_arguments(kSearchMany, database_search_many),
    with_arguments(kGet, database_get),
    with_arguments(kIdsMatching, database_ids_matching),
    with_arguments(kGetMany, database_get_many),
    with_arguments(kSearchArrays, database_search_arrays),
    with_arguments(kExport, database_export),
    {"to_arrow", database_to_arrow, METH_NOARGS,
     "to_arrow($self)\n--\n\n"
     "Return every stored vector as a pyarrow.Table with the columns id (string),\n"
     "vector (fixed-size list of float32) and metadata (JSON text or null), read\n"
     "through export(). Needs pyarrow (pip install 'dralm[arrow]')."},
    {"close", database_close, METH_NOARGS,
     "close($self)\n--\n\n"
     "Close the log and release the directory now, without saving (the log keeps\n"
     "every write for the next open). Every later call raises ValueError; a second\n"
     "close does nothing."},
    {"ids", database_ids, METH_NOARGS, "ids($self)\n--\n\n"},
    with_arguments(kCount, database_count),
    {"save", database_save, METH_NOARGS, "save($self)\n--\n\n"},
    {"compact", database_compact, METH_NOARGS,
     "compact($self)\n--\n\n"
     "Rebuild the index with only live vectors, reclaiming deleted slots.\n"
     "Call this after many deletes to reduce memory usage and disk size."},
    {"refresh", database_refresh, METH_NOARGS,
     "refresh($self)\n--\n\n"
     "Re-read a database opened with read_only=True: the state its writer has saved since,\n"
     "and the writer's log on top, replace this object's view all at once. Raises\n"
     "ValueError on a writable database, which already holds its own changes."},
    {"stats", database_stats, METH_NOARGS,
     "stats($self)\n--\n\n"
     "Get graph-level statistics for diagnostics.\n"
     "Returns a dict with keys: num_vectors, num_deleted, num_layers, avg_degree_layer0,\n"
     "max_degree_layer0, min_degree_layer0, memory_vectors_bytes, memory_graph_bytes,\n"
     "memory_quantized_bytes, uses_brute_force, uses_quantized_search,\n"
     "quantized_search_bits."},
    with_arguments(kEnableQuantizedSearch, database_enable_quantized_search),
    {"disable_quantized_search", database_disable_quantized_search, METH_NOARGS,
     "disable_quantized_search($self)\n--\n\nDisable quantized search."},
    {"__enter__", database_enter, METH_NOARGS,
     "__enter__($self)\n--\n\nContext manager: auto-save on exit."},
    with_arguments(kExit, database_exit),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool init_database_type() {
  PyTypeObject& type = g_database_type;
  if (type.tp_flags & Py_TPFLAGS_READY) return true;
  Py_SET_REFCNT(&type, 1);  // a static type: the reference PyObject_HEAD_INIT would give
  Py_SET_TYPE(&type, &PyType_Type);
  // No dot in the name and no module attribute: __module__ reads "builtins".
  type.tp_name = "Database";
  type.tp_basicsize = sizeof(DatabaseObject);
  type.tp_dealloc = database_dealloc;
  type.tp_as_sequence = &g_sequence;
  type.tp_flags = Py_TPFLAGS_DEFAULT;
  // Only the text signature (the description stays empty); the stub documents the
  // arguments.
  type.tp_doc =
      "Database(path, dim=None, metric=None, m=None, ef_construction=None, quantize=False, *, "
      "read_only=False)\n--\n\n";
  type.tp_methods = g_methods;
  type.tp_getset = g_getset;
  type.tp_new = database_new;
  return PyType_Ready(&type) == 0;
}

PyTypeObject* database_type() { return &g_database_type; }

}  // namespace dralm::py
