// Argument parsing for the vectorcall ("fastcall with keywords") methods: binds
// positional and keyword arguments to parameter names without building a tuple or
// a dict, and raises TypeErrors in CPython's own wording, naming the method.
#pragma once

#include <Python.h>

#include <cstddef>

namespace dralm::py {

// The parameters of one method: names in order, the first `required` mandatory.
struct Signature {
  const char* method;  // as shown in messages: "search" gives "search()"
  const char* const* names;
  size_t count;
  size_t required;
};

// Binds `args` (nargs positional, then one value per name in `kwnames`) to the
// parameters of `signature`. On success out[i] is the borrowed argument for names[i]
// or nullptr when it was not given. On failure raises TypeError and returns false.
bool parse_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** out);

}  // namespace dralm::py
