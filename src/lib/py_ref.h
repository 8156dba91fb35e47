// PyRef: an owning reference to a Python object, released on scope exit.
// Every function of the binding holds the objects it creates through PyRef so that
// each early return on error releases them without a separate cleanup path.
// Requires the interpreter lock wherever a PyRef is created, copied or destroyed.
#pragma once

#include <Python.h>

#include <utility>

namespace dralm::py {

class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (the result of a call that returns one); null allowed.
  static PyRef steal(PyObject* object) { return PyRef(object); }
  // Adds a reference to a borrowed object.
  static PyRef borrow(PyObject* object) {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Gives the reference to the caller (e.g. as a method's return value).
  PyObject* release() { return std::exchange(object_, nullptr); }

 private:
  explicit PyRef(PyObject* object) : object_(object) {}

  PyObject* object_ = nullptr;
};

}  // namespace dralm::py
