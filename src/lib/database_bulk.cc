// get_many, the chunked export with its iterator, and to_arrow. get_many and each
// export chunk copy under the engine's shared locks with the interpreter lock released.
#include "database_bulk.h"

#include <array>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "args.h"
#include "convert.h"
#include "database_object.h"
#include "database_type.h"
#include "method_signatures.h"
#include "numpy_arrays.h"
#include "py_ref.h"
#include "results.h"

namespace dralm::py {
namespace {

constexpr uint64_t kDefaultExportBatch = 1024;

// A list with json.loads of each text, None where there is none.
PyObject* metadata_list(const std::vector<std::optional<std::string>>& texts) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(texts.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < texts.size(); ++i) {
    PyObject* item = texts[i] ? json_to_python(*texts[i]) : Py_NewRef(Py_None);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

// ---- The export iterator: holds the database object and a slot cursor. Each step
// reads one chunk; the cursor is only meaningful while no compaction renumbers the
// slots, which the engine reports instead of returning a chunk.

struct ExportIterator {
  PyObject ob_base;    // PyObject_HEAD
  PyObject* database;  // strong reference
  uint64_t next_slot;
  uint64_t batch_size;
  uint64_t compactions;  // the database's compaction count when the export began
  bool done;
};

PyTypeObject g_export_iterator_type{};

void export_iterator_dealloc(PyObject* self) {
  Py_XDECREF(reinterpret_cast<ExportIterator*>(self)->database);
  Py_TYPE(self)->tp_free(self);
}

PyObject* export_iterator_next(PyObject* self) {
  ExportIterator* iterator = reinterpret_cast<ExportIterator*>(self);
  if (iterator->done) return nullptr;  // StopIteration
  return run_method(iterator->database, [&](Database& database) -> PyObject* {
    ExportChunk chunk = without_gil([&] {
      return database.export_chunk(iterator->next_slot, iterator->batch_size,
                                   iterator->compactions);
    });
    if (chunk.renumbered) {
      iterator->done = true;
      PyErr_SetString(PyExc_RuntimeError,
                      "the database was compacted during export; start the export again");
      return nullptr;
    }
    iterator->next_slot = chunk.next_slot;
    iterator->done = chunk.done;
    if (chunk.ids.empty()) {
      assert(chunk.done);
      return nullptr;  // StopIteration
    }
    PyRef ids = PyRef::steal(strings_to_list(chunk.ids));
    if (!ids) return nullptr;
    PyRef vectors = new_float32_array(chunk.ids.size(), database.dim());
    if (!vectors) return nullptr;
    {
      FloatBuffer buffer;
      if (!buffer.acquire(vectors.get())) return nullptr;
      assert(buffer.floats().size() == chunk.vectors.size());
      if (!chunk.vectors.empty()) {
        std::memcpy(buffer.floats().data(), chunk.vectors.data(),
                    chunk.vectors.size() * sizeof(float));
      }
    }
    PyRef metadata = PyRef::steal(metadata_list(chunk.metadata_json));
    if (!metadata) return nullptr;
    return PyTuple_Pack(3, ids.get(), vectors.get(), metadata.get());
  });
}

}  // namespace

bool init_export_iterator_type() {
  PyTypeObject& type = g_export_iterator_type;
  if (type.tp_flags & Py_TPFLAGS_READY) return true;
  Py_SET_REFCNT(&type, 1);
  Py_SET_TYPE(&type, &PyType_Type);
  type.tp_name = "DatabaseExport";
  type.tp_basicsize = sizeof(ExportIterator);
  type.tp_dealloc = export_iterator_dealloc;
  type.tp_flags = Py_TPFLAGS_DEFAULT;
  type.tp_doc = "Iterator over the chunks of Database.export().";
  type.tp_iter = PyObject_SelfIter;
  type.tp_iternext = export_iterator_next;
  return PyType_Ready(&type) == 0;
}

PyObject* database_get_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return run_method(self, [&](Database& database) -> PyObject* {
    std::array<PyObject*, 1> arguments;
    if (!parse_arguments(kGetMany, args, nargs, kwnames, arguments)) return nullptr;
    std::vector<std::string> ids;
    if (!to_ids(arguments[0], {"get_many", "ids"}, ids)) return nullptr;
    PyRef vectors = new_float32_array(ids.size(), database.dim());
    if (!vectors) return nullptr;
    Result<ManyResult> result = ManyResult{};
    {
      FloatBuffer buffer;
      if (!buffer.acquire(vectors.get())) return nullptr;
      // The array is new and not yet returned: no other Python code can reach its
      // memory while the engine fills it without the interpreter lock.
      const std::span<float> out = buffer.floats();
      result = without_gil([&] { return database.get_many(ids, out); });
    }
    if (!result.ok()) return raise_db_error(result.error());
    PyRef metadata = PyRef::steal(metadata_list(result.value().metadata_json));
    if (!metadata) return nullptr;
    return PyTuple_Pack(2, vectors.get(), metadata.get());
  });
}

PyObject* database_export(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return run_method(self, [&](Database& database) -> PyObject* {
    std::array<PyObject*, 1> arguments;
    if (!parse_arguments(kExport, args, nargs, kwnames, arguments)) return nullptr;
    uint64_t batch_size = kDefaultExportBatch;
    if (arguments[0] != nullptr && !to_u64(arguments[0], {"export", "batch_size"}, batch_size)) {
      return nullptr;
    }
    if (batch_size == 0) {
      PyErr_SetString(PyExc_ValueError, "batch_size must be at least 1");
      return nullptr;
    }
    ExportIterator* iterator = PyObject_New(ExportIterator, &g_export_iterator_type);
    if (iterator == nullptr) return nullptr;
    iterator->database = Py_NewRef(self);
    iterator->next_slot = 0;
    iterator->batch_size = batch_size;
    iterator->compactions = database.compaction_count();
    iterator->done = false;
    return reinterpret_cast<PyObject*>(iterator);
  });
}

// Runs Python code (the table is built from export()), so it holds no borrow itself:
// each chunk the helper reads is its own call.
PyObject* database_to_arrow(PyObject* self, PyObject*) {
  if (!as_database(self)->database) return raise_closed();
  PyRef module = PyRef::steal(PyImport_ImportModule("dralm._arrow"));
  if (!module) return nullptr;
  return PyObject_CallMethod(module.get(), "to_arrow", "(O)", self);
}

}  // namespace dralm::py
