// The Python class Database: a Python object owning one engine database record.
// Each method converts its arguments with the interpreter lock held, releases the
// lock around the engine calls that may take long (writes, searches, save, compact),
// and converts the result or raises the engine's error as ValueError.
#pragma once

#include <Python.h>

namespace dralm::py {

// Readies the class; called once from module initialisation.
bool init_database_type();
PyTypeObject* database_type();

}  // namespace dralm::py
