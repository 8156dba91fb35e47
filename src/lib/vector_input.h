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
// nearest float), else a 1-D float32 buffer of any layout. The failure lists why each
// form was refused.
bool to_vector(PyObject* object, ArgName name, std::vector<float>& out);

// Many vectors: a 2-D float32 buffer of any layout (C or Fortran order, sliced or
// reversed; one vector per row), else a non-str sequence of sequences of numbers. Row
// lengths are not checked here. False with a Python exception set on failure; a batch
// too large to copy raises MemoryError naming its shape.
bool to_vector_batch(PyObject* object, ArgName name, VectorBatch& out);

}  // namespace dralm::py
