// The layout of a Database object and the calling pattern its methods share:
// borrow the object, convert arguments with the interpreter lock held, run the
// engine (releasing the lock where the method may take long), convert the result.
#pragma once

#include <Python.h>
#include <cxxabi.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <type_traits>

#include "db/database.h"
#include "internal_error.h"

namespace dralm::py {

struct DatabaseObject {
  PyObject ob_base;  // PyObject_HEAD
  // Set by the constructor; emptied (with the interpreter lock held) only by close(),
  // after which every call raises "database is closed".
  std::unique_ptr<Database> database;
  // Calls in progress. Borrows are only ever shared: concurrent calls from several
  // threads never fail on borrowing, the engine's own locks order their effects.
  // close() waits for them to end before it destroys the record: a call's release of
  // its borrow is ordered after its last use of the record, and close()'s acquire
  // load that sees none left before the destruction.
  std::atomic<uint64_t> borrows;
};

inline DatabaseObject* as_database(PyObject* self) {
  return reinterpret_cast<DatabaseObject*>(self);
}

// Holds a shared borrow of the object for the length of one call.
class BorrowGuard {
 public:
  explicit BorrowGuard(DatabaseObject* object) : object_(object) {
    object_->borrows.fetch_add(1, std::memory_order_relaxed);
  }
  BorrowGuard(const BorrowGuard&) = delete;
  BorrowGuard& operator=(const BorrowGuard&) = delete;
  ~BorrowGuard() { object_->borrows.fetch_sub(1, std::memory_order_release); }

 private:
  DatabaseObject* object_;
};

// Runs `call()` with the interpreter lock released; nothing may touch a Python object
// inside it. The lock is taken back before the result or any exception leaves.
//
// Taking the lock back is where Python 3.11 ends a daemon thread during interpreter
// finalisation: it calls pthread_exit, which unwinds this thread's C++ frames with a
// forced-unwind exception. So the lock must not be taken back in a destructor (they
// are noexcept, and the forced unwind would call std::terminate), and no frame above
// may be noexcept or swallow that exception (see run_method).
template <typename Call>
auto without_gil(Call&& call) {
  PyThreadState* state = PyEval_SaveThread();
  if constexpr (std::is_void_v<decltype(call())>) {
    try {
      call();
    } catch (...) {
      PyEval_RestoreThread(state);
      throw;
    }
    PyEval_RestoreThread(state);
  } else {
    std::optional<decltype(call())> result;
    try {
      result.emplace(call());
    } catch (...) {
      PyEval_RestoreThread(state);
      throw;
    }
    PyEval_RestoreThread(state);
    return std::move(*result);
  }
}

// MemoryError for an allocation that failed somewhere below a method; the conversions
// that can name what they could not copy raise their own.
inline PyObject* raise_out_of_memory() {
  PyErr_SetString(PyExc_MemoryError, "not enough memory for this operation of the database");
  return nullptr;
}

// ValueError for any call on a closed database.
inline PyObject* raise_closed() {
  PyErr_SetString(PyExc_ValueError, "database is closed");
  return nullptr;
}

// Raises a DbError as ValueError whose only argument is the error's message.
inline PyObject* raise_db_error(const DbError& error) {
  const std::string message = error.message();
  PyObject* text =
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text == nullptr) return nullptr;
  PyErr_SetObject(PyExc_ValueError, text);
  Py_DECREF(text);
  return nullptr;
}

// Runs `body(database)` with the object borrowed. The engine reports failures as
// values; the only C++ exceptions expected are allocation failures, which become
// MemoryError. Anything else escaping is a bug, reported as the internal fault.
//
// Not noexcept, and the forced unwind of a thread that Python ends at exit (see
// without_gil) is let through: catching it without rethrowing, or a noexcept frame in
// its way, would abort the whole process.
template <typename Body>
PyObject* run_method(PyObject* self, Body&& body) {
  DatabaseObject* object = as_database(self);
  // Checked and borrowed with the interpreter lock held, as close() empties the pointer
  // with it held: a call that got past this point keeps the record alive.
  if (!object->database) return raise_closed();
  BorrowGuard borrow(object);
  try {
    return body(*object->database);
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (const std::bad_alloc&) {
    return raise_out_of_memory();
  } catch (const std::exception& error) {
    return raise_internal_error(error.what());
  } catch (...) {
    return raise_internal_error("unknown C++ exception");
  }
}

}  // namespace dralm::py
