// Module initialisation: single-phase, two public attributes (Database and SearchResult)
// beside the private argument checks, one module object per process. The classes are static types
// shared by every user of the module, so the module cannot be set up again in a second interpreter.
#include <Python.h>

#include <cstdint>

#include "argument_checks.h"
#include "convert.h"
#include "database_bulk.h"
#include "database_type.h"
#include "distance/distance.h"
#include "internal_error.h"
#include "search_result.h"

namespace {

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "_dralm",  // m_name
    nullptr,   // m_doc
    0,         // m_size: not -1, so a repeated import calls PyInit__dralm again
    nullptr,   // m_methods
    nullptr,   // m_slots
    nullptr,   // m_traverse
    nullptr,   // m_clear
    nullptr,   // m_free
};

PyObject* g_module = nullptr;   // strong reference, kept for the process
int64_t g_interpreter_id = -1;  // the interpreter that created g_module

PyObject* create_module() {
  // SimSIMD fills its dispatch cache lazily and not thread-safely: fill it now,
  // before any engine call can run on a worker thread.
  dralm::init_distance_kernels();
  if (!dralm::py::init_internal_error() || !dralm::py::init_convert() ||
      !dralm::py::init_database_type() || !dralm::py::init_search_result_type() ||
      !dralm::py::init_export_iterator_type()) {
    return nullptr;
  }
  g_module_def.m_methods = dralm::py::argument_check_functions();
  PyObject* module = PyModule_Create(&g_module_def);
  if (module == nullptr) return nullptr;
  if (!dralm::py::add_argument_constants(module) ||
      PyModule_AddObjectRef(module, "Database",
                            reinterpret_cast<PyObject*>(dralm::py::database_type())) < 0 ||
      PyModule_AddObjectRef(module, "SearchResult",
                            reinterpret_cast<PyObject*>(dralm::py::search_result_type())) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}

}  // namespace

PyMODINIT_FUNC PyInit__dralm(void) {
  const int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter < 0) return nullptr;
  if (g_module != nullptr) {
    if (interpreter != g_interpreter_id) {
      PyErr_SetString(PyExc_ImportError,
                      "_dralm can be imported in only one interpreter per process");
      return nullptr;
    }
    return Py_NewRef(g_module);
  }
  g_module = create_module();
  if (g_module == nullptr) return nullptr;
  g_interpreter_id = interpreter;
  return Py_NewRef(g_module);
}
