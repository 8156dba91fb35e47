#include "args.h"

namespace dralm::py {

bool parse_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** out) {
  const size_t count = signature.count;
  for (size_t i = 0; i < count; ++i) out[i] = nullptr;

  if (nargs < 0 || static_cast<size_t>(nargs) > count) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zu argument%s (%zd given)", signature.method,
                 count, count == 1 ? "" : "s", nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];

  const Py_ssize_t keyword_count = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < keyword_count; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    size_t index = count;
    for (size_t i = 0; i < count; ++i) {
      if (PyUnicode_CompareWithASCIIString(key, signature.names[i]) == 0) {
        index = i;
        break;
      }
    }
    if (index == count) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                   signature.method, key);
      return false;
    }
    if (out[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zu)",
                   signature.method, signature.names[index], index + 1);
      return false;
    }
    out[index] = args[nargs + k];
  }

  for (size_t i = 0; i < signature.required; ++i) {
    if (out[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)",
                   signature.method, signature.names[i], i + 1);
      return false;
    }
  }
  return true;
}

}  // namespace dralm::py
