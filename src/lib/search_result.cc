#include "search_result.h"

#include <cmath>
#include <cstdio>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "convert.h"

namespace dralm::py {
namespace {

struct SearchResultObject {
  PyObject ob_base;  // PyObject_HEAD
  std::string id;
  std::optional<std::string> metadata_json;
  float distance;
};

SearchResultObject* as_result(PyObject* self) {
  return reinterpret_cast<SearchResultObject*>(self);
}

PyTypeObject g_search_result_type{};  // filled by init_search_result_type

void search_result_dealloc(PyObject* self) {
  SearchResultObject* result = as_result(self);
  result->id.~basic_string();
  result->metadata_json.~optional();
  Py_TYPE(self)->tp_free(self);
}

PyObject* id_object(const SearchResultObject* result) {
  return PyUnicode_DecodeUTF8(result->id.data(), static_cast<Py_ssize_t>(result->id.size()),
                              "strict");
}

PyObject* distance_object(const SearchResultObject* result) {
  return PyFloat_FromDouble(static_cast<double>(result->distance));
}

PyObject* metadata_object(const SearchResultObject* result) {
  if (!result->metadata_json) Py_RETURN_NONE;
  return json_to_python(*result->metadata_json);
}

PyObject* get_id(PyObject* self, void*) { return id_object(as_result(self)); }
PyObject* get_distance(PyObject* self, void*) { return distance_object(as_result(self)); }
PyObject* get_metadata(PyObject* self, void*) { return metadata_object(as_result(self)); }

PyGetSetDef g_getset[] = {
    {"id", get_id, nullptr, nullptr, nullptr},
    {"distance", get_distance, nullptr, nullptr, nullptr},
    {"metadata", get_metadata, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// r[0] id, r[1] distance, r[2] metadata. The index is an unsigned number: a negative
// one is an OverflowError rather than a count from the end.
PyObject* search_result_subscript(PyObject* self, PyObject* key) {
  if (!PyLong_Check(key) && !PyIndex_Check(key)) {
    PyErr_Format(PyExc_TypeError, "SearchResult indices must be int, not %s",
                 Py_TYPE(key)->tp_name);
    return nullptr;
  }
  uint64_t index = 0;
  if (!to_u64(key, ArgName{"__getitem__", "index"}, index)) return nullptr;
  const SearchResultObject* result = as_result(self);
  switch (index) {
    case 0:
      return id_object(result);
    case 1:
      return distance_object(result);
    case 2:
      return metadata_object(result);
    default:
      PyErr_SetString(PyExc_ValueError, "index out of range");
      return nullptr;
  }
}

PyMappingMethods g_mapping = {nullptr, search_result_subscript, nullptr};

// Four decimals rounded from the exact stored value; the special values keep the
// spellings users of other tools expect ("NaN", "inf", "-inf").
PyObject* search_result_repr(PyObject* self) {
  const SearchResultObject* result = as_result(self);
  const double distance = static_cast<double>(result->distance);
  char number[64];
  if (std::isnan(distance)) {
    std::snprintf(number, sizeof(number), "NaN");
  } else if (std::isinf(distance)) {
    std::snprintf(number, sizeof(number), distance > 0 ? "inf" : "-inf");
  } else {
    // |distance| < 3.5e38, so at most 39 integer digits: the buffer always suffices.
    std::snprintf(number, sizeof(number), "%.4f", distance);
  }
  std::string text = "SearchResult(id='";
  text += result->id;
  text += "', distance=";
  text += number;
  text += ")";
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
}

PyObject* new_result(QueryHit& hit) {
  SearchResultObject* result = PyObject_New(SearchResultObject, &g_search_result_type);
  if (result == nullptr) return nullptr;
  new (&result->id) std::string(std::move(hit.id));
  new (&result->metadata_json) std::optional<std::string>(std::move(hit.metadata_json));
  result->distance = hit.distance;
  return reinterpret_cast<PyObject*>(result);
}

}  // namespace

bool init_search_result_type() {
  PyTypeObject& type = g_search_result_type;
  if (type.tp_flags & Py_TPFLAGS_READY) return true;
  Py_SET_REFCNT(&type, 1);  // a static type: the reference PyObject_HEAD_INIT would give
  Py_SET_TYPE(&type, &PyType_Type);
  // No dot in the name and no module attribute: __module__ reads "builtins".
  type.tp_name = "SearchResult";
  type.tp_basicsize = sizeof(SearchResultObject);
  type.tp_dealloc = search_result_dealloc;
  type.tp_repr = search_result_repr;
  type.tp_as_mapping = &g_mapping;
  type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;
  type.tp_getset = g_getset;
  type.tp_free = PyObject_Free;
  return PyType_Ready(&type) == 0;
}

PyTypeObject* search_result_type() { return &g_search_result_type; }

PyObject* hits_to_list(std::vector<QueryHit>& hits) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(hits.size()));
  if (list == nullptr) return nullptr;
  for (size_t i = 0; i < hits.size(); ++i) {
    PyObject* result = new_result(hits[i]);
    if (result == nullptr) {
      Py_DECREF(list);  // unset slots are null and skipped by the list's dealloc
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), result);
  }
  return list;
}

PyObject* hit_lists_to_list(std::vector<std::vector<QueryHit>>& lists) {
  PyObject* outer = PyList_New(static_cast<Py_ssize_t>(lists.size()));
  if (outer == nullptr) return nullptr;
  for (size_t i = 0; i < lists.size(); ++i) {
    PyObject* inner = hits_to_list(lists[i]);
    if (inner == nullptr) {
      Py_DECREF(outer);
      return nullptr;
    }
    PyList_SET_ITEM(outer, static_cast<Py_ssize_t>(i), inner);
  }
  return outer;
}

}  // namespace dralm::py
