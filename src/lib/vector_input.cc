#include "vector_input.h"

#include <bit>
#include <cassert>
#include <cstring>
#include <exception>
#include <string>
#include <utility>

#include "pending_exception.h"

namespace dralm::py {
namespace {

// ---- Folding a failed variant into a combined message.

enum class Outcome {
  kOk,
  kRejected,  // this form does not apply; `why` says why, no exception is set
  kRaised,    // an exception that must propagate as it is
};

// Takes the pending exception as text for a combined message and clears it. An
// exception that does not derive from Exception (KeyboardInterrupt, the internal
// fault) or a MemoryError is left set: folding it into a TypeError would hide it.
Outcome fold_error(std::string prefix, std::string& why) {
  if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) {
    return Outcome::kRaised;
  }
  const PendingException cause = take_pending_exception();
  why = std::move(prefix);
  why += cause.text ? *cause.text : cause.type_name;
  return Outcome::kRejected;
}

// ---- Buffers.

enum class ItemKind { kOther, kFloat32, kFloat64 };

// Native-order float32 / float64 items, by struct-module format code.
ItemKind item_kind(const Py_buffer& view) {
  const char* format = view.format != nullptr ? view.format : "B";
  if (*format == '@' || *format == '=' ||
      (*format == '<' && std::endian::native == std::endian::little) ||
      ((*format == '>' || *format == '!') && std::endian::native == std::endian::big)) {
    ++format;
  }
  if (format[0] == 'f' && format[1] == '\0' && view.itemsize == 4) return ItemKind::kFloat32;
  if (format[0] == 'd' && format[1] == '\0' && view.itemsize == 8) return ItemKind::kFloat64;
  return ItemKind::kOther;
}

// A borrowed buffer, released on scope exit.
class BufferView {
 public:
  BufferView() = default;
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() {
    if (held_) PyBuffer_Release(&view_);
  }
  // Read-only, with shape, strides and format. False with an exception set on failure.
  bool acquire(PyObject* object) {
    held_ = PyObject_GetBuffer(object, &view_, PyBUF_RECORDS_RO) == 0;
    return held_;
  }
  const Py_buffer& view() const { return view_; }
  bool c_contiguous() const { return PyBuffer_IsContiguous(&view_, 'C') != 0; }
  bool f_contiguous() const { return PyBuffer_IsContiguous(&view_, 'F') != 0; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// Appends a contiguous run of `count` items of `kind` to `out`, narrowing doubles to
// the nearest float exactly as the item-by-item path does.
void append_items(const void* data, size_t count, ItemKind kind, std::vector<float>& out) {
  const size_t start = out.size();
  out.resize(start + count);
  if (kind == ItemKind::kFloat32) {
    if (count != 0) std::memcpy(out.data() + start, data, count * sizeof(float));
  } else {
    assert(kind == ItemKind::kFloat64);
    const double* source = static_cast<const double*>(data);
    for (size_t i = 0; i < count; ++i) out[start + i] = static_cast<float>(source[i]);
  }
}

// Appends a rows x cols matrix stored in Fortran order, row by row.
void append_transposed(const void* data, size_t rows, size_t cols, ItemKind kind,
                       std::vector<float>& out) {
  const size_t start = out.size();
  out.resize(start + rows * cols);
  float* target = out.data() + start;
  for (size_t r = 0; r < rows; ++r) {
    for (size_t c = 0; c < cols; ++c) {
      const size_t source = c * rows + r;
      target[r * cols + c] = kind == ItemKind::kFloat32
                                 ? static_cast<const float*>(data)[source]
                                 : static_cast<float>(static_cast<const double*>(data)[source]);
    }
  }
}

// Appends a float32 buffer of any layout (sliced, reversed, broadcast) element by
// element through its strides: `shape` and `strides` give rows x cols, a 1-D buffer
// being one row.
void append_strided(const Py_buffer& view, std::vector<float>& out) {
  const size_t rows = view.ndim == 2 ? static_cast<size_t>(view.shape[0]) : 1;
  const size_t cols = static_cast<size_t>(view.shape[view.ndim - 1]);
  const Py_ssize_t row_stride = view.ndim == 2 ? view.strides[0] : 0;
  const Py_ssize_t col_stride = view.strides[view.ndim - 1];
  const size_t start = out.size();
  out.resize(start + rows * cols);
  float* target = out.data() + start;
  const char* base = static_cast<const char*>(view.buf);
  for (size_t r = 0; r < rows; ++r) {
    const char* row = base + static_cast<Py_ssize_t>(r) * row_stride;
    for (size_t c = 0; c < cols; ++c) {
      std::memcpy(target++, row + static_cast<Py_ssize_t>(c) * col_stride, sizeof(float));
    }
  }
}

// Raises MemoryError naming the copy that could not be made.
void raise_no_memory_for(size_t rows, size_t cols) {
  PyErr_Format(PyExc_MemoryError, "cannot allocate memory to copy %zu vectors of %zu floats", rows,
               cols);
}

// Types whose sequence items are exactly the numbers of their buffer, so that copying
// the buffer gives the same floats as converting the items one by one. Subclasses may
// override item access and are left to the general path.
bool is_plain_array(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  return Py_IS_TYPE(object, &PyMemoryView_Type) ||
         std::strcmp(type->tp_name, "numpy.ndarray") == 0 ||
         std::strcmp(type->tp_name, "array.array") == 0;
}

// The fast path of the sequence form: a plain 1-D float32/float64 array in one
// contiguous block. Returns false (nothing set, `out` unchanged) when it does not apply.
bool copy_plain_vector(PyObject* object, std::vector<float>& out) {
  if (!is_plain_array(object)) return false;
  BufferView buffer;
  if (!buffer.acquire(object)) {
    PyErr_Clear();  // the general path will report whatever is wrong
    return false;
  }
  const Py_buffer& view = buffer.view();
  const ItemKind kind = item_kind(view);
  if (view.ndim != 1 || kind == ItemKind::kOther || !buffer.c_contiguous()) return false;
  append_items(view.buf, static_cast<size_t>(view.shape[0]), kind, out);
  return true;
}

// The fast path of the sequence-of-sequences form for a plain 2-D float64 array in C or
// Fortran order; a float32 one never gets here (the buffer form takes it first).
// kRejected (nothing set) when it does not apply; kRaised when the copy cannot be held.
Outcome copy_plain_matrix(PyObject* object, VectorBatch& out) {
  if (!is_plain_array(object)) return Outcome::kRejected;
  BufferView buffer;
  if (!buffer.acquire(object)) {
    PyErr_Clear();
    return Outcome::kRejected;
  }
  const Py_buffer& view = buffer.view();
  const ItemKind kind = item_kind(view);
  if (view.ndim != 2 || kind != ItemKind::kFloat64) return Outcome::kRejected;
  const size_t rows = static_cast<size_t>(view.shape[0]);
  const size_t cols = static_cast<size_t>(view.shape[1]);
  if (!buffer.c_contiguous() && !buffer.f_contiguous()) return Outcome::kRejected;
  try {
    std::vector<float> flat;
    flat.reserve(rows * cols);
    if (buffer.c_contiguous()) {
      append_items(view.buf, rows * cols, kind, flat);
    } else {
      append_transposed(view.buf, rows, cols, kind, flat);
    }
    out = VectorBatch::uniform(std::move(flat), rows, cols);
  } catch (const std::exception&) {  // bad_alloc, or length_error beyond max_size
    raise_no_memory_for(rows, cols);
    return Outcome::kRaised;
  }
  return Outcome::kOk;
}

// ---- The sequence forms.

// The `List` form of one vector: a non-str sequence whose items each have a float
// value. Appends to `out`; on kRejected `out` may hold a partial row.
Outcome sequence_to_floats(PyObject* object, std::vector<float>& out, std::string& why) {
  if (PyUnicode_Check(object)) {
    why = "a str is not taken as a sequence of numbers";
    return Outcome::kRejected;
  }
  if (!PySequence_Check(object)) {
    why = std::string("'") + type_name(object) + "' object is not a sequence";
    return Outcome::kRejected;
  }
  if (copy_plain_vector(object, out)) return Outcome::kOk;

  PyRef sequence = PyRef::steal(PySequence_Fast(object, "not iterable"));
  if (!sequence) return fold_error("", why);
  out.reserve(out.size() + static_cast<size_t>(PySequence_Fast_GET_SIZE(sequence.get())));
  // The size is read on every step: an item's __float__ may run code that shrinks a
  // list given directly (PySequence_Fast returns lists and tuples themselves).
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence.get()); ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(sequence.get(), i);
    double value;
    if (PyFloat_CheckExact(item)) {
      value = PyFloat_AS_DOUBLE(item);
    } else {
      PyRef held = PyRef::borrow(item);
      value = PyFloat_AsDouble(held.get());
      if (value == -1.0 && PyErr_Occurred()) {
        return fold_error("item " + std::to_string(i) + ": ", why);
      }
    }
    out.push_back(static_cast<float>(value));
  }
  return Outcome::kOk;
}

// Borrows `object` as a float32 buffer of `ndim` dimensions; kRejected (with `why`)
// when it is not one, kOk when `buffer` holds it.
Outcome acquire_float32_buffer(PyObject* object, int ndim, BufferView& buffer, std::string& why) {
  if (!PyObject_CheckBuffer(object)) {
    why = std::string("'") + type_name(object) + "' object does not support the buffer protocol";
    return Outcome::kRejected;
  }
  if (!buffer.acquire(object)) return fold_error("", why);
  const Py_buffer& view = buffer.view();
  if (view.ndim != ndim) {
    why = "expected " + std::to_string(ndim) + (ndim == 1 ? " dimension" : " dimensions") +
          ", got " + std::to_string(view.ndim);
    return Outcome::kRejected;
  }
  if (item_kind(view) != ItemKind::kFloat32) {
    why = std::string("expected float32 items, got format '") +
          (view.format != nullptr ? view.format : "B") + "'";
    return Outcome::kRejected;
  }
  return Outcome::kOk;
}

// The `Numpy` form of one vector: a 1-D float32 buffer, in any layout (one that is
// not contiguous is copied element by element).
Outcome buffer_to_floats(PyObject* object, std::vector<float>& out, std::string& why) {
  BufferView buffer;
  if (Outcome got = acquire_float32_buffer(object, 1, buffer, why); got != Outcome::kOk) {
    return got;
  }
  const Py_buffer& view = buffer.view();
  out.clear();
  try {
    if (buffer.c_contiguous()) {
      append_items(view.buf, static_cast<size_t>(view.shape[0]), ItemKind::kFloat32, out);
    } else {
      append_strided(view, out);
    }
  } catch (const std::exception&) {  // bad_alloc, or length_error beyond max_size
    raise_no_memory_for(1, static_cast<size_t>(view.shape[0]));
    return Outcome::kRaised;
  }
  return Outcome::kOk;
}

// The `Numpy` form of a batch: a 2-D float32 buffer, one vector per row. C and
// Fortran order are copied in blocks, any other layout (sliced, reversed) element by
// element.
Outcome buffer_to_batch(PyObject* object, VectorBatch& out, std::string& why) {
  BufferView buffer;
  if (Outcome got = acquire_float32_buffer(object, 2, buffer, why); got != Outcome::kOk) {
    return got;
  }
  const Py_buffer& view = buffer.view();
  const size_t rows = static_cast<size_t>(view.shape[0]);
  const size_t cols = static_cast<size_t>(view.shape[1]);
  try {
    std::vector<float> flat;
    flat.reserve(rows * cols);
    if (buffer.c_contiguous()) {
      append_items(view.buf, rows * cols, ItemKind::kFloat32, flat);
    } else if (buffer.f_contiguous()) {
      append_transposed(view.buf, rows, cols, ItemKind::kFloat32, flat);
    } else {
      append_strided(view, flat);
    }
    out = VectorBatch::uniform(std::move(flat), rows, cols);
  } catch (const std::exception&) {  // bad_alloc, or length_error beyond max_size
    // Even a batch of empty rows needs an offset per row: (2**40, 0) cannot be held.
    raise_no_memory_for(rows, cols);
    return Outcome::kRaised;
  }
  return Outcome::kOk;
}

// The `Lists` form of a batch: a non-str sequence of sequences of numbers.
Outcome sequences_to_batch(PyObject* object, VectorBatch& out, std::string& why) {
  if (PyUnicode_Check(object)) {
    why = "a str is not taken as a sequence of vectors";
    return Outcome::kRejected;
  }
  if (!PySequence_Check(object)) {
    why = std::string("'") + type_name(object) + "' object is not a sequence";
    return Outcome::kRejected;
  }
  if (Outcome plain = copy_plain_matrix(object, out); plain != Outcome::kRejected) return plain;

  PyRef sequence = PyRef::steal(PySequence_Fast(object, "not iterable"));
  if (!sequence) return fold_error("", why);
  VectorBatch batch;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence.get()); ++i) {
    PyRef row = PyRef::borrow(PySequence_Fast_GET_ITEM(sequence.get(), i));
    std::string row_why;
    const Outcome outcome = sequence_to_floats(row.get(), batch.data, row_why);
    if (outcome == Outcome::kRaised) return outcome;
    if (outcome == Outcome::kRejected) {
      why = "item " + std::to_string(i) + ": " + row_why;
      return outcome;
    }
    batch.offsets.push_back(batch.data.size());
  }
  out = std::move(batch);
  return Outcome::kOk;
}

}  // namespace

