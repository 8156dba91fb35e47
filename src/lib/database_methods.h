// The methods of the Python class Database, registered by database_type.cc.
// Methods with arguments use the vectorcall convention (METH_FASTCALL |
// METH_KEYWORDS); the argument-free ones are METH_NOARGS.
#pragma once

#include <Python.h>

namespace dralm::py {

#define DRALM_FASTCALL_METHOD(name) \
  PyObject* name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)

// Writes (database_writes.cc); all release the interpreter lock for the engine.
DRALM_FASTCALL_METHOD(database_add);
DRALM_FASTCALL_METHOD(database_upsert);
DRALM_FASTCALL_METHOD(database_update);
DRALM_FASTCALL_METHOD(database_delete);
DRALM_FASTCALL_METHOD(database_add_many);
DRALM_FASTCALL_METHOD(database_upsert_many);
DRALM_FASTCALL_METHOD(database_delete_many);

// Queries and lookups (database_reads.cc): the searches release the interpreter lock,
// get, ids and count keep it. The bulk reads are in database_bulk.h.
DRALM_FASTCALL_METHOD(database_search);
DRALM_FASTCALL_METHOD(database_search_many);
DRALM_FASTCALL_METHOD(database_search_arrays);
DRALM_FASTCALL_METHOD(database_get);
PyObject* database_ids(PyObject* self, PyObject* unused);
DRALM_FASTCALL_METHOD(database_count);
DRALM_FASTCALL_METHOD(database_ids_matching);

#undef DRALM_FASTCALL_METHOD

}  // namespace dralm::py
