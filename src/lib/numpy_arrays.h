// NumPy arrays returned by the bulk methods. NumPy is imported when such a method runs,
// never at build time or when the module is imported: the binding creates the arrays
// through NumPy's Python API and fills their memory through the buffer protocol.
// Everything here needs the interpreter lock, except writing through a FloatBuffer's
// span (see there).
#pragma once

#include <Python.h>

#include <span>

#include "py_ref.h"

namespace dralm::py {

// A writable, C-contiguous view of a float32 array's memory, released on scope exit.
// The span stays valid while the view is held. Writing through it with the interpreter
// lock released is safe only for an array no other Python code can reach yet (one the
// caller has just created and not returned).
class FloatBuffer {
 public:
  FloatBuffer() = default;
  FloatBuffer(const FloatBuffer&) = delete;
  FloatBuffer& operator=(const FloatBuffer&) = delete;
  ~FloatBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }
  // Borrows `array`'s memory; false with an exception set when it is not a writable,
  // C-contiguous float32 buffer.
  bool acquire(PyObject* array);
  std::span<float> floats() const {
    return {static_cast<float*>(view_.buf), static_cast<size_t>(view_.len) / sizeof(float)};
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// numpy.empty((rows, cols), dtype=numpy.float32). Null with an exception set (an
// ImportError without NumPy, MemoryError or ValueError for a shape too large).
PyRef new_float32_array(size_t rows, size_t cols);
// numpy.empty(length, dtype=numpy.float32).
PyRef new_float32_vector(Py_ssize_t length);

// numpy.array(items, dtype=object).reshape(rows, cols); `items` is a list of
// rows * cols objects in row order.
PyRef list_to_object_array(PyObject* items, size_t rows, size_t cols);

}  // namespace dralm::py