bool to_vector(PyObject* object, ArgName name, std::vector<float>& out) {
  out.clear();
  std::string sequence_why;
  Outcome outcome = sequence_to_floats(object, out, sequence_why);
  if (outcome == Outcome::kOk) return true;
  if (outcome == Outcome::kRaised) return false;

  std::string buffer_why;
  outcome = buffer_to_floats(object, out, buffer_why);
  if (outcome == Outcome::kOk) return true;
  if (outcome == Outcome::kRaised) return false;

  out.clear();
  PyErr_Format(PyExc_TypeError,
               "%s() argument '%s' must be a sequence of numbers or a 1-D float32 array "
               "(as a sequence: %s; as an array: %s)",
               name.method, name.arg, sequence_why.c_str(), buffer_why.c_str());
  return false;
}

bool to_vector_batch(PyObject* object, ArgName name, VectorBatch& out) {
  std::string buffer_why;
  Outcome outcome = buffer_to_batch(object, out, buffer_why);
  if (outcome != Outcome::kRejected) return outcome == Outcome::kOk;

  std::string sequence_why;
  outcome = sequences_to_batch(object, out, sequence_why);
  if (outcome != Outcome::kRejected) return outcome == Outcome::kOk;

  PyErr_Format(PyExc_TypeError,
               "%s() argument '%s' must be a 2-D float32 array or a sequence of sequences of "
               "numbers (as an array: %s; as a sequence: %s)",
               name.method, name.arg, buffer_why.c_str(), sequence_why.c_str());
  return false;
}

}  // namespace dralm::py
