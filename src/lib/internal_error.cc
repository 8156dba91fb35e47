#include "internal_error.h"

#include <string>

#include "py_ref.h"

namespace dralm::py {
namespace {

PyObject* g_internal_error = nullptr;  // strong reference, lives for the process

}  // namespace

bool init_internal_error() {
  if (g_internal_error != nullptr) return true;
  g_internal_error = PyErr_NewExceptionWithDoc(
      "_dralm.InternalError",
      "A broken invariant inside the dralm binding: a bug, never a usage error.",
      PyExc_BaseException, nullptr);
  return g_internal_error != nullptr;
}

PyObject* internal_error_type() { return g_internal_error; }

PyObject* raise_internal_error(const char* what) {
  std::string message = "internal fault: ";
  message += what;
  if (PyErr_Occurred()) {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef owned_type = PyRef::steal(type);
    PyRef owned_value = PyRef::steal(value);
    PyRef owned_traceback = PyRef::steal(traceback);
    PyRef text = PyRef::steal(value != nullptr ? PyObject_Str(value) : nullptr);
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    PyErr_Clear();  // a failure to describe the cause must not mask the fault itself
    message += " (";
    message += type != nullptr ? reinterpret_cast<PyTypeObject*>(type)->tp_name : "?";
    if (utf8 != nullptr && *utf8 != '\0') {
      message += ": ";
      message += utf8;
    }
    message += ")";
  }
  // Before module initialisation there is no class yet; SystemError is the closest
  // built-in that ordinary handlers also should not be catching casually.
  PyErr_SetString(g_internal_error != nullptr ? g_internal_error : PyExc_SystemError,
                  message.c_str());
  return nullptr;
}

}  // namespace dralm::py
