// Conversion of vector arguments: one vector (`VectorInput`: a sequence of numbers,
// else a 1-D float32 buffer) and many vectors (`BatchVectorInput`: a 2-D float32
// buffer, else a sequence of sequences). The floats are copied, with the interpreter
// lock held; plain NumPy, memoryview and array.array inputs are copied in one block,
// giving exactly the floats the item-by-item conversion would give.
#pragma once

#include <Python.h>

#include <vector>

#include "convert.h"
#include "db/vector_batch.h"

namespace dralm::py {

// One vector: a non-str sequence of numbers (item by item, each narrowed to the
// nearest float), else a contiguous 1-D float32 buffer. The failure lists why each
// form was refused, except for a non-contiguous float32 buffer, which raises
// TypeError "The given array is not contiguous".
bool to_vector(PyObject* object, ArgName name, std::vector<float>& out);

enum class BatchStatus {
  kOk,
  kFailed,         // a Python exception is set
  kNotContiguous,  // a 2-D float32 buffer in neither C nor Fortran order; nothing set
};
// Many vectors: a 2-D float32 buffer (C or Fortran order, one vector per row), else a
// non-str sequence of sequences of numbers. Row lengths are not checked here.
BatchStatus to_vector_batch(PyObject* object, ArgName name, VectorBatch& out);
// Raises the TypeError of a kNotContiguous batch (and of a 1-D buffer alike).
void raise_not_contiguous();

}  // namespace dralm::py
