#include "convert.h"

#include <cassert>
#include <utility>

#include "internal_error.h"

namespace dralm::py {
namespace {

PyObject* g_json_name = nullptr;
PyObject* g_dumps_name = nullptr;
PyObject* g_loads_name = nullptr;

}  // namespace

// ---- Errors and set-up.

const char* type_name(PyObject* object) { return Py_TYPE(object)->tp_name; }

void raise_arg_type_error(ArgName name, const char* expected, PyObject* got) {
  PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %s", name.method, name.arg,
               expected, type_name(got));
}

bool init_convert() {
  if (g_json_name == nullptr) g_json_name = PyUnicode_InternFromString("json");
  if (g_dumps_name == nullptr) g_dumps_name = PyUnicode_InternFromString("dumps");
  if (g_loads_name == nullptr) g_loads_name = PyUnicode_InternFromString("loads");
  return g_json_name != nullptr && g_dumps_name != nullptr && g_loads_name != nullptr;
}

// ---- Scalars.

bool to_string(PyObject* object, ArgName name, std::string& out) {
  if (!PyUnicode_Check(object)) {
    raise_arg_type_error(name, "str", object);
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
  if (utf8 == nullptr) return false;  // e.g. a lone surrogate: UnicodeEncodeError
  out.assign(utf8, static_cast<size_t>(size));
  return true;
}

bool to_path(PyObject* object, ArgName name, std::string& out) {
  if (PyUnicode_Check(object)) return to_string(object, name, out);
  if (!PyBytes_Check(object) &&
      PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__fspath__") == 0) {
    raise_arg_type_error(name, "str, bytes or os.PathLike", object);
    return false;
  }
  PyRef path = PyRef::steal(PyOS_FSPath(object));
  if (!path) return false;
  if (PyUnicode_Check(path.get())) return to_string(path.get(), name, out);
  // Decoded as os.fsdecode does; a NUL byte is left for the engine's own check.
  char* bytes = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(path.get(), &bytes, &size) != 0) return false;
  PyRef text = PyRef::steal(PyUnicode_DecodeFSDefaultAndSize(bytes, size));
  return text && to_string(text.get(), name, out);
}

bool to_optional_string(PyObject* object, ArgName name, std::optional<std::string>& out) {
  if (object == nullptr || object == Py_None) {
    out.reset();
    return true;
  }
  if (!PyUnicode_Check(object)) {
    raise_arg_type_error(name, "str or None", object);
    return false;
  }
  return to_string(object, name, out.emplace());
}

bool to_u64(PyObject* object, ArgName name, uint64_t& out) {
  PyRef number;
  if (PyLong_Check(object)) {
    number = PyRef::borrow(object);
  } else if (PyIndex_Check(object)) {
    number = PyRef::steal(PyNumber_Index(object));
    if (!number) return false;
  } else {
    raise_arg_type_error(name, "int", object);
    return false;
  }
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && value < 0)) {
    PyErr_Format(PyExc_OverflowError, "%s() argument '%s' must not be negative", name.method,
                 name.arg);
    return false;
  }
  if (overflow == 0) {
    out = static_cast<uint64_t>(value);
    return true;
  }
  const unsigned long long wide = PyLong_AsUnsignedLongLong(number.get());
  if (wide == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Format(PyExc_OverflowError, "%s() argument '%s' does not fit in 64 bits", name.method,
                 name.arg);
    return false;
  }
  out = wide;
  return true;
}

bool to_optional_u64(PyObject* object, ArgName name, std::optional<uint64_t>& out) {
  if (object == nullptr || object == Py_None) {
    out.reset();
    return true;
  }
  if (!PyLong_Check(object) && !PyIndex_Check(object)) {
    raise_arg_type_error(name, "int or None", object);
    return false;
  }
  return to_u64(object, name, out.emplace());
}

bool to_optional_f32(PyObject* object, ArgName name, std::optional<float>& out) {
  if (object == nullptr || object == Py_None) {
    out.reset();
    return true;
  }
  double value;
  if (PyFloat_CheckExact(object)) {
    value = PyFloat_AS_DOUBLE(object);
  } else {
    value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) {
      if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        raise_arg_type_error(name, "float or None", object);
      }
      return false;
    }
  }
  out = static_cast<float>(value);
  return true;
}

bool to_bool(PyObject* object, ArgName name, bool& out) {
  if (!PyBool_Check(object)) {
    raise_arg_type_error(name, "bool", object);
    return false;
  }
  out = object == Py_True;
  return true;
}

// ---- Ids.

