// Taking the exception that is currently set, as text: for messages that fold a
// Python failure into another error instead of letting it propagate.
#pragma once

#include <Python.h>

#include <optional>
#include <string>

namespace dralm::py {

struct PendingException {
  std::string type_name;            // "?" when no exception was set
  std::optional<std::string> text;  // str() of the exception; none if str() failed
};

// Fetches and clears the pending exception (a failure of str() on it is cleared too).
PendingException take_pending_exception();

}  // namespace dralm::py
