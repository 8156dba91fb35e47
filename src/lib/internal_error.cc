#include "internal_error.h"

#include <string>

#include "pending_exception.h"

namespace dralm::py {
namespace {

PyObject* g_internal_error = nullptr;  // strong reference, lives for the process

}  // namespace

bool init_internal_error() {
  if (g_internal_error != nullptr) return true;
  g_internal_error = PyErr_NewExceptionWithDoc(
      "_dralm.InternalError",
      "A broken invariant inside the dralm binding: a bug, never a usage error.",
      PyExc_BaseException, nullptr);
  return g_internal_error != nullptr;
}

PyObject* internal_error_type() { return g_internal_error; }

PyObject* raise_internal_error(const char* what) {
  std::string message = "internal fault: ";
  message += what;
  if (PyErr_Occurred()) {
    // The cause is kept in the message; a failure to describe it must not mask the fault.
    const PendingException cause = take_pending_exception();
    message += " (";
    message += cause.type_name;
    if (cause.text && !cause.text->empty()) {
      message += ": ";
      message += *cause.text;
    }
    message += ")";
  }
  // Before module initialisation there is no class yet; SystemError is the closest
  // built-in that ordinary handlers also should not be catching casually.
  PyErr_SetString(g_internal_error != nullptr ? g_internal_error : PyExc_SystemError,
                  message.c_str());
  return nullptr;
}

}  // namespace dralm::py
