#include "numpy_arrays.h"

#include <cstring>
#include <limits>

namespace dralm::py {
namespace {

// (rows, cols) as a tuple of ints; OverflowError when an extent or the product does
// not fit in a Py_ssize_t (NumPy could not make such an array anyway).
PyRef shape_tuple(size_t rows, size_t cols) {
  constexpr size_t kMax = static_cast<size_t>(std::numeric_limits<Py_ssize_t>::max());
  if (rows > kMax || cols > kMax || (cols != 0 && rows > kMax / cols)) {
    PyErr_Format(PyExc_OverflowError, "an array of %zu x %zu items is too large", rows, cols);
    return {};
  }
  return PyRef::steal(
      Py_BuildValue("(nn)", static_cast<Py_ssize_t>(rows), static_cast<Py_ssize_t>(cols)));
}

// numpy.empty(shape, dtype=numpy.float32).
PyRef new_float32_array_of_shape(PyObject* shape) {
  PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
  if (!numpy) return {};
  PyRef dtype = PyRef::steal(PyObject_GetAttrString(numpy.get(), "float32"));
  if (!dtype) return {};
  PyRef empty = PyRef::steal(PyObject_GetAttrString(numpy.get(), "empty"));
  if (!empty) return {};
  return PyRef::steal(PyObject_CallFunctionObjArgs(empty.get(), shape, dtype.get(), nullptr));
}

}  // namespace

bool FloatBuffer::acquire(PyObject* array) {
  if (PyObject_GetBuffer(array, &view_, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
    return false;
  }
  held_ = true;
  const char* format = view_.format != nullptr ? view_.format : "B";
  if (view_.itemsize != sizeof(float) ||
      (std::strcmp(format, "f") != 0 && std::strcmp(format, "<f") != 0 &&
       std::strcmp(format, "=f") != 0)) {
    PyErr_SetString(PyExc_TypeError, "expected a float32 array");
    return false;
  }
  return true;
}

PyRef new_float32_array(size_t rows, size_t cols) {
  PyRef shape = shape_tuple(rows, cols);
  if (!shape) return {};
  return new_float32_array_of_shape(shape.get());
}

PyRef new_float32_vector(Py_ssize_t length) {
  PyRef shape = PyRef::steal(Py_BuildValue("(n)", static_cast<Py_ssize_t>(length)));
  if (!shape) return {};
  return new_float32_array_of_shape(shape.get());
}

PyRef list_to_object_array(PyObject* items, size_t rows, size_t cols) {
  PyRef shape = shape_tuple(rows, cols);
  if (!shape) return {};
  PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
  if (!numpy) return {};
  PyRef array_function = PyRef::steal(PyObject_GetAttrString(numpy.get(), "array"));
  if (!array_function) return {};
  PyRef arguments = PyRef::steal(PyTuple_Pack(1, items));
  PyRef keywords = PyRef::steal(Py_BuildValue("{sO}", "dtype", &PyBaseObject_Type));
  if (!arguments || !keywords) return {};
  PyRef flat = PyRef::steal(PyObject_Call(array_function.get(), arguments.get(), keywords.get()));
  if (!flat) return {};
  return PyRef::steal(PyObject_CallMethod(flat.get(), "reshape", "(O)", shape.get()));
}

}  // namespace dralm::py
