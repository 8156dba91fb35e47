// Argument parsing for the vectorcall ("fastcall with keywords") methods: binds
// positional and keyword arguments to parameter names without building a tuple or
// a dict, and raises TypeErrors in CPython's own wording, naming the method.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>

#include "method_signatures.h"

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

// The same for a method declared in method_signatures.h: one slot per parameter.
template <size_t N>
bool parse_arguments(const MethodSignature<N>& method, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, std::array<PyObject*, N>& out) {
  return parse_arguments(Signature{method.name, method.parameters, N, method.required}, args, nargs,
                         kwnames, out.data());
}

}  // namespace dralm::py
