// The bulk reads of the Database class: search results as NumPy arrays, many vectors
// at once, and the chunked export with its iterator type (never added to the module).
#pragma once

#include <Python.h>

namespace dralm::py {

PyObject* database_search_arrays(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames);
PyObject* database_get_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);
PyObject* database_export(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);
// Delegates to dralm._arrow.to_arrow(self), which builds the table from export().
PyObject* database_to_arrow(PyObject* self, PyObject* unused);

// Readies the export iterator type; called once from module initialisation.
bool init_export_iterator_type();

}  // namespace dralm::py
