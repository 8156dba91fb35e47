// The exception raised when the binding finds one of its own invariants broken
// (a programming error, never ordinary input). Its class derives from
// BaseException so that `except Exception` handlers in user code do not swallow a
// fault that must be reported. It is deliberately not an attribute of the module.
#pragma once

#include <Python.h>

namespace dralm::py {

// Creates the class; called once from module initialisation. Returns false with a
// Python exception set on failure.
bool init_internal_error();

// The class (borrowed), for tests of the binding that need to name it.
PyObject* internal_error_type();

// Raises the internal fault with "internal fault: " + `what`. If a Python exception
// is already set, its text is appended so the original cause is not lost. Always
// returns nullptr so callers can `return raise_internal_error(...)`.
PyObject* raise_internal_error(const char* what);

}  // namespace dralm::py
