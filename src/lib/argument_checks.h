// The module's private functions that convert and check Database arguments without a
// database: the sharded database (dralm.ray) refuses a bad call in the caller's process,
// before any shard sees it, with the very conversions and messages of Database. Also the
// creation defaults and the metric names, as module constants.
#pragma once

#include <Python.h>

namespace dralm::py {

// The functions' table, ended by a null entry, for the module definition.
PyMethodDef* argument_check_functions();
// Adds _DEFAULT_M, _DEFAULT_EF_CONSTRUCTION and _METRICS to `module`.
bool add_argument_constants(PyObject* module);

}  // namespace dralm::py
