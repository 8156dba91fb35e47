#include "argument_checks.h"

#include <cassert>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "convert.h"
#include "database_object.h"
#include "distance/metric.h"
#include "numpy_arrays.h"
#include "py_ref.h"
#include "results.h"
#include "vector_input.h"
#include "write_batch_input.h"

namespace dralm::py {
namespace {

// The converted vectors as NumPy: one 2-D float32 array when there are rows and all have
// one length, else a list of 1-D float32 arrays (empty for an empty batch), leaving the
// lengths to be checked where Database checks them.
PyObject* batch_to_numpy(const VectorBatch& batch) {
  const size_t rows = batch.size();
  bool uniform = rows > 0;
  for (size_t i = 1; i < rows && uniform; ++i) uniform = batch.row(i).size() == batch.row(0).size();
  if (uniform) {
    PyRef array = new_float32_array(rows, batch.row(0).size());
    if (!array) return nullptr;
    FloatBuffer buffer;
    if (!buffer.acquire(array.get())) return nullptr;
    if (!batch.data.empty()) {
      std::memcpy(buffer.floats().data(), batch.data.data(), batch.data.size() * sizeof(float));
    }
    return array.release();
  }
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(rows)));
  if (!list) return nullptr;
  for (size_t i = 0; i < rows; ++i) {
    const std::span<const float> row = batch.row(i);
    PyRef array = new_float32_vector(static_cast<Py_ssize_t>(row.size()));
    if (!array) return nullptr;
    {
      FloatBuffer buffer;
      if (!buffer.acquire(array.get())) return nullptr;
      if (!row.empty()) std::memcpy(buffer.floats().data(), row.data(), row.size_bytes());
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), array.release());
  }
  return list.release();
}

// Runs `body`; an allocation failure becomes MemoryError.
template <typename Body>
PyObject* guarded(Body&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return raise_out_of_memory();
  }
}

