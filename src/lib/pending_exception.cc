#include "pending_exception.h"

#include "py_ref.h"

namespace dralm::py {

PendingException take_pending_exception() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  const PyRef owned_type = PyRef::steal(type);
  const PyRef owned_value = PyRef::steal(value);
  const PyRef owned_traceback = PyRef::steal(traceback);
  PendingException taken{type != nullptr ? reinterpret_cast<PyTypeObject*>(type)->tp_name : "?",
                         std::nullopt};
  const PyRef text = PyRef::steal(value != nullptr ? PyObject_Str(value) : nullptr);
  const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  if (utf8 != nullptr) taken.text = utf8;
  PyErr_Clear();  // a failure to describe the exception must not be left set
  return taken;
}

}  // namespace dralm::py