bool to_ids(PyObject* object, ArgName name, std::vector<std::string>& out) {
  if (PyUnicode_Check(object) || !PySequence_Check(object)) {
    raise_arg_type_error(name, "a sequence of str", object);
    return false;
  }
  PyRef sequence = PyRef::steal(PySequence_Fast(object, "not iterable"));
  if (!sequence) return false;
  const Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence.get());
  std::vector<std::string> ids;
  ids.reserve(static_cast<size_t>(size));
  // Reading a str's UTF-8 runs no Python code, so the sequence cannot change here.
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(sequence.get(), i);
    if (!PyUnicode_Check(item)) {
      PyErr_Format(PyExc_TypeError, "%s() argument '%s' item %zd must be str, not %s", name.method,
                   name.arg, i, type_name(item));
      return false;
    }
    Py_ssize_t length = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(item, &length);
    if (utf8 == nullptr) return false;
    ids.emplace_back(utf8, static_cast<size_t>(length));
  }
  out = std::move(ids);
  return true;
}

// ---- Metadata.

PyObject* json_dumps_name() { return g_dumps_name; }
PyObject* json_loads_name() { return g_loads_name; }

PyRef json_function(PyObject* interned_name) {
  PyRef module = PyRef::steal(PyImport_GetModule(g_json_name));
  if (!module) {
    if (PyErr_Occurred()) return PyRef();
    module = PyRef::steal(PyImport_Import(g_json_name));
    if (!module) return PyRef();
  }
  return PyRef::steal(PyObject_GetAttr(module.get(), interned_name));
}

bool metadata_to_json(PyObject* dumps, PyObject* dict, JsonValue& out) {
  PyRef text = PyRef::steal(PyObject_CallOneArg(dumps, dict));
  if (!text) return false;
  if (!PyUnicode_Check(text.get())) {
    PyErr_Format(PyExc_TypeError, "json.dumps returned %s, not str", type_name(text.get()));
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (utf8 == nullptr) return false;
  Result<JsonValue> parsed = parse_json(std::string_view(utf8, static_cast<size_t>(size)));
  if (!parsed.ok()) {
    const std::string message = "invalid metadata: " + parsed.error().detail();
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return false;
  }
  if (!parsed.value().is_object()) {
    // Only a replaced json.dumps can get here; metadata is an object by definition.
    PyErr_SetString(PyExc_ValueError, "invalid metadata: the top-level value is not an object");
    return false;
  }
  out = std::move(parsed.value());
  return true;
}

bool to_metadata(PyObject* object, ArgName name, std::optional<JsonValue>& out) {
  if (object == nullptr || object == Py_None) {
    out.reset();
    return true;
  }
  if (!PyDict_Check(object)) {
    raise_arg_type_error(name, "dict or None", object);
    return false;
  }
  PyRef dumps = json_function(g_dumps_name);
  if (!dumps) return false;
  return metadata_to_json(dumps.get(), object, out.emplace());
}

bool to_metadatas(PyObject* list, std::vector<std::optional<JsonValue>>& out) {
  assert(PyList_Check(list));
  // A snapshot of the items: json.dumps may run user code that changes the list.
  PyRef items = PyRef::steal(PyList_GetSlice(list, 0, PyList_GET_SIZE(list)));
  if (!items) return false;
  const Py_ssize_t size = PyList_GET_SIZE(items.get());
  std::vector<std::optional<JsonValue>> converted;
  converted.reserve(static_cast<size_t>(size));
  PyRef dumps;
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* item = PyList_GET_ITEM(items.get(), i);
    if (item == Py_None) {
      converted.emplace_back();
      continue;
    }
    if (!PyDict_Check(item)) {
      PyErr_SetString(PyExc_ValueError, "metadatas must be list of dicts or None");
      return false;
    }
    if (!dumps) {
      dumps = json_function(g_dumps_name);
      if (!dumps) return false;
    }
    if (!metadata_to_json(dumps.get(), item, converted.emplace_back().emplace())) return false;
  }
  out = std::move(converted);
  return true;
}

PyObject* json_to_python(std::string_view text) {
  PyRef loads = json_function(g_loads_name);
  if (!loads) return nullptr;
  PyRef string = PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
  if (!string) return raise_internal_error("stored metadata is not valid UTF-8");
  PyObject* value = PyObject_CallOneArg(loads.get(), string.get());
  if (value == nullptr) {
    // A KeyboardInterrupt or MemoryError while parsing is not a fault of the data.
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) {
      return nullptr;
    }
    return raise_internal_error("stored metadata is not valid JSON");
  }
  return value;
}

}  // namespace dralm::py