// _creation_parameters(dim, metric, m, ef_construction, quantize): what Database(path,
// dim, metric, m, ef_construction, quantize) would create, as (dim, metric's own name,
// m, ef_construction, quantize), or its error.
PyObject* creation_parameters(PyObject*, PyObject* args) {
  PyObject* dim = nullptr;
  PyObject* metric = nullptr;
  PyObject* m = nullptr;
  PyObject* ef_construction = nullptr;
  PyObject* quantize = nullptr;
  if (!PyArg_UnpackTuple(args, "_creation_parameters", 5, 5, &dim, &metric, &m, &ef_construction,
                         &quantize)) {
    return nullptr;
  }
  return guarded([&]() -> PyObject* {
    OpenOptions options;
    if (!to_optional_u64(dim, {"Database", "dim"}, options.dim) ||
        !to_optional_string(metric, {"Database", "metric"}, options.metric) ||
        !to_optional_u64(m, {"Database", "m"}, options.m) ||
        !to_optional_u64(ef_construction, {"Database", "ef_construction"},
                         options.ef_construction) ||
        !to_bool(quantize, {"Database", "quantize"}, options.quantize)) {
      return nullptr;
    }
    if (!options.dim) {
      PyErr_SetString(PyExc_TypeError, "_creation_parameters() needs a dim");
      return nullptr;
    }
    const Result<IndexParams> params = Database::creation_parameters(options);
    if (!params.ok()) return raise_db_error(params.error());
    const std::string_view name = metric_name(params.value().metric);
    PyRef metric_text = PyRef::steal(
        PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    if (!metric_text) return nullptr;
    return Py_BuildValue("(KOKKO)", static_cast<unsigned long long>(params.value().dim),
                         metric_text.get(), static_cast<unsigned long long>(params.value().m),
                         static_cast<unsigned long long>(params.value().ef_construction),
                         options.quantize ? Py_True : Py_False);
  });
}

// _id_bytes(method, id): the UTF-8 bytes of one id, refused as method(id) refuses it.
PyObject* id_bytes(PyObject*, PyObject* args) {
  const char* method = nullptr;
  PyObject* id = nullptr;
  if (!PyArg_ParseTuple(args, "sO:_id_bytes", &method, &id)) return nullptr;
  return guarded([&]() -> PyObject* {
    std::string bytes;
    if (!to_string(id, {method, "id"}, bytes)) return nullptr;
    return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
  });
}

// _ids(method, ids): the ids of method(ids) as a list of str.
PyObject* ids(PyObject*, PyObject* args) {
  const char* method = nullptr;
  PyObject* given = nullptr;
  if (!PyArg_ParseTuple(args, "sO:_ids", &method, &given)) return nullptr;
  return guarded([&]() -> PyObject* {
    std::vector<std::string> converted;
    if (!to_ids(given, {method, "ids"}, converted)) return nullptr;
    return strings_to_list(converted);
  });
}

// _vectors(method, vectors): the vectors of method(vectors) (see batch_to_numpy).
PyObject* vectors(PyObject*, PyObject* args) {
  const char* method = nullptr;
  PyObject* given = nullptr;
  if (!PyArg_ParseTuple(args, "sO:_vectors", &method, &given)) return nullptr;
  return guarded([&]() -> PyObject* {
    VectorBatch batch;
    if (!to_vector_batch(given, {method, "vectors"}, batch)) return nullptr;
    return batch_to_numpy(batch);
  });
}

// _write_batch(method, ids, vectors, metadatas): the arguments of method(ids, vectors,
// metadatas) for add_many / upsert_many, checked as the method checks them, as (ids,
// vectors, a copy of the metadatas list or None). The vectors' lengths are not checked.
PyObject* write_batch(PyObject*, PyObject* args) {
  const char* method = nullptr;
  PyObject* given_ids = nullptr;
  PyObject* given_vectors = nullptr;
  PyObject* metadatas = nullptr;
  if (!PyArg_ParseTuple(args, "sOOO:_write_batch", &method, &given_ids, &given_vectors,
                        &metadatas)) {
    return nullptr;
  }
  return guarded([&]() -> PyObject* {
    WriteBatch batch;
    if (!to_write_batch(method, given_ids, given_vectors, metadatas, batch)) return nullptr;
    PyRef id_list = PyRef::steal(strings_to_list(batch.ids));
    if (!id_list) return nullptr;
    PyRef rows = PyRef::steal(batch_to_numpy(batch.vectors));
    if (!rows) return nullptr;
    PyRef metadata_list =
        metadatas == Py_None ? PyRef::borrow(Py_None) : PyRef::steal(PySequence_List(metadatas));
    if (!metadata_list) return nullptr;
    return PyTuple_Pack(3, id_list.get(), rows.get(), metadata_list.get());
  });
}

PyMethodDef g_functions[] = {
    {"_creation_parameters", creation_parameters, METH_VARARGS,
     "_creation_parameters(dim, metric, m, ef_construction, quantize)\n--\n\n"},
    {"_id_bytes", id_bytes, METH_VARARGS, "_id_bytes(method, id)\n--\n\n"},
    {"_ids", ids, METH_VARARGS, "_ids(method, ids)\n--\n\n"},
    {"_vectors", vectors, METH_VARARGS, "_vectors(method, vectors)\n--\n\n"},
    {"_write_batch", write_batch, METH_VARARGS,
     "_write_batch(method, ids, vectors, metadatas)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// {name: metric's own name} for every name Database(metric=...) accepts.
PyObject* metric_names() {
  PyRef names = PyRef::steal(PyDict_New());
  if (!names) return nullptr;
  for (const std::string_view name : kMetricNames) {
    const std::optional<Metric> metric = metric_from_name(name);
    assert(metric.has_value());
    const std::string_view canonical = metric_name(*metric);
    PyRef value = PyRef::steal(
        PyUnicode_FromStringAndSize(canonical.data(), static_cast<Py_ssize_t>(canonical.size())));
    PyRef key = PyRef::steal(
        PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    if (!value || !key || PyDict_SetItem(names.get(), key.get(), value.get()) != 0) return nullptr;
  }
  return names.release();
}

}  // namespace

PyMethodDef* argument_check_functions() { return g_functions; }

bool add_argument_constants(PyObject* module) {
  const IndexParams defaults;
  PyRef metrics = PyRef::steal(metric_names());
  return metrics && PyModule_AddObjectRef(module, "_METRICS", metrics.get()) == 0 &&
         PyModule_AddIntConstant(module, "_DEFAULT_M", static_cast<long>(defaults.m)) == 0 &&
         PyModule_AddIntConstant(module, "_DEFAULT_EF_CONSTRUCTION",
                                 static_cast<long>(defaults.ef_construction)) == 0;
}

}  // namespace dralm::py
