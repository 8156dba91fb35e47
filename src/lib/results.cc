#include "results.h"

#include "convert.h"
#include "py_ref.h"

namespace dralm::py {
namespace {

PyObject* floats_to_list(const std::vector<float>& values) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < values.size(); ++i) {
    PyObject* item = PyFloat_FromDouble(static_cast<double>(values[i]));
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

// Sets dict[key] = value, taking over the new reference `value`.
bool set_item(PyObject* dict, const char* key, PyObject* value) {
  PyRef owned = PyRef::steal(value);
  return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

}  // namespace

PyObject* get_result_to_python(const GetResult& result) {
  PyRef vector = PyRef::steal(floats_to_list(result.vector));
  if (!vector) return nullptr;
  PyRef metadata;
  if (result.metadata_json) {
    metadata = PyRef::steal(json_to_python(*result.metadata_json));
    if (!metadata) return nullptr;
  } else {
    metadata = PyRef::borrow(Py_None);
  }
  return PyTuple_Pack(2, vector.get(), metadata.get());
}

PyObject* stats_to_dict(const Stats& stats) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  PyObject* d = dict.get();
  const bool ok =
      set_item(d, "num_vectors", PyLong_FromUnsignedLongLong(stats.num_vectors)) &&
      set_item(d, "num_deleted", PyLong_FromUnsignedLongLong(stats.num_deleted)) &&
      set_item(d, "num_layers", PyLong_FromUnsignedLongLong(stats.num_layers)) &&
      set_item(d, "avg_degree_layer0", PyFloat_FromDouble(stats.avg_degree_layer0)) &&
      set_item(d, "max_degree_layer0", PyLong_FromUnsignedLongLong(stats.max_degree_layer0)) &&
      set_item(d, "min_degree_layer0", PyLong_FromUnsignedLongLong(stats.min_degree_layer0)) &&
      set_item(d, "memory_vectors_bytes",
               PyLong_FromUnsignedLongLong(stats.memory_vectors_bytes)) &&
      set_item(d, "memory_graph_bytes", PyLong_FromUnsignedLongLong(stats.memory_graph_bytes)) &&
      set_item(d, "memory_quantized_bytes",
               PyLong_FromUnsignedLongLong(stats.memory_quantized_bytes)) &&
      set_item(d, "uses_brute_force", PyBool_FromLong(stats.uses_brute_force)) &&
      set_item(d, "uses_quantized_search", PyBool_FromLong(stats.uses_quantized_search)) &&
      set_item(d, "quantized_search_bits",
               PyLong_FromUnsignedLongLong(stats.quantized_search_bits));
  return ok ? dict.release() : nullptr;
}

PyObject* strings_to_list(const std::vector<std::string>& strings) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(strings.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < strings.size(); ++i) {
    PyObject* item = PyUnicode_DecodeUTF8(strings[i].data(),
                                          static_cast<Py_ssize_t>(strings[i].size()), "strict");
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

}  // namespace dralm::py
