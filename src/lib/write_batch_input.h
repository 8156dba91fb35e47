// The arguments of add_many and upsert_many converted into one WriteBatch, for the
// methods themselves and for the module's argument checks (argument_checks.h).
#pragma once

#include <Python.h>

#include "db/database.h"

namespace dralm::py {

// (ids, vectors, metadatas) of `method`, checked in a fixed order so that the first fault
// of a call is the one reported: argument types, the array's layout, the lengths, then
// each metadata item. `metadatas` may be null (not given). False with a Python exception
// set on failure.
bool to_write_batch(const char* method, PyObject* ids, PyObject* vectors, PyObject* metadatas,
                    WriteBatch& out);

}  // namespace dralm::py
